"""Shared pieces of the randomised-input tests (tests/test_fuzz_*.py).

QORVEL_FUZZ_EXAMPLES sets the number of examples per test (small by default, so that the normal
suite stays quick) and QORVEL_FUZZ_BATCH the number of inputs each example draws and runs one
after the other (1 by default; `make fuzz` uses batches, which spreads the fixed cost of an
example over many inputs). Every input that reaches an entry point is counted; the total and
the time are printed when the interpreter exits.
"""
import atexit
import copy
import functools
import json
import os
import random
import sys
import time

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

EXAMPLES = int(os.environ.get("QORVEL_FUZZ_EXAMPLES", "40"))
BATCH = int(os.environ.get("QORVEL_FUZZ_BATCH", "1"))

_settings = settings(max_examples=EXAMPLES, deadline=None, database=None, suppress_health_check=list(HealthCheck))
_count = [0, None]


def fuzz(*strategies):
    """@given with the suite's settings, drawing BATCH argument tuples per example; counts the
    inputs run."""

    def decorate(test):
        def run_one(args, kwargs=None):
            if _count[1] is None:
                _count[1] = time.perf_counter()
            _count[0] += 1
            test(*args, **(kwargs or {}))

        if BATCH <= 1:
            @functools.wraps(test)
            def single(*args, **kwargs):
                run_one(args, kwargs)

            return _settings(given(*strategies)(single))

        def batched(batch):
            for args in batch:
                run_one(args)

        batched.__name__, batched.__qualname__, batched.__module__ = test.__name__, test.__qualname__, test.__module__
        batched.__doc__ = test.__doc__
        return _settings(given(st.lists(st.tuples(*strategies), min_size=BATCH, max_size=BATCH))(batched))

    return decorate


@atexit.register
def _report():
    if _count[0]:
        elapsed = time.perf_counter() - _count[1]
        print(f"\nrandomised inputs run: {_count[0]} in {elapsed:.0f} s ({EXAMPLES} examples of {BATCH} per test)",
              file=sys.stderr)


def documented(error, *kinds):
    """Fails unless `error` is of one of the exception kinds the entry point documents.

    The general exception class counts only as itself (a plain `Exception`), so an unexpected
    KeyError, IndexError or SystemError is not mistaken for a documented refusal."""
    if type(error) is Exception or isinstance(error, kinds):
        return
    raise AssertionError(f"undocumented {type(error).__module__}.{type(error).__name__}: {error}") from error


def snapshot(*values):
    """A comparable picture of JSON-like values (NaN compares equal to itself here)."""
    return json.dumps(values, default=repr, allow_nan=True)


class Opaque:
    """A value of no type the system knows."""

    def __repr__(self):
        return "Opaque()"


class StrSubclass(str):
    pass


def pick(*values):
    return st.sampled_from(values)


# Values as the editor, a file or a plugin script may hand them over. Generating values with
# hypothesis costs far more than most calls under test, so values are picked from pools built
# once (from a fixed seed) with the shapes that matter: nesting, empty containers, unicode and
# control characters, huge integers, NaN and infinities.
_rng = random.Random(20261208)
TEXTS = ["", "a", "A b", "x" * 300, "\u00e9\u2603", "\x00", "~/x~", "..", "My Tools", "[number, number, number]",
         "number", "group", "_list", "\ud800", "\n\t", "0", "-1", "1e999", "null", "{", "\u202e", "a.b c"]
TEXTS += ["".join(_rng.choice("aZ_9 .-~\u00e9\u2603\x00{}[]\"\\") for _ in range(_rng.randint(1, 8))) for _ in range(40)]
_SCALARS = [None, True, False, 0, 1, -1, 2**31, -2**63, 2**70, 0.0, -0.0, 1.5, 1e308, float("nan"), float("inf"),
            -float("inf")] + TEXTS


def _json_value(depth):
    roll = _rng.random()
    if depth >= 3 or roll < 0.5:
        return _rng.choice(_SCALARS)
    if roll < 0.75:
        return [_json_value(depth + 1) for _ in range(_rng.randint(0, 4))]
    return {_rng.choice(TEXTS): _json_value(depth + 1) for _ in range(_rng.randint(0, 4))}


JSON_POOL = _SCALARS + [[], {}, [[]], {"": {}}] + [_json_value(0) for _ in range(300)]
text = st.sampled_from(TEXTS)
# Copied when drawn: an entry point that stored or changed a pooled value must not affect the
# next input.
json_values = st.sampled_from(JSON_POOL).map(copy.deepcopy)
json_objects = st.sampled_from([v for v in JSON_POOL if isinstance(v, dict)]).map(copy.deepcopy)
oddities = pick(None, 0, -1, 2**70, 1.5, float("nan"), float("inf"), True, False, "", "x", "\u00e9\u2603", b"bytes",
                [], {}, (), (1, 2), {1, 2}, [1, "a"], {"a": 1}, 1j, Opaque(), StrSubclass("sub"), len)
anything = oddities | json_values
