#!/usr/bin/env bash
# Sets up a fresh machine for QorvelAPI development: Debian packages, the two virtual
# environments (Debian's Python with pydantic 1.x, the preinstalled CPython 3.11 with pydantic 2.x)
# and the package built and installed into both.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(build-essential python3-dev python3-venv python3-pip python3-pytest python3-hypothesis
          python3-pydantic python3-setuptools python3-wheel python3.11-dbg clang libclang-rt-14-dev
          valgrind slurm-wlm munge python3-mypy python3-yaml chromium openssh-server)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Second interpreter: CPython 3.11 outside Debian (with its own pydantic 2.x).
PY311=${PY311:-}
if [ -z "$PY311" ]; then
    for candidate in /root/.pyenv/versions/3.11*/bin/python3 /usr/local/bin/python3.11; do
        if [ -x "$candidate" ]; then PY311=$candidate; break; fi
    done
fi

make_venv() {  # name interpreter [extra-site]
    local name=$1 python=$2
    if [ ! -x "$name/bin/python" ]; then
        # --system-site-packages: each venv sees its interpreter's own packages (Debian's
        # pydantic 1.x for /usr/bin/python3, the preinstalled pydantic 2.x for the other).
        "$python" -m venv --system-site-packages "$name"
        if [ "$name" != ".venv" ]; then
            # Debian's test tools (pytest, hypothesis) appended after the interpreter's own
            # packages, so that its own pydantic 2.x is the one imported.
            local site
            site=$("$name/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
            printf 'import sys\nif "/usr/lib/python3/dist-packages" not in sys.path:\n    sys.path.append("/usr/lib/python3/dist-packages")\n' > "$site/sitecustomize.py"
        fi
    fi
    "$name/bin/python" -m pip install -q --no-build-isolation --no-deps --no-index . >/dev/null
    "$name/bin/python" -c 'import QorvelAPI.plugins, QorvelAPI.molstar, pydantic, pytest; print("setup:", "'"$name"'", "pydantic", pydantic.VERSION)'
}

make_venv .venv /usr/bin/python3
if [ -n "$PY311" ]; then
    make_venv .venv-py311 "$PY311"
else
    echo "setup: no second CPython 3.11 found; only Debian's interpreter is set up" >&2
fi
