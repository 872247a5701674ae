"""A small stand-in for the plugin model, recording what the local host calls and in which order.

It follows the model's documented behaviour just far enough for the host's side: copies, the block
state JSON, inputs, the run reset, the remote facade and the two phases of a cluster job block.
"""

import copy as _copy
import os

from QorvelAPI.utils import ResetRemoteException


class Var:
    def __init__(self, id, value=None, type="any"):
        self.id, self.value, self.type, self.disabled = id, value, type, False

    def toDict(self, minimal=False):
        return {"id": self.id, "type": self.type, "value": self.value}


class Group:
    def __init__(self, id, variables):
        self.id, self.variables = id, variables


class Remote:  # the facade: delegates to the host remote object
    def __init__(self, remote):
        self._remote = remote
        self.cd = remote.cd

    def remoteCommand(self, command):
        return self._remote.command(command)

    def submitJob(self, script, changeDir=True):
        return self._remote.submitJob(script, changeDir)

    @property
    def workDir(self):
        return self._remote.workDir


class Block:
    TYPE = "base"

    def __init__(self, name, action=None, variables=(), inputs=(), outputs=(), id=None, log=None):
        self.id, self.name, self.action = id or name.lower(), name, action
        self._variables, self._outputs = list(variables), list(outputs)
        self._inputGroups = {"default": Group("default", list(inputs))} if inputs else {}
        self.selectedInputGroup, self.selectedRemote = "default", "Local"
        self._isOriginal, self._placedID, self._storedOutputs = True, 0, {}
        self.error, self.blockLogs, self._isRunning, self._finishedExecution = False, "", False, False
        self.time, self.log = 0, log if log is not None else []

    def _record(self, what):
        self.log.append(what)

    def copy(self):
        self._record("copy")
        action, log = self.action, self.log
        self.action, self.log = None, None
        clone = _copy.deepcopy(self)
        self.action, self.log = action, log
        clone.action, clone.log, clone._isOriginal = action, log, False
        return clone

    def _minimalEncode(self):
        return {"id": self.id, "placedID": self._placedID, "storedOutputs": self._storedOutputs,
                "selectedInputGroup": self.selectedInputGroup,
                "variables": [v.toDict(True) for v in self._variables]}

    def _toDict(self):
        d = self._minimalEncode()
        d.update({"name": self.name, "outputs": [v.toDict() for v in self._outputs], "type": str(self.TYPE)})
        return d

    def _parseInternalVariables(self, state):
        self._record("_parseInternalVariables")
        self._placedID = state.get("placedID", 0)
        self.selectedInputGroup = state.get("selectedInputGroup", "default")
        self.selectedRemote = state.get("selectedRemote", "Local")
        self._storedOutputs = state.get("storedOutputs")
        self._updateVariables({e["id"]: e.get("value") for e in state.get("variables", [])}, record=False)

    def _updateVariables(self, values, record=True):
        if record:
            self._record("_updateVariables")
        for v in self._variables:
            if v.id in values:
                v.value = values[v.id]

    def _updateInputs(self, values):
        self._record("_updateInputs")
        if self._inputGroups:
            for v in self._inputGroups[self.selectedInputGroup].variables:
                if v.id in values:
                    v.value = values[v.id]

    def _cleanRun(self):
        self._record("_cleanRun")
        self._storedOutputs, self.time, self.error, self.blockLogs = {}, 0, False, ""

    def _setRemote(self, remote):
        self._record("_setRemote")
        assert not self._isOriginal
        self.remote = Remote(remote)

    def __setattr__(self, name, value):
        if name in ("flow", "pluginDir", "config") and self.__dict__.get("log") is not None:
            self.log.append(name)
        object.__setattr__(self, name, value)

    @property
    def variables(self):
        return {v.id: v.value for v in self._variables}

    @property
    def inputs(self):
        return {v.id: v.value for v in self._inputGroups[self.selectedInputGroup].variables} if self._inputGroups else {}

    @property
    def outputs(self):
        return {v.id: v.value for v in self._outputs}

    def setOutput(self, id, value):
        for v in self._outputs:
            if v.id == id:
                v.value = value
                if self._storedOutputs is None:
                    self._storedOutputs = {}
                self._storedOutputs[id] = value
                return
        raise Exception(f"Output {id} not found.")

    def __call__(self):
        self._record("call")
        if self.action is not None:
            self.action(self)
        return self.outputs


class Slurm(Block):
    TYPE = "slurm"
    WAITING = ("RUNNING", "PENDING")

    def __init__(self, name, initial, final, fail=True, **kw):
        super().__init__(name, action=initial, **kw)
        self.initalAction, self.finalAction, self.failOnSlurmError = initial, final, fail
        self.status, self.jobID, self.stdOut, self.stdErr, self.detailedStatus = "IDLE", None, None, None, None
        self._executeSecondAction = False

    def copy(self):
        initial, final = self.initalAction, self.finalAction
        self.initalAction = self.finalAction = None
        clone = super().copy()
        self.initalAction, self.finalAction = initial, final
        clone.initalAction, clone.finalAction = initial, final
        return clone

    def _minimalEncode(self):
        d = super()._minimalEncode()
        d.update({"status": self.status, "jobID": self.jobID, "stdOut": self.stdOut, "stdErr": self.stdErr,
                  "detailedStatus": self.detailedStatus, "executeSecondAction": self._executeSecondAction})
        return d

    def _parseInternalVariables(self, state):
        super()._parseInternalVariables(state)
        self.status = state.get("status", "IDLE")
        self.jobID = state.get("jobID")
        self._executeSecondAction = state.get("executeSecondAction", False)

    def _cleanRun(self):
        super()._cleanRun()
        self.status, self.jobID, self._executeSecondAction = "IDLE", None, False

    def __call__(self):
        if self._executeSecondAction:
            self.action = self.finalAction
            result = super().__call__()
            self._executeSecondAction = False
            return result
        self.action = self.initalAction
        result = super().__call__()
        self.remote._remote._resetRemoteBlock = False
        return result

    def parseStatus(self):
        r = self.remote._remote
        r._blockPlacedID = self._placedID
        self.status = r.getRemoteBlockStatus(self.flow.savedID, self._placedID)
        self.jobID = r.getJobIDfromBlock(self.flow.savedID, self._placedID)
        self.stdOut, self.stdErr, self.detailedStatus = r.getRemoteBlockLogs(self.flow.savedID, self._placedID)
        self.time += r.getRemoteBlockTime(self.flow.savedID, self._placedID)
        return self.status.capitalize()

    @property
    def isWaitingForJob(self):
        if self.status in ("COMPLETED", "IDLE"):
            return False
        try:
            self.parseStatus()
        except (AttributeError, ResetRemoteException):
            return False
        return self.status in self.WAITING


class FakePlugin:
    def __init__(self, path, blocks, id="fake"):
        self.id, self._path, self._blocks, self._configs, self._pages = id, path, blocks, [], []
        for block in blocks:
            block.id = f"{id}.{block.id}"

    @property
    def config(self):
        return {"threshold": 0.5}

    @property
    def _flows(self):
        return []


class Loaded:
    def __init__(self, plugin):
        self.plugin, self.folder, self.meta, self.problems = plugin, plugin._path, {}, []


def script_path(folder, body):
    path = os.path.join(folder, "job.sh")
    with open(path, "w") as handle:
        handle.write("#!/bin/sh\n" + body + "\n")
    return path
