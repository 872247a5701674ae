"""What actions see of a block (variables, inputs, outputs, setOutput) and the run reset."""
import logging

import pytest

from QorvelAPI.plugins import (
    BlockConnection,
    BlockVarPair,
    PluginBlock,
    PluginRemote,
    PluginVariable,
    VariableGroup,
    VariableList,
    VariableTypes,
)


def var(id="v", type=VariableTypes.STRING, **kwargs):
    return PluginVariable(id, id.upper(), f"about {id}", type, **kwargs)


def connection(current=0):
    return BlockConnection(BlockVarPair(1, "a", "x", "string"), BlockVarPair(2, "b", "y", "string"), False, 3, current)


def test_access_values_of_variables_groups_and_lists():
    members = [var("m1", defaultValue="one"), var("m2", defaultValue="two")]
    lst = VariableList("rows", "R", "d", [var("c")])
    lst.value = [{"c": 1}]
    block = PluginBlock("n", "d", variables=[var("a", defaultValue="x"), VariableGroup("g", "G", "d", members), lst],
                        id="b")
    values = block.variables
    assert values == {"a": "x", "g": {"m1": "one", "m2": "two"}, "rows": [{"c": 1}]}
    assert values["rows"] is lst.value  # no copy
    values["a"] = "changed"
    values["new"] = 1
    assert block.variables["a"] == "x" and "new" not in block.variables
    assert block._getVariables() is block._variables
    assert PluginBlock._parseVariablesForBlockAccess(block._variables[1]) == {"m1": "one", "m2": "two"}
    assert block._parseVariablesForBlockAccess(lst) is lst.value


def test_inputs_follow_the_selected_group():
    g1 = VariableGroup("g1", "G1", "d", [var("a", defaultValue=1)])
    g2 = VariableGroup("g2", "G2", "d", [var("b", defaultValue=2), VariableGroup("inner", "I", "d", [var("c")])])
    block = PluginBlock("n", "d", inputGroups=[g1, g2], id="b")
    assert block.inputs == {"a": 1}
    block.selectedInputGroup = "g2"
    assert block.inputs == {"b": 2, "inner": {"c": None}}
    block.selectedInputGroup = "nope"
    with pytest.raises(Exception) as info:
        block.inputs
    assert str(info.value) == ("Input group 'nope' not found in block inputs. Current block inputs are: "
                               "dict_keys(['g1', 'g2'])")
    assert isinstance(info.value.__cause__, KeyError)


def test_block_without_inputs_has_empty_inputs_whatever_is_selected():
    block = PluginBlock("n", "d", id="b")
    block.selectedInputGroup = "anything"
    assert block.inputs == {}


def test_set_output_plain_group_list_disabled_and_missing():
    out = var("result", type=VariableTypes.NUMBER)
    dup = var("result", type=VariableTypes.NUMBER)
    grp = VariableGroup("grp", "G", "d", [var("m")])
    lst = VariableList("lst", "L", "d", [var("c")])
    off = var("off", disabled=True, defaultValue="keep")
    block = PluginBlock("n", "d", outputs=[out, grp, lst, off], id="b")
    block._outputs.append(dup)  # a second output under the same id: only the first is written
    block.setOutput("result", 5)
    assert out.value == 5 and dup.value is None
    block.setOutput("grp", {"m": "v"})
    assert grp.variables[0].value == "v"
    block.setOutput("lst", [{"c": 1}])
    assert lst.value == [{"c": 1}]
    block.setOutput("off", "new")
    assert off.value == "keep" and "off" not in block._storedOutputs
    assert block._storedOutputs == {"result": 5, "grp": {"m": "v"}, "lst": [{"c": 1}]}
    # the outputs dictionary is built over the list in order, so the later duplicate's entry stands
    assert block.outputs["result"] is None and block.outputs["grp"] == {"m": "v"}
    with pytest.raises(Exception, match=r"^Output missing not found\.$"):
        block.setOutput("missing", 1)
    with pytest.raises(TypeError, match=r"Argument 'id' has incorrect type \(expected str, got int\)"):
        block.setOutput(1, 1)
    # a refused group value leaves the stored outputs untouched
    with pytest.raises(TypeError):
        block.setOutput("grp", [1])
    assert block._storedOutputs["grp"] == {"m": "v"}


def test_set_output_while_stored_outputs_is_null_starts_a_new_table():
    block = PluginBlock("n", "d", outputs=[var("o")], id="b").copy()
    block._parseInternalVariables({})
    assert block._storedOutputs is None
    block.setOutput("o", "v")
    assert block._storedOutputs == {"o": "v"}


def test_clean_run_resets_run_state_only():
    out = var("o")
    block = PluginBlock("n", "d", outputs=[out], id="b")
    block._variableConnections = [connection(current=2)]
    block._variableConnectionsReferences = [connection(current=2)]
    block.setOutput("o", "v")
    block._finishedExecution = block.error = block._isRunning = block.dirty = True
    block.blockLogs, block.time, block._extensionsToOpen = "log", 12.5, [{"page": 1}]
    block._position, block._placedID, block.selectedRemote = [3.0, 4.0], 7, "cluster"
    block._cleanRun()
    assert (block._finishedExecution, block.error, block._isRunning, block.blockLogs, block.time) == (
        False, False, False, "", 0)
    assert block._extensionsToOpen == [] and block._storedOutputs == {} and out.value == "v"
    assert block.dirty is True  # kept unless cleanDirty
    assert block._variableConnections[0].currentCycle == 0
    assert block._variableConnectionsReferences[0].currentCycle == 2
    assert (block._position, block._placedID, block.selectedRemote) == ([3.0, 4.0], 7, "cluster")
    block._variableConnections[0].currentCycle = 5
    block._cleanRun(cleanCycles=False, cleanDirty=True)
    assert block._variableConnections[0].currentCycle == 5 and block.dirty is False


def test_set_remote_only_on_copies(caplog):
    caplog.set_level(logging.ERROR, logger="Qorvel")
    block = PluginBlock("n", "d", id="b")
    message = ("Setting remote on original block is not allowed. This can lead to unexpected behaviour. "
               "Remember to copy the block using block.copy() if you want to use it in the pipeline.")

    class Remote:
        name = "Local"

        def cd(self, path):
            return path

    with pytest.raises(Exception) as info:
        block._setRemote(Remote())
    assert str(info.value) == message
    assert [r.getMessage() for r in caplog.records if r.levelno == logging.ERROR] == [message]
    copied = block.copy()
    first, second = Remote(), Remote()
    copied._setRemote(first)
    assert isinstance(copied.remote, PluginRemote) and copied.remote._remote is first
    copied._setRemote(second)
    assert copied.remote._remote is second
