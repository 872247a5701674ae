import json
import logging
import os
import random
import signal
import stat
import shutil
import struct
import tempfile
import time

import pytest

from QorvelAPI.plugins import PluginBlock, PluginConfig, PluginVariable, VariableGroup, VariableList, VariableTypes
from fuzzing import PROFILE
from plugin_support import make_plugin_folder, run_script

# Kill rounds of the save loop: the full count where the randomised tests run in full.
KILL_ROUNDS = 200 if PROFILE == "full" else 40

CONFIG_SCRIPT = """
from QorvelAPI.plugins import *

plugin = Plugin()
path = PluginVariable("path", "Path", "Install path", VariableTypes.STRING, defaultValue="/opt/tool")
threads = PluginVariable("threads", "Threads", "Threads", VariableTypes.INTEGER, defaultValue=4)
limits = VariableGroup("limits", "Limits", "Limits", [
    PluginVariable("low", "Low", "d", VariableTypes.NUMBER, defaultValue=1),
    PluginVariable("high", "High", "d", VariableTypes.NUMBER, defaultValue=9, disabled=True),
])
hosts = VariableList("hosts", "Hosts", "Hosts", [
    PluginVariable("host", "Host", "d", VariableTypes.STRING),
    PluginVariable("port", "Port", "d", VariableTypes.INTEGER, defaultValue=22, disabled=True),
])
paths = PluginConfig("Paths", "Where things are", variables=[path, threads, limits, hosts], id="Paths")
other = PluginConfig("Other", "Other settings", variables=[
    PluginVariable("threads", "Threads", "Threads again", VariableTypes.INTEGER, defaultValue=8),
], id="other")
plugin.addConfig(paths)
plugin.addConfig(other)
"""


@pytest.fixture
def loaded(tmp_path):
    return run_script(make_plugin_folder(tmp_path, script=CONFIG_SCRIPT))


@pytest.fixture
def config_path(tmp_path):
    return str(tmp_path / "settings" / "my_tools.json")


def read(path):
    with open(path, encoding="utf-8") as handle:
        return handle.read()


def test_registration_and_configuration_dictionary(loaded):
    plugin, paths, other = loaded["plugin"], loaded["paths"], loaded["other"]
    assert paths.id == "my_tools.config.paths" and other.id == "my_tools.config.other"
    assert plugin._getConfigs() is plugin._configs and plugin._configs == [paths, other]
    assert plugin._getConfig("my_tools.config.paths") is paths
    with pytest.raises(Exception) as info:
        plugin._getConfig("Paths")
    assert type(info.value) is Exception and str(info.value) == "Config Paths not found."
    with pytest.raises(TypeError, match=r"Argument 'id' has incorrect type \(expected str, got int\)"):
        plugin._getConfig(1)
    config = plugin.config
    assert list(config) == ["path", "threads", "limits", "hosts"]
    assert config == {"path": "/opt/tool", "threads": 8, "limits": {"low": 1, "high": 9}, "hosts": None}
    assert plugin.config is not config
    documents = plugin._configToDict()
    assert [d["id"] for d in documents] == ["my_tools.config.paths", "my_tools.config.other"]
    assert documents == [paths._toDict(), other._toDict()]


def test_add_config_refusals(loaded, caplog):
    plugin, paths = loaded["plugin"], loaded["paths"]
    with caplog.at_level(logging.DEBUG, logger="Qorvel"):
        plugin.addConfig(PluginBlock("Plain", "d", id="plain"))
        plugin.addConfig("paths")
        plugin.addConfig(paths)
    assert not caplog.records
    assert paths.id == "my_tools.config.my_tools.config.paths"
    assert plugin._configs == [paths, loaded["other"]]
    assert plugin._getConfig("my_tools.config.my_tools.config.paths") is paths


def test_create_update_and_save(loaded, config_path, caplog):
    plugin, threads = loaded["plugin"], loaded["threads"]
    os.makedirs(os.path.dirname(config_path))
    with caplog.at_level(logging.DEBUG, logger="Qorvel"):
        plugin._updateConfigs(config_path)  # no file yet: created from the defaults, loaded back
    assert caplog.records[0].getMessage() == f"Creating config file for plugin my_tools at {config_path}"
    text = read(config_path)
    assert text == json.dumps(plugin.config, indent=4) and not text.endswith("\n")
    assert threads.value == 8  # the shared key holds the later block's value and loads into both

    plugin._saveConfig(config_path, {"path": "/srv/tool", "limits": {"low": 5, "high": 50}, "x": "kept",
                                     "hosts": [{"host": "a", "port": 1}, {"host": "b"}]})
    stored = json.loads(read(config_path))
    assert stored["path"] == "/srv/tool" and stored["x"] == "kept" and list(stored)[-1] == "x"
    assert loaded["path"].value == "/srv/tool"
    assert plugin.config["limits"] == {"low": 5, "high": 9}  # a disabled member keeps its value
    assert loaded["hosts"].value == [{"host": "a", "port": 22}, {"host": "b"}]
    plugin._saveConfig(config_path, {"threads": 2})
    assert threads.value == 2 and loaded["other"]._getVariables()[0].value == 2
    assert json.loads(read(config_path))["x"] == "kept"


def test_save_creates_a_missing_file_and_non_ascii_is_escaped(loaded, tmp_path):
    plugin = loaded["plugin"]
    path = str(tmp_path / "config.json")
    plugin._saveConfig(path, {"path": "/données"})
    assert "\\u00e9" in read(path) and loaded["path"].value == "/données"
    plugin._createConfig(path)  # whole rewrite from the current values drops unknown keys
    assert json.loads(read(path)) == plugin.config


def test_corrupt_file_is_set_aside(loaded, tmp_path, caplog):
    plugin = loaded["plugin"]
    path = str(tmp_path / "config.json")
    plugin._saveConfig(path, {"path": "/kept/in/memory"})
    with open(path, "w", encoding="utf-8") as handle:
        handle.write("{broken")
    with caplog.at_level(logging.ERROR, logger="Qorvel"):
        plugin._updateConfigs(path)
    assert read(path + ".bak") == "{broken"
    assert json.loads(read(path)) == plugin.config and loaded["path"].value == "/kept/in/memory"
    assert caplog.records[-1].getMessage() == (
        f"Error reading config file {path}.The config file has been moved to {path}.bak and a new config file "
        "has been created")
    with open(path, "w", encoding="utf-8") as handle:
        handle.write("second corruption")
    plugin._updateConfigs(path)
    assert read(path + ".bak") == "second corruption"


def test_save_stores_any_json_value_as_json_stores_it(loaded, tmp_path):
    plugin, path = loaded["plugin"], str(tmp_path / "config.json")
    limits = type("Limits", (dict,), {})(low=3)
    plugin._saveConfig(path, {"hosts": ({"host": "a", "port": 5},), "limits": limits, "x": (1, 2)})
    assert json.loads(read(path))["hosts"] == [{"host": "a", "port": 5}] and json.loads(read(path))["x"] == [1, 2]
    assert plugin.config["hosts"] == [{"host": "a", "port": 22}] and plugin.config["limits"] == {"low": 3, "high": 9}


def test_save_with_a_corrupt_file_changes_nothing(loaded, tmp_path):
    plugin = loaded["plugin"]
    path = str(tmp_path / "config.json")
    with open(path, "w", encoding="utf-8") as handle:
        handle.write("{broken")
    with pytest.raises(json.JSONDecodeError):
        plugin._saveConfig(path, {"path": "/new"})
    assert read(path) == "{broken" and loaded["path"].value == "/opt/tool"
    assert not os.path.exists(path + ".bak")


@pytest.mark.parametrize("content", ["[1, 2]", '"text"', "3"])
def test_json_that_is_not_an_object_is_refused(loaded, tmp_path, content):
    plugin = loaded["plugin"]
    path = str(tmp_path / "config.json")
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(content)
    for operation in (lambda: plugin._updateConfigs(path), lambda: plugin._saveConfig(path, {"path": "/x"})):
        with pytest.raises(TypeError, match=r"^Expected dict, got "):
            operation()
    assert read(path) == content


@pytest.mark.parametrize("values, error", [
    ({"limits": None}, TypeError),
    ({"hosts": {"host": "a"}}, TypeError),
    ({"hosts": [{"host": "a"}, None]}, AttributeError),
])
def test_a_group_or_list_value_of_the_wrong_shape_changes_nothing(loaded, tmp_path, values, error):
    plugin, path = loaded["plugin"], str(tmp_path / "config.json")
    plugin._saveConfig(path, {"path": "/saved", "threads": 2})
    before = read(path)
    # Refused by a save: the file keeps loading, with its previous content.
    with pytest.raises(error):
        plugin._saveConfig(path, dict(values, path="/refused"))
    assert read(path) == before
    plugin._updateConfigs(path)
    assert loaded["path"].value == "/saved"
    # Refused by a load (a file edited by hand): no variable takes a value from it.
    with open(path, "w", encoding="utf-8") as handle:
        json.dump(dict(json.loads(before), path="/edited", **values), handle)
    with pytest.raises(error):
        plugin._updateConfigs(path)
    assert loaded["path"].value == "/saved" and plugin.config["threads"] == 2


def test_runtime_errors_propagate_and_leave_the_file(loaded, tmp_path):
    plugin = loaded["plugin"]
    with pytest.raises(IsADirectoryError):
        plugin._createConfig(str(tmp_path))
    with pytest.raises(FileNotFoundError) as info:
        plugin._createConfig(str(tmp_path / "missing" / "config.json"))
    assert info.value.filename == str(tmp_path / "missing" / "config.json")
    path = str(tmp_path / "config.json")
    with open(path, "wb") as handle:
        handle.write(b'{"path": "\xff"}')
    with pytest.raises(UnicodeDecodeError):
        plugin._updateConfigs(path)
    plugin._saveConfig(path.replace("config", "good"), {})
    good = path.replace("config", "good")
    before = read(good)
    with pytest.raises(TypeError):
        plugin._saveConfig(good, {"path": object()})  # not JSON: the old file stays whole
    assert read(good) == before
    with pytest.raises(TypeError, match="Argument 'valuesToSave' has incorrect type"):
        plugin._saveConfig(good, [("path", "x")])
    with pytest.raises(TypeError, match="Argument 'configPath' has incorrect type"):
        plugin._createConfig(None)


def test_plugin_without_configuration_touches_no_file(tmp_path):
    plugin = run_script(make_plugin_folder(tmp_path))["plugin"]
    path = str(tmp_path / "config.json")
    assert plugin.config == {} and plugin._configToDict() == []
    plugin._createConfig(path)
    plugin._updateConfigs(path)
    plugin._saveConfig(path, {"a": 1})
    assert not os.path.exists(path)


def test_rewrite_keeps_permissions_and_symbolic_links(loaded, tmp_path):
    plugin = loaded["plugin"]
    real = tmp_path / "real.json"
    link = tmp_path / "link.json"
    plugin._createConfig(str(real))
    os.chmod(real, 0o640)
    link.symlink_to(real)
    plugin._saveConfig(str(link), {"path": "/via/link"})
    assert link.is_symlink() and json.loads(read(str(real)))["path"] == "/via/link"
    assert stat.S_IMODE(os.stat(real).st_mode) == 0o640
    assert sorted(os.listdir(tmp_path)) == sorted(["link.json", "real.json", "plug"])


def in_unprivileged_child(scenario):
    """Runs scenario() in a forked child that cannot override file permissions; returns its JSON result."""
    reader, writer = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(reader)
            if os.geteuid() == 0:
                os.setgroups([])
                os.setgid(65534)
                os.setuid(65534)
            os.write(writer, json.dumps(scenario()).encode())
            os._exit(0)
        finally:
            os._exit(1)
    os.close(writer)
    with os.fdopen(reader, "rb") as handle:
        data = handle.read()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    return json.loads(data)


def test_write_protected_file_is_refused_and_left_alone(loaded):
    """A file the user may not write fails with PermissionError, as opening it for writing does,
    even though its folder would allow replacing it."""
    plugin = loaded["plugin"]
    folder = tempfile.mkdtemp()  # reachable for the unprivileged child, unlike tmp_path
    try:
        path = os.path.join(folder, "config.json")
        with open(path, "w", encoding="utf-8") as handle:
            handle.write('{"path": "/locked"}')
        os.chmod(path, 0o444)
        if os.geteuid() == 0:
            for owned in (folder, path):
                os.chown(owned, 65534, 65534)

        def outcome(operation, *args):
            try:
                operation(*args)
            except OSError as error:
                return [type(error).__name__, error.filename]
            return "written"

        result = in_unprivileged_child(lambda: [
            outcome(plugin._saveConfig, path, {"path": "/new"}),
            outcome(plugin._createConfig, path),
            plugin.config["path"],
        ])
        assert result == [["PermissionError", path], ["PermissionError", path], "/opt/tool"]
        assert read(path) == '{"path": "/locked"}' and os.listdir(folder) == ["config.json"]
    finally:
        shutil.rmtree(folder)


def test_killed_while_saving_never_loses_the_file_or_a_saved_value(loaded, tmp_path):
    """SIGKILL at random moments of a save loop: the file always loads and holds every acknowledged save.
    A peer process saves another key all along: a saver killed while it holds the save lock
    releases it, and the peer's acknowledged saves are never overwritten."""
    plugin = loaded["plugin"]
    path = str(tmp_path / "config.json")
    plugin._createConfig(path)
    payload = "x" * 200_000  # large enough that a kill often lands inside a write
    rng = random.Random(20261208)
    started = time.perf_counter()
    plugin._saveConfig(path, {"path": f"-1:{payload}", "counter": -1})
    save_seconds = time.perf_counter() - started
    acknowledged = -1
    killed_inside_a_write = 0
    peer_reader, peer_writer = os.pipe()
    peer = os.fork()
    if peer == 0:
        try:
            os.close(peer_reader)
            for counter in range(10**9):
                plugin._saveConfig(path, {"peer": counter})
                os.write(peer_writer, struct.pack("<q", counter))
        finally:
            os._exit(1)
    os.close(peer_writer)

    def own_temporaries(pid):
        return [name for name in os.listdir(tmp_path) if name.startswith(f".config.json.{pid}.")]

    for round_number in range(KILL_ROUNDS):
        reader, writer = os.pipe()
        pid = os.fork()
        if pid == 0:  # child: save forever, acknowledging each save that returned
            try:
                os.close(reader)
                counter = acknowledged + 1
                while True:
                    plugin._saveConfig(path, {"path": f"{counter}:{payload}", "counter": counter})
                    os.write(writer, struct.pack("<q", counter))
                    counter += 1
            finally:
                os._exit(1)
        os.close(writer)
        # Wait for a random number of acknowledgements (possibly none), then kill at a random
        # moment of the next save (measured saves set the scale, so slow builds are hit too).
        # Every other round kills as soon as the save's temporary file shows: the write is a
        # small part of a save, and random moments alone can miss it on a busy machine.
        for _ in range(rng.randrange(3)):
            record = os.read(reader, 8)
            if len(record) < 8:
                break
            acknowledged = max(acknowledged, struct.unpack("<q", record)[0])
        if round_number % 2:
            deadline = time.monotonic() + 5
            while time.monotonic() < deadline and not own_temporaries(pid):
                pass
        else:
            time.sleep(rng.uniform(0, save_seconds))
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        temporary = own_temporaries(pid)
        assert all(name.endswith(".tmp") for name in temporary)
        killed_inside_a_write += bool(temporary)
        data = b""
        while chunk := os.read(reader, 65536):
            data += chunk
        os.close(reader)
        records = [struct.unpack_from("<q", data, i)[0] for i in range(0, len(data) - len(data) % 8, 8)]
        if records:
            acknowledged = max(acknowledged, records[-1])
        stored = json.loads(read(path))
        counter = stored.get("counter", -1)
        assert counter >= acknowledged
        if counter >= 0:
            assert stored["path"] == f"{counter}:{payload}"
        acknowledged = max(acknowledged, counter)
    os.kill(peer, signal.SIGKILL)
    os.waitpid(peer, 0)
    with os.fdopen(peer_reader, "rb") as handle:
        data = handle.read()
    peer_saves = [struct.unpack_from("<q", data, i)[0] for i in range(0, len(data) - len(data) % 8, 8)]
    assert peer_saves and json.loads(read(path))["peer"] >= peer_saves[-1]
    plugin._updateConfigs(path)
    assert not os.path.exists(path + ".bak")
    assert acknowledged > 0
    # Kills that landed inside a write leave their unfinished temporary file behind (later saves
    # remove old ones), never a damaged configuration file: the loop did hit writes in progress.
    assert killed_inside_a_write > 0
    # Once they are old, the next save removes the leftovers of writers that no longer run.
    leftovers = [name for name in os.listdir(tmp_path) if name.startswith(".config.json.")]
    for name in leftovers:
        os.utime(tmp_path / name, (1, 1))
    plugin._saveConfig(path, {})
    assert [name for name in os.listdir(tmp_path) if name.startswith(".config.json.")] == []


def test_two_processes_saving_different_keys_lose_no_value(loaded, tmp_path):
    plugin = loaded["plugin"]
    path = str(tmp_path / "config.json")
    plugin._createConfig(path)
    pids = []
    for key in ("a", "b"):
        pid = os.fork()
        if pid == 0:
            try:
                for i in range(1, 301):
                    plugin._saveConfig(path, {key: i})
                os._exit(0)
            finally:
                os._exit(1)
        pids.append(pid)
    assert [os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) for pid in pids] == [0, 0]
    stored = json.loads(read(path))
    assert (stored["a"], stored["b"]) == (300, 300)


def test_a_save_that_could_only_rewrite_in_place_is_refused(loaded):
    """A writable file in a folder that takes no new file: an in-place rewrite killed midway would
    leave a truncated file, so the save is refused with PermissionError naming the folder."""
    plugin = loaded["plugin"]
    folder = tempfile.mkdtemp()
    try:
        path = os.path.join(folder, "config.json")
        plugin._createConfig(path)
        before = read(path)
        os.chmod(folder, 0o555)
        if os.geteuid() == 0:
            os.chown(path, 65534, 65534)

        def save():
            try:
                plugin._saveConfig(path, {"path": "/new"})
            except PermissionError as error:
                return [error.filename, str(error)]
            return "written"

        filename, message = in_unprivileged_child(save)
        assert filename == folder and "folder is not writable" in message and repr(path) in message
        assert read(path) == before and os.listdir(folder) == ["config.json"]
    finally:
        os.chmod(folder, 0o755)
        shutil.rmtree(folder)
