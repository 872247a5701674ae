"""The local host's flow: a flow file on disk and the run-time object that blocks and the viewer see.

A flow file is UTF-8 JSON::

    {
        "name": "Dock and show",
        "savedID": 17,
        "blocks": [
            {"blockID": "my_tools.prepare", "placedID": 1, "state": {...block state JSON...},
             "inputs": {"structure": "1abc.pdb"}},
            ...
        ],
        "connections": [ {...connection dictionary...}, ... ]
    }

"state" is the block state JSON that the flow editor keeps for a placement (the keys of the minimal
block dictionary); "inputs" holds fixed input values of the placement. Both are optional. The block
identifier may also be given as "id", or only inside "state". The connections use the connection
dictionary of the block document ("origin" and "destination" endpoints with "placedID" and
"variableID"); connections kept in a placement's state under "variableConnections" count as well.

Inside a local-host process this type is what the plugin container finds as
``Server.FlowManager.Flow`` (see :func:`register_flow_manager`).
"""

from __future__ import annotations

import heapq
import json
import os
import sys
import types
import uuid
from dataclasses import dataclass, field
from typing import Any

from .safe_files import FLOW_FILE, FileRefused, TooDeep, load_json, read_text


class FlowError(Exception):
    """A flow file that cannot be read, or a flow that cannot be run as it stands."""


@dataclass
class PlacedBlock:
    """One placement of a declared block in a flow."""

    blockID: str
    placedID: int
    state: dict = field(default_factory=dict)
    inputs: dict = field(default_factory=dict)

    def toDict(self) -> dict:
        return {"blockID": self.blockID, "placedID": self.placedID, "state": self.state, "inputs": self.inputs}


@dataclass
class FlowConnection:
    """An edge of the flow: an output of one placement feeds an input or variable of another."""

    originPlacedID: int
    originVariableID: str
    destinationPlacedID: int
    destinationVariableID: str
    isCyclic: bool = False
    raw: dict | None = None

    def describe(self) -> str:
        return (f"#{self.originPlacedID}.{self.originVariableID} -> "
                f"#{self.destinationPlacedID}.{self.destinationVariableID}")


def _is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


class Flow:
    """A flow of the local host: its name, file, saved identifier, placements and connections.

    ``pendingActions`` is the queue of viewer actions that blocks (through the viewer channel) append
    to while the flow runs; the local host reads them after each block.
    """

    def __init__(self, name: str, savedID: Any = None, path: str | None = None,
                 blocks: list[PlacedBlock] | None = None, connections: list[dict] | None = None):
        if not isinstance(name, str):
            raise TypeError(f"Flow name must be a string, got {type(name).__name__}")
        self.name = name
        self.savedID = savedID if savedID is not None else uuid.uuid4().hex[:12]
        self.path = os.path.abspath(path) if path else None
        self.blocks: list[PlacedBlock] = list(blocks or [])
        self.connections: list[dict] = list(connections or [])
        self.pendingActions: list = []
        # Values for the variables of placements, by placedID, given to the local host directly
        # (the command line's --set); applied after the block state JSON.
        self.variableValues: dict[int, dict] = {}

    # -- reading and writing -------------------------------------------------------------------

    @classmethod
    def read(cls, path: str) -> "Flow":
        """Reads a flow file; raises FlowError naming the file and the problem."""
        path = os.path.abspath(path)
        # Messages name the file by its base name: callers (and the plugin container's log line)
        # already give the full path.
        name = os.path.basename(path)
        try:
            text = read_text(path, FLOW_FILE)
        except IsADirectoryError:
            raise FlowError(f"{name}: is a folder, not a flow file") from None
        except OSError as exc:
            raise FlowError(f"{name}: cannot be read ({exc.strerror or exc})") from None
        except UnicodeDecodeError:
            raise FlowError(f"{name}: is not UTF-8 text") from None
        try:
            data = load_json(text)
        except json.JSONDecodeError as exc:
            raise FlowError(f"{name}: invalid JSON at line {exc.lineno} column {exc.colno}: {exc.msg}") from None
        except (TooDeep, FileRefused) as exc:
            raise FlowError(f"{name}: cannot be read ({exc})") from None
        flow = cls.fromDict(data, name)
        flow.path = path
        return flow

    @classmethod
    def fromDict(cls, data: Any, path: str | None = None) -> "Flow":
        where = path or "flow"
        if not isinstance(data, dict):
            raise FlowError(f"{where}: a flow must be a JSON object, got {type(data).__name__}")
        name = data.get("name")
        if not isinstance(name, str) or not name:
            raise FlowError(f"{where}: \"name\" must be a non-empty string")
        savedID = data.get("savedID")
        if savedID is not None and not (_is_int(savedID) or isinstance(savedID, str)):
            raise FlowError(f"{where}: \"savedID\" must be an integer or a string")
        raw_blocks = data.get("blocks", [])
        if not isinstance(raw_blocks, list):
            raise FlowError(f"{where}: \"blocks\" must be a list")
        blocks: list[PlacedBlock] = []
        seen: set[int] = set()
        for index, entry in enumerate(raw_blocks):
            label = f"{where}: block {index + 1}"
            if not isinstance(entry, dict):
                raise FlowError(f"{label} must be an object")
            state = entry.get("state", {})
            # The block identifier: "blockID", or "id" as in the editor's block state JSON.
            block_id = entry.get("blockID", entry.get("id"))
            if block_id is None and isinstance(state, dict):
                block_id = state.get("id")
            placed_id = entry.get("placedID")
            if not isinstance(block_id, str) or not block_id:
                raise FlowError(f"{label}: \"blockID\" must be a non-empty string")
            if not _is_int(placed_id):
                raise FlowError(f"{label} ({block_id}): \"placedID\" must be an integer")
            if placed_id in seen:
                raise FlowError(f"{label} ({block_id}): placedID {placed_id} is used by another block")
            seen.add(placed_id)
            inputs = entry.get("inputs", {})
            if not isinstance(state, dict):
                raise FlowError(f"{label} ({block_id}): \"state\" must be an object")
            if not isinstance(inputs, dict):
                raise FlowError(f"{label} ({block_id}): \"inputs\" must be an object")
            blocks.append(PlacedBlock(block_id, placed_id, state, inputs))
        connections = data.get("connections", [])
        if not isinstance(connections, list) or not all(isinstance(c, dict) for c in connections):
            raise FlowError(f"{where}: \"connections\" must be a list of objects")
        return cls(name, savedID, path, blocks, connections)

    def toDict(self) -> dict:
        return {
            "name": self.name,
            "savedID": self.savedID,
            "blocks": [block.toDict() for block in self.blocks],
            "connections": self.connections,
        }

    def write(self, path: str | None = None) -> str:
        """Writes the flow file (UTF-8, indented by 4 spaces) atomically; returns its path."""
        target = os.path.abspath(path or self.path or "")
        if not target or os.path.isdir(target):
            raise FlowError("no file name to write the flow to")
        temporary = f"{target}.tmp-{os.getpid()}"
        with open(temporary, "w", encoding="utf-8") as handle:
            json.dump(self.toDict(), handle, indent=4, default=_json_fallback)
            handle.write("\n")
        os.replace(temporary, target)
        self.path = target
        return target

    # -- structure -----------------------------------------------------------------------------

    @property
    def folder(self) -> str:
        """The flow's folder: where its file lives (the current folder for an unsaved flow)."""
        return os.path.dirname(self.path) if self.path else os.getcwd()

    def placement(self, placedID: int) -> PlacedBlock:
        for block in self.blocks:
            if block.placedID == placedID:
                return block
        raise FlowError(f"flow '{self.name}' has no block with placedID {placedID}")

    def edges(self) -> list[FlowConnection]:
        """All connections of the flow, from the flow's list and from the placements' states, once each."""
        found: list[FlowConnection] = []
        # The connections met so far by their ends, so that each is compared with the few that
        # could equal it, not with all of them.
        seen: dict[Any, list[dict]] = {}
        known = {block.placedID for block in self.blocks}
        sources = list(self.connections)
        for block in self.blocks:
            extra = block.state.get("variableConnections") or []
            if isinstance(extra, list):
                sources.extend(extra)
        for raw in sources:
            alike = seen.setdefault(_ends(raw), [])
            if raw in alike:
                continue
            alike.append(raw)
            found.append(self._edge(raw, known))
        return found

    def _edge(self, raw: Any, known: set | None = None) -> FlowConnection:
        """One connection read from its dictionary; ``known``: the flow's placed identifiers, when
        the caller reads many connections."""
        if known is None:
            known = {block.placedID for block in self.blocks}
        if not isinstance(raw, dict):
            raise FlowError(f"flow '{self.name}': a connection must be an object")
        ends = []
        for key in ("origin", "destination"):
            end = raw.get(key)
            if not isinstance(end, dict):
                raise FlowError(f"flow '{self.name}': a connection has no \"{key}\" object")
            placed, variable = end.get("placedID"), end.get("variableID")
            if not _is_int(placed) or not isinstance(variable, str):
                raise FlowError(f"flow '{self.name}': the {key} of a connection needs an integer \"placedID\" "
                                f"and a string \"variableID\"")
            ends.append((placed, variable))
        edge = FlowConnection(ends[0][0], ends[0][1], ends[1][0], ends[1][1], bool(raw.get("isCyclic", False)), raw)
        for placed in (edge.originPlacedID, edge.destinationPlacedID):
            if placed not in known:
                raise FlowError(f"flow '{self.name}': connection {edge.describe()} names placedID {placed}, "
                                f"which no block of the flow has")
        return edge

    def runOrder(self) -> list[PlacedBlock]:
        """The placements in dependency order (each after the blocks that feed it), file order otherwise.

        Raises FlowError for a connection that closes a cycle, naming the blocks on it.
        """
        edges = self.edges()
        for edge in edges:
            if edge.isCyclic:
                raise FlowError(f"flow '{self.name}' has a cyclic connection ({edge.describe()}); "
                                f"the local host runs only flows without cycles")
        feeds: dict[int, set[int]] = {block.placedID: set() for block in self.blocks}
        waiting: dict[int, int] = {block.placedID: 0 for block in self.blocks}
        for edge in edges:
            if edge.destinationPlacedID not in feeds[edge.originPlacedID]:
                feeds[edge.originPlacedID].add(edge.destinationPlacedID)
                waiting[edge.destinationPlacedID] += 1
        # The file positions of the placements whose feeders all ran; the first one runs next.
        position = {block.placedID: index for index, block in enumerate(self.blocks)}
        ready = [position[placed] for placed, count in waiting.items() if count == 0]
        heapq.heapify(ready)
        ordered: list[PlacedBlock] = []
        while ready:
            block = self.blocks[heapq.heappop(ready)]
            ordered.append(block)
            for target in feeds[block.placedID]:
                waiting[target] -= 1
                if waiting[target] == 0:
                    heapq.heappush(ready, position[target])
        if len(ordered) < len(self.blocks):
            cycle = self._find_cycle(feeds, {block.placedID for block in ordered})
            raise FlowError(f"flow '{self.name}' has a cyclic connection: {cycle}; "
                            f"the local host runs only flows without cycles")
        return ordered

    def _find_cycle(self, feeds: dict[int, set[int]], done: set[int]) -> str:
        names = {block.placedID: block.blockID for block in self.blocks}
        remaining = [p for p in feeds if p not in done]
        # Every remaining node has a predecessor among the remaining ones: walk backwards until a repeat.
        preds = {p: [q for q in remaining if p in feeds[q]] for p in remaining}
        path, node = [], remaining[0]
        while node not in path:
            path.append(node)
            node = preds[node][0]
        loop = path[path.index(node):][::-1]
        loop.append(loop[0])
        return " -> ".join(f"{names[p]} (#{p})" for p in loop)

    def upstream(self, placedID: int) -> set[int]:
        """The placements that feed the given one, directly or through others."""
        parents: dict[int, set[int]] = {}
        for edge in self.edges():
            parents.setdefault(edge.destinationPlacedID, set()).add(edge.originPlacedID)
        found: set[int] = set()
        stack = [placedID]
        while stack:
            for parent in parents.get(stack.pop(), ()):
                if parent not in found:
                    found.add(parent)
                    stack.append(parent)
        return found

    def __repr__(self) -> str:
        return f"Flow(name={self.name!r}, savedID={self.savedID!r}, path={self.path!r})"


def _ends(raw: Any) -> Any:
    """The placedID and variableID of a connection's two ends: equal connections have equal ends
    (None when the connection has no such ends, or they are not hashable)."""
    try:
        ends = tuple((raw[key].get("placedID"), raw[key].get("variableID")) for key in ("origin", "destination"))
        hash(ends)
    except (TypeError, KeyError, AttributeError, IndexError):
        return None
    return ends


def _json_fallback(value: Any) -> Any:
    if isinstance(value, (set, tuple)):
        return list(value)
    return repr(value)


def register_flow_manager() -> types.ModuleType:
    """Makes ``Server.FlowManager`` (with ``Flow``) importable in this process only.

    The plugin container imports the host module ``Server.FlowManager`` to read preset flows. The
    local host provides it as in-memory modules in ``sys.modules``; nothing is installed. A module
    that the process already has under that name (the platform's own) is left in place.
    """
    existing = sys.modules.get("Server.FlowManager")
    if existing is not None:
        return existing
    server = sys.modules.get("Server")
    if server is None:
        server = types.ModuleType("Server", "Host modules of the Qorvel local development host.")
        server.__path__ = []  # a package, so that the submodule import resolves
        sys.modules["Server"] = server
    manager = types.ModuleType("Server.FlowManager", "Flow type of the Qorvel local development host.")
    manager.Flow = Flow
    manager.FlowError = FlowError
    sys.modules["Server.FlowManager"] = manager
    server.FlowManager = manager
    return manager
