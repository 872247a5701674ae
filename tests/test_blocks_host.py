"""A block's road as the host drives it, and randomised editor JSON against the update operations."""
import copy
import json

from hypothesis import given
from hypothesis import strategies as st

from fuzzing import fuzz_settings
from QorvelAPI.plugins import (
    PluginBlock,
    PluginVariable,
    VariableGroup,
    VariableList,
    VariableTypes,
)


class FakeRemote:
    name, userHome, workDir, host = "Local", "/home/u", "/flows/f1", "localhost"

    def __init__(self):
        self.commands = []

    def command(self, command):
        self.commands.append(command)
        return f"output of {command}"

    def cd(self, path):
        raise AssertionError("not used")


def declare():
    def action(block):
        threads = block.variables["threads"]
        out = block.remote.remoteCommand(f"run --threads {threads} {block.inputs['structure']}")
        block.setOutput("log", out)
        block.setOutput("summary", {"count": len(block.variables["rows"] or [])})

    return PluginBlock(
        "Dock", "Docks a ligand", action,
        variables=[PluginVariable("threads", "Threads", "d", VariableTypes.INTEGER, 1),
                   VariableGroup("opts", "Options", "d", [PluginVariable("mode", "Mode", "d", VariableTypes.STRING,
                                                                         "fast")]),
                   VariableList("rows", "Rows", "d", [PluginVariable("name", "Name", "d", VariableTypes.STRING)])],
        inputs=[PluginVariable("structure", "Structure", "d", VariableTypes.FILE)],
        outputs=[PluginVariable("log", "Log", "d", VariableTypes.STRING),
                 VariableGroup("summary", "Summary", "d", [PluginVariable("count", "N", "d", VariableTypes.NUMBER)])],
        id="dock")


EDITOR_JSON = {
    "id": "dock", "isPlaced": True, "position": {"x": 120, "y": 80}, "placedID": 7, "finishedExecution": False,
    "variables": [{"id": "threads", "value": 8, "type": "integer"},
                  {"id": "opts", "type": "group", "variables": [{"id": "mode", "value": "slow"}]},
                  {"id": "rows", "type": "_list", "value": [{"name": "a"}, {"name": "b"}]}],
    "variableConnections": [{"origin": {"placedID": 6, "blockID": "load", "variableID": "file",
                                        "variableType": "file", "variableAllowedValues": None},
                             "destination": {"placedID": 7, "blockID": "dock", "variableID": "structure",
                                             "variableType": "file", "variableAllowedValues": None},
                             "isCyclic": False, "cycles": 1, "currentCycle": 0}],
    "selectedRemote": "Local", "dirty": True,
}


def test_host_scenario_declare_copy_update_run_encode_and_restore():
    declared = declare()
    declared_text = str(declared)
    placed = declared.copy()
    placed._parseInternalVariables(json.loads(json.dumps(EDITOR_JSON)))
    placed._updateInputs({"structure": "/data/protein.pdb"})
    placed._cleanRun()
    remote = FakeRemote()
    placed._setRemote(remote)
    placed.flow, placed.pluginDir, placed.config = object(), "/plugins/dock", {"key": "v"}
    outputs = placed()
    assert outputs == {"log": "output of run --threads 8 /data/protein.pdb", "summary": {"count": 2}}
    assert remote.commands == ["run --threads 8 /data/protein.pdb"]
    minimal = placed._minimalEncode()
    assert json.loads(json.dumps(minimal)) == minimal  # JSON values only
    assert minimal["placedID"] == 7 and minimal["position"] == {"x": 120.0, "y": 80.0}
    assert minimal["storedOutputs"] == outputs and minimal["dirty"] is True
    assert minimal["variables"][1]["variables"][0]["value"] == "slow"
    # another copy takes the same state from the minimal dictionary
    other = declared.copy()
    other._parseInternalVariables(json.loads(json.dumps(minimal)))
    assert other._minimalEncode() == minimal and other == placed
    assert other.variables == placed.variables
    # the declared block never changed
    assert str(declared) == declared_text and declared._isOriginal


# --- randomised editor JSON ------------------------------------------------------------------

json_leaf = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), st.text(max_size=5))
json_value = st.recursive(json_leaf, lambda inner: st.one_of(st.lists(inner, max_size=3),
                                                             st.dictionaries(st.text(max_size=4), inner, max_size=3)),
                          max_leaves=6)
ids = st.sampled_from(["threads", "opts", "rows", "mode", "structure", "x"])
entry = st.fixed_dictionaries({}, optional={"id": st.one_of(ids, json_leaf), "type": st.sampled_from(
    ["group", "_list", "integer", None]), "value": json_value, "variables": st.one_of(
    json_value, st.lists(st.fixed_dictionaries({}, optional={"id": ids, "value": json_value}), max_size=3))})
endpoint = st.fixed_dictionaries({}, optional={"placedID": st.one_of(st.integers(), json_leaf),
                                               "blockID": st.one_of(st.text(max_size=3), json_leaf),
                                               "variableID": st.text(max_size=3), "variableType": json_leaf,
                                               "variableAllowedValues": st.one_of(st.none(), st.lists(json_leaf))})
connection = st.fixed_dictionaries({}, optional={"origin": st.one_of(endpoint, json_leaf),
                                                 "destination": st.one_of(endpoint, json_leaf),
                                                 "isCyclic": st.booleans(), "cycles": json_leaf,
                                                 "currentCycle": json_leaf})
state_json = st.fixed_dictionaries({}, optional={
    "isPlaced": json_leaf, "blockLogs": json_leaf, "placedID": json_leaf, "selectedInputGroup": json_leaf,
    "selectedRemote": json_leaf, "extensionsToOpen": json_value, "time": json_leaf, "extraData": json_value,
    "position": st.one_of(json_value, st.fixed_dictionaries({}, optional={"x": json_leaf, "y": json_leaf})),
    "storedOutputs": json_value, "variableConnections": st.one_of(json_value, st.lists(connection, max_size=2)),
    "variableConnectionsReference": st.lists(connection, max_size=2),
    "variables": st.one_of(json_value, st.lists(entry, max_size=4))})
values_json = st.dictionaries(ids, json_value, max_size=4)

# The kinds the update operations document: type errors, failed number conversion, a row without
# items(), and the general exception ("Invalid flow object.", a missing input group).
DOCUMENTED = {TypeError, ValueError, AttributeError, Exception}


def state_of(block):
    return (copy.deepcopy(block._minimalEncode()), block._variableConnections, block._variableConnectionsReferences,
            [v.value for v in block._inputGroups["default"].variables], block._position, block._extensionsToOpen,
            block.extraData, block._storedOutputs)


def check_atomic(block, operation, payload):
    before = state_of(block)
    try:
        operation(payload)
    except Exception as error:
        assert type(error) in DOCUMENTED, repr(error)
        assert state_of(block) == before
        return False
    return True


SETTINGS = fuzz_settings(150)


@SETTINGS
@given(state_json)
def test_random_block_state_json_is_all_or_nothing(payload):
    block = declare().copy()
    if check_atomic(block, block._parseInternalVariables, payload):
        assert isinstance(block._minimalEncode(), dict)


@SETTINGS
@given(values_json)
def test_random_variable_values_are_all_or_nothing(payload):
    block = declare().copy()
    check_atomic(block, block._updateVariables, payload)


@SETTINGS
@given(values_json)
def test_random_input_values_are_all_or_nothing(payload):
    block = declare().copy()
    check_atomic(block, block._updateInputs, payload)
