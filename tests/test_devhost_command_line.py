"""The command line leads to the fix: version, help, hints, placements by block, remotes file."""
import json

from QorvelAPI.devhost.cli import build_parser
from plugin_support import make_plugin_folder

META = {"id": "hints", "name": "Hints", "description": "d", "author": "a", "version": "1.0", "pluginFile": "main.py"}

SCRIPT = """
from QorvelAPI.plugins import Plugin, PluginBlock, PluginVariable, VariableTypes

def add(block):
    block.setOutput("sum", block.variables["v"] + block.inputs["i"])

plugin = Plugin()
plugin.addBlock(PluginBlock("Adder", "d", action=add, id="adder",
                            variables=[PluginVariable("v", "V", "v", VariableTypes.NUMBER, defaultValue=1)],
                            inputs=[PluginVariable("i", "I", "i", VariableTypes.NUMBER, defaultValue=1)],
                            outputs=[PluginVariable("sum", "Sum", "s", VariableTypes.NUMBER)]))
"""


def test_version_and_help_for_every_positional(cli, capsys):
    try:
        cli("--version")
    except SystemExit as done:
        assert done.code == 0
    assert capsys.readouterr().out.startswith("qorvel-plugin 0.")
    parser = build_parser()
    for name, sub in parser._subparsers._group_actions[0].choices.items():
        for action in sub._positionals._group_actions:
            assert action.help, (name, action.dest)


def test_hints_placements_by_block_and_the_remotes_file(cli, tmp_path):
    folder = make_plugin_folder(tmp_path, META, SCRIPT)
    code, _, err = cli("run", folder, "adder", "--set", "i=2", "--queue", "local")
    assert code == 1 and "it is an input: give it with --input" in err
    code, _, err = cli("run", folder, "adder", "--input", "v=2", "--queue", "local")
    assert code == 1 and "it is a variable: give it with --set" in err
    flow = tmp_path / "two.flow"
    flow.write_text(json.dumps({"name": "two", "savedID": 1, "blocks": [{"blockID": "hints.adder", "placedID": 4}]}))
    code, out, _ = cli("flow", folder, flow, "--set", "adder.v=5", "--input", "hints.adder.i=2", "--queue", "local",
                       "--json")
    assert code == 0 and json.loads(out)["blocks"][0]["outputs"] == {"sum": 7}
    flow.write_text(json.dumps({"name": "two", "savedID": 1, "blocks": [{"blockID": "hints.adder", "placedID": 4},
                                                                       {"blockID": "hints.adder", "placedID": 5}]}))
    code, _, err = cli("flow", folder, flow, "--set", "adder.v=5", "--queue", "local")
    assert code == 1 and "places block hints.adder 2 times (placedIDs 4, 5): give the placed identifier" in err
    code, out, _ = cli("remotes")
    assert code == 0 and out.startswith(f"no remotes file: looked for {tmp_path / 'config' / 'qorvel' / 'remotes.toml'}")
