import gc
import logging
import os
import subprocess
import sys
import weakref
from pathlib import Path

import pytest

import QorvelAPI
from QorvelAPI.plugins import Plugin, PluginPage
from plugin_support import META, import_script, make_plugin_folder, run_script

# The folder the package under test was imported from (the sanitizer run uses its own build).
PYTHON_PATH = str(Path(QorvelAPI.__file__).resolve().parents[1])

SUBCLASS_SCRIPT = """
from QorvelAPI.plugins import Plugin

class ToolsPlugin(Plugin):
    def __init__(self):
        self.before = True
        super().__init__()
        self.after = True

plugin = ToolsPlugin()
"""

NESTED_SCRIPT = """
from QorvelAPI.plugins import Plugin

def build():
    return Plugin()

exec("made_by_exec = Plugin()")
plugin = build()
"""


@pytest.fixture
def elsewhere(tmp_path, monkeypatch):
    """The host imports plugins from its own working directory."""
    cwd = tmp_path / "host_cwd"
    cwd.mkdir()
    monkeypatch.chdir(cwd)
    return cwd


def test_path_from_run_path_import_and_importlib(tmp_path, elsewhere, monkeypatch):
    folder = make_plugin_folder(tmp_path)
    assert run_script(folder)["plugin"]._path == str(folder)
    assert import_script(folder).plugin._path == str(folder)
    monkeypatch.syspath_prepend(str(folder))
    monkeypatch.delitem(sys.modules, "main", raising=False)
    import main  # noqa: E402  (a plain import, as a host with the plugin folder on sys.path does)

    assert main.plugin._path == str(folder) and main.plugin._filename == "main.py"
    monkeypatch.delitem(sys.modules, "main")


def test_path_for_subclasses_functions_and_exec(tmp_path, elsewhere):
    sub = run_script(make_plugin_folder(tmp_path, script=SUBCLASS_SCRIPT, name="sub"))["plugin"]
    assert sub._path == str(tmp_path / "sub") and sub.id == "my_tools" and sub.before and sub.after
    nested = run_script(make_plugin_folder(tmp_path, script=NESTED_SCRIPT, name="nested"))
    assert nested["plugin"]._path == str(tmp_path / "nested")
    assert nested["made_by_exec"]._path == str(tmp_path / "nested")


def test_relative_script_path_is_made_absolute(tmp_path, monkeypatch):
    make_plugin_folder(tmp_path)
    monkeypatch.chdir(tmp_path)
    plugin = run_script("plug")["plugin"]
    assert os.path.isabs(plugin._path) and plugin._path == str(tmp_path / "plug")


def test_no_source_file_on_the_stack():
    code = "from QorvelAPI.plugins import Plugin\ntry:\n    Plugin(noMetaLoad=True)\nexcept ValueError as e:\n    print(e)"
    result = subprocess.run([sys.executable, "-c", code], env={**os.environ, "PYTHONPATH": PYTHON_PATH},
                            capture_output=True, text=True, check=True)
    assert result.stdout.strip() == "Could not find the path of the plugin. Please check the plugin installation."


def test_frozen_application_takes_the_innermost_entry(monkeypatch, tmp_path):
    monkeypatch.setattr(sys, "frozen", True, raising=False)
    monkeypatch.chdir(tmp_path)
    plugin = eval(compile("Plugin(noMetaLoad=True)", "<frozen entry>", "eval"))
    assert plugin._path == str(tmp_path) and plugin._filename == "<frozen entry>"


def test_construction_without_metadata(caplog):
    with caplog.at_level(logging.WARNING, logger="Qorvel"):
        plugin = Plugin(noMetaLoad=True)
    assert not caplog.records
    assert plugin.id == "undefined" and plugin.actions is None and plugin.views == []
    assert plugin._blocks == [] and plugin._pages == [] and plugin._configs == []
    assert plugin._path == os.path.dirname(os.path.abspath(__file__))
    assert plugin._filename == os.path.basename(__file__)
    assert not hasattr(plugin, "pluginMeta") and plugin.logo is None
    with pytest.raises(AttributeError):
        str(plugin)
    with pytest.raises(AttributeError):
        plugin == Plugin(noMetaLoad=True)  # noqa: B015
    assert (plugin == "x") is False and (plugin != 3) is True


def test_identifier_argument_is_only_warned_about(caplog):
    with caplog.at_level(logging.WARNING, logger="Qorvel"):
        plugin = Plugin("my_id", True)
    assert plugin.id == "undefined"
    assert [r.getMessage() for r in caplog.records] == [
        "Plugins must define the ID in the plugin.meta file. Please remove the ID parameter from the Plugin "
        "class initialization."]
    assert caplog.records[0].name == "Qorvel"
    with pytest.raises(TypeError) as info:
        Plugin(5, noMetaLoad=True)
    assert str(info.value) == "Argument 'id' has incorrect type (expected str, got int)"
    assert Plugin(None, noMetaLoad=1).id == "undefined"


def test_equality_by_metadata_identifier(tmp_path):
    first = run_script(make_plugin_folder(tmp_path, name="a"))["plugin"]
    second = run_script(make_plugin_folder(tmp_path, name="b"))["plugin"]
    third = run_script(make_plugin_folder(tmp_path, name="c", meta={**META, "id": "other"}))["plugin"]
    assert first == second and not (first != second)
    assert first != third and not (first == third)
    with pytest.raises(TypeError):
        hash(first)
    with pytest.raises(TypeError):
        {first}


def test_page_registry(caplog):
    plugin = Plugin(noMetaLoad=True)
    plugin.id = "my_tools"
    viewer = PluginPage("Viewer Page", "Viewer", "d", "viewer.html")
    assert plugin.addPage(viewer) is None
    assert viewer.id == "my_tools.viewer_page" and plugin.pages == [viewer]
    assert plugin.getPage("my_tools.viewer_page") is viewer
    with pytest.raises(Exception) as info:
        plugin.getPage("Viewer Page")
    assert type(info.value) is Exception and str(info.value) == "Page Viewer Page not found."
    with pytest.raises(Exception, match=r"^Page 42 not found\.$"):
        plugin.getPage(42)
    clash = PluginPage("viewer_page", "Other", "d", "o.html")
    with caplog.at_level(logging.DEBUG, logger="Qorvel"):
        plugin.addPage(clash)
        plugin.addPage("not a page")
        plugin.addPage(viewer)  # prefixed again, found under the new identifier, not added twice
    assert not caplog.records
    assert plugin.getPages() == [viewer] and viewer.id == "my_tools.my_tools.viewer_page"
    assert plugin.getPages() is plugin._pages and plugin.pages is plugin._pages
    plugin.getPages().append("x")
    assert plugin._pages[-1] == "x"


def test_page_scan_registers_attribute_pages_in_name_order():
    plugin = Plugin(noMetaLoad=True)
    plugin.zeta = PluginPage("zeta", "Z", "d", "z.html")
    plugin.alpha = PluginPage("alpha", "A", "d", "a.html")
    plugin._addPages()
    assert [p.id for p in plugin.pages] == ["undefined.alpha", "undefined.zeta"]


def test_plugin_objects_are_collected():
    plugin = Plugin(noMetaLoad=True)
    plugin.me = plugin  # a reference cycle through the instance dictionary
    ref = weakref.ref(plugin)
    del plugin
    gc.collect()
    assert ref() is None


# ---- blocks -------------------------------------------------------------------------------------

from QorvelAPI.plugins import (  # noqa: E402
    GhostBlock, InputBlock, PluginBlock, PluginConfig, PluginVariable, VariableTypes)


def named_plugin(identifier="my_tools"):
    plugin = Plugin(noMetaLoad=True)
    plugin.id = identifier
    return plugin


def test_add_block_prefixes_and_registers(caplog):
    plugin = named_plugin()
    block = PluginBlock("Run Docking", "d", id="Run Docking")
    with caplog.at_level(logging.DEBUG, logger="Qorvel"):
        assert plugin.addBlock(block) is None
    assert not caplog.records
    assert block.id == "my_tools.run_docking" and plugin.blocks == [block]
    assert plugin.getBlock("my_tools.run_docking") is block
    assert plugin.getBlocks() is plugin._blocks and plugin.blocks is plugin._blocks
    with pytest.raises(Exception) as info:
        plugin.getBlock("run_docking")
    assert type(info.value) is Exception and str(info.value) == "Block run_docking not found."


def test_prefix_applies_to_spaces_and_case_of_the_whole_identifier():
    plugin = named_plugin("undefined")
    block = PluginBlock("b", "d", id="b")
    block.id = "Mixed Case Id"  # set after construction, so not normalised by the block
    plugin.id = "My Plugin"
    plugin.addBlock(block)
    assert block.id == "my_plugin.mixed_case_id"


def test_duplicates_and_refusals(caplog):
    plugin = named_plugin()
    first = PluginBlock("A b", "d", id="a_b")
    second = PluginBlock("Other", "d", id="a_b")
    plugin.addBlock(first)
    with caplog.at_level(logging.WARNING, logger="Qorvel"):
        plugin.addBlock(second)
    assert second.id == "my_tools.a_b" and plugin.blocks == [first]
    assert caplog.records[-1].getMessage() == "Block with ID 'my_tools.a_b' already exists. Skipping."
    assert caplog.records[-1].levelno == logging.WARNING

    ghost = GhostBlock("Missing-Block")
    config = PluginConfig("Settings", "d", variables=[PluginVariable("v", "V", "d", VariableTypes.STRING)], id="s")
    caplog.clear()
    with caplog.at_level(logging.DEBUG, logger="Qorvel"):
        plugin.addBlock(ghost)
        plugin.addBlock(config)
        plugin.addBlock("text")
        plugin.addBlock(3)
        plugin.addBlock(PluginPage("p", "n", "d", "h.html"))
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [
        (logging.ERROR, "Cannot add a GhostBlock to the plugin as a block."),
        (logging.ERROR, "Cannot add a PluginConfig to the plugin as a block. Use addConfig instead of addBlock."),
    ]
    assert ghost.id == "Missing-Block" and config.id == "s" and plugin.blocks == [first]


def test_adding_the_same_block_twice_prefixes_again(caplog):
    plugin = named_plugin()
    block = PluginBlock("Dock", "d", id="dock")
    plugin.addBlock(block)
    with caplog.at_level(logging.WARNING, logger="Qorvel"):
        plugin.addBlock(block)
    assert block.id == "my_tools.my_tools.dock" and plugin.blocks == [block]
    assert "already exists" in caplog.text


def test_block_scan_in_attribute_order_with_debug_lines(caplog):
    plugin = named_plugin()
    early = PluginBlock("Early", "d", id="early")
    plugin.addBlock(early)
    plugin.zz_block = PluginBlock("Zed", "d", id="zed")
    plugin.aa_block = InputBlock("Ask", "d", PluginVariable("n", "N", "d", VariableTypes.NUMBER), id="ask")
    plugin.mm_ghost = GhostBlock("ghost")
    with caplog.at_level(logging.DEBUG, logger="Qorvel"):
        plugin._addBlocks()
    assert [b.id for b in plugin.blocks] == ["my_tools.early", "my_tools.ask", "my_tools.zed"]
    messages = [r.getMessage() for r in caplog.records]
    names = [m[len("Checking attribute "):] for m in messages if m.startswith("Checking attribute ")]
    assert names == dir(plugin)
    index = messages.index("Checking attribute aa_block")
    assert messages[index + 1] == "Attribute type: <class 'QorvelAPI.plugins.InputBlock'>"
    assert "Cannot add a GhostBlock to the plugin as a block." in messages
    # early is an attribute-less block; the scan found blocks and also offered it properties.
    assert "Checking attribute blocks" in messages and "Checking attribute config" in messages


def test_scans_stop_at_a_failing_attribute():
    class Failing(Plugin):
        @property
        def broken(self):
            raise RuntimeError("no value")

    plugin = Failing(noMetaLoad=True)
    plugin.block = PluginBlock("B", "d", id="b")
    with pytest.raises(RuntimeError, match="no value"):
        plugin._addBlocks()
    assert plugin.blocks == [plugin.block]  # "block" comes before "broken"
    with pytest.raises(RuntimeError, match="no value"):
        plugin._addPages()


def test_subclass_overrides_are_used_by_the_scans():
    seen = []

    class Recording(Plugin):
        def addBlock(self, block):
            seen.append(block)

    plugin = Recording(noMetaLoad=True)
    plugin._addBlocks()
    assert len(seen) == len(dir(plugin))
