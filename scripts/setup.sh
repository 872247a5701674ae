#!/usr/bin/env bash
# Sets up a fresh machine for QorvelAPI development: Debian packages, the four virtual
# environments of scripts/environments.sh, and the package built and installed into each.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(build-essential python3-dev python3-venv python3-pip python3-pytest python3-pytest-xdist python3-hypothesis
          python3-pydantic python3-setuptools python3-wheel python3.11-dbg clang libclang-rt-14-dev
          valgrind slurm-wlm munge python3-mypy python3-yaml chromium openssh-server
          python3-sphinx furo python3-myst-parser python3-nbsphinx python3-nbclient python3-ipykernel
          python3-nbformat python3-pytest-timeout)

echo "setup: Debian packages ..."
missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
command -v npm >/dev/null || missing+=(npm)  # fetches the viewer bundle below
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The viewer bundle of `qorvel-plugin serve`, before the package is installed anywhere.
echo "setup: the viewer bundle and the editor's layout library ..."
bash scripts/fetch_molstar.sh && bash scripts/fetch_dagre.sh

source scripts/environments.sh
PIP_LOG=build/setup-pip.log
mkdir -p build
: > "$PIP_LOG"
skipped=()

pyenv_python() {  # version (3.12): the preinstalled CPython of that version, or nothing
    local candidate
    for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1".*/bin/python3 \
                     /root/.pyenv/versions/"$1".*/bin/python3 /usr/local/bin/python"$1"; do
        if [ -x "$candidate" ]; then echo "$candidate"; return; fi
    done
}

environment() {  # folder interpreter
    echo "setup: environment $1 ($2) ..."
    make_venv "$1" "$2"
}

install_package() {  # name
    echo "setup: building and installing the package into $1 ..."
    "$1/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps --no-index . >/dev/null
    "$1/bin/python" -c 'import QorvelAPI.plugins, QorvelAPI.molstar, pydantic, pytest; print("setup:", "'"$1"'", "pydantic", pydantic.VERSION)'
}

environment .venv /usr/bin/python3
install_package .venv

PY311=${PY311:-$(pyenv_python 3.11)}
if [ -n "$PY311" ]; then
    environment .venv-py311 "$PY311"
    fetch .venv-py311 $(extra_requirements .venv-py311) ||
        skipped+=("molviewspec in .venv-py311 (did not install from $PACKAGE_SOURCE)")
    install_package .venv-py311
else
    skipped+=(".venv-py311 (no CPython 3.11 besides Debian's)")
fi

for version in 3.12 3.13; do
    name=.venv-py${version/./}
    python=$(pyenv_python "$version")
    if [ -z "$python" ]; then
        skipped+=("$name (no CPython $version)")
        continue
    fi
    environment "$name" "$python"
    if ! fetch "$name" $(extra_requirements "$name"); then
        rm -rf "$name"  # an environment without pydantic would only fail every test
        skipped+=("$name ($(extra_requirements "$name") did not install from $PACKAGE_SOURCE)")
        continue
    fi
    install_package "$name"
done

if [ ${#skipped[@]} -gt 0 ]; then
    list=$(printf '%s; ' "${skipped[@]}")
    echo "setup: skipped ${list%; } (pip's messages: $PIP_LOG)" >&2
fi

# `qorvel-plugin` on every shell's PATH without activating .venv (the link runs the venv's own
# interpreter). Left alone in CI, whose throwaway clone must not take over the machine's command,
# and when something other than such a link already has the name.
if [ "${CI:-}" != "true" ]; then
    echo "setup: the qorvel-plugin command ..."
    source scripts/command_link.sh
    link_command "${QORVEL_BIN_DIR:-/usr/local/bin}" "$PWD/.venv/bin/qorvel-plugin"
fi
