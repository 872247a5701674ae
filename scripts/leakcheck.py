"""Reference-leak check of the two extension modules, for Debian's debug interpreter.

Runs every public operation of `QorvelAPI.plugins` and `QorvelAPI.molstar`, their error paths
included, many times in a loop and fails when the interpreter's total reference count
(sys.gettotalrefcount), its allocated memory blocks or the number of objects tracked by the
garbage collector keep growing with the number of iterations.

    make leakcheck                      # builds for python3.11-dbg, then runs this script
    python3.11-dbg scripts/leakcheck.py [-n ITERATIONS] [-k SUBSTRING] [-v]

Each scenario is one function doing one round of work on fresh objects (see leak_scenarios/).
It is first run a few times so that caches (interned names, type and method caches, lazily
imported modules, logging's logger table) are filled, then in several measured rounds of N
iterations. A leak of one reference per iteration grows every round by at least N, noise from
caches does not repeat round after round.
"""
import argparse
import gc
import io
import logging
import os
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from leak_scenarios import SCENARIOS, load_all  # noqa: E402

ROUNDS = 3
WARMUP = 3


class _FormatAndDrop(logging.Handler):
    """Formats every record (so the %-arguments are used) and throws it away."""

    def emit(self, record):
        self.format(record)


class _Sink(io.TextIOBase):
    """Standard output that keeps nothing (a growing buffer would look like a leak)."""

    def write(self, text):
        return len(text)


def _counts():
    gc.collect()
    gc.collect()
    refs = sys.gettotalrefcount()
    blocks = sys.getallocatedblocks()
    objects = len(gc.get_objects())
    return refs, blocks, objects


def measure(function, iterations):
    """Per-round growth of (references, memory blocks, tracked objects)."""
    for _ in range(WARMUP):
        for _ in range(iterations):
            function()
    growth = []
    for _ in range(ROUNDS):
        before = _counts()
        for _ in range(iterations):
            function()
        after = _counts()
        growth.append(tuple(a - b for a, b in zip(after, before)))
    return growth


def leaks(growth, iterations):
    """Names of the counters that grew in every round by at least their floor.

    A leaked reference or object grows its counter by at least the number of iterations each
    round. Memory blocks also move with the interpreter's free lists and caches, which fill up
    over the first rounds (growth that shrinks round after round), hence the higher floor."""
    floors = {"references": max(1, iterations // 10), "memory blocks": max(64, iterations // 2),
              "objects": max(1, iterations // 10)}
    return [name for i, (name, floor) in enumerate(floors.items()) if all(r[i] >= floor for r in growth)]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-n", "--iterations", type=int, default=200, help="iterations per measured round")
    parser.add_argument("-k", "--select", default="", help="run only scenarios whose name contains this")
    parser.add_argument("-v", "--verbose", action="store_true", help="print the growth of every scenario")
    args = parser.parse_args(argv)

    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("leakcheck: needs a debug interpreter (python3.11-dbg): sys.gettotalrefcount is missing")

    root = logging.getLogger()
    root.handlers[:] = [_FormatAndDrop()]
    root.setLevel(logging.DEBUG)
    logging.lastResort = None

    load_all()
    import QorvelAPI.molstar
    import QorvelAPI.plugins
    print(f"leakcheck: {QorvelAPI.plugins.__file__}")
    print(f"leakcheck: {QorvelAPI.molstar.__file__}")

    selected = [s for s in SCENARIOS if args.select in s.__qualname__]
    failed = []
    started = time.perf_counter()
    real_stdout = sys.stdout
    for scenario in selected:
        name = f"{scenario.__module__.split('.')[-1]}.{scenario.__name__}"
        sys.stdout = _Sink()
        try:
            growth = measure(scenario, args.iterations)
            error = None
        except Exception:  # a scenario whose expectations no longer hold is a failure too
            error = traceback.format_exc()
        finally:
            sys.stdout = real_stdout
        if error is not None:
            failed.append(name)
            print(f"FAIL  {name}: the scenario itself failed\n{error}")
            continue
        grown = leaks(growth, args.iterations)
        if grown:
            failed.append(name)
            print(f"LEAK  {name}: {', '.join(grown)} grew every round; growth per round {growth}")
        elif args.verbose:
            print(f"ok    {name}: {growth}")
    elapsed = time.perf_counter() - started
    print(f"leakcheck: {len(selected)} scenarios x {ROUNDS} rounds x {args.iterations} iterations "
          f"in {elapsed:.1f} s: {'FAILED ' + ', '.join(failed) if failed else 'no leaks'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
