"""What a block's action prints and logs, kept per block in the order it came.

Standard error and the records logged on the root logger (so on every logger that passes its
records up, the plugin's own included) and on "Qorvel" (which does not pass them up while the host
runs) are kept as entries; standard output too when the host captures it. Each entry is a
dictionary: ``stream`` ("stdout", "stderr" or "log"), ``text``, and for a record its ``level``
and ``logger``. ``block_log_text`` turns stderr and the records into the lines added to the
block's ``blockLogs``, the one place the platform shows what a block logged.
"""

from __future__ import annotations

import contextlib
import io
import logging
from typing import Iterator

CAPTURED_LOGGERS = ("", "Qorvel")


class _StreamTap(io.TextIOBase):
    """A text stream whose writes become entries (consecutive writes join one entry)."""

    def __init__(self, entries: list[dict], stream: str):
        super().__init__()
        self.entries, self.stream = entries, stream

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        if text:
            if self.entries and self.entries[-1]["stream"] == self.stream:
                self.entries[-1]["text"] += text
            else:
                self.entries.append({"stream": self.stream, "text": text})
        return len(text)


class _LogTap(logging.Handler):
    def __init__(self, entries: list[dict]):
        super().__init__(logging.NOTSET)
        self.entries = entries

    def emit(self, record: logging.LogRecord) -> None:
        try:
            message = record.getMessage()
        except Exception:  # a malformed log call must not break the block
            message = str(record.msg)
        self.entries.append({"stream": "log", "level": record.levelname, "logger": record.name or "root",
                             "text": message})


@contextlib.contextmanager
def captured_output(stdout: bool) -> Iterator[list[dict]]:
    """Captures standard error and log records (and standard output when ``stdout``) meanwhile."""
    entries: list[dict] = []
    handler = _LogTap(entries)
    with contextlib.ExitStack() as stack:
        if stdout:
            stack.enter_context(contextlib.redirect_stdout(_StreamTap(entries, "stdout")))
        stack.enter_context(contextlib.redirect_stderr(_StreamTap(entries, "stderr")))
        for name in CAPTURED_LOGGERS:
            logger = logging.getLogger(name)
            logger.addHandler(handler)
            stack.callback(logger.removeHandler, handler)
        yield entries


def printed_text(entries: list[dict]) -> str:
    return "".join(e["text"] for e in entries if e["stream"] == "stdout")


def entry_line(entry: dict) -> str:
    """One entry as the lines the logs show ("stderr: ...", "WARNING my_plugin: ...")."""
    if entry["stream"] == "log":
        return f"{entry['level']} {entry['logger']}: {entry['text']}".rstrip("\n") + "\n"
    return "".join(f"{entry['stream']}: {line}\n" for line in entry["text"].rstrip("\n").split("\n"))


def block_log_text(entries: list[dict]) -> str:
    return "".join(entry_line(e) for e in entries if e["stream"] != "stdout")


__all__ = ["block_log_text", "captured_output", "entry_line", "printed_text"]
