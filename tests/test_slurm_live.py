"""The SLURM queue of this machine, used for real (`make slurm-start` brings it up; CI does)."""

import os
import time

import pytest

from QorvelAPI.devhost import slurm_queue as queue

# CI starts the cluster, so there a missing controller is a failure, never a silent skip.
live = pytest.mark.skipif(
    not queue.controller_available() and os.environ.get("CI") != "true",
    reason="no SLURM controller answers on this machine (start one with 'make slurm-start')",
)

WAIT_LIMIT = 120  # seconds; a hang here is a failure, not a slow pass


@pytest.fixture(autouse=True)
def job_records(tmp_path, monkeypatch):
    monkeypatch.setenv("QORVEL_SLURM_JOBS", str(tmp_path / "records"))


def wait_for(job_id, states):
    deadline = time.monotonic() + WAIT_LIMIT
    while True:
        current = queue.state(job_id)
        if current in states:
            return current
        if current in queue.FINISHED_STATES or time.monotonic() > deadline:
            pytest.fail(f"job {job_id} is {current}, expected one of {sorted(states)}")
        time.sleep(0.2)


def write_script(path, body):
    path.write_text("#!/bin/bash\n" + body)
    return path


@live
def test_job_completes_with_its_output_in_the_job_folder(tmp_path):
    folder = tmp_path / "job folder"  # a space in the path must survive
    folder.mkdir()
    write_script(folder / "run.sh", 'echo "hello from $(pwd)"\necho "a warning" >&2\nsleep 1\n')
    job = queue.submit(str(folder / "run.sh"))
    assert isinstance(job, int) and job > 0
    assert queue.state(job) in {"PENDING", "CONFIGURING", "RUNNING", "COMPLETING", "COMPLETED"}
    assert wait_for(job, {"COMPLETED"}) == "COMPLETED"

    stdout_path, stderr_path = queue.output_paths(job)
    assert stdout_path == str(folder / f"slurm-{job}.out")
    assert stderr_path == str(folder / f"slurm-{job}.err")
    with open(stdout_path) as out, open(stderr_path) as err:
        assert out.read() == f"hello from {folder}\n"
        assert err.read() == "a warning\n"
    assert queue.run_seconds(job) >= 1.0
    assert queue.exit_code(job) == 0
    # The paths outlive this process: they were recorded at submission.
    assert os.path.isfile(tmp_path / "records" / f"{job}.json")


@live
def test_working_folder_follows_change_dir_and_cd(tmp_path):
    scripts, elsewhere = tmp_path / "scripts", tmp_path / "elsewhere"
    scripts.mkdir()
    elsewhere.mkdir()
    write_script(scripts / "where.sh", "pwd\n")
    # Relative script path, taken from the current remote directory; run where we are.
    stay = queue.submit("../scripts/where.sh", cwd=str(elsewhere), change_dir=False)
    moved = queue.submit("../scripts/where.sh", cwd=str(elsewhere), change_dir=True)
    for job, folder in ((stay, elsewhere), (moved, scripts)):
        wait_for(job, {"COMPLETED"})
        stdout_path, _ = queue.output_paths(job)
        assert os.path.dirname(stdout_path) == str(folder)
        with open(stdout_path) as out:
            assert out.read() == f"{folder}\n"


@live
def test_script_that_names_its_output_file_keeps_it(tmp_path):
    write_script(tmp_path / "own.sh", "#SBATCH --job-name=own -o own-%j.log\necho out\necho err >&2\n")
    job = queue.submit(str(tmp_path / "own.sh"))
    wait_for(job, {"COMPLETED"})
    # SLURM's own rule: with only an output file named, both streams go there.
    assert queue.output_paths(job) == (str(tmp_path / f"own-{job}.log"),) * 2
    assert (tmp_path / f"own-{job}.log").read_text() == "out\nerr\n"
    assert not (tmp_path / f"slurm-{job}.out").exists()


@live
def test_non_zero_exit_fails(tmp_path):
    write_script(tmp_path / "bad.sh", "echo broken >&2\nexit 3\n")
    job = queue.submit(str(tmp_path / "bad.sh"))
    assert wait_for(job, {"FAILED"}) == "FAILED"
    assert queue.state(str(job)) == "FAILED"  # a textual id names the same job
    assert queue.exit_code(job) == 3
    with open(queue.output_paths(job)[1]) as err:
        assert err.read() == "broken\n"


@live
def test_cancel_while_running(tmp_path):
    write_script(tmp_path / "long.sh", "echo started\nsleep 300\n")
    job = queue.submit(str(tmp_path / "long.sh"))
    try:
        wait_for(job, {"RUNNING"})
        assert queue.exit_code(job) is None
    finally:
        queue.cancel(job)
    assert wait_for(job, {"CANCELLED"}) == "CANCELLED"
    queue.cancel(job)  # cancelling an ended job changes nothing
    assert queue.state(job) == "CANCELLED"


@live
def test_bad_submissions_and_unknown_jobs(tmp_path):
    with pytest.raises(FileNotFoundError, match="Job script not found"):
        queue.submit(str(tmp_path / "missing.sh"))
    with pytest.raises(FileNotFoundError, match="Working folder not found"):
        queue.submit("run.sh", cwd=str(tmp_path / "nowhere"))
    write_script(tmp_path / "nopart.sh", "#SBATCH --partition=no_such_partition\ntrue\n")
    with pytest.raises(queue.SlurmError, match="sbatch .* failed: .*[Pp]artition"):
        queue.submit(str(tmp_path / "nopart.sh"))

    # An id the queue never handed out (SLURM's ids stay far below this).
    never = 67_000_000
    assert queue.state(never) == "UNKNOWN"
    assert queue.run_seconds(never) == 0.0
    assert queue.exit_code(never) is None
    with pytest.raises(queue.SlurmError, match="no output files"):
        queue.output_paths(never)
    for bad, kind in ((0, ValueError), ("12a", ValueError), (True, TypeError), (1.5, TypeError)):
        with pytest.raises(kind):
            queue.state(bad)


def test_forgotten_job_is_read_from_the_completion_log(tmp_path, monkeypatch):
    log = tmp_path / "jobcomp.log"
    log.write_text(
        "JobId=41 UserId=root(0) GroupId=root(0) Name=wrap JobState=RUNNING Partition=main "
        "StartTime=2026-01-01T10:00:00 EndTime=Unknown WorkDir=/tmp/a b ExitCode=0:0 \n"
        "JobId=4 UserId=root(0) GroupId=root(0) Name=x JobState=COMPLETED Partition=main "
        "StartTime=2026-01-01T10:00:00 EndTime=2026-01-01T10:00:07 WorkDir=/tmp ExitCode=0:0 \n"
        "JobId=41 UserId=root(0) GroupId=root(0) Name=wrap JobState=OUT_OF_MEMORY Partition=main "
        "StartTime=2026-01-01T10:00:00 EndTime=2026-01-01T11:01:05 WorkDir=/tmp/a b ExitCode=0:125 \n"
    )
    monkeypatch.setattr(queue, "_completion_log", lambda: str(log))
    monkeypatch.setattr(queue, "_scontrol_fields", lambda job_id: {})
    fields = queue._completed_fields(41)
    assert fields["JobState"] == "OUT_OF_MEMORY"  # the last record of a job wins
    assert fields["WorkDir"] == "/tmp/a b"
    assert queue.run_seconds(41) == 3665.0
    assert queue.exit_code(41) == -125 and queue.exit_code(4) == 0
    assert queue.run_seconds(4) == 7.0
    assert queue._completed_fields(5) == {}


def test_missing_tools_mean_no_controller(monkeypatch, tmp_path):
    monkeypatch.setenv("PATH", str(tmp_path))
    assert queue.controller_available() is False
    with pytest.raises(queue.SlurmError, match="'squeue' is not installed"):
        queue.state(1)


# --- the local host's remote on the live queue ----------------------------------------------

@live
def test_local_remote_submits_to_the_live_queue(tmp_path):
    from QorvelAPI.devhost.remote import make_local_remote

    remote = make_local_remote(str(tmp_path), queue="slurm")
    assert remote.queue.kind == "slurm"
    (tmp_path / "scripts").mkdir()
    (tmp_path / "elsewhere").mkdir()
    write_script(tmp_path / "scripts" / "where.sh", 'pwd\necho "err line" >&2\n')

    remote._runningSavedID, remote._runningPlacedID = "flow-1", "stay"
    with remote.cd("elsewhere"):
        stay = remote.submitJob("../scripts/where.sh", False)
    remote._runningPlacedID = "moved"
    with remote.cd("elsewhere"):
        moved = remote.submitJob("../scripts/where.sh", True)
    assert stay != moved

    for placed, job, folder in (("stay", stay, tmp_path / "elsewhere"), ("moved", moved, tmp_path / "scripts")):
        assert remote.getJobIDfromBlock("flow-1", placed) == job
        wait_for(job, {"COMPLETED"})
        assert remote.getRemoteBlockStatus("flow-1", placed) == "COMPLETED"
        stdout, stderr, detail = remote.getRemoteBlockLogs("flow-1", placed)
        assert stdout == f"{folder}\n", placed
        assert stderr == "err line\n"
        assert "COMPLETED" in detail
