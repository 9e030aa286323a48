"""Players for matches, each a ``(state, mask) -> action`` callable that ``play_match``
takes: uniformly random, flat Monte-Carlo, and the tree search with random roll-outs, the
fixed references that trained agents are measured against; and ``make_player``, which
makes any player from its spec (``random``, ``mc:N``, ``search:N``, ``baseline[:N]``,
``net:PATH[:N]``, ``uci:PATH[:options]``), as ``vantor match`` and the environments take them.

The players that look ahead do so under the rules they are made with (``rules``, as
``vantor_gym.rules`` names them, ``"standard"`` by default), which must be the game's:
``play_match`` refuses a player of other rules. Made with ``chess960=True`` they play
Chess960 (``vantor_gym.chess960``), which a match of that variant needs of them."""

from __future__ import annotations

import threading
from collections.abc import Callable
from contextlib import ExitStack

import numpy as np
import numpy.typing as npt

import vantor
from vantor_gym._numbers import INT32_MAX, flag, integer
from vantor_gym._parsing import whole
from vantor_gym.batch import BatchEnv
from vantor_gym.rules import rules_of
from vantor_gym.search import Search
from vantor_gym.uci import UciEngine
from vantor_gym.view.feed import Top, top_moves

__all__ = ["MonteCarloPlayer", "Player", "RandomPlayer", "TreeSearchPlayer", "make_player"]

Player = Callable[[vantor.State, npt.NDArray[np.bool_]], int]
"""A player of ``play_match``: given the position and its legal-action mask, returns an
action."""


class RandomPlayer:
    """A uniformly random legal action."""

    def __init__(self, seed: int | None) -> None:
        self.rng = np.random.default_rng(None if seed is None else integer(seed, "seed", 0))
        self.__name__ = "random"

    def __call__(self, state: vantor.State, mask: npt.NDArray[np.bool_]) -> int:
        return int(self.rng.choice(np.flatnonzero(mask)))


class MonteCarloPlayer:
    """Flat Monte-Carlo: each legal action scored by ``rollouts`` random games from the
    position it leads to, played under ``rules``; the best for the side to move is played."""

    def __init__(self, rollouts: int, rules: str = "standard", chess960: bool = False) -> None:
        self.rollouts = integer(rollouts, "rollouts", 1, INT32_MAX)
        self.rules = rules_of(rules)
        self.chess960 = flag(chess960, "chess960")
        self.board = BatchEnv(1, threads=1, autoreset="disabled", rules=self.rules, chess960=self.chess960)
        self._lock = threading.Lock()  # calls from several threads take turns at the board
        self.__name__ = f"flat Monte-Carlo ({rollouts} roll-outs per move)"

    def __call__(self, state: vantor.State, mask: npt.NDArray[np.bool_]) -> int:
        with self._lock:
            return self._best(state, mask)

    def _best(self, state: vantor.State, mask: npt.NDArray[np.bool_]) -> int:
        board = self.board
        sign = 1 if state.side == 0 else -1  # rewards are from white's side
        best, best_score = -1, -np.inf
        for action in np.flatnonzero(mask).tolist():
            board.restore_state(0, state)
            _, rewards, terminated, _, _ = board.step(np.array([action], np.int64))
            score = int(rewards[0]) * self.rollouts if terminated[0] else self._roll_outs(board)
            if sign * score > best_score:
                best, best_score = action, sign * score
        return best

    def _roll_outs(self, board: BatchEnv) -> int:
        after = board.save_state(0)
        score = 0
        for _ in range(self.rollouts):
            score += int(board.roll_out()[0])
            board.restore_state(0, after)
        return score


class TreeSearchPlayer:
    """The native PUCT tree search with ``simulations`` simulations a move, each leaf
    valued by one random roll-out, under ``rules``; no root noise, the most visited action
    is played. ``last_search`` holds the last search's value and top moves
    (``vantor_gym.view.Top``)."""

    last_search: Top | None = None

    def __init__(self, simulations: int, seed: int | None, rules: str = "standard", chess960: bool = False) -> None:
        self.search = Search(1, "roll_out", simulations=simulations, dirichlet_fraction=0.0, threads=1, seed=seed,
                             rules=rules, chess960=chess960)
        self.rules, self.chess960 = self.search.rules, self.search.chess960
        self.__name__ = f"tree search ({simulations} simulations per move)"

    def __call__(self, state: vantor.State, mask: npt.NDArray[np.bool_]) -> int:
        result = self.search.run([state])
        self.last_search = top_moves(result.policies[0], float(result.values[0]))
        return int(result.actions[0])


def _uci_value(engine: UciEngine, name: str, text: str) -> object:
    """The option value text means for the engine's declared type of option ``name``."""
    option = engine.options.get(name.strip().lower())
    if option is None or option.type not in ("check", "spin", "button"):
        return text  # an unknown name is refused, naming it, by set_options
    if option.type == "button":
        return None
    if option.type == "check":
        if text.lower() not in ("true", "false"):
            raise ValueError(f"UCI option {name!r} is a check: give it true or false, not {text!r}")
        return text.lower() == "true"
    try:
        return whole(text)
    except ValueError:
        raise ValueError(f"UCI option {name!r} is a spin: give it an integer, not {text!r}") from None


def _uci_options(text: str) -> list[tuple[str, str]]:
    pairs = []
    for item in filter(None, text.split(",")):
        name, equals, value = item.partition("=")
        if not equals or not name.strip():
            raise ValueError(f"UCI options are name=value pairs separated by commas, not {item!r}")
        pairs.append((name.strip(), value.strip()))
    return pairs


def _uci_player(spec: str, movetime: float | None, stack: ExitStack) -> UciEngine:
    path, _, options = spec.partition(":")
    pairs = _uci_options(options)  # checked before anything is started
    engine = stack.enter_context(UciEngine(path, movetime=movetime))
    if pairs:
        engine.set_options({name: _uci_value(engine, name, value) for name, value in pairs})
    return engine


def _positive_count(text: str, spec: str) -> int:
    try:
        count = whole(text)
    except ValueError:
        count = 0
    if count < 1:
        raise ValueError(f"{spec!r}: the count after ':' must be a whole number of at least 1")
    return count


# What each kind of spec is written as, for the messages that refuse one.
_FORMS = {"random": "random alone", "mc": "mc:N", "search": "search:N", "baseline": "baseline or baseline:N",
          "net": "net:PATH or net:PATH:N", "uci": "uci:PATH or uci:PATH:name=value,..."}
_KNOWN = "random, mc:N, search:N, baseline[:N], net:PATH[:N] or uci:PATH[:name=value,...]"


def make_player(
    spec: str, stack: ExitStack, *, seed: int | None = None, movetime: float | None = None, rules: str = "standard",
    chess960: bool = False,
) -> Player | UciEngine:
    """The match agent a player spec names: ``random``, ``mc:N`` (flat Monte-Carlo, N
    roll-outs per legal move), ``search:N`` (tree search, N simulations per move),
    ``baseline[:N]`` (the trained baseline network, N simulations per move, 32 by
    default; needs PyTorch), ``net:PATH[:N]`` (a network saved by a training run) or
    ``uci:PATH[:name=value,...]`` (a UCI engine with those options, closed by ``stack``).
    The players that look ahead do so under ``rules``; a UCI engine plays chess, and is
    refused with ``ValueError`` under ``"module"`` before it is started. With ``chess960``
    the players play Chess960 (a UCI engine turns ``UCI_Chess960`` on by itself)."""
    if not isinstance(spec, str):
        raise TypeError(f"a player spec is a str, not {type(spec).__name__}")
    rules = rules_of(rules)
    kind, colon, rest = spec.partition(":")
    if colon and not rest:
        raise ValueError(f"{spec!r}: nothing follows the ':' (use {_FORMS.get(kind, _KNOWN)})")
    if kind == "baseline":
        from vantor_gym.train import baseline

        return baseline(_positive_count(rest, spec) if rest else 32, rules=rules, chess960=chess960)
    if kind == "net" and rest:
        from vantor_gym.train.players import load_player

        path, colon, count = rest.rpartition(":")
        if not (colon and count.isdigit()):
            path, count = rest, ""
        return load_player(path, _positive_count(count, spec) if count else 32, rules=rules, chess960=chess960)
    if kind == "random" and not rest:
        return RandomPlayer(seed)
    if kind == "mc":
        return MonteCarloPlayer(_positive_count(rest, spec), rules, chess960)
    if kind == "search":
        return TreeSearchPlayer(_positive_count(rest, spec), seed, rules, chess960)
    if kind == "uci" and rest:
        if rules == "module":
            raise ValueError(f"{spec!r}: a UCI engine plays chess, not the module's rules: use rules 'standard' "
                             "or 'automatic'")
        return _uci_player(rest, movetime, stack)
    raise ValueError(f"unknown player {spec!r}: use {_KNOWN}")
