"""Batched PUCT tree search for AlphaZero-style agents, native, over many games at once.

Each round the native search selects up to ``leaves_per_game`` leaves in every game and
hands all of them to the evaluator in one call; the tree itself never touches a Python
object. The evaluator is a callable ``(observations, masks) -> (logits, values)``:
observations ``float32 (n, 119, 8, 8)`` (the planes ``Vantor.step`` would give at each
leaf), masks ``bool (n, 4672)``, logits ``(n, 4672)`` and values ``(n,)`` in [-1, 1]
from the side to move at each leaf. ``evaluator="roll_out"`` instead gives uniform
priors and the value of one random roll-out from each leaf, without calling Python.
With ``compact=True`` the observations come as ``uint64 (n, 108)`` rows instead (see
``vantor_gym.compact``), which ``vantor_gym.expand_observations`` (or its PyTorch twin,
on the evaluator's device) turns into exactly those planes.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable, Iterator, Sequence
from contextlib import AbstractContextManager, contextmanager, nullcontext
from dataclasses import dataclass
from typing import Any, Union

import numpy as np

import vantor
from vantor_gym import _native
from vantor_gym._numbers import integer, real
from vantor_gym.batch import ACTIONS, PLANES, BatchEnv
from vantor_gym.compact import COMPACT_WORDS
from vantor_gym.rules import rules_of

__all__ = ["Evaluator", "Search", "SearchResult"]

_INT32_MAX = 2**31 - 1

Evaluator = Union[Callable[[np.ndarray, np.ndarray], tuple[np.ndarray, np.ndarray]], str]
"""What ``Search`` evaluates leaves with: a callable ``(observations, masks) -> (logits,
values)``, or ``"roll_out"``."""


@dataclass(frozen=True)
class SearchResult:
    """One run's results, a row per game.

    ``visits`` (``int32``) are the root children's visit counts by action and
    ``policies`` (``float32``) the same divided by their sum (zeros for a root without a
    legal move, or a game already over); ``values`` (``float32``) the mean backed-up
    value at the root from its side to move (a finished game's result); ``actions``
    (``int64``) the chosen actions (-1 only for a root without a legal move, or a game
    already over); ``simulations`` (``int64``) the simulations made in this run.

    ``proven`` (``bool``) tells the roots whose result the search proved: the game is
    over, or every line from the root the search needs ends in a finished game (a mate, a
    stalemate, or a draw of the search's rules). At such a root ``values`` holds the exact
    result from its side to move, 1.0 won, -1.0 lost, 0.0 drawn, and the action is the
    proven one: the fastest win, the slowest loss, or a drawing move.
    """

    policies: np.ndarray
    visits: np.ndarray
    values: np.ndarray
    actions: np.ndarray
    simulations: np.ndarray
    proven: np.ndarray


def _positive(value: float, name: str) -> float:
    number = real(value, name, finite=False)
    if not np.isfinite(number) or number < 0:
        raise ValueError(f"{name} must be a finite number at least 0, got {value!r}")
    return number


def _count(value: int, name: str, low: int, high: int = _INT32_MAX) -> int:
    """An integer parameter in low .. high (the native search counts in 32 bits)."""
    return integer(value, name, low, high)


class Search:
    """PUCT search over ``num_games`` games with one evaluator.

    - ``simulations``: simulations per game and run, at least 1 (a fresh tree's root
      evaluation is not one); ``c_puct``: the exploration weight in ``Q + c_puct * P *
      sqrt(max(1, sum N)) / (1 + N)``; ``fpu``: the value Q of a child not yet visited.
    - ``dirichlet_alpha``, ``dirichlet_fraction``: noise mixed into the root's priors at
      every run (none when either is 0).
    - ``leaves_per_game``: leaves selected per game and round, kept apart by a virtual
      loss; ``threads``: native threads (``None``: all cores); ``seed``: every game draws
      its noise, roll-outs and sampled actions from its own generator, seeded from
      ``seed``, the game's index and the run, so results do not depend on ``threads``.
    - ``max_nodes``: the node pool of each game (one node per child edge, about 64
      bytes); a game whose pool is full stops its search with what it has.
    - ``compact``: the evaluator gets compact observations (``uint64 (n, 108)``); a root
      whose history they cannot show (a snapshot with edited planes) raises
      ``ValueError``.
    - ``torch_inputs``: the evaluator gets its observations and masks as CPU
      ``torch.Tensor``s sharing the search's buffers (no copy; like the arrays, they are
      overwritten by the next round). Needs PyTorch (``ImportError`` otherwise).
    - ``rules``: the rules that end the games in the tree and keep their clock,
      ``"standard"``, ``"automatic"`` or ``"module"`` (``vantor_gym.rules``). A
      ``BatchEnv`` of roots must play the same rules, and a root ``vantor.State`` must be
      made under the same family (``vantor.Vantor``'s are the module's): else
      ``ValueError``.
    - ``chess960``: the roots are Chess960 positions (``vantor_gym.chess960``); a
      ``BatchEnv`` of roots must say the same, and its games' castling rooks are kept. A
      root snapshot holds castling rights as four bits, each taken to be for the outermost
      rook on its side of the king.

    The evaluator may answer NumPy arrays or any array with ``__dlpack__`` (a PyTorch
    tensor: read in place on the CPU, fetched with ``.cpu()`` from another device,
    detached when it requires a gradient, made real first when it is a negated or
    conjugated view or a zero tensor).

    Calls from several threads take turns. The evaluator must not call ``run`` or
    ``advance`` of its own search, nor step or reset the ``BatchEnv`` being searched: each
    raises ``RuntimeError``.
    """

    def __init__(
        self,
        num_games: int,
        evaluator: Evaluator,
        simulations: int = 800,
        c_puct: float = 1.25,
        dirichlet_alpha: float = 0.3,
        dirichlet_fraction: float = 0.25,
        fpu: float = 0.0,
        leaves_per_game: int = 1,
        threads: int | None = None,
        seed: int | None = None,
        max_nodes: int = 100_000,
        compact: bool = False,
        torch_inputs: bool = False,
        rules: str = "standard",
        chess960: bool = False,
    ) -> None:
        self.rules = rules_of(rules)
        if not isinstance(chess960, (bool, np.bool_)):
            raise TypeError(f"chess960 must be a bool, not {type(chess960).__name__}")
        self.chess960 = bool(chess960)
        num_games = _count(num_games, "num_games", 1)
        simulations = _count(simulations, "simulations", 0)
        if simulations == 0:
            raise ValueError(
                "simulations must be at least 1: a search of none has no visits to choose an action "
                "by (for the evaluator's own policy at a root, call the evaluator)")
        # A game never selects more leaves in a round than it has simulations to make.
        leaves = min(_count(leaves_per_game, "leaves_per_game", 1), simulations)
        if num_games * leaves > _INT32_MAX:
            raise ValueError(f"num_games * leaves_per_game must be at most {_INT32_MAX}, got {num_games * leaves}")
        max_nodes = _count(max_nodes, "max_nodes", 1 + 218)
        threads = 0 if threads is None else _count(threads, "threads", 0)
        if seed is not None:
            seed = _count(seed, "seed", 0, 2**64 - 1)
        c_puct = _positive(c_puct, "c_puct")
        dirichlet_alpha = _positive(dirichlet_alpha, "dirichlet_alpha")
        dirichlet_fraction = real(dirichlet_fraction, "dirichlet_fraction")
        if not 0 <= dirichlet_fraction <= 1:
            raise ValueError(f"dirichlet_fraction must be in [0, 1], got {dirichlet_fraction}")
        fpu = real(fpu, "fpu")
        if isinstance(evaluator, str):
            if evaluator != "roll_out":
                raise ValueError(f"evaluator must be a callable or 'roll_out', not {evaluator!r}")
        elif not callable(evaluator):
            raise TypeError("evaluator must be a callable or 'roll_out'")
        if not isinstance(compact, (bool, np.bool_)):
            raise TypeError(f"compact must be a bool, not {type(compact).__name__}")
        if not isinstance(torch_inputs, (bool, np.bool_)):
            raise TypeError(f"torch_inputs must be a bool, not {type(torch_inputs).__name__}")
        self._to_torch: Callable[[np.ndarray], object] | None = None
        if torch_inputs:
            try:
                import torch
            except ImportError as error:
                raise ImportError("torch_inputs=True needs PyTorch, which is not installed") from error
            self._to_torch = torch.from_numpy
        self.compact = bool(compact)
        self.num_games = num_games
        self.evaluator = evaluator
        self.simulations = simulations
        self.threads = min(threads or os.cpu_count() or 1, num_games)
        self._core = _native.SearchCore(
            num_games,
            simulations,
            c_puct,
            dirichlet_alpha,
            dirichlet_fraction,
            fpu,
            leaves,
            self.threads,
            seed,
            max_nodes,
            isinstance(evaluator, str),
            self.compact,
            rules=self.rules,
            chess960=self.chess960,
        )
        rows = num_games * leaves
        self._observations = (np.zeros((rows, COMPACT_WORDS), np.uint64) if self.compact
                              else np.zeros((rows, PLANES, 8, 8), np.float32))
        self._masks = np.zeros((rows, ACTIONS), np.bool_)
        # One run at a time: its rounds go select, evaluate, expand.
        self._lock = threading.Lock()
        # Whether this thread holds the lock; each thread sees only its own flag.
        self._holder = threading.local()

    @contextmanager
    def _turn(self, method: str) -> Iterator[None]:
        """Holds the search for one call; other threads wait their turn. The thread that
        holds it is inside its own run (the evaluator, or a finaliser it set off), where
        waiting would never end."""
        if getattr(self._holder, "held", False):
            raise RuntimeError(f"Search.{method} called from inside the evaluator, during the search's own run")
        with self._lock:
            self._holder.held = True
            try:
                yield
            finally:
                self._holder.held = False

    def run(self, roots: BatchEnv | Sequence[vantor.State], temperature: float = 0.0) -> SearchResult:
        """Searches from the roots (a ``BatchEnv`` of ``num_games`` games, or that many
        ``vantor.State``s) and chooses an action per game: the most visited (then the
        higher prior, then the lower action) at temperature 0, else one drawn with
        probability proportional to ``visits ** (1 / temperature)`` (evenly among the
        most visited as the temperature nears 0; never an action without visits).

        Finished games in the tree prove positions: a move into a position proven lost for
        the opponent wins, a position whose every move is proven is decided by the best
        of them. A move proven to lose is never chosen, at any temperature, while another
        move exists (the draw leaves it out; should none of the others have visits, the
        most visited of them is taken). At a proven root the choice ignores the
        temperature for a win (the fastest) or a loss (the slowest); a proven draw draws
        among the drawing moves by their visits. The simulations left once the root is
        proven go to its proven move, except at a won root without a mate at once: there
        they go to the moves not yet proven, for a faster win, while any is left.

        ``temperature`` is a Python or NumPy real number (``numbers.Real``, not a bool), as
        are ``c_puct``, ``fpu`` and the Dirichlet options: anything else is a
        ``TypeError``."""
        temperature = _positive(temperature, "temperature")
        with self._turn("run"), self._reserving(roots):
            # Read once this run has its turn, so they are the positions it searches.
            states, watched = self._read_roots(roots)
            # A game's own castling rooks, which a State does not carry (Chess960's inner rooks).
            rooks = roots._open().castling_rooks() if isinstance(roots, BatchEnv) and self.chess960 else None
            self._core.set_roots(states, rooks)
            try:
                while (rows := self._core.select(self._observations, self._masks)) > 0:
                    self._evaluate(rows, watched)
            except BaseException:
                # Whatever broke the round (the evaluator, an interrupt), its leaves go.
                self._core.abandon()
                raise
            return SearchResult(*self._core.results(temperature))

    @staticmethod
    def _reserving(roots: object) -> AbstractContextManager[None]:
        """A BatchEnv of roots refuses, on this thread, to be stepped or reset until the
        run ends: the evaluator would move the positions being searched."""
        if isinstance(roots, BatchEnv):
            return roots._reserved("a Search over these games runs its evaluator")
        return nullcontext()

    def _read_roots(
        self, roots: BatchEnv | Sequence[vantor.State]
    ) -> tuple[list[vantor.State], tuple[BatchEnv, np.ndarray] | None]:
        """The roots' States, and a BatchEnv of roots with its position hashes, to be
        watched for steps while the search runs."""
        if isinstance(roots, BatchEnv):
            if roots.num_envs != self.num_games:
                raise ValueError(f"the BatchEnv holds {roots.num_envs} games, the search {self.num_games}")
            if roots.rules != self.rules:
                raise ValueError(f"the BatchEnv plays {roots.rules!r} rules, the search {self.rules!r}: "
                                 f"make both with the same rules=")
            if (roots.chess960 is not False) != self.chess960:
                raise ValueError("the BatchEnv and the search must both play Chess960 or both not: make the search "
                                 f"with chess960={roots.chess960 is not False}")
            hashes = roots.hash_state()
            return [roots.save_state(i) for i in range(self.num_games)], (roots, hashes)
        if isinstance(roots, (list, tuple)):
            if not all(isinstance(s, vantor.State) for s in roots):
                raise TypeError("roots must be a BatchEnv or a sequence of vantor.State")
            return list(roots), None
        raise TypeError(f"roots must be a BatchEnv or a sequence of vantor.State, not {type(roots).__name__}")

    def _evaluate(self, rows: int, watched: tuple[BatchEnv, np.ndarray] | None) -> None:
        if not callable(self.evaluator):
            raise TypeError(f"the search's evaluator must be callable, not {type(self.evaluator).__name__}")
        observations, masks = self._observations[:rows], self._masks[:rows]
        if self._to_torch is not None:
            answer = self.evaluator(self._to_torch(observations), self._to_torch(masks))  # type: ignore[arg-type]
        else:
            answer = self.evaluator(observations, masks)
        if watched is not None:
            _check_unchanged(*watched)
        logits, values = _checked(answer, rows)
        self._core.expand(logits, values)

    def advance(self, actions: np.ndarray | Sequence[int]) -> None:
        """Keeps the subtree under each game's action for the next ``run``, which must be
        given the position after that action (a root whose position differs starts a
        fresh tree); -1, or an action never searched, drops that game's tree."""
        array = _array(actions, "actions")
        if array.shape != (self.num_games,) or array.dtype.kind not in "iu":
            raise ValueError(f"actions must be {self.num_games} integers")
        with self._turn("advance"):
            self._core.advance(array.astype(np.int64))


def _check_unchanged(games: BatchEnv, hashes: np.ndarray) -> None:
    """RuntimeError when the searched games left the positions the search started from:
    its actions would be played in positions they were not chosen for."""
    try:
        now = games.hash_state()
    except RuntimeError:
        now = None
    if now is None or not np.array_equal(now, hashes):
        raise RuntimeError(
            "the BatchEnv being searched was stepped, reset or closed during the search "
            "(from inside the evaluator, or by another thread)")


def _array(answer: object, name: str) -> np.ndarray:
    """An evaluator's output (or advance's actions) as a NumPy array: in place for an array
    on the CPU that speaks DLPack, through ``.cpu()`` for one on another device."""
    try:
        if isinstance(answer, np.ndarray) or not hasattr(answer, "__dlpack__"):
            if np.ma.is_masked(answer):
                raise ValueError("it has masked entries")
            return np.asarray(answer)
        tensor: Any = answer
        if getattr(tensor, "requires_grad", False) and hasattr(tensor, "detach"):
            tensor = tensor.detach()
        device = getattr(tensor, "device", None)
        if device is not None and getattr(device, "type", "cpu") != "cpu" and hasattr(tensor, "cpu"):
            tensor = tensor.cpu()
        return np.from_dlpack(_resolved(tensor))
    except (BufferError, RuntimeError, TypeError, ValueError) as error:
        raise ValueError(f"{name} cannot be read as an array: {error}") from None


# PyTorch's lazy tensors, which DLPack exports as their raw storage: a negated view (its
# negative bit), a conjugated one, a zero tensor without storage; each is made real first.
_LAZY = (("is_neg", "resolve_neg"), ("is_conj", "resolve_conj"), ("_is_zerotensor", "clone"))


def _resolved(tensor: Any) -> Any:
    for lazy, resolve in _LAZY:
        test = getattr(tensor, lazy, None)
        if callable(test) and test():
            tensor = getattr(tensor, resolve)()
    return tensor


def _checked(answer: object, rows: int) -> tuple[np.ndarray, np.ndarray]:
    """The evaluator's (logits, values) as float64 arrays, or ValueError naming the fault."""
    if not isinstance(answer, tuple) or len(answer) != 2:
        raise ValueError("the evaluator must return a pair (logits, values)")
    logits, values = (_array(a, f"the evaluator's {name}") for a, name in zip(answer, ("logits", "values")))
    for name, array, shape in (("logits", logits, (rows, ACTIONS)), ("values", values, (rows,))):
        if array.shape != shape:
            raise ValueError(f"the evaluator's {name} have shape {array.shape}, expected {shape}")
        if array.dtype.kind != "f":
            raise ValueError(f"the evaluator's {name} must be floating point, not {array.dtype}")
    # float32 logits are read in place, when aligned; only the legal ones are ever looked at.
    if not logits.flags.aligned:
        logits = logits.copy()
    return logits, np.require(values, np.float64, "A")
