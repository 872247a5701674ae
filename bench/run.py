"""Runs every benchmark script of this folder (bench_*.py), one after the other."""
import glob
import os
import runpy

here = os.path.dirname(os.path.abspath(__file__))
for script in sorted(glob.glob(os.path.join(here, "bench_*.py"))):
    print(f"== {os.path.basename(script)}")
    runpy.run_path(script, run_name="__main__")
