"""The flows of `qorvel-plugin serve` over HTTP: listing, reading and saving them as the editor does."""

import json
import os
import shutil
import threading
from pathlib import Path

import pytest

from serve_support import Served

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "example_plugin"
PRESET = "example-plugin-screen-refine"


@pytest.fixture
def example(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "xdg-state"))
    folder = tmp_path / "example"
    shutil.copytree(EXAMPLE, folder)
    served = Served(folder, tmp_path)
    yield served, folder
    served.close()


def files(root):
    return sorted(str(p.relative_to(root)) for p in root.rglob("*") if p.is_file() and "xdg-state" not in p.parts)


def test_list_get_and_saves_that_round_trip_byte_for_byte(example):
    served, folder = example
    status, listed = served.json("GET", "/api/flows")
    assert status == 200 and [(e["savedID"], e["source"]) for e in listed] == [
        (PRESET, "preset"), ("example-plugin-screen-12", "preset")]
    preset = folder / "Flows" / "screen_and_refine.flow"
    original = preset.read_bytes()
    response, body = served.request("GET", f"/api/flows/{PRESET}")
    assert response.status == 200 and body == original
    assert served.json("PUT", f"/api/flows/{PRESET}", json.loads(body)) == (200, {"path": str(preset), "problems": []})
    assert preset.read_bytes() == original

    # A flow that a run saved in the runs folder comes back unchanged too.
    assert served.json("POST", "/api/run", {"flow": "Screen and refine"})[0] == 202
    served.app.session.wait(60)
    run = [e for e in served.json("GET", "/api/flows")[1] if e["source"] == "run"]
    assert [e["savedID"] for e in run] == [PRESET]
    saved = Path(run[0]["path"]).read_bytes()
    response, body = served.request("GET", f"/api/flows/{PRESET}?path={run[0]['path']}")
    assert body == saved
    relative = os.path.relpath(run[0]["path"], served.app.session.runs_dir)
    assert served.json("PUT", f"/api/flows/{PRESET}?copy={relative}", json.loads(body))[0] == 200
    assert Path(run[0]["path"]).read_bytes() == saved


def test_refusals_name_the_connection_or_placement_and_write_nothing(example):
    served, folder = example
    document = json.loads((folder / "Flows" / "screen_and_refine.flow").read_text())
    before = {p: (folder / p).read_bytes() for p in files(folder)}
    wrong = {"origin": {"placedID": 2, "blockID": "example_plugin.screen_ligands", "variableID": "report"},
             "destination": {"placedID": 4, "variableID": "box"}}
    message = ("flow 'Screen and refine': connection #2.report -> #4.box: the output is string, the destination "
               "group; these types cannot be connected")
    assert served.json("POST", "/api/connection", {"flow": document, "connection": wrong}) == (
        200, {"allowed": False, "problems": [message]})
    from_input = {"origin": {"placedID": 2, "variableID": "threshold"}, "destination": {"placedID": 3, "variableID": "steps"}}
    assert "(it is a variable or input, not an output)" in served.json(
        "POST", "/api/connection", {"flow": document, "connection": from_input})[1]["problems"][0]

    with_wrong = json.loads(json.dumps(document))
    with_wrong["connections"].append(wrong)
    status, answer = served.json("PUT", f"/api/flows/{PRESET}", with_wrong)
    assert status == 400 and answer["problems"] == [{"level": "error", "message": message, "connection": wrong}]

    bad_value = json.loads(json.dumps(document))
    bad_value["blocks"][2]["state"]["variables"][0]["value"] = "four"
    status, answer = served.json("PUT", f"/api/flows/{PRESET}", bad_value)
    assert status == 400 and answer["problems"] == [{
        "level": "error", "placedID": 3,
        "message": "block example_plugin.refine_hits (#3): variable 'steps' is declared integer, but the value \"four\" "
                   "is not a whole number"}]
    # A state that only the block itself refuses: its position is no number.
    bad_state = json.loads(json.dumps(document))
    bad_state["blocks"][0]["state"]["position"] = {"x": "left", "y": 0}
    status, answer = served.json("PUT", f"/api/flows/{PRESET}", bad_state)
    assert status == 400 and [(p["placedID"], p["message"].split(": ")[0]) for p in answer["problems"]] == [
        (1, "block example_plugin.ligand_count (#1)")] and "its block state cannot be applied" in answer["problems"][0]["message"]
    assert {p: (folder / p).read_bytes() for p in files(folder)} == before


def test_saved_ids_and_places_that_are_refused(example, tmp_path):
    served, folder = example
    document = json.loads((folder / "Flows" / "screen_and_refine.flow").read_text())
    before = files(tmp_path)
    # A new savedID whose file name would replace another preset, a body that names another savedID.
    clash = {**document, "savedID": "other", "name": "screen_ligands"}
    assert served.json("PUT", "/api/flows/other", clash)[0] == 409
    assert served.json("PUT", "/api/flows/mismatch", document)[0] == 400
    for copy_to, status in (("../outside.flow", 403), ("/tmp/outside.flow", 403), ("notes.txt", 400)):
        assert served.json("PUT", f"/api/flows/{PRESET}?copy={copy_to}", document)[0] == status
    assert served.request("PUT", f"/api/flows/{PRESET}", document, {"Origin": "http://elsewhere.example"})[0].status == 403
    assert files(tmp_path) == before

    escaping = {**document, "savedID": "escape", "name": "../../escape"}
    status, answer = served.json("PUT", "/api/flows/escape", escaping)
    assert status == 200 and Path(answer["path"]).parent == folder / "Flows"
    shutil.copy(folder / "Flows" / "screen_ligands.flow", folder / "Flows" / "twin.flow")
    twin = json.loads((folder / "Flows" / "twin.flow").read_text())
    status, answer = served.json("PUT", f"/api/flows/{twin['savedID']}", twin)
    assert status == 409 and "more than one preset flow" in answer["problems"][0]["message"]


def test_concurrent_saves_leave_one_whole_flow(example):
    served, folder = example
    document = json.loads((folder / "Flows" / "screen_and_refine.flow").read_text())
    answers = []

    def save(count):
        edited = json.loads(json.dumps(document))
        edited["blocks"][0]["state"]["variables"][0]["value"] = count
        answers.append(served.json("PUT", f"/api/flows/{PRESET}", edited)[0])
    threads = [threading.Thread(target=save, args=(count,)) for count in range(1, 9)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert answers == [200] * 8
    final = json.loads((folder / "Flows" / "screen_and_refine.flow").read_text())
    assert final["blocks"][0]["state"]["variables"][0]["value"] in range(1, 9)
    assert sorted(os.listdir(folder / "Flows")) == ["screen_and_refine.flow", "screen_ligands.flow"]
