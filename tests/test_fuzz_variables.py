"""Randomised inputs for the variable model and the connections: constructors, group and list
updates. Only documented exceptions may come out, and a refused update changes nothing."""
import json
import random

from hypothesis import strategies as st

from QorvelAPI.plugins import (BlockConnection, BlockVarPair, CustomVariable, PluginPage, PluginVariable,
                               UniqueVariableIDException, VariableGroup, VariableList, VariableTypes)
from fuzzing import anything, documented, fuzz, json_values, oddities, pick, snapshot, text

T = VariableTypes
FULL_KEYS = ["id", "value", "type", "name", "category", "description", "allowedValues", "disabled", "required",
             "placeholder"]

names = pick("a", "My Var", "", "\u00e9") | oddities
type_values = st.sampled_from(T.getTypes() + [m.value for m in T] + ["Number", "group ", "", "LIST"]) | oddities
allowed_values = pick(None, [], ["a", "b"], [T.STRING], [T.STRING, T.NUMBER], ["abc"], [T.LIST], [T._GROUP, T.STRING],
                      [T._LIST], ["number", 3], [None]) | oddities
optional_text = pick(None, "", "Text") | oddities


def check_variable(variable, minimal_keys=("id", "value", "type")):
    full, minimal = variable.toDict(), variable.toDict(True)
    assert list(full)[:10] == FULL_KEYS and tuple(minimal)[:3] == minimal_keys
    assert variable.allowedValues != [] and variable.category
    json.loads(str(variable))


@fuzz(names, names, names, type_values, json_values, allowed_values, optional_text, oddities, oddities, optional_text)
def test_plugin_variable_constructor(id_, name, description, type_, default, allowed, category, disabled, required,
                                     placeholder):
    try:
        variable = PluginVariable(id_, name, description, type_, default, allowed, category, disabled, required,
                                  placeholder)
    except Exception as error:
        documented(error, TypeError, ValueError)
        return
    assert variable.type is type_ and variable.value is variable.defaultValue
    try:
        check_variable(variable)
    except (TypeError, ValueError) as error:   # a value without a JSON form reaches only the text form
        assert "JSON" in str(error) or "serializable" in str(error) or "Circular" in str(error), error


def _member_lists():
    """Member lists, well- and ill-formed, built once from a fixed seed."""
    rng = random.Random(11)

    def item():
        roll = rng.random()
        if roll < 0.55:
            return PluginVariable(rng.choice("abca"), "N", "D", rng.choice([T.NUMBER, T.STRING, "any"]),
                                  disabled=rng.random() < 0.3)
        if roll < 0.85:
            members = {i: PluginVariable(i, "N", "D", T.NUMBER) for i in rng.sample("abc", rng.randint(0, 3))}
            return VariableGroup(rng.choice(["g", "a"]), "G", "D", list(members.values()))
        return rng.choice([5, None, "x", b"y"])

    return [[item() for _ in range(rng.randint(0, 5))] for _ in range(200)]


MEMBER_LISTS = _member_lists()


@fuzz(names, st.sampled_from(MEMBER_LISTS) | oddities, allowed_values, optional_text,
      st.sampled_from([VariableGroup, VariableList]))
def test_group_and_list_constructors(id_, members, allowed, category, kind):
    try:
        made = kind(id_, "Name", "Desc", members, allowed, category)
    except Exception as error:
        documented(error, TypeError, ValueError, AttributeError, UniqueVariableIDException)
        return
    ids = [m.id for m in members]
    assert len(set(ids)) == len(ids)
    assert (made.variables if kind is VariableGroup else made.prototypes) is members
    check_variable(made)


def make_group():
    return VariableGroup("g", "G", "D", [PluginVariable("a", "A", "D", T.NUMBER, 1),
                                         PluginVariable("b", "B", "D", T.STRING, "x", disabled=True),
                                         VariableList("l", "L", "D", [PluginVariable("p", "P", "D", T.ANY)])])


@fuzz(st.dictionaries(pick("a", "b", "l", "zzz") | text, json_values, max_size=5) | oddities)
def test_group_update(values):
    group = make_group()
    before = snapshot(group.toDict())
    try:
        group._updateVariablesInGroup(values)
    except Exception as error:
        documented(error, TypeError)
        assert type(values) is not dict and snapshot(group.toDict()) == before
        return
    assert type(values) is dict
    a, b, rows = group.variables
    assert a.value == values.get("a", 1) or a.value != a.value
    assert b.value == "x"
    assert rows.value is values.get("l", None)


rows_strategy = st.lists(st.dictionaries(pick("name", "age", "other") | text, json_values, max_size=4)
                         | oddities, max_size=4)


@fuzz(rows_strategy | oddities)
def test_list_update(value):
    table = VariableList("l", "L", "D", [PluginVariable("name", "N", "D", T.STRING),
                                         PluginVariable("age", "A", "D", T.NUMBER, 0, disabled=True)])
    table.value = [{"kept": True}]
    before = snapshot(table.toDict())
    try:
        table._updateVariablesInList(value)
    except Exception as error:
        documented(error, TypeError, AttributeError)
        assert snapshot(table.toDict()) == before
        return
    if value is None:
        assert table.value is None
        return
    assert len(table.value) == len(value)
    for row, sent in zip(table.value, value):
        assert list(row) == list(sent) and row is not sent
        assert all(row[k] is sent[k] for k in sent if k != "age")
        assert "age" not in sent or row["age"] == 0


@fuzz(names, type_values, pick(PluginPage("p", "P", "D", "p.html")) | oddities, json_values, allowed_values)
def test_custom_variable_constructor(id_, type_, page, default, allowed):
    try:
        variable = CustomVariable(id_, "Name", "Desc", type_, page, default, allowed)
    except Exception as error:
        documented(error, TypeError, ValueError)
        return
    assert variable.customPage is page and variable.placeholder is None
    try:
        minimal = variable.toDict(True)
    except AttributeError:                       # a page without page information
        assert not hasattr(page, "_pageInfo")
        return
    assert list(minimal) == ["id", "value", "type", "isCustom", "customPage"]


endpoint_strategy = st.fixed_dictionaries({}, optional={
    "placed": st.integers() | oddities, "block": text | oddities, "variable": names,
    "type": pick(None, "number", "any", T.NUMBER) | oddities, "allowed": pick(None, [], ["a", 1]) | oddities})


def make_pair(args):
    return BlockVarPair(args.get("placed", 1), args.get("block", "b"), args.get("variable", "v"),
                        args.get("type"), args.get("allowed"))


@fuzz(endpoint_strategy, endpoint_strategy, oddities, st.integers() | oddities, st.integers() | oddities)
def test_pair_and_connection_constructors(origin, destination, cyclic, cycles, current):
    try:
        first, second = make_pair(origin), make_pair(destination)
        connection = BlockConnection(first, second, cyclic, cycles, current)
    except Exception as error:
        documented(error, TypeError)
        return
    assert type(first.blockPlacedID) is int and type(first.blockID) is str
    data = connection._toDict()
    assert list(data) == ["origin", "destination", "isCyclic", "cycles", "currentCycle"]
    assert data["origin"] == first._toDict() and list(data["origin"])[0] == "placedID"
    twin = BlockConnection(make_pair(origin), make_pair(destination), cyclic, cycles, current)
    assert (connection == twin) == (snapshot(data) == snapshot(twin._toDict())) and (connection != twin) != (
        connection == twin)


@fuzz(st.sampled_from(["id", "name", "description", "type", "defaultValue", "value", "allowedValues", "category",
                       "disabled", "required", "placeholder"]), anything)
def test_variable_documents_after_arbitrary_assignment(attribute, value):
    """Hosts and scripts may assign anything to the public attributes; the documents must then
    either be built or fail with an ordinary error, never crash."""
    for variable in (PluginVariable("v", "V", "D", T.STRING), make_group()):
        setattr(variable, attribute, value)
        for build in (variable.toDict, lambda: variable.toDict(True), lambda: str(variable)):
            try:
                build()
            except Exception as error:
                documented(error, TypeError, ValueError, AttributeError)
