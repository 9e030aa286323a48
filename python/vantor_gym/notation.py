"""Chess notation for positions and games: UCI and SAN moves, FEN text, PGN games.

A position is given as a ``vantor.State``, a ``vantor.Vantor`` (its current position) or
a ``(BatchEnv, index)`` pair (that game's position). The legal moves and their texts come
from the native engine, so every text names exactly the move the action plays. A
Chess960 position is read from its game (a ``Game`` or ``(BatchEnv, index)`` made with
``chess960``): a ``vantor.State`` carries no variant and reads as standard chess.
"""

from __future__ import annotations

import dataclasses
import functools
import itertools
import os
import re
from collections import deque
from collections.abc import Callable, Iterator, Mapping, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Literal, Union

import numpy as np

import vantor
from vantor_gym import _native
from vantor_gym._numbers import flag
from vantor_gym.batch import BatchEnv
from vantor_gym.chess960 import STANDARD_START
from vantor_gym.chess960 import start_fen as start_fen_of
from vantor_gym.fen import COUNTER_MAX, Fen, read_fen, read_start, validate_fen, written
from vantor_gym.rules import rules_of
from vantor_gym.game import Game
from vantor_gym.pgn_files import PgnSource, Piece, check_source, opening, pieces
from vantor_gym.pgn_reader import quoted, read_game_text


__all__ = [
    "PgnColumns",
    "PgnGame",
    "Position",
    "action_to_san",
    "action_to_uci",
    "fen",
    "pgn",
    "read_pgn",
    "read_pgn_chunks",
    "read_pgn_columns",
    "read_pgn_games",
    "san_to_action",
    "uci_to_action",
    "validate_fen",
]

Position = Union[vantor.State, vantor.Vantor, Game, "tuple[BatchEnv, int]"]
"""A position the notation functions read: a ``vantor.State``, a ``vantor.Vantor``, a
``Game``, or a ``BatchEnv`` and the index of one of its games."""

ACTIONS = 4672
RESULTS = ("1-0", "0-1", "1/2-1/2", "*")
_SIDES = ("white", "black")
_UCI = re.compile(r"([a-h][1-8])([a-h][1-8])([qrbnQRBN]?)")
# As python-chess reads SAN: "x" and "-" are not checked, a promotion letter may be lower-case.
_SAN = re.compile(r"([NBRQK])?([a-h])?([1-8])?[-x]?([a-h][1-8])(?:=?([NBRQnbrq]))?")
_CASTLING_SAN = {"O-O": "O-O", "0-0": "O-O", "O-O-O": "O-O-O", "0-0-0": "O-O-O"}


def _state(position: Position) -> vantor.State:
    if isinstance(position, vantor.State):
        return position
    if isinstance(position, (vantor.Vantor, Game)):
        return position.save_state()
    if (
        isinstance(position, tuple)
        and len(position) == 2
        and hasattr(position[0], "save_state")
        and not isinstance(position[0], (vantor.Vantor, Game))
    ):
        return position[0].save_state(_integer(position[1], "a game index"))
    raise TypeError(
        "a position is a vantor.State, a vantor.Vantor, a vantor_gym.Game or a (BatchEnv, index) pair, "
        f"not {type(position).__name__}"
    )


def _moves(position: Position) -> _Moves:
    """The legal moves of a position, a Chess960 game's read from the game itself."""
    game = _chess960_game(position)
    if game is None:
        return _Moves(_state(position))
    if isinstance(game, Game):
        return _Moves(game.save_state(), game._core.legal_moves())
    index = game._index(position[1])  # type: ignore[index]
    return _Moves(game.save_state(index), game._open().legal_moves(index))


def is_chess960(position: Position) -> bool:
    """Whether a position is of a Chess960 game (a ``Game`` or ``(BatchEnv, index)`` made
    with ``chess960``)."""
    return _chess960_game(position) is not None


def has_legal_move(position: Position) -> bool:
    """Whether the side to move has a legal move."""
    return bool(_moves(position).listed)


def _chess960_game(position: Position) -> Game | BatchEnv | None:
    """The Chess960 game (a ``Game`` or the ``BatchEnv`` of a pair) a position is of, or None."""
    if isinstance(position, Game):
        return position if position.chess960 else None
    if isinstance(position, tuple) and len(position) == 2 and isinstance(position[0], BatchEnv):
        return position[0] if position[0].chess960 is not False else None
    return None


def _integer(value: object, what: str) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}")
    return int(value)


def _square(name: str) -> int:
    """Square number of a name such as "e4": a8 is 0, h1 is 63."""
    return (ord(name[0]) - ord("a")) + 8 * (8 - int(name[1]))


class _Moves:
    """The legal moves of one position, indexed by action, UCI text and SAN text; a
    Chess960 game's as its own board lists them (a snapshot alone reads as standard)."""

    def __init__(self, state: vantor.State, listed: list[tuple[int, str, str]] | None = None) -> None:
        self.state = state
        self.sets = state.bitboards.tolist()
        self.listed = _native.legal_moves(state) if listed is None else listed
        self.by_action = {action: (uci, san) for action, uci, san in self.listed}
        self.by_uci = {uci: action for action, uci, _ in self.listed}
        self.by_san = {san.rstrip("+#"): action for action, _, san in self.listed}

    def piece_on(self, square: int) -> int:
        """Piece code on square (the highest where sets overlap, as the engine reads it), or -1."""
        return max((code for code in range(12) if self.sets[code] >> square & 1), default=-1)

    def legal(self, action: object) -> tuple[str, str]:
        number = _integer(action, "an action")
        if not 0 <= number < ACTIONS:
            raise ValueError(f"action {number} is outside 0..{ACTIONS - 1}")
        if number not in self.by_action:
            raise ValueError(f"action {number} is not a legal move in this position ({self._moves_left()})")
        return self.by_action[number]

    def _moves_left(self) -> str:
        return f"{len(self.listed)} legal moves" if self.listed else "there is no legal move"

    def from_uci(self, text: object) -> int:
        if not isinstance(text, str):
            raise TypeError(f"a UCI move is a str, not {type(text).__name__}")
        match = _UCI.fullmatch(text.strip())
        if match is None:
            raise ValueError(
                f"malformed UCI move {quoted(text)}: expected a source and a target square and an optional "
                "promotion letter, as 'e2e4' or 'e7e8q'"
            )
        source, target, promotion = match.group(1), match.group(2), match.group(3).lower()
        uci = source + target + promotion
        if uci in self.by_uci:
            return self.by_uci[uci]
        side = _SIDES[self.state.side]
        piece = self.piece_on(_square(source))
        if piece < 0 or piece // 6 != self.state.side:
            raise ValueError(f"{uci} is not legal: no {side} piece stands on {source}")
        if not promotion and any(u.startswith(uci) and len(u) == 5 for u in self.by_uci):
            raise ValueError(f"{uci} is not legal: a pawn reaching the last rank needs a promotion letter")
        raise ValueError(f"{uci} is not a legal move for {side} in this position")

    def from_san(self, text: object) -> int:
        if not isinstance(text, str):
            raise TypeError(f"a SAN move is a str, not {type(text).__name__}")
        body = _san_body(text)
        if body in self.by_san:
            return self.by_san[body]
        if body in _CASTLING_SAN:
            if _CASTLING_SAN[body] in self.by_san:
                return self.by_san[_CASTLING_SAN[body]]
            raise ValueError(f"{quoted(text)} is not legal: {_SIDES[self.state.side]} cannot castle that way now")
        match = _SAN.fullmatch(body)
        if match is None:
            raise ValueError(f"malformed SAN move {quoted(text)}")
        candidates = self._san_candidates(*match.groups())
        if len(candidates) == 1:
            return candidates[0][0]
        if candidates:
            raise ValueError(f"{quoted(text)} is ambiguous: it could be " + " or ".join(san for _, san in candidates))
        raise ValueError(f"{quoted(text)} is not a legal move for {_SIDES[self.state.side]} in this position")

    def _san_candidates(
        self, letter: str | None, file: str | None, rank: str | None, target: str, promotion: str | None
    ) -> list[tuple[int, str]]:
        """The legal moves a SAN body can name, chosen as python-chess chooses them."""
        promotion = (promotion or "").lower()
        if not letter and file and rank:
            # A source square in full names one move, whatever piece stands there (castling too).
            action = self.by_uci.get(file + rank + target + promotion)
            return [] if action is None else [(action, self.by_action[action][1])]
        kind = "PNBRQK".index(letter) if letter else 0
        if not letter:
            file = file or target[0]  # a pawn leaves its file only when the SAN names the file
        found = []
        for action, uci, san in self.listed:
            if uci[2:4] != target or uci[4:] != promotion or self.piece_on(_square(uci[:2])) % 6 != kind:
                continue
            if (file and uci[0] != file) or (rank and uci[1] != rank):
                continue
            if kind == 5 and san.startswith("O-O"):
                continue  # castling is written O-O or as the king's move in full, never "Kg1" (nor "Kxh1")
            found.append((action, san))
        return found


def _san_body(text: str) -> str:
    """SAN without surrounding whitespace, suffix annotations and the check or mate mark.

    rstrip walks the text once, where a regular expression anchored at the end would try
    every position of a long run of marks.
    """
    body = text.strip().rstrip("!?")
    return body[:-1] if body.endswith(("+", "#")) else body


def action_to_uci(position: Position, action: int) -> str:
    """UCI text of a legal action: source, target and a lower-case promotion letter."""
    return _moves(position).legal(action)[0]


def uci_to_action(position: Position, text: str) -> int:
    """Action of a legal move written in UCI text (``ValueError`` naming the reason otherwise)."""
    return _moves(position).from_uci(text)


def action_to_san(position: Position, action: int) -> str:
    """SAN text of a legal action, with ``+`` or ``#`` when it checks or mates."""
    return _moves(position).legal(action)[1]


def san_to_action(position: Position, text: str) -> int:
    """Action of a legal move written in SAN.

    Check marks and annotations (``+``, ``#``, ``!``, ``?``) are ignored, castling may be
    written with zeros, and a piece move may name more of its source square than needed.
    An ambiguous, illegal or malformed move raises ``ValueError`` naming the reason.
    """
    return _moves(position).from_san(text)


def fen(position: Position, fullmove_number: int | None = None) -> str:
    """The position as FEN text.

    The first four fields are the position that ``Vantor.parse_fen`` reads back. The
    half-move field holds the state's ``no_progress_count``: the half-moves since the game
    started (or the start FEN's half-move clock, which a game goes on from) or since the
    last capture or pawn move. Under chess's rules (a ``Game`` or ``BatchEnv`` made with
    ``rules="standard"`` or ``"automatic"``) that is the usual clock, 0 right after such a
    move, and the en-passant square is written only where the capture is legal, as
    python-chess writes FEN; under the module's rules (and for a state or a ``Vantor``)
    the move itself is counted, so the clock is 1 right after one, and the en-passant
    square is the module's. ``parse_fen`` ignores the clocks. The full-move field is
    ``fullmove_number`` when given; otherwise a ``Game``'s or a ``(BatchEnv, index)`` game's own
    (its start FEN's, plus one for each move black made since), and 1 for a state or a ``Vantor``,
    which do not know how many moves their game has made.
    """
    number = None if fullmove_number is None else _integer(fullmove_number, "fullmove_number")
    if number is not None and not 1 <= number <= COUNTER_MAX:
        # read_fen reads no other number back.
        raise ValueError(f"fullmove_number must be in 1 .. {COUNTER_MAX}, got {number}")
    legal_en_passant = _rules_of(position) != "module"
    game = _chess960_game(position)
    if isinstance(game, Game):
        fields, clock, own = game._core.fen_parts(legal_en_passant)
    elif game is not None:
        index = game._index(position[1])  # type: ignore[index]
        state, own = game._open().save_state_and_fullmove(index)
        fields, clock = game._open().position_fields(index, legal_en_passant), state.no_progress_count
    else:
        state, own = _state_and_fullmove(position)
        fields = _native.position_fields(state, legal_en_passant=legal_en_passant)
        clock = state.no_progress_count
    return written(f"{fields} {max(clock, 0)} {number or own}", game is not None)


def _rules_of(position: Position) -> str:
    """The rules a position's game is played under; the module's for a state or a ``Vantor``."""
    if isinstance(position, Game):
        return position.rules
    if isinstance(position, tuple) and len(position) == 2 and isinstance(position[0], BatchEnv):
        return position[0].rules
    return "module"


def _state_and_fullmove(position: Position) -> tuple[vantor.State, int]:
    """The position's state and full-move number (1 where it keeps none), read together
    from a game that another thread may be stepping."""
    if isinstance(position, Game):
        return position._core.save_state_and_fullmove()
    if isinstance(position, tuple) and len(position) == 2 and isinstance(position[0], BatchEnv):
        games = position[0]
        return games._open().save_state_and_fullmove(games._index(position[1]))
    return _state(position), 1


@dataclass
class PgnGame:
    """A game read from PGN text."""

    actions: list[int]
    start_fen: str | None = None
    result: str = "*"
    headers: dict[str, str] = field(default_factory=dict)

    @property
    def chess960(self) -> bool:
        """Whether the ``Variant`` header names Chess960, whose actions a ``Game`` made with
        ``chess960=True`` plays (``vantor_gym.chess960``)."""
        return names_chess960(self.headers)


# The Variant header's values that name Chess960, as python-chess tells them (any letter case).
_CHESS960_NAMES = ("chess960", "chess 960", "fischerandom", "fischerrandom", "fischer random")


def names_chess960(headers: Mapping[str, str]) -> bool:
    """Whether a game's ``Variant`` header names Chess960."""
    variant = headers.get("Variant")
    return isinstance(variant, str) and variant.lower() in _CHESS960_NAMES


_ROSTER = ("Event", "Site", "Date", "Round", "White", "Black", "Result")


def _header_line(name: str, value: str) -> str:
    if not isinstance(name, str):
        raise TypeError(f"a PGN header name is a str, not {type(name).__name__}")
    if re.fullmatch(r"[A-Za-z0-9_]+", name) is None:
        raise ValueError(f"PGN header name {quoted(name)} must be letters, digits and '_'")
    if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)):
        text = str(int(value))
    elif isinstance(value, str):
        text = value
    else:  # None or bytes would be written as "None" or "b'...'"
        raise TypeError(f"PGN header {name}'s value is a str or an integer, not {type(value).__name__}")
    if "\n" in text or "\r" in text:
        # A header is one line and PGN has no escape for a line break.
        raise ValueError(f"PGN header {name} holds a line break, which a header value cannot: {quoted(text)}")
    escaped = text.replace("\\", "\\\\").replace('"', '\\"')
    return f'[{name} "{escaped}"]'


def _pgn_tags(start: Fen | None, headers: Mapping[str, str] | None, chess960: bool = False) -> dict[str, str]:
    """The tags of a game's header lines, each checked to write as one line that reads back."""
    tags = {name: "?" for name in _ROSTER}
    tags["Date"] = "????.??.??"
    if chess960:
        tags["Variant"] = "Chess960"
    if start is not None:
        tags["SetUp"], tags["FEN"] = "1", start.text
    given = dict(headers or {})
    if "Variant" in given and names_chess960(given) != chess960:
        # A reader plays the moves by the variant the header names.
        raise ValueError(f"the Variant header {quoted(str(given['Variant']))} does not match chess960={chess960}")
    if "FEN" in given:
        # A reader replays the moves from the FEN header's position, so it must be the start's.
        fen_text = given["FEN"]
        if start is None or not isinstance(fen_text, str) or _spelled(read_fen(fen_text, chess960)) != start:
            raise ValueError(f"the FEN header {quoted(str(fen_text))} is not the start position: give it as start_fen")
        given["FEN"] = start.text
    tags.update(given)
    for name, value in tags.items():
        _header_line(name, value)
    return tags


def _wrap(tokens: list[str], width: int = 79) -> str:
    lines, line = [], ""
    for token in tokens:
        if line and len(line) + 1 + len(token) > width:
            lines.append(line)
            line = token
        else:
            line = f"{line} {token}" if line else token
    lines.append(line)
    return "\n".join(lines)


def _spelled(start: Fen) -> Fen:
    """A Chess960 start with its castling field as X-FEN writes it (``KQkq`` for the
    outermost rooks, file letters only where needed), however the text spelled it."""
    if not start.chess960:
        return start
    fields = _Replay(dataclasses.replace(start, halfmove_clock=0), "automatic", True).fields()
    return read_fen(f"{fields} {start.halfmove_clock} {start.fullmove_number}", True)


class _Replay:
    """One game from the initial position or a checked FEN, played as a batch game is
    (the start's clocks kept), whatever the start: a game may begin mated or stalemated."""

    def __init__(self, start: Fen | None, rules: str, chess960: bool = False) -> None:
        self._game = _native.Batch(1, 1, 0, "disabled", "raise", None, rules=rules, chess960=chess960)
        fens = None if start is None else [(start.position, start.halfmove_clock, start.fullmove_number)]
        self._game.reset(np.zeros(1, np.int64), fens, {})
        self._action = np.zeros(1, np.int64)
        self._out = {"rewards": np.zeros(1, np.int8), "terminated": np.zeros(1, np.bool_)}

    def state(self) -> vantor.State:
        return self._game.save_state(0)

    def fields(self) -> str:
        """The first four fields of the position's FEN, the en-passant square as given."""
        return self._game.position_fields(0, False)

    def moves(self) -> list[tuple[int, str, str]]:
        return list(self._game.legal_moves(0))

    def play(self, action: int) -> tuple[int, bool]:
        """Plays a legal action; returns the reward from white's side and whether the game ended."""
        self._action[0] = action
        self._game.step(self._action, self._out)
        return int(self._out["rewards"][0]), bool(self._out["terminated"][0])


def _over_at_start(start: Fen, rules: str) -> str | None:
    """Why a game under ``rules`` cannot go on from ``start``, or None when it can."""
    try:
        read_start(start.text, rules, start.chess960)
    except ValueError as error:
        return str(error)
    return None


def pgn(
    actions: Sequence[int],
    start_fen: str | None = None,
    result: str | None = None,
    headers: Mapping[str, str] | None = None,
    rules: str = "standard",
    chess960: bool = False,
) -> str:
    """PGN text of a game: its actions from the initial position or from ``start_fen``.

    ``result`` is one of ``"1-0"``, ``"0-1"``, ``"1/2-1/2"`` and ``"*"``; by default it is
    what the environment says after the last action under ``rules`` (``vantor_gym.rules``;
    ``"*"`` for a game it has not ended).
    ``headers`` add to or replace the seven-tag roster, whose unknown values are ``"?"``.
    A start position adds the ``SetUp`` and ``FEN`` headers; a ``FEN`` in ``headers`` must
    read as ``start_fen``. Header names are letters, digits and ``_``, and values are ``str``
    (or integers) without a line break. An illegal action, or one after the game ended,
    raises ``ValueError`` naming its ply. ``chess960`` writes a Chess960 game
    (``vantor_gym.chess960``): the ``Variant "Chess960"`` header, the start as X-FEN (the
    standard start's too), castling as ``O-O`` and ``O-O-O``.
    """
    if result is not None and result not in RESULTS:
        raise ValueError(f"result must be one of {', '.join(RESULTS)}, not {result!r}")
    rules = rules_of(rules)
    chess960 = flag(chess960, "chess960")
    if chess960 and start_fen is None:
        start_fen = start_fen_of(STANDARD_START)
    start = None if start_fen is None else _spelled(read_fen(start_fen, chess960))
    tags = _pgn_tags(start, headers, chess960)
    number = 1 if start is None else start.fullmove_number
    tokens: list[str] = []
    game = _Replay(start, rules, chess960)
    ended, reward = False, 0
    over_at_start = None if start is None or not actions else _over_at_start(start, rules)
    for ply, action in enumerate(actions, start=1):
        if over_at_start is not None:
            raise ValueError(f"ply 1: the game is over at its start under {rules} rules ({over_at_start})")
        if ended:
            raise ValueError(f"ply {ply}: the game ended at ply {ply - 1}")
        state = game.state()
        try:
            san = _Moves(state, game.moves()).legal(action)[1]
        except ValueError as error:
            raise ValueError(f"ply {ply}: {error}") from None
        if state.side == 0:
            tokens.append(f"{number}.")
        elif not tokens:
            tokens.append(f"{number}...")
        tokens.append(san)
        number += state.side
        reward, ended = game.play(action)
    if result is None:
        result = ("1/2-1/2", "1-0", "0-1")[reward] if ended else "*"
    tags["Result"] = result
    head = "\n".join(_header_line(name, value) for name, value in tags.items())
    return f"{head}\n\n{_wrap([*tokens, result])}\n"


def read_pgn(text: str) -> PgnGame:
    """The first game of PGN text: its actions, start position, result and headers.

    Comments (``{...}`` to the first ``}``, ``;`` to the end of the line), lines starting
    with ``%``, variations, annotation glyphs (``$n``, ``!``, ``?``) and move numbers are
    skipped; the game ends at its result or at a blank line. The main line's moves are
    replayed as SAN from the ``FEN`` header's position (read by
    ``vantor_gym.fen.read_fen``; ``start_fen`` is its six fields one blank apart) or the
    initial position. Malformed text (an unclosed comment or variation, text after the result, no
    game at all) raises ``ValueError`` naming the line, and a move that is not legal
    raises ``ValueError`` naming its ply and the reason.
    """
    if not isinstance(text, str):
        raise TypeError(f"PGN text is a str, not {type(text).__name__}")
    game_text = read_game_text(text)
    headers = game_text.headers
    chess960 = names_chess960(headers)
    start = None if "FEN" not in headers else read_fen(headers["FEN"], chess960)
    start_fen = None if start is None else start.text
    if chess960:
        return PgnGame(_chess960_actions(text, start, game_text.moves), start_fen,
                       game_text.result or headers.get("Result", "*"), headers)
    # A plain Vantor, not a batch game: it replays moves past what ends a game here (a
    # third repetition that nobody claimed, fifty half-moves), as real games go on.
    env = vantor.Vantor()
    env.reset()
    if start is not None:
        env.parse_fen(start.position)
    actions: list[int] = []
    result = game_text.result or headers.get("Result", "*")
    for token in game_text.moves:
        try:
            action = _Moves(env.save_state()).from_san(token)
        except ValueError as error:
            raise ValueError(f"ply {len(actions) + 1}: {error}") from None
        env.step(action)
        actions.append(action)
    return PgnGame(actions, start_fen, result, headers)


def _chess960_actions(text: str, start: Fen | None, moves: Sequence[str]) -> list[int]:
    """The actions of a Chess960 game's moves, replayed past what ends a game (as real
    games go on when nobody claims the draw) by the native reader; a move it cannot play
    is found and named by replaying the moves one by one."""
    actions, spans, _, _ = _native.read_pgn_games(text.encode("utf-8", "surrogatepass"))
    if len(spans) and spans[0, 4]:
        first, count = int(spans[0, 2]), int(spans[0, 3])
        return [int(action) for action in actions[first:first + count]]
    game = _Replay(start, "automatic", chess960=True)
    for ply, token in enumerate(moves, start=1):
        try:
            action = _Moves(game.state(), game.moves()).from_san(token)
        except ValueError as error:
            raise ValueError(f"ply {ply}: {error}") from None
        if game.play(action)[1]:
            break
    raise ValueError("the moves of this Chess960 game cannot be replayed from its start")


# The results array's codes: white's score, and 2 for a game without one ("*" or no result).
RESULT_CODES = {"1-0": 1, "0-1": -1, "1/2-1/2": 0}
UNDECIDED = 2
_LINE = re.compile(r"^line ([0-9]+)")
_MIB = 1 << 20
CHUNK_BYTES = 8 * _MIB
"""The bytes of PGN text ``read_pgn_chunks`` reads at a time by default."""
MAX_GAME_BYTES = 64 * _MIB
"""The longest game the readers take by default: real games are under 100 KB, so a longer one
is a damaged file (an unclosed comment), which must not make memory grow with the file."""
_PIECE_MAX = 1 << 30  # a piece's bytes: more is no faster and may not fit in memory
_THREADS_MAX = 1024


@dataclass
class PgnColumns:
    """Many games of PGN text in arrays, for learners that turn a file into targets at once.

    Game ``i`` played ``actions[offsets[i]:offsets[i + 1]]`` from ``start_fens[i]`` (None for
    the initial position, else six FEN fields). ``results[i]`` is 1, -1 or 0 for a white win,
    a black win or a draw and 2 for anything else; ``result_texts[i]`` is ``PgnGame.result``.
    ``skipped`` lists the ``(game number, message)`` of each malformed game left out, and
    ``numbers[i]`` (``int64``) is game ``i``'s number; game numbers count from 1 over the whole
    source and include the skipped games.

    The positions a game went through: when ``playable[i]``, ``vantor_gym.Game(fen=start_fens[i])``
    (or a ``BatchEnv`` reset with the start FENs) stepped with its actions gives each
    position's observation; under its default standard rules it ends the game at a third
    repetition, fifty moves or insufficient material, which a recorded game may play past
    (nobody claimed the draw). ``playable[i]`` is False where ``vantor_gym.fen.read_start``
    refuses the start FEN under standard rules, which the environment then cannot start
    from: the side to move has no legal move, the half-move clock is 100 or more, or
    neither side can mate. Such games are read all the same, as python-chess reads them.
    ``chess960[i]`` is True for a game whose ``Variant`` header names Chess960: its actions
    are a Chess960 game's (``vantor_gym.Game(fen=..., chess960=True)`` plays them), and
    ``playable[i]`` is False, since a standard game would not.
    """

    actions: np.ndarray
    offsets: np.ndarray
    results: np.ndarray
    result_texts: list[str]
    start_fens: list[str | None]
    headers: list[dict[str, str]]
    skipped: list[tuple[int, str]]
    playable: np.ndarray = None  # type: ignore[assignment]  # bool; from start_fens when not given
    numbers: np.ndarray = None  # type: ignore[assignment]  # int64; 1, 2, ... less the skipped when not given
    chess960: np.ndarray = None  # type: ignore[assignment]  # bool; from the Variant headers when not given

    def __post_init__(self) -> None:
        if self.chess960 is None:
            self.chess960 = np.array([names_chess960(tags) for tags in self.headers], np.bool_)
        if self.playable is None:
            self.playable = np.array([_startable(text) and not chess960
                                      for text, chess960 in zip(self.start_fens, self.chess960)], np.bool_)
        if self.numbers is None:
            left_out = {number for number, _ in self.skipped}
            total = len(self.headers) + len(self.skipped)
            self.numbers = np.array([n for n in range(1, total + 1) if n not in left_out], np.int64)

    def __len__(self) -> int:
        return len(self.headers)

    def game(self, index: int) -> PgnGame:
        """Game ``index`` as ``read_pgn`` gives it; a negative index counts from the end."""
        number = _integer(index, "a game index")
        if not -len(self) <= number < len(self):
            raise IndexError(f"game index {number} is out of range for {len(self)} games")
        index = range(len(self))[number]
        start, stop = int(self.offsets[index]), int(self.offsets[index + 1])
        actions = self.actions[start:stop].tolist()
        return PgnGame(actions, self.start_fens[index], self.result_texts[index], self.headers[index])


def _startable(start_fen: str | None) -> bool:
    if start_fen is None:
        return True
    try:
        read_start(start_fen)
    except ValueError:
        return False
    return True


def _concatenate(chunks: list[PgnColumns]) -> PgnColumns:
    """The games of several ``PgnColumns`` one after another, as one."""
    if len(chunks) == 1:
        return chunks[0]
    lengths = [np.diff(chunk.offsets) for chunk in chunks]
    offsets = np.zeros(sum(len(part) for part in lengths) + 1, np.int64)
    np.cumsum(np.concatenate(lengths) if lengths else [], out=offsets[1:])
    return PgnColumns(
        np.concatenate([chunk.actions for chunk in chunks]) if chunks else np.zeros(0, np.int64),
        offsets,
        np.concatenate([chunk.results for chunk in chunks]) if chunks else np.zeros(0, np.int8),
        [text for chunk in chunks for text in chunk.result_texts],
        [fen for chunk in chunks for fen in chunk.start_fens],
        [tags for chunk in chunks for tags in chunk.headers],
        [entry for chunk in chunks for entry in chunk.skipped],
        np.concatenate([chunk.playable for chunk in chunks]) if chunks else np.zeros(0, np.bool_),
        np.concatenate([chunk.numbers for chunk in chunks]) if chunks else np.zeros(0, np.int64),
        np.concatenate([chunk.chess960 for chunk in chunks]) if chunks else np.zeros(0, np.bool_),
    )


def _utf8_fault(data: bytes, begin: int, end: int) -> UnicodeDecodeError | None:
    """The first fault of bytes begin..end as UTF-8, or None when they are UTF-8."""
    try:
        data[begin:end].decode("utf-8")
    except UnicodeDecodeError as error:
        return error
    return None


@dataclass
class _Part:
    """The games that the parse of one piece of text gives for sure: the first ``count`` games
    of it, each kept (its columns) or skipped (``skipped``: index and message), or the fault
    that stops reading in ``on_error="raise"``; ``rest`` is where the text read again with
    what follows starts."""

    count: int = 0
    rest: int = 0
    kept: list[int] = field(default_factory=list)
    actions: list[np.ndarray] = field(default_factory=list)
    texts: list[str] = field(default_factory=list)
    fens: list[str | None] = field(default_factory=list)
    headers: list[dict[str, str]] = field(default_factory=list)
    skipped: list[tuple[int, str]] = field(default_factory=list)
    fault: str | None = None

    def keep(self, index: int, game: PgnGame, actions: np.ndarray) -> None:
        self.kept.append(index)
        self.actions.append(actions)
        self.texts.append(game.result)
        self.fens.append(game.start_fen)
        self.headers.append(game.headers)

    def columns(self, first: int) -> PgnColumns:
        """The kept games as columns, game numbers counted from ``first`` for the part's first game."""
        offsets = np.zeros(len(self.actions) + 1, np.int64)
        np.cumsum([len(played) for played in self.actions], out=offsets[1:])
        return PgnColumns(
            np.concatenate(self.actions) if self.actions else np.zeros(0, np.int64),
            offsets,
            np.array([RESULT_CODES.get(text, UNDECIDED) for text in self.texts], np.int8),
            self.texts,
            self.fens,
            self.headers,
            [(first + index, message) for index, message in self.skipped],
            numbers=np.asarray(self.kept, np.int64) + first,
        )


def _final_games(data: bytes, spans: np.ndarray, last: bool) -> int:
    """How many of the games the native reader found in ``data`` the whole source's read finds alike.

    A game is read alike when its reading looked at no byte past ``data``: it ended before
    the last line that ``data`` may hold only part of, and no comment of it was cut off
    (a '{' after the last '}' of ``data``, which the reader refuses as never closed)."""
    if last:
        return len(spans)
    whole_lines = data.rfind(b"\n") + 1
    # A game that ends where a line starting with '[' begins ended there, however that line goes on.
    side: Literal["left", "right"] = "right" if data[whole_lines:whole_lines + 1] == b"[" else "left"
    count = int(np.searchsorted(spans[:, 1], whole_lines, side=side))
    closed = data.rfind(b"}") + 1
    for index in np.flatnonzero((spans[:count, 4] == 0) & (spans[:count, 1] > closed)).tolist():
        if data.find(b"{", max(int(spans[index, 0]), closed), int(spans[index, 1])) >= 0:
            return index
    return count


def _native_start(replayed: int, tags: dict[str, str], chess960: bool) -> str | None | Literal[False]:
    """The start FEN of a game the native reader replayed (None: the initial position), or
    False when its FEN header is not one ``read_fen`` takes as the position replayed from."""
    if replayed == 1:
        return None
    fen = tags["FEN"]
    try:
        start = read_fen(fen, chess960)
    except ValueError:
        return False  # the one-game reader names the fault
    # The engine read the header's first four fields; the checked FEN must be that position.
    return start.text if start.position == " ".join(fen.split()[:4]) else False


def _parse(piece: Piece, *, text: bool, on_error: str) -> _Part:
    """The games of a piece of text that starts where a game's reading starts.

    ``text`` says the bytes came from a ``str`` (and may hold surrogates, so are not checked
    as UTF-8). Line numbers and byte offsets in messages count in the whole source.
    """
    data = piece.data
    actions, spans, results, headers = _native.read_pgn_games(data)
    count = _final_games(data, spans, piece.last)
    part = _Part(count, len(data) if piece.last else int(spans[count - 1, 1]) if count else 0)
    # Decoding the data once is the fast path; only data that is not UTF-8 is looked at
    # game by game, so that a bad game is named and the others are read.
    checked = not text and count > 0 and _utf8_fault(data, 0, int(spans[count - 1, 1])) is not None
    counted, lines = 0, piece.lines  # newlines before byte counted, for line numbers in the whole text
    for index, (begin, end, first, played, replayed, chess960) in enumerate(spans[:count].tolist()):
        tags = headers[index]
        fault = _utf8_fault(data, begin, end) if checked else None
        if fault is not None:
            offset = begin + fault.start
            lines, counted = lines + data.count(b"\n", counted, offset), offset
            at = piece.offset + offset
            message = f"line {lines + 1}: invalid UTF-8 at byte {at} of the PGN data ({fault.reason})"
        elif replayed and (start := _native_start(replayed, tags, bool(chess960))) is not False:
            result = results[index] or tags.get("Result", "*")
            part.keep(index, PgnGame([], start, result, tags), actions[first : first + played])
            continue
        else:
            # A start the native reader could not take, or a fault: the one-game reader reads it, so that both agree to
            # the letter, messages included.
            try:
                game = read_pgn(data[begin:end].decode("utf-8", "surrogatepass"))
            except ValueError as error:
                lines, counted = lines + data.count(b"\n", counted, begin), begin
                # The one-game reader counts lines from the game's start; the whole text's are meant.
                message = _LINE.sub(lambda m: f"line {int(m.group(1)) + lines}", str(error), count=1)
            else:
                part.keep(index, game, np.asarray(game.actions, np.int64))
                continue
        if on_error == "raise":
            part.count, part.fault = index, message
            break
        part.skipped.append((index, message))
    return part


def _after(text: Piece, rest: int) -> Piece:
    """What of ``text`` follows byte ``rest``, with its offset and the newlines before it."""
    return Piece(text.data[rest:], text.offset + rest, text.lines + text.data.count(b"\n", 0, rest), text.last)


def _join(carry: Piece | None, piece: Piece) -> Piece:
    if carry is None or not carry.data:
        return piece
    return Piece(carry.data + piece.data, carry.offset, carry.lines, piece.last)


def _blank(carry: Piece | None, piece: Piece) -> bool:
    """Whether the text left over before a piece is whole blank lines, which a game's reading
    steps over, so that reading from the piece's start finds the same games."""
    if carry is None or not carry.data:
        return True
    whitespace = carry.data.endswith(b"\n") and not carry.data.strip(b" \t\n\r\f\v")
    # A byte-order mark counts only at a game's start; a piece may hold the first of its bytes alone.
    return whitespace and not piece.data.startswith(_BOM[:1])


_BOM = b"\xef\xbb\xbf"
_BLANK_LINE = re.compile(rb"\n[ \t\r\f\v]*\n")


def _after_blank_line(text: Piece, start: int) -> Piece | None:
    """``text`` from its first blank line starting at or after byte ``start`` of the source;
    None when it holds none (then reading skips on in the pieces that follow)."""
    found = _BLANK_LINE.search(text.data, max(start - text.offset - 1, 0))
    return None if found is None else _after(text, found.start() + 1)


def _unfinished_line(text: Piece) -> Piece:
    """The end of ``text`` that a blank line may start in: from its last newline, if blank so far."""
    newline = text.data.rfind(b"\n")
    rest = text.data[newline + 1 :]
    keep = newline >= 0 and len(rest) < 4096 and not rest.strip(b" \t\r\f\v")
    return _after(text, newline if keep else len(text.data))


def _too_long(carry: Piece, limit: int, on_error: str) -> _Part:
    """The part for a game longer than ``limit`` bytes from the text left over."""
    size = f"{limit // _MIB} MiB" if limit % _MIB == 0 else f"{limit} bytes"
    blank = len(carry.data) - len(carry.data.lstrip())  # the blank lines before the game
    start = _after(carry, blank)
    message = f"line {start.lines + 1}: the game from byte {start.offset} is longer than {size}"
    if on_error == "raise":
        return _Part(0, fault=message)
    return _Part(1, skipped=[(0, message + "; skipped to the next blank line")])


def _ahead(
    source: Iterator[Piece], parse: Callable[[Piece], _Part], threads: int
) -> Iterator[tuple[Piece, Future[_Part] | None]]:
    """Each piece with its parse started in a pool of threads (None with one thread); at most
    ``threads + 1`` pieces are in flight. A failure to read is raised in its place in order."""
    first = next(source, None)
    if threads <= 1 or first is None or first.last:  # one piece: no pool to start
        for piece in itertools.chain([] if first is None else [first], source):
            yield piece, None
        return
    source = itertools.chain([first], source)
    window: deque[tuple[Piece, Future[_Part]]] = deque()
    failure: Exception | None = None
    with ThreadPoolExecutor(threads, thread_name_prefix="pgn") as pool:
        try:
            while True:
                while failure is None and len(window) <= threads:
                    try:
                        piece = next(source)
                    except StopIteration:
                        break
                    except Exception as error:  # raised after the pieces read before it
                        failure = error
                        break
                    window.append((piece, pool.submit(parse, piece)))
                if not window:
                    break
                yield window.popleft()
        finally:
            for _, future in window:
                future.cancel()
    if failure is not None:
        raise failure


def _parts(
    source: Iterator[Piece], parse: Callable[[Piece], _Part], threads: int, limit: int, on_error: str
) -> Iterator[_Part]:
    """The parts of a source's games in order.

    Each piece is parsed on its own (ahead, in threads) from its start, a likely game start;
    that parse stands where the text left over from the piece before is blank lines. Else
    the text left over, which starts where a game's reading starts, is read again joined
    with the piece: once it grew to twice what it was at the last parse, so that reading
    stays linear. Text left over past ``limit`` bytes is a game too long for the readers.
    """
    carry: Piece | None = None  # text from a game's start that no parse has given for sure
    wait = 0  # parse the text left over again once it is this long
    skip_from: int | None = None  # a game too long is skipped up to a blank line from this byte on
    for piece, guess in _ahead(source, parse, threads):
        if skip_from is not None:
            text = _join(carry, piece)
            resumed = _after_blank_line(text, skip_from)
            carry = resumed if resumed is not None else _unfinished_line(text)
            if resumed is None:
                if text.last:
                    return
                continue
            skip_from, wait, text, guess = None, 0, resumed, None
        elif _blank(carry, piece):
            text = piece
        else:
            text, guess = _join(carry, piece), None
        if not text.last and len(text.data) < wait:
            carry = text
        else:
            part = guess.result() if guess is not None else parse(text)
            yield part
            if part.fault is not None:
                return
            carry = _after(text, part.rest)
            wait = min(2 * len(carry.data), limit)  # read again at the bound at the latest
        if len(carry.data) > limit:
            yield _too_long(carry, limit, on_error)
            if on_error == "raise":
                return
            skip_from = carry.offset + limit


def _checked_options(on_error: str, chunk_bytes: int, threads: int | None, limit: int) -> int:
    """The number of threads to read with; ``ValueError`` or ``TypeError`` for a bad option."""
    if on_error not in ("raise", "skip"):
        raise ValueError(f"on_error must be 'raise' or 'skip', not {on_error!r}")
    # A piece is read whole, so a bound above memory is an error; each thread keeps a piece in flight.
    for name, value, most in (("chunk_bytes", chunk_bytes, _PIECE_MAX), ("max_game_bytes", limit, 1 << 62),
                              ("threads", 1 if threads is None else threads, _THREADS_MAX)):
        if not 1 <= _integer(value, name) <= most:
            raise ValueError(f"{name} must be in 1 .. {most}, got {value}")
    return (os.process_cpu_count() or 1) if threads is None else int(threads)


def _chunks(source: PgnSource, on_error: str, chunk_bytes: int, threads: int, limit: int) -> Iterator[PgnColumns]:
    with opening(source) as opened:
        parse = functools.partial(_parse, text=opened.text, on_error=on_error)
        given = 0  # games before the part, skipped ones included
        for part in _parts(pieces(opened.stream, int(chunk_bytes)), parse, threads, int(limit), on_error):
            columns = part.columns(given + 1)
            given += part.count
            if len(columns) or columns.skipped:
                yield columns
            if part.fault is not None:
                raise ValueError(f"game {given + 1} of the PGN text: {part.fault}")


def read_pgn_chunks(
    source: PgnSource,
    *,
    on_error: str = "raise",
    chunk_bytes: int = CHUNK_BYTES,
    threads: int | None = None,
    max_game_bytes: int = MAX_GAME_BYTES,
) -> Iterator[PgnColumns]:
    """The games of ``read_pgn_games`` as a sequence of ``PgnColumns``, one for the games of
    each piece of about ``chunk_bytes`` of text, read in memory that does not grow with the
    source: the way to read a file of any size.

    ``source`` is as ``read_pgn_games`` takes it. ``numbers`` and ``skipped`` count games over
    the whole source. Pieces are read on ``threads`` threads (all cores by default) and given
    in order. A game longer than ``max_game_bytes`` (a damaged file) raises ``ValueError``
    naming its number and first byte; with ``on_error="skip"`` it is skipped up to the first
    blank line past that length and listed in ``skipped``.
    """
    check_source(source)
    workers = _checked_options(on_error, chunk_bytes, threads, max_game_bytes)
    return _chunks(source, on_error, chunk_bytes, workers, max_game_bytes)


def read_pgn_games(source: PgnSource, *, on_error: str = "raise") -> Iterator[PgnGame]:
    """The games of a PGN file, in order, each as ``read_pgn`` gives it for that game's text.

    ``source`` is a path (a ``str`` or ``os.PathLike``; ``"-"`` is standard input), the file's
    contents (``bytes``, ``bytearray``, ``memoryview``) or a binary or text file object; PGN
    text in a ``str`` goes in as ``io.StringIO(text)`` (a ``str`` that is plainly PGN text
    raises ``ValueError`` saying so). Zstandard, gzip, bzip2 and xz files are decompressed,
    recognised by their first bytes; a damaged one raises ``ValueError`` naming it after
    the games before the damage. Bytes are read as UTF-8: a game holding bytes that are
    not is malformed, named by its line and byte offset. The games follow one
    another as reading the first game of the text, then the first game of the rest, would
    find them; text between games with no header, move or result (a lone comment) is no
    game. The moves are read natively, in pieces (see ``read_pgn_chunks``). A
    malformed game or an illegal move raises ``ValueError`` naming the game number and the
    fault as ``read_pgn`` names it, after the games before it were given; with
    ``on_error="skip"`` the game is left out and reading goes on at the next blank line after
    the fault (after the game's movetext when the fault is in its header lines).
    """
    for columns in read_pgn_chunks(source, on_error=on_error):
        for index in range(len(columns)):
            yield columns.game(index)


def read_pgn_columns(source: PgnSource, *, on_error: str = "raise") -> PgnColumns:
    """The games of ``read_pgn_games`` as arrays (see ``PgnColumns``); skipped games are listed.

    This is ``read_pgn_chunks`` joined, so its memory grows with the games; ``read_pgn_chunks``
    reads a file of any size in memory of its own."""
    return _concatenate(list(read_pgn_chunks(source, on_error=on_error)))
