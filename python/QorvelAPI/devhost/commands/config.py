"""``qorvel-plugin config``: the plugin's configuration, shown or saved."""

from __future__ import annotations

from ..run import HostError, LocalHost
from .assignments import parse_assignments, typed_values, values_help
from .common import load, report_load_warnings
from .output import EXIT_FAILED, EXIT_OK, Output, dumps, short

HELP = "show the plugin's configuration, or save values with --set"
PLUGIN = True
EPILOG = values_help()


def add_arguments(p) -> None:
    p.add_argument("--set", action="append", metavar="VAR=VALUE", help="value to save (JSON or text)")
    p.add_argument("--config", metavar="PATH", help="configuration file (default: under ~/.config/qorvel/plugins)")


def run(args, out: Output) -> int:
    values = parse_assignments(args.set, "--set")
    loaded = load(args, out)
    report_load_warnings(loaded, out)
    host = LocalHost(loaded, config_path=args.config, queue="local")
    if not loaded.plugin._configs:
        if out.as_json:
            print(dumps({"plugin": loaded.plugin.id, "path": None, "config": {}}))
        else:
            print(f"plugin {loaded.plugin.id} declares no configuration blocks")
        if values:
            raise HostError("nothing to set: the plugin declares no configuration blocks")
        return EXIT_OK
    values = typed_values(values, [v for block in loaded.plugin._configs for v in block._variables])
    config, problems = host.save_config(values) if values else host.load_config()
    if out.as_json:
        print(dumps({"plugin": loaded.plugin.id, "path": host.config_path, "config": config,
                     "problems": [p.toDict() for p in problems]}))
    else:
        out.problems(problems)
        print(f"configuration of {loaded.plugin.id} ({host.config_path}):")
        for block in loaded.plugin._configs:
            print(f"  {block.id}")
            for variable in block._variables:
                print(f"    {variable.id} = {short(config.get(variable.id))}")
        if values:
            print(f"saved {', '.join(values)}")
    # An unreadable file was set aside and rewritten with the defaults: the values asked for are lost.
    return EXIT_FAILED if any(p.level == "error" for p in problems) else EXIT_OK
