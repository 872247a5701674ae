"""The documentation site: its reference names the whole public API, and its internal links hold."""

import sys

import pytest

import QorvelAPI.molstar as molstar
import QorvelAPI.plugins as plugins
from QorvelAPI.devhost import PluginHost
from docs_support import ROOT, built_site, tools_missing

sys.path.insert(0, str(ROOT / "scripts"))
import check_links  # noqa: E402 - the script beside the Makefile

pytestmark = pytest.mark.skipif(tools_missing() is not None, reason=str(tools_missing()))


def _from_pydantic(cls, attr):
    """What pydantic's own model class has, such as pydantic 2's ``model_config``, which its
    metaclass writes into every model: pydantic documents it, not this reference."""
    import pydantic  # noqa: PLC0415

    return isinstance(cls, type) and issubclass(cls, pydantic.BaseModel) and hasattr(pydantic.BaseModel, attr)


def public_names():
    for module in (plugins, molstar):
        for name, value in vars(module).items():
            if name.startswith("_"):
                continue
            yield f"{module.__name__}.{name}"
            # a class's own members, and those of the module's private bases it is documented with
            for cls in value.__mro__ if isinstance(value, type) else ():
                if cls is value or (cls.__module__ == module.__name__ and cls.__name__.startswith("_")):
                    yield from (f"{module.__name__}.{name}.{attr}" for attr in vars(cls)
                                if not attr.startswith("_") and not _from_pydantic(value, attr))
    yield from (f"QorvelAPI.devhost.PluginHost.{attr}" for attr in vars(PluginHost) if not attr.startswith("_"))


def test_the_reference_names_every_public_name():
    site = built_site()
    pages = "".join(path.read_text(encoding="utf-8") for path in (site / "reference").glob("*.html"))
    names = sorted(set(public_names()))
    assert "QorvelAPI.plugins.PluginBlock.setOutput" in names and "QorvelAPI.devhost.PluginHost.flow" in names
    missing = [name for name in names if f'id="{name}"' not in pages]
    assert not missing, f"not in the reference: {missing}"


def test_internal_links_hold_and_a_broken_one_is_found(tmp_path):
    assert check_links.broken_links(built_site()) == []
    (tmp_path / "a.html").write_text('<a id="top" href="b.html#gone">b</a><a href="a.html#top">me</a>'
                                     '<a href="missing.html">x</a><a href="https://example.org/">out</a>')
    (tmp_path / "b.html").write_text('<p id="here">b</p>')
    assert check_links.broken_links(tmp_path) == ["a.html: b.html#gone: no anchor 'gone'",
                                                  "a.html: missing.html: no such file"]


def test_the_value_shapes_page_has_every_type_and_each_checked_type_its_own_shape():
    sys.path.insert(0, str(ROOT / "docs"))
    import conf  # noqa: PLC0415 - the site's configuration, where the table is read
    from QorvelAPI.devhost.vartypes import TYPES

    rows = {row["type"]: row for row in conf.host_type_table()}
    assert set(rows) == {member.value for member in plugins.VariableTypes}
    checked = {text for text, entry in TYPES.items() if entry.rule != "plain" or entry.expected}
    assert all(rows[kind]["value"] != "stored as given" for kind in checked)
    assert rows["file"]["control"] == "text field" and rows["_list"]["value"].startswith("a JSON list of rows")
    page = (built_site() / "howto" / "value-shapes.html").read_text(encoding="utf-8")
    assert all(f"VariableTypes.{member.name}" in page for member in plugins.VariableTypes)
