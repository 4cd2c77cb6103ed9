"""Files written whole or not at all: a temporary beside the target, made
durable, then renamed over it. The command line's ``build -o`` and
``Index.save`` both write this way, so a reader of the old file never sees
a half-written one.
"""

from __future__ import annotations

import os
import re
import socket
import stat
import tempfile
from typing import BinaryIO, Callable, Optional, Tuple


def save_to(name: str, write: Callable[[BinaryIO], object]) -> None:
    """Writes ``name`` through ``write``, as ``build -o`` does.

    What is not a regular file (a device, a named pipe) is written to as it
    is: replacing it would put a regular file where, say, /dev/null was. A
    regular file is replaced whole once the new one is complete; through a
    symbolic link the file it points to is replaced and the link stays. A
    directory raises IsADirectoryError.
    """
    try:
        found: Optional[os.stat_result] = os.stat(name)
    except OSError:
        found = None  # nothing there yet, or not reachable: writing says which
    if found is not None and stat.S_ISDIR(found.st_mode):
        raise IsADirectoryError(21, "Is a directory", name)
    if found is not None and not stat.S_ISREG(found.st_mode):
        with open(name, "wb") as f:
            write(f)
        return
    write_atomically(os.path.realpath(name), write, found)


def write_atomically(path: str, write: Callable[[BinaryIO], object], replaced: Optional[os.stat_result]) -> None:
    """Writes a temporary beside ``path`` and renames it over ``path``.

    A replaced file keeps its permissions. The temporary is removed on any
    failure or interrupt; one left by a writer that was killed outright is
    removed by a later build in the same directory.
    """
    directory = os.path.dirname(path)
    _remove_stale_temporaries(directory)
    mode = stat.S_IMODE(replaced.st_mode) & 0o777 if replaced is not None else 0o666 & ~_umask()
    prefix, suffix = _temporary_affixes(os.getpid())
    fd, tmp = tempfile.mkstemp(prefix=prefix, suffix=suffix, dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())  # the new index is on disk before its name is
        os.chmod(tmp, mode)
        os.replace(tmp, path)
    except BaseException:
        _remove_quietly(tmp)
        raise


# A temporary's name carries its writer's process id and host, so that a later
# build can tell a dead writer's leftover from a live writer's file.
_TEMPORARY = re.compile(r"\.quellnor-([0-9]+)-[a-z0-9_]+-(.+)\.tmp")


def _temporary_affixes(pid: int) -> Tuple[str, str]:
    """The prefix and suffix of the temporaries written by process ``pid`` on this host."""
    return f".quellnor-{pid}-", f"-{_host()}.tmp"


def _host() -> str:
    return re.sub(r"[^A-Za-z0-9.-]", "_", socket.gethostname()) or "localhost"


def _remove_stale_temporaries(directory: str) -> None:
    if os.name != "posix":  # where os.kill(pid, 0) only asks whether pid runs
        return
    host = _host()
    try:
        names = os.listdir(directory)
    except OSError:
        return
    for name in names:
        found = _TEMPORARY.fullmatch(name)
        if found and found.group(2) == host and not _running(int(found.group(1))):
            _remove_quietly(os.path.join(directory, name))


def _running(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (OSError, OverflowError):
        return True  # another user's process, or no process id at all: leave it be
    return True


def _remove_quietly(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
