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

# One worker of a parallel run submits all of these, so that they do not wait for each other's
# jobs on the cluster's few cores.
pytestmark = pytest.mark.xdist_group("slurm")


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
    records = tmp_path / "records"
    records.mkdir()
    (records / "67000007.json").write_text("{}")
    (records / "67000008.json").write_text("{}")
    stale = time.time() - (queue.RECORD_DAYS + 1) * 86400
    os.utime(records / "67000007.json", (stale, stale))
    job = queue.submit(str(folder / "run.sh"))
    assert not (records / "67000007.json").exists() and (records / "67000008.json").exists()  # old records go
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
    queue._known_paths.clear()
    assert queue.output_paths(job) == (stdout_path, stderr_path)
    assert os.path.isfile(tmp_path / "records" / f"{job}.json")


@live
def test_unwritable_record_folder_loses_no_job(tmp_path, monkeypatch, caplog):
    (tmp_path / "blocker").write_text("a file where the record folder should be")
    monkeypatch.setenv("QORVEL_SLURM_JOBS", str(tmp_path / "blocker" / "records"))
    write_script(tmp_path / "ok.sh", "echo fine\n")
    job = queue.submit(str(tmp_path / "ok.sh"))
    assert "Could not record the output files of job %d" % job in caplog.text
    wait_for(job, {"COMPLETED"})
    with open(queue.output_paths(job)[0]) as out:
        assert out.read() == "fine\n"


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


# --- cluster job blocks of a real plugin, run by the local host on the live queue -----------

PLUGIN_META = """{
    "id": "Live Jobs", "name": "Live jobs", "description": "Cluster job blocks on the live queue.",
    "author": "Qorvel developers", "version": "1.0.0", "pluginFile": "live_jobs.py",
    "minQorvelVersion": "1.0.0", "maxQorvelVersion": null, "platforms": ["universal"],
    "externalURL": null, "dependencies": []
}
"""

PLUGIN_SCRIPT = r'''
import os
from QorvelAPI.plugins import Plugin, PluginVariable, SlurmBlock, VariableTypes

# What the actions saw, for the tests to read back: (placed id, what, value).
SEEN = []


def batch_script(block, name, body):
    path = os.path.join(block.remote.workDir, f"{name}_{block._placedID}.sh")
    with open(path, "w") as out:
        out.write("#!/bin/bash\n" + body)
    return path


def submit_echo(block):
    body = 'echo "%s from job $SLURM_JOB_ID"\necho "to stderr" >&2\nsleep %s\nexit %d\n' % (
        block.variables["message"], block.variables["seconds"], block.variables["exitCode"])
    job = block.remote.submitJob(batch_script(block, "echo", body))
    SEEN.append((block._placedID, "submitted", job))


def collect_echo(block):
    SEEN.append((block._placedID, "final", str(block.status)))
    block.setOutput("echoed", block.stdOut.strip())
    block.setOutput("job", block.jobID)


def submit_and_wait(block):
    job = block.remote.submitJob(batch_script(block, "wait", "sleep 2\necho waited\n"))
    SEEN.append((block._placedID, "submitted", job))
    # A block still IDLE is not waiting; its first status query shows the job queued.
    block.waitTillJobFinished(1)
    SEEN.append((block._placedID, "idle wait", str(block.status)))
    block.parseStatus()
    block.waitTillJobFinished(1)
    SEEN.append((block._placedID, "waited", (str(block.status), block.jobID, block.stdOut)))


def after_wait(block):
    block.setOutput("echoed", block.stdOut.strip())
    block.setOutput("job", block.jobID)


def variables():
    return [PluginVariable("message", "Message", "What the job prints", VariableTypes.STRING, defaultValue="hello"),
            PluginVariable("seconds", "Seconds", "How long the job runs", VariableTypes.INTEGER, defaultValue=1),
            PluginVariable("exitCode", "Exit code", "The job's exit status", VariableTypes.INTEGER, defaultValue=0)]


def outputs():
    return [PluginVariable("echoed", "Echoed", "The job's output", VariableTypes.STRING),
            PluginVariable("job", "Job", "The job's identifier", VariableTypes.INTEGER)]


echo = SlurmBlock("Echo", "Prints a message in a batch job", submit_echo, collect_echo,
                  variables=variables(), outputs=outputs(), id="echo")
tolerant = SlurmBlock("Tolerant echo", "Goes on when its job fails", submit_echo, collect_echo,
                      variables=variables(), outputs=outputs(), id="tolerant", failOnSlurmError=False)
waiter = SlurmBlock("Waiter", "Waits for its own job", submit_and_wait, after_wait,
                    outputs=outputs(), id="waiter")

plugin = Plugin()
for block in (echo, tolerant, waiter):
    plugin.addBlock(block)
'''


@pytest.fixture
def live_host(tmp_path):
    """A local host on the live queue, running the plugin above; gives (host, plugin module)."""
    from QorvelAPI.devhost.loader import load_plugin
    from QorvelAPI.devhost.run import LocalHost

    folder = tmp_path / "live_jobs"
    folder.mkdir()
    (folder / "plugin.meta").write_text(PLUGIN_META)
    (folder / "live_jobs.py").write_text(PLUGIN_SCRIPT)
    loaded = load_plugin(str(folder))
    progress = []
    host = LocalHost(loaded, config_path=str(tmp_path / "config.json"), work_dir=str(tmp_path / "run"),
                     queue="slurm", poll=0.2, progress=lambda text, final: progress.append(text),
                     job_timeout=WAIT_LIMIT)
    assert host.queue.kind == "slurm"
    host.progress_lines = progress
    return host, loaded.module


def placement(placed_id, block, **values):
    state = {"variables": [{"id": key, "value": value} for key, value in values.items()]}
    return {"blockID": f"live_jobs.{block}", "placedID": placed_id, "state": state}


def run_flow(host, *placements):
    from QorvelAPI.devhost.flow import Flow

    return host.run_flow(Flow.fromDict({"name": "live", "savedID": 11, "blocks": list(placements)}))


@live
def test_cluster_job_block_follows_its_job_to_completed_then_runs_its_second_phase(live_host):
    host, module = live_host
    run = run_flow(host, placement(1, "echo", message="hi there", seconds=2))
    assert run.ok, run.results[0].error
    result = run.results[0]
    job = module.SEEN[0][2]
    assert module.SEEN == [(1, "submitted", job), (1, "final", "COMPLETED")]
    assert queue.state(job) == "COMPLETED"  # a real job of the SLURM queue
    assert result.job.jobID == job and result.job.status == "COMPLETED"
    assert result.job.stdOut == f"hi there from job {job}\n"
    assert result.job.stdErr == "to stderr\n"
    assert result.job.seconds >= 1.0
    assert result.outputs == {"echoed": f"hi there from job {job}", "job": job}
    # The host showed the job's state while following it.
    assert any("COMPLETED" in line for line in host.progress_lines)
    assert any(state in line for line in host.progress_lines for state in ("PENDING", "RUNNING"))


@live
def test_failed_job_fails_the_block_unless_it_tolerates_it(live_host):
    host, module = live_host
    run = run_flow(host, placement(1, "echo", exitCode=4, seconds=0), placement(2, "tolerant", exitCode=5, seconds=0))
    strict, tolerant = run.results
    assert strict.status == "error" and strict.job.status == "FAILED"
    assert f"job {strict.job.jobID} of block live_jobs.echo (#1) ended FAILED" in strict.error
    assert "to stderr" in strict.blockLogs
    assert (1, "final", "FAILED") not in module.SEEN  # no second phase for a failed job
    assert tolerant.status == "ok" and tolerant.job.status == "FAILED"
    assert (2, "final", "FAILED") in module.SEEN
    assert tolerant.outputs["echoed"] == f"hello from job {tolerant.job.jobID}"
    assert queue.exit_code(tolerant.job.jobID) == 5


@live
def test_job_cancelled_while_it_runs_ends_the_block_cancelled(live_host):
    import threading

    host, module = live_host
    outcome = {}
    runner = threading.Thread(target=lambda: outcome.setdefault("run", run_flow(host, placement(1, "echo", seconds=300))))
    runner.start()
    try:
        deadline = time.monotonic() + WAIT_LIMIT
        while not module.SEEN and time.monotonic() < deadline:
            time.sleep(0.05)
        job = module.SEEN[0][2]
        wait_for(job, {"RUNNING"})
        queue.cancel(job)
    finally:
        runner.join(WAIT_LIMIT)
    result = outcome["run"].results[0]
    assert result.status == "error" and result.job.status == "CANCELLED"
    assert f"job {job} of block live_jobs.echo (#1) ended CANCELLED" in result.error
    assert queue.state(job) == "CANCELLED"


@live
def test_wait_till_job_finished_returns_when_the_job_ends(live_host):
    host, module = live_host
    run = run_flow(host, placement(3, "waiter"))
    assert run.ok, run.results[0].error
    (_, _, job), (_, _, right_away), (_, what, (status, seen_job, stdout)) = module.SEEN
    assert right_away in {"PENDING", "RUNNING"}  # returned at once: the block was still IDLE
    assert what == "waited" and seen_job == job
    # The job's processes have ended: COMPLETED, or COMPLETING for the moment SLURM cleans up.
    assert status in {"COMPLETED", "COMPLETING"}
    assert stdout == "waited\n"
    assert queue.state(job) == "COMPLETED"
    assert run.results[0].outputs == {"echoed": "waited", "job": job}


@live
def test_two_cluster_job_blocks_in_one_flow_run_as_two_jobs(live_host):
    host, module = live_host
    run = run_flow(host, placement(1, "echo", message="first"), placement(2, "echo", message="second"))
    assert run.ok, [r.error for r in run.results]
    first, second = run.results
    assert first.job.jobID != second.job.jobID
    for result, message in ((first, "first"), (second, "second")):
        job = result.job.jobID
        assert queue.state(job) == "COMPLETED"
        assert result.outputs == {"echoed": f"{message} from job {job}", "job": job}
        stdout_path, _ = queue.output_paths(job)
        with open(stdout_path) as out:
            assert out.read() == f"{message} from job {job}\n"


@live
def test_a_sanitizer_preloaded_into_the_host_stays_out_of_tools_and_jobs(tmp_path, monkeypatch):
    import glob

    runtimes = glob.glob("/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.asan-x86_64.so")
    if not runtimes:
        pytest.skip("no clang AddressSanitizer runtime on this machine")
    # As the sanitizer test run sets it up; the tools and bash would report their own leaks.
    monkeypatch.setenv("LD_PRELOAD", runtimes[0])
    monkeypatch.setenv("ASAN_OPTIONS", "detect_leaks=1")
    write_script(tmp_path / "env.sh", 'echo "preload=${LD_PRELOAD:-none}"\n')
    job = queue.submit(str(tmp_path / "env.sh"))
    assert wait_for(job, {"COMPLETED"}) == "COMPLETED"
    with open(queue.output_paths(job)[0]) as out:
        assert out.read() == "preload=none\n"
