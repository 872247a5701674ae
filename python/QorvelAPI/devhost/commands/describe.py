"""``qorvel-plugin describe``: the block dictionaries that the flow editor receives."""

from __future__ import annotations

import sys

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
    blocks = [host.declared(args.block_id)] if args.block_id else list(loaded.plugin._blocks)
    print(dumps(blocks[0]._toDict() if args.block_id else [block._toDict() for block in blocks]))
    if not out.as_json:
        for block in blocks:
            _note_empty_lists(block)
    return EXIT_OK


def _note_empty_lists(block) -> None:
    """The model gives an action None, not [], for a variable list without rows; authors who loop
    over the rows are told so."""
    for variable in block._variables:
        if str(variable.type) == "_list":
            print(f"note: block {block.id}: variable list '{variable.id}' reaches the action as None when it "
                  f"has no rows (not []): write `for row in block.variables['{variable.id}'] or []`",
                  file=sys.stderr)
