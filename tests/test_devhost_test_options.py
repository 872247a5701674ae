"""`qorvel-plugin test` takes pytest's options, selects case-file entries with -k, and writes JUnit
class names that CI viewers do not split at the file's dot."""
import json
import os
import subprocess
import xml.etree.ElementTree as ET
from pathlib import Path

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


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="making an environment runs pip, which takes minutes under the preloaded sanitizer")
def test_pytest_in_an_environment_runs_its_own_interpreter(tmp_path):
    root = Path(__file__).resolve().parents[1]
    venv = tmp_path / "venv"
    subprocess.run(["bash", "-c", f'source scripts/environments.sh && make_venv "{venv}" /usr/bin/python3'],
                   cwd=root, check=True, capture_output=True, timeout=120)
    (tmp_path / "test_where.py").write_text(f"import sys\ndef test_where():\n    assert sys.prefix == {str(venv)!r}\n")
    env = {**os.environ, "PATH": f"{venv / 'bin'}:{os.environ['PATH']}"}
    done = subprocess.run(["pytest", "-q", "-p", "no:cacheprovider", str(tmp_path / "test_where.py")], env=env,
                          cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr


def test_setup_keeps_a_command_link_to_another_checkout(tmp_path):
    root = Path(__file__).resolve().parents[1]
    other, mine = tmp_path / "other" / "qorvel-plugin", tmp_path / "mine" / "qorvel-plugin"
    for command in (other, mine):
        command.parent.mkdir()
        command.write_text("#!/bin/sh\n")
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "qorvel-plugin").symlink_to(other)

    def link():
        return subprocess.run(["bash", "-c", f'source scripts/command_link.sh && link_command "{bin_dir}" "{mine}"'],
                              cwd=root, capture_output=True, text=True, check=True).stdout

    assert link() == (f"setup: {bin_dir}/qorvel-plugin kept: it runs another checkout ({other}); "
                      f"to use this one: ln -sfn {mine} {bin_dir}/qorvel-plugin\n")
    assert os.readlink(bin_dir / "qorvel-plugin") == str(other)
    other.unlink()  # a link to a checkout that is gone is taken over
    assert link() == f"setup: {bin_dir}/qorvel-plugin -> {mine}\n"
    assert os.readlink(bin_dir / "qorvel-plugin") == str(mine)


def test_relative_paths_are_read_from_the_plugin_folder(cli, tmp_path):
    script = """
from QorvelAPI.plugins import Plugin, PluginBlock, PluginVariable, VariableTypes

def read(block):
    block.setOutput("text", open(block.inputs["path"]).read())

plugin = Plugin()
plugin.addBlock(PluginBlock("Read", "d", action=read, id="read",
                            inputs=[PluginVariable("path", "Path", "p", VariableTypes.FILE)],
                            outputs=[PluginVariable("text", "Text", "t", VariableTypes.STRING)]))
"""
    folder = make_plugin_folder(tmp_path, META, script)
    (folder / "data").mkdir()
    (folder / "data" / "x.txt").write_text("hello")
    code, out, err = cli("run", folder, "read", "--input", "path=data/x.txt", "--queue", "local", "--json")
    block = json.loads(out)["blocks"][0]
    assert code == 0 and block["outputs"] == {"text": "hello"} and block["messages"] == [], err
    (folder / "Tests").mkdir()
    (folder / "Tests" / "read.json").write_text(json.dumps(
        {"name": "reads", "block": "read", "inputs": {"path": "data/x.txt"}, "expect": {"outputs": {"text": "hello"}}}))
    assert cli("test", folder)[0] == 0
