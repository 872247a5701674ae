"""Noticing that the plugin folder changed: the size and modification time of its files, polled.

Polling works on every system and needs nothing installed; a folder of a plugin holds few files.
Names starting with a dot, bytecode caches and the folders given as ``skip`` (the runs' folder,
when it lies inside the plugin folder) are not watched: runs and editors write there all the time.
"""

from __future__ import annotations

import os
import threading
from typing import Callable, Iterable

Snapshot = dict[str, tuple[int, int]]


def snapshot(folder: str, skip: Iterable[str] = ()) -> Snapshot:
    """Every watched file below ``folder``: its modification time (ns) and size."""
    skipped = {os.path.realpath(path) for path in skip}
    seen: Snapshot = {}
    for root, folders, files in os.walk(folder):
        folders[:] = [name for name in folders if not _ignored(name)
                      and os.path.realpath(os.path.join(root, name)) not in skipped]
        for name in files:
            if _ignored(name) or name.endswith((".pyc", ".pyo")):
                continue
            path = os.path.join(root, name)
            try:
                status = os.stat(path)
            except OSError:  # removed meanwhile: the next poll sees it gone
                continue
            seen[path] = (status.st_mtime_ns, status.st_size)
    return seen


def _ignored(name: str) -> bool:
    return name.startswith(".") or name == "__pycache__"


class FolderWatch:
    """Calls ``on_change()`` on a daemon thread once the folder changed and then held still for one
    poll (an editor that saves in several writes causes one call, after the last)."""

    def __init__(self, folder: str, on_change: Callable[[], None], interval: float = 0.5,
                 skip: Iterable[str] = (), on_error: Callable[[BaseException], None] = lambda exc: None):
        self.folder = folder
        self.on_change = on_change
        self.on_error = on_error
        self.interval = interval
        self.skip = tuple(skip)
        self._stopped = threading.Event()
        self._thread: threading.Thread | None = None

    def start(self) -> "FolderWatch":
        reported = previous = snapshot(self.folder, self.skip)
        self._thread = threading.Thread(target=self._poll, args=(reported, previous), name="qorvel-watch",
                                        daemon=True)
        self._thread.start()
        return self

    @property
    def stopped(self) -> bool:
        return self._stopped.is_set()

    def stop(self) -> None:
        self._stopped.set()
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join(5)

    def _poll(self, reported: Snapshot, previous: Snapshot) -> None:
        while not self._stopped.wait(self.interval):
            current = snapshot(self.folder, self.skip)
            if current != reported and current == previous:
                reported = current
                try:
                    self.on_change()
                except Exception as exc:  # the watch goes on: the next change may load again
                    self.on_error(exc)
            previous = current


__all__ = ["FolderWatch", "snapshot"]
