"""The local development host: loads, checks and runs a plugin on this machine without the platform.

``PluginHost`` (``QorvelAPI.devhost.api``) is its public Python API, the one the command line and
the pytest plugin (``QorvelAPI.devhost.pytest_plugin``) use; the names below it are its parts.
``qorvel-plugin`` (``QorvelAPI.devhost.cli``) is its command line; ``LocalHost`` runs blocks and
flows, ``LocalRemote`` is the host remote object for this machine and ``Flow`` the host's flow,
registered as ``Server.FlowManager`` inside a local-host process.
"""

from .api import CheckResult, DryRunResult, FlowResult, JobResult, PluginHost, RunResult
from .flow import Flow, FlowError, register_flow_manager
from .remote import LocalRemote
from .runner import LocalRunner, QueueError

__all__ = ["PluginHost", "RunResult", "FlowResult", "JobResult", "DryRunResult", "CheckResult", "Flow", "FlowError",
           "LocalRemote", "LocalRunner", "QueueError", "register_flow_manager"]
