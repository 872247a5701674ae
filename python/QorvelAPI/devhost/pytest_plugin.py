"""The pytest plugin of the local host (registered as "qorvel" when the package is installed).

It gives tests a ``plugin_host`` fixture, a factory of ``PluginHost`` objects::

    def test_dock(plugin_host):
        result = plugin_host("my_plugin").run("dock", set={"exhaustiveness": 8})
        assert result.outputs["best_score"] < -7

``plugin_host()`` without a folder uses the ``--qorvel-plugin DIR`` option, else the plugin folder
that holds the test file (a ``Tests/test_*.py`` of a plugin). A relative folder is looked up from
the current folder, then from the test file's folder and its parents. Every host works in the
test's own temporary folder with a configuration file of its own. Batch jobs of cluster job blocks
run on the local runner, cancelled after ``--qorvel-job-timeout`` seconds (300 by default);
``--qorvel-queue slurm`` (or ``plugin_host(..., queue="slurm")``) runs them on the SLURM queue.
"""

from __future__ import annotations

import os
from typing import Any, Callable, Iterator, List, Optional

import pytest

DEFAULT_JOB_TIMEOUT = 300.0


def pytest_addoption(parser: Any) -> None:
    group = parser.getgroup("qorvel", "Qorvel plugin host")
    group.addoption("--qorvel-plugin", metavar="DIR", default=None,
                    help="plugin folder that plugin_host() uses when no folder is given")
    group.addoption("--qorvel-queue", choices=("local", "slurm", "auto"), default="local",
                    help="where batch jobs of cluster job blocks run (default: the local runner)")
    group.addoption("--qorvel-job-timeout", type=float, default=DEFAULT_JOB_TIMEOUT, metavar="SECONDS",
                    help="cancel a batch job that has not ended after this long (default 300)")


def _holding_plugin(start: str) -> Optional[str]:
    """The nearest folder at or above ``start`` that holds a plugin.meta."""
    folder = os.path.abspath(start)
    while True:
        if os.path.isfile(os.path.join(folder, "plugin.meta")):
            return folder
        parent = os.path.dirname(folder)
        if parent == folder:
            return None
        folder = parent


def resolve_plugin_dir(wanted: Optional[str], option: Optional[str], test_dir: str) -> str:
    if wanted is None:
        found = option or _holding_plugin(test_dir)
        if found is None:
            raise pytest.UsageError("plugin_host() needs a plugin folder: pass one, or run pytest with "
                                    "--qorvel-plugin DIR")
        return os.path.abspath(found)
    if os.path.isabs(wanted):
        return wanted
    candidates: List[str] = [os.path.abspath(wanted)]
    if option:
        candidates.append(os.path.join(os.path.dirname(os.path.abspath(option)), wanted))
    folder = test_dir
    while True:
        candidates.append(os.path.join(folder, wanted))
        parent = os.path.dirname(folder)
        if parent == folder:
            break
        folder = parent
    for candidate in candidates:
        if os.path.isfile(os.path.join(candidate, "plugin.meta")):
            return candidate
    if option and os.path.basename(os.path.normpath(option)) == wanted:
        return os.path.abspath(option)
    return candidates[0]  # loading it reports what is missing


@pytest.fixture
def plugin_host(request: Any, tmp_path: Any) -> Iterator[Callable[..., Any]]:
    """``plugin_host(plugin_dir=None, queue=None, **options)``: a ``PluginHost`` for the test."""
    from QorvelAPI.devhost.api import PluginHost  # noqa: PLC0415 (loaded only by tests that use it)

    config = request.config
    hosts: List[Any] = []

    def make(plugin_dir: Optional[str] = None, queue: Optional[str] = None, **options: Any) -> Any:
        folder = resolve_plugin_dir(None if plugin_dir is None else os.fspath(plugin_dir),
                                    config.getoption("qorvel_plugin"), str(request.path.parent))
        run = tmp_path / f"qorvel-host-{len(hosts) + 1}"
        run.mkdir()
        options.setdefault("workdir", str(run / "work"))
        options.setdefault("config_path", str(run / "plugin.config.json"))
        options.setdefault("job_timeout", config.getoption("qorvel_job_timeout"))
        options.setdefault("poll", 0.2)
        host = PluginHost(folder, queue=queue or config.getoption("qorvel_queue"), **options)
        hosts.append(host)
        return host

    yield make
    for host in hosts:  # a test that failed mid-job leaves nothing running
        local = host._local
        if local is not None and hasattr(local.queue, "cancel_all"):
            local.queue.cancel_all()
