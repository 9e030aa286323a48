"""What the Gymnasium environments show of plane 113 (the step count), and the bounds of
their observations, shared by the single and the vector environment."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
from gymnasium import spaces

from vantor_gym.batch import PLANES
from vantor_gym.rules import halfmove_limit, max_game_plies, repetition_limit

# "plies": the game's own steps since its reset, bounded; "zero": left out (all 0);
# "module": vantor.Vantor's count of every step the board made, over all its episodes,
# which grows without bound.
STEP_PLANES = ("plies", "zero", "module")
STEP_PLANE = 113
OBSERVATION_DTYPES = (np.dtype(np.int32), np.dtype(np.float32))
# The longest game under the module's rules (vantor_gym.rules.max_game_plies gives it for
# each rule set).
MAX_GAME_PLIES = 6350
_INT32_MAX = 2**31 - 1


def step_plane_of(step_plane: str | None, observation: str) -> str:
    """The step plane asked for, ``"plies"`` by default, or ``"module"`` with the module's
    own planes (``observation="module"``)."""
    if step_plane is None:
        return "module" if observation == "module" else "plies"
    if step_plane not in STEP_PLANES:
        raise ValueError(f"step_plane must be one of {STEP_PLANES}, not {step_plane!r}")
    return step_plane


def dtype_of(dtype: npt.DTypeLike) -> np.dtype[Any]:
    try:
        chosen = np.dtype(dtype)
    except TypeError:
        chosen = None
    if chosen not in OBSERVATION_DTYPES:
        raise ValueError(f"dtype must be int32 or float32, not {dtype!r}")
    return chosen


def planes_high(step_plane: str, max_plies: int | None, rules: str = "standard") -> npt.NDArray[np.int64]:
    """The largest value of each plane in a game played by steps under ``rules``: pieces
    0/1, repetition values up to the rules' draw (2, or 4 under ``"automatic"``), the step
    plane as ``step_plane`` gives it (a bound of 1 when it is all zeros), the half-move
    clock up to the rules' draw (100, 150, or the module's 50)."""
    high = np.ones(PLANES, np.int64)
    high[12:112:14] = high[13:112:14] = repetition_limit(rules)
    if step_plane == "plies":
        longest = max_game_plies(rules)
        high[STEP_PLANE] = min(max_plies or longest, longest)
    else:
        # A plane of zeros still gets a bound of 1: Gymnasium's checker warns of a Box whose
        # low equals its high anywhere.
        high[STEP_PLANE] = 1 if step_plane == "zero" else _INT32_MAX
    high[118] = halfmove_limit(rules)
    return high


def observation_space(
    step_plane: str, max_plies: int | None, dtype: np.dtype[Any], rules: str = "standard"
) -> spaces.Box:
    """The Box of one observation, (119, 8, 8) in ``dtype``, with the true bounds of each plane."""
    high = np.broadcast_to(planes_high(step_plane, max_plies, rules)[:, None, None], (PLANES, 8, 8))
    return spaces.Box(np.zeros((PLANES, 8, 8), dtype), high.astype(dtype), dtype=dtype.type)


def set_step_plane(observations: npt.NDArray[Any], step_plane: str, plies: Any) -> None:
    """Writes plane 113 of one observation (``plies`` an int) or of a batch (``plies`` an
    array, one per row) as ``step_plane`` asks; ``"module"`` leaves the module's count."""
    if step_plane == "module":
        return
    if observations.ndim == 3:
        observations[STEP_PLANE] = plies if step_plane == "plies" else 0
    elif step_plane == "plies":
        observations[:, STEP_PLANE] = np.asarray(plies)[:, None, None]
    else:
        observations[:, STEP_PLANE] = 0
