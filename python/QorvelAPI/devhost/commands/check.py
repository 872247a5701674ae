"""``qorvel-plugin check``: what the plugin declares, and every problem."""

from __future__ import annotations

import json
import os
import sys

from ..api import PluginHost
from ..loader import PluginLoadError
from .output import EXIT_FAILED, EXIT_OK, Output, dumps

HELP = "import the plugin as the host does and report what it declares and every problem"
PLUGIN = True


def add_arguments(p) -> None:
    p.add_argument("--strict", action="store_true", help="fail on warnings too (by default only errors fail)")
    p.add_argument("--config", metavar="PATH", help="configuration file to check (default: under ~/.config/qorvel/plugins)")


def run(args, out: Output) -> int:
    try:
        report = PluginHost(args.plugin_dir, queue="local", capture_stdout=out.as_json,
                            config_path=args.config).check()
    except PluginLoadError as exc:
        if out.as_json:
            print(dumps({"ok": False, "problems": [p.toDict() for p in exc.problems]}))
        else:
            out.problems(exc.problems)
        return EXIT_FAILED
    info, problems = report.info, report.problems
    # Warnings fail the check only when asked (--strict).
    failed = any(p.level == "error" or args.strict for p in problems)
    if out.as_json:
        info["problems"] = [p.toDict() for p in problems]
        info["ok"] = not failed
        print(dumps(info))
    else:
        print_check(info)
        out.problems(problems)
        if problems:
            print(f"{len(problems)} problem(s) found", file=sys.stderr)
        else:
            print("no problems found")
    return EXIT_FAILED if failed else EXIT_OK


def print_check(info: dict) -> None:
    p = info["plugin"]
    print(f"plugin {p['id']}: {p['name']} {p['version']} by {p['author']}")
    print(f"  folder {p['folder']}")
    for entry in info["rewritten"]:
        print(f"  identifier {json.dumps(entry['written'])} is used as {entry['used']}")
    print(f"blocks ({len(info['blocks'])}):")
    for block in info["blocks"]:
        print(f"  {block['id']}  [{block['type']}]  {block['name']}")
        if block["variables"]:
            print(f"    variables: {', '.join(block['variables'])}")
        for gid, members in block["inputGroups"].items():
            print(f"    inputs ({gid}): {', '.join(members) or '-'}")
        if block["outputs"]:
            print(f"    outputs: {', '.join(block['outputs'])}")
    print(f"pages ({len(info['pages'])}):")
    for page in info["pages"]:
        hidden = " (hidden)" if page["hidden"] else ""
        print(f"  {page['id']}  {page['name']}  Pages/{page['html']}{hidden}")
        for endpoint in page["endpoints"]:
            print(f"    {endpoint['url']}  [{', '.join(endpoint['methods'])}]")
    print(f"configuration blocks ({len(info['configs'])}):")
    for config in info["configs"]:
        print(f"  {config['id']}: {', '.join(config['variables'])}")
    print(f"preset flows ({len(info['flows'])}):")
    for flow in info["flows"]:
        print(f"  {flow['name']}  {os.path.relpath(flow['path'], p['folder'])}  savedID {flow['savedID']}")
