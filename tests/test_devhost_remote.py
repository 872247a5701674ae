import os
import time
from pathlib import Path

import pytest

from QorvelAPI.devhost.remote import LocalRemote
from QorvelAPI.devhost.runner import LocalRunner, QueueError, _sbatch_options, choose_queue
from QorvelAPI.utils import ResetRemoteException


def script(folder, name, body):
    path = folder / name
    path.write_text("#!/bin/bash\n" + body + "\n", encoding="utf-8")
    return str(path)


def test_jobs_go_through_pending_running_and_end_by_exit_status(tmp_path):
    runner = LocalRunner(slots=1)
    first = runner.submit(script(tmp_path, "ok.sh", "echo out; echo err >&2; sleep 0.3"), str(tmp_path))
    second = runner.submit(script(tmp_path, "bad.sh", "echo failing; exit 3"), str(tmp_path))
    # One slot: the second job waits for the first.
    assert (runner.state(first), runner.state(second)) == ("RUNNING", "PENDING")
    assert runner.wait(first) == "COMPLETED"
    assert runner.wait(second) == "FAILED" and runner.exit_code(second) == 3
    out, err = runner.output_paths(first)
    assert out == str(tmp_path / f"slurm-{first}.out") and err == str(tmp_path / f"slurm-{first}.err")
    assert Path(out).read_text() == "out\n" and Path(err).read_text() == "err\n"
    assert runner.run_seconds(first) >= 0.3
    finished = runner.run_seconds(first)
    time.sleep(0.05)
    assert runner.run_seconds(first) == finished  # a finished job's run time stays put
    with pytest.raises(QueueError, match="unknown job"):
        runner.state(999)


def test_cancel_running_and_pending_jobs(tmp_path):
    runner = LocalRunner(slots=1)
    marker = tmp_path / "marker"
    running = runner.submit(script(tmp_path, "long.sh", f"sleep 30; touch {marker}"), str(tmp_path))
    pending = runner.submit(script(tmp_path, "next.sh", "echo never"), str(tmp_path))
    assert runner.state(running) == "RUNNING"
    runner.cancel(pending)
    runner.cancel(running)
    assert runner.state(running) == "CANCELLED" and runner.state(pending) == "CANCELLED"
    assert not marker.exists() and runner.run_seconds(pending) == 0.0


def test_script_directives_and_interpreter(tmp_path):
    text = "#!/bin/sh\n#SBATCH -J demo --output=logs/%x-%j.txt\n#SBATCH --error out.%j.err\necho hi\n#SBATCH -o late\n"
    assert _sbatch_options(text) == {"job-name": "demo", "output": "logs/%x-%j.txt", "error": "out.%j.err"}
    (tmp_path / "logs").mkdir()
    path = tmp_path / "job.sh"
    path.write_text(text + 'echo "$SLURM_JOB_ID $SLURM_JOB_NAME $(pwd)"\n', encoding="utf-8")
    runner = LocalRunner()
    job = runner.submit(str(path), str(tmp_path))
    assert runner.wait(job) == "COMPLETED"
    out, err = runner.output_paths(job)
    assert out == str(tmp_path / "logs" / f"demo-{job}.txt") and err == str(tmp_path / f"out.{job}.err")
    assert Path(out).read_text() == f"hi\n{job} demo {tmp_path}\n"
    # A script without "#!" runs with the POSIX shell; an output folder that is missing fails the job.
    plain = tmp_path / "plain.sh"
    plain.write_text("#SBATCH -o nowhere/x.out\necho plain\n")
    job = runner.submit(str(plain), str(tmp_path))
    assert runner.wait(job) == "FAILED" and "nowhere" in runner._jobs[job].start_error


def test_job_ids_are_shared_through_the_state_folder(tmp_path):
    state = str(tmp_path / "state")
    a, b = LocalRunner(state_dir=state), LocalRunner(state_dir=state)
    path = script(tmp_path, "j.sh", "true")
    ids = [a.submit(path, str(tmp_path)), b.submit(path, str(tmp_path)), a.submit(path, str(tmp_path))]
    assert ids == [1, 2, 3]
    assert [a.wait(1), b.wait(2), a.wait(3)] == ["COMPLETED"] * 3


def test_choose_queue_falls_back_to_the_local_runner(monkeypatch):
    import QorvelAPI.devhost.runner as runner_module

    class NoController:
        @staticmethod
        def controller_available():
            return False

    monkeypatch.setattr(runner_module, "slurm_backend", lambda: NoController)
    assert choose_queue("auto").kind == "local" and choose_queue("local").kind == "local"
    with pytest.raises(QueueError, match="no SLURM controller"):
        choose_queue("slurm")
    with pytest.raises(QueueError, match="unknown queue"):
        choose_queue("cloud")


def test_remote_identity_commands_and_cd(tmp_path):
    home = tmp_path / "home"
    (home / "data").mkdir(parents=True)
    work = tmp_path / "work"
    (work / "sub").mkdir(parents=True)
    remote = LocalRemote(str(work), home=str(home))
    assert (remote.name, remote.host, remote.workDir, remote.userHome) == ("Local", "localhost", str(work), str(home))
    assert remote.command("pwd").strip() == str(work)
    with remote.cd("sub") as folder:
        assert folder == str(work / "sub") and remote.command("pwd").strip() == folder
        with remote.cd("~/data"):
            assert remote.command("pwd").strip() == str(home / "data")
        assert remote.command("pwd").strip() == folder
    assert remote.command("pwd").strip() == str(work)
    with pytest.raises(FileNotFoundError, match="no such folder"):
        with remote.cd("missing"):
            pass
    assert remote.command("echo visible; echo hidden >&2; exit 4") == "visible\n"


def test_remote_transfers(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    work = tmp_path / "work"
    (work / "in").mkdir(parents=True)
    (tmp_path / "a.txt").write_text("A")
    remote = LocalRemote(str(work), home=str(tmp_path))
    assert remote.transferTo("a.txt", "in/") == str(work / "in" / "a.txt")
    assert remote.transferTo("a.txt", "b.txt") == str(work / "b.txt")
    with remote.cd("in"):
        assert remote.transferFrom("a.txt", "back.txt") == str(tmp_path / "back.txt")
    assert (tmp_path / "back.txt").read_text() == "A"
    assert remote.transferFrom("b.txt", "~/c.txt") == str(tmp_path / "c.txt")
    assert remote.transferTo(str(work / "b.txt"), "b.txt") == str(work / "b.txt")  # same file: no error
    with pytest.raises(FileNotFoundError, match="no such file"):
        remote.transferTo("missing.txt", "x")
    with pytest.raises(FileNotFoundError, match="destination folder"):
        remote.transferTo("a.txt", "nowhere/x.txt")


def test_remote_jobs_by_block_and_status_queries(tmp_path):
    work = tmp_path / "work"
    (work / "jobs").mkdir(parents=True)
    body = "echo started; sleep 0.2; echo done"
    script(work / "jobs", "run.sh", body)
    remote = LocalRemote(str(work), queue=LocalRunner())
    assert remote.getRemoteBlockStatus(7, 1) == "IDLE" and remote.getRemoteBlockLogs(7, 1) == (None, None, None)
    remote._runningSavedID, remote._runningPlacedID = 7, 1
    job = remote.submitJob("jobs/run.sh", True)  # runs in the script's folder
    with remote.cd("jobs"):
        other = remote.submitJob("run.sh", False)  # runs in the cd folder as well
    remote._runningPlacedID = 2
    third = remote.submitJob(str(work / "jobs" / "run.sh"), False)  # runs in the flow's folder
    assert remote.getJobIDfromBlock(7, 1) == other and remote.jobsOf(7, 1) == [job, other]
    assert remote.getRemoteBlockStatus(7, 1) in ("RUNNING", "PENDING")
    remote.queue.wait(other)
    remote.queue.wait(third)
    assert remote.getRemoteBlockStatus(7, 1) == "COMPLETED"
    assert os.path.exists(work / "jobs" / f"slurm-{other}.out") and os.path.exists(work / f"slurm-{third}.out")
    stdout, stderr, detail = remote.getRemoteBlockLogs(7, 1)
    assert stdout == "started\ndone\n" and stderr == "" and "COMPLETED" in detail and "exit code 0" in detail
    # Time is reported as increments, so the sum of all polls is the job's run time.
    total = remote.getRemoteBlockTime(7, 1) + remote.getRemoteBlockTime(7, 1)
    assert total == pytest.approx(remote.queue.run_seconds(other)) and total >= 0.2
    with pytest.raises(FileNotFoundError, match="batch script not found"):
        remote.submitJob("nope.sh", True)
    remote._resetRemoteBlock = True
    with pytest.raises(ResetRemoteException):
        remote.getRemoteBlockStatus(7, 1)


def test_remote_cancels_the_jobs_of_a_block(tmp_path):
    remote = LocalRemote(str(tmp_path), queue=LocalRunner())
    remote._runningSavedID, remote._runningPlacedID = "s", 3
    job = remote.submitJob(script(tmp_path, "long.sh", "sleep 30"), True)
    assert remote.cancelBlockJobs("s", 3) == [job]
    assert remote.getRemoteBlockStatus("s", 3) == "CANCELLED" and remote.cancelBlockJobs("s", 3) == []
