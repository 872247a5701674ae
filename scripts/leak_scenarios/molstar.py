"""The viewer channel and scene operations: with and without a running flow, with flows that
lack what the channel needs, and with arguments of the wrong types."""
import importlib.util
import inspect

from QorvelAPI.molstar import MolstarAPI, _messageCatalogue

from . import refused, scenario

NO_FLOW = "No flow is currently running"


class Flow:
    savedID = 7

    def __init__(self):
        self.pendingActions = []


class BrokenFlow:
    """A host flow without a queue: appending fails after "savedID" was stamped."""
    savedID = "s"


def _operations(api):
    api.addMolecule("data/prot.pdb")
    api.addMolecule("data/prot.pdb", "")
    api.addMolecule(filePath="/abs/x.cif", label="X")
    api.loadMVJS({"root": {"kind": "root", "children": [1, 2.5, None, "é"]}}, True)
    api.loadMVJS({}, replaceExisting=0)
    api.focusResidue(42), api.focusResidue(1, "s", "A", 9)
    api.addSphere(1, 2, 3, 0.5), api.addSphere(1.0, 2.0, 3.0, 1, "00FF00", 0.5), api.addSphere(0, 0, 0, 1, "#fff")
    api.addBox([0.0, 0.0, 0.0]), api.addBox([1.0, 2.0, 3.0], [2.0, 2.0, 2.0], 2, "red", 0.3)
    api.setBackgroundColor("000000"), api.setBackgroundColor("#fff")
    api.setSpin(), api.setSpin(0), api.setSpin(2.5)
    api.reset()
    api._emitAction("reset", {"type": "reset", "data": {}})


def _refusals(api):
    for call, args in [
        (api.addMolecule, (5,)), (api.addMolecule, ("a", 3)), (api.loadMVJS, ([],)), (api.focusResidue, ("42",)),
        (api.focusResidue, (1, 2)), (api.focusResidue, (1, None, None, 2.0)), (api.addSphere, ("1", 2, 3, 4)),
        (api.addSphere, (1, 2, 3, 4, 5)), (api.addBox, ((0.0, 0.0, 0.0),)), (api.setBackgroundColor, (None,)),
        (api.setSpin, ("fast",)), (api._emitAction, (1, {})), (api._emitAction, ("a", [])), (api.reset, (1,)),
        (api.addSphere, (1, 2, 3)), (api.focusResidue, ()),
    ]:
        refused(TypeError, call, *args)
    refused(ValueError, api.addBox, [0, 0, 0])
    refused(ValueError, api.addBox, [0.0, 0.0])
    refused(ValueError, api.addBox, [0.0, 0.0, 0.0], [2.0, 2.0])
    refused(ValueError, api.addBox, [0.0, 0.0, 0.0], [1.0, "a", 1.0])
    refused(TypeError, api.loadMVJS, {"x": object()})
    refused(ValueError, api.loadMVJS, _circular())


def _circular():
    loop = {}
    loop["loop"] = loop
    return loop


@scenario
def viewer_with_flow():
    api = MolstarAPI()
    assert api is MolstarAPI()
    flow = Flow()
    api._flow = flow
    try:
        _operations(api)
        _refusals(api)
        assert len(flow.pendingActions) == 19
        api._flow = BrokenFlow()
        refused(AttributeError, api.reset)
        refused(AttributeError, api.addSphere, 1, 2, 3, 4)
    finally:
        api._flow = None


@scenario
def viewer_without_flow():
    api = MolstarAPI()
    api._flow = None
    for operation in (lambda: api.addMolecule("a.pdb"), lambda: api.loadMVJS({}), lambda: api.focusResidue(1),
                      lambda: api.addSphere(1, 2, 3, 4), lambda: api.addBox([0.0, 0.0, 0.0]),
                      lambda: api.setBackgroundColor("#000"), lambda: api.setSpin(), api.reset,
                      lambda: api._emitAction("reset", {})):
        refused(Exception, operation)
    _refusals(api)
    if importlib.util.find_spec("molviewspec") is None:
        refused(ImportError, getattr, api, "mvs")
    else:
        api.mvs


@scenario
def viewer_catalogue():
    # a new catalogue each call; every operation it lists is one that _operations runs
    catalogue = _messageCatalogue()
    assert catalogue is not _messageCatalogue()
    assert {entry["method"] for entry in catalogue} == {
        "addMolecule", "loadMVJS", "focusResidue", "addSphere", "addBox", "setBackgroundColor", "setSpin", "reset"}


@scenario
def viewer_constructor_signature():
    # built once and kept by the class attribute; reading it again hands out the same object
    assert str(inspect.signature(MolstarAPI)) == "()"
    assert MolstarAPI.__signature__ is MolstarAPI().__signature__
