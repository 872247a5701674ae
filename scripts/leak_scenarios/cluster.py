"""The cluster job block: both phases, status queries against working and failing host
remotes, waiting, its documents and its update from the editor."""
from QorvelAPI import utils
from QorvelAPI.plugins import PluginVariable, SlurmBlock, VariableTypes

from . import refused, scenario
from .blocks import HostRemote

Status = SlurmBlock.Status


class Flow:
    savedID = "flow-1"

    def __init__(self):
        self.pendingActions = []


class QueueRemote(HostRemote):
    """A host remote whose queue reports the given states in turn (the last one repeats)."""

    def __init__(self, states=("PENDING", "RUNNING", "COMPLETED"), logs=("out", "err", "detail")):
        self.states = list(states)
        self.logs = logs
        self._blockPlacedID = None
        self._resetRemoteBlock = True

    def getRemoteBlockStatus(self, savedID, placedID):
        state = self.states.pop(0) if len(self.states) > 1 else self.states[0]
        if isinstance(state, BaseException):
            raise state
        return state

    def getJobIDfromBlock(self, savedID, placedID):
        return 4242

    def getRemoteBlockLogs(self, savedID, placedID):
        if isinstance(self.logs, BaseException):
            raise self.logs
        return self.logs

    def getRemoteBlockTime(self, savedID, placedID):
        return 1.5


def _submit(block):
    block.remote.submitJob("/job.sh")
    block.setOutput("job", 1)


def _collect(block):
    block.setOutput("job", 2)


def _fail(block):
    raise ValueError("phase failed")


def make_slurm(initial=_submit, final=_collect):
    out = PluginVariable("job", "Job", "D", VariableTypes.NUMBER)
    block = SlurmBlock("Job", "D", initial, final, [PluginVariable("n", "N", "D", VariableTypes.NUMBER, 1)],
                       [], [], [out], "job", True, extenrnalURL="http://doc")
    placed = block.copy()
    placed.flow = Flow()
    return placed


@scenario
def slurm_phases():
    block = make_slurm()
    block._setRemote(QueueRemote())
    block()
    block._parseInternalVariables({**block._minimalEncode(), "executeSecondAction": True, "status": "RUNNING"})
    block()
    block._minimalEncode(), block._toDict(), str(block)
    block._cleanRun(), block._cleanRun(cleanDirty=True)
    failing = make_slurm(_fail, _fail)
    failing._setRemote(QueueRemote())
    refused(ValueError, failing)
    failing._parseInternalVariables({"executeSecondAction": True})
    refused(ValueError, failing)
    refused(TypeError, block._parseInternalVariables, [])
    refused(TypeError, block._parseInternalVariables, {"placedID": "x", "status": "RUNNING"})
    for args, kwargs in [(("Job", "D", _submit), {}), (("Job", 1, _submit, _collect), {}),
                         (("Job", "D", _submit, _collect), {"externalURL": "x"}),
                         (("Job", "D", _submit, _collect), {"extenrnalURL": 1}),
                         (("Job", "D", _submit, _collect, None), {})]:
        refused(TypeError, SlurmBlock, *args, **kwargs)


@scenario
def slurm_status():
    for value in ("RUNNING", "running", None, 3, Status.COMPLETED, "OUT_OF_ME"):
        Status(value)
    block = make_slurm()
    block.parseStatus(), block.isWaitingForJob                  # no remote: logged, Idle
    block._setRemote(QueueRemote())
    block.parseStatus(), block.isWaitingForJob
    block.status = Status.PENDING
    block.isWaitingForJob
    block._setRemote(QueueRemote(logs=("only two", "items")))
    block.parseStatus()
    block._setRemote(QueueRemote(logs=RuntimeError("logs unavailable")))
    block.parseStatus()
    block._setRemote(QueueRemote(states=(KeyError("queue gone"),)))
    refused(KeyError, block.parseStatus)
    block.status = Status.RUNNING
    block._setRemote(QueueRemote(states=(utils.ResetRemoteException("reset"),)))
    assert block.isWaitingForJob is False
    block.status = Status.RUNNING
    block._setRemote(QueueRemote(states=(OSError("lost"),)))
    refused(Exception, getattr, block, "isWaitingForJob")
    block.status = Status.RUNNING
    block._setRemote(HostRemote())                               # no status operations at all
    assert block.isWaitingForJob is False
    del block.flow
    block.parseStatus()


@scenario
def slurm_wait():
    block = make_slurm()
    block._setRemote(QueueRemote(("PENDING", "RUNNING", "COMPLETED")))
    block.status = Status.PENDING
    block.waitTillJobFinished(0)
    block.waitTillJobFinished(interval=0)
    refused(TypeError, block.waitTillJobFinished, 0.5)
    refused(TypeError, block.waitTillJobFinished, "1")
