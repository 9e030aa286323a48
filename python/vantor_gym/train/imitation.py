"""Training positions for a warm start by imitation: from games a UCI engine plays against
itself, or from any PGN file.

The policy target is the move the game played, or the engine's move; with ``multipv`` K
above 1 it spreads over the first moves of the engine's K best lines instead, in
proportion to ``exp(expected / MULTIPV_TEMPERATURE)``. A PGN position's value target is
the game's result from its side to move. An engine game's position blends the result
with the engine's own evaluation (``vantor_gym.uci.Score.expected``, from the same side)::

    value = value_weight * expected + (1 - value_weight) * result

The result alone gives every position of a game the same target, which a value head
learns by heart; the evaluation tells the positions apart. A position whose search gave
no usable score takes the result alone.

Engine games are played under chess's rules (standard by default), and a PGN file's
games are replayed under chess's automatic draws alone (see ``pgn_positions``)."""

from __future__ import annotations

import itertools
import math
import os
import threading
import time
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field

import numpy as np

from vantor_gym._numbers import integer, real
from vantor_gym.batch import BatchEnv
from vantor_gym.rules import rules_of
from vantor_gym.train.pgn_positions import pgn_positions as pgn_positions
from vantor_gym.train.replay import ReplayBuffer
from vantor_gym.uci import Analysis, UciEngine

# pgn_positions is at home in vantor_gym.train.pgn_positions and named here too, where it was first.
__all__ = ["MULTIPV_TEMPERATURE", "EngineGames", "engine_games"]

ACTIONS = 4672
_REPORT_SECONDS = 1.0

MULTIPV_TEMPERATURE = 0.1
"""The temperature of the softmax that spreads a MultiPV policy target over the engine's
lines by their expected scores (in [-1, 1]): near an even position 100 centipawns are
0.28 of expected score, so a line that much worse gets exp(-2.8), about 1/16, of the
weight of the best, and lines within the engine's noise (20 centipawns or so) share
it nearly evenly."""


@dataclass
class EngineGames:
    """What ``engine_games`` played: games finished, positions given to the buffer, the
    results from white's side (1 won, 0 drawn, -1 lost), and of those positions the
    ``unscored`` ones, whose search gave no usable score (their value target is the result
    alone), and the engine's info lines ``skipped`` in their searches (see
    ``vantor_gym.uci.Analysis``; Stockfish stopped at a node limit often ends on a bound,
    so a few in every search are usual)."""

    games: int = 0
    positions: int = 0
    results: dict[int, int] = field(default_factory=lambda: {1: 0, 0: 0, -1: 0})
    unscored: int = 0
    skipped: int = 0


@dataclass
class _Game:
    rows: list[np.ndarray] = field(default_factory=list)
    masks: list[np.ndarray] = field(default_factory=list)
    actions: list[int] = field(default_factory=list)
    sides: list[int] = field(default_factory=list)
    # For engine games: each position's policy target over a few actions, and the engine's
    # expected score (NaN for none) with the weight it has in the value target.
    spreads: list[tuple[list[int], list[float]]] = field(default_factory=list)
    expected: list[float] = field(default_factory=list)
    value_weight: float = 0.0
    skipped: int = 0


def _values(game: _Game, white: float) -> np.ndarray:
    results = np.where(np.array(game.sides) == 0, white, -white)
    if not game.expected:
        return results.astype(np.float32)
    expected = np.array(game.expected)
    blend = game.value_weight * expected + (1 - game.value_weight) * results
    return np.clip(np.where(np.isnan(expected), results, blend), -1, 1).astype(np.float32)


def _policies(game: _Game) -> np.ndarray:
    policies = np.zeros((len(game.actions), ACTIONS), np.float32)
    if not game.spreads:
        policies[np.arange(len(game.actions)), game.actions] = 1.0
    for row, (actions, weights) in enumerate(game.spreads):
        policies[row, actions] = weights
    return policies


def _spread(analysis: Analysis, multipv: int) -> tuple[list[int], list[float]]:
    """The policy target of one search: one-hot on the engine's move with ``multipv`` 1 or
    no scored line, else the softmax of the lines' expected scores over their first moves
    (a move that two lines name counts once, with the score of the one the engine ranks first)."""
    best: dict[int, float] = {}
    for line in analysis.lines if multipv > 1 else ():
        best.setdefault(line.action, line.score.expected())
    if not best:
        return [analysis.action], [1.0]
    scores = np.array(list(best.values())) / MULTIPV_TEMPERATURE
    weights = np.exp(scores - scores.max())
    return list(best), (weights / weights.sum()).tolist()


def _play_one(engine: UciEngine, env: BatchEnv, rng: np.random.Generator, random_plies: int,
              epsilon: float, stop: threading.Event, value_weight: float, multipv: int) -> tuple[_Game, float]:
    """One game of the engine against itself after ``random_plies`` random opening plies
    (so games differ); from then on every position is kept with the engine's move and
    evaluation, and with probability ``epsilon`` a random move is played instead, so
    positions after mistakes, which a learner's opponents make, are seen too. Once ``stop``
    is set the game ends where it is, to be thrown away."""
    game = _Game(value_weight=value_weight)
    rows, info = env.reset()
    engine.new_game()
    for ply in itertools.count():
        if stop.is_set():
            return game, 0.0
        mask = info["action_mask"][0]
        legal = np.flatnonzero(mask)
        if ply >= random_plies:
            analysis = engine.analyse((env, 0), multipv=multipv)
            action = analysis.action
            game.rows.append(rows[0].copy())
            game.masks.append(mask.copy())
            game.actions.append(action)
            game.sides.append(int(info["side"][0]))
            game.spreads.append(_spread(analysis, multipv))
            game.expected.append(math.nan if analysis.score is None else analysis.score.expected())
            game.skipped += analysis.skipped
            if rng.random() < epsilon:
                action = int(rng.choice(legal))
        else:
            action = int(rng.choice(legal))
        rows, rewards, terminated, truncated, info = env.step(np.array([action], np.int64))
        if terminated[0]:
            return game, float(rewards[0])
        if truncated[0]:
            return game, 0.0
    raise AssertionError("itertools.count() does not end")


def engine_games(buffer: ReplayBuffer, engine: str | os.PathLike[str] = "stockfish", *, minutes: float | None = None,
                 positions: int | None = None, nodes: int = 400, engines: int = 2, random_plies: int = 8,
                 epsilon: float = 0.1, max_plies: int = 300, seed: int | None = None,
                 options: dict[str, object] | None = None,
                 report: Callable[[int, int], object] | None = None,
                 value_weight: float = 1.0, multipv: int = 1, rules: str = "standard") -> EngineGames:
    """Plays games of the UCI engine at ``engine`` against itself, ``engines`` processes in
    parallel (one thread each), each move searched to ``nodes`` nodes, until ``minutes``
    have passed or ``positions`` positions are kept (at least one of the two is needed),
    and adds every finished game's positions to ``buffer``: compact observations, legal
    masks, a policy target on the engine's move (spread over its ``multipv`` best lines'
    first moves when that is above 1; an engine without the ``MultiPV`` option cannot)
    and a value target blending the engine's evaluation, with ``value_weight`` in [0, 1],
    and the result (a game of ``max_plies`` plies is a draw), both from the side to move
    (see the module). Games unfinished at the end are dropped. ``report``, if given, is
    called about every second, on the calling thread, with the games finished and
    positions kept so far. The games are played under ``rules``, ``"standard"`` or
    ``"automatic"``: a UCI engine plays chess, so ``"module"`` raises ``ValueError``."""
    if minutes is None and positions is None:
        raise ValueError("engine_games needs minutes, positions or both")
    if minutes is not None:
        minutes = real(minutes, "minutes", 0.0)
    if positions is not None:
        positions = integer(positions, "positions", 0)
    nodes, engines = integer(nodes, "nodes", 1), integer(engines, "engines", 1, 256)
    random_plies, max_plies = integer(random_plies, "random_plies", 0), integer(max_plies, "max_plies", 1, 2**31 - 1)
    if not 0.0 <= real(epsilon, "epsilon") <= 1.0:
        raise ValueError(f"epsilon must be in [0, 1], not {epsilon}")
    if not 0.0 <= real(value_weight, "value_weight") <= 1.0:
        raise ValueError(f"value_weight must be in [0, 1], not {value_weight}")
    value_weight, multipv = float(value_weight), integer(multipv, "multipv", 1, 256)
    if not isinstance(buffer, ReplayBuffer):
        raise TypeError(f"buffer must be a ReplayBuffer, not {type(buffer).__name__}")
    if seed is not None:
        seed = integer(seed, "seed", 0)
    if options is not None and not isinstance(options, dict):
        raise TypeError(f"options must be a dict of UCI options, not {type(options).__name__}")
    if rules_of(rules) == "module":
        raise ValueError("engine games are chess: play them under rules 'standard' or 'automatic', not 'module'")
    deadline = None if minutes is None else time.monotonic() + 60 * minutes
    stats = EngineGames()
    finished: list[tuple[_Game, float]] = []
    lock = threading.Lock()
    errors: list[BaseException] = []
    seeds = np.random.SeedSequence(seed).spawn(engines)

    stop = threading.Event()  # set when the caller is interrupted: the engines end their game's move and stop

    def enough() -> bool:
        return ((deadline is not None and time.monotonic() >= deadline) or stop.is_set()
                or (positions is not None and stats.positions >= positions) or bool(errors))

    def work(number: int) -> None:
        rng = np.random.default_rng(seeds[number])
        try:
            with UciEngine(engine, options, nodes=nodes) as player, \
                    BatchEnv(1, threads=1, max_plies=max_plies, autoreset="disabled", compact=True,
                             rules=rules) as env:
                while not enough():
                    game, white = _play_one(player, env, rng, random_plies, epsilon, stop, value_weight, multipv)
                    with lock:
                        if not enough():
                            finished.append((game, white))
                            stats.positions += len(game.actions)
        except BaseException as error:  # handed to the caller below
            with lock:
                errors.append(error)

    threads = [threading.Thread(target=work, args=(n,), name=f"engine-games-{n}") for n in range(engines)]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            while thread.is_alive():
                thread.join(None if report is None else _REPORT_SECONDS)
                if report is not None:
                    with lock:
                        so_far = len(finished), stats.positions
                    report(*so_far)
    except BaseException:
        stop.set()
        for thread in threads:
            if thread.is_alive():
                thread.join()
        raise
    if errors:
        raise errors[0]
    stats.positions = 0
    for game, white in finished:
        _add(buffer, game, white)
        stats.games += 1
        stats.positions += len(game.actions)
        stats.results[int(white)] += 1
        stats.unscored += int(np.isnan(game.expected).sum())
        stats.skipped += game.skipped
    return stats


def _add(buffer: ReplayBuffer, game: _Game, white: float) -> None:
    if game.actions:
        buffer.add(np.stack(game.rows), np.stack(game.masks), _policies(game), _values(game, white))
