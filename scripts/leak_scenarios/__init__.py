"""Scenarios of the reference-leak check: one function per group of operations.

A scenario builds what it needs afresh (or restores what it changed), so that nothing it does
accumulates from one iteration to the next except through a leak. Error paths are run through
`refused`, which also checks that the call still fails the way it should: a scenario whose error
path silently started to succeed would no longer test that path.
"""
import importlib

SCENARIOS = []

MODULES = ("variables", "blocks", "cluster", "plugin", "molstar", "hostile")


def scenario(function):
    SCENARIOS.append(function)
    return function


def refused(kind, function, *args, **kwargs):
    """Calls `function` and requires it to raise `kind` (a type or tuple of types)."""
    try:
        function(*args, **kwargs)
    except kind:
        return
    raise AssertionError(f"{getattr(function, '__qualname__', function)}{args} did not raise {kind}")


def load_all():
    for name in MODULES:
        importlib.import_module(f"{__name__}.{name}")
