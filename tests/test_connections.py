import copy
import json
import logging
import pickle

import pytest

from QorvelAPI.plugins import BlockConnection, BlockNotFoundError, BlockVarPair, VariableTypes

MISSING_TYPE = ("While opening a flow, Qorvel has detected that the variable connection for variable '{}' of block "
                "'{}' has no type. This can cause visual bugs on the flow editor. Please re-connect the variable "
                "and save the flow to fix this issue.")


def pair(placed=1, block="blk", variable="var", vtype="number", allowed=None):
    return BlockVarPair(placed, block, variable, vtype, allowed)


def test_pair_without_type_warns_and_falls_back_to_any(caplog):
    caplog.set_level(logging.WARNING, logger="Qorvel")
    p = BlockVarPair(3, "myblock", "myvar")
    messages = [r.getMessage() for r in caplog.records if r.name == "Qorvel"]
    assert messages == [MISSING_TYPE.format("myvar", "myblock")]
    assert caplog.records[0].args == ("myvar", "myblock")
    assert p.variableType is VariableTypes.ANY
    assert p._toDict() == {"placedID": 3, "blockID": "myblock", "variableID": "myvar", "variableType": "any",
                           "variableAllowedValues": None}
    assert json.loads(str(p))["variableType"] == "any"


def test_pair_dictionary_and_text():
    allowed = ["a"]
    p = BlockVarPair(blockPlacedID=7, blockID="b", variableID="v", variableType="number",
                     variableAllowedValues=allowed)
    d = p._toDict()
    assert list(d) == ["placedID", "blockID", "variableID", "variableType", "variableAllowedValues"]
    assert d["variableType"] == "number" and d["variableAllowedValues"] is allowed
    assert str(p) == json.dumps(d, indent=4)


@pytest.mark.parametrize("parameter, value, expected, got", [
    ("blockPlacedID", "1", "int", "str"),
    ("blockPlacedID", None, "int", "NoneType"),
    ("blockPlacedID", True, "int", "bool"),
    ("blockID", 1, "str", "int"),
    ("variableID", None, "str", "NoneType"),
    ("variableType", VariableTypes.NUMBER, "str", "VariableTypes"),
    ("variableAllowedValues", (), "list", "tuple"),
])
def test_pair_argument_types(parameter, value, expected, got):
    kwargs = dict(blockPlacedID=1, blockID="b", variableID="v", variableType="number")
    kwargs[parameter] = value
    with pytest.raises(TypeError) as info:
        BlockVarPair(**kwargs)
    assert str(info.value) == f"Argument '{parameter}' has incorrect type (expected {expected}, got {got})"


def test_pairs_compare_by_identity():
    a, b = pair(), pair()
    assert a != b and a == a


def test_connection_dictionary_and_defaults():
    origin, destination = pair(1), pair(2, "other", "in", "string", [1])
    c = BlockConnection(origin, destination, False)
    d = c._toDict()
    assert list(d) == ["origin", "destination", "isCyclic", "cycles", "currentCycle"]
    assert d["origin"] == origin._toDict() and d["destination"] == destination._toDict()
    assert (d["isCyclic"], d["cycles"], d["currentCycle"]) == (False, 1, 0)
    assert str(c) == json.dumps(d, indent=4)
    c2 = BlockConnection(origin, destination, True, cycles=3, currentCycle=2)
    assert (c2.cycles, c2.currentCycle, c2.isCyclic) == (3, 2, True)


@pytest.mark.parametrize("parameter, value", [("cycles", 1.0), ("cycles", True), ("currentCycle", None)])
def test_connection_counter_types(parameter, value):
    with pytest.raises(TypeError, match=rf"Argument '{parameter}' has incorrect type \(expected int"):
        BlockConnection(pair(), pair(), False, **{parameter: value})


def test_connection_equality_by_dictionary():
    c1 = BlockConnection(pair(1), pair(2), False)
    c2 = BlockConnection(pair(1), pair(2), False)
    assert c1 == c2 and not (c1 != c2)
    c2.currentCycle = 5
    assert c1 != c2 and not (c1 == c2)
    c2.currentCycle = 0
    c2.destination.variableAllowedValues = ["x"]
    assert c1 != c2
    with pytest.raises(AttributeError):
        c1 == 3
    with pytest.raises(AttributeError):
        c1 != "text"
    with pytest.raises(TypeError, match="unhashable"):
        hash(c1)


def test_connection_copies():
    c = BlockConnection(pair(1), pair(2), True, 4, 1)
    for clone in (copy.copy, copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))):
        copied = clone(c)
        assert copied == c and copied is not c
    deep = copy.deepcopy(c)
    assert deep.origin is not c.origin


def test_subclasses_and_overrides():
    class TaggedPair(BlockVarPair):
        def _toDict(self):
            d = super()._toDict()
            d["tag"] = True
            return d

    class Counted(BlockConnection):
        pass

    c = Counted(TaggedPair(1, "b", "v", "any"), pair(), False)
    assert c._toDict()["origin"]["tag"] is True
    assert type(c) is Counted and c.cycles == 1


def test_block_not_found_error():
    error = BlockNotFoundError("myblock")
    assert isinstance(error, Exception)
    assert str(error) == "Block with ID 'myblock' not found."
    with pytest.raises(TypeError, match="Argument 'blockID' has incorrect type"):
        BlockNotFoundError(3)
    with pytest.raises(BlockNotFoundError):
        raise BlockNotFoundError("x")
