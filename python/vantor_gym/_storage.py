"""Reading and writing files safely: only regular files are read (a pipe or a device would
block or never end), and a file is written through a temporary file of its own renamed
into place, which a failed write removes again."""

from __future__ import annotations

import os
import stat
import tempfile
from collections.abc import Callable
from typing import IO, Any

__all__ = ["open_regular", "replace_atomically"]


def open_regular(path: str | os.PathLike[str], what: str, limit: int | None = None) -> IO[bytes]:
    """The regular file at ``path``, open for reading: ``OSError`` when it cannot be
    opened, ``ValueError`` naming it for a directory, a device or a pipe, or a file over
    ``limit`` bytes."""
    name = os.fspath(path)
    # Opened without blocking: opening a pipe with no writer would otherwise wait forever.
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    try:
        status = os.fstat(descriptor)
        if not stat.S_ISREG(status.st_mode):
            raise ValueError(f"{name!r} is not {what}: it is not a regular file")
        if limit is not None and status.st_size > limit:
            raise ValueError(f"{name!r} is not {what}: it holds {status.st_size:,} bytes, more than {limit:,}")
    except BaseException:
        os.close(descriptor)
        raise
    return os.fdopen(descriptor, "rb")


def _umask() -> int:
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def replace_atomically(path: str | os.PathLike[str], write: Callable[[str], Any]) -> None:
    """Calls ``write(temporary_path)`` on a new file of its own beside ``path`` (never one a
    link or another process put there), then renames it to ``path`` (to the file a link at
    ``path`` points to) with the mode that file has, or that a new file would get; a
    failure removes the temporary file and leaves ``path`` as it was."""
    target = os.path.realpath(path)
    folder, name = os.path.split(target)
    handle, temporary = tempfile.mkstemp(dir=folder, prefix=f".{name[:100]}.", suffix=".tmp")
    try:
        os.close(handle)
        write(temporary)
        mode = stat.S_IMODE(os.stat(target).st_mode) if os.path.exists(target) else 0o666 & ~_umask()
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.remove(temporary)
        except OSError:
            pass
        raise
