"""Self-play for training: games of the batched search against itself, each finished
game's positions handed to a replay buffer with the search's visit policy and the game's
result as targets."""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from vantor_gym._numbers import integer
from vantor_gym.batch import BatchEnv
from vantor_gym.notation import fen
from vantor_gym.rules import rules_of
from vantor_gym.search import Evaluator, Search
from vantor_gym.train.replay import ReplayBuffer
from vantor_gym.view.feed import GameFeed, top_moves

__all__ = ["SelfPlay", "SelfPlayStats"]

ACTIONS = 4672


@dataclass
class SelfPlayStats:
    """What ``SelfPlay.play`` did: plies played, games finished, and their results from
    white's side (wins, draws, losses); ``finished`` holds each finished game's actions and
    PGN result, and its start FEN (None for the standard initial position)."""

    plies: int = 0
    games: int = 0
    results: dict[int, int] = field(default_factory=lambda: {1: 0, 0: 0, -1: 0})
    finished: list[tuple[list[int], str, str | None]] = field(default_factory=list)


@dataclass
class _Record:
    rows: list[np.ndarray] = field(default_factory=list)
    masks: list[np.ndarray] = field(default_factory=list)
    policies: list[np.ndarray] = field(default_factory=list)
    sides: list[int] = field(default_factory=list)
    actions: list[int] = field(default_factory=list)
    start_fen: str | None = None


class SelfPlay:
    """``games`` games at once, each move chosen by a ``Search`` of ``simulations``
    simulations with ``evaluator`` (root noise as the search's ``dirichlet_*``, the tree
    below the chosen move kept for the next move). For the first ``temperature_plies``
    plies of a game the move is drawn from the visit counts, so games differ; then the
    most visited move is played. A game that reaches ``max_plies`` counts as a draw. The
    games are played, and searched, under ``rules`` (``vantor_gym.rules``).

    ``play(plies, buffer)`` plays on for ``plies`` moves of every game; each game that
    ends hands all its positions to ``buffer`` (compact observations, legal masks, the
    search's visit policies, and the result from each position's side to move) and starts
    again. Games in progress carry over to the next call. With a ``feed``
    (``vantor_gym.view.GameFeed``) every move is told to it with the search's top moves,
    for a page that watches. ``chess960=True`` plays Chess960 (``vantor_gym.chess960``),
    each game from a start drawn by the games' generators.
    """

    def __init__(self, evaluator: Evaluator, games: int = 64, simulations: int = 100, *, max_plies: int = 300,
                 temperature_plies: int = 30, dirichlet_alpha: float = 0.3, dirichlet_fraction: float = 0.25,
                 seed: int | None = None, threads: int | None = None, feed: GameFeed | None = None,
                 rules: str = "standard", chess960: bool = False) -> None:
        temperature_plies = integer(temperature_plies, "temperature_plies", 0)
        self.rules = rules_of(rules)
        if not isinstance(chess960, (bool, np.bool_)):
            raise TypeError(f"chess960 must be a bool, not {type(chess960).__name__}")
        self.chess960 = bool(chess960)
        self.env = BatchEnv(games, threads=threads, max_plies=max_plies, autoreset="disabled", seed=seed,
                            compact=True, rules=self.rules, chess960=self.chess960)
        self.search = Search(games, evaluator, simulations=simulations, dirichlet_alpha=dirichlet_alpha,
                             dirichlet_fraction=dirichlet_fraction, threads=threads, seed=seed, rules=self.rules,
                             chess960=self.chess960)
        self.temperature_plies = temperature_plies
        self.rng = np.random.default_rng(seed)
        self.rows, info = self.env.reset()
        self.masks, self.sides = info["action_mask"], info["side"]
        self.plies = np.zeros(games, np.int64)
        self.records = [self._new_record(i) for i in range(games)]
        self.feed = feed
        self.watched = [self._watch(i) for i in range(games)]

    def play(self, plies: int, buffer: ReplayBuffer) -> SelfPlayStats:
        """Plays ``plies`` moves of every game into ``buffer``."""
        plies = integer(plies, "plies", 0)
        if not isinstance(buffer, ReplayBuffer):
            raise TypeError(f"buffer must be a ReplayBuffer, not {type(buffer).__name__}")
        stats = SelfPlayStats()
        for _ in range(plies):
            self._move(buffer, stats)
        return stats

    def _move(self, buffer: ReplayBuffer, stats: SelfPlayStats) -> None:
        result = self.search.run(self.env)
        actions = result.actions.copy()
        for i in range(len(actions)):
            if self.plies[i] < self.temperature_plies:
                policy = result.policies[i].astype(np.float64)
                actions[i] = self.rng.choice(ACTIONS, p=policy / policy.sum())
            record = self.records[i]
            record.rows.append(self.rows[i].copy())
            record.masks.append(self.masks[i].copy())
            record.policies.append(result.policies[i])
            record.sides.append(int(self.sides[i]))
            record.actions.append(int(actions[i]))
        if self.feed is not None:
            for i, action in enumerate(actions.tolist()):
                self.feed.play(self.watched[i], action, top_moves(result.policies[i], float(result.values[i])))
        self.search.advance(actions)
        self.rows, rewards, terminated, truncated, info = self.env.step(actions)
        self.masks, self.sides = info["action_mask"], info["side"]
        self.plies += 1
        stats.plies += len(actions)
        ended = np.flatnonzero(terminated | truncated)
        finished = [(self.records[i], int(rewards[i]) if terminated[i] else 0, bool(truncated[i] and not terminated[i]))
                    for i in ended.tolist()]
        # The ended games start again before their positions are handed over, so that
        # whatever the buffer does, every game can go on.
        for i in ended.tolist():
            if self.feed is not None:
                self.feed.finish(self.watched[i], _result(int(rewards[i]), bool(truncated[i] and not terminated[i])))
        if len(ended):
            rows, fresh = self.env.reset(indices=ended)
            self.rows[ended], self.masks[ended], self.sides[ended] = rows, fresh["action_mask"], fresh["side"]
            self.plies[ended] = 0
            for i in ended.tolist():
                self.records[i] = self._new_record(i)
                self.watched[i] = self._watch(i)
        for record, white, cut in finished:
            stats.games += 1
            stats.results[white] += 1
            stats.finished.append((record.actions, _result(white, cut), record.start_fen))
            values = np.where(np.array(record.sides) == 0, white, -white).astype(np.float32)
            buffer.add(np.stack(record.rows), np.stack(record.masks), np.stack(record.policies), values)

    def _watch(self, game: int) -> int:
        """The feed's number for the game just started (0 without a feed)."""
        if self.feed is None:
            return 0
        return self.feed.begin("self-play", "self-play", self.records[game].start_fen, rules=self.rules,
                               chess960=self.chess960)

    def _new_record(self, game: int) -> _Record:
        """The record of the game just started: a Chess960 game's keeps its start."""
        return _Record(start_fen=fen((self.env, game)) if self.chess960 else None)

    def close(self) -> None:
        """Ends the games' worker threads."""
        self.env.close()


def _result(white: int, cut: bool) -> str:
    """The PGN result of a game that ended with ``white``'s reward, or was cut at ``max_plies``."""
    return "*" if cut else {1: "1-0", -1: "0-1"}.get(white, "1/2-1/2")
