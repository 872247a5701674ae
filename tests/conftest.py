"""Fixtures shared by several test modules."""
import pytest

from QorvelAPI.molstar import MolstarAPI
from molstar_fakes import FakeFlow


@pytest.fixture
def api(monkeypatch):
    """The shared MolstarAPI with no running flow (restored after the test)."""
    shared = MolstarAPI()
    monkeypatch.setattr(shared, "_flow", None)
    return shared


@pytest.fixture
def flow(api, monkeypatch):
    """A fake running flow with savedID 7, assigned to the shared MolstarAPI."""
    running = FakeFlow(savedID=7)
    monkeypatch.setattr(api, "_flow", running)
    return running
