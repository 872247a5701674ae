"""A job queue that records the batch scripts handed to it instead of running them.

The local host's dry run of a cluster job block runs the block's first phase against a remote on
this queue: the block writes its files and submits its script as it would for real, and the
script's text is kept (read at submission, as the real queue would run it) to be shown.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import List, Tuple

from .runner import QueueError
from .safe_files import BATCH_SCRIPT, read_text


@dataclass(frozen=True)
class SubmittedScript:
    """One batch script that a dry run would have submitted."""

    job_id: int
    path: str
    cwd: str
    text: str


class RecordingQueue:
    """The queue interface of the local remote; every job stays PENDING and never runs."""

    kind = "dry-run"
    description = "dry run (batch scripts are recorded, not submitted)"

    def __init__(self) -> None:
        self.scripts: List[SubmittedScript] = []

    def submit(self, script_path: str, cwd: str) -> int:
        try:
            text = read_text(script_path, BATCH_SCRIPT, errors="replace")
        except OSError as exc:
            raise QueueError(f"cannot read batch script {script_path}: {exc.strerror or exc}") from None
        job_id = len(self.scripts) + 1
        self.scripts.append(SubmittedScript(job_id, os.path.abspath(script_path), cwd, text))
        return job_id

    def _known(self, job_id: int) -> SubmittedScript:
        if not 1 <= job_id <= len(self.scripts):
            raise QueueError(f"unknown job {job_id}")
        return self.scripts[job_id - 1]

    def state(self, job_id: int) -> str:
        self._known(job_id)
        return "PENDING"

    def run_seconds(self, job_id: int) -> float:
        self._known(job_id)
        return 0.0

    def output_paths(self, job_id: int) -> Tuple[str, str]:
        cwd = self._known(job_id).cwd
        return os.path.join(cwd, f"slurm-{job_id}.out"), os.path.join(cwd, f"slurm-{job_id}.err")

    def exit_code(self, job_id: int) -> None:
        self._known(job_id)
        return None

    def cancel(self, job_id: int) -> None:
        self._known(job_id)

    def cancel_all(self) -> None:
        pass
