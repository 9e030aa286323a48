"""The policy-value network in PyTorch: a residual tower over the 119 planes, a policy over
the 4672 actions and a value in [-1, 1] from the side to move; and the evaluator that
hands it the search's leaves.

The policy head is a convolution to 73 planes of 8 x 8 whose flattening is the action
numbering itself (action = 64 * plane + square, square = 8 * row + column, the planes
turned back where the observation is turned for black), so no table maps the network's
outputs to actions.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any

import numpy as np
import torch
from torch import nn
from torch.nn import functional

from vantor_gym._numbers import integer
from vantor_gym._parsing import one_line
from vantor_gym.compact import expand_observations_torch
from vantor_gym.rules import halfmove_limit
from vantor_gym.train.files import load_checked, save_checked

__all__ = ["NetworkConfig", "PolicyValueNet", "ResidualBlock", "best_device", "evaluator", "load_network", "losses",
           "resolve_device", "save_network"]

PLANES = 119
ACTION_PLANES = 73
ACTIONS = ACTION_PLANES * 64
SIDE_PLANE = 112
HALFMOVE_PLANE = 118
# Observation planes hold counts (the step count grows past a thousand) beside 0/1 planes:
# the counts are scaled to the size of the others before the first convolution, the
# half-move clock by the limit of the rules it was trained under (a saved network keeps
# its own scale, which its weights were learned with).
# The step count is left out: it keeps counting across the games an environment plays, so
# it tells the environment's age, not anything about the position.
_SCALE = torch.ones(PLANES)
_SCALE[113] = 0.0  # step count


@dataclass(frozen=True)
class NetworkConfig:
    """The network's shape: ``blocks`` residual blocks of ``channels`` planes each."""

    channels: int = 64
    blocks: int = 6

    def __post_init__(self) -> None:
        # Kept as plain ints, which a saved network's file holds.
        object.__setattr__(self, "channels", integer(self.channels, "channels", 1))
        object.__setattr__(self, "blocks", integer(self.blocks, "blocks", 0))


class ResidualBlock(nn.Module):
    """Two 3 x 3 convolutions over ``channels`` planes of 8 x 8, each batch-normalised, with
    the input added back before the last ReLU: a block of the tower."""

    def __init__(self, channels: int) -> None:
        super().__init__()
        self.conv1 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.norm1 = nn.BatchNorm2d(channels)
        self.conv2 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.norm2 = nn.BatchNorm2d(channels)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        """``x`` plus the block's two convolutions of it."""
        y = functional.relu(self.norm1(self.conv1(x)))
        return functional.relu(x + self.norm2(self.conv2(y)))


class PolicyValueNet(nn.Module):
    """``forward(planes)`` takes ``float (n, 119, 8, 8)`` and returns ``(logits (n, 4672),
    values (n,))``. The half-move plane is scaled by ``1 / halfmove_limit(rules)``
    (``vantor_gym.rules``: 1/100 under standard rules); the scale is a buffer of the
    network's state, so a network loaded with ``load_state_dict`` reads the plane as it
    was trained to, whatever ``rules`` it was made with."""

    def __init__(self, config: NetworkConfig = NetworkConfig(), rules: str = "standard") -> None:
        super().__init__()
        self.config = config
        c = config.channels
        self.scale: torch.Tensor
        scale = _SCALE.clone()
        scale[HALFMOVE_PLANE] = 1 / halfmove_limit(rules)
        self.register_buffer("scale", scale.view(1, PLANES, 1, 1))
        self.stem = nn.Sequential(nn.Conv2d(PLANES, c, 3, padding=1, bias=False), nn.BatchNorm2d(c), nn.ReLU())
        self.tower = nn.Sequential(*(ResidualBlock(c) for _ in range(config.blocks)))
        self.policy = nn.Sequential(nn.Conv2d(c, c, 1, bias=False), nn.BatchNorm2d(c), nn.ReLU(),
                                    nn.Conv2d(c, ACTION_PLANES, 1))
        self.value = nn.Sequential(nn.Conv2d(c, 1, 1, bias=False), nn.BatchNorm2d(1), nn.ReLU(), nn.Flatten(),
                                   nn.Linear(64, c), nn.ReLU(), nn.Linear(c, 1), nn.Tanh())

    def forward(self, planes: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """The policy logits ``(n, 4672)`` and the values ``(n,)`` of a batch of planes
        ``(n, 119, 8, 8)``."""
        x = self.tower(self.stem(planes * self.scale))
        logits = self.policy(x).flatten(2)
        # With black to move the board is seen turned, but an action names its square on
        # the board as it stands: the policy planes are turned back (square s is 63 - s).
        black = planes[:, SIDE_PLANE, 0, 0] > 0.5
        logits = torch.where(black[:, None, None], logits.flip(-1), logits)
        return logits.flatten(1), self.value(x).squeeze(1)


def best_device() -> torch.device:
    """CUDA when a GPU is present, else the CPU."""
    return torch.device("cuda" if torch.cuda.is_available() else "cpu")


def resolve_device(device: str | torch.device | None) -> torch.device:
    """The device ``device`` names (the best present for ``None``), or ``ValueError`` when
    PyTorch does not know the name or this machine does not have the device."""
    if device is None:
        return best_device()
    if not isinstance(device, (str, torch.device)):
        raise TypeError(f"device must be a str, a torch.device or None, not {type(device).__name__}")
    try:
        where = torch.device(device)
    except (RuntimeError, ValueError) as error:
        raise ValueError(f"device {device!r} is not a device PyTorch knows: {error}") from None
    if where.type == "cpu":
        present = True
    elif where.type == "cuda":
        present = torch.cuda.is_available() and (where.index is None or where.index < torch.cuda.device_count())
    else:
        present = where.type == "mps" and bool(torch.backends.mps.is_available())
    if not present:
        raise ValueError(f"device {device!r} is not present on this machine (CUDA available: "
                         f"{torch.cuda.is_available()})")
    return where


_FORMAT = "vantor network"


def save_network(net: PolicyValueNet, path: str | os.PathLike[str]) -> None:
    """Writes the network's size and weights with their checksum to ``path`` (through a
    temporary file renamed into place), for ``load_network``."""
    state = {"channels": net.config.channels, "blocks": net.config.blocks,
             "weights": {k: v.detach().cpu() for k, v in net.state_dict().items()}}
    save_checked(state, path, _FORMAT)


def load_network(path: str | os.PathLike[str], device: str | torch.device | None = None) -> PolicyValueNet:
    """The network ``save_network`` wrote to ``path``, in eval mode, on ``device`` (the
    best present by default). Only tensors and numbers are read back: a file cannot run
    code on loading. ``ValueError`` naming the file for anything that is not such a
    network, or whose weights do not match their checksum; ``OSError`` for a file that
    cannot be read."""
    where = resolve_device(device)
    state = load_checked(path, _FORMAT, "a saved network", frozenset({"channels", "blocks", "weights"}))
    try:
        net = PolicyValueNet(_config_of(state))
        net.load_state_dict(state["weights"])
    except Exception as error:  # whatever PyTorch makes of weights no network has
        raise ValueError(f"{os.fspath(path)!r} is not a saved network: {one_line(error)}") from None
    return net.to(where).eval()


def _config_of(state: Any) -> NetworkConfig:
    """The size a saved network claims, checked against its weights before a network of
    that size is made (a file claiming a huge one must not allocate it)."""
    channels, blocks, weights = state["channels"], state["blocks"], state["weights"]
    stem = weights["stem.0.weight"]
    tower = {name.split(".")[1] for name in weights if name.startswith("tower.")}
    if type(channels) is not int or type(blocks) is not int or tuple(stem.shape) != (channels, PLANES, 3, 3) \
            or tower != {str(b) for b in range(blocks)}:
        raise ValueError(f"its size ({channels!r} channels, {blocks!r} blocks) does not match its weights")
    return NetworkConfig(channels, blocks)


def losses(net: PolicyValueNet, planes: torch.Tensor, masks: torch.Tensor, policies: torch.Tensor,
           values: torch.Tensor, weights: torch.Tensor | None = None) -> tuple[torch.Tensor, torch.Tensor]:
    """The policy's cross-entropy against the targets, over the legal actions only, and
    the value's mean squared error; with ``weights``, each position's share of both means
    is weighed by its weight."""
    logits, predicted = net(planes)
    logits = logits.masked_fill(~masks, torch.finfo(logits.dtype).min)
    policy = -(policies * functional.log_softmax(logits, dim=1)).sum(dim=1)
    value = (predicted - values).square()
    if weights is None:
        return policy.mean(), value.mean()
    return (policy * weights).mean(), (value * weights).mean()


def evaluator(net: PolicyValueNet, device: torch.device | None = None) -> Any:
    """A ``Search`` evaluator running ``net`` in inference mode on ``device`` (the net's
    own by default). It takes the search's planes (``float32``) or its compact rows
    (``Search(compact=True)``, expanded on the device) and returns NumPy logits and
    values; illegal actions' logits are left to the search, which ignores them. The net
    runs in eval mode for the call and is left in the mode it was in."""
    where = device or next(net.parameters()).device

    def evaluate(observations: np.ndarray, masks: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        training = net.training
        net.eval()
        try:
            return run(observations)
        finally:
            net.train(training)

    def run(observations: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        with torch.inference_mode():
            if observations.dtype == np.uint64:
                rows = torch.from_numpy(observations.view(np.int64)).to(where)
                planes = expand_observations_torch(rows, torch.float32)
            else:
                planes = torch.from_numpy(observations).to(where)
            logits, values = net(planes)
            return logits.float().cpu().numpy(), values.float().cpu().numpy()

    return evaluate
