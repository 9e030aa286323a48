"""The checks every numeric argument of vantor_gym goes through.

An integer argument is a Python ``int`` or a NumPy integer scalar; a bool is not (True
would quietly be 1), nor is a float, a ``Decimal`` or a ``Fraction`` (564.7 would quietly
be 564). A real argument is any real number (``numbers.Real``: those integers, Python and
NumPy floats, a ``Fraction``) but a bool; a ``str`` is not, although ``float("1.5")``
would take it, nor a ``Decimal``, a complex number or an array.
"""

from __future__ import annotations

import math
import numbers

import numpy as np

__all__ = ["INT32_MAX", "action_array", "flag", "integer", "is_integer", "real"]

# The largest count the native layers hold (they count in 32 bits).
INT32_MAX = 2**31 - 1


def flag(value: object, name: str) -> bool:
    """A switch given as a bool: 1 or "yes" is refused rather than read as true."""
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return bool(value)


def is_integer(value: object) -> bool:
    return isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_))


def action_array(actions: object, rows: int, *, copy: bool = False) -> np.ndarray:
    """``actions``, one per row, as a contiguous ``int64`` array (the caller's own when it
    is one, unless ``copy``): ``TypeError`` for an array of
    another kind than integers (an ``object`` array among them, whatever it holds),
    ``ValueError`` for another shape or a number beyond 64 bits (a list of Python ints
    that NumPy could only hold as objects). An empty list is no actions."""
    if isinstance(actions, (list, tuple)) and any(
            isinstance(a, (bool, np.bool_)) or getattr(a, "dtype", None) == np.bool_ for a in actions):
        raise TypeError("actions must be integers, not bools")  # NumPy would read True as 1
    array = np.asarray(actions)
    if array.shape == (0,):
        array = np.empty(0, np.int64)  # no actions for no games, whatever dtype [] was read as
    # A list of integers that NumPy holds only as objects or floats: kept if each fits 64 bits.
    if array.dtype.kind in "Of" and not isinstance(actions, np.ndarray) and array.size:
        items = np.asarray(actions, dtype=object)
        if all(is_integer(a) for a in items.flat):
            if not all(-(2**63) <= int(a) < 2**63 for a in items.flat):
                raise ValueError("actions must fit a 64-bit signed integer")
            array = np.array([int(a) for a in items.flat], np.int64).reshape(items.shape)
    if array.dtype.kind not in "iu":
        raise TypeError(f"actions must be integers, not {array.dtype}")
    if array.shape != (rows,):
        raise ValueError(f"actions must have shape ({rows},), not {array.shape}")
    if array.dtype == np.uint64 and array.size and int(array.max()) > np.iinfo(np.int64).max:
        raise ValueError("actions must fit a 64-bit signed integer")
    return np.array(array, dtype=np.int64) if copy else np.ascontiguousarray(array, dtype=np.int64)


def integer(value: object, name: str, low: int | None = None, high: int | None = None) -> int:
    """``value`` as an ``int``: ``TypeError`` for anything but an integer, ``ValueError``
    outside ``low .. high`` (either bound may be left open)."""
    if not is_integer(value):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    number: int = int(value)  # type: ignore[call-overload]
    if (low is not None and number < low) or (high is not None and number > high):
        if low is not None and high is not None:
            raise ValueError(f"{name} must be in {low} .. {high}, not {number}")
        raise ValueError(f"{name} must be at least {low}, not {number}" if low is not None
                         else f"{name} must be at most {high}, not {number}")
    return number


def real(value: object, name: str, low: float | None = None, *, finite: bool = True) -> float:
    """``value`` as a ``float``: ``TypeError`` for anything but a real number,
    ``ValueError`` for NaN, a number too large for a float, an infinity (when ``finite``)
    or a value below ``low``."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    try:
        number = float(value)
    except OverflowError:
        raise ValueError(f"{name} must be a finite number, not {value!r}") from None
    if math.isnan(number) or (finite and math.isinf(number)):
        raise ValueError(f"{name} must be a finite number, not {value!r}")
    if low is not None and number < low:
        raise ValueError(f"{name} must be at least {low}, not {value!r}")
    return number
