"""Following the output and error files of a running job by byte offset (``--follow``).

Every poll reads only the bytes written since the previous one, at most ``CHUNK_LIMIT`` of each
file (the rest comes at the next poll), so a job with large logs costs little per poll. A UTF-8
sequence cut by the end of a read waits for its last bytes. A file shorter than what was already
read of it (truncated, or replaced by a new one) is read again from its start, with a note in the
text; a file that does not exist yet gives nothing. Once the job has ended, what is left of each
file is read to the size the file had then, so that nothing written is lost.

Standard output and standard error are two files, each read in order; how the lines of the two
interleaved while the job wrote them is not known to the host.
"""

from __future__ import annotations

import codecs
import os
import stat
from dataclasses import dataclass
from typing import Any, Callable

# Bytes of each file read at one poll.
CHUNK_LIMIT = 256 * 1024
# Characters of each stream a run's result keeps (its last ones): a runaway job must not fill memory.
FOLLOWED_LIMIT = 4 * 1024 * 1024
STREAMS = ("stdout", "stderr")


@dataclass(frozen=True)
class LogChunk:
    """What one read of a log file gave: the file's size then, where the bytes begin, the bytes."""
    size: int
    start: int
    data: bytes


@dataclass(frozen=True)
class FollowedText:
    """New text of one stream of a followed job. ``ended``: the job ended and its stream was read
    to the end (the text may then be empty)."""
    placedID: Any
    jobID: Any
    stream: str  # "stdout" or "stderr"
    text: str
    ended: bool = False


def read_local_chunk(path: str, offset: int, limit: int = CHUNK_LIMIT) -> LogChunk | None:
    """At most ``limit`` bytes of a file of this machine from ``offset`` (from its start when the file
    is shorter than that); None when there is no such file yet."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except (FileNotFoundError, NotADirectoryError):
        return None
    with os.fdopen(fd, "rb") as source:
        info = os.fstat(source.fileno())
        if not stat.S_ISREG(info.st_mode):
            return None
        start = offset if offset <= info.st_size else 0
        source.seek(start)
        return LogChunk(info.st_size, start, source.read(limit))


class KeptText:
    """The last ``limit`` characters of a text that keeps growing, and how many came before them."""

    def __init__(self, limit: int = FOLLOWED_LIMIT):
        self.limit = limit
        self.text = ""
        self.dropped = 0

    def add(self, text: str) -> None:
        self.text += text
        if len(self.text) > self.limit:
            self.dropped += len(self.text) - self.limit
            self.text = self.text[-self.limit:]

    def value(self) -> str:
        return (f"[... {self.dropped} earlier characters not kept]\n" if self.dropped else "") + self.text


class StreamOffset:
    """How far one log file has been read, and the decoder that holds a UTF-8 sequence cut in two."""

    def __init__(self, path: str):
        self.path = path
        self.offset = 0
        self._decoder = codecs.getincrementaldecoder("utf-8")("replace")

    def take(self, chunk: LogChunk) -> str:
        note = ""
        if chunk.start < self.offset:
            note = f"[{self.path} became shorter (truncated or replaced); reading it again from its start]\n"
            self._decoder.reset()
        self.offset = chunk.start + len(chunk.data)
        return note + self._decoder.decode(chunk.data)

    def finish(self) -> str:
        """What the decoder still holds (an incomplete sequence at the end of the file)."""
        return self._decoder.decode(b"", final=True)


class JobLogFollower:
    """The output and error files of the job of one placement, read a little at every poll.

    ``remote`` gives the files (``jobLogPaths``) and reads them (``readLogChunks``); ``emit`` gets
    every piece of new text."""

    def __init__(self, remote: Any, placed_id: Any, emit: Callable[[FollowedText], None]):
        self.remote = remote
        self.placed_id = placed_id
        self._emit = emit
        self.job: Any = None
        self._streams: dict[str, StreamOffset] = {}
        self.kept = {name: KeptText() for name in STREAMS}

    def _current(self, job: Any) -> list[tuple[str, StreamOffset]]:
        if job != self.job:
            self.job, self._streams = job, {}
        paths = dict(zip(STREAMS, self.remote.jobLogPaths(job)))
        for name, path in paths.items():
            known = self._streams.get(name)
            if path and (known is None or known.path != path):  # an array job's shown task may change
                self._streams[name] = StreamOffset(path)
            elif not path:
                self._streams.pop(name, None)
        return list(self._streams.items())

    def poll(self, job: Any) -> list[tuple[str, StreamOffset, LogChunk | None]]:
        """Reads what each file gained since the last poll and hands the new text on."""
        streams = self._current(job)
        chunks = self.remote.readLogChunks([(s.path, s.offset) for _, s in streams], CHUNK_LIMIT) if streams else []
        for (name, stream), chunk in zip(streams, chunks):
            if chunk is not None:
                self._send(name, stream.take(chunk))
        return [(name, stream, chunk) for (name, stream), chunk in zip(streams, chunks)]

    def drain(self, job: Any) -> None:
        """After the job ended: reads each file up to the size it has now, then ends both streams."""
        read = self.poll(job)
        targets = {name: chunk.size for name, _, chunk in read if chunk is not None}
        while any(stream.offset < targets.get(name, 0) for name, stream, _ in read):
            before = {name: stream.offset for name, stream, _ in read}
            read = self.poll(job)
            if all(stream.offset == before.get(name) for name, stream, _ in read):
                break  # a file that stopped giving bytes (shortened meanwhile): nothing more to wait for
        for name, stream in self._streams.items():
            self._send(name, stream.finish(), ended=True)

    def _send(self, name: str, text: str, ended: bool = False) -> None:
        if text or ended:
            self.kept[name].add(text)
            self._emit(FollowedText(self.placed_id, self.job, name, text, ended))

    def followed(self) -> dict[str, str]:
        """Each stream's text as followed (its last ``FOLLOWED_LIMIT`` characters)."""
        return {name: kept.value() for name, kept in self.kept.items()}
