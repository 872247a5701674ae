"""Shared pieces of the randomised-input tests (tests/test_fuzz_*.py).

QORVEL_FUZZ_EXAMPLES sets the number of examples per test (small by default, so that the normal
suite stays quick; `make fuzz` runs many). Every input that reaches an entry point is counted;
the total and the time are printed when the interpreter exits.
"""
import atexit
import functools
import json
import os
import sys
import time

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

EXAMPLES = int(os.environ.get("QORVEL_FUZZ_EXAMPLES", "40"))

_settings = settings(max_examples=EXAMPLES, deadline=None, database=None, suppress_health_check=list(HealthCheck))
_count = [0, None]


def fuzz(*strategies, **named_strategies):
    """@given with the suite's settings; counts the inputs run."""

    def decorate(test):
        @functools.wraps(test)
        def counted(*args, **kwargs):
            if _count[1] is None:
                _count[1] = time.perf_counter()
            _count[0] += 1
            return test(*args, **kwargs)

        return _settings(given(*strategies, **named_strategies)(counted))

    return decorate


@atexit.register
def _report():
    if _count[0]:
        elapsed = time.perf_counter() - _count[1]
        print(f"\nrandomised inputs run: {_count[0]} in {elapsed:.0f} s ({EXAMPLES} examples per test)",
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


# Values as the editor, a file or a plugin script may hand them over. Generating values costs
# more than most calls under test, so plain picks from representative values are used where
# the structure of a value does not matter, and small recursive values where it does.
text = st.text(alphabet="aAbz_0 .-~é\u2603\x00", max_size=6)
scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), text)
json_values = st.recursive(
    scalars, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(text, inner, max_size=3), max_leaves=4)
json_objects = st.dictionaries(text, json_values, max_size=4)
oddities = pick(None, 0, -1, 2**70, 1.5, float("nan"), float("inf"), True, False, "", "x", "\u00e9\u2603", b"bytes",
                [], {}, (), (1, 2), {1, 2}, [1, "a"], {"a": 1}, 1j, Opaque(), StrSubclass("sub"), len)
anything = oddities | json_values
