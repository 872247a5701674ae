#!/usr/bin/env bash
# Stops the single-node SLURM cluster that start.sh started: slurmd, slurmctld, and munged when
# start.sh launched it. Idempotent: stopping a stopped cluster does nothing. Jobs still running
# are left to end with their processes.
set -euo pipefail
source "$(dirname "$0")/common.sh"

stop_pidfile "$SLURMD_PIDFILE" slurmd
stop_pidfile "$CTLD_PIDFILE" slurmctld
if [ -e "$MUNGE_OURS" ]; then
    stop_pidfile "$MUNGE_PIDFILE" munged
    rm -f "$MUNGE_OURS"
fi
log "cluster stopped"
