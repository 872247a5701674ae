"""``qorvel-plugin serve``: the plugin in a browser, on this machine.

The page shows one card per block (from the block dictionaries that ``describe`` prints) with an
input for every variable, runs a block or a preset flow through the local host, streams what the
run does, serves the plugin's extension pages and endpoints as the platform mounts them, and
draws the run's viewer actions in the Mol* viewer. See ``server`` for the routes and ``pages``
for the calling convention of endpoints.
"""

from __future__ import annotations

import sys

from ..loader import PluginLoadError, load_plugin
from ..run import HostError
from ..runner import choose_queue
from .flows_api import FlowLibrary
from .pages import fill_page_info
from .server import ServeApp, make_server
from .session import RunSession


def add_arguments(parser) -> None:
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default 127.0.0.1: this machine only)")
    parser.add_argument("--port", type=int, default=8765, help="port to listen on (default 8765; 0 picks a free one)")
    parser.add_argument("--config", metavar="PATH", help="configuration file (default: under ~/.config/qorvel/plugins)")
    parser.add_argument("--runs-dir", metavar="DIR", default="qorvel-runs",
                        help="folder for the runs' working folders (default ./qorvel-runs)")
    parser.add_argument("--queue", choices=("auto", "local", "slurm"), default="auto",
                        help="where batch jobs run: SLURM when a controller answers (auto), or always one of them")
    parser.add_argument("--poll", type=float, default=1.0, metavar="SECONDS",
                        help="interval between job status queries (default 1)")
    parser.add_argument("--lean-viewer", action="store_true",
                        help="the lightest viewer settings (as the browser tests use)")


def build_app(plugin_dir: str, queue="auto", runs_dir: str = "qorvel-runs", config_path: str | None = None,
              poll: float = 1.0, lean: bool = False) -> ServeApp:
    """Loads the plugin as ``check`` does; a plugin that fails to load is served with its problems."""
    from ..cli import inspect_plugin  # noqa: PLC0415 - the command line imports this module

    try:
        loaded = load_plugin(plugin_dir, capture_stdout=True)
    except PluginLoadError as exc:
        return ServeApp(None, exc.problems, None, None, lean)
    for page in loaded.plugin._pages:
        fill_page_info(page)
    info, more = inspect_plugin(loaded)
    problems = []
    for problem in loaded.problems + more:
        if not any(p.level == problem.level and p.message == problem.message for p in problems):
            problems.append(problem)
    queue = choose_queue(queue) if isinstance(queue, str) else queue
    app = ServeApp(loaded, problems, info, None, lean)
    app.session = RunSession(loaded, queue, runs_dir, config_path, poll, file_url=app.file_url)
    app.flows = FlowLibrary(app.session_host(), runs_dir)
    return app


def command(args, out) -> int:
    app = build_app(args.plugin_dir, args.queue, args.runs_dir, args.config, args.poll, args.lean_viewer)
    out.problems(app.problems)
    try:
        server = make_server(app, args.host, args.port)
    except OSError as exc:
        raise HostError(f"cannot listen on {args.host} port {args.port}: {exc.strerror or exc}") from None
    host, port = server.server_address[:2]
    shown = f"[{host}]" if ":" in host else host
    print(f"serving {args.plugin_dir} at http://{shown}:{port}/  (Ctrl-C stops)", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        print("stopping", file=sys.stderr)
    finally:
        stop(app, server)
    return 0


def stop(app: ServeApp, server) -> None:
    """Ends the event streams, cancels the jobs a run left, and closes the server (after serve_forever)."""
    if app.session is not None:
        app.session.events.close()
        app.session.cancel_jobs()
    server.shutdown()
    server.server_close()


__all__ = ["add_arguments", "build_app", "command", "stop"]
