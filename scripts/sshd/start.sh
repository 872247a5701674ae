#!/usr/bin/env bash
# Starts an OpenSSH server on 127.0.0.1 on a free high port for the SSH remote tests: a host key
# and a user key made for it, keys only (no passwords, no PAM), root logging in with that key.
# Idempotent: a server already running is left running. Prints the port and how long start-up
# took. Needs root. Settings: QORVEL_SSHD_DIR (default /run/qorvel-sshd), QORVEL_SSHD_PORT
# (default: a free port), QORVEL_SSHD_TIMEOUT (seconds to wait for a login, default 20).
set -euo pipefail
source "$(dirname "$0")/common.sh"

started=$(date +%s.%N)
[ "$(id -u)" = 0 ] || die "must run as root"
for tool in /usr/sbin/sshd ssh ssh-keygen python3; do
    command -v "$tool" >/dev/null || die "'$tool' is missing; run 'make setup' (Debian package openssh-server)"
done

client_login() {
    ssh -F "$CLIENT_CONFIG" -o ConnectTimeout=5 -- "$SSHD_HOST_ALIAS" true 2>>"$QORVEL_SSHD_DIR/login.err"
}

if [ -n "$(sshd_pid)" ] && client_login; then
    log "already running on port $(cat "$QORVEL_SSHD_DIR/port")"
    exit 0
fi

# The server checks that no one else can write to the folders that lead to its key files.
install -d -m 700 "$QORVEL_SSHD_DIR"
install -d -m 755 /run/sshd  # the server's privilege separation folder
cd "$QORVEL_SSHD_DIR"
[ -s host_ed25519 ] || ssh-keygen -q -t ed25519 -N '' -C qorvel-sshd-host -f host_ed25519
[ -s user_ed25519 ] || ssh-keygen -q -t ed25519 -N '' -C qorvel-sshd-user -f user_ed25519
cp user_ed25519.pub authorized_keys
chmod 600 authorized_keys

port=${QORVEL_SSHD_PORT:-$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')}
echo "$port" > port

cat > "$SSHD_CONFIG" <<CONF
# Written by QorvelAPI scripts/sshd/start.sh: a test server, reachable from this machine only.
ListenAddress 127.0.0.1
Port $port
HostKey $QORVEL_SSHD_DIR/host_ed25519
PidFile $SSHD_PIDFILE
AuthorizedKeysFile $QORVEL_SSHD_DIR/authorized_keys
AuthenticationMethods publickey
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
PermitEmptyPasswords no
UsePAM no
AllowUsers root
StrictModes yes
MaxSessions 20
MaxStartups 50:30:100
LogLevel VERBOSE
Subsystem sftp internal-sftp
# The remote shell of a command skips ~/.bashrc, as it does on clusters whose start-up files
# return early for non-interactive shells: otherwise every command of the tests pays for this
# machine's interactive set-up (pyenv init and the like), seconds per test.
SetEnv SHLVL=1
CONF

cat > "$CLIENT_CONFIG" <<CONF
# Written by QorvelAPI scripts/sshd/start.sh: how a client reaches the test server.
Host $SSHD_HOST_ALIAS
    HostName 127.0.0.1
    Port $port
    User root
    IdentityFile $QORVEL_SSHD_DIR/user_ed25519
    IdentitiesOnly yes
    UserKnownHostsFile $QORVEL_SSHD_DIR/known_hosts
    GlobalKnownHostsFile /dev/null
    StrictHostKeyChecking yes
    BatchMode yes
CONF
echo "[127.0.0.1]:$port $(cut -d' ' -f1,2 host_ed25519.pub)" > known_hosts

mkdir -p work
cat > remotes.toml <<CONF
# The test server as a remote of the local host (QORVEL_REMOTES=$QORVEL_SSHD_DIR/remotes.toml).
[remotes.sshd]
ssh = "$SSHD_HOST_ALIAS"
workdir = "$QORVEL_SSHD_DIR/work"
ssh_config = "$CLIENT_CONFIG"
CONF

old=$(sshd_pid)
if [ -n "$old" ]; then kill -TERM "$old" 2>/dev/null || true; sleep 0.2; fi
/usr/sbin/sshd -t -f "$SSHD_CONFIG" || die "the server refuses its configuration $SSHD_CONFIG"
: > login.err
/usr/sbin/sshd -f "$SSHD_CONFIG" -E "$QORVEL_SSHD_DIR/sshd.log"

deadline=$(( $(date +%s) + ${QORVEL_SSHD_TIMEOUT:-20} ))
until client_login; do
    [ "$(date +%s)" -lt "$deadline" ] || die "no login after ${QORVEL_SSHD_TIMEOUT:-20}s: $(tail -n 1 login.err) (see $QORVEL_SSHD_DIR/sshd.log)"
    sleep 0.2
done

elapsed=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
log "server up on 127.0.0.1 port $port (start-up took ${elapsed}s); clients: ssh -F $CLIENT_CONFIG $SSHD_HOST_ALIAS"
