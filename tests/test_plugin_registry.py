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
from plugin_support import import_script, make_plugin_folder, run_script

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
    third = run_script(make_plugin_folder(tmp_path, name="c", meta={**__import__("plugin_support").META,
                                                                    "id": "other"}))["plugin"]
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
