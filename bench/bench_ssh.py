"""A cluster job block's status poll over SSH: the multiplexed connection against a fresh login.

One poll is what the host asks while it follows a job (state, logs, run time). Over the master
connection it is one round trip; with multiplexing switched off (``ControlPath=none``) every poll
logs in again. Needs the test SSH server (scripts/sshd/start.sh) and the local SLURM cluster
(`make slurm-start`); says so and does nothing without them.
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
POLLS = int(os.environ.get("QORVEL_BENCH_POLLS", "20"))


def poll(remote):
    remote.queue._jobs[remote.jobsOf("bench", 1)[0]].snapshot = None  # each poll asks the remote
    remote.getRemoteBlockStatus("bench", 1)
    remote.getRemoteBlockLogs("bench", 1)
    remote.getRemoteBlockTime("bench", 1)


def timings(action, remote):
    action(remote)  # the first call of a multiplexed connection logs in
    samples = []
    for _ in range(POLLS):
        started = time.perf_counter()
        action(remote)
        samples.append((time.perf_counter() - started) * 1000)
    return statistics.median(samples), min(samples), max(samples)


def round_trip(remote):
    remote.connection.run(["true"])


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
        results = {"status poll, multiplexed": timings(poll, remote),
                   "`true`, multiplexed": timings(round_trip, remote)}
        remote.connection.options = ["ControlPath=none"]  # the first value of an option wins
        results["status poll, fresh login"] = timings(poll, remote)
        results["`true`, fresh login"] = timings(round_trip, remote)
    finally:
        remote.connection.options = []
        remote.cancelAll()
        remote.close()
    for label, (median, low, high) in results.items():
        print(f"{label:26s} median {median:7.1f} ms  (min {low:.1f}, max {high:.1f}, {POLLS} calls)")
    ratio = results["status poll, fresh login"][0] / results["status poll, multiplexed"][0]
    print(f"a fresh login per poll costs {ratio:.1f} times as much")


if __name__ == "__main__":
    main()
    sys.exit(0)
