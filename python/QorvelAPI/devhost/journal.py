"""The job journal of a run: every batch job the run submitted, in a file of the run folder.

A job is written down as soon as the queue answers its submission, before the host does anything
else with it, and while an interrupt (Ctrl-C, SIGTERM, SIGHUP) waits: so a host that is interrupted
cancels exactly what the journal holds, and one that was killed leaves the journal behind for
``flow --resume``. One JSON object per line, appended and flushed to the disk one by one; a line
cut short by a crash is ignored when the journal is read::

    {"event": "submitted", "remote": "Local", "placedID": 3, "blockID": "p.dock", "jobID": 812, "at": ...}
    {"event": "ended", "remote": "Local", "jobID": 812, "state": "COMPLETED", "at": ...}

Events: "submitted", "ended" (with the job's final state), "cancelled" (by this host),
"left running" (the host stopped following it, with the reason).
"""

from __future__ import annotations

import contextlib
import json
import os
import signal
import threading
import time
from typing import Iterator

JOURNAL_NAME = "jobs.journal"
# A journal is a few lines per job; a larger file is not one.
JOURNAL_LIMIT = 16 * 1024 * 1024
# Events after which the host no longer waits for the job.
CLOSING_EVENTS = ("ended", "cancelled")
_DEFERRED_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Journal:
    """The journal file of one run folder."""

    def __init__(self, folder: str):
        self.folder = folder
        self.path = os.path.join(folder, JOURNAL_NAME)

    def record(self, event: str, remote: str, job_id: int, **facts) -> None:
        line = json.dumps({"event": event, "remote": remote, "jobID": job_id, **facts,
                           "at": time.strftime("%Y-%m-%dT%H:%M:%S")})
        fd = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_NOFOLLOW, 0o644)
        try:
            os.write(fd, (line + "\n").encode("utf-8"))
            os.fsync(fd)
        finally:
            os.close(fd)

    def events(self) -> list[dict]:
        """The journal's events in order (none when the run has no journal)."""
        try:
            fd = os.open(self.path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
        except FileNotFoundError:
            return []
        with os.fdopen(fd, "rb") as source:
            if not os.path.isfile(self.path) or os.fstat(source.fileno()).st_size > JOURNAL_LIMIT:
                raise OSError(f"{self.path} is not a job journal")
            text = source.read().decode("utf-8", "replace")
        events = []
        for line in text.splitlines():
            with contextlib.suppress(ValueError):
                event = json.loads(line)
                if isinstance(event, dict) and isinstance(event.get("jobID"), int):
                    events.append(event)
        return events

    def jobs(self) -> dict[tuple, dict]:
        """Each job by (remote, job id): its submission merged with its latest event ("event")."""
        jobs: dict[tuple, dict] = {}
        for event in self.events():
            key = (event.get("remote"), event["jobID"])
            jobs[key] = {**jobs.get(key, {}), **event}
        return jobs

    def open_jobs(self) -> list[dict]:
        """The jobs that the host has not seen end nor cancelled, in the order they were submitted."""
        return [job for job in self.jobs().values() if job["event"] not in CLOSING_EVENTS]


@contextlib.contextmanager
def interrupts_deferred() -> Iterator[None]:
    """Holds Ctrl-C, SIGTERM and SIGHUP until the block ends, then delivers the first one that came:
    a submission and its journal line are done whole or not at all. (Only the main thread can set
    signal handlers; elsewhere the block runs as it is.)"""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    arrived: list[int] = []
    previous = {number: signal.signal(number, lambda signum, frame: arrived.append(signum))
                for number in _DEFERRED_SIGNALS}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler if handler is not None else signal.SIG_DFL)
        if arrived:
            signal.raise_signal(arrived[0])


def cancel_open_jobs(journal: Journal, remotes: dict) -> tuple[list[str], list[str]]:
    """Cancels the jobs of the journal that have not ended, each on its remote (``remotes`` by
    name); gives the jobs cancelled ("812 on Local") and one line for each that could not be."""
    cancelled, failed = [], []
    for job in journal.open_jobs():
        name, job_id = job.get("remote"), job["jobID"]
        remote = remotes.get(name)
        try:
            if remote is None:
                raise RuntimeError(f"remote '{name}' is not open")
            if remote.cancelJob(job_id):
                cancelled.append(f"{job_id} on {name}")
        except Exception as exc:  # noqa: BLE001 (every job is tried; each failure is said)
            failed.append(f"could not cancel job {job_id} on {name}: {exc}")
    return cancelled, failed
