"""Blocks: construction, accessors, run state, documents, update from the editor, special
blocks and the remote facade, with host objects that fail."""
import contextlib
import copy
import pickle

from QorvelAPI.plugins import (BlockConnection, BlockVarPair, GhostBlock, InputBlock, PluginBlock, PluginBlockTypes,
                               PluginConfig, PluginRemote, PluginVariable, UniqueVariableIDException, VariableGroup,
                               VariableList, VariableTypes)

from . import refused, scenario

T = VariableTypes


def _var(id_, type_=T.NUMBER, default=None, **kw):
    return PluginVariable(id_, id_.upper(), "D", type_, default, **kw)


def _action(block, *args, **kwargs):
    block.setOutput("out", block.variables["n"] * 2)


def _failing_action(block):
    raise RuntimeError("action failed")


def make_block(action=_action):
    group = VariableGroup("g", "G", "D", [_var("ga", default=1), _var("gb", T.STRING, "x")])
    rows = VariableList("rows", "Rows", "D", [_var("c1"), _var("c2", disabled=True, default=0)])
    variables = [_var("n", default=2), group, rows, _var("off", disabled=True, default=9)]
    groups = [VariableGroup("first", "F", "D", [_var("i1", default=1)]),
              VariableGroup("second", "S", "D", [_var("i2"), VariableGroup("ig", "IG", "D", [_var("ii")])])]
    outputs = [_var("out"), VariableGroup("og", "OG", "D", [_var("o1")]),
               VariableList("ol", "OL", "D", [_var("p")]), _var("dis", disabled=True)]
    return PluginBlock("My Block", "Desc", action, variables, [], groups, outputs, PluginBlockTypes.BASE,
                       "my-block", "http://doc")


def _state(block):
    """A block state JSON as the editor sends it, built from the block's own document."""
    state = block._minimalEncode()
    pair = {"placedID": 3, "blockID": "x", "variableID": "v", "variableType": "number", "variableAllowedValues": None}
    state.update({"isPlaced": True, "placedID": 7, "position": {"x": 1, "y": 2.5}, "storedOutputs": {"out": 1},
                  "selectedInputGroup": "second", "extensionsToOpen": [{"page": "p"}], "time": 3.5,
                  "variableConnections": [{"origin": pair, "destination": dict(pair, placedID=4), "isCyclic": True,
                                           "cycles": 3, "currentCycle": 2}],
                  "variableConnectionsReference": [{"origin": pair, "destination": {**pair, "variableType": None}}]})
    return state


@scenario
def block_construction():
    block = make_block()
    str(block), block == block, block != make_block(None), repr(block), block == 5, block != "x"
    PluginBlock("No Id", "D")                                    # warning: no identifier
    PluginBlock("n", "d", None, [], [_var("a"), _var("b")])        # default input group
    PluginBlock(name="n", description="d", id=None, externalURL=None, blockType=PluginBlockTypes.INPUT)
    block._parseID("Run-Step.2 ü")
    refused(TypeError, block._parseID, 5)
    for args, kwargs in [((1, "d"), {}), (("n", "d", None, ()), {}), (("n", "d"), {"inputs": None}),
                         (("n", "d"), {"id": 3}), (("n", "d"), {"externalURL": b"x"}), (("n",), {}),
                         (("n", "d"), {"nope": 1})]:
        refused(TypeError, PluginBlock, *args, **kwargs)
    refused(Exception, PluginBlock, "n", "d", None, [], [_var("a")], [VariableGroup("g", "G", "D", [])])
    refused(UniqueVariableIDException, PluginBlock, "n", "d", None, [_var("a"), _var("a")])
    refused(UniqueVariableIDException, PluginBlock, "n", "d", None, [], [], [], [_var("a"), _var("a")])
    refused(UniqueVariableIDException, PluginBlock, "n", "d", None, [], [_var("a"), _var("a")])
    nested = VariableGroup("outer", "O", "D", [VariableGroup("inner", "I", "D", [])])
    refused(ValueError, PluginBlock, "n", "d", None, [nested])
    refused(ValueError, PluginBlock, "n", "d", None, [], [], [], [nested])
    refused(Exception, PluginBlock, "n", "d", blockType="nonsense")
    bad_group = VariableGroup("g", "G", "D", [])
    bad_group.variables = "not a list"
    refused(TypeError, PluginBlock, "n", "d", None, [], [], [bad_group])
    bad_group.variables = None
    refused(TypeError, PluginBlock, "n", "d", None, [], [], [bad_group])


@scenario
def block_run_and_accessors():
    block = make_block()
    block.variables, block.inputs, block.outputs, block._getVariables()
    PluginBlock._parseVariablesForBlockAccess(block._variables[1])
    block(1, key="word")
    block.setOutput("og", {"o1": 5})
    block.setOutput("ol", [{"p": 1}])
    block.setOutput("dis", 1)
    refused(Exception, block.setOutput, "missing", 1)
    refused(TypeError, block.setOutput, 3, 1)
    refused(TypeError, block.setOutput, "og", [1])
    refused(TypeError, block.setOutput, "ol", {"p": 1})
    PluginBlock("n", "d")()                                      # prints the missing-action line
    refused(RuntimeError, make_block(_failing_action))
    block.selectedInputGroup = "gone"
    refused(Exception, getattr, block, "inputs")
    refused(Exception, block._updateInputs, {"i1": 1})
    block.selectedInputGroup = "first"
    block._cleanRun()
    block._cleanRun(cleanCycles=False, cleanDirty=True)
    block._cleanRun(False, False)
    refused(TypeError, block._cleanRun, 1, 2, 3)


@scenario
def block_documents():
    block = make_block()
    block._minimalEncode(), block._toDict(), str(block)
    block._variablesToDict(block._variables), block._variablesToDict(block._variables, True)
    block._inputGroupsToDict(block._inputGroups), block._connectionsToDict(block._variableConnections)
    refused(TypeError, block._variablesToDict, (1,))
    refused(TypeError, block._inputGroupsToDict, [])
    ghost = GhostBlock("Missing-Block")
    ghost.error, ghost.blockLogs = False, "changed"
    ghost._toDict(), str(ghost), ghost._parseID("X y")
    refused(Exception, ghost, 1)
    refused(TypeError, GhostBlock, 5)


@scenario
def block_copy():
    block = make_block()
    block._parseInternalVariables(_state(block))
    duplicate = block.copy()
    again = duplicate.copy()
    copy.deepcopy(block), copy.copy(block), copy.copy(duplicate)
    duplicate.extra = {"kept": [1, 2]}
    duplicate.copy()
    assert again == duplicate and not again._isOriginal


@scenario
def block_update_from_editor():
    block = make_block().copy()
    state = _state(block)
    block._parseInternalVariables(state)
    block._parseInternalVariables({})
    block._updateVariables({"n": 5, "g": {"ga": 3}, "rows": [{"c1": 1, "c2": 5}], "off": 1, "unknown": 2})
    refused(Exception, block._updateInputs, {"i1": 4})           # the state selected "default"
    block.selectedInputGroup = "first"
    block._updateInputs({"i1": 4})
    block.selectedInputGroup = "second"
    block._updateInputs({"i2": 1, "ig": {"ii": 2}})
    refused(TypeError, block._updateVariables, [])
    refused(TypeError, block._updateInputs, None)
    refused(TypeError, block._parseInternalVariables, "{}")
    bad_states = [
        {"blockLogs": 5}, {"placedID": True}, {"placedID": "3"}, {"selectedInputGroup": 1},
        {"selectedRemote": []}, {"extensionsToOpen": {}}, {"position": None}, {"position": {"x": "a"}},
        {"position": []}, {"storedOutputs": []}, {"variableConnections": {}}, {"variableConnections": None},
        {"variableConnections": [5]}, {"variableConnectionsReference": [{"origin": None}]},
        {"variableConnections": [{"origin": {"blockID": "b", "variableID": "v"}, "destination": {}}]},
        {"variableConnections": [{"origin": {}, "destination": {}, "cycles": "1"}]},
        {"variables": [{"value": 1}]}, {"variables": [5]}, {"variables": 3},
        {"variables": [{"id": "g", "type": "group", "variables": 5}]},
    ]
    before = block._minimalEncode()
    for bad in bad_states:
        refused((TypeError, ValueError, AttributeError, KeyError, Exception), block._parseInternalVariables, bad)
    assert block._minimalEncode() == before
    refused(TypeError, block._parseInternalVariables, {"variables": [{"id": "g", "type": "group", "variables": [
        {"id": "ga", "value": 1}]}, {"id": "rows", "value": {"not": "rows"}}]})


class HostRemote:
    name = "Local"
    host = "localhost"
    userHome = "/home/u"
    workDir = "/work"

    def command(self, command):
        return f"ran {command}"

    def transferTo(self, source, destination):
        return destination

    def transferFrom(self, source, destination):
        return destination

    def submitJob(self, script, changeDir):
        return 42

    @contextlib.contextmanager
    def cd(self, path):
        yield path


class BadHostRemote:
    """A host remote whose results have the wrong types and whose operations fail."""
    name = 5
    host = None
    workDir = ["x"]

    @property
    def userHome(self):
        raise OSError("no home")

    def command(self, command):
        raise ConnectionError("unreachable")

    def transferTo(self, source, destination):
        return 3

    def transferFrom(self, source, destination):
        raise FileNotFoundError(source)

    def submitJob(self, script, changeDir):
        return "not an int"

    def cd(self, path):
        raise PermissionError(path)


@scenario
def remote_facade():
    block = make_block()
    refused(Exception, block._setRemote, HostRemote())              # declared block: logged and refused
    placed = block.copy()
    placed._setRemote(HostRemote())
    remote = placed.remote
    remote.remoteCommand("ls"), remote.sendData("a", "~/b~"), remote.getData("~/c", "~/d")
    remote.submitJob("/s.sh"), remote.submitJob("/s.sh", False), remote.submitJob(script="/s.sh", changeDir=True)
    with remote.cd("/tmp"):
        pass
    remote.userHome, remote.workDir, remote.name, remote.host, remote.isLocal, remote._remote
    for method, args in [(remote.remoteCommand, (1,)), (remote.sendData, ("a", 2)), (remote.getData, (None, "b")),
                         (remote.submitJob, (b"s",))]:
        refused(TypeError, method, *args)
    placed._setRemote(BadHostRemote())
    bad = placed.remote
    refused(ConnectionError, bad.remoteCommand, "ls")
    refused(TypeError, bad.sendData, "a", "/b")
    refused(OSError, bad.sendData, "a", "~/b")
    refused(OSError, bad.getData, "~/a", "b")
    refused(FileNotFoundError, bad.getData, "/a", "b")
    refused(TypeError, bad.submitJob, "/s.sh")
    refused(PermissionError, bad.cd, "/x")
    refused(TypeError, getattr, bad, "name")
    refused(TypeError, getattr, bad, "workDir")
    refused(OSError, getattr, bad, "userHome")
    bad.host, bad.isLocal
    standalone = PluginRemote(HostRemote())
    standalone.remoteCommand("x")
    refused(AttributeError, PluginRemote, object())


@scenario
def special_blocks():
    config = PluginConfig("Config", "D", None, [_var("path", T.STRING, "/x")], "cfg")
    config._toDict()
    refused(Exception, PluginConfig, "Config", "D", None, [])
    refused(TypeError, PluginConfig, "Config", "D", None, None)
    refused(TypeError, PluginConfig, "Config", "D", None, [_var("a")], 5)
    single = InputBlock("In", "D", _var("value", default=3))
    single(), single._toDict()
    separate = InputBlock("In", "D", _var("value", default=3), _var("result"), None, "in", None)
    separate()
    acting = InputBlock("In", "D", _var("n", default=3), _var("out"), action=_action)
    acting()
    for variable in ([_var("a"), _var("b")], "value", None):
        refused(Exception, InputBlock, "In", "D", variable)
    refused(TypeError, InputBlock, "In", "D", _var("a"), id=5)
    refused(TypeError, InputBlock, "In", "D", _var("a"), externalURL=[])
    refused(TypeError, InputBlock, 5, "D", _var("a"))


class _KeywordOnly(PluginVariable):
    def toDict(self, *, minimal=False):
        return super().toDict(minimal=minimal)


@scenario
def pickling_and_subclasses():
    block = make_block().copy()
    block._parseInternalVariables(_state(block))
    block._setRemote(HostRemote())
    kinds = [block, GhostBlock("Missing"), PluginConfig("C", "D", None, [_var("p")], "c"),
             InputBlock("In", "D", _var("value", default=3)), PluginRemote(HostRemote())]
    for original in kinds:
        pickle.loads(pickle.dumps(original))
    block.action = lambda b: None
    refused((pickle.PicklingError, AttributeError), pickle.dumps, block)
    refused(TypeError, block._parseInternalVariables, {"position": {"x": "1.5"}})
    PluginBlock("n", "d", None, [_KeywordOnly("k", "K", "D", T.STRING, "x")], blockType="ghost")._minimalEncode()
    refused(Exception, PluginBlock, "n", "d", blockType="Ghost")


@scenario
def connections_in_blocks():
    block = make_block().copy()
    pair = BlockVarPair(1, "b", "v", "number")
    block._variableConnections.append(BlockConnection(pair, pair, False, 2, 1))
    block._cleanRun()
    block._connectionsToDict(block._variableConnections)
    block._parseInternalVariables(block._minimalEncode())


@scenario
def block_attribute_documentation():
    # the attributes with a class-level value carry their own docstring
    for cls, name in ((PluginBlock, "error"), (GhostBlock, "blockLogs"), (PluginVariable, "id"),
                      (VariableGroup, "variables")):
        assert vars(cls)[name].__doc__
        assert getattr(cls, name) is vars(cls)[name].__get__(None, cls)
