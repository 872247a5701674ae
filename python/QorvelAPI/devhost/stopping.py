"""Stopping a run: SIGTERM and SIGHUP take the path of Ctrl-C.

While ``stop_signals()`` is active (``qorvel-plugin`` and ``PluginHost`` runs hold it), SIGTERM and
SIGHUP raise ``Stopped`` (a KeyboardInterrupt) in the main thread, so a run cancels the jobs it
submitted, records them CANCELLED and saves its flow exactly as after Ctrl-C. The process then
exits with 128 + the signal's number (``interrupted_status``). While that clean-up runs
(``cleaning_up``), a second signal, Ctrl-C included, ends the process at once with one line
naming the jobs that may be left.
"""

from __future__ import annotations

import contextlib
import functools
import os
import signal
import threading
from typing import Callable, Iterator

STOP_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))


class Stopped(KeyboardInterrupt):
    """A termination signal arrived; it stops the run as Ctrl-C does."""

    def __init__(self, signum: int):
        super().__init__(f"stopped by {signal.Signals(signum).name}")
        self.signum = signum


# The signal that stopped the process's last run (None: none, or Ctrl-C).
_received: list[int] = []


def received() -> int | None:
    return _received[-1] if _received else None


def interrupted_status() -> int:
    """The exit status of an interrupted command: 128 + the signal (130 for Ctrl-C)."""
    return 128 + (received() or signal.SIGINT)


def _raise_stopped(signum: int, _frame) -> None:
    _received.append(signum)
    raise Stopped(signum)


def _in_main_thread() -> bool:
    return threading.current_thread() is threading.main_thread()


_depth = [0]


@contextlib.contextmanager
def stop_signals(redeliver: bool = False) -> Iterator[None]:
    """SIGTERM and SIGHUP raise ``Stopped`` meanwhile (only the main thread can take signals;
    elsewhere, and inside an outer ``stop_signals``, this does nothing). The previous handlers come
    back afterwards; with ``redeliver`` a signal that stopped the run is then sent again to the
    process, so a script or test process that did not ask for this ends as that signal says."""
    if not _in_main_thread() or _depth[0]:
        yield
        return
    _received.clear()
    previous = {signum: signal.signal(signum, _raise_stopped) for signum in STOP_SIGNALS}
    _depth[0] += 1
    try:
        yield
    finally:
        _depth[0] -= 1
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        if redeliver and received():
            signal.raise_signal(received())


def stops_on_signals(function: Callable) -> Callable:
    """``function`` runs under ``stop_signals(redeliver=True)``: a run started from a script or a
    test stops on SIGTERM and SIGHUP as on Ctrl-C, then the process gets the signal."""
    @functools.wraps(function)
    def call(*args, **kwargs):
        with stop_signals(redeliver=True):
            return function(*args, **kwargs)
    return call


@contextlib.contextmanager
def cleaning_up(jobs_left: Callable[[], list]) -> Iterator[None]:
    """A second signal while the run cleans up ends the process at once, saying which jobs may be
    left (``jobs_left`` is asked then, so it names those not yet cancelled)."""
    if not _in_main_thread():
        yield
        return

    def exit_now(signum: int, _frame) -> None:
        try:
            jobs = ", ".join(map(str, jobs_left())) or "none known"
        except Exception:  # the line must come out whatever the run's state
            jobs = "unknown"
        os.write(2, f"error: {signal.Signals(signum).name} during clean-up; stopped at once; "
                                      f"jobs that may be left: {jobs}\n".encode())
        os._exit(128 + signum)

    signals = (signal.SIGINT, *STOP_SIGNALS)
    previous = {signum: signal.signal(signum, exit_now) for signum in signals}
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


__all__ = ["Stopped", "cleaning_up", "interrupted_status", "received", "stop_signals", "stops_on_signals"]
