"""This build against an older build of the extension, side by side in one run.

    python bench/compare.py BASE          # BASE: a checkout whose python/ holds the built modules

One worker process per build (its PYTHONPATH selects the build) times the operations below on
request; the two are asked in turn, operation by operation, for several rounds, so that both see
the same machine load. The table shows the median time of each side and the speed-up (the median
over the rounds of old time / new time), with the goal where there is one and SLOWER where the
new build lost more than the noise allows.
"""
import argparse
import contextlib
import json
import logging
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time
import timeit

GOALS = {
    "str(block)": 8.0,
    "copy()": 1.8,
    "PluginVariable(kw)": 1.5,
    "_parseInternalVariables": 1.25,
    "flow round trip (100 blocks)": 1.4,
}
NOISE = 0.95  # a ratio below this counts as slower


def action(block):
    pass


def bench_block(p):
    """The block of bench_blocks.py: 10 variables (8 plain, a group of 3, a list with 2
    prototypes), 2 input groups of 2, 3 outputs, 4 connections, stored outputs and extra data."""
    T = p.VariableTypes
    types = [T.STRING, T.NUMBER, T.FILE]
    plain = [p.PluginVariable(f"v{i}", f"V{i}", "a variable", types[i % 3], i, ["a", "b"] if i % 2 else None)
             for i in range(8)]
    group = p.VariableGroup("grp", "Group", "a group",
                            [p.PluginVariable(f"g{i}", f"G{i}", "member", T.STRING, "x") for i in range(3)])
    rows = p.VariableList("rows", "Rows", "a list", [p.PluginVariable("name", "Name", "col", T.STRING),
                                                     p.PluginVariable("size", "Size", "col", T.NUMBER)])
    inputs = [p.VariableGroup(f"in{k}", f"In{k}", "inputs",
                              [p.PluginVariable(f"i{k}{i}", "I", "input", T.FILE) for i in range(2)]) for k in range(2)]
    outputs = [p.PluginVariable(f"o{i}", f"O{i}", "output", T.NUMBER) for i in range(3)]
    block = p.PluginBlock("Dock", "Docks", action, variables=plain + [group, rows], inputGroups=inputs,
                          outputs=outputs, id="dock")
    block._variableConnections = [
        p.BlockConnection(p.BlockVarPair(i, "src", f"v{i}", "string", None),
                          p.BlockVarPair(9, "dock", f"i0{i % 2}", "string", ["x"]), False) for i in range(4)]
    block._storedOutputs = {"o0": 1.5, "o1": [1, 2, 3]}
    block.extraData = {"note": "bench", "tags": ["a", "b"]}
    return block


class HostRemote:
    _blockPlacedID = None
    _resetRemoteBlock = True

    @contextlib.contextmanager
    def cd(self, path):
        yield

    def getRemoteBlockStatus(self, savedID, placedID):
        return "RUNNING"

    def getJobIDfromBlock(self, savedID, placedID):
        return 7

    def getRemoteBlockLogs(self, savedID, placedID):
        return "out", "err"

    def getRemoteBlockTime(self, savedID, placedID):
        return 1


class Flow:
    savedID = "flow-1"


def cases():
    import QorvelAPI.plugins as p

    logging.getLogger("Qorvel").disabled = True
    T = p.VariableTypes
    STRING = T.STRING
    block = bench_block(p)
    target = block.copy()
    minimal = block._minimalEncode()
    states = []
    for placed in range(100):
        state = json.loads(json.dumps(minimal))
        state["placedID"] = placed
        state["variables"][0]["value"] = placed
        states.append(state)

    def round_trip():
        # What the host does with each placement of a flow on every run: a fresh copy of the
        # declared block, the placement's state applied, the state taken back.
        for state in states:
            placed = block.copy()
            placed._parseInternalVariables(state)
            placed._minimalEncode()

    variable = p.PluginVariable(id="v", name="V", description="d", type=T.STRING_LIST, allowedValues=["a", "b"])
    members = [p.PluginVariable(id=f"m{i}", name=f"M{i}", description="d", type=T.NUMBER, defaultValue=i)
               for i in range(10)]
    pair = p.BlockVarPair(1, "src", "v0", "string", None)
    connection = block._variableConnections[0]

    slurm = p.SlurmBlock("Job", "d", action, action, id="job").copy()
    slurm._setRemote(HostRemote())
    slurm.flow = Flow()

    folder = tempfile.mkdtemp(prefix="qorvel-compare-")
    with open(os.path.join(folder, "plugin.meta"), "w", encoding="utf-8") as handle:
        json.dump({"id": "Bench Tools", "name": "Bench", "description": "d", "author": "a", "version": "1",
                   "pluginFile": "bench.py"}, handle)
    script = os.path.join(folder, "bench_script.py")
    with open(script, "w", encoding="utf-8") as handle:
        handle.write("def make(cls, load):\n    return cls(noMetaLoad=not load)\n")
    namespace = {}
    exec(compile(open(script).read(), script, "exec"), namespace)
    make = namespace["make"]
    plugin = make(p.Plugin, True)
    config = p.PluginConfig("Settings", "d", id="settings", variables=[
        p.PluginVariable(f"c{i}", f"C{i}", "d", T.STRING, defaultValue=f"/opt/{i}") for i in range(4)])
    plugin.addConfig(config)
    config_path = os.path.join(folder, "config.json")
    counter = iter(range(10**9))
    blocks50 = [p.PluginBlock(f"Block {i}", "d", id=f"block_{i}") for i in range(50)]

    def register():
        fresh = make(p.Plugin, False)
        fresh.id = "bench_tools"
        for index, b in enumerate(blocks50):
            b.id = f"block_{index}"
            fresh.addBlock(b)

    def warn_duplicate():
        plugin_with_block = make(p.Plugin, False)
        b = p.PluginBlock("Dup", "d", id="dup")
        plugin_with_block.addBlock(b)
        plugin_with_block.addBlock(p.PluginBlock("Dup", "d", id="dup"))  # logs a warning

    return [
        # the goals
        ("str(block)", lambda: str(block), 200),
        ("copy()", block.copy, 500),
        # The member is looked up once, as a script's module-level name would be: an attribute of the
        # enumeration class costs as much again (the row after shows it) and is no part of the
        # construction.
        ("PluginVariable(kw)", lambda: p.PluginVariable(id="x", name="X", description="d", type=STRING,
                                                        defaultValue="s", category="c"), 20000),
        ("PluginVariable(kw, VariableTypes.STRING)",
         lambda: p.PluginVariable(id="x", name="X", description="d", type=T.STRING, defaultValue="s",
                                  category="c"), 20000),
        ("_parseInternalVariables", lambda: target._parseInternalVariables(minimal), 2000),
        ("flow round trip (100 blocks)", round_trip, 5),
        # everything else in bench/
        ("_minimalEncode()", block._minimalEncode, 2000),
        ("_toDict()", block._toDict, 1000),
        ("PluginVariable warning (logger disabled)", lambda: p.PluginVariable("x", "X", "d", T.STRING_LIST), 5000),
        ("PluginVariable(positional)", lambda: p.PluginVariable("x", "X", "d", T.NUMBER, 1), 20000),
        ("variable.value read", lambda: variable.value, 100000),
        ("variable.toDict()", variable.toDict, 20000),
        ("variable.toDict(minimal=True)", lambda: variable.toDict(minimal=True), 20000),
        ("str(variable)", lambda: str(variable), 5000),
        ("VariableGroup(10).toDict()", lambda: p.VariableGroup(id="g", name="G", description="d",
                                                               variables=members).toDict(), 2000),
        ("copy.deepcopy(variable)", lambda: __import__("copy").deepcopy(variable), 5000),
        ("BlockVarPair(...)", lambda: p.BlockVarPair(1, "src", "v0", "string", None), 20000),
        ("str(connection)", lambda: str(connection), 5000),
        ("pair._toDict()", pair._toDict, 20000),
        ("SlurmBlock.parseStatus()", slurm.parseStatus, 5000),
        ("SlurmBlock._minimalEncode()", slurm._minimalEncode, 5000),
        ("Plugin(noMetaLoad=True)", lambda: make(p.Plugin, False), 2000),
        ("Plugin + plugin.meta", lambda: make(p.Plugin, True), 200),
        ("register 50 blocks", register, 100),
        ("addBlock duplicate (warning)", warn_duplicate, 2000),
        ("plugin.config", lambda: plugin.config, 2000),
        ("_saveConfig", lambda: plugin._saveConfig(config_path, {"c0": next(counter)}), 100),
    ]


def worker():
    """Serves timing requests on its standard input: one operation name per line, answered with
    the best time per call in microseconds (CPU time of the process: on a shared machine, far
    steadier than the wall clock)."""
    import QorvelAPI.plugins

    table = {name: (call, number) for name, call, number in cases()}
    print(json.dumps({"module": QorvelAPI.plugins.__file__, "operations": list(table)}), flush=True)
    for line in sys.stdin:
        call, number = table[line.strip()]
        best = min(timeit.repeat(call, number=number, repeat=3, timer=time.process_time))
        print(best / number * 1e6, flush=True)


def count_worker():
    """Runs every operation between two calls of os.getppid(), which the instruction counter
    (callgrind, dumping a profile part at each call of getppid) uses as markers."""
    only = os.environ.get("QORVEL_BENCH_ONLY")
    for name, call, number in cases():
        if only and name not in only.split(","):
            continue
        for _ in range(max(1, number // 10)):  # warm-up
            call()
        os.getppid()
        for _ in range(max(1, number // 10)):
            call()
        os.getppid()
        print(name, max(1, number // 10), flush=True)


def count_instructions(python_folder):
    """Instructions per call of each operation on one build (callgrind): exact, whatever the load."""
    import glob
    import re

    folder = tempfile.mkdtemp(prefix="qorvel-callgrind-")
    # A fixed string hash seed: dictionary probe lengths (and so the counts) then repeat exactly.
    env = dict(os.environ, PYTHONPATH=str(python_folder), PYTHONHASHSEED="0")
    done = subprocess.run(["valgrind", "--tool=callgrind", "--dump-before=getppid", "--compress-strings=no",
                           f"--callgrind-out-file={folder}/out", sys.executable, __file__, "--count-worker"],
                          env=env, capture_output=True, text=True, check=True)
    parts = {}
    for path in glob.glob(f"{folder}/out*"):
        number = int(path.rsplit(".", 1)[1]) if "." in os.path.basename(path) else 0
        with open(path, encoding="utf-8") as handle:
            total = re.search(r"^(?:totals|summary): (\d+)", handle.read(), re.M)
        parts[number] = int(total.group(1)) if total else 0
    results = {}
    for index, line in enumerate(done.stdout.splitlines()):
        name, calls = line.rsplit(" ", 1)
        results[name] = parts.get(2 * index + 2, 0) / int(calls)
    return results


def print_instructions(python_folder):
    for name, count in count_instructions(python_folder).items():
        print(f"{name:42} {count:12.0f}")


class Worker:
    def __init__(self, python_folder):
        env = dict(os.environ, PYTHONPATH=str(python_folder))
        self.process = subprocess.Popen([sys.executable, __file__, "--worker"], env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        hello = self.process.stdout.readline()
        if not hello:
            raise SystemExit(f"the worker on {python_folder} failed to start")
        hello = json.loads(hello)
        if not hello["module"].startswith(str(python_folder)):
            raise SystemExit(f"the worker loaded {hello['module']}, not a build from {python_folder}")
        self.operations = hello["operations"]

    def time(self, name):
        self.process.stdin.write(name + "\n")
        self.process.stdin.flush()
        return float(self.process.stdout.readline())

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def verdict(name, ratio):
    goal = GOALS.get(name)
    if goal is not None and ratio < goal:
        return "  MISSED"
    if goal is None and ratio < NOISE:
        return "  SLOWER"
    return ""


def report_instructions(old, new):
    before, after = count_instructions(old), count_instructions(new)
    print(f"{'operation':42} {'old instr.':>12} {'new instr.':>12} {'ratio':>7} {'goal':>6}")
    missed = 0
    for name in after:
        ratio = before[name] / after[name] if after[name] else float("nan")
        mark = verdict(name, ratio)
        missed += bool(mark)
        goal = f"{GOALS[name]:5.2f}x" if name in GOALS else ""
        print(f"{name:42} {before[name]:12.0f} {after[name]:12.0f} {ratio:6.2f}x {goal:>6}{mark}")
    return 1 if missed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("base", nargs="?", help="checkout of the older build (its python/ folder is used)")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--instructions", action="store_true",
                        help="count instructions (callgrind) instead of timing")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--count-worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker()
    if args.count_worker:
        return count_worker()
    if args.instructions and not args.base:
        return print_instructions(pathlib.Path(__file__).resolve().parent.parent / "python")
    if not args.base:
        parser.error("the folder of the older build is required")
    if args.instructions:
        return report_instructions(pathlib.Path(args.base).resolve() / "python",
                                   pathlib.Path(__file__).resolve().parent.parent / "python")
    old = Worker(pathlib.Path(args.base).resolve() / "python")
    new = Worker(pathlib.Path(__file__).resolve().parent.parent / "python")
    times = {name: ([], []) for name in new.operations}
    try:
        # Old and new alternate operation by operation, so both see the same machine load.
        for index in range(args.rounds):
            for name, (before, after) in times.items():
                if index % 2 == 0:
                    before.append(old.time(name))
                    after.append(new.time(name))
                else:
                    after.append(new.time(name))
                    before.append(old.time(name))
    finally:
        old.close()
        new.close()
    print(f"{'operation':42} {'old µs':>10} {'new µs':>10} {'speed-up':>9} {'goal':>6}")
    missed = 0
    for name, (before, after) in times.items():
        ratio = statistics.median(b / a for b, a in zip(before, after))
        mark = verdict(name, ratio)
        missed += bool(mark)
        goal = f"{GOALS[name]:5.2f}x" if name in GOALS else ""
        print(f"{name:42} {statistics.median(before):10.2f} {statistics.median(after):10.2f} {ratio:8.2f}x "
              f"{goal:>6}{mark}")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
