"""Tests of the example plugin in Python, run by `qorvel-plugin test` and by pytest with the plugin.

`plugin_host()` loads the plugin that holds this file (or the folder given with --qorvel-plugin).
"""

import json
from typing import Callable

from QorvelAPI.devhost import PluginHost


def test_a_stricter_threshold_keeps_fewer_hits(plugin_host: Callable[..., PluginHost]) -> None:
    host = plugin_host()
    loose = host.run("screen_ligands", set={"threshold": -6.5}, inputs={"ligand_count": 20})
    strict = host.run("screen_ligands", set={"threshold": -7.2, "keep_best": True}, inputs={"ligand_count": 20})
    assert loose.ok and strict.ok, loose.error or strict.error
    assert len(json.loads(strict.outputs["report"])["hits"]) == 1 < len(json.loads(loose.outputs["report"])["hits"])
    assert strict.outputs["best_score"] < -7


def test_refinement_runs_as_a_batch_job(plugin_host: Callable[..., PluginHost]) -> None:
    report = json.dumps({"hits": [{"ligand": "ligand_5", "score": -7.0}]})
    result = plugin_host().run("refine_hits", set={"steps": 2}, inputs={"report": report})
    assert result.ok, result.error
    assert result.job is not None and result.job.state == "COMPLETED"
    assert json.loads(result.outputs["refined"]) == [{"ligand": "ligand_5", "score": -7.3}]
