"""Self-play for training on Ray workers, the learner staying on the driver.

``SelfPlayWorkers(config)`` starts ``config.workers`` Ray actors. Each owns a ``SelfPlay``
of its own (``config.games`` games at once, a ``Search`` of ``config.simulations``
simulations a move) and a CPU copy of the network, and plays
``config.plies_per_iteration`` plies a call, handing back the games that finished during
the call. The driver publishes the learner's weights by version (``publish``); every call
carries the newest, and a worker takes them only when their version is newer than its own.
``collect(buffer)`` adds the games that have come back to the replay buffer.

Each game is named by its worker, the worker's incarnation (0 for its first process, then
the count of Ray's restarts of it) and its number within the incarnation. A call is never
retried, and its games leave the worker only in its result, so a worker whose process
dies (killed, its node gone) loses only games the driver has not received; Ray restarts
it, and the new incarnation plays fresh games with seeds of its own. The driver takes
each game at most once: one whose number it has had from that incarnation is dropped.
"""

from __future__ import annotations

import os
import secrets
import threading
import time
import warnings
from collections import deque
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt
import torch

from vantor_gym._handles import serialised
from vantor_gym._numbers import integer, real
from vantor_gym.distributed import _CONTROL, _kill, _Process, _this_process
from vantor_gym.train.config import TrainConfig
from vantor_gym.train.network import NetworkConfig, PolicyValueNet, evaluator
from vantor_gym.train.replay import ReplayBuffer
from vantor_gym.train.selfplay import SelfPlay

__all__ = ["Game", "SelfPlayWorkers", "WorkerError", "import_ray"]

ACTIONS = 4672
# Seconds between questions to a worker that lost a call, until it answers: while Ray
# restarts it, calls to it fail at once, so it gets none until then.
_ASK_EVERY = 1.0


def import_ray() -> Any:
    """The ``ray`` module, or ``ImportError`` saying that self-play on workers needs it."""
    try:
        import ray
    except ImportError as error:
        raise ImportError(f"self-play on Ray workers (workers above 0) needs Ray (pip install 'vantor[ray]'): "
                          f"{error}", name="ray") from None
    return ray


class WorkerError(RuntimeError):
    """A self-play worker raised (or could not start): the message names the worker and
    the error's type and first line; ``worker`` is its number, the error itself the
    ``__cause__`` where it could be carried back."""

    def __init__(self, worker: int, message: str) -> None:
        super().__init__(f"self-play worker {worker} failed: {message}")
        self.worker = worker


@dataclass(frozen=True)
class Game:
    """A finished game as a worker hands it back.

    ``worker``, ``incarnation`` and ``sequence`` (its number within the incarnation) are
    its ``id``; ``version`` the version of the weights the worker played with when it
    ended. ``rows`` are the compact observations (``uint64 (plies, 108)``); position ``i``
    has ``counts[i]`` legal actions, listed ascending in ``actions``, one position after
    another, with the search's visit policy over them in ``policies``; ``values`` are the
    result from each position's side to move."""

    worker: int
    incarnation: int
    sequence: int
    version: int
    rows: np.ndarray
    counts: np.ndarray
    actions: np.ndarray
    policies: np.ndarray
    values: np.ndarray

    @property
    def id(self) -> tuple[int, int, int]:
        """``(worker, incarnation, sequence)``, which no other game of the run has."""
        return self.worker, self.incarnation, self.sequence

    @property
    def plies(self) -> int:
        """The game's positions."""
        return len(self.rows)

    def arrays(self) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """The observations, dense legal masks, policies and values, as ``ReplayBuffer.add``
        takes them."""
        total = int(self.counts.sum())
        if self.counts.shape != (self.plies,) or total != len(self.actions) or total != len(self.policies):
            raise ValueError(f"game {self.id} holds {len(self.actions)} actions and {len(self.policies)} policy "
                             f"entries for legal-action counts that add up to {total}")
        index = np.repeat(np.arange(self.plies), self.counts)
        actions = self.actions.astype(np.int64)
        masks = np.zeros((self.plies, ACTIONS), np.bool_)
        masks[index, actions] = True
        policies = np.zeros((self.plies, ACTIONS), np.float32)
        policies[index, actions] = self.policies
        return self.rows, masks, policies, self.values


class _Outbox(ReplayBuffer):
    """Where a worker's ``SelfPlay``, which hands finished games to a replay buffer, puts
    them: packed (each position's legal actions and their policy, not 4672 of each) until
    the call returns them."""

    def __init__(self) -> None:
        super().__init__(1)
        self.games: list[tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, np.ndarray]] = []

    def add(self, observations: npt.ArrayLike, masks: npt.ArrayLike, policies: npt.ArrayLike,
            values: npt.ArrayLike) -> None:
        mask = np.asarray(masks, np.bool_)
        rows, columns = np.nonzero(mask)  # row by row, each row's actions ascending
        self.games.append((np.array(observations, np.uint64), mask.sum(axis=1).astype(np.int16),
                           columns.astype(np.int16), np.asarray(policies, np.float32)[rows, columns],
                           np.array(values, np.float32)))
        self.added += len(mask)


@dataclass(frozen=True)
class _Result:
    """What a worker's call hands back: the plies it played and the games that ended."""

    plies: int
    games: list[Game] = field(default_factory=list)


def _incarnation() -> int:
    """0 in an actor's first process, then how often Ray has restarted it (a random number
    where Ray does not say how often)."""
    import ray

    context = ray.get_runtime_context()
    try:
        from ray._private.state import actors

        return int(actors(actor_id=context.get_actor_id())["NumRestarts"])
    except Exception:  # an internal of Ray's that another version may lack
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            restarted = context.was_current_actor_reconstructed
        return secrets.randbits(62) + 1 if restarted else 0


class _Worker:
    """A Ray actor's body: a ``SelfPlay`` of its own with a CPU copy of the network, whose
    weights come with the calls."""

    def __init__(self, number: int, settings: dict[str, Any], incarnation: int | None = None) -> None:
        self.number = number
        self.settings = settings
        self.incarnation = _incarnation() if incarnation is None else incarnation
        self.sequence = 0
        self.version = -1
        self.net = PolicyValueNet(NetworkConfig(settings["channels"], settings["blocks"]), settings["rules"]).eval()
        self.selfplay: SelfPlay | None = None
        self.outbox = _Outbox()

    def adopt(self, version: int, weights: list[Any]) -> bool:
        """Takes the weights of ``version`` (a state dict of arrays, or Ray's reference to
        one, in a list so that Ray hands the reference over as it is) when ``version`` is
        newer than the worker's own, fetching them only then; whether it did."""
        if version <= self.version:
            return False
        state = weights[0]
        if not isinstance(state, dict):
            import ray

            state = ray.get(state)
        self.net.load_state_dict({name: torch.from_numpy(np.array(array)) for name, array in state.items()})
        self.version = version
        return True

    def play(self, version: int, weights: list[Any], plies: int) -> _Result:
        """``plies`` plies of every game with the newest weights; the games that ended."""
        self.adopt(version, weights)
        if self.selfplay is None:
            self.selfplay = self._start()
        played = self.selfplay.play(plies, self.outbox).plies
        games = [Game(self.number, self.incarnation, self.sequence + k, self.version, *packed)
                 for k, packed in enumerate(self.outbox.games)]
        self.outbox.games = []
        self.sequence += len(games)
        return _Result(played, games)

    def _start(self) -> SelfPlay:
        # The actor has one CPU: more threads would only contend for it.
        torch.set_num_threads(1)
        s = self.settings
        seed = np.random.SeedSequence([s["seed"], s["start"], self.number, self.incarnation])
        return SelfPlay(evaluator(self.net), games=s["games"], simulations=s["simulations"], max_plies=s["max_plies"],
                        temperature_plies=s["temperature_plies"], seed=int(seed.generate_state(1, np.uint64)[0]),
                        threads=1, rules=s["rules"], chess960=s.get("chess960", False))

    def pid(self) -> int:
        return os.getpid()

    def process(self) -> _Process:
        return _this_process()




def _cause_line(error: BaseException) -> str:
    """``Type: first line`` of an error a worker raised."""
    text = str(error).strip()
    return f"{type(error).__name__}: {text.splitlines()[0][:300]}" if text else type(error).__name__


def _last_line(text: str) -> str:
    """The last line of a traceback Ray gives as text: the error's type and message."""
    lines = [line.strip() for line in text.strip().splitlines() if line.strip()]
    return lines[-1][:300] if lines else "no message"


class SelfPlayWorkers:
    """``config.workers`` Ray actors playing self-play for a learner on the driver.

    Each actor (``num_cpus=1``, restarted by Ray whenever it dies) plays its own
    ``config.games`` games, a ``Search`` of ``config.simulations`` simulations a move, on
    one thread, ``config.plies_per_iteration`` plies a call, with up to ``calls`` calls
    queued so that it never waits for the driver. Seeds come from ``config.seed``,
    ``start`` (the trainer's iteration, so that a resumed run plays new games), the
    worker's number and its incarnation. Ray is started (on this machine, or at
    ``RAY_ADDRESS`` with the package sent along) unless it runs already, and shut down by
    ``close`` if it was started here. ``actors`` are the actors' handles. A worker that
    lost a call (its process died) gets no other until it answers a question, asked every
    second: while Ray restarts it, calls to it fail at once.

    Counts since the start: ``plies`` played by calls that came back, ``games`` and
    ``positions`` received, ``lost`` calls (their worker died), ``restarts`` seen (games
    from a new incarnation) and ``duplicates`` dropped."""

    def __init__(self, config: TrainConfig, *, start: int = 0, calls: int = 2,
                 options: dict[str, Any] | None = None) -> None:
        if not isinstance(config, TrainConfig):
            raise TypeError(f"config must be a TrainConfig, not {type(config).__name__}")
        if config.workers < 1:
            raise ValueError("config.workers must be at least 1 for self-play on workers")
        start = integer(start, "start", 0, 2**62)
        self.calls = integer(calls, "calls", 1, 64)
        self.config = config
        ray = import_ray()
        self._lock = threading.RLock()
        self._owns_ray = not ray.is_initialized()
        if self._owns_ray:
            if os.environ.get("RAY_ADDRESS"):
                from vantor_gym.distributed import runtime_env

                ray.init(runtime_env=runtime_env(), log_to_driver=False, configure_logging=False)
            else:
                # One CPU a worker, even beyond the cores: asked for, every worker plays.
                ray.init(num_cpus=max(os.cpu_count() or 1, config.workers), include_dashboard=False,
                         log_to_driver=False, configure_logging=False)
        settings = {"channels": config.channels, "blocks": config.blocks, "games": config.games,
                    "simulations": config.simulations, "max_plies": config.max_plies,
                    "temperature_plies": config.temperature_plies, "seed": config.seed, "start": start,
                    "rules": config.rules, "chess960": config.chess960}
        # Ray restarts a dead actor as often as it dies; a call is never retried behind the
        # driver's back, which would play its plies twice.
        try:
            actor = ray.remote(concurrency_groups={_CONTROL: 1})(_Worker).options(
                **{"num_cpus": 1, "max_restarts": -1, "max_task_retries": 0, **(options or {})})
            self.actors: list[Any] = [actor.remote(number, settings) for number in range(config.workers)]
        except BaseException:
            if self._owns_ray:
                ray.shutdown()
            raise
        self._queued: list[deque[Any]] = [deque() for _ in self.actors]
        self._down: dict[int, float] = {}  # worker -> when to ask it next whether it is back
        self._questions: dict[int, Any] = {}  # worker -> the question out to it
        self._weights: tuple[int, list[Any]] | None = None
        self._next: dict[tuple[int, int], int] = {}  # (worker, incarnation) -> the next game's number
        self.plies = self.games = self.positions = self.lost = self.restarts = self.duplicates = 0

    def __enter__(self) -> SelfPlayWorkers:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def version(self) -> int:
        """The version of the weights published last (-1 before any)."""
        return -1 if self._weights is None else self._weights[0]

    @serialised
    def publish(self, version: int, net: PolicyValueNet) -> None:
        """Makes ``net``'s weights, as ``version``, the ones every later call carries (put
        into Ray's object store once, on the CPU); ``ValueError`` for a version no newer
        than the last published, ``RuntimeError`` once closed."""
        version = integer(version, "version", 0, 2**62)
        if not isinstance(net, PolicyValueNet):
            raise TypeError(f"net must be a PolicyValueNet, not {type(net).__name__}")
        if version <= self.version:
            raise ValueError(f"version {version} is not newer than the {self.version} published already")
        if not self.actors:
            # Ray's put would quietly start a cluster of its own that nothing shuts down.
            raise RuntimeError("the self-play workers are closed")
        ray = import_ray()
        state = {name: value.detach().cpu().numpy() for name, value in net.state_dict().items()}
        self._weights = (version, [ray.put(state)])

    @serialised
    def collect(self, buffer: ReplayBuffer, timeout: float = 5.0) -> list[Game]:
        """Waits up to ``timeout`` seconds for a worker's call to end, then adds the games
        of every call that has ended to ``buffer`` and returns them; each game comes back
        once. A worker whose process died has lost its calls' games (Ray restarts it); one
        that raised, or could not start, ends the collection with ``WorkerError`` once
        the games of the others are added."""
        if not isinstance(buffer, ReplayBuffer):
            raise TypeError(f"buffer must be a ReplayBuffer, not {type(buffer).__name__}")
        timeout = real(timeout, "timeout", 0.0)
        if not self.actors:
            raise RuntimeError("the self-play workers are closed")
        if self._weights is None:
            raise RuntimeError("no weights to play with: publish(version, net) first")
        ray = import_ray()
        self._send()
        waiting = [queue[0] for queue in self._queued if queue] + list(self._questions.values())
        if waiting:
            ray.wait(waiting, num_returns=1, timeout=timeout)
        else:  # every worker is down, its next question not yet due
            time.sleep(min(timeout, _ASK_EVERY))
        games: list[Game] = []
        failure = self._answers()
        for worker, queue in enumerate(self._queued):
            # A worker's calls end in the order they were made.
            while queue and ray.wait([queue[0]], timeout=0)[0]:
                result, error = self._result(worker, queue.popleft())
                failure = failure or error
                if result is not None:
                    games += self._accept(worker, result)
        for game in games:
            buffer.add(*game.arrays())
            self.positions += game.plies
        if failure is not None:
            raise failure
        self._send()
        return games

    def _send(self) -> None:
        assert self._weights is not None
        version, weights = self._weights
        now = time.monotonic()
        for worker, (actor, queue) in enumerate(zip(self.actors, self._queued)):
            if worker not in self._down:
                while len(queue) < self.calls:
                    queue.append(actor.play.remote(version, weights, self.config.plies_per_iteration))
            elif worker not in self._questions and now >= self._down[worker]:
                self._questions[worker] = actor.pid.options(concurrency_group=_CONTROL).remote()

    def _answers(self) -> WorkerError | None:
        """Takes the answers of workers that were down: one that answers is up again."""
        import ray
        from ray.exceptions import RayActorError

        for worker, question in list(self._questions.items()):
            if not ray.wait([question], timeout=0)[0]:
                continue
            del self._questions[worker]
            try:
                ray.get(question)
            except RayActorError as error:
                if error.actor_init_failed:
                    return WorkerError(worker, f"it could not start: {_last_line(str(error))}")
                self._down[worker] = time.monotonic() + _ASK_EVERY
                continue
            del self._down[worker]
        return None

    def _result(self, worker: int, call: Any) -> tuple[_Result | None, WorkerError | None]:
        import ray
        from ray.exceptions import ObjectLostError, RayActorError, RayTaskError

        try:
            result: _Result = ray.get(call)
        except RayActorError as error:
            if error.actor_init_failed:
                return None, WorkerError(worker, f"it could not start: {_last_line(str(error))}")
            self.lost += 1
            self._down.setdefault(worker, time.monotonic())
            return None, None
        except ObjectLostError:  # its node died with the result
            self.lost += 1
            self._down.setdefault(worker, time.monotonic())
            return None, None
        except RayTaskError as error:
            cause = error.cause if isinstance(error.cause, BaseException) else error
            failure = WorkerError(worker, _cause_line(cause))
            failure.__cause__ = cause
            return None, failure
        self.plies += result.plies
        return result, None

    def _accept(self, worker: int, result: _Result) -> list[Game]:
        fresh = []
        for game in result.games:
            key = (worker, game.incarnation)
            if key not in self._next and game.incarnation != 0:
                self.restarts += 1
            if game.worker != worker or game.sequence < self._next.get(key, 0):
                self.duplicates += 1
                continue
            self._next[key] = game.sequence + 1
            fresh.append(game)
        self.games += len(fresh)
        return fresh

    @serialised
    def close(self, timeout: float = 30.0) -> None:
        """Kills the workers and returns once their processes are gone, or raises
        ``RuntimeError`` naming those still running after ``timeout`` seconds; a Ray
        started here is shut down. Closed either way: ``collect`` then raises
        ``RuntimeError``, another ``close`` does nothing."""
        if not timeout > 0:
            raise ValueError(f"timeout must be a positive number of seconds, got {timeout!r}")
        actors, self.actors, self._queued, self._questions = self.actors, [], [], {}
        if not actors:
            return
        import ray

        try:
            left = _kill(actors, timeout)
        finally:
            if self._owns_ray:
                ray.shutdown()
        if left:
            raise RuntimeError(f"{timeout:g} s after they were killed, worker processes still run: {', '.join(left)}")
