"""Where plugin subclasses, the editor's JSON and the host meet the model: the cases a plain Python
model of the same classes answers, and the model must answer alike."""
import json
import pickle

import pytest

from QorvelAPI.plugins import (
    BlockConnection, BlockNotFoundError, BlockVarPair, CustomVariable, GhostBlock, InputBlock, PluginBlock,
    PluginBlockTypes, PluginConfig, PluginEndpoint, PluginPage, PluginRemote, PluginVariable, SlurmBlock,
    UniqueVariableIDException, VariableGroup, VariableList, VariableTypes,
)


def action(block):
    """A module-level action: pickles by reference."""


LAMBDA = lambda block: None  # noqa: E731 (pickle refuses it: no importable name)


class HostRemote:
    """A host remote object that pickles."""

    name = "Local"

    def cd(self, path):
        pass


class KeywordOnly(PluginVariable):
    def toDict(self, *, minimal=False):
        return dict(super().toDict(minimal=minimal), keywordOnly=True)


class NoFlag(PluginVariable):
    def toDict(self):
        return {"id": self.id, "noFlag": True}


class Computed(PluginVariable):
    @property
    def value(self):
        return self.__dict__.get("held")

    @value.setter
    def value(self, value):
        self.__dict__["held"] = value


class Text(str):
    pass


def test_subclass_overrides_are_called_as_python_calls_them():
    kw = KeywordOnly("k", "K", "d", VariableTypes.STRING, "x")
    block = PluginBlock("B", "d", variables=[kw, VariableGroup("g", "G", "d", [KeywordOnly("m", "M", "d", "number")])],
                        id="b")
    assert block._minimalEncode()["variables"][0] == {"id": "k", "value": "x", "type": "string", "keywordOnly": True}
    assert block._toDict()["variables"][1]["variables"][0]["keywordOnly"] is True
    assert json.loads(str(NoFlag("n", "N", "d", "string"))) == {"id": "n", "noFlag": True}
    computed = Computed("c", "C", "d", VariableTypes.STRING_LIST, allowedValues=["a", "b"])
    assert computed.value == "a" and computed.toDict()["value"] == "a"


def test_type_key_is_always_text():
    variable = PluginVariable("a", "A", "d", Text("number"))
    assert type(variable.toDict()["type"]) is str and variable.toDict()["type"] == "number"
    variable.type = 3
    assert variable.toDict()["type"] == "3" and json.loads(str(variable))["type"] == "3"
    variable.type = PluginBlockTypes.ACTION
    assert variable.toDict(minimal=True)["type"] == "action"


def test_editor_position_takes_real_numbers_only():
    block = PluginBlock("B", "d", id="b")
    block._parseInternalVariables({"position": {"x": 2, "y": True}})
    assert block._position == [2.0, 1.0]
    for bad in ({"x": "1.5"}, {"x": 0, "y": b"2"}):
        with pytest.raises(TypeError, match=r"^must be real number, not (str|bytes)$"):
            block._parseInternalVariables({"position": bad, "isPlaced": True})
    assert block._position == [2.0, 1.0] and block._isPlaced is False


def test_block_type_text_and_group_entry_without_members():
    group = VariableGroup("g", "G", "d", [PluginVariable("m", "M", "d", "number", 1)])
    block = PluginBlock("B", "d", variables=[group], blockType="action", id="b")
    assert block.TYPE is PluginBlockTypes.ACTION
    block._parseInternalVariables({"variables": [{"id": "g", "type": "group"}]})
    assert group.variables[0].value == 1
    with pytest.raises(Exception, match=r"^Invalid block type Action\."):
        PluginBlock("B", "d", blockType="Action", id="b")


def test_exception_message_and_argument_errors():
    error = UniqueVariableIDException("text", "v")
    assert (error.message, error.variableId, str(error)) == ("text", "v", "text")
    cases = [
        (lambda: PluginVariable("a", "b"),
         "PluginVariable.__init__() missing 2 required positional arguments: 'description' and 'type'"),
        (lambda: PluginVariable("a"),
         "PluginVariable.__init__() missing 3 required positional arguments: 'name', 'description', and 'type'"),
        (lambda: PluginVariable(*"abcd", None, None, None, False, False, None, 1),
         "PluginVariable.__init__() takes from 5 to 11 positional arguments but 12 were given"),
        (lambda: PluginVariable("a", "b", "c", "string").toDict(True, 2),
         "PluginVariable.toDict() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: PluginBlock("B", "d", id="b").copy(1),
         "PluginBlock.copy() takes 1 positional argument but 2 were given"),
        (lambda: PluginBlock._parseVariablesForBlockAccess(),
         "PluginBlock._parseVariablesForBlockAccess() missing 1 required positional argument: 'variable'"),
        # keywords are bound before the positional count is checked, as CPython does
        (lambda: VariableGroup(*"abc", [], None, None, False, False, 1, colour=1),
         "VariableGroup.__init__() got an unexpected keyword argument 'colour'"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as caught:
            call()
        assert str(caught.value) == message


def pickled(obj):
    return pickle.loads(pickle.dumps(obj))


def test_every_model_class_pickles():
    page = PluginPage("p", "P", "d", "p.html")
    variable = PluginVariable("a", "A", "d", VariableTypes.STRING, "x")
    pair = BlockVarPair(1, "b", "a", "string")
    for value in [variable, CustomVariable("c", "C", "d", "custom", page),
                  VariableList("l", "L", "d", [PluginVariable("n", "N", "d", "number")])]:
        assert pickled(value).toDict() == value.toDict()
    for value in [pair, BlockConnection(pair, BlockVarPair(2, "c", "a", "string"), False)]:
        assert pickled(value)._toDict() == value._toDict()
    error = pickled(UniqueVariableIDException("text", "v"))
    assert (str(error), error.message, error.variableId) == ("text", "text", "v")
    assert str(pickled(BlockNotFoundError("x"))) == "Block with ID 'x' not found."
    endpoint = pickled(PluginEndpoint("/e", ["GET"], action))
    assert (endpoint.url, endpoint.methods, endpoint.function) == ("/e", ["GET"], action)
    assert vars(pickled(page)) == vars(page)

    block = PluginBlock("B", "d", action, variables=[VariableGroup("g", "G", "d", [variable])],
                        inputs=[PluginVariable("i", "I", "d", "number", 2)],
                        outputs=[PluginVariable("o", "O", "d", "any")], id="b").copy()
    block._parseInternalVariables({"placedID": 4, "isPlaced": True, "position": {"x": 1, "y": 2},
                                   "variableConnections": [BlockConnection(pair, pair, True)._toDict()]})
    block.setOutput("o", [1, 2])
    block._setRemote(HostRemote())
    input_block = InputBlock("I", "d", PluginVariable("v", "V", "d", "string"), id="i")
    slurm = SlurmBlock("S", "d", action, action, id="s")
    slurm._parseInternalVariables({"status": "RUNNING", "jobID": 7})
    kinds = [block, GhostBlock("Missing.Block"), PluginConfig("C", "d", variables=[variable], id="c"), input_block,
             slurm]
    for original in kinds:
        copy = pickled(original)
        assert type(copy) is type(original) and copy == original and copy._toDict() == original._toDict()
        assert vars(copy) == vars(original) and copy._isOriginal == original._isOriginal
    copy = pickled(block)
    assert copy.action is action and copy._storedOutputs == {"o": [1, 2]} and copy.remote.isLocal
    copy = pickled(input_block)
    assert copy._variables[0] is copy._outputs[0] is copy._inputGroups["default"].variables[0]
    assert pickled(slurm).status is SlurmBlock.Status.RUNNING

    block.action = LAMBDA
    with pytest.raises(pickle.PicklingError, match="<lambda>"):
        pickle.dumps(block)
