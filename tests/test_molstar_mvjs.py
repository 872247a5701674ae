"""loadMVJS: scene states from the molviewspec builder, in every form the builder returns them."""
import json
import sys

import pydantic
import pytest

from QorvelAPI.molstar import MolstarAPI
from molstar_fakes import FakeFlow, build_scene, has_null, make_standin, real_molviewspec, state_as_dict


@pytest.fixture(params=["model", "json"])
def mvs_library(request, monkeypatch):
    """The installed molviewspec, or a stand-in whose builder returns a model or a JSON text."""
    library = real_molviewspec()
    if library is not None:
        if request.param != "model":
            pytest.skip("the installed builder decides the form of its state")
        return library
    standin = make_standin(request.param)
    monkeypatch.setitem(sys.modules, "molviewspec", standin)
    return standin


def test_scene_built_with_mvs_is_sent(api, flow, mvs_library):
    state = build_scene(api.mvs)
    assert api.mvs is mvs_library
    api.loadMVJS(state)
    message = flow.pendingActions[-1]
    assert message["type"] == "loadMVJS" and list(message["data"]) == ["session", "replace"]
    assert message["data"]["replace"] is False
    session = json.loads(message["data"]["session"])
    assert session == state_as_dict(state)
    assert "root" in session and not has_null(session)


def test_dictionary_is_sent_as_its_json_text(api, flow):
    state = {"root": {"kind": "root", "children": [{"kind": "download", "params": {"url": "x"}}]},
             "label": None, "name": "é"}
    api.loadMVJS(state, replaceExisting=True)
    data = flow.pendingActions[-1]["data"]
    assert data == {"session": json.dumps(state), "replace": True}
    assert json.loads(data["session"])["label"] is None  # a dictionary is sent as it is


@pytest.mark.parametrize("replace", [True, "yes", None])
def test_replace_flag_is_passed_unchanged(api, flow, replace):
    api.loadMVJS({}, replace)
    assert flow.pendingActions[-1]["data"]["replace"] is replace


def test_json_text_holding_an_object_is_sent_as_the_object(api, flow):
    api.loadMVJS('{"root": {"kind": "root"},\n   "metadata": {"version": "1"}}')
    assert flow.pendingActions[-1]["data"]["session"] == json.dumps(
        {"root": {"kind": "root"}, "metadata": {"version": "1"}})


def test_pydantic_model_leaves_out_null_fields(api, flow):
    class Params(pydantic.BaseModel):
        url: str
        format: str = None

    class Scene(pydantic.BaseModel):
        kind: str = "single"
        params: Params
        title: str = None

    api.loadMVJS(Scene(params=Params(url="u")), True)
    data = flow.pendingActions[-1]["data"]
    assert json.loads(data["session"]) == {"kind": "single", "params": {"url": "u"}}
    assert data["replace"] is True


def test_pydantic_v1_model_inside_pydantic_2(api, flow):
    v1 = pytest.importorskip("pydantic.v1")

    class Legacy(v1.BaseModel):
        kind: str = "single"
        note: str = None

    api.loadMVJS(Legacy())
    assert json.loads(flow.pendingActions[-1]["data"]["session"]) == {"kind": "single"}


@pytest.mark.parametrize("text, fragment", [
    ("[1, 2]", "must hold a JSON object (a scene state), got a JSON list"),
    ('"scene"', "got a JSON str"),
    ("null", "got a JSON NoneType"),
    ("", "is not valid JSON: Expecting value"),
    ("{'single': 'quotes'}", "is not valid JSON"),
])
def test_text_that_is_not_a_json_object_is_a_value_error(api, flow, text, fragment):
    with pytest.raises(ValueError) as caught:
        api.loadMVJS(text)
    assert str(caught.value).startswith("Argument 'mvjs' (a text) ") and fragment in str(caught.value)
    assert flow.pendingActions == []


@pytest.mark.parametrize("value, type_name", [
    ([{"root": {}}], "list"), (None, "NoneType"), (b"{}", "bytes"), (42, "int"),
])
def test_other_values_keep_the_type_error(api, flow, value, type_name):
    with pytest.raises(TypeError) as caught:
        api.loadMVJS(value)
    assert str(caught.value) == f"Argument 'mvjs' has incorrect type (expected dict, got {type_name})"
    assert flow.pendingActions == []


def test_values_without_json_form_queue_nothing(api, flow):
    with pytest.raises(TypeError, match="not JSON serializable"):
        api.loadMVJS({"root": {1, 2}})
    assert flow.pendingActions == []

