"""``qorvel-plugin new NAME``: a new plugin folder that passes ``check``, ``test`` and ``mypy --strict``.

The folder holds ``plugin.meta``, the plugin script, a preset flow in ``Flows/``, ``Pages/`` and
``Tests/`` (a case file and a pytest file). ``--with`` adds optional parts: ``slurm`` (a cluster job
block and its test), ``page`` (an extension page with an endpoint) and ``config`` (a configuration
block that the scaling block reads).
"""

from __future__ import annotations

import json
import os
import re
from typing import Any, Dict, List, Sequence

EXTRAS = ("slurm", "page", "config")


class ScaffoldError(Exception):
    """A name or option that cannot make a plugin folder."""


def slug(name: str) -> str:
    """The identifier the platform derives from a plugin name: lower case, spaces as underscores."""
    return name.strip().replace(" ", "_").lower()


def parse_extras(text: str | None) -> List[str]:
    extras = [part.strip() for part in (text or "").split(",") if part.strip()]
    for extra in extras:
        if extra not in EXTRAS:
            raise ScaffoldError(f"unknown part '{extra}' for --with (choose from {', '.join(EXTRAS)})")
    return extras


# -- the plugin script ----------------------------------------------------------------------------

HEADER = '''"""{name}: a Qorvel plugin.

The platform imports this script, takes ``plugin``, registers the blocks and pages held in its
attributes, and runs copies of the blocks declared here. ``qorvel-plugin test .`` runs the cases
in ``Tests/``; ``qorvel-plugin run . scale --set factor=3 --input value=2`` runs one block.
"""

{imports}

'''

CONFIG_PART = '''
settings = PluginConfig(
    "Settings",
    "How results are rounded.",
    variables=[PluginVariable("precision", "Precision", "Decimal places of results.", VariableTypes.INTEGER,
                              defaultValue=3)],
    id="settings",
)
'''

SCALE_PART = '''

def scale(block: PluginBlock) -> None:
    """Multiplies the input by the factor{config_doc}."""
    result = float(block.inputs["value"]) * float(block.variables["factor"])
    block.setOutput("result", {rounded})


scale_block = PluginBlock(
    "Scale",
    "Multiplies a number by a factor.",
    action=scale,
    variables=[PluginVariable("factor", "Factor", "What the value is multiplied by.", VariableTypes.NUMBER,
                              defaultValue=2.0)],
    inputs=[PluginVariable("value", "Value", "The number to scale.", VariableTypes.NUMBER, defaultValue=1.0)],
    outputs=[PluginVariable("result", "Result", "The scaled number.", VariableTypes.NUMBER)],
    id="scale",
)


def show(block: PluginBlock) -> None:
    """Shows a sphere of the given radius in the viewer of the running flow."""
    radius = max(0.1, float(block.inputs["radius"]))
    viewer = MolstarAPI()
    viewer.setBackgroundColor("#ffffff")
    viewer.addSphere(0.0, 0.0, 0.0, radius=radius, color="#3366cc", opacity=0.8)
    block.setOutput("shown", radius)


show_block = PluginBlock(
    "Show sphere",
    "Shows a sphere in the viewer.",
    action=show,
    inputs=[PluginVariable("radius", "Radius", "Radius of the sphere in Å.", VariableTypes.NUMBER, defaultValue=1.0)],
    outputs=[PluginVariable("shown", "Shown", "The radius shown.", VariableTypes.NUMBER)],
    id="show",
)
'''

SLURM_PART = '''
JOB_SCRIPT = """#!/bin/sh
#SBATCH --job-name=sum_numbers
#SBATCH --ntasks=1
awk '{{ total += $1 }} END {{ print total }}' numbers.txt
"""


def submit_sum(block: SlurmBlock) -> None:
    """First phase: makes a job folder with the numbers and a batch script, sends it to the
    remote's working directory and submits the script there."""
    work_dir = block.remote.workDir
    if work_dir is None:
        raise ValueError("The remote reports no working directory.")
    # The remote may be another machine: the job folder is made here and sent there.
    name = f"sum_{{block._placedID}}"
    count = int(block.variables["count"])
    with tempfile.TemporaryDirectory() as staging:
        folder = os.path.join(staging, name)
        os.makedirs(folder)
        with open(os.path.join(folder, "numbers.txt"), "w", encoding="utf-8") as out:
            out.write("".join(f"{{n}}\\n" for n in range(1, count + 1)))
        with open(os.path.join(folder, "sum.sh"), "w", encoding="utf-8") as out:
            out.write(JOB_SCRIPT)
        block.remote.sendData(folder, work_dir.rstrip("/") + "/")
    block.remote.submitJob(f"{{work_dir.rstrip('/')}}/{{name}}/sum.sh")


def collect_sum(block: SlurmBlock) -> None:
    """Second phase: the job printed the total."""
    text = (block.stdOut or "").strip()
    if not text:
        raise ValueError(f"The job printed nothing: {{block.stdErr or 'no error output'}}")
    block.setOutput("total", int(text.split()[-1]))


sum_block = SlurmBlock(
    "Sum numbers",
    "Adds the numbers 1 to count in a batch job.",
    submit_sum,
    collect_sum,
    variables=[PluginVariable("count", "Count", "How many numbers to add.", VariableTypes.INTEGER, defaultValue=10)],
    outputs=[PluginVariable("total", "Total", "Their sum.", VariableTypes.INTEGER)],
    id="sum_numbers",
)
'''

PAGE_PART = '''

def page_info(*_args: Any, **_kwargs: Any) -> Dict[str, str]:
    """Answers the page's request for the plugin's description."""
    return {{"plugin": "{name}", "blocks": "scale, show"}}


# Served by the platform at /plugins/pages/{slug}.about/info once registered.
about_page = PluginPage("About", "About", "What this plugin does.", "about.html")
about_page.addEndpoint(PluginEndpoint("/info", ["GET"], page_info))
'''

PLUGIN_PART = '''

class {cls}(Plugin):
    """The plugin object: blocks and pages held in attributes are registered by the host's scans."""

    def __init__(self) -> None:
        super().__init__()
{attributes}


plugin = {cls}()
'''

PAGE_HTML = """<!DOCTYPE html>
<html lang="en">
<head><meta charset="utf-8"><title>About {name}</title></head>
<body>
<h1>{name}</h1>
<p id="info">Loading…</p>
<script>
fetch("/plugins/pages/{slug}.about/info").then(r => r.json()).then(data => {{
    document.getElementById("info").textContent = data.plugin + ": " + data.blocks;
}});
</script>
</body>
</html>
"""


def plugin_script(name: str, extras: Sequence[str]) -> str:
    names = ["Plugin", "PluginBlock", "PluginVariable", "VariableTypes"]
    names += ["SlurmBlock"] if "slurm" in extras else []
    names += ["PluginEndpoint", "PluginPage"] if "page" in extras else []
    names += ["PluginConfig"] if "config" in extras else []
    imports = []
    if "slurm" in extras:
        imports += ["import os", "import tempfile"]
    if "page" in extras:
        imports.append("from typing import Any, Dict")
    if imports:
        imports.append("")
    imports.append("from QorvelAPI.molstar import MolstarAPI")
    imports.append("from QorvelAPI.plugins import " + ", ".join(sorted(names)))
    text = HEADER.format(name=name, imports="\n".join(imports))
    if "config" in extras:
        text += CONFIG_PART
    rounded = 'round(result, int(block.config.get("precision", 3)))' if "config" in extras else "result"
    text += SCALE_PART.format(config_doc=", rounded as the configuration says" if "config" in extras else "",
                              rounded=rounded)
    if "slurm" in extras:
        text += SLURM_PART.format()
    if "page" in extras:
        text += PAGE_PART.format(name=name, slug=slug(name))
    attributes = ["        self.scaleBlock = scale_block", "        self.showBlock = show_block"]
    attributes += ["        self.sumBlock = sum_block"] if "slurm" in extras else []
    attributes += ["        self.aboutPage = about_page"] if "page" in extras else []
    attributes += ["        self.addConfig(settings)"] if "config" in extras else []
    cls = "".join(part.capitalize() for part in re.split(r"[^A-Za-z0-9]+", name) if part) or "My"
    if not cls[0].isalpha():
        cls = "P" + cls
    return text + PLUGIN_PART.format(cls=cls + "Plugin", attributes="\n".join(attributes))


# -- flows and tests ------------------------------------------------------------------------------

def preset_flow(plugin_id: str) -> Dict[str, Any]:
    def end(placed: int, block: str, variable: str) -> Dict[str, Any]:
        return {"placedID": placed, "blockID": f"{plugin_id}.{block}", "variableID": variable,
                "variableType": "number", "variableAllowedValues": None}

    return {
        "name": "Scale and show",
        "savedID": f"{plugin_id}-scale-and-show",
        "blocks": [
            {"id": f"{plugin_id}.scale", "placedID": 1,
             "state": {"variables": [{"id": "factor", "value": 1.5, "type": "number"}]}, "inputs": {"value": 2.0}},
            {"id": f"{plugin_id}.show", "placedID": 2},
        ],
        "connections": [{"origin": end(1, "scale", "result"), "destination": end(2, "show", "radius"),
                         "isCyclic": False, "cycles": 1, "currentCycle": 0}],
    }


def test_cases(extras: Sequence[str]) -> Dict[str, Any]:
    cases: List[Dict[str, Any]] = [
        {"name": "scale multiplies the value by the factor", "block": "scale",
         "set": {"factor": 3.0}, "inputs": {"value": 2.5},
         "expect": {"status": "ok", "outputs": {"result": {"approx": 7.5, "abs": 1e-9}}}},
        {"name": "the preset flow shows the scaled radius", "flow": "Scale and show",
         "expect": {"outputs": {"show": {"shown": 3.0}}, "viewer_actions": ["setBackgroundColor", "addSphere"]}},
    ]
    if "config" in extras:
        cases.append({"name": "results are rounded as configured", "block": "scale", "config": {"precision": 1},
                      "set": {"factor": 1.0}, "inputs": {"value": 2.345},
                      "expect": {"outputs": {"result": 2.3}}})
    if "slurm" in extras:
        cases.append({"name": "the batch job adds the numbers", "block": "sum_numbers", "set": {"count": 4},
                      "timeout": 120, "expect": {"job_state": "COMPLETED", "outputs": {"total": 10}}})
    return {"cases": cases}


PYTEST_FILE = '''"""Tests of the plugin in Python: run by `qorvel-plugin test` and by pytest (the `plugin_host` fixture).

Without a folder, plugin_host() loads the plugin that holds this file (or --qorvel-plugin DIR).
"""

from typing import Callable

from QorvelAPI.devhost import PluginHost


def test_scale_block(plugin_host: Callable[..., PluginHost]) -> None:
    result = plugin_host().run("scale", set={{"factor": 4.0}}, inputs={{"value": 0.5}})
    assert result.ok, result.error
    assert result.outputs["result"] == 2.0


def test_show_block_sends_viewer_actions(plugin_host: Callable[..., PluginHost]) -> None:
    result = plugin_host().run("show", inputs={{"radius": 2.0}})
    assert [action["type"] for action in result.viewer_actions] == ["setBackgroundColor", "addSphere"]
{extra}'''

PYTEST_SLURM = '''

def test_batch_job(plugin_host: Callable[..., PluginHost]) -> None:
    result = plugin_host().run("sum_numbers", set={"count": 3})
    assert result.ok, result.error
    assert result.job is not None and result.job.state == "COMPLETED"
    assert result.outputs["total"] == 6
'''


# -- writing the folder ---------------------------------------------------------------------------

def create_plugin(name: str, parent: str = ".", extras: Sequence[str] = ()) -> str:
    """Writes the plugin folder ``<parent>/<slug of name>``; returns its path."""
    if not name.strip() or not re.fullmatch(r"[A-Za-z][A-Za-z0-9 _-]*", name.strip()):
        raise ScaffoldError(f"plugin name '{name}' must start with a letter and hold only letters, digits, "
                            f"spaces, '-' and '_'")
    name = name.strip()
    plugin_id = slug(name)
    module = re.sub(r"\W", "_", plugin_id)
    folder = os.path.abspath(os.path.join(parent, module))
    if os.path.exists(folder):
        raise ScaffoldError(f"{folder} already exists")
    meta = {"id": name, "name": name, "description": f"{name}: a Qorvel plugin.", "author": "Plugin author", "version": "0.1.0",
            "pluginFile": f"{module}.py", "minQorvelVersion": "1.0.0", "maxQorvelVersion": None,
            "platforms": ["universal"], "externalURL": None, "dependencies": []}
    files = {
        "plugin.meta": json.dumps(meta, indent=4) + "\n",
        f"{module}.py": plugin_script(name, extras),
        os.path.join("Flows", "scale_and_show.flow"): json.dumps(preset_flow(plugin_id), indent=4) + "\n",
        os.path.join("Tests", "cases.json"): json.dumps(test_cases(extras), indent=4) + "\n",
        os.path.join("Tests", f"test_{module}.py"): PYTEST_FILE.format(
            extra=PYTEST_SLURM if "slurm" in extras else ""),
    }
    if "page" in extras:
        files[os.path.join("Pages", "about.html")] = PAGE_HTML.format(name=name, slug=plugin_id)
    else:
        files[os.path.join("Pages", ".gitkeep")] = ""
    for relative, text in files.items():
        path = os.path.join(folder, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(text)
    return folder
