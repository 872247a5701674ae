"""Runs every benchmark script of this folder (bench_*.py), one after the other."""
import pathlib
import runpy
import sys

here = pathlib.Path(__file__).resolve().parent
for script in sorted(here.glob("bench_*.py")):
    print(f"== {script.name}", flush=True)
    runpy.run_path(str(script), run_name="__main__")
    print(flush=True)
sys.exit(0)
