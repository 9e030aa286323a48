"""Simple players for matches, each a ``(state, mask) -> action`` callable that
``play_match`` takes: uniformly random, flat Monte-Carlo, and the tree search with
random roll-outs. They are the fixed references that trained agents are measured against."""

from __future__ import annotations

import threading

import numpy as np
import numpy.typing as npt

import vantor
from vantor_gym._numbers import integer
from vantor_gym.search import Search

__all__ = ["MonteCarloPlayer", "RandomPlayer", "TreeSearchPlayer"]


class RandomPlayer:
    """A uniformly random legal action."""

    def __init__(self, seed: int | None) -> None:
        self.rng = np.random.default_rng(None if seed is None else integer(seed, "seed", 0))
        self.__name__ = "random"

    def __call__(self, state: vantor.State, mask: npt.NDArray[np.bool_]) -> int:
        return int(self.rng.choice(np.flatnonzero(mask)))


class MonteCarloPlayer:
    """Flat Monte-Carlo: each legal action scored by ``rollouts`` random games from the
    position it leads to; the best for the side to move is played."""

    def __init__(self, rollouts: int) -> None:
        self.rollouts = integer(rollouts, "rollouts", 1)
        self.board = vantor.Vantor()
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
            board.restore_state(state)
            _, _, reward, done = board.step(action)
            score = reward * self.rollouts if done else self._roll_outs(board)
            if sign * score > best_score:
                best, best_score = action, sign * score
        return best

    def _roll_outs(self, board: vantor.Vantor) -> int:
        after = board.save_state()
        score = 0
        for _ in range(self.rollouts):
            score += board.roll_out()
            board.restore_state(after)
        return score


class TreeSearchPlayer:
    """The native PUCT tree search with ``simulations`` simulations a move, each leaf
    valued by one random roll-out; no root noise, the most visited action is played."""

    def __init__(self, simulations: int, seed: int | None) -> None:
        self.search = Search(1, "roll_out", simulations=simulations, dirichlet_fraction=0.0, threads=1, seed=seed)
        self.__name__ = f"tree search ({simulations} simulations per move)"

    def __call__(self, state: vantor.State, mask: npt.NDArray[np.bool_]) -> int:
        return int(self.search.run([state]).actions[0])
