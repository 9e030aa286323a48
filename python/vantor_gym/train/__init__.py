"""Training an agent with vantor: an AlphaZero-style loop.

``ReplayBuffer`` (``replay``) keeps training positions compact and hands out dense
batches; ``SelfPlay`` (``selfplay``) plays the batched search against itself into it. The
PyTorch parts load only where PyTorch is installed: ``network`` (``PolicyValueNet``, its
losses and the search's evaluator) and ``loop`` (``TrainConfig``, ``Trainer``: self-play,
learner, checkpoints), which ``python -m vantor_gym.train`` runs; ``imitation`` (positions
from engine games and PGN files), ``evaluate`` (matches against fixed references, the
log and the learning curve) and ``players`` (the network as a match player and as a
policy). ``config`` (``TrainConfig`` and the shares of a run's minutes) needs no PyTorch.
``baseline()`` loads the network shipped with the package as a match player,
``baseline_policy()`` as an environment loop's policy.
"""

from __future__ import annotations

from importlib import resources
from typing import TYPE_CHECKING

from vantor_gym.train.replay import MAX_MOVES, ReplayBuffer

if TYPE_CHECKING:
    from vantor_gym.train.players import NetworkPlayer, NetworkPolicy
    from vantor_gym.train.network import PolicyValueNet

__all__ = ["MAX_MOVES", "ReplayBuffer", "baseline", "baseline_policy"]


def baseline(simulations: int = 32, device: str | None = None, rules: str = "standard",
             chess960: bool = False) -> NetworkPlayer:
    """The baseline network of the documented 60-minute run as a ``play_match`` agent: the
    tree search with the network as its evaluator, ``simulations`` simulations a move
    (the documented figures are at 32), under ``rules`` (``vantor_gym.rules``), on one
    intra-op thread of PyTorch during each call. The network was trained under the
    module's rules and reads the half-move plane as it did then; ``chess960`` has it
    search Chess960 positions. Needs PyTorch."""
    from vantor_gym.train.players import NetworkPlayer

    return NetworkPlayer(_baseline_net(device), simulations, name="vantor baseline", rules=rules, chess960=chess960)


def baseline_policy(device: str | None = None) -> NetworkPolicy:
    """The baseline network as ``policy(observation, mask) -> action`` for Gymnasium and
    PettingZoo loops: the legal action its policy head rates highest for the planes an
    environment gives, without search (``players.NetworkPolicy``). Needs PyTorch."""
    from vantor_gym.train.players import NetworkPolicy

    return NetworkPolicy(_baseline_net(device))


def _baseline_net(device: str | None) -> PolicyValueNet:
    from vantor_gym.train.network import load_network

    with resources.as_file(resources.files(__name__) / "baseline.pt") as path:
        return load_network(path, device)
