"""The rules a game is played under, and the names of the ways it can end.

Every layer of ``vantor_gym`` takes ``rules=``:

- ``"standard"`` (the default): chess, with every draw that a player may claim taken at
  once, as OpenSpiel and pgx end a game. The half-move clock counts as FEN and
  python-chess count it (0 after a pawn move or a capture); a game is drawn by fifty moves
  of each side without a pawn move or capture (the clock at 100), by the third occurrence
  of a position (python-chess's ``is_repetition(3)``: the same pieces on the same squares,
  side to move, castling rights, and en-passant square where the capture is legal), and
  by insufficient material (``is_insufficient_material``).
- ``"automatic"``: chess with only the draws nobody claims, as python-chess's
  ``is_game_over()`` has them: seventy-five moves (the clock at 150), the fifth
  occurrence, insufficient material.
- ``"module"``: exactly the ``vantor`` module's rules, so that the games are
  ``vantor.Vantor``'s move for move: a pawn move or capture sets the clock to 1, fifty
  half-moves draw, a third occurrence by ``Vantor.hash_state`` draws (which does not tell
  piece kinds apart), and material never does.
"""

from __future__ import annotations

from typing import Any

from vantor_gym._numbers import integer

__all__ = ["ENDINGS", "RULES", "ending_name", "halfmove_limit", "max_game_plies", "repetition_limit", "rules_of"]

RULES = ("standard", "automatic", "module")
"""What ``rules=`` takes, the default first."""
ENDINGS = (
    "checkmate",
    "stalemate",
    "insufficient_material",
    "fifty_moves",
    "repetition",
    "seventyfive_moves",
    "fivefold_repetition",
    "illegal_action",
    "max_plies",
)
"""How a game ends, by code: ``ENDINGS[code - 1]`` for the ending codes of ``BatchEnv``
(``info["ending"]``, 0 while a game goes on). ``"fifty_moves"`` is fifty moves of each side
under chess's rules and fifty half-moves under the module's; ``"repetition"`` is a third
occurrence; ``"illegal_action"`` an illegal action under ``illegal="lose"``;
``"max_plies"`` a game cut short (truncated, not terminated)."""

_HALFMOVE_LIMITS = {"standard": 100, "automatic": 150, "module": 50}
_REPETITION_LIMITS = {"standard": 2, "automatic": 4, "module": 2}
# Pawn moves and captures a game can hold: 96 pawn steps and 30 captures of pieces.
_ZEROING_MOVES = 126


def rules_of(rules: Any) -> str:
    """``rules`` checked: one of ``RULES``, else ``ValueError`` (``TypeError`` for a
    value that is not a str)."""
    if not isinstance(rules, str):
        raise TypeError(f"rules must be a str, one of {RULES}, not {type(rules).__name__}")
    text = str(rules)  # a NumPy str_ is kept as the plain str it equals
    if text not in RULES:
        raise ValueError(f"rules must be one of {RULES}, not {text[:40]!r}")
    return text


def halfmove_limit(rules: str) -> int:
    """The half-move clock at which a game is drawn under ``rules`` (when the side to move
    has a move): 100, 150 or the module's 50. A start's clock must be below it."""
    return _HALFMOVE_LIMITS[rules_of(rules)]


def repetition_limit(rules: str) -> int:
    """The repetition value (earlier occurrences of the position, as planes 12 and 13 show
    it) at which a game is drawn: 2 (a third occurrence), or 4 under ``"automatic"``."""
    return _REPETITION_LIMITS[rules_of(rules)]


def max_game_plies(rules: str) -> int:
    """The most plies any game can last under ``rules``: each pawn move or capture may be
    followed by one clock's worth of other moves, and one more move reaches the limit."""
    return (_ZEROING_MOVES + 1) * halfmove_limit(rules)


def ending_name(code: int) -> str | None:
    """The name of an ending code, or None for 0 (the game goes on); ``ValueError`` for a
    number that is no code, ``TypeError`` for anything but an integer."""
    number = integer(code, "an ending code")
    if not 0 <= number <= len(ENDINGS):
        raise ValueError(f"an ending code is in 0 .. {len(ENDINGS)}, not {number}")
    return None if number == 0 else ENDINGS[number - 1]
