"""Values given on the command line (``--set NAME=VALUE``, ``--input ID=VALUE``), parsed for the
types of the variables they reach."""

from __future__ import annotations

import json
from typing import Any

from ..flow import Flow
from ..vartypes import help_lines, lookup
from .output import UsageError



def values_help() -> str:
    """The epilog of the commands that take values: the shape of a value of each type."""
    return ("Values are JSON where they parse, else text; each is checked against its variable's type:\n"
            + "\n".join(help_lines()))


def parse_value(text: str, variable_type: str | None = None) -> Any:
    """A command-line value: JSON where it parses, else the text itself."""
    try:
        value = json.loads(text)
    except ValueError:
        return text
    # A text variable keeps the text typed unless it is a JSON string ("--set name=123" sets the
    # text 123, not a number).
    if variable_type is not None and lookup(variable_type).typed_text and not isinstance(value, str):
        return text
    return value


def parse_assignments(items: list[str] | None, option: str) -> dict:
    """NAME=VALUE items as a dictionary of the texts (the values are parsed once their types are known)."""
    values: dict = {}
    for item in items or []:
        name, sep, text = item.partition("=")
        if not sep or not name:
            raise UsageError(f"{option} expects NAME=VALUE, got '{item}'")
        values[name] = text
    return values


def typed_values(texts: dict, variables) -> dict:
    """The values of NAME=TEXT items, each parsed for its variable's type; "group.member" sets one
    member of a group (the other members keep their values)."""
    declared = {v.id: v for v in variables}
    values: dict = {}
    for name, text in texts.items():
        head, dot, member = name.partition(".")
        group = declared.get(head)
        if name not in declared and dot and group is not None and str(getattr(group, "type", "")) == "group":
            members = {m.id: str(getattr(m, "type", "")) for m in group.variables}
            target = values.get(head)
            if not isinstance(target, dict):
                target = values[head] = {}
            target[member] = parse_value(text, members.get(member))
        else:
            values[name] = parse_value(text, str(getattr(declared[name], "type", "")) if name in declared else None)
    return values


def placed_assignments(flow: Flow, texts: dict, option: str) -> dict[int, dict]:
    """PLACED_ID.NAME=TEXT items of ``flow`` as texts by placement."""
    by_placement: dict[int, dict] = {}
    known = {b.placedID for b in flow.blocks}
    for name, text in texts.items():
        head, dot, rest = name.partition(".")
        if dot and rest and not head.isdigit():
            head, rest = _placement_of_block(flow, name, option)
        if not dot or not head.isdigit() or not rest:
            raise UsageError(f"{option} of a flow expects PLACED_ID.NAME=VALUE, got '{name}={text}' (BLOCK_ID "
                             f"in place of PLACED_ID works when the flow places that block once)")
        if int(head) not in known:
            raise UsageError(f"{option} {name}: flow '{flow.name}' has no block with placedID {head} "
                             f"(placedIDs: {', '.join(str(p) for p in sorted(known)) or 'none'})")
        by_placement.setdefault(int(head), {})[rest] = text
    return by_placement


def _placement_of_block(flow: Flow, name: str, option: str) -> tuple[str, str]:
    """BLOCK_ID.NAME (the block identifier with or without the plugin prefix) as (placedID, NAME)
    when the flow places that block once; the longest block identifier that fits is taken."""
    fitting = []
    for placed in flow.blocks:
        short = placed.blockID.partition(".")[2]
        for block_id in (placed.blockID, short):
            if block_id and name.startswith(block_id + "."):
                fitting.append((len(block_id), placed, name[len(block_id) + 1:]))
    if not fitting:
        return name.partition(".")[0], name.partition(".")[2]
    longest = max(length for length, _, _ in fitting)
    chosen = [(placed, rest) for length, placed, rest in fitting if length == longest]
    if len(chosen) > 1:
        ids = ", ".join(str(placed.placedID) for placed, _ in chosen)
        raise UsageError(f"{option} {name}: flow '{flow.name}' places block {chosen[0][0].blockID} "
                         f"{len(chosen)} times (placedIDs {ids}): give the placed identifier instead")
    return str(chosen[0][0].placedID), chosen[0][1]
