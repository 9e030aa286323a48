"""Opening PGN sources, compressed or not, and cutting them into pieces of whole lines.

A source is a path (``str`` or ``os.PathLike``; ``"-"`` is standard input), the file's
contents as ``bytes``, ``bytearray`` or ``memoryview``, or a binary or text file object.
Zstandard, gzip, bzip2 and xz input is recognised by its first bytes, never by its name.
A ``str`` always names a file: PGN text goes in as ``io.StringIO(text)``.
"""

from __future__ import annotations

import bz2
import contextlib
import errno
import gzip
import io
import lzma
import os
import re
import sys
import zlib
from collections.abc import Callable, Iterator
from compression import zstd
from dataclasses import dataclass
from typing import IO, Any, BinaryIO, Union, cast

from vantor_gym._storage import open_regular
from vantor_gym.pgn_reader import line_breaks

__all__ = ["PgnSource", "open_pgn"]

PgnSource = Union[str, bytes, bytearray, memoryview, "os.PathLike[str]", IO[str], IO[bytes]]
"""What the PGN readers read: a path, ``"-"``, the file's contents, or a file object."""

TEXT_HINT = "a str names a PGN file; PGN text goes in as io.StringIO(text)"
# "1." then a blank, a period or a move's first letter: "1.pgn" is still a file's name.
_TEXT_START = re.compile(r"\s*(\[|1\.(\s|\.|[a-hNBRQKO]))")
_PATH_MAX = 4096
_HEAD = 6  # bytes enough to tell every compressed format apart
_TEXT_PIECE = 1 << 20  # characters read from a text file at a time


def _compression(head: bytes) -> str | None:
    """The compressed format whose magic bytes start ``head``, or None for plain bytes."""
    if head.startswith(b"\x28\xb5\x2f\xfd"):
        return "zstd"
    if len(head) >= 4 and head[0] & 0xF0 == 0x50 and head[1:4] == b"\x2a\x4d\x18":
        return "zstd"  # a skippable frame, which may open a Zstandard file
    if head.startswith(b"\x1f\x8b"):
        return "gzip"
    if head.startswith(b"BZh"):
        return "bzip2"
    if head.startswith(b"\xfd7zXZ\x00"):
        return "xz"
    return None


_DECOMPRESSORS: dict[str, Callable[[BinaryIO], Any]] = {
    "zstd": zstd.ZstdFile,
    "gzip": lambda file: gzip.GzipFile(fileobj=file),
    "bzip2": bz2.BZ2File,
    "xz": lzma.LZMAFile,
}


def _decompression_fault(error: BaseException) -> bool:
    """Whether an exception from a decompressor says its input is damaged, not that reading failed."""
    if isinstance(error, (EOFError, zlib.error, lzma.LZMAError, zstd.ZstdError)):
        return True
    # gzip's BadGzipFile and bz2's "Invalid data stream" are OSErrors without an errno.
    return isinstance(error, OSError) and error.errno is None


class _Prefixed(io.RawIOBase):
    """A stream that gives ``head`` first, then the rest of ``file``."""

    def __init__(self, head: bytes, read: Callable[[int], bytes]) -> None:
        self._head = head
        self._read = read

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: "memoryview | bytearray") -> int:  # type: ignore[override]
        size = len(buffer)
        data = self._head or self._read(size)
        data, self._head = data[:size], data[size:]  # a file may give more than asked
        buffer[: len(data)] = data
        return len(data)


class _Checked(io.RawIOBase):
    """A decompressed stream whose damage is a ``ValueError`` naming the file and how far it got."""

    def __init__(self, file: io.BufferedIOBase, name: str, kind: str) -> None:
        self._file, self._name, self._kind = file, name, kind
        self._given = 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: "memoryview | bytearray") -> int:  # type: ignore[override]
        try:
            # read1: one step of the decompressor, so that a failure drops no bytes decompressed before it.
            data = self._file.read1(len(buffer))
        except Exception as error:
            if not _decompression_fault(error):
                raise
            state = "truncated" if isinstance(error, EOFError) else f"corrupt ({error})"
            raise ValueError(
                f"{self._name}: the {self._kind} stream is {state} after {self._given} bytes of PGN"
            ) from error
        buffer[: len(data)] = data
        self._given += len(data)
        return len(data)


def _bytes_of(data: object) -> bytes:
    """What a binary file's read() gave, as bytes; ``TypeError`` for anything else."""
    if isinstance(data, (bytes, bytearray, memoryview)):
        return bytes(data)
    raise TypeError(f"the PGN file's read() returned {type(data).__name__}, not str or bytes")


class _Encoded(io.RawIOBase):
    """A text file's characters as UTF-8 bytes; lone surrogates pass through as the str holds them."""

    def __init__(self, first: str, file: IO[str]) -> None:
        self._file = file
        self._left = first.encode("utf-8", "surrogatepass")

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: "memoryview | bytearray") -> int:  # type: ignore[override]
        while not self._left:
            text = self._file.read(_TEXT_PIECE)
            if not text:
                return 0
            if not isinstance(text, str):
                raise TypeError(f"the PGN file's read() returned {type(text).__name__} after str")
            self._left = text.encode("utf-8", "surrogatepass")
        size = min(len(buffer), len(self._left))
        buffer[:size], self._left = self._left[:size], self._left[size:]
        return size


@dataclass
class Opened:
    """An open source: its bytes, its name for messages, and whether it came as text (a ``str``
    stream, whose bytes may hold surrogates and are not checked as UTF-8)."""

    stream: BinaryIO
    name: str
    text: bool


def check_source(source: object) -> None:
    """``TypeError`` or ``ValueError`` for a source that is no path, contents or file object."""
    if isinstance(source, str):
        if "\n" in source or "\r" in source or len(source) > _PATH_MAX or _TEXT_START.match(source):
            raise ValueError(f"{TEXT_HINT} (got {source[:40]!r}...)")
        return
    if isinstance(source, (bytes, bytearray, memoryview, os.PathLike)) or hasattr(source, "read"):
        return
    raise TypeError(f"PGN source is a path, bytes, or a file object, not {type(source).__name__}")


@contextlib.contextmanager
def opening(source: PgnSource) -> Iterator[Opened]:
    """The source open for reading as bytes, closed again after (a file object given stays open)."""
    check_source(source)
    with contextlib.ExitStack() as stack:
        yield _open(source, stack)


def _open(source: PgnSource, stack: contextlib.ExitStack[bool | None]) -> Opened:
    if isinstance(source, (bytes, bytearray, memoryview)):
        return _binary(io.BytesIO(source).read, "the PGN data", stack)
    if isinstance(source, str) and source == "-":
        return _binary(sys.stdin.buffer.read, "<stdin>", stack)
    if isinstance(source, (str, os.PathLike)):
        name = os.fsdecode(os.fspath(source))
        if os.path.isdir(source):
            raise IsADirectoryError(errno.EISDIR, "a directory, not a PGN file", name)
        # Only a regular file: a named pipe would block the open, a device may never end.
        file = stack.enter_context(open_regular(source, "a PGN file"))
        return _binary(file.read, name, stack)
    name = str(getattr(source, "name", "the PGN file"))
    first = source.read(_HEAD)
    if isinstance(first, str):
        return Opened(io.BufferedReader(_Encoded(first, cast(IO[str], source))), name, True)
    head = _bytes_of(first)
    return _binary(lambda size: _bytes_of(source.read(size)), name, stack, head)


def _binary(
    read: Callable[[int], bytes], name: str, stack: contextlib.ExitStack[bool | None], head: bytes = b""
) -> Opened:
    """A binary source, decompressed when its first bytes name a compressed format."""
    while len(head) < _HEAD:
        more = read(_HEAD - len(head))
        if not more:
            break
        head += more
    stream: BinaryIO = io.BufferedReader(_Prefixed(head, read))
    kind = _compression(head)
    if kind is not None:
        inner = stack.enter_context(_DECOMPRESSORS[kind](stream))
        # Unbuffered: a buffered read that fails part way drops what it had read before.
        stream = _Checked(inner, name, kind)  # type: ignore[assignment]
    return Opened(stream, name, False)


@contextlib.contextmanager
def open_pgn(source: PgnSource) -> Iterator[BinaryIO]:
    """A PGN source open as a binary stream of its (decompressed) bytes.

    ``source`` is a path (``str`` or ``os.PathLike``), ``"-"`` for standard input, the
    file's contents (``bytes``, ``bytearray``, ``memoryview``), or a binary or text file
    object (a text one is read as UTF-8). Zstandard, gzip, bzip2 and xz input is
    decompressed, recognised by its first bytes. A ``str`` names a file: one that is
    plainly PGN text raises ``ValueError`` (PGN text goes in as ``io.StringIO(text)``).
    A damaged compressed stream raises ``ValueError`` from ``read`` naming the file and
    how many bytes it gave before. Files this opens are closed on leaving; a file object
    given stays open.
    """
    with opening(source) as opened:
        stream = opened.stream
        yield io.BufferedReader(stream) if isinstance(stream, io.RawIOBase) else stream


@dataclass
class Piece:
    """A piece of a source's text: its bytes (lone carriage returns made newlines), the byte
    offset and the count of newlines before it, and whether it is the last."""

    data: bytes
    offset: int
    lines: int
    last: bool


def _read_full(stream: BinaryIO, size: int) -> tuple[bytes, ValueError | None]:
    """``size`` bytes, fewer only at the end of the stream; or the bytes read before a
    damaged stream's ``ValueError``, and the error."""
    parts: list[bytes] = []
    got = 0
    while got < size:
        try:
            more = stream.read(size - got)
        except ValueError as error:
            return b"".join(parts), error
        if not more:
            break
        parts.append(more)
        got += len(more)
    return b"".join(parts), None


def _cut(data: bytes) -> int:
    """Where to end a piece of ``data``: before a likely game start (a line starting with '['
    after a blank line) in its second half, else after its last newline, else at its end."""
    half = len(data) // 2
    likely = max(data.rfind(b"\n\n[", half), data.rfind(b"\n\r\n[", half))
    if likely >= 0:
        return data.index(b"[", likely)
    return data.rfind(b"\n") + 1 or len(data)


def pieces(stream: BinaryIO, size: int) -> Iterator[Piece]:
    """The stream's text in pieces of about ``size`` bytes, cut where lines start.

    A carriage return ending a read is held back until the next byte shows whether it is
    lone (a line end of its own) or the first half of ``\\r\\n``. A read that fails (a
    damaged compressed stream) first gives what came before it, as a piece that is not the
    last, then raises.
    """
    pending, offset, lines = b"", 0, 0
    while True:
        block, failure = _read_full(stream, size)
        if failure is not None:
            if pending + block:  # not the last piece: its unfinished last line is read no further
                yield Piece(line_breaks((pending + block).removesuffix(b"\r")), offset, lines, False)
            raise failure
        last = len(block) < size
        data = pending + block
        held = not last and data.endswith(b"\r")
        data = line_breaks(data[:-1] if held else data)
        cut = len(data) if last else _cut(data)
        if cut or last:
            yield Piece(data[:cut], offset, lines, last)
        if last:
            return
        offset, lines = offset + cut, lines + data.count(b"\n", 0, cut)
        pending = data[cut:] + (b"\r" if held else b"")
