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

import contextlib
import copy
import os
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Union

from . import notebook
from .dryrun import RecordingQueue, SubmittedScript
from .flow import Flow, FlowError
from .following import DEFAULT_RECONNECT_SECONDS
from .log_follow import FollowedText
from .inspection import check_plugin
from .loader import LoadedPlugin, PluginLoadError, Problem, load_plugin
from .presets import find_preset, preset_entries
from .run import BlockResult, FlowRun, HostError, LocalHost

BlockKey = Union[int, str]
# ``follow``: False, True (the logs' text goes into the results), or a callable that also gets each
# piece of text as it is read.
Follow = Union[bool, Callable[[FollowedText], None]]


@dataclass(frozen=True)
class JobResult:
    """The batch job of a cluster job block: identifier, final state, its output and its run time.

    Attributes:
        id: The job's identifier in its queue.
        state: Its final state: "COMPLETED", "FAILED", "CANCELLED", ...
        stdout: What the job wrote to its output file, once it ended.
        stderr: What it wrote to its error file.
        time: Seconds from submission to the end.
        detailed_status: The queue's longer account of the state, when it gave one.
        tasks: Each task of an array job, else None.
        followed: With ``follow``, each stream's text ("stdout", "stderr") as it was read while the
            job ran (its last 4 Mi characters), else None.
    """

    id: Any
    state: str
    stdout: Optional[str]
    stderr: Optional[str]
    time: float
    detailed_status: Optional[str] = None
    # Each task of an array job: "taskID", "jobID", "state", "exitCode", "stdOut", "stdErr".
    tasks: Optional[List[Dict[str, Any]]] = None
    followed: Optional[Dict[str, str]] = None

    def _repr_html_(self) -> str:
        return notebook.job_html(self)


@dataclass(frozen=True)
class RunResult:
    """What one placement of a block produced.

    Attributes:
        block_id: The block's identifier, with the plugin prefix.
        placed_id: The placement's identifier in the flow.
        status: "ok", "error", "skipped" or "cancelled".
        outputs: The outputs the block set, by output identifier.
        logs: The block's log text (what it printed and logged).
        printed: What it printed alone.
        viewer_actions: The viewer actions it sent, in order: ``{"type": ..., "data": ...}``.
        job: The batch job of a cluster job block, else None.
        error: Why the block failed, else None.
        traceback: The traceback of the plugin's own files when its code raised.
        flow_path: The flow file saved with every block's final state.
        workdir: The run's working folder.
    """

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

    def _repr_html_(self) -> str:
        return notebook.run_html(self)

    @classmethod
    def of(cls, result: BlockResult, run: FlowRun) -> "RunResult":
        job = result.job
        return cls(
            block_id=result.blockID, placed_id=result.placedID, status=result.status,
            outputs=dict(result.outputs), stored_outputs=result.storedOutputs, logs=result.blockLogs or "",
            printed=result.printed, viewer_actions=list(result.viewerActions),
            job=None if job is None else JobResult(job.jobID, job.status, job.stdOut, job.stdErr, job.seconds,
                                                   job.detailedStatus, job.tasks, job.followed),
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

    def _repr_html_(self) -> str:
        return notebook.flow_html(self)

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

    def _repr_html_(self) -> str:
        return notebook.dry_run_html(self)


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

    def _repr_html_(self) -> str:
        return notebook.check_html(self)


def _matches(key: BlockKey, placed_id: int, block_id: str) -> bool:
    if isinstance(key, int) and not isinstance(key, bool):
        return key == placed_id
    text = str(key)
    if text.isdigit():
        return int(text) == placed_id
    return block_id == text or block_id.endswith("." + text.replace(" ", "_").lower())


class PluginHost:
    """Loads one plugin folder and runs its blocks and flows on this machine.

    Args:
        plugin_dir: The plugin folder (the one holding ``plugin.meta``).
        queue: Where batch jobs of cluster job blocks run: "auto" (the SLURM queue when a
            controller answers, else the local runner), "local" or "slurm".
        workdir: The working folder of every run (default: a new folder under ./qorvel-runs per run).
        config_path: The plugin's configuration file (default: under ~/.config/qorvel/plugins).
        config: Configuration values saved into that file before the first run.
        job_timeout: Seconds after which a batch job is cancelled and its block fails.
        poll: Seconds between two polls of a batch job's state.
        reconnect_timeout: Seconds a remote lost while its job runs is tried again; after that the
            job is left running on the remote and its block fails.
        capture_stdout: Whether what blocks print is captured into their results.
        progress: Called with a progress line and whether it ends the line, while a job runs.
        loaded: An already loaded plugin, used instead of loading ``plugin_dir`` again.

    Raises:
        PluginLoadError: The plugin does not load; its problems say why.
    """

    def __init__(self, plugin_dir: Union[str, "os.PathLike[str]"], queue: str = "auto",
                 workdir: Optional[Union[str, "os.PathLike[str]"]] = None, *,
                 config_path: Optional[str] = None, config: Optional[Mapping[str, Any]] = None,
                 job_timeout: Optional[float] = None, poll: float = 1.0, capture_stdout: bool = True,
                 progress: Optional[Callable[[str, bool], None]] = None,
                 loaded: Optional[LoadedPlugin] = None, reconnect_timeout: float = DEFAULT_RECONNECT_SECONDS):
        self.loaded = loaded if loaded is not None else load_plugin(os.fspath(plugin_dir), capture_stdout)
        self.queue_preference = queue
        self.workdir = os.fspath(workdir) if workdir is not None else None
        self.config_path = config_path
        self.job_timeout = job_timeout
        self.reconnect_timeout = reconnect_timeout
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
                         job_timeout=self.job_timeout, reconnect_timeout=self.reconnect_timeout)

    # -- checking ----------------------------------------------------------------------------

    def check(self) -> CheckResult:
        """What ``qorvel-plugin check`` reports: the declarations and every problem (each once).

        Returns:
            The plugin's declarations and the problems found; ``ok`` is true when none is an error.
        """
        return CheckResult(*check_plugin(self.loaded, self.config_path))

    def declared(self, block_id: str) -> Any:
        """The declared block for an identifier, with or without the plugin prefix."""
        return (self._local or LocalHost(self.loaded, queue="local")).declared(block_id)

    # -- running -----------------------------------------------------------------------------

    def block_flow(self, block_id: str, set: Optional[Mapping[str, Any]] = None,
                   inputs: Optional[Mapping[str, Any]] = None, input_group: Optional[str] = None,
                   remote: Optional[str] = None) -> Flow:
        """The one-placement flow that ``run`` runs."""
        return self.local.adhoc_flow(block_id, dict(set or {}), dict(inputs or {}), input_group, remote)

    def run(self, block_id: str, set: Optional[Mapping[str, Any]] = None, inputs: Optional[Mapping[str, Any]] = None,
            input_group: Optional[str] = None,
            on_result: Optional[Callable[[BlockResult], None]] = None, remote: Optional[str] = None,
            follow: Follow = False) -> RunResult:
        """Runs one block (a cluster job block through both phases) with the given values and inputs.

        Args:
            block_id: The block's identifier, with or without the plugin prefix.
            set: Values of its variables, by variable identifier (a group's by member).
            inputs: Values of its inputs, by input identifier.
            input_group: The input group to use (default: the block's selected one).
            on_result: Called with the block's raw result as soon as it is ready.
            remote: The remote it runs on (its ``selectedRemote``; default: the block's own).
            follow: Read the job's output and error files while it runs (at every poll, the bytes
                written since the last): True keeps their text in ``job.followed``; a callable also
                gets each ``FollowedText`` (placedID, jobID, stream, text, ended) as it is read.

        Returns:
            The block's outputs, logs, job, viewer actions and error; a failing block does not raise.

        Raises:
            HostError: An unknown block, variable or input.
            FlowError: A value that does not fit its variable's type.
        """
        flow = self.block_flow(block_id, set, inputs, input_group, remote)
        with self._following(follow):
            run = self.local.run_flow(flow, on_result=on_result)
        return RunResult.of(run.results[0], run)

    @contextlib.contextmanager
    def _following(self, follow: Follow) -> Iterator[None]:
        if not (isinstance(follow, bool) or callable(follow)):
            raise TypeError(f"follow must be a bool or a callable, got {type(follow).__name__}")
        self.local.follow = follow
        try:
            yield
        finally:
            self.local.follow = False

    def load_flow(self, name_or_path: Union[str, "os.PathLike[str]"]) -> Flow:
        """A preset flow by name (or file stem), or a flow file by path.

        Args:
            name_or_path: A preset flow's name or file stem, or the path of a ``.flow`` file (from the
                current folder, else from the plugin folder).

        Returns:
            The flow, not yet run.

        Raises:
            HostError: No such preset flow or file.
        """
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
             on_result: Optional[Callable[[BlockResult], None]] = None,
             remotes: Optional[Mapping[BlockKey, str]] = None, follow: Follow = False) -> FlowResult:
        """Runs a flow.

        Args:
            name_or_path: A preset flow's name, a flow file's path or a loaded flow.
            set: Values of variables, by placement: its placed identifier, or its block identifier
                when the flow places that block once.
            inputs: Values of inputs, by placement, keyed the same way.
            on_result: Called with each block's raw result as soon as it is ready.
            remotes: The remote each placement runs on, by placement, keyed the same way.
            follow: Read each job's output and error files while it runs, as for ``run``.

        Returns:
            One result per placement, in the order they ran.

        Raises:
            HostError: An unknown flow, placement, variable or input.
            FlowError: A flow that cannot run: bad values, connections or a cycle.
        """
        flow = name_or_path if isinstance(name_or_path, Flow) else self.load_flow(name_or_path)
        self._apply(flow, set or {}, inputs or {})
        self.select_remotes(flow, remotes or {})
        with self._following(follow):
            return FlowResult.of(self.local.run_flow(flow, on_result=on_result))

    def resume(self, run_folder: Union[str, "os.PathLike[str]"], resubmit_failed: bool = False,
               on_result: Optional[Callable[[BlockResult], None]] = None, follow: Follow = False) -> FlowResult:
        """Runs the flow of an earlier run folder again there, following the jobs its journal holds
        to their end instead of submitting new ones (``resubmit_failed``: except those that failed;
        ``follow`` as for ``run``)."""
        with self._following(follow):
            return FlowResult.of(self.local.resume_flow(os.fspath(run_folder), resubmit_failed, on_result))

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

    def select_remotes(self, flow: Flow, remotes: Mapping[BlockKey, str]) -> None:
        """Sets the remote that each given placement runs on (its ``selectedRemote``)."""
        for key, name in remotes.items():
            self._placement(flow, key).state["selectedRemote"] = name

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
        batch scripts instead of submitting them; nothing is queued and the second phase never runs.

        Args:
            block_id: The cluster job block's identifier.
            set: Values of its variables.
            inputs: Values of its inputs.
            input_group: The input group to use.
            on_result: Called with the block's raw result.

        Returns:
            The first phase's result and the batch scripts it would have submitted.

        Raises:
            HostError: The block is not a cluster job block, or is unknown.
        """
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
           "PluginLoadError", "FlowError", "SubmittedScript", "FollowedText"]
