"""How the commands print: results on standard output (for a person, or one JSON document),
problems one per line on standard error, and the exit statuses."""

from __future__ import annotations

import json
import sys
from typing import Any

from ..loader import Problem
from ..log_follow import FollowedText

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
# Characters of a followed line without its end that are held back before they are printed anyway.
PARTIAL_LIMIT = 4096


class UsageError(Exception):
    pass


def dumps(value: Any) -> str:
    return json.dumps(value, indent=4, default=lambda v: list(v) if isinstance(v, (set, tuple)) else repr(v))


def short(value: Any, limit: int = 200) -> str:
    text = json.dumps(value, default=repr) if not isinstance(value, str) else json.dumps(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."


class Output:
    """Writes results for a person or as one JSON document; problems go to standard error."""

    def __init__(self, as_json: bool):
        self.as_json = as_json
        self.tty = sys.stderr.isatty()
        self._progress_open = False
        self._progress_text = ""
        self._last_state: str | None = None
        # The line each followed stream has begun but not ended yet, by (job, stream).
        self._partial: dict[tuple, str] = {}

    def problem(self, problem: Problem) -> None:
        self.end_progress()
        print(problem.line(), file=sys.stderr)
        if problem.detail and not self.as_json:
            print(problem.detail, file=sys.stderr)

    def problems(self, problems: list[Problem]) -> None:
        for p in problems:
            self.problem(p)

    def progress(self, text: str, final: bool) -> None:
        self._progress_text = "" if final else text
        if self.tty:
            print("\r\033[K" + text, end="\n" if final else "", file=sys.stderr, flush=True)
            self._progress_open = not final
        else:
            # Without a terminal: one line per change of state (the text without its clock), not per poll.
            state = text.rsplit("  ", 1)[0]
            if final or state != self._last_state:
                print(text, file=sys.stderr, flush=True)
            self._last_state = None if final else state

    def followed(self, piece: FollowedText) -> None:
        """Prints the whole lines of a followed job's stream on standard error, each marked with the
        job and the stream ("  [812 stderr] ..."); a line not ended yet waits for the rest of it
        (up to PARTIAL_LIMIT characters), and is printed when the stream ends."""
        key = (piece.jobID, piece.stream)
        lines = (self._partial.pop(key, "") + piece.text).split("\n")
        rest = lines.pop()
        if not (piece.ended or len(rest) > PARTIAL_LIMIT):
            self._partial[key] = rest
        elif rest:
            lines.append(rest)
        if not lines:
            return
        reopen = self.tty and self._progress_open
        if reopen:  # the status line gives way to the job's lines and comes back below them
            print("\r\033[K", end="", file=sys.stderr)
            self._progress_open = False
        else:
            self.end_progress()
        for line in lines:
            print(f"  [{piece.jobID} {piece.stream}] {line}", file=sys.stderr)
        if reopen and self._progress_text:
            print(self._progress_text, end="", file=sys.stderr)
            self._progress_open = True
        sys.stderr.flush()

    def end_progress(self) -> None:
        if self._progress_open:
            print(file=sys.stderr)
            self._progress_open = False
