"""The flows that the editor of ``qorvel-plugin serve`` opens and saves.

A flow is a preset flow (a ``.flow`` file of the plugin's ``Flows`` folder) or a flow of the runs
folder (the one each run saves, or a copy saved there). The editor reads a flow as the JSON of its
file and sends the whole document back to save it. Before anything is written the document goes
through the local host's flow checks (those of ``check`` and ``flow``) and every placement's state
through the real block: ``copy()`` of the declared block takes it with ``_parseInternalVariables``,
and the state written is that block's own minimal dictionary. So a saved file is always one that
``check`` accepts, and a file the host wrote comes back byte for byte when nothing was edited.

Saves are one at a time (a lock) and atomic (a temporary file in the same folder, then a rename);
a refused save writes nothing.
"""

from __future__ import annotations

import copy
import json
import os
import stat
import tempfile
import threading
from typing import Any

from ..flow import Flow, FlowError
from ..flowcheck import check_connection, check_placement
from ..placement import block_state
from ..run import LocalHost, _plain, _slug
from ..values import ValueCheckError
from .security import Refused, resolve_inside

MAX_FLOW_BYTES = 16 * 1024 * 1024


class FlowRefused(Exception):
    """A request about flows that is refused: the HTTP status and the problems to answer with."""

    def __init__(self, status: int, problems: list[dict]):
        super().__init__("; ".join(p["message"] for p in problems))
        self.status = status
        self.problems = problems


def problem(message: str, level: str = "error", **names) -> dict:
    """One problem of a flow; ``names`` says which placement (placedID) or connection it is about."""
    return {"level": level, "message": message, **names}


def read_flow_bytes(path: str) -> bytes:
    """The bytes of a flow file: a regular file (never a fifo or a device), at most MAX_FLOW_BYTES."""
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_NOFOLLOW", 0))
    with os.fdopen(descriptor, "rb") as handle:
        facts = os.fstat(handle.fileno())
        if not stat.S_ISREG(facts.st_mode):
            raise FlowError(f"{os.path.basename(path)}: not a regular file")
        if facts.st_size > MAX_FLOW_BYTES:
            raise FlowError(f"{os.path.basename(path)}: larger than {MAX_FLOW_BYTES} bytes")
        return handle.read(MAX_FLOW_BYTES + 1)


def flow_text(document: dict) -> str:
    """A flow document as the local host writes flow files (``Flow.write``)."""
    return json.dumps(document, indent=4) + "\n"


def write_atomically(path: str, text: str) -> None:
    folder = os.path.dirname(path)
    descriptor, temporary = tempfile.mkstemp(prefix=".flow-", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(descriptor, "w", encoding="utf-8") as handle:
            handle.write(text)
            handle.flush()
            os.fsync(handle.fileno())
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def _as_read(entry: dict) -> tuple:
    """What a block takes from a variable entry of its state: identifier, type, value, members' values."""
    members = entry.get("variables") if entry.get("type") == "group" else None
    return (entry.get("id"), entry.get("type"), entry.get("value"),
            [(m.get("id"), m.get("value")) for m in members if isinstance(m, dict)] if isinstance(members, list) else None)


class FlowLibrary:
    """The preset flows of one plugin and the flows of its runs folder."""

    def __init__(self, host: LocalHost, runs_dir: str):
        self.host = host
        self.flows_dir = os.path.join(host.plugin._path, "Flows")
        self.runs_dir = os.path.abspath(runs_dir)
        self._saving = threading.Lock()

    # -- listing and reading -------------------------------------------------------------------

    def _files(self) -> list[tuple[str, str]]:
        """(source, path) of every flow file: presets by name, then the runs folder's, newest first."""
        found = []
        if os.path.isdir(self.flows_dir):
            found += [("preset", os.path.join(self.flows_dir, name)) for name in sorted(os.listdir(self.flows_dir))
                      if name.endswith(".flow")]
        runs = []
        for folder, subfolders, names in os.walk(self.runs_dir):
            subfolders[:] = [s for s in subfolders if not s.startswith(".")]
            runs += [os.path.join(folder, name) for name in names if name.endswith(".flow")]
        runs.sort(key=lambda path: (-os.stat(path).st_mtime, path))
        return found + [("run", path) for path in runs]

    def _read(self, path: str) -> tuple[bytes, dict]:
        data = read_flow_bytes(path)
        try:
            document = json.loads(data)
        except ValueError as exc:
            raise FlowError(f"{os.path.basename(path)}: invalid JSON ({exc})") from None
        Flow.fromDict(document, os.path.basename(path))
        return data, document

    def entries(self) -> list[dict]:
        """``savedID``, ``name``, ``path`` and ``source`` of each readable flow file."""
        listed = []
        for source, path in self._files():
            try:
                document = self._read(path)[1]
            except (OSError, FlowError):
                continue  # check reports unreadable presets; the editor cannot open them
            listed.append({"savedID": document.get("savedID"), "name": document["name"], "path": path,
                           "source": source})
        return listed

    def find(self, saved_id: str, path: str | None = None) -> dict | None:
        """The listed flow with that savedID: the one at ``path`` if given, else a preset, else the newest run."""
        matching = [e for e in self.entries() if str(e["savedID"]) == saved_id]
        if path is not None:
            matching = [e for e in matching if os.path.realpath(e["path"]) == os.path.realpath(path)]
        return matching[0] if matching else None

    def document_bytes(self, saved_id: str, path: str | None = None) -> bytes:
        entry = self.find(saved_id, path)
        if entry is None:
            raise FlowRefused(404, [problem(f"no flow with savedID '{saved_id}'"
                                            + (f" at {path}" if path else ""))])
        return self._read(entry["path"])[0]

    # -- checking --------------------------------------------------------------------------------

    def parse(self, document: Any) -> Flow:
        try:
            return Flow.fromDict(document)
        except FlowError as exc:
            raise FlowRefused(400, [problem(str(exc))]) from None

    def placements(self, flow: Flow, problems: list[dict]) -> dict[int, tuple]:
        """Each placement with its declared block; unknown blocks and refused values become problems."""
        known: dict[int, tuple] = {}
        for placed in flow.blocks:
            where = {"placedID": placed.placedID}
            try:
                declared = self.host.declared_exact(placed)
            except FlowError as exc:
                problems.append(problem(str(exc), **where))
                continue
            known[placed.placedID] = (placed, declared)
            warnings: list[str] = []
            try:
                check_placement(declared, placed, None, warn=warnings.append)
            except ValueCheckError as exc:
                problems.append(problem(str(exc), **where))
            problems.extend(problem(w, "warning", **where) for w in warnings)
        return known

    def connection_problems(self, flow: Flow, known: dict[int, tuple]) -> list[dict]:
        found = []
        try:
            edges = flow.edges()
        except FlowError as exc:  # an end that is no placement of the flow
            return [problem(str(exc))]
        for edge in edges:
            if edge.originPlacedID in known and edge.destinationPlacedID in known:
                try:
                    check_connection(flow, edge, known)
                except FlowError as exc:
                    found.append(problem(str(exc), connection=edge.raw))
        if not found:
            try:
                flow.runOrder()
            except FlowError as exc:
                found.append(problem(str(exc)))
        return found

    def modelled_state(self, placed, declared) -> dict:
        """The placement's state as the real block has it after taking it (the model's error on refusal).

        A variable entry that the block reads back as it was sent is kept as sent: its other keys
        (a custom variable's page, which each host fills in its own way) are not the flow's content.
        """
        block = declared.copy()
        block._parseInternalVariables(block_state(declared, placed))
        state = _plain(block._minimalEncode())
        sent = {e.get("id"): e for e in placed.state.get("variables") or [] if isinstance(e, dict)}
        state["variables"] = [sent[e["id"]] if e["id"] in sent and _as_read(sent[e["id"]]) == _as_read(e) else e
                              for e in state["variables"]]
        return state

    def checked_document(self, document: Any) -> tuple[dict, list[dict]]:
        """The document to write (each state as the model gives it back) and its warnings; FlowRefused
        with every problem found when it cannot be saved."""
        flow = self.parse(document)
        problems: list[dict] = []
        known = self.placements(flow, problems)
        problems += self.connection_problems(flow, known)
        written = copy.deepcopy(document)
        for entry, placed in zip(written.get("blocks", []), flow.blocks):
            if placed.placedID not in known or any(p.get("placedID") == placed.placedID for p in problems
                                                   if p["level"] == "error"):
                continue
            try:
                entry["state"] = self.modelled_state(placed, known[placed.placedID][1])
            except Exception as exc:  # the model refused the state: the message is the library's own
                problems.append(problem(f"block {placed.blockID} (#{placed.placedID}): the block refuses its "
                                        f"state: {exc}", placedID=placed.placedID))
        if any(p["level"] == "error" for p in problems):
            raise FlowRefused(400, problems)
        return written, problems

    def connection_check(self, document: Any, connection: Any) -> list[str]:
        """Why ``connection`` may not be added to the flow (empty when it may): check's own messages."""
        flow = self.parse(document)
        if not isinstance(connection, dict):
            raise FlowRefused(400, [problem("\"connection\" must be an object")])
        try:
            edge = flow._edge(connection)
        except FlowError as exc:
            return [str(exc)]
        problems: list[dict] = []
        known = self.placements(flow, [])
        try:
            check_connection(flow, edge, known)
        except FlowError as exc:
            problems.append(problem(str(exc)))
        except KeyError:  # an end whose block the plugin does not have
            problems.append(problem(f"flow '{flow.name}': connection {edge.describe()}: a block at its ends is "
                                    f"not a block of plugin {self.host.plugin.id}"))
        if not problems:
            flow.connections.append(connection)
            try:
                flow.runOrder()
            except FlowError as exc:
                problems.append(problem(str(exc)))
        return [p["message"] for p in problems]

    def runnable(self, document: Any) -> Flow:
        """The edited flow as ``flow`` would run it; FlowRefused when check would refuse it."""
        self.checked_document(document)
        return self.parse(document)

    # -- saving ----------------------------------------------------------------------------------

    def _preset_target(self, saved_id: str, name: str) -> str:
        presets = [e for e in self.entries() if e["source"] == "preset"]
        owners = [e for e in presets if str(e["savedID"]) == saved_id]
        if len(owners) > 1:
            files = ", ".join(os.path.basename(e["path"]) for e in owners)
            raise FlowRefused(409, [problem(f"savedID '{saved_id}' is used by more than one preset flow ({files}); "
                                            f"give one of them another savedID")])
        if owners:
            return owners[0]["path"]
        target = os.path.join(self.flows_dir, f"{_slug(name)}.flow")
        if os.path.lexists(target):
            other = next((e for e in presets if e["path"] == target), None)
            held = f"preset flow '{other['name']}' (savedID '{other['savedID']}')" if other else "a file"
            raise FlowRefused(409, [problem(f"Flows/{os.path.basename(target)} already holds {held}; save under "
                                            f"another name or that flow's savedID")])
        return target

    def _run_target(self, saved_id: str, relative: str) -> str:
        if not relative.endswith(".flow"):
            raise FlowRefused(400, [problem("a copy in the runs folder needs a file name ending in .flow")])
        try:
            target = resolve_inside(self.runs_dir, relative)
        except Refused as exc:
            raise FlowRefused(exc.status, [problem(str(exc))]) from None
        if os.path.lexists(target):
            try:
                held = self._read(target)[1].get("savedID")
            except (OSError, FlowError):
                held = None
            if str(held) != saved_id:
                raise FlowRefused(409, [problem(f"{relative} in the runs folder holds another flow; "
                                                f"choose another file name")])
        return target

    def save(self, saved_id: str, document: Any, copy_to: str | None = None) -> dict:
        """Checks and writes the flow; the preset with that savedID, or a copy at ``copy_to`` in the runs folder."""
        if not isinstance(document, dict) or str(document.get("savedID")) != saved_id:
            raise FlowRefused(400, [problem(f"the flow's \"savedID\" must be '{saved_id}', the one in the URL")])
        written, warnings = self.checked_document(document)
        with self._saving:
            if copy_to is None:
                target = self._preset_target(saved_id, written["name"])
                os.makedirs(self.flows_dir, exist_ok=True)
            else:
                target = self._run_target(saved_id, copy_to)
                os.makedirs(os.path.dirname(target), exist_ok=True)
            write_atomically(target, flow_text(written))
        return {"path": target, "problems": warnings}


__all__ = ["FlowLibrary", "FlowRefused", "flow_text", "read_flow_bytes"]
