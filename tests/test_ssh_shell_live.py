"""The remote shell kept open over the master connection, against the test SSH server (started as
test_ssh_live starts it) and the local SLURM cluster."""

import os
import signal
import subprocess
import threading
import time

import pytest

from QorvelAPI.devhost import ssh_shell
from QorvelAPI.devhost.ssh_connection import ConnectionLost, SSHConnection
from test_slurm_live import live
from test_ssh_live import ALIAS, HOSTILE, remote, sshd, sshd_dir, wait_remote  # noqa: F401 (fixtures)


@pytest.fixture
def connection(sshd):
    opened = SSHConnection("cluster", ALIAS, sshd)
    opened.run(["true"])  # the ordinary way: logs in and leaves the master up
    yield opened
    opened.close()


def _live_command_lines():
    """The whole command line (or title) of every process that has not ended, read from /proc
    (no ps: under the memory checker's preloaded runtime a child ps can hang)."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as stat:
                state = stat.read().rsplit(b")", 1)[1].split()[0]
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                line = cmdline.read().replace(b"\0", b" ").decode(errors="replace")
        except (OSError, IndexError):
            continue
        if state != b"Z":
            yield line


def ssh_processes(connection):
    """The ssh processes of the connection still running, a moment after it was closed."""
    socket_prefix = connection.control_path.replace("%C", "")  # the master's title names its socket
    deadline = time.monotonic() + 5
    while True:
        left = [line for line in _live_command_lines() if socket_prefix in line]
        if not left or time.monotonic() > deadline:
            return left
        time.sleep(0.1)


def test_the_shell_keeps_status_and_streams_apart_whatever_the_output_holds(connection, monkeypatch):
    made = []
    monkeypatch.setattr(ssh_shell, "new_marker", lambda line, real=ssh_shell.new_marker: made.append(real(line))
                        or made[-1])
    answer = connection.run(["sh", "-c", 'printf "out\\n"; printf err >&2; exit 3'])
    pid = connection.shell_pid()
    assert pid is not None and made and (answer.returncode, answer.stdout, answer.stderr) == (3, "out\n", "err")
    # The frame lines of the command before, bytes that are no text, no final line break, and every
    # hostile word: each one argument, and the answer exactly what the command wrote.
    words = [made[-1], f"\n{made[-1]} 0\n", os.fsdecode(b"caf\xe9 \xff"), "two\nlines\n", *HOSTILE]
    answer = connection.run(["printf", "%s\\0", *words])
    assert answer.stdout_bytes == b"".join(os.fsencode(word) + b"\0" for word in words) and answer.returncode == 0
    answer = connection.run(["sh", "-c", "head -c 3000000 /dev/zero; head -c 2000000 /dev/zero >&2"])
    assert (len(answer.stdout_bytes), len(answer.stderr)) == (3000000, 2000000)
    # A command's exit, cd or input never reach the shell or the next command.
    assert connection.run(["exit", "5"]).returncode == 5
    assert connection.run(["cd", "/"]).returncode == 0 and connection.run(["pwd"]).stdout == "/root\n"
    assert connection.run(["cat"]).stdout == ""
    # Threads side by side: one command at a time on the shell, the others the ordinary way.
    wrong = []

    def ask(n):
        for i in range(8):
            if (said := connection.run(["echo", f"{n}-{i}"]).stdout) != f"{n}-{i}\n":
                wrong.append(said)
    threads = [threading.Thread(target=ask, args=(n,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert wrong == [] and connection.shell_pid() == pid


def test_a_shell_that_dies_or_hangs_never_answers_wrong_and_none_is_left_after_close(connection):
    connection.run(["true"])
    first = connection.shell_pid()
    os.kill(first, signal.SIGKILL)
    answer = connection.run(["sh", "-c", "echo after; echo failed >&2; exit 4"])
    assert (answer.returncode, answer.stdout, answer.stderr) == (4, "after\n", "failed\n")
    connection.run(["true"])
    second = connection.shell_pid()
    assert second not in (None, first)
    # A command that hangs past its time is a connection that does not answer, as the ordinary way says.
    with pytest.raises(ConnectionLost, match=r"^remote 'cluster' \(qorvel-sshd\) did not answer within 1 s$"):
        connection.run(["sleep", "5"], timeout=1)
    assert connection.shell_pid() is None and connection.run(["echo", "ok"]).stdout == "ok\n"
    # The master killed: the shell goes with it and the next command logs in again.
    connection.run(["true"])
    third = connection.shell_pid()
    os.kill(connection.master_pid(), signal.SIGKILL)
    assert connection.run(["echo", "again"]).stdout == "again\n"
    connection.run(["true"])
    assert connection.shell_pid() not in (None, third) and len(ssh_processes(connection)) == 2
    connection.close()
    assert ssh_processes(connection) == [] and connection.shell_pid() is None


@live
def test_the_polls_of_a_job_outlive_the_shell_they_went_to(remote):
    released = os.path.join(remote.workDir, "released")
    with open(os.path.join(remote.workDir, "job.sh"), "w") as out:
        out.write(f"#!/bin/sh\necho begun\nuntil [ -e '{released}' ]; do sleep 0.2; done\necho ended >&2\nexit 3\n")
    remote._runningSavedID, remote._runningPlacedID = "f", 1
    job = remote.submitJob("job.sh")
    wait_remote(remote, 1, {"RUNNING"})
    shell = remote.connection.shell_pid()
    assert shell is not None
    os.kill(shell, signal.SIGKILL)
    remote.queue._jobs[job].snapshot = None
    assert remote.getRemoteBlockStatus("f", 1) == "RUNNING"
    open(released, "w").close()
    assert wait_remote(remote, 1, {"FAILED"}) == "FAILED"
    assert remote.getRemoteBlockLogs("f", 1) == ("begun\n", "ended\n", f"Job {job} FAILED on remote cluster's "
                                                 f"SLURM queue, exit code 3")
    assert remote.connection.shell_pid() not in (None, shell)
    remote.close()
    assert ssh_processes(remote.connection) == []


@pytest.mark.parametrize("stream, preamble, answer", [
    (b"M\nout\n\nM 3\n", False, (b"out\n", 3)),
    (b"M\n\nM 0\n", False, (b"", 0)),
    (b"M\nM\nM 7x\n\nM 0\n", False, (b"M\nM 7x\n", 0)),  # lines like the frame's own are output
    (b"Welcome\nM\nno line break\nM 12\n", True, (b"no line break", 12)),  # start-up files printed first
    (b"stray\nM\n\nM 0\n", False, "out of turn"),
    (b"M\n\nM 0\nlate", False, "after a command's answer"),
])
def test_a_frame_holds_exactly_what_lies_between_its_markers_in_chunks_of_any_size(stream, preamble, answer):
    for size in (1, 2, 5, len(stream)):
        frame = ssh_shell._Frame(b"M", preamble)
        try:
            for at in range(0, len(stream), size):
                frame.feed(stream[at:at + size])
                if frame.status is not None and at + size < len(stream):
                    frame.feed(stream[at + size:])  # what follows a closed frame is refused
        except ssh_shell.ShellFault as fault:
            assert isinstance(answer, str) and answer in str(fault)
            continue
        assert (frame.body, frame.status) == answer
