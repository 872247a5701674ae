"""The public Python API of the local development host: run a plugin's blocks and flows from code.

``PluginHost`` is what ``qorvel-plugin`` itself uses and what the pytest plugin hands to tests::

    from QorvelAPI.devhost import PluginHost

    host = PluginHost("my_plugin", queue="local", workdir="/tmp/run")
    assert host.check().ok
    result = host.run("dock", set={"exhaustiveness": 8}, inputs={"receptor": "1abc.pdb"})
    assert result.ok, result.error
    print(result.outputs["best_score"], result.job.state if result.job else None)

Each run works on copies of the declared blocks exactly as the platform's server does (state, values,
inputs, run reset, remote, ``flow``, ``pluginDir`` and ``config`` are all set before a block is
called), so a block never meets a missing ``remote``. A failing block does not raise: its result
has ``ok`` False and says why in ``error``. Values are checked against their variables' types as the
flow editor constrains them: a flow whose values do not fit (declared defaults included; ``run``
runs a one-block flow) raises ``FlowError`` before anything runs. Requests the host refuses (an unknown block, variable or flow) raise ``HostError``; a plugin that does not load raises ``PluginLoadError`` with its problems.
"""

from __future__ import annotations

import copy
import os
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Union

from .dryrun import RecordingQueue, SubmittedScript
from .flow import Flow, FlowError
from .inspection import check_plugin
from .loader import LoadedPlugin, PluginLoadError, Problem, load_plugin
from .presets import find_preset, preset_entries
from .run import BlockResult, FlowRun, HostError, LocalHost

BlockKey = Union[int, str]


@dataclass(frozen=True)
class JobResult:
    """The batch job of a cluster job block: identifier, final state, its output and its run time."""

    id: Any
    state: str
    stdout: Optional[str]
    stderr: Optional[str]
    time: float
    detailed_status: Optional[str] = None


@dataclass(frozen=True)
class RunResult:
    """What one placement of a block produced."""

    block_id: str
    placed_id: int
    status: str  # "ok", "error", "skipped" or "cancelled"
    outputs: Dict[str, Any]
    stored_outputs: Any
    logs: str
    printed: str
    viewer_actions: List[Any]
    job: Optional[JobResult]
    error: Optional[str]
    traceback: Optional[str]
    messages: List[str]
    seconds: float
    flow_path: Optional[str]
    workdir: str
    raw: BlockResult = field(repr=False, compare=False)
    flow_run: FlowRun = field(repr=False, compare=False)
    # What the action printed and logged, in order (see ``capture``).
    output: List[Any] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        return self.status == "ok"

    @classmethod
    def of(cls, result: BlockResult, run: FlowRun) -> "RunResult":
        job = result.job
        return cls(
            block_id=result.blockID, placed_id=result.placedID, status=result.status,
            outputs=dict(result.outputs), stored_outputs=result.storedOutputs, logs=result.blockLogs or "",
            printed=result.printed, viewer_actions=list(result.viewerActions),
            job=None if job is None else JobResult(job.jobID, job.status, job.stdOut, job.stdErr, job.seconds,
                                                   job.detailedStatus),
            error=result.error, traceback=result.pluginTraceback, messages=[m.line() for m in result.messages],
            seconds=result.seconds, flow_path=run.savedTo, workdir=run.flow.folder, raw=result, flow_run=run,
            output=list(result.output))


@dataclass(frozen=True)
class FlowResult:
    """What a flow run produced: one ``RunResult`` per placement, in the order they ran."""

    name: str
    blocks: List[RunResult]
    flow_path: Optional[str]
    workdir: str
    queue: str
    raw: FlowRun = field(repr=False, compare=False)

    @property
    def ok(self) -> bool:
        return all(block.ok for block in self.blocks)

    @property
    def outputs(self) -> Dict[int, Dict[str, Any]]:
        """The outputs of each placement, by placed identifier."""
        return {block.placed_id: block.outputs for block in self.blocks}

    @property
    def viewer_actions(self) -> List[Any]:
        return [action for block in self.blocks for action in block.viewer_actions]

    @property
    def logs(self) -> str:
        return "".join(block.logs for block in self.blocks)

    @property
    def error(self) -> Optional[str]:
        """The first block's error, if any block failed."""
        return next((block.error for block in self.blocks if block.error), None)

    @property
    def jobs(self) -> List[JobResult]:
        return [block.job for block in self.blocks if block.job is not None]

    def block(self, key: BlockKey) -> RunResult:
        """A placement's result, by placed identifier or block identifier (with or without prefix)."""
        found = [b for b in self.blocks if _matches(key, b.placed_id, b.block_id)]
        if len(found) != 1:
            raise KeyError(f"{'no' if not found else 'more than one'} block '{key}' in flow '{self.name}'")
        return found[0]

    __getitem__ = block

    def __iter__(self) -> Iterator[RunResult]:
        return iter(self.blocks)

    @classmethod
    def of(cls, run: FlowRun) -> "FlowResult":
        return cls(run.flow.name, [RunResult.of(r, run) for r in run.results], run.savedTo, run.flow.folder,
                   run.queue, run)


@dataclass(frozen=True)
class DryRunResult:
    """The first phase of a cluster job block, and the batch scripts it would have submitted."""

    result: RunResult
    scripts: List[SubmittedScript]

    @property
    def ok(self) -> bool:
        return self.result.ok


@dataclass(frozen=True)
class CheckResult:
    """What ``check`` found: the plugin's declarations (``info``) and every problem."""

    info: Dict[str, Any]
    problems: List[Problem]

    @property
    def ok(self) -> bool:
        """No errors (warnings do not fail a check unless it is strict)."""
        return self.passes()

    def passes(self, strict: bool = False) -> bool:
        return not any(p.level == "error" or strict for p in self.problems)


def _matches(key: BlockKey, placed_id: int, block_id: str) -> bool:
    if isinstance(key, int) and not isinstance(key, bool):
        return key == placed_id
    text = str(key)
    if text.isdigit():
        return int(text) == placed_id
    return block_id == text or block_id.endswith("." + text.replace(" ", "_").lower())


class PluginHost:
    """Loads one plugin folder and runs its blocks and flows on this machine.

    ``queue``: where batch jobs of cluster job blocks run: "auto" (the SLURM queue when a controller
    answers, else the local runner), "local" or "slurm". ``workdir``: the working folder of every run
    (default: a new folder under ./qorvel-runs per run). ``config_path``: the plugin's configuration
    file (default: under ~/.config/qorvel/plugins); ``config`` values are saved into it before the
    first run. ``job_timeout``: seconds after which a batch job is cancelled and its block fails.
    """

    def __init__(self, plugin_dir: Union[str, "os.PathLike[str]"], queue: str = "auto",
                 workdir: Optional[Union[str, "os.PathLike[str]"]] = None, *,
                 config_path: Optional[str] = None, config: Optional[Mapping[str, Any]] = None,
                 job_timeout: Optional[float] = None, poll: float = 1.0, capture_stdout: bool = True,
                 progress: Optional[Callable[[str, bool], None]] = None,
                 loaded: Optional[LoadedPlugin] = None):
        self.loaded = loaded if loaded is not None else load_plugin(os.fspath(plugin_dir), capture_stdout)
        self.queue_preference = queue
        self.workdir = os.fspath(workdir) if workdir is not None else None
        self.config_path = config_path
        self.job_timeout = job_timeout
        self.poll = poll
        self.capture_stdout = capture_stdout
        self.progress = progress
        self._local: Optional[LocalHost] = None
        self._config = dict(config or {})

    @property
    def plugin(self) -> Any:
        """The loaded ``Plugin`` object."""
        return self.loaded.plugin

    @property
    def problems(self) -> List[Problem]:
        """The warnings of loading the plugin."""
        return list(self.loaded.problems)

    @property
    def local(self) -> LocalHost:
        """The underlying local host (its queue is chosen on first use)."""
        if self._local is None:
            self._local = self._new_local(self.queue_preference)
            if self._config:
                self._local.save_config(self._config)
        return self._local

    def _new_local(self, queue: Any) -> LocalHost:
        return LocalHost(self.loaded, config_path=self.config_path, work_dir=self.workdir, queue=queue,
                         poll=self.poll, progress=self.progress, capture_stdout=self.capture_stdout,
                         job_timeout=self.job_timeout)

    # -- checking ----------------------------------------------------------------------------

    def check(self) -> CheckResult:
        """What ``qorvel-plugin check`` reports: the declarations and every problem (each once)."""
        return CheckResult(*check_plugin(self.loaded, self.config_path))

    def declared(self, block_id: str) -> Any:
        """The declared block for an identifier, with or without the plugin prefix."""
        return (self._local or LocalHost(self.loaded, queue="local")).declared(block_id)

    # -- running -----------------------------------------------------------------------------

    def block_flow(self, block_id: str, set: Optional[Mapping[str, Any]] = None,
                   inputs: Optional[Mapping[str, Any]] = None, input_group: Optional[str] = None) -> Flow:
        """The one-placement flow that ``run`` runs."""
        return self.local.adhoc_flow(block_id, dict(set or {}), dict(inputs or {}), input_group)

    def run(self, block_id: str, set: Optional[Mapping[str, Any]] = None, inputs: Optional[Mapping[str, Any]] = None,
            input_group: Optional[str] = None,
            on_result: Optional[Callable[[BlockResult], None]] = None) -> RunResult:
        """Runs one block (a cluster job block through both phases) with the given values and inputs."""
        flow = self.block_flow(block_id, set, inputs, input_group)
        run = self.local.run_flow(flow, on_result=on_result)
        return RunResult.of(run.results[0], run)

    def load_flow(self, name_or_path: Union[str, "os.PathLike[str]"]) -> Flow:
        """A preset flow by name (or file stem), or a flow file by path."""
        wanted = os.fspath(name_or_path)
        # A path is taken from the current folder, else from the plugin folder (as ``check`` prints it).
        in_plugin = os.path.join(self.loaded.folder, wanted)
        if not os.path.exists(wanted) and os.path.isfile(in_plugin):
            wanted = in_plugin
        if os.path.isfile(wanted) or wanted.endswith(".flow") or os.sep in wanted:
            if not os.path.exists(wanted):
                raise HostError(f"flow file not found: {wanted}")
            return Flow.read(wanted)
        entries = preset_entries(self.plugin)[0]
        entry = find_preset(entries, wanted)
        if entry is not None:
            return Flow.read(entry["path"])
        names = ", ".join(f"'{e['name']}'" for e in entries) or "none"
        raise HostError(f"no preset flow named '{wanted}' in plugin {self.plugin.id} (preset flows: {names})")

    def flow(self, name_or_path: Union[str, "os.PathLike[str]", Flow],
             set: Optional[Mapping[BlockKey, Mapping[str, Any]]] = None,
             inputs: Optional[Mapping[BlockKey, Mapping[str, Any]]] = None,
             on_result: Optional[Callable[[BlockResult], None]] = None) -> FlowResult:
        """Runs a flow. ``set`` and ``inputs`` map a placement (its placed identifier, or its block
        identifier when the flow places that block once) to values for its variables or inputs."""
        flow = name_or_path if isinstance(name_or_path, Flow) else self.load_flow(name_or_path)
        self._apply(flow, set or {}, inputs or {})
        return FlowResult.of(self.local.run_flow(flow, on_result=on_result))

    def _apply(self, flow: Flow, variables: Mapping[BlockKey, Mapping[str, Any]],
               inputs: Mapping[BlockKey, Mapping[str, Any]]) -> None:
        for key in list(variables) + [k for k in inputs if k not in variables]:
            placed = self._placement(flow, key)
            declared = self.local.declared_exact(placed)
            values, given = dict(variables.get(key, {})), dict(inputs.get(key, {}))
            group = placed.state.get("selectedInputGroup")
            self.local._check_names(declared, values, given, group if isinstance(group, str) else None)
            flow.variableValues.setdefault(placed.placedID, {}).update(copy.deepcopy(values))
            placed.inputs.update(copy.deepcopy(given))

    @staticmethod
    def _placement(flow: Flow, key: BlockKey) -> Any:
        found = [p for p in flow.blocks if _matches(key, p.placedID, p.blockID)]
        if len(found) == 1:
            return found[0]
        if not found:
            raise HostError(f"flow '{flow.name}' has no placement '{key}'")
        raise HostError(f"flow '{flow.name}' places block '{key}' {len(found)} times; use its placed identifier")

    def dry_run(self, block_id: str, set: Optional[Mapping[str, Any]] = None,
                inputs: Optional[Mapping[str, Any]] = None, input_group: Optional[str] = None,
                on_result: Optional[Callable[[BlockResult], None]] = None) -> DryRunResult:
        """Runs only the first phase of a cluster job block against a remote whose queue records the
        batch scripts instead of submitting them; nothing is queued and the second phase never runs."""
        recording = RecordingQueue()
        local = self._new_local(recording)
        local.follow_jobs = False
        declared = local.declared(block_id)
        if str(declared.TYPE) != "slurm":
            raise HostError(f"block {declared.id} is not a cluster job block; a dry run runs the first phase "
                            f"of one")
        run = local.run_flow(local.adhoc_flow(block_id, dict(set or {}), dict(inputs or {}), input_group),
                             on_result=on_result)
        return DryRunResult(RunResult.of(run.results[0], run), list(recording.scripts))


__all__ = ["PluginHost", "RunResult", "FlowResult", "JobResult", "DryRunResult", "CheckResult", "HostError",
           "PluginLoadError", "FlowError", "SubmittedScript"]
