"""Checks of the values typed on the page, against the variable dictionaries the editor receives.

Each check takes a variable dictionary (the full form of ``toDict()``) and a value, and returns
a message for a value the editor would not accept, or None. Groups check their members and lists
every cell of every row, so the message names the member or the row.
"""

from __future__ import annotations

from typing import Any

TEXT = frozenset({"string", "text_area", "file", "folder", "structure", "multiple_structure", "smiles", "code",
                  "heterores", "stdres", "residue", "atom", "chain"})
CHOICES = frozenset({"string[]", "number[]", "radio"})


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _kind(value: Any) -> str:
    if value is None:
        return "nothing"
    if isinstance(value, bool):
        return "a switch value"
    if _is_number(value):
        return "a number"
    if isinstance(value, str):
        return "text"
    return "a list" if isinstance(value, list) else "an object" if isinstance(value, dict) else type(value).__name__


def _numbers(value: Any, count: int) -> bool:
    return isinstance(value, list) and len(value) == count and all(_is_number(v) for v in value)


def check_plain(variable: dict, value: Any) -> str | None:
    """A variable that is neither a group nor a list."""
    kind = str(variable.get("type"))
    if value is None:
        return "a value is required" if variable.get("required") else None
    allowed = variable.get("allowedValues")
    if kind in CHOICES and allowed:
        return None if value in allowed else f"must be one of {', '.join(map(str, allowed))}"
    if kind == "integer":
        return None if isinstance(value, int) and not isinstance(value, bool) else f"expected a whole number, got {_kind(value)}"
    if kind in ("number", "float"):
        return None if _is_number(value) else f"expected a number, got {_kind(value)}"
    if kind in ("boolean", "checkbox"):
        return None if isinstance(value, bool) else f"expected on or off, got {_kind(value)}"
    if kind in TEXT or kind in CHOICES:
        return None if isinstance(value, str) or (kind == "number[]" and _is_number(value)) \
            else f"expected text, got {_kind(value)}"
    if kind == "[number, number, number]":
        return None if _numbers(value, 3) else "expected three numbers [min, max, step]"
    if kind == "[number, number, number, constrain]":
        ok = isinstance(value, list) and len(value) == 4 and _numbers(value[:3], 3)
        return None if ok else "expected three numbers and a constraint [min, max, step, constrain]"
    if kind == "list":
        return None if isinstance(value, list) else f"expected a list, got {_kind(value)}"
    if kind in ("object", "box", "sphere"):
        return None if isinstance(value, dict) else f"expected an object, got {_kind(value)}"
    return None  # any, custom: every JSON value


def check_variable(variable: dict, value: Any) -> list[str]:
    """Messages for one variable's value: "<name>: <problem>", one per fault."""
    kind = str(variable.get("type"))
    label = variable.get("name") or variable.get("id")
    members = variable.get("variables") or []
    if kind == "group":
        if not isinstance(value, dict):
            return [f"{label}: expected the group's values as an object, got {_kind(value)}"]
        found = []
        for member in members:
            if member["id"] in value:
                found += [f"{label} / {m}" for m in check_variable(member, value[member["id"]])]
        return found
    if kind == "_list":
        if value is None:
            return [f"{label}: a value is required"] if variable.get("required") else []
        if not isinstance(value, list) or not all(isinstance(row, dict) for row in value):
            return [f"{label}: expected a list of rows"]
        found = []
        for number, row in enumerate(value, 1):
            for member in members:
                if member["id"] in row:
                    found += [f"{label} row {number} / {m}" for m in check_variable(member, row[member["id"]])]
        return found
    problem = check_plain(variable, value)
    return [f"{label}: {problem}"] if problem else []


def check_values(variables: list[dict], values: dict, what: str) -> list[str]:
    """Messages for the values given for a block's variables (or inputs); unknown names are faults."""
    by_id = {v["id"]: v for v in variables}
    found = []
    for key, value in values.items():
        if key not in by_id:
            found.append(f"no {what} '{key}' (known: {', '.join(by_id) or 'none'})")
        else:
            found += check_variable(by_id[key], value)
    return found
