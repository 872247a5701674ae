"""The structural checks of a flow, made before any of its blocks runs.

A flow is refused, with a FlowError naming the flow and what is wrong, when a placement names a
block the plugin does not have, when its block state sets variables the block does not have, when
a value that its block would run with does not fit its type (see ``placement`` and ``values``), or
when a connection is wrong:

- both ends must be placements of the flow and name variables of their blocks;
- the origin must be an output, the destination an input (of the placement's selected input
  group) or a variable: the editor connects outputs to both, and shows a required variable in
  orange while nothing is connected to it;
- a "blockID" given with an end must be the block placed at that end's "placedID";
- the two types must be compatible (``compatible``).

Cycles are refused by ``Flow.runOrder``. All of this is cheap, so a structural error late in a
flow is found before its first (perhaps expensive) block starts.
"""

from __future__ import annotations

from typing import Any, Callable

from .flow import Flow, FlowConnection, FlowError, PlacedBlock
from .placement import Placement, check_stored, place
from .values import ValueCheckError, check_values, ignore_warning, type_of
from .vartypes import lookup

def compatible(origin: Any, destination: Any) -> bool:
    """Whether a connection may carry values from a variable ``origin`` to a variable ``destination``:
    equal types, "any" on either end, or an origin whose family the destination accepts (see
    ``vartypes``: an integer is a number; number and float are two names of one kind of value; a
    free text input takes any text; a select hands on the one text or number that was chosen).

    Groups and variable lists connect to their own kind, and only when their allowed values are
    equal (the editor's rule for which groups fit together)."""
    kinds = type_of(origin), type_of(destination)
    if "any" in kinds:
        return True
    sending, receiving = lookup(kinds[0]), lookup(kinds[1])
    if sending.matches_allowed or receiving.matches_allowed:
        return kinds[0] == kinds[1] and getattr(origin, "allowedValues", None) == \
            getattr(destination, "allowedValues", None)
    return kinds[0] == kinds[1] or (bool(sending.family) and sending.family in receiving.accepts)


def _selected_group(declared: Any, placed: PlacedBlock) -> str:
    return placed.state.get("selectedInputGroup") or getattr(declared, "selectedInputGroup", "default")


def input_variables(declared: Any, placed: PlacedBlock) -> list:
    group = getattr(declared, "_inputGroups", {}).get(_selected_group(declared, placed))
    return list(group.variables) if group is not None else []


def check_placement(declared: Any, placed: PlacedBlock, overrides: dict | None, warn=ignore_warning) -> Placement:
    """The placement's copy, given its state: what it holds, its fixed inputs and the given values
    are checked, names and types.

    ``warn`` receives the warnings (by default none: a run gives them when the block runs)."""
    placement = place(declared, placed)
    label, block = placement.label, placement.block
    check_stored(label, declared._variables, block.variables, warn=warn)
    if overrides:
        check_values(label, declared._variables, overrides, warn=warn)
    inputs = input_variables(declared, placed)
    if placed.inputs and not inputs and getattr(declared, "_inputGroups", {}):
        raise ValueCheckError(f"block {label} has no input group '{_selected_group(declared, placed)}' "
                              f"(groups: {', '.join(declared._inputGroups)})", label)
    check_stored(label, inputs, block.inputs, role="input", warn=warn)
    check_values(label, inputs, placed.inputs, role="input", warn=warn)
    return placement


def _end(edge: FlowConnection, key: str) -> dict:
    end = (edge.raw or {}).get(key)
    return end if isinstance(end, dict) else {}


def check_connection(flow: Flow, edge: FlowConnection, blocks: dict[int, tuple[PlacedBlock, Any]]) -> None:
    where = f"flow '{flow.name}': connection {edge.describe()}"
    ends = (("origin", edge.originPlacedID, edge.originVariableID),
            ("destination", edge.destinationPlacedID, edge.destinationVariableID))
    for key, placed_id, _ in ends:
        named = _end(edge, key).get("blockID")
        actual = blocks[placed_id][0].blockID
        if named is not None and named != actual:
            raise FlowError(f"{where}: its {key} names block '{named}', but #{placed_id} is {actual}")
    origin_placed, origin_block = blocks[edge.originPlacedID]
    outputs = {v.id: v for v in origin_block._outputs}
    origin = outputs.get(edge.originVariableID)
    if origin is None:
        other = " (it is a variable or input, not an output)" if edge.originVariableID in \
            _ids(origin_block._variables, input_variables(origin_block, origin_placed)) else ""
        raise FlowError(f"{where}: block {origin_block.id} has no output '{edge.originVariableID}'{other} "
                        f"(outputs: {', '.join(outputs) or 'none'})")
    dest_placed, dest_block = blocks[edge.destinationPlacedID]
    targets = {v.id: v for v in input_variables(dest_block, dest_placed)}
    targets.update({v.id: v for v in dest_block._variables if v.id not in targets})
    destination = targets.get(edge.destinationVariableID)
    if destination is None:
        other = " (it is an output)" if edge.destinationVariableID in _ids(dest_block._outputs) else ""
        raise FlowError(f"{where}: block {dest_block.id} has no input or variable "
                        f"'{edge.destinationVariableID}'{other} (inputs and variables: {', '.join(targets) or 'none'})")
    if not compatible(origin, destination):
        raise FlowError(f"{where}: the output is {type_of(origin)}, the destination {type_of(destination)}; "
                        f"these types cannot be connected")


def _ids(*lists) -> set[str]:
    return {v.id for variables in lists for v in variables}


def check_flow(flow: Flow, declared_for: Callable[[PlacedBlock], Any]) -> list[Placement]:
    """Refuses a flow that cannot run as a whole (FlowError); returns its placements in run order,
    each with the copy of its block that holds its state. The blocks, cycles and connections are
    checked before any block is copied."""
    blocks = {placed.placedID: (placed, declared_for(placed)) for placed in flow.blocks}
    order = flow.runOrder()
    for edge in flow.edges():
        check_connection(flow, edge, blocks)
    placements = []
    for placed in order:
        try:
            placements.append(check_placement(blocks[placed.placedID][1], placed,
                                              flow.variableValues.get(placed.placedID)))
        except ValueCheckError as exc:  # the message names the block and its placement
            raise FlowError(str(exc)) from None
    return placements


__all__ = ["check_flow", "check_connection", "check_placement", "compatible", "input_variables"]
