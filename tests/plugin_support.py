"""Helpers for the plugin tests: plugin folders on disk, loaded the way the host loads them."""

import importlib.util
import itertools
import json
import runpy
import sys
import types
from pathlib import Path

META = {
    "id": "My Tools",
    "name": "My tools",
    "description": "Tools for tests",
    "author": "Tester",
    "version": "1.0.0",
    "pluginFile": "main.py",
}

SCRIPT = """
from QorvelAPI.plugins import Plugin
plugin = Plugin()
"""

_names = itertools.count()


def make_plugin_folder(root, meta=META, script=SCRIPT, name="plug", logo=None):
    """Creates a plugin folder with plugin.meta (a dict, or raw text) and main.py."""
    folder = Path(root) / name
    folder.mkdir(parents=True, exist_ok=True)
    if meta is not None:
        text = meta if isinstance(meta, str) else json.dumps(meta)
        (folder / "plugin.meta").write_text(text, encoding="utf-8")
    if logo is not None:
        (folder / "logo.png").write_bytes(logo)
    (folder / "main.py").write_text(script, encoding="utf-8")
    return folder


def run_script(folder, script="main.py"):
    """Runs the plugin script as runpy does; returns its globals."""
    return runpy.run_path(str(Path(folder) / script))


def import_script(folder, script="main.py"):
    """Imports the plugin script through importlib under a fresh module name."""
    name = f"qorvel_test_plugin_{next(_names)}"
    spec = importlib.util.spec_from_file_location(name, str(Path(folder) / script))
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


def install_flow_manager(monkeypatch, read):
    """Provides a host module Server.FlowManager whose Flow.read is `read(path)`."""
    server = types.ModuleType("Server")
    manager = types.ModuleType("Server.FlowManager")

    class Flow:
        pass

    Flow.read = staticmethod(read)
    manager.Flow = Flow
    server.FlowManager = manager
    monkeypatch.setitem(sys.modules, "Server", server)
    monkeypatch.setitem(sys.modules, "Server.FlowManager", manager)
    return Flow


def json_flow_reader(path):
    """Flow.read of the stand-in host: reads the example's simple JSON flow files."""
    with open(path, encoding="utf-8") as handle:
        data = json.load(handle)
    return types.SimpleNamespace(name=data["name"], path=path, savedID=data["savedID"], data=data)
