"""Scene operations of MolstarAPI: the messages they queue and the arguments they refuse."""
import ast
import inspect
import os

import pytest

from QorvelAPI.molstar import MolstarAPI, _messageCatalogue
from molstar_fakes import FakeFlow

NO_FLOW = "Could not run the MolstarAPI. No flow is currently running"


def only_message(flow):
    assert len(flow.pendingActions) == 1
    message = flow.pendingActions[0]
    assert list(message) == ["type", "data", "savedID"] and message["savedID"] == 7
    return message


def exact(value):
    """A value with the types of its numbers made visible (1 and 1.0 compare equal)."""
    if isinstance(value, dict):
        return {k: exact(v) for k, v in value.items()}
    if isinstance(value, list):
        return [exact(v) for v in value]
    return (type(value).__name__, value)


ALL_OPERATIONS = [
    ("addMolecule", ("a.pdb",)), ("loadMVJS", ({},)), ("focusResidue", (1,)), ("addSphere", (0, 0, 0, 1)),
    ("addBox", ([0.0, 0.0, 0.0],)), ("setBackgroundColor", ("fff",)), ("setSpin", ()), ("reset", ()),
]


CATALOGUE = {entry["method"]: entry for entry in _messageCatalogue()}


def test_every_catalogued_operation_is_tested_here():
    assert [name for name, _ in ALL_OPERATIONS] == list(CATALOGUE)


@pytest.mark.parametrize("name, args", ALL_OPERATIONS)
def test_catalogue_describes_the_message_and_its_defaults(api, flow, monkeypatch, name, args):
    entry = CATALOGUE[name]
    logged = []
    emit = type(api)._emitAction
    monkeypatch.setattr(type(api), "_emitAction",
                        lambda self, action, data: (logged.append(action), emit(self, action, data))[1])
    getattr(api, name)(*args)
    # The defaults the signature shows, given explicitly, send the same message.
    explicit = {p["name"]: ast.literal_eval(p["default"]) for p in entry["parameters"][len(args):]}
    getattr(api, name)(*args, **explicit)
    monkeypatch.undo()
    implicit, given = flow.pendingActions
    assert implicit["type"] == entry["type"] and list(implicit["data"]) == entry["dataKeys"]
    assert exact(implicit) == exact(given) and logged == [entry["action"]] * 2
    assert [p["name"] for p in entry["parameters"]] == list(inspect.signature(getattr(MolstarAPI, name)).parameters)[1:]


@pytest.mark.parametrize("name, args", ALL_OPERATIONS)
def test_every_operation_needs_a_running_flow(api, name, args):
    with pytest.raises(Exception) as caught:
        getattr(api, name)(*args)
    assert type(caught.value) is Exception and str(caught.value) == NO_FLOW


def test_argument_errors_come_before_the_missing_flow(api):
    with pytest.raises(ValueError, match="^Center must"):
        api.addBox([0, 0, 0])
    with pytest.raises(TypeError, match="Argument 'residue'"):
        api.focusResidue("42")


def test_add_sphere_message(api, flow):
    api.addSphere(1, 2, 3, 0.5)
    assert exact(only_message(flow)) == exact({
        "type": "addSphere",
        "data": {"position": {"x": 1.0, "y": 2.0, "z": 3.0}, "radius": 0.5, "color": "#0000FF", "opacity": 1.0},
        "savedID": 7,
    })
    assert list(flow.pendingActions[0]["data"]) == ["position", "radius", "color", "opacity"]


@pytest.mark.parametrize("given, sent", [
    ("FF0000", "#FF0000"), ("#00ff00", "#00ff00"), ("red", "#red"), ("", "#"), ("#", "#"), (None, "#0000FF"),
])
def test_colour_normalisation(api, flow, given, sent):
    api.addSphere(0.0, 0.0, 0.0, 1.0, color=given)
    api.addBox([0.0, 0.0, 0.0], color=given)
    if given is not None:
        api.setBackgroundColor(given)
    assert {m["data"]["color"] for m in flow.pendingActions} == {sent}


def test_float_parameters_take_any_real_number(api, flow):
    class Real:
        def __float__(self):
            return 2.5

    api.addSphere(True, Real(), -1, radius=-3, opacity=7)  # no range checks
    data = only_message(flow)["data"]
    assert exact(data["position"]) == exact({"x": 1.0, "y": 2.5, "z": -1.0})
    assert exact([data["radius"], data["opacity"]]) == exact([-3.0, 7.0])
    for bad in (lambda: api.addSphere("1", 0, 0, 1), lambda: api.addSphere(0, 0, 0, None),
                lambda: api.setSpin("fast"), lambda: api.addBox([0.0, 0.0, 0.0], lineSize=[1])):
        with pytest.raises(TypeError, match="must be real number"):
            bad()
    assert len(flow.pendingActions) == 1


def test_add_box_defaults(api, flow):
    api.addBox([0.0, 0.0, 0.0])
    message = only_message(flow)
    assert message["type"] == "addBox"
    assert exact(message["data"]) == exact({
        "position": {"x0": 0.0, "y0": 0.0, "z0": 0.0, "x1": 1.0, "y1": 0, "z1": 0,
                     "x2": 0, "y2": 1.0, "z2": 0, "x3": 0, "y3": 0, "z3": 1.0},
        "radiusScale": 1.0, "radialSegments": 5, "color": "#0000FF", "opacity": 1.0,
    })
    assert list(message["data"]["position"]) == ["x0", "y0", "z0", "x1", "y1", "z1",
                                                 "x2", "y2", "z2", "x3", "y3", "z3"]


def test_add_box_passes_centre_and_sides_unchanged(api, flow):
    class Coordinate(float):
        pass

    corner = [Coordinate(1.5), -2.0, 3.25]
    api.addBox(corner, sides=[4.0, 5.0, 6.0], lineSize=2, color="abc", opacity=0)
    data = only_message(flow)["data"]
    assert data["position"]["x0"] is corner[0]
    assert [data["position"][k] for k in ("y0", "z0", "x1", "y2", "z3")] == [-2.0, 3.25, 4.0, 5.0, 6.0]
    assert exact([data["radiusScale"], data["opacity"], data["color"]]) == exact([2.0, 0.0, "#abc"])
    assert corner == [1.5, -2.0, 3.25]


@pytest.mark.parametrize("center, sides, message", [
    ([0, 0, 0], None, "Center must be a 3 dimensional float list of the form [x, y, z]. Got value '[0, 0, 0]'"),
    ([0.0, 0.0], None, "Center must be a 3 dimensional float list of the form [x, y, z]. Got value '[0.0, 0.0]'"),
    ([0.0, 0.0, 0.0, 0.0], None,
     "Center must be a 3 dimensional float list of the form [x, y, z]. Got value '[0.0, 0.0, 0.0, 0.0]'"),
    ([0.0, True, 0.0], None, "Center must be a 3 dimensional float list of the form [x, y, z]. Got value '[0.0, True, 0.0]'"),
    ([0.0, 0.0, 0.0], [2.0, 2.0], "Sides must be a 3 dimensional float list of the form [a, b, c]. Got value '[2.0, 2.0]'"),
    ([0.0, 0.0, 0.0], [1.0, 1, 1.0], "Sides must be a 3 dimensional float list of the form [a, b, c]. Got value '[1.0, 1, 1.0]'"),
    ([1], [2], "Center must be a 3 dimensional float list of the form [x, y, z]. Got value '[1]'"),
])
def test_add_box_refuses_bad_geometry(api, flow, center, sides, message):
    with pytest.raises(ValueError) as caught:
        api.addBox(center) if sides is None else api.addBox(center, sides)
    assert str(caught.value) == message
    assert flow.pendingActions == []


@pytest.mark.parametrize("call, message", [
    (lambda a: a.addBox((0.0, 0.0, 0.0)), "Argument 'center' has incorrect type (expected list, got tuple)"),
    (lambda a: a.addBox([0.0] * 3, None), "Argument 'sides' has incorrect type (expected list, got NoneType)"),
    (lambda a: a.addBox([0.0] * 3, color=1), "Argument 'color' has incorrect type (expected str, got int)"),
    (lambda a: a.addSphere(0, 0, 0, 1, b"red"), "Argument 'color' has incorrect type (expected str, got bytes)"),
    (lambda a: a.setBackgroundColor(None), "Argument 'color' has incorrect type (expected str, got NoneType)"),
    (lambda a: a.focusResidue("42"), "Argument 'residue' has incorrect type (expected int, got str)"),
    (lambda a: a.focusResidue(True), "Argument 'residue' has incorrect type (expected int, got bool)"),
    (lambda a: a.focusResidue(1, nearRadius=2.0), "Argument 'nearRadius' has incorrect type (expected int, got float)"),
    (lambda a: a.focusResidue(1, chain=65), "Argument 'chain' has incorrect type (expected str, got int)"),
    (lambda a: a.addMolecule(None), "Argument 'filePath' has incorrect type (expected str, got NoneType)"),
    (lambda a: a.addMolecule("a.pdb", 3), "Argument 'label' has incorrect type (expected str, got int)"),
    (lambda a: a.addSphere(0, 0, 0), "MolstarAPI.addSphere() missing 1 required positional argument: 'radius'"),
    (lambda a: a.setSpin(1.0, 2.0), "MolstarAPI.setSpin() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda a: a.reset(1), "MolstarAPI.reset() takes 1 positional argument but 2 were given"),
    (lambda a: a.addBox(centre=[0.0] * 3), "MolstarAPI.addBox() got an unexpected keyword argument 'centre'"),
])
def test_argument_type_errors(api, flow, call, message):
    with pytest.raises(TypeError) as caught:
        call(api)
    assert str(caught.value) == message
    assert flow.pendingActions == []


def test_add_molecule_sends_absolute_path_and_label(api, flow, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    expected_path = os.path.join(os.getcwd(), "data", "prot.pdb")
    api.addMolecule("data/prot.pdb")
    api.addMolecule("data/prot.pdb", "")
    api.addMolecule("other/../data/./prot.pdb", label="Receptor")
    api.addMolecule(filePath="/abs/lig.sdf", label=None)
    assert all(m["type"] == "addMolecule" for m in flow.pendingActions)
    assert [m["data"] for m in flow.pendingActions] == [
        {"fileName": "prot.pdb", "molContent": expected_path, "label": "prot.pdb"},
        {"fileName": "prot.pdb", "molContent": expected_path, "label": "prot.pdb"},
        {"fileName": "prot.pdb", "molContent": expected_path, "label": "Receptor"},
        {"fileName": "lig.sdf", "molContent": "/abs/lig.sdf", "label": "lig.sdf"},
    ]


def test_focus_residue_message(api, flow):
    api.focusResidue(42)
    api.focusResidue(7, "protein", "B", nearRadius=10)
    assert [m["type"] for m in flow.pendingActions] == ["focus", "focus"]
    assert [m["data"] for m in flow.pendingActions] == [
        {"residue": 42, "structureLabel": None, "chain": None, "nearRadius": 5},
        {"residue": 7, "structureLabel": "protein", "chain": "B", "nearRadius": 10},
    ]


def test_spin_background_and_reset_messages(api, flow):
    api.setSpin()
    api.setSpin(0)
    api.setSpin(speed=2)
    api.setBackgroundColor("#101010")
    api.reset()
    assert exact(flow.pendingActions) == exact([
        {"type": "setSpin", "data": {"speed": 1.0}, "savedID": 7},
        {"type": "setSpin", "data": {"speed": 0.0}, "savedID": 7},
        {"type": "setSpin", "data": {"speed": 2.0}, "savedID": 7},
        {"type": "setBackgroundColor", "data": {"color": "#101010"}, "savedID": 7},
        {"type": "reset", "data": {}, "savedID": 7},
    ])
    # Each message is built fresh.
    assert flow.pendingActions[0]["data"] is not flow.pendingActions[1]["data"]


def test_signatures_and_texts_for_plugin_authors():
    assert str(inspect.signature(MolstarAPI.addBox)) == (
        "(self, /, center, sides=[1.0, 1.0, 1.0], lineSize=1.0, color=None, opacity=1.0)")
    assert str(inspect.signature(MolstarAPI.focusResidue)) == (
        "(self, /, residue, structureLabel=None, chain=None, nearRadius=5)")
    assert str(inspect.signature(MolstarAPI.loadMVJS)) == "(self, /, mvjs, replaceExisting=False)"
    first_lines = {name: getattr(MolstarAPI, name).__doc__.splitlines()[0] for name, _ in ALL_OPERATIONS}
    assert first_lines == {
        "addMolecule": "Adds the given Molecule file to Mol*", "loadMVJS": "Loads a molviewspec session into Mol*",
        "focusResidue": "Focuses on the given residue", "addSphere": "Adds a sphere to the scene.",
        "addBox": "Adds a box to the scene.", "setBackgroundColor": "Sets the background color of the scene",
        "setSpin": "Sets the spin of the molecule.", "reset": "Resets the visualizer",
    }
    assert "The label for the molecule. Optional. Defaults to the filename" in MolstarAPI.addMolecule.__doc__
