"""A bounded replay buffer of training positions, kept compact so millions fit in memory.

A position is its compact observation (108 ``uint64`` words, see ``vantor_gym.compact``),
its legal actions with the policy target over them, and the value target from its side
to move: about 2.3 KB where the planes and a dense policy would take 49 KB. Chess has at
most 218 legal moves in any position, so ``MAX_MOVES`` slots always hold them all.
"""

from __future__ import annotations

import os
import numpy as np
import numpy.typing as npt

from vantor_gym.compact import COMPACT_WORDS, expand_observations

__all__ = ["MAX_MOVES", "ReplayBuffer"]

ACTIONS = 4672
MAX_MOVES = 256
_FIELDS = ("observations", "actions", "policies", "values")


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
        self.observations = np.zeros((self.capacity, COMPACT_WORDS), np.uint64)
        # Legal actions ascending, -1 after the last; the policy target over the same slots.
        self.actions = np.full((self.capacity, MAX_MOVES), -1, np.int16)
        self.policies = np.zeros((self.capacity, MAX_MOVES), np.float32)
        self.values = np.zeros(self.capacity, np.float32)
        self.added = 0  # positions ever added; the next goes to added % capacity

    def __len__(self) -> int:
        return min(self.added, self.capacity)

    def add(self, observations: npt.ArrayLike, masks: npt.ArrayLike, policies: npt.ArrayLike,
            values: npt.ArrayLike) -> None:
        """Adds n positions: compact observations ``(n, 108)``, legal masks ``bool (n,
        4672)``, policy targets ``(n, 4672)`` (finite, non-negative, and 0 on every
        illegal action) and values ``(n,)`` in [-1, 1]. Every check runs before anything
        is stored."""
        rows = np.asarray(observations)
        mask = np.asarray(masks, dtype=bool)
        policy = np.asarray(policies, dtype=np.float32)
        value = np.asarray(values, dtype=np.float32)
        n = _check_batch(rows, mask, policy, value)
        counts = mask.sum(axis=1)
        if (counts > MAX_MOVES).any():
            raise ValueError(f"a position has more than {MAX_MOVES} legal actions")
        slots = (self.added + np.arange(n)) % self.capacity
        # Each row's legal actions, ascending, in its first slots.
        order = np.argsort(~mask, axis=1, kind="stable")[:, :MAX_MOVES]
        filled = np.arange(MAX_MOVES) < counts[:, None]
        taken = np.take_along_axis(policy, order, axis=1)
        self.observations[slots] = rows.view(np.uint64) if rows.dtype == np.int64 else rows
        self.actions[slots] = np.where(filled, order, -1)
        self.policies[slots] = np.where(filled, taken, 0)
        self.values[slots] = value
        self.added += n

    def sample(self, batch_size: int, rng: np.random.Generator,
               dtype: npt.DTypeLike = np.float32) -> dict[str, np.ndarray]:
        """``batch_size`` positions drawn uniformly with replacement: ``observations``
        ``(b, 119, 8, 8)`` in ``dtype``, ``masks`` ``bool (b, 4672)``, ``policies``
        ``float32 (b, 4672)`` and ``values`` ``float32 (b,)``."""
        if len(self) == 0:
            raise ValueError("the buffer is empty")
        picked = rng.integers(len(self), size=int(batch_size))
        return self.batch(picked, dtype)

    def batch(self, indices: npt.ArrayLike, dtype: npt.DTypeLike = np.float32) -> dict[str, np.ndarray]:
        """The positions stored at ``indices`` (0 .. ``len(buffer)`` - 1), dense, as ``sample``
        gives them."""
        picked = np.asarray(indices, dtype=np.int64)
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
        """Writes the buffer to ``path`` (``.npz``), through a temporary file renamed into
        place, so a run killed while saving keeps the previous file."""
        temporary = f"{os.fspath(path)}.tmp.npz"
        used = len(self)
        np.savez(temporary, capacity=self.capacity, added=self.added,
                 **{name: getattr(self, name)[:used] for name in _FIELDS})
        os.replace(temporary, path)

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> ReplayBuffer:
        with np.load(path) as saved:
            buffer = cls(int(saved["capacity"]))
            buffer.added = int(saved["added"])
            used = len(buffer)
            for name in _FIELDS:
                data = saved[name]
                if len(data) != used:
                    raise ValueError(f"{os.fspath(path)!r} is not a whole replay buffer: {name} has {len(data)} "
                                     f"rows, not {used}")
                getattr(buffer, name)[:used] = data
        return buffer


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
