import copy
import gc
import inspect
import json
import logging
import pickle
import weakref

import pytest

from QorvelAPI.plugins import (
    PluginBlockTypes,
    PluginVariable,
    UniqueVariableIDException,
    VariableGroup,
    VariableList,
    VariableTypes,
)

FULL_KEYS = ["id", "value", "type", "name", "category", "description", "allowedValues", "disabled", "required",
             "placeholder"]


def var(id="v", type=VariableTypes.STRING, **kwargs):
    return PluginVariable(id=id, name=id.upper(), description=f"about {id}", type=type, **kwargs)


@pytest.fixture
def qorvel_log(caplog):
    caplog.set_level(logging.WARNING, logger="Qorvel")
    return caplog


def warnings_of(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "Qorvel" and r.levelno == logging.WARNING]


# ---- VariableTypes ----------------------------------------------------------------------------

def test_members_are_strings_of_their_value():
    assert str(VariableTypes.CONSTRAINED_NUMBER_RANGE) == "[number, number, number, constrain]"
    assert repr(VariableTypes.STRING_LIST) == "string[]"
    assert f"{VariableTypes._LIST}" == "_list" and "%s" % VariableTypes.NUMBER == "number"
    assert VariableTypes._GROUP.upper() == "GROUP"
    assert isinstance(VariableTypes.FILE, str)
    assert json.dumps({"t": VariableTypes.FILE}) == '{"t": "file"}'
    assert VariableTypes("string") is VariableTypes.STRING and VariableTypes.STRING.name == "STRING"
    assert len(list(VariableTypes)) == 31 and len(set(VariableTypes)) == 31


def test_member_equality_and_hash_follow_the_value():
    assert VariableTypes.LIST == "list"
    assert VariableTypes.LIST != VariableTypes._LIST and VariableTypes.LIST != "_list"
    assert VariableTypes.LIST != "LIST" and VariableTypes.NUMBER != "Number" and VariableTypes.NUMBER != 3
    assert {"number": 1}[VariableTypes.NUMBER] == 1
    assert {VariableTypes.NUMBER: 1}["number"] == 1


def test_get_types_order_and_membership():
    types = VariableTypes.getTypes()
    names = [t.name for t in types]
    assert len(types) == 31 and names == sorted(names)
    assert names[:3] == ["ANY", "ATOM", "BOOLEAN"] and names[-2:] == ["_GROUP", "_LIST"]
    assert "smiles" in types and "group " not in types
    types.clear()
    assert len(VariableTypes.getTypes()) == 31  # a fresh list every call
    assert VariableTypes.__doc__ == "The types of variables."
    assert VariableTypes.getTypes.__doc__ == "Returns a list of all the available types."


def test_block_types():
    assert [m.value for m in PluginBlockTypes] == ["base", "input", "action", "slurm", "config", "ghost"]
    assert str(PluginBlockTypes.SLURM) == "slurm" and PluginBlockTypes.SLURM == "slurm"
    assert hash(PluginBlockTypes.GHOST) == hash("ghost")


# ---- PluginVariable construction ----------------------------------------------------------------

def test_plain_string_type_is_kept():
    v = var(type="number")
    assert type(v.type) is str and v.type == "number"
    assert v.toDict()["type"] == "number"
    d = var(type=VariableTypes.STRING_LIST, allowedValues=["a"]).toDict()
    assert type(d["type"]) is str and d["type"] == "string[]"


@pytest.mark.parametrize("bad", ["Number", "group ", 3, None, ["string"]])
def test_unknown_type_is_refused(bad):
    with pytest.raises(Exception) as info:
        var(type=bad)
    assert type(info.value) is Exception
    assert str(info.value) == f"Invalid type {bad}."


@pytest.mark.parametrize("group_type", [VariableTypes._GROUP, "group"])
def test_group_type_only_for_groups(group_type):
    with pytest.raises(Exception) as info:
        PluginVariable("g1", "Group one", "desc", group_type)
    assert type(info.value) is Exception
    assert str(info.value) == ("You cannot use VariableTypes._GROUP in PluginVariable. Use VariableGroup class "
                               "instead. (While loading variable ID: g1, name: Group one, description: desc)")


@pytest.mark.parametrize("parameter, value, expected, got", [
    ("id", 1, "str", "int"),
    ("name", None, "str", "NoneType"),
    ("description", VariableTypes.STRING, "str", "VariableTypes"),
    ("allowedValues", ("a",), "list", "tuple"),
    ("category", 5, "str", "int"),
    ("placeholder", [], "str", "list"),
])
def test_argument_types_are_checked(parameter, value, expected, got):
    kwargs = dict(id="v", name="n", description="d", type="string")
    kwargs[parameter] = value
    with pytest.raises(TypeError) as info:
        PluginVariable(**kwargs)
    assert str(info.value) == f"Argument '{parameter}' has incorrect type (expected {expected}, got {got})"


def test_call_errors_read_like_python():
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'type'"):
        PluginVariable("a", "b", "c")
    with pytest.raises(TypeError, match="unexpected keyword argument 'colour'"):
        PluginVariable("a", "b", "c", "string", colour=1)
    with pytest.raises(TypeError, match="multiple values for argument 'id'"):
        PluginVariable("a", "b", "c", "string", id="x")


def test_defaults_and_normalisation():
    v = var()
    assert (v.defaultValue, v.value, v.allowedValues, v.category) == (None, None, None, "General")
    assert (v.disabled, v.required, v.placeholder) == (False, False, None)
    assert var(category="").category == "General" and var(category=None).category == "General"
    assert var(category="Files").category == "Files"
    assert var(allowedValues=[]).allowedValues is None
    allowed = [1, 2]
    assert var(allowedValues=allowed).allowedValues is allowed
    w = PluginVariable("i", "n", "d", "string", "dv", None, "C", True, 1, "type here")
    assert (w.defaultValue, w.value, w.category, w.disabled, w.required, w.placeholder) == (
        "dv", "dv", "C", True, 1, "type here")


@pytest.mark.parametrize("list_type", [VariableTypes.STRING_LIST, VariableTypes.NUMBER_LIST, "string[]"])
def test_list_types_take_first_allowed_value(list_type, qorvel_log):
    assert var(type=list_type, allowedValues=["a", "b"]).value == "a"
    kept = var(type=list_type, allowedValues=["a", "b"], defaultValue="b")
    assert (kept.defaultValue, kept.value) == ("b", "b")
    assert warnings_of(qorvel_log) == []
    empty = var(id="s1", type=list_type, allowedValues=[])
    assert empty.allowedValues is None and empty.defaultValue is None and empty.value is None
    assert warnings_of(qorvel_log) == ["No allowed values provided for STRING_LIST or NUMBER_LIST variable with id "
                                       "'s1'. This variable may not work as expected."]


def test_list_variable_rules(qorvel_log):
    ok = var(id="l1", type=VariableTypes.LIST, allowedValues=[VariableTypes.STRING, VariableTypes.NUMBER])
    assert ok.allowedValues == ["string", "number"]
    assert warnings_of(qorvel_log) == [
        "Only the first allowed value 'string' will be used on variable l1. Use the VariableList class if you "
        "intend on having multiple values per row on a list."]
    qorvel_log.clear()
    var(type=VariableTypes.LIST)  # no allowed values: no check, no warning
    var(type="list", allowedValues=["number"])
    assert warnings_of(qorvel_log) == []

    with pytest.raises(ValueError) as info:
        var(id="l2", type=VariableTypes.LIST, allowedValues=["abc"])
    assert str(info.value) == ("Variable 'l2' has invalid allowedValues. Allowed values for LIST variables can only "
                               "include values from the VariableTypes enum. ")
    forbidden = ("Variable 'l3' has invalid allowedValues. Allowed values for LIST variables can not include "
                 "VariableTypes.GROUP, VariableTypes.LIST, VariableTypes._LIST. Use the VariableList class instead.")
    for element in (VariableTypes.LIST, "group", VariableTypes._LIST):
        with pytest.raises(ValueError) as info:
            var(id="l3", type=VariableTypes.LIST, allowedValues=[element])
        assert str(info.value) == forbidden


def test_warning_precedes_refusal(qorvel_log):
    with pytest.raises(ValueError):
        var(id="l4", type=VariableTypes.LIST, allowedValues=["string", "nope"])
    assert len(warnings_of(qorvel_log)) == 1


def test_refused_reinit_leaves_object_unchanged():
    v = var(id="keep", defaultValue="x")
    with pytest.raises(Exception):
        v.__init__("other", "n", "d", "bad type")
    assert (v.id, v.value, v.type) == ("keep", "x", "string")


# ---- dictionaries and text --------------------------------------------------------------------

def test_dictionary_forms():
    allowed = ["a", "b"]
    v = var(id="x", type=VariableTypes.STRING_LIST, allowedValues=allowed, placeholder="p")
    full = v.toDict()
    assert list(full) == FULL_KEYS
    assert full["allowedValues"] is allowed  # placed as is, not copied
    assert list(v.toDict(minimal=True)) == ["id", "value", "type"] == list(v.toDict(True))
    v.value = 0
    assert v.toDict(True)["value"] == 0
    v.value = None
    assert v.toDict(True)["value"] == "a"  # only None falls back to the default


def test_text_form_is_indented_json_in_key_order():
    v = var(id="é", defaultValue=1)
    text = str(v)
    assert text == json.dumps(v.toDict(), indent=4)
    assert "\\u00e9" in text and text.startswith('{\n    "id"')


def test_python_subclass_toDict_is_used_everywhere():
    class Tagged(PluginVariable):
        def __init__(self, tag, **kwargs):
            super().__init__(**kwargs)
            self.tag = tag

        def toDict(self, minimal=False):
            d = super().toDict(minimal)
            d["tag"] = self.tag
            return d

    t = Tagged("T", id="t", name="n", description="d", type="string")
    assert list(t.toDict()) == FULL_KEYS + ["tag"]
    assert json.loads(str(t))["tag"] == "T"
    group = VariableGroup("g", "G", "d", [t])
    assert group.toDict(True)["variables"] == [{"id": "t", "value": None, "type": "string", "tag": "T"}]


def test_uninitialised_subclass_reports_missing_attributes():
    class Lazy(PluginVariable):
        def __init__(self):
            pass

    lazy = Lazy()
    with pytest.raises(AttributeError, match="value"):
        lazy.value
    with pytest.raises(AttributeError):
        lazy.toDict()
    with pytest.raises(AttributeError):
        lazy.id
    lazy.id = "now"
    assert lazy.id == "now"


# ---- class-level values, object protocol --------------------------------------------------------

def test_class_level_values():
    assert PluginVariable.id == "baseplugin.variable"
    assert VariableGroup.variables == [] and VariableGroup.id == "baseplugin.variable"
    v = var(id="mine")
    assert v.id == "mine"
    v.id = "changed"
    assert v.id == "changed" and PluginVariable.id == "baseplugin.variable"
    del v.id
    with pytest.raises(AttributeError):
        v.id


def test_signatures_and_docs():
    assert str(inspect.signature(PluginVariable)) == (
        "(id, name, description, type, defaultValue=None, allowedValues=None, category=None, disabled=False, "
        "required=False, placeholder=None)")
    assert str(inspect.signature(VariableGroup)).startswith("(id, name, description, variables, allowedValues=None")
    assert str(inspect.signature(VariableList)).startswith("(id, name, description, prototypes, allowedValues=None")
    assert str(inspect.signature(var().toDict)) == "(minimal=False)"
    assert PluginVariable.__doc__.startswith("Class that defines a variable that can be used in a PluginBlock.")
    assert VariableGroup.__doc__.startswith("A group of varaibles to be used together as input.")
    assert VariableList.__doc__.startswith("A list of the designed input variables.")
    assert UniqueVariableIDException.__doc__ == ("Exception that is raised when a variable ID is not unique inside "
                                                 "a block.")
    assert PluginVariable.toDict.__doc__.startswith("Convert the variable to a dictionary.")
    assert PluginVariable.__module__ == "QorvelAPI.plugins"


def test_instances_have_dict_weakrefs_and_are_collected():
    v = var()
    v.extra = 5
    assert v.__dict__ == {"extra": 5}
    ref = weakref.ref(v)
    group = VariableGroup("g", "G", "d", [v])
    v.group = group  # a reference cycle
    del v, group
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))])
def test_copy_and_pickle_keep_every_attribute(clone):
    members = [var(id="a", defaultValue=1), var(id="b", disabled=True)]
    group = VariableGroup("g", "G", "d", members, allowedValues=["x"], disabled=True)
    group.note = "extra"
    copied = clone(group)
    assert type(copied) is VariableGroup
    assert copied.toDict() == group.toDict() and copied.note == "extra"
    if clone is not copy.copy:
        assert copied.variables[0] is not members[0]


# ---- groups ---------------------------------------------------------------------------------------

def test_group_construction_and_dictionary():
    members = [var(id="a"), var(id="b", disabled=True)]
    group = VariableGroup("grp", "Group", "desc", members, disabled=True)
    assert group.variables is members
    assert group.type is VariableTypes._GROUP and group.defaultValue is None and group.placeholder is None
    full = group.toDict()
    assert list(full) == FULL_KEYS + ["variables"]
    assert full["type"] == "group" and full["value"] is None and full["disabled"] is True
    assert [m["disabled"] for m in full["variables"]] == [False, True]
    minimal = group.toDict(minimal=True)
    assert list(minimal) == ["id", "value", "type", "variables"]
    assert all(list(m) == ["id", "value", "type"] for m in minimal["variables"])
    assert VariableGroup("e", "E", "d", []).toDict()["variables"] == []


def test_group_refuses_duplicate_ids():
    with pytest.raises(UniqueVariableIDException) as info:
        VariableGroup("grp", "G", "d", [var(id="a"), var(id="b"), var(id="a"), var(id="b")])
    assert str(info.value) == "Variable ID 'a' is not unique for VariableGroup 'grp'. Variable IDs must be unique."
    assert info.value.variableId == "a"


@pytest.mark.parametrize("parameter, position, value, expected", [
    ("variables", 3, None, "list"),
    ("variables", 3, (), "list"),
    ("allowedValues", 4, {}, "list"),
    ("category", 5, 1, "str"),
])
def test_group_argument_types(parameter, position, value, expected):
    args = ["g", "G", "d", [], None, None]
    args[position] = value
    with pytest.raises(TypeError, match=rf"Argument '{parameter}' has incorrect type \(expected {expected}"):
        VariableGroup(*args)


def test_group_update():
    a, b = var(id="a"), var(id="b", disabled=True, defaultValue="keep")
    group = VariableGroup("g", "G", "d", [a, b])
    assert group._updateVariablesInGroup({"a": 1, "b": 2, "zzz": 3}) is None
    assert (a.value, b.value) == (1, "keep")
    group._updateVariablesInGroup({})
    assert a.value == 1
    with pytest.raises(TypeError) as info:
        group._updateVariablesInGroup([("a", 1)])
    assert str(info.value) == "Argument 'values' has incorrect type (expected dict, got list)"


# ---- lists ----------------------------------------------------------------------------------------

def test_list_construction_and_dictionary():
    name = var(id="name")
    age = var(id="age", type=VariableTypes.NUMBER)
    lst = VariableList("people", "People", "d", [name, age])
    assert lst.type is VariableTypes._LIST and lst.defaultValue is None and lst.value is None
    full = lst.toDict()
    assert list(full) == FULL_KEYS + ["variables"] and full["type"] == "_list"
    assert full["variables"] == [name.toDict(), age.toDict()]
    assert list(lst.toDict(True)) == ["id", "value", "type", "variables"]


def test_list_refusals_in_order():
    group = VariableGroup("grp", "G", "d", [])
    with pytest.raises(Exception) as info:
        VariableList("lst", "L", "d", [var(id="x"), group, var(id="x")])
    assert type(info.value) is Exception
    assert str(info.value) == ("Variable grp is a VariableGroup inside lst. You cannot use VariableGroups inside "
                               "VariableLists.")
    with pytest.raises(UniqueVariableIDException) as info:
        VariableList("lst", "L", "d", [var(id="x"), var(id="x")])
    assert str(info.value) == "Variable ID 'x' is not unique for VariableList 'lst'. Variable IDs must be unique."
    assert info.value.variableId == "x"


def test_list_update_holds_disabled_columns():
    age = var(id="age", type=VariableTypes.NUMBER, defaultValue=0, disabled=True)
    lst = VariableList("people", "P", "d", [var(id="name"), age])
    rows = [{"name": "ann", "age": 40, "extra": 1}, {"age": 7, "name": "bob"}, {"name": "cy"}]
    lst._updateVariablesInList(rows)
    assert lst.value == [{"name": "ann", "age": 0, "extra": 1}, {"age": 0, "name": "bob"}, {"name": "cy"}]
    assert list(lst.value[1]) == ["age", "name"]
    assert rows[0]["age"] == 40 and lst.value[0] is not rows[0]  # the incoming rows are untouched
    lst._updateVariablesInList([])
    assert lst.value == []
    lst._updateVariablesInList(None)
    assert lst.value is None


def test_list_update_failures_keep_previous_rows():
    lst = VariableList("l", "L", "d", [var(id="a")])
    lst._updateVariablesInList([{"a": 1}])
    with pytest.raises(AttributeError):
        lst._updateVariablesInList([{"a": 2}, 5])
    assert lst.value == [{"a": 1}]
    with pytest.raises(TypeError) as info:
        lst._updateVariablesInList({"a": 1})
    assert str(info.value) == "Argument 'value' has incorrect type (expected list, got dict)"


# ---- the exception ----------------------------------------------------------------------------

def test_unique_variable_id_exception():
    error = UniqueVariableIDException("message only")
    assert isinstance(error, Exception)
    assert str(error) == "message only" and error.variableId == "Unknown"
    error = UniqueVariableIDException("dup", variableId="x")
    assert error.variableId == "x" and error.args == ("dup",)
    restored = pickle.loads(pickle.dumps(error))
    assert str(restored) == "dup" and restored.variableId == "x"
    with pytest.raises(TypeError, match="Argument 'variableId' has incorrect type"):
        UniqueVariableIDException("m", 3)
    with pytest.raises(TypeError, match="Argument 'message' has incorrect type"):
        UniqueVariableIDException(None)


def test_deepcopy_keeps_cycles_types_and_subclass_state():
    class Sub(PluginVariable):
        label = "sub"

    v = Sub("a", "A", "d", VariableTypes.NUMBER, defaultValue=[1, 2])
    v.self_ref = [v]
    copied = copy.deepcopy(v)
    assert type(copied) is Sub and copied is not v
    assert copied.self_ref[0] is copied  # the cycle is copied as a cycle
    assert copied.type is VariableTypes.NUMBER  # members are shared, not copied
    assert copied.defaultValue == [1, 2] and copied.defaultValue is not v.defaultValue
    assert copied.value is copied.defaultValue  # sharing inside the object is kept


@pytest.mark.parametrize("cls, kind", [(VariableGroup, "VariableGroup"), (VariableList, "VariableList")])
def test_unhashable_member_ids_are_compared_by_equality(cls, kind):
    def listed(id_):
        v = var(id="tmp")
        v.id = id_
        return v

    assert cls("c", "C", "d", [var(id="a"), listed(["x"])]) is not None
    with pytest.raises(UniqueVariableIDException) as info:
        cls("c", "C", "d", [var(id="a"), listed(["x"]), var(id="b"), listed(["x"])])
    assert info.value.variableId == ["x"]
    assert str(info.value) == f"Variable ID '['x']' is not unique for {kind} 'c'. Variable IDs must be unique."
    with pytest.raises(UniqueVariableIDException, match="Variable ID 'a'"):
        cls("c", "C", "d", [var(id="a"), listed(["x"]), var(id="a")])


# ---- robustness against odd structures -------------------------------------------------------------

@pytest.mark.parametrize("make, members", [
    (lambda: VariableGroup("g", "G", "d", []), "variables"),
    (lambda: VariableList("l", "L", "d", []), "prototypes"),
])
def test_self_containing_group_or_list_raises_recursion_error(make, members):
    outer = make()
    getattr(outer, members).append(outer)
    for render in (lambda: outer.toDict(), lambda: outer.toDict(True), lambda: str(outer)):
        with pytest.raises(RecursionError):
            render()


def test_releasing_a_long_chain_of_variables_does_not_crash():
    head = var(id="v0")
    for i in range(200_000):
        link = var(id="v")
        link.value = head
        head = link
    del head, link  # freed link by link; a recursive release would overflow the C stack
