"""GhostBlock, PluginConfig and InputBlock."""
import pytest

from QorvelAPI.plugins import (
    GhostBlock,
    InputBlock,
    PluginBlock,
    PluginBlockTypes,
    PluginConfig,
    PluginVariable,
    VariableGroup,
    VariableList,
    VariableTypes,
)


def var(id="v", type=VariableTypes.NUMBER, **kwargs):
    return PluginVariable(id, id.upper(), f"about {id}", type, **kwargs)


def test_ghost_block_keeps_identifier_and_refuses_to_run():
    ghost = GhostBlock("My-Block")
    assert isinstance(ghost, PluginBlock)
    assert (ghost.id, ghost.name, ghost.description) == ("My-Block", "My-Block", "Missing or unavailable block.")
    assert ghost.error is True and ghost.blockLogs == "Missing or unavailable block."
    assert ghost.TYPE is PluginBlockTypes.GHOST and ghost._toDict()["type"] == "ghost"
    assert GhostBlock.error is True and GhostBlock.blockLogs == "Missing or unavailable block."
    assert ghost._parseID("Keep.Me") == "Keep.Me"
    with pytest.raises(Exception, match=r"^Cannot execute a ghost block\.$"):
        ghost(1, key=2)
    with pytest.raises(TypeError, match=r"Argument 'id' has incorrect type \(expected str, got int\)"):
        GhostBlock(5)
    with pytest.raises(TypeError, match=r"Argument 'id' has incorrect type"):
        ghost._parseID(None)


def test_ghost_block_dictionary_always_shows_it_missing():
    ghost = GhostBlock("x").copy()
    ghost._parseInternalVariables({"error": False, "blockLogs": "fine"})
    assert ghost.error is False
    full = ghost._toDict()
    assert full["error"] is True and full["blockLogs"] == "Missing or unavailable block."
    assert ghost.error is True and str(ghost).count("Missing or unavailable block.") == 2  # logs and description
    ghost._cleanRun()
    assert ghost.error is False and GhostBlock.error is True


def test_plugin_config():
    action = lambda block: None  # noqa: E731
    variables = [var("threads")]
    config = PluginConfig("Settings", "Plugin settings", action, variables, "Cfg")
    assert config.TYPE is PluginBlockTypes.CONFIG and config.id == "cfg" and config._variables is variables
    assert config.action is action and config._inputGroups == {} and config._outputs == []
    assert PluginConfig(name="S", description="d", variables=[var("a")], id="x").externalURL is None
    with pytest.raises(Exception, match=r"^A PluginConfig must have at least one variable\.$"):
        PluginConfig("S", "d", None, [])
    with pytest.raises(Exception, match="at least one variable"):
        PluginConfig("S", "d")
    with pytest.raises(TypeError, match=r"Argument 'variables' has incorrect type \(expected list, got tuple\)"):
        PluginConfig("S", "d", None, ())
    with pytest.raises(TypeError, match="Argument 'name'"):
        PluginConfig(1, "d", None, [var("a")])
    with pytest.raises(TypeError, match="unexpected keyword argument 'outputs'"):
        PluginConfig("S", "d", variables=[var("a")], outputs=[])


def test_input_block_without_action_passes_its_value(capsys):
    v = var("value", defaultValue=3)
    block = InputBlock("Number", "Pick a number", v, id="num")
    assert block._variables == [v] and block._outputs[0] is v and block._inputGroups["default"].variables[0] is v
    assert block._variables is not block._outputs
    assert block.TYPE is PluginBlockTypes.INPUT and block.selectedInputGroup == "default"
    assert block() == {"value": 3} and block._storedOutputs == {"value": 3}
    assert capsys.readouterr().out == ""


def test_input_block_with_separate_output_and_with_action():
    v, out = var("value", defaultValue=7), var("result")
    block = InputBlock("N", "d", v, out, id="n")
    assert block() == {"result": 7} and out.value == 7 and block._storedOutputs == {"result": 7}

    def double(b, factor=2):
        b.setOutput("result", b.variables["value"] * factor)

    acting = InputBlock("N", "d", var("value", defaultValue=4), var("result"), double, "n", "http://doc")
    assert acting(factor=3) == {"result": 12} and acting.externalURL == "http://doc"


@pytest.mark.parametrize("bad", [[var("a"), var("b")], None, VariableGroup("g", "G", "d", []), "x"])
def test_input_block_needs_one_plugin_variable(bad):
    with pytest.raises(Exception, match=r"^The input variable of block Name must be a single PluginVariable "
                                        r"instance\.$"):
        InputBlock("Name", "d", bad)


def test_input_block_accepts_other_variable_kinds():
    rows = VariableList("rows", "R", "d", [var("c")])
    assert InputBlock("N", "d", rows, id="x")._variables == [rows]


def test_input_block_argument_types():
    with pytest.raises(TypeError, match=r"Argument 'id' has incorrect type \(expected str, got int\)"):
        InputBlock("N", "d", var("a"), id=1)
    with pytest.raises(TypeError, match=r"Argument 'externalURL' has incorrect type"):
        InputBlock("N", "d", var("a"), externalURL=[])
    with pytest.raises(TypeError, match=r"Argument 'name' has incorrect type"):
        InputBlock(1, "d", var("a"), id="x")
