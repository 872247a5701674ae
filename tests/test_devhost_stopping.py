"""SIGTERM and SIGHUP stop a run as Ctrl-C does: jobs cancelled, recorded CANCELLED, flow saved."""
import json
import os
import signal
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import pytest

from QorvelAPI.devhost.slurm_queue import controller_available
from plugin_support import make_plugin_folder

META = {"id": "sleepy", "name": "Sleepy", "description": "d", "author": "a", "version": "1.0",
        "pluginFile": "main.py"}

SCRIPT = """
import os
from QorvelAPI.plugins import Plugin, SlurmBlock

def submit(block):
    path = os.path.join(block.remote.workDir, "job.sh")
    with open(path, "w") as handle:
        handle.write("#!/bin/sh\\n#SBATCH --time=00:05:00\\necho $$ > " + os.path.join(block.remote.workDir, "pid")
                     + "\\nsleep 120\\n")
    block.remote.submitJob(path)

def collect(block):
    pass

plugin = Plugin()
plugin.addBlock(SlurmBlock("Sleep", "Sleeps", submit, collect, id="sleep"))
"""

ROOT = Path(__file__).resolve().parents[1]


def _wait_for(path: Path, seconds: float) -> None:
    deadline = time.monotonic() + seconds
    while not path.exists() or not path.read_text().strip():
        assert time.monotonic() < deadline, f"{path} did not appear"
        time.sleep(0.2)


def _process_gone(pid: int, seconds: float = 10, kill=os.kill) -> bool:
    """Whether the process (``kill=os.killpg``: the process group) ends within ``seconds``."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            kill(pid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.2)
    return False


@pytest.mark.parametrize("queue, signum", [("local", signal.SIGTERM), ("local", signal.SIGHUP),
                                           ("slurm", signal.SIGTERM)])
def test_a_signal_cancels_the_job_saves_the_flow_and_exits_128_plus_signal(tmp_path, queue, signum):
    if queue == "slurm" and not controller_available():
        pytest.skip("no SLURM controller answers on this machine")
    folder = make_plugin_folder(tmp_path, META, SCRIPT)
    work = tmp_path / "run"
    env = {**os.environ, "PYTHONPATH": str(ROOT / "python"), "XDG_CONFIG_HOME": str(tmp_path / "config"),
           "XDG_STATE_HOME": str(tmp_path / "state")}
    command = [sys.executable, "-m", "QorvelAPI.devhost", "run", str(folder), "sleep", "--queue", queue,
               "--workdir", str(work), "--poll", "0.3", "--json"]
    process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        _wait_for(work / "pid", 60)
        time.sleep(0.5)
        process.send_signal(signum)
        out, err = process.communicate(timeout=60)
    finally:
        process.kill()
    assert process.returncode == 128 + signum, err
    block = json.loads(out)["blocks"][0]
    assert block["status"] == "cancelled" and block["job"]["status"] == "CANCELLED"
    saved = json.loads(Path(json.loads(out)["savedTo"]).read_text())
    assert "CANCELLED" in json.dumps(saved)
    if queue == "local":
        assert _process_gone(int((work / "pid").read_text()))
    else:
        job = block["job"]["jobID"]
        state = subprocess.run(["squeue", "-h", "-j", str(job), "-o", "%T"], capture_output=True, text=True).stdout
        assert state.strip() in ("", "CANCELLED", "COMPLETING")


def test_timeout_of_a_flow_run_leaves_no_job_behind(tmp_path):
    folder = make_plugin_folder(tmp_path, META, SCRIPT)
    (folder / "Flows").mkdir()
    (folder / "Flows" / "sleep.flow").write_text(json.dumps(
        {"name": "Sleep", "savedID": 1, "blocks": [{"blockID": "sleepy.sleep", "placedID": 1}]}))
    work = tmp_path / "run"
    env = {**os.environ, "PYTHONPATH": str(ROOT / "python"), "XDG_CONFIG_HOME": str(tmp_path / "config"),
           "XDG_STATE_HOME": str(tmp_path / "state")}
    # `timeout` sends SIGTERM once the job runs (the pid file is its first act): a busy machine may
    # take longer than any fixed time to reach it.
    host = subprocess.Popen(["timeout", "--foreground", "600", sys.executable, "-m", "QorvelAPI.devhost", "flow",
                             str(folder), "Sleep", "--queue", "local", "--workdir", str(work), "--poll", "0.3"],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    _wait_for(work / "pid", 60)
    time.sleep(1)
    subprocess.run(["pkill", "-TERM", "-P", str(host.pid)], check=True)  # as `timeout` does at its time
    _, err = host.communicate(timeout=60)
    assert host.returncode == 143 and "interrupted; jobs of this run were cancelled" in err
    saved = list(work.glob("*.flow"))
    assert len(saved) == 1 and "CANCELLED" in saved[0].read_text()
    assert _process_gone(int((work / "pid").read_text()))


def test_a_second_signal_during_clean_up_exits_at_once_naming_the_jobs():
    code = ("import os, signal\nfrom QorvelAPI.devhost.stopping import cleaning_up\n"
            "with cleaning_up(lambda: [41, '7 on cluster']):\n    os.kill(os.getpid(), signal.SIGHUP)\n"
            "print('not reached')")
    done = subprocess.run([sys.executable, "-c", code], env={**os.environ, "PYTHONPATH": str(ROOT / "python")},
                          capture_output=True, text=True, timeout=30)
    assert done.returncode == 128 + signal.SIGHUP and "not reached" not in done.stdout
    assert done.stderr == "error: SIGHUP during clean-up; stopped at once; jobs that may be left: 41, 7 on cluster\n"


# The first action still runs when the signal comes: its job is submitted but not yet followed.
SLOW_SUBMIT = SCRIPT.replace("    block.remote.submitJob(path)\n",
                             "    block.remote.submitJob(path)\n    import time; time.sleep(60)\n")


@pytest.mark.parametrize("script", [SCRIPT, SLOW_SUBMIT], ids=["followed", "still-submitting"])
def test_a_plugin_host_run_in_a_script_cleans_up_then_ends_by_the_signal(tmp_path, script):
    folder = make_plugin_folder(tmp_path, META, script)
    work = tmp_path / "run"
    code = ("from QorvelAPI.devhost import PluginHost\n"
            f"PluginHost({str(folder)!r}, queue='local', workdir={str(work)!r}, poll=0.3).run('sleep')\n")
    env = {**os.environ, "PYTHONPATH": str(ROOT / "python"), "XDG_CONFIG_HOME": str(tmp_path / "config"),
           "XDG_STATE_HOME": str(tmp_path / "state")}
    process = subprocess.Popen([sys.executable, "-c", code], env=env)
    _wait_for(work / "pid", 60)
    process.send_signal(signal.SIGTERM)
    assert process.wait(timeout=60) == -signal.SIGTERM
    assert "CANCELLED" in next(work.glob("*.flow")).read_text()
    assert _process_gone(int((work / "pid").read_text()))


def test_serve_logs_each_request_and_stops_on_sigterm(tmp_path):
    folder = make_plugin_folder(tmp_path, META, SCRIPT)
    env = {**os.environ, "PYTHONPATH": str(ROOT / "python"), "XDG_CONFIG_HOME": str(tmp_path / "config"),
           "XDG_STATE_HOME": str(tmp_path / "state")}
    process = subprocess.Popen([sys.executable, "-m", "QorvelAPI.devhost", "serve", str(folder), "--port", "0",
                                "--queue", "local", "--runs-dir", str(tmp_path / "runs")], env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = process.stdout.readline().split(" at ")[1].split()[0]
        with urllib.request.urlopen(url + "api/plugin", timeout=30) as reply:
            assert reply.status == 200
        process.send_signal(signal.SIGTERM)
        _, err = process.communicate(timeout=60)
    finally:
        process.kill()
    assert process.returncode == 128 + signal.SIGTERM
    assert "serve: GET /api/plugin 200\n" in err


@pytest.mark.parametrize("queue", ["local", "slurm"])
def test_a_pytest_timeout_cancels_the_jobs_of_a_plugin_host_run_and_saves_the_flow(tmp_path, queue):
    if queue == "slurm" and not controller_available():
        pytest.skip("no SLURM controller answers on this machine")
    folder = make_plugin_folder(tmp_path, META, SCRIPT)
    work = tmp_path / "run"
    test = tmp_path / "timed" / "test_sleepy.py"
    test.parent.mkdir()
    test.write_text("from QorvelAPI.devhost import PluginHost\n\n"
                    "def test_sleep():\n"
                    f"    PluginHost({str(folder)!r}, queue={queue!r}, workdir={str(work)!r}, poll=0.3).run('sleep')\n")
    env = {**os.environ, "PYTHONPATH": str(ROOT / "python"), "XDG_CONFIG_HOME": str(tmp_path / "config"),
           "XDG_STATE_HOME": str(tmp_path / "state")}
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "timeout",
                           "--timeout=8", "--timeout-method=signal", str(test)], cwd=test.parent, env=env,
                          capture_output=True, text=True, timeout=180)
    assert done.returncode == 1 and "Timeout >8.0s" in done.stdout, done.stdout + done.stderr
    saved = next(work.glob("*.flow")).read_text()
    assert "CANCELLED" in saved
    if queue == "local":
        assert _process_gone(int((work / "pid").read_text()), kill=os.killpg)
    else:
        mine = subprocess.run(["squeue", "-h", "-o", "%i %T %Z"], capture_output=True, text=True).stdout
        left = {line.split()[1] for line in mine.splitlines() if str(work) in line}
        assert left <= {"CANCELLED", "COMPLETING"}, mine
