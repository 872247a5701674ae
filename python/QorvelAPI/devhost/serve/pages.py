"""Extension pages and their endpoints, as the platform mounts them.

A page registered as ``<plugin id>.<page id>`` is served at ``/plugins/pages/<registered id>/``
(its HTML file from the plugin's ``Pages`` folder, and the other files of that folder below it);
each endpoint answers at ``/plugins/pages/<registered id><url>``.

Calling convention of an endpoint's ``function``:

- it is called with keyword arguments only: one per query parameter (the text, or a list of
  texts when the parameter is repeated), then one per key of a JSON object body (a body key
  wins over a query parameter of the same name). A JSON body that is not an object arrives as
  ``body``; a body that is not JSON arrives as ``body`` as text (a JSON body nested deeper than
  100 levels is answered 400);
- a function whose signature cannot take those arguments is answered 400, naming them;
- the return value becomes the response: a dict or a list is sent as JSON; None as an empty
  204; bytes as they are; anything else as its text. A pair ``(status, body)`` sets the status
  (an integer from 100 to 599) and converts ``body`` the same way;
- an exception is answered 500 with a one-line message; the traceback of the plugin's files
  goes to the local host's log.
"""

from __future__ import annotations

import inspect
import json
import os
from dataclasses import dataclass
from typing import Any
from urllib.parse import parse_qs

from ..safe_files import TooDeep, load_json


@dataclass
class Reply:
    status: int
    body: bytes
    content_type: str


class EndpointRefused(Exception):
    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status = status


def fill_page_info(page) -> None:
    """What the host writes into a page's ``_pageInfo``: where and how the front end opens it."""
    page._pageInfo.update({"id": page.id, "name": page.name, "description": page.description,
                           "html": page.html, "url": page_url(page)})


def page_url(page) -> str:
    return f"/plugins/pages/{page.id}/"


def find_endpoint(page, rest: str):
    """The endpoint of ``page`` whose url is ``rest`` (the path after the page's id), or None."""
    for endpoint in page.endpoints:
        if endpoint.url == rest or endpoint.url.rstrip("/") == rest.rstrip("/") != "":
            return endpoint
    return None


def endpoint_arguments(query: str, body: bytes, content_type: str) -> dict:
    arguments: dict[str, Any] = {}
    for name, texts in parse_qs(query, keep_blank_values=True).items():
        arguments[name] = texts[0] if len(texts) == 1 else texts
    if body:
        text = body.decode("utf-8", errors="replace")
        try:
            value = load_json(text)
        except TooDeep as exc:
            raise EndpointRefused(400, f"the request body cannot be read: {exc}") from None
        except ValueError:
            value = text
        if isinstance(value, dict):
            arguments.update({str(k): v for k, v in value.items()})
        else:
            arguments["body"] = value
    return arguments


def call_endpoint(endpoint, arguments: dict) -> Reply:
    """Calls the endpoint's function; exceptions of the function propagate to the caller."""
    function = endpoint.function
    try:
        inspect.signature(function).bind(**arguments)
    except TypeError as exc:
        raise EndpointRefused(400, f"endpoint {endpoint.url} does not take these arguments "
                                   f"({', '.join(arguments) or 'none'}): {exc}") from None
    except ValueError:
        pass  # no signature to check (a builtin): let the call say
    return reply_for(function(**arguments))


def reply_for(value: Any) -> Reply:
    status = 200
    if (isinstance(value, tuple) and len(value) == 2 and isinstance(value[0], int)
            and not isinstance(value[0], bool) and 100 <= value[0] <= 599):
        status, value = value
    if value is None:
        return Reply(204 if status == 200 else status, b"", "text/plain; charset=utf-8")
    if isinstance(value, (dict, list)):
        return Reply(status, json.dumps(value).encode(), "application/json")
    if isinstance(value, (bytes, bytearray)):
        return Reply(status, bytes(value), "application/octet-stream")
    return Reply(status, str(value).encode(), "text/plain; charset=utf-8")


def pages_folder(plugin) -> str:
    return os.path.join(plugin._path, "Pages")
