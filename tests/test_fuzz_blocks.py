"""Randomised inputs for blocks: constructors, the editor's block state JSON, value and input
updates, setOutput, the special blocks, the cluster block's state and the remote facade.

Only documented exceptions may come out, and a refused call leaves the block as it was."""
import contextlib
import json
import random

from hypothesis import strategies as st

from QorvelAPI.plugins import (GhostBlock, InputBlock, PluginBlock, PluginBlockTypes, PluginConfig, PluginVariable,
                               SlurmBlock, UniqueVariableIDException, VariableGroup, VariableList, VariableTypes)
from fuzzing import anything, documented, fuzz, json_values, oddities, pick, snapshot, text

T = VariableTypes


def _var(id_, type_=T.NUMBER, default=None, **kw):
    return PluginVariable(id_, id_.upper(), "D", type_, default, **kw)


def _action(block, *args, **kwargs):
    block.setOutput("out", block.variables["n"])


def make_block(kind=PluginBlock):
    variables = [_var("n", default=2), VariableGroup("g", "G", "D", [_var("ga", default=1), _var("gb", disabled=True)]),
                 VariableList("rows", "R", "D", [_var("c1"), _var("c2", disabled=True, default=0)]),
                 _var("off", disabled=True, default=9)]
    groups = [VariableGroup("first", "F", "D", [_var("i1", default=1)]),
              VariableGroup("second", "S", "D", [_var("i2"), VariableGroup("ig", "IG", "D", [_var("ii")])])]
    outputs = [_var("out"), VariableGroup("og", "OG", "D", [_var("o1")]), VariableList("ol", "OL", "D", [_var("p")]),
               _var("dis", disabled=True)]
    if kind is SlurmBlock:
        declared = SlurmBlock("Job", "D", _action, _action, variables, [], groups, outputs, "job")
    else:
        declared = PluginBlock("My Block", "D", _action, variables, [], groups, outputs, id="my-block")
    return declared.copy()


def picture(block):
    """Everything the host can read back from a block."""
    return snapshot(block._toDict(), block._storedOutputs, block._extensionsToOpen, block.extraData, block.dirty,
                    block.time, block._variableConnections, block._variableConnectionsReferences,
                    [v.value for v in block._outputs])


# ---- constructors ----------------------------------------------------------------------------

def _variable_list_pool():
    """Lists of variables as plugin scripts declare them, well- and ill-formed, built once from a
    fixed seed (the constructors neither change nor keep state in them besides the list)."""
    rng = random.Random(7)

    def member():
        return _var(rng.choice("aab"), disabled=rng.random() < 0.3)

    def group():
        members = {m.id: m for m in (member() for _ in range(rng.randint(0, 3)))}
        inner = [VariableGroup("inner", "I", "D", [])] if rng.random() < 0.2 else []
        return VariableGroup(rng.choice("ga"), "G", "D", list(members.values()) + inner)

    def item():
        roll = rng.random()
        return member() if roll < 0.5 else group() if roll < 0.85 else rng.choice([5, None, "x"])

    return [[item() for _ in range(rng.randint(0, 4))] for _ in range(200)]


VARIABLE_LISTS = _variable_list_pool()


def variable_lists():
    return st.sampled_from(VARIABLE_LISTS) | oddities


@fuzz(pick("My Block", "") | oddities, variable_lists(), variable_lists(), variable_lists(), variable_lists(),
      pick(PluginBlockTypes.BASE, "base", "slurm", "nope") | oddities, pick(None, "id", "Run-Step.2 \u00fc") | oddities,
      pick(None, "http://x") | oddities)
def test_block_constructor(name, variables, inputs, groups, outputs, block_type, id_, url):
    try:
        block = PluginBlock(name, "Desc", None, variables, inputs, groups, outputs, block_type, id_, url)
    except Exception as error:
        documented(error, TypeError, ValueError, AttributeError, UniqueVariableIDException)
        return
    # a plain string names the member with that value
    declared_type = PluginBlockTypes(block_type) if type(block_type) is str else block_type
    assert block._variables is variables and block._outputs is outputs and block.TYPE is declared_type
    assert all(c.isalnum() and c.isascii() or c == "_" for c in block.id) and block.id == block.id.lower()
    assert block.selectedInputGroup == (next(iter(block._inputGroups)) if block._inputGroups else "default")
    json.loads(str(block))
    assert block.copy() == block


@fuzz(pick("Name", "") | oddities, pick(None, [], [_var("v")], [_var("v"), _var("v")]) | variable_lists(),
      pick(None, "id", "G-h.") | oddities, pick(None, _var("out")) | oddities, st.sampled_from(["ghost", "config", "input"]))
def test_special_block_constructors(name, variables, id_, extra, kind):
    try:
        if kind == "ghost":
            block = GhostBlock(id_)
        elif kind == "config":
            block = PluginConfig(name, "Desc", None, variables, id_)
        else:
            variable = variables[0] if type(variables) is list and variables else variables
            block = InputBlock(name, "Desc", variable, extra, None, id_)
    except Exception as error:
        documented(error, TypeError, ValueError, AttributeError, UniqueVariableIDException)
        return
    if kind == "ghost":
        assert block.id == id_ and block.error is True
        try:
            block()
        except Exception as error:
            assert type(error) is Exception and str(error) == "Cannot execute a ghost block."
    elif kind == "input":
        assert block.outputs == block()
    json.loads(str(block))


# ---- the editor's block state JSON ------------------------------------------------------------

def pair_json():
    return st.fixed_dictionaries({}, optional={
        "placedID": st.integers() | oddities, "blockID": pick("b") | oddities, "variableID": pick("v") | oddities,
        "variableType": pick(None, "number") | oddities, "variableAllowedValues": pick(None, ["a"]) | oddities})


connection_json = st.fixed_dictionaries({}, optional={
    "origin": pair_json() | oddities, "destination": pair_json() | oddities, "isCyclic": st.booleans() | oddities,
    "cycles": st.integers() | oddities, "currentCycle": st.integers() | oddities}) | oddities

variable_entry = st.fixed_dictionaries({}, optional={
    "id": pick("n", "g", "rows", "off", "zzz") | oddities,
    "type": pick("group", "number", "_list") | oddities,
    "value": json_values,
    "variables": st.lists(st.fixed_dictionaries({}, optional={"id": pick("ga", "gb") | oddities, "value": json_values})
                          | oddities, max_size=3) | oddities}) | oddities

state_values = {
    "isPlaced": anything, "isRunning": anything, "error": anything, "blockLogs": pick("", "log") | oddities,
    "placedID": st.integers() | oddities, "finishedExecution": anything,
    "selectedInputGroup": pick("first", "second", "default") | oddities, "selectedRemote": pick("Local") | oddities,
    "extensionsToOpen": pick([], [{"p": 1}]) | oddities, "time": anything, "extraData": anything, "dirty": anything,
    "position": st.fixed_dictionaries({}, optional={"x": st.floats() | oddities, "y": st.integers() | oddities})
    | oddities,
    "storedOutputs": pick(None, {}, {"out": 1}) | oddities,
    "variableConnections": st.lists(connection_json, max_size=2) | oddities,
    "variableConnectionsReference": st.lists(connection_json, max_size=2) | oddities,
    "variables": st.lists(variable_entry, max_size=4) | oddities,
    "status": pick("RUNNING", "running", None) | oddities, "executeSecondAction": anything, "jobID": anything,
}
block_state = st.fixed_dictionaries({}, optional=state_values)


@fuzz(block_state, st.sampled_from([PluginBlock, SlurmBlock]))
def test_parse_internal_variables(state, kind):
    block = make_block(kind)
    before = picture(block)
    try:
        block._parseInternalVariables(state)
    except Exception as error:
        documented(error, TypeError, ValueError)
        assert picture(block) == before, "a refused block state changed the block"
        return
    encoded = block._minimalEncode()
    assert encoded["placedID"] is state.get("placedID", 0)
    assert encoded["selectedRemote"] is state.get("selectedRemote", "Local")
    assert encoded["finishedExecution"] is state.get("finishedExecution", True)
    assert isinstance(block._position[0], float) and isinstance(block._position[1], float)
    assert len(block._variableConnections) == len(state.get("variableConnections", []))
    assert block.variables["off"] == 9
    # What the block now says about itself is a block state that reproduces it.
    again = make_block(kind)
    again._parseInternalVariables(encoded)
    assert snapshot(again._minimalEncode()) == snapshot(encoded)


@fuzz(st.dictionaries(text | pick(*state_values), json_values, max_size=6) | oddities)
def test_parse_internal_variables_arbitrary_json(state):
    block = make_block()
    before = picture(block)
    try:
        block._parseInternalVariables(state)
    except Exception as error:
        documented(error, TypeError, ValueError)
        assert picture(block) == before


values_dict = st.dictionaries(pick("n", "g", "rows", "off", "i1", "i2", "ig", "zzz") | text,
                              json_values | st.dictionaries(pick("ga", "gb", "ii"), json_values, max_size=2)
                              | st.lists(st.dictionaries(pick("c1", "c2"), json_values, max_size=2), max_size=2),
                              max_size=5) | oddities


@fuzz(values_dict, pick("first", "second", "missing") | oddities, st.booleans())
def test_update_variables_and_inputs(values, selected, inputs):
    block = make_block()
    block.selectedInputGroup = selected
    before = picture(block)
    try:
        if inputs:
            block._updateInputs(values)
        else:
            block._updateVariables(values)
    except Exception as error:
        documented(error, TypeError, ValueError, AttributeError)
        assert picture(block) == before
        return
    assert block.variables["off"] == 9
    if not inputs and "n" in values:
        assert block.variables["n"] is values["n"]


@fuzz(pick("out", "og", "ol", "dis", "zzz") | oddities, json_values | oddities)
def test_set_output(output_id, value):
    block = make_block()
    before = picture(block)
    try:
        block.setOutput(output_id, value)
    except Exception as error:
        documented(error, TypeError, AttributeError)
        assert picture(block) == before
        return
    if output_id != "dis":
        assert block._storedOutputs[output_id] is value


# ---- public attributes set to anything ------------------------------------------------------

ATTRIBUTES = ["_position", "_isPlaced", "_placedID", "selectedInputGroup", "_storedOutputs", "_variableConnections",
              "_variableConnectionsReferences", "_extensionsToOpen", "extraData", "time", "_variables", "_outputs",
              "_inputGroups", "TYPE", "id", "name", "blockLogs", "status", "jobID"]


@fuzz(pick(*ATTRIBUTES), anything, st.sampled_from([PluginBlock, SlurmBlock]))
def test_block_operations_after_arbitrary_assignment(attribute, value, kind):
    """Scripts and hosts may assign anything to a block's attributes; every operation then works
    or fails with an ordinary error, and never crashes the interpreter."""
    block = make_block(kind)
    try:
        setattr(block, attribute, value)
    except Exception as error:
        documented(error, TypeError, ValueError, AttributeError)
        return
    for operation in (block._minimalEncode, block._toDict, lambda: str(block), block.copy, block._cleanRun,
                      lambda: block.variables, lambda: block.inputs, lambda: block.outputs, block,
                      lambda: block._parseInternalVariables({}), lambda: block == make_block(kind),
                      lambda: block.setOutput("out", 1)):
        try:
            operation()
        except Exception as error:
            documented(error, TypeError, ValueError, AttributeError, KeyError, IndexError)


# ---- the remote facade with a host remote that answers anything ------------------------------

class AnyRemote:
    def __init__(self, answer):
        self.answer = answer
        self.name = self.host = self.workDir = answer
        self.userHome = answer

    def command(self, command):
        return self.answer

    def transferTo(self, source, destination):
        return self.answer

    def transferFrom(self, source, destination):
        return self.answer

    def submitJob(self, script, changeDir):
        return self.answer

    @contextlib.contextmanager
    def cd(self, path):
        yield


@fuzz(pick("ls", "~/x~", "") | oddities, pick("~/d", "/abs") | oddities, anything,
      st.sampled_from(["remoteCommand", "sendData", "getData", "submitJob", "userHome", "workDir", "name", "host",
                       "isLocal"]))
def test_remote_facade(first, second, answer, operation):
    block = make_block()
    block._setRemote(AnyRemote(answer))
    remote = block.remote
    try:
        if operation == "remoteCommand":
            result = remote.remoteCommand(first)
        elif operation in ("sendData", "getData"):
            result = getattr(remote, operation)(first, second)
        elif operation == "submitJob":
            result = remote.submitJob(first, second)
        else:
            result = getattr(remote, operation)
    except Exception as error:
        documented(error, TypeError)
        return
    if operation in ("sendData", "getData", "userHome", "workDir", "name", "host"):
        assert result is None or type(result) is str
    if operation == "submitJob":
        assert result is None or type(result) is int
