"""Many chess games as one Gymnasium vector environment, stepped by a BatchEnv."""

from __future__ import annotations

from typing import Any

import numpy as np
from gymnasium import spaces
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space

from vantor_gym.batch import ACTIONS, PLANES, BatchEnv
from vantor_gym.compact import COMPACT_WORDS
from vantor_gym.env import ILLEGAL_ACTION_MODES, option_fen
from vantor_gym.render import LastMoves, board_image

_INT32 = np.iinfo(np.int32)
_UINT64 = np.iinfo(np.uint64)


class VantorVectorEnv(VectorEnv[np.ndarray, np.ndarray, np.ndarray]):
    """``num_envs`` independent games, each a ``VantorEnv`` game, stepped together in C++
    on ``workers`` threads (all cores by default) with the GIL released.

    Finished games restart on the next ``step`` (Gymnasium's next-step autoreset): that
    step ignores their action and returns the new game's first observation with reward 0.
    Actions must be integers, one per game; a batch with an illegal action under
    ``illegal_action="raise"`` raises ``ValueError`` and changes no game.
    ``infos["action_mask"]`` is ``int8`` (num_envs, 4672), ``infos["side"]`` the sides to
    move, ``infos["illegal_action"]`` which games tried an illegal action;
    ``action_masks()`` gives the current masks as ``bool`` (num_envs, 4672).

    Observations are seen from the side to move (``observation="module"`` keeps
    ``vantor.Vantor``'s planes). With ``start_fens`` each game, at every reset and
    autoreset, starts from one of them drawn by its own generator in the batch, which
    every ``reset`` seeds from ``np_random``. ``gymnasium.make_vec("vantor_gym/Chess-v0",
    num_envs=n, ...)`` makes this class, with the keyword arguments of ``gymnasium.make``.
    ``compact=True`` gives each observation as 108 ``uint64`` words instead of the planes
    (see ``vantor_gym.compact``; ``vantor_gym.expand_observations`` makes the planes).
    """

    metadata = {"autoreset_mode": AutoresetMode.NEXT_STEP, "render_modes": ["rgb_array"]}

    def __init__(
        self,
        num_envs: int,
        max_plies: int | None = None,
        illegal_action: str = "lose",
        workers: int | None = None,
        render_mode: str | None = None,
        start_fens: list[str] | None = None,
        observation: str = "side_to_move",
        compact: bool = False,
    ) -> None:
        if render_mode is not None and render_mode not in self.metadata["render_modes"]:
            raise ValueError(f"render_mode must be one of {self.metadata['render_modes']} or None, not {render_mode!r}")
        if illegal_action not in ILLEGAL_ACTION_MODES:
            raise ValueError(f"illegal_action must be one of {ILLEGAL_ACTION_MODES}, not {illegal_action!r}")
        if max_plies is not None and max_plies < 1:
            raise ValueError("max_plies must be at least 1")
        self.batch = BatchEnv(num_envs, threads=workers, max_plies=max_plies, illegal=illegal_action,
                              start_fens=start_fens, observation=observation, compact=compact)
        self._masks: np.ndarray | None = None
        self.num_envs = num_envs
        self.render_mode = render_mode
        self.last_moves = LastMoves(num_envs)
        if compact:
            self.single_observation_space = spaces.Box(0, _UINT64.max, shape=(COMPACT_WORDS,), dtype=np.uint64)
        else:
            self.single_observation_space = spaces.Box(_INT32.min, _INT32.max, shape=(PLANES, 8, 8), dtype=np.int32)
        self.single_action_space = spaces.Discrete(ACTIONS)
        self.observation_space = batch_space(self.single_observation_space, num_envs)
        self.action_space = batch_space(self.single_action_space, num_envs)

    def reset(
        self, *, seed: int | list[int] | None = None, options: dict[str, Any] | None = None
    ) -> tuple[np.ndarray, dict[str, Any]]:
        """Starts every game; ``options={"fen": text}`` starts each from that position
        (refused as ``BatchEnv.reset`` refuses it, before any game starts; any other key
        raises ``ValueError``). ``seed`` seeds ``np_random`` and the action space, and
        through them the starts drawn from ``start_fens``."""
        fen = option_fen(options)
        if fen is not None:
            obs, info = self.batch.reset(fens=[fen] * self.num_envs)
            super().reset(seed=seed if isinstance(seed, int) else None)
        else:
            super().reset(seed=seed if isinstance(seed, int) else None)
            # Each game's start is drawn by its generator in the batch, seeded from np_random.
            draw = int(self.np_random.integers(2**63)) if self.batch.start_fens else None
            obs, info = self.batch.reset(seed=draw)
        self.last_moves.reset()
        if isinstance(seed, int):
            self.action_space.seed(seed)
        self._masks = info["action_mask"]
        return obs, {"action_mask": info["action_mask"].view(np.int8), "side": info["side"]}

    def step(self, actions: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        obs, rewards, terminated, truncated, info = self.batch.step(actions)
        self._masks = info["action_mask"]
        if self.render_mode is not None:
            self.last_moves.record(actions, info, terminated, truncated)
        infos = {"action_mask": info["action_mask"].view(np.int8), "side": info["side"],
                 "illegal_action": info["illegal"]}
        return obs, rewards.astype(np.int64), terminated, truncated, infos

    def render(self) -> tuple[np.ndarray, ...] | None:
        """``"rgb_array"``: one (256, 256, 3) ``uint8`` picture per game, as Gymnasium's vector
        environments give them, each with its game's last move tinted; no mode: None."""
        if self.render_mode != "rgb_array":
            return None
        moves = self.last_moves.moves
        return tuple(board_image(self.batch.save_state(game), moves[game]) for game in range(self.num_envs))

    def action_masks(self) -> np.ndarray:
        """The legal actions of every game's current position, ``bool`` (num_envs, 4672)."""
        if self._masks is None:
            raise RuntimeError("call reset before action_masks")
        return self._masks.copy()

    def close_extras(self, **kwargs: Any) -> None:
        self.batch.close()
