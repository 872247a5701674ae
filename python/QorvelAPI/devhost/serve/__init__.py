"""The plugin in a browser, on this machine (what ``qorvel-plugin serve`` serves).

The page shows one card per block (from the block dictionaries that ``describe`` prints) with an
input for every variable, runs a block or a preset flow through the local host, streams what the
run does, serves the plugin's extension pages and endpoints as the platform mounts them, and
draws the run's viewer actions in the Mol* viewer. See ``server`` for the routes and ``pages``
for the calling convention of endpoints.
"""

from __future__ import annotations

from ..inspection import check_plugin
from ..loader import PluginLoadError, load_plugin
from ..runner import choose_queue
from .flows_api import FlowLibrary
from .pages import fill_page_info
from .server import ServeApp
from .session import RunSession


def build_app(plugin_dir: str, queue="auto", runs_dir: str = "qorvel-runs", config_path: str | None = None,
              poll: float = 1.0, lean: bool = False) -> ServeApp:
    """Loads the plugin as ``check`` does; a plugin that fails to load is served with its problems."""
    try:
        loaded = load_plugin(plugin_dir, capture_stdout=True)
    except PluginLoadError as exc:
        return ServeApp(None, exc.problems, None, None, lean)
    for page in loaded.plugin._pages:
        fill_page_info(page)
    info, problems = check_plugin(loaded)
    queue = choose_queue(queue) if isinstance(queue, str) else queue
    app = ServeApp(loaded, problems, info, None, lean)
    app.session = RunSession(loaded, queue, runs_dir, config_path, poll, file_url=app.file_url)
    app.flows = FlowLibrary(app.session_host(), runs_dir)
    return app


def stop(app: ServeApp, server) -> None:
    """Ends the event streams, cancels the jobs a run left, and closes the server (after serve_forever)."""
    if app.session is not None:
        app.session.events.close()
        app.session.cancel_jobs()
    server.shutdown()
    server.server_close()


__all__ = ["build_app", "stop"]
