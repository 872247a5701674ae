import importlib.util
import json
from pathlib import Path

import pytest

from QorvelAPI.devhost.flow import Flow, FlowError
from QorvelAPI.devhost.run import LocalHost
from QorvelAPI.devhost.runner import LocalRunner

from devhost_fakes import Block, FakePlugin, Loaded, Slurm, Var, script_path

HOST_ORDER = ["copy", "_parseInternalVariables", "_updateInputs", "_cleanRun", "_setRemote", "flow", "pluginDir",
              "config", "call"]


def conn(origin, out, dest, var):
    return {"origin": {"placedID": origin, "variableID": out}, "destination": {"placedID": dest, "variableID": var}}


def make_host(tmp_path, blocks, **kw):
    plugin = FakePlugin(str(tmp_path / "plugin"), blocks)
    (tmp_path / "plugin").mkdir(exist_ok=True)
    return LocalHost(Loaded(plugin), work_dir=str(tmp_path / "run"), queue=LocalRunner(), poll=0.02, **kw)


def double(block):
    block.setOutput("x", block.variables["a"] * 2)
    block.setOutput("conf", block.config["threshold"])


def add(block):
    block.setOutput("sum", block.inputs["x"] + block.variables["v"])


def test_a_placement_is_prepared_in_the_host_order(tmp_path):
    log = []
    source = Block("Source", double, variables=[Var("a", 1)], outputs=[Var("x"), Var("conf")], id="source", log=log)
    host = make_host(tmp_path, [source])
    run = host.run_flow(host.adhoc_flow("source", {}, {}, None))
    assert log == HOST_ORDER
    assert run.ok and run.results[0].outputs == {"x": 2, "conf": 0.5}
    log.clear()
    run = host.run_flow(host.adhoc_flow("fake.source", {"a": 21}, {}, None))
    assert log == HOST_ORDER[:2] + ["_updateVariables"] + HOST_ORDER[2:]
    assert run.results[0].outputs["x"] == 42 and run.results[0].storedOutputs == {"x": 42, "conf": 0.5}
    saved = json.loads(Path(run.savedTo).read_text())
    assert saved["blocks"][0]["state"]["storedOutputs"] == {"x": 42, "conf": 0.5}


def test_flow_passes_outputs_along_connections_and_never_touches_declared_blocks(tmp_path):
    source = Block("Source", double, variables=[Var("a", 5)], outputs=[Var("x"), Var("conf")], id="source")
    adder = Block("Adder", add, variables=[Var("v", 1)], inputs=[Var("x", 0)], outputs=[Var("sum")], id="adder")
    host = make_host(tmp_path, [source, adder])
    before = [b._toDict() for b in (source, adder)]
    data = {"name": "two", "savedID": 3,
            "blocks": [{"blockID": "fake.adder", "placedID": 2},  # listed first, runs second
                       {"blockID": "fake.adder", "placedID": 3, "inputs": {"x": 100}},
                       {"blockID": "fake.source", "placedID": 1,
                        "state": {"variables": [{"id": "a", "value": 4}]}}],
            "connections": [conn(1, "x", 2, "x"), conn(1, "conf", 2, "v")]}
    for _ in range(3):
        run = host.run_flow(Flow.fromDict(json.loads(json.dumps(data))))
        # Dependency order, file order otherwise: #3 needs nothing, #2 needs #1.
        assert [(r.placedID, r.status) for r in run.results] == [(3, "ok"), (1, "ok"), (2, "ok")]
        assert run.results[2].outputs == {"sum": 8.5} and run.results[0].outputs == {"sum": 101}
    assert [b._toDict() for b in (source, adder)] == before


def test_failures_skip_dependent_blocks_but_not_independent_ones(tmp_path):
    def broken(block):
        raise RuntimeError("no structure")

    bad = Block("Bad", broken, outputs=[Var("x")], id="bad")
    adder = Block("Adder", add, variables=[Var("v", 1)], inputs=[Var("x", 0)], outputs=[Var("sum")], id="adder")
    source = Block("Source", double, variables=[Var("a", 5)], outputs=[Var("x"), Var("conf")], id="source")
    host = make_host(tmp_path, [bad, adder, source])
    flow = Flow.fromDict({"name": "f", "blocks": [{"blockID": "fake.bad", "placedID": 1},
                                                  {"blockID": "fake.adder", "placedID": 2},
                                                  {"blockID": "fake.source", "placedID": 3},
                                                  {"blockID": "fake.adder", "placedID": 4},
                                                  {"blockID": "fake.adder", "placedID": 5}],
                          "connections": [conn(1, "x", 2, "x"), conn(3, "x", 4, "x"), conn(2, "sum", 5, "x")]})
    run = host.run_flow(flow)
    status = {r.placedID: r for r in run.results}
    assert not run.ok
    assert status[1].status == "error" and "raised RuntimeError: no structure" in status[1].error
    assert status[2].status == "skipped" and "fake.bad (#1)" in status[2].error
    assert status[3].status == "ok"
    assert status[4].status == "ok" and status[4].outputs == {"sum": 11}
    # Skipped in turn: it names everything upstream that did not finish.
    assert status[5].status == "skipped" and status[5].error == (
        "not run: it depends on fake.bad (#1), fake.adder (#2), which did not finish")


def test_flows_with_unknown_blocks_or_cycles_are_refused_before_anything_runs(tmp_path):
    log = []
    source = Block("Source", double, variables=[Var("a", 5)], outputs=[Var("x"), Var("conf")], id="source", log=log)
    host = make_host(tmp_path, [source])
    with pytest.raises(FlowError, match="'fake.missing' \\(#2\\) is not a block of plugin fake"):
        host.run_flow(Flow.fromDict({"name": "f", "blocks": [{"blockID": "fake.source", "placedID": 1},
                                                             {"blockID": "fake.missing", "placedID": 2}]}))
    cyclic = {"name": "f", "blocks": [{"blockID": "fake.source", "placedID": 1},
                                      {"blockID": "fake.source", "placedID": 2}],
              "connections": [conn(1, "x", 2, "a"), conn(2, "x", 1, "a")]}
    with pytest.raises(FlowError, match="cyclic connection"):
        host.run_flow(Flow.fromDict(cyclic))
    assert log == []


def test_plugin_tracebacks_show_only_plugin_frames(tmp_path):
    folder = tmp_path / "plugin"
    folder.mkdir()
    (folder / "actions.py").write_text("def explode(block):\n    helper()\n\ndef helper():\n    raise ValueError('bad input')\n")
    spec = importlib.util.spec_from_file_location("fake_plugin_actions", folder / "actions.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    host = make_host(tmp_path, [Block("Boom", module.explode, id="boom")])
    result = host.run_flow(host.adhoc_flow("boom", {}, {}, None)).results[0]
    trace = result.pluginTraceback
    assert trace.startswith("--- traceback from plugin code ---") and trace.count('File "') == 2
    assert "actions.py" in trace and "ValueError: bad input" in trace and "devhost" not in trace


def submit_action(body):
    def initial(block):
        path = script_path(block.remote.workDir, body)
        block.remote.submitJob(path)
    return initial


def read_output(block):
    block.setOutput("text", block.stdOut.strip())


def test_cluster_job_block_runs_both_phases_around_its_job(tmp_path):
    log, progress = [], []
    job = Slurm("Job", submit_action("echo computed; sleep 0.2"), read_output, outputs=[Var("text")], id="job", log=log)
    host = make_host(tmp_path, [job], progress=lambda text, final: progress.append((text, final)))
    result = host.run_flow(host.adhoc_flow("job", {}, {}, None)).results[0]
    assert result.status == "ok" and result.outputs == {"text": "computed"}
    assert log == HOST_ORDER + ["_parseInternalVariables", "call"]
    assert result.job.status == "COMPLETED" and result.job.seconds >= 0.2
    assert any("RUNNING" in text for text, _ in progress) and progress[-1][1] and "COMPLETED" in progress[-1][0]
    assert (tmp_path / "run" / f"slurm-{result.job.jobID}.out").read_text() == "computed\n"


@pytest.mark.parametrize("fail, status", [(True, "error"), (False, "ok")])
def test_failed_jobs_stop_the_block_unless_it_asks_otherwise(tmp_path, fail, status):
    log = []
    job = Slurm("Job", submit_action("echo oops >&2; exit 2"), lambda b: b.setOutput("text", "after"),
                fail=fail, outputs=[Var("text")], id="job", log=log)
    host = make_host(tmp_path, [job])
    result = host.run_flow(host.adhoc_flow("job", {}, {}, None)).results[0]
    assert result.status == status and result.job.status == "FAILED" and result.job.stdErr == "oops\n"
    assert log.count("call") == (1 if fail else 2)
    if fail:
        assert "ended FAILED" in result.error and "oops" in result.blockLogs


def test_a_job_that_outlives_its_time_is_cancelled(tmp_path):
    job = Slurm("Job", submit_action("sleep 30"), read_output, outputs=[Var("text")], id="job")
    host = make_host(tmp_path, [job], job_timeout=0.3)
    result = host.run_flow(host.adhoc_flow("job", {}, {}, None)).results[0]
    assert result.status == "error" and "still RUNNING after 0.3 s; cancelled" in result.error
    assert host.queue.state(result.job.jobID) == "CANCELLED"


def test_hosts_started_in_the_same_second_never_share_a_run_folder(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr("time.strftime", lambda pattern: "20260101-000000")
    host = make_host(tmp_path, [])
    host.work_dir = None
    first = host.prepare_folder(Flow("My flow"))
    # Another host makes the next folder between this one's look and its own make.
    (tmp_path / "qorvel-runs" / "My-flow-20260101-000000-2").mkdir()
    monkeypatch.setattr("os.path.exists", lambda path: False)
    folders = [host.prepare_folder(Flow("My flow")) for _ in range(2)]
    assert [Path(f).name for f in [first, *folders]] == [
        "My-flow-20260101-000000", "My-flow-20260101-000000-3", "My-flow-20260101-000000-4"]
