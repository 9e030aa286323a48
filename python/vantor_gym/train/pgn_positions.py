"""A PGN file's games as training positions, streamed: read a piece at a time, replayed
natively a block of games at a time, and added to the replay buffer as they come, so that
a file of any size takes the buffer's own memory and a few blocks."""

from __future__ import annotations

import os
import warnings
from typing import IO

import numpy as np

from vantor_gym import _native
from vantor_gym.compact import COMPACT_WORDS
from vantor_gym.fen import read_fen, read_start
from vantor_gym.notation import PgnColumns, read_pgn_chunks
from vantor_gym.rules import rules_of
from vantor_gym.train.replay import MAX_MOVES, ReplayBuffer

__all__ = ["pgn_positions"]

# The PGN result, from white's side; an unfinished game's positions are not kept.
RESULTS = {"1-0": 1.0, "0-1": -1.0, "1/2-1/2": 0.0}
# Games replayed at once: some 80 positions each, 1.4 KB a position on the way to the buffer.
_BLOCK_GAMES = 256
_THREADS = os.process_cpu_count() or 1  # the replay is the slow part of the stream
_STATUS_ILLEGAL, _STATUS_BAD_START, _STATUS_CROWDED = 2, 3, 4
_MALFORMED = "malformed or with an illegal move"
_UNPLAYABLE = "from a start the environment cannot play (such as a half-move clock at the draw)"


class _Skips:
    """Games skipped, by reason: how many, and the first one (its number, and the fault
    where the reader named one)."""

    def __init__(self) -> None:
        self.reasons: dict[str, tuple[int, str]] = {}

    def add(self, reason: str, numbers: np.ndarray | list[int], first: str = "") -> None:
        if len(numbers):
            count, said = self.reasons.get(reason, (0, first or f"game {int(numbers[0])}"))
            self.reasons[reason] = (count + len(numbers), said)

    def total(self) -> int:
        return sum(count for count, _ in self.reasons.values())

    def summary(self) -> str:
        return "; ".join(f"{count} {reason} (first: {first})" for reason, (count, first) in self.reasons.items())


def pgn_positions(buffer: ReplayBuffer, source: str | os.PathLike[str] | bytes | IO[str] | IO[bytes], *,
                  rules: str = "standard") -> int:
    """Adds the positions of the finished games of a PGN file to ``buffer``, each with the
    move played as its policy target and the result from its side to move as its value
    target, and returns how many were added.

    The games are replayed for positions a network of ``rules`` reads: under chess's
    ``"standard"`` or ``"automatic"`` rules a game is replayed under the automatic ones,
    which count the clock and repetitions as standard rules do but end a game only where
    chess ends it unclaimed (mate, stalemate, insufficient material, seventy-five moves, a
    fifth occurrence), so the positions after a draw nobody claimed (a third occurrence,
    fifty moves) are kept; under ``"module"`` the module's rules replay it and end it at
    their own draws.

    ``source`` is what ``vantor_gym.notation.read_pgn_chunks`` reads: a path (a ``str`` or
    ``os.PathLike``; ``"-"`` for standard input; compressed files are read by their first
    bytes), the file's bytes or a file object (PGN text in a ``str`` goes in as
    ``io.StringIO(text)``). The file is streamed: a piece is read, its games replayed
    natively and their positions added before the next piece is read, so memory is the
    buffer's and a few pieces', whatever the file's size (a buffer smaller than the file
    keeps its last positions). Games that cannot give training positions are skipped:
    malformed ones and ones with an illegal move, games without a result (``*`` says nothing
    of the value) or without moves, games from a start the environment cannot play from (a
    half-move clock at the rules' draw, or a start without mating material under chess's
    rules) and games whose result contradicts the mate they end in; a game the replay ends
    early (an automatic draw, or one of the module's, which a recorded game may play past)
    gives its positions up to there. Skipped games are counted in a ``UserWarning``; a
    source that gives no position at all raises ``ValueError`` saying why, with nothing
    added."""
    if not isinstance(buffer, ReplayBuffer):
        raise TypeError(f"buffer must be a ReplayBuffer, not {type(buffer).__name__}")
    rules = rules_of(rules)
    name = repr(os.fspath(source)) if isinstance(source, (str, os.PathLike)) else "the PGN source"
    replay = "module" if rules == "module" else "automatic"
    skips, added, games = _Skips(), 0, 0
    for columns in read_pgn_chunks(source, on_error="skip"):
        games += len(columns) + len(columns.skipped)
        if columns.skipped:
            number, message = columns.skipped[0]
            skips.add(_MALFORMED, [n for n, _ in columns.skipped], f"game {number}: {message}")
        for begin in range(0, len(columns), _BLOCK_GAMES):
            added += _add_block(buffer, columns, range(begin, min(begin + _BLOCK_GAMES, len(columns))), rules,
                                replay, skips)
    if added == 0:
        raise ValueError(f"{name} gives no training position: {skips.summary() or 'it holds no game'}")
    if skips.reasons:
        warnings.warn(f"{name}: {skips.total()} of {games} games skipped: {skips.summary()}", stacklevel=2)
    return added


def _add_block(buffer: ReplayBuffer, columns: PgnColumns, block: range, rules: str, replay: str,
               skips: _Skips) -> int:
    """Replays a block of a piece's games and adds their positions; returns how many."""
    kept: list[int] = []
    for index, number in zip(block, columns.numbers[block.start:block.stop].tolist()):
        reason = _unusable(columns, index, rules)
        if reason:
            skips.add(reason, [number])
        else:
            kept.append(index)
    if not kept:
        return 0
    actions, firsts, out = _replayed(columns, kept, replay)
    white = np.array([RESULTS[columns.result_texts[i]] for i in kept], np.float32)
    status, reward, positions = out["status"], out["reward"], out["positions"]
    numbers = columns.numbers[kept]
    skips.add(_UNPLAYABLE, numbers[status == _STATUS_BAD_START])
    skips.add(_MALFORMED, numbers[status == _STATUS_ILLEGAL])
    skips.add(f"with a position of more than {MAX_MOVES} legal moves", numbers[status == _STATUS_CROWDED])
    contradicts = (reward != 0) & (reward != white) & (status != _STATUS_BAD_START)
    skips.add("whose result contradicts the mate played", numbers[contradicts])
    good = np.flatnonzero((status < _STATUS_ILLEGAL) & ~contradicts & (positions > 0))
    if not len(good):
        return 0
    # Each kept position's row, its game and its ply.
    game_of = np.repeat(good, positions[good])
    ply = np.arange(len(game_of)) - np.repeat(np.cumsum(positions[good]) - positions[good], positions[good])
    rows = firsts[game_of] + ply
    black_first = np.array([_black_to_move(columns.start_fens[i]) for i in kept], bool)[game_of]
    mover_is_white = (ply % 2 == 0) != black_first
    values = np.where(mover_is_white, white[game_of], -white[game_of]).astype(np.float32)
    buffer.add_played(out["compact"][rows], out["listed"][rows], actions[rows], values)
    return len(rows)


def _replayed(columns: PgnColumns, kept: list[int], replay: str) -> tuple[np.ndarray, np.ndarray,
                                                                           dict[str, np.ndarray]]:
    """The kept games' actions end to end, each game's first row, and what the native
    replay wrote for them under the ``replay`` rules."""
    offsets = columns.offsets
    lengths = np.array([offsets[i + 1] - offsets[i] for i in kept], np.int64)
    firsts = np.zeros(len(kept) + 1, np.int64)
    np.cumsum(lengths, out=firsts[1:])
    actions = np.concatenate([columns.actions[offsets[i]:offsets[i + 1]] for i in kept]).astype(np.int64)
    starts, start_index = _starts(columns, kept)
    rows, games = int(firsts[-1]), len(kept)
    out: dict[str, np.ndarray] = {
        "compact": np.empty((rows, COMPACT_WORDS), np.uint64), "listed": np.empty((rows, MAX_MOVES), np.int16),
        "positions": np.empty(games, np.int32), "status": np.empty(games, np.int8),
        "reward": np.empty(games, np.int8)}
    _native.replay_games(actions, firsts, starts, start_index, replay, _THREADS, out)
    return actions, firsts, out


def _unusable(columns: PgnColumns, index: int, rules: str) -> str:
    """Why game ``index`` gives no training position, or "" when it is replayed."""
    if columns.result_texts[index] not in RESULTS:
        return "without a result"
    if columns.offsets[index + 1] == columns.offsets[index]:
        return "without moves"
    start = columns.start_fens[index]
    if start is not None:
        try:
            read_start(start, rules)  # a start the network's own rules have drawn already is left out
        except ValueError:
            return _UNPLAYABLE
    return ""


def _starts(columns: PgnColumns, kept: list[int]) -> tuple[list[tuple[str, int, int]], np.ndarray]:
    starts: list[tuple[str, int, int]] = []
    index = np.full(len(kept), -1, np.int32)
    for k, game in enumerate(kept):
        text = columns.start_fens[game]
        if text is not None:
            fen = read_fen(text)
            index[k] = len(starts)
            starts.append((fen.position, fen.halfmove_clock, fen.fullmove_number))
    return starts, index


def _black_to_move(start_fen: str | None) -> bool:
    return start_fen is not None and start_fen.split()[1] == "b"
