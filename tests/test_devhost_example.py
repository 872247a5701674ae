"""The example plugin through the local host: every block kind and the main job's preset flow."""

import json
from pathlib import Path

import pytest


EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "example_plugin"


def test_check_finds_no_problem(cli):
    code, out, err = cli("check", EXAMPLE, "--json")
    report = json.loads(out)
    assert code == 0 and report["problems"] == []
    assert {b["id"]: b["type"] for b in report["blocks"]} == {
        "example_plugin.ligand_count": "input", "example_plugin.refine_hits": "slurm",
        "example_plugin.screen_ligands": "base", "example_plugin.show_hits": "base"}


def test_each_block_kind_runs_on_its_own(cli, tmp_path):
    code, out, _ = cli("run", EXAMPLE, "ligand_count", "--set", "ligand_count=5", "--json")
    assert code == 0 and json.loads(out)["blocks"][0]["outputs"] == {"ligand_count": 5}
    code, out, _ = cli("run", EXAMPLE, "screen_ligands", "--input", "ligand_count=20", "--set", "threshold=-6.5",
                       "--json")
    report = json.loads(json.loads(out)["blocks"][0]["outputs"]["report"])
    assert code == 0 and report["hits"] and all(hit["score"] < -6.5 for hit in report["hits"])
    hits = json.dumps({"hits": [{"ligand": "a", "score": -7.0}, {"ligand": "b", "score": -9.0}]})
    code, out, err = cli("run", EXAMPLE, "refine_hits", "--input", f"report={hits}", "--set", "steps=2",
                         "--queue", "local", "--poll", "0.2", "--job-timeout", "300", "--json")
    block = json.loads(out)["blocks"][0]
    assert code == 0 and block["job"]["status"] == "COMPLETED"
    assert json.loads(block["outputs"]["refined"]) == [{"ligand": "b", "score": -9.3}, {"ligand": "a", "score": -7.3}]
    code, out, _ = cli("run", EXAMPLE, "show_hits", "--input", "hits=[{\"ligand\": \"b\", \"score\": -9.3}]", "--json")
    actions = json.loads(out)["blocks"][0]["viewerActions"]
    assert code == 0 and [a["type"] for a in actions] == ["setBackgroundColor", "addBox", "addSphere", "setSpin"]
    # A refinement without hits fails in the plugin's own code, which is what the traceback shows.
    code, out, _ = cli("run", EXAMPLE, "refine_hits", "--input", "report={}", "--queue", "local")
    assert code == 1 and "ValueError: The report holds no hits to refine." in out
    assert "example_plugin.py" in out and "--- traceback from plugin code ---" in out


def live_queue():
    from QorvelAPI.devhost.runner import slurm_backend

    backend = slurm_backend()
    return backend is not None and backend.controller_available()


@pytest.mark.parametrize("queue", ["local", pytest.param("slurm", marks=pytest.mark.skipif(
    not live_queue(), reason="no SLURM controller answers on this machine"))])
def test_the_main_job_runs_the_preset_flow_end_to_end(cli, tmp_path, queue):
    before = [json.dumps(b) for b in json.loads(cli("describe", EXAMPLE)[1])]
    code, out, err = cli("flow", EXAMPLE, "Screen and refine", "--queue", queue, "--poll", "0.2", "--job-timeout", "300",
                         "--workdir", tmp_path / "run")
    assert code == 0, out + err
    assert "4 of 4 blocks finished" in out and "job stdout:" in out and "viewer actions (6):" in out
    assert "COMPLETED" in err
    saved = json.loads((tmp_path / "run" / "Screen-and-refine.flow").read_text())
    states = {b["placedID"]: b["state"] for b in saved["blocks"]}
    assert states[3]["status"] == "COMPLETED" and states[3]["executeSecondAction"] is False
    assert states[4]["storedOutputs"] == {"shown": 3}
    assert (tmp_path / "run" / "refine_3" / "refine.sh").is_file()
    # The declared blocks are what they were.
    assert [json.dumps(b) for b in json.loads(cli("describe", EXAMPLE)[1])] == before
