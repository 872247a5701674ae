"""The local host for plugin authors' tests: PluginHost, expectations, `test`, `new`, `run --dry-run`, pytest."""

import importlib.metadata
import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ET
from html.parser import HTMLParser
from pathlib import Path

import pytest

from QorvelAPI.devhost import PluginHost
from QorvelAPI.devhost.cases import pytest_environment
from QorvelAPI.devhost.expect import CaseError, mismatches
from QorvelAPI.devhost.flow import FlowError
from QorvelAPI.devhost.run import HostError
from test_stubs import run_mypy

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "example_plugin"

# PyYAML's compiled parser keeps the code objects of its module until exit, which the memory-checked
# run of the suite reports as leaks (too deep in the interpreter to suppress by name): these tests
# read the YAML case files with PyYAML's own Python parser.
sys.modules.setdefault("yaml._yaml", None)


@pytest.mark.parametrize("expected, actual, problem", [
    ({"approx": -7.5, "abs": 0.01}, -7.505, None),
    ({"approx": -7.5, "abs": 0.01}, -7.52, "expected -7.5 ± 0.01, got -7.52"),
    ({"approx": 1000, "rel": 0.01}, 1009.0, None),
    ({"min": 0}, float("nan"), "expected at least 0, got nan"),
    ({"pattern": r"^ligand_\d+$"}, "ligand_12", None),
    ({"pattern": "x"}, 3, "expected text, got 3"),
    ({"json": {"hits": [{"score": {"max": -6}}]}}, '{"hits": [{"score": -5, "ligand": "a"}], "mode": "fast"}',
     "x(json).hits[0].score: expected at most -6, got -5"),
    ({"a": 1}, {"a": 1, "b": 2}, None),  # objects are partial
    ({"equals": {"a": 1}}, {"a": 1, "b": 2}, "expected exactly"),
    (1, True, "expected 1, got true"),
    ([1, 2], [1], "expected 2 items"),
])
def test_expected_values(expected, actual, problem):
    found = mismatches(expected, actual, "x")
    assert (found == []) if problem is None else (len(found) == 1 and problem in found[0]), found


def test_malformed_expectations_are_the_case_s_fault():
    for expected in ({"abs": 1}, {"approx": "7"}, {"pattern": "("}, {"equals": 1, "min": 0}):
        with pytest.raises(CaseError):
            mismatches(expected, 1 if "pattern" not in expected else "t", "x")


def test_plugin_host_runs_blocks_and_flows_as_the_server_does(tmp_path):
    host = PluginHost(EXAMPLE, queue="local", workdir=tmp_path / "w", config_path=str(tmp_path / "c.json"),
                      config={"max_workers": 3}, job_timeout=120, poll=0.1)
    before = [json.dumps(b._toDict()) for b in host.plugin._blocks]
    screen = host.run("screen_ligands", set={"threshold": -7.2}, inputs={"ligand_count": 20})
    assert screen.ok and screen.outputs["best_score"] == -7.333 and screen.job is None
    assert json.loads(screen.outputs["report"])["workers"] == 3 and os.path.isfile(screen.flow_path)
    # The cluster job block's action uses block.remote: the host attached it before the call.
    flow = host.flow("screen_and_refine", set={"screen_ligands": {"threshold": -7.6}, 3: {"max_hits": 1}},
                     inputs={1: {"ligand_count": 16}})
    assert flow.ok, flow.error
    assert flow["refine_hits"].job.state == "COMPLETED" and flow["refine_hits"].job.stdout == "ligand_5 -8.433\n"
    assert flow.outputs[4] == {"shown": 1} and [a["type"] for a in flow.viewer_actions].count("addSphere") == 1
    failed = host.run("refine_hits", inputs={"report": "{}"})
    assert not failed.ok and "no hits to refine" in failed.error and "example_plugin.py" in failed.traceback
    for call, words in ((lambda: host.run("screen_ligands", set={"treshold": 1}), "has no variable 'treshold'"),
                        (lambda: host.flow("screen_and_refine", set={9: {}}), "has no placement '9'"),
                        (lambda: host.flow("nothing"), "no preset flow named 'nothing'")):
        with pytest.raises(HostError, match=words):
            call()
    # Values are checked as the flow editor constrains them, before anything runs.
    with pytest.raises(FlowError, match="variable 'mode' is declared string\\[\\] with allowed values"):
        host.flow("screen_and_refine", set={2: {"mode": "slow"}})
    assert [json.dumps(b._toDict()) for b in host.plugin._blocks] == before
    assert host.check().ok


def test_dry_run_prints_the_batch_script_and_submits_nothing(cli, tmp_path):
    report = json.dumps({"hits": [{"ligand": "a", "score": -7.0}]})
    # The SLURM queue is asked for but never used: a dry run chooses no queue.
    code, out, err = cli("run", EXAMPLE, "refine_hits", "--input", f"report={report}", "--set", "steps=4",
                         "--dry-run", "--queue", "slurm", "--workdir", tmp_path / "w")
    assert code == 0, err
    assert "dry run: 1 batch script(s) would be submitted" in out and "#SBATCH --job-name=refine_hits" in out
    assert "while [ \"$step\" -le 4 ]" in out and "queue: dry run" in err
    assert not list((tmp_path / "w").rglob("slurm-*")) and (tmp_path / "w" / "refine_1" / "hits.txt").is_file()
    code, out, _ = cli("run", EXAMPLE, "refine_hits", "--input", f"report={report}", "--dry-run", "--json",
                       "--workdir", tmp_path / "j")
    scripts = json.loads(out)["dryRun"]["scripts"]
    assert code == 0 and len(scripts) == 1 and scripts[0]["path"].endswith("refine_1/refine.sh")
    code, _, err = cli("run", EXAMPLE, "screen_ligands", "--dry-run")
    assert code == 1 and "is not a cluster job block" in err


class _Tags(HTMLParser):
    """Collects the tags of a page and checks that every element it opens is closed."""

    VOID = {"meta", "br", "link", "img", "input"}

    def __init__(self):
        super().__init__()
        self.open, self.seen, self.attributes, self.text = [], [], [], []

    def handle_starttag(self, tag, attrs):
        self.seen.append(tag)
        self.attributes.extend(name for name, _ in attrs)
        if tag not in self.VOID:
            self.open.append(tag)

    def handle_endtag(self, tag):
        assert self.open and self.open.pop() == tag, (tag, self.open)

    def handle_data(self, data):
        self.text.append(data)


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_a_new_plugin_passes_check_test_and_mypy_and_failures_are_reported(cli, tmp_path):
    code, out, _ = cli("new", "Lab Tools", "--with", "slurm,page,config", "--dir", tmp_path)
    folder = tmp_path / "lab_tools"
    assert code == 0 and sorted(p.name for p in folder.iterdir()) == [
        "Flows", "Pages", "Tests", "lab_tools.py", "plugin.meta"]
    assert cli("check", folder)[0] == 0
    code, out, err = cli("test", folder)
    assert code == 0 and "7 passed, 0 failed (4 cases, 3 pytest tests)" in out, out + err
    # The package's own modules are checked as an installed package's are: their errors are not the plugin's.
    errors, status = run_mypy(tmp_path, folder / "lab_tools.py", folder / "Tests" / "test_lab_tools.py",
                              EXAMPLE / "Tests" / "test_example_plugin.py", strict=True, silent=["QorvelAPI.devhost.*"])
    assert errors == [] and status == 0
    assert cli("new", "Lab Tools", "--dir", tmp_path)[2] == f"error: {folder} already exists\n"
    assert "unknown part 'gpu' for --with (choose from slurm, page, config)" in cli("new", "X", "--with", "gpu")[2]

    # A wrong tolerance, an unreadable file, an unknown key and a failing pytest test.
    tests = folder / "Tests"
    (tests / "more.json").write_text(json.dumps([
        {"name": "too tight", "block": "scale", "inputs": {"value": 1.0}, "expect": {"outputs": {"result": 2.5}}},
        {"name": "typo", "block": "scale", "expcet": {}}]))
    (tests / "broken.json").write_text("{")
    (tests / "test_more.py").write_text("def test_no(plugin_host):\n    assert plugin_host().run('scale').outputs"
                                        "['result'] == 3\n")
    code, out, err = cli("test", folder, "--junit-xml", tmp_path / "j.xml", "--html", tmp_path / "r.html")
    assert code == 1 and "7 passed, 2 failed, 2 errors (7 cases, 4 pytest tests)" in out, out
    assert "outputs.result: expected 2.5, got 2.0" in out and "unknown key \"expcet\"" in out
    root = ET.parse(tmp_path / "j.xml").getroot()
    suites = {s.get("name"): s for s in root.iter("testsuite")}
    assert root.get("tests") == "11" and set(suites) == {"lab_tools.cases", "lab_tools.pytest"}
    assert [c.get("name") for c in suites["lab_tools.pytest"] if c.find("failure") is not None] == ["test_no"]
    assert suites["lab_tools.cases"].get("errors") == "2" and suites["lab_tools.cases"].get("failures") == "1"
    page = _Tags()
    page.feed((tmp_path / "r.html").read_text(encoding="utf-8"))
    page.close()
    assert page.open == [] and page.seen[:2] == ["html", "head"]
    assert not {"src", "href"} & set(page.attributes) and "script" not in page.seen  # self-contained
    text = " ".join(page.text)
    assert "addSphere" in text and "too tight" in text and "expected 2.5, got 2.0" in text


def pytest_command(*args):
    """pytest with the plugin: by its entry point where the package is installed, else by module."""
    installed = any(ep.name == "qorvel" for ep in importlib.metadata.entry_points(group="pytest11"))
    load = [] if installed else ["-p", "QorvelAPI.devhost.pytest_plugin"]
    return [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *load, *map(str, args)]


def test_the_example_plugin_s_tests_run_through_both_runners(cli, tmp_path):
    code, out, err = cli("test", EXAMPLE, "--junit-xml", tmp_path / "j.xml")
    assert code == 0 and "7 passed, 0 failed (5 cases, 2 pytest tests)" in out, out + err
    assert ET.parse(tmp_path / "j.xml").getroot().get("failures") == "0"
    # By pytest itself: the fixture finds the plugin that holds the tests, or takes --qorvel-plugin.
    (tmp_path / "test_elsewhere.py").write_text(
        "def test_named(plugin_host):\n    assert plugin_host('example_plugin').plugin.id == 'example_plugin'\n"
        "def test_default(plugin_host):\n    assert plugin_host().run('ligand_count').outputs == {'ligand_count': 10}\n")
    for args in ([EXAMPLE / "Tests"], [tmp_path / "test_elsewhere.py", "--qorvel-plugin", EXAMPLE]):
        done = subprocess.run(pytest_command(*args, f"--basetemp={tmp_path / 'base'}"), cwd=tmp_path,
                              capture_output=True, text=True, env=pytest_environment())
        assert done.returncode == 0 and "2 passed" in done.stdout, done.stdout + done.stderr
