"""The tutorial's code blocks, run in order in a fresh folder as a reader would run them.

A block titled with a path is written to that file ("..., continued" appends to it); a shell
block runs in bash and must succeed. Any other kind of block would go unrun, so it fails the test.
"""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from test_slurm_live import live
from test_stubs import mypy_cache_dir
from test_ssh_live import sshd, sshd_dir  # noqa: F401 - the fixtures that start the test SSH server

ROOT = Path(__file__).resolve().parent.parent
TUTORIAL = ROOT / "docs" / "tutorial" / "first-plugin.md"
FENCE = re.compile(r"^```([^\n]*)\n(.*?)^```$", re.S | re.M)
CAPTION = re.compile(r"\A:caption: (.+)\n\n")


def tutorial_steps(text):
    """(kind, path, body) for each code block: kind is "write", "append" or "sh"."""
    for language, body in FENCE.findall(text):
        caption = CAPTION.match(body) if language.startswith("{code-block}") else None
        if caption:
            path = caption.group(1)
            kind = "append" if path.endswith(", continued") else "write"
            yield kind, path.removesuffix(", continued"), body[caption.end():]
        elif language == "sh":
            yield "sh", None, body
        else:
            raise AssertionError(f"a {language or 'plain'} block of the tutorial would not be run:\n{body}")


def commands_folder(tmp_path):
    """`qorvel-plugin` and `python3` as a reader has them after setup: this interpreter's."""
    folder = tmp_path / "bin"
    folder.mkdir()
    for name, arguments in (("qorvel-plugin", "-m QorvelAPI.devhost"), ("python3", "")):
        shim = folder / name
        shim.write_text(f'#!/bin/sh\nexec "{sys.executable}" {arguments} "$@"\n')
        shim.chmod(0o755)
    return folder


def test_steps_are_read_as_written():
    text = ('```sh\nls\n```\n\n```{code-block} python\n:caption: a/b.py, continued\n\nx = 1\n```\n'
            '```{code-block} json\n:caption: c.flow\n\n{}\n```\n')
    assert list(tutorial_steps(text)) == [("sh", None, "ls\n"), ("append", "a/b.py", "x = 1\n"),
                                          ("write", "c.flow", "{}\n")]
    with pytest.raises(AssertionError, match="would not be run"):
        list(tutorial_steps("```python\nprint(1)\n```\n"))


@live
def test_every_block_of_the_tutorial_runs(tmp_path, sshd, sshd_dir):  # noqa: F811 - the fixtures
    work = tmp_path / "work"
    work.mkdir()
    env = dict(os.environ, HOME=str(tmp_path), PYTHONPATH=str(ROOT / "python"),
               PATH=f"{commands_folder(tmp_path)}{os.pathsep}{os.environ['PATH']}")
    env.pop("QORVEL_REMOTES", None)
    env["MYPY_CACHE_DIR"] = str(mypy_cache_dir("tutorial"))  # the reader's own cache would be .mypy_cache
    steps = list(tutorial_steps(TUTORIAL.read_text(encoding="utf-8")))
    assert sum(kind == "sh" for kind, _, _ in steps) >= 10
    exported = ""
    for number, (kind, path, body) in enumerate(steps, 1):
        if kind != "sh":
            target = work / path
            target.parent.mkdir(parents=True, exist_ok=True)
            with target.open("a" if kind == "append" else "w", encoding="utf-8") as out:
                out.write(("\n\n" if kind == "append" else "") + body)
            continue
        # Exports stay in force for the blocks after them, as in the reader's shell.
        # The reader's server is the one of `make sshd-start`; the test's own runs in its own folder.
        script = f"set -e -o pipefail\n{exported}{body}".replace("/run/qorvel-sshd/", f"{sshd_dir}/")
        done = subprocess.run(["bash", "-c", script], cwd=work, env=env, capture_output=True, text=True,
                              timeout=300)
        assert done.returncode == 0, f"block {number} failed:\n{body}\n{done.stdout}\n{done.stderr}"
        exported += "".join(line + "\n" for line in body.splitlines() if line.startswith("export "))
