"""Following the job of a cluster job block until it ends, through the network's bad moments.

A poll refreshes the block from its remote (``parseStatus``). A poll that cannot reach the remote
is not the job's failure: the job runs on the cluster all the same. The host keeps polling, waiting
longer between tries, for the reconnect time it was given, and shows "reconnecting (n s)" meanwhile;
when that time is over it stops following and leaves the job running (``LeftRunning``), never
cancelling it. A remote that refuses the login or shows another host key is not retried: the job
is left running at once.
"""

from __future__ import annotations

import time
from typing import Callable

from QorvelAPI.utils import ResetRemoteException

from .ssh_connection import ConnectionLost, RemoteError

# Seconds the host keeps trying to reach a remote that was lost while a job ran.
DEFAULT_RECONNECT_SECONDS = 600.0
# Seconds between tries: the first wait, doubled after every failed try up to the longest.
FIRST_WAIT = 1.0
LONGEST_WAIT = 15.0

# Job states after which the job still runs (or ends by itself).
PASSING_STATES = frozenset({"CONFIGURING", "COMPLETING", "REQUEUED", "REQUEUE_FED", "REQUEUE_HOLD", "RESIZING",
                            "SIGNALING", "STAGE_OUT", "SUSPENDED", "STOPPED"})


class JobTimeout(Exception):
    """A job did not end within the time the local host was given for it."""


class LeftRunning(Exception):
    """The host stopped following a job it could not reach; the job was left to run."""


class Outage:
    """A lost connection: since when, and how long to wait before the next try."""

    def __init__(self, limit: float):
        self.began = time.monotonic()
        self.limit = limit
        self._wait = FIRST_WAIT

    @property
    def seconds(self) -> float:
        return time.monotonic() - self.began

    def over(self) -> bool:
        return self.seconds >= self.limit

    def next_wait(self) -> float:
        wait = max(0.0, min(self._wait, self.limit - self.seconds))
        self._wait = min(self._wait * 2, LONGEST_WAIT)
        return wait


def waiting_for_job(block) -> bool:
    """Refreshes the block from its remote; True while its job has not ended. A remote that cannot
    be reached raises ``ConnectionLost``. The block itself waits only while its job is PENDING or
    RUNNING; the host also waits through the passing states of the queue (a job is COMPLETING for a
    moment before it is COMPLETED). A block that reports no job (IDLE) is not waiting."""
    if str(block.status) == "COMPLETED":
        return False
    try:
        block.parseStatus()
    except ResetRemoteException:
        return False
    status = str(block.status)
    return status in ("PENDING", "RUNNING") or status in PASSING_STATES


def follow(block, label: str, *, poll: float, reconnect: float, job_timeout: float | None,
           progress: Callable[[str | None], None]) -> None:
    """Polls the block's job until it ends. ``progress`` is called after every poll with the
    outage's text ("reconnecting (n s)") or None. Raises ``JobTimeout`` after ``job_timeout``
    seconds and ``LeftRunning`` when the remote stays out of reach for ``reconnect`` seconds."""
    started = time.monotonic()
    outage: Outage | None = None
    while True:
        try:
            waiting = waiting_for_job(block)
        except ConnectionLost as exc:
            outage = outage or Outage(reconnect)
            if outage.over():
                raise LeftRunning(f"the remote could not be reached for {outage.seconds:.0f} s "
                                  f"({exc})") from None
            progress(f"reconnecting ({outage.seconds:.0f} s)")
            time.sleep(outage.next_wait())
            continue
        except RemoteError as exc:  # a refused login or another host key: trying again changes nothing
            raise LeftRunning(str(exc)) from None
        outage = None
        progress(None)
        if not waiting:
            return
        if job_timeout is not None and time.monotonic() - started > job_timeout:
            raise JobTimeout(f"job {block.jobID} of block {label} still {block.status} after {job_timeout:g} s; "
                             f"cancelled")
        time.sleep(poll)
