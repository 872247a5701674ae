"""One run at a time, and the events of the latest run for every page that listens.

A run goes through the local host's own code (``LocalHost.run_flow``), on a thread of its own.
What happens meanwhile becomes events: the run starting, each block starting and finishing (its
result as ``run`` and ``flow`` report it), cluster job progress, every viewer action as soon as
a block queues it, what a running job writes to its output and error files (read as they grow, see
``log_follow``), and the end of the run. The events of the latest run are kept, so a page that
is reloaded (or opened later) receives them all again and shows the same state.
"""

from __future__ import annotations

import os
import sys
import tempfile
import threading
import time
import traceback
from typing import Any, Callable

from ..flow import Flow
from ..loader import one_line
from ..log_follow import FOLLOWED_LIMIT, FollowedText
from ..run import BlockResult, LocalHost, _plain, _slug


def terminal_line(text: str) -> None:
    """A line of the request log on the terminal: the process's own stderr, since a running
    block's stderr is captured for its logs."""
    stream = sys.__stderr__
    if stream is not None:
        print(f"serve: {text}", file=stream, flush=True)


class RunBusy(Exception):
    """A run was asked for while another one is still going."""


class EventLog:
    """The events of the latest run, numbered from 1, and a condition to wait for new ones."""

    def __init__(self) -> None:
        self._events: list[dict] = []
        self._next = 1  # events are numbered across runs, so a listener can tell old from new
        self._first = 1  # number of the latest run's first event
        self._changed = threading.Condition()
        self.closed = False

    def clear(self) -> None:
        with self._changed:
            self._events = []
            self._first = self._next
            self._changed.notify_all()

    def add(self, kind: str, data: Any) -> None:
        with self._changed:
            self._events.append({"id": self._next, "event": kind, "data": data})
            self._next += 1
            self._changed.notify_all()

    def since(self, last_id: int, timeout: float) -> list[dict]:
        """Events after ``last_id``; waits up to ``timeout`` seconds when there are none yet.

        A listener whose last event belongs to an earlier run gets the latest run from its start.
        """
        with self._changed:
            if last_id < self._first - 1 or (self._events and last_id > self._events[-1]["id"]):
                last_id = self._first - 1
            fresh = [e for e in self._events if e["id"] > last_id]
            if not fresh and not self.closed:
                self._changed.wait(timeout)
                fresh = [e for e in self._events if e["id"] > last_id]
            return fresh

    def snapshot(self) -> list[dict]:
        with self._changed:
            return list(self._events)

    def close(self) -> None:
        with self._changed:
            self.closed = True
            self._changed.notify_all()


class ActionQueue(list):
    """The running flow's queue of viewer actions; reports each action as it is appended."""

    def __init__(self, on_action: Callable[[Any], None]):
        super().__init__()
        self._on_action = on_action

    def append(self, action: Any) -> None:
        super().append(action)
        self._on_action(action)


class StreamingHost(LocalHost):
    """The local host, telling the page when each placement starts and what its job writes."""

    def __init__(self, *args, on_start: Callable[[Any, Any], None], on_job: Callable[[str, bool, dict], None],
                 on_followed: Callable[[FollowedText], None], **kwargs):
        super().__init__(*args, **kwargs)
        self._on_start = on_start
        self._on_job = on_job
        self.follow = on_followed

    def run_placement(self, flow, placement, remote, config, incoming=None) -> BlockResult:
        self._on_start(placement.placed, placement.declared)
        return super().run_placement(flow, placement, remote, config, incoming)

    def _job_progress(self, block, started: float, final: bool, status: str | None = None) -> None:
        # With the text, the job's identifier and state: the editor shows them on the placement.
        # The status text may carry more (", reconnecting (5 s)"); the placement shows the job's state.
        job = {"placedID": block._placedID, "jobID": _plain(block.jobID), "status": str(block.status)}
        self._on_job(self._progress_text(block, started, status), final, job)


class RunSession:
    """Starts runs of one loaded plugin, one at a time, and records their events."""

    def __init__(self, loaded, queue, runs_dir: str, config_path: str | None = None, poll: float = 1.0,
                 file_url: Callable[[str], str | None] = lambda path: None, events: EventLog | None = None):
        self.loaded = loaded
        self.queue = queue
        self.runs_dir = os.path.abspath(runs_dir)
        self.config_path = config_path
        self.poll = poll
        self.file_url = file_url
        self.events = events if events is not None else EventLog()  # the server's log: reloads are told there too
        self.run_folder: str | None = None
        self._lock = threading.Lock()
        self._thread: threading.Thread | None = None
        self._actions = 0
        # Characters of each (placement, stream) sent to the page in the latest run.
        self._followed_sent: dict[tuple, int] = {}

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def start(self, flow: Flow, kind: str) -> dict:
        """Starts ``flow`` on a thread; raises RunBusy while another run is going."""
        with self._lock:
            if self.running:
                raise RunBusy("a run is already going; wait for it to end")
            os.makedirs(self.runs_dir, exist_ok=True)
            stamp = time.strftime("%Y%m%d-%H%M%S")
            folder = tempfile.mkdtemp(prefix=f"{_slug(flow.name)[:40]}-{stamp}-", dir=self.runs_dir)
            self.run_folder = folder
            self._actions = 0
            self._followed_sent = {}
            self.events.clear()
            flow.pendingActions = ActionQueue(self._viewer_action)
            host = StreamingHost(self.loaded, config_path=self.config_path, work_dir=folder, queue=self.queue,
                                 poll=self.poll, progress=self._progress, capture_stdout=True,
                                 on_start=self._block_started, on_job=self._progress,
                                 on_followed=self._followed)
            started = {"kind": kind, "name": flow.name, "savedID": flow.savedID, "folder": folder,
                       "queue": self.queue.description,
                       "blocks": [{"placedID": p.placedID, "blockID": p.blockID} for p in flow.blocks]}
            self.events.add("run", started)
            self._thread = threading.Thread(target=self._run, args=(host, flow), name="qorvel-run", daemon=True)
            self._thread.start()
            return started

    def wait(self, timeout: float | None = None) -> bool:
        thread = self._thread
        if thread is not None:
            thread.join(timeout)
        return not self.running

    def cancel_jobs(self) -> None:
        cancel_all = getattr(self.queue, "cancel_all", None)
        if cancel_all is not None:
            cancel_all()

    # -- what the run reports ------------------------------------------------------------------

    def _run(self, host: LocalHost, flow: Flow) -> None:
        try:
            run = host.run_flow(flow, on_result=lambda result: self.events.add("result", result.toDict()))
        except Exception as exc:  # a flow the host refuses, or a fault of the host itself
            detail = "".join(traceback.format_exception_only(type(exc), exc)).strip()
            self.events.add("end", {"ok": False, "error": one_line(exc), "detail": detail, "savedTo": None})
            terminal_line(f"run '{flow.name}': refused or failed: {one_line(exc)}")
            return
        self.events.add("end", {"ok": run.ok, "error": None, "savedTo": run.savedTo})
        done = sum(r.status == "ok" for r in run.results)
        terminal_line(f"run '{flow.name}': {'ok' if run.ok else 'failed'}, {done} of {len(run.results)} blocks "
                      f"finished{f', saved to {run.savedTo}' if run.savedTo else ''}")

    def _block_started(self, placed, declared) -> None:
        self.events.add("block", {"placedID": placed.placedID, "blockID": declared.id, "name": declared.name,
                                  "type": str(declared.TYPE), "status": "running"})

    def _progress(self, text: str, final: bool, job: dict | None = None) -> None:
        self.events.add("progress", {"text": text.strip(), "final": final, **(job or {})})

    def _followed(self, piece: FollowedText) -> None:
        """A job's new output as an event; past FOLLOWED_LIMIT characters of a stream one note says
        that the rest is in the job's file (the events of a run are kept for pages opened later)."""
        key = (piece.placedID, piece.stream)
        sent = self._followed_sent.get(key, 0)
        text = piece.text
        if sent > FOLLOWED_LIMIT:
            return
        if sent + len(text) > FOLLOWED_LIMIT:
            text = text[:FOLLOWED_LIMIT - sent] + f"\n[... more {piece.stream} of job {piece.jobID} is in its file]\n"
        self._followed_sent[key] = sent + len(text)
        self.events.add("followed", {"placedID": piece.placedID, "jobID": _plain(piece.jobID),
                                     "stream": piece.stream, "text": text, "ended": piece.ended})

    def _viewer_action(self, action: Any) -> None:
        self._actions += 1
        entry = {"index": self._actions, "action": _plain(action)}
        data = action.get("data") if isinstance(action, dict) else None
        if isinstance(action, dict) and action.get("type") == "addMolecule" and isinstance(data, dict):
            path = str(data.get("molContent", ""))
            entry["url"] = self.file_url(path)
            entry["missing"] = not os.path.exists(path)
        self.events.add("viewer", entry)

