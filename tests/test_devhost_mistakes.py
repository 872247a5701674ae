"""Mistakes in a plugin that the platform lets pass in silence, named by the local host."""
import json

import pytest

from plugin_support import make_plugin_folder

META = {"id": "SMILES-Profiler v2!", "name": "n", "description": "d", "author": "a", "version": "1.0",
        "pluginFile": "main.py"}

SCRIPT = """
from QorvelAPI.plugins import (Plugin, PluginBlock, PluginPage, PluginVariable, VariableList, VariableTypes)
from QorvelAPI.molstar import MolstarAPI

def careless(block):
    block.variables["n"] = 5
    viewer = MolstarAPI()
    viewer.addSphere(0.0, 0.0, 0.0, -1.0, opacity=2.0)
    viewer.addMolecule("missing.pdb")
    return {"n": 5}

def boxed(block):
    MolstarAPI().addBox([0.0, 0.0, 0.0], [20, 20, 20])

def ran(block):
    block.setOutput("done", True)

n = PluginVariable("n", "N", "n", VariableTypes.NUMBER, defaultValue=1)
needed = PluginVariable("needed", "Needed", "r", VariableTypes.STRING, required=True)
needed_input = PluginVariable("needed_input", "Needed", "r", VariableTypes.STRING, required=True)
done = PluginVariable("done", "Done", "d", VariableTypes.BOOLEAN)
rows = VariableList("rows", "Rows", "r", [PluginVariable("k", "K", "k", VariableTypes.NUMBER)])
plugin = Plugin()
plugin.addBlock(PluginBlock("Careless One", "d", action=careless, variables=[n, rows]))
plugin.addBlock(PluginBlock("Boxed", "d", action=boxed, id="boxed"))
plugin.addBlock(PluginBlock("Needs", "d", action=ran, id="needs", variables=[needed], outputs=[done]))
plugin.addBlock(PluginBlock("Needs input", "d", action=ran, id="needs_input", inputs=[needed_input], outputs=[done]))
plugin.addPage(PluginPage("gone", "Gone", "g", "gone.html"))
"""


@pytest.fixture
def folder(tmp_path):
    return make_plugin_folder(tmp_path, META, SCRIPT)


def test_a_careless_action_gets_one_warning_per_mistake(cli, folder):
    code, out, _ = cli("run", folder, "Careless One", "--queue", "local", "--json")
    messages = [m["message"] for m in json.loads(out)["blocks"][0]["messages"] if m["level"] == "warning"]
    assert code == 0
    for words in ("returned {'n': 5}; the platform ignores", "writes into block.variables (line 6)",
                  "radius -1 is negative", "opacity 2 is outside 0..1", "missing.pdb does not exist"):
        assert sum(words in m for m in messages) == 1, (words, messages)
    code, out, _ = cli("run", folder, "careless_one", "--queue", "local")
    assert code == 0 and "warning: the action careless of block" in out


def test_whole_numbers_for_a_box_get_one_line_of_help(cli, folder):
    code, out, _ = cli("run", folder, "boxed", "--queue", "local")
    assert code == 1 and "Sides must be a 3 dimensional float list" in out
    assert "write whole numbers with a decimal point (20.0, not 20), or convert them with float()" in out


@pytest.mark.parametrize("block, words", [("needs", "required variable 'needed'"),
                                          ("needs_input", "required input 'needed_input'")])
def test_an_empty_required_value_refuses_the_run_before_it_starts(cli, folder, block, words):
    code, out, err = cli("run", folder, block, "--queue", "local")
    assert code == 1 and words in err and "nothing was run" in err and "==" not in out
    name = "needed=x" if block == "needs" else "needed_input=x"
    assert cli("run", folder, block, "--queue", "local", "--set" if block == "needs" else "--input", name)[0] == 0


def test_check_names_rewritten_identifiers_and_a_missing_page_file(cli, folder):
    code, out, err = cli("check", folder)
    assert code == 1
    assert 'identifier "SMILES-Profiler v2!" is used as smiles_profiler_v2_' in out
    assert 'identifier "Careless One" is used as smiles_profiler_v2_.careless_one' in out
    assert "error: page smiles_profiler_v2_.gone: its HTML file Pages/gone.html does not exist" in err
    code, _, err = cli("describe", folder, "careless_one")
    assert code == 0 and "variable list 'rows' reaches the action as None when it has no rows" in err
