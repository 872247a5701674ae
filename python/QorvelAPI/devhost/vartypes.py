"""The local host's one table of variable types: for each ``VariableTypes`` member's text, the shape
of its values and their check, the family of values a connection carries from it, its control on
the serve page and its help text. The value checks (``values``), the connection checks
(``flowcheck``), the command help and the page (``serve`` sends the table) all read it, so a new
type is one entry here.

``fits`` tests a non-null value of a plain type (the element of a select); ``rule`` names the checks that need the variable too (its allowed values, members
or columns). A connection may join equal types, "any" to anything, and an origin whose
``family`` is among the destination's ``accepts``; a group or a variable list only joins its own
kind with the same allowed values (``matches_allowed``).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable


def _anything(value: Any) -> bool:
    return True


def is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and \
        not (isinstance(value, float) and not math.isfinite(value))


def is_integer(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _is_text(value: Any) -> bool:
    return isinstance(value, str)


def _is_range(value: Any) -> bool:
    return isinstance(value, list) and len(value) == 3 and all(is_number(v) for v in value)


def _is_constrained_range(value: Any) -> bool:
    return isinstance(value, list) and len(value) == 4 and all(is_number(v) for v in value[:3]) and \
        isinstance(value[3], bool)


@dataclass(frozen=True)
class VariableType:
    text: str
    help: str                                   # the shape of a value, for people
    control: str = "json"                       # text, textarea, number, switch, select, radio, checkboxes,
    #                                             group, rows or json (the value as JSON)
    fits: Callable[[Any], bool] = _anything
    expected: str = ""                          # how messages name a fitting value
    rule: str = "plain"                         # plain, path, select, one of, some of, list, group or rows
    family: str = ""                            # what a connection carries from it ("": only its own type)
    accepts: frozenset = frozenset()            # families a connection may bring into it
    matches_allowed: bool = False               # connects only to its own kind with equal allowed values

    @property
    def typed_text(self) -> bool:
        """Whether a command-line value for it stays the text typed (unless it is a JSON string)."""
        return self.family == "text"


_TEXT = dict(fits=_is_text, expected="a text", family="text")
_NUMBER = dict(control="number", fits=is_number, expected="a number", family="number",
               accepts=frozenset({"number", "integer", "number choice"}))
_STORED = "stored as given"

TYPES: dict[str, VariableType] = {entry.text: entry for entry in (
    VariableType("any", "anything JSON holds"),
    VariableType("string", "a text", "text", **{**_TEXT, "accepts": frozenset({"text", "text choice"})}),
    VariableType("text_area", "a text", "textarea", **{**_TEXT, "accepts": frozenset({"text"})}),
    VariableType("code", "a text", "textarea", **_TEXT),
    VariableType("smiles", "a text", "text", **_TEXT),
    VariableType("structure", "a text", "text", **_TEXT),
    VariableType("file", "a path (one that does not exist on this machine gets a warning, not an error)", "text",
                 rule="path", **_TEXT),
    VariableType("folder", "a path (one that does not exist on this machine gets a warning, not an error)", "text",
                 rule="path", **_TEXT),
    VariableType("number", "a number (an integer or a decimal; not true or false)", **_NUMBER),
    VariableType("float", "a number (an integer or a decimal; not true or false)", **_NUMBER),
    VariableType("integer", "a whole number written without a fraction (not 2.7, not 2.0, not true)", "number",
                 fits=is_integer, expected="a whole number", family="integer"),
    VariableType("boolean", "true or false", "switch", fits=lambda v: isinstance(v, bool), expected="true or false"),
    VariableType("string[]", "one text, one of allowedValues when given (without them, a list of texts too)",
                 "select", fits=_is_text, expected="a text", rule="select", family="text choice"),
    VariableType("number[]", "one number, one of allowedValues when given (without them, a list of numbers too)",
                 "select", fits=is_number, expected="a number", rule="select", family="number choice"),
    VariableType("radio", "one of allowedValues", "radio", rule="one of"),
    VariableType("checkbox", "a list of some of allowedValues, each at most once (true or false without them)",
                 "checkboxes", rule="some of"),
    VariableType("list", "a list whose items have the type named by the first of allowedValues", rule="list"),
    VariableType("object", "a JSON object", fits=lambda v: isinstance(v, dict), expected="a JSON object"),
    VariableType("[number, number, number]", "a list of three numbers [from, to, step]", fits=_is_range,
                 expected="a list of three numbers [from, to, step]"),
    VariableType("[number, number, number, constrain]",
                 "a list of four items [from, to, step, constrain]: three numbers and true or false",
                 fits=_is_constrained_range,
                 expected="a list [from, to, step, constrain] of three numbers and true or false"),
    VariableType("group", "a JSON object from member identifiers to values (a member left out keeps its value)",
                 "group", rule="group", matches_allowed=True),
    VariableType("_list", "a JSON list of rows, each an object from column identifiers to values (a missing "
                          "column gets the column's default)", "rows", rule="rows", matches_allowed=True),
    VariableType("multiple_structure", _STORED, "text"),
    VariableType("heterores", _STORED, "text"),
    VariableType("stdres", _STORED, "text"),
    VariableType("residue", _STORED, "text"),
    VariableType("atom", _STORED, "text"),
    VariableType("chain", _STORED, "text"),
    VariableType("box", _STORED),
    VariableType("sphere", _STORED),
    VariableType("custom", "anything JSON holds (set on the variable's page)"),
)}


def lookup(text: str) -> VariableType:
    """The entry of a type text; a text the table does not know is stored as given."""
    return TYPES.get(text) or VariableType(text, _STORED)


def page_table() -> dict:
    """What the serve page needs of each type: its control."""
    return {text: {"control": entry.control} for text, entry in TYPES.items()}


def help_lines() -> list[str]:
    """The value of each type, for the command help: types with the same shape share a line."""
    shapes: dict[str, list[str]] = {}
    for text, entry in TYPES.items():
        shapes.setdefault(entry.help, []).append(text)
    return [f"  {', '.join(texts)}: {shape}" for shape, texts in shapes.items()]


__all__ = ["TYPES", "VariableType", "help_lines", "is_integer", "is_number", "lookup", "page_table"]
