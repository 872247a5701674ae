import json
import sys

import pytest

from QorvelAPI.devhost.flow import Flow, FlowError, register_flow_manager


def edge(origin, out, dest, var, **extra):
    return {"origin": {"placedID": origin, "blockID": "p.x", "variableID": out, "variableType": "any"},
            "destination": {"placedID": dest, "blockID": "p.y", "variableID": var, "variableType": "any"},
            **extra}


def write(tmp_path, data, name="f.flow"):
    path = tmp_path / name
    path.write_text(json.dumps(data) if not isinstance(data, str) else data, encoding="utf-8")
    return str(path)


def test_read_write_round_trip(tmp_path):
    data = {"name": "Dock", "savedID": 17,
            "blocks": [{"blockID": "p.a", "placedID": 1, "state": {"variables": []}, "inputs": {"x": 1}},
                       {"id": "p.b", "placedID": 2}, {"placedID": 3, "state": {"id": "p.c"}}],
            "connections": [edge(1, "out", 2, "in")]}
    flow = Flow.read(write(tmp_path, data))
    assert (flow.name, flow.savedID, flow.path) == ("Dock", 17, str(tmp_path / "f.flow"))
    assert flow.pendingActions == [] and flow.blocks[1].state == {} and flow.blocks[0].inputs == {"x": 1}
    assert [b.blockID for b in flow.blocks] == ["p.a", "p.b", "p.c"]
    copy_path = flow.write(str(tmp_path / "copy.flow"))
    again = Flow.read(copy_path)
    assert again.toDict() == flow.toDict()
    assert json.loads((tmp_path / "copy.flow").read_text())["blocks"][0]["blockID"] == "p.a"


@pytest.mark.parametrize("content, words", [
    ("{not json", "invalid JSON at line 1"),
    ([1, 2], "must be a JSON object"),
    ({"savedID": 1}, "\"name\""),
    ({"name": "x", "blocks": {}}, "\"blocks\" must be a list"),
    ({"name": "x", "blocks": [{"placedID": 1}]}, "\"blockID\""),
    ({"name": "x", "blocks": [{"blockID": "a", "placedID": True}]}, "\"placedID\" must be an integer"),
    ({"name": "x", "blocks": [{"blockID": "a", "placedID": 1}, {"blockID": "b", "placedID": 1}]}, "used by another"),
    ({"name": "x", "savedID": [1]}, "\"savedID\""),
    ({"name": "x", "blocks": [{"blockID": "a", "placedID": 1, "state": []}]}, "\"state\" must be an object"),
])
def test_read_refuses_malformed_files_with_the_reason(tmp_path, content, words):
    path = write(tmp_path, content)
    with pytest.raises(FlowError) as info:
        Flow.read(path)
    assert words in str(info.value) and str(info.value).startswith("f.flow: ")


def test_read_refuses_folders_and_missing_files(tmp_path):
    (tmp_path / "dir.flow").mkdir()
    with pytest.raises(FlowError, match="is a folder"):
        Flow.read(str(tmp_path / "dir.flow"))
    with pytest.raises(FlowError, match="cannot be read"):
        Flow.read(str(tmp_path / "missing.flow"))


def flow_of(n, connections, in_states=()):
    blocks = [{"blockID": f"p.b{i}", "placedID": i} for i in range(1, n + 1)]
    for placed, conn in in_states:
        blocks[placed - 1]["state"] = {"variableConnections": [conn]}
    return Flow.fromDict({"name": "f", "blocks": blocks, "connections": connections})


def test_run_order_follows_connections_and_keeps_file_order_otherwise():
    # 1 feeds 3, 3 feeds 2; 4 is independent.
    flow = flow_of(4, [edge(3, "o", 2, "i"), edge(1, "o", 3, "i")])
    assert [b.placedID for b in flow.runOrder()] == [1, 3, 2, 4]
    # Connections kept in a placement's state count too, and a duplicate is counted once.
    conn = edge(2, "o", 1, "i")
    flow = flow_of(2, [conn], in_states=[(1, conn)])
    assert [b.placedID for b in flow.runOrder()] == [2, 1] and len(flow.edges()) == 1
    assert flow.upstream(1) == {2} and flow.upstream(2) == set()


def test_a_connection_counts_once_however_its_keys_are_ordered():
    written = edge(1, "o", 2, "i")
    reordered = {"destination": dict(written["destination"]), "origin": dict(reversed(written["origin"].items()))}
    same_ends = edge(1, "o", 2, "i", cycles=2)  # another connection between the same ends
    flow = flow_of(3, [written, edge(3, "o", 1, "i"), same_ends], in_states=[(2, reordered), (3, written)])
    assert [e.raw for e in flow.edges()] == [written, edge(3, "o", 1, "i"), same_ends]
    assert [b.placedID for b in flow.runOrder()] == [3, 1, 2]


def test_cycles_are_refused_naming_the_blocks():
    flow = flow_of(3, [edge(1, "o", 2, "i"), edge(2, "o", 3, "i"), edge(3, "o", 2, "j")])
    with pytest.raises(FlowError) as info:
        flow.runOrder()
    message = str(info.value)
    assert "cyclic connection" in message and "p.b2 (#2)" in message and "p.b3 (#3)" in message
    assert "p.b1" not in message
    with pytest.raises(FlowError, match="cyclic"):
        flow_of(1, [edge(1, "o", 1, "i")]).runOrder()
    with pytest.raises(FlowError, match="cyclic connection"):
        flow_of(2, [edge(1, "o", 2, "i", isCyclic=True, cycles=3)]).runOrder()


@pytest.mark.parametrize("connection, words", [
    (edge(1, "o", 9, "i"), "placedID 9"),
    ({"origin": {"placedID": 1, "variableID": "o"}}, "\"destination\""),
    (edge(1, 5, 2, "i"), "\"variableID\""),
])
def test_bad_connections_are_refused(connection, words):
    with pytest.raises(FlowError, match=words):
        flow_of(2, [connection]).runOrder()


def test_flow_manager_is_registered_in_memory_only():
    for name in ("Server", "Server.FlowManager"):
        sys.modules.pop(name, None)
    module = register_flow_manager()
    from Server.FlowManager import Flow as Registered  # noqa: PLC0415

    assert Registered is Flow and module is sys.modules["Server.FlowManager"]
    assert register_flow_manager() is module  # a second call keeps the module
    assert not hasattr(sys.modules["Server"], "__file__")


def test_nothing_named_server_is_importable_outside_a_local_host():
    import subprocess

    code = "import importlib.util, QorvelAPI.devhost; print(importlib.util.find_spec('Server'))"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "None"
