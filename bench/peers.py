"""Throughput of other chess environments, measured the way a learner drives them.

Each function returns None when its environment is not importable, so callers can print
the comparison when it is available and skip it otherwise.
"""

from __future__ import annotations

import time
import warnings

import numpy as np


def pettingzoo_chess_steps_per_second(seconds: float = 2.0, seed: int = 0) -> float | None:
    """Moves per second of PettingZoo's chess_v6 AEC environment under random play.

    Plays uniformly random legal moves, drawn from the observation's "action_mask" by a
    numpy Generator seeded with `seed`, through env.agent_iter() / env.last() /
    env.step(), for about `seconds` of wall time. The timed loop includes what a learner
    pays besides the moves themselves: the None steps that retire the agents at the end
    of a game and the env.reset() before the next one. Only moves are counted. Building
    the environment and its first reset are not timed.

    Returns None when pettingzoo (or its chess dependencies) cannot be imported.
    """
    try:
        with warnings.catch_warnings():
            # Newer releases steer towards a registry and warn on the module import; the
            # environment is the same.
            warnings.simplefilter("ignore", DeprecationWarning)
            from pettingzoo.classic import chess_v6
    except ImportError:
        return None

    rng = np.random.default_rng(seed)
    env = chess_v6.env()
    env.reset(seed=seed)
    moves = 0
    start = time.perf_counter()
    deadline = start + seconds
    try:
        while True:
            for _agent in env.agent_iter():
                observation, _reward, termination, truncation, _info = env.last()
                if termination or truncation:
                    env.step(None)
                    continue
                legal = np.flatnonzero(observation["action_mask"])
                env.step(int(rng.choice(legal)))
                moves += 1
                now = time.perf_counter()
                if now >= deadline:
                    return moves / (now - start)
            env.reset()
    finally:
        env.close()
