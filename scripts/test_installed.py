"""Tests what an installed package can get wrong, against the wheel installed in this
interpreter's environment: the extension modules import from it, its stubs and type marker, every
file of its package data (the Mol* bundle among them), the `qorvel-plugin` command and the pytest
plugin of its entry points. The rest of the suite tests the same code as the source tree and
runs in `make test`. Fails unless everything came from this environment (not a source tree on
the path).

Usage: python -P scripts/test_installed.py REPOSITORY   (from a folder without the package in it)
"""
import glob
import importlib.util
import os
import subprocess
import sys
import tomllib

import pytest

# The tests whose outcome depends on how the package was installed.
INSTALLED_TESTS = [
    "tests/test_package.py",  # the extension modules import
    "tests/test_stubs.py",  # the stubs ship, match the modules and type-check a plugin
    "tests/test_serve_http.py::test_content_types_and_nosniff",  # the served files, the bundle's too
    "tests/test_serve_http.py::test_paths_that_leave_the_served_folders_are_refused",
    "tests/test_devhost_testing.py::test_the_example_plugin_s_tests_run_through_both_runners",  # pytest11
]


def inside_environment(path):
    return os.path.realpath(path).startswith(os.path.realpath(sys.prefix) + os.sep)


def package_data_problems(repo):
    """The package data files of the source tree that are missing from the installed package or
    differ from it."""
    with open(os.path.join(repo, "pyproject.toml"), "rb") as handle:
        setuptools = tomllib.load(handle)["tool"]["setuptools"]
    source_root = os.path.join(repo, setuptools["package-dir"][""])
    problems = []
    for package, patterns in setuptools["package-data"].items():
        source = os.path.join(source_root, *package.split("."))
        installed = importlib.util.find_spec(package).submodule_search_locations[0]
        wanted = {os.path.relpath(path, source) for pattern in patterns
                  for path in glob.glob(os.path.join(glob.escape(source), pattern)) if os.path.isfile(path)}
        if not wanted:
            problems.append(f"{package}: the source tree has no file for {patterns}")
        for name in sorted(wanted):
            copy = os.path.join(installed, name)
            if not os.path.isfile(copy):
                problems.append(f"{package}: {name} is not installed")
            elif open(copy, "rb").read() != open(os.path.join(source, name), "rb").read():
                problems.append(f"{package}: the installed {name} differs from the source tree's")
    return problems


def command_problems(repo):
    """The console script of the entry points, run on the example plugin."""
    command = os.path.join(os.path.dirname(sys.executable), "qorvel-plugin")
    done = subprocess.run([command, "check", os.path.join(repo, "examples", "example_plugin")],
                          capture_output=True, text=True, env={k: v for k, v in os.environ.items() if k != "PYTHONPATH"})
    if done.returncode != 0:
        return [f"`qorvel-plugin check` exited {done.returncode}: {(done.stdout + done.stderr).strip()}"]
    return []


def main(repo):
    problems = package_data_problems(repo) + command_problems(repo)
    for problem in problems:
        print(f"wheels: {problem}", file=sys.stderr)
    code = pytest.main(["-q", "-p", "no:cacheprovider", *(os.path.join(repo, test) for test in INSTALLED_TESTS)])
    import QorvelAPI.molstar  # the modules the tests imported
    import QorvelAPI.plugins

    for module in (QorvelAPI.plugins, QorvelAPI.molstar):
        if not inside_environment(module.__file__):
            sys.exit(f"wheels: the tests imported {os.path.realpath(module.__file__)}, "
                     f"not the package installed in {sys.prefix}")
    print(f"wheels: the tests imported {QorvelAPI.plugins.__file__}")
    return 1 if problems else code


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
