"""Files and folders to and from a remote over an ``SSHConnection``.

A file travels as the standard input or output of ``cat`` on the remote, a folder as a tar stream;
the paths are arguments of constant scripts, never part of a command line that the remote shell
reads. Either way the bytes land in a fresh temporary file next to their destination that is then
renamed into place, so an interrupted transfer leaves nothing half-written and a symbolic link
already standing at the destination is replaced, never written through.

Nothing is written outside the destination given: the name a file takes is the last part of the
source path that the caller asked for; a folder from the remote is unpacked only when every entry
is a plain file or folder whose path stays inside the destination folder.
"""

from __future__ import annotations

import os
import posixpath
import tarfile
import tempfile

from .ssh_connection import RemoteError, SSHConnection, script_words

_MISSING, _IS_FOLDER = 66, 65

# $1 destination, $2 name in a destination folder, $3 mode. Reads the file from standard input;
# prints the final path. Exit status 3: no such destination folder.
_RECEIVE_FILE = r"""
dest=$1
if [ -d "$dest" ]; then dest="${dest%/}/$2"
else case $dest in */) echo "destination folder does not exist: $dest" >&2; exit 3;; esac
fi
dir=$(dirname -- "$dest")
[ -d "$dir" ] || { echo "destination folder does not exist: $dir" >&2; exit 3; }
[ -d "$dest" ] && [ ! -L "$dest" ] && { echo "a folder stands where the file should go: $dest" >&2; exit 3; }
part=$(mktemp -- "$dest.XXXXXX") || exit 5
if cat > "$part" && chmod "$3" -- "$part" && mv -f -T -- "$part" "$dest"; then printf '%s' "$dest"
else rm -f -- "$part"; exit 5; fi
"""

# $1 destination, $2 name in a destination folder. Unpacks a tar stream from standard input into
# the folder; prints its path. A link standing where the folder goes is refused (exit status 4).
_RECEIVE_FOLDER = r"""
dest=$1
if [ -d "$dest" ]; then dest="${dest%/}/$2"
else
    dir=$(dirname -- "${dest%/}")
    [ -d "$dir" ] || { echo "destination folder does not exist: $dir" >&2; exit 3; }
fi
[ -L "${dest%/}" ] && { echo "refusing to write through the symbolic link $dest" >&2; exit 4; }
mkdir -p -- "$dest" && tar -x -f - -C "$dest" --no-same-owner && printf '%s' "$dest"
"""

# $1 source: the file on standard output; 65 for a folder, 66 for nothing readable.
_SEND_FILE = r"""
[ -d "$1" ] && exit 65
[ -f "$1" ] && [ -r "$1" ] || exit 66
exec cat -- "$1"
"""

# $1 folder holding the source, $2 the source's name: a tar stream of it (links followed).
_SEND_FOLDER = r"""cd -- "$1" && exec tar -c -h -f - -- "./$2" """


def _plain_name(path: str, where: str) -> str:
    name = posixpath.basename(posixpath.normpath(path))
    if name in ("", ".", "..", "/"):
        raise ValueError(f"{path!r} names no file {where}")
    return name


def upload(connection: SSHConnection, source: str, destination: str) -> str:
    """Copies the local file or folder ``source`` to the remote path ``destination`` (into it when
    it is a folder); returns the final remote path."""
    if not os.path.exists(source):
        raise FileNotFoundError(f"no such file: {source}")
    name = _plain_name(source, "on this machine")
    with tempfile.TemporaryFile() as stream:
        if os.path.isdir(source):
            with tarfile.open(fileobj=stream, mode="w") as archive:
                for entry in sorted(os.listdir(source)):
                    archive.add(os.path.join(source, entry), arcname=entry, recursive=True)
            words = script_words(_RECEIVE_FOLDER, destination, name)
        else:
            with open(source, "rb") as data:
                while chunk := data.read(1 << 20):
                    stream.write(chunk)
            mode = f"{os.stat(source).st_mode & 0o777:o}"
            words = script_words(_RECEIVE_FILE, destination, name, mode)
        stream.seek(0)
        result = connection.run(words, stdin=stream)
    if result.returncode == 3:
        raise FileNotFoundError(result.stderr.strip())
    if result.returncode != 0:
        raise RemoteError(f"upload of {source} to remote '{connection.name}' failed: "
                          f"{result.stderr.strip() or f'exit status {result.returncode}'}")
    return os.fsdecode(result.stdout_bytes)


def _local_target(source: str, destination: str) -> str:
    name = _plain_name(source, "on the remote")
    target = os.path.join(destination, name) if os.path.isdir(destination) or destination.endswith(os.sep) \
        else destination
    folder = os.path.dirname(target) or "."
    if not os.path.isdir(folder):
        raise FileNotFoundError(f"destination folder does not exist: {folder}")
    return os.path.abspath(target)


def download(connection: SSHConnection, source: str, destination: str) -> str:
    """Copies the remote file or folder ``source`` to the local ``destination`` (into it when it is a
    folder); returns the final local path."""
    target = _local_target(source, destination)
    fd, part = tempfile.mkstemp(dir=os.path.dirname(target), prefix=".qorvel-part-")
    try:
        with os.fdopen(fd, "wb") as out:
            result = connection.run(script_words(_SEND_FILE, source), stdout=out)
        if result.returncode == _IS_FOLDER:
            with open(part, "wb") as out:
                parent, name = posixpath.split(posixpath.normpath(source))
                result = connection.run(script_words(_SEND_FOLDER, parent or "/", name), stdout=out)
            _check(connection, source, result)
            _unpack(part, target, name)
            return target
        _check(connection, source, result)
        if os.path.isdir(target) and not os.path.islink(target):
            raise IsADirectoryError(f"a folder stands where the file should go: {target}")
        os.replace(part, target)
        return target
    finally:
        if os.path.exists(part):
            os.unlink(part)


def _check(connection: SSHConnection, source: str, result) -> None:
    if result.returncode == _MISSING:
        raise FileNotFoundError(f"no such file on remote '{connection.name}': {source}")
    if result.returncode != 0:
        raise RemoteError(f"download of {source} from remote '{connection.name}' failed: "
                          f"{result.stderr.strip() or f'exit status {result.returncode}'}")


def _inside(folder: str, path: str) -> bool:
    folder = os.path.realpath(folder)
    return os.path.commonpath([folder, os.path.realpath(path)]) == folder


def _unpack(archive_path: str, target: str, name: str) -> None:
    """Unpacks the folder ``./name`` of a tar file into ``target``, refusing any entry that is not
    a plain file or folder or whose path leaves ``target``."""
    if os.path.islink(target):
        raise RemoteError(f"refusing to unpack into {target}: it is a symbolic link")
    os.makedirs(target, exist_ok=True)
    with tarfile.open(archive_path, mode="r") as archive:
        members = archive.getmembers()
        plan = []
        for member in members:
            parts = [p for p in member.name.split("/") if p not in ("", ".")]
            if not parts or parts[0] != name or ".." in parts or member.name.startswith("/"):
                raise RemoteError(f"refusing the remote folder entry {member.name!r}: it leaves {target}")
            if not (member.isfile() or member.isdir()):
                raise RemoteError(f"refusing the remote folder entry {member.name!r}: not a plain file or folder")
            plan.append((member, os.path.join(target, *parts[1:])))
        for member, path in plan:
            # Checked before anything is made: a link already standing in the destination
            # folder must not carry even an empty folder out of it.
            folder = path if member.isdir() else os.path.dirname(path)
            if not _inside(target, folder):
                raise RemoteError(f"refusing to write {path}: it leaves {target}")
            os.makedirs(folder, exist_ok=True)
            if member.isdir():
                continue
            fd, part = tempfile.mkstemp(dir=folder, prefix=".qorvel-part-")
            with os.fdopen(fd, "wb") as out, archive.extractfile(member) as data:
                while chunk := data.read(1 << 20):
                    out.write(chunk)
            os.chmod(part, member.mode & 0o777)
            os.replace(part, path)
