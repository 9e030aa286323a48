"""Training an agent with vantor: an AlphaZero-style loop.

``ReplayBuffer`` (``replay``) keeps training positions compact and hands out dense
batches; ``SelfPlay`` (``selfplay``) plays the batched search against itself into it. The
PyTorch parts load only where PyTorch is installed: ``network`` (``PolicyValueNet``, its
losses and the search's evaluator) and ``loop`` (``TrainConfig``, ``Trainer``: self-play,
learner, checkpoints), which ``python -m vantor_gym.train`` runs; ``imitation`` (positions
from engine games and PGN files) and ``evaluate`` (matches against fixed references, the
log and the learning curve). ``baseline()`` loads the network shipped with the package.
"""

from __future__ import annotations

from importlib import resources
from typing import TYPE_CHECKING

from vantor_gym.train.replay import MAX_MOVES, ReplayBuffer

if TYPE_CHECKING:
    from vantor_gym.train.evaluate import NetworkPlayer

__all__ = ["MAX_MOVES", "ReplayBuffer", "baseline"]


def baseline(simulations: int = 32, device: str | None = None) -> NetworkPlayer:
    """The baseline network of the README's 60-minute run as a ``play_match`` agent: the
    tree search with the network as its evaluator, ``simulations`` simulations a move
    (the README's figures are at 32). Needs PyTorch."""
    from vantor_gym.train.evaluate import NetworkPlayer
    from vantor_gym.train.network import load_network

    with resources.as_file(resources.files(__name__) / "baseline.pt") as path:
        net = load_network(path, device)
    return NetworkPlayer(net, simulations, name="vantor baseline")
