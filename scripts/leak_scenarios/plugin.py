"""The plugin container: construction and metadata (good, missing and corrupt files), block and
page registries and scans, the configuration store (good, missing, corrupt files), preset flows
through a host flow reader that fails, pages and endpoints."""
import atexit
import collections
import json
import os
import shutil
import sys
import tempfile
import types

from QorvelAPI.plugins import (GhostBlock, Plugin, PluginBlock, PluginConfig, PluginEndpoint, PluginPage,
                               PluginVariable, VariableGroup, VariableList, VariableTypes)

from . import refused, scenario

T = VariableTypes
ROOT = tempfile.mkdtemp(prefix="qorvel-leakcheck-")
atexit.register(shutil.rmtree, ROOT, True)

META = {"id": "My Tools", "name": "My tools", "description": "D", "author": "A", "version": "1",
        "pluginFile": "main.py", "platforms": ["linux"], "dependencies": ["x"]}


def _folder(name, meta=META, logo=None, flows=None):
    folder = os.path.join(ROOT, name)
    os.makedirs(folder, exist_ok=True)
    if isinstance(meta, bytes):
        with open(os.path.join(folder, "plugin.meta"), "wb") as handle:
            handle.write(meta)
    elif meta == "folder":
        os.makedirs(os.path.join(folder, "plugin.meta"), exist_ok=True)
    elif meta is not None:
        with open(os.path.join(folder, "plugin.meta"), "w", encoding="utf-8") as handle:
            handle.write(meta if isinstance(meta, str) else json.dumps(meta))
    if logo is not None:
        with open(os.path.join(folder, "logo.png"), "wb") as handle:
            handle.write(logo)
    if flows is not None:
        if flows == "file":
            open(os.path.join(folder, "Flows"), "w").close()
        else:
            os.makedirs(os.path.join(folder, "Flows"), exist_ok=True)
            for name_, text in flows.items():
                with open(os.path.join(folder, "Flows", name_), "w", encoding="utf-8") as handle:
                    handle.write(text)
    script = os.path.join(folder, "main.py")
    with open(script, "w", encoding="utf-8") as handle:
        handle.write("plugin = Plugin(*args, **kwargs)\n")
    return folder


def make_plugin(folder, *args, **kwargs):
    """Constructs a Plugin as the plugin script in `folder` would (the script is on the stack)."""
    script = os.path.join(folder, "main.py")
    namespace = {"Plugin": Plugin, "args": args, "kwargs": kwargs}
    exec(compile("plugin = Plugin(*args, **kwargs)\n", script, "exec"), namespace)
    return namespace["plugin"]


GOOD = _folder("good", logo=b"\x89PNG\r\n")
GOOD_FLOWS = _folder("flows", flows={"a.flow": json.dumps({"name": "A", "savedID": 1}), "b.flow": "corrupt",
                                     "c.FLOW": "{}", "d.txt": ""})
FLOWS_FILE = _folder("flowsfile", flows="file")
MISSING = _folder("missing", meta=None)
CORRUPT = [_folder(f"corrupt{i}", meta=meta) for i, meta in enumerate([
    "{not json", json.dumps({k: v for k, v in META.items() if k != "author"}), json.dumps({**META, "id": []}),
    json.dumps({**META, "platforms": ["amiga"]}), b"\xff\xfe\x00", "[1, 2]", '"text"', "folder"])]


def _host_flow_module():
    server = types.ModuleType("Server")
    manager = types.ModuleType("Server.FlowManager")

    class Flow:
        @staticmethod
        def read(path):
            with open(path, encoding="utf-8") as handle:
                data = json.load(handle)
            return types.SimpleNamespace(name=data["name"], path=path, savedID=data["savedID"])

    manager.Flow = Flow
    server.FlowManager = manager
    return server, manager


sys.modules["Server"], sys.modules["Server.FlowManager"] = _host_flow_module()


@scenario
def plugin_metadata():
    plugin = make_plugin(GOOD)
    assert plugin.id == "my_tools"
    plugin.pluginMeta, plugin.logo, plugin._path, plugin._filename, str(plugin)
    plugin.loadPluginMeta()
    other = make_plugin(GOOD, "given id")                        # warning: identifier ignored
    assert plugin == other and not (plugin != other) and plugin != 5
    bare = make_plugin(GOOD, noMetaLoad=True)
    refused(AttributeError, str, bare)
    refused(AttributeError, bare.__eq__, plugin)
    refused(TypeError, make_plugin, GOOD, 5)
    refused(Exception, make_plugin, MISSING)
    for folder in CORRUPT:
        refused(Exception, make_plugin, folder)
        bare._path = folder
        refused(Exception, bare.loadPluginMeta)
    Plugin.logo, Plugin.default


class Holder(Plugin):
    """A plugin whose blocks and pages are held in attributes, as the host's scans find them."""


@scenario
def plugin_registry():
    plugin = make_plugin(GOOD)
    for i in range(3):
        plugin.addBlock(PluginBlock(f"Block {i}", "D", id=f"Run Step {i}"))
    plugin.addBlock(PluginBlock("dup", "D", id="run_step_0"))    # warning: duplicate
    plugin.addBlock(GhostBlock("ghost"))                         # error logged
    plugin.addBlock(PluginConfig("c", "D", None, [PluginVariable("v", "V", "D", T.STRING)]))
    plugin.addBlock("not a block"), plugin.addBlock(None)
    plugin.getBlock("my_tools.run_step_1"), plugin.getBlocks(), plugin.blocks
    refused(Exception, plugin.getBlock, "nothing")
    refused(Exception, plugin.getBlock, None)
    page = PluginPage("Viewer", "V", "D", "v.html")
    plugin.addPage(page), plugin.addPage(page), plugin.addPage(3)
    plugin.getPage(page.id), plugin.getPages(), plugin.pages
    refused(Exception, plugin.getPage, "nothing")
    holder = make_plugin(GOOD, noMetaLoad=True)
    holder.alpha = PluginBlock("A", "D", id="a")
    holder.beta = PluginPage("b", "B", "D", "b.html")
    holder.ghost = GhostBlock("g")
    holder._addBlocks(), holder._addPages()
    scanned = Holder.__new__(Holder)
    refused((AttributeError, TypeError, Exception), scanned._addBlocks)


def _config_plugin():
    plugin = make_plugin(GOOD)
    plugin.addConfig(PluginConfig("Paths", "D", None, [
        PluginVariable("root", "Root", "D", T.STRING, "/data"),
        VariableGroup("limits", "L", "D", [PluginVariable("cpu", "C", "D", T.NUMBER, 2)]),
        VariableList("hosts", "H", "D", [PluginVariable("h", "H", "D", T.STRING)])], "paths"))
    plugin.addConfig(PluginConfig("More", "D", None, [PluginVariable("root", "Root", "D", T.STRING, "/x")]))
    plugin.addConfig("not a config")
    return plugin


@scenario
def plugin_config_store():
    plugin = _config_plugin()
    path = os.path.join(ROOT, "config.json")
    if os.path.exists(path):
        os.remove(path)
    plugin.config, plugin._configToDict(), plugin._getConfigs(), plugin._getConfig("my_tools.config.paths")
    plugin.addConfig(plugin._getConfig("my_tools.config.paths"))  # prefixed again, not registered twice
    refused(Exception, plugin._getConfig, "paths")
    refused(TypeError, plugin._getConfig, 3)
    plugin._updateConfigs(path)                                   # creates the file
    plugin._saveConfig(path, {"root": "/new", "limits": {"cpu": 8}, "hosts": [{"h": "a"}], "extra": [1]})
    plugin._saveConfig(path, {"hosts": ({"h": "b"},), "limits": collections.OrderedDict(cpu=2)})  # as JSON stores them
    plugin._createConfig(path)
    with open(path, "w", encoding="utf-8") as handle:
        handle.write("{corrupt")
    refused(ValueError, plugin._saveConfig, path, {"root": "/x"})
    plugin._updateConfigs(path)                                   # moved aside, recreated, logged
    with open(path, "w", encoding="utf-8") as handle:
        handle.write("5")
    refused((TypeError, AttributeError), plugin._updateConfigs, path)
    with open(path, "w", encoding="utf-8") as handle:
        handle.write('{"limits": [1], "hosts": {"h": 1}}')
    refused(TypeError, plugin._updateConfigs, path)
    with open(path, "wb") as handle:
        handle.write(b"\xff\xfe")
    refused(UnicodeDecodeError, plugin._updateConfigs, path)
    refused((IsADirectoryError, PermissionError), plugin._createConfig, ROOT)
    refused(FileNotFoundError, plugin._createConfig, os.path.join(ROOT, "no", "such", "dir.json"))
    for call, args in [(plugin._createConfig, (None,)), (plugin._updateConfigs, (b"p",)),
                       (plugin._saveConfig, (path, [("a", 1)])), (plugin._saveConfig, (1, {}))]:
        refused(TypeError, call, *args)
    empty = make_plugin(GOOD, noMetaLoad=True)
    empty._createConfig(path), empty._updateConfigs(path), empty._saveConfig(path, {}), empty.config


@scenario
def plugin_flows():
    plugin = make_plugin(GOOD_FLOWS)
    flows = plugin._flows                                         # one corrupt file logged
    assert len(flows) == 1
    assert make_plugin(GOOD)._flows == []
    refused(NotADirectoryError, getattr, make_plugin(FLOWS_FILE), "_flows")
    saved = sys.modules.pop("Server.FlowManager"), sys.modules.pop("Server")
    try:
        refused(ImportError, getattr, plugin, "_flows")
    finally:
        sys.modules["Server.FlowManager"], sys.modules["Server"] = saved
    bare = make_plugin(GOOD_FLOWS, noMetaLoad=True)
    refused(AttributeError, getattr, bare, "_flows")


@scenario
def pages_and_endpoints():
    page = PluginPage("p", "P", "D", "p.html", True)
    endpoint = PluginEndpoint("/run", ["GET", "POST"], len)
    page.addEndpoint(endpoint), page.addEndpoint(endpoint)
    page._pageInfo["id"] = "p"
    PluginPage(id="p", name="P", description="D", html="p.html")
    for args in [(1, "P", "D", "p.html"), ("p", "P", "D", 5), ("p", "P", "D")]:
        refused(TypeError, PluginPage, *args)
    for args in [(b"/u", [], len), ("/u", ("GET",), len), ("/u", [])]:
        refused(TypeError, PluginEndpoint, *args)
    refused(TypeError, page.addEndpoint)
