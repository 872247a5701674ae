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
