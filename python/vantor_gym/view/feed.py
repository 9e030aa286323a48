"""The games a running program plays, kept for the pages that watch them: the program
appends actions as it plays, and each page reads what it has not yet seen. Thread-safe:
the players append from their threads while the server reads from its own."""

from __future__ import annotations

import math
import numbers
import threading
from collections import OrderedDict
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, cast

import numpy as np
import numpy.typing as npt

from vantor_gym._numbers import integer
from vantor_gym.fen import read_start

__all__ = ["GameFeed", "Top", "top_moves"]

ACTIONS = 4672
RESULTS = ("1-0", "0-1", "1/2-1/2", "*")

Top = tuple[float, list[tuple[int, float]]]
"""What a search said at one ply: its value from the side to move, and its most visited
actions with their share of the visits, most visited first."""


def top_moves(policy: npt.ArrayLike, value: float, count: int = 3) -> Top:
    """The ``count`` actions with the largest visit shares in ``policy`` (4672 shares), with
    ``value``; actions nobody visited are left out."""
    count = integer(count, "count", 0, ACTIONS)
    shares = np.asarray(policy, np.float32).reshape(-1)
    if shares.shape != (ACTIONS,):
        raise ValueError(f"a visit policy has {ACTIONS} shares, not {shares.shape[0]}")
    best = np.argsort(-shares, kind="stable")[:count]
    return float(value), [(int(a), float(shares[a])) for a in best.tolist() if shares[a] > 0]


def _check_result(result: object) -> None:
    if not isinstance(result, str) or result not in RESULTS:
        raise ValueError(f"result must be one of {', '.join(RESULTS)}, not {result!r}")


def _checked_top(top: object) -> Top | None:
    """``top`` as a ``Top``; a value or share that is not a finite number is left out (a
    search whose network diverged), anything else not shaped as one is refused."""
    try:
        value, moves = cast(tuple[Any, Any], top)
        pairs = [(integer(a, "a top move's action", 0, ACTIONS - 1), _finite(s)) for a, s in moves]
        number = _finite(value)
    except (TypeError, ValueError):
        raise TypeError("top is (value, [(action, share), ...]) of real numbers") from None
    if number is None:
        return None
    return number, [(a, s) for a, s in pairs if s is not None]


def _finite(value: object) -> float | None:
    """A real number (not a bool or a str) as a float, or None when it is not finite."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"not a real number: {type(value).__name__}")
    try:
        number = float(value)
    except OverflowError:
        return None
    return number if math.isfinite(number) else None


@dataclass
class _Game:
    number: int
    white: str
    black: str
    start_fen: str | None
    actions: list[int] = field(default_factory=list)
    tops: list[Top | None] = field(default_factory=list)
    result: str | None = None
    chess960: bool = False


@dataclass(frozen=True)
class FeedGame:
    """A copy of one game of the feed from ply ``first`` on."""

    number: int
    white: str
    black: str
    start_fen: str | None
    first: int
    actions: list[int]
    tops: list[Top | None]
    result: str | None
    chess960: bool = False


class GameFeed:
    """Games as they are played, numbered from 1 in the order they began; the ``keep``
    latest are kept (a page that watches an older one moves on to a newer one).

    ``begin`` starts a game and returns its number, ``play`` appends an action (and what
    the search said, if a search chose it), ``finish`` gives its result; ``add`` does all
    three for a game played elsewhere. Actions are not checked here: the pages replay
    them, and a game whose action is not legal stops there for them."""

    def __init__(self, keep: int = 64) -> None:
        self.keep = integer(keep, "keep", 1, 100_000)
        self._games: OrderedDict[int, _Game] = OrderedDict()
        self._count = 0
        self._lock = threading.Lock()

    def begin(self, white: str = "?", black: str = "?", start_fen: str | None = None, *,
              rules: str = "standard", chess960: bool = False) -> int:
        """Starts a game from ``start_fen`` (the initial position when None), a start the
        game's ``rules`` play from (a Chess960 game's with ``chess960``); returns its number."""
        if not isinstance(white, str) or not isinstance(black, str):
            raise TypeError("the players' names are str")
        if not isinstance(chess960, (bool, np.bool_)):
            raise TypeError(f"chess960 must be a bool, not {type(chess960).__name__}")
        fen = None if start_fen is None else read_start(start_fen, rules, bool(chess960)).text
        with self._lock:
            self._count += 1
            self._games[self._count] = _Game(self._count, white, black, fen, chess960=bool(chess960))
            while len(self._games) > self.keep:
                self._games.popitem(last=False)
            return self._count

    def play(self, game: int, action: int, top: Top | None = None) -> None:
        game = integer(game, "game", 1)
        action = integer(action, "action", 0, ACTIONS - 1)
        top = None if top is None else _checked_top(top)
        with self._lock:
            kept = self._games.get(game)
            if kept is not None and kept.result is None:
                kept.actions.append(action)
                kept.tops.append(top)

    def finish(self, game: int, result: str) -> None:
        game = integer(game, "game", 1)
        _check_result(result)
        with self._lock:
            kept = self._games.get(game)
            if kept is not None:
                kept.result = result

    def add(self, actions: Sequence[int], result: str, white: str = "?", black: str = "?",
            start_fen: str | None = None, *, rules: str = "standard", chess960: bool = False) -> int:
        """A whole game at once: ``begin``, ``play`` of each action, ``finish``; nothing is
        added when an argument is refused."""
        moves = [integer(action, "action", 0, ACTIONS - 1) for action in actions]
        _check_result(result)
        number = self.begin(white, black, start_fen, rules=rules, chess960=chess960)
        with self._lock:
            kept = self._games.get(number)
            if kept is not None:
                kept.actions, kept.tops, kept.result = moves, [None] * len(moves), result
        return number

    def numbers(self) -> list[int]:
        """The numbers of the games kept, oldest first."""
        with self._lock:
            return list(self._games)

    def summary(self) -> list[dict[str, object]]:
        """Each kept game's number, players, plies and result (None while it goes on)."""
        with self._lock:
            return [{"number": g.number, "white": g.white, "black": g.black, "plies": len(g.actions),
                     "result": g.result} for g in self._games.values()]

    def read(self, game: int, first: int = 0) -> FeedGame | None:
        """Game ``game`` from ply ``first`` on, or None once it is no longer kept."""
        game, first = integer(game, "game", 1), integer(first, "first", 0)
        with self._lock:
            kept = self._games.get(game)
            if kept is None:
                return None
            return FeedGame(kept.number, kept.white, kept.black, kept.start_fen, first, kept.actions[first:],
                            kept.tops[first:], kept.result, kept.chess960)

    def newest(self, *, playing: bool = False) -> int | None:
        """The newest game's number (the newest still being played, with ``playing``)."""
        with self._lock:
            for kept in reversed(self._games.values()):
                if not playing or kept.result is None:
                    return kept.number
            return None
