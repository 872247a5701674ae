"""`qorvel-plugin test` takes pytest's options, selects case-file entries with -k, and writes JUnit
class names that CI viewers do not split at the file's dot."""
import json
import xml.etree.ElementTree as ET

import pytest

from plugin_support import make_plugin_folder

META = {"id": "opts", "name": "Opts", "description": "d", "author": "a", "version": "1.0", "pluginFile": "main.py"}

SCRIPT = """
from QorvelAPI.plugins import Plugin, PluginBlock, PluginVariable, VariableTypes

def one(block):
    block.setOutput("n", 1)

plugin = Plugin()
plugin.addBlock(PluginBlock("One", "d", action=one, id="one",
                            outputs=[PluginVariable("n", "N", "n", VariableTypes.NUMBER)]))
"""


def _cases(path):
    return {(c.get("classname"), c.get("name")) for c in ET.parse(path).getroot().iter("testcase")}


def test_keyword_exitfirst_and_pytest_arguments(cli, capsys, tmp_path):
    folder = make_plugin_folder(tmp_path, META, SCRIPT)
    tests = folder / "Tests"
    tests.mkdir()
    (tests / "cases.json").write_text(json.dumps([
        {"name": "flow gives one", "block": "one", "expect": {"outputs": {"n": 1}}},
        {"name": "wrong", "block": "one", "expect": {"outputs": {"n": 2}}}]))
    (tests / "test_x.py").write_text("def test_flow_runs(plugin_host):\n    assert plugin_host().run('one').ok\n\n"
                                     "def test_other():\n    assert False\n")
    code, out, _ = cli("test", folder, "-k", "flow", "--junit-xml", tmp_path / "k.xml")
    assert code == 0, out
    assert _cases(tmp_path / "k.xml") == {("Tests.cases_json", "flow gives one"), ("Tests.test_x", "test_flow_runs")}
    code, out, _ = cli("test", folder, "-x", "--junit-xml", tmp_path / "x.xml")
    assert code == 1 and {name for _, name in _cases(tmp_path / "x.xml")} == {"flow gives one", "wrong"}
    code, out, _ = cli("test", folder, "-k", "not wrong", "--junit-xml", tmp_path / "d.xml", "--", "-k", "other")
    assert code == 1 and {name for _, name in _cases(tmp_path / "d.xml")} == {"flow gives one", "test_other"}
    with pytest.raises(SystemExit) as refused:
        cli("test", folder, "--bogus")
    err = capsys.readouterr().err
    assert refused.value.code == 2 and err.startswith("usage: qorvel-plugin test ") and "arguments: --bogus" in err
