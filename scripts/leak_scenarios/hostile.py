"""Hostile callbacks and deleted slots: the paths that hold snapshots of slots and lists while
plugin code changes the block, and the AttributeError of a slot that was deleted."""
from QorvelAPI.plugins import PluginBlock, PluginRemote, PluginVariable, VariableTypes

from . import refused, scenario


def _hostile_block():
    holder = {}

    class Var(PluginVariable):
        def toDict(self, minimal=False):
            block = holder["block"]
            block._variables, block._outputs, block._variableConnections = [], [], []
            block.extraData = {}
            return super().toDict(minimal)

    class Coordinate(float):
        def __float__(self):
            holder["block"]._position = [0, 0]
            return 1.0

    variables = [Var("v%d" % i, "n", "d", VariableTypes.STRING, "x") for i in range(3)]
    block = holder["block"] = PluginBlock("b", "d", None, variables, [], [], list(variables[:1]), id="b")
    return block, Coordinate, holder


@scenario
def hostile_callbacks_replace_what_the_encoders_walk():
    block, Coordinate, holder = _hostile_block()
    block._minimalEncode()
    block, Coordinate, holder = _hostile_block()
    block._toDict()
    block.copy()
    block._parseInternalVariables({"position": {"x": Coordinate(2), "y": Coordinate(3)}})
    holder.clear()


@scenario
def deleted_slots_raise_attribute_error():
    block = PluginBlock("b", "d", variables=[PluginVariable("v", "n", "d", VariableTypes.STRING)], id="b")
    del block._outputs
    refused(AttributeError, block._toDict)
    del block.extraData
    refused(AttributeError, block._minimalEncode)
    variable = PluginVariable("v", "n", "d", VariableTypes.STRING)
    del variable.type
    refused(AttributeError, variable.toDict)

    class HostRemote:
        cd = staticmethod(lambda path: None)

        @property
        def userHome(self):
            del facade._remote
            return "/home/u"

        def transferTo(self, local, remote):
            return remote

    facade = PluginRemote(HostRemote())
    facade.sendData("a", "~/b")
    refused(AttributeError, facade.sendData, "a", "~/b")
