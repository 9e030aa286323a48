"""Python objects that hold a native game, search or engine process of their own."""

from __future__ import annotations

import functools
from collections.abc import Callable
from typing import Any, Concatenate, NoReturn, ParamSpec, Protocol, TypeVar

__all__ = ["Unshared", "serialised"]

P = ParamSpec("P")
R = TypeVar("R")


class _Locked(Protocol):
    _lock: Any  # a threading.Lock or RLock


S = TypeVar("S", bound=_Locked)


def serialised(method: Callable[Concatenate[S, P], R]) -> Callable[Concatenate[S, P], R]:
    """The method, run while its object's ``_lock`` is held: calls from several threads take turns."""

    def call(self: S, /, *args: P.args, **kwargs: P.kwargs) -> R:
        with self._lock:
            return method(self, *args, **kwargs)

    functools.update_wrapper(call, method)
    return call


class Unshared:
    """A shallow copy of such an object would be a second handle on the same native object
    (stepping the copy would move the original), and a deep copy or a pickle cannot carry
    it: all three are refused, naming what carries the object's state instead."""

    __slots__ = ()
    _carried_by = "save_state() and restore_state() carry its games instead"

    def _refuse(self, what: str) -> NoReturn:
        raise TypeError(f"a {type(self).__name__} cannot be {what}: {self._carried_by}")

    def __copy__(self) -> NoReturn:
        self._refuse("copied")

    def __deepcopy__(self, memo: dict[int, Any]) -> NoReturn:
        self._refuse("copied")

    def __reduce_ex__(self, protocol: Any) -> NoReturn:
        self._refuse("pickled")
