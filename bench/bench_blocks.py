"""Blocks against the same object graph written as plain Python classes.

The block: 10 variables (8 plain, one group of 3 members, one list with 2 prototypes), 2 input
groups of 2 inputs, 3 outputs and 4 connections. Measured side by side in this one process:
`copy()` (the baseline copies with copy.deepcopy, as a Python block would), `_minimalEncode()`,
`_toDict()` and `_parseInternalVariables()` of the block's own minimal dictionary.
"""
import copy
import logging
import timeit

from QorvelAPI.plugins import (
    BlockConnection,
    BlockVarPair,
    PluginBlock,
    PluginBlockTypes,
    PluginVariable,
    VariableGroup,
    VariableList,
    VariableTypes,
)

logging.getLogger("Qorvel").disabled = True


# --- the baseline: plain Python classes with the same fields and algorithms -------------------
# (the block dictionaries are composed through the same helper operations, _variablesToDict,
# _inputGroupsToDict and _connectionsToDict, as the extension's are)

class PyVariable:
    def __init__(self, id, name, description, type, defaultValue=None, allowedValues=None, category=None,
                 disabled=False, required=False, placeholder=None):
        self.id, self.name, self.description, self.type = id, name, description, type
        self.defaultValue = self.value = defaultValue
        self.allowedValues = allowedValues or None
        self.category = category or "General"
        self.disabled, self.required, self.placeholder = disabled, required, placeholder

    def toDict(self, minimal=False):
        d = {"id": self.id, "value": self.value if self.value is not None else self.defaultValue,
             "type": str(self.type)}
        if minimal:
            return d
        d.update({"name": self.name, "category": self.category, "description": self.description,
                  "allowedValues": self.allowedValues, "disabled": self.disabled, "required": self.required,
                  "placeholder": self.placeholder})
        return d


class PyGroup(PyVariable):
    def __init__(self, id, name, description, variables):
        self.variables = variables
        super().__init__(id, name, description, "group")

    def toDict(self, minimal=False):
        d = super().toDict(minimal)
        d["variables"] = [v.toDict(minimal) for v in self.variables]
        return d

    def _updateVariablesInGroup(self, values):
        if type(values) is not dict:
            raise TypeError("values")
        for v in self.variables:
            if not v.disabled and v.id in values:
                v.value = values[v.id]


class PyList(PyVariable):
    def __init__(self, id, name, description, prototypes):
        super().__init__(id, name, description, "_list")
        self.prototypes = prototypes

    def toDict(self, minimal=False):
        d = super().toDict(minimal)
        d["variables"] = [v.toDict(minimal) for v in self.prototypes]
        return d

    def _updateVariablesInList(self, value):
        if value is None:
            self.value = None
            return
        held = {p.id: p.defaultValue for p in self.prototypes if p.disabled}
        self.value = [{k: held.get(k, v) if k in held else v for k, v in row.items()} for row in value]


class PyPair:
    def __init__(self, blockPlacedID, blockID, variableID, variableType=None, variableAllowedValues=None):
        if type(blockPlacedID) is not int or type(blockID) is not str or type(variableID) is not str:
            raise TypeError("pair")
        self.blockPlacedID, self.blockID, self.variableID = blockPlacedID, blockID, variableID
        self.variableType = variableType if variableType is not None else "any"
        self.variableAllowedValues = variableAllowedValues

    def _toDict(self):
        return {"placedID": self.blockPlacedID, "blockID": self.blockID, "variableID": self.variableID,
                "variableType": self.variableType, "variableAllowedValues": self.variableAllowedValues}


class PyConnection:
    def __init__(self, origin, destination, isCyclic, cycles=1, currentCycle=0):
        self.origin, self.destination, self.isCyclic = origin, destination, isCyclic
        self.cycles, self.currentCycle = cycles, currentCycle

    def _toDict(self):
        return {"origin": self.origin._toDict(), "destination": self.destination._toDict(),
                "isCyclic": self.isCyclic, "cycles": self.cycles, "currentCycle": self.currentCycle}


def expect(value, types, name):
    if value is not None and type(value) not in types:
        raise TypeError(f"Expected {name}, got {type(value).__name__}")
    return value


class PyBlock:
    def __init__(self, name, description, action, variables, inputGroups, outputs, id):
        self.id, self.name, self.description, self.action, self.externalURL = id, name, description, action, None
        self._variables, self._outputs = variables, outputs
        self._inputGroups = {g.id: g for g in inputGroups}
        self.selectedInputGroup = inputGroups[0].id
        self.TYPE = PluginBlockTypes.BASE
        self._position, self._isPlaced, self._isRunning, self.error, self.blockLogs = [0, 0], False, False, False, ""
        self._placedID, self._finishedExecution, self._storedOutputs = 0, False, {}
        self._variableConnections, self._variableConnectionsReferences = [], []
        self.selectedRemote, self._extensionsToOpen, self.time, self.extraData = "Local", [], 0, {}
        self.dirty, self.config, self._isOriginal = False, {}, True

    def copy(self):
        c = copy.deepcopy(self)
        c._isOriginal = False
        return c

    def _connectionsToDict(self, references=False):
        return [c._toDict() for c in (self._variableConnectionsReferences if references else self._variableConnections)]

    def _variablesToDict(self, vars, minimal=False):
        if type(vars) is not list:
            raise TypeError("Argument 'vars' has incorrect type")
        return [v.toDict(minimal) for v in vars]

    def _inputGroupsToDict(self, inputGroups):
        if type(inputGroups) is not dict:
            raise TypeError("Argument 'inputGroups' has incorrect type")
        return [g.toDict() for g in inputGroups.values()]

    def _minimalEncode(self):
        return {"id": self.id, "isPlaced": self._isPlaced, "position": {"x": self._position[0], "y": self._position[1]},
                "isRunning": self._isRunning, "error": self.error, "blockLogs": self.blockLogs,
                "placedID": self._placedID, "finishedExecution": self._finishedExecution,
                "storedOutputs": self._storedOutputs, "variables": self._variablesToDict(self._variables, True),
                "variableConnections": self._connectionsToDict(),
                "variableConnectionsReference": self._connectionsToDict(True),
                "selectedInputGroup": self.selectedInputGroup, "selectedRemote": self.selectedRemote,
                "extensionsToOpen": self._extensionsToOpen, "time": self.time, "extraData": self.extraData,
                "dirty": self.dirty}

    def _toDict(self):
        d = self._minimalEncode()
        d["externalURL"] = self.externalURL
        d["variables"] = self._variablesToDict(self._variables)
        d["name"], d["description"] = self.name, self.description
        d["inputs"] = self._inputGroupsToDict(self._inputGroups)
        d["outputs"] = self._variablesToDict(self._outputs)
        d["type"] = str(self.TYPE)
        return d

    def _updateVariables(self, values):
        for v in self._variables:
            if v.disabled or v.id not in values:
                continue
            if isinstance(v, PyGroup):
                v._updateVariablesInGroup(values[v.id])
            elif isinstance(v, PyList):
                v._updateVariablesInList(values[v.id])
            else:
                v.value = values[v.id]

    @staticmethod
    def _parseConnection(c):
        origin, destination = c.get("origin"), c.get("destination")
        if origin is None or destination is None:
            raise Exception("Invalid flow object.")
        pairs = [PyPair(e.get("placedID"), e.get("blockID"), e.get("variableID"), e.get("variableType"),
                        e.get("variableAllowedValues")) for e in (origin, destination)]
        return PyConnection(pairs[0], pairs[1], c.get("isCyclic", False), c.get("cycles", 1), c.get("currentCycle", 0))

    def _parseInternalVariables(self, j):
        isPlaced, isRunning, error = j.get("isPlaced", False), j.get("isRunning", False), j.get("error", False)
        blockLogs = expect(j.get("blockLogs", ""), (str,), "str")
        placedID = expect(j.get("placedID", 0), (int,), "int")
        finished = j.get("finishedExecution", True)
        group = expect(j.get("selectedInputGroup", "default"), (str,), "str")
        remote = expect(j.get("selectedRemote", "Local"), (str,), "str")
        extensions = expect(j.get("extensionsToOpen", []), (list,), "list")
        time, extra, dirty = j.get("time", 0), j.get("extraData", {}), j.get("dirty", False)
        position = expect(j.get("position", {}), (dict,), "dict")
        x, y = float(position.get("x", 0)), float(position.get("y", 0))
        stored = expect(j.get("storedOutputs", None), (dict,), "dict")
        connections = [self._parseConnection(c) for c in j.get("variableConnections", [])]
        references = [self._parseConnection(c) for c in j.get("variableConnectionsReference", [])]
        parsed = {}
        for entry in j.get("variables", []):
            if entry.get("id") is None:
                raise Exception("Invalid flow object.")
            if entry.get("type") == "group":
                parsed[entry["id"]] = {m.get("id"): m.get("value") for m in entry["variables"]}
            else:
                parsed[entry["id"]] = entry.get("value")
        self.selectedInputGroup, self.selectedRemote = group, remote
        self._updateVariables(parsed)
        self._isPlaced, self._isRunning, self.error, self.blockLogs = isPlaced, isRunning, error, blockLogs
        self._position, self._placedID, self._finishedExecution = [x, y], placedID, finished
        self._storedOutputs, self._variableConnections = stored, connections
        self._variableConnectionsReferences, self._extensionsToOpen = references, extensions
        self.time, self.extraData, self.dirty = time, extra, dirty


# --- the same graph on both sides --------------------------------------------------------------

def action(block):
    pass


def build(Variable, Group, List, Pair, Connection, make_block, types):
    plain = [Variable(f"v{i}", f"V{i}", "a variable", types[i % 3], i, ["a", "b"] if i % 2 else None)
             for i in range(8)]
    group = Group("grp", "Group", "a group", [Variable(f"g{i}", f"G{i}", "member", types[0], "x") for i in range(3)])
    rows = List("rows", "Rows", "a list", [Variable("name", "Name", "col", types[0]),
                                           Variable("size", "Size", "col", types[1])])
    inputs = [Group(f"in{k}", f"In{k}", "inputs", [Variable(f"i{k}{i}", "I", "input", types[2]) for i in range(2)])
              for k in range(2)]
    outputs = [Variable(f"o{i}", f"O{i}", "output", types[1]) for i in range(3)]
    block = make_block(plain + [group, rows], inputs, outputs)
    block._variableConnections = [Connection(Pair(i, "src", f"v{i}", "string", None), Pair(9, "dock", f"i0{i % 2}",
                                                                                            "string", ["x"]), False)
                                  for i in range(4)]
    block._storedOutputs = {"o0": 1.5, "o1": [1, 2, 3]}
    block.extraData = {"note": "bench", "tags": ["a", "b"]}
    return block


def make_ext(variables, groups, outputs):
    return PluginBlock("Dock", "Docks", action, variables=variables, inputGroups=groups, outputs=outputs, id="dock")


def make_py(variables, groups, outputs):
    return PyBlock("Dock", "Docks", action, variables, groups, outputs, "dock")


ext = build(PluginVariable, VariableGroup, VariableList, BlockVarPair, BlockConnection, make_ext,
            [VariableTypes.STRING, VariableTypes.NUMBER, VariableTypes.FILE])
py = build(PyVariable, PyGroup, PyList, PyPair, PyConnection, make_py, ["string", "number", "file"])
assert ext._minimalEncode() == py._minimalEncode()
assert ext._toDict() == py._toDict()
ext_minimal, py_minimal = ext._minimalEncode(), py._minimalEncode()
ext_target, py_target = ext.copy(), py.copy()


def measure(py_call, ext_call, number=500, repeat=15):
    """Best time per call of each side, in microseconds; the two sides alternate so that both
    see the same machine load."""
    py_best = ext_best = float("inf")
    for _ in range(repeat):
        py_best = min(py_best, timeit.timeit(py_call, number=number))
        ext_best = min(ext_best, timeit.timeit(ext_call, number=number))
    return py_best / number * 1e6, ext_best / number * 1e6


rows = [
    ("copy()", lambda: py.copy(), lambda: ext.copy(), 10.0),
    ("_minimalEncode()", lambda: py._minimalEncode(), lambda: ext._minimalEncode(), 3.0),
    ("_toDict()", lambda: py._toDict(), lambda: ext._toDict(), 3.0),
    ("_parseInternalVariables(minimal)", lambda: py_target._parseInternalVariables(py_minimal),
     lambda: ext_target._parseInternalVariables(ext_minimal), 3.0),
]
print(f"{'operation':34} {'plain Python':>14} {'extension':>12} {'speed-up':>9} {'target':>7}")
for name, py_call, ext_call, target in rows:
    py_us, ext_us = measure(py_call, ext_call, number=100 if name == "copy()" else 500)
    ratio = py_us / ext_us
    print(f"{name:34} {py_us:11.2f} us {ext_us:9.2f} us {ratio:8.1f}x {target:5.0f}x{'' if ratio >= target else '  MISSED'}")
