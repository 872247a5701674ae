"""Mistakes in a block's action that the platform lets pass in silence, named by the local host.

- An action that returns a value: the platform ignores what an action returns.
- An action that writes into ``block.variables``: each read of ``variables`` is a fresh dictionary,
  so the write is lost.
- A required input or variable left empty: the run is refused before it starts.
"""

from __future__ import annotations

import ast
import contextlib
import functools
import inspect
import textwrap
from typing import Any, Callable, Iterator

from .flowcheck import input_variables
from .placement import Placement

# The attributes of a block that hold its actions (a cluster job block keeps its first one under
# the misspelt name the model uses).
ACTION_ATTRIBUTES = ("action", "initalAction", "finalAction")
# Methods of a dictionary that change it in place.
CHANGING_METHODS = frozenset({"update", "setdefault", "pop", "popitem", "clear", "__setitem__"})


def _actions(block: Any) -> list[tuple[str, Callable]]:
    found = []
    for name in ACTION_ATTRIBUTES:
        action = getattr(block, name, None)
        if callable(action) and all(action is not other for _, other in found):
            found.append((name, action))
    return found


def _name(action: Callable) -> str:
    return getattr(action, "__qualname__", None) or getattr(action, "__name__", None) or repr(action)


@contextlib.contextmanager
def returned_values(block: Any) -> Iterator[list[str]]:
    """While active, the block's actions are wrapped so that each value an action returns (other
    than None) adds a warning to the yielded list; the actions are put back afterwards."""
    warnings: list[str] = []
    saved = _actions(block)

    def recording(action: Callable) -> Callable:
        @functools.wraps(action)
        def call(*args, **kwargs):
            value = action(*args, **kwargs)
            if value is not None:
                shown = repr(value)
                shown = shown if len(shown) <= 60 else shown[:57] + "..."
                warnings.append(f"the action {_name(action)} of block {block.id} (#{block._placedID}) returned "
                                f"{shown}; the platform ignores what an action returns: use "
                                f"block.setOutput(id, value) to pass a result on")
            return value
        return call

    for attribute, action in saved:
        setattr(block, attribute, recording(action))
    try:
        yield warnings
    finally:
        for attribute, action in saved:
            setattr(block, attribute, action)


def _writes_into_variables(action: Callable) -> int | None:
    """The line (in the action's file) of the first write into ``<block>.variables`` in the action's
    source, where <block> is its first parameter; None when there is none or no source."""
    try:
        lines, first = inspect.getsourcelines(action)
        tree = ast.parse(textwrap.dedent("".join(lines)))
    except (OSError, TypeError, SyntaxError):
        return None
    function = next((n for n in ast.walk(tree) if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))), None)
    if function is None or not function.args.args:
        return None
    parameter = function.args.args[0].arg

    def is_variables(node: ast.AST) -> bool:
        return (isinstance(node, ast.Attribute) and node.attr == "variables"
                and isinstance(node.value, ast.Name) and node.value.id == parameter)

    for node in ast.walk(function):
        targets = []
        if isinstance(node, (ast.Assign, ast.AugAssign, ast.AnnAssign, ast.Delete)):
            targets = node.targets if isinstance(node, (ast.Assign, ast.Delete)) else [node.target]
        if any(isinstance(t, ast.Subscript) and is_variables(t.value) for t in targets):
            return first + node.lineno - 1
        if (isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute)
                and node.func.attr in CHANGING_METHODS and is_variables(node.func.value)):
            return first + node.lineno - 1
    return None


@functools.lru_cache(maxsize=256)
def _variable_write_line(action: Callable) -> int | None:
    return _writes_into_variables(action)


def variable_writes(block: Any) -> list[str]:
    """One warning for each action of the block whose code writes into ``block.variables``."""
    warnings = []
    for _, action in _actions(block):
        try:
            line = _variable_write_line(action)
        except TypeError:  # an unhashable callable
            line = _writes_into_variables(action)
        if line is not None:
            warnings.append(f"the action {_name(action)} of block {block.id} writes into block.variables "
                            f"(line {line}); block.variables is a new dictionary on every read, so the write "
                            f"is lost: use block.setOutput(id, value) for results")
    return warnings


def _is_empty(value: Any) -> bool:
    return value is None or (isinstance(value, (str, list, dict)) and not value)


def empty_required(placement: Placement, values: dict, inputs: dict, connected: set[str]) -> list[str]:
    """The identifiers of the placement's required variables and inputs that hold no value and
    receive none over a connection (``values`` and ``inputs`` override what the copy holds)."""
    block, placed = placement.block, placement.placed
    stored = block.variables
    empty = []
    for variable in block._variables:
        if _waits_for_value(variable, connected) and _is_empty(values.get(variable.id, stored.get(variable.id))):
            empty.append(f"variable '{variable.id}'")
    for variable in input_variables(placement.declared, placed):
        if _waits_for_value(variable, connected) and _is_empty(inputs.get(variable.id, variable.defaultValue)):
            empty.append(f"input '{variable.id}'")
    return empty


def _waits_for_value(variable: Any, connected: set[str]) -> bool:
    return bool(getattr(variable, "required", False)) and variable.id not in connected


__all__ = ["empty_required", "returned_values", "variable_writes"]
