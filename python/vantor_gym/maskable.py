"""A policy for sb3-contrib's ``MaskablePPO`` that scores each move from its two squares.

A plain ``"MlpPolicy"`` gives each of the 4672 actions its own output weights, so what it
learns of one move (a capture, a mate) is not shared with the same move from another
square. ``MovePolicy`` scores action (plane ``p``, source ``s``) as
``w_source[p] . F[s] + w_target[p] . F[target(p, s)] + b[p]``, where ``F`` holds a small
residual tower's features of each square and the square's pieces, so a move's logit
depends on what stands on its squares wherever they are::

    from sb3_contrib import MaskablePPO
    from vantor_gym.maskable import MovePolicy
    from vantor_gym.sb3 import VecEnv

    model = MaskablePPO(MovePolicy, VecEnv(16, opponent="random", agent_side="random", scale=True))

The planes show the board turned for black, so the head works on the turned board and
maps its outputs back to the action numbers (the source square turned, knight planes
swapped for the opposite jump, since knight planes name the jump on the board itself).
Needs sb3-contrib (and PyTorch).
"""

from __future__ import annotations

from functools import partial
from typing import Any

import gymnasium
import numpy as np
import numpy.typing as npt
import torch
from gymnasium import spaces
from sb3_contrib.common.maskable.policies import MaskableActorCriticPolicy
from stable_baselines3.common.torch_layers import BaseFeaturesExtractor
from stable_baselines3.common.type_aliases import Schedule
from torch import nn

from vantor_gym._numbers import integer
from vantor_gym.batch import ACTIONS, PLANES
from vantor_gym.render import move_squares
from vantor_gym.train.network import SIDE_PLANE, ResidualBlock

__all__ = ["INPUT_PLANES", "MoveFeatures", "MoveHead", "MovePolicy", "black_order", "target_table"]

ACTION_PLANES = ACTIONS // 64
_KNIGHT_PLANES = range(56, 64)
INPUT_PLANES = (*range(14), SIDE_PLANE, *range(114, 119))
"""The planes the tower reads: the current position's pieces and repetitions, the side to
move, castling rights and the half-move clock (the history and the step count left out)."""
_OFF_BOARD = 64
_SHAPES = ((PLANES, 8, 8), (PLANES * 64,))


def target_table() -> npt.NDArray[np.int64]:
    """``(73, 64)``: the target square of each plane from each source as white plays it
    (the turned board's view for black), 64 where the move leaves the board."""
    table = np.full((ACTION_PLANES, 64), _OFF_BOARD, np.int64)
    for plane in range(ACTION_PLANES):
        distance = plane % 7 + 1 if plane < _KNIGHT_PLANES.start else 1
        for source in range(64):
            _, target = move_squares(64 * plane + source, 0)
            unit = (target - source) // distance
            # A step off the side of the board wraps to another row: its column is not the
            # one the step's own column change gives.
            columns = ((unit + 4) % 8 - 4) * distance
            if 0 <= target < 64 and target % 8 - source % 8 == columns:
                table[plane, source] = target
    return table


def black_order() -> npt.NDArray[np.int64]:
    """``(4672,)``: for each action of black, the index of its logit on the turned board
    (source square turned; a knight plane becomes the opposite jump's, four planes on)."""
    plane, source = np.divmod(np.arange(ACTIONS), 64)
    knight = (plane >= _KNIGHT_PLANES.start) & (plane < _KNIGHT_PLANES.stop)
    turned_plane = np.where(knight, _KNIGHT_PLANES.start + (plane - _KNIGHT_PLANES.start + 4) % 8, plane)
    order: npt.NDArray[np.int64] = (64 * turned_plane + 63 - source).astype(np.int64)
    return order


class MoveFeatures(BaseFeaturesExtractor):
    """Per-square features of the planes (``(119, 8, 8)`` or flat, scaled or not): the
    ``INPUT_PLANES`` (each divided by its bound), a 3 x 3 convolution to ``channels``, then
    ``blocks`` residual blocks. The output is ``(n, (13 + channels) * 64)``: per square the
    side-to-move plane, the 12 piece planes and the tower's channels, square-minor."""

    def __init__(self, observation_space: gymnasium.Space[Any], channels: int = 32, blocks: int = 2) -> None:
        if not isinstance(observation_space, spaces.Box) or observation_space.shape not in _SHAPES:
            raise ValueError(f"MoveFeatures takes a Box of shape ({PLANES}, 8, 8) or ({PLANES * 64},), "
                             f"not {observation_space!r}")
        channels = integer(channels, "channels", 1)
        blocks = integer(blocks, "blocks", 0)
        high = np.asarray(observation_space.high, np.float64).reshape(PLANES, 64).max(axis=1)[list(INPUT_PLANES)]
        if not (np.isfinite(high).all() and (high > 0).all()):
            raise ValueError("MoveFeatures divides each plane it reads by its bound: it needs finite bounds above 0")
        super().__init__(observation_space, (13 + channels) * 64)
        self.channels = channels
        self.index: torch.Tensor
        self.scale: torch.Tensor
        self.register_buffer("index", torch.tensor(INPUT_PLANES))
        self.register_buffer("scale", torch.tensor(1.0 / high, dtype=torch.float32).view(1, -1, 1, 1))
        self.stem = nn.Sequential(nn.Conv2d(len(INPUT_PLANES), channels, 3, padding=1), nn.ReLU())
        self.tower = nn.Sequential(*(ResidualBlock(channels) for _ in range(blocks)))

    def forward(self, observations: torch.Tensor) -> torch.Tensor:
        """The features of a batch of observations."""
        planes = observations.float().reshape(-1, PLANES, 8, 8).index_select(1, self.index) * self.scale
        side, pieces = planes[:, 14:15], planes[:, :12]
        return torch.cat([side, pieces, self.tower(self.stem(planes))], 1).flatten(1)


class MoveHead(nn.Module):
    """The 4672 logits from ``MoveFeatures``' output of ``depth`` values per square: a
    source and a target score for each of the 73 planes, added along the target table,
    -inf-free (a move off the board gets its source score alone; the mask removes it)."""

    def __init__(self, depth: int) -> None:
        super().__init__()
        self.depth = integer(depth, "depth", 1)
        self.source = nn.Linear(self.depth, ACTION_PLANES)
        self.target = nn.Linear(self.depth, ACTION_PLANES, bias=False)
        self.targets: torch.Tensor
        self.black: torch.Tensor
        self.register_buffer("targets", torch.from_numpy(target_table()))
        self.register_buffer("black", torch.from_numpy(black_order()))

    def forward(self, latent: torch.Tensor) -> torch.Tensor:
        """``(n, 4672)`` logits, in action numbers, for features ``(n, depth * 64)``."""
        squares = latent.reshape(latent.shape[0], self.depth, 64).transpose(1, 2)
        target = self.target(squares).transpose(1, 2)
        # A 65th square of zeros scores the targets off the board.
        target = torch.cat([target, target.new_zeros(target.shape[0], ACTION_PLANES, 1)], 2)
        index = self.targets.expand(squares.shape[0], -1, -1)
        turned = (self.source(squares).transpose(1, 2) + torch.gather(target, 2, index)).flatten(1)
        black = squares[:, 0, 0] > 0.5
        return torch.where(black[:, None], turned[:, self.black], turned)


class MovePolicy(MaskableActorCriticPolicy):
    """``MaskableActorCriticPolicy`` with ``MoveFeatures`` and a ``MoveHead`` for the
    actions; the value is an MLP (``net_arch={"vf": [64]}`` by default) over the same
    features. The policy side takes no hidden layers (``net_arch["pi"]`` must be empty)."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("features_extractor_class", MoveFeatures)
        arch = kwargs.get("net_arch") or {"pi": [], "vf": [64]}
        if not isinstance(arch, dict) or arch.get("pi"):
            raise ValueError(f"MovePolicy scores moves from per-square features: net_arch takes only 'vf' layers, "
                             f"not {arch!r}")
        kwargs["net_arch"] = {"pi": [], "vf": list(arch.get("vf", []))}
        super().__init__(*args, **kwargs)

    def _build(self, lr_schedule: Schedule) -> None:
        # MaskableActorCriticPolicy's _build with the move head in place of the linear layer
        # of 4672 outputs, which would be made (and initialised) only to be dropped.
        self._build_mlp_extractor()
        depth, rest = divmod(self.mlp_extractor.latent_dim_pi, 64)
        if rest:
            raise ValueError(f"MovePolicy needs features of 64 squares, not {self.mlp_extractor.latent_dim_pi} values")
        self.action_net = MoveHead(depth)
        self.value_net = nn.Linear(self.mlp_extractor.latent_dim_vf, 1)
        if self.ortho_init:
            gains = {self.pi_features_extractor: np.sqrt(2), self.vf_features_extractor: np.sqrt(2),
                     self.mlp_extractor: np.sqrt(2), self.action_net: 0.01, self.value_net: 1.0}
            for module, gain in gains.items():
                module.apply(partial(self.init_weights, gain=gain))
        self.optimizer = self.optimizer_class(
            self.parameters(), lr=lr_schedule(1), **self.optimizer_kwargs)  # type: ignore[call-arg]
