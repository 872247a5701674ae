"""``LocalRemote``: the host remote object for this machine.

Blocks reach it wrapped in their ``remote`` facade. It runs commands through the shell, copies
files, changes folder with ``cd`` and submits batch scripts to a job queue (the live SLURM queue
when a controller answers, the local runner otherwise), and answers the cluster job block's status
queries by the flow's saved identifier and the block's placed identifier.
"""

from __future__ import annotations

import contextlib
import logging
import os
import shutil
import subprocess
from typing import Any, Iterator

from QorvelAPI.utils import ResetRemoteException

from .environment import child_environment
from .journal import Journal, interrupts_deferred
from .log_follow import read_local_chunk
from .runner import TERMINAL_STATES, LocalRunner, QueueError, choose_queue

# Standard output and error of a job are handed to the editor; a runaway job must not fill memory.
LOG_LIMIT = 1024 * 1024


def _read_tail(path: str | None, limit: int = LOG_LIMIT) -> str | None:
    if not path or not os.path.isfile(path):
        return None
    with open(path, "rb") as handle:
        handle.seek(0, os.SEEK_END)
        size = handle.tell()
        handle.seek(max(0, size - limit))
        data = handle.read()
    text = data.decode("utf-8", errors="replace")
    if size > limit:
        text = f"[... {size - limit} earlier bytes in {path}]\n" + text
    return text


def _shown_task(tasks: list | None) -> dict | None:
    """The task of an array job whose logs the block shows: the first that failed, else the first."""
    if not tasks:
        return None
    failed = [t for t in tasks if t["state"] in TERMINAL_STATES and t["state"] != "COMPLETED"]
    return (failed or tasks)[0]


def tasks_text(tasks: list) -> str:
    """E.g. "array tasks 1,2,3; failed: task 2 FAILED, exit code 5"."""
    failed = [f"task {t['taskID']} {t['state']}, exit code {t['exitCode']}" for t in tasks
              if t["state"] in TERMINAL_STATES and t["state"] != "COMPLETED"]
    return "array tasks " + ",".join(str(t["taskID"]) for t in tasks) + ("; failed: " + "; ".join(failed)
                                                                         if failed else "")


class LocalRemote:
    """The local machine as a remote: name "Local", host "localhost"."""

    def __init__(self, workDir: str | None = None, queue: Any = None, home: str | None = None):
        self.name = "Local"
        self.host = "localhost"
        self.userHome = os.path.abspath(home or os.path.expanduser("~"))
        self.workDir = os.path.abspath(workDir or os.getcwd())
        self.queue = queue if queue is not None else LocalRunner()
        # Written by the cluster job block before each status query and after its first phase.
        self._blockPlacedID: Any = None
        self._resetRemoteBlock = False
        # Which flow and placement the local host is running, so that a submission is recorded
        # for the block that made it.
        self._runningSavedID: Any = None
        self._runningPlacedID: Any = None
        self._dirs: list[str] = []
        self._jobs: dict[tuple, list[int]] = {}
        self._reported_time: dict[int, float] = {}
        # Jobs this host cancelled: their logs are read although the queue may not say they ended yet.
        self._cancelled: set[int] = set()
        # The run's job journal, where every submission and its end are written down.
        self.journal: Journal | None = None

    # -- folders and paths -------------------------------------------------------------------

    @property
    def currentDir(self) -> str:
        """The folder that commands, submissions and remote-side paths are relative to."""
        return self._dirs[-1] if self._dirs else self.workDir

    def _remote_path(self, path: str) -> str:
        if path == "~" or path.startswith("~/"):
            path = self.userHome + path[1:]
        resolved = os.path.normpath(os.path.join(self.currentDir, path))
        # A trailing "/" means "into this folder" for transfers; keep it.
        return resolved + os.sep if path.endswith("/") and resolved != os.sep else resolved

    def _local_path(self, path: str) -> str:
        # The host side of a transfer is this machine too: "~" is the same home, relative paths
        # are relative to the local host's own folder.
        if path == "~" or path.startswith("~/"):
            path = self.userHome + path[1:]
        resolved = os.path.abspath(path)
        return resolved + os.sep if path.endswith("/") and resolved != os.sep else resolved

    @contextlib.contextmanager
    def cd(self, path: str) -> Iterator[str]:
        """Work in ``path`` (relative to the current folder) until the block ends."""
        target = self._remote_path(path)
        if not self._is_folder(target):
            raise FileNotFoundError(f"cd: no such folder on {self.name}: {target}")
        self._dirs.append(target)
        try:
            yield target
        finally:
            self._dirs.pop()

    def _is_folder(self, path: str) -> bool:
        return os.path.isdir(path)

    # -- commands and files ------------------------------------------------------------------

    def command(self, command: str) -> str:
        """Runs the command line through the shell in the current folder; returns its standard output.

        A non-zero exit status is logged as a warning with the command's standard error, so that a
        failing command does not pass unnoticed while its output still reaches the action.
        """
        result = subprocess.run(command, shell=True, cwd=self.currentDir, stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, errors="replace", env=child_environment())
        if result.returncode != 0:
            logging.getLogger("Qorvel").warning("Command %r exited with status %s on Local: %s", command,
                                                result.returncode, result.stderr.strip())
        return result.stdout

    def _copy(self, source: str, destination: str) -> str:
        if not os.path.exists(source):
            raise FileNotFoundError(f"no such file: {source}")
        if os.path.isdir(destination) or destination.endswith(os.sep):
            destination = os.path.join(destination, os.path.basename(os.path.normpath(source)))
        folder = os.path.dirname(destination)
        if folder and not os.path.isdir(folder):
            raise FileNotFoundError(f"destination folder does not exist: {folder}")
        if os.path.exists(destination) and os.path.samefile(source, destination):
            return os.path.abspath(destination)
        if os.path.isdir(source):
            shutil.copytree(source, destination, dirs_exist_ok=True)
        else:
            shutil.copy2(source, destination)
        return os.path.abspath(destination)

    def transferTo(self, source: str, destination: str) -> str:
        """Copies a local file (or folder) to ``destination``; returns the final absolute path."""
        return self._copy(self._local_path(source), self._remote_path(destination))

    def transferFrom(self, source: str, destination: str) -> str:
        """Copies a file (or folder) of the remote to the local ``destination``; returns its absolute path."""
        return self._copy(self._remote_path(source), self._local_path(destination))

    # -- jobs --------------------------------------------------------------------------------

    def submitJob(self, script: str, changeDir: bool = True) -> int:
        """Submits a batch script; with ``changeDir`` the job runs in the script's folder, else in the
        current folder. The job is recorded for the block that the local host is running."""
        path = self._remote_path(script)
        if not os.path.isfile(path):
            raise FileNotFoundError(f"batch script not found on Local: {path}")
        return self._submit(path, os.path.dirname(path) if changeDir else self.currentDir)

    def _submit(self, path: str, cwd: str) -> int:
        # An interrupt waits until the job the queue answered with is written down: a job that
        # runs is never one that the host does not know of.
        with interrupts_deferred():
            job_id = self.queue.submit(path, cwd)
            self._jobs.setdefault((self._runningSavedID, self._runningPlacedID), []).append(job_id)
            self._journal_event("submitted", job_id, placedID=self._runningPlacedID)
        return job_id

    def _journal_event(self, event: str, job_id: int, **facts) -> None:
        if self.journal is None:
            return
        try:
            self.journal.record(event, self.name, job_id, **facts)
        except OSError as exc:
            # The job is still known to this process, which cancels it on an interrupt.
            logging.getLogger("Qorvel").warning("Could not write job %s to the journal %s: %s", job_id,
                                                self.journal.path, exc.strerror or exc)

    def cancelJob(self, job_id: int) -> bool:
        """Cancels a job that has not ended and writes that down; False when it had ended already."""
        state = self.queue.state(job_id)
        if state in TERMINAL_STATES or state == "UNKNOWN":
            self._journal_event("ended", job_id, state=state)
            return False
        self.queue.cancel(job_id)
        self._cancelled.add(job_id)
        self._journal_event("cancelled", job_id)
        return True

    def jobsOf(self, savedID: Any, placedID: Any) -> list[int]:
        return list(self._jobs.get((savedID, placedID), []))

    def _job(self, savedID: Any, placedID: Any) -> int | None:
        if self._resetRemoteBlock:
            raise ResetRemoteException(f"the remote side of block {placedID} was reset")
        jobs = self._jobs.get((savedID, placedID))
        return jobs[-1] if jobs else None

    def getRemoteBlockStatus(self, savedID: Any, placedID: Any) -> str:
        job = self._job(savedID, placedID)
        return "IDLE" if job is None else self.queue.state(job)

    def getJobIDfromBlock(self, savedID: Any, placedID: Any) -> int | None:
        return self._job(savedID, placedID)

    def getRemoteBlockLogs(self, savedID: Any, placedID: Any) -> tuple:
        """The tails of the job's output and error files and its detailed status. While the job has
        not ended a poll asks for its state alone: the tails come once it ended (or was cancelled
        by this host), which is when the block keeps them."""
        job = self._job(savedID, placedID)
        if job is None:
            return None, None, None
        state = self.queue.state(job)  # asked once per poll: each ask is a query of the queue
        if not self._logs_due(job, state):
            return None, None, self.detailedStatus(job, state)
        stdout_path, stderr_path = self.jobLogPaths(job)
        return _read_tail(stdout_path), _read_tail(stderr_path), self.detailedStatus(job, state)

    def _logs_due(self, job: int, state: str) -> bool:
        return state in TERMINAL_STATES or state == "UNKNOWN" or job in self._cancelled

    def jobLogPaths(self, job: int) -> tuple:
        """The output file and the error file the block shows (None for the error file when both
        streams go to one file); those of an array job's first failed task, else its first task."""
        stdout_path, stderr_path = self.queue.output_paths(job)
        chosen = _shown_task(self.jobTasks(job))
        if chosen is not None:
            stdout_path, stderr_path = chosen["stdOut"], chosen["stdErr"]
        return stdout_path, (stderr_path if stderr_path != stdout_path else None)

    def readLogChunks(self, requests: list, limit: int) -> list:
        """For each (file, offset): at most ``limit`` bytes of it from the offset (see ``log_follow``)."""
        return [read_local_chunk(path, offset, limit) for path, offset in requests]

    def detailedStatus(self, job: int, state: str | None = None) -> str:
        """The queue's account of the job (``state``: its state, when the caller just asked for it)."""
        state = self.queue.state(job) if state is None else state
        text = f"Job {job} {state} on {self.queue.kind} queue"
        code = self.queue.exit_code(job)
        if code is not None and state not in ("PENDING", "RUNNING"):
            text += f", exit code {code}"
        tasks = self.jobTasks(job)
        if tasks:
            text += "; " + tasks_text(tasks)
        start_error = getattr(getattr(self.queue, "_jobs", {}).get(job), "start_error", None)
        if start_error:
            text += f" ({start_error})"
        return text

    def jobWhereabouts(self, job: int, state: str | None = None) -> str | None:
        """Why the job waits or where it runs, when the queue says (for the status line); with
        ``state``, only while the queue still reports that state."""
        getter = getattr(self.queue, "whereabouts", None)
        try:
            return getter(job, state) if getter is not None else None
        except Exception:  # noqa: BLE001 (a detail of the status line; the poll itself said what failed)
            return None

    def jobTasks(self, job: int) -> list | None:
        """The tasks of an array job (id, job id, state, exit code, log files); None for a plain job."""
        getter = getattr(self.queue, "tasks", None)
        return getter(job) if getter is not None else None

    def getRemoteBlockTime(self, savedID: Any, placedID: Any) -> float:
        """Seconds of run time since the previous query for this block's job.

        The cluster job block adds the reported number to its ``time`` at every poll, so the local
        host reports increments: the block's ``time`` then equals the job's run time."""
        job = self._job(savedID, placedID)
        if job is None:
            return 0.0
        total = self.queue.run_seconds(job)
        increment = max(0.0, total - self._reported_time.get(job, 0.0))
        self._reported_time[job] = max(total, self._reported_time.get(job, 0.0))
        return increment

    def cancelBlockJobs(self, savedID: Any, placedID: Any) -> list[int]:
        """Cancels the jobs of one block that have not ended; returns their identifiers."""
        cancelled = []
        for job in self._jobs.get((savedID, placedID), []):
            try:
                if self.cancelJob(job):
                    cancelled.append(job)
            except QueueError:
                continue
        return cancelled

    def cancelAll(self) -> None:
        for key in list(self._jobs):
            self.cancelBlockJobs(*key)

    def submittedJobs(self) -> list[int]:
        """Every job submitted through this remote, in the order of submission per block."""
        return [job for jobs in self._jobs.values() for job in jobs]

    def __repr__(self) -> str:
        return f"LocalRemote(workDir={self.workDir!r}, queue={self.queue.kind})"


def make_local_remote(workDir: str | None = None, queue: str = "auto", state_dir: str | None = None) -> LocalRemote:
    """A LocalRemote on the preferred queue ("auto": SLURM when a controller answers)."""
    return LocalRemote(workDir, choose_queue(queue, state_dir))
