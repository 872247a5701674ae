"""Shared pieces of the randomised-input tests (tests/test_fuzz_*.py and the other @given tests).

QORVEL_FUZZ_PROFILE picks how many examples each test runs: "quick" (the default, for `make test`
and the edit-test loop) a few, "full" (`make fuzz`, the memory gates, CI on one environment) the
full count each test names. QORVEL_FUZZ_EXAMPLES, when set, is the number of examples per fuzz
test whatever the profile, and QORVEL_FUZZ_BATCH the number of inputs each example draws and runs
one after the other (1 by default; `make fuzz` uses batches, which spreads the fixed cost of an
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

PROFILES = ("quick", "full")
PROFILE = os.environ.get("QORVEL_FUZZ_PROFILE") or "quick"
if PROFILE not in PROFILES:
    raise RuntimeError(f"QORVEL_FUZZ_PROFILE is {PROFILE!r}, expected one of {', '.join(PROFILES)}")
# Enough to run every generator and entry point on a few inputs of each shape; the full counts
# find the rarer faults.
QUICK_EXAMPLES = 5


def examples(full):
    """The examples per test for a test whose full count is `full`, in this run's profile."""
    return full if PROFILE == "full" else min(full, QUICK_EXAMPLES)


def fuzz_settings(full):
    """The suite's settings for a test of `full` examples: no deadline, no example database (runs
    in parallel share no files), and none of the health checks, which time and count the draws of
    generators that are meant to be large and hostile."""
    return settings(max_examples=examples(full), deadline=None, database=None,
                    suppress_health_check=list(HealthCheck))


EXAMPLES = int(os.environ.get("QORVEL_FUZZ_EXAMPLES") or examples(40))
BATCH = int(os.environ.get("QORVEL_FUZZ_BATCH", "1"))

_settings = settings(fuzz_settings(40), max_examples=EXAMPLES)
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
        print(f"\nrandomised inputs run: {_count[0]} in {elapsed:.0f} s ({EXAMPLES} examples of {BATCH} per test, "
              f"{PROFILE} profile)",
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
