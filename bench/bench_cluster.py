"""The cluster job block against a plain-Python implementation of the same class.

Both sides run the same statements in this one process against the same fake host remote; the
baseline block carries the same run state and follows the same steps (status, identifier, logs
and time queries, phase switch, minimal dictionary), so the ratio is what the host gains while
it follows a job (ratio < 1: the extension is faster).
"""
import contextlib
import enum
import logging
import timeit

from QorvelAPI.plugins import SlurmBlock

logging.getLogger("Qorvel").disabled = True
Status = SlurmBlock.Status


class HostRemote:
    def __init__(self):
        self._blockPlacedID = None
        self._resetRemoteBlock = True

    @contextlib.contextmanager
    def cd(self, path):
        yield

    def getRemoteBlockStatus(self, savedID, placedID):
        return "RUNNING"

    def getJobIDfromBlock(self, savedID, placedID):
        return 4242

    def getRemoteBlockLogs(self, savedID, placedID):
        return ("out", "err", "RUNNING")

    def getRemoteBlockTime(self, savedID, placedID):
        return 1.0


class Flow:
    savedID = "flow-1"


class PyStatus(enum.Enum):
    IDLE = "IDLE"
    PENDING = "PENDING"
    RUNNING = "RUNNING"
    COMPLETED = "COMPLETED"
    UNKNOWN = "UNKNOWN"

    @classmethod
    def _missing_(cls, value):
        return cls.UNKNOWN

    def __str__(self):
        return self.value


class PyRemote:
    def __init__(self, remote):
        self._remote = remote
        self.cd = remote.cd


class PyBlock:
    """The base block's run state and the operations the cluster block builds on."""

    def __init__(self, name, action):
        self.id, self.name, self.action = name.lower(), name, action
        self._position, self._isPlaced, self._isRunning, self.error, self.blockLogs = [0, 0], False, False, False, ""
        self._placedID, self._finishedExecution, self._storedOutputs = 0, False, {}
        self._variables, self._outputs, self._variableConnections, self._variableConnectionsReferences = [], [], [], []
        self.selectedInputGroup, self.selectedRemote, self._extensionsToOpen = "default", "Local", []
        self.time, self.extraData, self.dirty = 0, {}, False

    @property
    def outputs(self):
        return {o.id: o.value for o in self._outputs}

    def __call__(self, *args, **kwargs):
        self.action(self, *args, **kwargs)
        return self.outputs

    def _minimalEncode(self):
        return {
            "id": self.id, "isPlaced": self._isPlaced, "position": {"x": self._position[0], "y": self._position[1]},
            "isRunning": self._isRunning, "error": self.error, "blockLogs": self.blockLogs,
            "placedID": self._placedID, "finishedExecution": self._finishedExecution,
            "storedOutputs": self._storedOutputs, "variables": [v.toDict(minimal=True) for v in self._variables],
            "variableConnections": [c._toDict() for c in self._variableConnections],
            "variableConnectionsReference": [c._toDict() for c in self._variableConnectionsReferences],
            "selectedInputGroup": self.selectedInputGroup, "selectedRemote": self.selectedRemote,
            "extensionsToOpen": self._extensionsToOpen, "time": self.time, "extraData": self.extraData,
            "dirty": self.dirty,
        }


class PySlurmBlock(PyBlock):
    jobID = None
    status = PyStatus.IDLE
    stdOut = stdErr = detailedStatus = None
    _executeSecondAction = False

    def __init__(self, name, initialAction, finalAction):
        super().__init__(name, initialAction)
        self.initalAction, self.finalAction = initialAction, finalAction

    def __call__(self, *args, **kwargs):
        if self._executeSecondAction:
            self.action = self.finalAction
            result = super().__call__(*args, **kwargs)
            self._executeSecondAction = False
            return result
        self.action = self.initalAction
        result = super().__call__(*args, **kwargs)
        self.remote._remote._resetRemoteBlock = False
        return result

    def parseStatus(self):
        try:
            self.remote._remote._blockPlacedID = self._placedID
            self.status = PyStatus(self.remote._remote.getRemoteBlockStatus(self.flow.savedID, self._placedID))
            self.jobID = self.remote._remote.getJobIDfromBlock(self.flow.savedID, self._placedID)
            try:
                self.stdOut, self.stdErr, self.detailedStatus = self.remote._remote.getRemoteBlockLogs(
                    self.flow.savedID, self._placedID)
            except Exception as e:
                logging.getLogger("Qorvel").error("Could not parse latest SlurmBlock logs: %s", str(e))
            self.time += self.remote._remote.getRemoteBlockTime(self.flow.savedID, self._placedID)
        except AttributeError as e:
            logging.getLogger("Qorvel").error("Could not parse SlurmBlock status: %s", str(e))
            self.status = PyStatus.IDLE
        return str(self.status).capitalize()

    @property
    def isWaitingForJob(self):
        if self.status == PyStatus.COMPLETED or self.status == PyStatus.IDLE:
            return False
        try:
            self.remote._remote._blockPlacedID = self._placedID
            self.parseStatus()
            return self.status == PyStatus.RUNNING or self.status == PyStatus.PENDING
        except AttributeError:
            return False

    def _minimalEncode(self):
        d = super()._minimalEncode()
        d["status"] = str(self.status)
        d["jobID"] = self.jobID
        d["stdOut"] = self.stdOut
        d["stdErr"] = self.stdErr
        d["detailedStatus"] = self.detailedStatus
        d["executeSecondAction"] = self._executeSecondAction
        return d


def noop(block):
    pass


def make_ours():
    block = SlurmBlock("Job", "d", noop, noop, id="job").copy()
    block._setRemote(HostRemote())
    block.flow = Flow()
    return block


def make_baseline():
    block = PySlurmBlock("Job", noop, noop)
    block.remote = PyRemote(HostRemote())
    block.flow = Flow()
    return block


def median_ns(statement, block, number):
    runs = timeit.repeat(statement, globals={"b": block, "Status": Status, "PyStatus": PyStatus},
                         repeat=5, number=number)
    return sorted(runs)[2] / number * 1e9


CASES = [
    ("parseStatus (one poll)", "b.parseStatus()", "b.parseStatus()", 20000),
    ("isWaitingForJob, idle", "b.isWaitingForJob", "b.isWaitingForJob", 200000),
    ("isWaitingForJob, polling", "b.status = Status.PENDING; b.isWaitingForJob",
     "b.status = PyStatus.PENDING; b.isWaitingForJob", 20000),
    ("first-phase invocation", "b()", "b()", 100000),
    ("second-phase invocation", "b._executeSecondAction = True; b()", "b._executeSecondAction = True; b()", 100000),
    ("_minimalEncode", "b._minimalEncode()", "b._minimalEncode()", 100000),
    ("read status (instance dict)", "b.status", "b.status", 1000000),
    ("read id (base slot)", "b.id", "b.id", 1000000),
]

print(f"{'operation':32s} {'QorvelAPI':>11s} {'plain Python':>13s} {'ratio':>7s}")
for title, ours, baseline, number in CASES:
    a = median_ns(ours, make_ours(), number)
    b = median_ns(baseline, make_baseline(), number)
    print(f"{title:32s} {a:9.0f}ns {b:11.0f}ns {a / b:7.2f}")
