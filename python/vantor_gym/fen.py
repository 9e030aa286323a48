"""FEN text read and checked once, for every layer that starts a game from it.

``read_fen`` turns text into a ``Fen``: six fields split on runs of whitespace (as
python-chess splits them) and checked to be a well-formed, legal-looking position. Its
``position`` is the text the engine's reader walks (four fields, one blank between), so
the position loaded is exactly the one checked. ``read_start`` adds what starting a game
needs under the rules it is played by: a legal move for the side to move, a half-move
clock short of the draw, and (under chess's rules) material that could still mate.
"""

from __future__ import annotations

import functools
import re
from dataclasses import dataclass

from vantor_gym import _native
from vantor_gym.rules import halfmove_limit, rules_of

__all__ = ["Fen", "HALFMOVE_LIMIT", "read_fen", "read_start", "validate_fen"]

# A game under the module's rules is drawn by the first move that makes this many
# half-moves without a capture or pawn move; a start must leave room for one more move.
HALFMOVE_LIMIT = 50
"""The no-progress count at which a game ends as a draw under the module's rules (fifty
half-moves); ``vantor_gym.rules.halfmove_limit`` gives it for every rule set."""
COUNTER_MAX = 2**31 - 1  # the largest clock FEN text is read with
_SIDES = {"w": "white", "b": "black"}
_CASTLING_FIELD = re.compile(r"-|(?=.)K?Q?k?q?")
# As python-chess takes one: white's rights before black's, in any order within a side.
_CASTLING960_FIELD = re.compile(r"-|[KQA-H]{0,4}[kqa-h]{0,4}")


@dataclass(frozen=True)
class Fen:
    """A checked FEN: its six fields, with the two clocks as numbers."""

    placement: str
    turn: str  # "w" or "b"
    castling: str
    en_passant: str
    halfmove_clock: int
    fullmove_number: int
    legal_moves: int  # of the side to move
    in_check: bool  # the side to move
    insufficient_material: bool = False  # neither side can mate, as chess judges it
    chess960: bool = False  # the castling field read as Chess960's

    @property
    def position(self) -> str:
        """The first four fields, one blank apart: the text the engine reads."""
        return f"{self.placement} {self.turn} {self.castling} {self.en_passant}"

    @property
    def text(self) -> str:
        """All six fields, one blank apart."""
        return f"{self.position} {self.halfmove_clock} {self.fullmove_number}"


def _quoted(text: str, limit: int = 40) -> str:
    """A field for an error message, cut short: a message does not echo a huge text."""
    return repr(text if len(text) <= limit else text[:limit] + "...")


def _placement_problem(placement: str) -> str | None:
    ranks = placement.split("/")
    if len(ranks) != 8:
        return f"the placement has {len(ranks)} ranks, expected 8 separated by '/'"
    for number, rank in zip(range(8, 0, -1), ranks):
        squares, digit_before = 0, False
        for c in rank:
            if c in "12345678":
                if digit_before:
                    return f"rank {number} ({_quoted(rank)}) has two digits in a row"
                squares += int(c)
            elif c in "PNBRQKpnbrqk":
                squares += 1
            else:
                return f"rank {number} ({_quoted(rank)}) holds {c!r}, which is neither a piece letter nor a digit 1-8"
            digit_before = c.isdigit()
        if squares != 8:
            return f"rank {number} ({_quoted(rank)}) covers {squares} squares, expected 8"
    return None


def _board(placement: str) -> dict[int, str]:
    """Piece letter by square number (a8 is 0, h1 is 63) of a well-formed placement."""
    pieces = {}
    for row, rank in enumerate(placement.split("/")):
        column = 0
        for c in rank:
            if c.isdigit():
                column += int(c)
            else:
                pieces[8 * row + column] = c
                column += 1
    return pieces


def _material_problem(pieces: dict[int, str]) -> str | None:
    for side, king, pawn in (("white", "K", "P"), ("black", "k", "p")):
        kings = sum(1 for p in pieces.values() if p == king)
        if kings != 1:
            return f"{side} has {kings} kings, expected one"
        if sum(1 for p in pieces.values() if p == pawn) > 8:
            return f"{side} has more than 8 pawns"
        if sum(1 for p in pieces.values() if p.isupper() == (side == "white")) > 16:
            return f"{side} has more than 16 pieces"
    if any(pieces.get(square) in ("P", "p") for square in (*range(8), *range(56, 64))):
        return "a pawn stands on the first or eighth rank"
    return None


# Each castling right with the king's and the rook's home squares it needs.
_CASTLING = {"K": ("K", 60, "R", 63), "Q": ("K", 60, "R", 56), "k": ("k", 4, "r", 7), "q": ("k", 4, "r", 0)}


def _castling_problem(rights: str, pieces: dict[int, str]) -> str | None:
    if _CASTLING_FIELD.fullmatch(rights) is None:
        return f"castling field {_quoted(rights)} must be '-' or letters of 'KQkq' in that order"
    for right in rights.replace("-", ""):
        king, king_square, rook, rook_square = _CASTLING[right]
        if pieces.get(king_square) != king or pieces.get(rook_square) != rook:
            side = "white" if right.isupper() else "black"
            rank = "1" if side == "white" else "8"
            corner = "abcdefgh"[rook_square % 8] + rank
            return f"castling right {right!r} needs the {side} king on e{rank} and a {side} rook on {corner}"
    return None


def _castling960_problem(rights: str, pieces: dict[int, str]) -> str | None:
    """As python-chess reads a Chess960 field: K and Q (k, q) for the outermost rook on
    that side of the king, a file letter for the rook on that file; each right needs its
    king on the back rank with the rook beside it on that side, one right a side."""
    if _CASTLING960_FIELD.fullmatch(rights) is None:
        return (f"castling field {_quoted(rights)} must be '-' or white's rights (K, Q, files A-H), then "
                "black's (k, q, files a-h)")
    wings = set()
    for letter in rights.replace("-", ""):
        white = letter.isupper()
        side, rank, first = ("white", "1", 56) if white else ("black", "8", 0)
        king = next((s - first for s in range(first, first + 8) if pieces.get(s) == ("K" if white else "k")), None)
        if king is None:
            return f"castling right {letter!r} needs the {side} king on rank {rank}"
        rooks = [s - first for s in range(first, first + 8) if pieces.get(s) == ("R" if white else "r")]
        wanted = letter.lower()
        if wanted in "kq":
            beside = [c for c in rooks if (c > king if wanted == "k" else c < king)]
            column = (max(beside) if wanted == "k" else min(beside)) if beside else None
        else:
            column = ord(wanted) - ord("a")
            column = column if column in rooks else None
        if column is None or column == king:
            where = {"k": "on the h-file side of", "q": "on the a-file side of"}.get(wanted, f"on {wanted}{rank} beside")
            return f"castling right {letter!r} needs a {side} rook {where} the {side} king on rank {rank}"
        wing = (side, column > king)
        if wing in wings:
            return f"castling field {_quoted(rights)} gives {side} two rights on one side of its king"
        wings.add(wing)
    return None


def _square(name: str) -> int:
    return (ord(name[0]) - ord("a")) + 8 * (8 - int(name[1]))


def _en_passant_problem(square: str, turn: str, pieces: dict[int, str]) -> str | None:
    if square == "-":
        return None
    if re.fullmatch(r"[a-h][1-8]", square) is None:
        return f"en-passant field {_quoted(square)} must be '-' or a square"
    # The pawn that just made a double push stands in front of the square it passed, and
    # both that square and the one it started from are empty.
    rank, step, pawn = ("6", 8, "p") if turn == "w" else ("3", -8, "P")
    index = _square(square)
    if square[1] != rank or pieces.get(index + step) != pawn or index in pieces or index - step in pieces:
        mover = "black" if turn == "w" else "white"
        return f"en-passant square {square} is not one a {mover} double push could just have left"
    return None


def _counter(text: str, name: str, least: int) -> int:
    # Digits only (no sign, no '_'), and short enough for the engine's 32-bit counters.
    if not text.isdigit() or len(text) > 10 or not least <= int(text) <= COUNTER_MAX:
        raise ValueError(f"the {name} must be a number in {least} .. {COUNTER_MAX}, not {_quoted(text)}")
    return int(text)


def read_fen(text: str, chess960: bool = False) -> Fen:
    """The ``Fen`` of text, or ``ValueError`` naming what is wrong with it.

    Fields are split on runs of whitespace, and surrounding whitespace is ignored, as
    python-chess does. Checked: six fields (or the first four, the clocks then 0 and 1);
    eight ranks of eight squares, of known letters and digits; one king a side, at most 8
    pawns and 16 pieces a side, no pawn on the first or eighth rank; side ``w`` or ``b``;
    castling rights ``-`` or in the order ``KQkq``, each backed by king and rook on their
    home squares; an en-passant square that a double push just made could have left; the
    side not to move not in check; a check that a last move could have given (at most two
    checkers, not both on one line through the king, and after a double push the pushed
    pawn or a line it uncovered); a half-move clock of at least 0 and a full-move number
    of at least 1, each at most 2**31 - 1.

    With ``chess960`` the castling field is Chess960's (``vantor_gym.chess960``): X-FEN or
    Shredder-FEN letters, each right backed by its king on the back rank and a rook on
    that side of it.
    """
    if not isinstance(text, str):
        raise TypeError(f"fen must be a str, not {type(text).__name__}")
    chess960 = bool(chess960)
    # Starts are read again at every reset; keeping the texts of ordinary length is enough.
    return _read_cached(text, chess960) if len(text) <= 256 else _read(text, chess960)


def _read(text: str, chess960: bool = False) -> Fen:
    try:
        return _checked(text, chess960)
    except ValueError as error:
        raise ValueError(f"invalid FEN {_quoted(text, 200)}: {error}") from None


_read_cached = functools.lru_cache(maxsize=4096)(_read)


def _checked(text: str, chess960: bool) -> Fen:
    if not text.isascii():
        raise ValueError("a FEN holds ASCII characters only")
    fields = text.split()
    if len(fields) not in (4, 6):
        raise ValueError(
            "a FEN has 6 fields (placement, side, castling, en passant, half-move clock, full-move number) "
            f"or the first 4, not {len(fields)}"
        )
    placement, turn, rights, square = fields[:4]
    problem = _placement_problem(placement)
    pieces = _board(placement) if problem is None else {}
    problem = problem or _material_problem(pieces)
    if problem is None and turn not in _SIDES:
        problem = f"the side to move must be 'w' or 'b', not {_quoted(turn)}"
    castling = _castling960_problem if chess960 else _castling_problem
    problem = problem or castling(rights, pieces) or _en_passant_problem(square, turn, pieces)
    if problem is not None:
        raise ValueError(problem)
    clock = _counter(fields[4], "half-move clock", 0) if len(fields) == 6 else 0
    number = _counter(fields[5], "full-move number", 1) if len(fields) == 6 else 1
    position = " ".join(fields[:4])
    opponent_in_check, checkers, impossible, legal_moves, insufficient = _native.position_facts(position, chess960)
    mover, other = _SIDES[turn], _SIDES["b" if turn == "w" else "w"]
    if opponent_in_check:
        raise ValueError(f"{other} is in check but it is {mover}'s move")
    if impossible:
        raise ValueError(f"{mover} is in check by {checkers} pieces in a way no last move could give")
    return Fen(placement, turn, rights, square, clock, number, legal_moves, checkers > 0, insufficient, chess960)


def validate_fen(text: str, chess960: bool = False) -> None:
    """Raises ``ValueError`` with the reason when text is not a FEN that ``read_fen`` accepts."""
    read_fen(text, chess960)


def written(text: str, chess960: bool = False) -> str:
    """FEN text a writer made of a position, once ``read_fen`` has read it back: a
    position restored from an edited snapshot (no king, an en-passant square no pawn could
    have made) has no FEN text, and is refused with ``ValueError`` rather than written."""
    try:
        read_fen(text, chess960)
    except ValueError as error:
        raise ValueError(f"this position has no FEN text that reads back ({error})") from None
    return text


def read_start(text: str, rules: str = "standard", chess960: bool = False) -> Fen:
    """The ``Fen`` of text as the start of a game under ``rules`` (``vantor_gym.rules``):
    ``read_fen``'s checks, a legal move for the side to move (``ValueError`` naming the
    mate or stalemate otherwise), a half-move clock below the rules' limit (100 half-moves
    under ``"standard"``, 150 under ``"automatic"``, 50 under ``"module"``), and, under
    chess's rules, material with which a mate is still possible. ``chess960`` reads the
    castling field as Chess960's."""
    rules = rules_of(rules)
    fen = read_fen(text, chess960)
    mover = _SIDES[fen.turn]
    if fen.legal_moves == 0:
        ending = "checkmated" if fen.in_check else "stalemated"
        raise ValueError(f"{mover} is {ending} in the start position {fen.text!r}: there is no move to play")
    if rules != "module" and fen.insufficient_material:
        raise ValueError(f"the start position {fen.text!r} is drawn under {rules} rules: neither side has the "
                         "material to mate")
    limit = halfmove_limit(rules)
    if fen.halfmove_clock >= limit:
        raise ValueError(
            f"the half-move clock of {fen.text!r} is {fen.halfmove_clock}, but a game under {rules} rules is drawn "
            f"after {limit} half-moves without a capture or pawn move: start from a clock of at most {limit - 1}"
        )
    return fen
