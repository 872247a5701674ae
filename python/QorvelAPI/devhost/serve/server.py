"""The HTTP side of ``qorvel-plugin serve``: the page, its API, the plugin's pages and files.

Routes:

- ``/`` the page; ``/static/...`` its scripts, styles and the Mol* bundle;
- ``GET /api/plugin`` what ``check`` reports (problems included), the block dictionaries that
  ``describe`` prints, the pages, the preset flows and each variable type's control;
- ``POST /api/check`` checks values for a block; ``POST /api/run`` runs a block or a preset
  flow (409 while a run is going); ``GET /api/run`` the latest run's events;
  ``GET /api/events`` the same as server-sent events, then new ones as they happen;
- ``GET /api/flows`` the preset flows and the flows of the runs folder; ``GET /api/flows/<savedID>``
  one of them, the JSON of its file; ``PUT /api/flows/<savedID>`` checks and saves an edited flow
  (see ``flows_api``); ``POST /api/connection`` whether the editor may add a connection;
  ``GET /api/viewer`` the viewer-operation catalogue of ``QorvelAPI.molstar`` (which message
  types the page replays after a session);
- ``/plugins/pages/<registered page id>/...`` the plugin's extension pages and endpoints;
- ``/files/plugin/...`` and ``/files/run/...`` files of the plugin folder and of the latest run's
  folder (molecules for the viewer).

Only paths inside the served folders are answered; ``security`` says which requests are answered
at all (this server's names, its own page, its token).
"""

from __future__ import annotations

import json
import mimetypes
import os
import socket
import sys
import threading
import traceback
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import parse_qs, unquote, urlsplit

from ... import molstar

from ..flow import Flow, FlowError
from ..loader import one_line, plugin_traceback
from ..presets import find_preset
from ..run import HostError, LocalHost
from . import pages as page_host
from ..remote_config import LOCAL, RemoteConfigError, load_remotes
from .flows_api import FlowLibrary, FlowRefused
from ..values import ValueCheckError, check_value
from ..safe_files import PAGE_FILE, SERVED_FILE, FileKind, FileRefused, TooDeep, load_json, read_bytes
from ..vartypes import page_table
from .request_shapes import check_block_request, check_run_request
from .security import Guard, Refused, resolve_inside
from .session import EventLog, RunBusy, RunSession, terminal_line

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
TYPES = {".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8",
         ".mjs": "text/javascript; charset=utf-8", ".css": "text/css; charset=utf-8",
         ".json": "application/json", ".svg": "image/svg+xml", ".png": "image/png",
         ".txt": "text/plain; charset=utf-8", ".pdb": "text/plain; charset=utf-8",
         ".cif": "text/plain; charset=utf-8", ".sdf": "text/plain; charset=utf-8",
         ".mol2": "text/plain; charset=utf-8", ".xyz": "text/plain; charset=utf-8"}
MAX_BODY = 16 * 1024 * 1024


def content_type(path: str) -> str:
    extension = os.path.splitext(path)[1].lower()
    return TYPES.get(extension) or mimetypes.guess_type(path)[0] or "application/octet-stream"


def within(root: str | None, path: str) -> str | None:
    """``path`` relative to ``root`` when it lies inside it (after resolving links), else None."""
    if not root:
        return None
    base, target = os.path.realpath(root), os.path.realpath(path)
    return os.path.relpath(target, base) if target.startswith(base + os.sep) else None


def _value_problems(block, variables, values: dict, role: str) -> list[str]:
    """The local host's value checks (those of ``run``), every fault rather than the first."""
    declared = {v.id: v for v in variables}
    problems = []
    for key, value in values.items():
        if key not in declared:
            problems.append(f"block {block.id} has no {role} '{key}' ({role}s: {', '.join(declared) or 'none'})")
            continue
        try:
            check_value(block, declared[key], value, role, warn=lambda message: None)
        except ValueCheckError as exc:
            problems.append(str(exc))
    return problems


class ServeApp:
    """Everything the handler answers from: the loaded plugin (or its load problems) and the run session."""

    def __init__(self, loaded, problems: list, info: dict | None, session: RunSession | None, lean: bool = False):
        self.loaded = loaded
        self.problems = problems
        self.info = info
        self.session = session
        self.events = session.events if session is not None else EventLog()  # runs' events and reloads
        self.lean = lean
        self.generation = 0  # how many times the plugin was loaded again since the server started
        self.options = None  # how the plugin was loaded (see serve.build_app)
        # Held while the plugin is loaded again, which redirects the process's output and the
        # shared logger as a run does: a run does not start meanwhile (see serve.watch_plugin).
        self.loading = threading.Lock()
        self.guard: Guard | None = None
        self.flows: FlowLibrary | None = None
        self.log = lambda line: print(line, file=sys.stderr, flush=True)

    def bind(self, host: str, port: int, token: bool = False, allow_hosts=()) -> None:
        self.guard = Guard(host, port, token, allow_hosts)

    # -- the catalogue ---------------------------------------------------------------------------

    def plugin_document(self) -> dict:
        plugin = self.loaded.plugin if self.loaded else None
        # The page builds each variable's control from the host's type table, not a list of its own.
        document: dict[str, Any] = {"problems": [p.toDict() for p in self.problems], "lean": self.lean,
                                    "types": page_table(), "generation": self.generation}
        if plugin is None:
            return {**document, "plugin": None, "blocks": [], "pages": [], "flows": []}
        document["plugin"] = self.info["plugin"]
        document["queue"] = self.session.queue.description
        document["blocks"] = [block._toDict() for block in plugin._blocks]
        document["pages"] = [{"id": p.id, "name": p.name, "description": p.description, "hidden": bool(p.hidden),
                              "url": page_host.page_url(p),
                              "endpoints": [{"url": f"/plugins/pages/{p.id}{e.url}", "methods": list(e.methods)}
                                            for e in p.endpoints]} for p in plugin._pages]
        document["flows"] = self.info["flows"]
        document["remotes"] = remote_names()
        return document

    def check_request(self, request: dict) -> list[str]:
        """What is wrong with the values typed for a block, one message each (none: they can run)."""
        check_block_request(request)
        block = self._declared(request["block"])
        variables = request.get("variables") or {}
        inputs = request.get("inputs") or {}
        group = block._inputGroups.get(request.get("inputGroup") or block.selectedInputGroup)
        return (_value_problems(block, block._variables, variables, "variable")
                + _value_problems(block, group.variables if group is not None else [], inputs, "input"))

    def _declared(self, block_id: str):
        if self.loaded is None:
            raise Refused(409, "the plugin did not load; nothing can run")
        for block in self.loaded.plugin._blocks:
            if block.id == block_id:
                return block
        raise Refused(404, f"no block '{block_id}' in plugin {self.loaded.plugin.id}")

    # -- runs ------------------------------------------------------------------------------------

    def run_request(self, request: dict) -> dict:
        if self.loaded is None:
            raise Refused(409, "the plugin did not load; nothing can run")
        if self.session.running:
            raise Refused(409, "a run is already going; wait for it to end")
        check_run_request(request)
        if request.get("document") is not None:
            try:
                flow = self.flows.runnable(request["document"])
            except FlowRefused as exc:
                raise Refused(400, str(exc)) from None
            kind = "flow"
        elif request.get("flow") is not None:
            flow = self._preset_flow(str(request["flow"]))
            self._apply_edits(flow, request.get("values") or {})
            kind = "flow"
        else:
            problems = self.check_request(request)
            if problems:
                raise Refused(400, "; ".join(problems))
            host = self.session_host()
            group = request.get("inputGroup")
            if group == self._declared(str(request["block"])).selectedInputGroup:
                group = None  # the block's own selection needs no block state
            try:
                flow = host.adhoc_flow(str(request["block"]), request.get("variables") or {},
                                       request.get("inputs") or {}, group)
                host.check_flow(flow)  # refused here as a preset flow is, not once the run has started
            except (HostError, FlowError) as exc:
                raise Refused(400, str(exc)) from None
            kind = "block"
        try:
            with self.loading:
                return self.session.start(flow, kind)
        except RunBusy as exc:
            raise Refused(409, str(exc)) from None

    def session_host(self) -> LocalHost:
        """A local host for checking flows and building one-block flows (the runs make their own)."""
        return LocalHost(self.loaded, queue=self.session.queue)

    def _preset_flow(self, wanted: str) -> Flow:
        # The preset flows listed when the plugin was loaded (reading them again would log on the
        # shared logger from this thread while a run may be collecting what it logs).
        entry = find_preset(self.info["flows"], wanted)
        if entry is None:
            raise Refused(404, f"no preset flow named '{wanted}'")
        try:
            flow = Flow.read(entry["path"])
            self.session_host().check_flow(flow)
        except FlowError as exc:
            raise Refused(400, str(exc)) from None
        return flow

    def _apply_edits(self, flow: Flow, values: dict) -> None:
        """Values edited on the page, by block: they reach every placement of that block."""
        if not isinstance(values, dict):
            raise Refused(400, "\"values\" must be an object of blocks")
        problems = []
        for block_id, edits in values.items():
            if not isinstance(edits, dict):
                raise Refused(400, f"values of block {block_id} must be an object")
            problems += [f"{block_id}: {p}" for p in self.check_request({**edits, "block": block_id})]
            for placed in flow.blocks:
                if placed.blockID == block_id:
                    flow.variableValues.setdefault(placed.placedID, {}).update(edits.get("variables") or {})
                    placed.inputs.update(edits.get("inputs") or {})
        if problems:
            raise Refused(400, "; ".join(problems))

    def file_url(self, path: str) -> str | None:
        """The URL under which the viewer may fetch a molecule file, or None outside the served folders."""
        plugin_root = self.loaded.plugin._path
        for prefix, root in (("/files/run/", self.session.run_folder), ("/files/plugin/", plugin_root)):
            relative = within(root, path)
            if relative is not None:
                return prefix + "/".join(relative.split(os.sep))
        return None

    # -- pages and endpoints -----------------------------------------------------------------------

    def find_page(self, page_id: str):
        for page in (self.loaded.plugin._pages if self.loaded else []):
            if page.id == page_id:
                return page
        raise Refused(404, f"no page '{page_id}'")

    def answer_endpoint(self, page, endpoint, method: str, query: str, body: bytes, kind: str) -> page_host.Reply:
        if method not in [str(m).upper() for m in endpoint.methods]:
            raise Refused(405, f"method {method} not allowed for {endpoint.url} "
                               f"(allowed: {', '.join(endpoint.methods)})")
        try:
            arguments = page_host.endpoint_arguments(query, body, kind)
            # Not inside collect_problems: it rewires the shared logger, and a run may be doing that now.
            return page_host.call_endpoint(endpoint, arguments)
        except page_host.EndpointRefused as exc:
            raise Refused(exc.status, str(exc)) from None
        except Exception as exc:
            message = f"endpoint {endpoint.url} of page {page.id} raised {one_line(exc)}"
            self.log(f"error: {message}\n{plugin_traceback(exc, self.loaded.plugin._path)}")
            raise Refused(500, message) from None


def remote_names() -> list[str]:
    """The remotes a placement can select: Local and those of the remotes file."""
    try:
        return [LOCAL, *sorted(load_remotes())]
    except RemoteConfigError:
        return [LOCAL]


class Handler(BaseHTTPRequestHandler):
    server_version = "qorvel-plugin-serve"
    protocol_version = "HTTP/1.1"
    timeout = 60  # seconds a connection may stay silent: an idle client does not hold a thread for ever
    live: "LiveApp"  # set on the subclass that make_server() builds
    app: ServeApp  # the app a request is answered from: the live one when the request came

    # -- plumbing ------------------------------------------------------------------------------

    def log_message(self, format: str, *args) -> None:  # noqa: A002 - the base class's name
        if getattr(self.app, "verbose", False):
            super().log_message(format, *args)

    def log_request(self, code: Any = "-", size: Any = "-") -> None:
        """One line per request on the terminal (the process's own stderr: a running block's
        stderr is captured for its logs)."""
        status = getattr(code, "value", code)
        terminal_line(f"{self.command} {self.path} {status}")

    def _send(self, status: int, body: bytes, kind: str, extra: dict | None = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Cache-Control", "no-store")
        for key, value in (extra or {}).items():
            self.send_header(key, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _json(self, status: int, value: Any) -> None:
        self._send(status, json.dumps(value).encode(), "application/json")

    def _error(self, status: int, message: str) -> None:
        self.close_connection = True  # a refused request's body may be left unread
        extra = {"Allow": getattr(self, "_allow", "")} if status == 405 else None
        self._send(status, json.dumps({"error": message}).encode(), "application/json", extra)

    def _body(self) -> bytes:
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            raise Refused(400, "Content-Length is not a number") from None
        if length > MAX_BODY:
            raise Refused(413, "request body too large")
        return self.rfile.read(length) if length > 0 else b""

    def _json_body(self) -> dict:
        try:
            value = load_json(self._body() or b"{}")
        except TooDeep as exc:
            raise Refused(400, f"the request body cannot be read: {exc}") from None
        except ValueError:
            raise Refused(400, "the request body is not JSON") from None
        if not isinstance(value, dict):
            raise Refused(400, "the request body must be a JSON object")
        return value

    def _dispatch(self) -> None:
        self.app = self.live.current  # one app for the whole request, whatever a reload swaps in meanwhile
        try:
            parts = urlsplit(self.path)
            path = unquote(parts.path)
            redirect = self.app.guard.admit(self.command, path, parts.query, self.headers)
            if redirect is not None:
                return self._send(303, b"", "text/plain; charset=utf-8", redirect)
            self._route(path, parts.query)
        except Refused as exc:
            self._error(exc.status, str(exc))
        except (BrokenPipeError, ConnectionResetError, TimeoutError):
            self.close_connection = True
        except Exception as exc:  # our own fault: short message to the client, traceback to the log
            self.app.log("error: internal error of the local host while answering "
                         f"{self.command} {self.path}:\n{traceback.format_exc()}")
            self._error(500, f"internal error of the local host: {one_line(exc)}")

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = do_HEAD = _dispatch

    # -- routes --------------------------------------------------------------------------------

    def _route(self, path: str, query: str) -> None:
        method = self.command if self.command != "HEAD" else "GET"
        if path.startswith("/plugins/pages/"):
            return self._page(path[len("/plugins/pages/"):], method, query)
        if path == "/api/flows" or path.startswith("/api/flows/") or path == "/api/connection":
            return self._flows(path, method, query)
        routes = {("GET", "/"): lambda: self._file(STATIC, "index.html"),
                  ("GET", "/api/plugin"): lambda: self._json(200, self.app.plugin_document()),
                  ("GET", "/api/viewer"): lambda: self._json(200, {"operations": molstar._messageCatalogue()}),
                  ("GET", "/api/run"): self._run_state,
                  ("GET", "/api/events"): self._events,
                  ("POST", "/api/check"): lambda: self._json(200, {"problems": self.app.check_request(
                      self._json_body())}),
                  ("POST", "/api/run"): lambda: self._json(202, self.app.run_request(self._json_body()))}
        if (method, path) in routes:
            return routes[(method, path)]()
        known = [m for (m, p) in routes if p == path]
        if known:
            self._allow = ", ".join(known)
            raise Refused(405, f"method {method} not allowed for {path}")
        for prefix, root in (("/static/", STATIC), ("/files/plugin/", self._plugin_root()),
                             ("/files/run/", self.app.session.run_folder if self.app.session else None)):
            if path.startswith(prefix):
                if method != "GET":
                    self._allow = "GET"
                    raise Refused(405, f"method {method} not allowed for {path}")
                if root is None:
                    raise Refused(404, "nothing is served there yet")
                return self._file(root, path[len(prefix):], SERVED_FILE, sandboxed=prefix.startswith("/files/"))
        raise Refused(404, f"not found: {path}")

    def _flows(self, path: str, method: str, query: str) -> None:
        library = self.app.flows
        if library is None:
            raise Refused(409, "the plugin did not load; it has no flows")
        saved_id = path[len("/api/flows/"):] if path.startswith("/api/flows/") else None
        allowed = "POST" if path == "/api/connection" else "GET" if saved_id is None else "GET, PUT"
        if method not in allowed.split(", "):
            self._allow = allowed
            raise Refused(405, f"method {method} not allowed for {path}")
        wanted = {key: values[-1] for key, values in parse_qs(query).items()}
        try:
            if path == "/api/connection":
                request = self._json_body()
                problems = library.connection_check(request.get("flow"), request.get("connection"))
                return self._json(200, {"allowed": not problems, "problems": problems})
            if saved_id is None:
                return self._json(200, library.entries())
            if method == "GET":
                return self._send(200, library.document_bytes(saved_id, wanted.get("path")), "application/json")
            return self._json(200, library.save(saved_id, self._json_body(), wanted.get("copy")))
        except FlowRefused as exc:
            self.close_connection = True
            self._json(exc.status, {"problems": exc.problems})

    def _plugin_root(self) -> str | None:
        return self.app.loaded.plugin._path if self.app.loaded else None

    def _file(self, root: str, relative: str, kind: FileKind = PAGE_FILE, sandboxed: bool = False) -> None:
        """A file of a served folder. ``sandboxed``: a file a plugin or a run wrote, whose HTML must
        not run scripts as this server's own page."""
        target = resolve_inside(root, relative)
        if not os.path.exists(target) or os.path.isdir(target):
            raise Refused(404, f"not found: {relative}")
        try:
            body = read_bytes(target, kind)
        except FileRefused as exc:
            raise Refused(403, f"not served: {relative}: {exc}") from None
        except OSError as exc:
            raise Refused(404, f"not found: {relative} ({exc.strerror or exc})") from None
        extra = {"Content-Security-Policy": "sandbox"} if sandboxed else None
        self._send(200, body, content_type(target), extra)

    def _page(self, rest: str, method: str, query: str) -> None:
        page_id, slash, tail = rest.partition("/")
        page = self.app.find_page(page_id)
        endpoint = page_host.find_endpoint(page, "/" + tail if slash else "")
        if endpoint is not None:
            self._allow = ", ".join(endpoint.methods)
            reply = self.app.answer_endpoint(page, endpoint, method, query, self._body(),
                                             self.headers.get("Content-Type", ""))
            return self._send(reply.status, reply.body, reply.content_type)
        if method != "GET":
            self._allow = "GET"
            raise Refused(405, f"method {method} not allowed for a page file")
        if not slash:  # relative URLs of the page resolve below its folder
            return self._send(301, b"", "text/plain", {"Location": page_host.page_url(page)})
        self._file(page_host.pages_folder(self.app.loaded.plugin), tail or page.html)

    def _run_state(self) -> None:
        session = self.app.session
        events = session.events.snapshot() if session else []
        self._json(200, {"running": bool(session and session.running), "events": events})

    def _events(self) -> None:
        """Server-sent events: the latest run's events, then each new one as it happens (reloads
        of the plugin included)."""
        events = self.app.events
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        try:
            last = int(self.headers.get("Last-Event-ID") or 0)
        except ValueError:
            last = 0
        self.wfile.write(b"retry: 1000\n\n")
        self.wfile.flush()
        while not events.closed:
            fresh = events.since(last, timeout=15.0)
            if not fresh:
                self.wfile.write(b": keep-alive\n\n")
            for event in fresh:
                payload = json.dumps(event["data"])
                self.wfile.write(f"id: {event['id']}\nevent: {event['event']}\ndata: {payload}\n\n".encode())
                last = event["id"]
            self.wfile.flush()


class Server(ThreadingHTTPServer):
    """A thread per connection, at most MAX_THREADS at once: further connections wait in the listen
    queue (which holds far more than the standard library's 5) until a thread is free."""

    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 256
    MAX_THREADS = 64

    def __init__(self, *args, **kwargs):
        self._free = threading.BoundedSemaphore(self.MAX_THREADS)
        super().__init__(*args, **kwargs)

    def process_request(self, request, client_address):
        self._free.acquire()
        slot = _Slot(self._free)

        def serve_one():
            try:
                self.process_request_thread(request, client_address)
            finally:
                slot.give_back()

        thread = threading.Thread(target=serve_one, daemon=True)
        try:
            thread.start()
        except BaseException:
            # The thread did not start (it gives its slot back itself otherwise), or a stop signal
            # landed while it started: either way the exception, not the slot count, must go on.
            slot.give_back()
            raise


class _Slot:
    """One held slot of the server's thread count, given back once however many paths try."""

    def __init__(self, semaphore: threading.BoundedSemaphore):
        self._semaphore = semaphore
        self._lock = threading.Lock()
        self._held = True

    def give_back(self) -> None:
        with self._lock:
            if self._held:
                self._held = False
                self._semaphore.release()


class LiveApp:
    """The app that answers the requests that come next (``serve.watch_plugin`` swaps in a
    reloaded one: one assignment, so a request sees the old app or the new one, never a mix)."""

    def __init__(self, app: ServeApp):
        self.current = app


def make_server(app: ServeApp, host: str, port: int, token: bool = False, allow_hosts=()) -> Server:
    """The server, listening; off loopback (or with ``token``) every request needs its token.
    ``server.live`` holds the app that answers."""
    live = LiveApp(app)
    handler = type("BoundHandler", (Handler,), {"live": live, "app": app})
    kind = type("Server6", (Server,), {"address_family": socket.AF_INET6}) if ":" in host else Server
    server = kind((host, port), handler)
    server.live = live
    app.bind(host, server.server_address[1], token, allow_hosts)
    return server


__all__ = ["LiveApp", "ServeApp", "Server", "make_server", "resolve_inside"]
