"""Training an agent with vantor: the pieces of an AlphaZero-style loop.

``ReplayBuffer`` keeps training positions compact and hands out dense batches.
"""

from vantor_gym.train.replay import MAX_MOVES, ReplayBuffer

__all__ = ["MAX_MOVES", "ReplayBuffer"]
