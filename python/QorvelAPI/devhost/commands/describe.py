"""``qorvel-plugin describe``: the block dictionaries that the flow editor receives."""

from __future__ import annotations

from ..run import LocalHost
from .common import load, report_load_warnings
from .output import EXIT_OK, Output, dumps

HELP = "print the block dictionaries that the flow editor receives, as JSON"
PLUGIN = True


def add_arguments(p) -> None:
    p.add_argument("block_id", metavar="BLOCK_ID", nargs="?", help="one block (with or without the plugin prefix)")


def run(args, out: Output) -> int:
    loaded = load(args, out)
    report_load_warnings(loaded, out)
    host = LocalHost(loaded, queue="local")
    if args.block_id:
        print(dumps(host.declared(args.block_id)._toDict()))
    else:
        print(dumps([block._toDict() for block in loaded.plugin._blocks]))
    return EXIT_OK
