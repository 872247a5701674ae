"""A headless Chromium driven over the DevTools protocol on --remote-debugging-pipe (standard library only).

The browser reads commands from its fd 3 and writes replies and events to its fd 4, each message
one JSON text ended by a NUL byte.
"""

from __future__ import annotations

import base64
import json
import os
import select
import shutil
import subprocess
import tempfile
import time

from QorvelAPI.devhost.environment import child_environment

CHROMIUM = "/usr/lib/chromium/chromium"
# WebGL (the viewer) draws through SwiftShader; the page itself is composited in software, which
# costs the GPU process about a third less CPU per page load than compositing through SwiftShader.
FLAGS = ["--headless", "--no-sandbox", "--enable-unsafe-swiftshader", "--use-angle=swiftshader",
         "--disable-gpu-compositing", "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--remote-debugging-pipe"]


class BrowserError(Exception):
    pass


def _spawn_with_pipe(command: list[str], to_browser: int, from_browser: int) -> subprocess.Popen:
    """Starts ``command`` with ``to_browser`` as its fd 3 and ``from_browser`` as its fd 4.

    The descriptors are moved in the child, by the shell that then becomes the browser (bash: dash
    takes one-digit descriptors only). This process's own fds 3 and 4 are never touched: in a
    pytest-xdist worker they carry the worker's channel to the controller, which another thread
    reads at any moment.
    """
    move = f'exec "$@" 3<&{to_browser} 4>&{from_browser} {to_browser}<&- {from_browser}>&-'
    # Without a sanitizer runtime that the test run may have preloaded into this process.
    return subprocess.Popen(["/bin/bash", "-c", move, "bash", *command], pass_fds=(to_browser, from_browser),
                            stdin=subprocess.DEVNULL, env=child_environment(),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Browser:
    """One headless browser with one page; ``call`` sends a command and returns its result."""

    def __init__(self, width: int = 800, height: int = 560, binary: str = CHROMIUM):
        self.profile = tempfile.mkdtemp(prefix="qorvel-chromium-")
        command_read, self._command_write = os.pipe()
        self._reply_read, reply_write = os.pipe()
        command = [binary, *FLAGS, f"--user-data-dir={self.profile}", f"--window-size={width},{height}",
                   "about:blank"]
        try:
            self.process = _spawn_with_pipe(command, command_read, reply_write)
        finally:
            os.close(command_read)
            os.close(reply_write)
        self._buffer = b""
        self._next_id = 0
        self.events: list[dict] = []
        self.console: list[str] = []
        target = next(t for t in self.call("Target.getTargets")["targetInfos"] if t["type"] == "page")
        self.session = self.call("Target.attachToTarget", targetId=target["targetId"], flatten=True)["sessionId"]
        for domain in ("Page", "Runtime"):
            self.page(f"{domain}.enable")

    # -- the protocol ----------------------------------------------------------------------------

    def _read_message(self, deadline: float) -> dict:
        while b"\0" not in self._buffer:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([self._reply_read], [], [], remaining)[0]:
                raise BrowserError("the browser did not answer in time")
            chunk = os.read(self._reply_read, 1 << 20)
            if not chunk:
                raise BrowserError("the browser closed its pipe")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def _keep_event(self, message: dict) -> None:
        if message.get("method") == "Runtime.consoleAPICalled":
            args = message["params"].get("args", [])
            self.console.append(" ".join(str(a.get("value", a.get("description", ""))) for a in args))
        elif message.get("method") == "Runtime.exceptionThrown":
            self.console.append("exception: " + json.dumps(message["params"]["exceptionDetails"])[:2000])
        else:
            self.events.append(message)

    def call(self, method: str, session: str | None = None, timeout: float = 60.0, **params) -> dict:
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self._command_write, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            reply = self._read_message(deadline)
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise BrowserError(f"{method}: {reply['error'].get('message')}")
                return reply.get("result", {})
            self._keep_event(reply)

    def page(self, method: str, timeout: float = 60.0, **params) -> dict:
        return self.call(method, self.session, timeout, **params)

    def wait_event(self, method: str, timeout: float = 60.0) -> dict:
        deadline = time.monotonic() + timeout
        while True:
            for index, event in enumerate(self.events):
                if event.get("method") == method:
                    return self.events.pop(index)
            self._keep_event(self._read_message(deadline))

    # -- what the tests use ----------------------------------------------------------------------

    def navigate(self, url: str, timeout: float = 60.0) -> None:
        self.events.clear()
        self.page("Page.navigate", url=url)
        self.wait_event("Page.loadEventFired", timeout)

    def evaluate(self, expression: str, timeout: float = 60.0):
        """The value of a JavaScript expression (a promise is awaited)."""
        result = self.page("Runtime.evaluate", timeout=timeout + 5, expression=expression, awaitPromise=True,
                           returnByValue=True)
        if "exceptionDetails" in result:
            details = result["exceptionDetails"]
            text = details.get("exception", {}).get("description") or details.get("text")
            raise BrowserError(f"{text}\nconsole:\n" + "\n".join(self.console[-20:]))
        return result["result"].get("value")

    def wait_for(self, condition: str, timeout: float = 60.0):
        """Waits inside the page until ``condition`` (a JavaScript expression) is truthy; returns its value."""
        script = f"""new Promise((resolve, reject) => {{
            const started = performance.now();
            const tick = () => {{
                let value;
                try {{ value = ({condition}); }} catch (error) {{ value = undefined; }}
                if (value) return resolve(value);
                if (performance.now() - started > {timeout * 1000}) return reject(new Error("timed out waiting for: " + {json.dumps(condition)}));
                requestAnimationFrame(tick);
            }};
            tick();
        }})"""
        return self.evaluate(script, timeout)

    def screenshot(self, path: str, selector: str | None = None) -> None:
        """A PNG of the page, or of one element of it (all of it, also beyond the window)."""
        params = {"format": "png"}
        if selector:
            box = self.evaluate(f"(() => {{ const r = document.querySelector({json.dumps(selector)})"
                                f".getBoundingClientRect(); return [r.x + scrollX, r.y + scrollY, r.width, r.height]; }})()")
            params.update(clip=dict(zip(("x", "y", "width", "height"), box), scale=1), captureBeyondViewport=True)
        data = self.page("Page.captureScreenshot", **params)["data"]
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as handle:
            handle.write(base64.b64decode(data))

    def close(self) -> None:
        try:
            self.call("Browser.close", timeout=10)
        except (BrowserError, OSError):
            pass
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self._command_write)
        os.close(self._reply_read)
        shutil.rmtree(self.profile, ignore_errors=True)
