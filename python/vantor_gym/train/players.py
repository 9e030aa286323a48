"""The trained network as a player: ``NetworkPlayer`` (the tree search with the network as
its evaluator, a ``play_match`` agent), ``NetworkPolicy`` (the policy head alone, for
environment loops) and ``load_player`` (a player over a saved network). The match
players without a network are in ``vantor_gym.players``."""

from __future__ import annotations

import os
import threading
from collections.abc import Iterator
from contextlib import contextmanager, nullcontext

import numpy as np
import numpy.typing as npt
import torch

import vantor
from vantor_gym.search import Search
from vantor_gym.train.network import ACTIONS, PLANES, PolicyValueNet, evaluator, load_network
from vantor_gym.view.feed import Top, top_moves

__all__ = ["NetworkPlayer", "NetworkPolicy", "load_player", "one_thread"]


class _OneThread:
    """PyTorch's intra-op thread count held at 1 while any call is inside (a network on
    one position at a time runs several times faster on one thread than on several, which
    only wait on each other). The count is process-wide, so overlapping calls from several
    threads share one saved count, the one in force when the first began, and each
    thread sets it back on leaving."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._inside = 0
        self._outer = 1

    @contextmanager
    def __call__(self) -> Iterator[None]:
        with self._lock:
            if self._inside == 0:
                self._outer = torch.get_num_threads()
            self._inside += 1
            outer = self._outer
        try:
            torch.set_num_threads(1)
            yield
        finally:
            # With OpenMP the count is kept per thread: this thread's own is set back.
            torch.set_num_threads(outer)
            with self._lock:
                self._inside -= 1


one_thread = _OneThread()
"""``with one_thread():`` runs PyTorch on one intra-op thread and sets the count back after."""


class NetworkPlayer:
    """A ``play_match`` agent: the tree search with ``net`` as its evaluator, ``simulations``
    simulations a move, no root noise, the most visited move played, under ``rules``
    (``vantor_gym.rules``: the games' rules, ``"standard"`` by default; Chess960 positions
    with ``chess960``). Proven mates
    are played as soon as the search sees them.

    Each call runs PyTorch on one intra-op thread (``torch.set_num_threads(1)``, the
    caller's count set back afterwards): the search hands the network one position at a
    time, which several threads only slow down. The count is process-wide, so PyTorch
    work on other threads during a call may run on one thread too. Calls from several
    threads take turns. ``policy`` is the network alone, without search, for environment
    loops that hand over observations instead of positions. ``last_search`` holds the last
    search's value and top moves (``vantor_gym.view.Top``), for a page that watches."""

    last_search: Top | None = None

    def __init__(self, net: PolicyValueNet, simulations: int = 32, *, name: str = "network",
                 seed: int | None = None, rules: str = "standard", chess960: bool = False) -> None:
        self.net = net
        self.search = Search(1, evaluator(net), simulations=simulations, dirichlet_fraction=0.0, threads=1,
                             seed=seed, compact=True, rules=rules, chess960=chess960)
        self.rules, self.chess960 = self.search.rules, self.search.chess960
        self._lock = threading.Lock()
        self.__name__ = name

    def __call__(self, state: vantor.State, mask: npt.NDArray[np.bool_]) -> int:
        with self._lock, one_thread():
            result = self.search.run([state])
            self.last_search = top_moves(result.policies[0], float(result.values[0]))
            return int(result.actions[0])

    @property
    def policy(self) -> NetworkPolicy:
        """The network's own choice from an observation and a mask (``NetworkPolicy``)."""
        return NetworkPolicy(self.net)


class NetworkPolicy:
    """``policy(observation, mask) -> action``: the legal action the network's policy head
    rates highest, with no search (a search needs the position, which the planes do not
    wholly carry: they have no en passant square, only the history hinting at one, and
    no repetitions from before their eight plies). ``observation`` is the 119 planes an
    environment gives, ``(119, 8, 8)`` in any real dtype (``VantorEnv``,
    ``vantor_gym.aec``: the side to move's view, as the network was trained on), ``mask``
    the legal actions, ``(4672,)`` bool or 0/1 integers (``int8`` as the environments give
    it); the answer is an ``int``. A batch, ``(n, 119, 8, 8)``
    with ``(n, 4672)``, gives an ``int64`` array of ``n`` actions (a vector environment's
    step). Plane 113, the step count, is not read, so any ``step_plane`` serves.
    ``ValueError`` for other shapes, values that are not finite, or a mask without a legal
    action; ``TypeError`` for what is not an array of numbers. One observation runs on one
    intra-op thread, as ``NetworkPlayer``'s calls do; a batch on the caller's count."""

    def __init__(self, net: PolicyValueNet) -> None:
        if not isinstance(net, PolicyValueNet):
            raise TypeError(f"net must be a PolicyValueNet, not {type(net).__name__}")
        self.net = net
        self._lock = threading.Lock()
        self.__name__ = "network policy"

    def __call__(self, observation: npt.ArrayLike, mask: npt.ArrayLike) -> int | npt.NDArray[np.int64]:
        planes, legal = _policy_inputs(observation, mask)
        where = next(self.net.parameters()).device
        single = one_thread() if planes.ndim == 3 else nullcontext()
        with self._lock, single, torch.inference_mode():
            training = self.net.training
            self.net.eval()
            try:
                logits, _ = self.net(torch.from_numpy(planes.reshape(-1, PLANES, 8, 8)).to(where))
            finally:
                self.net.train(training)
            scores = logits.float().cpu().numpy()
        actions = np.where(legal.reshape(-1, ACTIONS), scores, -np.inf).argmax(axis=1).astype(np.int64)
        return int(actions[0]) if planes.ndim == 3 else actions


def _policy_inputs(observation: npt.ArrayLike, mask: npt.ArrayLike) -> tuple[np.ndarray, np.ndarray]:
    """The planes as float32 and the mask as bool, checked against each other."""
    planes, legal = np.asarray(observation), np.asarray(mask)
    if planes.dtype.kind not in "iuf" or legal.dtype.kind not in "biu":
        raise TypeError(f"observation must hold numbers and mask bools or 0/1 integers, not {planes.dtype} and "
                        f"{legal.dtype}")
    batch = planes.shape[:-3] if planes.ndim in (3, 4) else None
    if batch is None or planes.shape[-3:] != (PLANES, 8, 8) or legal.shape != (*batch, ACTIONS):
        raise ValueError(f"observation and mask must be (119, 8, 8) and (4672,), or (n, 119, 8, 8) and (n, 4672), "
                         f"not {planes.shape} and {legal.shape}")
    if legal.dtype.kind != "b" and not np.isin(legal, (0, 1)).all():
        raise ValueError("mask must hold only 0 and 1")
    legal = legal.astype(bool)
    if not legal.reshape(-1, ACTIONS).any(axis=1).all():
        raise ValueError("mask has no legal action (the game is over)")
    planes = planes.astype(np.float32)
    if not np.isfinite(planes).all():
        raise ValueError("observation holds values that are not finite")
    return planes, legal


def load_player(path: str | os.PathLike[str], simulations: int = 32, *, name: str | None = None,
                device: str | None = None, rules: str = "standard", chess960: bool = False) -> NetworkPlayer:
    """A ``NetworkPlayer`` over the network saved at ``path`` (by ``save_network``),
    searching under ``rules`` (Chess960 positions with ``chess960``)."""
    net = load_network(path, device)
    return NetworkPlayer(net, simulations, name=name or os.path.basename(os.fspath(path)), rules=rules,
                         chess960=chess960)

