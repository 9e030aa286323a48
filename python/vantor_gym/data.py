"""Training positions of a game dataset for PyTorch, replayed natively as they are read::

    import torch
    from torch.utils.data import DataLoader
    from vantor_gym.data import PositionDataset, legal_mask
    from vantor_gym.compact import expand_observations_torch

    dataset = PositionDataset("games", batch_size=1024, seed=0)
    for epoch in range(epochs):
        dataset.set_epoch(epoch)
        for batch in DataLoader(dataset, batch_size=None, num_workers=2):
            planes = expand_observations_torch(batch["observations"].to(device), torch.float32)
            mask = legal_mask(batch["legal"].to(device))
            ...

``PositionDataset`` reads a ``vantor_gym.dataset.GameDataset`` and replays each game from
its start (its FEN, or the initial position) through its recorded moves on worker threads
in C++ (``vantor_gym._native.replay_games``), under the ``"automatic"`` rules: the clock and
repetition planes count as the standard rules count them, but a recorded game is not cut
by a draw nobody claimed; the replay ends one only at mate, stalemate, insufficient
material, seventy-five moves or a fifth occurrence, and such a game gives its positions
up to there. A position's row is exactly the one ``BatchEnv(compact=True,
rules="automatic")`` writes for it, the game started in a fresh environment.

PyTorch is imported when a ``PositionDataset`` is made, pyarrow when a shard is read.
"""

from __future__ import annotations

import importlib
import os
import warnings
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np

from vantor_gym import _native
from vantor_gym._numbers import integer, real
from vantor_gym.compact import COMPACT_WORDS, PIECE_WORDS, SIDE, expand_observations
from vantor_gym.fen import read_start

if TYPE_CHECKING:
    import torch
    from torch.utils.data import IterableDataset

    from vantor_gym.dataset import GameDataset

    _Base = IterableDataset[dict[str, torch.Tensor]]
else:
    # PyTorch is optional: the class is registered as an IterableDataset when one is made.
    _Base = object

__all__ = ["ACTIONS", "LEGAL_WORDS", "PositionDataset", "legal_mask"]

ACTIONS = 4672
"""The number of actions."""
LEGAL_WORDS = 73
"""The words of a packed legal mask: bit ``s`` of word ``p`` is action ``64 * p + s``."""
RULES = "automatic"
"""The rules games are replayed under."""
_NO_RESULT = 2  # the result column's nulls, filled
_MAX_WEIGHT = 1e6
_COLUMNS = ["game", "moves", "start_fen", "result", "white_elo", "black_elo"]
# The word and the half of it that hold the side to move in a compact row.
_SIDE_WORD = PIECE_WORDS + SIDE // 2
_SKIPS = {"illegal": "with an illegal move", "start": "from a start the replay cannot play",
          "result": "with a result other than 1, 0, -1 or null", "mate": "whose result contradicts the mate played"}


def _torch() -> Any:
    """PyTorch, imported by name (it is optional), with the dataset registered as one of its
    iterable datasets."""
    try:
        torch = importlib.import_module("torch")
        data = importlib.import_module("torch.utils.data")
    except ImportError as error:
        raise ImportError(f"vantor_gym.data needs PyTorch, which is missing ({error}): pip install 'vantor[train]'",
                          name="torch") from error
    if not issubclass(PositionDataset, data.IterableDataset):  # registering again would empty every ABC cache
        data.IterableDataset.register(PositionDataset)
    return torch


def legal_mask(legal: Any) -> Any:
    """The bool mask ``(..., 4672)`` of packed legal words ``(..., 73)``, as a batch's
    ``legal`` holds them: a ``torch.Tensor`` (``int64``) gives a tensor on the same device,
    a NumPy array (``int64`` or ``uint64``) an array."""
    if isinstance(legal, np.ndarray):
        if legal.dtype not in (np.dtype(np.int64), np.dtype(np.uint64)) or legal.shape[-1:] != (LEGAL_WORDS,):
            raise ValueError(f"legal must be int64 or uint64 of shape (..., {LEGAL_WORDS}), not {legal.dtype} "
                             f"{legal.shape}")
        octets = np.ascontiguousarray(legal).astype("<u8", copy=False).view(np.uint8)
        return np.unpackbits(octets, axis=-1, bitorder="little").astype(bool)
    torch = _torch()
    if not isinstance(legal, torch.Tensor):
        raise TypeError(f"legal must be a torch.Tensor or a numpy.ndarray, not {type(legal).__name__}")
    if legal.dtype != torch.int64 or legal.dim() < 1 or legal.shape[-1] != LEGAL_WORDS:
        raise ValueError(f"legal must be int64 of shape (..., {LEGAL_WORDS}), not {legal.dtype} {tuple(legal.shape)}")
    # An arithmetic shift leaves bit 63 lowest too, so the sign of a word does not matter.
    bits = (legal[..., None] >> torch.arange(64, device=legal.device)) & 1
    return bits.bool().reshape(*legal.shape[:-1], ACTIONS)


@dataclass
class _Shard:
    """The columns of one shard a replay needs, as NumPy arrays."""

    number: int
    actions: np.ndarray  # int16, every game's moves one after the other
    offsets: np.ndarray  # int64, games + 1
    fens: dict[int, str]  # row -> start FEN, for the rows that have one
    results: np.ndarray  # int8, _NO_RESULT for null
    elos: np.ndarray  # int16 (games, 2), white's and black's, -1 unknown
    games: np.ndarray  # int64, the game numbers


@dataclass
class _Positions:
    """A window's positions: the replay's rows and, for every position kept, its row and
    targets, in the order they are to be given."""

    compact: np.ndarray
    legal: np.ndarray
    row: np.ndarray  # int64: each position's row of compact and legal
    action: np.ndarray
    value: np.ndarray
    ratings: np.ndarray
    ply: np.ndarray

    def __len__(self) -> int:
        return len(self.row)

    def part(self, picked: slice) -> _Positions:
        return _Positions(self.compact, self.legal, *(column[picked] for column in self._targets()))

    def detached(self) -> _Positions:
        """The same positions with rows of their own: the replay's buffers are the next window's."""
        return _Positions(self.compact[self.row], self.legal[self.row], np.arange(len(self.row)),
                          *(column.copy() for column in self._targets()[1:]))

    def _targets(self) -> tuple[np.ndarray, ...]:
        return self.row, self.action, self.value, self.ratings, self.ply


# A batch's tensors share one block of memory (one block for a DataLoader worker to hand over,
# not six), laid out in this order, which keeps each one aligned: name, NumPy type, values a row.
_LAYOUT = (("observations", np.int64, COMPACT_WORDS), ("legal", np.int64, LEGAL_WORDS), ("action", np.int64, 1),
           ("value", np.float32, 1), ("ply", np.int32, 1), ("weight", np.float32, 1), ("ratings", np.int16, 2))
_PLANES_LAYOUT = (("observations", np.float32, 119 * 64), *_LAYOUT[1:])


_Layout = list[tuple[str, str, tuple[int, ...], int]]  # a batch's tensors: name, type, shape, byte offset


def _views(block: Any, layout: _Layout) -> dict[str, Any]:
    """The tensors of a batch's block: name, type, shape and byte offset of each."""
    torch = _torch()
    views = {}
    for name, dtype, shape, at in layout:
        size = int(np.prod(shape)) * np.dtype(dtype).itemsize
        views[name] = block[at : at + size].view(getattr(torch, dtype)).view(shape)
    return views


class _Batch(dict[str, Any]):
    """A batch a DataLoader worker gives: pickled as its one block of shared memory and the
    layout, it reaches the main process through one file descriptor rather than one per
    tensor, and is a plain dict of the same tensors there."""

    def __init__(self, block: Any, layout: _Layout) -> None:
        super().__init__(_views(block, layout))
        self.block, self.layout = block, layout

    def __copy__(self) -> _Batch:  # DataLoader's conversion copies the batch before sending it
        return _Batch(self.block, self.layout)

    def __reduce__(self) -> tuple[Any, ...]:
        return _views, (self.block, self.layout)


@dataclass
class _Skipped:
    """Games a consumer skipped in an epoch, by reason, with the first of each."""

    counts: dict[str, int] = field(default_factory=dict)
    first: dict[str, str] = field(default_factory=dict)

    def add(self, reason: str, shard: _Shard, rows: np.ndarray) -> None:
        if len(rows):
            self.counts[reason] = self.counts.get(reason, 0) + len(rows)
            self.first.setdefault(reason, f"game {int(shard.games[rows[0]])} of shard {shard.number}")

    def warn(self) -> None:
        if self.counts:
            parts = [f"{n} {_SKIPS[reason]} (first: {self.first[reason]})" for reason, n in self.counts.items()]
            warnings.warn(f"PositionDataset skipped {sum(self.counts.values())} games: {'; '.join(parts)}",
                          stacklevel=3)


@dataclass(frozen=True)
class _Window:
    number: int  # in the epoch's order of windows
    shard: int
    chunk: int  # of the shard's games, in their order


class PositionDataset(_Base):
    """The positions of a game dataset as batches of tensors, a ``torch.utils.data.IterableDataset``.

    ``source`` is a dataset directory (``vantor_gym.dataset.GameDataset`` reads it) or a
    ``GameDataset``. Each batch is a dict of CPU tensors, ``B`` = ``batch_size`` rows
    (the last of a worker's epoch may be shorter):

    - ``observations``: compact rows, ``int64 (B, 108)`` (``vantor_gym.compact``); with
      ``planes=True`` the planes, ``float32 (B, 119, 8, 8)``, expanded on the CPU. The fast
      path is the rows: ``expand_observations_torch(batch["observations"].to(device),
      torch.float32)`` expands them on the device, 35 times fewer bytes on the way.
    - ``legal``: the legal actions packed, ``int64 (B, 73)``, bit ``s`` of word ``p`` for
      action ``64 * p + s``; ``legal_mask`` makes the bool ``(B, 4672)`` mask on any device.
    - ``action``: ``int64 (B,)``, the move played there.
    - ``value``: ``float32 (B,)``, the game's result from the side to move's view: 1 won,
      0 drawn, -1 lost (NaN for a game without a result, given only with ``undecided=True``;
      otherwise such games are left out).
    - ``ratings``: ``int16 (B, 2)``, the side to move's rating and the opponent's, -1 when
      unknown.
    - ``ply``: ``int32 (B,)``, the moves played since the game's start (0 at the start).
    - ``weight``: ``float32 (B,)``, only with ``rating_weights``: a list of
      ``(lowest_rating, weight)`` pairs, ascending; a position weighs what the last band
      its side to move's rating reaches says (an unknown rating is -1), 0 below the first.

    Order: with ``shuffle`` (the default), an epoch takes the shards in a seeded order,
    each shard's games in a seeded order, cut into windows of ``buffer_games`` games;
    each window is replayed at once and its positions given in a seeded order. Without,
    everything goes in the stored order. The orders depend on ``seed`` and the epoch
    (``set_epoch``, as ``DistributedSampler`` has it) alone. Memory is bounded by one shard's
    move columns and one window's positions (about 1.5 KB each).

    Split: the epoch's windows, numbered in order, go to ranks in turn (window ``i`` to rank
    ``i % world_size``), and each rank's windows to its ``DataLoader`` workers in turn (its
    ``j``-th window to worker ``j % num_workers``): every position of an epoch goes to one
    worker of one rank. The rank and world size are ``rank`` and ``world_size`` when given,
    else ``torch.distributed``'s when it is initialised as the dataset is made, else 0 and 1.
    The split is by windows, so it is uneven: ranks and workers can get different numbers
    of positions (about a window's worth, more in a small dataset), and a rank or a worker
    with no window gets none; distributed training that needs the same number of steps on
    every rank stops at the smallest.

    Resume: ``start`` positions of epoch ``epoch`` that this rank has already consumed
    (counted through a ``DataLoader`` with the same ``num_workers``, ``batch_size``,
    ``buffer_games``, seed and split, which interleaves its workers' batches in turn) are
    left out, and the rest come as they would have: the stream goes on as the tail of the
    full one. Windows wholly before the start are not replayed for their positions, only
    checked and counted, in about a quarter of the time a replay takes; ``set_epoch`` to
    another epoch starts that one from its beginning. A start past the end of the rank's
    epoch raises ``ValueError``.

    Games the replay cannot play (an illegal move, an unplayable start) are skipped, and so
    are games whose recorded result contradicts a mate the replay finds (their values would
    be wrong); each worker's epoch ends with a ``UserWarning`` counting them. ``threads``: the replay's
    threads, 1 in a ``DataLoader`` worker and all cores elsewhere by default.
    """

    def __init__(
        self,
        source: str | os.PathLike[str] | GameDataset,
        *,
        batch_size: int = 1024,
        planes: bool = False,
        shuffle: bool = True,
        buffer_games: int = 512,
        seed: int = 0,
        start: int = 0,
        epoch: int = 0,
        rank: int | None = None,
        world_size: int | None = None,
        rating_weights: Sequence[tuple[int, float]] | None = None,
        undecided: bool = False,
        threads: int | None = None,
    ) -> None:
        torch = _torch()
        for name, flag in (("planes", planes), ("shuffle", shuffle), ("undecided", undecided)):
            if not isinstance(flag, bool):
                raise TypeError(f"{name} must be a bool, not {type(flag).__name__}")
        self.batch_size = integer(batch_size, "batch_size", 1, 2**31 - 1)
        self.buffer_games = integer(buffer_games, "buffer_games", 1)
        self.seed = integer(seed, "seed", 0)
        self.start = integer(start, "start", 0)
        # In shared memory, so that set_epoch reaches persistent DataLoader workers too.
        self._epoch = torch.tensor([integer(epoch, "epoch", 0)], dtype=torch.int64).share_memory_()
        self._start_epoch = self.epoch
        self.threads = None if threads is None else integer(threads, "threads", 1, 1024)
        self.planes, self.shuffle, self.undecided = planes, shuffle, undecided
        self.rank, self.world_size = _split(torch, rank, world_size)
        self.rating_weights = _bands(rating_weights)
        self.games = _games(source)

    def __repr__(self) -> str:
        return (f"PositionDataset({self.games!r}, batch_size={self.batch_size}, buffer_games={self.buffer_games}, "
                f"seed={self.seed}, epoch={self.epoch}, rank={self.rank}, world_size={self.world_size})")

    @property
    def epoch(self) -> int:
        """The epoch the next iteration gives."""
        return int(self._epoch[0])

    def set_epoch(self, epoch: int) -> None:
        """Makes the next iterations give epoch ``epoch``'s order, in this process and in the
        DataLoader workers (persistent ones included); ``start`` holds only for the epoch it
        was given with."""
        self._epoch[0] = integer(epoch, "epoch", 0)

    def __iter__(self) -> Iterator[dict[str, torch.Tensor]]:
        torch = _torch()
        info = torch.utils.data.get_worker_info()
        worker, workers = (0, 1) if info is None else (int(info.id), int(info.num_workers))
        threads = self.threads or (1 if info is not None else os.cpu_count() or 1)
        return _Stream(self, worker, workers, threads, info is not None).batches(torch)

    # The epoch's windows and their games.

    def _rng(self, epoch: int, *key: int) -> np.random.Generator:
        return np.random.default_rng(np.random.SeedSequence([self.seed, epoch, *key]))

    def _windows(self, epoch: int) -> Iterator[_Window]:
        shards = self.games.shards
        order = self._rng(epoch, 0).permutation(len(shards)) if self.shuffle else np.arange(len(shards))
        number = 0
        for shard in order:
            for chunk in range(-(-shards[shard].games // self.buffer_games)):
                yield _Window(number, int(shard), chunk)
                number += 1

    def _windows_of(self, epoch: int, worker: int, workers: int) -> Iterator[_Window]:
        for window in self._windows(epoch):
            if window.number % self.world_size == self.rank and window.number // self.world_size % workers == worker:
                yield window

    def _chunk(self, epoch: int, window: _Window) -> np.ndarray:
        count = self.games.shards[window.shard].games
        order = self._rng(epoch, 1, window.shard).permutation(count) if self.shuffle else np.arange(count)
        return order[window.chunk * self.buffer_games : (window.chunk + 1) * self.buffer_games]


def _split(torch: Any, rank: int | None, world_size: int | None) -> tuple[int, int]:
    if rank is None and world_size is None:
        distributed = torch.distributed
        if distributed.is_available() and distributed.is_initialized():
            return int(distributed.get_rank()), int(distributed.get_world_size())
        return 0, 1
    if rank is None or world_size is None:
        raise ValueError("rank and world_size are given together, or neither")
    world = integer(world_size, "world_size", 1)
    return integer(rank, "rank", 0, world - 1), world


def _bands(weights: Sequence[tuple[int, float]] | None) -> tuple[np.ndarray, np.ndarray] | None:
    if weights is None:
        return None
    if isinstance(weights, (str, bytes)) or not isinstance(weights, Sequence) or not weights:
        raise TypeError("rating_weights must be a non-empty list of (lowest_rating, weight) pairs")
    lows, values = [], []
    for pair in weights:
        if not isinstance(pair, Sequence) or isinstance(pair, (str, bytes)) or len(pair) != 2:
            raise TypeError(f"rating_weights holds (lowest_rating, weight) pairs, not {pair!r}")
        lows.append(integer(pair[0], "a band's lowest rating", -1, 32767))
        values.append(real(pair[1], "a band's weight", 0.0))
        if values[-1] > _MAX_WEIGHT:  # float32 losses scaled past it overflow
            raise ValueError(f"a band's weight must be at most {_MAX_WEIGHT:g}, not {values[-1]!r}")
    if any(b <= a for a, b in zip(lows, lows[1:])):
        raise ValueError("rating_weights' lowest ratings must ascend")
    if not any(values):
        raise ValueError("rating_weights are all 0: no position would weigh anything")
    return np.array(lows, np.int64), np.array(values, np.float32)


def _games(source: object) -> GameDataset:
    from vantor_gym.dataset import GameDataset

    if isinstance(source, GameDataset):
        return source
    if not isinstance(source, (str, os.PathLike)):
        raise TypeError(f"source must be a dataset directory or a GameDataset, not {type(source).__name__}")
    return GameDataset(source)


class _Stream:
    """One worker's batches of one epoch."""

    def __init__(self, dataset: PositionDataset, worker: int, workers: int, threads: int, shared: bool) -> None:
        self.data = dataset
        self.shared = shared
        self.workers = workers
        self.threads = threads
        self.skipped = _Skipped()
        self._shard: _Shard | None = None
        self._buffers: dict[str, np.ndarray] = {}
        self.epoch = dataset.epoch  # read once: a set_epoch meanwhile changes the next iteration, not this one
        start = dataset.start if self.epoch == dataset._start_epoch else 0
        if start:
            skips, counts, first = self._resume(start)
            self.role = (first + worker) % workers
            self.skip, self.counts = skips[self.role], counts[self.role]
        else:
            self.role, self.skip, self.counts = worker, 0, []

    def batches(self, torch: Any) -> Iterator[dict[str, Any]]:
        size = self.data.batch_size
        need = size - self.skip % size  # the first batch ends where it would have
        parts: list[_Positions] = []
        for positions in self._positions():
            at = 0
            while at < len(positions):
                take = min(need, len(positions) - at)
                parts.append(positions.part(slice(at, at + take)))
                at, need = at + take, need - take
                if need == 0:
                    yield self._tensors(torch, parts)
                    parts, need = [], size
            parts = [part.detached() for part in parts]
        if parts:
            yield self._tensors(torch, parts)
        self.skipped.warn()

    def _positions(self) -> Iterator[_Positions]:
        """The role's windows' positions, in order, less the first ``skip``."""
        skip = self.skip
        for number, window in enumerate(self.data._windows_of(self.epoch, self.role, self.workers)):
            if number < len(self.counts) and self.counts[number] <= skip:
                skip -= self.counts[number]  # counted while planning the resume: not replayed again
                continue
            positions = self._replay(window)
            if skip >= len(positions):
                skip -= len(positions)
                continue
            yield positions.part(slice(skip, None))
            skip = 0

    def _tensors(self, torch: Any, parts: list[_Positions]) -> dict[str, Any]:
        """The batch of the parts' positions, gathered straight into its tensors."""
        count = sum(map(len, parts))
        layout: _Layout = []
        size = 0
        for name, dtype, width in _PLANES_LAYOUT if self.data.planes else _LAYOUT:
            if name != "weight" or self.data.rating_weights is not None:
                shape: tuple[int, ...] = (count, width) if width > 1 else (count,)
                layout.append((name, np.dtype(dtype).name, shape, size))
                size += count * width * np.dtype(dtype).itemsize
        block = torch.empty(0 if self.shared else size, dtype=torch.uint8)
        if self.shared:
            # Made in shared memory, as DataLoader's collation makes its batches in a worker: handed
            # to the main process as it is, not copied into shared memory first.
            block = block.new(block._typed_storage()._new_shared(size))
        memory = block.numpy()
        arrays = {name: memory[at : at + int(np.prod(shape)) * np.dtype(dtype).itemsize].view(dtype).reshape(shape)
                  for name, dtype, shape, at in layout}
        rows = arrays["observations"].view(np.uint64) if not self.data.planes else np.empty((count, COMPACT_WORDS),
                                                                                              np.uint64)
        at = 0
        for part in parts:
            n = len(part)
            # The rows are in range: "clip" spares the bounds check that halves the speed of "raise".
            np.take(part.compact, part.row, axis=0, out=rows[at : at + n], mode="clip")
            np.take(part.legal, part.row, axis=0, out=arrays["legal"][at : at + n].view(np.uint64), mode="clip")
            for name in ("action", "value", "ratings", "ply"):
                arrays[name][at : at + n] = getattr(part, name)
            at += n
        if self.data.planes:
            expand_observations(rows, out=arrays["observations"].reshape(count, 119, 8, 8))
        bands = self.data.rating_weights
        if bands is not None:
            band = np.searchsorted(bands[0], arrays["ratings"][:, 0], side="right") - 1
            arrays["weight"][:] = np.where(band >= 0, bands[1][np.maximum(band, 0)], np.float32(0))
        if self.data.planes:
            layout[0] = ("observations", "float32", (count, 119, 8, 8), 0)
        return _Batch(block, layout) if self.shared else _views(block, layout)

    # Reading and replaying.

    def _read(self, number: int) -> _Shard:
        if self._shard is None or self._shard.number != number:
            self._shard = None  # the last shard's columns go before the next one's come
            self._shard = _shard_columns(self.data.games, number)
        return self._shard

    def _games(self, window: _Window, skipped: _Skipped) -> tuple[_Shard, np.ndarray, list[tuple[str, int, int]],
                                                                 np.ndarray]:
        """The window's shard, the rows of its games to replay, their starts and start numbers."""
        shard = self._read(window.shard)
        rows = self.data._chunk(self.epoch, window)
        results = shard.results[rows]
        if not self.data.undecided:
            rows, results = rows[results != _NO_RESULT], results[results != _NO_RESULT]
        bad = (results != _NO_RESULT) & ((results < -1) | (results > 1))
        skipped.add("result", shard, rows[bad])
        rows = rows[~bad]
        starts: list[tuple[str, int, int]] = []
        index = np.full(len(rows), -1, np.int32)
        unplayable = np.zeros(len(rows), bool)
        for k, row in enumerate(rows.tolist()):
            text = shard.fens.get(row)
            if text is None:
                continue
            try:
                fen = read_start(text, RULES)
            except ValueError:
                unplayable[k] = True
                continue
            index[k] = len(starts)
            starts.append((fen.position, fen.halfmove_clock, fen.fullmove_number))
        skipped.add("start", shard, rows[unplayable])
        return shard, rows[~unplayable], starts, index[~unplayable]

    def _replay(self, window: _Window, count_only: bool = False) -> _Positions:
        # Windows counted to plan a resume are another run's, or this one's skipped: their games are not counted.
        skipped = _Skipped() if count_only else self.skipped
        shard, rows, starts, index = self._games(window, skipped)
        lengths = shard.offsets[rows + 1] - shard.offsets[rows]
        offsets = np.zeros(len(rows) + 1, np.int64)
        np.cumsum(lengths, out=offsets[1:])
        total = int(offsets[-1])
        local = np.arange(total) - np.repeat(offsets[:-1], lengths)
        actions = shard.actions[np.repeat(shard.offsets[rows], lengths) + local]
        out: dict[str, np.ndarray] = {"positions": np.empty(len(rows), np.int32),
                                      "status": np.empty(len(rows), np.int8), "reward": np.empty(len(rows), np.int8)}
        if not count_only:
            out["compact"], out["legal"] = self._buffer("compact", total, COMPACT_WORDS), self._buffer("legal", total,
                                                                                                    LEGAL_WORDS)
        _native.replay_games(actions, offsets, starts, index, RULES, self.threads, out)
        played = out["status"] <= 1
        # A mate the replay finds decides the game: a recorded result against it is wrong, and
        # so would every value target of the game be.
        results = shard.results[rows]
        contradicted = played & (out["reward"] != 0) & (results != _NO_RESULT) & (out["reward"] != results)
        played &= ~contradicted
        skipped.add("illegal", shard, rows[out["status"] == 2])
        skipped.add("mate", shard, rows[contradicted])
        kept = np.repeat(np.where(played, out["positions"], 0), lengths)
        row = np.flatnonzero(local < kept)
        if count_only:
            return _Positions(np.empty(0, np.uint64), np.empty(0, np.uint64), row, *(np.empty(0),) * 4)
        game = np.repeat(np.arange(len(rows)), lengths)[row]
        side = (out["compact"][row, _SIDE_WORD] & np.uint64(1)).astype(np.int64)
        results = results[game].astype(np.float32)
        value = np.where(results == _NO_RESULT, np.float32(np.nan), results * (1 - 2 * side)).astype(np.float32)
        elos = shard.elos[rows][game]
        mover = np.take_along_axis(elos, side[:, None], axis=1)[:, 0]
        ratings = np.stack([mover, np.take_along_axis(elos, 1 - side[:, None], axis=1)[:, 0]], axis=1)
        order = np.arange(len(row))
        if self.data.shuffle:
            order = self.data._rng(self.epoch, 2, window.number).permutation(len(row))
        return _Positions(out["compact"], out["legal"], row[order], actions[row][order].astype(np.int64),
                          value[order], ratings[order], local[row][order].astype(np.int32))

    def _buffer(self, name: str, rows: int, width: int) -> np.ndarray:
        """Room for ``rows`` rows, reused window after window (batches are gathered copies):
        new pages cost more to fault in than the replay takes to fill them."""
        kept = self._buffers.get(name)
        if kept is None or len(kept) < rows:
            kept = self._buffers[name] = np.empty((max(rows, 5 * rows // 4), width), np.uint64)
        return kept[:rows]

    # Resuming.

    def _resume(self, start: int) -> tuple[list[int], list[list[int]], int]:
        """The positions each worker had given when the rank had consumed ``start``, the
        counts of the windows counted on the way, per worker, and the worker whose batch
        comes next, found by dealing batches in turn as ``DataLoader`` takes them."""
        size, workers = self.data.batch_size, self.workers
        windows = [self.data._windows_of(self.epoch, w, workers) for w in range(workers)]
        counts: list[list[int]] = [[] for _ in range(workers)]
        totals, done = [0] * workers, [False] * workers

        def known(w: int, enough: int) -> int:
            while totals[w] < enough and not done[w]:
                window = next(windows[w], None)
                if window is None:
                    done[w] = True
                else:
                    counts[w].append(len(self._replay(window, count_only=True)))
                    totals[w] += counts[w][-1]
            return min(totals[w], enough)

        given, left, turn = [0] * workers, start, 0
        while True:
            alive = False
            for w in range(workers):
                batch = known(w, (turn + 1) * size) - turn * size
                if batch <= 0:
                    continue
                alive = True
                if left < batch:
                    given[w] += left
                    return given, counts, w
                given[w], left = given[w] + batch, left - batch
            if not alive:
                if left:
                    raise ValueError(f"start {start} is past the end of this rank's epoch ({start - left} positions)")
                return given, counts, 0
            turn += 1


def _shard_columns(games: GameDataset, number: int) -> _Shard:
    """Shard ``number``'s columns that a replay reads; ``ValueError`` naming the shard for a
    column that is not what the build writes."""
    table = games.read(number, columns=_COLUMNS)
    pc = importlib.import_module("pyarrow.compute")
    path = games.shards[number].path
    moves = table.column("moves")
    lengths = pc.list_value_length(moves).fill_null(0).to_numpy().astype(np.int64)
    actions = pc.list_flatten(moves).to_numpy(zero_copy_only=False)
    if actions.dtype != np.int16 or len(actions) != lengths.sum():
        raise ValueError(f"{path}: its moves are not lists of int16 actions")
    offsets = np.zeros(len(lengths) + 1, np.int64)
    np.cumsum(lengths, out=offsets[1:])
    fen_column = table.column("start_fen")
    present = np.flatnonzero(pc.is_valid(fen_column).to_numpy(zero_copy_only=False))
    fens = dict(zip(present.tolist(), fen_column.take(present).to_pylist()))
    results = pc.fill_null(table.column("result"), _NO_RESULT).to_numpy().astype(np.int8)
    elos = np.stack([pc.fill_null(table.column(name), -1).to_numpy().astype(np.int16)
                     for name in ("white_elo", "black_elo")], axis=1)
    elos[elos < 0] = -1
    numbers = table.column("game").to_numpy().astype(np.int64)
    return _Shard(number, np.ascontiguousarray(actions), offsets, fens, results, elos, numbers)
