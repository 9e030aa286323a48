"""Reading and writing the files of a run safely: only regular files are read (a pipe or a
device would block or never end), and every file is written through a temporary file
renamed into place, which a failed write removes again."""

from __future__ import annotations

import os
import stat
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


def replace_atomically(path: str | os.PathLike[str], write: Callable[[str], Any], suffix: str = ".tmp") -> None:
    """Calls ``write(temporary_path)``, then renames the file to ``path``; a failure removes
    the temporary file and leaves ``path`` as it was."""
    temporary = f"{os.fspath(path)}{suffix}"
    try:
        write(temporary)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.remove(temporary)
        except OSError:
            pass
        raise
