"""The example plugin, loaded and driven the way the platform's host does it."""

import base64
import json
import os
import sys
from pathlib import Path

import pytest

from QorvelAPI.plugins import InputBlock, Plugin, PluginBlock, PluginConfig, PluginPage
from plugin_support import import_script, install_flow_manager, json_flow_reader

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "example_plugin"


@pytest.fixture
def host(tmp_path, monkeypatch):
    """Imports the plugin script from another working directory with the host's flow module present."""
    monkeypatch.chdir(tmp_path)
    install_flow_manager(monkeypatch, json_flow_reader)
    module = import_script(EXAMPLE, "example_plugin.py")
    plugin = module.plugin
    plugin._addBlocks()
    plugin._addPages()
    return module, plugin


def test_metadata_and_logo(host):
    _, plugin = host
    assert isinstance(plugin, Plugin) and plugin._path == str(EXAMPLE) and plugin._filename == "example_plugin.py"
    assert plugin.id == "example_plugin" and plugin.pluginMeta.id == "example_plugin"
    assert plugin.pluginMeta.pluginFile == plugin._filename and plugin.pluginMeta.platforms == ["universal"]
    prefix = "data:image/png;base64,"
    assert plugin.logo.startswith(prefix)
    assert base64.b64decode(plugin.logo[len(prefix):]) == (EXAMPLE / "logo.png").read_bytes()
    assert (EXAMPLE / "logo.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


def test_registries_after_the_scans(host):
    module, plugin = host
    # The scan registers attribute-held blocks in the alphabetical order of the attribute names.
    assert [b.id for b in plugin.blocks] == ["example_plugin.ligand_count", "example_plugin.refine_hits",
                                             "example_plugin.screen_ligands", "example_plugin.show_hits"]
    assert isinstance(plugin.getBlock("example_plugin.ligand_count"), InputBlock)
    assert type(plugin.getBlock("example_plugin.screen_ligands")) is PluginBlock
    assert [type(c) for c in plugin._getConfigs()] == [PluginConfig]
    assert plugin._getConfig("example_plugin.config.settings") is module.settings
    page = plugin.getPage("example_plugin.scoring_weights")
    assert isinstance(page, PluginPage) and page.hidden is True
    assert (EXAMPLE / "Pages" / page.html).is_file()
    endpoint = page.endpoints[0]
    assert f"/plugins/pages/{page.id}{endpoint.url}" == "/plugins/pages/example_plugin.scoring_weights/defaults"
    assert endpoint.methods == ["GET"] and endpoint.function() == module.DEFAULT_WEIGHTS
    # A second scan finds the same objects again and does not register them twice.
    plugin._addBlocks()
    plugin._addPages()
    assert len(plugin.blocks) == 4 and len(plugin.pages) == 1


def test_block_documents_carry_every_variable_kind(host):
    module, plugin = host
    module.weights_page._pageInfo.update({"id": "example_plugin.scoring_weights", "html": "scoring_weights.html"})
    document = plugin.getBlock("example_plugin.screen_ligands")._toDict()
    variables = {v["id"]: v for v in document["variables"]}
    assert variables["mode"]["type"] == "string[]" and variables["mode"]["value"] == "fast"
    assert variables["box"]["type"] == "group" and len(variables["box"]["variables"]) == 4
    assert variables["residues"]["type"] == "_list"
    assert variables["weights"]["isCustom"] is True
    assert variables["weights"]["customPage"] == {"id": "example_plugin.scoring_weights",
                                                  "html": "scoring_weights.html"}
    json.dumps(document)  # everything sent to the editor is JSON


def test_configuration_file(host, tmp_path):
    module, plugin = host
    path = str(tmp_path / "example_plugin.json")
    plugin._updateConfigs(path)
    assert json.loads(Path(path).read_text(encoding="utf-8")) == {"score_program": "/usr/local/bin/score",
                                                                    "max_workers": 4}
    plugin._saveConfig(path, {"max_workers": 16})
    assert plugin.config == {"score_program": "/usr/local/bin/score", "max_workers": 16}
    assert plugin._configToDict()[0]["id"] == "example_plugin.config.settings"
    # A restarted host loads the saved value into a freshly imported plugin.
    again = import_script(EXAMPLE, "example_plugin.py").plugin
    again._updateConfigs(path)
    assert again.config["max_workers"] == 16


def test_preset_flow_runs_like_the_host_runs_it(host, tmp_path):
    _, plugin = host
    flows = plugin._flows
    flow_path = os.path.join(str(EXAMPLE), "Flows", "screen_ligands.flow")
    assert {"name": "Screen twelve ligands", "path": flow_path, "pluginID": "example_plugin",
            "pluginName": "Example plugin", "savedID": "example-plugin-screen-12"} in flows
    assert sorted(entry["name"] for entry in flows) == ["Screen and refine", "Screen twelve ligands"]
    flow = json_flow_reader(flow_path).data
    placed = {}
    for entry in flow["blocks"]:
        block = plugin.getBlock(entry["id"]).copy()
        block._parseInternalVariables(entry["state"])
        assert block._placedID == entry["placedID"] and block._isPlaced is True
        placed[entry["placedID"]] = block
    outputs = {}
    for placed_id in sorted(placed):  # the flow's order: the input block first
        block = placed[placed_id]
        for connection in flow["connections"]:
            if connection["destination"]["placedID"] == placed_id:
                origin = connection["origin"]
                value = outputs[origin["placedID"]][origin["variableID"]]
                block._updateInputs({connection["destination"]["variableID"]: value})
        block._cleanRun()
        block.config = plugin.config
        outputs[placed_id] = block()
    assert outputs[1] == {"ligand_count": 12}
    report = json.loads(outputs[2]["report"])
    assert report["mode"] == "exhaustive" and report["workers"] == 4
    assert report["box"] == {"center_x": 12.5, "center_y": -3.0, "center_z": 7.25, "size": 22.0}
    assert report["flexible"] == [{"chain": "A", "residue": 87}, {"chain": "B", "residue": 143}]
    assert report["hits"] and all(hit["score"] < -6.5 for hit in report["hits"])
    assert outputs[2]["best_score"] == min(hit["score"] for hit in report["hits"])
    # The declared blocks are untouched by the run on copies.
    assert plugin.getBlock("example_plugin.screen_ligands").variables["mode"] == "fast"


def test_plain_import_from_the_plugin_folder(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.syspath_prepend(str(EXAMPLE))
    monkeypatch.delitem(sys.modules, "example_plugin", raising=False)
    import example_plugin

    try:
        assert example_plugin.plugin._path == str(EXAMPLE) and example_plugin.plugin.id == "example_plugin"
    finally:
        sys.modules.pop("example_plugin", None)
