"""Deleted slots, long chains, threads sharing a block, and plugin folder files that are not
regular files: each ends in an ordinary exception or a normal result, never a crash or a hang."""
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

from QorvelAPI.plugins import (BlockConnection, BlockVarPair, PluginBlock, PluginRemote, PluginVariable,
                               VariableTypes)
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


def test_chains_of_a_million_objects_through_each_slot_kind_are_freed():
    length = int(os.environ.get("QORVEL_CHAIN_LENGTH", 10**6))
    script = textwrap.dedent(f"""
        import gc
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
