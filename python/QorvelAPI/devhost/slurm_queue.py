"""The SLURM queue of this machine, as the local development host uses it.

Every operation runs the SLURM command-line tools (`sbatch`, `squeue`, `scontrol`, `scancel`)
with a time limit and turns their failures into `SlurmError`. State names are passed through as
SLURM prints them ("PENDING", "RUNNING", "COMPLETED", "FAILED", "CANCELLED", "OUT_OF_MEMORY", ...);
mapping them onto the cluster job block's states is the caller's business.

Where a job's output goes: a script that names its own output or error file (`#SBATCH -o/-e`,
`--output`, `--error`) keeps it. Otherwise standard output goes to `slurm-<job id>.out` and
standard error to `slurm-<job id>.err` in the job's working folder. The paths SLURM settled on are
recorded at submission in a small JSON file per job (in `QORVEL_SLURM_JOBS`, by default
`~/.qorvel/slurm-jobs`), so that they are known after the controller has forgotten the job.

A finished job stays visible to `squeue`/`scontrol` for the controller's MinJobAge; after that
its state and run time are read from the controller's completion log (jobcomp/filetxt), which the
development cluster of `scripts/slurm` writes. No accounting database is needed.
"""

from __future__ import annotations

import datetime
import io
import json
import logging
import os
import re
import subprocess
import tempfile
from typing import Dict, Optional, Tuple

from .environment import child_environment
from .safe_files import BATCH_SCRIPT, read_text

__all__ = [
    "SlurmError",
    "FINISHED_STATES",
    "controller_available",
    "submit",
    "state",
    "run_seconds",
    "output_paths",
    "exit_code",
    "cancel",
]

# States after which a job never runs again (as squeue/scontrol print them).
FINISHED_STATES = frozenset({
    "BOOT_FAIL", "CANCELLED", "COMPLETED", "DEADLINE", "FAILED", "NODE_FAIL", "OUT_OF_MEMORY",
    "PREEMPTED", "REVOKED", "SPECIAL_EXIT", "TIMEOUT",
})

# Time limits (seconds) for the SLURM tools. A reachable controller answers in milliseconds; an
# unreachable one makes the tools retry for a while, which must not hang the host.
PING_TIMEOUT = 5.0
COMMAND_TIMEOUT = 30.0

_INVALID_JOB = "Invalid job id specified"
# "Key=" at the start of a field of `scontrol show job -o` (values may hold spaces).
_SCONTROL_KEY = re.compile(r"(?:^|\s)([A-Za-z][A-Za-z0-9_:/]*)=")


# Output files of the jobs this process submitted.
_known_paths: Dict[int, Tuple[str, str]] = {}


class SlurmError(RuntimeError):
    """A SLURM tool failed, timed out or is missing; the message carries its own words."""


# --- running the tools ----------------------------------------------------------------------

def _run(args, timeout: float = COMMAND_TIMEOUT, cwd: Optional[str] = None) -> subprocess.CompletedProcess:
    try:
        # In a session of its own: the Ctrl-C of the terminal is the host's to handle (an sbatch
        # killed halfway may have queued its job without saying which).
        return subprocess.run(args, cwd=cwd, capture_output=True, text=True, errors="replace",
                              timeout=timeout, stdin=subprocess.DEVNULL, env=child_environment(),
                              start_new_session=True)
    except FileNotFoundError:
        raise SlurmError(f"'{args[0]}' is not installed (Debian packages slurm-wlm and munge)") from None
    except subprocess.TimeoutExpired:
        raise SlurmError(f"'{' '.join(args)}' did not answer within {timeout:g} s") from None


def _failure(result: subprocess.CompletedProcess, what: str) -> SlurmError:
    text = (result.stderr or result.stdout or "").strip() or f"exit status {result.returncode}"
    return SlurmError(f"{what}: {text}")


def _job_id(job_id) -> int:
    """The job identifier as an integer; refuses what cannot name a job."""
    if isinstance(job_id, bool) or not isinstance(job_id, (int, str)):
        raise TypeError(f"job id must be an integer, got {type(job_id).__name__}")
    if isinstance(job_id, str):
        if not job_id.strip().isdigit():
            raise ValueError(f"invalid job id {job_id!r}")
        job_id = int(job_id)
    if job_id <= 0:
        raise ValueError(f"invalid job id {job_id!r}")
    return job_id


# --- the controller -------------------------------------------------------------------------

def controller_available(timeout: float = PING_TIMEOUT) -> bool:
    """True when a SLURM controller answers on this machine (within `timeout` seconds)."""
    try:
        result = _run(["scontrol", "ping"], timeout=timeout)
    except SlurmError:
        return False
    return result.returncode == 0 and " is UP" in result.stdout


# --- submission -----------------------------------------------------------------------------

# Records of jobs submitted longer ago than this are removed when a new job is submitted.
RECORD_DAYS = 30


def _records_dir() -> str:
    folder = os.environ.get("QORVEL_SLURM_JOBS") or os.path.join(os.path.expanduser("~"), ".qorvel", "slurm-jobs")
    return os.path.abspath(folder)


def _prune_records(folder: str) -> None:
    limit = datetime.datetime.now().timestamp() - RECORD_DAYS * 86400
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        path = os.path.join(folder, name)
        try:
            if name.endswith(".json") and os.path.getmtime(path) < limit:
                os.unlink(path)
        except OSError:
            pass  # another process removed it first


def _write_record(job_id: int, record: Dict[str, object]) -> None:
    folder = _records_dir()
    os.makedirs(folder, exist_ok=True)
    _prune_records(folder)
    # Written whole and renamed, so a reader never sees half a record.
    fd, tmp = tempfile.mkstemp(dir=folder, prefix=f".{job_id}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as out:
            json.dump(record, out, indent=4)
        os.replace(tmp, os.path.join(folder, f"{job_id}.json"))
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def _read_record(job_id: int) -> Optional[Dict[str, object]]:
    try:
        with open(os.path.join(_records_dir(), f"{job_id}.json"), encoding="utf-8") as src:
            record = json.load(src)
    except (OSError, ValueError):
        return None
    return record if isinstance(record, dict) else None


def _names_option(tokens, short: str, long: str) -> bool:
    for token in tokens:
        if token == long or token.startswith(long + "="):
            return True
        if token.startswith(short) and not token.startswith("--"):
            return True
    return False


def _declared_outputs(script_path: str) -> Tuple[bool, bool]:
    """Whether the script names its own output file and its own error file.

    sbatch reads `#SBATCH` lines (several options may share one) up to the first line that is
    neither blank nor a comment."""
    try:
        return declared_outputs_of(io.StringIO(read_text(script_path, BATCH_SCRIPT, errors="replace")))
    except OSError as error:
        raise SlurmError(f"cannot read job script {script_path}: {error}") from None


def declared_outputs_of(lines) -> Tuple[bool, bool]:
    """`_declared_outputs` for the lines of a script already read (from this machine or a remote)."""
    has_output = has_error = False
    for line in lines:
        stripped = line.strip()
        if stripped and not stripped.startswith("#"):
            break
        if not line.startswith("#SBATCH"):
            continue
        tokens = line[len("#SBATCH"):].split("#", 1)[0].split()
        has_output = has_output or _names_option(tokens, "-o", "--output")
        has_error = has_error or _names_option(tokens, "-e", "--error")
    return has_output, has_error


def submit(script_path, cwd: Optional[str] = None, change_dir: bool = True) -> int:
    """Submits the batch script `script_path` with `sbatch`; returns the job identifier.

    A relative `script_path` is taken relative to `cwd` (the host's current remote directory),
    or to the process's working folder when `cwd` is None. With `change_dir` the job runs in the
    script's folder; otherwise in `cwd` (or the process's working folder).
    """
    if not isinstance(script_path, (str, os.PathLike)):
        raise TypeError(f"script path must be a string, got {type(script_path).__name__}")
    base = os.path.abspath(os.path.expanduser(os.fspath(cwd))) if cwd is not None else os.getcwd()
    if not os.path.isdir(base):
        raise FileNotFoundError(f"Working folder not found: {base}")
    script = os.path.normpath(os.path.join(base, os.path.expanduser(os.fspath(script_path))))
    if not os.path.isfile(script):
        raise FileNotFoundError(f"Job script not found: {script}")
    workdir = os.path.dirname(script) if change_dir else base

    has_output, has_error = _declared_outputs(script)
    result = _run(sbatch_args(script, workdir, has_output, has_error), cwd=workdir)
    if result.returncode != 0:
        raise _failure(result, f"sbatch {script} failed")
    job_id = sbatch_job_id(result.stdout)

    # SLURM expands the file name patterns (%j, %x, ...) itself; keep what it settled on. The job
    # is in the queue by now, so a failing query must not lose it: fall back to the names that
    # this function asked for (or SLURM's default name).
    try:
        fields = _scontrol_fields(job_id)
    except SlurmError:
        fields = {}
    stdout_path, stderr_path = settled_outputs(fields, job_id, workdir, has_output or has_error)
    _known_paths[job_id] = (stdout_path, stderr_path)
    try:
        _write_record(job_id, {
            "jobId": job_id,
            "script": script,
            "workDir": workdir,
            "stdOut": stdout_path,
            "stdErr": stderr_path,
            "submitted": datetime.datetime.now().isoformat(timespec="seconds"),
        })
    except OSError as error:
        # The job runs all the same; this process still knows its files, and the controller does
        # for as long as it keeps the job.
        logging.getLogger("Qorvel").warning("Could not record the output files of job %s: %s", job_id, error)
    return job_id


def sbatch_args(script: str, workdir: str, has_output: bool, has_error: bool) -> list:
    """The sbatch command line for a script: its job runs in `workdir`; a script that names no
    output file writes slurm-<id>.out and slurm-<id>.err there."""
    args = ["sbatch", "--parsable", f"--chdir={workdir}"]
    if not has_output:
        args.append(f"--output={os.path.join(workdir, 'slurm-%j.out')}")
        if not has_error:
            # A script that names only its output file gets SLURM's own rule: both streams there.
            args.append(f"--error={os.path.join(workdir, 'slurm-%j.err')}")
    args.append(script)
    return args


def sbatch_job_id(stdout: str) -> int:
    """The job identifier that `sbatch --parsable` printed ("id" or "id;cluster")."""
    first = (stdout.strip().splitlines() or [""])[0]
    try:
        return int(first.split(";", 1)[0])
    except ValueError:
        raise SlurmError(f"sbatch printed no job id: {stdout.strip()!r}") from None


def settled_outputs(fields: Dict[str, str], job_id: int, workdir: str, names_own: bool) -> Tuple[str, str]:
    """The output and error files of a new job: what `scontrol show job` says (SLURM expands the
    patterns itself), else the names that `sbatch_args` asked for (or SLURM's default name)."""
    stdout_path = fields.get("StdOut") or os.path.join(workdir, f"slurm-{job_id}.out")
    stderr_path = fields.get("StdErr") or (
        os.path.join(workdir, f"slurm-{job_id}.err") if not names_own else stdout_path)
    return stdout_path, stderr_path


# --- queries --------------------------------------------------------------------------------

def _scontrol_fields(job_id: int) -> Dict[str, str]:
    """The fields of `scontrol show job`, or {} when the controller no longer knows the job."""
    result = _run(["scontrol", "show", "job", "-o", str(job_id)])
    if result.returncode != 0:
        if _INVALID_JOB in (result.stderr + result.stdout):
            return {}
        raise _failure(result, f"scontrol show job {job_id} failed")
    return job_fields(result.stdout)


def job_fields(answer: str) -> Dict[str, object]:
    """The fields of a job from the lines of `scontrol show job -o`: a plain job's one line, or
    the tasks of an array job merged (see `merge_tasks`)."""
    records = [_split_fields(line) for line in answer.strip().splitlines() if line.strip()]
    if not records:
        return {}
    if "ArrayJobId" not in records[0] or records[0].get("ArrayJobId") in (None, "", "(null)"):
        return records[0]
    return merge_tasks(records)


def _task_order(record: Dict[str, str]) -> Tuple[int, str]:
    first = re.match(r"\d+", record.get("ArrayTaskId", ""))
    return (int(first.group()) if first else 1 << 31), record.get("ArrayTaskId", "")


def array_state(states) -> str:
    """The state of an array job from its tasks' states: not ended while a task has not (RUNNING
    while one runs), then COMPLETED when every task completed, else FAILED."""
    running = [state for state in states if state not in FINISHED_STATES]
    if running:
        return "RUNNING" if "RUNNING" in running else running[0]
    return "COMPLETED" if all(state == "COMPLETED" for state in states) else "FAILED"


def merge_tasks(records) -> Dict[str, object]:
    """One array job from its tasks' records (one per task once it started; a record whose
    ArrayTaskId is a range stands for the tasks still pending). Not ended while a task has not;
    COMPLETED when every task completed, else FAILED. The exit code, output files and other
    fields are those of the first task that did not complete, else of the first task; the run
    time is the longest. "ArrayTasks" lists each record, in task order."""
    tasks = sorted(records, key=_task_order)
    states = [(t.get("JobState") or "UNKNOWN").split()[0] for t in tasks]
    failed = [t for t, state in zip(tasks, states) if state in FINISHED_STATES and state != "COMPLETED"]
    state = array_state(states)
    fields: Dict[str, object] = dict(failed[0] if failed else tasks[0])
    durations = [_duration(t.get("RunTime", "")) or 0.0 for t in tasks]
    fields.update(JobState=state, RunTime=_clock(int(max(durations))), ArrayTasks=tasks)
    return fields


def task_list(fields: Dict[str, object]) -> Optional[list]:
    """Each task of an array job: its id, job id, state, exit code and log files; None for a plain job."""
    tasks = fields.get("ArrayTasks")
    if not tasks:
        return None
    return [{"taskID": _number(task.get("ArrayTaskId")), "jobID": _number(task.get("JobId")), "state": (task.get("JobState") or "UNKNOWN").split()[0],
             "exitCode": exit_code_of(task.get("ExitCode", "")), "stdOut": task.get("StdOut"),
             "stdErr": task.get("StdErr") or task.get("StdOut")} for task in tasks]


def _number(text) -> object:
    """A task or job id as a number; a range of tasks not started yet ("4-9") stays text."""
    return int(text) if str(text).isdigit() else text


def _clock(seconds: int) -> str:
    return f"{seconds // 3600:d}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"


def _split_fields(line: str) -> Dict[str, str]:
    fields: Dict[str, str] = {}
    matches = list(_SCONTROL_KEY.finditer(line))
    for i, match in enumerate(matches):
        end = matches[i + 1].start() if i + 1 < len(matches) else len(line)
        fields.setdefault(match.group(1), line[match.end():end].strip())
    return fields


def _completion_log() -> Optional[str]:
    """Path of the controller's completion log when it keeps one as a text file."""
    result = _run(["scontrol", "show", "config"])
    if result.returncode != 0:
        return None
    return completion_log_of(result.stdout)


def completion_log_of(config_text: str) -> Optional[str]:
    """The completion log's path named in the text of `scontrol show config`, if it is a text file."""
    conf: Dict[str, str] = {}
    for line in config_text.splitlines():
        key, sep, value = line.partition("=")
        if sep:
            conf[key.strip()] = value.strip()
    if conf.get("JobCompType") != "jobcomp/filetxt":
        return None
    return conf.get("JobCompLoc") or None


def _completed_fields(job_id: int) -> Dict[str, str]:
    """The completion log's record of the job (its last one), or {}."""
    path = _completion_log()
    if not path:
        return {}
    prefix = f"JobId={job_id} "
    found = ""
    try:
        with open(path, encoding="utf-8", errors="replace") as log:
            for line in log:
                if line.startswith(prefix):
                    found = line  # a later record of the same id (a requeued job) wins
    except OSError:
        return {}
    return _split_fields(found.strip()) if found else {}


def state(job_id) -> str:
    """The job's state as SLURM prints it; "UNKNOWN" when neither the controller nor its
    completion log knows the job. Raises `SlurmError` when the controller cannot be asked."""
    job_id = _job_id(job_id)
    result = _run(["squeue", "-h", "-t", "all", "-j", str(job_id), "-o", "%T"])
    if result.returncode == 0 and len(result.stdout.split()) == 1:
        return result.stdout.split()[0]
    if result.returncode != 0 and _INVALID_JOB not in (result.stderr + result.stdout):
        raise _failure(result, f"squeue -j {job_id} failed")
    fields = _scontrol_fields(job_id)
    if fields.get("JobState"):
        return fields["JobState"].split()[0]
    return _completed_fields(job_id).get("JobState") or "UNKNOWN"


def _duration(text: str) -> Optional[float]:
    """Seconds of a SLURM duration "[days-]hours:minutes:seconds" (or "minutes:seconds")."""
    match = re.fullmatch(r"(?:(\d+)-)?(?:(\d+):)?(\d+):(\d+)", text.strip())
    if not match:
        return None
    days, hours, minutes, seconds = (int(g) if g else 0 for g in match.groups())
    return float(((days * 24 + hours) * 60 + minutes) * 60 + seconds)


def _timestamp(text: str) -> Optional[datetime.datetime]:
    try:
        return datetime.datetime.fromisoformat(text)
    except (TypeError, ValueError):
        return None


def run_seconds(job_id) -> float:
    """Seconds the job has run so far (its whole run time once it ended; 0 while pending or
    when the job is unknown)."""
    job_id = _job_id(job_id)
    fields = _scontrol_fields(job_id)
    if fields:
        seconds = _duration(fields.get("RunTime", ""))
        return seconds if seconds is not None else 0.0
    fields = _completed_fields(job_id)
    start, end = _timestamp(fields.get("StartTime")), _timestamp(fields.get("EndTime"))
    if start and end and end >= start:
        return (end - start).total_seconds()
    return 0.0


def output_paths(job_id) -> Tuple[str, str]:
    """Absolute paths of the job's standard output and standard error files (the same path
    twice when the job writes both streams into one file). The files exist once the job runs."""
    job_id = _job_id(job_id)
    if job_id in _known_paths:
        return _known_paths[job_id]
    record = _read_record(job_id)
    if record and isinstance(record.get("stdOut"), str) and isinstance(record.get("stdErr"), str):
        return record["stdOut"], record["stdErr"]
    fields = _scontrol_fields(job_id)
    if fields.get("StdOut"):
        return fields["StdOut"], fields.get("StdErr") or fields["StdOut"]
    raise SlurmError(f"no output files are known for job {job_id}")


def exit_code(job_id) -> Optional[int]:
    """The exit status of the job's script once the job ended (minus the signal number when a
    signal ended it, as `subprocess` reports it); None while it has not ended or when unknown."""
    job_id = _job_id(job_id)
    fields = _scontrol_fields(job_id)
    if fields:
        if (fields.get("JobState") or "UNKNOWN").split()[0] not in FINISHED_STATES:
            return None
    else:
        fields = _completed_fields(job_id)
    return exit_code_of(fields.get("ExitCode", ""))


def exit_code_of(text: str) -> Optional[int]:
    """The exit status in SLURM's "status:signal" form, as `subprocess` reports it (minus the signal)."""
    match = re.fullmatch(r"(\d+):(\d+)", text.strip())
    if not match:
        return None
    status, signal = int(match.group(1)), int(match.group(2))
    return -signal if signal else status


def whereabouts_of(fields: Dict[str, object], state: Optional[str] = None) -> Optional[str]:
    """Why a pending job waits ("waiting: Resources") or where a running one runs ("on node1").
    ``state``: the state the caller shows; nothing is said when the fields no longer match it (the
    job started between two queries)."""
    known = str(fields.get("JobState") or "").split()[0] if fields.get("JobState") else ""
    if state is not None and state != known:
        return None
    state = known
    reason, nodes = str(fields.get("Reason") or ""), str(fields.get("NodeList") or "")
    if state == "PENDING" and reason not in ("", "None", "(null)"):
        return f"waiting: {reason}"
    if state == "RUNNING" and nodes not in ("", "(null)"):
        return f"on {nodes}"
    return None


def whereabouts(job_id, state: Optional[str] = None) -> Optional[str]:
    """`whereabouts_of` the job as the controller knows it now."""
    return whereabouts_of(_scontrol_fields(_job_id(job_id)), state)


def tasks(job_id) -> Optional[list]:
    """The tasks of an array job (see `task_list`) while the controller knows it; None otherwise."""
    return task_list(_scontrol_fields(_job_id(job_id)))


def cancel(job_id) -> None:
    """Cancels the job with `scancel`. A job that already ended is left as it is."""
    job_id = _job_id(job_id)
    result = _run(["scancel", str(job_id)])
    if result.returncode != 0:
        raise _failure(result, f"scancel {job_id} failed")
