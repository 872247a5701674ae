#!/usr/bin/env bash
# Stops the SSH server that start.sh started, and the sessions it still serves (a client's
# multiplexed connection lives on in its own server process). Idempotent.
set -euo pipefail
source "$(dirname "$0")/common.sh"

pid=$(sshd_pid)
if [ -n "$pid" ]; then
    sessions=$(pgrep -P "$pid" -x sshd || true)
    log "stopping sshd (pid $pid${sessions:+, sessions $(echo $sessions)})"
    kill -TERM "$pid" $sessions 2>/dev/null || true
    for i in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null || true
fi
rm -f "$SSHD_PIDFILE"
log "server stopped"
