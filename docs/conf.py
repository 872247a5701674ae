"""The documentation site: `make docs` builds it with Sphinx into build/docs/.

The reference is generated from the built extensions (their docstrings and text signatures); the
parameter and return types come from the stubs next to them (python/QorvelAPI/*.pyi), read here
with `ast` and put into the signatures that autodoc shows. The value-shape page is generated from
the local host's table of variable types (`host_type_table`).
"""

from __future__ import annotations

import ast
import enum
import inspect
import os
import sys
from pathlib import Path

from docutils import nodes
from docutils.parsers.rst import Directive
from sphinx.ext.autodoc import AttributeDocumenter, Options
from sphinx.util.docstrings import prepare_docstring

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "python" / "QorvelAPI"
sys.path.insert(0, str(ROOT / "python"))
# The notebook's kernel is another process: it finds the package the same way.
os.environ["PYDEVD_DISABLE_FILE_VALIDATION"] = "1"  # the kernel would warn that it runs frozen modules
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT / "python"), os.environ.get("PYTHONPATH")]))

project = "QorvelAPI"
author = "The Qorvel developers"
copyright = "the Qorvel developers"  # noqa: A001 - the name Sphinx reads
extensions = ["sphinx.ext.autodoc", "sphinx.ext.napoleon", "myst_parser", "nbsphinx"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "**.ipynb_checkpoints"]
html_theme = "furo"
html_title = "QorvelAPI"
html_static_path: list = []
myst_heading_anchors = 3
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
# Slots that give the class a value read as that value, so autodoc would take them for undocumented.
autodoc_default_options = {"members": True, "undoc-members": True, "show-inheritance": True}
napoleon_google_docstring = True
napoleon_numpy_docstring = False
# Attributes sections as fields: the attributes are documented as members too.
napoleon_use_ivar = True
# The notebook runs on every build; a cell that fails fails the build.
nbsphinx_execute = os.environ.get("QORVEL_DOCS_EXECUTE", "always")  # the site tests skip it: "never"
nbsphinx_allow_errors = False
nbsphinx_timeout = 600
# The site loads nothing from other sites: no widget or require.js scripts (the notebook has neither).
nbsphinx_requirejs_path = ""
nbsphinx_widgets_path = ""
nbsphinx_assume_equations = False  # MathJax would come from a CDN; the notebook has no equations
# The module's own docstring is the page's introduction; its members are documented one by one.
suppress_warnings = ["myst.header"]


# -- types from the stubs ----------------------------------------------------------------------

def _stub_classes(path: Path) -> dict[str, ast.ClassDef]:
    tree = ast.parse(path.read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def _class_members(name: str, classes: dict[str, ast.ClassDef]) -> dict[str, ast.AST]:
    """The stub's definitions of a class by member name, its stub bases' included (nearest wins)."""
    members: dict[str, ast.AST] = {}
    node = classes.get(name)
    if node is None:
        return members
    for base in reversed(node.bases):
        if isinstance(base, ast.Name):
            members.update(_class_members(base.id, classes))
    for item, after in zip(node.body, node.body[1:] + [None]):
        if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
            members[item.name] = item
        elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
            members[item.target.id] = item
            if isinstance(after, ast.Expr) and isinstance(after.value, ast.Constant):
                item.docstring = after.value.value  # the text under an attribute documents it
    return members


def stub_members() -> dict[str, ast.AST]:
    """Every stub definition by qualified name: "QorvelAPI.plugins.PluginBlock.setOutput"."""
    found: dict[str, ast.AST] = {}
    for stub in sorted(PACKAGE.glob("*.pyi")):
        module = f"QorvelAPI.{stub.stem}"
        classes = _stub_classes(stub)
        for name in classes:
            for member, node in _class_members(name, classes).items():
                found[f"{module}.{name}.{member}"] = node
    return found


STUBS = stub_members()


class _Annotation:
    """An annotation that prints as the stub wrote it."""

    def __init__(self, text: str):
        self.text = text

    def __repr__(self) -> str:
        return self.text


def _stub_function(qualified: str, is_class: bool) -> ast.FunctionDef | None:
    node = STUBS.get(f"{qualified}.__init__" if is_class else qualified)
    return node if isinstance(node, ast.FunctionDef) else None


def _typed_signature(obj, stub: ast.FunctionDef, is_class: bool) -> tuple[str, str | None] | None:
    """The object's own signature (names, kinds, defaults) with the stub's annotations."""
    try:
        signature = inspect.signature(obj)
    except (TypeError, ValueError):
        return None
    stub_args = stub.args.posonlyargs + stub.args.args + stub.args.kwonlyargs
    annotations = {a.arg: ast.unparse(a.annotation) for a in stub_args if a.annotation is not None}
    for extra in (stub.args.vararg, stub.args.kwarg):
        if extra is not None and extra.annotation is not None:
            annotations[extra.arg] = ast.unparse(extra.annotation)
    parameters = list(signature.parameters.values())
    if parameters and parameters[0].name == "self" and not is_class:
        parameters = parameters[1:]
    typed = [p.replace(annotation=_Annotation(annotations[p.name])) if p.name in annotations else p
             for p in parameters]
    text = str(signature.replace(parameters=typed, return_annotation=inspect.Signature.empty))
    returns = None if is_class or stub.returns is None else ast.unparse(stub.returns)
    return text, returns


def add_stub_types(app, what, name, obj, options, signature, return_annotation):
    if not name.startswith("QorvelAPI.") or name.startswith("QorvelAPI.devhost"):
        return None
    if isinstance(obj, type) and issubclass(obj, enum.Enum):
        return "", None  # an enumeration is read, not called
    stub = _stub_function(name, what in ("class", "exception"))
    if stub is None:
        return None
    return _typed_signature(obj, stub, what in ("class", "exception"))


def _raw_member(parent, name: str):
    """The member as the class defines it (a slot's descriptor, not the value it gives the class)."""
    for cls in getattr(parent, "__mro__", ()):
        if name in vars(cls):
            return vars(cls)[name]
    return None


def _documented_descriptor(member) -> bool:
    doc = getattr(member, "__doc__", None)
    return hasattr(type(member), "__get__") and bool(doc) and doc != type(member).__doc__ and \
        not callable(member)


def _is_native_attribute(parent, name: str) -> bool:
    module = getattr(parent, "__module__", "")
    return module in ("QorvelAPI.plugins", "QorvelAPI.molstar") and not name.startswith("_") and \
        f"{module}.{parent.__name__}.{name}" in STUBS


class StubTypedAttributeDocumenter(AttributeDocumenter):
    """Attributes and properties of the native classes, with the type the stub gives them."""

    priority = AttributeDocumenter.priority + 1

    def import_object(self, raiseerror: bool = False) -> bool:
        imported = super().import_object(raiseerror)
        if imported and _is_native_attribute(self.parent, self.objpath[-1]):
            raw = _raw_member(self.parent, self.objpath[-1])
            if _documented_descriptor(raw):
                self.object = raw
                self.options = Options(self.options, **{"no-value": True})  # its value is per object
        return imported

    def get_doc(self, *args, **kwargs):
        own = self.object.__doc__ if _documented_descriptor(self.object) else None
        stub = getattr(STUBS.get(self.fullname), "docstring", None)
        if own:
            return [prepare_docstring(own)]
        if stub:  # a plain class value carries no text of its own
            return [prepare_docstring(stub)]
        return super().get_doc(*args, **kwargs)

    def add_directive_header(self, sig: str) -> None:
        super().add_directive_header(sig)
        node = STUBS.get(self.fullname)
        annotation = None
        if isinstance(node, ast.AnnAssign):
            annotation = ast.unparse(node.annotation)
        elif isinstance(node, ast.FunctionDef) and node.returns is not None:
            annotation = ast.unparse(node.returns)
        written = "\n".join(self.directive.result)
        if annotation and ":type:" not in written.rsplit(".. py:", 1)[-1]:
            self.add_line(f"   :type: {annotation}", self.get_sourcename())


# -- the local host's table of variable types ---------------------------------------------------

def host_type_table() -> list[dict[str, str]]:
    """One row per variable type: its VariableTypes member, its text, its value and its control,
    from the local host's one table of types (``QorvelAPI.devhost.vartypes``)."""
    from QorvelAPI.devhost.vartypes import lookup
    from QorvelAPI.plugins import VariableTypes

    rows = []
    for member in VariableTypes:
        entry = lookup(str(member.value))
        rows.append({"member": f"VariableTypes.{member.name}", "type": entry.text, "value": entry.help,
                     "control": CONTROLS.get(entry.control, entry.control)})
    return rows


# How the serve page shows each control of the type table.
CONTROLS = {"text": "text field", "textarea": "text area", "number": "number field", "switch": "switch",
            "select": "select (text field without allowed values)", "radio": "radio buttons",
            "checkboxes": "one box per allowed value (a switch without them)", "group": "fieldset of its members",
            "rows": "table of rows with Add row", "json": "JSON text"}


class ValueTypesDirective(Directive):
    """The table of variable types and their values (``value-types`` directive).

    The table is built as document nodes, so that it reads the same from a Markdown page."""

    COLUMNS = (("member", "member", True, 22), ("type", "type", True, 18), ("value", "value", False, 40),
               ("control", "control in serve", False, 20))

    def run(self):
        group = nodes.tgroup(cols=len(self.COLUMNS))
        group += [nodes.colspec(colwidth=width) for *_, width in self.COLUMNS]
        group += nodes.thead("", self._row(title for _, title, _, _ in self.COLUMNS))
        body = nodes.tbody()
        for entry in host_type_table():
            body += self._row((entry[key] for key, *_ in self.COLUMNS),
                              [code for _, _, code, _ in self.COLUMNS])
        group += body
        return [nodes.table("", group)]

    @staticmethod
    def _row(texts, code=None):
        row = nodes.row()
        for index, text in enumerate(texts):
            inline = nodes.literal(text, text) if code and code[index] else nodes.Text(text)
            row += nodes.entry("", nodes.paragraph("", "", inline))
        return row


def setup(app):
    app.connect("autodoc-process-signature", add_stub_types)
    app.add_autodocumenter(StubTypedAttributeDocumenter, override=True)
    app.add_directive("value-types", ValueTypesDirective)
    return {"parallel_read_safe": True}
