import json
import logging
import os
import sys
from pathlib import Path

import pytest

from plugin_support import install_flow_manager, json_flow_reader, make_plugin_folder, run_script


@pytest.fixture
def plugin(tmp_path):
    return run_script(make_plugin_folder(tmp_path))["plugin"]


def write_flow(folder, name, flow_name, saved_id):
    (folder / name).write_text(json.dumps({"name": flow_name, "savedID": saved_id, "blocks": [],
                                           "connections": []}), encoding="utf-8")


def test_no_flows_folder_means_no_host_module(plugin, monkeypatch):
    monkeypatch.setitem(sys.modules, "Server", None)  # importing it would fail
    monkeypatch.setitem(sys.modules, "Server.FlowManager", None)
    assert plugin._flows == []
    assert plugin._flows is not plugin._flows


def test_flow_files_are_listed_with_their_plugin(plugin, monkeypatch):
    flows = os.path.join(plugin._path, "Flows")
    os.mkdir(flows)
    folder = Path(flows)
    write_flow(folder, "a.flow", "Docking run", 17)
    write_flow(folder, "b.txt", "Not a flow", 1)
    write_flow(folder, "c.FLOW", "Wrong case", 2)
    install_flow_manager(monkeypatch, json_flow_reader)
    result = plugin._flows
    assert result == [{"name": "Docking run", "path": os.path.join(flows, "a.flow"), "pluginID": "my_tools",
                       "pluginName": "My tools", "savedID": 17}]
    assert list(result[0]) == ["name", "path", "pluginID", "pluginName", "savedID"]
    write_flow(folder, "d.flow", "Added later", 18)
    assert sorted(f["savedID"] for f in plugin._flows) == [17, 18]  # read anew on every call


def test_unreadable_flows_are_logged_and_skipped(plugin, monkeypatch, caplog):
    flows = os.path.join(plugin._path, "Flows")
    os.mkdir(flows)
    with open(os.path.join(flows, "good.flow"), "w", encoding="utf-8") as handle:
        json.dump({"name": "Good", "savedID": "g"}, handle)
    with open(os.path.join(flows, "bad.flow"), "w", encoding="utf-8") as handle:
        handle.write("{corrupt")
    os.mkdir(os.path.join(flows, "folder.flow"))
    install_flow_manager(monkeypatch, json_flow_reader)
    with caplog.at_level(logging.ERROR, logger="Qorvel"):
        result = plugin._flows
    assert [f["name"] for f in result] == ["Good"]
    errors = sorted(r.args[0] for r in caplog.records)
    assert errors == [os.path.join(flows, "bad.flow"), os.path.join(flows, "folder.flow")]
    record = caplog.records[0]
    assert record.msg == "Error reading preset flow file %s: %s" and isinstance(record.args[1], Exception)


def test_empty_folder_imports_the_host_module(plugin, monkeypatch):
    os.mkdir(os.path.join(plugin._path, "Flows"))
    with pytest.raises(ImportError):
        monkeypatch.setitem(sys.modules, "Server.FlowManager", None)
        plugin._flows  # noqa: B018
    install_flow_manager(monkeypatch, json_flow_reader)
    assert plugin._flows == []


def test_host_module_without_flow_type_and_flows_file_instead_of_folder(plugin, monkeypatch):
    os.mkdir(os.path.join(plugin._path, "Flows"))
    Flow = install_flow_manager(monkeypatch, json_flow_reader)
    del sys.modules["Server.FlowManager"].Flow
    with pytest.raises(ImportError, match="cannot import name 'Flow'"):
        plugin._flows  # noqa: B018
    sys.modules["Server.FlowManager"].Flow = Flow
    os.rmdir(os.path.join(plugin._path, "Flows"))
    open(os.path.join(plugin._path, "Flows"), "w").close()
    with pytest.raises(NotADirectoryError):
        plugin._flows  # noqa: B018


def test_errors_outside_reading_propagate(tmp_path, monkeypatch):
    plugin = run_script(make_plugin_folder(tmp_path))["plugin"]
    os.mkdir(os.path.join(plugin._path, "Flows"))
    open(os.path.join(plugin._path, "Flows", "x.flow"), "w").close()
    install_flow_manager(monkeypatch, lambda path: object())  # a flow without attributes
    with pytest.raises(AttributeError):
        plugin._flows  # noqa: B018
