"""The shipped stubs `QorvelAPI/plugins.pyi` and `QorvelAPI/molstar.pyi` describe the built
modules exactly.

Editors and type checkers of plugin authors (and of the host) read the stubs instead of the
extension modules, so a name, parameter, enumeration member or docstring that drifts between the
two misleads them. A stub is read with `ast`, its module with `inspect`.
"""

import ast
import enum
import fnmatch
import hashlib
import importlib.util
import inspect
import subprocess
import sys
import sysconfig
import tomllib
import typing
from pathlib import Path

import pydantic
import pytest

import QorvelAPI.molstar as molstar
import QorvelAPI.plugins as plugins
from QorvelAPI.devhost.environment import child_environment
from plugin_support import make_plugin_folder, run_script

PACKAGE_DIR = Path(plugins.__file__).parent
EXAMPLE_SCRIPT = Path(__file__).parents[1] / "examples" / "example_plugin" / "example_plugin.py"

# Attributes that live on instances only (set by a constructor or by the metadata loader).
INSTANCE_ONLY = {
    "SlurmBlock": {"initalAction", "finalAction"},
    "UniqueVariableIDException": {"message", "variableId"},
    "Plugin": {"pluginMeta"},
}


def is_special(name):
    """Dunder names and the enumeration machinery's _sunder_ names are not compared."""
    return (name.startswith("__") and name.endswith("__")) or (
        len(name) > 2 and name[0] == name[-1] == "_" and name[1] != "_")


def stub_classes(body, prefix=""):
    """Qualified name -> ClassDef, nested classes included."""
    found = {}
    for node in body:
        if isinstance(node, ast.ClassDef):
            found[prefix + node.name] = node
            found.update(stub_classes(node.body, prefix + node.name + "."))
    return found


def runtime_classes(module):
    """Qualified name -> class: the module's classes, their nested classes and their bases that
    the module defines without exporting them."""
    found = {}
    for name, value in vars(module).items():
        if isinstance(value, type) and value.__module__ == module.__name__:
            found[name] = value
            for inner_name, inner in vars(value).items():
                if isinstance(inner, type) and inner.__qualname__ == f"{name}.{inner_name}":
                    found[f"{name}.{inner_name}"] = inner
            for base in value.__mro__[1:]:
                if base.__module__ == module.__name__:
                    found.setdefault(base.__qualname__, base)
    return found


class Stubbed:
    """A built module with the stub that ships beside it."""

    def __init__(self, module):
        self.module = module
        self.path = PACKAGE_DIR / (module.__name__.rpartition(".")[2] + ".pyi")
        self.tree = ast.parse(self.path.read_text(encoding="utf-8"))
        self.classes = stub_classes(self.tree.body)
        self.runtime = runtime_classes(module)

    def resolve(self, qualname):
        obj = self.module
        for part in qualname.split("."):
            obj = getattr(obj, part)
        return obj


MODULES = {module.__name__: Stubbed(module) for module in (plugins, molstar)}
PLUGINS = MODULES[plugins.__name__]
CLASS_CASES = [(name, qualname) for name, stubbed in MODULES.items() for qualname in sorted(stubbed.runtime)]


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


# Attribute descriptors whose own docstring editors show for the attribute.
ATTRIBUTE_DESCRIPTORS = ("member_descriptor", "member_with_class_value")


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


def stub_default(stubbed, node):
    """The value of a default written in the stub: a literal or a dotted name of the module."""
    try:
        return ast.literal_eval(node)
    except ValueError:
        return stubbed.resolve(ast.unparse(node))


def stub_parameters(stubbed, func, drop_first):
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
    return [(name, kind, d is not None, None if d is None else stub_default(stubbed, d)) for name, kind, d in params]


def runtime_parameters(signature, drop_first):
    params = list(signature.parameters.values())[1 if drop_first else 0:]
    return [(p.name, p.kind.name, p.default is not p.empty, None if p.default is p.empty else p.default)
            for p in params]


def assert_same_parameters(stub, runtime, where):
    assert [p[:3] for p in stub] == [p[:3] for p in runtime], where
    for (name, _, _, stub_value), (_, _, _, value) in zip(stub, runtime):
        # type() too, so that a default of 0 is not taken for False
        assert (stub_value, type(stub_value)) == (value, type(value)), f"{where}: default of {name}"


def expected_metaclass(cls):
    """The metaclass a class statement must name: None when the bases already bring it."""
    return None if type(cls) in {type(base) for base in cls.__bases__} else type(cls).__name__


def test_stub_declares_the_viewer_operations_of_the_catalogue():
    """Each catalogued operation is a method of the stub's class, with the catalogue's parameters and
    defaults; every other method the stub declares there is known to be no viewer operation."""
    stubbed = MODULES[molstar.__name__]
    methods = {n.name: n for n in stubbed.classes["_MolstarAPIBase"].body if isinstance(n, ast.FunctionDef)}
    catalogue = molstar._messageCatalogue()
    assert set(methods) - {entry["method"] for entry in catalogue} == {"mvs", "_emitAction"}
    for entry in catalogue:
        declared = stub_parameters(stubbed, methods[entry["method"]], drop_first=True)
        expected = [(p["name"], "POSITIONAL_OR_KEYWORD", "default" in p,
                     ast.literal_eval(p["default"]) if "default" in p else None) for p in entry["parameters"]]
        assert declared == expected, entry["method"]


@pytest.mark.parametrize("module_name", sorted(MODULES))
def test_module_names_match_the_stub(module_name):
    stubbed = MODULES[module_name]
    stub_names = set()
    for node in stubbed.tree.body:
        if isinstance(node, ast.ClassDef):
            stub_names.add(node.name)
        elif isinstance(node, ast.Assign):
            stub_names.update(t.id for t in node.targets)
        elif isinstance(node, ast.AnnAssign):
            stub_names.add(node.target.id)
    runtime_names = {name for name in vars(stubbed.module) if not name.startswith("_")}
    assert {name for name in stub_names if not name.startswith("_")} == runtime_names
    assert ast.get_docstring(stubbed.tree) == stubbed.module.__doc__


def test_platform_type_matches_the_stub():
    platform = next(n for n in PLUGINS.tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "PlatformType")
    assert eval(ast.unparse(platform.value), vars(typing)) == plugins.PlatformType


def test_stub_ships_with_the_package():
    pyproject = tomllib.loads((Path(__file__).parents[1] / "pyproject.toml").read_text(encoding="utf-8"))
    patterns = pyproject["tool"]["setuptools"]["package-data"]["QorvelAPI"]
    for shipped in ("plugins.pyi", "molstar.pyi", "py.typed"):
        assert (PACKAGE_DIR / shipped).is_file()
        assert any(fnmatch.fnmatch(shipped, pattern) for pattern in patterns), shipped


@pytest.mark.parametrize("module_name, qualname", CLASS_CASES)
def test_class_matches_the_stub(module_name, qualname):
    stubbed = MODULES[module_name]
    cls = stubbed.runtime[qualname]
    assert qualname in stubbed.classes, f"{qualname} missing from the stub"
    node = stubbed.classes[qualname]

    # bases and metaclass, by name
    assert [ast.unparse(b) for b in node.bases] == [b.__name__ for b in cls.__bases__ if b is not object]
    metaclass = next((ast.unparse(k.value) for k in node.keywords if k.arg == "metaclass"), None)
    assert metaclass == expected_metaclass(cls)
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
        elif kind == "data" and type(value).__name__ in ATTRIBUTE_DESCRIPTORS and value.__doc__:
            # attribute docstrings show in editors as help() shows them
            assert doc == inspect.cleandoc(value.__doc__), f"{qualname}.{name}"
        if kind == "method" and getattr(value, "__text_signature__", None):
            is_static = isinstance(vars(cls)[name], staticmethod)
            assert_same_parameters(stub_parameters(stubbed, member, drop_first=not is_static),
                                   runtime_parameters(inspect.signature(value), drop_first=not is_static),
                                   f"{qualname}.{name}")


def has_own_signature(cls):
    return bool(getattr(cls, "__text_signature__", None)) or "__signature__" in vars(cls) or issubclass(
        cls, pydantic.BaseModel)


@pytest.mark.parametrize("module_name, qualname", [(m, q) for m, q in CLASS_CASES
                                                   if has_own_signature(MODULES[m].runtime[q])])
def test_constructor_matches_the_stub(module_name, qualname):
    """Every class with a signature of its own declares the same constructor in the stub."""
    stubbed = MODULES[module_name]
    cls = stubbed.runtime[qualname]
    init = next((n for n in stubbed.classes[qualname].body
                 if isinstance(n, ast.FunctionDef) and n.name == "__init__"), None)
    assert init is not None, f"{qualname} has no __init__ in the stub"
    assert_same_parameters(stub_parameters(stubbed, init, drop_first=True),
                           runtime_parameters(inspect.signature(cls), drop_first=False), qualname)


def test_instance_attributes_of_the_stub_exist(tmp_path):
    folder = make_plugin_folder(tmp_path)
    samples = {
        "SlurmBlock": plugins.SlurmBlock("S", "d", print, print, id="s"),
        "UniqueVariableIDException": plugins.UniqueVariableIDException("m"),
        "Plugin": run_script(folder)["plugin"],
    }
    for qualname, names in INSTANCE_ONLY.items():
        declared = stub_members(PLUGINS.classes[qualname])
        for name in names:
            assert name in declared and hasattr(samples[qualname], name), f"{qualname}.{name}"


PLUGIN_SCRIPT = '''
from QorvelAPI.molstar import MolstarAPI
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

def show(block: PluginBlock) -> None:
    viewer = MolstarAPI()
    viewer.addMolecule("/data/protein.pdb", label=None)
    viewer.focusResidue(12, chain="A")
    viewer.addBox([0.0, 1.0, 2.0], color="#ff0000")
    viewer.loadMVJS(viewer.mvs.create_builder().get_state(), replaceExisting=True)

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
    'MolstarAPI().focusResidue("12")': 'Argument 1 to "focusResidue"',
    'MolstarAPI("flow")': 'Too many arguments for "MolstarAPI"',
}


# mypy's cache outlives a test run, one folder per interpreter and configuration (build/mypy-cache):
# a cold check costs seconds, many where Debian's mypy is not compiled for the interpreter, and a
# warm one reads back all that did not change.
MYPY_CACHE = Path(__file__).resolve().parent.parent / "build" / "mypy-cache"


def mypy_cache_dir(*configuration):
    """The cache folder for mypy run by this interpreter with ``configuration`` (any texts)."""
    key = "\0".join([sys.executable, *configuration]).encode()
    return MYPY_CACHE / hashlib.sha256(key).hexdigest()[:16]


def run_mypy(tmp_path, *paths, strict=False, silent=()):
    """mypy on `paths` against the shipped stubs: (error lines, exit status). Errors in the modules
    `silent` names are not reported, as in an installed package's."""
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    config = tmp_path / "mypy.ini"
    # pydantic is analysed as opaque: its own typing is not what is under test here, so the
    # metadata model of the stub subclasses an opaque class.
    # A source tree is found through mypy_path; an installed package through the interpreter's
    # site-packages, which mypy refuses to have in mypy_path.
    installed = PACKAGE_DIR.parent in {Path(sysconfig.get_path(kind)) for kind in ("purelib", "platlib")}
    search = "" if installed else f"mypy_path = {PACKAGE_DIR.parent}\n"
    sections = ("[mypy-pydantic.*]\nfollow_imports = skip\n"
                "[mypy-QorvelAPI.plugins]\ndisallow_subclassing_any = False\n"
                + "".join(f"[mypy-{name}]\nfollow_imports = silent\n" for name in silent))
    cache = mypy_cache_dir(search, sections, str(strict))
    config.write_text(f"[mypy]\n{search}cache_dir = {cache}\n{sections}", encoding="utf-8")
    # Installed, the stubs are read through the scripts' imports (given as files, they would make
    # site-packages a source folder); the source-tree runs check the stubs themselves.
    stubs = [] if installed else [str(stubbed.path) for stubbed in MODULES.values()]
    # In its own process: mypy's compiled modules keep memory until exit, which a memory checker
    # around the test process would report, and a preloaded checker runtime is not passed on.
    done = subprocess.run([sys.executable, "-m", "mypy", "--config-file", str(config), "--no-error-summary",
                           *(["--strict"] if strict else []), *stubs, *map(str, paths)],
                          capture_output=True, text=True, env=child_environment())
    assert "Traceback" not in done.stderr, done.stderr
    return [line for line in done.stdout.splitlines() if ": error:" in line], done.returncode


# mypy's own imports warn about its dependencies on some interpreters
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_type_checker_reads_the_stubs(tmp_path):
    """A type checker accepts the stubs and a plugin script written against them, and finds misuse."""
    script = tmp_path / "plugin_script.py"
    lines = PLUGIN_SCRIPT.splitlines()
    first_wrong = len(lines) + 1
    script.write_text("\n".join(lines + list(WRONG_USES)) + "\n", encoding="utf-8")

    errors, status = run_mypy(tmp_path, script)
    assert all(line.startswith(str(script)) for line in errors), errors
    reported = {int(line.split(":")[1]) for line in errors}
    assert reported == set(range(first_wrong, first_wrong + len(WRONG_USES))), errors
    for line, expected in zip(range(first_wrong, first_wrong + len(WRONG_USES)), WRONG_USES.values()):
        assert any(f":{line}: error:" in e and expected in e for e in errors), errors
    assert status == 1


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_example_plugin_type_checks_strictly(tmp_path):
    """The example plugin, the model that plugin authors copy, is clean under mypy --strict."""
    errors, status = run_mypy(tmp_path, EXAMPLE_SCRIPT, strict=True)
    assert errors == [] and status == 0
