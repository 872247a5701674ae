"""The SLURM queue of a remote cluster, reached over an ``SSHConnection``.

The same small interface as the local queues (``submit``, ``state``, ``run_seconds``,
``output_paths``, ``exit_code``, ``cancel``), with the SLURM tools run on the remote and their
output read with the local SLURM queue's own parsers.

A status poll is one round trip: one remote script asks ``scontrol show job`` and reads the tails
of the job's output and error files, and every query of the next moments answers from that
snapshot. A job the controller has forgotten (after its MinJobAge) is looked up in the accounting
database with ``sacct`` and, where the cluster has none, in the controller's completion log.
"""

from __future__ import annotations

import base64
import time
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple

from . import slurm_queue as slurm
from .log_follow import LogChunk
from .ssh_connection import RemoteError, SSHConnection, script_words

# Job output handed to the editor is cut to its last bytes; a runaway job must not fill memory.
LOG_LIMIT = 1024 * 1024
# Seconds a snapshot answers for: the queries of one status poll, not those of the next poll.
SNAPSHOT_SECONDS = 0.5
# The longest batch script whose #SBATCH lines are read (directives stand at its top).
SCRIPT_HEAD = 256 * 1024

# $1 job id, $2 output file, $3 error file, $4 byte limit (0: the job's state alone). Asks scontrol
# first, so that the logs read after it are at least as new as the state. Prints a line for each
# file, its size, a space and the base64 of its tail ("-" when absent or not asked for), then a line
# with scontrol's exit status and, up to the end, its answer. A poll of a running job starts
# scontrol and nothing else: every process is a few milliseconds of the poll on a busy login node.
_SNAPSHOT = r"""
answer=$(scontrol show job -o "$1" 2>&1); code=$?
for f in "$2" "$3"; do
    if [ "$4" -gt 0 ] && [ -n "$f" ] && [ -f "$f" ] && [ -r "$f" ]; then
        printf '%s ' "$(wc -c < "$f" | tr -d ' ')"; tail -c "$4" -- "$f" | base64 | tr -d '\n'; echo
    else
        echo "- "
    fi
done
printf '%s\n%s' "$code" "$answer"
"""

# $1 byte limit, then a file and an offset for each log. One line per file: its size, where the bytes
# begin (0 when the file is shorter than the offset: truncated or replaced) and the base64 of at most
# $1 bytes from there; "-" for a file that is not there (yet).
_CHUNKS = r"""
limit=$1; shift
while [ "$#" -ge 2 ]; do
    f=$1; at=$2; shift 2
    if [ -f "$f" ] && [ -r "$f" ]; then
        size=$(wc -c < "$f" | tr -d ' ')
        [ "$at" -le "$size" ] || at=0
        printf '%s %s ' "$size" "$at"; tail -c "+$((at + 1))" -- "$f" | head -c "$limit" | base64 | tr -d '\n'; echo
    else
        echo -
    fi
done
"""

# $1 job id. What is known of a job the controller forgot: sacct's answer, then the configuration
# (which names the completion log), each as "status base64".
_FORGOTTEN = r"""
enc() { base64 | tr -d '\n'; echo; }
answer=$(sacct -n -P -X -j "$1" -o State,ExitCode,ElapsedRaw 2>&1); code=$?
printf '%s ' "$code"; printf '%s' "$answer" | enc
answer=$(scontrol show config 2>&1); code=$?
printf '%s ' "$code"; printf '%s' "$answer" | enc
"""

# $1 job id, $2 completion log: the log's last record of the job.
_COMPLETION_RECORD = r"""grep -F -- "JobId=$1 " "$2" | tail -n 1"""

# $1 script: its first bytes, or exit status 66 when it is not a readable file.
_SCRIPT_HEAD = r"""[ -f "$1" ] && [ -r "$1" ] || exit 66; head -c "$2" -- "$1" """


def _decode(text: str) -> str:
    try:
        return base64.b64decode(text.strip(), validate=False).decode("utf-8", "replace")
    except ValueError:
        return ""


def _chunk(line: str) -> Optional[LogChunk]:
    size, start, data = (line.split(" ", 2) + ["", ""])[:3]
    if not (size.isdigit() and start.isdigit()):
        return None
    return LogChunk(int(size), int(start), base64.b64decode(data.strip(), validate=False))


def _status_and_text(line: str) -> Tuple[str, str]:
    status, _, data = line.partition(" ")
    return status, _decode(data)


@dataclass
class JobSnapshot:
    """What one status poll learned of a job."""
    taken: float
    fields: Dict[str, str]
    outputs: Tuple[Optional[str], Optional[str]] = (None, None)
    forgotten: bool = False


@dataclass
class RemoteJob:
    stdout_path: str
    stderr_path: str
    snapshot: Optional[JobSnapshot] = None


class RemoteSlurmQueue:
    """The SLURM queue behind one SSH connection."""

    def __init__(self, connection: SSHConnection):
        self.connection = connection
        self.kind = f"remote {connection.name}'s SLURM"
        self.description = f"SLURM queue of remote '{connection.name}' ({connection.target})"
        self._jobs: Dict[int, RemoteJob] = {}

    # -- submission --------------------------------------------------------------------------

    def _script_head(self, script: str) -> str:
        result = self.connection.run(script_words(_SCRIPT_HEAD, script, str(SCRIPT_HEAD)))
        if result.returncode == 66:
            raise FileNotFoundError(f"batch script not found on remote '{self.connection.name}': {script}")
        if result.returncode != 0:
            raise RemoteError(f"cannot read batch script {script} on remote '{self.connection.name}': "
                              f"{result.stderr.strip()}")
        return result.stdout

    def submit(self, script_path: str, cwd: str) -> int:
        has_output, has_error = slurm.declared_outputs_of(self._script_head(script_path).splitlines())
        # Not retried: a submission whose answer was lost may have queued the job already.
        result = self.connection.run(slurm.sbatch_args(script_path, cwd, has_output, has_error), retry=False)
        if result.returncode == 127:
            raise RemoteError(f"remote '{self.connection.name}' ({self.connection.target}) has no sbatch: "
                              f"{result.stderr.strip() or 'command not found'}")
        if result.returncode != 0:
            text = (result.stderr or result.stdout).strip() or f"exit status {result.returncode}"
            raise slurm.SlurmError(f"sbatch {script_path} failed on remote '{self.connection.name}': {text}")
        job_id = slurm.sbatch_job_id(result.stdout)
        try:
            fields = self._scontrol_fields(job_id)
        except RemoteError:
            fields = {}  # the job is queued all the same; keep the names that were asked for
        stdout_path, stderr_path = slurm.settled_outputs(fields, job_id, cwd, has_output or has_error)
        self._jobs[job_id] = RemoteJob(stdout_path, stderr_path)
        return job_id

    def _scontrol_fields(self, job_id: int) -> Dict[str, str]:
        result = self.connection.run(["scontrol", "show", "job", "-o", str(job_id)])
        if result.returncode != 0:
            return {}
        return slurm._split_fields((result.stdout.strip().splitlines() or [""])[0])

    # -- the snapshot of a job ---------------------------------------------------------------

    def _job(self, job_id: int) -> RemoteJob:
        job_id = slurm._job_id(job_id)
        if job_id not in self._jobs:
            fields = self._scontrol_fields(job_id)
            stdout = fields.get("StdOut", "")
            self._jobs[job_id] = RemoteJob(stdout, fields.get("StdErr") or stdout)
        return self._jobs[job_id]

    def snapshot(self, job_id: int, fresh: bool = False, with_logs: bool = False) -> JobSnapshot:
        """The job's latest snapshot, taken anew when older than a moment (or when ``fresh``). While
        the job runs a poll carries its state alone; the tails of its logs come with the snapshot that
        sees it ended (or when ``with_logs``)."""
        job = self._job(job_id)
        now = time.monotonic()
        if not fresh and job.snapshot is not None and now - job.snapshot.taken < SNAPSHOT_SECONDS:
            return job.snapshot
        stderr_path = job.stderr_path if job.stderr_path != job.stdout_path else ""
        limit = LOG_LIMIT if with_logs else 0
        result = self.connection.run(script_words(_SNAPSHOT, str(job_id), job.stdout_path, stderr_path, str(limit)))
        lines = result.stdout.split("\n", 3)
        if result.returncode != 0 or len(lines) != 4:
            raise slurm.SlurmError(f"status query of job {job_id} failed on remote '{self.connection.name}': "
                                   f"{result.stderr.strip() or 'no answer'}")
        code, answer = lines[2], lines[3]
        outputs = tuple(self._tail(line, path) if with_logs else None
                        for line, path in zip(lines[:2], (job.stdout_path, stderr_path)))
        if code == "0" and answer.strip():
            fields, forgotten = slurm.job_fields(answer), False
        elif slurm._INVALID_JOB in answer:
            fields, forgotten = self._forgotten_fields(job_id), True
        elif code == "127":
            raise RemoteError(f"remote '{self.connection.name}' ({self.connection.target}) has no scontrol: "
                              f"{answer.strip()}")
        else:
            raise slurm.SlurmError(f"scontrol show job {job_id} failed on remote '{self.connection.name}': "
                                   f"{answer.strip()}")
        job.snapshot = JobSnapshot(time.monotonic(), fields, outputs, forgotten)
        # The logs of an array job are those of its first failed task, else of its first task.
        stdout_path = str(fields.get("StdOut") or job.stdout_path)
        paths = stdout_path, str(fields.get("StdErr") or stdout_path)
        if fields.get("ArrayTasks") and paths != (job.stdout_path, job.stderr_path):
            job.stdout_path, job.stderr_path = paths
            return self.snapshot(job_id, fresh=True, with_logs=with_logs)
        ended = (fields.get("JobState") or "UNKNOWN").split()[0] in slurm.FINISHED_STATES or forgotten
        if ended and not with_logs:
            return self.snapshot(job_id, fresh=True, with_logs=True)
        return job.snapshot

    @staticmethod
    def _tail(line: str, path: str) -> Optional[str]:
        size, text = _status_and_text(line)
        if not size.isdigit():
            return None
        if int(size) > LOG_LIMIT:
            text = f"[... {int(size) - LOG_LIMIT} earlier bytes in {path}]\n" + text
        return text

    def _forgotten_fields(self, job_id: int) -> Dict[str, str]:
        """The fields of a finished job from the accounting database, else from the completion log."""
        lines = self.connection.run(script_words(_FORGOTTEN, str(job_id))).stdout.splitlines() + ["", ""]
        (acct_code, acct), (conf_code, conf) = _status_and_text(lines[0]), _status_and_text(lines[1])
        record = acct.strip().splitlines()[0].split("|") if acct_code == "0" and acct.strip() else []
        if len(record) == 3:
            state, exit_code, elapsed = record
            return {"JobState": state.split()[0], "ExitCode": exit_code,
                    "RunTime": slurm._clock(int(elapsed)) if elapsed.isdigit() else ""}
        log = slurm.completion_log_of(conf) if conf_code == "0" else None
        if not log:
            return {}
        found = self.connection.run(script_words(_COMPLETION_RECORD, str(job_id), log)).stdout.strip()
        fields = slurm._split_fields(found) if found else {}
        start, end = slurm._timestamp(fields.get("StartTime")), slurm._timestamp(fields.get("EndTime"))
        if start and end and end >= start:
            fields["RunTime"] = slurm._clock(int((end - start).total_seconds()))
        return fields

    # -- the queue interface -----------------------------------------------------------------

    def state(self, job_id: int) -> str:
        return (self.snapshot(job_id).fields.get("JobState") or "UNKNOWN").split()[0]

    def run_seconds(self, job_id: int) -> float:
        seconds = slurm._duration(self.snapshot(job_id).fields.get("RunTime", ""))
        return seconds if seconds is not None else 0.0

    def output_paths(self, job_id: int) -> Tuple[str, str]:
        job = self._job(job_id)
        return job.stdout_path, job.stderr_path

    def outputs(self, job_id: int, with_logs: bool = False) -> Tuple[Optional[str], Optional[str]]:
        """The tails of the job's output and error files once it ended, or now ``with_logs`` (None for
        a file not written yet; the error is None when both streams go to one file)."""
        if with_logs:
            return self.snapshot(job_id, fresh=True, with_logs=True).outputs
        return self.snapshot(job_id).outputs

    def read_chunks(self, requests: list, limit: int) -> List[Optional[LogChunk]]:
        """For each (file, offset): at most ``limit`` bytes of the file from the offset (from its start
        when the file is shorter than that), None for a file not there yet; one round trip for all."""
        words = [str(limit)] + [str(word) for path, offset in requests for word in (path, offset)]
        result = self.connection.run(script_words(_CHUNKS, *words))
        lines = result.stdout.splitlines()
        if result.returncode != 0 or len(lines) != len(requests):
            raise slurm.SlurmError(f"reading the job's logs failed on remote '{self.connection.name}': "
                                   f"{result.stderr.strip() or 'no answer'}")
        return [_chunk(line) for line in lines]

    def exit_code(self, job_id: int) -> Optional[int]:
        fields = self.snapshot(job_id).fields
        if (fields.get("JobState") or "UNKNOWN").split()[0] not in slurm.FINISHED_STATES:
            return None
        return slurm.exit_code_of(fields.get("ExitCode", ""))

    def whereabouts(self, job_id: int, state: Optional[str] = None) -> Optional[str]:
        return slurm.whereabouts_of(self.snapshot(job_id).fields, state)

    def tasks(self, job_id: int) -> Optional[list]:
        return slurm.task_list(self.snapshot(job_id).fields)

    def cancel(self, job_id: int) -> None:
        job_id = slurm._job_id(job_id)
        result = self.connection.run(["scancel", str(job_id)])
        if result.returncode != 0:
            raise slurm.SlurmError(f"scancel {job_id} failed on remote '{self.connection.name}': "
                                   f"{(result.stderr or result.stdout).strip()}")
        if job_id in self._jobs:
            self._jobs[job_id].snapshot = None  # the next query shows the cancellation

    def cancel_all(self) -> None:
        pass

