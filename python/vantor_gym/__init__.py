"""Gymnasium environments and tools over the vantor chess environment.

``gymnasium.make("vantor_gym/Chess-v0")`` gives one environment; ``VantorVectorEnv`` runs
many; ``BatchEnv`` steps many games in C++ on worker threads, straight into NumPy arrays.
Submodules: ``notation`` (UCI, SAN, FEN, PGN), ``engines`` (UCI engines and matches),
``aec`` (PettingZoo), ``distributed`` (self-play on Ray), ``states`` (``vantor.State`` as
plain data) and ``search`` (batched tree search).
"""

import pkgutil

# In a source tree the native part is built apart from the Python files (build/python
# beside python/); an installed package holds both in one folder.
__path__ = pkgutil.extend_path(__path__, __name__)

import gymnasium  # noqa: E402

from vantor_gym.batch import BatchEnv  # noqa: E402
from vantor_gym.env import ILLEGAL_ACTION_MODES, VantorEnv, letter_board  # noqa: E402
from vantor_gym.vector import VantorVectorEnv  # noqa: E402

__all__ = ["BatchEnv", "ILLEGAL_ACTION_MODES", "VantorEnv", "VantorVectorEnv", "letter_board"]

gymnasium.register(id="vantor_gym/Chess-v0", entry_point="vantor_gym.env:VantorEnv")
