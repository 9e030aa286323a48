"""What the Gymnasium environments show of plane 113 (the step count), and the bounds of
their observations, shared by the single and the vector environment."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
from gymnasium import spaces

from vantor_gym.batch import PLANES

# "plies": the game's own steps since its reset, bounded; "zero": left out (all 0);
# "module": vantor.Vantor's count of every step the board made, over all its episodes,
# which grows without bound.
STEP_PLANES = ("plies", "zero", "module")
STEP_PLANE = 113
OBSERVATION_DTYPES = (np.dtype(np.int32), np.dtype(np.float32))
# A game ends at fifty half-moves without a capture or pawn move, and it has at most 126
# such moves (96 pawn moves, 30 captures of pieces), so no game runs longer than
# 49 + 126 * 50 + 1 plies.
MAX_GAME_PLIES = 6350
_NO_PROGRESS_LIMIT = 50
_REPETITIONS = 2  # a third occurrence ends the game
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


def planes_high(step_plane: str, max_plies: int | None) -> npt.NDArray[np.int64]:
    """The largest value of each plane in a game played by steps: pieces 0/1, repetition
    values up to 2, the step plane as ``step_plane`` gives it (a bound of 1 when it is all
    zeros), the half-move clock up to 50."""
    high = np.ones(PLANES, np.int64)
    high[12:112:14] = high[13:112:14] = _REPETITIONS
    if step_plane == "plies":
        high[STEP_PLANE] = min(max_plies or MAX_GAME_PLIES, MAX_GAME_PLIES)
    else:
        # A plane of zeros still gets a bound of 1: Gymnasium's checker warns of a Box whose
        # low equals its high anywhere.
        high[STEP_PLANE] = 1 if step_plane == "zero" else _INT32_MAX
    high[118] = _NO_PROGRESS_LIMIT
    return high


def observation_space(step_plane: str, max_plies: int | None, dtype: np.dtype[Any]) -> spaces.Box:
    """The Box of one observation, (119, 8, 8) in ``dtype``, with the true bounds of each plane."""
    high = np.broadcast_to(planes_high(step_plane, max_plies)[:, None, None], (PLANES, 8, 8))
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
