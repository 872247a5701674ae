"""Reference cycles through the extension types are found and freed by the cyclic garbage
collector: once the last outside reference is dropped, weak references to every object of the
cycle die after gc.collect(). A host imports and drops plugins, and runs copies of blocks for
every flow; objects kept alive by a cycle would leak on every run."""
import contextlib
import gc
import weakref

import pytest

from QorvelAPI.molstar import MolstarAPI
from QorvelAPI.plugins import (BlockConnection, BlockVarPair, CustomVariable, GhostBlock, InputBlock, Plugin,
                               PluginBlock, PluginConfig, PluginEndpoint, PluginPage, PluginVariable, SlurmBlock,
                               VariableGroup, VariableList, VariableTypes)

T = VariableTypes


class HostRemote:
    name = "Local"
    userHome = "/home/u"

    @contextlib.contextmanager
    def cd(self, path):
        yield


class Flow:
    def __init__(self):
        self.savedID = 1
        self.pendingActions = []
        self.blocks = []


def assert_collected(build):
    """`build()` returns the objects of a cycle; none may outlive gc.collect()."""
    refs = [weakref.ref(obj) for obj in build()]
    gc.collect()
    alive = [type(r()).__name__ for r in refs if r() is not None]
    assert not alive, f"kept alive by a reference cycle: {alive}"


def plugin_with_self_referring_action():
    plugin = Plugin(noMetaLoad=True)

    def action(block):
        block.setOutput("out", plugin.id)

    block = PluginBlock("Uses plugin", "D", action, outputs=[PluginVariable("out", "O", "D", T.STRING)], id="b")
    plugin.addBlock(block)
    config = PluginConfig("Config", "D", lambda b: plugin, [PluginVariable("v", "V", "D", T.STRING)], "cfg")
    plugin.addConfig(config)
    page = PluginPage("page", "P", "D", "p.html")
    page.addEndpoint(PluginEndpoint("/x", ["GET"], lambda: plugin))
    plugin.addPage(page)
    plugin.held = block                     # as the host's attribute scan finds it
    return [plugin, block, action, config, page]


def block_whose_flow_refers_back():
    block = PluginBlock("B", "D", id="b").copy()
    flow = Flow()
    flow.blocks.append(block)
    block.flow = flow
    return [block, flow]


def copied_block_and_its_remote():
    declared = PluginBlock("B", "D", lambda b: None, [PluginVariable("v", "V", "D", T.NUMBER, 1)], id="b")
    placed = declared.copy()
    host = HostRemote()
    host.block = placed                     # the host remote may know the block it serves
    placed._setRemote(host)
    placed.flow = Flow()
    placed.flow.blocks.append(placed)
    return [declared, placed, placed.remote, host, placed.flow]


def slurm_block_in_a_cycle():
    def initial(block):
        block.remote.submitJob("/job.sh")

    placed = SlurmBlock("Job", "D", initial, lambda b: b, id="job").copy()
    host = HostRemote()
    host.submitJob = lambda script, changeDir: placed and 1
    placed._setRemote(host)
    placed.keep = placed
    return [placed, placed.remote, host]


def variables_in_cycles():
    group = VariableGroup("g", "G", "D", [PluginVariable("a", "A", "D", T.NUMBER)])
    group.variables[0].owner = group
    table = VariableList("l", "L", "D", [PluginVariable("p", "P", "D", T.ANY)])
    table.value = [{"p": table}]
    page = PluginPage("p", "P", "D", "p.html")
    custom = CustomVariable("c", "C", "D", T.CUSTOM, page)
    page._pageInfo["variable"] = custom
    plain = PluginVariable("x", "X", "D", T.OBJECT, defaultValue=None)
    plain.value = [plain]
    return [group, table, page, custom, plain]


def connections_and_special_blocks():
    pair = BlockVarPair(1, "b", "v", "number", ["x"])
    connection = BlockConnection(pair, pair, False)
    block = PluginBlock("B", "D", id="b").copy()
    block._variableConnections.append(connection)
    pair.block = block
    ghost = GhostBlock("Gone")
    ghost.extraData = {"self": ghost}
    single = InputBlock("In", "D", PluginVariable("v", "V", "D", T.NUMBER, 3), action=lambda b: single)
    return [pair, connection, block, ghost, single]


class ScriptBlock(PluginBlock):
    """A block class written in a plugin script."""


def subclassed_block_and_its_copy():
    block = ScriptBlock("S", "D", id="s")
    block.me = block
    duplicate = block.copy()
    duplicate.original = block
    block.duplicate = duplicate
    return [block, duplicate]


@pytest.mark.parametrize("build", [
    plugin_with_self_referring_action, block_whose_flow_refers_back, copied_block_and_its_remote,
    slurm_block_in_a_cycle, variables_in_cycles, connections_and_special_blocks, subclassed_block_and_its_copy,
])
def test_cycles_are_collected(build):
    assert_collected(build)


def test_a_flow_seen_by_the_viewer_is_released_with_it():
    api = MolstarAPI()
    flow = Flow()
    flow.viewer = api
    api._flow = flow
    api.reset()
    flow.pendingActions.append(flow)
    ref = weakref.ref(flow)
    api._flow = None
    del flow
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("name", ["QorvelAPI.plugins", "QorvelAPI.molstar"])
def test_a_second_module_instance_is_freed_with_its_types(name):
    import importlib.util

    def build():
        spec = importlib.util.find_spec(name)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        made = [module]
        if name.endswith("plugins"):
            block = module.PluginBlock("B", "D", None, [module.PluginVariable("a", "A", "D", "number")], id="b")
            made += [module.PluginBlock, block, block.copy()]
        else:
            made.append(module.MolstarAPI)
        return made

    assert_collected(build)
