#!/usr/bin/env bash
# Builds one wheel per development environment's interpreter, installs it into a fresh virtual
# environment of the same interpreter (with the same third-party packages) and runs there, from a
# folder that has no source tree on its path, the tests of what an installed package can get
# wrong (scripts/test_installed.py says which); `make test` runs the whole suite on the sources.
# Prints each wheel's time.
# Usage: scripts/wheels.sh VENV...   (the environments that `make setup` made)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/environments.sh
repo=$PWD
failed=()

for env in "$@"; do
    started=$SECONDS
    out=build/wheels/${env#.}
    PIP_LOG=$out/pip.log
    rm -rf "$out"
    mkdir -p "$out"
    "$env/bin/python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps --no-index \
        -w "$out/dist" . >/dev/null
    wheel=$(ls "$out"/dist/qorvel_api-*.whl)
    # Run from a venv, `-m venv` makes the new one on the same base interpreter.
    make_venv "$out/venv" "$env/bin/python"
    fetch "$out/venv" $(extra_requirements "$env") ||
        echo "wheels: $(extra_requirements "$env") did not install from $PACKAGE_SOURCE" >&2
    "$out/venv/bin/python" -m pip install -q --disable-pip-version-check --no-index "$wheel" >>"$PIP_LOG" 2>&1
    echo "== tests on $(basename "$wheel") installed in $out/venv"
    # -P: neither the script's folder nor the current one goes on the path.
    if ! (cd "$out" && env -u PYTHONPATH venv/bin/python -P "$repo/scripts/test_installed.py" "$repo"); then
        failed+=("$env")
    fi
    echo "wheels: $env took $((SECONDS - started)) s"
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "wheels: the tests failed for the wheels of ${failed[*]}" >&2
    exit 1
fi
