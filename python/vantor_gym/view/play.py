"""A person's game against a match player, for the play page: the person's moves come as
UCI text and are checked by the game, the player answers, and a move may be taken back.
The game is played under the rules given (standard by default), and its end is named."""

from __future__ import annotations

import threading
from contextlib import ExitStack
from typing import Any

import numpy as np

from vantor_gym._handles import serialised
from vantor_gym._numbers import flag
from vantor_gym.batch import BatchEnv
from vantor_gym.match import game_end
from vantor_gym.notation import Position, action_to_san, action_to_uci, fen, pgn, uci_to_action
from vantor_gym.players import make_player
from vantor_gym.rules import rules_of
from vantor_gym.uci import _UCI_MOVE, UciEngine
from vantor_gym.view.lines import Line

__all__ = ["PlaySession"]

COLOURS = ("white", "black")




def _castling(position: Position, uci: str) -> bool:
    """Whether a legal move is castling: its SAN says so."""
    return action_to_san(position, uci_to_action(position, uci)).startswith("O-O")


class PlaySession:
    """One game of a person against the player ``spec`` names (a ``vantor match`` spec),
    under ``rules`` (``vantor_gym.rules``; a UCI engine is refused under ``"module"``).
    With ``chess960`` each new game starts from one of the 960 starts, drawn from
    ``seed``; the person castles by moving the king onto its rook, or two squares along
    where that names one castling move and no other move. Calls from several threads take
    turns (``close`` waits for a reply being thought); ``close`` ends the player (a UCI
    engine's process)."""

    def __init__(self, spec: str, *, movetime: float | None = None, seed: int | None = None,
                 rules: str = "standard", chess960: bool = False) -> None:
        self.spec = spec
        self.rules = rules_of(rules)
        self.chess960 = flag(chess960, "chess960")
        self._lock = threading.RLock()
        self._stack = ExitStack()
        try:
            self.player = make_player(spec, self._stack, seed=seed, movetime=movetime, rules=self.rules,
                                      chess960=self.chess960)
            self.env = self._stack.enter_context(BatchEnv(1, threads=1, autoreset="disabled", rules=self.rules,
                                                          seed=seed, chess960=self.chess960))
        except BaseException:
            self._stack.close()
            raise
        self.person = 0
        self.new_game("white")

    @serialised
    def handle(self, message: dict[str, Any]) -> None:
        """A page's message: ``new`` (with ``colour``), ``move`` (with ``uci``) or ``undo``."""
        kind = message.get("type")
        if kind == "new":
            self.new_game(message.get("colour", "white"))
        elif kind == "move":
            self.move(message.get("uci"))
        elif kind == "undo":
            self.take_back()
        else:
            raise ValueError(f"a message's type is new, move or undo, not {str(kind)[:20]!r}")

    @serialised
    def new_game(self, colour: str) -> None:
        if colour not in COLOURS:
            raise ValueError(f"the colour is 'white' or 'black', not {str(colour)[:20]!r}")
        self.person = COLOURS.index(colour)
        self.start: str | None = None
        if self.chess960:
            self.env.reset()
            self.start = fen((self.env, 0))  # the start drawn for this game, kept for take-backs
        self._replay([])
        if isinstance(self.player, UciEngine):
            self.player.new_game()

    def _replay(self, actions: list[int]) -> None:
        _, self.info = self.env.reset(fens=None if self.start is None else [self.start])
        self.actions: list[int] = []
        self.line = Line(self.start, rules=self.rules, chess960=self.chess960)
        self.moves: list[dict[str, object]] = []  # as the page shows them
        self.ending, self.result = "", "*"
        for action in actions:
            self._play(action)

    def _play(self, action: int) -> None:
        _, rewards, terminated, truncated, self.info = self.env.step(np.array([action], np.int64))
        self.actions.append(action)
        self.moves.append(self.line.move(action) or {})
        if terminated[0]:
            self.ending, self.result = game_end(int(self.info["ending"][0]), int(rewards[0]))

    @property
    def over(self) -> bool:
        return bool(self.ending)

    @property
    def side(self) -> int:
        return int(self.info["side"][0])

    @serialised
    def move(self, uci: object) -> None:
        """The person's move, as UCI text; ``ValueError`` if it is not theirs to make or not legal."""
        # Exact text, as python-chess's Move.from_uci takes it: no blanks, no capitals.
        if not isinstance(uci, str) or not _UCI_MOVE.fullmatch(uci):
            raise ValueError("a move is UCI text such as e2e4 or e7e8q")
        if self.over:
            raise ValueError(f"the game is over ({self.result})")
        if self.side != self.person:
            raise ValueError("it is not your move")
        self._play(uci_to_action(self._position(), self._aliases().get(uci, uci)))

    def _position(self) -> Position:
        """The game's position as notation reads it: a Chess960 one from the game itself."""
        return (self.env, 0) if self.chess960 else self.env.save_state(0)

    def _aliases(self) -> dict[str, str]:
        """In Chess960, the king's two-square (or longer) move along the back rank that
        names a castling move, the king onto its rook, where no other move is written so."""
        if not self.chess960 or self.over:
            return {}
        legal = set(self._legal())
        aliases: dict[str, list[str]] = {}
        for uci in legal:
            source, target = uci[:2], uci[2:4]
            if not _castling(self._position(), uci):
                continue
            king_to = ("g" if target[0] > source[0] else "c") + source[1]
            if king_to != source and source + king_to not in legal:
                aliases.setdefault(source + king_to, []).append(uci)
        return {alias: moves[0] for alias, moves in aliases.items() if len(moves) == 1}

    def _legal(self) -> list[str]:
        position = self._position()
        return [action_to_uci(position, a) for a in np.flatnonzero(self.info["action_mask"][0]).tolist()]

    @serialised
    def reply(self) -> None:
        """The player's move, when it is the player's turn. An action that is not legal
        loses the game for the player, as in a match; a UCI engine that answers one fails
        with ``EngineError``, as it does in a match."""
        if self.over or self.side == self.person:
            return
        state = self.env.save_state(0)
        if isinstance(self.player, UciEngine):
            choice: Any = self.player.best_action(self._position(), start_fen=self.start,
                                                  moves=[str(m["uci"]) for m in self.moves])
        else:
            mask = self.info["action_mask"][0].copy()
            mask.flags.writeable = False
            choice = self.player(state, mask)
        action = int(choice) if isinstance(choice, (int, np.integer)) and not isinstance(choice, bool) else -1
        if not (0 <= action < len(self.info["action_mask"][0]) and self.info["action_mask"][0][action]):
            self.ending, self.result = "illegal action", ("0-1", "1-0")[self.side]
            return
        self._play(action)

    @serialised
    def take_back(self) -> None:
        """Back to the person's last turn before now (their move and the player's answer)."""
        keep = len(self.actions) - 1
        if keep % 2 != self.person:
            keep -= 1
        self._replay(self.actions[:max(keep, 0)])

    @serialised
    def shown(self) -> dict[str, object]:
        """What the page shows: the position, the moves, the legal moves, and the result."""
        legal = [] if self.over else [*self._legal(), *self._aliases()]
        shown: dict[str, object] = {
            "type": "position", "fen": self.line.fen(), "moves": self.moves, "legal": legal, "colour": COLOURS[self.person],
            "turn": COLOURS[self.side], "over": self.over, "result": self.result, "ending": self.ending,
        }
        if self.over:
            names = ("You", self.spec) if self.person == 0 else (self.spec, "You")
            shown["pgn"] = pgn(self.actions, start_fen=self.start, result=self.result,
                               headers={"Event": "vantor view", "White": names[0], "Black": names[1]},
                               rules=self.rules, chess960=self.chess960)
        return shown

    def abort(self) -> None:
        """Stops a UCI engine's thinking at once (its process is killed), without waiting
        for the reply in progress; other players finish their move. ``close`` follows."""
        if isinstance(self.player, UciEngine):
            self.player.abort()

    @serialised
    def close(self) -> None:
        self._stack.close()
