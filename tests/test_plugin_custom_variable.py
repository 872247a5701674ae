import copy
import json
import logging

import pytest

from QorvelAPI.plugins import CustomVariable, PluginPage, PluginVariable, VariableTypes


@pytest.fixture
def page():
    return PluginPage("editor", "Editor", "Edits the value", "editor.html")


def test_dictionary_forms(page):
    variable = CustomVariable("settings", "Settings", "Custom settings", VariableTypes.CUSTOM, page)
    minimal = variable.toDict(minimal=True)
    assert list(minimal) == ["id", "value", "type", "isCustom", "customPage"]
    assert minimal["type"] == "custom" and type(minimal["type"]) is str
    assert minimal["isCustom"] is True and minimal["customPage"] == {}
    full = variable.toDict()
    assert list(full) == ["id", "value", "type", "name", "category", "description", "allowedValues", "disabled",
                          "required", "placeholder", "isCustom", "customPage"]
    assert full["placeholder"] is None and full["category"] == "General"
    assert json.loads(str(variable)) == full
    assert str(variable).startswith('{\n    "id": "settings"')


def test_page_info_is_read_at_each_call(page):
    variable = CustomVariable("v", "V", "d", VariableTypes.CUSTOM, page)
    assert variable.toDict()["customPage"] is page._pageInfo
    page._pageInfo["id"] = "plug.editor"
    assert variable.toDict(True)["customPage"] == {"id": "plug.editor"}
    page._pageInfo = {"replaced": 1}
    assert variable.toDict(True)["customPage"] == {"replaced": 1}


def test_variable_rules_apply(page, caplog):
    chosen = CustomVariable("names", "Names", "d", VariableTypes.STRING_LIST, page, allowedValues=["a", "b"])
    assert chosen.defaultValue == "a" and chosen.value == "a"
    assert CustomVariable("n", "N", "d", "number", page, defaultValue=3).type == "number"
    with pytest.raises(Exception, match=r"^Invalid type Number\.$"):
        CustomVariable("n", "N", "d", "Number", page)
    with caplog.at_level(logging.WARNING, logger="Qorvel"):
        CustomVariable("l", "L", "d", VariableTypes.STRING_LIST, page, allowedValues=[])
    assert "No allowed values provided" in caplog.text


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"id": 1}, "Argument 'id' has incorrect type (expected str, got int)"),
        ({"name": None}, "Argument 'name' has incorrect type (expected str, got NoneType)"),
        ({"allowedValues": ("a",)}, "Argument 'allowedValues' has incorrect type (expected list, got tuple)"),
        ({"category": 5}, "Argument 'category' has incorrect type (expected str, got int)"),
    ],
)
def test_argument_types(page, kwargs, message):
    arguments = dict(id="v", name="V", description="d", type=VariableTypes.CUSTOM, customPage=page)
    arguments.update(kwargs)
    with pytest.raises(TypeError) as info:
        CustomVariable(**arguments)
    assert str(info.value) == message


def test_refused_declaration_and_missing_page_info():
    with pytest.raises(Exception):
        CustomVariable("g", "G", "d", VariableTypes._GROUP, object())
    # The page is not checked; a page without _pageInfo fails only when the dictionary is built.
    variable = CustomVariable("v", "V", "d", VariableTypes.CUSTOM, object())
    with pytest.raises(AttributeError):
        variable.toDict()
    with pytest.raises(TypeError, match="placeholder"):
        CustomVariable("v", "V", "d", VariableTypes.CUSTOM, object(), placeholder="x")


def test_class_and_subclass(page):
    assert CustomVariable._isCustom is True and issubclass(CustomVariable, PluginVariable)

    class Mine(CustomVariable):
        def __init__(self):
            super().__init__("mine", "Mine", "d", VariableTypes.CUSTOM, page, defaultValue={"a": 1})

    mine = Mine()
    assert mine.customPage is page and mine.toDict(True)["value"] == {"a": 1}


def test_deep_copy_keeps_the_page_information(page):
    page._pageInfo["id"] = "p"
    variable = CustomVariable("v", "V", "d", VariableTypes.CUSTOM, page)
    clone = copy.deepcopy(variable)
    assert clone.toDict(True) == variable.toDict(True)
    assert clone.customPage is not page
