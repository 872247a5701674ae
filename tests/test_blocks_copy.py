"""copy() of blocks: a native deep copy that shares only callables (and singletons)."""
import copy
import gc
import weakref

import pytest

from QorvelAPI.plugins import (
    BlockConnection,
    BlockVarPair,
    GhostBlock,
    InputBlock,
    PluginBlock,
    PluginBlockTypes,
    PluginVariable,
    VariableGroup,
    VariableList,
    VariableTypes,
)


def var(id="v", type=VariableTypes.STRING, **kwargs):
    return PluginVariable(id, id.upper(), f"about {id}", type, **kwargs)


def action(block):
    block.setOutput("o", 1)


def rich_block():
    block = PluginBlock("n", "d", action,
                        variables=[var("a", allowedValues=["x", "y"]), VariableGroup("g", "G", "d", [var("m")]),
                                   VariableList("l", "L", "d", [var("c")])],
                        inputs=[var("i")], outputs=[var("o")], id="b")
    block._variableConnections = [BlockConnection(BlockVarPair(1, "a", "x", None), BlockVarPair(2, "b", "y", "s"),
                                                  False)]
    block.extraData = {"nested": [1, {"deep": (1, [2])}]}
    return block


def every_value(block):
    return (block._toDict(), block.config, block._storedOutputs)


def test_copy_is_deep_and_shares_the_action_only():
    declared = rich_block()
    declared.config = {"k": [1]}
    before = every_value(declared)
    c = declared.copy()
    assert c is not declared and type(c) is PluginBlock and c._isOriginal is False and declared._isOriginal
    assert c.action is declared.action and c.TYPE is PluginBlockTypes.BASE
    assert every_value(c) == before
    for name in ("_variables", "_outputs", "_inputGroups", "_variableConnections", "extraData", "config",
                 "_position", "_storedOutputs"):
        assert getattr(c, name) is not getattr(declared, name), name
    assert c._variables[0] is not declared._variables[0]
    assert c._variables[0].allowedValues is not declared._variables[0].allowedValues
    assert c._variables[0].type is VariableTypes.STRING  # enumeration members are singletons
    assert c._variableConnections[0].origin is not declared._variableConnections[0].origin
    # work on the copy leaves the declared block alone
    c._updateVariables({"a": "y", "g": {"m": "z"}})
    c._updateInputs({"i": 5})
    c._variableConnections[0].currentCycle = 3
    c.extraData["nested"][1]["deep"][1].append(3)
    c()
    assert every_value(declared) == before
    assert c.copy()._isOriginal is False


def test_shared_objects_stay_shared_and_cycles_are_safe():
    v = var("value")
    block = InputBlock("In", "d", v, id="in")
    c = block.copy()
    variable = c._variables[0]
    assert variable is not v
    assert c._outputs[0] is variable and c._inputGroups["default"].variables[0] is variable
    loop = []
    loop.append(loop)
    block.extraData = {"loop": loop, "again": loop}
    c = block.copy()
    assert c.extraData["loop"] is c.extraData["again"] and c.extraData["loop"][0] is c.extraData["loop"]
    block.extraData = {"me": block}
    c = block.copy()
    assert c.extraData["me"] is c


def test_foreign_objects_go_through_deepcopy_with_the_same_memo():
    class Holder:
        def __init__(self, item):
            self.item = item

    shared = [1, 2]
    block = PluginBlock("n", "d", id="b")
    block.extraData = {"holder": Holder(shared), "list": shared}
    c = block.copy()
    assert isinstance(c.extraData["holder"], Holder) and c.extraData["holder"] is not block.extraData["holder"]
    assert c.extraData["holder"].item is c.extraData["list"] and c.extraData["list"] is not shared

    class Callable:
        def __call__(self):
            return 1

    block.extraData = {"call": Callable(), "func": len}
    c = block.copy()
    assert c.extraData["call"] is block.extraData["call"] and c.extraData["func"] is len


def test_copy_deepcopy_matches_copy_apart_from_is_original():
    declared = rich_block()
    by_method, by_module = declared.copy(), copy.deepcopy(declared)
    assert by_module._isOriginal is True and by_method._isOriginal is False
    assert by_module._toDict() == by_method._toDict()
    assert by_module.action is declared.action and by_module._variables[0] is not declared._variables[0]
    memo = {}
    pair = copy.deepcopy([declared, declared._variables], memo)
    assert pair[0]._variables is pair[1]


def test_copy_keeps_subclass_state_and_instance_dict():
    class Mine(PluginBlock):
        __slots__ = ("slot",)

    block = Mine("n", "d", id="b")
    block.slot = [1]
    block.note = {"k": "v"}
    c = block.copy()
    assert type(c) is Mine and c.slot == [1] and c.slot is not block.slot
    assert c.note == {"k": "v"} and c.note is not block.note
    ghost = GhostBlock("Missing-One").copy()
    assert ghost.id == "Missing-One" and ghost.error is True
    with pytest.raises(Exception, match="ghost"):
        ghost()


def test_copies_are_collected():
    block = rich_block()
    c = block.copy()
    c.extraData["self"] = c
    ref = weakref.ref(c)
    del c
    gc.collect()
    assert ref() is None


def test_shallow_copy_shares_attribute_values():
    block = rich_block()
    block.note = [1]
    shallow = copy.copy(block)
    assert type(shallow) is PluginBlock and shallow is not block and shallow == block
    assert shallow._variables is block._variables and shallow.extraData is block.extraData
    assert shallow.note is block.note and shallow.__dict__ is not block.__dict__
    assert shallow._isOriginal is True
