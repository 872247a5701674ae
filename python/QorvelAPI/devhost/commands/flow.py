"""``qorvel-plugin flow``: a flow file, or a preset flow by name, on this machine."""

from __future__ import annotations

from ..flow import Flow
from ..flowcheck import input_variables
from ..run import LocalHost
from .assignments import parse_assignments, placed_assignments, typed_values, values_help
from .common import add_follow_option, add_running_options, follower_of, plugin_host
from .output import Output, UsageError
from .results import announce_queue, run_and_report, shower

HELP = "run a flow (a .flow file, or a preset flow's name) on this machine"
PLUGIN = True
EPILOG = values_help()


def add_arguments(p) -> None:
    p.add_argument("flow", metavar="FLOW_FILE_OR_NAME", nargs="?",
                   help="a .flow file (from here or from the plugin folder), or a preset flow's name")
    p.add_argument("--remote", action="append", metavar="PLACED_ID=NAME",
                   help="the remote one placement runs on (default: its selectedRemote)")
    p.add_argument("--resume", metavar="RUN_FOLDER",
                   help="run the flow of an earlier run folder again, following the jobs of its journal")
    p.add_argument("--resubmit-failed", action="store_true",
                   help="with --resume: submit again the jobs that failed")
    p.add_argument("--set", action="append", metavar="PLACED_ID.VAR=VALUE",
                   help="value of a variable of one placement (JSON or text); the placement is its placed "
                        "identifier, or its block identifier when the flow places that block once")
    p.add_argument("--input", action="append", metavar="PLACED_ID.ID=VALUE",
                   help="value of an input of one placement (JSON or text)")
    add_running_options(p)
    add_follow_option(p)


def run(args, out: Output) -> int:
    if (args.flow is None) == (args.resume is None):
        raise UsageError("flow: give either FLOW_FILE_OR_NAME or --resume RUN_FOLDER")
    if args.resubmit_failed and args.resume is None:
        raise UsageError("flow: --resubmit-failed goes with --resume RUN_FOLDER")
    host = plugin_host(args, out)
    if args.resume is not None:
        announce_queue(host, out)
        return run_and_report(lambda: host.resume(args.resume, args.resubmit_failed, on_result=shower(out),
                                                      follow=follower_of(args, out)).raw, out)
    flow = host.load_flow(args.flow)
    host.select_remotes(flow, {int(key) if key.isdigit() else key: name
                               for key, name in parse_assignments(args.remote, "--remote").items()})
    announce_queue(host, out, remotes=[p.state.get("selectedRemote") for p in flow.blocks])
    _apply_overrides(host.local, flow, parse_assignments(args.set, "--set"), parse_assignments(args.input, "--input"))
    return run_and_report(lambda: host.flow(flow, on_result=shower(out), follow=follower_of(args, out)).raw, out)


def _apply_overrides(host: LocalHost, flow: Flow, variables: dict, inputs: dict) -> None:
    """``flow --set PLACED_ID.variable=value --input PLACED_ID.input=value``: values for placements,
    applied over the flow file's (they are checked with the rest of the flow before it runs)."""
    for placed_id, texts in placed_assignments(flow, variables, "--set").items():
        placed = flow.placement(placed_id)
        values = typed_values(texts, host.declared_exact(placed)._variables)
        flow.variableValues.setdefault(placed_id, {}).update(values)
    for placed_id, texts in placed_assignments(flow, inputs, "--input").items():
        placed = flow.placement(placed_id)
        placed.inputs.update(typed_values(texts, input_variables(host.declared_exact(placed), placed)))
