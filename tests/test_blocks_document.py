"""The block dictionaries and the update of a block from the flow editor's JSON."""
import copy
import logging

import pytest

from QorvelAPI.plugins import (
    BlockConnection,
    BlockVarPair,
    PluginBlock,
    PluginBlockTypes,
    PluginVariable,
    VariableGroup,
    VariableList,
    VariableTypes,
)

MINIMAL_KEYS = ["id", "isPlaced", "position", "isRunning", "error", "blockLogs", "placedID", "finishedExecution",
                "storedOutputs", "variables", "variableConnections", "variableConnectionsReference",
                "selectedInputGroup", "selectedRemote", "extensionsToOpen", "time", "extraData", "dirty"]
FULL_KEYS = MINIMAL_KEYS + ["externalURL", "name", "description", "inputs", "outputs", "type"]


def var(id="v", type=VariableTypes.STRING, **kwargs):
    return PluginVariable(id, id.upper(), f"about {id}", type, **kwargs)


def sample_block():
    return PluginBlock(
        "Sample", "A sample block", None,
        variables=[var("a", defaultValue="x"), VariableGroup("g", "G", "d", [var("m1"), var("m2")]),
                   VariableList("l", "L", "d", [var("c1"), var("c2")]), var("off", disabled=True, defaultValue=0)],
        inputGroups=[VariableGroup("in1", "I1", "d", [var("i")]), VariableGroup("in2", "I2", "d", [var("j")])],
        outputs=[var("o")], id="sample", externalURL="http://doc")


def conn_json(current=0, **origin):
    return {"origin": {"placedID": 1, "blockID": "a", "variableID": "x", "variableType": "string",
                       "variableAllowedValues": None, **origin},
            "destination": {"placedID": 2, "blockID": "b", "variableID": "y", "variableType": "number",
                            "variableAllowedValues": ["number"]},
            "isCyclic": True, "cycles": 3, "currentCycle": current}


def test_empty_block_dictionaries():
    block = PluginBlock("n", "d", id="b")
    minimal = block._minimalEncode()
    assert list(minimal) == MINIMAL_KEYS
    assert minimal["position"] == {"x": 0, "y": 0} and minimal["placedID"] == 0
    assert (minimal["selectedInputGroup"], minimal["selectedRemote"], minimal["time"], minimal["blockLogs"]) == (
        "default", "Local", 0, "")
    for key in ("variables", "variableConnections", "variableConnectionsReference"):
        assert minimal[key] == []
    full = block._toDict()
    assert list(full) == FULL_KEYS
    assert full["inputs"] == [] and full["outputs"] == [] and full["type"] == "base"
    assert type(full["type"]) is str


def test_values_placed_without_copying_and_variable_forms():
    block = sample_block()
    minimal = block._minimalEncode()
    assert minimal["storedOutputs"] is block._storedOutputs
    assert minimal["extensionsToOpen"] is block._extensionsToOpen and minimal["extraData"] is block.extraData
    assert minimal["variables"][0] == {"id": "a", "value": "x", "type": "string"}
    assert list(minimal["variables"][1]) == ["id", "value", "type", "variables"]
    full = block._toDict()
    assert full["variables"] == block._variablesToDict(block._variables)
    assert len(full["variables"][0]) == 10 and full["externalURL"] == "http://doc"
    assert [g["id"] for g in full["inputs"]] == ["in1", "in2"]
    assert full["outputs"] == [block._outputs[0].toDict()]
    assert block._variablesToDict(block._variables, minimal=True) == minimal["variables"]
    assert block._inputGroupsToDict(block._inputGroups) == full["inputs"]
    with pytest.raises(TypeError, match=r"Argument 'vars' has incorrect type \(expected list, got tuple\)"):
        block._variablesToDict(())
    with pytest.raises(TypeError, match=r"Argument 'inputGroups' has incorrect type \(expected dict, got list\)"):
        block._inputGroupsToDict([])


def test_connections_to_dict_and_reference_key():
    block = PluginBlock("n", "d", id="b")
    c = BlockConnection(BlockVarPair(1, "a", "x", "string"), BlockVarPair(2, "b", "y", "string"), False)
    r = BlockConnection(BlockVarPair(3, "a", "x", "string"), BlockVarPair(4, "b", "y", "string"), True)
    block._variableConnections, block._variableConnectionsReferences = [c], [r]
    assert block._connectionsToDict() == [c._toDict()]
    assert block._connectionsToDict(True) == [r._toDict()]
    minimal = block._minimalEncode()
    assert minimal["variableConnections"] == [c._toDict()]
    assert minimal["variableConnectionsReference"] == [r._toDict()]


def test_to_dict_completes_an_overridden_minimal_encode():
    class Extra(PluginBlock):
        def _minimalEncode(self):
            d = super()._minimalEncode()
            d["jobID"] = 7
            return d

    full = Extra("n", "d", id="b")._toDict()
    keys = list(full)
    assert keys.index("jobID") == len(MINIMAL_KEYS) and keys[-1] == "type"


def test_parse_empty_state_applies_defaults():
    block = sample_block().copy()
    block._variableConnections = [object()]
    block._parseInternalVariables({})
    assert block._finishedExecution is True and block._storedOutputs is None
    assert block._position == [0.0, 0.0] and type(block._position[0]) is float
    assert block.selectedInputGroup == "default" and block.selectedRemote == "Local"
    assert block._variableConnections == [] and block._variableConnectionsReferences == []
    assert block._extensionsToOpen == [] and block.extraData == {} and block.id == "sample"


def test_parse_reads_every_key_and_nulls_stay_null():
    block = sample_block().copy()
    state = {"isPlaced": True, "isRunning": True, "error": True, "blockLogs": None, "placedID": None,
             "finishedExecution": False, "selectedInputGroup": "in2", "selectedRemote": None,
             "extensionsToOpen": None, "time": 4.5, "extraData": {"k": 1}, "dirty": True,
             "position": {"x": 1, "y": 2.5}, "storedOutputs": {"o": 1},
             "variableConnections": [conn_json(2)], "variableConnectionsReference": [conn_json()],
             "id": "ignored"}
    block._parseInternalVariables(state)
    assert (block._isPlaced, block._isRunning, block.error, block.blockLogs, block._placedID) == (
        True, True, True, None, None)
    assert (block._finishedExecution, block.selectedInputGroup, block.selectedRemote) == (False, "in2", None)
    assert (block._extensionsToOpen, block.time, block.extraData, block.dirty) == (None, 4.5, {"k": 1}, True)
    assert block._position == [1.0, 2.5] and block._storedOutputs == {"o": 1} and block.id == "sample"
    (c,), (r,) = block._variableConnections, block._variableConnectionsReferences
    assert c._toDict() == conn_json(2) and r._toDict() == conn_json()


def test_parse_variables_groups_disabled_and_later_entries():
    block = sample_block().copy()
    block._parseInternalVariables({"variables": [
        {"id": "a", "value": "first"},
        {"id": "g", "type": "group", "variables": [{"id": "m1", "value": 1}, {"id": "m2"}]},
        {"id": "l", "type": "_list", "value": [{"c1": 1, "c2": 2}]},
        {"id": "off", "value": 99},
        {"id": "unknown", "value": 1},
        {"id": "a", "value": "second"},
    ]})
    assert block.variables == {"a": "second", "g": {"m1": 1, "m2": None}, "l": [{"c1": 1, "c2": 2}], "off": 0}


def test_missing_variable_type_warns_and_becomes_any(caplog):
    caplog.set_level(logging.WARNING, logger="Qorvel")
    block = sample_block().copy()
    entry = conn_json()
    del entry["origin"]["variableType"]
    block._parseInternalVariables({"variableConnections": [entry]})
    assert block._variableConnections[0].origin.variableType == VariableTypes.ANY
    assert any("has no type" in r.getMessage() for r in caplog.records)


def snapshot(block):
    return (block._minimalEncode(), block._toDict(), [v.value for v in block._inputGroups["in1"].variables],
            block._variableConnections, block._variableConnectionsReferences, block._position)


@pytest.mark.parametrize("state, kind, message", [
    ({"blockLogs": 1}, TypeError, "Expected str, got int"),
    ({"placedID": True}, TypeError, "Expected int, got bool"),
    ({"placedID": "3"}, TypeError, "Expected int, got str"),
    ({"selectedInputGroup": 1}, TypeError, "Expected str, got int"),
    ({"selectedRemote": []}, TypeError, "Expected str, got list"),
    ({"extensionsToOpen": {}}, TypeError, "Expected list, got dict"),
    ({"position": []}, TypeError, "Expected dict, got list"),
    ({"position": None}, TypeError, None),
    ({"position": {"x": "abc"}}, TypeError, "must be real number, not str"),
    ({"storedOutputs": []}, TypeError, "Expected dict, got list"),
    ({"variableConnections": {}}, TypeError, "Expected list, got dict"),
    ({"variableConnections": None}, TypeError, "not iterable"),
    ({"variableConnections": [1]}, TypeError, "Expected dict, got int"),
    ({"variableConnections": [{"origin": None, "destination": {}}]}, Exception, "Invalid flow object."),
    ({"variableConnectionsReference": [conn_json(placedID=None)]}, TypeError, "blockPlacedID"),
    ({"variables": [{"value": 1}]}, Exception, "Invalid flow object."),
    # values that the group or list would refuse fail before anything changes
    ({"selectedInputGroup": "in2", "selectedRemote": "x",
      "variables": [{"id": "a", "value": "new"}, {"id": "g", "value": [1]}]}, TypeError, "values"),
    ({"selectedInputGroup": "in2", "variables": [{"id": "a", "value": "new"}, {"id": "l", "value": {"c1": 1}}]},
     TypeError, "value"),
    ({"selectedInputGroup": "in2", "variables": [{"id": "a", "value": "new"}, {"id": "l", "value": [1]}]},
     AttributeError, None),
])
def test_failed_parse_leaves_block_unchanged(state, kind, message):
    block = sample_block().copy()
    block._parseInternalVariables({"placedID": 5, "variableConnections": [conn_json()], "position": {"x": 1, "y": 2}})
    before = snapshot(block)
    with pytest.raises(kind) as info:
        block._parseInternalVariables({"isPlaced": True, "time": 9, **state})
    if message:
        assert message in str(info.value)
    assert snapshot(block) == before


def test_parse_refuses_non_dictionaries():
    block = sample_block()
    for method, name in [(block._parseInternalVariables, "blockJSON"), (block._updateVariables, "values"),
                         (block._updateInputs, "values")]:
        with pytest.raises(TypeError, match=rf"Argument '{name}' has incorrect type \(expected dict, got list\)"):
            method([])


def test_update_variables_and_inputs():
    block = sample_block().copy()
    block._updateVariables({"a": "new", "g": {"m1": 1, "zzz": 2}, "off": 5, "nothing": 1})
    assert block.variables["a"] == "new" and block.variables["g"] == {"m1": 1, "m2": None}
    assert block.variables["off"] == 0
    block._updateInputs({"i": 1, "j": 2})
    assert block.inputs == {"i": 1}
    assert block._inputGroups["in2"].variables[0].value is None
    block._parseInternalVariables({"selectedInputGroup": "in2"})
    block._updateInputs({"i": 10, "j": 20})
    assert block.inputs == {"j": 20} and block._inputGroups["in1"].variables[0].value == 1
    block.selectedInputGroup = "gone"
    with pytest.raises(Exception, match=r"^Input group 'gone' not found in block inputs\."):
        block._updateInputs({})
    PluginBlock("n", "d", id="none")._updateInputs({"x": 1})  # no input groups: nothing to do


def test_round_trip_between_copies():
    declared = sample_block()
    first, second = declared.copy(), declared.copy()
    first._parseInternalVariables({"isPlaced": True, "placedID": 4, "position": {"x": 10, "y": 20},
                                   "variableConnections": [conn_json(1)], "selectedInputGroup": "in2",
                                   "variables": [{"id": "a", "value": "v"},
                                                 {"id": "g", "type": "group", "variables": [{"id": "m1", "value": 3}]},
                                                 {"id": "l", "type": "_list", "value": [{"c1": 0}]}]})
    first.setOutput("o", "done")
    second._parseInternalVariables(copy.deepcopy(first._minimalEncode()))
    assert second._minimalEncode() == first._minimalEncode()
    assert second == first and second.variables == first.variables


class Key(str):
    __hash__ = str.__hash__


def reordered(value, how):
    """`value` with every dictionary rebuilt: keys reversed, keys as fresh strings, or keys as a
    str subclass (whose comparison is its own)."""
    if isinstance(value, list):
        return [reordered(item, how) for item in value]
    if not isinstance(value, dict):
        return value
    items = [(key, reordered(item, how)) for key, item in value.items()]
    if how == "reversed":
        items.reverse()
    make = {"reversed": str, "fresh": lambda key: "".join(list(key)), "subclass": Key}[how]
    return {make(key): item for key, item in items}


@pytest.mark.parametrize("how", ["reversed", "fresh", "subclass"])
def test_parse_reads_the_same_state_whatever_the_key_order_or_key_objects(how):
    declared = sample_block()
    first = declared.copy()
    first._parseInternalVariables({"isPlaced": True, "placedID": 4, "position": {"x": 10, "y": 20},
                                   "variableConnections": [conn_json(1)], "variableConnectionsReference": [conn_json()],
                                   "variables": [{"id": "a", "value": "v"},
                                                 {"id": "g", "type": "group", "variables": [{"id": "m2", "value": 3}]}],
                                   "storedOutputs": {"o": 1}, "time": 5, "dirty": True})
    state = first._minimalEncode()
    second = declared.copy()
    second._parseInternalVariables(reordered(state, how))
    assert second._minimalEncode() == state


def test_failing_value_setter_rolls_back_everything_already_written():
    class Picky(PluginVariable):
        @property
        def value(self):
            return PluginVariable.value.__get__(self)

        @value.setter
        def value(self, new):
            if new == "bad":
                raise ValueError("refused by the variable")
            PluginVariable.value.__set__(self, new)

    picky = Picky("p", "P", "d", VariableTypes.STRING, "start")
    block = PluginBlock("n", "d", variables=[var("a", defaultValue="old"), picky], id="b",
                        inputGroups=[VariableGroup("g1", "G", "d", []), VariableGroup("g2", "G", "d", [])]).copy()
    before = block._minimalEncode()
    with pytest.raises(ValueError, match="refused by the variable"):
        block._parseInternalVariables({"selectedInputGroup": "g2", "selectedRemote": "r", "placedID": 9,
                                       "variables": [{"id": "a", "value": "new"}, {"id": "p", "value": "bad"}]})
    assert block._minimalEncode() == before and block.variables == {"a": "old", "p": "start"}
    with pytest.raises(ValueError):
        block._updateVariables({"a": "new", "p": "bad"})
    assert block.variables == {"a": "old", "p": "start"}
    block._updateVariables({"a": "new", "p": "fine"})
    assert block.variables == {"a": "new", "p": "fine"}
    # a group member of such a class, and a list row whose items() raises
    grouped = PluginBlock("n", "d", id="c", variables=[
        var("a", defaultValue="old"), VariableGroup("g", "G", "d", [var("m"), Picky("q", "Q", "d", VariableTypes.STRING)]),
        VariableList("l", "L", "d", [var("c1")])]).copy()
    before = grouped.variables

    class Row:
        def items(self):
            raise KeyError("unreadable row")

    for values in ({"a": "new", "g": {"m": 1, "q": "bad"}}, {"a": "new", "g": {"m": 1}, "l": [{"c1": 2}, Row()]}):
        with pytest.raises((ValueError, KeyError)):
            grouped._updateVariables(values)
        assert grouped.variables == before


def test_variable_subclass_dictionaries_are_honoured_in_both_forms():
    class Tagged(PluginVariable):
        def toDict(self, minimal=False):
            d = super().toDict(minimal)
            d["tag"] = "minimal" if minimal else "full"
            return d

    block = PluginBlock("n", "d", variables=[var("a"), Tagged("t", "T", "d", VariableTypes.STRING)], id="b")
    assert block._minimalEncode()["variables"][1]["tag"] == "minimal"
    full = block._toDict()
    assert full["variables"][1]["tag"] == "full" and list(full) == FULL_KEYS
    assert full["variables"][0] == block._variables[0].toDict()


def test_update_methods_of_subclasses_are_called_and_their_failures_rolled_back():
    calls = []

    class Upper(VariableGroup):
        def _updateVariablesInGroup(self, values):
            calls.append("group")
            if isinstance(values, str):  # its own wider contract
                values = {"m": values.upper()}
            super()._updateVariablesInGroup(values)

    class Rows(VariableList):
        def _updateVariablesInList(self, value):
            calls.append("list")
            super()._updateVariablesInList(value)

    class Logged(PluginBlock):
        def _updateVariables(self, values):
            calls.append("block")
            super()._updateVariables(values)
            if values.get("a") == "boom":
                raise RuntimeError("refused by the block")

    block = Logged("n", "d", variables=[var("a", defaultValue="old"), Upper("g", "G", "d", [var("m")]),
                                        Rows("l", "L", "d", [var("c")])],
                   outputs=[Upper("o", "O", "d", [var("m")])], id="b").copy()
    block._parseInternalVariables({"variables": [{"id": "g", "type": "group", "variables": [{"id": "m", "value": 1}]},
                                                 {"id": "l", "type": "_list", "value": [{"c": 2}]}]})
    assert calls == ["block", "group", "list"] and block.variables["g"] == {"m": 1}
    block._updateVariables({"g": "low"})
    block.setOutput("o", "out")
    assert block.variables["g"] == {"m": "LOW"} and block.outputs == {"o": {"m": "OUT"}}
    before = block._minimalEncode()
    with pytest.raises(RuntimeError, match="refused by the block"):
        block._parseInternalVariables({"selectedRemote": "r", "variables": [{"id": "a", "value": "boom"}]})
    assert block._minimalEncode() == before and block.variables["a"] == "old"
