import json
import os
import textwrap

import pytest

from QorvelAPI import plugins

pytestmark = pytest.mark.skipif(
    not all(hasattr(plugins, name) for name in ("Plugin", "PluginBlock", "SlurmBlock", "GhostBlock", "PluginConfig")),
    reason="the plugin model is not built into this tree yet")

from QorvelAPI.devhost.cli import parse_value  # noqa: E402

META = {"id": "Demo Tools", "name": "Demo Tools", "description": "d", "author": "a", "version": "1.0",
        "pluginFile": "main.py"}

HEADER = """\
from QorvelAPI.plugins import (Plugin, PluginBlock, PluginVariable, VariableTypes, PluginConfig, GhostBlock,
                               SlurmBlock)
"""

GOOD = HEADER + """
def double(block):
    block.setOutput("twice", block.variables["value"] * 2 + block.config["offset"])

def shout(block):
    print("shouting")
    block.setOutput("loud", str(block.inputs["text"]).upper())

value = PluginVariable("value", "Value", "A number", VariableTypes.NUMBER, defaultValue=1)
doubler = PluginBlock("Doubler", "Doubles", action=double, variables=[value],
                      outputs=[PluginVariable("twice", "Twice", "2x", VariableTypes.NUMBER)], id="doubler")
shouter = PluginBlock("Shouter", "Upper case", action=shout,
                      inputs=[PluginVariable("text", "Text", "t", VariableTypes.ANY, defaultValue="hi")],
                      outputs=[PluginVariable("loud", "Loud", "l", VariableTypes.STRING)], id="shouter")
settings = PluginConfig("Settings", "s", variables=[PluginVariable("offset", "Offset", "o", VariableTypes.NUMBER,
                                                                   defaultValue=0)], id="settings")
plugin = Plugin()
plugin.addBlock(doubler)
plugin.addBlock(shouter)
plugin.addConfig(settings)
"""

FLOW = {"name": "Chain", "savedID": 4,
        "blocks": [{"blockID": "demo_tools.doubler", "placedID": 1,
                    "state": {"variables": [{"id": "value", "type": "number", "value": 5}]}},
                   {"blockID": "demo_tools.shouter", "placedID": 2}],
        "connections": [{"origin": {"placedID": 1, "blockID": "demo_tools.doubler", "variableID": "twice",
                                    "variableType": "number"},
                         "destination": {"placedID": 2, "blockID": "demo_tools.shouter", "variableID": "text",
                                         "variableType": "any"}}]}


def make_plugin(folder, script=GOOD, meta=None, flows=None):
    folder.mkdir(parents=True, exist_ok=True)
    if meta is not False:
        text = meta if isinstance(meta, str) else json.dumps(meta or META)
        (folder / "plugin.meta").write_text(text, encoding="utf-8")
    (folder / "main.py").write_text(textwrap.dedent(script), encoding="utf-8")
    for name, flow in (flows or {}).items():
        (folder / "Flows").mkdir(exist_ok=True)
        text = flow if isinstance(flow, str) else json.dumps(flow)
        (folder / "Flows" / name).write_text(text, encoding="utf-8")
    return str(folder)


def problem_lines(err):
    return [line for line in err.splitlines() if line.startswith(("error:", "warning:"))]


@pytest.mark.parametrize("meta, script, words", [
    (False, GOOD, "plugin.meta not found in"),
    ("{oops", GOOD, "plugin.meta: invalid JSON at line 1"),
    ({k: v for k, v in META.items() if k != "author"}, GOOD, "required field \"author\" is missing"),
    (dict(META, platforms=["linux", "windows"]), GOOD, "unknown platform \"windows\""),
    (dict(META, pluginFile="other.py"), GOOD, "pluginFile \"other.py\" not found"),
    (None, HEADER + "raise ValueError('no licence')\n", "plugin script main.py raised ValueError: no licence"),
    (None, HEADER + "x = 1\n", "creates no Plugin object"),
    (None, GOOD + "plugin.addBlock(PluginBlock('Doubler', 'again', id='doubler'))\n",
     "Block with ID 'demo_tools.doubler' already exists. Skipping."),
    (None, GOOD + "plugin.addBlock(GhostBlock('gone'))\n", "Cannot add a GhostBlock to the plugin as a block."),
    (None, GOOD + "plugin.addBlock(settings)\n", "Cannot add a PluginConfig to the plugin as a block."),
])
def test_each_broken_plugin_gives_one_line_and_a_failure(cli, tmp_path, meta, script, words):
    folder = make_plugin(tmp_path / "p", script, meta)
    code, out, err = cli("check", folder)
    lines = problem_lines(err)
    assert code == 1 and len(lines) == 1 and words in lines[0], err
    assert "Traceback (most recent call last)" not in err
    code, out, _ = cli("check", folder, "--json")
    report = json.loads(out)
    assert code == 1 and report["ok"] is False and words in report["problems"][-1]["message"]


def test_script_errors_show_the_plugin_traceback_marked(cli, tmp_path):
    folder = make_plugin(tmp_path / "p", HEADER + "def f():\n    raise KeyError('k')\nf()\n")
    code, _, err = cli("check", folder)
    assert code == 1 and "--- traceback from plugin code ---" in err and "main.py\", line 5, in <module>" in err
    assert "devhost" not in err and "importlib" not in err


def test_check_lists_blocks_pages_configs_and_flows(cli, tmp_path):
    folder = make_plugin(tmp_path / "p", flows={"chain.flow": FLOW, "broken.flow": "{"})
    code, out, err = cli("check", folder, "--json")
    report = json.loads(out)
    assert [b["id"] for b in report["blocks"]] == ["demo_tools.doubler", "demo_tools.shouter"]
    assert report["blocks"][1]["inputGroups"] == {"default": ["text (any)"]}
    assert report["configs"][0]["id"] == "demo_tools.config.settings"
    assert [f["name"] for f in report["flows"]] == ["Chain"]
    # The unreadable preset flow is the one problem.
    assert code == 1 and len(report["problems"]) == 1 and "broken.flow" in report["problems"][0]["message"]
    os.remove(os.path.join(folder, "Flows", "broken.flow"))
    code, out, err = cli("check", folder)
    assert code == 0 and "demo_tools.shouter  [base]" in out and "no problems found" in out


def test_describe_gives_the_block_dictionaries(cli, tmp_path):
    folder = make_plugin(tmp_path / "p")
    code, out, _ = cli("describe", folder)
    blocks = json.loads(out)
    assert code == 0 and [b["id"] for b in blocks] == ["demo_tools.doubler", "demo_tools.shouter"]
    code, out, _ = cli("describe", folder, "shouter")
    assert json.loads(out)["name"] == "Shouter"
    code, out, err = cli("describe", folder, "nothing")
    assert code == 1 and problem_lines(err) == [
        "error: block 'nothing' not found in plugin demo_tools (blocks: demo_tools.doubler, demo_tools.shouter)"]


def test_run_one_block_with_values_and_configuration(cli, tmp_path):
    folder = make_plugin(tmp_path / "p")
    code, out, err = cli("run", folder, "doubler", "--set", "value=20", "--json", "--workdir", tmp_path / "w")
    result = json.loads(out)
    block = result["blocks"][0]
    assert code == 0 and block["outputs"] == {"twice": 40} and block["storedOutputs"] == {"twice": 40}
    assert os.path.exists(tmp_path / "config" / "qorvel" / "plugins" / "demo_tools.config.json")
    code, out, _ = cli("config", folder, "--set", "offset=0.5", "--json")
    assert code == 0 and json.loads(out)["config"] == {"offset": 0.5}
    code, out, _ = cli("run", folder, "doubler", "--json")
    assert json.loads(out)["blocks"][0]["outputs"] == {"twice": 2.5}
    # Text where the value is not JSON; printed output is kept apart from the JSON document.
    code, out, _ = cli("run", folder, "shouter", "--input", "text=hello world", "--json")
    block = json.loads(out)["blocks"][0]
    assert block["outputs"] == {"loud": "HELLO WORLD"} and block["printed"] == "shouting\n"
    code, out, err = cli("run", folder, "doubler", "--set", "volume=3")
    assert code == 1 and problem_lines(err) == ["error: block demo_tools.doubler has no variable 'volume' "
                                                "(variables: value)"]
    code, out, err = cli("config", folder, "--set", "offest=1")
    assert code == 1 and "unknown configuration variable 'offest' (known: offset)" in err


def test_declared_blocks_are_unchanged_by_runs(tmp_path, monkeypatch):
    from QorvelAPI.devhost.flow import Flow
    from QorvelAPI.devhost.loader import load_plugin
    from QorvelAPI.devhost.run import LocalHost

    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "config"))
    loaded = load_plugin(make_plugin(tmp_path / "p"))
    before = [json.dumps(b._toDict()) for b in loaded.plugin._blocks]
    host = LocalHost(loaded, work_dir=str(tmp_path / "w"), queue="local")
    for n in range(3):
        run = host.run_flow(Flow.fromDict(json.loads(json.dumps(FLOW))))
        assert run.ok and run.results[1].outputs == {"loud": "10"}
        host.run_flow(host.adhoc_flow("doubler", {"value": n}, {}, None))
    assert [json.dumps(b._toDict()) for b in loaded.plugin._blocks] == before


def test_flow_by_name_or_file(cli, tmp_path):
    folder = make_plugin(tmp_path / "p", flows={"chain.flow": FLOW})
    code, out, err = cli("flow", folder, "chain", "--workdir", tmp_path / "w")
    assert code == 0 and "loud = \"10\"" in out and "2 of 2 blocks finished" in out
    assert "queue:" in err
    saved = json.loads((tmp_path / "w" / "Chain.flow").read_text())
    assert saved["blocks"][1]["state"]["storedOutputs"] == {"loud": "10"}
    elsewhere = dict(FLOW, blocks=[dict(FLOW["blocks"][0], state={"selectedRemote": "Big cluster"}),
                                   FLOW["blocks"][1]])
    (tmp_path / "elsewhere.flow").write_text(json.dumps(elsewhere))
    code, out, _ = cli("flow", folder, tmp_path / "elsewhere.flow", "--json")
    run = json.loads(out)
    remotes = tmp_path / "config" / "qorvel" / "remotes.toml"
    assert code == 1 and run["ok"] is False and [b["status"] for b in run["blocks"]] == ["error", "skipped"]
    assert run["blocks"][0]["error"] == (f"block demo_tools.doubler (#1) selects the remote 'Big cluster', which is "
                                         f"neither Local nor a remote of {remotes} (remotes: Local)")
    code, out, err = cli("flow", folder, "nothing")
    assert code == 1 and problem_lines(err) == ["error: no preset flow named 'nothing' in plugin demo_tools "
                                                "(preset flows: 'Chain')"]
    cyclic = dict(FLOW, connections=FLOW["connections"] + [{
        "origin": {"placedID": 2, "variableID": "loud"}, "destination": {"placedID": 1, "variableID": "value"}}])
    (tmp_path / "cyclic.flow").write_text(json.dumps(cyclic))
    code, out, err = cli("flow", folder, tmp_path / "cyclic.flow", "--json")
    assert code == 1 and "cyclic connection" in json.loads(out)["problems"][0]["message"]


def test_action_errors_are_reported_with_the_plugin_traceback(cli, tmp_path):
    script = GOOD + "def bad(block):\n    block.setOutput('missing', 1)\nplugin.addBlock(PluginBlock('Bad', 'b', action=bad, id='bad'))\n"
    folder = make_plugin(tmp_path / "p", script)
    code, out, err = cli("run", folder, "bad")
    assert code == 1 and "the action of block demo_tools.bad (#1) raised Exception: Output missing not found." in out
    assert "--- traceback from plugin code ---" in out and "Traceback (most recent" not in out + err


@pytest.mark.parametrize("text, kind, value", [
    ("3", None, 3), ("[1, 2]", "number[]", [1, 2]), ("true", "boolean", True), ("abc", None, "abc"), ("", None, ""),
    ("123", "string", "123"), ('{"a": 1}', "text_area", '{"a": 1}'), ('"quoted"', "string", "quoted"),
    ("2.5", "number", 2.5),
])
def test_values_are_json_where_they_parse_and_text_for_text_variables(text, kind, value):
    assert parse_value(text, kind) == value


CLUSTER = HEADER + """
import os
from QorvelAPI.molstar import MolstarAPI

def submit(block):
    path = os.path.join(block.remote.workDir, "job.sh")
    with open(path, "w") as handle:
        handle.write("#!/bin/sh\\necho $(( %d * 3 ))\\nexit %d\\n" % (block.variables["n"], block.variables["code"]))
    block.remote.submitJob(path)

def collect(block):
    block.setOutput("result", int(block.stdOut.strip()))
    MolstarAPI().setBackgroundColor("#000000")

job = SlurmBlock("Triple", "Triples on the cluster", submit, collect,
                 variables=[PluginVariable("n", "N", "n", VariableTypes.INTEGER, defaultValue=2),
                            PluginVariable("code", "Exit code", "c", VariableTypes.INTEGER, defaultValue=0)],
                 outputs=[PluginVariable("result", "Result", "r", VariableTypes.INTEGER)], id="triple")
plugin = Plugin()
plugin.addBlock(job)
"""


def live_queue():
    from QorvelAPI.devhost.runner import slurm_backend

    backend = slurm_backend()
    return backend is not None and backend.controller_available()


@pytest.mark.parametrize("queue", ["local", pytest.param("slurm", marks=pytest.mark.skipif(
    not live_queue(), reason="no SLURM controller answers on this machine"))])
def test_run_a_cluster_job_block_through_both_phases(cli, tmp_path, queue):
    folder = make_plugin(tmp_path / "p", CLUSTER)
    code, out, err = cli("run", folder, "triple", "--set", "n=7", "--json", "--queue", queue, "--poll", "0.2", "--job-timeout", "300")
    block = json.loads(out)["blocks"][0]
    assert code == 0 and block["outputs"] == {"result": 21} and block["job"]["status"] == "COMPLETED", out + err
    assert block["type"] == "slurm" and block["job"]["stdOut"] == "21\n"
    assert [a["type"] for a in block["viewerActions"]] == ["setBackgroundColor"]
    assert "COMPLETED" in err.splitlines()[-1], err  # the progress line ends with the final state
    code, out, err = cli("run", folder, "triple", "--set", "code=3", "--queue", queue, "--poll", "0.2", "--job-timeout", "300")
    assert code == 1 and "ended FAILED" in out and "viewer actions" not in out, out + err


def test_a_number_where_plugin_meta_wants_text_is_reported(cli, tmp_path):
    folder = make_plugin(tmp_path / "p", GOOD, dict(META, version=2))
    code, out, err = cli("check", folder, "--strict")
    assert code == 1 and "warning: plugin.meta: field \"version\" should be a string, found a number" in err


def test_input_groups_are_chosen_on_the_command_line(cli, tmp_path):
    script = HEADER + """
from QorvelAPI.plugins import VariableGroup

def pick(block):
    block.setOutput("picked", block.selectedInputGroup + ":" + ",".join(map(str, block.inputs.values())))

by_name = VariableGroup("by_name", "By name", "n", [PluginVariable("name", "Name", "n", VariableTypes.STRING)])
by_id = VariableGroup("by_id", "By id", "i", [PluginVariable("id", "Id", "i", VariableTypes.INTEGER)])
picker = PluginBlock("Picker", "p", action=pick, inputGroups=[by_name, by_id],
                     outputs=[PluginVariable("picked", "Picked", "p", VariableTypes.STRING)], id="picker")
plugin = Plugin()
plugin.addBlock(picker)
"""
    folder = make_plugin(tmp_path / "p", script)
    code, out, _ = cli("run", folder, "picker", "--input", "name=42", "--json")
    assert code == 0 and json.loads(out)["blocks"][0]["outputs"] == {"picked": "by_name:42"}
    code, out, _ = cli("run", folder, "picker", "--input-group", "by_id", "--input", "id=42", "--json")
    assert code == 0 and json.loads(out)["blocks"][0]["outputs"] == {"picked": "by_id:42"}
    code, _, err = cli("run", folder, "picker", "--input-group", "by_id", "--input", "name=x")
    assert code == 1 and problem_lines(err) == ["error: block demo_tools.picker has no input 'name' (inputs: id); it is an input "
                                              "of the group 'by_name': choose it with --input-group by_name "
                                              "(input_group=)"]
    code, _, err = cli("run", folder, "picker", "--input-group", "other")
    assert code == 1 and "has no input group 'other' (groups: by_name, by_id)" in err
