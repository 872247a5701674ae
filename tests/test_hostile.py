"""Deleted slots, long chains, threads sharing a block, and plugin folder files that are not
regular files: each ends in an ordinary exception or a normal result, never a crash or a hang."""
import os
import pathlib
import subprocess
import sys
import textwrap
import threading

import pytest

from QorvelAPI.plugins import (BlockConnection, BlockVarPair, PluginBlock, PluginRemote, PluginVariable,
                               VariableTypes)
import fuzzing
from plugin_support import make_plugin_folder, run_script


def _block():
    return PluginBlock("b", "d", variables=[PluginVariable("v", "n", "d", VariableTypes.STRING)], id="b")


def _connection():
    return BlockConnection(BlockVarPair(1, "b", "v", "string"), BlockVarPair(2, "c", "w", "string"), False)


class _HostRemote:
    cd = staticmethod(lambda path: None)


MINIMAL = ["_variables", "extraData", "_position", "_variableConnections"]


@pytest.mark.parametrize("make, slot, operation", [
    (_block, slot, operation) for slot in MINIMAL + ["_outputs", "TYPE", "name"]
    for operation in [PluginBlock._toDict, str] + [PluginBlock._minimalEncode] * (slot in MINIMAL)
] + [
    (lambda: PluginVariable("v", "n", "d", VariableTypes.STRING), slot, operation)
    for slot in ["id", "value", "type", "placeholder"] for operation in [PluginVariable.toDict, str]
] + [
    (_connection, "cycles", str), (lambda: BlockVarPair(1, "b", "v", "string"), "blockID", str),
    (lambda: PluginRemote(_HostRemote()), "_remote", lambda remote: remote.sendData("a", "~/b")),
])
def test_a_deleted_slot_raises_the_interpreters_attribute_error(make, slot, operation):
    obj = make()
    delattr(obj, slot)
    with pytest.raises(AttributeError) as read:
        getattr(obj, slot)
    with pytest.raises(AttributeError) as used:
        operation(obj)
    assert str(used.value) == str(read.value)


# The quick profile caps the child's C stack at 1 MiB and builds chains an eighth as long: as far
# past that stack as a million links are past the usual 8 MiB one, for an eighth of the time.
QUICK_STACK = 1 << 20


def test_chains_of_a_million_objects_through_each_slot_kind_are_freed():
    quick = fuzzing.PROFILE == "quick"
    length = int(os.environ.get("QORVEL_CHAIN_LENGTH", 10**6 // 8 if quick else 10**6))
    cap = f"resource.setrlimit(resource.RLIMIT_STACK, ({QUICK_STACK}, resource.getrlimit(resource.RLIMIT_STACK)[1]))"
    script = textwrap.dedent(f"""
        import gc, resource
        {cap if quick else ""}
        from QorvelAPI.plugins import *
        from QorvelAPI.molstar import MolstarAPI
        gc.disable()  # building a million tracked objects, not collecting them, is what is measured
        links = [(PluginBlock, "flow"), (PluginBlock, "remote"), (PluginRemote, "_remote"), (PluginPage, "hidden"),
                 (PluginEndpoint, "function"), (Plugin, "views"), (PluginVariable, "value"),
                 (BlockVarPair, "blockID"), (BlockConnection, "origin")]
        for kind, slot in links:
            head = None
            for _ in range({length}):
                link = kind.__new__(kind)
                setattr(link, slot, head)
                head = link
            del link, head
            print(kind.__name__, slot, flush=True)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    assert len(done.stdout.split("\n")) == 10


def test_threads_sharing_a_block_with_a_finalizer_that_releases_the_gil():
    script = textwrap.dedent("""
        import gc, sys, threading, time
        from QorvelAPI.plugins import PluginBlock

        def conn(i):
            end = {"placedID": i, "blockID": "a", "variableID": "v", "variableType": "string"}
            return {"origin": end, "destination": dict(end, placedID=i + 1)}

        state = {"variableConnections": [conn(i) for i in range(30)], "position": {"x": 1, "y": 2},
                 "variableConnectionsReference": [conn(i) for i in range(5)]}
        block = PluginBlock("b", "d", id="b")
        block._parseInternalVariables(state)
        stop = time.time() + 1

        class Garbage:
            def __del__(self):
                time.sleep(0)

        def loop(work):
            while time.time() < stop:
                g = Garbage(); g.me = g; del g
                work()

        sys.setswitchinterval(1e-5)
        gc.set_threshold(5)
        works = [block._minimalEncode, block._toDict, lambda: block._parseInternalVariables(state)]
        threads = [threading.Thread(target=loop, args=(w,)) for w in works]
        for t in threads: t.start()
        for t in threads: t.join()
        print("survived")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0 and done.stdout == "survived\n", done.stderr


@pytest.mark.parametrize("name, make, message", [
    ("plugin.meta", os.mkfifo, "it is a FIFO"),
    ("logo.png", os.mkfifo, "it is a FIFO"),
    ("logo.png", lambda path: os.symlink("/dev/zero", path), "it is a character device"),
    ("plugin.meta", lambda path: pathlib.Path(path).write_text(" " * (1 << 20) + "{}"), "larger than the 1048576 bytes"),
])
def test_plugin_folder_files_that_are_not_regular_files_are_refused(tmp_path, name, make, message):
    folder = make_plugin_folder(tmp_path)
    path = folder / name
    if path.exists():
        path.unlink()
    make(str(path))
    with pytest.raises(Exception) as info:
        run_script(folder)
    assert message in str(info.value) and repr(str(path)) in str(info.value)


def _deep(path):
    pathlib.Path(path).write_text(("x = " if path.endswith(".toml") else "") + "[" * 10**5 + "]" * 10**5)


def _sparse(path):
    with open(path, "wb") as handle:
        handle.truncate(1 << 30)


HOSTILE_FILES = {"FIFO": (os.mkfifo, "it is a FIFO, and only regular files are read"),
                 "link to /dev/zero": (lambda path: os.symlink("/dev/zero", path), "it is a character device"),
                 "sparse 1 GiB": (_sparse, "it is 1073741824 bytes, more than the "),
                 "deep nesting": (_deep, "values are nested deeper than 100 levels")}


def _read_meta(plugin, config):
    from QorvelAPI.devhost.loader import read_meta
    return read_meta(plugin)[1][0].message


def _read_flow(plugin, config):
    from QorvelAPI.devhost.flow import Flow, FlowError
    with pytest.raises(FlowError) as info:
        Flow.read(os.path.join(plugin, "Flows", "x.flow"))
    return str(info.value)


def _read_case(plugin, config):
    from QorvelAPI.devhost.cases import case_files, read_cases
    names = case_files(os.path.join(plugin, "Tests"))[0]
    assert "x.json" in names  # listed and reported, not skipped
    return read_cases(plugin, ["x.json"])[1][0].detail


def _read_config(plugin, config):
    from QorvelAPI.devhost.loader import load_plugin
    from QorvelAPI.devhost.run import HostError, LocalHost
    with pytest.raises(HostError) as info:
        LocalHost(load_plugin(plugin), config_path=config, queue="local").load_config()
    return str(info.value)


def _read_remotes(plugin, remotes):
    from QorvelAPI.devhost.remote_config import RemoteConfigError, load_remotes
    with pytest.raises(RemoteConfigError) as info:
        load_remotes(remotes)
    return str(info.value)


@pytest.mark.parametrize("kind", HOSTILE_FILES)
@pytest.mark.parametrize("where, read", [("plugin.meta", _read_meta), ("Flows/x.flow", _read_flow),
                                         ("Tests/x.json", _read_case), ("../config.json", _read_config),
                                         ("../remotes.toml", _read_remotes)])
def test_host_files_that_are_special_huge_or_deep_are_refused_with_the_reason(tmp_path, where, read, kind):
    from QorvelAPI.devhost.scaffold import create_plugin
    plugin = create_plugin("hostile", str(tmp_path), ["config"])
    path = os.path.normpath(os.path.join(plugin, where))
    if os.path.exists(path):
        os.unlink(path)
    make, message = HOSTILE_FILES[kind]
    make(path)
    answer = []
    reader = threading.Thread(target=lambda: answer.append(read(plugin, path)), daemon=True)
    reader.start()
    reader.join(60)
    assert answer and message in answer[0], (answer, "hangs" if reader.is_alive() else "fails")


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's shadow memory does not fit under an address-space limit")
def test_running_out_of_memory_while_reading_a_flow_file_is_reported_with_the_reason(tmp_path):
    flow = tmp_path / "big.flow"
    flow.write_text("[" + "0," * (7 << 20) + "0]")  # 14 MiB, under the limit; its list takes far more
    script = textwrap.dedent("""
        import resource, sys
        from QorvelAPI.devhost.flow import Flow
        with open("/proc/self/status") as status:
            size = next(int(line.split()[1]) for line in status if line.startswith("VmSize")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + (40 << 20), resource.RLIM_INFINITY))
        Flow.read(sys.argv[1])
    """)
    done = subprocess.run([sys.executable, "-c", script, str(flow)], capture_output=True, text=True, timeout=120)
    assert "FlowError: big.flow: cannot be read (not enough memory to read its 14680067 characters)" in done.stderr
