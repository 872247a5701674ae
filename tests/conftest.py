"""Fixtures shared by several test modules."""
import pytest

from QorvelAPI.devhost.cli import main
from QorvelAPI.molstar import MolstarAPI
from molstar_fakes import FakeFlow


@pytest.fixture(scope="session", autouse=True)
def private_user_folders(tmp_path_factory):
    """The host's per-user folders (configuration, state, job records) inside this test run, so
    that runs side by side (the workers of a parallel run, the environments of `make test`) never
    read or replace each other's files, nor the user's own. Tests that need a clean folder still
    set their own."""
    base = tmp_path_factory.mktemp("user")
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("XDG_CONFIG_HOME", str(base / "config"))
        patch.setenv("XDG_STATE_HOME", str(base / "state"))
        patch.setenv("QORVEL_SLURM_JOBS", str(base / "slurm-jobs"))
        yield base


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


@pytest.fixture
def cli(capsys, monkeypatch, tmp_path):
    """Runs `qorvel-plugin` in-process with its own configuration folders; gives (code, out, err)."""
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path / "config"))
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "state"))
    monkeypatch.chdir(tmp_path)

    def run(*argv):
        code = main([str(a) for a in argv])
        out, err = capsys.readouterr()
        return code, out, err
    return run
