"""Job queues for the local remote: a local runner, and the SLURM queue when a controller answers.

Both give the same small interface (``submit``, ``state``, ``run_seconds``, ``output_paths``,
``cancel``, ``exit_code``), so the remote does not care which one runs its jobs.

The local runner runs each batch script as a child process of the local host. A job is PENDING
while all job slots are taken (one slot per core by default), RUNNING while its process lives, and
COMPLETED or FAILED by its exit status (CANCELLED after ``cancel``). Its standard output and error
go to files, by default ``slurm-<job id>.out`` and ``slurm-<job id>.err`` in the job's working
folder, or where the script's ``#SBATCH --output``/``--error`` lines say. A script whose
``#SBATCH`` lines sbatch would refuse is refused (see ``sbatch``); options this machine cannot
honour (partitions, accounts, GPUs) are logged as warnings. An array job (``#SBATCH --array``) runs
one job per task, with SLURM's task variables, and is known by its first task's identifier.
"""

from __future__ import annotations

import fcntl
import logging
import os
import signal
import subprocess
import time
from dataclasses import dataclass, field

from .environment import child_environment
from .safe_files import BATCH_SCRIPT, read_text
from .sbatch import DirectiveError, array_indices, honoured_options, read_directives, unhonoured
from .slurm_queue import array_state

TERMINAL_STATES = ("COMPLETED", "FAILED", "CANCELLED", "TIMEOUT", "OUT_OF_MEMORY", "OUT_OF_ME", "NODE_FAIL",
                   "BOOT_FAIL", "DEADLINE", "PREEMPTED", "REVOKED", "SPECIAL_EXIT")


class QueueError(Exception):
    """A job that cannot be submitted or an unknown job identifier."""


@dataclass
class LocalJob:
    job_id: int
    script: str
    cwd: str
    name: str
    stdout_path: str
    stderr_path: str
    state: str = "PENDING"
    submitted: float = field(default_factory=time.time)
    started: float | None = None
    ended: float | None = None
    exit_code: int | None = None
    process: subprocess.Popen | None = None
    command: list = field(default_factory=list)
    start_error: str | None = None
    array: tuple | None = None  # (array job id, task id) for a task of an array job


def _sbatch_options(script_text: str) -> dict[str, str]:
    """The ``#SBATCH`` options of a script that the local runner honours (job name, output, error)."""
    return honoured_options(read_directives(script_text))


def _expand_pattern(pattern: str, job: int, name: str, array: int | None = None, task: int | None = None) -> str:
    """The filename patterns of sbatch that make sense on one machine: %j, %x, %u, %A, %a and %%."""
    user = os.environ.get("USER") or str(os.getuid())
    out, index = [], 0
    while index < len(pattern):
        char = pattern[index]
        if char == "%" and index + 1 < len(pattern):
            code = pattern[index + 1]
            out.append({"j": str(job), "x": name, "u": user, "%": "%", "A": str(array or job),
                        "a": str(task) if task is not None else "4294967294"}
                       .get(code, "%" + code))
            index += 2
            continue
        out.append(char)
        index += 1
    return "".join(out)


def _interpreter(script: str, text: str) -> list[str]:
    """The command line that runs a batch script: its "#!" line, else the POSIX shell."""
    first = text.splitlines()[0] if text else ""
    if first.startswith("#!"):
        words = first[2:].strip().split()
        if words:
            return words + [script]
    return ["/bin/sh", script]


class LocalRunner:
    """Runs batch scripts on this machine with a SLURM-like life cycle."""

    kind = "local"
    description = "local runner"

    def __init__(self, slots: int | None = None, state_dir: str | None = None):
        self.slots = max(1, slots or os.cpu_count() or 1)
        self.state_dir = state_dir
        self._jobs: dict[int, LocalJob] = {}
        self._order: list[int] = []
        # The jobs of each array job's tasks, by the array job's id (its first task's).
        self._arrays: dict[int, list[int]] = {}
        self._next_id = 1

    # -- job identifiers ---------------------------------------------------------------------

    def _new_id(self) -> int:
        """A fresh job identifier. With a state folder the counter is shared by every local host
        on this machine, so that the default output files of one run never overwrite another's."""
        if not self.state_dir:
            job_id = self._next_id
            self._next_id += 1
            return job_id
        os.makedirs(self.state_dir, exist_ok=True)
        counter = os.path.join(self.state_dir, "last_job_id")
        with open(counter, "a+", encoding="ascii") as handle:
            fcntl.flock(handle, fcntl.LOCK_EX)
            handle.seek(0)
            text = handle.read().strip()
            job_id = (int(text) if text.isdigit() else 0) + 1
            handle.seek(0)
            handle.truncate()
            handle.write(str(job_id))
        return job_id

    # -- the queue interface -----------------------------------------------------------------

    def submit(self, script_path: str, cwd: str) -> int:
        script_path = os.path.abspath(script_path)
        if not os.path.isfile(script_path):
            raise QueueError(f"batch script not found: {script_path}")
        if not os.path.isdir(cwd):
            raise QueueError(f"working folder not found: {cwd}")
        try:
            text = read_text(script_path, BATCH_SCRIPT, errors="replace")
        except OSError as exc:
            raise QueueError(f"cannot read batch script {script_path}: {exc.strerror or exc}") from None
        # What sbatch would refuse is refused here too, in its words; what this machine cannot do is said.
        name = os.path.basename(script_path)
        try:
            directives = read_directives(text, name)
        except DirectiveError as exc:
            raise QueueError(f"sbatch {script_path} failed: {exc}") from None
        for warning in unhonoured(directives, name):
            logging.getLogger("Qorvel").warning("%s", warning)
        options = honoured_options(directives)
        name = options.get("job-name") or os.path.basename(script_path)
        array = [d.value for d in directives if d.option == "array" and d.value]
        if not array:
            job_id = self._queue_job(script_path, cwd, name, options, text)
        else:
            # One job per task, as sbatch makes them; the array is known by its first task's id.
            indices = array_indices(array[-1])
            job_id = self._queue_job(script_path, cwd, name, options, text, (None, indices[0]))
            self._arrays[job_id] = [job_id] + [self._queue_job(script_path, cwd, name, options, text, (job_id, index))
                                               for index in indices[1:]]
        self._schedule()
        return job_id

    def _queue_job(self, script_path: str, cwd: str, name: str, options: dict, text: str,
                   array: tuple | None = None) -> int:
        job_id = self._new_id()
        array_id, task = (array[0] or job_id, array[1]) if array else (job_id, None)
        stdout = _expand_pattern(options.get("output", "slurm-%j.out"), job_id, name, array_id, task)
        stderr = _expand_pattern(options.get("error", "slurm-%j.err"), job_id, name, array_id, task)
        job = LocalJob(job_id, script_path, cwd, name, os.path.join(cwd, stdout), os.path.join(cwd, stderr))
        job.command = _interpreter(script_path, text)
        job.array = (array_id, task) if array else None
        self._jobs[job_id] = job
        self._order.append(job_id)
        return job_id

    def state(self, job_id: int) -> str:
        self._schedule()
        if job_id in self._arrays:
            return array_state([self._jobs[task].state for task in self._arrays[job_id]])
        return self._job(job_id).state

    def run_seconds(self, job_id: int) -> float:
        return max(self._job_seconds(self._job(task)) for task in self._arrays.get(job_id, [job_id]))

    @staticmethod
    def _job_seconds(job: LocalJob) -> float:
        if job.started is None:
            return 0.0
        return max(0.0, (job.ended or time.time()) - job.started)

    def output_paths(self, job_id: int) -> tuple[str, str]:
        job = self._shown(job_id)
        return job.stdout_path, job.stderr_path

    def exit_code(self, job_id: int) -> int | None:
        self._schedule()
        if self.state(job_id) not in TERMINAL_STATES:
            return None
        return self._shown(job_id).exit_code

    def whereabouts(self, job_id: int, state: str | None = None) -> str | None:
        """Why a pending job waits or where a running one runs (for the status line)."""
        known = self.state(job_id)
        if state is not None and state != known:
            return None
        return {"PENDING": "waiting: a free job slot", "RUNNING": "on this machine"}.get(known)

    def tasks(self, job_id: int) -> list | None:
        """Each task of an array job: id, job id, state, exit code, log files; None for a plain job."""
        if job_id not in self._arrays:
            return None
        self._schedule()
        return [{"taskID": job.array[1], "jobID": job.job_id, "state": job.state, "exitCode": job.exit_code,
                 "stdOut": job.stdout_path, "stdErr": job.stderr_path}
                for job in (self._jobs[task] for task in self._arrays[job_id])]

    def _shown(self, job_id: int) -> LocalJob:
        """The job itself, or for an array job its first task that failed, else its first task."""
        tasks = [self._jobs[task] for task in self._arrays.get(job_id, [])]
        failed = [job for job in tasks if job.state in TERMINAL_STATES and job.state != "COMPLETED"]
        return (failed or tasks)[0] if tasks else self._job(job_id)

    def cancel(self, job_id: int) -> None:
        # Pending tasks first, so that no slot a cancelled task frees starts one of them.
        jobs = [self._jobs[task] for task in self._arrays.get(job_id, [job_id])] if job_id in self._arrays \
            else [self._job(job_id)]
        for job in sorted(jobs, key=lambda job: job.state != "PENDING"):
            self._cancel_one(job)

    def _cancel_one(self, job: LocalJob) -> None:
        if job.state == "PENDING":
            job.state, job.ended = "CANCELLED", time.time()
        elif job.state == "RUNNING" and job.process is not None:
            try:
                os.killpg(job.process.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                job.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                os.killpg(job.process.pid, signal.SIGKILL)
                job.process.wait()
            job.state, job.ended, job.exit_code = "CANCELLED", time.time(), job.process.returncode
            job.process = None
        self._schedule()

    def cancel_all(self) -> None:
        for job_id in list(self._order):
            if self._jobs[job_id].state in ("PENDING", "RUNNING"):
                self.cancel(job_id)

    def wait(self, job_id: int, poll: float = 0.05) -> str:
        """Blocks until the job has ended; returns its final state (used by tests and scripts)."""
        while self.state(job_id) in ("PENDING", "RUNNING"):
            job = self._jobs[job_id]
            if job.process is not None:
                try:
                    job.process.wait(timeout=poll)
                except subprocess.TimeoutExpired:
                    pass
            else:
                time.sleep(poll)
        return self.state(job_id)

    # -- internals ---------------------------------------------------------------------------

    def _job(self, job_id: int) -> LocalJob:
        try:
            return self._jobs[job_id]
        except KeyError:
            raise QueueError(f"unknown job {job_id}") from None

    def _schedule(self) -> None:
        """Reaps ended jobs and starts pending ones while slots are free (called on every query)."""
        running = 0
        for job_id in self._order:
            job = self._jobs[job_id]
            if job.state == "RUNNING" and job.process is not None:
                code = job.process.poll()
                if code is None:
                    running += 1
                    continue
                job.exit_code, job.ended = code, time.time()
                job.state = "COMPLETED" if code == 0 else "FAILED"
                job.process = None
        for job_id in self._order:
            if running >= self.slots:
                break
            job = self._jobs[job_id]
            if job.state == "PENDING":
                self._start(job)
                if job.state == "RUNNING":
                    running += 1

    def _start(self, job: LocalJob) -> None:
        env = child_environment()
        env.update({"SLURM_JOB_ID": str(job.job_id), "SLURM_JOBID": str(job.job_id), "SLURM_JOB_NAME": job.name,
                    "SLURM_SUBMIT_DIR": job.cwd, "SLURM_CPUS_ON_NODE": "1", "SLURM_NNODES": "1"})
        if job.array is not None:
            env.update({"SLURM_ARRAY_JOB_ID": str(job.array[0]), "SLURM_ARRAY_TASK_ID": str(job.array[1])})
        try:
            for path in (job.stdout_path, job.stderr_path):
                folder = os.path.dirname(path)
                if folder and not os.path.isdir(folder):
                    raise OSError(f"output folder does not exist: {folder}")
            stdout = open(job.stdout_path, "wb")
            stderr = stdout if job.stderr_path == job.stdout_path else open(job.stderr_path, "wb")
        except OSError as exc:
            job.state, job.ended, job.exit_code = "FAILED", time.time(), None
            job.start_error = str(exc)
            return
        # Read before the start: the job may run a while before Popen returns (a loaded machine),
        # and its run time must never be shorter than it ran.
        started = time.time()
        try:
            job.process = subprocess.Popen(job.command, cwd=job.cwd, env=env,
                                           stdin=subprocess.DEVNULL, stdout=stdout, stderr=stderr,
                                           start_new_session=True)
            job.state, job.started = "RUNNING", started
        except OSError as exc:
            job.state, job.ended = "FAILED", time.time()
            job.start_error = str(exc)
            with open(job.stderr_path, "a", encoding="utf-8") as handle:
                handle.write(f"local runner: cannot start {job.script}: {exc}\n")
        finally:
            stdout.close()
            if stderr is not stdout:
                stderr.close()


class SlurmQueue:
    """The live SLURM queue, through the package's sbatch/squeue/scontrol/scancel wrapper."""

    kind = "slurm"

    def __init__(self, backend):
        self._backend = backend
        self.description = "SLURM queue (controller answered)"

    def submit(self, script_path: str, cwd: str) -> int:
        # The remote has already chosen the job's folder (the script's, or the current one).
        return int(self._backend.submit(script_path, cwd, change_dir=False))

    def state(self, job_id: int) -> str:
        return str(self._backend.state(job_id))

    def run_seconds(self, job_id: int) -> float:
        return float(self._backend.run_seconds(job_id))

    def output_paths(self, job_id: int) -> tuple[str, str]:
        stdout, stderr = self._backend.output_paths(job_id)
        return stdout, stderr

    def exit_code(self, job_id: int) -> int | None:
        getter = getattr(self._backend, "exit_code", None)
        return getter(job_id) if getter else None

    def whereabouts(self, job_id: int, state: str | None = None) -> str | None:
        getter = getattr(self._backend, "whereabouts", None)
        return getter(job_id, state) if getter else None

    def tasks(self, job_id: int) -> list | None:
        getter = getattr(self._backend, "tasks", None)
        return getter(job_id) if getter else None

    def cancel(self, job_id: int) -> None:
        self._backend.cancel(job_id)

    def cancel_all(self) -> None:
        pass


def slurm_backend():
    """The SLURM wrapper module, or None when the package was built without it."""
    try:
        from QorvelAPI.devhost import slurm_queue  # noqa: PLC0415
    except ImportError:
        return None
    return slurm_queue


def choose_queue(preference: str = "auto", state_dir: str | None = None):
    """The job queue to use: "slurm", "local", or "auto" (SLURM when a controller answers).

    Returns the queue object; raises QueueError when "slurm" is asked for and none answers.
    """
    if preference not in ("auto", "local", "slurm"):
        raise QueueError(f"unknown queue '{preference}' (choose auto, local or slurm)")
    if preference != "local":
        backend = slurm_backend()
        available = False
        if backend is not None:
            try:
                available = bool(backend.controller_available())
            except Exception:  # a broken installation counts as no controller
                available = False
        if available:
            return SlurmQueue(backend)
        if preference == "slurm":
            reason = "the SLURM wrapper is not installed" if backend is None else "no SLURM controller answers"
            raise QueueError(f"SLURM queue requested but {reason}")
    runner = LocalRunner(state_dir=state_dir)
    runner.description = ("local runner (as asked)" if preference == "local"
                          else "local runner (no SLURM controller answered)")
    return runner
