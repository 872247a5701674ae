"""The plugin's preset flows: the entries of its Flows folder, and one of them by name."""

from __future__ import annotations

import os

from .loader import Problem, collect_problems


def preset_entries(plugin) -> tuple[list[dict], list[Problem]]:
    """The preset flow entries ("name", "path", "savedID", ...) and the problems of reading them
    (the container logs a file it cannot read and skips it)."""
    with collect_problems() as collector:
        entries = plugin._flows
    return entries, collector.problems


def find_preset(entries: list[dict], wanted: str) -> dict | None:
    """The entry whose name, or file name without ".flow", is ``wanted`` (in any case)."""
    for entry in entries:
        stem = os.path.splitext(os.path.basename(entry["path"]))[0]
        if wanted.lower() in (entry["name"].lower(), stem.lower()):
            return entry
    return None
