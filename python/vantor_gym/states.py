"""A ``vantor.State`` as plain data, to cross process and machine boundaries.

``State`` itself cannot be pickled. ``state_to_dict`` gives its fields as Python ints,
lists and dicts (picklable, and JSON-ready but for the int keys of the two maps), and
``state_to_bytes`` a compact little-endian record; ``state_from_dict`` and
``state_from_bytes`` rebuild a State that holds exactly the same values, whatever they
are, so a snapshot restored on the other side plays on exactly as it would have here.
"""

from __future__ import annotations

import struct
from collections.abc import Mapping
from typing import Any

import numpy as np

import vantor
from vantor_gym import _native

__all__ = ["state_from_bytes", "state_from_dict", "state_to_bytes", "state_to_dict"]

_COUNTERS = ("state_pos", "total_move_count", "no_progress_count", "n_repititions", "prev_n_repititions")
_POSITION = ("side", "enpassant", "castle")
FIELDS = ("bitboards", "occupancies", *_POSITION, "state_history", "move_index", *_COUNTERS, "repetition_count")

_MAGIC = b"VSTATE\x00\x01"
_HEAD = struct.Struct("<8s8i12Q3Q3I")
_INT32 = (-(2**31), 2**31 - 1)


def state_to_dict(state: vantor.State) -> dict[str, Any]:
    """Every field of the state, by name, as plain Python values."""
    if not isinstance(state, vantor.State):
        raise TypeError(f"expected a vantor.State, not {type(state).__name__}")
    return {
        "bitboards": [int(b) for b in state.bitboards],
        "occupancies": [int(b) for b in state.occupancies],
        "side": state.side,
        "enpassant": state.enpassant,
        "castle": state.castle,
        "state_history": state.state_history,
        "move_index": state.move_index,
        "state_pos": state.state_pos,
        "total_move_count": state.total_move_count,
        "no_progress_count": state.no_progress_count,
        "n_repititions": state.n_repititions,
        "prev_n_repititions": state.prev_n_repititions,
        "repetition_count": state.repetition_count,
    }


def _int32(value: object, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not _INT32[0] <= int(value) <= _INT32[1]:
        raise ValueError(f"{name} must fit in 32 bits, got {value}")
    return int(value)


def _sets(value: object, count: int, name: str) -> list[int]:
    items = list(value) if isinstance(value, (list, tuple, np.ndarray)) else None
    if items is None or len(items) != count:
        raise ValueError(f"{name} must hold {count} sets")
    sets = []
    for item in items:
        if isinstance(item, bool) or not isinstance(item, (int, np.integer)) or not 0 <= int(item) < 2**64:
            raise ValueError(f"{name} must hold 64-bit unsigned ints")
        sets.append(int(item))
    return sets


def state_from_dict(fields: Mapping[str, Any]) -> vantor.State:
    """A new State holding the given fields (those of ``state_to_dict``, all required).

    A missing or unknown field, or a value of the wrong type or range, raises
    ``ValueError`` or ``TypeError``; a history entry of the wrong shape is taken as it
    is, and refused, as a State edited by hand is, by ``restore_state``.
    """
    if not isinstance(fields, Mapping):
        raise TypeError(f"expected a mapping of State fields, not {type(fields).__name__}")
    missing, unknown = set(FIELDS) - set(fields), set(fields) - set(FIELDS)
    if missing or unknown:
        raise ValueError(f"State fields missing: {sorted(missing)}, unknown: {sorted(unknown)}")
    state = _native.state_with_position(
        _sets(fields["bitboards"], 12, "bitboards"),
        _sets(fields["occupancies"], 3, "occupancies"),
        *(_int32(fields[name], name) for name in _POSITION),
    )
    for name in _COUNTERS:
        setattr(state, name, _int32(fields[name], name))
    state.state_history = fields["state_history"]
    state.move_index = fields["move_index"]
    state.repetition_count = fields["repetition_count"]
    return state


def state_to_bytes(state: vantor.State) -> bytes:
    """The state as one little-endian record (a few hundred bytes to 30 KB)."""
    d = state_to_dict(state)
    history = d["state_history"]
    shapes = [len(entry) == 14 and all(len(plane) == 64 for plane in entry) for entry in history]
    if not all(shapes):
        raise ValueError("state_history entries must be 14 planes of 64 values to be written as bytes")
    head = _HEAD.pack(
        _MAGIC,
        *(d[name] for name in (*_POSITION, *_COUNTERS)),
        *d["bitboards"],
        *d["occupancies"],
        len(history),
        len(d["move_index"]),
        len(d["repetition_count"]),
    )
    planes = np.array(history, "<i4").reshape(-1).tobytes()
    moves = np.array(sorted(d["move_index"].items()), "<i4").reshape(-1).tobytes()
    seen = sorted(d["repetition_count"].items())
    hashes = np.array([h for h, _ in seen], "<u8").tobytes()
    counts = np.array([c for _, c in seen], "<i4").tobytes()
    return head + planes + moves + hashes + counts


def state_from_bytes(data: bytes) -> vantor.State:
    """The State a ``state_to_bytes`` record holds; ``ValueError`` for anything else."""
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"expected bytes, not {type(data).__name__}")
    data = bytes(data)
    if len(data) < _HEAD.size or data[:8] != _MAGIC:
        raise ValueError("not a vantor State record")
    head = _HEAD.unpack_from(data)
    values = head[1:9]
    bitboards, occupancies = head[9:21], head[21:24]
    entries, moves, seen = head[24:27]
    sizes = (entries * 14 * 64 * 4, moves * 8, seen * 8, seen * 4)
    if len(data) != _HEAD.size + sum(sizes):
        raise ValueError("the State record is cut short or too long")
    offset = _HEAD.size
    parts = []
    for size, dtype in zip(sizes, ("<i4", "<i4", "<u8", "<i4")):
        parts.append(np.frombuffer(data, dtype, size // np.dtype(dtype).itemsize, offset))
        offset += size
    planes, pairs, hashes, counts = parts
    fields: dict[str, Any] = dict(zip((*_POSITION, *_COUNTERS), values))
    fields["bitboards"], fields["occupancies"] = list(bitboards), list(occupancies)
    fields["state_history"] = planes.reshape(entries, 14, 64).tolist()
    fields["move_index"] = dict(pairs.reshape(moves, 2).tolist())
    fields["repetition_count"] = dict(zip(hashes.tolist(), counts.tolist()))
    return state_from_dict(fields)
