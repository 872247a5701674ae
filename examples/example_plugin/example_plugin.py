"""Example plugin: a small ligand-screening toolbox.

It shows every part of a Qorvel plugin:

- variables of several kinds (text, numbers, a choice, a switch), a variable group (the docking
  box) and a variable list (residues to keep, one row per residue);
- an input block that asks for a number and an action block that uses it;
- a configuration block whose values the platform stores and hands to actions as ``block.config``;
- an extension page with an HTTP endpoint, and a custom variable that the page renders;
- a preset flow in the ``Flows`` folder that wires the two blocks together.

The platform imports this script, takes ``plugin``, calls ``plugin._addBlocks()`` and
``plugin._addPages()``, and runs the blocks of a flow on copies of the blocks declared here.
"""

import json

from QorvelAPI.plugins import (
    CustomVariable,
    InputBlock,
    Plugin,
    PluginBlock,
    PluginConfig,
    PluginEndpoint,
    PluginPage,
    PluginVariable,
    VariableGroup,
    VariableList,
    VariableTypes,
)

DEFAULT_WEIGHTS = {"vdw": 1.0, "hbond": 1.0, "electrostatics": 0.5}

# ---- Extension page -----------------------------------------------------------------------------


def default_weights(*_args, **_kwargs):
    """Answers the page's request for the default scoring weights."""
    return dict(DEFAULT_WEIGHTS)


# Served by the platform at /plugins/pages/example_plugin.scoring_weights/defaults once registered.
weights_page = PluginPage(
    "Scoring Weights",
    "Scoring weights",
    "Edit the weights of the scoring function.",
    "scoring_weights.html",
    hidden=True,
)
weights_page.addEndpoint(PluginEndpoint("/defaults", ["GET"], default_weights))

# ---- Variables ----------------------------------------------------------------------------------

ligand_count = PluginVariable(
    "ligand_count", "Ligand count", "How many ligands to screen.", VariableTypes.INTEGER, defaultValue=10
)
mode = PluginVariable(
    "mode", "Mode", "Speed against thoroughness.", VariableTypes.STRING_LIST, allowedValues=["fast", "exhaustive"]
)
threshold = PluginVariable(
    "threshold", "Score threshold", "Keep ligands scoring below this value.", VariableTypes.NUMBER, defaultValue=-7.0
)
keep_best = PluginVariable(
    "keep_best", "Keep best only", "Report only the best ligand.", VariableTypes.BOOLEAN, defaultValue=False
)
box = VariableGroup(
    "box",
    "Docking box",
    "Centre and size of the search box.",
    [
        PluginVariable("center_x", "Centre x", "Å", VariableTypes.NUMBER, defaultValue=0.0),
        PluginVariable("center_y", "Centre y", "Å", VariableTypes.NUMBER, defaultValue=0.0),
        PluginVariable("center_z", "Centre z", "Å", VariableTypes.NUMBER, defaultValue=0.0),
        PluginVariable("size", "Size", "Edge length in Å", VariableTypes.NUMBER, defaultValue=20.0),
    ],
)
residues = VariableList(
    "residues",
    "Flexible residues",
    "Residues that may move during docking.",
    [
        PluginVariable("chain", "Chain", "Chain identifier", VariableTypes.STRING, defaultValue="A"),
        PluginVariable("residue", "Residue", "Residue number", VariableTypes.INTEGER),
    ],
)
weights = CustomVariable(
    "weights",
    "Scoring weights",
    "Weights of the scoring terms, edited on the scoring weights page.",
    VariableTypes.CUSTOM,
    weights_page,
    defaultValue=dict(DEFAULT_WEIGHTS),
)
report = PluginVariable("report", "Report", "Summary of the screen (JSON).", VariableTypes.STRING)
best_score = PluginVariable("best_score", "Best score", "Lowest score found.", VariableTypes.NUMBER)

# ---- Blocks -------------------------------------------------------------------------------------


def score(index, weights_used, exhaustive):
    """A deterministic stand-in for a docking score."""
    base = -4.0 - (index * 37 % 50) / 10.0
    total_weight = sum(float(w) for w in weights_used.values()) or 1.0
    return round(base * total_weight / len(weights_used) - (0.5 if exhaustive else 0.0), 3)


def screen(block):
    """Scores the requested number of ligands and reports those under the threshold."""
    count = int(block.inputs["ligand_count"])
    settings = block.variables
    exhaustive = settings["mode"] == "exhaustive"
    scores = [score(i, settings["weights"] or DEFAULT_WEIGHTS, exhaustive) for i in range(count)]
    hits = sorted((s, f"ligand_{i + 1}") for i, s in enumerate(scores) if s < settings["threshold"])
    if settings["keep_best"]:
        hits = hits[:1]
    summary = {
        "program": block.config.get("score_program", "builtin"),
        "workers": block.config.get("max_workers", 1),
        "mode": settings["mode"],
        "box": settings["box"],
        "flexible": settings["residues"] or [],
        "hits": [{"ligand": name, "score": s} for s, name in hits],
    }
    block.setOutput("report", json.dumps(summary))
    block.setOutput("best_score", min(scores) if scores else None)


ask_count = InputBlock(
    "Ligand count",
    "Asks how many ligands to screen.",
    PluginVariable("ligand_count", "Ligand count", "How many ligands to screen.", VariableTypes.INTEGER,
                   defaultValue=10),
    id="ligand_count",
)

screen_block = PluginBlock(
    "Screen ligands",
    "Scores ligands in the docking box and reports the hits.",
    action=screen,
    variables=[mode, threshold, keep_best, box, residues, weights],
    inputs=[ligand_count],
    outputs=[report, best_score],
    id="screen_ligands",
    externalURL="https://example.org/qorvel/example-plugin#screen",
)

settings = PluginConfig(
    "Screening settings",
    "Where the scoring program lives and how many workers it may use.",
    variables=[
        PluginVariable("score_program", "Scoring program", "Path of the scoring program.", VariableTypes.FILE,
                       defaultValue="/usr/local/bin/score"),
        PluginVariable("max_workers", "Workers", "Parallel workers.", VariableTypes.INTEGER, defaultValue=4),
    ],
    id="settings",
)

# ---- Plugin -------------------------------------------------------------------------------------


class ExamplePlugin(Plugin):
    """The plugin object: blocks and pages held in attributes are registered by the host's scans."""

    def __init__(self):
        super().__init__()
        self.askCount = ask_count
        self.screenBlock = screen_block
        self.weightsPage = weights_page
        self.addConfig(settings)


plugin = ExamplePlugin()
