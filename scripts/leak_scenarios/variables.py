"""Variable types, variables, custom variables, groups, lists and connections."""
import copy
import json

from QorvelAPI.plugins import (BlockConnection, BlockNotFoundError, BlockVarPair, CustomVariable, PluginBlockTypes,
                               PluginPage, PluginVariable, UniqueVariableIDException, VariableGroup, VariableList,
                               VariableTypes)

from . import refused, scenario

T = VariableTypes


@scenario
def variable_types():
    types = T.getTypes()
    assert len(types) == 31
    for member in types:
        str(member), repr(member), hash(member), f"{member}"
        assert member == member.value and member in types
    assert T.NUMBER == "number" and T.LIST != T._LIST and T.NUMBER != 3
    {"number": 1}[T.NUMBER], {T.FILE: 2}["file"]
    json.dumps({"t": T.FILE})
    str(PluginBlockTypes.SLURM), PluginBlockTypes("ghost")
    refused(ValueError, T, "no such type")


@scenario
def plugin_variable():
    for member in T.getTypes():
        if member in (T._GROUP,):
            continue
        allowed = [T.STRING] if member == T.LIST else ["a", "b"]
        v = PluginVariable("id", "Name", "Desc", member, defaultValue=None, allowedValues=allowed,
                           category="", disabled=True, required=True, placeholder="p")
        v.toDict(), v.toDict(True), v.toDict(minimal=False), str(v)
    v = PluginVariable("x", "X", "D", "string[]")              # warning: no allowed values
    v = PluginVariable("x", "X", "D", T.LIST, allowedValues=[T.STRING, T.NUMBER])  # warning: first only
    v = PluginVariable(id="k", name="K", description="D", type=T.NUMBER, defaultValue=3, allowedValues=[])
    v.value = 0
    assert v.toDict(True)["value"] == 0
    v.extra = [1, 2]
    copy.deepcopy(v), copy.copy(v)
    PluginVariable.id
    for args, kwargs in [
        ((1, "n", "d", T.STRING), {}),
        (("i", b"n", "d", T.STRING), {}),
        (("i", "n", T.STRING, T.STRING), {}),
        (("i", "n", "d", T.STRING), {"allowedValues": ("a",)}),
        (("i", "n", "d", T.STRING), {"category": 5}),
        (("i", "n", "d", T.STRING), {"placeholder": []}),
        (("i", "n", "d"), {}),
        (("i", "n", "d", T.STRING), {"bogus": 1}),
        (("i", "n", "d", T.STRING), {"id": "again"}),
        (("i", "n", "d", T.STRING, None, None, None, False, False, None, "extra"), {}),
    ]:
        refused(TypeError, PluginVariable, *args, **kwargs)
    refused(Exception, PluginVariable, "i", "n", "d", "Number")
    refused(Exception, PluginVariable, "i", "n", "d", object())
    refused(Exception, PluginVariable, "i", "n", "d", T._GROUP)
    refused(ValueError, PluginVariable, "i", "n", "d", T.LIST, allowedValues=["abc"])
    refused(ValueError, PluginVariable, "i", "n", "d", T.LIST, allowedValues=[T.LIST, T.STRING])
    refused(ValueError, PluginVariable, "i", "n", "d", T.LIST, allowedValues=[T.STRING, T._GROUP])


class _Computed(PluginVariable):
    """Keeps `value` in a property; prints through a toDict without the flag."""

    value = property(lambda self: self.__dict__.get("held"), lambda self, v: self.__dict__.__setitem__("held", v))

    def toDict(self):
        return super().toDict()


class _Text(str):
    pass


@scenario
def variable_subclasses_and_type_text():
    v = _Computed("c", "C", "D", _Text("number"), 3)
    str(v), v.value
    v.type = object()
    PluginVariable.toDict(v, minimal=True)


@scenario
def unique_id_exception():
    e = UniqueVariableIDException("message", "v")
    str(e), e.variableId, e.args, e.message
    UniqueVariableIDException("message").variableId
    refused(TypeError, UniqueVariableIDException, 1)
    refused(TypeError, UniqueVariableIDException, "m", 2)
    try:
        raise UniqueVariableIDException("m", variableId="w")
    except UniqueVariableIDException as caught:
        caught.variableId


@scenario
def custom_variable():
    page = PluginPage("p", "Page", "D", "p.html")
    page._pageInfo["id"] = "p"
    v = CustomVariable("c", "C", "D", T.CUSTOM, page, defaultValue={"a": [1]}, allowedValues=None)
    v.toDict(), v.toDict(True), str(v)
    CustomVariable("c", "C", "D", T.STRING_LIST, page, allowedValues=["x"]).toDict()
    copy.deepcopy(v)
    refused(AttributeError, CustomVariable("c", "C", "D", T.CUSTOM, object()).toDict)
    refused(TypeError, CustomVariable, 1, "C", "D", T.CUSTOM, page)
    refused(TypeError, CustomVariable, "c", "C", "D", T.CUSTOM)
    refused(Exception, CustomVariable, "c", "C", "D", "bad", page)


def _members():
    return [PluginVariable("a", "A", "D", T.NUMBER, 1), PluginVariable("b", "B", "D", T.STRING, disabled=True)]


@scenario
def variable_group():
    g = VariableGroup("g", "G", "D", _members(), allowedValues=["x"], category="C", disabled=False, required=True)
    g.toDict(), g.toDict(True), str(g)
    g._updateVariablesInGroup({"a": 5, "b": 6, "zzz": 7})
    g._updateVariablesInGroup({})
    copy.deepcopy(g)
    VariableGroup("e", "E", "D", []).toDict()
    VariableGroup.variables
    refused(TypeError, g._updateVariablesInGroup, [("a", 1)])
    refused(TypeError, g._updateVariablesInGroup, None)
    refused(UniqueVariableIDException, VariableGroup, "g", "G", "D", _members() + _members())
    refused(TypeError, VariableGroup, "g", "G", "D", None)
    refused(TypeError, VariableGroup, "g", "G", "D", tuple(_members()))
    refused(TypeError, VariableGroup, "g", "G", 3, [])


@scenario
def variable_list():
    protos = [PluginVariable("name", "N", "D", T.STRING), PluginVariable("age", "A", "D", T.NUMBER, 0, disabled=True)]
    v = VariableList("l", "L", "D", protos, allowedValues=["t"], disabled=False, required=False)
    v.toDict(), v.toDict(True), str(v)
    v._updateVariablesInList([{"name": "x", "age": 4, "other": 1}, {"name": "y"}])
    v._updateVariablesInList([])
    v._updateVariablesInList(None)
    copy.deepcopy(v)
    refused(TypeError, v._updateVariablesInList, {"name": "x"})
    refused(AttributeError, v._updateVariablesInList, [{"name": "x"}, 5])
    refused(Exception, VariableList, "l", "L", "D", [VariableGroup("g", "G", "D", []), protos[0], protos[0]])
    refused(UniqueVariableIDException, VariableList, "l", "L", "D", protos + protos)
    refused(TypeError, VariableList, "l", "L", "D", None)


def _pair(placed=1, block="b", var="v", vtype="number", allowed=None):
    return BlockVarPair(placed, block, var, vtype, allowed)


@scenario
def connections():
    p = _pair(allowed=["x"])
    p._toDict(), str(p)
    q = BlockVarPair(2, "c", "w")                                 # warning: no type
    assert q.variableType == T.ANY
    c = BlockConnection(p, q, False)
    d = BlockConnection(_pair(allowed=["x"]), BlockVarPair(2, "c", "w"), False, 1, 0)
    c._toDict(), str(c)
    assert c == d and not (c != d)
    d.currentCycle = 3
    assert c != d
    copy.deepcopy(c)
    refused(AttributeError, c.__eq__, 5)
    refused(TypeError, hash, c)
    for args in [("1", "b", "v"), (True, "b", "v"), (None, "b", "v"), (1, 2, "v"), (1, "b", None),
                 (1, "b", "v", T.NUMBER), (1, "b", "v", "t", ("x",))]:
        refused(TypeError, BlockVarPair, *args)
    refused(TypeError, BlockConnection, p, q, False, "1")
    refused(TypeError, BlockConnection, p, q, False, 1, 1.5)
    refused(TypeError, BlockConnection, p, q)
    e = BlockNotFoundError("blk")
    str(e)
    refused(TypeError, BlockNotFoundError, 5)


@scenario
def module_instances():
    """Each import of the extension modules' spec builds a module with its own state and types
    (multi-phase initialisation); dropping one must free all of it."""
    import importlib.util
    for name in ("QorvelAPI.plugins", "QorvelAPI.molstar"):
        spec = importlib.util.find_spec(name)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        if name.endswith("plugins"):
            variable = module.PluginVariable("a", "A", "D", module.VariableTypes.NUMBER, 1)
            block = module.PluginBlock("B", "D", None, [variable], id="b")
            block.copy()._toDict()
            refused(module.UniqueVariableIDException, module.VariableGroup, "g", "G", "D", [variable, variable])
