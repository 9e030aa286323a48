"""One chess game driven from Python with nothing in the way: legal actions as a NumPy
array, steps returning plain ints, the observation written into a reused buffer."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

import vantor
from vantor_gym import _native
from vantor_gym._handles import Unshared
from vantor_gym._numbers import integer, is_integer
from vantor_gym.batch import (
    ACTIONS, ILLEGAL_MODES, OBSERVATION_MODES, PLANES, _seed, _starts, read_start_fens, start_choices,
)
from vantor_gym.chess960 import chess960_option, start_number
from vantor_gym.fen import Fen, read_start, written
from vantor_gym.rules import ending_name, rules_of

# What step returns as its second value: the game goes on, ended (checkmate, stalemate, a
# draw of the rules, or an illegal action under illegal="lose"), or was cut short at
# max_plies.
GOES_ON = 0
"""``Game.step``'s end value while the game goes on."""
TERMINATED = 1
"""``Game.step``'s end value when the game ended."""
TRUNCATED = 2
"""``Game.step``'s end value when the game was cut short at ``max_plies``."""
_INT32_MAX = 2**31 - 1
_INT64 = np.iinfo(np.int64)


def _action_number(action: Any) -> int:
    """An action as the int64 the game takes: any integer outside int64 is no legal action
    (-1 stands for it); a bool, a float or anything else is refused."""
    if not is_integer(action):
        raise TypeError(f"an action must be an integer, not {type(action).__name__}")
    number = int(action)
    return number if _INT64.min <= number <= _INT64.max else -1


class Game(Unshared):
    """One game of chess for agents and search code that drive one game from Python and
    want each call to cost no more than its chess. Under ``rules="module"`` it is exactly
    the ``vantor.Vantor`` game (the same moves, observations, rewards, draws and step
    counter); under ``"standard"`` (the default) and ``"automatic"`` it ends and keeps its
    half-move clock as chess does (``vantor_gym.rules``).

    - ``legal_actions()``: the legal action numbers (64 * plane + square), ascending, as a
      new ``int64`` array; ``action_mask()`` the same as a ``bool`` (4672,) array.
    - ``step(action)`` returns ``(reward, end)``, two ints: the reward from white's side
      (+1 black is mated, -1 white is), and ``GOES_ON`` (0), ``TERMINATED`` (1: checkmate,
      stalemate, a draw of the rules, or an illegal action under ``illegal="lose"``) or
      ``TRUNCATED`` (2: ``max_plies`` steps made); ``ending`` then names why. Stepping an
      ended game raises ``ValueError``; call ``reset``.
    - ``observation()`` writes the 119 planes of the current position into one ``int32``
      (119, 8, 8) array, the same array every call, and returns it (a later call
      overwrites it: copy it to keep it); ``observation(out)`` writes into ``out``
      instead (``int32`` or ``float32``). Nothing is written by ``step`` itself, so a
      search that never looks pays nothing for it. ``observation="side_to_move"`` turns
      the board whenever black is to move; ``"module"`` keeps ``vantor.Vantor``'s planes.
    - ``illegal="raise"``: an illegal action raises ``ValueError`` and changes nothing;
      ``"lose"``: it ends the game as a loss for the side that tried it (``illegal`` is
      then True), the position unchanged.
    - ``save_state()`` and ``restore_state(state)`` move games as ``vantor.State`` (to and
      from ``vantor.Vantor``, ``BatchEnv`` and ``Search`` too); ``fen()`` the FEN text.
    - The first game starts from ``fen`` when given; every ``reset()`` starts from the
      initial position or from one of ``start_fens`` (each read once, here, by
      ``vantor_gym.fen.read_start``), drawn by a generator seeded with ``seed``;
      ``reset(fen)`` starts from that FEN.

    - ``chess960=True`` plays Chess960 (``vantor_gym.chess960``): every ``reset()``
      draws one of the 960 starts (or one of ``start_fens``, read as Chess960 FEN);
      a start number (0 .. 959) plays that start. ``start_number`` says which start the
      game began from. Castling is the king's action onto its own rook.

    Calls on one game from several threads run one after the other.
    """

    __slots__ = (
        "_core", "_planes", "_step", "legal_actions", "_max_plies", "_illegal", "_orientation", "_start_fens", "_rules",
        "_chess960", "_pool_numbers", "_given_number",
    )
    legal_actions: Callable[[], npt.NDArray[np.int64]]

    def __init__(
        self,
        fen: str | None = None,
        *,
        max_plies: int | None = None,
        illegal: str = "raise",
        observation: str = "side_to_move",
        start_fens: Sequence[str] | None = None,
        seed: int | None = None,
        rules: str = "standard",
        chess960: bool | int = False,
    ) -> None:
        self._rules = rules_of(rules)
        self._chess960 = chess960_option(chess960)
        if max_plies is not None:
            max_plies = integer(max_plies, "max_plies", 1, _INT32_MAX)
        if illegal not in ILLEGAL_MODES:
            raise ValueError(f"illegal must be one of {ILLEGAL_MODES}, not {illegal!r}")
        if observation not in OBSERVATION_MODES:
            raise ValueError(f"observation must be one of {OBSERVATION_MODES}, not {observation!r}")
        self._max_plies = max_plies
        self._illegal = illegal
        self._orientation = observation
        self._start_fens = read_start_fens(start_fens, self._rules, self._chess960)
        pool, self._pool_numbers = start_choices(self._chess960, self._start_fens)
        start = None if fen is None else self._start_of(fen)
        self._core = _native.Game(
            max_plies or 0, illegal, observation, _seed(seed), pool, rules=self._rules, chess960=self.chess960
        )
        self._given_number = -1
        if start is not None:
            self._core.reset(start)
            self._given_number = start_number(fen) if self.chess960 else -1  # type: ignore[arg-type]
        self._planes = np.zeros((PLANES, 8, 8), np.int32)
        # The calls a loop makes every ply go straight to the native game.
        self._step = self._core.step
        self.legal_actions = self._core.legal_actions

    def reset(self, fen: str | None = None, seed: int | None = None) -> None:
        """Starts a new game: from ``fen`` (read by ``vantor_gym.fen.read_start``, which
        raises ``ValueError`` and keeps the game going on), else from the initial position
        or one drawn from ``start_fens``. The game goes on from the FEN's clocks. ``seed``
        first seeds the draws afresh, as ``Game(seed=seed)`` has them."""
        start = None if fen is None else self._start_of(fen)
        if seed is not None:
            self._core.reseed(_seed(seed))
        self._core.reset(start)
        self._given_number = start_number(fen) if fen is not None and self.chess960 else -1

    def step(self, action: int | np.integer[Any]) -> tuple[int, int]:
        """Plays ``action``; returns ``(reward, end)``."""
        if action.__class__ is bool:
            raise TypeError("an action must be an integer, not bool")
        try:
            # The native step takes an int or an object with __index__ and nothing else.
            return self._step(action)
        except TypeError:
            return self._step(_action_number(action))

    def observation(self, out: npt.NDArray[Any] | None = None) -> npt.NDArray[Any]:
        """The planes of the current position, in the game's own reused array or in ``out``."""
        target = self._planes if out is None else out
        self._core.write_observation(target)
        return target

    def action_mask(self) -> npt.NDArray[np.bool_]:
        """The legal actions as a new ``bool`` array of 4672 entries."""
        mask = np.empty(ACTIONS, np.bool_)
        self._core.write_action_mask(mask)
        return mask

    # The settings the game was made with; read-only, since the native game keeps its own.
    @property
    def max_plies(self) -> int | None:
        """The steps after which a game is truncated, or None for no limit."""
        return self._max_plies

    @property
    def rules(self) -> str:
        """The rules the game is played under: ``"standard"``, ``"automatic"`` or ``"module"``."""
        return self._rules

    @property
    def illegal(self) -> str:
        """What an illegal action does: ``"raise"`` or ``"lose"``."""
        return self._illegal

    @property
    def orientation(self) -> str:
        """The observation mode: ``"side_to_move"`` or ``"module"``."""
        return self._orientation

    @property
    def start_fens(self) -> list[Fen]:
        """The positions ``reset()`` draws a start from, as read."""
        return list(self._start_fens)

    @property
    def chess960(self) -> bool:
        """Whether the game plays Chess960."""
        return self._chess960 is not False

    @property
    def start_number(self) -> int:
        """The Chess960 start number (0 .. 959) the game began from, or -1 where it began
        from no Chess960 start (a standard game, or a FEN or snapshot of another position)."""
        drawn = int(self._core.start_index)
        return int(self._pool_numbers[drawn]) if drawn >= 0 else self._given_number

    @property
    def side(self) -> int:
        """The side to move: 0 white, 1 black."""
        return int(self._core.side)

    @property
    def plies(self) -> int:
        """Steps made since the game started."""
        return int(self._core.plies)

    @property
    def fullmove_number(self) -> int:
        """The full-move number FEN text gives the position (1 after ``restore_state``); it
        stops at 2**31 - 1, the largest that FEN text is read with."""
        return int(self._core.fullmove_number)

    @property
    def is_over(self) -> bool:
        """Whether the game ended or was truncated: only ``reset`` goes on from here. A
        snapshot restored at a mate, a stalemate or an automatic draw is over too."""
        return bool(self._core.is_over)

    @property
    def ending(self) -> str | None:
        """Why the game is over, one of ``vantor_gym.rules.ENDINGS`` (``"checkmate"``,
        ``"stalemate"``, ``"insufficient_material"``, ``"fifty_moves"``, ``"repetition"``,
        ``"seventyfive_moves"``, ``"fivefold_repetition"``, ``"illegal_action"``,
        ``"max_plies"``), or None while it goes on."""
        return ending_name(self._core.ending)

    @property
    def illegal_action(self) -> bool:
        """Whether the game ended by an illegal action (under ``illegal="lose"``)."""
        return bool(self._core.illegal)

    def save_state(self) -> vantor.State:
        """The game as a new ``vantor.State``."""
        return self._core.save_state()

    def restore_state(self, state: vantor.State) -> None:
        """Makes the game the snapshot's (its ply count starts again); a misshapen
        snapshot, or one made under the other family of rules (the module's against
        chess's), raises ``ValueError`` and changes nothing. A snapshot of an ended game
        (a mate, a stalemate, a draw of the rules) leaves the game over: ``step`` raises
        until ``reset``. A snapshot holds castling rights as four bits: in Chess960 each
        is taken to be for the outermost rook on its side of the king."""
        self._core.restore_state(state)
        self._given_number = -1

    def hash_state(self) -> int:
        """The 64-bit position hash, as ``vantor.Vantor.hash_state`` gives it."""
        return int(self._core.hash_state())

    def fen(self) -> str:
        """The position as FEN text, with the game's clocks, as ``vantor_gym.notation.fen(game)``.
        Under chess's rules the en-passant square is written only where the capture is
        legal, as python-chess writes it."""
        fields, clock, number = self._core.fen_parts(self._rules != "module")
        return written(f"{fields} {max(clock, 0)} {number}", self.chess960)

    def _start_of(self, fen: str) -> tuple[str, int, int]:
        if not isinstance(fen, str):
            raise TypeError(f"fen must be a str, not {type(fen).__name__}")
        return _starts([read_start(fen, self._rules, self.chess960)])[0]
