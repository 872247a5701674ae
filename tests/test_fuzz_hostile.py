"""Hostile objects: subclasses and host objects whose every callback mutates, replaces or deletes
the state of the operation that is running (the block's slots and lists, a variable's slots, the
remote facade's host remote), also from finalizers run by the garbage collector. Whatever they
do, an operation returns or raises an ordinary exception; it never crashes."""
import gc

from hypothesis import strategies as st

from QorvelAPI.plugins import (BlockConnection, BlockVarPair, PluginBlock, PluginRemote, PluginVariable,
                               VariableGroup, VariableTypes)
from fuzzing import fuzz

BLOCK_SLOTS = ["_variables", "_outputs", "_inputGroups", "_variableConnections", "_variableConnectionsReferences",
               "_position", "extraData", "id", "name", "TYPE", "_storedOutputs", "selectedInputGroup"]
VARIABLE_SLOTS = ["id", "value", "type", "name", "allowedValues", "defaultValue"]
ACTIONS = ["delete", "replace", "clear", "none"]
FRESH = {"_inputGroups": dict, "extraData": dict, "_storedOutputs": dict, "_position": lambda: [1, 2]}


class Mischief:
    """The plan of one example: each callback applies its next step to the running block."""

    def __init__(self, steps):
        self.steps, self.at, self.block, self.victims = steps, 0, None, []

    def __call__(self):
        if not self.steps or self.block is None:
            return
        target, slot, action = self.steps[self.at % len(self.steps)]
        self.at += 1
        obj = self.block if target == "block" or not self.victims else self.victims[self.at % len(self.victims)]
        slot = slot if target == "block" else VARIABLE_SLOTS[BLOCK_SLOTS.index(slot) % len(VARIABLE_SLOTS)]
        try:
            if action == "delete":
                delattr(obj, slot)
            elif action == "none":
                setattr(obj, slot, None)
            elif action == "replace":
                setattr(obj, slot, FRESH.get(slot, list)())
            elif isinstance(getattr(obj, slot, None), (list, dict)):
                getattr(obj, slot).clear()
        except (AttributeError, TypeError):
            pass


def hostile_classes(mischief):
    class Var(PluginVariable):
        def toDict(self, minimal=False):
            mischief()
            return super().toDict(minimal)

        @property
        def disabled(self):
            mischief()
            return False

    class Pair(BlockVarPair):
        def _toDict(self):
            mischief()
            return super()._toDict()

    class Connection(BlockConnection):
        def _toDict(self):
            mischief()
            return super()._toDict()

    class Coordinate(float):
        def __float__(self):
            mischief()
            return 3.0

    class Position(list):
        def __getitem__(self, index):
            mischief()
            return super().__getitem__(index)

    class Type(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            mischief()
            return str.__eq__(self, other)

    class Litter:
        def __del__(self):
            mischief()

    return Var, Pair, Connection, Coordinate, Position, Type, Litter


def build(mischief):
    Var, Pair, Connection, Coordinate, Position, Type, Litter = hostile_classes(mischief)
    allowed = ["a", "b", "c"]
    variables = [Var("v%d" % i, "n", "d", VariableTypes.STRING, "x") for i in range(4)]
    variables.append(VariableGroup("g", "G", "d", [Var("m", "n", "d", VariableTypes.NUMBER, 1)]))
    outputs = [Var("o%d" % i, "n", "d", VariableTypes.ANY) for i in range(3)]
    groups = [VariableGroup("first", "F", "d", [Var("i", "n", "d", VariableTypes.STRING)])]
    block = PluginBlock("b", "d", None, variables, [], groups, outputs, id="b")
    block._variableConnections = [Connection(Pair(i, "b", "v0", "string"), Pair(i + 1, "c", "w", "string"), False)
                                  for i in range(3)]
    block._variableConnectionsReferences = list(block._variableConnections)
    block._position = Position([Coordinate(1), Coordinate(2)])
    mischief.victims = variables + outputs
    mischief.block = block
    return block, Coordinate, Type, Litter, allowed


def litter(Litter):
    for _ in range(3):
        item = Litter()
        item.cycle = item  # collected by the GC, whose finalizer runs inside whatever allocates


def run_operation(name, mischief):
    block, Coordinate, Type, Litter, allowed = build(mischief)
    litter(Litter)
    if name == "minimal":
        block._minimalEncode()
    elif name == "dict":
        block._toDict()
    elif name == "str":
        str(block)
    elif name == "copy":
        block.copy()
    elif name == "eq":
        block == build(mischief)[0]  # noqa: B015
    elif name == "parse":
        block._parseInternalVariables({"position": {"x": Coordinate(5), "y": Coordinate(6)},
                                       "variables": [{"id": "v0", "value": "y"}]})
    elif name == "access":
        block.variables, block.inputs, block.outputs  # noqa: B018
        block.setOutput("o1", 3)
    elif name == "allowed":
        mischief.victims.append(allowed)
        PluginVariable("x", "n", "d", Type(VariableTypes.STRING_LIST), None, allowed)
    elif name == "remote":
        class HostRemote:
            cd = staticmethod(lambda path: None)

            @property
            def userHome(self):
                mischief()
                facade._remote = HostRemote() if mischief.at % 2 else None
                return "/home/u"

            def transferTo(self, local, remote):
                mischief()
                return remote

        facade = PluginRemote(HostRemote())
        facade.sendData("local", "~/x")
        facade.getData("~/y", "local")


steps = st.lists(st.tuples(st.sampled_from(["block", "variable"]), st.sampled_from(BLOCK_SLOTS),
                           st.sampled_from(ACTIONS)), max_size=6)
operations = st.sampled_from(["minimal", "dict", "str", "copy", "eq", "parse", "access", "allowed", "remote"])


@fuzz(operations, steps, st.sampled_from([1, 3, 700]))
def test_hostile_callbacks_never_crash(operation, plan, threshold):
    before = gc.get_threshold()
    gc.set_threshold(threshold)
    mischief = Mischief(plan)
    try:
        run_operation(operation, mischief)
    except Exception as error:  # any ordinary refusal; an interpreter-level fault is not one
        assert not isinstance(error, SystemError), error
    finally:
        mischief.block = None
        gc.set_threshold(*before)
