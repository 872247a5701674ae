"""The SSH remote against a real OpenSSH server on 127.0.0.1 (scripts/sshd starts it, with keys made
for it) and, where the local SLURM cluster runs, jobs submitted over it."""

import json
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import time

import pytest

from QorvelAPI.devhost import slurm_queue
from QorvelAPI.devhost import ssh_queue
from QorvelAPI.devhost.environment import child_environment
from QorvelAPI.devhost.remote_config import RemoteConfigError, load_remotes
from QorvelAPI.devhost.ssh_connection import RemoteError, SSHConnection
from QorvelAPI.devhost.ssh_remote import SSHRemote
from QorvelAPI.devhost.ssh_transfer import _unpack
from test_slurm_live import PLUGIN_META, PLUGIN_SCRIPT, WAIT_LIMIT, live

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# A server started by hand (QORVEL_SSHD_DIR=... make sshd-start) is used and left running; else
# each test process starts its own in a folder of its own, so that processes side by side (the
# workers of a parallel run, every environment of `make test`) never stop each other's server.
SHARED_SSHD_DIR = os.environ.get("QORVEL_SSHD_DIR")
ALIAS = "qorvel-sshd"
HOSTILE = ["a b", "x; touch PWNED", "$(touch PWNED)", "`touch PWNED`", "-rf", "--help", "it's \"q\"", "*"]


@pytest.fixture(scope="module")
def sshd_dir():
    """The test server's folder; the server is stopped again if this started it."""
    reason = None
    if os.geteuid() != 0:
        reason = "the test SSH server needs root"
    elif not os.path.exists("/usr/sbin/sshd"):
        reason = "no /usr/sbin/sshd (Debian package openssh-server)"
    if reason is None:
        # Under /run, not /tmp: the server refuses key files below a folder others can write to.
        folder = SHARED_SSHD_DIR or tempfile.mkdtemp(prefix="qorvel-sshd-", dir="/run")
        started = subprocess.run(["bash", os.path.join(ROOT, "scripts/sshd/start.sh")], capture_output=True,
                                 text=True, env=dict(child_environment(), QORVEL_SSHD_DIR=folder))
        reason = None if started.returncode == 0 else f"sshd cannot start: {started.stderr.strip()}"
        if reason is not None and not SHARED_SSHD_DIR:
            shutil.rmtree(folder, ignore_errors=True)
    if reason is not None:
        # CI installs and starts everything, so there a missing server is a failure.
        if os.environ.get("CI") == "true":
            pytest.fail(reason)
        pytest.skip(reason)
    yield folder
    if "already running" not in started.stdout:
        subprocess.run(["bash", os.path.join(ROOT, "scripts/sshd/stop.sh")], capture_output=True,
                       env=dict(child_environment(), QORVEL_SSHD_DIR=folder))
    if not SHARED_SSHD_DIR:
        shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture(scope="module")
def sshd(sshd_dir):
    """The test server's ssh configuration file."""
    return os.path.join(sshd_dir, "ssh_config")


@pytest.fixture
def remote(sshd, tmp_path):
    work = tmp_path / "remote work"
    work.mkdir()
    opened = SSHRemote.open("cluster", SSHConnection("cluster", ALIAS, sshd), str(work), "run 1")
    yield opened
    opened.cancelAll()
    opened.close()


def write_remotes(path, config, work, name="cluster"):
    path.write_text(f'[remotes."{name}"]\nssh = "{ALIAS}"\nworkdir = "{work}"\nssh_config = "{config}"\n')
    return path


def no_pwned(*folders):
    return not any("PWNED" in names for folder in folders for _, _, names in os.walk(folder))


def test_hostile_names_stay_names_and_transfers_stay_in_their_folder(remote, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    local = tmp_path / "local"
    local.mkdir()
    run_dir = remote.workDir
    assert run_dir == str(tmp_path / "remote work" / "run 1") and remote.userHome == "/root"
    assert (remote.name, remote.host) == ("cluster", "127.0.0.1")
    for name in HOSTILE:
        (local / name).write_text(f"data of {name}")
        assert remote.transferTo(str(local / name), "./") == f"{run_dir}/{name}"
        back = tmp_path / "back"
        back.mkdir(exist_ok=True)
        assert remote.transferFrom(name, str(back) + "/") == str(back / name)
        assert (back / name).read_text() == f"data of {name}"
        remote.command(f"mkdir -p -- {shlex.quote('dir ' + name)}")
        with remote.cd("dir " + name) as folder:
            assert remote.command("pwd").strip() == folder == f"{run_dir}/dir {name}"
    assert sorted(os.listdir(run_dir)) == sorted(HOSTILE + ["dir " + n for n in HOSTILE])
    # A folder both ways, with a name that would be an option.
    (local / "-tree" / "sub").mkdir(parents=True)
    (local / "-tree" / "sub" / "f;1").write_text("deep")
    assert remote.transferTo(str(local / "-tree"), "copied") == f"{run_dir}/copied"
    assert remote.transferFrom("copied", str(tmp_path / "again")) == str(tmp_path / "again")
    assert (tmp_path / "again" / "sub" / "f;1").read_text() == "deep"

    # A link standing at the destination is replaced, never written through (either side).
    outside = tmp_path / "outside.txt"
    outside.write_text("untouched")
    os.symlink(outside, os.path.join(run_dir, "linked"))
    os.symlink(tmp_path, os.path.join(run_dir, "linked dir"))
    for name in ("linked", "linked dir"):
        (local / name).write_text("new")
        remote.transferTo(str(local / name), "./")
        assert not os.path.islink(os.path.join(run_dir, name))
    (local / "tree").mkdir()
    os.symlink(tmp_path, os.path.join(run_dir, "tree"))
    with pytest.raises(RemoteError, match="refusing to write through the symbolic link"):
        remote.transferTo(str(local / "tree"), "./")
    os.unlink(tmp_path / "back" / "a b")
    os.symlink(outside, tmp_path / "back" / "a b")
    remote.transferFrom("a b", str(tmp_path / "back"))
    assert outside.read_text() == "untouched"
    assert not os.path.islink(tmp_path / "back" / "a b") and not (tmp_path / "linked").exists()
    assert remote.command("echo out; exit 255") == "out\n"  # the command's own status, not a lost connection
    with pytest.raises(FileNotFoundError, match="destination folder does not exist"):
        remote.transferTo(str(local / "a b"), "nowhere/x")
    with pytest.raises(FileNotFoundError, match="no such file on remote"):
        remote.transferFrom("missing", str(tmp_path))
    assert no_pwned(tmp_path, "/root", ROOT)


def test_a_remote_folder_that_leaves_its_destination_is_refused(tmp_path):
    archive = tmp_path / "evil.tar"
    (tmp_path / "payload").write_text("x")
    for bad in ("../escape", "tree/../../escape", "/abs", "tree/link"):
        with tarfile.open(archive, "w") as out:
            if bad == "tree/link":
                info = tarfile.TarInfo(bad)
                info.type, info.linkname = tarfile.SYMTYPE, "/etc"
                out.addfile(info)
            else:
                out.add(tmp_path / "payload", arcname=bad)
        with pytest.raises(RemoteError, match="refusing"):
            _unpack(str(archive), str(tmp_path / "dest"), "tree")
    assert not (tmp_path / "escape").exists() and os.listdir(tmp_path / "dest") == []


def test_each_login_fault_is_one_clear_line(sshd, sshd_dir, tmp_path, monkeypatch):
    other_key = tmp_path / "other_key"
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(other_key)], check=True)
    port = open(os.path.join(sshd_dir, "port")).read().strip()
    known, key = os.path.join(sshd_dir, "known_hosts"), os.path.join(sshd_dir, "user_ed25519")
    cases = {
        "unreachable: ssh: connect to host 127.0.0.1 port 1: Connection refused": ["Port=1"],
        "refused the login: root@127.0.0.1: Permission denied (publickey)": [f"Port={port}", f"IdentityFile={other_key}",
                                                                             f"UserKnownHostsFile={known}"],
        "host key verification failed": [f"Port={port}", f"IdentityFile={key}", "UserKnownHostsFile=/dev/null"],
    }
    monkeypatch.setattr("QorvelAPI.devhost.ssh_connection.RETRIES", 0)
    for expected, options in cases.items():
        connection = SSHConnection("cluster", "root@127.0.0.1", "/dev/null", options + ["IdentitiesOnly=yes"])
        with pytest.raises(RemoteError) as caught:
            SSHRemote.open("cluster", connection, str(tmp_path))
        assert expected in str(caught.value) and "\n" not in str(caught.value)
    with pytest.raises(RemoteError, match="working folder .*/nowhere not found"):
        SSHRemote.open("cluster", SSHConnection("cluster", ALIAS, sshd), str(tmp_path / "nowhere"))

    # `qorvel-plugin remotes` says the same, one remote per line.
    write_remotes(tmp_path / "remotes.toml", sshd, tmp_path)
    monkeypatch.setenv("QORVEL_REMOTES", str(tmp_path / "remotes.toml"))
    checked = subprocess.run([sys.executable, "-m", "QorvelAPI.devhost", "remotes", "--json"], capture_output=True,
                             text=True, env=dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python")))
    assert checked.returncode == 0, checked.stderr
    row = json.loads(checked.stdout)["remotes"][0]
    assert (row["home"], row["workdir"], row["problem"]) == ("/root", str(tmp_path), None)


@live
def test_missing_sbatch_is_one_line(remote, monkeypatch):
    (open(os.path.join(remote.workDir, "job.sh"), "w")).write("#!/bin/sh\ntrue\n")
    monkeypatch.setattr(ssh_queue.slurm, "sbatch_args", lambda *args: ["sbatch-not-installed", "job.sh"])
    with pytest.raises(RemoteError, match=r"^remote 'cluster' \(qorvel-sshd\) has no sbatch: .*not found$"):
        remote.submitJob("job.sh")


def wait_remote(remote, placed, states):
    deadline = time.monotonic() + WAIT_LIMIT
    while (state := remote.getRemoteBlockStatus("f", placed)) not in states:
        assert time.monotonic() < deadline and state not in slurm_queue.FINISHED_STATES, state
        time.sleep(0.2)
    return state


@live
def test_a_dropped_master_connection_loses_no_job(remote):
    script = "-slow job; $(touch PWNED).sh"  # a hostile name: it is submitted, and nothing else runs
    # The job runs until the test lets it end: a busy machine may take longer to see it running
    # than a fixed sleep would last.
    released = os.path.join(remote.workDir, "released")
    with open(os.path.join(remote.workDir, script), "w") as out:
        out.write(f"#!/bin/sh\necho begun\nsleep 4\nuntil [ -e {shlex.quote(released)} ]; do sleep 0.2; done\n"
                  f"echo ended >&2\n")
    remote._runningSavedID, remote._runningPlacedID = "f", 1
    job = remote.submitJob(script)
    wait_remote(remote, 1, {"RUNNING"})
    assert remote.queue.snapshot(job, fresh=True).outputs == (None, None)  # a poll carries the state alone
    master = remote.connection.master_pid()
    os.kill(master, signal.SIGKILL)
    open(released, "w").close()
    assert wait_remote(remote, 1, {"COMPLETED"}) == "COMPLETED"
    assert remote.connection.master_pid() not in (None, master)  # logged in again
    assert remote.getRemoteBlockLogs("f", 1) == ("begun\n", "ended\n", f"Job {job} COMPLETED on remote cluster's "
                                                 f"SLURM queue, exit code 0")
    assert remote.getRemoteBlockTime("f", 1) >= 4 and slurm_queue.state(job) == "COMPLETED"
    # Once the controller forgets the job: sacct, and without accounting the completion log.
    assert remote.queue._forgotten_fields(job)["JobState"] == "COMPLETED"
    assert no_pwned(remote.workDir, "/root")


@live
def test_the_preset_flow_runs_its_cluster_job_block_over_ssh(sshd, cli, tmp_path, monkeypatch):
    flow = json.load(open(os.path.join(ROOT, "examples/example_plugin/Flows/screen_and_refine.flow")))
    for block in flow["blocks"]:
        if block["id"] == "example_plugin.refine_hits":
            block["state"]["selectedRemote"] = "cluster"
    (tmp_path / "cluster.flow").write_text(json.dumps(flow))
    (tmp_path / "work").mkdir()
    monkeypatch.setenv("QORVEL_REMOTES", str(write_remotes(tmp_path / "remotes.toml", sshd, tmp_path / "work")))
    code, out, err = cli("flow", os.path.join(ROOT, "examples/example_plugin"), tmp_path / "cluster.flow",
                         "--queue", "local", "--poll", "0.2", "--json", "--workdir", tmp_path / "local run")
    run = json.loads(out)
    assert code == 0 and run["ok"], err
    refine = next(b for b in run["blocks"] if b["blockID"] == "example_plugin.refine_hits")
    job = refine["job"]["jobID"]
    assert refine["job"]["status"] == "COMPLETED" and refine["outputs"]["best_ligand"] == "ligand_5"
    assert "on remote cluster's SLURM queue" in refine["job"]["detailedStatus"]
    assert slurm_queue.state(job) == "COMPLETED"  # a real job of the cluster, submitted over ssh
    assert os.path.isfile(tmp_path / "work" / "local run" / "refine_3" / f"slurm-{job}.out")
    assert not [b for b in run["blocks"] if b["messages"]]  # no "runs it on Local" warning


@live
def test_ctrl_c_cancels_the_job_on_the_remote(sshd, tmp_path):
    plugin = tmp_path / "live_jobs"
    plugin.mkdir()
    (plugin / "plugin.meta").write_text(PLUGIN_META)
    (plugin / "live_jobs.py").write_text(PLUGIN_SCRIPT)
    state = {"selectedRemote": "cluster", "variables": [{"id": "seconds", "value": 300}]}
    (tmp_path / "long.flow").write_text(json.dumps({"name": "long", "savedID": 5, "blocks": [
        {"blockID": "live_jobs.echo", "placedID": 1, "state": state}]}))
    (tmp_path / "work").mkdir()
    env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"), XDG_CONFIG_HOME=str(tmp_path / "config"),
               QORVEL_REMOTES=str(write_remotes(tmp_path / "remotes.toml", sshd, tmp_path / "work")))
    host = subprocess.Popen([sys.executable, "-m", "QorvelAPI.devhost", "flow", str(plugin), str(tmp_path / "long.flow"),
                             "--queue", "local", "--poll", "0.2", "--workdir", str(tmp_path / "run")],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env, start_new_session=True)
    try:
        deadline = time.monotonic() + WAIT_LIMIT
        line = ""
        while "RUNNING" not in line and time.monotonic() < deadline:
            line = host.stderr.readline()
        job = int(line.split()[1])
        os.killpg(host.pid, signal.SIGINT)  # as a terminal sends Ctrl-C: to the whole group
        _, err = host.communicate(timeout=WAIT_LIMIT)
    finally:
        if host.poll() is None:
            host.kill()
    assert host.returncode == 130, err
    assert "error: interrupted; jobs of this run were cancelled" in err
    deadline = time.monotonic() + WAIT_LIMIT
    while slurm_queue.state(job) != "CANCELLED" and time.monotonic() < deadline:
        time.sleep(0.2)
    assert slurm_queue.state(job) == "CANCELLED"


def test_remotes_file_is_checked(tmp_path):
    path = tmp_path / "remotes.toml"
    for text, message in (('[remotes.Local]\nssh = "h"\nworkdir = "/w"\n', "the name Local"),
                          ('[remotes.c]\nssh = "-oProxyCommand=x"\nworkdir = "/w"\n', "not an option"),
                          ('[remotes.c]\nssh = "h"\nworkdir = "w"\n', "absolute path"),
                          ('[remotes.c]\nssh = "h"\nworkdir = "/w"\npassword = "x"\n', "unknown key 'password'"),
                          ("[remotes.c\n", "remotes.toml")):
        path.write_text(text)
        with pytest.raises(RemoteConfigError, match=message):
            load_remotes(str(path))
    path.write_text('[remotes."Big one"]\nssh = "me@login"\nworkdir = "~/q"\nssh_config = "cfg"\n')
    entry = load_remotes(str(path))["Big one"]
    assert (entry.ssh, entry.workdir, entry.ssh_config) == ("me@login", "~/q", str(tmp_path / "cfg"))
    assert load_remotes(str(tmp_path / "none.toml")) == {}


@pytest.mark.parametrize("folder", ["work\nroot", "work\u2028root", "work\x1croot"])
def test_a_working_folder_whose_name_holds_a_line_separator_is_kept_whole(sshd, tmp_path, folder):
    (tmp_path / "work").mkdir()  # the sibling that splitting the answer at line breaks would name
    (tmp_path / folder).mkdir()
    opened = SSHRemote.open("cluster", SSHConnection("cluster", ALIAS, sshd), str(tmp_path / folder), "run")
    try:
        assert opened.workDir == str(tmp_path / folder / "run") and os.path.isdir(tmp_path / folder / "run")
        assert opened.userHome == "/root"
    finally:
        opened.close()


def test_a_file_name_that_is_not_utf8_comes_back_as_the_file_system_has_it(remote, tmp_path):
    name = os.fsdecode(b"caf\xe9 \xff.txt")
    (tmp_path / name).write_text("bytes")
    for destination in ("./", f"{remote.workDir}/{name}"):
        assert remote.transferTo(str(tmp_path / name), destination) == f"{remote.workDir}/{name}"
    (tmp_path / "tree").mkdir()
    (tmp_path / "tree" / name).write_text("in a folder")
    assert remote.transferTo(str(tmp_path / "tree"), f"sub{name}") == f"{remote.workDir}/sub{name}"
    assert sorted(os.listdir(remote.workDir)) == sorted([name, f"sub{name}"])


def sshd_script(folder, name, **env):
    subprocess.run(["bash", os.path.join(ROOT, "scripts/sshd", name)], capture_output=True, check=True,
                   env=dict(child_environment(), QORVEL_SSHD_DIR=folder, **env))


def live_flow(tmp_path, sshd, seconds, *extra, name="long"):
    """Starts `qorvel-plugin flow` on a flow whose echo job runs `seconds` on the remote; gives the
    process once its job runs, and the job's id."""
    plugin = tmp_path / "live_jobs"
    plugin.mkdir(exist_ok=True)
    (plugin / "plugin.meta").write_text(PLUGIN_META)
    (plugin / "live_jobs.py").write_text(PLUGIN_SCRIPT)
    state = {"selectedRemote": "cluster", "variables": [{"id": "seconds", "value": seconds}]}
    (tmp_path / f"{name}.flow").write_text(json.dumps({"name": name, "savedID": 5, "blocks": [
        {"blockID": "live_jobs.echo", "placedID": 1, "state": state}]}))
    (tmp_path / "work").mkdir(exist_ok=True)
    env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"), XDG_CONFIG_HOME=str(tmp_path / "config"),
               QORVEL_REMOTES=str(write_remotes(tmp_path / "remotes.toml", sshd, tmp_path / "work")))
    host = subprocess.Popen([sys.executable, "-m", "QorvelAPI.devhost", "flow", str(plugin),
                             str(tmp_path / f"{name}.flow"), "--queue", "local", "--poll", "0.2", "--json",
                             "--workdir", str(tmp_path / "run"), *extra],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env, start_new_session=True)
    deadline = time.monotonic() + WAIT_LIMIT
    line = ""
    while "RUNNING" not in line and time.monotonic() < deadline and host.poll() is None:
        line = host.stderr.readline()
    assert "RUNNING" in line, host.stderr.read()
    return host, int(line.split()[1])


@live
@pytest.mark.parametrize("outage", [5, 20])
def test_an_outage_while_the_job_runs_is_waited_out(sshd, sshd_dir, tmp_path, outage):
    port = open(os.path.join(sshd_dir, "port")).read().strip()
    host, job = live_flow(tmp_path, sshd, outage + 8)
    try:
        sshd_script(sshd_dir, "stop.sh")  # the server and every session, the master connection's too
        time.sleep(outage)
        sshd_script(sshd_dir, "start.sh", QORVEL_SSHD_PORT=port)
        out, err = host.communicate(timeout=WAIT_LIMIT)
    finally:
        sshd_script(sshd_dir, "start.sh", QORVEL_SSHD_PORT=port)
        if host.poll() is None:
            host.kill()
    block = json.loads(out)["blocks"][0]
    assert host.returncode == 0 and block["status"] == "ok", err
    assert block["job"]["status"] == "COMPLETED" and block["outputs"] == {"echoed": f"hello from job {job}",
                                                                          "job": job}
    assert "RUNNING, reconnecting (" in err and "scancel" not in err
    assert slurm_queue.state(job) == "COMPLETED"


SUBMITTER = r'''
import os
import time
from QorvelAPI.plugins import Plugin, PluginVariable, SlurmBlock, VariableTypes


def submit(block):
    path = os.path.join(block.remote.workDir, "sleeper.sh")
    with open(path, "w") as out:
        out.write("#!/bin/sh\n#SBATCH --job-name=%s\nsleep 120\n" % block.variables["name"])
    open(os.environ["SUBMITTING"], "w").close()
    time.sleep(0.3)
    block.remote.submitJob(path)


block = SlurmBlock("Sleeper", "Sleeps in a job", submit, lambda block: None, id="sleeper",
                   variables=[PluginVariable("name", "Name", "Job name", VariableTypes.STRING, defaultValue="x")])
plugin = Plugin()
plugin.addBlock(block)
'''


def queued_named(name):
    listed = subprocess.run(["squeue", "-h", "-n", name, "-o", "%i %T"], capture_output=True, text=True).stdout
    return [line for line in listed.splitlines() if "CANCELLED" not in line and "COMPLET" not in line]


@live
def test_an_interrupt_at_any_moment_of_submission_leaves_no_job_and_says_only_what_happened(sshd, tmp_path):
    plugin = tmp_path / "sleeper"
    plugin.mkdir()
    (plugin / "plugin.meta").write_text(PLUGIN_META.replace("live_jobs.py", "sleeper.py").replace("Live Jobs", "Sleeper"))
    (plugin / "sleeper.py").write_text(SUBMITTER)
    (tmp_path / "work").mkdir()
    remotes = write_remotes(tmp_path / "remotes.toml", sshd, tmp_path / "work")
    outcomes = set()
    for step, delay in enumerate((0.1, 0.35, 0.5, 0.7, 1.0)):
        name = f"qorvel-interrupt-{os.getpid()}-{step}"
        state = {"selectedRemote": "cluster", "variables": [{"id": "name", "value": name}]}
        (tmp_path / "s.flow").write_text(json.dumps({"name": "s", "savedID": 5, "blocks": [
            {"blockID": "sleeper.sleeper", "placedID": 1, "state": state}]}))
        marker, run = tmp_path / f"submitting-{step}", tmp_path / f"run-{step}"
        env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"), XDG_CONFIG_HOME=str(tmp_path / "config"),
                   QORVEL_REMOTES=str(remotes), SUBMITTING=str(marker))
        host = subprocess.Popen([sys.executable, "-m", "QorvelAPI.devhost", "flow", str(plugin), str(tmp_path / "s.flow"),
                                 "--queue", "local", "--poll", "0.2", "--workdir", str(run)],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                                start_new_session=True)
        deadline = time.monotonic() + WAIT_LIMIT
        while not marker.exists() and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(delay)
        os.killpg(host.pid, signal.SIGINT)
        _, err = host.communicate(timeout=WAIT_LIMIT)
        assert host.returncode == 130, err
        journal = [json.loads(line) for line in open(run / "jobs.journal")] if (run / "jobs.journal").exists() else []
        cancelled = [e["jobID"] for e in journal if e["event"] == "cancelled"]
        if cancelled:
            assert f"jobs of this run were cancelled: {cancelled[0]} on cluster" in err
            assert slurm_queue.state(cancelled[0]) in ("CANCELLED", "COMPLETING")
            saved = json.load(open(run / "s.flow"))["blocks"][0]["state"]
            assert saved["jobID"] == cancelled[0]
        else:
            assert "no job of this run was left to cancel" in err and "were cancelled" not in err
        assert queued_named(name) == [], (delay, err)
        outcomes.add(bool(cancelled))
    assert outcomes == {True, False}  # the first moment falls before the submission, the last ones after it


ARRAY_PLUGIN = r'''
import os
from QorvelAPI.plugins import Plugin, SlurmBlock


def submit(block):
    path = os.path.join(block.remote.workDir, "array.sh")
    with open(path, "w") as out:
        out.write('#!/bin/sh\n#SBATCH --array=1-3\necho "task $SLURM_ARRAY_TASK_ID"\n'
                  '[ "$SLURM_ARRAY_TASK_ID" = 2 ] && exit 5\nexit 0\n')
    block.remote.submitJob(path)


plugin = Plugin()
plugin.addBlock(SlurmBlock("Array", "An array job", submit, lambda block: None, id="array"))
'''


@live
@pytest.mark.parametrize("where, queue", [("cluster", "local"), ("Local", "local"), ("Local", "slurm")])
def test_an_array_job_fails_when_one_task_fails(sshd, cli, tmp_path, monkeypatch, where, queue):
    plugin = tmp_path / "arrays"
    plugin.mkdir()
    (plugin / "plugin.meta").write_text(PLUGIN_META.replace("live_jobs.py", "arrays.py").replace("Live Jobs", "Arrays"))
    (plugin / "arrays.py").write_text(ARRAY_PLUGIN)
    (tmp_path / "a.flow").write_text(json.dumps({"name": "a", "savedID": 5, "blocks": [
        {"blockID": "arrays.array", "placedID": 1, "state": {"selectedRemote": where}}]}))
    (tmp_path / "work").mkdir()
    monkeypatch.setenv("QORVEL_REMOTES", str(write_remotes(tmp_path / "remotes.toml", sshd, tmp_path / "work")))
    code, out, err = cli("flow", plugin, tmp_path / "a.flow", "--queue", queue, "--poll", "0.2", "--json",
                         "--workdir", tmp_path / "run")
    block = json.loads(out)["blocks"][0]
    job = block["job"]
    assert code == 1 and job["status"] == "FAILED", err
    assert block["error"].endswith("ended FAILED (array tasks 1,2,3; failed: task 2 FAILED, exit code 5)")
    assert [(t["taskID"], t["state"], t["exitCode"]) for t in job["tasks"]] == [
        (1, "COMPLETED", 0), (2, "FAILED", 5), (3, "COMPLETED", 0)]
    assert job["stdOut"] == "task 2\n" and all(open(t["stdOut"]).read() == f"task {t['taskID']}\n"
                                               for t in job["tasks"])


@live
def test_resume_follows_the_job_of_a_killed_host_and_resubmits_only_failed_ones(sshd, cli, tmp_path, monkeypatch):
    host, job = live_flow(tmp_path, sshd, 6)
    os.killpg(host.pid, signal.SIGKILL)
    host.communicate()
    monkeypatch.setenv("QORVEL_REMOTES", str(tmp_path / "remotes.toml"))
    code, out, err = cli("flow", tmp_path / "live_jobs", "--resume", tmp_path / "run", "--queue", "local",
                         "--poll", "0.2", "--json")
    block = json.loads(out)["blocks"][0]
    assert code == 0 and block["status"] == "ok", err
    assert block["job"]["jobID"] == job and block["outputs"] == {"echoed": f"hello from job {job}", "job": job}
    events = [json.loads(line)["event"] for line in open(tmp_path / "run" / "jobs.journal")]
    assert events == ["submitted", "ended"] and slurm_queue.state(job) == "COMPLETED"

    # A job that failed is reported again as it ended, and submitted anew only when asked.
    flow = json.load(open(tmp_path / "run" / "long.flow"))
    flow["blocks"][0]["state"]["variables"].append({"id": "exitCode", "value": 3})
    (tmp_path / "failing.flow").write_text(json.dumps(flow))
    code, out, err = cli("flow", tmp_path / "live_jobs", tmp_path / "failing.flow", "--queue", "local", "--poll",
                         "0.2", "--json", "--workdir", tmp_path / "failing")
    failed = json.loads(out)["blocks"][0]["job"]["jobID"]
    code, out, err = cli("flow", tmp_path / "live_jobs", "--resume", tmp_path / "failing", "--json")
    assert code == 1 and json.loads(out)["blocks"][0]["job"]["jobID"] == failed
    code, out, err = cli("flow", tmp_path / "live_jobs", "--resume", tmp_path / "failing", "--resubmit-failed",
                         "--json", "--poll", "0.2")
    again = json.loads(out)["blocks"][0]
    assert code == 1 and again["job"]["jobID"] not in (failed, None) and again["job"]["status"] == "FAILED"
    assert f"job {failed} of block live_jobs.echo (#1) ended FAILED; submitting it again" in again["messages"][0]["message"]


def test_a_changed_host_key_says_so_and_unchecked_keys_are_warned_of(sshd, sshd_dir, tmp_path, monkeypatch):
    port = open(os.path.join(sshd_dir, "port")).read().strip()
    SSHConnection("c", ALIAS, sshd).close()  # a master left by an earlier test would skip the key check
    subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", str(tmp_path / "impostor")], check=True)
    (tmp_path / "known_hosts").write_text(f"[127.0.0.1]:{port} {(tmp_path / 'impostor.pub').read_text()}")
    real = subprocess.run(["ssh-keygen", "-l", "-f", os.path.join(sshd_dir, "host_ed25519.pub")], capture_output=True,
                          text=True).stdout.split()[1]
    options = [f"Port={port}", f"IdentityFile={sshd_dir}/user_ed25519", f"UserKnownHostsFile={tmp_path}/known_hosts",
               "StrictHostKeyChecking=yes", "IdentitiesOnly=yes"]
    started = time.monotonic()
    with pytest.raises(RemoteError) as caught:
        SSHRemote.open("cluster", SSHConnection("cluster", "root@127.0.0.1", "/dev/null", options), str(tmp_path))
    message = str(caught.value)
    assert "host key has CHANGED" in message and real in message and "\n" not in message
    assert time.monotonic() - started < 3  # refused at once, never tried again

    (tmp_path / "remotes.toml").write_text(f'[remotes.lax]\nssh = "{ALIAS}"\nworkdir = "{tmp_path}"\n'
                                           f'ssh_config = "{sshd}"\nssh_options = ["StrictHostKeyChecking=accept-new"]\n')
    checked = subprocess.run([sys.executable, "-m", "QorvelAPI.devhost", "remotes"], capture_output=True, text=True,
                             env=dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"),
                                      QORVEL_REMOTES=str(tmp_path / "remotes.toml")))
    assert checked.returncode == 0 and "StrictHostKeyChecking accept-new" in checked.stderr, checked.stderr
    assert SSHConnection("c", ALIAS, sshd).unchecked_host_key() is None


@live
def test_run_and_flow_choose_the_remote_from_the_command_line(sshd, cli, tmp_path, monkeypatch):
    plugin = tmp_path / "live_jobs"
    plugin.mkdir()
    (plugin / "plugin.meta").write_text(PLUGIN_META)
    (plugin / "live_jobs.py").write_text(PLUGIN_SCRIPT)
    (tmp_path / "work").mkdir()
    monkeypatch.setenv("QORVEL_REMOTES", str(write_remotes(tmp_path / "remotes.toml", sshd, tmp_path / "work")))
    code, out, err = cli("run", plugin, "echo", "--remote", "cluster", "--set", "seconds=6", "--queue", "local",
                         "--poll", "0.2", "--workdir", tmp_path / "run")
    assert code == 0 and f"queue: SLURM queue of remote 'cluster' ({ALIAS})" in err, err
    assert "RUNNING, on " in err  # the node in the status line
    job = int(err.split("  job ")[1].split()[0])
    assert slurm_queue.state(job) == "COMPLETED" and (tmp_path / "work" / "run" / f"slurm-{job}.out").exists()
    (tmp_path / "one.flow").write_text(json.dumps({"name": "one", "savedID": 5, "blocks": [
        {"blockID": "live_jobs.echo", "placedID": 1, "state": {}}]}))
    code, out, err = cli("flow", plugin, tmp_path / "one.flow", "--remote", "1=clustr", "--queue", "local")
    assert code == 1 and "queue: remote 'clustr' is not configured (remotes: Local, cluster)" in err
    assert "selects the remote 'clustr', which is neither Local nor a remote of" in out + err


@live
def test_the_scaffolds_cluster_job_block_runs_on_a_remote_that_does_not_share_our_files(sshd, tmp_path):
    """The local host runs in a mount namespace of its own whose copy of the remote's working folder is
    a private, empty one: whatever it writes there with open() never reaches the remote (nor the
    cluster's nodes, which see the remote's files)."""
    work = tmp_path / "remote work"
    work.mkdir()
    env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"), XDG_CONFIG_HOME=str(tmp_path / "config"),
               QORVEL_REMOTES=str(write_remotes(tmp_path / "remotes.toml", sshd, work)))
    made = subprocess.run([sys.executable, "-m", "QorvelAPI.devhost", "new", "Summing", "--with", "slurm", "--dir",
                           str(tmp_path)], capture_output=True, text=True, env=env)
    assert made.returncode == 0, made.stderr
    host = ("mount -t tmpfs private \"$1\" && exec \"$2\" -m QorvelAPI.devhost run \"$3\" sum_numbers --set count=4 "
            "--remote cluster --queue local --poll 0.2 --json --workdir \"$4\"")
    ran = subprocess.run(["unshare", "-m", "sh", "-c", host, "sh", str(work), sys.executable, str(tmp_path / "summing"),
                          str(tmp_path / "local run")], capture_output=True, text=True, env=env, timeout=WAIT_LIMIT)
    block = json.loads(ran.stdout)["blocks"][0]
    assert ran.returncode == 0 and block["outputs"] == {"total": 10}, ran.stderr
    assert (work / "local run" / "sum_1" / "sum.sh").is_file()  # sent, and so seen by the remote
