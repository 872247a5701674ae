#!/usr/bin/env bash
# Starts a single-node SLURM cluster on this machine: munged, slurmctld and slurmd, all on
# loopback, and waits until the node takes jobs. Idempotent: what already runs is left running.
# Prints how long start-up took. Needs root (the daemons run as root in a container without
# systemd). Settings: QORVEL_SLURM_DIR (state and logs), SLURM_CONF (configuration file),
# QORVEL_SLURM_TIMEOUT (seconds to wait for the node, default 60).
set -euo pipefail
source "$(dirname "$0")/common.sh"

started=$(date +%s.%N)
timeout=${QORVEL_SLURM_TIMEOUT:-60}

[ "$(id -u)" = 0 ] || die "must run as root"
for tool in munged slurmctld slurmd scontrol sinfo; do
    command -v "$tool" >/dev/null || die "'$tool' is missing; run 'make setup' (Debian packages slurm-wlm and munge)"
done

mkdir -p "$QORVEL_SLURM_DIR"/{state,spool,log}
chmod 755 "$QORVEL_SLURM_DIR"

# --- configuration ---------------------------------------------------------------------------
new_conf=$(generate_conf)
if [ -e "$SLURM_CONF" ] && ! grep -qF "$CONF_MARKER" "$SLURM_CONF"; then
    die "$SLURM_CONF exists and was not written by this script; move it away or set SLURM_CONF"
fi
if [ ! -e "$SLURM_CONF" ] || [ "$(cat "$SLURM_CONF")" != "$new_conf" ]; then
    if pid_alive "$CTLD_PIDFILE" slurmctld || pid_alive "$SLURMD_PIDFILE" slurmd; then
        # The machine changed under a running cluster: start it afresh with the new description.
        log "configuration changed; restarting the daemons"
        stop_pidfile "$SLURMD_PIDFILE" slurmd
        stop_pidfile "$CTLD_PIDFILE" slurmctld
    fi
    mkdir -p "$(dirname "$SLURM_CONF")"
    printf '%s\n' "$new_conf" > "$SLURM_CONF.tmp"
    mv "$SLURM_CONF.tmp" "$SLURM_CONF"
    log "wrote $SLURM_CONF"
fi

# --- munged ----------------------------------------------------------------------------------
munge_ok() { munge -n -S "$MUNGE_SOCKET" 2>/dev/null | unmunge -S "$MUNGE_SOCKET" >/dev/null 2>&1; }
if ! munge_ok; then
    if [ ! -s /etc/munge/munge.key ]; then
        log "creating /etc/munge/munge.key"
        mkdir -p /etc/munge
        dd if=/dev/urandom of=/etc/munge/munge.key bs=1 count=128 status=none
    fi
    chown -R munge:munge /etc/munge
    chmod 700 /etc/munge
    chmod 400 /etc/munge/munge.key
    install -d -o munge -g munge -m 755 /run/munge
    install -d -o munge -g munge -m 700 /var/lib/munge /var/log/munge
    rm -f "$MUNGE_SOCKET" "$MUNGE_SOCKET.lock"
    log "starting munged"
    runuser -u munge -- munged
    touch "$MUNGE_OURS"
    for i in $(seq 50); do munge_ok && break; sleep 0.1; done
    munge_ok || die "munged does not answer (see /var/log/munge/munged.log)"
fi

# --- slurmctld and slurmd --------------------------------------------------------------------
ctld_up() { timeout 5 scontrol ping 2>/dev/null | grep -q 'is UP'; }
if ! pid_alive "$CTLD_PIDFILE" slurmctld; then
    log "starting slurmctld"
    # -i: start even when saved state of an earlier run cannot be read.
    slurmctld -i
fi
if ! pid_alive "$SLURMD_PIDFILE" slurmd; then
    log "starting slurmd"
    slurmd
fi

deadline=$(( $(date +%s) + timeout ))
until ctld_up; do
    [ "$(date +%s)" -lt "$deadline" ] || die "slurmctld does not answer after ${timeout}s (see $QORVEL_SLURM_DIR/log/slurmctld.log)"
    pid_alive "$CTLD_PIDFILE" slurmctld || die "slurmctld exited (see $QORVEL_SLURM_DIR/log/slurmctld.log)"
    sleep 0.2
done

node=$(hostname -s)
resumed=no
while :; do
    state=$(sinfo -h -N -n "$node" -o '%T' 2>/dev/null | head -n 1)
    case "$state" in
        idle|mixed|allocated|completing) break ;;
        down*|drain*|drained*|fail*)
            # A node left down by an earlier, unclean stop: its slurmd is back, so return it.
            if [ "$resumed" = no ] && pid_alive "$SLURMD_PIDFILE" slurmd; then
                scontrol update NodeName="$node" State=RESUME >/dev/null 2>&1 || true
                resumed=yes
            fi ;;
    esac
    [ "$(date +%s)" -lt "$deadline" ] || die "node $node is '${state:-unknown}' after ${timeout}s (see $QORVEL_SLURM_DIR/log/slurmd.log)"
    pid_alive "$SLURMD_PIDFILE" slurmd || die "slurmd exited (see $QORVEL_SLURM_DIR/log/slurmd.log)"
    sleep 0.2
done

elapsed=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
log "cluster up: node $node is $state (start-up took ${elapsed}s)"
