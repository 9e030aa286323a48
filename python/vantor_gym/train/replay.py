"""A bounded replay buffer of training positions, kept compact so millions fit in memory.

A position is its compact observation (108 ``uint64`` words, see ``vantor_gym.compact``),
its legal actions with the policy target over them, and the value target from its side
to move: about 2.3 KB where the planes and a dense policy would take 49 KB. Chess has at
most 218 legal moves in any position, so ``MAX_MOVES`` slots always hold them all.
"""

from __future__ import annotations

import hashlib
import math
import os
import warnings
import zipfile
from typing import IO, Any

import numpy as np
import numpy.typing as npt

from vantor_gym._numbers import integer
from vantor_gym._storage import open_regular, replace_atomically
from vantor_gym.compact import COMPACT_WORDS, check_flags, expand_observations, row_values

__all__ = ["MAX_MOVES", "ReplayBuffer"]

ACTIONS = 4672
MAX_MOVES = 256
"""The legal-move slots a stored position has: more than the most legal moves of any
position (218)."""
_FIELDS = ("observations", "actions", "policies", "values")
_STORED = (("observations", np.uint64, (COMPACT_WORDS,)), ("actions", np.int16, (MAX_MOVES,)),
           ("policies", np.float32, (MAX_MOVES,)), ("values", np.float32, ()))


class ReplayBuffer:
    """The last ``capacity`` positions added, in a ring: adding past it overwrites the
    oldest. ``add`` takes a batch of positions; ``sample`` draws a batch uniformly, with
    the planes expanded and the policy targets and legal masks made dense, ready for a
    network. ``save`` and ``load`` keep it whole (contents, order and counts) in one
    ``.npz`` file, so a run goes on from its checkpoint with the same buffer."""

    def __init__(self, capacity: int) -> None:
        if isinstance(capacity, bool) or not isinstance(capacity, (int, np.integer)) or capacity < 1:
            raise ValueError(f"capacity must be an integer of at least 1, not {capacity!r}")
        self.capacity = int(capacity)
        # Zeroed arrays take memory only as positions are written into them; rows at
        # len(self) and beyond are never read.
        try:
            self.observations = np.zeros((self.capacity, COMPACT_WORDS), np.uint64)
            # Legal actions ascending, -1 after the last; the policy target over the same slots.
            self.actions = np.zeros((self.capacity, MAX_MOVES), np.int16)
            self.policies = np.zeros((self.capacity, MAX_MOVES), np.float32)
            self.values = np.zeros(self.capacity, np.float32)
        except (MemoryError, ValueError):
            raise MemoryError(f"a replay buffer of capacity {self.capacity:,} (about {self.capacity * 2.4e-6:,.0f} "
                              "GB) does not fit in memory here") from None
        self.added = 0  # positions ever added; the next goes to added % capacity
        self._unchecked = False  # loaded from a file saved without a checksum

    def __len__(self) -> int:
        return min(self.added, self.capacity)

    def add(self, observations: npt.ArrayLike, masks: npt.ArrayLike, policies: npt.ArrayLike,
            values: npt.ArrayLike) -> None:
        """Adds n positions: compact observations ``(n, 108)`` as an environment writes them,
        legal masks ``bool (n, 4672)`` with at least one legal action, policy targets
        ``(n, 4672)`` (finite, non-negative, and 0 on every illegal action) and values
        ``(n,)`` in [-1, 1]. Every check runs before anything is stored; ``ValueError``
        names the first row refused."""
        rows = np.asarray(observations)
        mask = np.asarray(masks)
        if mask.dtype != np.bool_:
            if mask.dtype.kind not in "iu" or ((mask != 0) & (mask != 1)).any():
                raise ValueError(f"masks must be bool (or integers 0 and 1), not {mask.dtype}")
            mask = mask.astype(np.bool_)
        policy, value = np.asarray(policies), np.asarray(values)
        for name, given in (("policies", policy), ("values", value)):
            if given.dtype.kind not in "iuf":
                raise ValueError(f"{name} must be numbers, not {given.dtype}")
        policy, value = policy.astype(np.float32, copy=False), value.astype(np.float32, copy=False)
        n = _check_batch(rows, mask, policy, value)
        counts = mask.sum(axis=1)
        _refuse_rows(counts > MAX_MOVES, f"has more than {MAX_MOVES} legal actions", "row")
        # Each row's legal actions, ascending, in its first slots.
        order = np.argsort(~mask, axis=1, kind="stable")[:, :MAX_MOVES]
        filled = np.arange(MAX_MOVES) < counts[:, None]
        packed = (rows.view(np.uint64), np.where(filled, order, -1).astype(np.int16),
                  np.where(filled, np.take_along_axis(policy, order, axis=1), 0).astype(np.float32), value)
        _check_stored(*packed, "row")
        slots = (self.added + np.arange(n)) % self.capacity
        for name, array in zip(_FIELDS, packed):
            getattr(self, name)[slots] = array
        self.added += n

    def add_played(self, observations: npt.ArrayLike, listed: npt.ArrayLike, actions: npt.ArrayLike,
                   values: npt.ArrayLike) -> None:
        """Adds n positions whose policy target is the one action played there, as ``add``
        does with a one-hot policy but without dense arrays: ``listed`` ``int16 (n, 256)``
        holds each row's legal actions ascending, then -1 (as the buffer keeps them, and as
        ``vantor_gym._native.replay_games`` writes them), ``actions`` ``(n,)`` the one
        played, which must be among them."""
        listing = np.asarray(listed)
        played = np.asarray(actions)
        n = len(listing)
        if listing.dtype != np.int16 or listing.shape != (n, MAX_MOVES):
            raise ValueError(f"listed must be int16 (n, {MAX_MOVES}), not {listing.dtype} {listing.shape}")
        if played.dtype.kind not in "iu" or played.shape != (n,):
            raise ValueError(f"actions must be {n} integers, not {played.dtype} {played.shape}")
        value = np.asarray(values)
        rows = np.asarray(observations)
        if rows.dtype not in (np.uint64, np.int64) or rows.shape != (n, COMPACT_WORDS) or value.shape != (n,):
            raise ValueError(f"observations must be compact rows ({n}, {COMPACT_WORDS}) and values ({n},), not "
                             f"{rows.dtype} {rows.shape} and {value.shape}")
        if value.dtype.kind not in "iuf":
            raise ValueError(f"values must be numbers, not {value.dtype}")
        # The action played sits at the slot that counts the legal actions below it.
        slot = ((listing >= 0) & (listing < played[:, None])).sum(axis=1)
        found = listing[np.arange(n), np.minimum(slot, MAX_MOVES - 1)] == played
        _refuse_rows(~found, "has its action played not among its legal ones", "row")
        policy = np.zeros((n, MAX_MOVES), np.float32)
        policy[np.arange(n), slot] = 1.0
        stored_rows, stored_values = rows.view(np.uint64), value.astype(np.float32, copy=False)
        _check_stored(stored_rows, listing, policy, stored_values, "row")
        packed: list[np.ndarray] = [stored_rows, listing, policy, stored_values]
        # In at most two slices of the ring; of more rows than it holds, the last ones.
        kept = min(n, self.capacity)
        first = (self.added + n - kept) % self.capacity
        head = min(kept, self.capacity - first)
        for name, given in zip(_FIELDS, packed):
            stored: np.ndarray = getattr(self, name)
            newest = given[n - kept:]
            stored[first:first + head] = newest[:head]
            stored[:kept - head] = newest[head:]
        self.added += n

    def sample(self, batch_size: int, rng: np.random.Generator,
               dtype: npt.DTypeLike = np.float32) -> dict[str, np.ndarray]:
        """``batch_size`` positions drawn uniformly with replacement: ``observations``
        ``(b, 119, 8, 8)`` in ``dtype``, ``masks`` ``bool (b, 4672)``, ``policies``
        ``float32 (b, 4672)`` and ``values`` ``float32 (b,)``."""
        size = integer(batch_size, "batch_size", 1)
        if not isinstance(rng, np.random.Generator):
            raise TypeError(f"rng must be a numpy.random.Generator, not {type(rng).__name__}")
        if len(self) == 0:
            raise ValueError("the buffer is empty")
        return self.batch(rng.integers(len(self), size=size), dtype)

    def batch(self, indices: npt.ArrayLike, dtype: npt.DTypeLike = np.float32) -> dict[str, np.ndarray]:
        """The positions stored at ``indices`` (0 .. ``len(buffer)`` - 1), dense, as ``sample``
        gives them."""
        picked = np.asarray(indices)
        if picked.ndim != 1 or (picked.dtype.kind not in "iu" and picked.size):
            raise TypeError(f"indices must be a sequence of integers, not {picked.dtype} of shape {picked.shape}")
        picked = picked.astype(np.int64)
        if picked.size and (picked.min() < 0 or picked.max() >= len(self)):
            raise IndexError(f"indices must be in 0 .. {len(self) - 1}")
        actions = self.actions[picked].astype(np.int64)
        filled = actions >= 0
        rows, columns = np.nonzero(filled)
        masks = np.zeros((len(picked), ACTIONS), bool)
        policies = np.zeros((len(picked), ACTIONS), np.float32)
        masks[rows, actions[rows, columns]] = True
        policies[rows, actions[rows, columns]] = self.policies[picked][rows, columns]
        planes = np.empty((len(picked), 119, 8, 8), dtype)
        expand_observations(self.observations[picked], out=planes)
        return {"observations": planes, "masks": masks, "policies": policies, "values": self.values[picked]}

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the buffer with a checksum of its contents to ``path`` (``.npz``), through a
        temporary file renamed into place: a run killed while saving keeps the previous
        file, and a failed write leaves no temporary file behind."""
        used = len(self)
        arrays = {"capacity": np.int64(self.capacity), "added": np.int64(self.added),
                  **{name: getattr(self, name)[:used] for name in _FIELDS}}
        arrays["sha256"] = np.array(_checksum(arrays))

        def write(temporary: str) -> None:
            with open(temporary, "wb") as out:
                np.savez(out, **arrays)

        replace_atomically(path, write)

    @classmethod
    def load(cls, path: str | os.PathLike[str], capacity: int | None = None) -> ReplayBuffer:
        """The buffer ``save`` wrote to ``path``. Every position is checked as ``add`` checks
        it, and the checksum of the contents: ``ValueError`` naming the file and the fault
        for anything else (a file of another kind, damaged or cut short, a position no
        environment could give, a ``capacity`` other than the one given, sizes claimed
        beyond what it holds); ``OSError`` for a file that cannot be read. Nothing is
        made larger than the file's own contents before these checks."""
        name = os.fspath(path)
        if capacity is not None:
            capacity = integer(capacity, "capacity", 1)
        with open_regular(path, "a saved replay buffer") as source:
            try:
                arrays = _read_arrays(source, capacity)
            except OSError:
                raise
            except Exception as error:  # whatever a crafted or damaged zip makes its reader raise
                raise ValueError(f"{name!r} is not a saved replay buffer: {error or type(error).__name__}") from None
        try:
            buffer = cls._from_arrays(arrays)
        except ValueError as error:
            raise ValueError(f"{name!r} is not a whole replay buffer: {error}") from None
        except MemoryError:
            raise ValueError(f"{name!r}: a buffer of the {int(arrays['capacity']):,} positions it was made for does "
                             "not fit in memory here") from None
        buffer._unchecked = "sha256" not in arrays
        return buffer

    @classmethod
    def _from_arrays(cls, arrays: dict[str, np.ndarray]) -> ReplayBuffer:
        missing = [key for key in ("capacity", "added", *_FIELDS) if key not in arrays]
        if missing:
            raise ValueError(f"it lacks {', '.join(missing)}")
        if "sha256" not in arrays:
            warnings.warn("a replay buffer saved before checksums were kept: its positions are checked, not "
                          "its checksum", stacklevel=4)
        elif arrays["sha256"].shape != () or str(arrays["sha256"]) != _checksum(arrays):
            raise ValueError("its contents do not match the checksum saved with them")
        capacity, added = _counts(arrays)
        used = min(added, capacity)
        for name, dtype, shape in _STORED:
            data = arrays[name]
            if data.dtype != dtype or data.shape != (used, *shape):
                raise ValueError(f"{name} is {data.dtype} {data.shape}, not {np.dtype(dtype)} {(used, *shape)}")
        _check_stored(arrays["observations"], arrays["actions"], arrays["policies"], arrays["values"], "position")
        buffer = cls(capacity)
        buffer.added = added
        for name in _FIELDS:
            getattr(buffer, name)[:used] = arrays[name]
        return buffer


def _counts(arrays: dict[str, np.ndarray]) -> tuple[int, int]:
    """The capacity and the count of positions ever added that a saved buffer claims."""
    capacity, added = (arrays[key] for key in ("capacity", "added"))
    if capacity.shape != () or added.shape != () or capacity.dtype.kind not in "iu" or added.dtype.kind not in "iu":
        raise ValueError("its capacity and count are not integers")
    if not 1 <= int(capacity) <= 2**40 or not 0 <= int(added) < 2**62:
        raise ValueError(f"its capacity {int(capacity)} or count {int(added)} is out of range")
    return int(capacity), int(added)


def _read_arrays(source: IO[bytes], capacity: int | None) -> dict[str, np.ndarray]:
    """The arrays of a saved buffer, the counts first: every other array's claimed size is
    checked against them before it is read, since a small file may inflate to gigabytes."""
    with zipfile.ZipFile(source) as archive:
        members = {info.filename.removesuffix(".npy"): info for info in archive.infolist()}
        arrays: dict[str, np.ndarray] = {key: _member(archive, members[key], 1024)
                                         for key in ("capacity", "added", "sha256") if key in members}
        if "capacity" not in arrays or "added" not in arrays:
            return arrays  # refused, naming what it lacks, with the rest of the checks
        claimed, added = _counts(arrays)
        if capacity is not None and claimed != capacity:
            raise ValueError(f"it keeps {claimed:,} positions, not the {capacity:,} asked for")
        used = min(added, claimed)
        for name, dtype, shape in _STORED:
            if name in members:
                arrays[name] = _member(archive, members[name], used * np.dtype(dtype).itemsize * math.prod(shape))
    return arrays


def _member(archive: zipfile.ZipFile, info: zipfile.ZipInfo, limit: int) -> np.ndarray:
    """One ``.npy`` member, read only when its header claims at most ``limit`` bytes of
    plain numbers, and only as many bytes as it claims."""
    with archive.open(info) as member:
        version = np.lib.format.read_magic(member)
        header = np.lib.format.read_array_header_1_0 if version == (1, 0) else np.lib.format.read_array_header_2_0
        shape, fortran, dtype = header(member)
        size = math.prod(shape) * dtype.itemsize
        if dtype.hasobject or size > limit:
            raise ValueError(f"{info.filename} claims {shape} {dtype}, where at most {limit:,} bytes of numbers belong")
        data = bytearray(size)
        view, done = memoryview(data), 0
        while done < size:
            got = member.readinto(view[done:])  # type: ignore[attr-defined]
            if not got:
                raise ValueError(f"{info.filename} is cut short")
            done += got
    return np.frombuffer(data, dtype).reshape(shape, order="F" if fortran else "C")


def _checksum(arrays: dict[str, np.ndarray]) -> str:
    """SHA-256 of the buffer's counts and contents, each with its dtype and shape."""
    digest = hashlib.sha256()
    for key in ("capacity", "added", *_FIELDS):
        array = np.ascontiguousarray(arrays[key])
        digest.update(f"{key}:{array.dtype.str}{array.shape}|".encode())
        digest.update(array.data if array.size else b"")
    return digest.hexdigest()


def _refuse_rows(bad: Any, fault: str, kind: str) -> None:
    if bad.any():
        raise ValueError(f"{kind} {int(np.flatnonzero(bad)[0])} {fault}")


def _check_stored(rows: np.ndarray, actions: np.ndarray, policies: np.ndarray, values: np.ndarray, kind: str) -> None:
    """What every stored position must be, whether added or loaded: compact rows an
    environment could write, legal actions ascending and padded with -1, a policy on
    them alone, a value in [-1, 1]."""
    check_flags(row_values(rows), kind)
    filled = actions >= 0
    _refuse_rows(((actions < -1) | (actions >= ACTIONS)).any(axis=1), f"holds an action outside 0 .. {ACTIONS - 1}",
                 kind)
    _refuse_rows(~filled[:, 0], "has no legal action", kind)
    _refuse_rows((filled[:, 1:] & ~filled[:, :-1]).any(axis=1), "has an action after its list ended", kind)
    _refuse_rows(((actions[:, 1:] <= actions[:, :-1]) & filled[:, 1:]).any(axis=1),
                 "lists its actions out of ascending order", kind)
    _refuse_rows((~np.isfinite(policies) | (policies < 0)).any(axis=1), "has a policy that is not finite and "
                 "non-negative", kind)
    _refuse_rows(((policies != 0) & ~filled).any(axis=1), "puts policy weight past its legal actions", kind)
    _refuse_rows(~np.isfinite(values) | (np.abs(values) > 1), "has a value outside [-1, 1]", kind)


def _check_batch(rows: np.ndarray, mask: np.ndarray, policy: np.ndarray, value: np.ndarray) -> int:
    if rows.dtype not in (np.uint64, np.int64) or rows.ndim != 2 or rows.shape[1] != COMPACT_WORDS:
        raise ValueError(f"observations must be compact rows, uint64 (n, {COMPACT_WORDS}), not {rows.dtype} "
                         f"{rows.shape}")
    n = int(rows.shape[0])
    for name, array, shape in (("masks", mask, (n, ACTIONS)), ("policies", policy, (n, ACTIONS)),
                               ("values", value, (n,))):
        if array.shape != shape:
            raise ValueError(f"{name} must have shape {shape}, not {array.shape}")
    if not np.isfinite(policy).all() or (policy < 0).any():
        raise ValueError("policies must be finite and non-negative")
    if (policy[~mask] != 0).any():
        raise ValueError("a policy puts weight on an illegal action")
    if not np.isfinite(value).all() or (np.abs(value) > 1).any():
        raise ValueError("values must be in [-1, 1]")
    return n
