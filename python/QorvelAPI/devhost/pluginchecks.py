"""What ``check`` finds in a loaded plugin beyond what loading it reports.

- a custom variable whose page is not added to the plugin (the editor could not render it);
- a declared default value that does not fit its variable's type (every run would be refused);
- a cluster job block without a final action (nothing reads the job's results);
- preset flows that share a saved identifier (the platform keeps one flow per identifier);
- a block identifier declared twice: the container keeps the first and skips the second with a
  warning; here it is an error that names both declarations, found in the plugin script.
"""

from __future__ import annotations

import ast
import os
import re
from typing import Any, Iterator

from .loader import LoadedPlugin, Problem
from .placement import check_stored
from .values import ValueCheckError, check_values, ignore_warning

_DUPLICATE = re.compile(r"^Block with ID '(.+)' already exists\. Skipping\.$")
# Classes whose constructors declare blocks: their identifier is the "id" argument, else the name.
_BLOCK_CLASSES = frozenset({"PluginBlock", "SlurmBlock", "InputBlock", "GhostBlock"})


def _all_variables(variables) -> Iterator[Any]:
    for variable in variables:
        yield variable
        yield from _all_variables(getattr(variable, "variables", None) or getattr(variable, "prototypes", None) or [])


def _block_variables(block) -> Iterator[Any]:
    yield from _all_variables(block._variables)
    for group in block._inputGroups.values():
        yield from _all_variables(group.variables)
    yield from _all_variables(block._outputs)


def custom_pages(plugin) -> list[Problem]:
    problems = []
    for block in list(plugin._blocks) + list(plugin._configs):
        for variable in _block_variables(block):
            page = getattr(variable, "customPage", None)
            if not getattr(variable, "_isCustom", False) or any(page is added for added in plugin._pages):
                continue
            name = getattr(page, "id", None) or getattr(page, "name", repr(page))
            problems.append(Problem("error", f"block {block.id}: custom variable '{variable.id}' is rendered by the "
                                             f"page '{name}', which is not added to the plugin (add it with "
                                             f"addPage or hold it in an attribute of the plugin object)"))
    return problems


def declared_values(plugin) -> list[Problem]:
    problems = []
    for block in plugin._blocks:
        try:
            # The same check as a run's (``placement``): a default that does not fit refuses every run.
            check_stored(block.id, block._variables, block.variables, warn=ignore_warning)
            for group in block._inputGroups.values():
                check_values(block.id, group.variables, {v.id: v.value for v in group.variables}, role="input",
                             warn=ignore_warning)
        except ValueCheckError as exc:
            problems.append(Problem("error", f"declared default value: {exc}"))
    return problems


def final_actions(plugin) -> list[Problem]:
    return [Problem("warning", f"cluster job block {block.id} has no finalAction: nothing reads the results of "
                               f"its job")
            for block in plugin._blocks if str(block.TYPE) == "slurm" and getattr(block, "finalAction", None) is None]


def shared_saved_ids(entries: list[dict]) -> list[Problem]:
    problems, first = [], {}
    for entry in sorted(entries, key=lambda e: e["path"]):  # the folder lists files in no fixed order
        key = repr(entry["savedID"])
        if key in first:
            problems.append(Problem("error", f"preset flows {os.path.basename(first[key])} and "
                                             f"{os.path.basename(entry['path'])} share the savedID {entry['savedID']!r}"))
        else:
            first[key] = entry["path"]
    return problems


def normalised(text: str) -> str:
    """An identifier as the model stores it: lower case, every other character than a letter or
    digit an underscore."""
    return re.sub("[^A-Za-z0-9]", "_", text.lower())


def _constant(node: ast.AST | None) -> str | None:
    return node.value if isinstance(node, ast.Constant) and isinstance(node.value, str) else None


def _block_constructors(script: str) -> Iterator[tuple[str, int]]:
    """The identifier each block constructor of a plugin script gives (its "id", else its name),
    as written, with its line."""
    try:
        with open(script, encoding="utf-8") as handle:
            tree = ast.parse(handle.read(), script)
    except (OSError, SyntaxError, ValueError, UnicodeDecodeError):
        return
    for node in ast.walk(tree):
        if not isinstance(node, ast.Call):
            continue
        func = node.func.attr if isinstance(node.func, ast.Attribute) else getattr(node.func, "id", None)
        if func not in _BLOCK_CLASSES:
            continue
        keywords = {k.arg: k.value for k in node.keywords}
        name = _constant(keywords.get("id")) or _constant(keywords.get("name")) or \
            (_constant(node.args[0]) if node.args else None)
        if name is not None:
            yield name, node.lineno


def block_declarations(script: str, plugin_id: str) -> dict[str, list[int]]:
    """The lines of the block constructors in a plugin script, by the identifier they give."""
    found: dict[str, list[int]] = {}
    for name, line in _block_constructors(script):
        found.setdefault(f"{plugin_id}.{normalised(name)}", []).append(line)
    return found


def rewritten_identifiers(loaded: LoadedPlugin) -> list[tuple[str, str]]:
    """(as written, as used) for the plugin id and each block identifier that the model rewrote."""
    plugin = loaded.plugin
    written = loaded.meta.get("id")
    found = [(written, plugin.id)] if isinstance(written, str) and written != plugin.id else []
    block_ids = {block.id for block in plugin._blocks}
    for name, _ in _block_constructors(loaded.script):
        used = f"{plugin.id}.{normalised(name)}"
        if name != normalised(name) and used in block_ids and (name, used) not in found:
            found.append((name, used))
    return found


def duplicate_blocks(loaded: LoadedPlugin, problems: list[Problem]) -> list[Problem]:
    """``problems`` with each skipped duplicate block turned into an error naming its declarations."""
    declarations = None
    result = []
    for problem in problems:
        match = _DUPLICATE.match(problem.message)
        if not match:
            result.append(problem)
            continue
        if declarations is None:
            declarations = block_declarations(loaded.script, loaded.plugin.id)
        lines = declarations.get(match.group(1), [])
        script = os.path.basename(loaded.script)
        if len(lines) >= 2:
            where = f"declared at {script}:{lines[0]} (kept) and {script}:{lines[1]} (skipped)"
        elif lines:
            where = f"declared at {script}:{lines[0]} and added a second time"
        else:
            where = "added twice"
        result.append(Problem("error", f"{problem.message} (duplicate block identifier: {where})"))
    return result


def plugin_problems(loaded: LoadedPlugin, flow_entries: list[dict]) -> list[Problem]:
    plugin = loaded.plugin
    return custom_pages(plugin) + declared_values(plugin) + final_actions(plugin) + shared_saved_ids(flow_entries)


__all__ = ["plugin_problems", "duplicate_blocks", "block_declarations", "normalised", "rewritten_identifiers"]
