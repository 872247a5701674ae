"""Randomised file contents for the plugin's metadata loader and configuration store, and
arbitrary values for its registries. Only documented exceptions may come out; a refused load
leaves the plugin as it was, and a refused save leaves the configuration file as it was."""
import atexit
import json
import os
import shutil
import tempfile

from hypothesis import strategies as st

from QorvelAPI.plugins import (GhostBlock, Plugin, PluginBlock, PluginConfig, PluginPage, PluginVariable,
                               VariableGroup, VariableList, VariableTypes)
from fuzzing import anything, documented, fuzz, json_values, oddities, pick, snapshot, text

T = VariableTypes
# In memory where the machine offers it: the store is exercised, not the disk.
ROOT = tempfile.mkdtemp(prefix="qorvel-fuzz-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
atexit.register(shutil.rmtree, ROOT, True)
META_PATH = os.path.join(ROOT, "plugin.meta")
CONFIG_PATH = os.path.join(ROOT, "config.json")

META = {"id": "My Tools", "name": "My tools", "description": "D", "author": "A", "version": "1",
        "pluginFile": "main.py"}
FIELDS = list(META) + ["minQorvelVersion", "maxQorvelVersion", "platforms", "externalURL", "dependencies"]


def plugin_in_root():
    plugin = Plugin(noMetaLoad=True)
    plugin._path = ROOT
    return plugin


def write(path, data):
    with open(path, "wb") as handle:
        handle.write(data)


def load(plugin, data):
    write(META_PATH, data)
    before = snapshot(plugin.id, plugin.logo, getattr(plugin, "pluginMeta", None))
    try:
        plugin.loadPluginMeta()
    except Exception as error:
        assert type(error) is Exception, error
        assert str(error).startswith(f"Error loading plugin.meta file ({META_PATH}): ")
        assert error.__cause__ is not None
        assert snapshot(plugin.id, plugin.logo, getattr(plugin, "pluginMeta", None)) == before
        return False
    assert plugin.id == plugin.pluginMeta.id and plugin.id.isascii()
    assert all(c.isalnum() or c == "_" for c in plugin.id) and plugin.id == plugin.id.lower()
    return True


@fuzz(st.binary(max_size=64) | text.map(lambda t: t.encode("utf-8", "surrogatepass")))
def test_load_plugin_meta_on_arbitrary_bytes(data):
    load(plugin_in_root(), data)


field_values = pick("x", "My Tools", "", None, [], ["linux"], ["linux", "macos_arm"], ["amiga"], ["universal"], 3,
                    {"a": 1}, True, "\u00e9\u2603") | json_values
meta_documents = st.fixed_dictionaries({}, optional={name: field_values for name in FIELDS}) | json_values


@fuzz(meta_documents, pick("json", "cut"))
def test_load_plugin_meta_on_json_documents(document, form):
    text_ = json.dumps({**META, **document} if isinstance(document, dict) and form == "json" else document)
    if form == "cut":
        text_ = text_[: len(text_) // 2]
    plugin = plugin_in_root()
    if load(plugin, text_.encode()):
        meta = plugin.pluginMeta
        assert meta.platforms is None or set(meta.platforms) <= {"universal", "linux", "macos_intel", "macos_arm"}


def config_plugin():
    plugin = plugin_in_root()
    plugin.addConfig(PluginConfig("Paths", "D", None, [
        PluginVariable("root", "Root", "D", T.STRING, "/data"),
        VariableGroup("limits", "L", "D", [PluginVariable("cpu", "C", "D", T.NUMBER, 2),
                                           PluginVariable("mem", "M", "D", T.NUMBER, 4, disabled=True)]),
        VariableList("hosts", "H", "D", [PluginVariable("h", "H", "D", T.STRING)])], "paths"))
    plugin.addConfig(PluginConfig("More", "D", None, [PluginVariable("root", "Root", "D", T.STRING, "/x")], "more"))
    return plugin


config_documents = st.fixed_dictionaries({}, optional={
    "root": json_values, "limits": st.dictionaries(pick("cpu", "mem", "x"), json_values, max_size=3) | json_values,
    "hosts": st.lists(st.dictionaries(pick("h", "x"), json_values, max_size=2) | oddities.filter(
        lambda v: isinstance(v, (int, str, list, type(None)))), max_size=3) | json_values,
    "extra": json_values}) | json_values


def config_text(document, form):
    if form == "bytes" or isinstance(document, bytes):
        return document if isinstance(document, bytes) else b"\xff" + json.dumps(document).encode()
    raw = json.dumps(document, ensure_ascii=form == "ascii").encode("utf-8", "surrogatepass")
    return raw[: len(raw) // 2] if form == "cut" else raw


@fuzz(config_documents | st.binary(max_size=32), pick("json", "ascii", "cut", "bytes"))
def test_update_configs_on_arbitrary_file_content(document, form):
    plugin = config_plugin()
    content = config_text(document, form)
    write(CONFIG_PATH, content)
    if os.path.exists(CONFIG_PATH + ".bak"):
        os.remove(CONFIG_PATH + ".bak")
    before = snapshot(plugin.config)
    try:
        plugin._updateConfigs(CONFIG_PATH)
    except Exception as error:
        documented(error, TypeError, ValueError, AttributeError)
        with open(CONFIG_PATH, "rb") as handle:
            assert handle.read() == content, "a refused configuration file was rewritten"
        # Values are applied variable by variable: those the file does not name stay as they were.
        named = json.loads(content) if isinstance(error, (TypeError, AttributeError)) else {}
        after = plugin.config
        assert all(snapshot(after[k]) == snapshot(v) for k, v in json.loads(before)[0].items()
                   if not isinstance(named, dict) or k not in named)
        return
    try:
        stored = json.loads(content.decode("utf-8"))
    except ValueError:                              # set aside and written anew from the values
        with open(CONFIG_PATH + ".bak", "rb") as handle:
            assert handle.read() == content
        with open(CONFIG_PATH, encoding="utf-8") as handle:
            assert snapshot(json.load(handle)) == snapshot(plugin.config) == before
        return
    assert isinstance(stored, dict)
    if "root" in stored:
        assert snapshot(plugin.config["root"]) == snapshot(stored["root"])


@fuzz(st.dictionaries(pick("root", "limits", "hosts", "new") | text, json_values | oddities, max_size=4) | oddities)
def test_save_config_values(values):
    plugin = config_plugin()
    plugin._createConfig(CONFIG_PATH)
    with open(CONFIG_PATH, "rb") as handle:
        before_file = handle.read()
    before = snapshot(plugin.config)
    try:
        plugin._saveConfig(CONFIG_PATH, values)
    except Exception as error:
        documented(error, TypeError, ValueError, AttributeError)
        # Values the loading would refuse are refused before writing: file and values untouched.
        with open(CONFIG_PATH, "rb") as handle:
            assert handle.read() == before_file, "a refused save changed the configuration file"
        assert snapshot(plugin.config) == before
        return
    with open(CONFIG_PATH, encoding="utf-8") as handle:
        stored = json.load(handle)
    for key, value in values.items():
        assert snapshot(stored[key]) == snapshot(value)


@fuzz(st.lists(pick(PluginBlock("B", "D", id="b"), GhostBlock("g"), PluginPage("p", "P", "D", "p.html"),
                    PluginConfig("C", "D", None, [PluginVariable("v", "V", "D", T.STRING)])) | oddities, max_size=6),
      anything)
def test_registries_take_anything(values, lookup):
    plugin = plugin_in_root()
    for value in values:
        plugin.addBlock(value), plugin.addPage(value), plugin.addConfig(value)
    assert all(type(b) is PluginBlock for b in plugin.blocks) and all(type(p) is PluginPage for p in plugin.pages)
    assert all(type(c) is PluginConfig for c in plugin._configs)
    for find in (plugin.getBlock, plugin.getPage, plugin._getConfig):
        try:
            find(lookup)
        except Exception as error:
            documented(error, TypeError)
