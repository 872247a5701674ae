"""The shapes of the JSON bodies of ``/api/check`` and ``/api/run``, checked before any field is used.

A field of the wrong kind is answered 400 naming it, never left to fail deep in the host (a list
used as an input group's name, an object used as a flow's).
"""

from __future__ import annotations

from ..loader import _type_name as json_kind
from .security import Refused

# The fields of a block's values; each may be left out or null.
BLOCK_FIELDS = (("variables", dict), ("inputs", dict), ("inputGroup", str))
KINDS: dict[type, str] = {str: "a string", dict: "an object"}


def _field(request: dict, key: str, kind: type, where: str, required: bool = False) -> None:
    value = request.get(key)
    if (value is None and not required) or isinstance(value, kind):
        return
    raise Refused(400, f"{where}\"{key}\" must be {KINDS[kind]}, got {json_kind(value)}")


def check_block_request(request: dict, where: str = "") -> None:
    """A block's id and its typed values: ``block`` a string, the rest objects or a string."""
    _field(request, "block", str, where, required=True)
    for key, kind in BLOCK_FIELDS:
        _field(request, key, kind, where)


def check_run_request(request: dict) -> None:
    """A run of a block (as ``check_block_request``), of a flow ``document`` from the editor, or of
    a preset ``flow`` with edited ``values``."""
    if request.get("document") is not None:
        return _field(request, "document", dict, "")
    if request.get("flow") is None:
        return check_block_request(request)
    _field(request, "flow", str, "")
    _field(request, "values", dict, "")
    for block_id, edits in (request.get("values") or {}).items():
        if not isinstance(edits, dict):
            raise Refused(400, f"values of block {block_id} must be an object, got {json_kind(edits)}")
        for key, kind in BLOCK_FIELDS:
            _field(edits, key, kind, f"values of block {block_id}: ")
    return None
