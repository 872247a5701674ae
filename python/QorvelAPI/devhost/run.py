"""Running placements and flows on this machine the way the platform's server runs them.

For every placement the local host works on ``copy()`` of the declared block and, in this order,
applies the block state JSON (``_parseInternalVariables``), the values that reach its variables
(``_updateVariables``) and inputs (``_updateInputs``), resets the run state (``_cleanRun``),
attaches the remote (``_setRemote``), sets ``flow``, ``pluginDir`` and ``config``, and calls the
block. A cluster job block is followed after its first phase until its job ends and then gets
"executeSecondAction" through its block state JSON for its second phase. The declared blocks are
never touched.
"""

from __future__ import annotations

import contextlib
import copy
import os
import re
import time
from dataclasses import dataclass, field
from typing import Any, Callable

from . import following
from .action_checks import empty_required, returned_values, variable_writes
from .capture import block_log_text, captured_output, printed_text
from .flow import Flow, FlowError, PlacedBlock
from .flowcheck import check_flow, input_variables
from .journal import Journal, cancel_open_jobs
from .log_follow import FollowedText, JobLogFollower
from .loader import LoadedPlugin, Problem, collect_problems, one_line, plugin_traceback
from .remote import LocalRemote, tasks_text
from .remote_config import remotes_path
from .runner import TERMINAL_STATES, QueueError, choose_queue
from .safe_files import FileRefused, TooDeep, check_config_file
from .slurm_queue import SlurmError
from .ssh_connection import RemoteError
from .ssh_remote import RunRemotes
from .following import DEFAULT_RECONNECT_SECONDS, PASSING_STATES, JobTimeout
from .stopping import cleaning_up, stops_on_signals
from .placement import Placement, check_stored
from .pluginchecks import normalised
from .values import ValueCheckError, check_value, check_values, resolve_paths
from .viewer_checks import action_warnings, float_list_help


class HostError(Exception):
    """A request the local host refuses (unknown block, bad value, unusable configuration...)."""


class Interrupted(Exception):
    """The user interrupted a run; the jobs it had started were cancelled.

    ``run`` is the flow run as far as it went (None when it had not started), its flow saved."""

    def __init__(self, message: str, run: "FlowRun | None" = None):
        super().__init__(message)
        self.run = run


def config_folder() -> str:
    base = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(base, "qorvel", "plugins")


def default_config_path(plugin_id: str) -> str:
    """Where the local host keeps a plugin's configuration file: the user's configuration folder."""
    return os.path.join(config_folder(), f"{plugin_id}.config.json")


def job_state_folder() -> str:
    base = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(base, "qorvel", "devhost")


@dataclass
class JobInfo:
    jobID: Any = None
    status: str = "IDLE"
    stdOut: str | None = None
    stdErr: str | None = None
    detailedStatus: str | None = None
    seconds: float = 0.0
    # Each task of an array job (its id, job id, state, exit code and log files); None for a plain job.
    tasks: list | None = None
    # With --follow (follow=): each stream's text as it was read while the job ran ("stdout", "stderr").
    followed: dict | None = None

    def toDict(self) -> dict:
        return {"jobID": self.jobID, "status": self.status, "stdOut": self.stdOut, "stdErr": self.stdErr,
                "detailedStatus": self.detailedStatus, "seconds": round(self.seconds, 3), "tasks": self.tasks,
                "followed": self.followed}


@dataclass
class BlockResult:
    placedID: int
    blockID: str
    name: str = ""
    kind: str = ""
    status: str = "ok"  # ok, error, skipped, cancelled
    outputs: dict = field(default_factory=dict)
    storedOutputs: Any = None
    blockLogs: str = ""
    viewerActions: list = field(default_factory=list)
    messages: list[Problem] = field(default_factory=list)
    error: str | None = None
    pluginTraceback: str | None = None
    job: JobInfo | None = None
    printed: str = ""
    output: list = field(default_factory=list)  # stdout (when captured), stderr and log records, in order
    seconds: float = 0.0
    # What stopped the run while this placement ran when it was not Ctrl-C or a stop signal (a
    # test's timeout, say): the run cancels its jobs, then raises it again.
    stoppedBy: BaseException | None = field(default=None, repr=False, compare=False)

    def toDict(self) -> dict:
        return {
            "placedID": self.placedID, "blockID": self.blockID, "name": self.name, "type": self.kind,
            "status": self.status, "outputs": self.outputs, "storedOutputs": self.storedOutputs,
            "blockLogs": self.blockLogs, "viewerActions": self.viewerActions,
            "messages": [m.toDict() for m in self.messages], "error": self.error,
            "pluginTraceback": self.pluginTraceback, "job": self.job.toDict() if self.job else None,
            "printed": self.printed, "output": self.output, "seconds": round(self.seconds, 3),
        }


@dataclass
class FlowRun:
    flow: Flow
    results: list[BlockResult] = field(default_factory=list)
    savedTo: str | None = None
    queue: str = ""

    @property
    def ok(self) -> bool:
        return all(r.status == "ok" for r in self.results)

    def toDict(self) -> dict:
        return {"flow": self.flow.name, "savedID": self.flow.savedID, "queue": self.queue, "ok": self.ok,
                "workDir": self.flow.folder, "savedTo": self.savedTo,
                "blocks": [r.toDict() for r in self.results]}


def _slug(text: str) -> str:
    return re.sub(r"[^A-Za-z0-9._-]+", "-", text).strip("-.") or "flow"


def _new_folder(base: str) -> str:
    """A new folder `base`, else `base-2`, `base-3`, ...: each one made by a call that fails when
    it exists, so that two hosts started in the same second never share a run folder."""
    folder, n = base, 1
    while True:
        try:
            os.makedirs(folder)
            return folder
        except FileExistsError:
            n += 1
            folder = f"{base}-{n}"


def _molstar():
    """The process's single viewer object, or None when the viewer module offers none."""
    try:
        from QorvelAPI.molstar import MolstarAPI  # noqa: PLC0415
    except ImportError:
        return None
    return MolstarAPI()


class LocalHost:
    """Runs blocks and flows of one loaded plugin on this machine."""

    def __init__(self, loaded: LoadedPlugin, config_path: str | None = None, work_dir: str | None = None,
                 queue: Any = "auto", poll: float = 1.0, progress: Callable[[str, bool], None] | None = None,
                 capture_stdout: bool = False, job_state_dir: str | None = None, job_timeout: float | None = None,
                 reconnect_timeout: float = DEFAULT_RECONNECT_SECONDS):
        self.loaded = loaded
        self.plugin = loaded.plugin
        self.config_path = os.path.abspath(config_path) if config_path else default_config_path(self.plugin.id)
        self.work_dir = os.path.abspath(work_dir) if work_dir else None
        self.queue = queue if not isinstance(queue, str) else choose_queue(queue, job_state_dir or job_state_folder())
        self.poll = poll
        self.progress = progress or (lambda text, final: None)
        self.capture_stdout = capture_stdout
        self.job_timeout = job_timeout
        # Seconds a lost connection to a remote is tried again before its job is left running.
        self.reconnect_timeout = reconnect_timeout
        self._remotes: RunRemotes | None = None  # the named remotes of the running flow
        # False for a dry run: a cluster job block runs its first phase only.
        self.follow_jobs = True
        # True (or a callable that gets each ``FollowedText``): the output and error files of a
        # followed job are read as they grow, into the result and to the callable.
        self.follow: bool | Callable[[FollowedText], None] = False
        # While a run folder is resumed: the journal's last job of each placement, by placed id.
        self._reattach: dict[int, dict] = {}
        self._resubmit_failed = False

    # -- blocks and configuration ------------------------------------------------------------

    def declared(self, block_id: str):
        """The declared block for an identifier, given in full ("plugin.block") or without the prefix."""
        blocks = self.plugin._blocks
        # The identifier as the model stores it, or as written in the script ("Count Atoms!").
        wanted = [block_id, f"{self.plugin.id}.{block_id}".replace(" ", "_").lower(),
                  f"{self.plugin.id}.{normalised(block_id)}"]
        for candidate in wanted:
            for block in blocks:
                if block.id == candidate:
                    return block
        known = ", ".join(b.id for b in blocks) or "none"
        raise HostError(f"block '{block_id}' not found in plugin {self.plugin.id} (blocks: {known})")

    def load_config(self) -> tuple[dict, list[Problem]]:
        """Loads the plugin's configuration file (creating it from the defaults) and returns the values."""
        with collect_problems() as collector:
            if self.plugin._configs:
                folder = os.path.dirname(self.config_path)
                try:
                    os.makedirs(folder, exist_ok=True)
                    check_config_file(self.config_path)
                    self.plugin._updateConfigs(self.config_path)
                except (FileRefused, TooDeep) as exc:
                    raise HostError(f"configuration file {self.config_path}: {exc}") from None
                except Exception as exc:  # unreadable file, a folder, JSON that is not an object...
                    raise HostError(f"configuration file {self.config_path}: {one_line(exc)}") from None
            config = self.plugin.config
        return config, collector.problems

    def save_config(self, values: dict) -> tuple[dict, list[Problem]]:
        known, owner = {}, {}
        for config_block in self.plugin._configs:
            for variable in config_block._getVariables():
                known[variable.id], owner[variable.id] = variable, config_block
        unknown = [key for key in values if key not in known]
        if unknown:
            raise HostError(f"unknown configuration variable '{unknown[0]}' (known: {', '.join(known) or 'none'})")
        values = {key: check_value(owner[key], known[key], value, role="setting") for key, value in values.items()}
        current, problems = self.load_config()
        for key, value in values.items():
            # The file keeps a group as one object: members not given keep their stored values.
            if str(known[key].type) == "group" and isinstance(current.get(key), dict):
                values[key] = {**current[key], **value}
        with collect_problems() as collector:
            try:
                self.plugin._saveConfig(self.config_path, dict(values))
            except Exception as exc:
                raise HostError(f"configuration file {self.config_path}: {one_line(exc)}") from None
            config = self.plugin.config
        return config, problems + collector.problems

    # -- working folder ----------------------------------------------------------------------

    def prepare_folder(self, flow: Flow) -> str:
        """The run's working folder, which becomes the flow's folder (its ``workDir`` on Local)."""
        folder = self.work_dir
        try:
            if folder is None:
                stamp = time.strftime("%Y%m%d-%H%M%S")
                folder = os.path.join(os.getcwd(), "qorvel-runs", f"{_slug(flow.name)}-{stamp}")
                folder = _new_folder(folder)
            else:
                os.makedirs(folder, exist_ok=True)
        except OSError as exc:
            raise HostError(f"cannot use {folder} as the working folder: {exc.strerror or exc}") from None
        flow.path = os.path.join(folder, f"{_slug(flow.name)}.flow")
        return folder

    # -- one block ---------------------------------------------------------------------------

    def adhoc_flow(self, block_id: str, variables: dict, inputs: dict, input_group: str | None,
                   remote: str | None = None) -> Flow:
        declared = self.declared(block_id)
        state: dict = {} if remote is None else {"selectedRemote": remote}
        if input_group is not None:
            if input_group not in declared._inputGroups:
                groups = ", ".join(declared._inputGroups) or "none"
                raise HostError(f"block {declared.id} has no input group '{input_group}' (groups: {groups})")
            state["selectedInputGroup"] = input_group
        self._check_names(declared, variables, inputs, state.get("selectedInputGroup"))
        flow = Flow(f"run {declared.id}", None, None, [PlacedBlock(declared.id, 1, state, dict(inputs))])
        flow.variableValues[1] = dict(variables)
        return flow

    @staticmethod
    def _check_names(declared, variables: dict, inputs: dict, group: str | None) -> None:
        names = [v.id for v in declared._variables]
        group = group or declared.selectedInputGroup
        members = [v.id for v in declared._inputGroups[group].variables] if group in declared._inputGroups else []
        for key in variables:
            if key not in names:
                hint = "; it is an input: give it with --input (inputs=)" if key in members else ""
                raise HostError(f"block {declared.id} has no variable '{key}' (variables: "
                                f"{', '.join(names) or 'none'}){hint}")
        for key in inputs:
            if key not in members:
                raise HostError(f"block {declared.id} has no input '{key}' (inputs: {', '.join(members) or 'none'})"
                                f"{LocalHost._input_hint(declared, key, names)}")

    @staticmethod
    def _input_hint(declared, key: str, variables: list[str]) -> str:
        """Where the input that was not found is: another input group, or the block's variables."""
        groups = [gid for gid, g in declared._inputGroups.items() if key in [v.id for v in g.variables]]
        if groups:
            return f"; it is an input of the group '{groups[0]}': choose it with --input-group {groups[0]} (input_group=)"
        return "; it is a variable: give it with --set (set=)" if key in variables else ""

    # -- flows -------------------------------------------------------------------------------

    def check_flow(self, flow: Flow) -> list[PlacedBlock]:
        """Refuses a flow that cannot run as a whole: unknown blocks, state variables or values that do
        not fit, bad connections, cycles. Returns the placements in run order."""
        return [placement.placed for placement in check_flow(flow, self.declared_exact)]

    def declared_exact(self, placed: PlacedBlock):
        for block in self.plugin._blocks:
            if block.id == placed.blockID:
                return block
        raise FlowError(f"block '{placed.blockID}' (#{placed.placedID}) is not a block of plugin {self.plugin.id}")

    @stops_on_signals
    def run_flow(self, flow: Flow, on_result: Callable[[BlockResult], None] | None = None) -> FlowRun:
        """Runs the flow's placements in dependency order; ``on_result`` sees each result as it is ready."""
        placements = check_flow(flow, self.declared_exact)
        self._refuse_empty_required(flow, placements)
        config, config_problems = self.load_config()
        refused = [p for p in config_problems if p.level == "error"]
        if refused:  # the file was set aside and rewritten with the defaults: do not run on those unasked
            raise HostError(f"{refused[0].message}; nothing was run: check the configuration "
                            f"(qorvel-plugin config) and run again")
        folder = self.prepare_folder(flow)
        # Saved before anything runs, so that a host that is killed leaves a run that can be resumed.
        with contextlib.suppress(OSError, FlowError):
            flow.write()
        remote = LocalRemote(folder, self.queue)
        # A dry run's queue submits nothing, so there is nothing to write down.
        journal = Journal(folder) if self.follow_jobs else None
        remote.journal = journal
        # Blocks that select a named remote run there, in a folder of this run's name.
        self._remotes = RunRemotes(os.path.basename(folder), journal=journal)
        run = FlowRun(flow, queue=self.queue.description)
        results: dict[int, BlockResult] = {}
        viewer = _molstar()
        if viewer is not None:
            viewer._flow = flow
        stopped_by: BaseException | None = None
        feeding: dict[int, list] = {}  # the connections into each placement, in the flow's order
        for edge in flow.edges():
            feeding.setdefault(edge.destinationPlacedID, []).append(edge)
        try:
            for placement in placements:
                placed, declared = placement.placed, placement.declared
                edges = feeding.get(placed.placedID, [])
                failed_upstream = []
                # Whatever did not finish upstream left a feeder of this one unfinished (skipped).
                if any(results[edge.originPlacedID].status != "ok" for edge in edges):
                    failed_upstream = [p for p in flow.upstream(placed.placedID)
                                       if p in results and results[p].status != "ok"]
                if failed_upstream:
                    result = BlockResult(placed.placedID, declared.id, declared.name, str(declared.TYPE), "skipped")
                    result.error = "not run: it depends on " + ", ".join(
                        f"{results[p].blockID} (#{p})" for p in failed_upstream) + ", which did not finish"
                else:
                    incoming = [(edge, results[edge.originPlacedID]) for edge in edges]
                    result = self.run_placement(flow, placement, remote, config, incoming)
                if not run.results:
                    result.messages[:0] = config_problems
                results[placed.placedID] = result
                run.results.append(result)
                if on_result is not None:
                    on_result(result)
                if result.status == "cancelled":
                    raise result.stoppedBy or KeyboardInterrupt
        except Exception:
            raise
        except BaseException as stop:  # Ctrl-C, a stop signal, or whatever else stops the process (a test's timeout)
            remotes = self._remotes
            with cleaning_up(lambda: remote.submittedJobs() + remotes.submitted_jobs()):
                interrupted = Interrupted(self._cancel_run(journal, remote), run)
            if not isinstance(stop, KeyboardInterrupt):
                stopped_by = stop
        else:
            interrupted = None
        finally:
            if viewer is not None:
                viewer._flow = None
            self._remotes.close()
            self._remotes = None
            try:
                run.savedTo = flow.write()
            except (OSError, FlowError):
                run.savedTo = None
        if stopped_by is not None:
            raise stopped_by
        if interrupted is not None:
            raise interrupted
        return run

    def resume_flow(self, folder: str, resubmit_failed: bool = False,
                    on_result: Callable[[BlockResult], None] | None = None) -> FlowRun:
        """Runs the flow saved in a run folder again in that folder, reattaching each cluster job
        block to the last job its journal holds: the job is followed to its end and the block's final
        action runs. With ``resubmit_failed`` a placement whose job failed is run anew (its first
        phase submits again); the other placements run as they did."""
        folder = os.path.abspath(folder)
        flows = sorted(name for name in os.listdir(folder) if name.endswith(".flow")) if os.path.isdir(folder) else []
        if len(flows) != 1:
            raise HostError(f"{folder} is not a run folder of the local host (it must hold one .flow file, "
                            f"found {len(flows)})")
        jobs = Journal(folder).jobs()
        if not jobs:
            raise HostError(f"{folder} has no job journal ({os.path.basename(Journal(folder).path)}); "
                            f"nothing to resume")
        self._reattach = {job["placedID"]: job for job in jobs.values() if isinstance(job.get("placedID"), int)}
        self._resubmit_failed = resubmit_failed
        saved_work_dir, self.work_dir = self.work_dir, folder
        try:
            return self.run_flow(Flow.read(os.path.join(folder, flows[0])), on_result)
        finally:
            self.work_dir, self._reattach, self._resubmit_failed = saved_work_dir, {}, False

    def _reattached(self, flow: Flow, placed: PlacedBlock, remote: LocalRemote, result: BlockResult) -> bool:
        """True when the placement follows the job of an earlier run (which the remote is told of);
        False when it runs anew: no job to reattach to, or one that failed with ``resubmit_failed``."""
        entry = self._reattach.get(placed.placedID)
        if entry is None:
            return False
        job = entry["jobID"]
        if self._resubmit_failed:
            try:
                state = remote.queue.state(job)
            except RemoteError:
                state = "RUNNING"  # out of reach for now: followed, through the outage
            except QueueError:
                state = "UNKNOWN"
            if state != "COMPLETED" and (state in TERMINAL_STATES or state == "UNKNOWN"):
                result.messages.append(Problem("warning", f"job {job} of block {placed.blockID} (#{placed.placedID}) "
                                                          f"ended {state}; submitting it again"))
                return False
        remote._jobs[(flow.savedID, placed.placedID)] = [job]
        return True

    def _cancel_run(self, journal: Journal | None, remote: LocalRemote) -> str:
        """Cancels what the journal holds of the run; says what was cancelled and what could not be."""
        if journal is None:
            remote.cancelAll()
            return "interrupted"
        _, failed = cancel_open_jobs(journal, {remote.name: remote, **self._remotes.opened})
        cancelled = [f"{job_id} on {name}" for (name, job_id), job in journal.jobs().items()
                     if job["event"] == "cancelled"]
        text = ("interrupted; jobs of this run were cancelled: " + ", ".join(cancelled) if cancelled
                else "interrupted; no job of this run was left to cancel")
        return text + "".join(f"; {line}" for line in failed) + (f" (see {journal.path})" if failed else "")

    @staticmethod
    def _refuse_empty_required(flow: Flow, placements: list[Placement]) -> None:
        """A required variable or input that holds no value and has no connection refuses the
        whole run before any block runs."""
        for placement in placements:
            placed_id = placement.placed.placedID
            connected = {edge.destinationVariableID for edge in flow.edges() if edge.destinationPlacedID == placed_id}
            empty = empty_required(placement, flow.variableValues.get(placed_id, {}), placement.placed.inputs,
                                   connected)
            if empty:
                raise HostError(f"block {placement.label}: required {', '.join(empty)} left empty; give "
                                f"{'it' if len(empty) == 1 else 'them'} a value (or a connection); nothing was run")

    # -- the placement -----------------------------------------------------------------------

    def run_placement(self, flow: Flow, placement: Placement, remote: LocalRemote, config: dict,
                      incoming: list | None = None) -> BlockResult:
        placed, declared = placement.placed, placement.declared
        result = BlockResult(placed.placedID, declared.id, declared.name, str(declared.TYPE))
        started = time.monotonic()
        block = None
        with collect_problems() as collector:
            try:
                remote = self._selected_remote(placement, remote)
                block = self._prepare(flow, placement, remote, config, incoming or [])
            except (HostError, ValueCheckError) as exc:
                result.status, result.error = "error", str(exc)
            except Exception as exc:  # the model refused the flow's state or a value
                result.status = "error"
                result.error = f"cannot set up block {declared.id} (#{placed.placedID}): {one_line(exc)}"
            if block is not None:
                if block.selectedRemote not in (None, "Local") and remote.name == "Local":
                    result.messages.append(Problem("warning", f"block {declared.id} (#{placed.placedID}) selects the "
                                                              f"remote '{block.selectedRemote}'; the local host runs "
                                                              f"it on Local"))
                try:
                    self._call(flow, placed, block, remote, result)
                except Exception:
                    raise
                except BaseException as stop:  # the caller stops the run; the placement keeps its state
                    if not isinstance(stop, KeyboardInterrupt):
                        result.stoppedBy = stop
                    jobs = remote.jobsOf(flow.savedID, placed.placedID)
                    if block.jobID is None and jobs:  # interrupted before the first status poll
                        block.jobID = jobs[-1]
                    if jobs and result.job is None:
                        self._cancel_unfollowed(flow, placed, block, remote)
                    result.status = "cancelled"
                    result.error = result.error or f"interrupted while block {declared.id} (#{placed.placedID}) ran"
        result.messages.extend(collector.problems)
        result.seconds = time.monotonic() - started
        if block is not None:
            block._isRunning = False
            block._finishedExecution = True
            block.error = result.status != "ok"
            if result.error and not block.blockLogs:
                block.blockLogs = result.error
            result.outputs = _plain(block.outputs) if result.status == "ok" else result.outputs
            result.storedOutputs = _plain(block._storedOutputs)
            result.blockLogs = block.blockLogs
            placed.state = _plain(block._minimalEncode())
        return result

    @staticmethod
    def _cancel_unfollowed(flow: Flow, placed: PlacedBlock, block, remote: LocalRemote) -> None:
        """The run stopped after the block submitted its job but before the job was followed: the
        job is cancelled here, so that the saved state of the block says CANCELLED (the run's own
        clean-up then finds nothing left of it in the journal)."""
        with cleaning_up(remote.submittedJobs):
            with contextlib.suppress(Exception):
                remote.cancelBlockJobs(flow.savedID, placed.placedID)
            _record_cancelled(block)

    def _selected_remote(self, placement: Placement, local: LocalRemote) -> LocalRemote:
        """The named remote that the placement's state selects, when one of that name is configured
        and a flow is running; Local otherwise."""
        name = placement.state.get("selectedRemote")
        if name in (None, "Local") or self._remotes is None:
            return local
        try:
            selected = self._remotes.get(name)
            known = self._remotes.names()
        except QueueError as exc:  # unreachable, refused, or a broken remotes file
            raise HostError(str(exc)) from None
        if selected is None:  # a misspelled name must not run the job elsewhere
            raise HostError(f"block {placement.label} selects the remote '{name}', which is neither "
                            f"Local nor a remote of {remotes_path()} (remotes: {', '.join(['Local', *known])})")
        return selected

    def _prepare(self, flow: Flow, placement: Placement, remote: LocalRemote, config: dict, incoming: list):
        placed, declared, block, label = placement.placed, placement.declared, placement.block, placement.label
        folder = self.plugin._path
        variables = resolve_paths(declared._variables, copy.deepcopy(flow.variableValues.get(placed.placedID, {})),
                                  folder)
        inputs = resolve_paths(input_variables(declared, placed), copy.deepcopy(placed.inputs), folder)
        input_ids = [v.id for v in input_variables(declared, placed)]
        variable_ids = [v.id for v in block._variables]
        for edge, origin in incoming:
            if edge.originVariableID not in origin.outputs:
                raise HostError(f"connection {edge.describe()}: block {origin.blockID} has no output "
                                f"'{edge.originVariableID}'")
            value = copy.deepcopy(origin.outputs[edge.originVariableID])
            if edge.destinationVariableID in input_ids:
                inputs[edge.destinationVariableID] = value
            elif edge.destinationVariableID in variable_ids:
                variables[edge.destinationVariableID] = value
            else:
                raise HostError(f"connection {edge.describe()}: block {declared.id} has no input or variable "
                                f"'{edge.destinationVariableID}'")
        # Values are checked before the block sees them: the model's own refusals do not say which
        # value of which variable was wrong. What the copy holds from its state is checked too, and
        # rows of its variable lists are completed with the columns' defaults.
        stored = block.variables
        completed = check_stored(label, declared._variables, stored)
        variables.update({key: value for key, value in completed.items()
                          if key not in variables and value != stored[key]})
        variables = check_values(label, declared._variables, variables)
        inputs = check_values(label, input_variables(declared, placed), inputs, role="input")
        if variables:
            block._updateVariables(variables)
        block._updateInputs(inputs)
        block._cleanRun()
        block._setRemote(remote)
        block.flow = flow
        block.pluginDir = self.plugin._path
        block.config = copy.deepcopy(config)
        return block

    def _plugin_call(self, block, result: BlockResult) -> bool:
        """Calls the block (the plugin's action); False when the action raised."""
        entries: list[dict] = []
        returned: list[str] = []
        try:
            try:
                with captured_output(self.capture_stdout) as entries, returned_values(block) as returned:
                    block()
            finally:  # what the action logged comes before the host's own lines
                block.blockLogs = (block.blockLogs or "") + block_log_text(entries)
            return self._check_outputs(block, result)
        except KeyboardInterrupt:
            raise
        except (Exception, SystemExit) as exc:
            result.status = "error"
            result.error = f"the action of block {block.id} (#{block._placedID}) raised {one_line(exc)}"
            help_line = float_list_help(str(exc))
            if help_line:
                result.error += f"; {help_line}"
            result.pluginTraceback = plugin_traceback(exc, self.plugin._path)
            block.blockLogs = (block.blockLogs or "") + result.pluginTraceback
            return False
        finally:
            result.printed += printed_text(entries)
            result.output.extend(entries)
            self._warn(result, returned)

    def _warn(self, result: BlockResult, warnings: list[str]) -> None:
        """Adds each warning once to the result (the commands print a result's messages)."""
        for text in warnings:
            if not any(m.message == text for m in result.messages):
                result.messages.append(Problem("warning", text))

    @staticmethod
    def _check_outputs(block, result: BlockResult) -> bool:
        """False (the block failed) when the action set an output to a value that does not fit its type."""
        outputs = block.outputs
        try:
            for output in block._outputs:
                value = outputs.get(output.id)
                if value is not None:
                    check_value(block, output, value, role="output")
        except ValueCheckError as exc:
            result.status, result.error = "error", f"setOutput: {exc}"
            block.blockLogs = (block.blockLogs or "") + result.error
            return False
        return True

    def _call(self, flow: Flow, placed: PlacedBlock, block, remote: LocalRemote, result: BlockResult) -> None:
        remote._runningSavedID, remote._runningPlacedID = flow.savedID, placed.placedID
        first_action = len(flow.pendingActions)
        self._warn(result, variable_writes(block))
        block._isRunning = True
        try:
            is_job = str(block.TYPE) == "slurm" and self.follow_jobs
            if is_job and self._reattached(flow, placed, remote, result):
                self._second_phase(flow, placed, block, remote, result)
                return
            if not self._plugin_call(block, result):
                return
            if str(block.TYPE) == "slurm" and self.follow_jobs:
                self._second_phase(flow, placed, block, remote, result)
        finally:
            remote._runningSavedID = remote._runningPlacedID = None
            result.viewerActions = _plain(flow.pendingActions[first_action:])
            label = f"{block.id} (#{placed.placedID})"
            self._warn(result, [text for action in result.viewerActions for text in action_warnings(action, label)])

    def _second_phase(self, flow: Flow, placed: PlacedBlock, block, remote: LocalRemote, result: BlockResult) -> None:
        """Follows the job of a cluster job block, then runs its final action."""
        result.job = JobInfo()
        started = time.monotonic()
        label = f"{block.id} (#{placed.placedID})"
        jobs = remote.jobsOf(flow.savedID, placed.placedID)
        if len(jobs) > 1:
            result.messages.append(Problem("warning", f"block {block.id} (#{placed.placedID}) submitted {len(jobs)} jobs "
                                                      f"({', '.join(map(str, jobs))}) in one phase; only the last one, "
                                                      f"{jobs[-1]}, is followed"))

        follower = JobLogFollower(remote, placed.placedID, self._followed) if self.follow else None

        def show(outage: str | None) -> None:
            if block.jobID is None and not jobs:
                return
            if follower is not None and outage is None and block.jobID is not None:
                self._read_logs(follower, block.jobID)
            where = outage or (remote.jobWhereabouts(block.jobID, str(block.status)) if block.jobID is not None
                               else None)
            self._job_progress(block, started, False, where and f"{block.status}, {where}")

        try:
            following.follow(block, label, poll=self.poll, reconnect=self.reconnect_timeout,
                             job_timeout=self.job_timeout, progress=show)
            if block.jobID is None and str(block.status) == "IDLE":
                result.messages.append(Problem("warning", f"block {label} submitted no job; "
                                                          f"running its final action at once"))
            else:
                if follower is not None and block.jobID is not None:
                    self._read_logs(follower, block.jobID, to_the_end=True)
                self._job_progress(block, started, True)
                remote._journal_event("ended", block.jobID, state=str(block.status))
        except following.LeftRunning as exc:
            self._job_progress(block, started, True, "left running")
            for job in jobs:
                remote._journal_event("left running", job, reason=str(exc))
            result.status = "error"
            result.error = (f"stopped following job {block.jobID or (jobs[-1] if jobs else None)} of block {label} "
                            f"on {remote.name}: {exc}; the job was left running"
                            + (f" and is recorded in {remote.journal.path}; follow it again with: qorvel-plugin "
                               f"flow {self.plugin._path} --resume {remote.journal.folder}" if remote.journal else ""))
            block.blockLogs = result.error
            return
        except Exception as exc:  # the queue failed while the job was followed, or it took too long
            with contextlib.suppress(Exception):
                if remote.cancelBlockJobs(flow.savedID, placed.placedID) or isinstance(exc, JobTimeout):
                    _record_cancelled(block)
            result.status = "error"
            cause = exc.__cause__ if exc.__cause__ is not None else exc
            result.error = (str(exc) if isinstance(exc, JobTimeout) else
                            f"following job {block.jobID} of block {block.id} failed: {one_line(cause)}")
            block.blockLogs = result.error
            return
        except BaseException:  # Ctrl-C, a stop signal, a test's timeout: the job must not outlive the run
            cancelled = remote.cancelBlockJobs(flow.savedID, placed.placedID)
            _record_cancelled(block)
            self._job_progress(block, started, True, "CANCELLED")
            result.status = "cancelled"
            result.error = (f"interrupted; cancelled job {', '.join(map(str, cancelled))}" if cancelled else
                            f"interrupted while job {block.jobID} was followed")
            raise
        finally:
            result.job = JobInfo(block.jobID, str(block.status), block.stdOut, block.stdErr, block.detailedStatus,
                                 float(block.time), _tasks_of(remote, block.jobID),
                                 follower.followed() if follower is not None else None)
        status = str(block.status)
        if status not in ("COMPLETED", "IDLE") and block.failOnSlurmError:
            result.status = "error"
            result.error = f"job {block.jobID} of block {block.id} (#{placed.placedID}) ended {status}"
            if result.job.tasks:
                result.error += f" ({tasks_text(result.job.tasks)})"
            tail = (block.stdErr or "").strip().splitlines()[-5:]
            block.blockLogs = result.error + ("\n" + "\n".join(tail) if tail else "")
            return
        state = copy.deepcopy(block._minimalEncode())
        state["executeSecondAction"] = True
        block._parseInternalVariables(state)
        self._plugin_call(block, result)

    @staticmethod
    def _read_logs(follower: JobLogFollower, job: Any, to_the_end: bool = False) -> None:
        """Reads what the job's logs gained. A read that fails is tried again at the next poll, from the
        same offsets: the poll of the job's state says when the remote is out of reach."""
        try:
            follower.drain(job) if to_the_end else follower.poll(job)
        except (QueueError, SlurmError, OSError):
            pass

    def _followed(self, piece: FollowedText) -> None:
        """New text of a followed job's log (``serve`` sends it to the page)."""
        if callable(self.follow):
            self.follow(piece)

    def _job_progress(self, block, started: float, final: bool, status: str | None = None) -> None:
        """Reports the state of the job being followed (``serve`` also shows it on the placement)."""
        self.progress(self._progress_text(block, started, status), final)

    @staticmethod
    def _progress_text(block, started: float, status: str | None = None) -> str:
        elapsed = int(time.monotonic() - started)
        return (f"  job {block.jobID} of {block.id} (#{block._placedID}): {status or block.status}"
                f"  {elapsed // 60:d}:{elapsed % 60:02d}")


def _tasks_of(remote: LocalRemote, job: Any) -> list | None:
    """The tasks of the block's job when it is an array job (None when they cannot be asked now)."""
    if job is None:
        return None
    try:
        return remote.jobTasks(job)
    except Exception:  # noqa: BLE001 (the tasks are a detail of the result; the job's state is kept)
        return None


def _record_cancelled(block) -> None:
    """The block's job facts after the host cancelled its job: the queue's, read once more, and the
    status CANCELLED while the queue still reports the job as not ended."""
    with contextlib.suppress(Exception):
        block.parseStatus()
    if str(block.status) in ("PENDING", "RUNNING", "IDLE", "UNKNOWN") or str(block.status) in PASSING_STATES:
        block.status = type(block.status)("CANCELLED")


def _plain(value: Any) -> Any:
    """A JSON-compatible deep copy (values that JSON cannot hold become their text form)."""
    if isinstance(value, dict):
        return {str(k): _plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if value is None or isinstance(value, (bool, int, float)):
        return value
    if isinstance(value, str):
        return str(value)
    return repr(value)


__all__ = ["LocalHost", "HostError", "Interrupted", "FlowRun", "BlockResult", "default_config_path"]
