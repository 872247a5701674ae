"""What a plugin author sees in a Python shell: help() and inspect.signature() on the public API.

The classes are native, so nothing documents them unless the module carries the texts and
signatures itself. Every public class and callable of both modules is walked.
"""

import inspect
import pydoc

import pytest

import QorvelAPI.molstar as molstar
import QorvelAPI.plugins as plugins

# What the interpreter says for a slot or method that brought no docstring of its own.
INHERITED_DOC_STARTS = ("Initialize self.", "Create and return a new object.", "Return str(self).",
                        "Call self as a function.", "An attribute slot", "str(object=")


def own_classes(module, cls):
    """`cls` and the bases that the module defines for it (the viewer's native base class)."""
    return [c for c in cls.__mro__ if c.__module__ == module.__name__]


def public_api():
    """(qualified name, object) for every public class, method and property of both modules."""
    for module in (plugins, molstar):
        for name, cls in vars(module).items():
            if name.startswith("_") or not isinstance(cls, type):
                continue
            yield f"{module.__name__}.{name}", cls
            for defining in own_classes(module, cls):
                for attr, member in vars(defining).items():
                    if attr.startswith("_"):
                        continue
                    if isinstance(member, type):
                        yield f"{module.__name__}.{name}.{attr}", member
                    elif isinstance(member, (staticmethod, classmethod)) or inspect.isroutine(member):
                        yield f"{module.__name__}.{name}.{attr}", getattr(cls, attr)
                    elif inspect.isdatadescriptor(member) and type(member).__name__ in ("getset_descriptor",
                                                                                       "property"):
                        yield f"{module.__name__}.{name}.{attr}", member


PUBLIC_API = dict(public_api())
CALLABLES = {name: obj for name, obj in PUBLIC_API.items() if callable(obj)}


def test_the_walk_reaches_what_authors_use():
    for name in ("QorvelAPI.plugins.PluginBlock.setOutput", "QorvelAPI.plugins.SlurmBlock.Status",
                 "QorvelAPI.plugins.PluginRemote.workDir", "QorvelAPI.plugins.VariableTypes.getTypes",
                 "QorvelAPI.molstar.MolstarAPI.addSphere", "QorvelAPI.molstar.MolstarAPI.mvs"):
        assert name in PUBLIC_API


@pytest.mark.parametrize("name", sorted(PUBLIC_API))
def test_every_public_name_has_its_own_docstring(name):
    obj = PUBLIC_API[name]
    doc = obj.__doc__ if isinstance(obj, type) else inspect.getdoc(obj)
    assert doc and doc.strip(), f"{name} has no docstring"
    assert not doc.startswith(INHERITED_DOC_STARTS), f"{name}: {doc[:40]!r}"
    if isinstance(obj, type):
        assert "__doc__" in vars(obj) and vars(obj)["__doc__"], f"{name} only inherits its docstring"


@pytest.mark.parametrize("name", sorted(CALLABLES))
def test_every_public_callable_has_a_signature(name):
    obj = CALLABLES[name]
    signature = inspect.signature(obj)
    kinds = [p.kind for p in signature.parameters.values() if p.name != "self"]
    # a bare (*args, **kwargs) is what a callable without a declared signature shows
    assert kinds != [inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.VAR_KEYWORD], f"{name}{signature}"


@pytest.mark.parametrize("cls, expected", [
    (plugins.PluginVariable, "(id, name, description, type, defaultValue=None, allowedValues=None, category=None, "
                             "disabled=False, required=False, placeholder=None)"),
    (plugins.PluginBlock, "(name, description, action=None, variables=[], inputs=[], inputGroups=[], outputs=[], "
                          "blockType=base, id=None, externalURL=None)"),
    (plugins.SlurmBlock, "(name, description, initialAction, finalAction, variables=[], inputs=[], inputGroups=[], "
                         "outputs=[], id=None, failOnSlurmError=True, extenrnalURL=None)"),
    (plugins.Plugin, "(id=None, noMetaLoad=False)"),
    (molstar.MolstarAPI, "()"),
])
def test_constructors_show_their_real_parameters(cls, expected):
    signature = inspect.signature(cls)
    assert str(signature) == expected
    if signature.parameters:
        assert help_call_form(cls) == f"{cls.__name__}{expected}"


def help_call_form(cls):
    """The call form that help() puts right under the class line, as one line (from 3.13 on,
    a long one is laid out one parameter per line)."""
    lines = pydoc.render_doc(cls, renderer=pydoc.plaintext).splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(f"class {cls.__name__}(")) + 1
    first = lines[start].removeprefix(" |  ")
    if not first.endswith("("):
        return first
    params = []
    for line in lines[start + 1:]:
        line = line.removeprefix(" |  ").strip()
        if line == ")":
            break
        params.append(line.removesuffix(","))
    return first + ", ".join(params) + ")"


def test_help_reads_as_documentation():
    text = pydoc.render_doc(plugins.PluginBlock, renderer=pydoc.plaintext)
    assert "The base block class for Qorvel blocks. Not to be used directly." in text
    assert "setOutput(self, /, id, value)\n |      Sets the value of an output variable." in text
    # attributes say what they hold, also those whose initial value the class carries
    assert "externalURL\n |      The external URL of the block for documentation purposes." in text
    assert vars(plugins.PluginBlock)["selectedRemote"].__doc__ == (
        "The name of the remote selected for this block in the editor.")
    assert vars(plugins.PluginVariable)["id"].__doc__ == "The ID of the variable."

    text = pydoc.render_doc(molstar.MolstarAPI, renderer=pydoc.plaintext)
    assert "API for interacting with Mol* visualizer inside Qorvel" in text
    assert "focusResidue(self, /, residue, structureLabel=None, chain=None, nearRadius=5)" in text
    assert "nearRadius: The radius around the residue to display nearby residues" in text
