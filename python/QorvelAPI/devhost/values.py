"""Checks of the values that the local host takes from the author, against the declared types.

The flow editor only ever sends a variable a value of its declared type; the local host gets its
values from the command line, flow files, configuration files and actions (``setOutput``), so it
checks each one as the editor would have constrained it. ``check_value`` is the one entry point:
it returns the value to use (a variable list's rows completed with the columns' defaults) or
raises ``ValueCheckError``, whose message names the block, the variable, the declared type and the
value (and, for a choice, the allowed values). Null is accepted for every type but a group: it is
the value of a variable that was left empty.

The shape of a value of each declared type, and its test, are in the type table (``vartypes``);
the checks that need the variable too (choices, lists, groups, variable lists, paths) are here.
"""

from __future__ import annotations

import json
import logging
import os
from typing import Any, Callable, Iterable

from .vartypes import lookup

Warn = Callable[[str], None]


class ValueCheckError(ValueError):
    """A value that does not fit its variable; the message says which and why."""

    def __init__(self, message: str, block: str = "", variable: str = "", declared: str = "", value: Any = None,
                 allowed: list | None = None):
        super().__init__(message)
        self.block, self.variable, self.declared, self.value, self.allowed = block, variable, declared, value, allowed


def show(value: Any, limit: int = 120) -> str:
    """A value as the author would write it (JSON), cut when long."""
    try:
        text = json.dumps(value, ensure_ascii=False)
    except (TypeError, ValueError):
        text = repr(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."


def block_label(block: Any) -> str:
    """How messages name a block: its identifier, and its placement when it has one."""
    if isinstance(block, str):
        return block
    placed = getattr(block, "_placedID", None)
    return f"{block.id} (#{placed})" if placed else str(block.id)


def type_of(variable: Any) -> str:
    return str(getattr(variable, "type", "any"))


def _log_warning(message: str) -> None:
    logging.getLogger("Qorvel").warning("%s", message)


def ignore_warning(message: str) -> None:
    """A ``warn`` for checks made ahead of a run: the run gives the warnings when the block runs."""


def _scalar_fits(kind: str, value: Any) -> bool:
    """Whether a non-null value fits one of the plain (non-container) types."""
    return lookup(kind).fits(value)


def expected(kind: str) -> str:
    return lookup(kind).expected or f"a value of type {kind}"


# -- the checks -------------------------------------------------------------------------------

class _Check:
    """One value of one variable; ``where`` names the variable in messages ("box.size", "residues[2].chain")."""

    def __init__(self, block: str, variable: Any, where: str, role: str, warn: Warn):
        self.block, self.variable, self.where, self.role, self.warn = block, variable, where, role, warn
        self.kind = type_of(variable)

    def fail(self, value: Any, problem: str, allowed: list | None = None) -> ValueCheckError:
        declared = {"group": "is a group", "_list": "is a variable list"}.get(self.kind, f"is declared {self.kind}")
        message = (f"block {self.block}: {self.role} '{self.where}' {declared}"
                   + (f" with allowed values {show(allowed, 400)}" if allowed is not None else "")
                   + f", but {problem}")
        return ValueCheckError(message, self.block, self.where, self.kind, value, allowed)

    def run(self, value: Any) -> Any:
        rule = lookup(self.kind).rule
        if rule == "group":  # a group always has its members: null is not a group's value
            return self.group(value)
        if value is None:
            return None
        if rule == "rows":
            return self.rows(value)
        allowed = getattr(self.variable, "allowedValues", None)
        if rule in ("select", "one of", "some of"):
            return self.choice(value, allowed, rule)
        if rule == "list":
            return self.elements(value, allowed)
        if not _scalar_fits(self.kind, value):
            raise self.fail(value, f"the value {show(value)} is not {expected(self.kind)}")
        if rule == "path":
            self.path(value)
        return value

    def choice(self, value: Any, allowed: list | None, rule: str) -> Any:
        if rule == "some of" and allowed is None:
            if not isinstance(value, bool):
                raise self.fail(value, f"the value {show(value)} is not true or false")
            return value
        if rule == "some of":
            if not isinstance(value, list):
                raise self.fail(value, f"the value {show(value)} is not a list of some of them", allowed)
            for item in value:
                if not _among(item, allowed):
                    raise self.fail(value, f"{show(item)} is not one of them", allowed)
            if len({show(v) for v in value}) != len(value):
                raise self.fail(value, f"the value {show(value)} names one of them twice", allowed)
            return value
        if rule == "select":
            items = value if allowed is None and isinstance(value, list) else [value]
            for item in items:
                if not _scalar_fits(self.kind, item):
                    what = f"the value {show(value)}" if item is value else f"the item {show(item)}"
                    raise self.fail(value, f"{what} is not {expected(self.kind)}", allowed)
        if allowed is not None and not _among(value, allowed):
            raise self.fail(value, f"the value {show(value)} is not one of them", allowed)
        if allowed is None and rule == "one of":
            raise self.fail(value, "the variable has no allowed values to choose from")
        return value

    def elements(self, value: Any, allowed: list | None) -> Any:
        element = str(allowed[0]) if allowed else "any"
        if not isinstance(value, list):
            raise self.fail(value, f"the value {show(value)} is not a list of {element} values")
        for index, item in enumerate(value):
            if item is not None and not _scalar_fits(element, item):
                raise self.fail(value, f"item {index + 1}, {show(item)}, is not {expected(element)} "
                                       f"(the list holds {element} values)")
        return value

    def path(self, value: str) -> None:
        if not value:
            return
        path = os.path.expanduser(value)
        if not os.path.exists(path):
            self.warn(f"block {self.block}: {self.role} '{self.where}' ({self.kind}): {value} does not exist "
                      f"on this machine")
        elif self.kind == "file" and os.path.isdir(path):
            self.warn(f"block {self.block}: {self.role} '{self.where}' (file): {value} is a folder")
        elif self.kind == "folder" and not os.path.isdir(path):
            self.warn(f"block {self.block}: {self.role} '{self.where}' (folder): {value} is not a folder")

    def group(self, value: Any) -> dict:
        members = {m.id: m for m in getattr(self.variable, "variables", [])}
        if not isinstance(value, dict):
            raise self.fail(value, f"the value {show(value)} is not a JSON object with members "
                                   f"{', '.join(members) or '(none)'}")
        checked = {}
        for key, item in value.items():
            if key not in members:
                raise self.fail(value, f"it has no member '{key}' (members: {', '.join(members) or 'none'})")
            checked[key] = _Check(self.block, members[key], f"{self.where}.{key}", self.role, self.warn).run(item)
        return checked

    def rows(self, value: Any) -> list:
        columns = {p.id: p for p in getattr(self.variable, "prototypes", [])}
        shape = f"a JSON list of rows (objects) with columns {', '.join(columns) or '(none)'}"
        if not isinstance(value, list):
            raise self.fail(value, f"the value {show(value)} is not {shape}")
        completed = []
        for number, row in enumerate(value, 1):
            if not isinstance(row, dict):
                raise self.fail(value, f"row {number}, {show(row)}, is not a JSON object (expected {shape})")
            full = {}
            for key, item in row.items():
                if key not in columns:
                    raise self.fail(value, f"row {number} has the column '{key}', which the list does not have "
                                           f"(columns: {', '.join(columns) or 'none'})")
                full[key] = _Check(self.block, columns[key], f"{self.where}[{number}].{key}", self.role,
                                   self.warn).run(item)
            completed.append({key: full[key] if key in full else prototype.defaultValue
                              for key, prototype in columns.items()})
        return completed


def _among(value: Any, allowed: Iterable) -> bool:
    # true is not 1 for a choice: compare kinds as well as values.
    return any(value == option and isinstance(value, bool) == isinstance(option, bool) for option in allowed)


def check_value(block: Any, variable: Any, value: Any, role: str = "variable", warn: Warn | None = None) -> Any:
    """The value to give ``variable`` of ``block`` (an object or its label), or ValueCheckError.

    ``role`` names the kind of slot in messages ("variable", "input", "output", "setting");
    ``warn`` receives warnings (paths that do not exist), by default logged on "Qorvel".
    """
    return _Check(block_label(block), variable, variable.id, role, warn or _log_warning).run(value)


def resolve_paths(variables: Iterable, values: dict, folder: str) -> dict:
    """``values`` with each relative path of a file or folder variable taken from ``folder`` (the
    plugin folder, as the platform reads them), so they mean the same from any current folder."""
    kinds = {v.id: type_of(v) for v in variables}
    resolved = dict(values)
    for key, value in values.items():
        if kinds.get(key) in ("file", "folder") and isinstance(value, str) and value \
                and not os.path.isabs(os.path.expanduser(value)):
            resolved[key] = os.path.join(folder, value)
    return resolved


def check_values(block: Any, variables: Iterable, values: dict, role: str = "variable",
                 warn: Warn | None = None) -> dict:
    """``values`` (identifier to value) checked against ``variables``; unknown identifiers are errors."""
    declared = {v.id: v for v in variables}
    label = block_label(block)
    checked = {}
    for key, value in values.items():
        if key not in declared:
            raise ValueCheckError(f"block {label} has no {role} '{key}' ({role}s: {', '.join(declared) or 'none'})",
                                  label, key)
        checked[key] = check_value(label, declared[key], value, role, warn)
    return checked


__all__ = ["ValueCheckError", "check_value", "check_values", "resolve_paths", "block_label", "expected", "show",
           "ignore_warning"]
