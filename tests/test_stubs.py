"""The shipped stub `QorvelAPI/plugins.pyi` describes the built module exactly.

Editors and type checkers of plugin authors (and of the host) read the stub instead of the
extension module, so a name, parameter, enumeration member or docstring that drifts between the
two misleads them. The stub is read with `ast`, the module with `inspect`.
"""

import ast
import enum
import fnmatch
import importlib.util
import inspect
import subprocess
import sys
import tomllib
import typing
from pathlib import Path

import pydantic
import pytest

import QorvelAPI.plugins as plugins
from QorvelAPI.devhost.environment import child_environment
from plugin_support import make_plugin_folder, run_script

STUB_PATH = Path(plugins.__file__).with_name("plugins.pyi")
STUB = ast.parse(STUB_PATH.read_text(encoding="utf-8"))

# Attributes that live on instances only (set by a constructor or by the metadata loader).
INSTANCE_ONLY = {
    "SlurmBlock": {"initalAction", "finalAction"},
    "UniqueVariableIDException": {"variableId"},
    "Plugin": {"pluginMeta"},
}


def is_special(name):
    """Dunder names and the enumeration machinery's _sunder_ names are not compared."""
    return (name.startswith("__") and name.endswith("__")) or (
        len(name) > 2 and name[0] == name[-1] == "_" and name[1] != "_")


def stub_classes(body=STUB.body, prefix=""):
    """Qualified name -> ClassDef, nested classes included."""
    found = {}
    for node in body:
        if isinstance(node, ast.ClassDef):
            found[prefix + node.name] = node
            found.update(stub_classes(node.body, prefix + node.name + "."))
    return found


STUB_CLASSES = stub_classes()


def runtime_classes():
    found = {}
    for name, value in vars(plugins).items():
        if isinstance(value, type) and value.__module__ == plugins.__name__:
            found[name] = value
            for inner_name, inner in vars(value).items():
                if isinstance(inner, type) and inner.__qualname__ == f"{name}.{inner_name}":
                    found[f"{name}.{inner_name}"] = inner
    return found


RUNTIME_CLASSES = runtime_classes()


def resolve(qualname):
    obj = plugins
    for part in qualname.split("."):
        obj = getattr(obj, part)
    return obj


def docstring_after(body, index):
    """The string literal that follows an attribute declaration (its docstring), or None."""
    if index + 1 < len(body):
        node = body[index + 1]
        if isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant) and isinstance(node.value.value, str):
            return inspect.cleandoc(node.value.value)
    return None


def stub_members(cls_node):
    """Name -> (kind, node, docstring) for the members declared in a stub class body."""
    members = {}
    for index, node in enumerate(cls_node.body):
        if isinstance(node, ast.FunctionDef):
            decorators = {d.id for d in node.decorator_list if isinstance(d, ast.Name)}
            kind = "property" if "property" in decorators else "method"
            members[node.name] = (kind, node, ast.get_docstring(node))
        elif isinstance(node, ast.AnnAssign):
            members[node.target.id] = ("data", node, docstring_after(cls_node.body, index))
        elif isinstance(node, ast.Assign):
            for target in node.targets:
                members[target.id] = ("data", node, docstring_after(cls_node.body, index))
        elif isinstance(node, ast.ClassDef):
            members[node.name] = ("class", node, ast.get_docstring(node))
    return members


def runtime_kind(value):
    if type(value).__name__ in ("getset_descriptor", "property"):
        return "property"
    if isinstance(value, type):
        return "class"
    if isinstance(value, (staticmethod, classmethod)) or inspect.isroutine(value):
        return "method"
    return "data"


def runtime_members(cls):
    if issubclass(cls, pydantic.BaseModel):
        fields = getattr(cls, "model_fields", None) or cls.__fields__
        return {name: None for name in fields}
    return {name: value for name, value in vars(cls).items() if not is_special(name)}


def stub_default(node):
    """The value of a default written in the stub: a literal or a dotted name of the module."""
    try:
        return ast.literal_eval(node)
    except ValueError:
        return resolve(ast.unparse(node))


def stub_parameters(func, drop_first):
    """(name, kind, has default, default) of a stub function's parameters."""
    args = func.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    params = [(a.arg, "POSITIONAL_ONLY" if a in args.posonlyargs else "POSITIONAL_OR_KEYWORD", d)
              for a, d in zip(positional, defaults)]
    if args.vararg:
        params.append((args.vararg.arg, "VAR_POSITIONAL", None))
    params += [(a.arg, "KEYWORD_ONLY", d) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg:
        params.append((args.kwarg.arg, "VAR_KEYWORD", None))
    if drop_first:
        params = params[1:]
    return [(name, kind, d is not None, None if d is None else stub_default(d)) for name, kind, d in params]


def runtime_parameters(signature, drop_first):
    params = list(signature.parameters.values())[1 if drop_first else 0:]
    return [(p.name, p.kind.name, p.default is not p.empty, None if p.default is p.empty else p.default)
            for p in params]


def assert_same_parameters(stub, runtime, where):
    assert [p[:3] for p in stub] == [p[:3] for p in runtime], where
    for (name, _, _, stub_value), (_, _, _, value) in zip(stub, runtime):
        # type() too, so that a default of 0 is not taken for False
        assert (stub_value, type(stub_value)) == (value, type(value)), f"{where}: default of {name}"


def test_module_names_match_the_stub():
    stub_names = set()
    for node in STUB.body:
        if isinstance(node, ast.ClassDef):
            stub_names.add(node.name)
        elif isinstance(node, ast.Assign):
            stub_names.update(t.id for t in node.targets)
        elif isinstance(node, ast.AnnAssign):
            stub_names.add(node.target.id)
    runtime_names = {name for name in vars(plugins) if not name.startswith("_")}
    assert stub_names == runtime_names
    assert ast.get_docstring(STUB) == plugins.__doc__

    platform = next(n for n in STUB.body if isinstance(n, ast.Assign) and n.targets[0].id == "PlatformType")
    assert eval(ast.unparse(platform.value), vars(typing)) == plugins.PlatformType


def test_stub_ships_with_the_package():
    pyproject = tomllib.loads((Path(__file__).parents[1] / "pyproject.toml").read_text(encoding="utf-8"))
    patterns = pyproject["tool"]["setuptools"]["package-data"]["QorvelAPI"]
    for shipped in ("plugins.pyi", "py.typed"):
        assert (STUB_PATH.parent / shipped).is_file()
        assert any(fnmatch.fnmatch(shipped, pattern) for pattern in patterns), shipped


@pytest.mark.parametrize("qualname", sorted(RUNTIME_CLASSES))
def test_class_matches_the_stub(qualname):
    cls = RUNTIME_CLASSES[qualname]
    assert qualname in STUB_CLASSES, f"{qualname} missing from the stub"
    node = STUB_CLASSES[qualname]

    # bases, by name
    assert [ast.unparse(b) for b in node.bases] == [b.__name__ for b in cls.__bases__ if b is not object]
    assert ast.get_docstring(node) == inspect.cleandoc(cls.__doc__)

    stub = {n: m for n, m in stub_members(node).items() if not is_special(n)}
    runtime = runtime_members(cls)
    extra = set(stub) - set(runtime) - INSTANCE_ONLY.get(qualname, set())
    assert not extra, f"declared in the stub but not on {qualname}: {sorted(extra)}"
    missing = set(runtime) - set(stub)
    assert not missing, f"{qualname} has names the stub lacks: {sorted(missing)}"

    if isinstance(cls, enum.EnumMeta):
        members = [(n.targets[0].id, n.value.value) for n in node.body if isinstance(n, ast.Assign)]
        assert members == [(m.name, m.value) for m in cls]
    if issubclass(cls, pydantic.BaseModel):
        # the fields, in their order
        assert [n for n, m in stub.items() if m[0] == "data"] == list(runtime)
        return

    for name, value in runtime.items():
        kind, member, doc = stub[name]
        assert kind == runtime_kind(value), f"{qualname}.{name}: {kind} in the stub"
        runtime_doc = getattr(value, "__doc__", None) if kind in ("method", "property", "data") else None
        if isinstance(value, (staticmethod, classmethod)):
            value = value.__func__
            runtime_doc = value.__doc__
        if kind in ("method", "property"):
            assert doc == (inspect.cleandoc(runtime_doc) if runtime_doc else None), f"{qualname}.{name}"
        elif kind == "data" and type(value).__name__ == "member_descriptor" and value.__doc__:
            # attribute docstrings show in editors as help() shows them
            assert doc == inspect.cleandoc(value.__doc__), f"{qualname}.{name}"
        if kind == "method" and getattr(value, "__text_signature__", None):
            is_static = isinstance(vars(cls)[name], staticmethod)
            assert_same_parameters(stub_parameters(member, drop_first=not is_static),
                                   runtime_parameters(inspect.signature(value), drop_first=not is_static),
                                   f"{qualname}.{name}")


@pytest.mark.parametrize("qualname", sorted(q for q, c in RUNTIME_CLASSES.items()
                                            if getattr(c, "__text_signature__", None)
                                            or issubclass(c, pydantic.BaseModel)))
def test_constructor_matches_the_stub(qualname):
    """Every class with a signature of its own declares the same constructor in the stub."""
    cls = RUNTIME_CLASSES[qualname]
    init = next((n for n in STUB_CLASSES[qualname].body
                 if isinstance(n, ast.FunctionDef) and n.name == "__init__"), None)
    assert init is not None, f"{qualname} has no __init__ in the stub"
    assert_same_parameters(stub_parameters(init, drop_first=True),
                           runtime_parameters(inspect.signature(cls), drop_first=False), qualname)


def test_instance_attributes_of_the_stub_exist(tmp_path):
    folder = make_plugin_folder(tmp_path)
    samples = {
        "SlurmBlock": plugins.SlurmBlock("S", "d", print, print, id="s"),
        "UniqueVariableIDException": plugins.UniqueVariableIDException("m"),
        "Plugin": run_script(folder)["plugin"],
    }
    for qualname, names in INSTANCE_ONLY.items():
        declared = stub_members(STUB_CLASSES[qualname])
        for name in names:
            assert name in declared and hasattr(samples[qualname], name), f"{qualname}.{name}"


PLUGIN_SCRIPT = '''
from QorvelAPI.plugins import (Plugin, PluginBlock, PluginConfig, PluginEndpoint, PluginPage,
                               PluginVariable, SlurmBlock, VariableGroup, VariableTypes)

name = PluginVariable("name", "Name", "The name", VariableTypes.STRING, defaultValue="x")
count = PluginVariable("count", "Count", "How many", "number")
group = VariableGroup("g", "G", "A group", [name])

def run(block: PluginBlock) -> None:
    text: str = block.variables["name"]
    block.setOutput("count", len(text))
    with block.remote.cd("/scratch"):
        job = block.remote.submitJob("/scratch/job.sh", changeDir=False)
    if job is not None and block.remote.isLocal:
        print(job + 1, block.config["threads"])

block = PluginBlock("Count", "Counts", run, variables=[name], inputGroups=[group], outputs=[count], id="count")
placed: PluginBlock = block.copy()
slurm = SlurmBlock("Job", "Runs a job", run, run, extenrnalURL="https://example.org")
if slurm.status == SlurmBlock.Status.COMPLETED:
    print(slurm.parseStatus().lower())
page = PluginPage("viewer", "Viewer", "A page", "viewer.html")
page.addEndpoint(PluginEndpoint("/data", ["GET"], lambda: {}))
plugin = Plugin()
plugin.addBlock(block)
plugin.addPage(page)
plugin.addConfig(PluginConfig("Settings", "Settings", variables=[count]))
'''

WRONG_USES = {
    'PluginVariable(1, "Name", "d", VariableTypes.STRING)': 'Argument 1 to "PluginVariable"',
    'SlurmBlock("Job", "d", run, run, externalURL="x")': 'Unexpected keyword argument "externalURL"',
    'block.setOutput(3, 1)': 'Argument 1 to "setOutput"',
    'plugin.getBlock("x").nonexistent': 'has no attribute "nonexistent"',
}


# mypy's own imports warn about its dependencies on some interpreters
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_type_checker_reads_the_stub(tmp_path):
    """A type checker accepts the stub and a plugin script written against it, and finds misuse."""
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    config = tmp_path / "mypy.ini"
    # pydantic is analysed as opaque: its own typing is not what is under test here
    config.write_text(f"[mypy]\nmypy_path = {STUB_PATH.parents[1]}\ncache_dir = {tmp_path / 'cache'}\n"
                      "[mypy-pydantic.*]\nfollow_imports = skip\n", encoding="utf-8")
    script = tmp_path / "plugin_script.py"
    lines = PLUGIN_SCRIPT.splitlines()
    first_wrong = len(lines) + 1
    script.write_text("\n".join(lines + list(WRONG_USES)) + "\n", encoding="utf-8")

    # In its own process: mypy's compiled modules keep memory until exit, which a memory checker
    # around the test process would report, and a preloaded checker runtime is not passed on.
    done = subprocess.run([sys.executable, "-m", "mypy", "--config-file", str(config), "--no-error-summary",
                           str(STUB_PATH), str(script)], capture_output=True, text=True,
                          env=child_environment())
    out, status = done.stdout, done.returncode
    assert "Traceback" not in done.stderr, done.stderr
    errors = [line for line in out.splitlines() if ": error:" in line]
    assert all(line.startswith(str(script)) for line in errors), out
    reported = {int(line.split(":")[1]) for line in errors}
    assert reported == set(range(first_wrong, first_wrong + len(WRONG_USES))), out
    for line, expected in zip(range(first_wrong, first_wrong + len(WRONG_USES)), WRONG_USES.values()):
        assert any(f":{line}: error:" in e and expected in e for e in errors), out
    assert status == 1
