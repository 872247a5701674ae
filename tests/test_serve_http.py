"""`qorvel-plugin serve` over plain HTTP: refused paths, headers, origins, endpoints, runs and their events."""

import http.client
import json
import os
import shutil
import sys
import time
from pathlib import Path

import pytest

from QorvelAPI.devhost.cli import build_parser
from QorvelAPI.devhost.serve import watch_plugin
from serve_support import PROBE, Served

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "example_plugin"


@pytest.fixture
def served(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "xdg-state"))
    running = []

    def serve(folder):
        running.append(Served(folder, tmp_path))
        return running[-1]
    yield serve
    for one in running:
        one.close()


@pytest.fixture
def probe(served, tmp_path):
    """The probe plugin copied, with links that point out of its folder."""
    folder = tmp_path / "probe"
    shutil.copytree(PROBE, folder)
    (tmp_path / "secret.txt").write_text("secret")
    os.symlink(tmp_path / "secret.txt", folder / "Pages" / "leak.txt")
    os.symlink(tmp_path, folder / "outside")
    return served(folder)


@pytest.mark.parametrize("path", [
    "/static/../server.py", "/static/%2e%2e/server.py", "/static/molstar/..%2F..%2Fserver.py",
    "/files/plugin//etc/hostname", "/files/plugin/%2Fetc%2Fhostname", "/files/plugin/outside/secret.txt",
    "/plugins/pages/serve_probe.tools/leak.txt", "/plugins/pages/serve_probe.tools/../../serve_probe.py",
])
def test_paths_that_leave_the_served_folders_are_refused(probe, path):
    response, data = probe.request("GET", path)
    assert response.status == 403, (path, data)
    assert b"secret" not in data and b"import" not in data


@pytest.mark.parametrize("path, kind", [
    ("/", "text/html; charset=utf-8"), ("/static/app.js", "text/javascript; charset=utf-8"),
    ("/static/molstar/molstar.css", "text/css; charset=utf-8"), ("/api/plugin", "application/json"),
    ("/plugins/pages/serve_probe.tools/", "text/html; charset=utf-8"),
    ("/files/plugin/peptide.pdb", "text/plain; charset=utf-8"), ("/missing", "application/json"),
])
def test_content_types_and_nosniff(probe, path, kind):
    response, _ = probe.request("GET", path)
    assert response.getheader("Content-Type") == kind
    assert response.getheader("X-Content-Type-Options") == "nosniff"


def test_cross_origin_and_foreign_host_requests_are_refused(probe):
    assert build_parser().parse_args(["serve", "p"]).host == "127.0.0.1"  # this machine only, unless asked
    request = {"block": "serve_probe.mvs"}
    own = f"http://127.0.0.1:{probe.port}"
    assert probe.json("POST", "/api/check", request, {"Origin": own})[0] == 200
    assert probe.json("POST", "/api/check", request, {"Origin": "http://evil.example"}) == (
        403, {"error": "cross-origin request refused"})
    assert probe.json("POST", "/api/run", request, {"Sec-Fetch-Site": "cross-site"})[0] == 403
    # A name that resolves to this machine from another site (DNS rebinding) is not this server.
    assert probe.json("GET", "/api/plugin", headers={"Host": f"evil.example:{probe.port}"})[0] == 403
    assert not probe.app.session.events.snapshot()


def test_endpoints_calling_convention_and_failures(probe):
    base = "/plugins/pages/serve_probe.tools"
    assert probe.json("GET", f"{base}/echo?a=1&b=x&b=y") == (200, {"arguments": {"a": "1", "b": ["x", "y"]}})
    assert probe.json("POST", f"{base}/echo?a=1", {"a": 2, "c": [1]}) == (200, {"arguments": {"a": 2, "c": [1]}})
    assert probe.json("POST", f"{base}/echo", [1, 2]) == (200, {"arguments": {"body": [1, 2]}})
    response, data = probe.request("POST", f"{base}/made")
    assert (response.status, data, response.getheader("Content-Type")) == (201, b"made", "text/plain; charset=utf-8")
    assert probe.request("GET", f"{base}/nothing?x=1")[0].status == 400  # takes no arguments
    assert probe.request("GET", f"{base}/nothing")[0].status == 204
    response, data = probe.request("POST", f"{base}/fail")
    assert response.status == 405 and response.getheader("Allow") == "GET"
    assert probe.json("GET", f"{base}/fail") == (500, {"error": "endpoint /fail of page serve_probe.tools raised "
                                                                 "ValueError: the weights do not add up"})
    assert "--- traceback from plugin code ---" in probe.logged[-1] and "serve_probe.py" in probe.logged[-1]
    assert probe.json("PUT", "/api/run")[0] == 405
    response, _ = probe.request("GET", base)
    assert response.status == 301 and response.getheader("Location") == f"{base}/"


def test_viewer_catalogue_names_the_scene_the_page_replays(probe):
    status, document = probe.json("GET", "/api/viewer")
    import QorvelAPI.molstar as molstar
    assert status == 200 and document == {"operations": molstar._messageCatalogue()}
    assert {o["type"] for o in document["operations"] if o["replayed"]} == {"addMolecule", "addSphere", "addBox", "focus"}


def test_catalogue_fills_page_info_and_checks_values(served):
    example = served(EXAMPLE)
    status, document = example.json("GET", "/api/plugin")
    assert status == 200 and document["problems"] == []
    blocks = {b["id"]: b for b in document["blocks"]}
    weights = next(v for v in blocks["example_plugin.screen_ligands"]["variables"] if v["id"] == "weights")
    assert weights["customPage"] == {"id": "example_plugin.scoring_weights", "name": "Scoring weights",
                                     "description": "Edit the weights of the scoring function.",
                                     "html": "scoring_weights.html", "url": "/plugins/pages/example_plugin.scoring_weights/"}
    assert [p["hidden"] for p in document["pages"]] == [True]
    bad = {"block": "example_plugin.screen_ligands", "inputs": {"ligand_count": 2.5},
           "variables": {"mode": "slow", "threshold": "low", "box": {"size": "big"},
                         "residues": [{"chain": "A", "residue": "x"}], "nope": 1}}
    block = "block example_plugin.screen_ligands:"
    assert example.json("POST", "/api/check", bad) == (200, {"problems": [
        f'{block} variable \'mode\' is declared string[] with allowed values ["fast", "exhaustive"], but the value '
        f'"slow" is not one of them',
        f'{block} variable \'threshold\' is declared number, but the value "low" is not a number',
        f'{block} variable \'box.size\' is declared number, but the value "big" is not a number',
        f'{block} variable \'residues[1].residue\' is declared integer, but the value "x" is not a whole number',
        "block example_plugin.screen_ligands has no variable 'nope' "
        "(variables: mode, threshold, keep_best, box, residues, weights)",
        f"{block} input 'ligand_count' is declared integer, but the value 2.5 is not a whole number"]})
    status, answer = example.json("POST", "/api/run", bad)
    assert status == 400 and answer["error"].startswith(f"{block} variable 'mode' is declared string[]")


def read_events(served, until="end"):
    """The event stream from its start, read until the ``until`` event."""
    connection = http.client.HTTPConnection("127.0.0.1", served.port, timeout=60)
    connection.request("GET", "/api/events")
    response = connection.getresponse()
    assert response.getheader("Content-Type") == "text/event-stream"
    events, current = [], {}
    while True:
        line = response.fp.readline().decode().rstrip("\n")
        if line.startswith(("id: ", "event: ", "data: ")):
            key, _, value = line.partition(": ")
            current[key] = value
        elif not line and "event" in current:
            events.append((int(current["id"]), current["event"], json.loads(current["data"])))
            if current["event"] == until:
                connection.close()
                return events
            current = {}


def test_flow_run_streams_events_refuses_a_second_run_and_restores_on_reload(served, capfd):
    example = served(EXAMPLE)
    edits = {"example_plugin.screen_ligands": {"variables": {"weights": {"vdw": 2.0, "hbond": 2.0,
                                                                         "electrostatics": 2.0}}}}
    status, started = example.json("POST", "/api/run", {"flow": "Screen and refine", "values": edits})
    assert status == 202 and [b["placedID"] for b in started["blocks"]] == [1, 2, 3, 4]
    assert example.json("POST", "/api/run", {"flow": "Screen and refine"}) == (
        409, {"error": "a run is already going; wait for it to end"})
    events = read_events(example)
    kinds = [kind for _, kind, _ in events]
    assert kinds[0] == "run" and kinds[-1] == "end" and events[-1][2]["ok"] is True
    assert [d["placedID"] for _, k, d in events if k == "block"] == [1, 2, 3, 4]
    assert "progress" in kinds  # the cluster job was followed
    job = next(d for _, k, d in events if k == "result" and d["job"])
    live = [d for _, k, d in events if k == "followed" and d["stream"] == "stdout"]
    assert "".join(d["text"] for d in live) == job["job"]["stdOut"] != "" and live[-1]["ended"]
    at = [i for i, (_, k, d) in enumerate(events) if d.get("placedID") == job["placedID"] and k in ("followed", "result")]
    assert events[at[0]][1] == "followed" and events[at[-1]][1] == "result"  # streamed before the block ended
    viewer = [d for _, k, d in events if k == "viewer"]
    assert [v["index"] for v in viewer] == list(range(1, 7))
    assert [v["action"]["type"] for v in viewer] == ["setBackgroundColor", "addBox", "addSphere", "addSphere",
                                                     "addSphere", "setSpin"]
    # The viewer actions stream while the viewer block runs, before its result.
    show = [i for i, (_, k, d) in enumerate(events) if k in ("block", "result") and d["placedID"] == 4]
    assert show[0] < kinds.index("viewer") and kinds.index("viewer") + 5 < show[1]
    screen = next(d for _, k, d in events if k == "result" and d["placedID"] == 2)
    assert json.loads(screen["outputs"]["report"])["hits"][0]["score"] < -9  # the edited weights were used
    example.app.session.wait(30)
    status, state = example.json("GET", "/api/run")
    assert status == 200 and state["running"] is False
    assert [(e["id"], e["event"]) for e in state["events"]] == [(i, k) for i, k, _ in events]
    assert read_events(example) == events  # a reloaded page receives the same run again
    runs = [line for line in capfd.readouterr().err.splitlines() if line.startswith("serve: run ")]
    assert runs == [f"serve: run 'Screen and refine': ok, 4 of 4 blocks finished, saved to {events[-1][2]['savedTo']}"]


def test_plugin_that_fails_to_load_is_served_with_its_problems(served, tmp_path):
    folder = tmp_path / "broken"
    shutil.copytree(PROBE, folder)
    (folder / "serve_probe.py").write_text("raise RuntimeError('no plugin here')\n")
    broken = served(folder)
    status, document = broken.json("GET", "/api/plugin")
    assert status == 200 and document["plugin"] is None and document["blocks"] == []
    assert document["problems"][0]["message"] == "plugin script serve_probe.py raised RuntimeError: no plugin here"
    for path in ("/api/run", "/api/check"):
        assert broken.json("POST", path, {"block": "x"}) == (409, {"error": "the plugin did not load; nothing can run"})
    assert broken.request("GET", "/")[0].status == 200
    watch = watch_plugin(broken.server, interval=0.1)
    try:
        shutil.copy(PROBE / "serve_probe.py", folder / "serve_probe.py")  # the fix loads, with a run session
        assert _generation(broken, 1)["plugin"]["id"] == "serve_probe"
        assert broken.json("POST", "/api/run", {"block": "serve_probe.mvs"})[0] == 202
        assert read_events(broken)[-1][2]["ok"] is True
    finally:
        watch.stop()


SLOW_BLOCK = """
import time
import probe_helper

def slow(block):
    time.sleep(3)
    block.setOutput("note", probe_helper.NOTE)

plugin.addBlock(PluginBlock("Slow", "Sleeps, then notes.", action=slow, id="slow",
                            outputs=[PluginVariable("note", "Note", "unused", VariableTypes.STRING)]))
"""


def _generation(served, wanted):
    deadline = time.monotonic() + 30
    while (document := served.json("GET", "/api/plugin")[1])["generation"] < wanted:
        assert time.monotonic() < deadline, f"no reload {wanted}"
        time.sleep(0.1)
    return document


def test_a_changed_plugin_file_reloads_the_plugin_for_the_next_requests_and_runs(served, tmp_path, capfd):
    folder = tmp_path / "live"
    shutil.copytree(PROBE, folder)
    script = folder / "serve_probe.py"
    script.write_text(script.read_text() + SLOW_BLOCK)
    (folder / "probe_helper.py").write_text("NOTE = 'old'\n")
    live = served(folder)
    watch = watch_plugin(live.server, interval=0.1)
    try:
        module = live.app.loaded.module
        assert live.request("GET", "/plugins/pages/serve_probe.tools/note")[0].status == 404
        assert live.json("POST", "/api/run", {"block": "serve_probe.slow"})[0] == 202
        (folder / "probe_helper.py").write_text("NOTE = 'new'\n")
        script.write_text(script.read_text() + 'tools.addEndpoint(PluginEndpoint("/note", ["GET"], '
                                               'lambda: {"note": probe_helper.NOTE}))\n')
        events = read_events(live, until="reload")
        # The run went on with the plugin it started with; the change was loaded once it had ended.
        assert [k for _, k, _ in events][-2:] == ["end", "reload"]
        assert next(d for _, k, d in events if k == "result")["outputs"] == {"note": "old"}
        assert events[-1][2] == {"generation": 1, "loaded": True, "problems": 0, "errors": 0}
        assert live.json("GET", "/plugins/pages/serve_probe.tools/note") == (200, {"note": "new"})
        assert sys.modules[module.__name__] is live.server.live.current.loaded.module is not module
        assert live.json("POST", "/api/run", {"block": "serve_probe.slow"})[0] == 202
        assert next(d for _, k, d in read_events(live) if k == "result")["outputs"] == {"note": "new"}
        err = capfd.readouterr().err
        assert f"serve: {folder} changed; it is loaded again once the run has ended\n" in err
        assert f"serve: reloaded {folder} (0 problems)\n" in err
        working = script.read_text()
        script.write_text("raise RuntimeError('half saved')\n")
        document = _generation(live, 2)
        assert document["plugin"] is None and document["problems"][0]["message"] == (
            "plugin script serve_probe.py raised RuntimeError: half saved")
        assert module.__name__ not in sys.modules
        assert f"serve: reloaded {folder}: the plugin did not load (1 problem)\n" in capfd.readouterr().err
        script.write_text(working)
        assert _generation(live, 3)["plugin"]["id"] == "serve_probe"
        assert live.json("GET", "/plugins/pages/serve_probe.tools/note") == (200, {"note": "new"})
    finally:
        watch.stop()
