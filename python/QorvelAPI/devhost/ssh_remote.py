"""``SSHRemote``: the host remote object for a cluster reached over SSH.

Blocks see it as they see the Local remote: ``command``, ``transferTo``/``transferFrom``,
``submitJob``, ``cd``, ``userHome``, ``workDir``, ``name``, ``host`` and the status operations of
the cluster job block. Commands run in the remote's current folder, jobs go to the remote's SLURM
queue, files travel over the same multiplexed connection. The bookkeeping of jobs per block
(status, logs, run time, cancelling) is the Local remote's own.
"""

from __future__ import annotations

import contextlib
import logging
import os
import posixpath
import shlex
from typing import Any

from .journal import Journal
from .remote import LocalRemote
from .ssh_connection import ConnectionLost, RemoteError, SSHConnection, script_words
from .ssh_queue import RemoteSlurmQueue
from .ssh_transfer import download, upload

# $1 working folder ("~" is the home folder), $2 a run's folder to make inside it ("" for none).
# Prints the home folder, where sbatch is ("-" when missing) and the working folder, each ended by
# a NUL byte (the one byte no path holds); exit status 3 when the working folder is missing.
_OPEN = r"""
case $1 in "~") work=$HOME ;; "~/"*) work=$HOME/${1#"~/"} ;; *) work=$1 ;; esac
sbatch=$(command -v sbatch) || sbatch=-
printf '%s\0' "$HOME" "$sbatch" "$work"
[ -d "$work" ] || exit 3
[ -z "$2" ] || mkdir -p -- "$work/$2"
"""


class SSHRemote(LocalRemote):
    """A named remote: ``target`` is what ``ssh`` is given; ``workDir`` the platform's working folder
    there (a run works in a folder of its own inside it)."""

    def __init__(self, name: str, connection: SSHConnection, workDir: str, home: str):
        super().__init__(workDir, RemoteSlurmQueue(connection), home)
        self.name = name
        self.host = connection.hostname()
        self.connection = connection
        self._last_logs: dict[int, tuple] = {}

    @classmethod
    def open(cls, name: str, connection: SSHConnection, work_root: str, run_folder: str | None = None) -> "SSHRemote":
        """Logs in (leaving the master connection up) and makes the run's folder inside
        ``work_root``; raises ``RemoteError`` with one line when that cannot be done."""
        facts = probe(connection, work_root, run_folder)
        if facts["missing"]:
            raise RemoteError(f"remote '{name}' ({connection.target}): working folder {facts['workDir']} not found")
        return cls(name, connection, facts["runDir"], facts["home"])

    # -- folders and commands ----------------------------------------------------------------

    def _is_folder(self, path: str) -> bool:
        return self.connection.run(["test", "-d", path]).returncode == 0

    def command(self, command: str) -> str:
        """Runs the command line through the remote's shell in the current folder; returns its
        standard output (a non-zero exit status is logged as a warning with its standard error)."""
        line = f"cd -- {shlex.quote(self.currentDir)} && {command}"
        # Not retried: a command may have run before the connection dropped.
        result = self.connection.run_line(line, retry=False)
        if result.returncode != 0:
            logging.getLogger("Qorvel").warning("Command %r exited with status %s on %s: %s", command,
                                                result.returncode, self.name, result.stderr.strip())
        return result.stdout

    # -- files -------------------------------------------------------------------------------

    def transferTo(self, source: str, destination: str) -> str:
        """Copies a local file (or folder) to the remote ``destination``; returns the final remote path."""
        return upload(self.connection, self._local_path(source), self._remote_path(destination))

    def transferFrom(self, source: str, destination: str) -> str:
        """Copies a remote file (or folder) to the local ``destination``; returns its absolute path."""
        return download(self.connection, self._remote_path(source), self._local_path(destination))

    # -- jobs --------------------------------------------------------------------------------

    def submitJob(self, script: str, changeDir: bool = True) -> int:
        """Submits a batch script on the remote; with ``changeDir`` the job runs in the script's
        folder, else in the current folder."""
        path = self._remote_path(script)
        return self._submit(path, posixpath.dirname(path) if changeDir else self.currentDir)

    def getRemoteBlockLogs(self, savedID: Any, placedID: Any) -> tuple:
        job = self._job(savedID, placedID)
        if job is None:
            return None, None, None
        try:
            # The tails come with the snapshot that sees the job ended, or at once for a job cancelled here.
            stdout, stderr = self.queue.outputs(job, with_logs=job in self._cancelled)
            self._last_logs[job] = stdout, stderr, self.detailedStatus(job)
        except ConnectionLost:
            # The poll's state query says that the connection is lost; the logs stay as last seen.
            pass
        return self._last_logs.get(job, (None, None, None))

    def readLogChunks(self, requests: list, limit: int) -> list:
        """For each (file, offset) on the remote: at most ``limit`` bytes from the offset, in one round trip."""
        return self.queue.read_chunks(requests, limit)

    def getRemoteBlockTime(self, savedID: Any, placedID: Any) -> float:
        try:
            return super().getRemoteBlockTime(savedID, placedID)
        except ConnectionLost:
            return 0.0  # counted at the next poll that reaches the remote

    def close(self) -> None:
        self.connection.close()

    def __repr__(self) -> str:
        return f"SSHRemote({self.name!r}, {self.connection.target!r}, workDir={self.workDir!r})"


def probe(connection: SSHConnection, work_root: str, run_folder: str | None = None) -> dict:
    """Logs in and reports the remote's home, its sbatch and whether the working folder is there
    (one round trip). Makes ``run_folder`` inside the working folder when given."""
    if run_folder and (run_folder in (".", "..") or "/" in run_folder):
        raise ValueError(f"{run_folder!r} is not a folder name")
    result = connection.run(script_words(_OPEN, work_root, run_folder or ""))
    lines = os.fsdecode(result.stdout_bytes).split("\0")
    if result.returncode not in (0, 3) or len(lines) != 4:
        raise RemoteError(f"remote '{connection.name}' ({connection.target}): login check failed: "
                          f"{result.stderr.strip() or 'no answer'}")
    home, sbatch, work = lines[0], lines[1], posixpath.normpath(posixpath.join(lines[0], lines[2]))
    return {"home": home, "sbatch": None if sbatch == "-" else sbatch, "workDir": work,
            "runDir": posixpath.join(work, run_folder) if run_folder else work, "missing": result.returncode == 3}


class RunRemotes:
    """The named remotes that one run of a flow works on, each opened (logged in, its run folder
    made) when a block first selects it and closed when the run ends."""

    def __init__(self, run_folder: str, entries: dict | None = None, journal: Journal | None = None):
        self.run_folder = run_folder
        self.journal = journal
        self._entries = entries
        self._opened: dict[str, SSHRemote] = {}
        self._failed: dict[str, str] = {}

    def names(self) -> list[str]:
        """The names of the configured remotes."""
        if self._entries is None:
            from .remote_config import load_remotes  # noqa: PLC0415

            self._entries = load_remotes()
        return list(self._entries)

    def get(self, name: str) -> SSHRemote | None:
        """The remote called ``name``; None when no remote of that name is configured. Raises
        ``RemoteError`` (the same line again for every later block) when it cannot be opened."""
        if name in self._opened:
            return self._opened[name]
        if name in self._failed:
            raise RemoteError(self._failed[name])
        entry = self._entries.get(name) if name in self.names() else None
        if entry is None:
            return None
        connection = entry.connection()
        warning = connection.unchecked_host_key()
        if warning:
            logging.getLogger("Qorvel").warning("%s", warning)
        try:
            remote = SSHRemote.open(name, connection, entry.workdir, self.run_folder)
        except RemoteError as exc:
            self._failed[name] = str(exc)
            raise
        remote.journal = self.journal
        self._opened[name] = remote
        return remote

    @property
    def opened(self) -> dict[str, SSHRemote]:
        return dict(self._opened)

    def cancel_all(self) -> None:
        for remote in self._opened.values():
            with contextlib.suppress(Exception):
                remote.cancelAll()

    def submitted_jobs(self) -> list[str]:
        """The jobs submitted on the named remotes, each as "job on remote"."""
        return [f"{job} on {name}" for name, remote in self._opened.items() for job in remote.submittedJobs()]

    def close(self) -> None:
        for remote in self._opened.values():
            with contextlib.suppress(Exception):
                remote.close()
