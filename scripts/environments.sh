# The development environments, shared by scripts/setup.sh and scripts/wheels.sh (sourced from
# the repository's root folder):
#   .venv        Debian's Python 3.11 with Debian's pydantic 1.10.4
#   .venv-py311  CPython 3.11 (pyenv) with its own pydantic 2.x, plus molviewspec
#   .venv-py312  CPython 3.12 (pyenv) with pydantic 1.10.26 and typing_extensions 4.15.0
#   .venv-py313  CPython 3.13 (pyenv) with pydantic 1.10.26 and typing_extensions 4.15.0
# pytest, pytest-xdist and hypothesis come from Debian's pure-Python packages in every environment.

# Third-party wheels that Debian does not provide for an interpreter: from the shared wheelhouse
# beside the checkout when it is there (no index is reachable on the project's machines), from
# the package index otherwise. A clone made elsewhere (a throwaway CI clone in /tmp, say) looks
# beside the checkout it was cloned from.
find_wheelhouse() {
    local origin
    origin=$(git remote get-url origin 2>/dev/null || true)
    for candidate in "${QORVEL_WHEELHOUSE:-}" ../shared/wheelhouse ${origin:+"$origin/../shared/wheelhouse"}; do
        if [ -n "$candidate" ] && [ -d "$candidate" ]; then
            (cd "$candidate" && pwd)
            return
        fi
    done
    echo "${QORVEL_WHEELHOUSE:-../shared/wheelhouse}"
}
WHEELHOUSE=$(find_wheelhouse)
if [ -d "$WHEELHOUSE" ]; then
    PACKAGE_SOURCE=$WHEELHOUSE
else
    PACKAGE_SOURCE="the package index"
fi
PIP_LOG=${PIP_LOG:-build/pip.log}

# What an environment installs besides its interpreter's and Debian's packages.
extra_requirements() {  # name
    case $1 in
        # The real scene library (it needs pydantic 2); without it the tests use their stand-in.
        .venv-py311) echo molviewspec==1.8.1 ;;
        # Debian's pydantic and typing_extensions do not import on 3.12 and 3.13.
        .venv-py312 | .venv-py313) echo pydantic==1.10.26 typing_extensions==4.15.0 ;;
    esac
}

fetch() {  # venv requirement...: true when every requirement is installed
    local pip=("$1/bin/python" -m pip install -q --disable-pip-version-check)
    shift
    [ $# -gt 0 ] || return 0
    mkdir -p "$(dirname "$PIP_LOG")"
    if [ -d "$WHEELHOUSE" ]; then
        "${pip[@]}" --no-index --find-links "$WHEELHOUSE" "$@" >>"$PIP_LOG" 2>&1
    else
        # A short socket timeout, no retries and an overall limit: an unreachable index fails
        # within seconds instead of hanging.
        timeout 180 "${pip[@]}" --timeout 10 --retries 0 "$@" >>"$PIP_LOG" 2>&1
    fi
}

make_venv() {  # folder interpreter
    local folder=$1 python=$2
    if [ -x "$folder/bin/python" ]; then
        add_pytest_launcher "$folder"
        return 0
    fi
    # --system-site-packages: each venv sees its interpreter's own packages (Debian's
    # pydantic 1.x for /usr/bin/python3, the preinstalled pydantic 2.x for pyenv's 3.11).
    "$python" -m venv --system-site-packages "$folder"
    add_pytest_launcher "$folder"
    if ! "$folder/bin/python" -c 'import sys; sys.exit("/usr/lib/python3/dist-packages" not in sys.path)'; then
        # Debian's test tools (pytest, hypothesis) appended after the interpreter's own
        # packages, so that the environment's own pydantic is the one imported.
        local site
        site=$("$folder/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
        printf 'import sys\nif "/usr/lib/python3/dist-packages" not in sys.path:\n    sys.path.append("/usr/lib/python3/dist-packages")\n' > "$site/sitecustomize.py"
        "$python" -c 'import setuptools' 2>/dev/null || add_setuptools "$folder" "$python"
    fi
}

# pytest comes from Debian's packages, whose script runs the system interpreter: in an activated
# environment `pytest` would then not see the environment's packages. Each environment gets a
# launcher that runs its own interpreter (one that pip installed is left alone).
add_pytest_launcher() {  # folder
    local launcher=$1/bin/pytest
    if [ ! -e "$launcher" ] || grep -q 'qorvel: environment pytest' "$launcher"; then
        printf '#!/bin/sh\n# qorvel: environment pytest\nexec "$(dirname "$0")/python" -m pytest "$@"\n' > "$launcher"
        chmod +x "$launcher"
    fi
}

# An interpreter without setuptools of its own (3.12 and later) gets the unmodified setuptools
# wheel that it ships among its test data: Debian's copy works only with Debian's Python.
add_setuptools() {  # folder interpreter
    local stdlib wheel
    stdlib=$("$2" -c 'import sysconfig; print(sysconfig.get_paths()["stdlib"])')
    for wheel in "$stdlib"/test/wheeldata/setuptools-*.whl "$stdlib"/test/setuptools-*.whl; do
        if [ -f "$wheel" ]; then
            "$1/bin/python" -m pip install -q --disable-pip-version-check --no-index --no-deps --ignore-installed "$wheel"
            return
        fi
    done
    echo "setup: $2 has no setuptools and ships no setuptools wheel in $stdlib/test" >&2
    return 1
}
