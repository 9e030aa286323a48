"""A game's actions as a page shows them: each move's UCI and SAN and the FEN after it,
replayed from the game's start as a recorded game is (past a third repetition nobody
claimed, as ``read_pgn`` replays)."""

from __future__ import annotations

import vantor
from vantor_gym import _native
from vantor_gym.fen import read_fen
from vantor_gym.game import Game
from vantor_gym.notation import Position, action_to_san, action_to_uci
from vantor_gym.rules import halfmove_limit, rules_of
from vantor_gym.view.feed import Top

__all__ = ["Line", "line_pgn"]

START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"


def _named(state: Position, moves: list[tuple[int, float]]) -> list[tuple[str, float]]:
    """The moves' SAN with their shares; a move that is not legal here is left out."""
    named = []
    for action, share in moves:
        try:
            named.append((action_to_san(state, action), share))
        except ValueError:
            continue
    return named


class Line:
    """A game from ``start_fen`` (the initial position when None), one move at a time.
    ``broken`` is set at the first action that is not legal, and nothing is played after it.
    FENs name the en-passant square as the ``rules`` write it: under chess's only where
    the capture is legal. A Chess960 game (``chess960``) is played on a ``Game`` of
    automatic rules, whose only endings (a mate, a stalemate, insufficient material, the
    fifth repetition, seventy-five moves) no recorded game of chess can play past; under
    the module's rules, which play on past some of them, on a ``Game`` of those."""

    def __init__(self, start_fen: str | None = None, rules: str = "standard", chess960: bool = False) -> None:
        self.rules = rules_of(rules)
        self.legal_en_passant = self.rules != "module"
        # The module counts the pawn move or capture itself in its clock.
        self.zeroed = 0 if self.legal_en_passant else 1
        self.chess960 = bool(chess960)
        start = read_fen(start_fen or START_FEN, self.chess960)
        self.game: Game | None = None
        self.broken = False
        if self.chess960:
            try:
                own = "module" if rules_of(rules) == "module" else "automatic"
                self.game = Game(start.text, chess960=True, rules=own)
            except ValueError:
                self.broken = True  # a start with no move to play: nothing is played from it
        self.board = vantor.Vantor()
        self.board.reset()
        self.board.parse_fen(start.position)
        # The clocks as FEN counts them, which the board does not keep from a FEN.
        self.halfmoves, self.fullmove = start.halfmove_clock, start.fullmove_number
        self.start = start.text
        self.seen = {_key(self.start): 1}  # how often each position has stood, for repetitions

    def fen(self) -> str:
        if self.game is not None:
            return self.game.fen()
        if self.chess960:
            return self.start
        fields = _native.position_fields(self.board.save_state(), legal_en_passant=self.legal_en_passant)
        return f"{fields} {self.halfmoves} {self.fullmove}"

    def move(self, action: int, top: Top | None = None) -> dict[str, object] | None:
        """Plays ``action``: its UCI, SAN and the FEN after it (and the search's top moves as
        SAN with their visit shares, and its value, when given), or None if it is not legal."""
        if self.broken:
            return None
        state = self.board.save_state() if self.game is None else self.game.save_state()
        position: Position = state if self.game is None else self.game
        try:
            san, uci = action_to_san(position, action), action_to_uci(position, action)
            if self.game is not None and self.game.is_over:
                raise ValueError("the game is over")
        except ValueError:
            self.broken = True
            return None
        shown: dict[str, object] = {"uci": uci, "san": san}
        if top is not None:
            shown["value"] = round(top[0], 3)
            shown["top"] = [{"san": san, "share": round(s, 3)} for san, s in _named(position, top[1])]
        # A pawn move or a capture starts the fifty-move count again.
        self.halfmoves = self.zeroed if san[0] in "abcdefgh" or "x" in san else self.halfmoves + 1
        self.fullmove += state.side
        if self.game is None:
            self.board.step(action)
        else:
            self.game.step(action)
        shown["fen"] = after = self.fen()
        self.seen[_key(after)] = self.seen.get(_key(after), 0) + 1
        return shown

    def ending(self, result: str | None) -> str | None:
        """How a game of ``result`` ended at the line's last position, in words (a rule's
        ending where the position shows one), or None for a game that goes on."""
        if result is None or result == "*" or self.broken:
            return None
        fen = self.fen()
        try:
            _, checkers, _, legal, insufficient = _native.position_facts(fen, self.chess960)
        except ValueError:
            return None
        if legal == 0:
            return "checkmate" if checkers else "stalemate"
        if result != "1/2-1/2":
            return "resignation, time or adjudication"
        if insufficient and self.rules != "module":  # the module plays bare kings on
            return "insufficient material"
        if self.halfmoves >= halfmove_limit(self.rules):
            return {"standard": "fifty-move rule", "automatic": "seventy-five-move rule"}.get(
                self.rules, "the module's half-move limit")
        if self.seen.get(_key(fen), 0) >= 3:
            return "threefold repetition"
        return "agreement or adjudication"


def _key(fen: str) -> str:
    """The fields of a FEN that make a position the same one again."""
    return " ".join(fen.split()[:4])


def line_pgn(headers: dict[str, str], moves: list[dict[str, object]], result: str) -> str:
    """PGN text of moves as ``Line.move`` gives them, under ``headers``: for a recorded game
    that went on past an ending nobody claimed, which ``notation.pgn`` refuses to write."""
    tags = "".join(f'[{name} "{_escaped(value)}"]\n' for name, value in headers.items())
    fields = (str(headers.get("FEN", START_FEN)).split() + ["w", "-", "-", "0", "1"])[:6]
    number, black = int(fields[5]) if fields[5].isdigit() else 1, fields[1] == "b"
    tokens = [f"{number}..."] if black and moves else []
    for move in moves:
        if not black:
            tokens.append(f"{number}.")
        tokens.append(str(move["san"]))
        number += black
        black = not black
    lines, line = [], ""
    for token in [*tokens, result]:
        if line and len(line) + 1 + len(token) > 79:
            lines.append(line)
            line = token
        else:
            line = f"{line} {token}" if line else token
    return f"{tags}\n" + "\n".join([*lines, line]) + "\n"


def _escaped(value: str) -> str:
    return value.replace("\\", "\\\\").replace('"', '\\"').replace("\n", " ").replace("\r", " ")
