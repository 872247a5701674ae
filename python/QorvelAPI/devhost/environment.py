"""The environment that the local host hands to the programs it starts.

A host running under a memory checker (the package's sanitizer test run preloads its runtime
into the interpreter) must not pass that runtime on to the commands, batch jobs and SLURM tools
it starts: the checker's exit-time leak report would change their exit status and turn every
job into a failure. Other preloaded libraries are kept.
"""
from __future__ import annotations

import os
import re
from typing import Dict

_SANITIZER_RUNTIME = re.compile(r"lib(?:clang_rt\.[a-z]+san|[almt]san|ubsan)[-.\w]*\.so")


def child_environment() -> Dict[str, str]:
    """This process's environment without a preloaded sanitizer runtime."""
    env = dict(os.environ)
    preload = env.get("LD_PRELOAD")
    if preload:
        kept = [lib for lib in re.split(r"[:\s]+", preload) if lib and not _SANITIZER_RUNTIME.search(lib)]
        if kept:
            env["LD_PRELOAD"] = ":".join(kept)
        else:
            del env["LD_PRELOAD"]
    return env
