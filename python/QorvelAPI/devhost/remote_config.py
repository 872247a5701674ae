"""Named remotes of the local host, from ``remotes.toml`` in the user's configuration folder.

    [remotes.cluster]
    ssh = "me@login.cluster.example.org"     # anything ssh accepts: user@host or a Host of ~/.ssh/config
    workdir = "/scratch/me/qorvel"           # the platform's working folder there ("~/..." allowed)
    # ssh_config = "/path/to/ssh_config"     # optional: another ssh configuration file (ssh -F)
    # ssh_options = ["Port=2222"]            # optional: further ssh -o options

The file is ``$QORVEL_REMOTES`` when set, else ``$XDG_CONFIG_HOME/qorvel/remotes.toml`` (by default
``~/.config/qorvel/remotes.toml``). A block's ``selectedRemote`` names one of them; "Local" is
always this machine and cannot be redefined. Passwords have no place here: logins use keys.
"""

from __future__ import annotations

import os
import tomllib
from dataclasses import dataclass, field

from .runner import QueueError
from .safe_files import REMOTES_FILE, TooDeep, parse_nested, read_text

LOCAL = "Local"


class RemoteConfigError(QueueError):
    """The remotes file cannot be read or describes a remote wrongly."""


@dataclass
class RemoteEntry:
    name: str
    ssh: str
    workdir: str
    ssh_config: str | None = None
    ssh_options: list = field(default_factory=list)

    def connection(self):
        from .ssh_connection import SSHConnection  # noqa: PLC0415

        return SSHConnection(self.name, self.ssh, self.ssh_config, self.ssh_options)


def remotes_path() -> str:
    if os.environ.get("QORVEL_REMOTES"):
        return os.path.abspath(os.environ["QORVEL_REMOTES"])
    base = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(base, "qorvel", "remotes.toml")


def _entry(path: str, name: str, table) -> RemoteEntry:
    where = f"{path}: remote '{name}'"
    if name == LOCAL:
        raise RemoteConfigError(f"{where}: the name Local is this machine's")
    if not isinstance(table, dict):
        raise RemoteConfigError(f"{where} must be a table")
    unknown = sorted(set(table) - {"ssh", "workdir", "ssh_config", "ssh_options"})
    if unknown:
        raise RemoteConfigError(f"{where}: unknown key '{unknown[0]}' (keys: ssh, workdir, ssh_config, ssh_options)")
    for key in ("ssh", "workdir"):
        if not isinstance(table.get(key), str) or not table[key].strip():
            raise RemoteConfigError(f"{where}: '{key}' must be a non-empty string")
    if table["ssh"].startswith("-"):
        raise RemoteConfigError(f"{where}: 'ssh' must name a host, not an option")
    workdir = table["workdir"]
    if not (workdir.startswith("/") or workdir == "~" or workdir.startswith("~/")):
        raise RemoteConfigError(f"{where}: 'workdir' must be an absolute path or start with ~/")
    config = table.get("ssh_config")
    if config is not None and not isinstance(config, str):
        raise RemoteConfigError(f"{where}: 'ssh_config' must be a string")
    options = table.get("ssh_options", [])
    if not isinstance(options, list) or not all(isinstance(o, str) and "=" in o for o in options):
        raise RemoteConfigError(f"{where}: 'ssh_options' must be a list of \"Key=Value\" strings")
    if config:
        config = os.path.join(os.path.dirname(path), os.path.expanduser(config))
    return RemoteEntry(name, table["ssh"], workdir, config, list(options))


def load_remotes(path: str | None = None) -> dict[str, RemoteEntry]:
    """The configured remotes by name (none when the file does not exist)."""
    path = path or remotes_path()
    try:
        document = parse_nested(tomllib.loads, read_text(path, REMOTES_FILE))
    except FileNotFoundError:
        return {}
    except UnicodeDecodeError:
        raise RemoteConfigError(f"{path}: not UTF-8 text") from None
    except (OSError, tomllib.TOMLDecodeError, TooDeep) as exc:
        raise RemoteConfigError(f"{path}: {exc}") from None
    unknown = sorted(set(document) - {"remotes"})
    if unknown:
        raise RemoteConfigError(f"{path}: unknown table '{unknown[0]}' (remotes go under [remotes.NAME])")
    tables = document.get("remotes", {})
    if not isinstance(tables, dict):
        raise RemoteConfigError(f"{path}: 'remotes' must be a table of [remotes.NAME] tables")
    return {name: _entry(path, name, table) for name, table in tables.items()}


def queue_description(name: str, entries: dict[str, RemoteEntry] | None = None) -> str:
    """What runs the jobs of a block that selects the remote ``name`` (the remote's SLURM queue),
    without logging in; an unknown name says so."""
    entries = load_remotes() if entries is None else entries
    if name not in entries:
        return f"remote '{name}' is not configured (remotes: {', '.join([LOCAL, *entries])})"
    return f"SLURM queue of remote '{name}' ({entries[name].ssh})"
