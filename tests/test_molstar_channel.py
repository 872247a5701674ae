"""The viewer action channel: the shared MolstarAPI object, _emitAction and mvs."""
import gc
import logging
import os
import subprocess
import sys
import textwrap
import weakref

import pytest

import QorvelAPI
from QorvelAPI import utils
from QorvelAPI.molstar import MolstarAPI
from molstar_fakes import FakeFlow, make_standin, real_molviewspec

NO_FLOW = "Could not run the MolstarAPI. No flow is currently running"
# The folder the package under test was imported from (the sanitizer run uses its own build).
PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.abspath(QorvelAPI.__file__)))


def run_python(code):
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_one_shared_object_built_by_the_singleton_metaclass(api):
    assert type(MolstarAPI) is utils.SingletonMeta
    assert MolstarAPI() is api and MolstarAPI() is MolstarAPI()
    assert MolstarAPI._flow is None and api._flow is None
    flow = FakeFlow()
    MolstarAPI()._flow = flow
    assert api._flow is flow
    assert MolstarAPI.__doc__ == "API for interacting with Mol* visualizer inside Qorvel"
    assert MolstarAPI.__module__ == "QorvelAPI.molstar" and MolstarAPI.__qualname__ == "MolstarAPI"
    # The C base alone would hand out objects past the metaclass.
    with pytest.raises(TypeError, match="use MolstarAPI"):
        MolstarAPI.__base__()


def test_flow_assigned_on_the_class_is_used(api, monkeypatch):
    monkeypatch.delattr(api, "_flow")
    flow = FakeFlow(savedID="s-1")
    monkeypatch.setattr(MolstarAPI, "_flow", flow)
    api.reset()
    assert flow.pendingActions == [{"type": "reset", "data": {}, "savedID": "s-1"}]


def test_instances_have_dict_weakrefs_and_gc_traversal(api):
    api.hostNote = "kept"
    assert api.__dict__["hostNote"] == "kept"
    assert weakref.ref(api)() is api
    assert api.__dict__ in gc.get_referents(api)
    del api.hostNote


def test_subclass_is_its_own_singleton_and_overrides_are_used():
    class Recorder(MolstarAPI):
        def __init__(self):
            super().__init__()
            self.seen = []

        def _emitAction(self, action, data):
            self.seen.append((action, data))

    recorder = Recorder()
    assert Recorder() is recorder and recorder is not MolstarAPI()
    recorder.addMolecule("x/mol.pdb")
    recorder.focusResidue(3)
    assert [(a, d["type"]) for a, d in recorder.seen] == [("loadMolecule", "addMolecule"), ("focusResidue", "focus")]

    class Plain(MolstarAPI):
        pass

    with pytest.raises(TypeError, match=r"^Plain\(\) takes no arguments$"):
        Plain(1)


def test_emit_action_stamps_and_queues_the_same_dictionary(api, flow, caplog):
    message = {"type": "reset", "data": {}}
    with caplog.at_level(logging.DEBUG, logger="Qorvel"):
        assert api._emitAction("reset", message) is None
    assert flow.pendingActions[-1] is message
    assert list(message) == ["type", "data", "savedID"] and message["savedID"] == 7
    assert [(r.name, r.levelno, r.msg, r.args) for r in caplog.records] == [
        ("Qorvel", logging.DEBUG, "Mol* action %s", ("reset",))]
    # An existing "savedID" is overwritten in place; keyword arguments work too.
    stale = {"savedID": 1, "type": "x", "data": {}}
    api._emitAction(action="x", data=stale)
    assert stale == {"savedID": 7, "type": "x", "data": {}} and flow.pendingActions[-1] is stale


@pytest.mark.parametrize("args, message", [
    ((1, {}), "Argument 'action' has incorrect type (expected str, got int)"),
    (("a", []), "Argument 'data' has incorrect type (expected dict, got list)"),
    (("a", None), "Argument 'data' has incorrect type (expected dict, got NoneType)"),
])
def test_emit_action_type_errors_come_before_logging(api, flow, caplog, args, message):
    with caplog.at_level(logging.DEBUG, logger="Qorvel"), pytest.raises(TypeError) as caught:
        api._emitAction(*args)
    assert str(caught.value) == message
    assert caplog.records == [] and flow.pendingActions == []


def test_emit_action_without_flow_logs_and_queues_nothing(api, caplog):
    message = {"type": "reset", "data": {}}
    with caplog.at_level(logging.DEBUG, logger="Qorvel"), pytest.raises(Exception) as caught:
        api._emitAction("reset", message)
    assert type(caught.value) is Exception and str(caught.value) == NO_FLOW
    assert "savedID" not in message
    assert [r.getMessage() for r in caplog.records] == ["Mol* action reset"]


def test_incomplete_flow_fails_without_touching_the_message(api, monkeypatch):
    class NoQueue:
        savedID = 3

    class NoID:
        pendingActions = []

    for broken in (NoQueue(), NoID()):
        monkeypatch.setattr(api, "_flow", broken)
        message = {"type": "reset", "data": {}}
        with pytest.raises(AttributeError):
            api._emitAction("reset", message)
        assert message == {"type": "reset", "data": {}}
    assert NoID.pendingActions == []


def test_queue_that_is_not_a_list_is_appended_to(api, monkeypatch):
    import collections
    flow = FakeFlow()
    flow.pendingActions = collections.deque()
    monkeypatch.setattr(api, "_flow", flow)
    api.setSpin(2)
    api.reset()
    assert [m["type"] for m in flow.pendingActions] == ["setSpin", "reset"]


def test_mvs_is_imported_only_when_read():
    out = run_python("""
        import sys
        import QorvelAPI.molstar
        print("molviewspec" in sys.modules)
    """)
    assert out.split() == ["False"]


def test_mvs_gives_the_scene_library(api, monkeypatch):
    library = real_molviewspec()
    if library is None:
        library = make_standin()
        monkeypatch.setitem(sys.modules, "molviewspec", library)
    assert api.mvs is library
    assert MolstarAPI.mvs.__doc__ == "The molviewspec library. Use it to build complex scenes"
    with pytest.raises(AttributeError):
        api.mvs = None


def test_mvs_missing_says_which_optional_package(api, monkeypatch):
    # None in sys.modules makes the import fail as for a package that is not installed.
    monkeypatch.setitem(sys.modules, "molviewspec", None)
    with pytest.raises(ImportError) as caught:
        api.mvs
    text = str(caught.value)
    assert "'molviewspec'" in text and "optional" in text and "not installed" in text
    assert caught.value.name == "molviewspec"
    assert isinstance(caught.value.__cause__, ImportError)


def test_mvs_broken_dependency_is_not_reported_as_missing(api, monkeypatch, tmp_path):
    package = tmp_path / "molviewspec"
    package.mkdir()
    (package / "__init__.py").write_text("import qorvel_absent_dependency_of_mvs\n")
    monkeypatch.delitem(sys.modules, "molviewspec", raising=False)
    monkeypatch.syspath_prepend(str(tmp_path))
    with pytest.raises(ModuleNotFoundError) as caught:
        api.mvs
    assert caught.value.name == "qorvel_absent_dependency_of_mvs"
    sys.modules.pop("molviewspec", None)


def test_replaced_utils_metaclass_is_the_one_used():
    # The platform may ship its own utils module; its metaclass must build the class, even one
    # that keeps state on the classes it builds.
    out = run_python("""
        import sys, types
        utils = types.ModuleType("QorvelAPI.utils")
        built = []
        class SingletonMeta(type):
            __slots__ = ()
            def __new__(meta, name, bases, ns):
                cls = super().__new__(meta, name, bases, ns)
                built.append(name)
                return cls
            def __call__(cls, *args, **kwargs):
                if "_one" not in cls.__dict__:
                    cls._one = super().__call__(*args, **kwargs)
                return cls._one
        utils.SingletonMeta = SingletonMeta
        import QorvelAPI
        sys.modules["QorvelAPI.utils"] = utils
        QorvelAPI.utils = utils
        from QorvelAPI.molstar import MolstarAPI
        print(built, type(MolstarAPI) is SingletonMeta, MolstarAPI() is MolstarAPI())
    """)
    assert out.split() == ["['MolstarAPI']", "True", "True"]


def test_second_module_instance_has_its_own_state():
    # Each module object (as in a sub-interpreter) builds its own classes and its own state.
    import importlib.util

    import QorvelAPI.molstar as first

    spec = importlib.util.find_spec("QorvelAPI.molstar")
    second = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(second)
    assert second.MolstarAPI is not first.MolstarAPI
    other = second.MolstarAPI()
    assert other is second.MolstarAPI() and other is not first.MolstarAPI()
    flow = FakeFlow(savedID=2)
    other._flow = flow
    other.setSpin()
    assert flow.pendingActions == [{"type": "setSpin", "data": {"speed": 1.0}, "savedID": 2}]
    other._flow = None
    del second
    gc.collect()
    with pytest.raises(Exception, match="No flow is currently running"):
        other.reset()  # the classes keep their module state alive
