"""What the Gymnasium environments show of plane 113 (the step count), the bounds of their
observations and their scaling to 0..1, shared by the single and the vector environment."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
from gymnasium import spaces

from vantor_gym._numbers import flag
from vantor_gym.batch import PLANES
from vantor_gym.rules import halfmove_limit, max_game_plies, repetition_limit

# "plies": the game's own steps since its reset, bounded; "zero": left out (all 0);
# "module": vantor.Vantor's count of every step the board made, over all its episodes,
# which grows without bound.
STEP_PLANES = ("plies", "zero", "module")
STEP_PLANE = 113
OBSERVATION_DTYPES = (np.dtype(np.int32), np.dtype(np.float32))
_INT32_MAX = 2**31 - 1


def step_plane_of(step_plane: str | None, observation: str) -> str:
    """The step plane asked for, ``"plies"`` by default, or ``"module"`` with the module's
    own planes (``observation="module"``)."""
    if step_plane is None:
        return "module" if observation == "module" else "plies"
    if step_plane not in STEP_PLANES:
        raise ValueError(f"step_plane must be one of {STEP_PLANES}, not {step_plane!r}")
    return step_plane


def dtype_of(dtype: npt.DTypeLike | None, scale: bool = False) -> np.dtype[Any]:
    """The observations' dtype: ``int32`` by default, ``float32`` with ``scale``, which
    refuses any other."""
    if dtype is None:
        return np.dtype(np.float32 if scale else np.int32)
    try:
        chosen = np.dtype(dtype)
    except TypeError:
        chosen = None
    if chosen not in OBSERVATION_DTYPES:
        raise ValueError(f"dtype must be int32 or float32, not {dtype!r}")
    if scale and chosen != np.float32:
        raise ValueError(f"scale=True gives float32 planes: leave dtype out or give float32, not {chosen}")
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


class PlaneScale:
    """``scale=True``: divides ``float32`` observations in place by their planes' bounds
    (``planes_high``), so that every value lies in 0..1. The module's step count has no
    bound to divide by, so ``step_plane="module"`` is refused with ``ValueError``."""

    __slots__ = ("_bounds", "_counts", "_inverse_repetition")

    def __init__(self, step_plane: str, max_plies: int | None, rules: str) -> None:
        if step_plane == "module":
            raise ValueError("scale=True divides each plane by its bound, and step_plane='module' counts without "
                             "one: give step_plane='plies' or 'zero'")
        high = planes_high(step_plane, max_plies, rules).astype(np.float32)
        self._bounds = np.ascontiguousarray(np.broadcast_to(high[:, None, None], (PLANES, 8, 8)))
        # 1/2 or 1/4: exact, so multiplying gives the quotients, for less than dividing costs.
        self._inverse_repetition = np.float32(1 / repetition_limit(rules))
        self._counts = np.ascontiguousarray(high[STEP_PLANE::5, None, None])  # planes 113 and 118

    def __call__(self, planes: npt.NDArray[np.float32]) -> None:
        """Scales one C-contiguous observation (119, 8, 8) or a batch of them."""
        if planes.ndim == 3:
            # One pass over a precomputed array of bounds costs less than picking planes out.
            np.divide(planes, self._bounds, out=planes)
            return
        # In a batch only the 18 planes whose bound is not 1 are worth a pass: the
        # repetition planes (12 and 13 of each record of 14) and planes 113 and 118.
        records = np.reshape(planes[:, :112], (len(planes), 8, 14, 64), copy=False)[:, :, 12:]
        np.multiply(records, self._inverse_repetition, out=records)
        counts = planes[:, STEP_PLANE::5]
        np.divide(counts, self._counts, out=counts)


def scaled_space(shape: tuple[int, ...]) -> spaces.Box:
    """The Box of scaled observations: ``float32`` in 0..1."""
    return spaces.Box(0.0, 1.0, shape, dtype=np.float32)


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
