"""A cluster job block's status poll over SSH: the remote shell kept open against a command per poll.

One poll is what the host asks while it follows a job (state, logs, run time). Over the remote shell
kept open it is one command of a shell that has started already; the ordinary way it is one ssh
command over the master connection, which starts the remote's login shell (and its start-up files)
anew; with multiplexing switched off (``ControlPath=none``) every poll logs in again. Needs the test
SSH server (scripts/sshd/start.sh) and the local SLURM cluster (`make slurm-start`); says so and does
nothing without them.
"""
import os
import statistics
import sys
import tempfile
import time

from QorvelAPI.devhost import slurm_queue
from QorvelAPI.devhost.ssh_connection import SSHConnection
from QorvelAPI.devhost.ssh_remote import SSHRemote

CONFIG = os.path.join(os.environ.get("QORVEL_SSHD_DIR", "/run/qorvel-sshd"), "ssh_config")
POLLS = int(os.environ.get("QORVEL_BENCH_POLLS", "50"))


def poll(remote):
    remote.queue._jobs[remote.jobsOf("bench", 1)[0]].snapshot = None  # each poll asks the remote
    remote.getRemoteBlockStatus("bench", 1)
    remote.getRemoteBlockLogs("bench", 1)
    remote.getRemoteBlockTime("bench", 1)


def round_trip(remote):
    remote.connection.run(["true"])


def timings(action, remote):
    action(remote)  # the first call logs in,
    action(remote)  # the second opens the remote shell
    samples = []
    for _ in range(POLLS):
        started = time.perf_counter()
        action(remote)
        samples.append((time.perf_counter() - started) * 1000)
    return statistics.median(samples), statistics.quantiles(samples, n=10)[-1], min(samples), max(samples)


def measure(remote):
    """Each way of reaching the remote, in the order the table shows them."""
    connection = remote.connection
    results = {}
    for label, shell in (("remote shell kept open", True), ("ssh command per poll", False)):
        connection.close()  # the shell kept open, if any, goes with it
        connection.use_shell = shell
        results[f"status poll, {label}"] = timings(poll, remote)
        results[f"`true`, {label}"] = timings(round_trip, remote)
        assert (connection.shell_pid() is not None) == shell, "the poll did not go the way it was meant to"
    connection.close()
    connection.options = ["ControlPath=none"]  # the first value of an option wins
    results["status poll, fresh login per poll"] = timings(poll, remote)
    return results


def main():
    if not os.path.isfile(CONFIG) or not slurm_queue.controller_available():
        print("skipped: needs the test SSH server (scripts/sshd/start.sh) and a SLURM controller (make slurm-start)")
        return
    work = tempfile.mkdtemp(prefix="qorvel-bench-ssh-")
    with open(os.path.join(work, "wait.sh"), "w") as out:
        out.write("#!/bin/sh\necho polled\nsleep 300\n")
    remote = SSHRemote.open("bench", SSHConnection("bench", "qorvel-sshd", CONFIG), work)
    remote._runningSavedID, remote._runningPlacedID = "bench", 1
    try:
        remote.submitJob("wait.sh")
        results = measure(remote)
    finally:
        remote.connection.options = []
        remote.cancelAll()
        remote.close()
    print(f"{POLLS} calls each, load average {os.getloadavg()[0]:.2f}")
    print(f"| {'what':40s} | median ms | p90 ms | min ms | max ms |")
    print(f"|{'-' * 42}|-----------|--------|--------|--------|")
    for label, (median, p90, low, high) in results.items():
        print(f"| {label:40s} | {median:9.1f} | {p90:6.1f} | {low:6.1f} | {high:6.1f} |")
    ratio = results["status poll, ssh command per poll"][0] / results["status poll, remote shell kept open"][0]
    print(f"a command per poll costs {ratio:.1f} times as much as the remote shell kept open")


if __name__ == "__main__":
    main()
    sys.exit(0)
