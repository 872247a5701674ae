"""One multiplexed OpenSSH connection to a remote, through the system's ``ssh`` client.

The user's own ssh configuration applies unchanged (keys, agent, ``ProxyJump``, ports); the local
host adds only what it needs on top:

- ``BatchMode=yes``: no password or passphrase is ever asked for, typed or passed; a login that
  would need one fails at once.
- Host keys are checked as the user's configuration says (by default an unknown or changed key
  refuses the login); the local host never turns the check off.
- ``ControlMaster``/``ControlPath``/``ControlPersist``: the first call logs in and leaves a master
  connection behind; every later call is one round trip over it. A master that died (the network
  dropped, someone killed it) is replaced by the next call, which logs in again.
- One remote shell (``ssh_shell.RemoteShell``) kept open over the master answers the commands that
  may run twice and neither read data nor fill a file (the status polls), so that only its start
  pays for the remote's login shell start-up files. A shell that fails is closed and its command
  runs the ordinary way, which reports a lost connection or a refused login as it always does.

Every remote command is a list of words. Each word is quoted for the remote's POSIX shell, so a
path with spaces, ``;``, ``$()`` or a leading ``-`` stays one argument; work that needs the shell
runs as a constant script (``sh -c SCRIPT sh ARG...``) whose data arrives as its arguments.
"""

from __future__ import annotations

import os
import re
import shlex
import stat
import subprocess
import tempfile
import threading
import time
from typing import IO, Sequence

from .environment import child_environment
from .runner import QueueError
from .ssh_shell import SHELL_LOOP, RemoteShell, ShellFault, ShellTimeout

# Seconds. A poll over a live master answers in milliseconds; a login takes a few hundred.
CONNECT_TIMEOUT = 10
COMMAND_TIMEOUT = 60.0
# An idle master stays this long after the last call (so that a crashed host leaves none for long).
PERSIST_SECONDS = 120
# A query that lost its connection is tried again this many times, logging in afresh.
RETRIES = 3
# Seconds a remote shell has to start (its login shell's start-up files included) and answer.
SHELL_OPEN_TIMEOUT = 2 * CONNECT_TIMEOUT
# Remote shells that may fail to start one after the other before the connection stops asking for one
# (a login shell that cannot run the loop, say).
SHELL_OPENS = 3

# ssh's own exit status: the remote command's status is passed through otherwise.
SSH_FAILED = 255

_REFUSED = re.compile(r"Permission denied|Too many authentication failures|no mutual signature", re.I)
_HOST_KEY = re.compile(r"Host key verification failed|REMOTE HOST IDENTIFICATION HAS CHANGED|"
                       r"No (?:ED25519|RSA|ECDSA|DSA)? ?host key is known", re.I)
_CHANGED_KEY = re.compile(r"REMOTE HOST IDENTIFICATION HAS CHANGED", re.I)
# The lines of ssh's warning that name the key the server sent.
_FINGERPRINT_LINE = re.compile(r"key sent by the remote host is|^\s*SHA256:|^\s*MD5:", re.I)
_UNREACHABLE = re.compile(r"Could not resolve hostname|Connection refused|Connection timed out|"
                          r"No route to host|Network is unreachable|Operation timed out|"
                          r"Connection closed by|Connection reset|kex_exchange_identification|"
                          r"Broken pipe|mux_client|Control socket|Timeout, server", re.I)


class RemoteError(QueueError):
    """The remote cannot be reached or refused the login; one line that says which and why."""


class ConnectionLost(RemoteError):
    """The connection to the remote failed or did not answer (as opposed to a refused login or a
    host key that does not match): a state that may pass, and that a job on the remote outlives."""


def _control_folder() -> str:
    """A folder for the master connections' sockets that only this user can enter."""
    base = os.environ.get("XDG_RUNTIME_DIR") or tempfile.gettempdir()
    folder = os.path.join(base, f"qorvel-ssh-{os.getuid()}")
    os.makedirs(folder, mode=0o700, exist_ok=True)
    info = os.lstat(folder)
    if not stat.S_ISDIR(info.st_mode) or info.st_uid != os.getuid() or info.st_mode & 0o077:
        # Someone else's folder: a socket there could hand our commands to their connection.
        raise RemoteError(f"the folder {folder} for ssh connections is not private to this user")
    return folder


def remote_words(words: Sequence[str]) -> str:
    """The command line that runs ``words`` on the remote, each one quoted."""
    return " ".join(shlex.quote(str(word)) for word in words)


def script_words(script: str, *args: str) -> list:
    """The words that run the constant shell ``script`` with ``args`` as its $1, $2, ..."""
    return ["sh", "-c", script, "sh", *args]


def _completed(args, returncode: int, stdout: bytes, stderr: bytes) -> subprocess.CompletedProcess:
    """A finished command with text output; ``stdout_bytes`` keeps what the remote wrote: paths in it
    are decoded as the file system has them (os.fsdecode), not with replacement characters."""
    result = subprocess.CompletedProcess(args, returncode, stdout.decode("utf-8", "replace"),
                                         stderr.decode("utf-8", "replace"))
    result.stdout_bytes = stdout
    return result


def _last_line(text: str) -> str:
    lines = [line.strip() for line in (text or "").splitlines() if line.strip()]
    return lines[-1] if lines else ""


class SSHConnection:
    """The ssh client for one remote: ``target`` as ssh understands it (``user@host`` or a Host of
    the ssh configuration), an optional configuration file and further ``-o`` options. ``shell``:
    whether the status polls go to a remote shell kept open (``use_shell`` may change it later)."""

    def __init__(self, name: str, target: str, config_file: str | None = None, options: Sequence[str] = (),
                 shell: bool = True):
        if not target or target.startswith("-"):
            raise RemoteError(f"remote '{name}': '{target}' is not an ssh destination")
        self.name, self.target = name, target
        self.config_file = config_file
        self.options = list(options)
        self._settings: dict | None = None
        # One master per remote and per local host process: closing it never cuts another
        # process's connection. %C is ssh's hash of the local host, remote host, port and user.
        self.control_path = os.path.join(_control_folder(), f"{os.getpid()}-%C")
        self.use_shell = shell
        self._shell: RemoteShell | None = None
        # One command at a time on the shell; a thread that finds it busy goes the ordinary way.
        self._shell_lock = threading.Lock()
        # A command reached the remote the ordinary way since the last failure: a master is up, so a
        # shell may be opened (a refused login or a lost connection is always reported that way).
        self._reached = False
        self._failed_opens = 0

    def ssh_args(self, *extra: str) -> list:
        # For each option ssh keeps the first value it is given, the command line before any file:
        # BatchMode comes first so that nothing can bring a password prompt back; the remote's own
        # options come next, so that they may change the rest.
        args = ["ssh", "-o", "BatchMode=yes"]
        if self.config_file:
            args += ["-F", self.config_file]
        for option in self.options:
            args += ["-o", option]
        for option in (f"ControlPath={self.control_path}", "ControlMaster=auto", f"ControlPersist={PERSIST_SECONDS}",
                       f"ConnectTimeout={CONNECT_TIMEOUT}", "ServerAliveInterval=5", "ServerAliveCountMax=3",
                       "ClearAllForwardings=yes", "ForwardAgent=no", "ForwardX11=no"):
            args += ["-o", option]
        return args + ["-T", *extra]

    # -- running commands --------------------------------------------------------------------

    def run(self, words: Sequence[str], *, stdin: IO[bytes] | None = None, stdout: IO[bytes] | None = None,
            retry: bool = True, timeout: float = COMMAND_TIMEOUT) -> subprocess.CompletedProcess:
        """Runs the words on the remote; returns the finished process (text output unless ``stdout``
        is a file). ``retry``: the command may run twice, so a dropped connection is retried, and
        without ``stdin`` or ``stdout`` it goes to the remote shell kept open when there is one."""
        line = remote_words(words)
        if retry and stdin is None and stdout is None:
            answer = self._shell_answer(line, timeout)
            if answer is not None:
                return answer
        return self.run_line(line, stdin=stdin, stdout=stdout, retry=retry, timeout=timeout)

    def run_line(self, line: str, *, stdin: IO[bytes] | None = None, stdout: IO[bytes] | None = None,
                 retry: bool = True, timeout: float = COMMAND_TIMEOUT) -> subprocess.CompletedProcess:
        """Runs a command line (already quoted) on the remote, as ``run`` does."""
        attempts = 1 + (RETRIES if retry and stdin is None and stdout is None else 0)
        for attempt in range(attempts):
            result = self._once(line, stdin, stdout, timeout)
            problem = self.connection_problem(result)
            if problem is None:
                self._reached = True
                return result
            if attempt + 1 == attempts or not self._worth_retrying(result):
                raise (ConnectionLost if self._connection_failed(result) else RemoteError)(problem)
            time.sleep(0.5 * (attempt + 1))
        raise AssertionError("unreachable")

    def _once(self, line: str, stdin, stdout, timeout: float) -> subprocess.CompletedProcess:
        args = self.ssh_args("--", self.target, line)
        try:
            result = subprocess.run(args, stdin=stdin if stdin is not None else subprocess.DEVNULL,
                                    stdout=stdout if stdout is not None else subprocess.PIPE,
                                    stderr=subprocess.PIPE, timeout=timeout, env=child_environment(),
                                    start_new_session=True)  # the terminal's Ctrl-C is the host's to handle
        except FileNotFoundError:
            raise RemoteError("the ssh client is not installed (Debian package openssh-client)") from None
        except subprocess.TimeoutExpired:
            raise ConnectionLost(f"remote '{self.name}' ({self.target}) did not answer within {timeout:g} s") from None
        # Text for the callers; a file given as ``stdout`` received the bytes themselves.
        return _completed(args, result.returncode, result.stdout if stdout is None else b"", result.stderr)

    # -- the remote shell kept open ----------------------------------------------------------

    def _shell_answer(self, line: str, timeout: float) -> subprocess.CompletedProcess | None:
        """The answer of the remote shell; None when it has none (not wanted, not open yet and not to
        be opened, busy with another thread's command, or failed just now: the caller asks the
        ordinary way, which the command allows since it may run twice)."""
        if not (self.use_shell and self._reached) or not self._shell_lock.acquire(blocking=False):
            return None
        try:
            shell = self._shell or self._open_shell()
            if shell is None:
                return None
            try:
                status, out, err = shell.run(line, timeout)
            except ShellFault as exc:
                self._drop_shell(shell)
                if isinstance(exc, ShellTimeout):  # as a command that hangs the ordinary way
                    raise ConnectionLost(f"remote '{self.name}' ({self.target}) did not answer within "
                                         f"{timeout:g} s") from None
                return None
        finally:
            self._shell_lock.release()
        return _completed(line, status, out, err)

    def _open_shell(self) -> RemoteShell | None:
        if self._failed_opens >= SHELL_OPENS:
            return None
        try:
            self._shell = RemoteShell.open(self.ssh_args("--", self.target, SHELL_LOOP), SHELL_OPEN_TIMEOUT)
        except ShellFault:
            self._failed_opens += 1
            self._reached = False
            return None
        self._failed_opens = 0
        return self._shell

    def _drop_shell(self, shell: RemoteShell) -> None:
        """Closes a shell that failed; the next command goes the ordinary way (logging in again if the
        connection was lost) before a new shell is opened."""
        shell.close(at_once=True)
        self._reached = False
        if self._shell is shell:
            self._shell = None

    def shell_pid(self) -> int | None:
        """The process id, on the remote, of the shell kept open; None when none is."""
        shell = self._shell
        return shell.remote_pid if shell is not None and shell.alive() else None

    def connection_problem(self, result: subprocess.CompletedProcess) -> str | None:
        """One line saying why ssh itself failed, or None when the remote command ran."""
        if result.returncode != SSH_FAILED:
            return None
        err = result.stderr
        where = f"remote '{self.name}' ({self.target})"
        if _CHANGED_KEY.search(err):
            # ssh's own lines name the key it was sent; the user compares them with the cluster's.
            said = [line.strip() for line in err.splitlines() if _FINGERPRINT_LINE.search(line)]
            return (f"{where}: the remote's host key has CHANGED since it was recorded in known_hosts; the login "
                    f"was refused ({' '.join(said)}). If the cluster's administrators changed it, remove the old "
                    f"key with ssh-keygen -R and add the new one; otherwise someone may be in the way")
        if _HOST_KEY.search(err):
            return (f"{where}: host key verification failed; add the remote's host key to known_hosts "
                    f"(the local host never accepts an unchecked key)")
        if _REFUSED.search(err):
            return f"{where} refused the login: {_last_line(err)} (check the key in your ssh configuration)"
        if _UNREACHABLE.search(err):
            return f"{where} is unreachable: {_last_line(err)}"
        if not err.strip() and self.master_pid() is None:
            # A client whose master died says nothing; a command that exits with 255 neither,
            # but its master lives on.
            return f"{where} is unreachable: the connection was lost"
        return None  # the remote command itself exited with 255

    @staticmethod
    def _connection_failed(result: subprocess.CompletedProcess) -> bool:
        """The connection itself failed (a name that did not resolve included: the network may
        be down); the server did not refuse the login or show another host key."""
        return not (_HOST_KEY.search(result.stderr) or _REFUSED.search(result.stderr))

    @staticmethod
    def _worth_retrying(result: subprocess.CompletedProcess) -> bool:
        err = result.stderr
        return not (_HOST_KEY.search(err) or _REFUSED.search(err) or "Could not resolve hostname" in err)

    def settings(self) -> dict:
        """ssh's settings for the target, as ``ssh -G`` prints them (empty when it cannot say)."""
        if self._settings is None:
            try:
                result = subprocess.run(self.ssh_args("-G", "--", self.target), capture_output=True, text=True,
                                        stdin=subprocess.DEVNULL, env=child_environment(), timeout=COMMAND_TIMEOUT)
            except (OSError, subprocess.TimeoutExpired):
                result = None
            lines = result.stdout.splitlines() if result is not None and result.returncode == 0 else []
            self._settings = dict(line.partition(" ")[::2] for line in lines)
        return self._settings

    def hostname(self) -> str:
        """The host name that ssh connects to for the target (its configuration resolves aliases)."""
        return self.settings().get("hostname") or self.target.rsplit("@", 1)[-1]

    def unchecked_host_key(self) -> str | None:
        """A warning when the user's ssh configuration accepts host keys unchecked; None otherwise.
        The local host never relaxes the check itself, but it says when the configuration does."""
        value = self.settings().get("stricthostkeychecking", "").lower()
        if value not in ("no", "off", "false", "accept-new"):
            return None
        what = "accepts the host key of a server it has not met" if value == "accept-new" else \
            "accepts any host key, even a changed one"
        return (f"remote '{self.name}' ({self.target}): the ssh configuration sets StrictHostKeyChecking {value}, so "
                f"ssh {what}; set it to yes to have every host key checked")

    # -- the master connection ---------------------------------------------------------------

    def master_pid(self) -> int | None:
        """The process id of the live master connection, or None."""
        result = subprocess.run(self.ssh_args("-O", "check", "--", self.target), capture_output=True, text=True,
                                stdin=subprocess.DEVNULL, env=child_environment(), timeout=COMMAND_TIMEOUT)
        match = re.search(r"pid=(\d+)", result.stderr)
        return int(match.group(1)) if result.returncode == 0 and match else None

    def close(self) -> None:
        """Ends the remote shell and the master connection (the remote's jobs keep running)."""
        shell, self._shell = self._shell, None
        self._reached = False
        if shell is not None:
            shell.close()
        if self.master_pid() is not None:
            subprocess.run(self.ssh_args("-O", "exit", "--", self.target), capture_output=True,
                           stdin=subprocess.DEVNULL, env=child_environment(), timeout=COMMAND_TIMEOUT)

    def __repr__(self) -> str:
        return f"SSHConnection({self.name!r}, {self.target!r})"
