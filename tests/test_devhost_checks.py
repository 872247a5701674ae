"""The local host refuses what the platform's editor and SLURM would: wrong values, broken flows and
batch scripts, and the newcomer's mistakes that ``check`` must report."""

import json
import os
import re

import pytest

from QorvelAPI import plugins
from QorvelAPI.devhost.sbatch import DirectiveError, read_directives, unhonoured
from QorvelAPI.devhost.values import ValueCheckError, check_value

pytestmark = pytest.mark.skipif(not hasattr(plugins, "SlurmBlock"), reason="the plugin model is not built yet")

from test_devhost_cli import HEADER, META, make_plugin, problem_lines  # noqa: E402

T = plugins.VariableTypes


def var(kind, **kw):
    return plugins.PluginVariable("v", "V", "d", kind, **kw)


COLUMNS = [plugins.PluginVariable("chain", "C", "c", T.STRING, defaultValue="A"),
           plugins.PluginVariable("residue", "R", "r", T.INTEGER)]


@pytest.mark.parametrize("variable, value, words", [
    (var(T.NUMBER), "abc", "'v' is declared number, but the value \"abc\" is not a number"),
    (var(T.INTEGER), 2.7, "not a whole number"), (var(T.INTEGER), True, "not a whole number"),
    (var(T.BOOLEAN), 1, "is not true or false"),
    (var(T.STRING_LIST, allowedValues=["fast", "exhaustive"]), "slow",
     "declared string[] with allowed values [\"fast\", \"exhaustive\"], but the value \"slow\" is not one of them"),
    (var(T.RADIO, allowedValues=[1, 2]), True, "is not one of them"),
    (var(T.CHECKBOX, allowedValues=["a", "b"]), ["a", "c"], "\"c\" is not one of them"),
    (var(T.LIST, allowedValues=[T.INTEGER]), [1, "x"], "item 2, \"x\", is not a whole number"),
    (var(T.NUMBER_RANGE), [1, 2], "is not a list of three numbers [from, to, step]"),
    (var(T.CONSTRAINED_NUMBER_RANGE), [1, 2, 3, 4], "three numbers and true or false"),
    (plugins.VariableGroup("box", "B", "d", [var(T.NUMBER)]), [1], "'box' is a group, but the value [1] is not a "
                                                                   "JSON object with members v"),
    (plugins.VariableGroup("box", "B", "d", [var(T.NUMBER)]), {"w": 1}, "it has no member 'w' (members: v)"),
    (plugins.VariableGroup("box", "B", "d", [var(T.NUMBER)]), {"v": "big"}, "'box.v' is declared number"),
    (plugins.VariableList("res", "R", "d", COLUMNS), {"chain": "A"},
     "is not a JSON list of rows (objects) with columns chain, residue"),
    (plugins.VariableList("res", "R", "d", COLUMNS), [{"chian": "B"}],
     "row 1 has the column 'chian', which the list does not have (columns: chain, residue)"),
])
def test_wrong_values_name_block_variable_type_and_value(variable, value, words):
    with pytest.raises(ValueCheckError) as caught:
        check_value("my.block (#2)", variable, value)
    assert str(caught.value).startswith("block my.block (#2): ") and words in str(caught.value)


def test_fitting_values_pass_and_list_rows_get_the_column_defaults(tmp_path):
    warnings = []
    assert check_value("b", plugins.VariableList("res", "R", "d", COLUMNS), [{"residue": 7}]) == \
        [{"chain": "A", "residue": 7}]
    for variable, value in ((var(T.NUMBER), 2), (var(T.INTEGER), 3), (var(T.NUMBER_RANGE), [0, 1.5, 0.5]),
                            (var(T.CHECKBOX), False), (var(T.ANY), {"x": [1]}), (var(T.STRING), None)):
        assert check_value("b", variable, value) == value
    assert check_value("b", var(T.FILE), str(tmp_path / "none.pdb"), warn=warnings.append) == str(tmp_path / "none.pdb")
    assert warnings == [f"block b: variable 'v' (file): {tmp_path / 'none.pdb'} does not exist on this machine"]


NEWCOMER = HEADER + """
from QorvelAPI.plugins import VariableGroup

def double(block):
    block.setOutput("result", block.variables["value"] * 2)

def size(block):
    block.setOutput("volume", block.variables["box"]["edge"] ** 3)

value = PluginVariable("value", "Value", "The number to double", VariableTypes.NUMBER, defaultValue=1)
result = PluginVariable("result", "Result", "Twice the value", VariableTypes.NUMBER)
doubler = PluginBlock("Doubler", "Doubles a number", action=double, variables=[value], outputs=[result], id="doubler")
box = VariableGroup("box", "Box", "b", [PluginVariable("edge", "Edge", "e", VariableTypes.NUMBER, defaultValue=2)])
sizer = PluginBlock("Sizer", "Volume", action=size, variables=[box], id="sizer",
                    outputs=[PluginVariable("volume", "Volume", "v", VariableTypes.INTEGER)])
settings = PluginConfig("Settings", "s", variables=[PluginVariable("level", "Level", "l", VariableTypes.INTEGER,
                                                                   defaultValue=1)], id="settings")
plugin = Plugin()
plugin.addBlock(doubler)
plugin.addBlock(sizer)
plugin.addConfig(settings)
"""


def test_the_newcomers_wrong_values_are_refused(cli, tmp_path):
    folder = make_plugin(tmp_path / "p", NEWCOMER)
    code, out, err = cli("run", folder, "doubler", "--set", "value=abc")
    assert code == 1 and "block demo_tools.doubler (#1): variable 'value' is declared number, but the value " \
                         "\"abc\" is not a number" in err and "==" not in out
    code, out, _ = cli("run", folder, "doubler", "--set", 'value="ab"')
    assert code == 1  # a JSON string is no number either
    code, out, _ = cli("run", folder, "sizer", "--set", "box.edge=1.5", "--json")
    block = json.loads(out)["blocks"][0]  # 3.375 is no integer: the block fails on its setOutput
    assert code == 1 and block["status"] == "error" and block["error"].startswith(
        "setOutput: block demo_tools.sizer (#1): output 'volume' is declared integer, but the value 3.375")
    assert cli("run", folder, "sizer", "--set", "box.edge=3", "--json")[0] == 0
    code, _, err = cli("run", folder, "sizer", "--set", "box=[3]")
    assert code == 1 and "'box' is a group, but the value [3] is not a JSON object with members edge" in err
    code, _, err = cli("config", folder, "--set", "level=high")
    assert code == 1 and "variable 'level' is declared integer" not in err and \
        "setting 'level' is declared integer, but the value \"high\" is not a whole number" in err


def chain(**change):
    flow = {"name": "Chain", "savedID": 8,
            "blocks": [{"blockID": "demo_tools.doubler", "placedID": 1},
                       {"blockID": "demo_tools.doubler", "placedID": 2}],
            "connections": [{"origin": {"placedID": 1, "blockID": "demo_tools.doubler", "variableID": "result"},
                             "destination": {"placedID": 2, "blockID": "demo_tools.doubler", "variableID": "value"}}]}
    flow.update(change)
    return flow


def link(origin, destination, blockID="demo_tools.doubler", first=1, second=2):
    return [{"origin": {"placedID": first, "blockID": blockID, "variableID": origin},
             "destination": {"placedID": second, "variableID": destination}}]


@pytest.mark.parametrize("change, words", [
    ({"connections": link("value", "value")}, "block demo_tools.doubler has no output 'value' (it is a variable or "
                                               "input, not an output)"),
    ({"connections": link("result", "result")}, "has no input or variable 'result' (it is an output)"),
    ({"connections": link("result", "value", blockID="demo_tools.sizer")},
     "its origin names block 'demo_tools.sizer', but #1 is demo_tools.doubler"),
    ({"blocks": [{"blockID": "demo_tools.sizer", "placedID": 1}, {"blockID": "demo_tools.doubler", "placedID": 2}],
      "connections": link("volume", "value", blockID="demo_tools.sizer")}, None),  # integer into number
    ({"blocks": [{"blockID": "demo_tools.doubler", "placedID": 1}, {"blockID": "demo_tools.sizer", "placedID": 2}],
      "connections": link("result", "box")}, "the output is number, the destination group; these types cannot"),
    ({"blocks": [{"blockID": "demo_tools.doubler", "placedID": 1},
                 {"blockID": "demo_tools.doubler", "placedID": 2,
                  "state": {"variables": [{"id": "valeu", "value": 3}]}}]},
     "block demo_tools.doubler (#2): the state sets the variable 'valeu', which the block does not have"),
    ({"blocks": [{"blockID": "demo_tools.doubler", "placedID": 1},
                 {"blockID": "demo_tools.doubler", "placedID": 2, "state": {"variables": [{"id": "value",
                                                                                           "value": "x"}]}}]},
     "block demo_tools.doubler (#2): variable 'value' is declared number"),
])
def test_flows_are_checked_before_any_block_runs(cli, tmp_path, change, words):
    folder = make_plugin(tmp_path / "p", NEWCOMER)
    (tmp_path / "f.flow").write_text(json.dumps(chain(**change)))
    code, out, err = cli("flow", folder, str(tmp_path / "f.flow"), "--workdir", tmp_path / "w")
    if words is None:
        assert code == 0, err
        return
    assert code == 1 and words in err and "==" not in out, err  # nothing ran
    assert not (tmp_path / "w").exists()


def test_flow_overrides_by_placement_and_paths_from_the_plugin_folder(cli, tmp_path, monkeypatch):
    folder = make_plugin(tmp_path / "p", NEWCOMER, flows={"chain.flow": chain()})
    monkeypatch.chdir(tmp_path)
    code, out, _ = cli("flow", folder, os.path.join("Flows", "chain.flow"), "--set", "1.value=5", "--json")
    assert code == 0 and json.loads(out)["blocks"][1]["outputs"] == {"result": 20}
    code, _, err = cli("flow", folder, "chain", "--set", "1.value=abc")
    assert code == 1 and "block demo_tools.doubler (#1): variable 'value' is declared number" in err
    code, _, err = cli("flow", folder, "chain", "--set", "value=5")
    assert code == 1 and "--set of a flow expects PLACED_ID.NAME=VALUE, got 'value=5'" in err
    from test_devhost_cli import GOOD

    shout = {"name": "Shout", "blocks": [{"blockID": "demo_tools.shouter", "placedID": 4}]}
    folder = make_plugin(tmp_path / "q", GOOD, flows={"shout.flow": shout})
    code, out, _ = cli("flow", folder, "shout", "--input", "4.text=hey", "--json")
    assert code == 0 and json.loads(out)["blocks"][0]["outputs"] == {"loud": "HEY"}


NO_PAGE = HEADER + """
from QorvelAPI.plugins import CustomVariable, PluginPage

page = PluginPage("Weights", "Weights", "w", "weights.html")
weights = CustomVariable("weights", "Weights", "w", VariableTypes.CUSTOM, page)
first = PluginBlock("Dup", "first", variables=[weights], id="dup")
second = PluginBlock("Dup", "second", id="dup")
job = SlurmBlock("Job", "j", lambda block: None, None, id="job",
                 variables=[PluginVariable("n", "N", "n", VariableTypes.INTEGER, defaultValue=2.5)])
plugin = Plugin()
plugin.addBlock(first)
plugin.addBlock(second)
plugin.addBlock(job)
"""


def test_check_reports_the_newcomers_plugin_mistakes(cli, tmp_path):
    meta = dict(META, version="latest", dependancies=["numpy"])
    folder = make_plugin(tmp_path / "p", NO_PAGE, meta, flows={"a.flow": {"name": "A", "savedID": 1},
                                                               "b.flow": {"name": "B", "savedID": 1}})
    code, _, err = cli("check", folder)
    lines = problem_lines(err)
    assert code == 1
    for words in ("error: plugin.meta: unknown field \"dependancies\" (did you mean \"dependencies\"?)",
                  "error: plugin.meta: field \"version\" is not a version: \"latest\"",
                  "error: block demo_tools.dup: custom variable 'weights' is rendered by the page "
                  "'Weights', which is not added to the plugin",
                  "error: Block with ID 'demo_tools.dup' already exists. Skipping. (duplicate block identifier: "
                  "declared at main.py:8 (kept) and main.py:9 (skipped))",
                  "warning: cluster job block demo_tools.job has no finalAction",
                  "error: declared default value: block demo_tools.job: variable 'n' is declared integer, but the "
                  "value 2.5 is not a whole number",
                  "error: preset flows a.flow and b.flow share the savedID 1"):
        assert any(line.startswith(words) for line in lines), (words, lines)


def test_warnings_fail_the_check_only_when_strict(cli, tmp_path):
    folder = make_plugin(tmp_path / "p", HEADER + "plugin = Plugin()\nplugin.addBlock(SlurmBlock('J', 'j', print, None, id='j'))\n")
    code, _, err = cli("check", folder)
    assert code == 0 and problem_lines(err) == ["warning: cluster job block demo_tools.j has no finalAction: nothing "
                                                "reads the results of its job"]
    assert cli("check", folder, "--strict")[0] == 1 and json.loads(cli("check", folder, "--json")[1])["ok"] is True


def test_an_unreadable_configuration_file_fails_after_being_set_aside(cli, tmp_path):
    folder = make_plugin(tmp_path / "p", NEWCOMER)
    path = tmp_path / "settings.json"
    for command in (("check", folder), ("config", folder), ("run", folder, "doubler")):
        path.write_text("{broken")
        code, out, err = cli(*command, "--config", path)
        assert code == 1 and "Error reading config file" in err and "==" not in out, command
        assert (tmp_path / "settings.json.bak").read_text() == "{broken" and json.loads(path.read_text()) == \
            {"level": 1}


@pytest.mark.parametrize("line, words", [
    ("--time=abc", "sbatch: error: Invalid --time value"),
    ("-t 1:2:3:4", "sbatch: error: Invalid --time value"),
    ("--cpus-per-task=0", 'sbatch: error: Invalid numeric value "0" for --cpus-per-task.'),
    ("-n x", 'sbatch: error: Invalid numeric value "x" for --ntasks.'),
    ("--mem=1.5G", "sbatch: error: Invalid --mem value"),
    ("--nodes=abc", 'sbatch: error: "abc" is not a valid node count'),
    ("--array=5-1", "sbatch: error: Batch job submission failed: Invalid job array range"),
    ("--array=1-9:0", "sbatch: error: Batch job submission failed: Invalid job array range"),
    ("--bogus=1", "sbatch: unrecognized option '--bogus=1'"),
    ("--time", "sbatch: option '--time' requires an argument"),
])
def test_sbatch_directives_are_refused_in_sbatchs_words(line, words):
    with pytest.raises(DirectiveError) as caught:
        read_directives(f"#!/bin/sh\n#SBATCH --job-name=x\n#SBATCH {line}\necho hi\n", "job.sh")
    assert str(caught.value) == f"{words} (job.sh line 3: #SBATCH {line})"
    good = read_directives("#!/bin/sh\n#SBATCH -t 1-02:00 --mem=4G -c 2 --array=1-9:2%3\n#SBATCH -p gpu --gpus=1\n"
                           "echo hi\n#SBATCH --time=late\n", "job.sh")
    assert [d.option for d in good] == ["time", "mem", "cpus-per-task", "array", "partition", "gpus"]
    assert [w.split(": ")[-1] for w in unhonoured(good, "job.sh")] == [
        "the local runner has no partitions; the job runs on this machine",
        "the local runner gives a job no GPUs; the job runs on this machine"]


CLUSTER = HEADER + """
import os

def submit(block):
    for n in range(block.variables["jobs"]):
        path = os.path.join(block.remote.workDir, "job%d.sh" % n)
        with open(path, "w") as handle:
            handle.write("#!/bin/sh\\n#SBATCH %s\\nsleep %d\\necho done\\n" % (block.variables["directive"],
                                                                             block.variables["sleep"]))
        block.remote.submitJob(path)

def collect(block):
    block.setOutput("said", block.stdOut.strip())

job = SlurmBlock("Wait", "w", submit, collect, id="wait", outputs=[PluginVariable("said", "S", "s", VariableTypes.STRING)],
                 variables=[PluginVariable("sleep", "Sleep", "s", VariableTypes.INTEGER, defaultValue=0),
                            PluginVariable("jobs", "Jobs", "j", VariableTypes.INTEGER, defaultValue=1),
                            PluginVariable("directive", "D", "d", VariableTypes.STRING, defaultValue="-J w")])
plugin = Plugin()
plugin.addBlock(job)
"""


def test_cluster_jobs_on_the_local_runner(cli, tmp_path):
    folder = make_plugin(tmp_path / "p", CLUSTER)
    run = ("run", folder, "wait", "--queue", "local", "--poll", "0.05", "--json")
    code, out, _ = cli(*run, "--set", "directive=--time=soon")
    block = json.loads(out)["blocks"][0]
    assert code == 1 and "sbatch: error: Invalid --time value (job0.sh line 2: #SBATCH --time=soon)" in \
        block["error"]
    code, out, _ = cli(*run, "--set", "jobs=2", "--set", "directive=--partition=big")
    messages = [m["message"] for m in json.loads(out)["blocks"][0]["messages"]]
    assert code == 0 and "job0.sh line 2: #SBATCH --partition=big: the local runner has no partitions; the job " \
                         "runs on this machine" in messages
    assert any("submitted 2 jobs" in m and "only the last one" in m for m in messages)


def test_an_interrupted_run_keeps_its_state_and_reports(cli, tmp_path, monkeypatch):
    from QorvelAPI.devhost import cli as command

    def interrupt(self, text, final):
        if "RUNNING" in text:
            raise KeyboardInterrupt

    monkeypatch.setattr(command.Output, "progress", interrupt)
    folder = make_plugin(tmp_path / "p", CLUSTER)
    code, out, err = cli("run", folder, "wait", "--set", "sleep=30", "--queue", "local", "--poll", "0.05",
                         "--workdir", tmp_path / "w", "--json")
    result = json.loads(out)
    block = result["blocks"][0]
    assert code == 130 and "interrupted" in err and result["savedTo"] and block["status"] == "cancelled"
    assert block["job"]["status"] == "CANCELLED"
    state = json.loads((tmp_path / "w" / "run-demo_tools.wait.flow").read_text())["blocks"][0]["state"]
    assert state["status"] == "CANCELLED" and state["jobID"] == block["job"]["jobID"]
    assert [v["value"] for v in state["variables"] if v["id"] == "sleep"] == [30]
    monkeypatch.undo()
    code, out, err = cli("run", folder, "wait", "--set", "sleep=30", "--queue", "local", "--poll", "0.05",
                         "--job-timeout", "0.3")
    assert code == 1 and "cancelled" in out and "results saved to" in out


def test_add_box_is_documented_as_centred():
    from QorvelAPI.molstar import MolstarAPI

    assert "centred on it" in MolstarAPI.addBox.__doc__


SCAN = HEADER + """
def report(block):
    block.setOutput("seen", block.variables["label"])

plugin = Plugin()
plugin.addBlock(PluginBlock("Scan", "s", report, id="scan", outputs=[PluginVariable("seen", "S", "s", VariableTypes.ANY)],
    variables=[PluginVariable("label", "L", "l", VariableTypes.STRING, defaultValue="a"),
               PluginVariable("window", "W", "w", VariableTypes.CONSTRAINED_NUMBER_RANGE, defaultValue=[1, 5, 1])]))
"""
WINDOW = "variable 'window' is declared [number, number, number, constrain], but the value [1, 5, 1] is not a list"


def scan_flow(*entries):
    return {"name": "Scan", "savedID": 4, "blocks": [{"blockID": "demo_tools.scan", "placedID": 3,
                                                      "state": {"variables": list(entries)}}]}


def test_a_declared_default_that_does_not_fit_is_refused_on_every_path(cli, tmp_path):
    from QorvelAPI.devhost import FlowError, PluginHost
    from QorvelAPI.devhost.serve import build_app
    from QorvelAPI.devhost.serve.server import Refused

    folder = make_plugin(tmp_path / "p", SCAN, flows={"scan.flow": scan_flow({"id": "label", "value": "b"})})
    code, _, err = cli("check", folder)
    assert code == 1 and f"error: declared default value: block demo_tools.scan: {WINDOW}" in err
    for command, placed in ((("run", folder, "scan"), 1), (("flow", folder, "scan"), 3)):
        code, out, err = cli(*command, "--workdir", tmp_path / "w")
        assert code == 1 and f"block demo_tools.scan (#{placed}): {WINDOW}" in err and "==" not in out, command
    host = PluginHost(folder, queue="local", workdir=tmp_path / "w")
    app = build_app(str(folder), queue="local", runs_dir=str(tmp_path / "runs"))
    for call in (lambda: host.run("scan"), lambda: host.flow("scan"), lambda: app.run_request({"block": "demo_tools.scan"}),
                 lambda: app.run_request({"flow": "scan"})):
        with pytest.raises((FlowError, Refused), match=re.escape(WINDOW)):
            call()
    assert not (tmp_path / "w").exists() and not (tmp_path / "runs").exists()


def test_the_host_checks_the_values_the_model_stored_from_the_state(cli, tmp_path):
    folder = make_plugin(tmp_path / "p", SCAN)
    window = {"id": "window", "value": [1, 5, 1, True]}
    # The model reads a group entry's members whatever the variable's type: the text variable holds {"m": 1}.
    odd = {"id": "label", "type": "group", "value": "x", "variables": [{"id": "m", "value": 1}]}
    (tmp_path / "f.flow").write_text(json.dumps(scan_flow(odd, window)))
    code, _, err = cli("flow", folder, tmp_path / "f.flow")
    assert code == 1 and "error: block demo_tools.scan (#3): variable 'label' is declared string, but the value " \
                         "{\"m\": 1} is not a text" in err
    (tmp_path / "f.flow").write_text(json.dumps(scan_flow({"id": "label", "value": "b"}, window)))
    code, out, err = cli("flow", folder, tmp_path / "f.flow", "--json")
    assert code == 0 and json.loads(out)["blocks"][0]["outputs"] == {"seen": "b"}, err


def test_every_variable_type_has_an_entry_in_the_host_type_table():
    from QorvelAPI.devhost.vartypes import TYPES

    assert sorted(TYPES) == sorted(str(member) for member in T)  # none missing, none left over
