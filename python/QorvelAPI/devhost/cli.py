"""``qorvel-plugin``: load, check and run a plugin on this machine without the platform.

    qorvel-plugin check PLUGIN_DIR [--strict]
    qorvel-plugin describe PLUGIN_DIR [BLOCK_ID]
    qorvel-plugin run PLUGIN_DIR BLOCK_ID [--set VAR=VALUE ...] [--input ID=VALUE ...] [--dry-run]
    qorvel-plugin flow PLUGIN_DIR FLOW_FILE_OR_NAME [--set PLACED_ID.VAR=VALUE ...] [--input PLACED_ID.ID=VALUE ...]
    qorvel-plugin config PLUGIN_DIR [--set VAR=VALUE ...]
    qorvel-plugin remotes [NAME ...]
    qorvel-plugin test PLUGIN_DIR [--junit-xml FILE] [--html FILE]
    qorvel-plugin new NAME [--with slurm,page,config]
    qorvel-plugin serve PLUGIN_DIR [--port N] [--host 127.0.0.1]

Every command takes ``--json``. Problems are reported one per line on standard error
("error: ..." / "warning: ..."); the exit status is 0 on success, 1 when loading or running
failed or ``check`` found errors (or warnings, with ``--strict``), 2 for a wrong command line,
130 when interrupted (128 + the signal's number for SIGTERM and SIGHUP, which stop a run as Ctrl-C does). Values are checked against their variables' types (see ``vartypes``);
"group.member=VALUE" sets one member of a group.
"""

from __future__ import annotations

import argparse
import os
import sys
import tomllib
from importlib import metadata

from .commands import check, config, describe, flow, new, remotes, run, serve, test
from .commands.assignments import parse_value  # noqa: F401 - part of this module's interface
from .commands.output import EXIT_FAILED, Output, UsageError, dumps
from .flow import FlowError, register_flow_manager
from .loader import PluginLoadError, Problem, one_line
from .run import HostError, Interrupted
from .runner import QueueError
from .stopping import interrupted_status, received, stop_signals
from .values import ValueCheckError

# The commands in the order the help lists them.
COMMANDS = {"check": check, "describe": describe, "run": run, "flow": flow, "test": test, "new": new,
            "config": config, "remotes": remotes, "serve": serve}


def _version() -> str:
    """The installed package's version, else the checkout's: the first pyproject.toml of this
    project above this file (a build in place, or one copied under build/ for the memory gates,
    is not installed)."""
    try:
        return metadata.version("qorvel-api")
    except metadata.PackageNotFoundError:
        pass
    folder = os.path.dirname(os.path.abspath(__file__))
    while os.path.dirname(folder) != folder:
        folder = os.path.dirname(folder)
        try:
            with open(os.path.join(folder, "pyproject.toml"), "rb") as handle:
                project = tomllib.load(handle).get("project", {})
        except (OSError, tomllib.TOMLDecodeError):
            continue
        if project.get("name") == "qorvel-api" and isinstance(project.get("version"), str):
            return project["version"]
    return "unknown"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="qorvel-plugin",
                                     description="Load, check and run a Qorvel plugin on this machine.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, command in COMMANDS.items():
        p = sub.add_parser(name, help=command.HELP, description=command.HELP,
                           epilog=getattr(command, "EPILOG", None), formatter_class=argparse.RawDescriptionHelpFormatter)
        if command.PLUGIN:
            p.add_argument("plugin_dir", metavar="PLUGIN_DIR", help="the plugin folder (holding plugin.meta)")
        p.add_argument("--json", action="store_true", help="print the result as JSON")
        command.add_arguments(p)
        parser.set_defaults(**{f"_parser_{name}": p})
    return parser


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    """The arguments; an unknown one is refused with the usage of its command, not the program's."""
    argv = list(sys.argv[1:] if argv is None else argv)
    # What follows "--" is the command's to pass on (test gives it to pytest), never parsed here.
    after = argv[argv.index("--") + 1:] if "--" in argv else []
    args, unknown = build_parser().parse_known_args(argv[:len(argv) - len(after) - 1] if "--" in argv else argv)
    args.passed_on = after
    if after and not getattr(COMMANDS[args.command], "PASSES_ON", False):
        unknown += ["--", *after]
    if unknown:
        getattr(args, f"_parser_{args.command}").error(f"unrecognized arguments: {' '.join(unknown)}")
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_arguments(argv)
    out = Output(args.json)
    register_flow_manager()
    try:
        with stop_signals():
            code = COMMANDS[args.command].run(args, out)
        # serve stops on SIGTERM as on Ctrl-C and returns; the status still says which signal.
        return 128 + received() if received() else code
    except PluginLoadError as exc:
        problems = exc.problems
    except (HostError, FlowError, QueueError, UsageError, ValueCheckError) as exc:
        problems = [Problem("error", str(exc))]
    except Interrupted as exc:
        out.problem(Problem("error", str(exc)))
        return interrupted_status()
    except KeyboardInterrupt:
        out.problem(Problem("error", "interrupted"))
        return interrupted_status()
    except BrokenPipeError:
        return EXIT_FAILED
    except Exception as exc:  # our own fault: one line, never a bare traceback
        problems = [Problem("error", f"internal error of the local host: {one_line(exc)}")]
    if out.as_json:
        print(dumps({"ok": False, "problems": [p.toDict() for p in problems]}))
    else:
        out.problems(problems)
    return EXIT_FAILED


if __name__ == "__main__":
    sys.exit(main())
