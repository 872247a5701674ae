"""Example plugin: a small ligand-screening toolbox.

It shows every part of a Qorvel plugin:

- variables of several kinds (text, numbers, a choice, a switch), a variable group (the docking
  box) and a variable list (residues to keep, one row per residue);
- an input block that asks for a number and an action block that uses it;
- a cluster job block that refines the hits in a short batch job (on a SLURM cluster, or on this
  machine), and a block that shows the result in the molecular viewer;
- a configuration block whose values the platform stores and hands to actions as ``block.config``;
- an extension page with an HTTP endpoint, and a custom variable that the page renders;
- preset flows in the ``Flows`` folder that wire the blocks together.

The platform imports this script, takes ``plugin``, calls ``plugin._addBlocks()`` and
``plugin._addPages()``, and runs the blocks of a flow on copies of the blocks declared here.
"""

import json
import os
import tempfile
from typing import Any, Dict, List

from QorvelAPI.molstar import MolstarAPI
from QorvelAPI.plugins import (
    CustomVariable,
    InputBlock,
    Plugin,
    PluginBlock,
    PluginConfig,
    PluginEndpoint,
    PluginPage,
    PluginVariable,
    SlurmBlock,
    VariableGroup,
    VariableList,
    VariableTypes,
)

DEFAULT_WEIGHTS = {"vdw": 1.0, "hbond": 1.0, "electrostatics": 0.5}

# ---- Extension page -----------------------------------------------------------------------------


def default_weights(*_args: Any, **_kwargs: Any) -> Dict[str, float]:
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


def docking_box() -> VariableGroup:
    """A new docking-box group: each block declares its own variables."""
    return VariableGroup(
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


box = docking_box()
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


def score(index: int, weights_used: Dict[str, Any], exhaustive: bool) -> float:
    """A deterministic stand-in for a docking score."""
    base = -4.0 - (index * 37 % 50) / 10.0
    total_weight = sum(float(w) for w in weights_used.values()) or 1.0
    return round(base * total_weight / len(weights_used) - (0.5 if exhaustive else 0.0), 3)


def screen(block: PluginBlock) -> None:
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

# ---- Cluster job block --------------------------------------------------------------------------
# Runs as a batch job on the remote selected for the block: the SLURM queue of a cluster, or this
# machine. The first action writes and submits the script; the second reads the job's output.

REFINE_SCRIPT = """#!/bin/sh
#SBATCH --job-name=refine_hits
#SBATCH --ntasks=1
# Refines each hit in {steps} rounds (a stand-in for a real minimisation).
while read -r ligand score; do
    [ -n "$ligand" ] || continue
    step=1
    while [ "$step" -le {steps} ]; do
        score=$(awk -v s="$score" 'BEGIN {{ printf "%.3f", s - 0.15 }}')
        step=$((step + 1))
    done
    echo "$ligand $score"
    sleep 1
done < hits.txt
"""


def submit_refinement(block: SlurmBlock) -> None:
    """First phase: writes the hits and the batch script into a job folder, sends the folder to the
    remote's working directory and submits the script there."""
    hits = json.loads(block.inputs["report"] or "{}").get("hits", [])
    if not hits:
        raise ValueError("The report holds no hits to refine.")
    work_dir = block.remote.workDir
    if work_dir is None:
        raise ValueError("The remote reports no working directory.")
    # The remote may be another machine: the job folder is made here and sent there.
    name = f"refine_{block._placedID}"
    with tempfile.TemporaryDirectory() as staging:
        folder = os.path.join(staging, name)
        os.makedirs(folder)
        with open(os.path.join(folder, "hits.txt"), "w", encoding="utf-8") as out:
            for hit in hits[: int(block.variables["max_hits"])]:
                out.write(f"{hit['ligand']} {hit['score']}\n")
        with open(os.path.join(folder, "refine.sh"), "w", encoding="utf-8") as out:
            out.write(REFINE_SCRIPT.format(steps=int(block.variables["steps"])))
        block.remote.sendData(folder, work_dir.rstrip("/") + "/")
    block.remote.submitJob(f"{work_dir.rstrip('/')}/{name}/refine.sh")


def collect_refinement(block: SlurmBlock) -> None:
    """Second phase: the job's standard output holds one refined "ligand score" line per hit."""
    refined: List[Dict[str, Any]] = []
    for line in (block.stdOut or "").splitlines():
        parts = line.split()
        if len(parts) == 2:
            refined.append({"ligand": parts[0], "score": float(parts[1])})
    if not refined:
        raise ValueError(f"The refinement job printed no results: {block.stdErr or 'no error output'}")
    refined.sort(key=lambda hit: float(hit["score"]))
    block.setOutput("refined", json.dumps(refined))
    block.setOutput("best_ligand", refined[0]["ligand"])


refine_block = SlurmBlock(
    "Refine hits",
    "Refines the best hits of a screen in a batch job.",
    submit_refinement,
    collect_refinement,
    variables=[
        PluginVariable("steps", "Refinement steps", "Rounds of refinement per hit.", VariableTypes.INTEGER,
                       defaultValue=3),
        PluginVariable("max_hits", "Hits to refine", "How many of the best hits to refine.",
                       VariableTypes.INTEGER, defaultValue=3),
    ],
    inputs=[PluginVariable("report", "Report", "Screening report (JSON).", VariableTypes.STRING)],
    outputs=[
        PluginVariable("refined", "Refined hits", "Refined hits with their scores (JSON).", VariableTypes.STRING),
        PluginVariable("best_ligand", "Best ligand", "The best ligand after refinement.", VariableTypes.STRING),
    ],
    id="refine_hits",
)

# ---- Viewer block -------------------------------------------------------------------------------


def show_hits(block: PluginBlock) -> None:
    """Shows the docking box and one sphere per refined hit in the viewer of the running flow."""
    viewer = MolstarAPI()
    box_values = block.variables["box"]
    center = [float(box_values[k]) for k in ("center_x", "center_y", "center_z")]
    size = float(box_values["size"])
    viewer.setBackgroundColor("#ffffff")
    viewer.addBox(center, [size, size, size], lineSize=0.5, color="#3366cc", opacity=0.6)
    hits = json.loads(block.inputs["hits"] or "[]")
    for rank, hit in enumerate(hits):
        # Spread the hits around the box centre, the best one largest.
        offset = (rank - (len(hits) - 1) / 2) * 2.5
        viewer.addSphere(center[0] + offset, center[1], center[2], radius=max(0.6, 1.6 - 0.3 * rank),
                         color="#cc3333" if rank == 0 else "#ff9933", opacity=0.8)
    viewer.setSpin(0.5)
    block.setOutput("shown", len(hits))


show_block = PluginBlock(
    "Show hits",
    "Shows the docking box and the refined hits in the viewer.",
    action=show_hits,
    variables=[docking_box()],
    inputs=[PluginVariable("hits", "Hits", "Hits to show (JSON).", VariableTypes.STRING)],
    outputs=[PluginVariable("shown", "Shown", "Number of hits shown.", VariableTypes.INTEGER)],
    id="show_hits",
)

# ---- Plugin -------------------------------------------------------------------------------------


class ExamplePlugin(Plugin):
    """The plugin object: blocks and pages held in attributes are registered by the host's scans."""

    def __init__(self) -> None:
        super().__init__()
        self.askCount = ask_count
        self.screenBlock = screen_block
        self.refineBlock = refine_block
        self.showBlock = show_block
        self.weightsPage = weights_page
        self.addConfig(settings)


plugin = ExamplePlugin()
