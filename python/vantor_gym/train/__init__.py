"""Training an agent with vantor: an AlphaZero-style loop.

``ReplayBuffer`` (``replay``) keeps training positions compact and hands out dense
batches; ``SelfPlay`` (``selfplay``) plays the batched search against itself into it. The
PyTorch parts load only where PyTorch is installed: ``network`` (``PolicyValueNet``, its
losses and the search's evaluator) and ``loop`` (``TrainConfig``, ``Trainer``: self-play,
learner, checkpoints), which ``python -m vantor_gym.train`` runs.
"""

from vantor_gym.train.replay import MAX_MOVES, ReplayBuffer

__all__ = ["MAX_MOVES", "ReplayBuffer"]
