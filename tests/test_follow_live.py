"""Following a job's logs while it runs (``--follow``), and polls that carry the job's state alone:
on the SLURM queue of this machine, on a remote over SSH (the test sshd), and on the local runner."""

import json
import os
import subprocess
import sys
import time

import pytest

from QorvelAPI.devhost import log_follow, slurm_queue
from QorvelAPI.devhost.log_follow import JobLogFollower
from QorvelAPI.devhost.remote import LocalRemote
from QorvelAPI.devhost.runner import LocalRunner, SlurmQueue, slurm_backend
from QorvelAPI.devhost.ssh_connection import SSHConnection
from QorvelAPI.devhost.ssh_remote import SSHRemote
from test_slurm_live import PLUGIN_META, WAIT_LIMIT, live
from test_ssh_live import ALIAS, sshd, sshd_dir, write_remotes  # noqa: F401 (fixtures)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LINES = 6

FOLLOW_PLUGIN = r'''
import os
from QorvelAPI.plugins import Plugin, PluginVariable, SlurmBlock, VariableTypes


def submit(block):
    path = os.path.join(block.remote.workDir, "job_%s.sh" % block._placedID)
    with open(path, "w") as out:
        out.write("#!/bin/bash\n" + block.variables["body"])
    block.remote.submitJob(path)


def collect(block):
    block.setOutput("out", block.stdOut)


job = SlurmBlock("Job", "Runs its body", submit, collect, id="job",
                 variables=[PluginVariable("body", "Body", "The script", VariableTypes.STRING, defaultValue="")],
                 outputs=[PluginVariable("out", "Out", "The job's output", VariableTypes.STRING)])
plugin = Plugin()
plugin.addBlock(job)
'''

# Lines on both streams over a few seconds, with characters of two, three and four bytes.
TALKER = (f"for i in $(seq 1 {LINES}); do echo \"out $i é✓𝄞\"; echo \"err $i\" >&2; sleep 0.6; done\n")


def start_cli(tmp_path, *args, env=None):
    plugin = tmp_path / "follow_jobs"
    plugin.mkdir(exist_ok=True)
    (plugin / "plugin.meta").write_text(PLUGIN_META.replace("live_jobs.py", "follow_jobs.py")
                                        .replace("Live Jobs", "Follow Jobs"))
    (plugin / "follow_jobs.py").write_text(FOLLOW_PLUGIN)
    full = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"), XDG_CONFIG_HOME=str(tmp_path / "config"),
                XDG_STATE_HOME=str(tmp_path / "state"), **(env or {}))
    return subprocess.Popen([sys.executable, "-m", "QorvelAPI.devhost", "run", str(plugin), "job", "--poll", "0.3",
                             "--workdir", str(tmp_path / "run"), *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=full, start_new_session=True)


def finish(host):
    """The host process ended (killed if it still runs) and its pipes closed."""
    if host.poll() is None:
        host.kill()
    host.wait()
    host.stdout.close()
    host.stderr.close()


def lines_until(process, wanted, seen):
    """Reads the host's standard error into ``seen`` until a line holds ``wanted``."""
    deadline = time.monotonic() + WAIT_LIMIT
    while time.monotonic() < deadline:
        line = process.stderr.readline()
        if not line:
            break
        seen.append(line.rstrip("\n"))
        if wanted in line:
            return line
    pytest.fail(f"no line with {wanted!r}: {seen}")


@live
@pytest.mark.parametrize("where", ["slurm", "ssh"])
def test_run_follow_shows_both_streams_while_the_job_runs_each_line_once(where, tmp_path, request):
    extra, env = ["--queue", "slurm"], {}
    if where == "ssh":
        (tmp_path / "work").mkdir()
        env["QORVEL_REMOTES"] = str(write_remotes(tmp_path / "remotes.toml", request.getfixturevalue("sshd"),
                                                  tmp_path / "work"))
        extra = ["--remote", "cluster", "--queue", "local"]
    host = start_cli(tmp_path, "--follow", "--json", "--set", f"body={TALKER}", *extra, env=env)
    seen = []
    try:
        first = lines_until(host, "stdout] out 1 ", seen)
        job = int(first.split("[", 1)[1].split()[0])
        assert slurm_queue.state(job) == "RUNNING", seen  # shown while the job runs, not after
        assert first.strip() == f"[{job} stdout] out 1 é✓𝄞"
        err = host.stderr.read()  # what the line reader holds already, then the rest
        out = host.stdout.read()
        host.wait(WAIT_LIMIT)
    finally:
        finish(host)
    lines = seen + err.splitlines()
    assert host.returncode == 0, lines
    for stream, text in (("stdout", "out {} é✓𝄞"), ("stderr", "err {}")):
        shown = [line.split("] ", 1)[1] for line in lines if line.startswith(f"  [{job} {stream}] ")]
        assert shown == [text.format(i) for i in range(1, LINES + 1)], lines  # in order, none twice or lost
    document = json.loads(out)["blocks"][0]
    assert document["job"]["followed"] == {"stdout": document["job"]["stdOut"], "stderr": document["job"]["stdErr"]}
    assert document["outputs"]["out"] == document["job"]["stdOut"]  # the block's final logs as ever


def counting(connection):
    """Counts the bytes the remote sends back to the connection's commands."""
    moved = [0]
    run = connection.run

    def counted(words, **kwargs):
        result = run(words, **kwargs)
        moved[0] += len(result.stdout_bytes)
        return result
    connection.run = counted
    return moved


def poll(remote, job):
    """One status poll as the cluster job block makes it."""
    return (remote.getRemoteBlockStatus("f", 1), remote.getRemoteBlockLogs("f", 1), remote.getRemoteBlockTime("f", 1))


BIG_LOGS = ("head -c 4000000 /dev/zero | tr '\\0' o; head -c 4000000 /dev/zero | tr '\\0' e >&2\n"
            "touch written; sleep 4\n")


def wait_written(folder):
    deadline = time.monotonic() + WAIT_LIMIT
    while not (folder / "written").exists():
        assert time.monotonic() < deadline, "the job did not write its logs"
        time.sleep(0.2)


@live
def test_a_poll_carries_the_state_alone_until_the_job_ended(sshd, tmp_path, monkeypatch, capsys):
    monkeypatch.setenv("QORVEL_SLURM_JOBS", str(tmp_path / "records"))
    (tmp_path / "job.sh").write_text("#!/bin/bash\n" + BIG_LOGS)
    ssh = SSHRemote.open("cluster", SSHConnection("cluster", ALIAS, sshd), str(tmp_path))
    local = LocalRemote(str(tmp_path), SlurmQueue(slurm_backend()))
    numbers = {}
    try:
        for remote in (local, ssh):
            remote._runningSavedID, remote._runningPlacedID = "f", 1
            moved = counting(remote.connection) if remote is ssh else None
            job = remote.submitJob(str(tmp_path / "job.sh"))
            wait_written(tmp_path)
            before = moved[0] if moved else 0
            state, logs, _ = poll(remote, job)
            assert state == "RUNNING" and logs[:2] == (None, None) and "RUNNING" in logs[2]
            if moved:
                numbers["ssh poll"] = moved[0] - before
                assert moved[0] - before < 20000
                before = moved[0]
                remote.queue.snapshot(job, fresh=True, with_logs=True)  # what every poll carried before
                numbers["ssh poll with both tails"] = moved[0] - before
                assert moved[0] - before > 2_700_000
                before = moved[0]
            follower = JobLogFollower(remote, 1, lambda piece: None)
            follower.poll(job)
            assert {name: s.offset for name, s in follower._streams.items()} == {"stdout": 262144, "stderr": 262144}
            if moved:
                numbers["ssh poll of --follow"] = moved[0] - before
            while remote.getRemoteBlockStatus("f", 1) != "COMPLETED":
                time.sleep(0.3)
            stdout, stderr, _ = remote.getRemoteBlockLogs("f", 1)  # the tails come once the job ended
            assert stdout.startswith(f"[... {4000000 - 1048576} earlier bytes in ") and stdout.endswith("o" * 100)
            assert stderr.endswith("e" * 1048576)
            os.unlink(tmp_path / "written")
    finally:
        ssh.cancelAll()
        local.cancelAll()
        ssh.close()
    with capsys.disabled():
        print(f"\nbytes moved per poll of a job with 4 MB logs: {numbers}")


def test_a_followed_log_that_shrinks_or_is_not_there_yet_restarts_and_keeps_characters_whole(tmp_path, monkeypatch):
    (tmp_path / "sleep.sh").write_text("#!/bin/sh\nsleep 30\n")
    remote = LocalRemote(str(tmp_path), LocalRunner(state_dir=str(tmp_path / "state")))
    remote._runningSavedID, remote._runningPlacedID = "f", 1
    job = remote.submitJob(str(tmp_path / "sleep.sh"))
    try:
        out_path, err_path = remote.queue.output_paths(job)
        pieces = []
        follower = JobLogFollower(remote, 1, pieces.append)
        monkeypatch.setattr(log_follow, "CHUNK_LIMIT", 5)  # reads cut through the middle of characters
        os.unlink(err_path)
        follower.poll(job)  # no error file yet: nothing, and no error
        with open(out_path, "w", encoding="utf-8") as log:
            log.write("aé✓𝄞b\n")
        for _ in range(4):
            follower.poll(job)
        assert "".join(p.text for p in pieces if p.stream == "stdout") == "aé✓𝄞b\n"
        assert all("\ufffd" not in p.text for p in pieces)
        with open(out_path, "w", encoding="utf-8") as log:  # replaced by a shorter file
            log.write("new\n")
        with open(err_path, "w", encoding="utf-8") as log:
            log.write("late\n")
        follower.drain(job)
        followed = follower.followed()
        assert followed["stdout"] == f"aé✓𝄞b\n[{out_path} became shorter (truncated or replaced); reading it " \
                                     f"again from its start]\nnew\n"
        assert followed["stderr"] == "late\n"
        assert [p.stream for p in pieces if p.ended] == ["stdout", "stderr"]
    finally:
        remote.cancelAll()


@live
def test_the_status_line_says_why_the_job_waits_and_where_it_runs(tmp_path):
    host = start_cli(tmp_path, "--queue", "slurm", "--set", "body=#SBATCH --hold\nsleep 2\n")
    seen = []
    try:
        held = lines_until(host, "PENDING, waiting: ", seen)
        job = int(held.split("  job ")[1].split()[0])
        assert "PENDING, waiting: JobHeldUser  " in held, seen
        subprocess.run(["scontrol", "release", str(job)], check=True)
        running = lines_until(host, "RUNNING", seen)
        node = slurm_queue._scontrol_fields(job)["NodeList"]
        assert f": RUNNING, on {node}  " in running, seen
        assert host.wait(WAIT_LIMIT) == 0, host.stderr.read()
    finally:
        finish(host)
    assert [line for line in seen if "PENDING, on " in line or "RUNNING, waiting" in line] == []
