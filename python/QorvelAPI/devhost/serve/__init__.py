"""The plugin in a browser, on this machine (what ``qorvel-plugin serve`` serves).

The page shows one card per block (from the block dictionaries that ``describe`` prints) with an
input for every variable, runs a block or a preset flow through the local host, streams what the
run does, serves the plugin's extension pages and endpoints as the platform mounts them, and
draws the run's viewer actions in the Mol* viewer. See ``server`` for the routes and ``pages``
for the calling convention of endpoints.

When a file of the plugin folder changes, ``watch_plugin`` loads the plugin again as ``build_app``
does and the server answers new requests from the new app. The run session (its events and its
jobs) carries over. A change made while a run is going is loaded once the run has ended: loading
redirects the process's output and the shared logger, as a run does, so the two never overlap; the
run goes on with the plugin it started with, the next run uses the new one.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any

from ..inspection import check_plugin
from ..loader import PluginLoadError, forget_plugin_modules, load_plugin, one_line
from ..runner import choose_queue
from .flows_api import FlowLibrary
from .pages import fill_page_info
from .server import ServeApp
from .session import RunSession, terminal_line
from .watch import FolderWatch


@dataclass(frozen=True)
class ServeOptions:
    """How ``build_app`` was called: a reload loads the plugin with the same."""

    plugin_dir: str
    queue: Any
    runs_dir: str
    config_path: str | None
    poll: float
    lean: bool


def build_app(plugin_dir: str, queue="auto", runs_dir: str = "qorvel-runs", config_path: str | None = None,
              poll: float = 1.0, lean: bool = False) -> ServeApp:
    """Loads the plugin as ``check`` does; a plugin that fails to load is served with its problems."""
    return _load(ServeOptions(plugin_dir, queue, runs_dir, config_path, poll, lean))


def reload_app(app: ServeApp) -> ServeApp:
    """The plugin loaded again, as ``app`` was; the new app keeps the run session, the event log,
    the request guard and the log of ``app``."""
    forget_plugin_modules(app.options.plugin_dir)  # the script's helper modules are imported anew too
    return _load(app.options, app)


def _load(options: ServeOptions, previous: ServeApp | None = None) -> ServeApp:
    try:
        loaded = load_plugin(options.plugin_dir, capture_stdout=True)
    except PluginLoadError as exc:
        return _carry_over(ServeApp(None, exc.problems, None, None, options.lean), options, previous)
    for page in loaded.plugin._pages:
        fill_page_info(page)
    info, problems = check_plugin(loaded)
    app = _carry_over(ServeApp(loaded, problems, info, None, options.lean), options, previous)
    if app.session is None:
        queue = choose_queue(options.queue) if isinstance(options.queue, str) else options.queue
        app.session = RunSession(loaded, queue, options.runs_dir, options.config_path, options.poll,
                                 file_url=app.file_url, events=app.events)
    else:  # the next run starts with this plugin
        app.session.loaded = loaded
        app.session.file_url = app.file_url
    app.flows = FlowLibrary(app.session_host(), options.runs_dir)
    return app


def _carry_over(app: ServeApp, options: ServeOptions, previous: ServeApp | None) -> ServeApp:
    app.options = options
    if previous is not None:
        app.session, app.events, app.guard, app.log = previous.session, previous.events, previous.guard, previous.log
        app.loading = previous.loading
        app.generation = previous.generation + 1
    return app


def watch_plugin(server, interval: float = 0.5) -> FolderWatch:
    """Loads the plugin again whenever a file of its folder changes, for the requests that come
    next; says so on the terminal and to the pages listening (a ``reload`` event)."""
    live = server.live
    options = live.current.options

    def reload() -> None:
        fresh = None
        while fresh is None:
            if _wait_for_the_run(live, watch):
                return  # the server stops
            with live.current.loading:
                session = live.current.session
                if session is None or not session.running:  # else a run started meanwhile: wait for it too
                    fresh = live.current = reload_app(live.current)
        errors = sum(p.level == "error" for p in fresh.problems)
        fresh.events.add("reload", {"generation": fresh.generation, "loaded": fresh.loaded is not None,
                                    "problems": len(fresh.problems), "errors": errors})
        count = f"{len(fresh.problems)} problem{'' if len(fresh.problems) == 1 else 's'}"
        terminal_line(f"reloaded {options.plugin_dir} ({count})" if fresh.loaded is not None else
                      f"reloaded {options.plugin_dir}: the plugin did not load ({count})")

    def failed(exc: BaseException) -> None:
        terminal_line(f"reloading {options.plugin_dir} failed: {one_line(exc)}")

    watch = FolderWatch(options.plugin_dir, reload, interval, skip=[os.path.abspath(options.runs_dir)],
                        on_error=failed)
    return watch.start()


def _wait_for_the_run(live, watch: FolderWatch) -> bool:
    """Waits while a run is going (saying so once); True when the watch was stopped meanwhile."""
    session = live.current.session
    if session is not None and session.running:
        terminal_line(f"{live.current.options.plugin_dir} changed; it is loaded again once the run has ended")
        while not session.wait(0.5):
            if watch.stopped:
                return True
    return watch.stopped


def stop(app: ServeApp, server) -> None:
    """Ends the event streams, cancels the jobs a run left, and closes the server (after serve_forever)."""
    app.events.close()
    if app.session is not None:
        app.session.cancel_jobs()
    server.shutdown()
    server.server_close()


__all__ = ["ServeOptions", "build_app", "reload_app", "stop", "watch_plugin"]
