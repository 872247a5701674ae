#!/usr/bin/env bash
# Smoke check of the running cluster with three real jobs: one completes, one fails, one is
# cancelled while it runs. Exits non-zero when a job does not reach the expected state.
set -euo pipefail
source "$(dirname "$0")/common.sh"

timeout 5 scontrol ping 2>/dev/null | grep -q 'is UP' || die "no SLURM controller answers; run 'make slurm-start' first"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

state_of() { squeue -h -t all -j "$1" -o '%T' 2>/dev/null | head -n 1; }
# wait_state JOB STATE...: waits (60 s at most) until JOB is in one of the STATEs.
wait_state() {
    local job=$1 s i; shift
    for i in $(seq 300); do
        s=$(state_of "$job")
        for want in "$@"; do [ "$s" = "$want" ] && return 0; done
        sleep 0.2
    done
    die "job $job is '${s:-unknown}', expected $*"
}

ok=$(sbatch --parsable -o ok.out --wrap 'echo hello from $(hostname)')
bad=$(sbatch --parsable -o bad.out --wrap 'exit 3')
long=$(sbatch --parsable -o long.out --wrap 'sleep 300')
wait_state "$ok" COMPLETED
grep -q '^hello from ' ok.out || die "job $ok left no output"
wait_state "$bad" FAILED
wait_state "$long" RUNNING
scancel "$long"
wait_state "$long" CANCELLED
log "check passed: job $ok COMPLETED, job $bad FAILED, job $long CANCELLED"
