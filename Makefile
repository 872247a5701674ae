# The README's two commands: `make setup` (once per machine) and `make test`.
VENVS := $(wildcard .venv .venv-py311)
PYTHON ?= .venv/bin/python

.PHONY: setup build test bench clean

setup:
	bash scripts/setup.sh

# In-place build used by the tests (both interpreters are CPython 3.11 and share it).
build:
	$(PYTHON) setup.py -q build_ext --inplace

test: build
	@set -e; for v in $(VENVS); do \
	    echo "== tests on $$v ($$($$v/bin/python -c 'import pydantic; print("pydantic", pydantic.VERSION)'))"; \
	    PYTHONPATH=python $$v/bin/python -m pytest -q -p no:cacheprovider tests; \
	done

bench: build
	PYTHONPATH=python $(PYTHON) bench/run.py

# The main job: the example plugin's preset flow, end to end, through the local development host
# (the SLURM queue when a controller answers, the local runner otherwise).
DEMO_PLUGIN ?= examples/example_plugin
DEMO_FLOW ?= Screen and refine
demo: build
	PYTHONPATH=python $(PYTHON) -m QorvelAPI.devhost flow $(DEMO_PLUGIN) "$(DEMO_FLOW)" --poll 0.5

clean:
	rm -rf build python/QorvelAPI/*.so *.egg-info

# Single-node SLURM cluster on this machine (munged, slurmctld, slurmd; needs root).
.PHONY: slurm-start slurm-stop slurm-check
slurm-start:
	bash scripts/slurm/start.sh

slurm-stop:
	bash scripts/slurm/stop.sh

slurm-check:
	bash scripts/slurm/check.sh
