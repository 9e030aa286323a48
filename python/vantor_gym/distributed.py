"""Self-play across processes and machines on Ray, with no episode lost or repeated.

``SelfPlayCollector`` runs ``num_workers`` Ray actors, each playing whole games in a
``BatchEnv`` of ``envs_per_worker`` games with a policy, and hands back finished
episodes, numbered from 0, each exactly once. The driver gives the workers numbered
chunks of episodes and keeps the result of a chunk only when the whole chunk has come
back, so a worker that dies (killed, pre-empted, its machine gone) costs the chunk it was
playing, which Ray restarts it for and the driver sends again: no episode is lost, none
is counted twice. With a ``seed``, episode ``k`` draws from its own generator, seeded
from ``(seed, k)``, in a batch of its own (the step counter plane starts at 0 for every
episode), so it is the same game whichever worker plays it and however many there are.
``close()`` returns only once every worker's process is gone.
"""

from __future__ import annotations

import atexit
import functools
import heapq
import importlib
import inspect
import os
import shutil
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from vantor_gym.batch import ACTIONS, BatchEnv
from vantor_gym.chess960 import STARTS, start_fen
from vantor_gym.notation import pgn as pgn_text
from vantor_gym.progress import Progress
from vantor_gym.rules import rules_of

__all__ = ["Episode", "SelfPlayCollector", "play_chunk", "runtime_env", "uniform_random"]

# Observations, masks and per-row generators of the games still going, to actions.
Policy = Callable[..., Any]


def uniform_random(observations: np.ndarray, masks: np.ndarray, rngs: list[np.random.Generator]) -> np.ndarray:
    """One uniformly random legal action per row, drawn from that row's generator."""
    actions = np.empty(len(masks), np.int64)
    for row, (mask, rng) in enumerate(zip(masks, rngs)):
        legal = np.flatnonzero(mask)
        actions[row] = legal[rng.integers(len(legal))]
    return actions


@dataclass(frozen=True)
class Episode:
    """One finished game of self-play.

    ``actions`` (``int32``) and ``rewards`` (``int8``, from white's side, one per ply) are
    the game; ``result`` is the last reward (1 white won, -1 black won, 0 a draw or a game
    cut at ``max_plies``, which ``truncated`` tells). ``observations`` (``int32`` of
    ``(plies, 119, 8, 8)``, or compact ``uint64`` of ``(plies, 108)``) and ``masks``
    (``bool`` of ``(plies, 4672)``) are what the policy saw before each ply, when the
    collector records them; ``pgn`` the game as PGN. ``chess960_start`` is a Chess960
    game's start number (``vantor_gym.chess960``), -1 for a standard game.
    """

    index: int
    actions: np.ndarray
    rewards: np.ndarray
    result: int
    plies: int
    truncated: bool
    observations: np.ndarray | None = None
    masks: np.ndarray | None = None
    pgn: str | None = None
    chess960_start: int = -1


def _takes_rngs(policy: Policy) -> bool:
    try:
        parameters = inspect.signature(policy).parameters.values()
    except (TypeError, ValueError):
        return False
    positional = [p for p in parameters if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    return len(positional) >= 3 or any(p.kind == p.VAR_POSITIONAL for p in parameters)


def play_chunk(
    indices: list[int],
    policy: Policy,
    seed: int | None,
    max_plies: int | None,
    record_observations: bool,
    record_pgn: bool,
    compact: bool = False,
    rules: str = "standard",
    chess960: bool = False,
) -> list[Episode]:
    """Plays the episodes ``indices`` to their ends, each in a game of its own in one
    ``BatchEnv`` of ``rules``, and returns them in that order; with ``compact`` the policy
    sees, and the episodes record, compact observations (see ``vantor_gym.compact``). With
    ``chess960`` episode ``k`` plays Chess960 from a start drawn from a generator seeded
    from ``(seed, k, 960)``, whatever chunk it is played in."""
    rules = rules_of(rules)
    n = len(indices)
    rngs = [np.random.default_rng(None if seed is None else [seed, k]) for k in indices]
    starts = [int(np.random.default_rng(None if seed is None else [seed, k, STARTS]).integers(STARTS))
              if chess960 else -1 for k in indices]
    takes_rngs = _takes_rngs(policy)
    # A game that ended restarts on the next step and then loses at once to action -1,
    # over and over: the batch steps every game, but the policy is asked only for those
    # still going.
    with BatchEnv(n, threads=1, max_plies=max_plies, autoreset="next_step", illegal="lose", compact=compact,
                  rules=rules, chess960=bool(chess960)) as batch:
        observations, info = batch.reset(fens=[start_fen(s) for s in starts] if chess960 else None)
        row_type, row_shape = observations.dtype, observations.shape[1:]
        masks = info["action_mask"]
        live = np.ones(n, bool)
        actions_of: list[list[int]] = [[] for _ in range(n)]
        rewards_of: list[list[int]] = [[] for _ in range(n)]
        seen_obs: list[list[np.ndarray]] = [[] for _ in range(n)]
        seen_masks: list[list[np.ndarray]] = [[] for _ in range(n)]
        ends: list[tuple[int, bool]] = [(0, False)] * n
        chosen = np.full(n, -1, np.int64)
        while live.any():
            rows = np.flatnonzero(live)
            picked = np.asarray(
                policy(observations[rows], masks[rows], [rngs[r] for r in rows])
                if takes_rngs
                else policy(observations[rows], masks[rows]),
            )
            if picked.shape != (len(rows),) or picked.dtype.kind not in "iu":
                raise ValueError(
                    f"the policy must return one integer action per game: {len(rows)}, got an array of "
                    f"shape {picked.shape} and dtype {picked.dtype}"
                )
            for row, action in zip(rows.tolist(), picked.tolist()):
                if not (0 <= action < ACTIONS and masks[row, action]):
                    raise ValueError(f"the policy chose action {action}, which is not legal in episode {indices[row]}")
                if record_observations:
                    seen_obs[row].append(observations[row].copy())
                    seen_masks[row].append(masks[row].copy())
            chosen[:] = -1
            chosen[rows] = picked
            observations, rewards, terminated, truncated, info = batch.step(chosen)
            masks = info["action_mask"]
            for row in rows.tolist():
                actions_of[row].append(int(chosen[row]))
                rewards_of[row].append(int(rewards[row]))
                if terminated[row] or truncated[row]:
                    live[row] = False
                    ends[row] = (int(rewards[row]), bool(truncated[row]))
    episodes = []
    for row, k in enumerate(indices):
        actions = np.array(actions_of[row], np.int32)
        episodes.append(
            Episode(
                index=k,
                actions=actions,
                rewards=np.array(rewards_of[row], np.int8),
                result=ends[row][0],
                plies=len(actions),
                truncated=ends[row][1],
                observations=np.array(seen_obs[row], row_type).reshape(-1, *row_shape) if record_observations else None,
                masks=np.array(seen_masks[row], bool) if record_observations else None,
                pgn=pgn_text(actions.tolist(), start_fen=start_fen(starts[row]) if chess960 else None, rules=rules,
                             chess960=bool(chess960)) if record_pgn else None,
                chess960_start=starts[row],
            )
        )
    return episodes


def runtime_env() -> dict[str, Any]:
    """A Ray runtime environment that carries ``vantor`` and ``vantor_gym``, as this process
    imported them, to the workers of every node: pass it to
    ``ray.init(address=..., runtime_env=runtime_env())``.

    The modules' files, the native ones included, are copied once per process into a
    folder (removed when the process exits) that Ray packs, sends and unpacks on each node
    as the workers' working directory. The nodes still need the same CPython with Ray,
    NumPy and Gymnasium."""
    return {"working_dir": _staged_package()}


@functools.cache
def _staged_package() -> str:
    import vantor

    import vantor_gym

    folder = tempfile.mkdtemp(prefix="vantor-ray-")
    atexit.register(shutil.rmtree, folder, True)
    if vantor.__file__ is None:
        raise RuntimeError("vantor was not loaded from a file, so there is nothing to send")
    shutil.copy2(vantor.__file__, folder)
    package = os.path.join(folder, "vantor_gym")
    # In a source tree the package spans two folders (its Python files and its native
    # part); the first holding a file is the one Python imports it from.
    for part in reversed(list(vantor_gym.__path__)):
        shutil.copytree(part, package, dirs_exist_ok=True, ignore=shutil.ignore_patterns("__pycache__", "*.pyc"))
    return folder


class _Worker:
    """A Ray actor's body: plays chunks of episodes with its policy."""

    def __init__(self, policy: Policy, seed: int | None, max_plies: int | None, record_observations: bool,
                 record_pgn: bool, compact: bool = False, rules: str = "standard", chess960: bool = False) -> None:
        self.settings = (policy, seed, max_plies, record_observations, record_pgn, compact, rules, chess960)

    def play(self, indices: list[int]) -> list[Episode]:
        return play_chunk(indices, *self.settings)

    def pid(self) -> int:
        return os.getpid()

    def process(self) -> _Process:
        return _this_process()


# Asked through a concurrency group of its own, an actor names its process at once, even
# in the middle of a chunk (which then runs on a thread of the actor, not its main one).
_CONTROL = "control"


@dataclass(frozen=True)
class _Process:
    """A process of the cluster: its node, its id, and its start time, which tells it from
    a later process given the same id."""

    node: str
    pid: int
    started: float

    def __str__(self) -> str:
        return f"pid {self.pid} on node {self.node[:12]}"


def _psutil() -> Any:
    # Ray brings psutil along; imported so, it needs no type stubs.
    return importlib.import_module("psutil")


def _this_process() -> _Process:
    import ray

    return _Process(ray.get_runtime_context().get_node_id(), os.getpid(), _psutil().Process().create_time())


def _running(process: _Process) -> bool:
    """Whether the process runs still; one on this node only."""
    psutil = _psutil()
    try:
        found = psutil.Process(process.pid)
        # A zombie has exited and waits only for its parent to collect its status.
        return bool(abs(found.create_time() - process.started) < 0.01 and found.status() != psutil.STATUS_ZOMBIE)
    except psutil.NoSuchProcess:  # a zombie too, on some systems
        return False


def _still_running(processes: list[_Process], timeout: float) -> list[_Process]:
    """Those of ``processes`` (all on this node) still running ``timeout`` seconds from now,
    or earlier once none is."""
    deadline = time.monotonic() + timeout
    while True:
        left = [p for p in processes if _running(p)]
        if not left or time.monotonic() >= deadline:
            return left
        time.sleep(0.005)


# Seconds for a watcher on another node to start and answer, beyond its time to watch.
_ANSWER_TIME = 5.0


def _driver_node() -> str:
    import ray

    return str(ray.get_runtime_context().get_node_id())


def _survivors(processes: list[_Process], deadline: float) -> list[_Process]:
    """Those of ``processes`` still running at ``deadline`` (or not known to have ended);
    those on other nodes are watched by a task on their node, whose answer may take up to
    ``_ANSWER_TIME`` more to come back."""
    import ray
    from ray.exceptions import GetTimeoutError, NodeDiedError, TaskUnschedulableError

    here = _driver_node()
    elsewhere: dict[str, list[_Process]] = {}
    for process in processes:
        if process.node != here:
            elsewhere.setdefault(process.node, []).append(process)
    watchers = {node: _watch_on(node, group, deadline - time.monotonic()) for node, group in elsewhere.items()}
    left = _still_running([p for p in processes if p.node == here], deadline - time.monotonic())
    for node, watcher in watchers.items():
        try:
            found: list[_Process] = ray.get(watcher, timeout=max(deadline - time.monotonic(), 0) + _ANSWER_TIME)
            left += found
        except (NodeDiedError, TaskUnschedulableError):
            pass  # the node is gone, and its processes with it
        except GetTimeoutError:
            left += elsewhere[node]
    return left


def _watch_on(node: str, processes: list[_Process], timeout: float) -> Any:
    """A task on ``node`` that answers ``_still_running(processes, timeout)`` there."""
    import ray
    from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

    # No CPU asked for: the node's CPUs may all be taken by other work.
    where = NodeAffinitySchedulingStrategy(node, soft=False)
    return ray.remote(_still_running).options(num_cpus=0, scheduling_strategy=where).remote(processes, timeout)


def _processes_of(workers: Sequence[Any], deadline: float) -> tuple[list[_Process], list[int]]:
    """The processes of the live actors among ``workers``, and the numbers of those that did
    not answer by ``deadline``; an actor that is dead for good answers nothing."""
    import ray
    from ray.exceptions import RayActorError

    asked = [worker.process.options(concurrency_group=_CONTROL).remote() for worker in workers]
    ready, _ = ray.wait(asked, num_returns=len(asked), timeout=max(deadline - time.monotonic(), 0))
    processes, silent = [], []
    for number, task in enumerate(asked):
        if task not in ready:
            silent.append(number)
            continue
        try:
            processes.append(ray.get(task))
        except RayActorError:
            pass
    return processes, silent


def _confirm_dead(worker: Any, deadline: float) -> bool:
    """Whether Ray refuses calls to the killed actor by ``deadline``."""
    import ray
    from ray.exceptions import GetTimeoutError, RayActorError

    while time.monotonic() < deadline:
        try:
            ray.get(worker.pid.options(concurrency_group=_CONTROL).remote(), timeout=max(deadline - time.monotonic(), 0))
        except RayActorError:
            return True
        except GetTimeoutError:
            return False
        time.sleep(0.01)  # the kill has not reached the actor yet
    return False


def _kill(workers: Sequence[Any], timeout: float) -> list[str]:
    """Kills the Ray actors and waits up to ``timeout`` seconds for their processes to end;
    the ones still running, as text."""
    import ray

    start = time.monotonic()
    # Half the time at most for the question, so that a worker which does not answer
    # (its restart waiting for a free CPU, say) still gets the other half to die in.
    processes, silent = _processes_of(workers, start + timeout / 2)
    for worker in workers:
        ray.kill(worker, no_restart=True)
    deadline = start + timeout
    undead = [n for n, worker in enumerate(workers) if not _confirm_dead(worker, deadline)]
    left = [str(p) for p in _survivors(processes, deadline)]
    return left + [f"worker {n}" + (", which never named its process" if n in silent else "") for n in undead]


class SelfPlayCollector:
    """Self-play on ``num_workers`` Ray actors of ``envs_per_worker`` games each.

    - ``policy``: a picklable callable from observations (``int32`` of ``(n, 119, 8, 8)``)
      and legal-action masks (``bool`` of ``(n, 4672)``) of the ``n`` games still going in
      a worker's batch to ``n`` integer actions. One that takes a third argument gets one
      ``numpy.random.Generator`` per row, the episode's own: draw from it, and seeded
      episodes repeat exactly. Uniform random over the legal actions by default. An action
      that is not legal raises ``ValueError``; any exception a policy raises ends the
      collection with that exception, and the actors are killed.
    - ``seed``: episode ``k`` draws from a generator seeded from ``(seed, k)``.
    - ``max_plies``: games are cut after that many plies (``Episode.truncated``).
    - ``record_observations``, ``record_pgn``: what else each episode carries.
    - ``compact``: the policy gets, and episodes record, compact observations (``uint64``
      of ``(n, 108)``, a 35th of the planes' size; see ``vantor_gym.compact``).
    - ``rules``: the rules the games are played under, ``"standard"`` by default
      (``vantor_gym.rules``; ``"module"`` gives ``vantor.Vantor``'s games).
    - ``chess960``: the games are Chess960's, episode ``k`` from a start drawn from
      ``(seed, k)`` (``Episode.chess960_start`` says which).
    - ``max_chunks_in_flight``: chunks (of ``envs_per_worker`` episodes) sent out and not
      yet handed back, two per worker by default; it bounds what the driver holds.
    - ``max_retries``: how often one chunk may be sent again after its worker died.

    Ray must be initialised (``ray.init()``) first, or the first collection starts a
    local cluster as Ray does. Episodes are numbered across calls: a second ``collect``
    goes on from where the first stopped.
    """

    def __init__(
        self,
        num_workers: int = 2,
        envs_per_worker: int = 64,
        policy: Policy | None = None,
        *,
        seed: int | None = None,
        max_plies: int | None = None,
        record_observations: bool = False,
        record_pgn: bool = False,
        compact: bool = False,
        rules: str = "standard",
        chess960: bool = False,
        max_chunks_in_flight: int | None = None,
        max_retries: int = 3,
        worker_options: dict[str, Any] | None = None,
    ) -> None:
        import ray

        if num_workers < 1 or envs_per_worker < 1:
            raise ValueError("num_workers and envs_per_worker must be at least 1")
        if max_chunks_in_flight is not None and max_chunks_in_flight < 1:
            raise ValueError("max_chunks_in_flight must be at least 1")
        if max_retries < 0:
            raise ValueError("max_retries must be at least 0")
        if seed is not None and seed < 0:
            raise ValueError("seed must be at least 0")
        rules = rules_of(rules)
        self.envs_per_worker = envs_per_worker
        self.max_chunks_in_flight = max_chunks_in_flight or 2 * num_workers
        self.max_retries = max_retries
        self.next_index = 0
        # How the last collection went: chunks sent again after their worker died, and
        # the most chunks the driver had sent out or held at once.
        self.chunks_resent = 0
        self.peak_chunks_held = 0
        # Ray restarts a dead actor (its __init__ again) as often as it dies; the driver
        # sends the lost chunk again itself, so a task is never retried behind its back.
        options = {"num_cpus": 1, "max_restarts": -1, "max_task_retries": 0, **(worker_options or {})}
        groups: dict[str, Any] = {"concurrency_groups": {_CONTROL: 1}}
        actor = ray.remote(**groups)(_Worker).options(**options)
        if not isinstance(chess960, (bool, np.bool_)):
            raise TypeError(f"chess960 must be a bool, not {type(chess960).__name__}")
        settings = (policy or uniform_random, seed, max_plies, record_observations, record_pgn, compact, rules,
                    bool(chess960))
        self.workers: list[Any] = [actor.remote(*settings) for _ in range(num_workers)]

    def __enter__(self) -> SelfPlayCollector:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self, timeout: float = 30.0) -> None:
        """Kills the workers and returns once their processes are gone, or raises
        ``RuntimeError`` naming those still running after ``timeout`` seconds. Either way
        the collector is closed: a later collection raises ``RuntimeError``, a later
        ``close`` does nothing."""
        if not timeout > 0:
            raise ValueError(f"timeout must be a positive number of seconds, got {timeout!r}")
        workers, self.workers = self.workers, []
        if not workers:
            return
        left = _kill(workers, timeout)
        if left:
            raise RuntimeError(f"{timeout:g} s after they were killed, worker processes still run: {', '.join(left)}")

    def collect(self, num_episodes: int, *, progress: bool | None = None) -> list[Episode]:
        """The next ``num_episodes`` episodes, in episode order. ``progress`` as for
        ``episodes``."""
        return list(self.episodes(num_episodes, progress=progress))

    def episodes(self, num_episodes: int, *, progress: bool | None = None) -> Iterator[Episode]:
        """The next ``num_episodes`` episodes, in episode order, as they are finished: the
        driver holds at most ``max_chunks_in_flight`` chunks of them at any time. Closing
        the collector ends the stream with ``RuntimeError``. A progress line (episodes
        handed out, plies a second) goes to standard error when ``progress`` is true, or,
        by default, when standard error is a terminal."""
        if not self.workers:
            raise RuntimeError("the collector is closed")
        if num_episodes < 0:
            raise ValueError("num_episodes must be at least 0")
        if progress is not None and not isinstance(progress, bool):
            raise TypeError(f"progress must be a bool or None, got {progress!r}")
        return self._stream(num_episodes, Progress(num_episodes, "episodes", progress))

    def _stream(self, num_episodes: int, progress: Progress) -> Iterator[Episode]:
        import ray
        from ray.exceptions import ObjectLostError, RayActorError

        workers = self.workers
        first, size = self.next_index, self.envs_per_worker
        chunks = [list(range(s, min(s + size, first + num_episodes))) for s in range(first, first + num_episodes, size)]
        self.next_index += num_episodes
        pending: dict[Any, tuple[int, int]] = {}  # task -> (chunk, worker)
        lost = _LostWorkers(workers, self.max_retries)
        ready_to_send: list[int] = []  # a heap: chunks resent go out before later ones
        done: dict[int, list[Episode]] = {}
        retries = [0] * len(chunks)
        load = [0] * len(workers)
        sent = handed = given = plies = 0
        began = time.monotonic()
        self.chunks_resent = self.peak_chunks_held = 0

        def send_all() -> None:
            while ready_to_send and (up := lost.up()):
                worker = min(up, key=load.__getitem__)
                chunk = heapq.heappop(ready_to_send)
                load[worker] += 1
                pending[workers[worker].play.remote(chunks[chunk])] = (chunk, worker)

        try:
            while handed < len(chunks):
                if not self.workers:
                    raise RuntimeError("the collector was closed during the collection")
                # Only chunks within the window after the next one to hand back are sent,
                # so finished chunks waiting for an earlier one stay bounded too.
                while sent < len(chunks) and sent < handed + self.max_chunks_in_flight:
                    heapq.heappush(ready_to_send, sent)
                    sent += 1
                send_all()
                self.peak_chunks_held = max(self.peak_chunks_held, len(pending) + len(done))
                if not pending and not lost.probes:
                    raise RuntimeError("every worker was lost and none came back")
                ready, _ = ray.wait([*pending, *lost.probes], num_returns=1, timeout=_CHECK_EVERY)
                for worker in [] if ready else lost.silent({w for _, w in pending.values()}):
                    # A worker whose actor waits to be restarted holds its chunks without
                    # failing them: they go elsewhere, and whatever it may yet return is
                    # never looked at.
                    for task, (chunk, w) in list(pending.items()):
                        if w == worker:
                            del pending[task]
                            load[worker] -= 1
                            retries[chunk] += 1
                            self.chunks_resent += 1
                            heapq.heappush(ready_to_send, chunk)
                for task in ready:
                    if task in lost.probes:
                        lost.answered(task)
                        continue
                    chunk, worker = pending.pop(task)
                    load[worker] -= 1
                    # An exception the policy raised comes out of ray.get as an instance of
                    # its own class (and of Ray's task error) and ends the collection.
                    try:
                        done[chunk] = ray.get(task)
                    except (RayActorError, ObjectLostError):
                        # The worker died, or the node holding its result did.
                        if not self.workers:
                            raise RuntimeError("the collector was closed during the collection") from None
                        retries[chunk] += 1
                        if retries[chunk] > self.max_retries:
                            raise
                        self.chunks_resent += 1
                        lost.lose(worker)
                        heapq.heappush(ready_to_send, chunk)
                while handed in done:
                    episodes = done.pop(handed)
                    handed += 1
                    plies += sum(e.plies for e in episodes)
                    progress.update(len(episodes), **{"plies/s": f"{plies / (time.monotonic() - began):,.0f}"})
                    for episode in episodes:
                        yield episode
                        given += 1
        except GeneratorExit:
            # The caller stopped early: the episodes it did not take are played again by
            # the next collection, under the same numbers.
            self.next_index = first + given
            raise
        except BaseException:
            self.close()
            raise
        finally:
            progress.close()


# How often the driver checks on busy workers when nothing comes back, and how long one
# may take to answer (at once, on a thread of its own, when alive) before its chunks are
# sent elsewhere. Generous: a worker wrongly counted as lost costs only repeated work.
_CHECK_EVERY = 5.0
_SILENCE = 30.0


class _LostWorkers:
    """Which workers lost a chunk and have not answered since.

    A lost chunk goes to a worker that is up: one whose actor Ray is still restarting
    (waiting, say, for a free CPU after its node died) would hold it for as long as that
    takes. A lost worker is asked for its process id; its answer brings it back, and a
    worker whose question fails more than ``max_retries`` times stays out of this
    collection."""

    def __init__(self, workers: Sequence[Any], max_retries: int) -> None:
        self.workers = workers
        self.max_retries = max_retries
        self.down: set[int] = set()
        self.failures = [0] * len(workers)
        self.probes: dict[Any, tuple[float, int]] = {}  # question -> (when asked, worker)

    def silent(self, busy: set[int]) -> list[int]:
        """The busy workers that now count as lost: asked ``_SILENCE`` seconds ago, they
        have not answered; those not yet asked are asked now."""
        now = time.monotonic()
        asked = {worker: since for since, worker in self.probes.values()}
        for worker in busy - asked.keys():
            self._ask(worker)
        found = [w for w in busy if w not in self.down and w in asked and now - asked[w] > _SILENCE]
        self.down.update(found)
        return found

    def up(self) -> list[int]:
        return [w for w in range(len(self.workers)) if w not in self.down]

    def lose(self, worker: int) -> None:
        if worker not in self.down:
            self.down.add(worker)
            self._ask(worker)

    def answered(self, probe: Any) -> None:
        import ray
        from ray.exceptions import RayActorError

        _, worker = self.probes.pop(probe)
        try:
            ray.get(probe)
        except RayActorError:
            self.failures[worker] += 1
            if self.failures[worker] <= self.max_retries:
                self._ask(worker)
            return
        self.down.discard(worker)

    def _ask(self, worker: int) -> None:
        question = self.workers[worker].pid.options(concurrency_group=_CONTROL).remote()
        self.probes[question] = (time.monotonic(), worker)
