# The README's two commands: `make setup` (once per machine) and `make test`.
# The environments that `make setup` made (scripts/environments.sh says what each holds).
VENVS := $(wildcard .venv .venv-py311 .venv-py312 .venv-py313)
PYTHON ?= .venv/bin/python

.PHONY: setup build build-all test test-quick wheels bench bench-host bench-compare clean sanitize build-sanitize leakcheck build-dbg fuzz demo docs

setup:
	bash scripts/setup.sh

# In-place build for one interpreter. The module files carry the interpreter's ABI tag
# (cpython-311, -312, -313), so the builds for different versions sit side by side; the two
# 3.11 environments share one.
build:
	$(PYTHON) setup.py -q build_ext --inplace

# Every environment's in-place build, one after the other (each already compiles in parallel,
# and the two 3.11 environments share their build folder).
build-all:
	@for v in $(VENVS); do $(MAKE) -s build PYTHON=$$v/bin/python || exit 1; done

# The suite in parallel (pytest-xdist): the SLURM tests keep to one worker (their jobs do not
# queue behind each other), the browser tests to one browser; each worker that runs SSH tests
# starts a server of its own.
# The workers rewrite the tests' assertions before pytest's own warning filters apply.
# Two workers per environment in `make test` (two environments at once), four in `test-quick`
# (one environment: the live suites spend much of their time waiting, which the further workers fill).
TEST_WORKERS ?= 2
QUICK_WORKERS ?= 4
PARALLEL = -n $(QUICK_WORKERS) --dist loadgroup
QUIET_REWRITES = PYTHONWARNINGS=ignore::DeprecationWarning:_pytest.assertion.rewrite

# The suite on every environment, TEST_JOBS of them side by side, each printed whole when it ends,
# then each one's time and the total; all of them run, and the target fails if any failed. The
# randomised tests run a few examples each (FUZZ_FULL_ON=ENV: their full count on ENV). Two at a
# time: four at once were no faster on two cores (the suite is bound by CPU), and four browsers
# drawing the viewer at once starved the pages the browser tests wait on.
TEST_JOBS ?= 2
FUZZ_FULL_ON ?=
test: build-all
	@TEST_JOBS=$(TEST_JOBS) TEST_WORKERS=$(TEST_WORKERS) FUZZ_FULL_ON=$(FUZZ_FULL_ON) \
	    bash scripts/test_environments.sh $(VENVS)

# The edit-test loop: the suite on PYTHON's environment alone, in parallel.
test-quick: build
	PYTHONPATH=python $(QUIET_REWRITES) $(PYTHON) -m pytest -q -p no:cacheprovider $(PARALLEL) tests

# One wheel per environment's interpreter, installed into a fresh environment; the tests of what
# an installed package can get wrong run there.
wheels:
	bash scripts/wheels.sh $(VENVS)

bench: build
	PYTHONPATH=python $(PYTHON) bench/run.py

# This build against an older one, side by side (BASE: a checkout with its extensions built in
# place, e.g. `git worktree add /tmp/base <commit> && make -C /tmp/base build`).
bench-compare: build
	$(PYTHON) bench/compare.py $(BASE)

# The local host's cost per placement for flows of 10 to 10,000 placements.
bench-host: build
	PYTHONPATH=python $(PYTHON) bench/bench_host.py

# The main job: the example plugin's preset flow, end to end, through the local development host
# (the SLURM queue when a controller answers, the local runner otherwise).
DEMO_PLUGIN ?= examples/example_plugin
DEMO_FLOW ?= Screen and refine
demo: build
	PYTHONPATH=python $(PYTHON) -m QorvelAPI.devhost flow $(DEMO_PLUGIN) "$(DEMO_FLOW)" --poll 0.5

# Memory-safety gates. Each builds the extensions into its own folder under build/, so the
# in-place build of `make test` is never replaced, and the two can run side by side
# (`make -j2 -O sanitize leakcheck`, as CI does). The randomised tests run their full profile
# there, with the examples per fuzz test set below.

# AddressSanitizer + UndefinedBehaviorSanitizer (clang), the whole test suite on Debian's
# interpreter with the shared sanitizer runtime preloaded and Python's own allocator bypassed so
# that every object allocation is checked. Leak reports that come from the interpreter itself
# are suppressed by scripts/lsan.supp; a leak allocated from our code fails the run.
SAN_LIB := build/sanitize/lib
# The memory gates check the extensions. The suites that mostly wait on the machine's servers and
# drive the host's Python (the browser, the live SSH and SLURM queues, the signal tests of real
# runs, the documentation build and its tutorial) run in `make test` only: under the sanitizers
# and the debug interpreter they would cost many minutes and check no more of the C++ code than
# the rest of the suite does.
NO_BROWSER := --ignore=tests/browser --ignore=tests/test_ssh_live.py --ignore=tests/test_slurm_live.py \
	--ignore=tests/test_ssh_shell_live.py --ignore=tests/test_follow_live.py \
	--ignore=tests/test_devhost_stopping.py --ignore=tests/test_tutorial.py --ignore=tests/test_docs_site.py
ASAN_RUNTIME = $(shell clang -print-file-name=libclang_rt.asan-x86_64.so)
# numpy is kept out of the run (a stand-in that cannot be imported comes first on the path):
# hypothesis imports it whenever it is installed, Debian's documentation packages install it, and
# its extension modules keep allocations until exit that the leak check would report. No test uses it.
SAN_NO_NUMPY := build/sanitize/without-numpy
SAN_ENV = LD_PRELOAD=$(ASAN_RUNTIME) PYTHONMALLOC=malloc PYTHONPATH=$(SAN_LIB):$(SAN_NO_NUMPY) \
	ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

build-sanitize:
	QORVEL_SANITIZE=1 $(PYTHON) setup.py -q build --build-base build/sanitize --build-lib $(SAN_LIB)
	mkdir -p $(SAN_NO_NUMPY)/numpy
	echo 'raise ImportError("numpy is kept out of the sanitizer run")' > $(SAN_NO_NUMPY)/numpy/__init__.py

# --capture=sys: a sanitizer report goes to the real standard error even from inside a test.
# The instrumented frames are several times larger than normal ones, so the tests that recurse
# up to the interpreter's recursion limit get a 64 MiB stack, as Python's own frames would need.
# The randomised-input tests run more examples here than in `make test`: random inputs under
# the sanitizers are where out-of-bounds accesses show.
# The chains of objects freed in one go are shorter here (10^5, still far past the C stack
# without the trashcan): instrumented builds take several times as long to build them.
SAN_FUZZ_EXAMPLES ?= 400
sanitize: build-sanitize
	$(SAN_ENV) $(PYTHON) -c 'import QorvelAPI.plugins as p, QorvelAPI.molstar as m; \
	    assert all("/$(SAN_LIB)/" in x.__file__ for x in (p, m)), "not the sanitizer build"'
	ulimit -s 65536 && $(SAN_ENV) QORVEL_FUZZ_PROFILE=full QORVEL_FUZZ_EXAMPLES=$(SAN_FUZZ_EXAMPLES) QORVEL_CHAIN_LENGTH=100000 \
	    $(PYTHON) -m pytest -q -p no:cacheprovider --capture=sys $(NO_BROWSER) tests

# Reference leaks: the extensions built for Debian's debug interpreter (sys.gettotalrefcount),
# every public operation run in loops; fails when references or live objects grow.
DBG_PYTHON ?= python3.11-dbg
DBG_LIB := build/dbg/lib

build-dbg:
	QORVEL_DEBUG=1 $(DBG_PYTHON) setup.py -q build --build-base build/dbg --build-lib $(DBG_LIB)

# The debug interpreter also checks how the C API is used (an exception left set, a negative
# reference count), so the whole suite runs on it first, in parallel (a worker that aborts fails
# the run). The sanitizers' run stays in one process: their leak check runs when it exits, and a
# worker's exit status would not reach the result.
GATE_WORKERS ?= 2
DBG_FUZZ_EXAMPLES ?= 200
leakcheck: build-dbg
	PYTHONPATH=$(DBG_LIB) QORVEL_FUZZ_PROFILE=full QORVEL_FUZZ_EXAMPLES=$(DBG_FUZZ_EXAMPLES) QORVEL_CHAIN_LENGTH=100000 \
	    $(DBG_PYTHON) -m pytest -q -p no:cacheprovider -n $(GATE_WORKERS) --dist loadgroup $(NO_BROWSER) tests
	PYTHONPATH=$(DBG_LIB) $(DBG_PYTHON) scripts/leakcheck.py

# The randomised-input tests at scale: FUZZ_EXAMPLES examples per test, each running a batch of
# FUZZ_BATCH inputs (the normal suite runs a few single-input examples). The defaults run a
# little over a million inputs.
FUZZ_EXAMPLES ?= 5000
FUZZ_BATCH ?= 10
fuzz: build
	QORVEL_FUZZ_PROFILE=full QORVEL_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) QORVEL_FUZZ_BATCH=$(FUZZ_BATCH) PYTHONPATH=python \
	    $(PYTHON) -m pytest -q -p no:cacheprovider -p no:logging tests/test_fuzz_*.py

# The documentation site (docs/) into build/docs/: the reference from the built extensions, the
# example notebook executed; any warning fails the build, all of them are reported first. Then
# every internal link of the site is followed. -E: the pages read the built extensions, which
# Sphinx cannot see change, so every build starts afresh.
docs: build
	PYTHONPATH=python $(PYTHON) -m sphinx -b html -E -W --keep-going -q -d build/docs-doctrees docs build/docs
	$(PYTHON) scripts/check_links.py build/docs

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

# An OpenSSH server on 127.0.0.1 with keys made for it, for the SSH remote (needs root). The
# tests start it themselves when it is not running, and stop it again.
.PHONY: sshd-start sshd-stop
sshd-start:
	bash scripts/sshd/start.sh

sshd-stop:
	bash scripts/sshd/stop.sh
