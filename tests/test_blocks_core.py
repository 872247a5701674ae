"""PluginBlock declaration: constructor checks, identifiers, invocation, equality, text form."""
import gc
import json
import logging
import weakref

import pytest

from QorvelAPI.plugins import (
    PluginBlock,
    PluginBlockTypes,
    PluginVariable,
    UniqueVariableIDException,
    VariableGroup,
    VariableTypes,
)


def var(id="v", type=VariableTypes.STRING, **kwargs):
    return PluginVariable(id, id.upper(), f"about {id}", type, **kwargs)


def group(id, members, **kwargs):
    return VariableGroup(id, id.upper(), f"group {id}", members, **kwargs)


def test_block_without_id_warns_and_uses_normalised_name(caplog):
    caplog.set_level(logging.WARNING, logger="Qorvel")
    block = PluginBlock("My Block", "A block")
    warnings = [r for r in caplog.records if r.name == "Qorvel"]
    assert len(warnings) == 1 and warnings[0].levelno == logging.WARNING
    assert warnings[0].msg.startswith("Block '%s' does not have a unique ID assigned.")
    assert warnings[0].args == ("My Block",)
    assert block.id == "my_block" and block.name == "My Block" and block.description == "A block"
    assert block.selectedInputGroup == "default" and block._inputGroups == {}
    assert block.action is None and block.externalURL is None
    assert block.TYPE is PluginBlockTypes.BASE


def test_initial_run_state_is_per_block_and_readable_on_the_class():
    a, b = PluginBlock("A", "d", id="a"), PluginBlock("B", "d", id="b")
    assert a._position == [0, 0] and a._storedOutputs == {} and a.extraData == {} and a.config == {}
    assert a._position is not b._position and a._storedOutputs is not b._storedOutputs
    assert a._variableConnections is not b._variableConnections
    assert (a._isPlaced, a._isRunning, a.error, a.dirty, a._finishedExecution) == (False,) * 5
    assert (a.blockLogs, a._placedID, a.time, a.selectedRemote, a._isOriginal) == ("", 0, 0, "Local", True)
    # class-level initial values
    assert PluginBlock.error is False and PluginBlock.selectedRemote == "Local" and PluginBlock._isOriginal is True
    for name in ("flow", "pluginDir", "remote"):
        with pytest.raises(AttributeError):
            getattr(a, name)
    a.flow = "flow"
    a.anything = 1  # instances take extra attributes
    assert a.flow == "flow" and a.anything == 1 and a.__dict__ == {"anything": 1}
    del a.flow
    with pytest.raises(AttributeError):
        a.flow


@pytest.mark.parametrize("raw, parsed", [("Run-Step.2", "run_step_2"), ("a__b", "a__b"), ("Mäx", "m_x"),
                                         ("ABC", "abc"), ("  ", "__"), ("Z@z~09", "z_z_09"), ("İd", "i_d")])
def test_parse_id(raw, parsed):
    assert PluginBlock("n", "d", id=raw).id == parsed


def test_parse_id_is_called_through_the_object():
    class Keep(PluginBlock):
        def _parseID(self, id):
            return "kept:" + id

    assert Keep("n", "d", id="X-Y").id == "kept:X-Y"
    with pytest.raises(TypeError, match=r"Argument 'id' has incorrect type \(expected str, got int\)"):
        PluginBlock("n", "d", id="x")._parseID(3)


@pytest.mark.parametrize("kwargs, parameter, expected", [
    ({"name": 1}, "name", "str"),
    ({"description": None}, "description", "str"),
    ({"variables": ()}, "variables", "list"),
    ({"inputs": None}, "inputs", "list"),
    ({"inputGroups": {}}, "inputGroups", "list"),
    ({"outputs": "x"}, "outputs", "list"),
    ({"id": 3}, "id", "str"),
    ({"externalURL": b"u"}, "externalURL", "str"),
])
def test_argument_types(kwargs, parameter, expected):
    args = {"name": "n", "description": "d", **kwargs}
    with pytest.raises(TypeError, match=rf"Argument '{parameter}' has incorrect type \(expected {expected}, got "):
        PluginBlock(**args)


def test_all_parameters_by_position_and_enum_subclass_refused_for_name():
    action = lambda block: None  # noqa: E731
    v, i, o = var("v"), var("i"), var("o")
    block = PluginBlock("N", "D", action, [v], [i], [], [o], PluginBlockTypes.ACTION, "ID", "http://doc")
    assert (block.id, block.action, block.TYPE, block.externalURL) == ("id", action, PluginBlockTypes.ACTION,
                                                                       "http://doc")
    assert block._variables[0] is v and block._outputs[0] is o
    with pytest.raises(TypeError, match="Argument 'name'"):
        PluginBlock(VariableTypes.STRING, "d", id="x")
    with pytest.raises(TypeError):
        PluginBlock("n", "d", None, [], [], [], [], PluginBlockTypes.BASE, "x", None, "extra")
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        PluginBlock("n", "d", bogus=1)


def test_lists_are_the_given_objects():
    variables, outputs = [var("a")], [var("a")]  # a variable and an output may share an id
    block = PluginBlock("n", "d", variables=variables, outputs=outputs, id="b")
    assert block._variables is variables and block._outputs is outputs


def test_inputs_become_the_default_group():
    inputs = [var("i1"), var("i2")]
    block = PluginBlock("n", "d", inputs=inputs, id="b")
    (gid, g), = block._inputGroups.items()
    assert gid == "default" and g.name == "Default" and g.description == "The default input group"
    assert g.variables is inputs and block.selectedInputGroup == "default"


def test_input_groups_keyed_in_order_first_selected_and_later_duplicate_replaces():
    g1, g2, g1b = group("first", [var("a")]), group("second", [var("b")]), group("first", [var("c")])
    block = PluginBlock("n", "d", inputGroups=[g1, g2, g1b], id="b")
    assert list(block._inputGroups) == ["first", "second"]
    assert block._inputGroups["first"] is g1b and block.selectedInputGroup == "first"


def test_inputs_and_groups_together_refused():
    with pytest.raises(Exception, match=r"^A block can only have inputs or input groups, not both\.$"):
        PluginBlock("n", "d", inputs=[var("a")], inputGroups=[group("g", [])], id="b")


@pytest.mark.parametrize("where", ["variables", "outputs"])
def test_duplicate_ids_in_variables_or_outputs(where):
    with pytest.raises(UniqueVariableIDException) as info:
        PluginBlock("n", "d", **{where: [var("a"), var("b"), var("a")]}, id="Blk")
    assert str(info.value) == "Variable 'a' is used more than once on block 'blk'. Variable IDs must be unique."
    assert info.value.variableId == "a"


class Text(str):
    pass


@pytest.mark.parametrize("ids", [
    [f"v{i}" for i in range(40)] + ["v3"],            # past the ids compared on the spot
    ["a", Text("t"), "b", "a"],                       # after an id that is not a plain string
    ["b", "".join(["a", "b"]), "c", "ab"],            # equal text, another object
])
def test_duplicate_ids_found_among_many_and_mixed_ids(ids):
    variables = [var("x") for _ in ids]
    for variable, id in zip(variables, ids):
        variable.id = id
    with pytest.raises(UniqueVariableIDException) as info:
        PluginBlock("n", "d", variables=variables, id="blk")
    assert info.value.variableId == ids[-1] and f"Variable '{ids[-1]}' is used more than once" in str(info.value)
    assert PluginBlock("n", "d", variables=variables[:-1], id="blk")._variables == variables[:-1]


def test_duplicate_id_in_input_group_is_chained():
    g = VariableGroup("grp", "G", "d", [var("x")])
    g.variables.append(var("x"))  # slipped past the group's own check
    with pytest.raises(UniqueVariableIDException) as info:
        PluginBlock("n", "d", inputGroups=[g], id="blk")
    assert str(info.value) == ("Variable 'x' is used more than once on block 'blk' input group 'grp'. "
                               "Variable IDs must be unique.")
    assert info.value.variableId == "grp"
    assert isinstance(info.value.__cause__, UniqueVariableIDException)
    assert info.value.__cause__.variableId == "x"


def test_group_members_are_not_checked_for_uniqueness_against_the_list():
    block = PluginBlock("n", "d", variables=[var("a"), group("g", [var("a")])], id="b")
    assert len(block._variables) == 2


def test_nested_groups_refused():
    inner = group("inner", [var("a")])
    outer = group("outer", [inner])
    with pytest.raises(ValueError, match=r"^Variable inner is a VariableGroup inside outer on block b\. "
                                         r"You cannot use nested VariableGroups\.$"):
        PluginBlock("n", "d", variables=[outer], id="b")
    with pytest.raises(ValueError, match="inside outer"):
        PluginBlock("n", "d", outputs=[outer], id="b")
    with pytest.raises(ValueError, match="inside outer"):
        PluginBlock("n", "d", inputGroups=[group("ig", [outer])], id="b")


def test_input_group_variables_must_be_a_list():
    g = group("g", [])
    g.variables = ("a",)
    with pytest.raises(TypeError, match=r"^Expected list, got tuple$"):
        PluginBlock("n", "d", inputGroups=[g], id="b")
    g.variables = None
    with pytest.raises(TypeError, match="not iterable"):
        PluginBlock("n", "d", inputGroups=[g], id="b")


@pytest.mark.parametrize("bad", ["BASE", 3, None])
def test_invalid_block_type(bad):
    with pytest.raises(Exception, match=rf"^Invalid block type {bad}\. Allowed types: "
                                        r"<enum 'PluginBlockTypes'>$"):
        PluginBlock("n", "d", blockType=bad, id="b")


def test_invocation_passes_block_and_arguments_and_returns_outputs():
    seen = []

    def action(block, *args, **kwargs):
        seen.append((block, args, kwargs))
        block.setOutput("o", 42)
        return "ignored"

    block = PluginBlock("n", "d", action, outputs=[var("o")], id="b")
    assert block(1, 2, k=3) == {"o": 42}
    assert seen == [(block, (1, 2), {"k": 3})]
    assert block._isRunning is False and block._finishedExecution is False


def test_invocation_without_action_prints_warning(capsys):
    block = PluginBlock("My Name", "d", outputs=[var("o", defaultValue="x")], id="b")
    assert block() == {"o": "x"}
    assert capsys.readouterr().out == "WARNING: No action defined for block My Name\n"


def test_action_exception_propagates():
    def action(block):
        raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        PluginBlock("n", "d", action, id="b")()


def test_equality_by_id_and_placed_id():
    a, b = PluginBlock("A", "d", id="same"), PluginBlock("B", "other", id="same")
    assert a == b and not (a != b)
    b._placedID = 2
    assert a != b and not (a == b)
    assert PluginBlock("A", "d", id="x") != a
    assert (a == None) is False and a != 3  # noqa: E711

    class Other:  # a different identifier: the placement is never read
        id = "another"

    assert (a == Other()) is False
    with pytest.raises(TypeError):
        hash(a)


def test_text_form_is_indented_json_of_the_block_dictionary():
    block = PluginBlock("Nämé", "d", id="b", variables=[var("a")])
    text = str(block)
    assert text == json.dumps(block._toDict(), indent=4)
    assert "\\u00e4" in text and json.loads(text)["name"] == "Nämé"


def test_python_subclass_with_own_init():
    class MyBlock(PluginBlock):
        def __init__(self, name):
            super().__init__(name, "mine", id="mine")
            self.extra = True

    block = MyBlock("x")
    assert block.id == "mine" and block.extra and block.selectedRemote == "Local"
    assert block._toDict()["type"] == "base"


def test_blocks_in_cycles_are_collected():
    block = PluginBlock("n", "d", id="b")
    block.action = lambda b: block  # block -> action -> closure -> block
    ref = weakref.ref(block)
    del block
    gc.collect()
    assert ref() is None


def test_variable_ids_that_cannot_be_hashed_are_compared_by_equality():
    from QorvelAPI.plugins import PluginBlock, PluginVariable

    first = PluginVariable("a", "A", "d", "string")
    second = PluginVariable("b", "B", "d", "string")
    first.id = ["x"]
    block = PluginBlock("B", "d", variables=[first, second], id="b")
    assert block._variables == [first, second]
