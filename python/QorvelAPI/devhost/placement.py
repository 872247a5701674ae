"""A placement's copy of its declared block, holding the placement's block state, and the check of
the values that the copy holds.

The model is the authority on what a block state means: the state is applied to the copy with the
block's own ``_parseInternalVariables``, and what the copy then holds is checked against the
declared types (see ``values``), so the host judges exactly the values the block would run with,
declared defaults included.
"""

from __future__ import annotations

import copy
from dataclasses import dataclass
from typing import Any

from .flow import PlacedBlock
from .loader import one_line
from .values import ValueCheckError, Warn, check_values


@dataclass
class Placement:
    """One placement ready to run: its state JSON, built once, and the copy that holds it."""

    placed: PlacedBlock
    declared: Any
    state: dict
    block: Any

    @property
    def label(self) -> str:
        return placement_label(self.declared, self.placed)


def placement_label(declared: Any, placed: PlacedBlock) -> str:
    return f"{declared.id} (#{placed.placedID})"


def block_state(declared: Any, placed: PlacedBlock) -> dict:
    """The block state JSON of a placement: the editor's state of a new placement is the declared
    block's own minimal dictionary, and the flow file overrides what it keeps. A deep copy: the
    dictionary holds the declared block's own containers."""
    state = copy.deepcopy(declared._minimalEncode())
    state.update(copy.deepcopy(placed.state))
    state["placedID"] = placed.placedID
    state["isPlaced"] = True
    return state


def place(declared: Any, placed: PlacedBlock) -> Placement:
    """The copy of ``declared`` given the placement's state; ValueCheckError when the model refuses
    the state or the state names a variable the block does not have (the model skips those)."""
    label = placement_label(declared, placed)
    state = block_state(declared, placed)
    block = declared.copy()
    try:
        block._parseInternalVariables(state)
    except Exception as exc:
        raise ValueCheckError(f"block {label}: its block state cannot be applied: {one_line(exc)}", label) from None
    _check_state_names(label, declared, state.get("variables"))
    return Placement(placed, declared, state, block)


def _check_state_names(label: str, declared: Any, entries: Any) -> None:
    names = [v.id for v in declared._variables]
    for entry in entries if isinstance(entries, list) else []:
        key = entry.get("id") if isinstance(entry, dict) else None
        if isinstance(key, str) and key not in names:
            raise ValueCheckError(f"block {label}: the state sets the variable '{key}', which the block does not "
                                  f"have (variables: {', '.join(names) or 'none'})", label, key)


def check_stored(label: str, variables: Any, stored: dict, role: str = "variable",
                 warn: Warn | None = None) -> dict:
    """The values a block holds for ``variables`` (its declared defaults, or what its state gave
    it), checked: every check and run judges them here, so a default that does not fit refuses
    every run. A variable list's rows come back completed with the columns' defaults."""
    return check_values(label, variables, stored, role=role, warn=warn)


__all__ = ["Placement", "block_state", "check_stored", "place", "placement_label"]
