"""``qorvel-plugin test``: the test cases in a plugin's ``Tests`` folder, and its ``test_*.py`` files.

A case file (``Tests/*.json``, or ``*.yaml``/``*.yml`` where PyYAML is installed) holds one case, a
list of cases, or ``{"cases": [...]}``. A case runs a block or a flow and says what it expects::

    {
        "name": "twenty ligands give hits",
        "block": "screen_ligands",             (or "flow": a preset flow's name or a .flow file)
        "set": {"threshold": -6.5},            (a flow: {"<placedID or block id>": {...}})
        "inputs": {"ligand_count": 20},        (a flow: as "set")
        "input_group": "default",
        "config": {"max_workers": 2},          (saved to a configuration file of the case's own)
        "queue": "local", "timeout": 300,
        "expect": {
            "status": "ok",                    ("error" for a case that must fail)
            "outputs": {"best_score": {"approx": -8.9, "abs": 0.01}},
                                               (a flow: {"<placedID or block id>": {...}})
            "error": {"pattern": "no hits"}, "logs": {...}, "printed": {...},
            "viewer_actions": ["addBox", {"type": "addSphere"}],
            "job_state": "COMPLETED"
        }
    }

Expected values are described in ``expect``. Cluster job blocks run on the local runner unless the
case or the command asks for another queue, and a job is cancelled after ``timeout`` seconds.
The ``test_*.py`` files run through pytest with the ``plugin_host`` fixture pointed at the plugin.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

from .api import FlowResult, PluginHost, RunResult
from .expect import CaseError, mismatches
from .flow import FlowError
from .loader import LoadedPlugin, one_line
from .run import HostError
from .safe_files import CASE_FILE, load_json, parse_nested, read_text
from .runner import QueueError

CASE_KEYS = frozenset({"name", "block", "flow", "set", "inputs", "input_group", "config", "queue", "timeout",
                       "expect", "description"})
EXPECT_KEYS = frozenset({"status", "outputs", "error", "logs", "printed", "viewer_actions", "job_state"})
DEFAULT_TIMEOUT = 300.0



@dataclass
class Outcome:
    """One test's result: a case of a case file, or a pytest test."""

    name: str
    source: str  # the file, relative to the plugin folder
    kind: str  # "case" or "pytest"
    status: str  # "passed", "failed", "error" or "skipped"
    seconds: float = 0.0
    failures: List[str] = field(default_factory=list)
    result: Union[RunResult, FlowResult, None] = None
    detail: str = ""  # pytest's report of a failure, or what made a case unusable

    @property
    def viewer_actions(self) -> List[Any]:
        return list(self.result.viewer_actions) if self.result is not None else []


@dataclass
class TestReport:
    plugin_id: str
    folder: str
    outcomes: List[Outcome]
    seconds: float
    pytest_output: str = ""

    def count(self, status: str) -> int:
        return sum(1 for o in self.outcomes if o.status == status)

    @property
    def ok(self) -> bool:
        return bool(self.outcomes) and all(o.status in ("passed", "skipped") for o in self.outcomes)


@dataclass
class Case:
    name: str
    source: str
    entry: Dict[str, Any]


# -- reading case files ---------------------------------------------------------------------------

def _read_file(path: str) -> Any:
    text = read_text(path, CASE_FILE)
    if path.endswith(".json"):
        return load_json(text)
    try:
        import yaml  # noqa: PLC0415 (YAML case files need PyYAML; JSON ones never do)
    except ImportError:
        raise CaseError("YAML case files need PyYAML (Debian package python3-yaml); use JSON instead") from None
    return parse_nested(yaml.safe_load, text)


def _as_cases(data: Any) -> List[Any]:
    if isinstance(data, dict) and "cases" in data and not ({"block", "flow"} & set(data)):
        data = data["cases"]
    if isinstance(data, dict):
        return [data]
    if isinstance(data, list):
        return data
    raise CaseError("a case file holds a case object, a list of cases or {\"cases\": [...]}")


def _validate(entry: Any, where: str) -> None:
    if not isinstance(entry, dict):
        raise CaseError(f"{where}: a case must be an object")
    unknown = sorted(set(entry) - CASE_KEYS)
    if unknown:
        raise CaseError(f"{where}: unknown key \"{unknown[0]}\" (known: {', '.join(sorted(CASE_KEYS))})")
    if ("block" in entry) == ("flow" in entry):
        raise CaseError(f"{where}: a case names either a \"block\" or a \"flow\"")
    expect = entry.get("expect", {})
    if not isinstance(expect, dict):
        raise CaseError(f"{where}: \"expect\" must be an object")
    unknown = sorted(set(expect) - EXPECT_KEYS)
    if unknown:
        raise CaseError(f"{where}: unknown expectation \"{unknown[0]}\" (known: {', '.join(sorted(EXPECT_KEYS))})")
    for key in ("set", "inputs", "config"):
        if not isinstance(entry.get(key, {}), dict):
            raise CaseError(f"{where}: \"{key}\" must be an object")


def case_files(tests_dir: str) -> Tuple[List[str], List[str]]:
    """The case files and the pytest files of a ``Tests`` folder (relative to it), sorted."""
    if not os.path.isdir(tests_dir):
        return [], []
    names = sorted(os.listdir(tests_dir))
    # Anything but a folder is listed: a FIFO or a link to a device is reported, not skipped.
    cases = [n for n in names if n.endswith((".json", ".yaml", ".yml")) and not os.path.isdir(os.path.join(tests_dir, n))]
    scripts = [n for n in names if n.startswith("test_") and n.endswith(".py")]
    return cases, scripts


def read_cases(folder: str, names: List[str]) -> Tuple[List[Case], List[Outcome]]:
    """The cases of the files, and an error outcome for every file or case that cannot be used."""
    cases: List[Case] = []
    broken: List[Outcome] = []
    for name in names:
        source = os.path.join("Tests", name)
        try:
            entries = _as_cases(_read_file(os.path.join(folder, source)))
        except (OSError, ValueError, CaseError) as exc:
            broken.append(Outcome(name, source, "case", "error", detail=f"cannot read {source}: {_reason(exc)}"))
            continue
        except Exception as exc:  # a YAML syntax error
            broken.append(Outcome(name, source, "case", "error", detail=f"cannot read {source}: {one_line(exc)}"))
            continue
        for index, entry in enumerate(entries):
            label = entry.get("name") if isinstance(entry, dict) and isinstance(entry.get("name"), str) else None
            label = label or f"case {index + 1}"
            try:
                _validate(entry, f"{source}: {label}")
            except CaseError as exc:
                broken.append(Outcome(label, source, "case", "error", detail=str(exc)))
                continue
            cases.append(Case(label, source, entry))
    return cases, broken


def _reason(exc: BaseException) -> str:
    if isinstance(exc, json.JSONDecodeError):
        return f"invalid JSON at line {exc.lineno} column {exc.colno}: {exc.msg}"
    if isinstance(exc, OSError):
        return str(exc.strerror or exc)
    return str(exc)


# -- running cases --------------------------------------------------------------------------------

def run_case(case: Case, loaded: LoadedPlugin, workdir: str, queue: str, job_timeout: float) -> Outcome:
    entry = case.entry
    outcome = Outcome(case.name, case.source, "case", "passed")
    started = time.monotonic()
    os.makedirs(workdir, exist_ok=True)
    try:
        timeout = entry.get("timeout", job_timeout)
        if not isinstance(timeout, (int, float)) or isinstance(timeout, bool) or timeout <= 0:
            raise CaseError(f"\"timeout\" must be a positive number of seconds, got {json.dumps(timeout)}")
        host = PluginHost(loaded.folder, queue=entry.get("queue", queue), workdir=workdir, loaded=loaded,
                          config_path=os.path.join(workdir, "plugin.config.json"), config=entry.get("config"),
                          job_timeout=float(timeout), poll=0.2)
        if "block" in entry:
            outcome.result = host.run(entry["block"], set=entry.get("set"), inputs=entry.get("inputs"),
                                      input_group=entry.get("input_group"))
        else:
            flow = entry["flow"]
            if isinstance(flow, str) and flow.endswith(".flow") and not os.path.isabs(flow):
                flow = os.path.join(loaded.folder, flow)
            outcome.result = host.flow(flow, set=entry.get("set"), inputs=entry.get("inputs"))
        outcome.failures = expectation_failures(entry.get("expect", {}), outcome.result)
        outcome.status = "failed" if outcome.failures else "passed"
    except (HostError, FlowError, QueueError, CaseError) as exc:
        outcome.status, outcome.detail = "error", str(exc)
    except Exception as exc:  # e.g. a value the model refused while saving the configuration
        outcome.status, outcome.detail = "error", one_line(exc)
    outcome.seconds = time.monotonic() - started
    return outcome


def expectation_failures(expect: Dict[str, Any], result: Union[RunResult, FlowResult]) -> List[str]:
    failures: List[str] = []
    status = "ok" if result.ok else "error"
    wanted = expect.get("status", "ok")
    if wanted != status:
        failures.append(f"status: expected {wanted}, got {status}" + (f" ({result.error})" if result.error else ""))
    if "outputs" in expect:
        failures.extend(_output_failures(expect["outputs"], result))
    for key, actual in (("error", result.error), ("logs", result.logs),
                        ("printed", _printed(result)), ("viewer_actions", result.viewer_actions)):
        if key in expect:
            failures.extend(_action_failures(expect[key], actual) if key == "viewer_actions"
                            else mismatches(expect[key], actual, key))
    if "job_state" in expect:
        jobs = [result.job] if isinstance(result, RunResult) else result.jobs
        states = [job.state for job in jobs if job is not None]
        if not states or any(state != expect["job_state"] for state in states):
            failures.append(f"job_state: expected {expect['job_state']}, got {', '.join(states) or 'no job'}")
    return failures


def _printed(result: Union[RunResult, FlowResult]) -> str:
    return result.printed if isinstance(result, RunResult) else "".join(b.printed for b in result.blocks)


def _output_failures(expected: Any, result: Union[RunResult, FlowResult]) -> List[str]:
    if not isinstance(expected, dict):
        raise CaseError("\"outputs\" must be an object")
    if isinstance(result, RunResult):
        return mismatches(expected, result.outputs, "outputs")
    failures: List[str] = []
    for key, outputs in expected.items():
        try:
            block = result.block(key)
        except KeyError as exc:
            failures.append(f"outputs.{key}: {exc.args[0]}")
            continue
        failures.extend(mismatches(outputs, block.outputs, f"outputs.{key}"))
    return failures


def _action_failures(expected: Any, actions: List[Any]) -> List[str]:
    """Viewer actions: a list with one entry per action, its type or an object it must match."""
    if not isinstance(expected, list):
        raise CaseError("\"viewer_actions\" must be a list")
    normalised = [{"type": e} if isinstance(e, str) else e for e in expected]
    if len(normalised) != len(actions):
        types = [a.get("type") if isinstance(a, dict) else a for a in actions]
        return [f"viewer_actions: expected {len(normalised)} actions, got {len(actions)}: {json.dumps(types)}"]
    return mismatches(normalised, actions, "viewer_actions")


# -- test_*.py through pytest ---------------------------------------------------------------------

def pytest_environment() -> Dict[str, str]:
    """The child's environment, with this process's QorvelAPI first on the path (a checkout's copy).

    The child is this interpreter running the package's own extensions, so it keeps the whole
    environment, a preloaded memory checker included (the extensions of such a build need it)."""
    env = dict(os.environ)
    import QorvelAPI  # noqa: PLC0415

    package_root = os.path.dirname(os.path.dirname(os.path.abspath(QorvelAPI.__file__)))
    if not any(os.path.abspath(p) == package_root for p in sys.path if "site-packages" in p or "dist-packages" in p):
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
    return env


def run_pytest(folder: str, scripts: List[str], workdir: str, queue: str, job_timeout: float,
               pytest_args: Sequence[str] = ()) -> Tuple[List[Outcome], str]:
    """Runs the pytest files in a pytest process of their own, with the author's own pytest
    options (``pytest_args``); one outcome per test."""
    report = os.path.join(workdir, "pytest-junit.xml")
    # --lf reads the cache of the earlier runs (kept in the plugin folder, pytest's root here)
    cache = [] if {"--lf", "--last-failed"} & set(pytest_args) else ["-p", "no:cacheprovider"]
    command = [sys.executable, "-m", "pytest", "-q", *cache, *pytest_args,
               # the pytest plugin is registered as "qorvel" where the package is installed; loading
               # it by module name under that name's block serves installed and checkout copies alike
               "-p", "no:qorvel", "-p", "QorvelAPI.devhost.pytest_plugin",
               "--qorvel-plugin", folder, "--qorvel-queue", queue, "--qorvel-job-timeout", f"{job_timeout:g}",
               "--rootdir", folder, f"--basetemp={os.path.join(workdir, 'pytest-tmp')}",
               f"--junit-xml={report}", *[os.path.join(folder, "Tests", s) for s in scripts]]
    done = subprocess.run(command, cwd=folder, capture_output=True, text=True, errors="replace",
                          stdin=subprocess.DEVNULL, env=pytest_environment())
    output = done.stdout + done.stderr
    outcomes = _junit_outcomes(report) if os.path.isfile(report) else []
    if not outcomes and done.returncode not in (0, 5):
        outcomes = [Outcome(", ".join(scripts), "Tests", "pytest", "error",
                            detail=output.strip()[-4000:] or f"pytest exited with status {done.returncode}")]
    return outcomes, output


def _junit_outcomes(path: str) -> List[Outcome]:
    outcomes: List[Outcome] = []
    for case in ET.parse(path).getroot().iter("testcase"):
        classname, name = case.get("classname", ""), case.get("name", "")
        module = classname.split(".")
        source = os.path.join("Tests", module[-1] + ".py") if module and module[-1] else "Tests"
        status, detail = "passed", ""
        for tag, kind in (("failure", "failed"), ("error", "error"), ("skipped", "skipped")):
            node = case.find(tag)
            if node is not None:
                status = kind
                detail = (node.get("message") or "") + ("\n" + node.text if node.text else "")
                break
        outcomes.append(Outcome(name, source, "pytest", status,
                                float(case.get("time", "0") or 0), detail=detail.strip()))
    return outcomes


def load_failure(folder: str, problems: List[Any]) -> TestReport:
    """The report of a plugin that did not load: one test in error, which says why."""
    detail = "\n".join(p.line() + (f"\n{p.detail}" if p.detail else "") for p in problems)
    outcome = Outcome("the plugin loads", "plugin.meta", "case", "error", detail=detail)
    return TestReport(os.path.basename(os.path.abspath(folder)), os.path.abspath(folder), [outcome], 0.0)


# -- the whole run --------------------------------------------------------------------------------

def selected_by_keyword(name: str, expression: Optional[str]) -> bool:
    """Whether a case's name matches a pytest ``-k`` expression, read as pytest reads it
    (case-insensitive substrings joined by and, or, not and parentheses)."""
    if not expression:
        return True
    from _pytest.mark.expression import Expression  # noqa: PLC0415 - pytest's own reading of -k

    wanted = name.lower()
    return Expression.compile(expression).evaluate(lambda word, **_: word.lower() in wanted)


def run_tests(loaded: LoadedPlugin, queue: str = "local", job_timeout: float = DEFAULT_TIMEOUT,
              workdir: Optional[str] = None, pytest_args: Sequence[str] = (), keyword: Optional[str] = None,
              exit_first: bool = False) -> TestReport:
    """Runs the cases (those whose name matches ``keyword``, a ``-k`` expression), then the pytest
    files with ``pytest_args``; ``exit_first`` stops at the first case that does not pass."""
    started = time.monotonic()
    folder = loaded.folder
    root = os.path.abspath(workdir) if workdir else tempfile.mkdtemp(prefix="qorvel-test-")
    os.makedirs(root, exist_ok=True)
    names, scripts = case_files(os.path.join(folder, "Tests"))
    cases, outcomes = read_cases(folder, names)
    for index, case in enumerate(cases, 1):
        if exit_first and any(o.status in ("failed", "error") for o in outcomes):
            break
        if selected_by_keyword(case.name, keyword):
            outcomes.append(run_case(case, loaded, os.path.join(root, f"case-{index}"), queue, job_timeout))
    output = ""
    if exit_first and any(o.status in ("failed", "error") for o in outcomes):
        scripts = []
    if scripts:
        found, output = run_pytest(folder, scripts, root, queue, job_timeout, pytest_args)
        outcomes.extend(found)
    return TestReport(loaded.plugin.id, folder, outcomes, time.monotonic() - started, output)
