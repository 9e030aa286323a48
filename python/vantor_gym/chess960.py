"""Chess960 (Fischer Random Chess): its 960 starting positions and the ``chess960=``
argument every layer takes.

- Start positions are numbered 0 .. 959 as Scharnagl numbered them (python-chess's
  ``Board.from_chess960_pos`` has the same numbers); 518 is the standard start.
- ``chess960=False`` (the default) plays the standard game; ``True`` draws one of the 960
  starts at every reset from the game's own generator; a number plays that start.
- Castling is the king moving onto its own rook, as engines with ``UCI_Chess960`` write
  it (``"e1h1"``, ``"b1a1"``). Its action is that move's: a line move along the back rank
  from the king's square. The king ends on the g or c file and the rook on the f or d file.
- FEN castling rights are read as X-FEN (``KQkq`` for the outermost rook on that side)
  or Shredder-FEN (``HAha``, the rooks' files), and written as X-FEN, as python-chess
  writes them.
"""

from __future__ import annotations

import functools

from vantor_gym import _native
from vantor_gym._numbers import integer

__all__ = ["STANDARD_START", "STARTS", "start_fen", "start_number"]

STARTS = 960
"""The number of Chess960 starting positions."""
STANDARD_START = 518
"""The start number of the standard starting position."""


def start_fen(number: int) -> str:
    """The FEN text of start ``number`` (0 .. 959): ``TypeError`` for a non-integer,
    ``ValueError`` outside the range."""
    return _start_fen(integer(number, "a Chess960 start number", 0, STARTS - 1))


@functools.lru_cache(maxsize=STARTS)
def _start_fen(number: int) -> str:
    return str(_native.chess960_fen(number))


def start_number(fen: str) -> int:
    """The start number of a FEN's position when it is a Chess960 start (white to move,
    every castling right, in X-FEN or Shredder-FEN letters; the clocks are not read),
    else -1."""
    if not isinstance(fen, str):
        raise TypeError(f"fen must be a str, not {type(fen).__name__}")
    fields = fen.split()
    ranks = fields[0].split("/") if fields else []
    if len(fields) < 4 or len(ranks) != 8:
        return -1
    number = int(_native.chess960_number(ranks[7]))
    if number < 0:
        return -1
    start = _start_fen(number).split()
    same = fields[:2] == start[:2] and fields[3] == start[3]
    return number if same and _every_right(fields[2], ranks[7]) else -1


def _every_right(field: str, back_rank: str) -> bool:
    """Whether a castling field names all four rights of a start whose white back rank
    is back_rank: per side, the two wings once each (K or Q, or the rook's file), white's
    letters first."""
    rooks = [back_rank.index("R"), back_rank.rindex("R")]
    wings = {"Q": 0, "K": 1, "ABCDEFGH"[rooks[0]]: 0, "ABCDEFGH"[rooks[1]]: 1}
    white, black = field[:2], field[2:]
    named = [sorted(wings.get(c, -1) for c in white), sorted(wings.get(c.upper(), -1) for c in black)]
    return len(field) == 4 and white.isupper() and black.islower() and named == [[0, 1], [0, 1]]


def chess960_option(value: object) -> int | bool:
    """The ``chess960=`` argument checked: ``False``, ``True`` (a start drawn at every
    reset) or a start number (0 .. 959)."""
    if value is True or value is False:
        return value
    if hasattr(value, "dtype") and getattr(value, "dtype").kind == "b":
        return bool(value)
    try:
        return integer(value, "chess960 (True, False or a start number)", 0, STARTS - 1)
    except TypeError:
        raise TypeError(f"chess960 must be True, False or a start number in 0 .. {STARTS - 1}, "
                        f"not {type(value).__name__}") from None


def start_pool(option: int | bool) -> list[str]:
    """The FEN texts a game with this ``chess960=`` option draws its starts from: all 960
    in order for ``True``, the one for a number, none for ``False``."""
    if option is False:
        return []
    if option is True:
        return [_start_fen(n) for n in range(STARTS)]
    return [_start_fen(int(option))]
