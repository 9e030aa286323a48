"""Gymnasium environments over the vantor chess environment.

``gymnasium.make("vantor_gym/Chess-v0")`` gives one environment; ``VantorVectorEnv`` runs
many, stepping them on a thread pool (in parallel on a free-threaded interpreter).
"""

import gymnasium

from vantor_gym.env import ILLEGAL_ACTION_MODES, VantorEnv, letter_board
from vantor_gym.vector import VantorVectorEnv

__all__ = ["ILLEGAL_ACTION_MODES", "VantorEnv", "VantorVectorEnv", "letter_board"]

gymnasium.register(id="vantor_gym/Chess-v0", entry_point="vantor_gym.env:VantorEnv")
