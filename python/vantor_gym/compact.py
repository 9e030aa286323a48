"""Compact observations: the 119 planes of a position in 108 ``uint64`` words, and their
exact expansion, in NumPy or in PyTorch on any device.

A position's 119 x 8 x 8 planes are built from little: the piece sets of the eight
recorded positions, their repetition values and seven numbers. ``BatchEnv(compact=True)``,
``VantorVectorEnv(compact=True)``, ``Search(compact=True)`` and the self-play collector's
``compact=True`` give those instead, one row of ``COMPACT_WORDS`` words a position (864
bytes rather than 30,464), and ``expand_observations`` turns rows back into exactly the
planes the same games would have given, in the orientation the rows were written in.

Layout of a row (``uint64``; viewed as ``int64`` for PyTorch, which reads the same bits):

- words 0 .. 95: the piece sets of the eight history slots, newest first, twelve a slot in
  piece-code order (``PNBRQKpnbrqk``, white's first), as the board keeps them: bit ``s``
  is square ``s`` (a8 = 0, h8 = 7, a1 = 56), never turned; a slot not yet recorded is 0.
- words 96 .. 107: 24 ``int32`` values, value ``2j`` in the low 32 bits of word ``96 + j``
  and value ``2j + 1`` in its high 32 bits:

  ====== ============================================================
  0..15  the two repetition values of each slot (slot t: 2t, 2t + 1)
  16     side to move, 0 white, 1 black
  17     step count
  18..21 castling rights K, Q, k, q, 0 or 1
  22     no-progress count
  23     1 when the planes are turned by 180 degrees, else 0
  ====== ============================================================

Expanded, slot ``t``'s plane ``k`` < 12 shows set ``k`` (set ``(k + 6) % 12`` with black
to move: the side to move's pieces first), square ``s`` holding bit ``s``, or bit
``63 - s`` when turned; its planes 12 and 13 hold the two repetition values, and planes
112 .. 118 the seven numbers 16 .. 22 in that order.
"""

from __future__ import annotations

import importlib
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["COMPACT_WORDS", "expand_observations", "expand_observations_torch"]

PLANES = 119
HISTORY = 8
PIECE_SETS = 12
PIECE_WORDS = HISTORY * PIECE_SETS
VALUES = 24
COMPACT_WORDS = PIECE_WORDS + VALUES // 2
"""The ``uint64`` words of a compact row: 96 piece sets and 12 words of values."""
# Offsets of the int32 values.
REPETITIONS = 0
SIDE = 16
MOVE_COUNT = 17
CASTLING = 18
NO_PROGRESS = 22
TURNED = 23
# The seven values that fill planes 112 .. 118.
_SCALARS = slice(SIDE, NO_PROGRESS + 1)

_OUT_DTYPES = (np.dtype(np.int32), np.dtype(np.float32))
_LOW = 0xFFFFFFFF
_SIGN = 0x80000000


def _values(tail: Any) -> tuple[Any, Any]:
    """The int32 values packed in the tail words (int64), as int64: the low halves sign-
    extended by flipping and subtracting the sign bit, the high ones by an arithmetic
    shift. Only masks, shifts and subtraction, which NumPy and PyTorch both have."""
    return ((tail & _LOW) ^ _SIGN) - _SIGN, tail >> 32


def row_values(rows: np.ndarray) -> np.ndarray:
    """The 24 int32 values of each row of ``uint64 (n, COMPACT_WORDS)`` rows, as ``int64 (n, 24)``."""
    low, high = _values(rows[:, PIECE_WORDS:].view(np.int64))
    values = np.empty((len(rows), VALUES), np.int64)
    values[:, 0::2] = low
    values[:, 1::2] = high
    return values


_FLAGS = ((SIDE, 1, "a side to move"), (CASTLING, 4, "a castling right"), (TURNED, 1, "a turn flag"))


def check_flags(values: np.ndarray, kind: str = "row") -> None:
    """``ValueError`` naming the first row whose side, castling rights or turn flag is
    neither 0 nor 1: no environment writes such a row."""
    for first, count, what in _FLAGS:
        flags = values[:, first : first + count]
        bad = ((flags != 0) & (flags != 1)).any(axis=1)
        if bad.any():
            raise ValueError(f"compact observations: {kind} {int(np.flatnonzero(bad)[0])} holds {what} other than "
                             "0 and 1, which no environment writes")


def expand_observations(compact: npt.ArrayLike, out: np.ndarray | None = None) -> np.ndarray:
    """The 119 x 8 x 8 planes of each compact row, exactly as the environment writes them.

    ``compact`` is ``uint64`` (or ``int64``) of shape ``(..., COMPACT_WORDS)``; the result
    has shape ``(..., 119, 8, 8)``, ``int32``, or is ``out`` (``int32`` or ``float32``,
    C-contiguous, that shape) filled. ``ValueError`` for anything else, and for rows whose
    side, castling rights or turn flag is neither 0 nor 1 (no environment writes them)."""
    words = np.asarray(compact)
    if words.dtype not in (np.dtype(np.uint64), np.dtype(np.int64)):
        raise ValueError(f"compact observations must be uint64 or int64, not {words.dtype}")
    if words.ndim < 1 or words.shape[-1] != COMPACT_WORDS:
        raise ValueError(f"compact observations must have shape (..., {COMPACT_WORDS}), not {words.shape}")
    lead = words.shape[:-1]
    shape = (*lead, PLANES, 8, 8)
    if out is None:
        out = np.empty(shape, np.int32)
    elif not isinstance(out, np.ndarray) or out.shape != shape or out.dtype not in _OUT_DTYPES:
        raise ValueError(f"out must be an int32 or float32 array of shape {shape}")
    elif not out.flags.c_contiguous or not out.flags.writeable:
        raise ValueError("out must be C-contiguous and writable")
    # Little-endian words, so that a set's byte i holds squares 8i .. 8i + 7.
    rows = np.ascontiguousarray(words.reshape(-1, COMPACT_WORDS))
    rows = rows.view(np.uint64).astype("<u8", copy=False)
    n = len(rows)
    values = row_values(rows)
    check_flags(values)
    side, turned = values[:, SIDE], values[:, TURNED]
    planes = out.reshape(n, PLANES, 64)
    history = planes[:, : HISTORY * 14].reshape(n, HISTORY, 14, 64)
    # The side to move's sets first: with black to move a slot's sets are read from 6 on.
    order = (np.arange(PIECE_SETS) + 6 * side[:, None]) % PIECE_SETS
    sets = np.take_along_axis(rows[:, :PIECE_WORDS].reshape(n, HISTORY, PIECE_SETS), order[:, None, :], axis=2)
    bits = np.unpackbits(sets.view(np.uint8).reshape(n, HISTORY, PIECE_SETS, 8), axis=-1, bitorder="little")
    flip = turned == 1
    if flip.any():
        bits[flip] = bits[flip, ..., ::-1]
    history[:, :, :PIECE_SETS] = bits
    history[:, :, PIECE_SETS:] = values[:, REPETITIONS : REPETITIONS + 2 * HISTORY].reshape(n, HISTORY, 2, 1)
    planes[:, HISTORY * 14 :] = values[:, _SCALARS, None]
    return out


def expand_observations_torch(compact: Any, dtype: Any = None) -> Any:
    """``expand_observations`` for a PyTorch tensor, on the tensor's device: ``compact``
    is ``int64`` (a ``uint64`` array moved with ``torch.from_numpy(a.view(np.int64))``)
    or ``uint64`` of shape ``(..., COMPACT_WORDS)``; the result ``(..., 119, 8, 8)`` in
    ``dtype`` (``torch.int32`` by default, ``torch.float32`` for a network). Values are
    not checked (that would wait for the device): give it rows an environment wrote.
    PyTorch is imported on the first call."""
    # Imported by name: PyTorch is optional and brings no stubs mypy could read here.
    torch = importlib.import_module("torch")
    words = compact
    if not isinstance(words, torch.Tensor):
        raise TypeError(f"compact must be a torch.Tensor, not {type(words).__name__}")
    if words.dtype == getattr(torch, "uint64", None):
        words = words.view(torch.int64)
    if words.dtype != torch.int64:
        raise ValueError(f"compact observations must be int64 or uint64, not {words.dtype}")
    if words.dim() < 1 or words.shape[-1] != COMPACT_WORDS:
        raise ValueError(f"compact observations must have shape (..., {COMPACT_WORDS}), not {tuple(words.shape)}")
    lead = tuple(words.shape[:-1])
    rows = words.reshape(-1, COMPACT_WORDS)
    n = rows.shape[0]
    low, high = _values(rows[:, PIECE_WORDS:])
    values = torch.stack((low, high), dim=-1).reshape(n, VALUES)
    side, turned = values[:, SIDE], values[:, TURNED]
    squares = torch.arange(64, device=rows.device)
    order = (torch.arange(PIECE_SETS, device=rows.device) + 6 * side[:, None]) % PIECE_SETS
    sets = torch.gather(rows[:, :PIECE_WORDS].reshape(n, HISTORY, PIECE_SETS), 2,
                        order[:, None, :].expand(n, HISTORY, PIECE_SETS))
    # Square s shows bit s, or bit 63 - s on turned planes; the arithmetic shift of a set
    # with bit 63 on still leaves that bit lowest.
    shifts = torch.where(turned[:, None] == 1, 63 - squares, squares)
    bits = (sets[..., None] >> shifts[:, None, None, :]) & 1
    repetitions = values[:, REPETITIONS : REPETITIONS + 2 * HISTORY].reshape(n, HISTORY, 2, 1).expand(n, HISTORY, 2, 64)
    history = torch.cat((bits, repetitions), dim=2).reshape(n, HISTORY * 14, 64)
    scalars = values[:, _SCALARS, None].expand(n, NO_PROGRESS + 1 - SIDE, 64)
    planes = torch.cat((history, scalars), dim=1)
    return planes.to(torch.int32 if dtype is None else dtype).reshape(*lead, PLANES, 8, 8)
