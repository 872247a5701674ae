"""Randomised arguments for the viewer operations. Only documented exceptions may come out; a
refused operation queues nothing, an accepted one queues exactly one message."""
from hypothesis import strategies as st

from QorvelAPI.molstar import MolstarAPI, _messageCatalogue
from fuzzing import anything, documented, fuzz, json_values, oddities, pick, snapshot, text

numbers = st.floats() | st.integers() | oddities
optional_text = pick(None, "", "#ff0000", "00FF00") | text | oddities
float_lists = st.lists(st.floats() | st.integers() | oddities, max_size=4) | oddities

OPERATIONS = {
    "addMolecule": st.tuples(pick("data/prot.pdb", "/abs/x.cif", "") | text | oddities, optional_text),
    "loadMVJS": st.tuples(st.dictionaries(text, json_values, max_size=3) | json_values | oddities, anything),
    "focusResidue": st.tuples(st.integers() | oddities, optional_text, optional_text, st.integers() | oddities),
    "addSphere": st.tuples(numbers, numbers, numbers, numbers, optional_text, numbers),
    "addBox": st.tuples(float_lists, float_lists, numbers, optional_text, numbers),
    "setBackgroundColor": st.tuples(optional_text),
    "setSpin": st.tuples(numbers),
    "reset": st.tuples(),
    "_emitAction": st.tuples(pick("reset") | oddities, st.dictionaries(text, json_values, max_size=2) | oddities),
}




def test_every_catalogued_operation_is_fuzzed():
    assert set(OPERATIONS) == {entry["method"] for entry in _messageCatalogue()} | {"_emitAction"}


class Flow:
    savedID = 11

    def __init__(self):
        self.pendingActions = []


@st.composite
def calls(draw):
    name = draw(st.sampled_from(sorted(OPERATIONS)))
    args = draw(OPERATIONS[name])
    cut = draw(st.integers(0, len(args)))          # trailing arguments left to their defaults
    return name, args[:cut]


@fuzz(calls(), st.booleans())
def test_viewer_operations(call, running):
    name, args = call
    api = MolstarAPI()
    flow = Flow() if running else None
    api._flow = flow
    try:
        getattr(api, name)(*args)
    except Exception as error:
        documented(error, TypeError, ValueError)
        assert flow is None or flow.pendingActions == []
        if type(error) is Exception:
            assert not running and str(error) == "Could not run the MolstarAPI. No flow is currently running"
        return
    finally:
        api._flow = None
    assert running and len(flow.pendingActions) == 1
    message = flow.pendingActions[0]
    assert message["savedID"] == 11 and list(message)[-1] == "savedID"
    if name != "_emitAction":
        assert list(message) == ["type", "data", "savedID"]
        snapshot(message)
