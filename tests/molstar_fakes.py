"""Stand-ins for the host objects and the optional scene library used by the molstar tests."""
import importlib
import json
import types
from typing import Any, Dict, List, Optional

import pydantic


class FakeFlow:
    """The host's running flow as the viewer channel sees it."""

    def __init__(self, savedID=7):
        self.savedID = savedID
        self.pendingActions = []


def real_molviewspec():
    """The installed scene library, or None when it is not installed."""
    try:
        return importlib.import_module("molviewspec")
    except ImportError:
        return None


# A small scene tree in the shape the real builder produces: nodes with a kind, parameters
# and children; unset parameters are null and must not reach the viewer.
class Node(pydantic.BaseModel):
    kind: str
    params: Optional[Dict[str, Any]] = None
    children: Optional[List["Node"]] = None


class Metadata(pydantic.BaseModel):
    version: str = "1"
    title: Optional[str] = None


class State(pydantic.BaseModel):
    root: Node
    metadata: Metadata


if hasattr(Node, "model_rebuild"):
    Node.model_rebuild()
else:
    Node.update_forward_refs()


class _Builder:
    """The chaining subset of the scene builder that the tests use."""

    def __init__(self, state_form, node=None, root=None):
        self._state_form = state_form
        self._node = node if node is not None else Node(kind="root")
        self._root = root if root is not None else self

    def _child(self, kind, **params):
        child = Node(kind=kind, params={k: v for k, v in params.items() if v is not None} or None)
        if self._node.children is None:
            self._node.children = []
        self._node.children.append(child)
        return _Builder(self._state_form, child, self._root)

    def download(self, *, url):
        return self._child("download", url=url)

    def parse(self, *, format):
        return self._child("parse", format=format)

    def model_structure(self):
        return self._child("structure", type="model")

    def component(self, *, selector="all"):
        return self._child("component", selector=selector)

    def representation(self, *, type="cartoon"):
        return self._child("representation", type=type)

    def color(self, *, color):
        return self._child("color", color=color)

    def get_state(self):
        state = State(root=self._root._node, metadata=Metadata())
        if self._state_form == "model":
            return state
        dump = state.model_dump_json if hasattr(state, "model_dump_json") else state.json
        return dump(exclude_none=True)


def make_standin(state_form="model"):
    """A module standing in for `molviewspec`; `state_form` is "model" or "json"."""
    module = types.ModuleType("molviewspec")
    module.create_builder = lambda: _Builder(state_form)
    module.__qorvel_standin__ = True
    return module


def build_scene(mvs):
    builder = mvs.create_builder()
    structure = builder.download(url="https://files.example.org/1cbs.cif").parse(format="mmcif").model_structure()
    structure.component(selector="polymer").representation(type="cartoon").color(color="#1b9e77")
    return builder.get_state()


def has_null(value):
    if value is None:
        return True
    if isinstance(value, dict):
        return any(has_null(v) for v in value.values())
    if isinstance(value, list):
        return any(has_null(v) for v in value)
    return False


def state_as_dict(state):
    """What loadMVJS must send for a builder state, computed independently."""
    if isinstance(state, dict):
        return state
    if isinstance(state, str):
        return json.loads(state)
    dump = state.model_dump_json if hasattr(state, "model_dump_json") else state.json
    return json.loads(dump(exclude_none=True))
