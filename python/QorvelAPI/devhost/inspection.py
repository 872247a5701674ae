"""What ``check`` reports about a loaded plugin: its declarations and every problem found in it."""

from __future__ import annotations

import os

from .flow import Flow, FlowError
from .loader import LoadedPlugin, Problem
from .pluginchecks import duplicate_blocks, plugin_problems, rewritten_identifiers
from .presets import preset_entries
from .run import HostError, LocalHost


def _variable_summary(variable) -> str:
    kind = str(getattr(variable, "type", "?"))
    if kind == "group":
        members = ", ".join(_variable_summary(v) for v in getattr(variable, "variables", []))
        return f"{variable.id} (group: {members})"
    return f"{variable.id} ({kind})"


def _block_info(block) -> dict:
    return {
        "id": block.id,
        "name": block.name,
        "type": str(block.TYPE),
        "variables": [_variable_summary(v) for v in block._variables],
        "inputGroups": {gid: [_variable_summary(v) for v in group.variables]
                        for gid, group in block._inputGroups.items()},
        "outputs": [_variable_summary(v) for v in block._outputs],
    }


def _page_info(page) -> dict:
    return {
        "id": page.id, "name": page.name, "html": page.html, "hidden": bool(page.hidden),
        "endpoints": [{"url": f"/plugins/pages/{page.id}{endpoint.url}", "methods": list(endpoint.methods)}
                      for endpoint in page.endpoints],
    }


def inspect_plugin(loaded: LoadedPlugin, config_path: str | None = None) -> tuple[dict, list[Problem]]:
    """What ``check`` reports, and the further problems it finds (pages, preset flows, configuration)."""
    plugin = loaded.plugin
    problems: list[Problem] = []
    pages = []
    for page in plugin._pages:
        pages.append(_page_info(page))
        html = os.path.join(plugin._path, "Pages", page.html)
        if not os.path.isfile(html):
            relative = os.path.join("Pages", page.html)
            problems.append(Problem("error", f"page {page.id}: its HTML file {relative} does not exist"))
    flows, read_problems = preset_entries(plugin)
    problems.extend(read_problems)
    host = LocalHost(loaded, config_path=config_path, queue="local")
    flow_entries = []
    for entry in flows:
        flow_entries.append({k: entry[k] for k in ("name", "path", "savedID")})
        try:
            host.check_flow(Flow.read(entry["path"]))
        except FlowError as exc:
            problems.append(Problem("error", f"preset flow {os.path.basename(entry['path'])}: {exc}"))
    problems.extend(plugin_problems(loaded, flow_entries))
    if plugin._configs and os.path.exists(host.config_path):  # check never creates the file
        try:
            problems.extend(host.load_config()[1])
        except HostError as exc:
            problems.append(Problem("error", str(exc)))
    configs = [{"id": c.id, "name": c.name, "variables": [_variable_summary(v) for v in c._variables]}
               for c in plugin._configs]
    meta = loaded.meta
    info = {
        "plugin": {"id": plugin.id, "name": meta.get("name"), "version": meta.get("version"),
                   "author": meta.get("author"), "folder": loaded.folder, "script": loaded.script,
                   "platforms": meta.get("platforms", ["universal"])},
        "blocks": [_block_info(b) for b in plugin._blocks],
        "pages": pages,
        "configs": configs,
        "flows": flow_entries,
        "rewritten": [{"written": written, "used": used} for written, used in rewritten_identifiers(loaded)],
    }
    return info, problems


def check_plugin(loaded: LoadedPlugin, config_path: str | None = None) -> tuple[dict, list[Problem]]:
    """The report of ``check``: the declarations, and the problems of loading and inspecting the
    plugin, each once (the container reads the preset flows at every scan, so loading and
    inspecting may both log a file)."""
    info, more = inspect_plugin(loaded, config_path)
    problems: list[Problem] = []
    for problem in duplicate_blocks(loaded, loaded.problems) + more:
        if not any(p.level == problem.level and p.message == problem.message for p in problems):
            problems.append(problem)
    return info, problems


__all__ = ["check_plugin", "inspect_plugin"]
