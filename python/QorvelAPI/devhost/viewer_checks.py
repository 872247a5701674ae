"""Viewer actions that the viewer accepts but that show nothing, named for the author.

The viewer module keeps the platform's behaviour (it records a sphere of negative radius, an
opacity of 2, a molecule file that is not there); the local host says what will be seen instead.
"""

from __future__ import annotations

import os
from typing import Any

# The ValueError that the viewer raises for a box given whole numbers, and the help added to it:
# the platform refuses ints, and --set, the page and JSON all give ints for 20.
FLOAT_LIST_REFUSAL = "dimensional float list"
FLOAT_LIST_HELP = "write whole numbers with a decimal point (20.0, not 20), or convert them with float()"


def float_list_help(message: str) -> str:
    """The one line of help for the viewer's refusal of whole numbers, or "" for other messages."""
    return FLOAT_LIST_HELP if FLOAT_LIST_REFUSAL in message else ""


def _number(value: Any) -> float | None:
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else None


def action_warnings(action: Any, block_label: str) -> list[str]:
    """What in one viewer action will draw nothing (a relative molecule path is the action's,
    read from the folder the block ran in)."""
    if not isinstance(action, dict) or not isinstance(action.get("data"), dict):
        return []
    kind, data = action.get("type"), action["data"]
    found = []
    radius, opacity = _number(data.get("radius")), _number(data.get("opacity"))
    if radius is not None and radius < 0:
        found.append(f"radius {radius:g} is negative: nothing is drawn")
    if opacity is not None and not 0.0 <= opacity <= 1.0:
        found.append(f"opacity {opacity:g} is outside 0..1: nothing is drawn")
    path = data.get("molContent") if kind == "addMolecule" else None
    if isinstance(path, str) and path:
        if not os.path.exists(path):
            found.append(f"the molecule file {path} does not exist")
    return [f"block {block_label}: viewer action {kind}: {text}" for text in found]


__all__ = ["action_warnings", "float_list_help"]
