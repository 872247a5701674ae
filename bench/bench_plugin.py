"""The plugin container against a plain-Python implementation of the same operations.

Both sides run in this one process, interleaved, on the same plugin folder and the same blocks.
The baseline finds its script with `inspect.stack()`, parses `plugin.meta` with the same pydantic
model and rewrites the configuration file in place; the extension walks the frames directly and
replaces the configuration file atomically (temporary file, fsync, rename), so the save row shows
what the crash safety costs (ratio < 1: the extension is faster).
"""
import inspect
import json
import logging
import os
import re
import statistics
import tempfile
import time

from QorvelAPI.plugins import (GhostBlock, Plugin, PluginBlock, PluginConfig, PluginMetaModel, PluginVariable,
                               VariableGroup, VariableTypes)

logging.getLogger("Qorvel").disabled = True
logging.getLogger().setLevel(logging.WARNING)

PARSE = getattr(PluginMetaModel, "model_validate_json", None) or PluginMetaModel.parse_raw


class PyPlugin:
    logo = None
    default = False

    def __init__(self, id=None, noMetaLoad=False):
        if id is not None and not isinstance(id, str):
            raise TypeError("Argument 'id' has incorrect type")
        self.id = "undefined"
        self.actions = None
        self.views = []
        self._blocks = []
        self._pages = []
        self._configs = []
        path = None
        for entry in inspect.stack()[1:]:
            if not entry.filename.startswith("<"):
                path = os.path.abspath(entry.filename)
                break
        if path is None:
            raise ValueError("Could not find the path of the plugin. Please check the plugin installation.")
        self._filename = os.path.basename(path)
        self._path = os.path.dirname(path)
        if not noMetaLoad:
            self.loadPluginMeta()

    def loadPluginMeta(self):
        meta_path = os.path.join(self._path, "plugin.meta")
        if not os.path.exists(meta_path):
            raise Exception(f"plugin.meta file not found at '{meta_path}'.")
        try:
            with open(meta_path, encoding="utf-8") as handle:
                self.pluginMeta = PARSE(handle.read())
            self.id = re.sub("[^A-Za-z0-9]", "_", self.pluginMeta.id.lower())
            self.pluginMeta.id = self.id
            logging.debug("Assigned ID '%s' to plugin '%s'", self.id, self.pluginMeta.name)
        except Exception as error:
            raise Exception(f"Error loading plugin.meta file ({meta_path}): {error}") from error

    def getBlock(self, id):
        for block in self._blocks:
            if block.id == id:
                return block
        raise Exception(f"Block {id} not found.")

    def addBlock(self, block):
        if isinstance(block, GhostBlock) or isinstance(block, PluginConfig) or not isinstance(block, PluginBlock):
            return
        block.id = f"{self.id}.{block.id}".replace(" ", "_").lower()
        try:
            self.getBlock(block.id)
        except Exception:
            self._blocks.append(block)

    def addConfig(self, config):
        if isinstance(config, PluginConfig):
            config.id = f"{self.id}.config.{config.id}".replace(" ", "_").lower()
            self._configs.append(config)

    @property
    def config(self):
        result = {}
        for block in self._configs:
            for variable in block._getVariables():
                result[variable.id] = PluginBlock._parseVariablesForBlockAccess(variable)
        return result

    def _createConfig(self, configPath):
        if self._configs:
            with open(configPath, "w", encoding="utf-8") as handle:
                json.dump(self.config, handle, indent=4)

    def _updateConfigs(self, configPath):
        if not self._configs:
            return
        if not os.path.exists(configPath):
            self._createConfig(configPath)
        with open(configPath, encoding="utf-8") as handle:
            stored = json.load(handle)
        for block in self._configs:
            for variable in block._getVariables():
                if variable.id in stored:
                    if isinstance(variable, VariableGroup):
                        variable._updateVariablesInGroup(stored[variable.id])
                    else:
                        variable.value = stored[variable.id]

    def _saveConfig(self, configPath, valuesToSave):
        if self._configs:
            if not os.path.exists(configPath):
                self._createConfig(configPath)
            with open(configPath, encoding="utf-8") as handle:
                stored = json.load(handle)
            stored.update(valuesToSave)
            with open(configPath, "w", encoding="utf-8") as handle:
                json.dump(stored, handle, indent=4)
        self._updateConfigs(configPath)


def config_block(index):
    variables = [PluginVariable(f"v{i}", f"V{i}", "d", VariableTypes.STRING, defaultValue=f"/opt/{i}") for i in range(4)]
    variables.append(VariableGroup("limits", "Limits", "d", [
        PluginVariable("low", "Low", "d", VariableTypes.NUMBER, defaultValue=1),
        PluginVariable("high", "High", "d", VariableTypes.NUMBER, defaultValue=9)]))
    return PluginConfig(f"Settings {index}", "d", variables=variables, id=f"settings_{index}")


def measure(statement, number):
    """Best of several repeats, in microseconds per call."""
    best = min(timeit_repeat(statement, number) for _ in range(5))
    return best / number * 1e6


def timeit_repeat(statement, number):
    start = time.perf_counter()
    for _ in range(number):
        statement()
    return time.perf_counter() - start


def main():
    folder = tempfile.mkdtemp(prefix="qorvel-bench-")
    with open(os.path.join(folder, "plugin.meta"), "w", encoding="utf-8") as handle:
        json.dump({"id": "Bench Tools", "name": "Bench", "description": "d", "author": "a", "version": "1",
                   "pluginFile": "bench.py"}, handle)
    # The plugin script: each side constructs its plugin from a file in the plugin folder.
    script = os.path.join(folder, "bench_script.py")
    with open(script, "w", encoding="utf-8") as handle:
        handle.write("def make(cls, load):\n    return cls(noMetaLoad=not load)\n")
    namespace = {}
    exec(compile(open(script).read(), script, "exec"), namespace)
    make = namespace["make"]

    blocks = [PluginBlock(f"Block {i}", "d", id=f"block_{i}") for i in range(50)]

    def register(cls):
        plugin = make(cls, False)
        plugin.id = "bench_tools"
        for block in blocks:
            block.id = f"block_{blocks.index(block)}"
            plugin.addBlock(block)
        return plugin

    configured = {}
    for cls in (Plugin, PyPlugin):
        plugin = make(cls, True)
        plugin.addConfig(config_block(1))
        plugin.addConfig(config_block(2))
        configured[cls] = plugin

    paths = {Plugin: os.path.join(folder, "ext.json"), PyPlugin: os.path.join(folder, "py.json")}
    counter = iter(range(10**9))

    cases = [
        ("construct (no metadata)", lambda cls: make(cls, False), 2000),
        ("construct + load plugin.meta", lambda cls: make(cls, True), 500),
        ("register 50 blocks", register, 100),
        ("config property (2 blocks)", lambda cls: configured[cls].config, 5000),
        ("_saveConfig (merge + reload)", lambda cls: configured[cls]._saveConfig(paths[cls], {"v0": next(counter)}),
         200),
    ]
    rows = []
    for label, run, number in cases:
        ours, theirs = [], []
        for _ in range(3):  # interleaved, so both sides see the same machine state
            ours.append(measure(lambda: run(Plugin), number))
            theirs.append(measure(lambda: run(PyPlugin), number))
        ext, base = statistics.median(ours), statistics.median(theirs)
        rows.append((label, ext, base, ext / base))

    print(f"{'operation':34} {'extension µs':>13} {'python µs':>10} {'ratio':>6}")
    for label, ext, base, ratio in rows:
        print(f"{label:34} {ext:13.2f} {base:10.2f} {ratio:6.2f}")


if __name__ == "__main__":
    main()
