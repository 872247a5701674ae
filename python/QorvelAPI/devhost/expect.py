"""Expected values of a plugin's test cases: plain values, tolerances for numbers, patterns for text.

An expected value is compared with what a block produced:

- a plain value must be equal (a number equals a number of the same value; true and false equal
  only booleans);
- a list must have as many items, each matching;
- an object matches when every key it lists matches (the actual object may hold more);
- an object whose keys are all matcher keys is a matcher:
  ``{"approx": -7.5, "abs": 0.01}`` or ``{"approx": 1e5, "rel": 0.001}`` (a number within a
  tolerance; by default 1e-9), ``{"min": 0, "max": 10}`` (a number within bounds),
  ``{"pattern": "^ligand_\\d+$"}`` (a regular expression found in the text), ``{"contains": "hits"}``,
  ``{"json": EXPECTED}`` (text that parses as JSON matching EXPECTED) and ``{"equals": VALUE}``
  (exactly VALUE, for an object that would otherwise read as a matcher or as a partial object).
"""

from __future__ import annotations

import json
import math
import re
from typing import Any, List

MATCHER_KEYS = frozenset({"approx", "abs", "rel", "min", "max", "pattern", "contains", "json", "equals"})
DEFAULT_TOLERANCE = 1e-9


class CaseError(Exception):
    """A test case that is not well formed (the case itself is wrong, not the plugin)."""


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _show(value: Any) -> str:
    text = json.dumps(value, default=repr)
    return text if len(text) <= 120 else text[:117] + "..."


def is_matcher(expected: Any) -> bool:
    return isinstance(expected, dict) and bool(expected) and set(expected) <= MATCHER_KEYS


def mismatches(expected: Any, actual: Any, path: str) -> List[str]:
    """Every way in which ``actual`` differs from ``expected``, one line each (empty when it matches)."""
    if is_matcher(expected):
        return _match(expected, actual, path)
    if isinstance(expected, dict):
        if not isinstance(actual, dict):
            return [f"{path}: expected an object, got {_show(actual)}"]
        found: List[str] = []
        for key, value in expected.items():
            if key not in actual:
                found.append(f"{path}.{key}: missing (expected {_show(value)})")
            else:
                found.extend(mismatches(value, actual[key], f"{path}.{key}"))
        return found
    if isinstance(expected, list):
        if not isinstance(actual, list):
            return [f"{path}: expected a list, got {_show(actual)}"]
        if len(expected) != len(actual):
            return [f"{path}: expected {len(expected)} items, got {len(actual)}: {_show(actual)}"]
        return [line for i, (e, a) in enumerate(zip(expected, actual)) for line in mismatches(e, a, f"{path}[{i}]")]
    if _equal(expected, actual):
        return []
    return [f"{path}: expected {_show(expected)}, got {_show(actual)}"]


def _equal(expected: Any, actual: Any) -> bool:
    if isinstance(expected, bool) or isinstance(actual, bool):
        return type(expected) is type(actual) and expected == actual
    if _is_number(expected) and _is_number(actual):
        return float(expected) == float(actual)
    return type(expected) is type(actual) and expected == actual


def _match(matcher: dict, actual: Any, path: str) -> List[str]:
    if "equals" in matcher:
        if len(matcher) > 1:
            raise CaseError(f"{path}: \"equals\" stands alone in a matcher")
        return [] if _exactly(matcher["equals"], actual) else [
            f"{path}: expected exactly {_show(matcher['equals'])}, got {_show(actual)}"]
    if "json" in matcher:
        if not isinstance(actual, str):
            return [f"{path}: expected JSON text, got {_show(actual)}"]
        try:
            parsed = json.loads(actual)
        except ValueError as exc:
            return [f"{path}: not JSON ({exc})"]
        return mismatches(matcher["json"], parsed, f"{path}(json)")
    if {"approx", "min", "max"} & set(matcher):
        return _number(matcher, actual, path)
    if "abs" in matcher or "rel" in matcher:
        raise CaseError(f"{path}: a tolerance (\"abs\", \"rel\") needs \"approx\"")
    return _text(matcher, actual, path)


def _exactly(expected: Any, actual: Any) -> bool:
    if isinstance(expected, dict):
        return isinstance(actual, dict) and set(expected) == set(actual) and all(
            _exactly(v, actual[k]) for k, v in expected.items())
    if isinstance(expected, list):
        return isinstance(actual, list) and len(expected) == len(actual) and all(
            _exactly(e, a) for e, a in zip(expected, actual))
    return _equal(expected, actual)


def _number(matcher: dict, actual: Any, path: str) -> List[str]:
    for key in ("approx", "abs", "rel", "min", "max"):
        if key in matcher and not _is_number(matcher[key]):
            raise CaseError(f"{path}: \"{key}\" must be a number, got {_show(matcher[key])}")
    if not _is_number(actual):
        return [f"{path}: expected a number, got {_show(actual)}"]
    found = []
    if "approx" in matcher:
        target = float(matcher["approx"])
        tolerance = max(float(matcher.get("abs", 0.0)), float(matcher.get("rel", 0.0)) * abs(target))
        tolerance = tolerance or DEFAULT_TOLERANCE
        if not math.isfinite(actual) or abs(actual - target) > tolerance:
            found.append(f"{path}: expected {target:g} ± {tolerance:g}, got {actual!r}")
    if "min" in matcher and not actual >= matcher["min"]:
        found.append(f"{path}: expected at least {matcher['min']!r}, got {actual!r}")
    if "max" in matcher and not actual <= matcher["max"]:
        found.append(f"{path}: expected at most {matcher['max']!r}, got {actual!r}")
    return found


def _text(matcher: dict, actual: Any, path: str) -> List[str]:
    if not isinstance(actual, str):
        return [f"{path}: expected text, got {_show(actual)}"]
    found = []
    if "pattern" in matcher:
        try:
            pattern = re.compile(str(matcher["pattern"]))
        except re.error as exc:
            raise CaseError(f"{path}: invalid pattern {_show(matcher['pattern'])}: {exc}") from None
        if not pattern.search(actual):
            found.append(f"{path}: expected text matching {_show(matcher['pattern'])}, got {_show(actual)}")
    if "contains" in matcher and str(matcher["contains"]) not in actual:
        found.append(f"{path}: expected text containing {_show(matcher['contains'])}, got {_show(actual)}")
    return found
