"""Runs the test suite against the installed package and fails unless the tests imported it
from this interpreter's environment (not from a source tree on the path).

Usage: python scripts/test_installed.py TESTS_DIR   (from a folder without the package in it)
"""
import os
import sys

import pytest

code = pytest.main(["-q", "-p", "no:cacheprovider", sys.argv[1]])
import QorvelAPI.molstar  # noqa: E402  (the modules the tests imported)
import QorvelAPI.plugins  # noqa: E402

for module in (QorvelAPI.plugins, QorvelAPI.molstar):
    where = os.path.realpath(module.__file__)
    if not where.startswith(os.path.realpath(sys.prefix) + os.sep):
        sys.exit(f"wheels: the tests imported {where}, not the package installed in {sys.prefix}")
print(f"wheels: the tests imported {QorvelAPI.plugins.__file__}")
sys.exit(code)
