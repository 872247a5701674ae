"""The local development host's cost per placement, for flows of 10 to 10,000 placements.

A plugin of 200 blocks without jobs (each adds its variable to its input) and, for each size, a
preset flow that chains that many placements through them. Measured for each size, as time per
placement (microseconds):
- run: the flow on the local runner, as `qorvel-plugin flow` runs it (check, run, the result file);
- save + open: the flow written to its file and read back;
- check: the flow checked as `qorvel-plugin check` and a run check it (blocks, values, connections);
- serve load: `serve` loading the plugin (every preset flow read and checked);
- /api/plugin: the document of the plugin's blocks and flows, over HTTP;
- serve flow: the flow document as `serve` prepares it for a run request (read and checked).
A second table gives the cost of each further placement between two sizes, which stays level
when the cost grows linearly.

Usage: python bench/bench_host.py [SIZE...]   (default 10 100 1000 10000)
"""
import contextlib
import io
import json
import logging
import os
import sys
import tempfile
import threading
import time
import urllib.request

from QorvelAPI.devhost.api import PluginHost
from QorvelAPI.devhost.flow import Flow
from QorvelAPI.devhost.serve import build_app
from QorvelAPI.devhost.serve.server import make_server

BLOCKS = 200
SIZES = [int(size) for size in sys.argv[1:]] or [10, 100, 1_000, 10_000]
PLUGIN_ID = "host_bench"
COLUMNS = ["run", "save + open", "check", "serve load", "/api/plugin", "serve flow"]
META = {"id": "Host Bench", "name": "Host bench", "description": "Blocks for the host benchmark.",
        "author": "Qorvel developers", "version": "1.0.0", "pluginFile": "host_bench.py",
        "minQorvelVersion": "1.0.0", "maxQorvelVersion": None, "platforms": ["universal"], "dependencies": []}
SCRIPT = f'''
from QorvelAPI.plugins import Plugin, PluginBlock, PluginVariable, VariableTypes


def step(block):
    block.setOutput("y", block.inputs["x"] + block.variables["increment"])


class HostBench(Plugin):
    def __init__(self):
        super().__init__()
        for i in range({BLOCKS}):
            self.addBlock(PluginBlock(
                f"Step {{i}}", "Adds its increment to its input.", action=step,
                variables=[PluginVariable("increment", "Increment", "Added", VariableTypes.INTEGER, defaultValue=1)],
                inputs=[PluginVariable("x", "x", "Input", VariableTypes.INTEGER, defaultValue=0)],
                outputs=[PluginVariable("y", "y", "Output", VariableTypes.INTEGER)],
                id=f"step_{{i}}"))


plugin = HostBench()
'''


def chain(size):
    """A flow document of `size` placements, each feeding the next."""
    blocks = [{"blockID": f"{PLUGIN_ID}.step_{i % BLOCKS}", "placedID": i + 1} for i in range(size)]
    blocks[0]["inputs"] = {"x": 0}
    connections = [{"origin": {"placedID": i, "variableID": "y"}, "destination": {"placedID": i + 1, "variableID": "x"}}
                   for i in range(1, size)]
    return {"name": f"chain of {size}", "savedID": f"chain-{size}", "blocks": blocks, "connections": connections}


def make_plugin(folder, size):
    """The plugin folder with the chain of `size` as its one preset flow."""
    plugin = os.path.join(folder, f"plugin-{size}")
    os.makedirs(os.path.join(plugin, "Flows"))
    with open(os.path.join(plugin, "plugin.meta"), "w") as out:
        json.dump(META, out)
    with open(os.path.join(plugin, "host_bench.py"), "w") as out:
        out.write(SCRIPT)
    with open(os.path.join(plugin, "Flows", "chain.flow"), "w") as out:
        json.dump(chain(size), out)
    return plugin


def timed(operation, repeat):
    """The best of `repeat` runs of operation(), in seconds, and its last result."""
    best, result = float("inf"), None
    for _ in range(repeat):
        started = time.perf_counter()
        result = operation()
        best = min(best, time.perf_counter() - started)
    return best, result


def run_flow(plugin, work):
    host = PluginHost(plugin, queue="local", workdir=work)
    with contextlib.redirect_stdout(io.StringIO()):
        result = host.flow("chain")
    assert result.ok, result.error
    return result


def save_and_open(flow, path):
    flow.write(path)
    return Flow.read(path)


def get_json(port, path):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}") as reply:
        return json.loads(reply.read())


@contextlib.contextmanager
def serving(app):
    """The app answering HTTP on a free port of 127.0.0.1; gives the port."""
    server = make_server(app, "127.0.0.1", 0)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.01}, daemon=True)
    thread.start()
    try:
        yield server.server_address[1]
    finally:
        server.shutdown()
        server.server_close()


def measure(folder, size):
    repeat = 3 if size <= 1_000 else 1
    plugin = make_plugin(folder, size)
    costs = {}
    costs["run"], result = timed(lambda: run_flow(plugin, os.path.join(folder, f"run-{size}")), repeat)
    assert result.outputs[size]["y"] == size
    flow = Flow.read(os.path.join(plugin, "Flows", "chain.flow"))
    costs["save + open"], _ = timed(lambda: save_and_open(flow, os.path.join(folder, f"saved-{size}.flow")), repeat)
    host = PluginHost(plugin, queue="local")
    costs["check"], order = timed(lambda: host.local.check_flow(flow), repeat)
    assert len(order) == size
    runs = os.path.join(folder, f"serve-{size}")
    costs["serve load"], app = timed(lambda: build_app(plugin, queue="local", runs_dir=runs), repeat)
    with serving(app) as port:
        costs["/api/plugin"], document = timed(lambda: get_json(port, "/api/plugin"), repeat)
    assert len(document["blocks"]) == BLOCKS and not document["problems"], document["problems"]
    costs["serve flow"], served = timed(lambda: app._preset_flow("chain"), repeat)
    assert len(served.blocks) == size
    return costs


def main():
    logging.getLogger().setLevel(logging.WARNING)
    print(f"microseconds per placement (plugin of {BLOCKS} blocks; best of 3 up to 1,000 placements)")
    header = f"{'placements':>12}" + "".join(f"{name:>13}" for name in COLUMNS)
    print(header)
    costs = {}
    with tempfile.TemporaryDirectory(prefix="qorvel-bench-host-") as folder:
        measure(os.path.join(folder, "warm-up"), SIZES[0])  # imports and first calls out of the way
        for size in SIZES:
            costs[size] = measure(folder, size)
            print(f"{size:>12,}" + "".join(f"{costs[size][name] / size * 1e6:>13.1f}" for name in COLUMNS), flush=True)
    # What each further placement costs between two sizes: constant when the cost grows linearly.
    print("\nmicroseconds per further placement")
    print(header)
    for smaller, larger in zip(SIZES, SIZES[1:]):
        print(f"{f'{smaller:,}-{larger:,}':>12}" + "".join(
            f"{(costs[larger][name] - costs[smaller][name]) / (larger - smaller) * 1e6:>13.1f}" for name in COLUMNS))


if __name__ == "__main__":
    main()
