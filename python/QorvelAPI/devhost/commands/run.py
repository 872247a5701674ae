"""``qorvel-plugin run``: one block on this machine (``--dry-run``: the first phase of a cluster
job block, and the batch script it would submit)."""

from __future__ import annotations

from ..api import DryRunResult
from .assignments import parse_assignments, typed_values, values_help
from .common import add_follow_option, add_running_options, follower_of, plugin_host
from .output import EXIT_FAILED, EXIT_OK, Output, dumps
from .results import announce_queue, run_and_report, shower

HELP = "run one block on this machine"
PLUGIN = True
EPILOG = values_help()


def add_arguments(p) -> None:
    p.add_argument("block_id", metavar="BLOCK_ID",
                   help="the block to run (with or without the plugin prefix, or its name as written)")
    p.add_argument("--set", action="append", metavar="VAR=VALUE", help="value of a variable (JSON or text)")
    p.add_argument("--input", action="append", metavar="ID=VALUE", help="value of an input (JSON or text)")
    p.add_argument("--input-group", metavar="GROUP", help="input group to use (default: the block's first)")
    p.add_argument("--remote", metavar="NAME", help="the remote the block runs on (default: its selectedRemote)")
    p.add_argument("--dry-run", action="store_true",
                   help="cluster job blocks: run the first phase only and print the batch script it would submit")
    add_running_options(p)
    add_follow_option(p)


def run(args, out: Output) -> int:
    variables = parse_assignments(args.set, "--set")
    inputs = parse_assignments(args.input, "--input")
    host = plugin_host(args, out)
    declared = host.declared(args.block_id)
    announce_queue(host, out, args.dry_run, [args.remote or declared.selectedRemote])
    group = declared._inputGroups.get(args.input_group or declared.selectedInputGroup)
    variables = typed_values(variables, declared._variables)
    inputs = typed_values(inputs, group.variables if group is not None else [])
    if args.dry_run:
        dry = host.dry_run(args.block_id, variables, inputs, args.input_group, on_result=shower(out))
        return _finish_dry_run(dry, out)
    return run_and_report(lambda: host.run(args.block_id, variables, inputs, args.input_group,
                                           on_result=shower(out), remote=args.remote,
                                           follow=follower_of(args, out)).flow_run, out)


def _finish_dry_run(dry: DryRunResult, out: Output) -> int:
    if out.as_json:
        document = dry.result.flow_run.toDict()
        document["dryRun"] = {"scripts": [{"path": s.path, "cwd": s.cwd, "script": s.text} for s in dry.scripts]}
        print(dumps(document))
    else:
        print(f"dry run: {len(dry.scripts)} batch script(s) would be submitted")
        for script in dry.scripts:
            print(f"--- {script.path} (job folder {script.cwd}) ---")
            print(script.text.rstrip("\n"))
            print("---")
    return EXIT_OK if dry.ok else EXIT_FAILED
