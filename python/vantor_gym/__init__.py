"""Gymnasium environments and tools over the vantor chess environment.

``gymnasium.make("vantor_gym/Chess-v0")`` gives one environment; ``Game`` is one game
with nothing in the way (legal actions as a NumPy array, steps as ints); ``VantorVectorEnv`` runs
many; ``BatchEnv`` steps many games in C++ on worker threads, straight into NumPy arrays,
as the 119 planes or as compact rows that ``expand_observations`` turns into them.
Submodules: ``notation`` (UCI, SAN, FEN, PGN), ``engines`` (UCI engines and matches),
``aec`` (PettingZoo), ``distributed`` (self-play on Ray), ``states`` (``vantor.State`` as
plain data) and ``search`` (batched tree search).

``BatchEnv`` and the submodules need only NumPy, but ``aec`` (PettingZoo) and the
collectors of ``distributed`` (Ray); ``VantorEnv``, ``VantorVectorEnv`` and the
registration need Gymnasium (``pip install 'vantor[gym]'``), and load on first use.
"""

import importlib
import pkgutil
from typing import TYPE_CHECKING, Any

# In a source tree the native part is built apart from the Python files (build/python
# beside python/); an installed package holds both in one folder.
__path__ = pkgutil.extend_path(__path__, __name__)

from vantor_gym.batch import BatchEnv  # noqa: E402
from vantor_gym.compact import expand_observations, expand_observations_torch  # noqa: E402
from vantor_gym.game import Game  # noqa: E402

if TYPE_CHECKING:
    from vantor_gym.env import ILLEGAL_ACTION_MODES, VantorEnv, letter_board
    from vantor_gym.vector import VantorVectorEnv

__all__ = [
    "BatchEnv",
    "Game",
    "ILLEGAL_ACTION_MODES",
    "VantorEnv",
    "VantorVectorEnv",
    "expand_observations",
    "expand_observations_torch",
    "letter_board",
]

# The names that live in a module needing Gymnasium, loaded when first asked for.
_GYMNASIUM_NAMES = {
    "ILLEGAL_ACTION_MODES": "vantor_gym.env",
    "VantorEnv": "vantor_gym.env",
    "letter_board": "vantor_gym.env",
    "VantorVectorEnv": "vantor_gym.vector",
}


def __getattr__(name: str) -> Any:
    module = _GYMNASIUM_NAMES.get(name)
    if module is None:
        raise AttributeError(f"module 'vantor_gym' has no attribute {name!r}")
    try:
        value = getattr(importlib.import_module(module), name)
    except ModuleNotFoundError as error:
        if error.name != "gymnasium":
            raise
        raise ImportError(
            f"vantor_gym.{name} needs Gymnasium: pip install 'vantor[gym]'", name="gymnasium"
        ) from error
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))


# Registered only where Gymnasium is installed; without it nothing could make the env.
try:
    import gymnasium
except ModuleNotFoundError as error:
    if error.name != "gymnasium":
        raise
else:
    gymnasium.register(
        id="vantor_gym/Chess-v0",
        entry_point="vantor_gym.env:VantorEnv",
        vector_entry_point="vantor_gym.vector:VantorVectorEnv",
    )
