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
"""

from __future__ import annotations

import inspect
import os
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np

from vantor_gym.batch import ACTIONS, BatchEnv
from vantor_gym.notation import pgn as pgn_text

__all__ = ["Episode", "SelfPlayCollector", "play_chunk", "uniform_random"]

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
    ``(plies, 119, 8, 8)``) and ``masks`` (``bool`` of ``(plies, 4672)``) are what the
    policy saw before each ply, when the collector records them; ``pgn`` the game as PGN.
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
) -> list[Episode]:
    """Plays the episodes ``indices`` to their ends, each in a game of its own in one
    ``BatchEnv``, and returns them in that order."""
    n = len(indices)
    rngs = [np.random.default_rng(None if seed is None else [seed, k]) for k in indices]
    takes_rngs = _takes_rngs(policy)
    # A game that ended restarts on the next step and then loses at once to action -1,
    # over and over: the batch steps every game, but the policy is asked only for those
    # still going.
    with BatchEnv(n, threads=1, max_plies=max_plies, autoreset="next_step", illegal="lose") as batch:
        observations, info = batch.reset()
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
                observations=np.array(seen_obs[row], np.int32) if record_observations else None,
                masks=np.array(seen_masks[row], bool) if record_observations else None,
                pgn=pgn_text(actions.tolist()) if record_pgn else None,
            )
        )
    return episodes


class _Worker:
    """A Ray actor's body: plays chunks of episodes with its policy."""

    def __init__(self, policy: Policy, seed: int | None, max_plies: int | None, record_observations: bool,
                 record_pgn: bool) -> None:
        self.settings = (policy, seed, max_plies, record_observations, record_pgn)

    def play(self, indices: list[int]) -> list[Episode]:
        policy, seed, max_plies, record_observations, record_pgn = self.settings
        return play_chunk(indices, policy, seed, max_plies, record_observations, record_pgn)

    def pid(self) -> int:
        return os.getpid()


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
        actor = ray.remote(_Worker).options(**options)
        settings = (policy or uniform_random, seed, max_plies, record_observations, record_pgn)
        self.workers: list[Any] = [actor.remote(*settings) for _ in range(num_workers)]

    def __enter__(self) -> SelfPlayCollector:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Kills the workers; a later collection raises ``RuntimeError``."""
        import ray

        for worker in self.workers:
            ray.kill(worker, no_restart=True)
        self.workers = []

    def collect(self, num_episodes: int) -> list[Episode]:
        """The next ``num_episodes`` episodes, in episode order."""
        return list(self.episodes(num_episodes))

    def episodes(self, num_episodes: int) -> Iterator[Episode]:
        """The next ``num_episodes`` episodes, in episode order, as they are finished: the
        driver holds at most ``max_chunks_in_flight`` chunks of them at any time."""
        import ray
        from ray.exceptions import RayActorError

        if not self.workers:
            raise RuntimeError("the collector is closed")
        if num_episodes < 0:
            raise ValueError("num_episodes must be at least 0")
        first, size = self.next_index, self.envs_per_worker
        chunks = [list(range(s, min(s + size, first + num_episodes))) for s in range(first, first + num_episodes, size)]
        self.next_index += num_episodes
        pending: dict[Any, tuple[int, int]] = {}  # task -> (chunk, worker)
        done: dict[int, list[Episode]] = {}
        retries = [0] * len(chunks)
        load = [0] * len(self.workers)
        sent = handed = given = 0
        self.chunks_resent = self.peak_chunks_held = 0

        def send(chunk: int) -> None:
            worker = min(range(len(self.workers)), key=load.__getitem__)
            load[worker] += 1
            pending[self.workers[worker].play.remote(chunks[chunk])] = (chunk, worker)

        try:
            while handed < len(chunks):
                # Only chunks within the window after the next one to hand back are sent,
                # so finished chunks waiting for an earlier one stay bounded too.
                while sent < len(chunks) and sent < handed + self.max_chunks_in_flight:
                    send(sent)
                    sent += 1
                self.peak_chunks_held = max(self.peak_chunks_held, len(pending) + len(done))
                ready, _ = ray.wait(list(pending), num_returns=1)
                for task in ready:
                    chunk, worker = pending.pop(task)
                    load[worker] -= 1
                    # An exception the policy raised comes out of ray.get as an instance of
                    # its own class (and of Ray's task error) and ends the collection.
                    try:
                        done[chunk] = ray.get(task)
                    except RayActorError:
                        retries[chunk] += 1
                        if retries[chunk] > self.max_retries:
                            raise
                        self.chunks_resent += 1
                        send(chunk)
                while handed in done:
                    episodes = done.pop(handed)
                    handed += 1
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
