"""Reading the files that a plugin folder, a runs folder or the user's configuration holds.

Any of them may be something other than a file: a FIFO blocks a plain ``open()`` forever, and a
link to ``/dev/zero`` or a huge sparse file fills the memory. So every such file is read here:
only a regular file (a symbolic link to one is fine), opened without blocking, checked with
``fstat`` before the first byte is read, and refused when it is larger than the limit of its kind.

The values read from them are held to a nesting depth that the host's own code (which copies and
compares them recursively) can always take.
"""

from __future__ import annotations

import errno
import io
import json
import os
import stat
from dataclasses import dataclass
from typing import Any, Callable

MIB = 1024 * 1024
MAX_NESTING = 100


@dataclass(frozen=True)
class FileKind:
    """What a file is for (as messages name it) and the most bytes read from one."""

    name: str
    limit: int


PLUGIN_META = FileKind("plugin.meta", 1 * MIB)
FLOW_FILE = FileKind("flow file", 16 * MIB)
CASE_FILE = FileKind("case file", 16 * MIB)
PAGE_FILE = FileKind("page file", 16 * MIB)
REMOTES_FILE = FileKind("remotes file", 1 * MIB)
CONFIG_FILE = FileKind("configuration file", 16 * MIB)
# As sbatch takes by default.
BATCH_SCRIPT = FileKind("batch script", 4 * MIB)
# Molecules and results that the viewer fetches from the plugin and run folders.
SERVED_FILE = FileKind("served file", 512 * MIB)


class FileRefused(OSError):
    """A file that is not read: not a regular file, too large, or more than memory can take.

    An OSError, so that callers that report unreadable files report these the same way."""


class TooDeep(ValueError):
    """A value nested deeper than MAX_NESTING levels."""


def _not_regular(mode: int) -> str:
    for test, kind in ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
                       (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return f"it is {kind}, and only regular files are read"
    return "it is not a regular file, and only regular files are read"


def _too_large(size: int | str, kind: FileKind) -> str:
    return f"it is {size} bytes, more than the {kind.limit} bytes ({kind.limit // MIB} MiB) allowed for a {kind.name}"


def read_bytes(path: str, kind: FileKind) -> bytes:
    """The bytes of the regular file ``path``; FileRefused when it is not one or is too large."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOCTTY)
    try:
        info = os.fstat(fd)
        if stat.S_ISDIR(info.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        if not stat.S_ISREG(info.st_mode):
            raise FileRefused(_not_regular(info.st_mode))
        if info.st_size > kind.limit:
            raise FileRefused(_too_large(info.st_size, kind))
        try:
            return _read_at_most(fd, kind)
        except MemoryError:
            raise FileRefused(f"not enough memory to read its {info.st_size} bytes") from None
    finally:
        os.close(fd)


def _read_at_most(fd: int, kind: FileKind) -> bytes:
    chunks, total = [], 0
    while chunk := os.read(fd, min(1 << 20, kind.limit + 1 - total)):
        chunks.append(chunk)
        total += len(chunk)
        if total > kind.limit:  # it grew while being read
            raise FileRefused(_too_large(f"more than {kind.limit}", kind))
    return b"".join(chunks)


def read_text(path: str, kind: FileKind, errors: str = "strict") -> str:
    """The file as UTF-8 text, as ``open(path, encoding="utf-8", errors=errors).read()`` gives it
    (line ends made "\\n"); UnicodeDecodeError when it is not UTF-8 and ``errors`` is strict."""
    return io.TextIOWrapper(io.BytesIO(read_bytes(path, kind)), encoding="utf-8", errors=errors).read()


def parse_nested(parse: Callable[[Any], Any], text: Any) -> Any:
    """``parse(text)`` held to MAX_NESTING levels; TooDeep when deeper, MemoryError turned into a
    message. The parser's own errors propagate as they are."""
    try:
        value = parse(text)
    except RecursionError:
        raise TooDeep(f"values are nested deeper than {MAX_NESTING} levels") from None
    except MemoryError:
        raise FileRefused(f"not enough memory to read its {len(text)} characters") from None
    check_nesting(value)
    return value


def load_json(text: str | bytes) -> Any:
    return parse_nested(json.loads, text)


def check_nesting(value: Any, limit: int = MAX_NESTING) -> None:
    """TooDeep when lists and objects in ``value`` nest deeper than ``limit`` (a value that holds
    itself counts as too deep). Walks one level at a time, without recursion; a part shared within
    a level (a YAML alias) is walked once there."""
    level, depth = [value], 0
    while True:
        containers = {id(item): item for item in level if isinstance(item, (dict, list, tuple))}
        if not containers:
            return
        depth += 1
        if depth > limit:
            raise TooDeep(f"values are nested deeper than {limit} levels")
        level = [child for item in containers.values() for child in (item.values() if isinstance(item, dict) else item)]


def check_config_file(path: str) -> None:
    """Refuses, before the plugin container reads it, a configuration file that is not a regular
    file, is too large or nests too deeply. A missing file is left for the container to create,
    and one that is not JSON for it to set aside and write anew."""
    if not os.path.exists(path):
        return
    data = read_bytes(path, CONFIG_FILE)
    try:
        load_json(data)
    except TooDeep:
        raise
    except ValueError:
        pass


__all__ = ["BATCH_SCRIPT", "CASE_FILE", "CONFIG_FILE", "FLOW_FILE", "FileKind", "FileRefused", "MAX_NESTING", "PAGE_FILE",
           "PLUGIN_META", "REMOTES_FILE", "SERVED_FILE", "TooDeep", "check_config_file", "check_nesting", "load_json",
           "parse_nested", "read_bytes", "read_text"]
