"""``qorvel-plugin new``: a new plugin folder."""

from __future__ import annotations

from ..scaffold import EXTRAS, ScaffoldError, create_plugin, parse_extras
from .output import EXIT_OK, Output, UsageError, dumps

HELP = "write a new plugin folder"
PLUGIN = False


def add_arguments(p) -> None:
    p.add_argument("name", metavar="NAME", help="the plugin's name (its folder is the name in lower case)")
    p.add_argument("--with", dest="with_parts", metavar="PARTS", help=f"optional parts: {','.join(EXTRAS)}")
    p.add_argument("--dir", default=".", metavar="DIR", help="where to create the folder (default: here)")


def run(args, out: Output) -> int:
    try:
        folder = create_plugin(args.name, args.dir, parse_extras(args.with_parts))
    except (ScaffoldError, OSError) as exc:
        raise UsageError(str(exc)) from None
    if out.as_json:
        print(dumps({"folder": folder}))
    else:
        print(f"created {folder}")
        print(f"next: qorvel-plugin check {folder} && qorvel-plugin test {folder}")
    return EXIT_OK
