"""One remote shell kept open over the master connection, answering one command at a time.

Every command sent over ssh starts a login shell on the remote, and that shell reads its start-up
files (on many clusters ``~/.bashrc`` loads modules or a Python environment: a few hundred
milliseconds) before it runs the command. A ``RemoteShell`` pays that once: it is the remote's
login shell running a small loop that reads a command, runs it in a subshell and reports its exit
status, for as long as the local host keeps it.

A command travels as lines between two copies of a marker made for it alone (128 random bits, never
found in the command): the shell collects the lines up to the closing marker and runs them with
``eval`` in a subshell whose standard input is /dev/null, so ``exit``, ``cd`` or a variable of one
command never reaches the next. Its standard output and standard error stay apart, on ssh's two
streams, each framed by the same marker: the marker alone on a line before the command runs, and
after it a line break, the marker and the exit status. Output that looks like a marker cannot end
a frame, since no one but this process knows the marker in advance; output before a frame opens or
after it closes (something writing out of turn) makes the frame void.

A shell that ended, did not answer in time or answered out of frame is closed at once and raises
``ShellFault``; the caller runs the command the ordinary way instead.
"""

from __future__ import annotations

import os
import re
import secrets
import selectors
import subprocess
import threading
import time
from typing import Sequence

from .environment import child_environment

# What the remote's login shell runs (as ssh's remote command, so its start-up files are read as for
# any other command). The command's lines arrive after a marker line and end at the marker again; a
# command cut short by the end of the input is never run.
SHELL_LOOP = r"""while IFS= read -r m; do
  c= ok=
  while IFS= read -r l; do
    if [ "$l" = "$m" ]; then ok=1; break; fi
    c="$c$l
"
  done
  [ -n "$ok" ] || exit 0
  printf '%s\n' "$m"; printf '%s\n' "$m" >&2
  (unset l m ok; eval "$c") </dev/null
  s=$?
  printf '\n%s %s\n' "$m" "$s"; printf '\n%s %s\n' "$m" "$s" >&2
done"""

# Seconds a shell has to end by itself once its input is closed.
CLOSE_SECONDS = 2.0
_CHUNK = 1 << 16


class ShellFault(Exception):
    """The shell ended, answered out of frame or did not answer in time; it has been closed."""


class ShellTimeout(ShellFault):
    """The command did not answer within its time (it may still run on the remote)."""


class _Frame:
    """One stream's frame of one command's answer, filled as its bytes arrive. ``preamble``: what
    comes before the frame opens is dropped (the shell's first answer follows whatever its start-up
    files printed)."""

    def __init__(self, marker: bytes, preamble: bool = False):
        self.opening = marker + b"\n"
        self._closing = re.compile(re.escape(b"\n" + marker + b" ") + rb"(\d+)\n")
        self._data = bytearray()
        self._preamble = preamble
        self.body: bytes | None = None
        self.status: int | None = None

    def feed(self, chunk: bytes) -> None:
        seen = len(self._data)
        self._data += chunk
        if self._preamble:
            opened = self._data.find(self.opening)
            if opened < 0:
                return
            del self._data[:opened]
            self._preamble, seen = False, 0
        if self._data[:len(self.opening)] != self.opening[:len(self._data)]:
            raise ShellFault("the remote shell wrote out of turn")
        # Only the new bytes and the end of the old ones can hold the closing line.
        start = max(len(self.opening), seen - len(self.opening) - 24)
        closed = self._closing.search(self._data, start)
        if closed is None:
            return
        if closed.end() != len(self._data):
            raise ShellFault("the remote shell wrote after a command's answer")
        self.body = bytes(self._data[len(self.opening):closed.start()])
        self.status = int(closed.group(1))


def new_marker(line: str) -> str:
    """A marker for the command ``line``: random, and not a part of it."""
    while True:
        marker = f"qorvel-{secrets.token_hex(16)}"
        if marker not in line:
            return marker


class RemoteShell:
    """The loop running on the remote, started with the ssh command line ``args`` (whose remote
    command is ``SHELL_LOOP``). One command at a time (a second waits for the first); a close may
    come from any thread."""

    def __init__(self, args: Sequence[str]):
        self._process = subprocess.Popen(list(args), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, env=child_environment(),
                                         start_new_session=True)  # the terminal's Ctrl-C is the host's
        for stream in (self._process.stdout, self._process.stderr):
            os.set_blocking(stream.fileno(), False)
        self.remote_pid: int | None = None
        # Held while a command is under way, so that a close from another thread leaves the pipes to it.
        self._turn = threading.RLock()

    @classmethod
    def open(cls, args: Sequence[str], timeout: float) -> "RemoteShell":
        """Starts the shell and waits for its first answer (its process id on the remote)."""
        try:
            shell = cls(args)
        except OSError as exc:
            raise ShellFault(f"cannot start ssh: {exc}") from None
        status, out, _ = shell.run('echo "$$"', timeout, preamble=True)
        if status != 0 or not out.strip().isdigit():
            shell.close()
            raise ShellFault("the remote's login shell does not run the command loop")
        shell.remote_pid = int(out)
        return shell

    def alive(self) -> bool:
        return self._process.poll() is None

    def run(self, line: str, timeout: float, preamble: bool = False) -> tuple[int, bytes, bytes]:
        """Runs the command ``line`` (quoted as for ``sh -c``); returns its exit status, standard
        output and standard error. Raises ``ShellFault`` (``ShellTimeout`` after ``timeout``
        seconds), having closed the shell, when no sound answer came."""
        marker = new_marker(line)
        with self._turn:
            try:
                self._send(os.fsencode(f"{marker}\n{line}\n{marker}\n"))
                out, err = self._answer(marker.encode(), time.monotonic() + timeout, preamble)
            except (OSError, ValueError) as exc:  # the pipes closed under a select or a read
                self.close(at_once=True)
                raise ShellFault(f"the remote shell has ended ({exc})") from None
            except ShellFault:
                self.close(at_once=True)
                raise
        return out.status, out.body, err.body

    def _send(self, data: bytes) -> None:
        try:
            self._process.stdin.write(data)
            self._process.stdin.flush()
        except (BrokenPipeError, ValueError, OSError):
            raise ShellFault("the remote shell has ended") from None

    def _answer(self, marker: bytes, deadline: float, preamble: bool) -> tuple[_Frame, _Frame]:
        frames = {self._process.stdout: _Frame(marker, preamble), self._process.stderr: _Frame(marker, preamble)}
        with selectors.DefaultSelector() as selector:
            for stream in frames:
                selector.register(stream, selectors.EVENT_READ)
            waiting = len(frames)
            while waiting:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise ShellTimeout("the remote shell did not answer in time")
                for key, _ in selector.select(remaining):
                    try:
                        chunk = os.read(key.fd, _CHUNK)
                    except BlockingIOError:  # woken with nothing to read after all
                        continue
                    if not chunk:
                        raise ShellFault("the remote shell has ended")
                    frame = frames[key.fileobj]
                    frame.feed(chunk)
                    if frame.status is not None:
                        selector.unregister(key.fileobj)
                        waiting -= 1
        return frames[self._process.stdout], frames[self._process.stderr]

    def close(self, at_once: bool = False) -> None:
        """Ends the shell: its input is closed and the loop ends by itself, or (``at_once``, or
        when it does not end in a moment) the ssh client is killed. Idempotent. While another thread's
        command is under way the client is killed at once; that thread sees the shell end and closes
        the rest."""
        process = self._process
        if not self._turn.acquire(timeout=0 if at_once else CLOSE_SECONDS):
            process.kill()
            return
        try:
            if process.poll() is None and not at_once:
                try:
                    process.stdin.close()
                    process.wait(CLOSE_SECONDS)
                except (OSError, subprocess.TimeoutExpired):
                    pass
            if process.poll() is None:
                process.kill()
            process.wait()
            for stream in (process.stdin, process.stdout, process.stderr):
                try:
                    stream.close()
                except OSError:
                    pass
        finally:
            self._turn.release()
