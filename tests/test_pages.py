import copy
import inspect

import pytest

from QorvelAPI.plugins import PluginEndpoint, PluginPage


def handler(request):
    return {"ok": True}


def test_page_stores_arguments_and_owns_fresh_containers():
    first = PluginPage("Viewer", "Viewer", "Shows things", "viewer.html")
    second = PluginPage(id="Other", name="Other", description="d", html="other.html", hidden=True)
    assert (first.id, first.name, first.description, first.html) == ("Viewer", "Viewer", "Shows things", "viewer.html")
    assert first.hidden is False and second.hidden is True
    assert first.endpoints == [] and first._pageInfo == {}
    first.addEndpoint(PluginEndpoint("/a", ["GET"], handler))
    first._pageInfo["id"] = "x"
    assert second.endpoints == [] and second._pageInfo == {}
    assert first.endpoints is not second.endpoints


@pytest.mark.parametrize(
    "args, name, got",
    [
        ((1, "n", "d", "h.html"), "id", "int"),
        (("i", None, "d", "h.html"), "name", "NoneType"),
        (("i", "n", ["d"], "h.html"), "description", "list"),
        (("i", "n", "d", 3), "html", "int"),
        ((1, 2, "d", 3), "id", "int"),  # the first failing one is named
    ],
)
def test_page_argument_types(args, name, got):
    with pytest.raises(TypeError) as info:
        PluginPage(*args)
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected str, got {got})"


def test_page_refuses_string_subclass_and_missing_arguments():
    class Text(str):
        pass

    with pytest.raises(TypeError, match="Argument 'html' has incorrect type"):
        PluginPage("i", "n", "d", Text("h.html"))
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'html'"):
        PluginPage("i", "n", "d")


def test_endpoint_records_and_checks():
    endpoint = PluginEndpoint("/my_endpoint", ["GET", "POST"], handler)
    assert (endpoint.url, endpoint.methods, endpoint.function) == ("/my_endpoint", ["GET", "POST"], handler)
    by_name = PluginEndpoint(function=None, methods=[], url="/x")
    assert by_name.function is None
    with pytest.raises(TypeError) as info:
        PluginEndpoint("/x", ("GET",), handler)
    assert str(info.value) == "Argument 'methods' has incorrect type (expected list, got tuple)"
    with pytest.raises(TypeError) as info:
        PluginEndpoint(b"/x", ["GET"], handler)
    assert str(info.value) == "Argument 'url' has incorrect type (expected str, got bytes)"


def test_add_endpoint_appends_without_checks():
    page = PluginPage("p", "n", "d", "h.html")
    endpoint = PluginEndpoint("/e", ["GET"], handler)
    assert page.addEndpoint(endpoint) is None
    page.addEndpoint(endpoint)
    page.addEndpoint("not an endpoint")
    assert page.endpoints == [endpoint, endpoint, "not an endpoint"]


def test_python_subclasses_and_signatures():
    class MyPage(PluginPage):
        def __init__(self):
            super().__init__("mine", "Mine", "d", "mine.html")
            self.extra = 1

    page = MyPage()
    assert page.id == "mine" and page.hidden is False and page.extra == 1 and page.endpoints == []
    assert str(inspect.signature(PluginPage)) == "(id, name, description, html, hidden=False)"
    assert str(inspect.signature(PluginEndpoint)) == "(url, methods, function)"
    assert "extension menu" in PluginPage.__doc__ and "Endpoints for plugin pages." in PluginEndpoint.__doc__


def test_pages_copy_deeply_and_share_functions():
    page = PluginPage("p", "n", "d", "h.html", True)
    page.addEndpoint(PluginEndpoint("/e", ["GET"], handler))
    page._pageInfo["id"] = "plug.p"
    clone = copy.deepcopy(page)
    assert clone is not page and clone.endpoints[0] is not page.endpoints[0]
    assert clone.endpoints[0].function is handler
    assert (clone.id, clone.hidden, clone._pageInfo) == ("p", True, {"id": "plug.p"})
    clone._pageInfo["id"] = "changed"
    assert page._pageInfo["id"] == "plug.p"
