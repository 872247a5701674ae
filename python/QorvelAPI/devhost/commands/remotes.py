"""``qorvel-plugin remotes``: lists the named remotes and checks each one: it can log in, finds
sbatch and sees its working folder. Exit status 1 when a remote fails a check."""

from __future__ import annotations

import json
import os
import sys

from ..loader import Problem
from ..remote_config import load_remotes, remotes_path
from ..ssh_connection import RemoteError
from ..ssh_remote import probe

HELP = "list the named remotes (remotes.toml) and check that each can log in, finds sbatch and its working folder"
PLUGIN = False


def add_arguments(p) -> None:
    p.add_argument("names", metavar="NAME", nargs="*", help="only these remotes")
    p.add_argument("--no-check", action="store_true", help="list them without logging in")


def check_remote(entry) -> dict:
    """What one remote's check found: the facts, and a problem line (None when all is well)."""
    row = {"name": entry.name, "ssh": entry.ssh, "workdir": entry.workdir, "home": None, "sbatch": None,
           "problem": None}
    connection = entry.connection()
    row["warning"] = connection.unchecked_host_key()
    try:
        facts = probe(connection, entry.workdir)
    except RemoteError as exc:
        row["problem"] = str(exc)
        return row
    finally:
        connection.close()
    row.update(home=facts["home"], sbatch=facts["sbatch"], workdir=facts["workDir"])
    if facts["sbatch"] is None:
        row["problem"] = f"remote '{entry.name}' ({entry.ssh}) has no sbatch on its PATH"
    elif facts["missing"]:
        row["problem"] = f"remote '{entry.name}' ({entry.ssh}): working folder {facts['workDir']} not found"
    return row


def run(args, out) -> int:
    path = remotes_path()
    entries = load_remotes(path)
    unknown = [name for name in args.names if name not in entries]
    if unknown:
        raise RemoteError(f"no remote named '{unknown[0]}' in {path} (remotes: {', '.join(entries) or 'none'})")
    chosen = [entries[name] for name in args.names] if args.names else list(entries.values())
    rows = [{"name": e.name, "ssh": e.ssh, "workdir": e.workdir} if args.no_check else check_remote(e) for e in chosen]
    failed = [row for row in rows if row.get("problem")]
    if out.as_json:
        print(json.dumps({"path": path, "ok": not failed, "remotes": rows}, indent=4))
        return 0 if not failed else 1
    if not os.path.exists(path):
        print(f"no remotes file: looked for {path}; blocks run on Local (this machine) "
              f"(see the README on named remotes to add one)")
        return 0
    print(f"remotes in {path} ({len(rows)}):")
    print("  Local  (this machine)")
    for row in rows:
        print(f"  {row['name']}  ssh {row['ssh']}  working folder {row['workdir']}")
        if "problem" in row and not row["problem"]:
            print(f"    ok: logged in (home {row['home']}), sbatch {row['sbatch']}, working folder found")
    for row in rows:
        if row.get("warning"):
            out.problem(Problem("warning", row["warning"]))
    for row in failed:
        out.problem(Problem("error", row["problem"]))
    sys.stdout.flush()
    return 0 if not failed else 1
