"""Many chess games stepped together, each on a thread of a pool."""

from __future__ import annotations

from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space

from vantor_gym.env import VantorEnv


class VantorVectorEnv(VectorEnv[np.ndarray, np.ndarray, np.ndarray]):
    """``num_envs`` independent ``VantorEnv`` games.

    Each game belongs to one worker at a time, so on a free-threaded interpreter the
    games step in parallel (the module runs without the GIL). Finished games restart on
    the next ``step`` (Gymnasium's next-step autoreset): that step ignores their action
    and returns the new game's first observation with reward 0.
    ``infos["action_mask"]`` has shape (num_envs, 4672).
    """

    metadata = {"autoreset_mode": AutoresetMode.NEXT_STEP, "render_modes": []}

    def __init__(
        self,
        num_envs: int,
        max_plies: int | None = None,
        illegal_action: str = "lose",
        workers: int | None = None,
    ) -> None:
        if num_envs < 1:
            raise ValueError("num_envs must be at least 1")
        self.num_envs = num_envs
        self.envs = [VantorEnv(max_plies=max_plies, illegal_action=illegal_action) for _ in range(num_envs)]
        self.single_observation_space = self.envs[0].observation_space
        self.single_action_space = self.envs[0].action_space
        self.observation_space = batch_space(self.single_observation_space, num_envs)
        self.action_space = batch_space(self.single_action_space, num_envs)
        self._pool = ThreadPoolExecutor(max_workers=workers or min(num_envs, 32))
        self._needs_reset = np.zeros(num_envs, dtype=bool)

    def reset(
        self, *, seed: int | list[int] | None = None, options: dict[str, Any] | None = None
    ) -> tuple[np.ndarray, dict[str, Any]]:
        super().reset(seed=seed if isinstance(seed, int) else None)
        if seed is None or isinstance(seed, int):
            seeds = [None if seed is None else seed + i for i in range(self.num_envs)]
        else:
            seeds = list(seed)
        results = list(self._pool.map(lambda i: self.envs[i].reset(seed=seeds[i], options=options),
                                      range(self.num_envs)))
        self._needs_reset[:] = False
        return self._gather_reset(results)

    def step(self, actions: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        actions = np.asarray(actions)

        def one(i: int) -> tuple[np.ndarray, int, bool, bool, dict[str, Any]]:
            if self._needs_reset[i]:
                obs, info = self.envs[i].reset()
                return obs, 0, False, False, info
            return self.envs[i].step(actions[i])

        results = list(self._pool.map(one, range(self.num_envs)))
        observations = np.stack([r[0] for r in results])
        rewards = np.array([r[1] for r in results], dtype=np.int64)
        terminated = np.array([r[2] for r in results], dtype=bool)
        truncated = np.array([r[3] for r in results], dtype=bool)
        self._needs_reset = terminated | truncated
        infos = {
            "action_mask": np.stack([r[4]["action_mask"] for r in results]),
            "side": np.array([r[4]["side"] for r in results]),
        }
        return observations, rewards, terminated, truncated, infos

    def _gather_reset(self, results: list[tuple[np.ndarray, dict[str, Any]]]) -> tuple[np.ndarray, dict[str, Any]]:
        observations = np.stack([obs for obs, _ in results])
        infos = {
            "action_mask": np.stack([info["action_mask"] for _, info in results]),
            "side": np.array([info["side"] for _, info in results]),
        }
        return observations, infos

    def close_extras(self, **kwargs: Any) -> None:
        self._pool.shutdown(wait=True)

