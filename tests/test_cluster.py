"""The cluster job block, driven the way the platform's server drives it.

The host works on a copy of the declared block, attaches one of its remote objects, runs the first
phase (which submits the job), follows the job through the block's status operations, switches the
block to its second phase through the editor's block state JSON and runs it again.
"""
import contextlib
import functools
import logging
import threading
import time

import pytest

from QorvelAPI import utils
from QorvelAPI.plugins import PluginBlock, PluginBlockTypes, SlurmBlock

Status = SlurmBlock.Status

STATE_NAMES = [
    "BOOT_FAIL", "CANCELLED", "CANCELLING", "COMPLETED", "CONFIGURING", "COMPLETING", "DEADLINE", "FAILED",
    "NODE_FAIL", "OUT_OF_ME", "PENDING", "PREEMPTED", "RUNNING", "RESV_DEL_HOLD", "REQUEUE_FED", "REQUEUE_HOLD",
    "REQUEUED", "RESIZING", "REVOKED", "SIGNALING", "SPECIAL_EXIT", "STAGE_OUT", "STOPPED", "SUSPENDED", "TIMEOUT",
    "UNKNOWN", "IDLE",
]
JOB_KEYS = ["status", "jobID", "stdOut", "stdErr", "detailedStatus", "executeSecondAction"]


class Flow:
    """The host's flow, as far as a block uses it."""

    def __init__(self, savedID="flow-7"):
        self.savedID = savedID
        self.pendingActions = []


class HostRemote:
    """A host remote object whose queue reports the given states in turn (the last one repeats)."""

    name = "Cluster"
    host = "hpc.example.org"
    userHome = "/home/u"
    workDir = "/home/u/qorvel"

    def __init__(self, states=("PENDING",), logs=("out", "err", "detail"), elapsed=2.5):
        self.states = list(states)
        self.logs = logs
        self.elapsed = elapsed
        self.queries = []
        self.submitted = []
        self._blockPlacedID = None
        self._resetRemoteBlock = True

    @contextlib.contextmanager
    def cd(self, path):
        yield

    def submitJob(self, script, changeDir):
        self.submitted.append((script, changeDir))
        return 4242

    def getRemoteBlockStatus(self, savedID, placedID):
        self.queries.append((savedID, placedID, self._blockPlacedID))
        return self.states.pop(0) if len(self.states) > 1 else self.states[0]

    def getJobIDfromBlock(self, savedID, placedID):
        return 4242

    def getRemoteBlockLogs(self, savedID, placedID):
        if isinstance(self.logs, BaseException):
            raise self.logs
        return self.logs

    def getRemoteBlockTime(self, savedID, placedID):
        return self.elapsed


def declare(**kwargs):
    calls = []

    def submit(block, *args, **kw):
        calls.append(("initial", args, kw))
        block.remote.submitJob("/home/u/job.sh")

    def collect(block, *args, **kw):
        calls.append(("final", args, kw))

    block = SlurmBlock("Docking Job", "Runs docking on the cluster", submit, collect, id="docking", **kwargs)
    return block, calls


def placed(host_remote=None, placedID=3, flow=None, declared=None):
    """A copy of a declared block as the host prepares it for a run."""
    declared = declared or declare()[0]
    block = declared.copy()
    block._parseInternalVariables({"placedID": placedID})
    block._cleanRun()
    if host_remote is not None:
        block._setRemote(host_remote)
    block.flow = flow or Flow()
    return block


def qorvel_errors(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "Qorvel" and r.levelno == logging.ERROR]


# --- Status ------------------------------------------------------------------------------------


def test_status_members_are_the_queue_states_in_order():
    assert [m.name for m in Status] == STATE_NAMES
    assert all(m.value == m.name for m in Status)
    assert Status.OUT_OF_ME.value == "OUT_OF_ME"
    assert Status.__qualname__ == "SlurmBlock.Status" and Status.__doc__ == "The status of the block."
    assert str(Status.RUNNING) == "RUNNING" and f"{Status.PENDING}" == "PENDING"


@pytest.mark.parametrize(
    "value, expected",
    [(Status.FAILED, Status.FAILED), ("RUNNING", Status.RUNNING), ("running", Status.UNKNOWN),
     ("DONE", Status.UNKNOWN), ("OUT_OF_MEMORY", Status.UNKNOWN), (None, Status.UNKNOWN), (3, Status.UNKNOWN),
     ([1, 2], Status.UNKNOWN), ({"a": 1}, Status.UNKNOWN)],
)
def test_status_conversion_never_fails(value, expected):
    assert Status(value) is expected


# --- Declaration -------------------------------------------------------------------------------


def test_class_values_and_a_fresh_block():
    assert (SlurmBlock.jobID, SlurmBlock.status, SlurmBlock.stdOut, SlurmBlock.stdErr) == (None, Status.IDLE, None, None)
    assert SlurmBlock.detailedStatus is None and SlurmBlock.failOnSlurmError is True
    assert SlurmBlock._executeSecondAction is False
    assert issubclass(SlurmBlock, PluginBlock)

    block, _ = declare(failOnSlurmError=False)
    assert block.TYPE is PluginBlockTypes.SLURM and block.status is Status.IDLE
    assert block.failOnSlurmError is False and SlurmBlock.failOnSlurmError is True
    assert block.action is block.initalAction and block.finalAction is not block.initalAction
    block.status = Status.RUNNING
    assert SlurmBlock.status is Status.IDLE


def test_constructor_arguments_and_the_extenrnalURL_keyword():
    block = SlurmBlock("A", "d", None, None, extenrnalURL="https://docs.example.org/a")
    assert block.externalURL == "https://docs.example.org/a"
    with pytest.raises(TypeError, match=r"SlurmBlock\.__init__\(\) got an unexpected keyword argument 'externalURL'"):
        SlurmBlock("A", "d", None, None, externalURL="https://docs.example.org/a")
    block = SlurmBlock("A", "d", print, repr, [], [], [], [], "my.id", False, "u")
    assert (block.id, block.failOnSlurmError, block.externalURL) == ("my_id", False, "u")
    assert (block.initalAction, block.finalAction) == (print, repr)
    with pytest.raises(TypeError, match=r"__init__\(\) takes from 5 to 12 positional arguments but 13 were given"):
        SlurmBlock("A", "d", print, repr, [], [], [], [], "my.id", False, "u", 1)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'finalAction'"):
        SlurmBlock("A", "d", print)


@pytest.mark.parametrize(
    "kwargs, message",
    [({"name": 1}, "Argument 'name' has incorrect type (expected str, got int)"),
     ({"variables": ()}, "Argument 'variables' has incorrect type (expected list, got tuple)"),
     ({"outputs": None}, "Argument 'outputs' has incorrect type (expected list, got NoneType)"),
     ({"id": 5}, "Argument 'id' has incorrect type (expected str, got int)"),
     ({"extenrnalURL": b"u"}, "Argument 'extenrnalURL' has incorrect type (expected str, got bytes)")],
)
def test_constructor_type_errors(kwargs, message):
    arguments = {"name": "A", "description": "d", "initialAction": None, "finalAction": None, **kwargs}
    with pytest.raises(TypeError) as caught:
        SlurmBlock(**arguments)
    assert str(caught.value) == message


def test_copy_shares_the_actions_and_carries_the_job():
    class Owner:
        def collect(self, block):
            pass

    declared = SlurmBlock("J", "d", functools.partial(print, "submit"), Owner().collect, id="j")
    declared.status, declared.jobID, declared._executeSecondAction = Status.RUNNING, 9, True
    copied = declared.copy()
    assert type(copied) is SlurmBlock and copied._isOriginal is False
    assert copied.initalAction is declared.initalAction and copied.finalAction is declared.finalAction
    assert (copied.status, copied.jobID, copied._executeSecondAction) == (Status.RUNNING, 9, True)
    copied.jobID = 10
    assert declared.jobID == 9


def test_python_subclass_constructs_through_init():
    class Job(SlurmBlock):
        def __init__(self, tag):
            super().__init__("Tagged", "d", None, None, id="tagged", extenrnalURL=tag)
            self.tag = tag

    job = Job("t")
    assert (job.id, job.externalURL, job.tag, job.TYPE) == ("tagged", "t", "t", PluginBlockTypes.SLURM)


# --- Documents and updates from the editor ------------------------------------------------------


def test_minimal_dictionary_appends_the_job_keys():
    block = placed()
    document = block._minimalEncode()
    assert list(document)[-6:] == JOB_KEYS
    assert list(document)[:-6] == list(PluginBlock._minimalEncode(block))
    assert [document[k] for k in JOB_KEYS] == ["IDLE", None, None, None, None, False]
    full = block._toDict()
    keys = list(full)
    assert keys.index("executeSecondAction") < keys.index("externalURL") and full["type"] == "slurm"


@pytest.mark.parametrize(
    "reported, expected",
    [("RUNNING", Status.RUNNING), ("running", Status.UNKNOWN), ("DONE", Status.UNKNOWN), (None, Status.UNKNOWN)],
)
def test_block_state_json_status(reported, expected):
    block = placed()
    block._parseInternalVariables({"status": reported})
    assert block.status is expected


def test_block_state_json_round_trip_and_defaults():
    block = placed(placedID=9)
    state = {"placedID": 9, "status": "COMPLETED", "jobID": 17, "stdOut": "o", "stdErr": "e",
             "detailedStatus": "COMPLETED 0:0", "executeSecondAction": True}
    block._parseInternalVariables(state)
    assert (block.status, block.jobID, block.stdOut, block.stdErr) == (Status.COMPLETED, 17, "o", "e")
    assert block.detailedStatus == "COMPLETED 0:0" and block._executeSecondAction is True
    assert {k: block._minimalEncode()[k] for k in JOB_KEYS} == {k: state[k] for k in JOB_KEYS}

    block._parseInternalVariables({})
    assert [block.status, block.jobID, block.stdOut, block.stdErr, block.detailedStatus,
            block._executeSecondAction] == [Status.IDLE, None, None, None, None, False]
    with pytest.raises(TypeError, match=r"Argument 'blockJSON' has incorrect type \(expected dict, got list\)"):
        block._parseInternalVariables([])


def test_clean_run_resets_the_job_and_keeps_the_actions():
    block = placed(HostRemote())
    block._parseInternalVariables({"placedID": 3, "status": "FAILED", "jobID": 5, "stdOut": "o",
                                   "executeSecondAction": True, "time": 12, "dirty": True})
    actions = (block.initalAction, block.finalAction)
    block._cleanRun(cleanDirty=True)
    assert [block.status, block.jobID, block.stdOut, block.stdErr, block.detailedStatus,
            block._executeSecondAction] == [Status.IDLE, None, None, None, None, False]
    assert (block.initalAction, block.finalAction) == actions and block.time == 0 and block.dirty is False


# --- The host's run of a flow -------------------------------------------------------------------


def test_host_runs_both_phases_and_follows_the_job():
    declared, calls = declare()
    host_remote = HostRemote(states=["PENDING", "RUNNING", "COMPLETED"], elapsed=2.5)
    flow = Flow("saved-1")
    block = placed(host_remote, placedID=3, flow=flow, declared=declared)

    outputs = block("extra", key=1)
    assert outputs == block.outputs and calls == [("initial", ("extra",), {"key": 1})]
    assert host_remote.submitted == [("/home/u/job.sh", True)] and host_remote._resetRemoteBlock is False

    seen = [block.parseStatus() for _ in range(3)]
    assert seen == ["Pending", "Running", "Completed"]
    assert host_remote.queries == [("saved-1", 3, 3)] * 3
    assert (block.status, block.jobID) == (Status.COMPLETED, 4242)
    assert (block.stdOut, block.stdErr, block.detailedStatus) == ("out", "err", "detail")
    assert block.time == pytest.approx(7.5)  # every poll adds the reported time
    assert block.isWaitingForJob is False

    # The editor sends the block's state back, marked for the second phase.
    state = block._minimalEncode()
    assert state["status"] == "COMPLETED" and state["jobID"] == 4242
    state["executeSecondAction"] = True
    host_remote._resetRemoteBlock = True
    block._parseInternalVariables(state)
    block()
    assert calls[-1] == ("final", (), {}) and block.action is block.finalAction
    assert block._executeSecondAction is False and host_remote._resetRemoteBlock is True
    block()
    assert calls[-1][0] == "initial" and host_remote._resetRemoteBlock is False
    assert declared.status is Status.IDLE and declared.jobID is None


def test_failing_action_leaves_the_phase_and_the_remote_flag():
    def fail(block):
        raise RuntimeError("submission refused")

    host_remote = HostRemote()
    block = placed(host_remote, declared=SlurmBlock("J", "d", fail, fail, id="j"))
    with pytest.raises(RuntimeError, match="submission refused"):
        block()
    assert host_remote._resetRemoteBlock is True
    block._executeSecondAction = True
    with pytest.raises(RuntimeError):
        block()
    assert block._executeSecondAction is True


def test_first_phase_without_a_remote_keeps_its_outputs():
    assert placed(None, declared=SlurmBlock("J", "d", lambda block: None, None, id="j"))() == {}


# --- Status queries -----------------------------------------------------------------------------


@pytest.mark.parametrize("state, text", [("RUNNING", "Running"), ("OUT_OF_ME", "Out_of_me"),
                                         ("NODE_FAIL", "Node_fail"), ("what", "Unknown"),
                                         (None, "Unknown"), (Status.FAILED, "Failed")])
def test_parse_status_capitalises(state, text):
    assert placed(HostRemote([state])).parseStatus() == text


def test_status_query_without_remote_or_flow_falls_back_to_idle(caplog):
    block = placed(None)
    block.status = Status.RUNNING
    assert block.parseStatus() == "Idle" and block.status is Status.IDLE
    assert qorvel_errors(caplog)[0].startswith("Could not parse SlurmBlock status: ")
    assert "remote" in qorvel_errors(caplog)[0]

    class OlderHost:  # knows the job's state but not its identifier
        cd = HostRemote.cd

        def getRemoteBlockStatus(self, savedID, placedID):
            return "RUNNING"

    host_remote = OlderHost()
    block = placed(host_remote)
    assert block.parseStatus() == "Idle" and host_remote._blockPlacedID == 3
    assert qorvel_errors(caplog)[-1] == (
        "Could not parse SlurmBlock status: 'OlderHost' object has no attribute 'getJobIDfromBlock'")

    # The call's own parts are evaluated first: the missing method is reported before the flow.
    block = placed(OlderHost())
    block.remote._remote = type("Bare", (), {})()
    del block.flow
    assert block.parseStatus() == "Idle"
    assert qorvel_errors(caplog)[-1].endswith("'Bare' object has no attribute 'getRemoteBlockStatus'")


@pytest.mark.parametrize("logs", [("out", "err"), ("a", "b", "c", "d"), None, RuntimeError("log server down")])
def test_failed_log_query_keeps_previous_logs(caplog, logs):
    host_remote = HostRemote(["RUNNING"])
    block = placed(host_remote)
    block.parseStatus()
    host_remote.logs = logs
    block.parseStatus()
    assert (block.stdOut, block.stdErr, block.detailedStatus) == ("out", "err", "detail")
    assert block.status is Status.RUNNING and block.time == pytest.approx(5.0)
    assert qorvel_errors(caplog)[0].startswith("Could not parse latest SlurmBlock logs: ")


def test_other_host_errors_reach_the_caller():
    class Broken(HostRemote):
        def getRemoteBlockStatus(self, savedID, placedID):
            raise ConnectionError("cluster unreachable")

    with pytest.raises(ConnectionError):
        placed(Broken()).parseStatus()
    host_remote = HostRemote(["RUNNING"])
    host_remote.logs = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        placed(host_remote).parseStatus()


def test_is_waiting_for_job():
    host_remote = HostRemote(["RUNNING"])
    block = placed(host_remote)
    assert block.isWaitingForJob is False and host_remote.queries == []
    block.status = Status.COMPLETED
    assert block.isWaitingForJob is False and host_remote.queries == []
    for reported, waiting in [("RUNNING", True), ("PENDING", True), ("SUSPENDED", False), ("FAILED", False)]:
        host_remote.states = [reported]
        block.status = Status.PENDING
        assert block.isWaitingForJob is waiting and block.status is Status(reported)
    block.status = Status.RUNNING
    del block.remote
    assert block.isWaitingForJob is False


def test_is_waiting_for_job_on_host_errors(caplog):
    class Resetting(HostRemote):
        def getRemoteBlockStatus(self, savedID, placedID):
            raise self.error

    host_remote = Resetting()
    block = placed(host_remote)
    host_remote.error = utils.ResetRemoteException("remote side reset")
    block.status = Status.RUNNING
    assert block.isWaitingForJob is False

    host_remote.error = OSError("connection lost")
    with pytest.raises(Exception) as caught:
        block.isWaitingForJob
    assert type(caught.value) is Exception
    assert str(caught.value) == "An error occurred while checking if the job is finished."
    assert caught.value.__cause__ is host_remote.error
    assert qorvel_errors(caplog) == [
        "An error occurred while checking if the job is finished for block Docking Job: connection lost"]


# --- Waiting for the job ------------------------------------------------------------------------


@pytest.fixture
def sleeps(monkeypatch):
    recorded = []
    monkeypatch.setattr(time, "sleep", recorded.append)
    return recorded


def test_wait_polls_until_the_job_ends(sleeps):
    host_remote = HostRemote(["RUNNING", "COMPLETED", "COMPLETED"])
    block = placed(host_remote)
    block.status = Status.PENDING
    assert block.waitTillJobFinished(1) is None
    assert sleeps == [1] and len(host_remote.queries) == 3 and block.status is Status.COMPLETED

    host_remote = HostRemote(["SUSPENDED"])
    block = placed(host_remote)
    block.status = Status.RUNNING
    block.waitTillJobFinished()
    assert sleeps == [1] and len(host_remote.queries) == 2

    for settled in (Status.IDLE, Status.COMPLETED):  # no sleep, one final query
        host_remote = HostRemote(["RUNNING"])
        block = placed(host_remote)
        block.status = settled
        block.waitTillJobFinished(interval=3)
        assert sleeps == [1] and len(host_remote.queries) == 1


def test_wait_checks_its_interval(sleeps):
    block = placed(HostRemote())
    with pytest.raises(TypeError, match=r"Argument 'interval' has incorrect type \(expected int, got float\)"):
        block.waitTillJobFinished(0.5)
    with pytest.raises(ValueError, match="must not be negative"):
        block.waitTillJobFinished(-1)
    assert sleeps == []


def test_wait_lets_other_threads_run():
    """A second thread does its work while the first one sleeps in the wait."""
    started = threading.Event()
    progress = []

    def worker():
        started.wait()
        for step in range(200):
            progress.append(step)
            time.sleep(0)  # gives the interpreter lock back at every step

    class Remote(HostRemote):
        def getRemoteBlockStatus(self, savedID, placedID):
            self.queries.append(len(progress))
            started.set()
            return "RUNNING" if len(self.queries) == 1 else "COMPLETED"

    host_remote = Remote()
    block = placed(host_remote)
    block.status = Status.PENDING
    thread = threading.Thread(target=worker)
    thread.start()
    block.waitTillJobFinished(1)
    thread.join()
    # The worker finished all its steps during the one sleep between the first two queries.
    assert host_remote.queries[:2] == [0, 200]
