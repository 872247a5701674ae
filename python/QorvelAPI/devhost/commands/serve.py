"""``qorvel-plugin serve``: the plugin in a browser, on this machine, until Ctrl-C."""

from __future__ import annotations

import sys

from ..run import HostError
from ..serve import build_app, stop, watch_plugin
from ..serve.server import make_server

HELP = "show the plugin in a browser: its blocks, runs, pages and the molecular viewer"
PLUGIN = True


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
    parser.add_argument("--token", action="store_true",
                        help="require the printed address's token on a loopback address too (always required elsewhere)")
    parser.add_argument("--allow-host", action="append", default=[], metavar="NAME",
                        help="a further host name the browser may use for this server (repeatable)")
    parser.add_argument("--lean-viewer", action="store_true",
                        help="the lightest viewer settings (as the browser tests use)")


def run(args, out) -> int:
    app = build_app(args.plugin_dir, args.queue, args.runs_dir, args.config, args.poll, args.lean_viewer)
    out.problems(app.problems)
    try:
        server = make_server(app, args.host, args.port, args.token, args.allow_host)
    except OSError as exc:
        raise HostError(f"cannot listen on {args.host} port {args.port}: {exc.strerror or exc}") from None
    watch = watch_plugin(server)
    print(f"serving {args.plugin_dir} at {app.guard.url()}  (Ctrl-C stops; a change of a plugin file "
          f"loads the plugin again)", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        print("stopping", file=sys.stderr)
    finally:
        watch.stop()
        stop(server.live.current, server)
    return 0
