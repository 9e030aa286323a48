"""Saved networks and checkpoints: plain data only, with a checksum of their contents.

A file holds ``{"format": ..., "sha256": ..., "payload": ...}``: the payload is tensors,
numbers, strings, bytes and containers of them, so ``torch.load(weights_only=True)`` reads
it without running any code from the file, and the checksum over the payload's every value
finds what PyTorch's reader does not check (a flipped bit in a tensor loads silently).
Files are written through a temporary file renamed into place (``vantor_gym._storage``).
"""

from __future__ import annotations

import hashlib
import io
import os
import warnings
from typing import Any

import torch

from vantor_gym._parsing import one_line
from vantor_gym._storage import open_regular, replace_atomically

__all__ = ["checksum", "load_checked", "save_checked"]


def _feed(digest: Any, value: Any) -> None:
    """Adds value to the digest with its type and size, so that no two payloads feed the same bytes."""
    if isinstance(value, torch.Tensor):
        flat = value.detach().cpu().contiguous().reshape(-1)
        digest.update(f"T{value.dtype}{tuple(value.shape)}|".encode())
        digest.update(flat.view(torch.uint8).numpy().tobytes() if flat.numel() else b"")
    elif isinstance(value, dict):
        digest.update(f"D{len(value)}|".encode())
        for key, item in value.items():
            _feed(digest, key)
            _feed(digest, item)
    elif isinstance(value, (list, tuple)):
        digest.update(f"{'L' if isinstance(value, list) else 'U'}{len(value)}|".encode())
        for item in value:
            _feed(digest, item)
    elif isinstance(value, (str, bytes)):
        data = value.encode("utf-8", "surrogatepass") if isinstance(value, str) else value
        digest.update(f"{'S' if isinstance(value, str) else 'B'}{len(data)}|".encode())
        digest.update(data)
    elif value is None or isinstance(value, (bool, int, float)):
        digest.update(f"{type(value).__name__}:{value!r}|".encode())
    else:
        raise TypeError(f"a saved file holds no {type(value).__name__}")


def checksum(payload: Any) -> str:
    """The SHA-256 of every value of the payload, in order, as hex."""
    digest = hashlib.sha256()
    _feed(digest, payload)
    return digest.hexdigest()


def save_checked(payload: Any, path: str | os.PathLike[str], format: str) -> None:
    """Writes the payload to ``path`` with its checksum, through a temporary file;
    ``OSError`` naming the file when it cannot be written (PyTorch says so with a
    ``RuntimeError``)."""
    document = {"format": format, "sha256": checksum(payload), "payload": payload}

    def write(temporary: str) -> None:
        try:
            torch.save(document, temporary)
        except RuntimeError as error:
            raise OSError(f"cannot write {os.fspath(path)!r}: {one_line(error)}") from None

    replace_atomically(path, write)


# Far above any network or checkpoint this library writes: a file past it is refused
# rather than read into all memory.
MAX_BYTES = 8 << 30


def load_checked(path: str | os.PathLike[str], format: str, what: str, legacy: frozenset[str] = frozenset()) -> Any:
    """The payload ``save_checked`` wrote to ``path``: ``OSError`` when the file cannot be
    read, ``ValueError`` naming it when it is not such a file (any file PyTorch cannot
    read as plain data, another format, a checksum that does not match). A file written
    before checksums were kept (a dict with the ``legacy`` keys and no ``sha256``) is
    given back whole, with a warning."""
    name = os.fspath(path)
    with open_regular(path, what, MAX_BYTES) as source:
        data = source.read()
    try:
        document = torch.load(io.BytesIO(data), map_location="cpu", weights_only=True)
    except Exception as error:
        raise ValueError(f"{name!r} is not {what}: PyTorch cannot read it as plain data ({one_line(error)})") from None
    if not isinstance(document, dict):
        raise ValueError(f"{name!r} is not {what}: it holds a {type(document).__name__}")
    if "sha256" not in document and legacy and legacy <= document.keys():
        warnings.warn(f"{name!r} carries no checksum (it was saved before checksums were kept): its contents "
                      "cannot be checked; saving it again adds one", stacklevel=3)
        return document
    if document.get("format") != format:
        raise ValueError(f"{name!r} is not {what}: its format is {document.get('format')!r}, not {format!r}")
    try:
        matches = checksum(document.get("payload")) == document["sha256"]
    except Exception as error:  # a value no saver writes (a sparse or meta tensor, nesting past the stack)
        raise ValueError(f"{name!r} is not {what}: {error or type(error).__name__}") from None
    if not matches:
        raise ValueError(f"{name!r} is damaged: its contents do not match the checksum saved with them")
    return document["payload"]
