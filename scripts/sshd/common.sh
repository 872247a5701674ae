# Shared settings of the SSH server used to try the host's SSH remotes on this machine.
# Sourced by start.sh and stop.sh; not meant to be run on its own.
#
# Everything lives under QORVEL_SSHD_DIR: the server's configuration, host key, log and pid file,
# the user key it accepts (and nothing else), and for the clients an ssh configuration naming the
# host "qorvel-sshd", its known_hosts file and a remotes.toml describing it as the remote "sshd".

QORVEL_SSHD_DIR=${QORVEL_SSHD_DIR:-/run/qorvel-sshd}
SSHD_PIDFILE=$QORVEL_SSHD_DIR/sshd.pid
SSHD_CONFIG=$QORVEL_SSHD_DIR/sshd_config
CLIENT_CONFIG=$QORVEL_SSHD_DIR/ssh_config
SSHD_HOST_ALIAS=qorvel-sshd

log() { echo "sshd: $*"; }
die() { echo "sshd: error: $*" >&2; exit 1; }

# The pid in the pid file when it names a running sshd, else nothing.
sshd_pid() {
    local pid
    [ -r "$SSHD_PIDFILE" ] || return 0
    pid=$(tr -dc '0-9' < "$SSHD_PIDFILE")
    if [ -n "$pid" ] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = sshd ]; then echo "$pid"; fi
}
