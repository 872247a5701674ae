"""The variable model against a plain-Python implementation of the same classes.

Both sides are measured in this one process with the same statements; the baseline classes
carry the same fields and apply the same construction rules as the extension classes, so the
ratio is what a plugin or the host gains (ratio < 1: the extension is faster).
"""
import copy
import enum
import logging
import timeit

from QorvelAPI.plugins import PluginVariable, VariableGroup, VariableTypes

logging.getLogger("Qorvel").disabled = True


class PyTypes(str, enum.Enum):
    ANY = "any"
    STRING = "string"
    NUMBER = "number"
    STRING_LIST = "string[]"
    NUMBER_LIST = "number[]"
    _GROUP = "group"
    LIST = "list"
    _LIST = "_list"

    def __str__(self):
        return self.value

    __repr__ = __str__


PY_TYPES = list(PyTypes)


class PyVariable:
    id = "baseplugin.variable"

    def __init__(self, id, name, description, type, defaultValue=None, allowedValues=None, category=None,
                 disabled=False, required=False, placeholder=None):
        for argument in (id, name, description):  # the entry checks of the extension
            if not isinstance(argument, str):
                raise TypeError("Argument has incorrect type")
        self.name = name
        self.description = description
        self.type = type
        self.disabled = disabled
        self.required = required
        self.placeholder = placeholder
        if type not in PY_TYPES:
            raise Exception(f"Invalid type {type}.")
        if type == PyTypes._GROUP and not isinstance(self, PyGroup):
            raise Exception("You cannot use VariableTypes._GROUP in PluginVariable.")
        if allowedValues is not None and len(allowedValues) == 0:
            allowedValues = None
        self.category = category if category else "General"
        if (type == PyTypes.STRING_LIST or type == PyTypes.NUMBER_LIST) and defaultValue is None:
            if allowedValues is not None:
                defaultValue = allowedValues[0]
        self.defaultValue = defaultValue
        self.value = defaultValue
        self.id = id
        self.allowedValues = allowedValues

    def toDict(self, minimal=False):
        d = {
            "id": self.id,
            "value": self.value if self.value is not None else self.defaultValue,
            "type": self.type.value if isinstance(self.type, PyTypes) else self.type,
        }
        if minimal:
            return d
        d["name"] = self.name
        d["category"] = self.category
        d["description"] = self.description
        d["allowedValues"] = self.allowedValues
        d["disabled"] = self.disabled
        d["required"] = self.required
        d["placeholder"] = self.placeholder
        return d


class PyGroup(PyVariable):
    variables = []

    def __init__(self, id, name, description, variables, allowedValues=None, category=None, disabled=False,
                 required=False):
        seen = set()
        for v in variables:
            if v.id in seen:
                raise Exception("duplicate")
            seen.add(v.id)
        self.variables = variables
        super().__init__(id, name, description, PyTypes._GROUP, None, allowedValues, category, disabled, required)

    def toDict(self, minimal=False):
        d = super().toDict(minimal)
        d["variables"] = [v.toDict(minimal) for v in self.variables]
        return d


def best_ns(stmt, env, number, repeat=7, inner=1):
    timer = timeit.Timer(stmt, globals=env)
    return min(timer.repeat(repeat=repeat, number=number)) / number / inner * 1e9


def side_by_side(label, stmt, make_env, number, inner=1):
    ext = best_ns(stmt, make_env(PluginVariable, VariableGroup, VariableTypes), number, inner=inner)
    py = best_ns(stmt, make_env(PyVariable, PyGroup, PyTypes), number, inner=inner)
    print(f"{label:<42} {py:>9.1f} {ext:>9.1f} {ext / py:>7.2f}")


def env(Var, Group, Types):
    v = Var(id="v", name="V", description="d", type=Types.STRING_LIST, allowedValues=["a", "b"])
    members = [Var(id=f"m{i}", name=f"M{i}", description="d", type=Types.NUMBER, defaultValue=i) for i in range(10)]
    return {"Var": Var, "Group": Group, "Types": Types, "v": v, "members": members, "deepcopy": copy.deepcopy}


def main():
    print(f"{'operation (ns per operation)':<42} {'python':>9} {'module':>9} {'ratio':>7}")
    side_by_side("construct PluginVariable by keywords",
                 "Var(id='x', name='X', description='d', type=Types.STRING, defaultValue='s', category='c')",
                 env, 100_000)
    reads = "; ".join(["v.value"] * 10)
    side_by_side("read attribute (value)", reads, env, 200_000, inner=10)
    writes = "; ".join(["v.value = 1"] * 10)
    side_by_side("write attribute (value)", writes, env, 200_000, inner=10)
    side_by_side("read attribute (id, class-level default)", "; ".join(["v.id"] * 10), env, 200_000, inner=10)
    side_by_side("toDict() full", "v.toDict()", env, 200_000)
    side_by_side("toDict(minimal=True)", "v.toDict(minimal=True)", env, 200_000)
    side_by_side("VariableGroup(10 members).toDict()",
                 "Group(id='g', name='G', description='d', variables=members).toDict()", env, 20_000)
    side_by_side("copy.deepcopy(variable)", "deepcopy(v)", env, 20_000)


if __name__ == "__main__":
    main()
