import base64
import json
import logging
import os

import pydantic
import pytest

from QorvelAPI.plugins import Plugin, PluginMetaModel
from plugin_support import META, make_plugin_folder, run_script


def load(tmp_path, meta=META, **kwargs):
    folder = make_plugin_folder(tmp_path, meta=meta, **kwargs)
    return run_script(folder)["plugin"], folder


def meta_with(**changes):
    meta = dict(META)
    for key, value in changes.items():
        if value is ...:
            meta.pop(key, None)
        else:
            meta[key] = value
    return meta


def test_model_is_a_pydantic_model_with_the_fields_in_order():
    assert issubclass(PluginMetaModel, pydantic.BaseModel)
    assert PluginMetaModel.__doc__ == "The metadata of a plugin"
    fields = getattr(PluginMetaModel, "model_fields", None) or PluginMetaModel.__fields__
    assert list(fields) == ["id", "name", "description", "author", "version", "pluginFile", "minQorvelVersion",
                            "maxQorvelVersion", "platforms", "externalURL", "dependencies"]


def test_load_fills_meta_identifier_and_defaults(tmp_path, caplog):
    with caplog.at_level(logging.DEBUG):
        plugin, folder = load(tmp_path)
    meta = plugin.pluginMeta
    assert isinstance(meta, PluginMetaModel)
    assert plugin.id == "my_tools" and meta.id == "my_tools" and str(plugin) == "my_tools"
    assert (meta.name, meta.version, meta.pluginFile) == ("My tools", "1.0.0", "main.py")
    assert meta.minQorvelVersion is None and meta.maxQorvelVersion is None and meta.externalURL is None
    assert meta.platforms == ["universal"] and meta.dependencies == []
    assert plugin.logo is None and plugin._path == str(folder) and plugin._filename == "main.py"
    records = [r for r in caplog.records if r.msg == "Assigned ID '%s' to plugin '%s'"]
    assert len(records) == 1
    assert records[0].name == "root" and records[0].levelno == logging.DEBUG
    assert records[0].args == ("my_tools", "My tools")


def test_defaults_are_not_shared_between_loads(tmp_path):
    first, _ = load(tmp_path / "a")
    second, _ = load(tmp_path / "b")
    first.pluginMeta.dependencies.append("numpy")
    first.pluginMeta.platforms.append("linux")
    assert second.pluginMeta.dependencies == [] and second.pluginMeta.platforms == ["universal"]


@pytest.mark.parametrize(
    "raw, expected",
    [("A.B C", "a_b_c"), ("Docking-Suite 2.1", "docking_suite_2_1"), ("Café", "caf_"), ("a__b", "a__b"),
     ("\u212aelvin", "kelvin")],
)
def test_identifier_normalisation(tmp_path, raw, expected):
    plugin, _ = load(tmp_path, meta=meta_with(id=raw))
    assert plugin.id == expected and plugin.pluginMeta.id == expected


@pytest.mark.parametrize(
    "platforms, expected",
    [(..., ["universal"]), (None, None), (["linux", "macos_arm"], ["linux", "macos_arm"]), ([], []),
     (["macos_intel", "universal"], ["macos_intel", "universal"])],
)
def test_platforms_vocabulary(tmp_path, platforms, expected):
    plugin, _ = load(tmp_path, meta=meta_with(platforms=platforms))
    assert plugin.pluginMeta.platforms == expected


def test_optional_fields_and_unknown_keys(tmp_path):
    meta = meta_with(minQorvelVersion="1.0", maxQorvelVersion=None, externalURL="https://example.org",
                     dependencies=["numpy"], somethingElse=3)
    plugin, _ = load(tmp_path, meta=meta)
    assert plugin.pluginMeta.minQorvelVersion == "1.0" and plugin.pluginMeta.maxQorvelVersion is None
    assert plugin.pluginMeta.externalURL == "https://example.org" and plugin.pluginMeta.dependencies == ["numpy"]
    assert not hasattr(plugin.pluginMeta, "somethingElse")


def wrapped_error(folder):
    from QorvelAPI.plugins import Plugin

    plugin = Plugin.__new__(Plugin)
    plugin._path = str(folder)
    with pytest.raises(Exception) as info:
        plugin.loadPluginMeta()
    return plugin, info.value


@pytest.mark.parametrize(
    "meta",
    [
        "{not json",
        json.dumps([META]),
        json.dumps("just text"),
        json.dumps(meta_with(platforms=["windows"])),
        json.dumps(meta_with(author=...)),
        json.dumps(meta_with(name={"a": 1})),
        json.dumps(meta_with(version=None)),
        json.dumps(meta_with(dependencies=[["x"]])),
    ],
)
def test_invalid_files_give_the_wrapped_and_chained_error(tmp_path, meta):
    folder = make_plugin_folder(tmp_path, meta=meta, script="")
    _, error = wrapped_error(folder)
    meta_path = os.path.join(str(folder), "plugin.meta")
    assert type(error) is Exception
    assert str(error).startswith(f"Error loading plugin.meta file ({meta_path}): ")
    assert error.__cause__ is not None and str(error) == f"Error loading plugin.meta file ({meta_path}): {error.__cause__}"


def test_text_that_is_not_utf8_and_a_folder_named_plugin_meta(tmp_path):
    folder = make_plugin_folder(tmp_path / "a", meta=None, script="")
    (folder / "plugin.meta").write_bytes(b'{"id": "\xff"}')
    _, error = wrapped_error(folder)
    assert isinstance(error.__cause__, UnicodeDecodeError)
    folder = make_plugin_folder(tmp_path / "b", meta=None, script="")
    (folder / "plugin.meta").mkdir()
    _, error = wrapped_error(folder)
    assert str(error).startswith("Error loading plugin.meta file (") and isinstance(error.__cause__, OSError)


def test_missing_file_is_reported_and_nothing_changes(tmp_path):
    folder = make_plugin_folder(tmp_path, meta=None, script="")
    plugin, error = wrapped_error(folder)
    assert type(error) is Exception
    assert str(error) == f"plugin.meta file not found at '{os.path.join(str(folder), 'plugin.meta')}'."
    assert not hasattr(plugin, "pluginMeta")
    with pytest.raises(Exception, match="plugin.meta file not found"):
        run_script(make_plugin_folder(tmp_path / "c", meta=None))


def test_failure_after_validation_keeps_the_new_model(tmp_path):
    plugin, folder = load(tmp_path)
    (folder / "plugin.meta").write_text(json.dumps(meta_with(id="Second")), encoding="utf-8")
    plugin.loadPluginMeta()
    assert plugin.id == "second"
    (folder / "plugin.meta").write_text("[]", encoding="utf-8")
    with pytest.raises(Exception, match="Error loading plugin.meta"):
        plugin.loadPluginMeta()
    assert plugin.id == "second" and plugin.pluginMeta.id == "second"


def test_logo_as_data_url_and_reload(tmp_path):
    png = b"\x89PNG\r\n\x1a\n" + bytes(range(256))
    plugin, folder = load(tmp_path, logo=png)
    assert plugin.logo == "data:image/png;base64," + base64.b64encode(png).decode("ascii")
    assert "\n" not in plugin.logo
    (folder / "logo.png").unlink()
    plugin.loadPluginMeta()
    assert plugin.logo.endswith(base64.b64encode(png).decode("ascii"))  # kept: no file, no change
    (folder / "logo.png").write_bytes(b"")
    plugin.loadPluginMeta()
    assert plugin.logo == "data:image/png;base64,"
    assert Plugin.logo is None and Plugin.default is False


def test_unreadable_logo_is_not_wrapped(tmp_path):
    folder = make_plugin_folder(tmp_path, script="")
    (folder / "logo.png").mkdir()
    plugin, error = None, None
    plugin = Plugin.__new__(Plugin)
    plugin._path = str(folder)
    with pytest.raises(OSError):
        plugin.loadPluginMeta()
    assert plugin.id == "my_tools"


def test_interrupts_are_not_wrapped(tmp_path, monkeypatch):
    folder = make_plugin_folder(tmp_path, script="")
    plugin = Plugin.__new__(Plugin)
    plugin._path = str(folder)

    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(PluginMetaModel, "model_validate_json" if hasattr(PluginMetaModel, "model_validate_json")
                        else "parse_raw", interrupted)
    with pytest.raises(KeyboardInterrupt):
        plugin.loadPluginMeta()
