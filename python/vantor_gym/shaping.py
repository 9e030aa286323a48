"""Reward shaping for learners that start from nothing: a bonus for material won.

A chess reward comes only at the end of a game, and a policy that starts at random rarely
mates. ``MaterialReward`` adds to each step's reward ``weight`` times the change of the
agent's material balance over the step (its pieces' values less the opponent's: pawn 1,
knight and bishop 3, rook 5, queen 9), so that winning material pays at once. It is
shaping: the rewards are no longer the game's alone, and a policy learned with it is
scored by its games, not by its rewards. Off unless the environment is wrapped.
"""

from __future__ import annotations

from typing import Any, SupportsFloat

import gymnasium
import numpy as np
import numpy.typing as npt

from vantor_gym._numbers import real
from vantor_gym.batch import PLANES

__all__ = ["MATERIAL_VALUES", "MaterialReward", "material_balance"]

MATERIAL_VALUES = np.array([1, 3, 3, 5, 9, 0], np.float32)
"""The values of pawn, knight, bishop, rook, queen and king."""
_SQUARES = 64


def material_balance(observations: npt.ArrayLike, own_to_move: npt.ArrayLike) -> npt.NDArray[np.float32]:
    """The material balance of each observation (planes, flat or not, scaled or not; one
    or a batch) for the side named by ``own_to_move``: True where that side is to move.
    The newest position's planes 0-5 hold the pieces of the side to move and 6-11 the
    other side's, so the balance is their difference, its sign turned where the side
    counted is not to move."""
    planes = np.asarray(observations)
    batch = planes.reshape(-1, PLANES, _SQUARES)[:, :12].sum(axis=2, dtype=np.float32)
    to_move = batch[:, :6] @ MATERIAL_VALUES - batch[:, 6:] @ MATERIAL_VALUES
    sign = np.where(np.asarray(own_to_move, np.bool_).reshape(-1), 1.0, -1.0).astype(np.float32)
    balance: npt.NDArray[np.float32] = to_move * sign
    return balance


class MaterialReward(gymnasium.Wrapper[Any, Any, Any, Any]):
    """A ``VantorEnv`` whose rewards add ``weight`` times the change of the agent's material
    balance over each step (see the module). With an opponent the agent's side is
    ``info["agent_side"]``; without one the rewards are white's, and so is the balance."""

    def __init__(self, env: gymnasium.Env[Any, Any], weight: float = 0.1) -> None:
        super().__init__(env)
        self.weight = real(weight, "weight")
        self._balance = 0.0

    def reset(self, **kwargs: Any) -> tuple[Any, dict[str, Any]]:
        observation, info = self.env.reset(**kwargs)
        self._balance = self._of(observation, info)
        return observation, info

    def step(self, action: Any) -> tuple[Any, SupportsFloat, bool, bool, dict[str, Any]]:
        observation, reward, terminated, truncated, info = self.env.step(action)
        balance = self._of(observation, info)
        shaped = float(reward) + self.weight * (balance - self._balance)
        self._balance = balance
        return observation, shaped, terminated, truncated, info

    @staticmethod
    def _of(observation: Any, info: dict[str, Any]) -> float:
        own = int(info.get("agent_side", 0))
        return float(material_balance(observation, int(info["side"]) == own)[0])
