"""One chess game as a Gymnasium environment."""

from __future__ import annotations

from typing import Any

import gymnasium
import numpy as np
from gymnasium import spaces

import vantor
from vantor_gym import notation
from vantor_gym._native import GameOver, IllegalAction
from vantor_gym.game import TERMINATED, TRUNCATED, Game
from vantor_gym.render import PICTURE_MODES, Window, board_image, move_squares

ACTIONS = 4672
PLANES = 119
ILLEGAL_ACTION_MODES = ("lose", "raise")
RESET_OPTIONS = ("fen",)
_INT32 = np.iinfo(np.int32)
_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1
_SHAPE = (PLANES, 8, 8)
_GAME_OVER = "the game is over: call reset before stepping on"


def letter_board(state: vantor.State) -> str:
    """The letter board of a position, as ``Vantor.render`` prints it to C stdout."""
    pieces = state.bitboards.tolist()
    lines = [""]
    for row in range(8):
        cells = []
        for column in range(8):
            square = 8 * row + column
            code = max((c for c in range(12) if pieces[c] >> square & 1), default=-1)
            cells.append("PNBRQKpnbrqk"[code] if code >= 0 else ".")
        lines.append(f" {8 - row}|" + "".join(f"  {c}" for c in cells))
    lines.append("   ------------------------")
    lines.append("     a  b  c  d  e  f  g  h")
    lines.append("")
    lines.append("side:       " + ("white" if state.side == 0 else "black"))
    ep = state.enpassant
    lines.append("enpassant:  " + (f"{'abcdefgh'[ep % 8]}{8 - ep // 8}" if 0 <= ep < 64 else "NA"))
    rights = "".join(c if state.castle & bit else "-" for c, bit in zip("KQkq", (1, 2, 4, 8)))
    lines.append(f"Castling:   {rights}\n\n")
    return "\n".join(lines) + "\n"


def _action(action: Any) -> int:
    """An action as an int: Python and NumPy integers pass, anything else is refused."""
    if isinstance(action, (bool, np.bool_)) or not isinstance(action, (int, np.integer)):
        if isinstance(action, np.ndarray) and action.shape == () and action.dtype.kind in "iu":
            return int(action)
        raise TypeError(f"an action must be an integer, not {type(action).__name__}")
    return int(action)


def option_fen(options: dict[str, Any] | None, ignored: tuple[str, ...] = ()) -> str | None:
    """The start FEN of reset options (``{"fen": text}``), or None for the initial position.
    Any other key but the ``ignored`` raises ``ValueError``: a misspelt ``"FEN"`` must not
    start a game from the wrong position unnoticed."""
    unknown = sorted(map(repr, set(options or {}) - set(RESET_OPTIONS) - set(ignored)))
    if unknown:
        known = ", ".join(map(repr, RESET_OPTIONS))
        raise ValueError(f"unknown reset options {', '.join(unknown)}: the known keys are {known}")
    fen = (options or {}).get("fen")
    if fen is not None and not isinstance(fen, str):
        raise TypeError(f"fen must be a str, not {type(fen).__name__}")
    return fen


class VantorEnv(gymnasium.Env[np.ndarray, np.int64]):
    """Chess from the initial position (or one of ``start_fens``, or a FEN given to
    ``reset``), one ply per step.

    - Actions: ``Discrete(4672)``, the module's action numbers (64 * plane + square); a
      float or any other non-integer action raises ``TypeError``.
    - Observations: ``int32`` arrays of shape (119, 8, 8), the module's 119 planes with
      square ``8 * row + column`` at ``[plane, row, column]`` (row 0 the eighth rank),
      seen from the side to move: turned by 180 degrees whenever black is to move.
      ``observation="module"`` keeps ``vantor.Vantor``'s planes instead, which leave the
      first observation of a game with black to move unturned.
    - ``info["action_mask"]``: ``int8`` array of 4672 entries, 1 for each legal action;
      ``action_masks()`` gives the current one (as maskable learners call it, through
      wrappers with ``env.get_wrapper_attr("action_masks")()``);
      ``info["legal_actions"]``: the legal action numbers, ascending, as a list of ints,
      for a cheap masked random choice (``random.choice(info["legal_actions"])``; a list,
      not an array, since its length changes and Gymnasium's vector envs stack arrays);
      ``info["side"]``: the side to move (0 white, 1 black); ``info["illegal_action"]``:
      whether the step's action was illegal. Every array and list returned is new: keep it.
    - Reward: the module's, always from white's side: +1 when black is checkmated, -1 when
      white is, 0 otherwise. A learner playing black negates it.
    - ``terminated``: the game ended (checkmate, stalemate, third occurrence, fifty
      half-moves); ``truncated``: ``max_plies`` steps were made without an end. Stepping
      on after either raises ``ValueError``: call ``reset``.
    - ``illegal_action``: ``"lose"`` (the default) ends the episode as a loss for the side
      that tried it, with ``info["illegal_action"]`` True and the board unchanged;
      ``"raise"`` raises ``ValueError`` and changes nothing.
    - ``reset(seed=n)`` seeds ``np_random`` and ``action_space`` (so
      ``action_space.sample(mask=...)`` repeats too); the only randomness of the game is
      the start drawn from ``start_fens`` (each read once, here, by
      ``vantor_gym.fen.read_start``) with ``np_random`` at each reset.
    - ``pgn()``: the PGN text of the game since the last reset.

    The game is a ``vantor_gym.Game``, ``env.unwrapped.game``.
    """

    metadata = {"render_modes": ["ansi", "rgb_array", "human"], "render_fps": 4}

    def __init__(
        self,
        render_mode: str | None = None,
        max_plies: int | None = None,
        illegal_action: str = "lose",
        start_fens: list[str] | None = None,
        observation: str = "side_to_move",
    ) -> None:
        if render_mode is not None and render_mode not in self.metadata["render_modes"]:
            raise ValueError(f"render_mode must be one of {self.metadata['render_modes']}, not {render_mode!r}")
        if illegal_action not in ILLEGAL_ACTION_MODES:
            raise ValueError(f"illegal_action must be one of {ILLEGAL_ACTION_MODES}, not {illegal_action!r}")
        if max_plies is not None and max_plies < 1:
            raise ValueError("max_plies must be at least 1")
        self.render_mode = render_mode
        self.max_plies = max_plies
        self.illegal_action = illegal_action
        self.action_space = spaces.Discrete(ACTIONS)
        self.observation_space = spaces.Box(_INT32.min, _INT32.max, shape=(PLANES, 8, 8), dtype=np.int32)
        self.game = Game(max_plies=max_plies, illegal=illegal_action, observation=observation, start_fens=start_fens)
        self._started = False
        self._closed = False
        self._start_fen: str | None = None
        self._actions: list[int] = []
        self._result: str | None = None
        self.last_move: tuple[int, int] | None = None
        self.window = Window("Vantor", self.metadata["render_fps"]) if render_mode == "human" else None

    def reset(
        self, *, seed: int | None = None, options: dict[str, Any] | None = None
    ) -> tuple[np.ndarray, dict[str, Any]]:
        """Starts a game; ``options={"fen": text}`` starts it from that position instead,
        its history holding just that position and its clocks those of the text (a FEN that
        ``BatchEnv.reset`` refuses raises ``ValueError``, and the game going on is kept).
        Any other option key raises ``ValueError``."""
        if self._closed:
            raise RuntimeError("the environment is closed")
        fen = option_fen(options)
        if fen is not None:
            self.game.reset(fen)
            super().reset(seed=seed)
        else:
            super().reset(seed=seed)
            # The start is drawn by the game's generator, seeded from np_random.
            draw = int(self.np_random.integers(2**63)) if self.game.start_fens else None
            self.game.reset(seed=draw)
        if seed is not None:
            self.action_space.seed(seed)
        self._start_fen = self.game.fen() if fen is not None or self.game.start_fens else None
        self._actions = []
        self._result = None
        self._started = True
        self.last_move = None
        if self.window is not None:
            self.render()
        return self.game.observation(np.empty(_SHAPE, np.int32)), self._info(False)

    def step(self, action: Any) -> tuple[np.ndarray, int, bool, bool, dict[str, Any]]:
        if action.__class__ is not int:
            action = _action(action)
        # Any integer outside int64 is simply not a legal action; -1 stands for it.
        if not _INT64_MIN <= action <= _INT64_MAX:
            action = -1
        if not self._started:
            raise RuntimeError("the environment is closed" if self._closed else "call reset before step")
        game = self.game
        try:
            reward, end = game.step(action)
        except GameOver:
            raise ValueError(_GAME_OVER) from None
        except IllegalAction:
            raise ValueError("Invalid action") from None
        illegal = end == TERMINATED and self.illegal_action == "lose" and game.illegal_action
        if illegal:
            self._result = "1-0" if game.side else "0-1"
        else:
            self._actions.append(action)
            if self.render_mode in PICTURE_MODES:
                self.last_move = move_squares(action, 1 - game.side)
        if self.window is not None:
            self.render()
        obs = game.observation(np.empty(_SHAPE, np.int32))
        return obs, reward, end == TERMINATED, end == TRUNCATED, self._info(illegal)

    def action_masks(self) -> np.ndarray:
        """The legal actions of the current position, ``bool`` (4672,)."""
        if not self._started:
            raise RuntimeError("call reset before action_masks")
        return self.game.action_mask()

    def pgn(self, headers: dict[str, str] | None = None) -> str:
        """The game since the last reset as PGN text, its start position in a ``FEN``
        header when it is not the initial one; a loss by an illegal action is its result."""
        return notation.pgn(self._actions, start_fen=self._start_fen, result=self._result, headers=headers)

    def _info(self, illegal: bool) -> dict[str, Any]:
        game = self.game
        return {"action_mask": game.action_mask().view(np.int8), "legal_actions": game.legal_actions().tolist(),
                "side": game.side, "illegal_action": illegal}

    def render(self) -> str | np.ndarray | None:
        """``"ansi"``: the letter board; ``"rgb_array"``: a (256, 256, 3) ``uint8`` picture
        from white's side with the last move's squares tinted; ``"human"``: that picture in
        a pygame window (drawn by every reset and step too), and None; no mode: None."""
        if self.render_mode == "ansi":
            return letter_board(self.game.save_state())
        if self.render_mode in PICTURE_MODES:
            image = board_image(self.game.save_state(), self.last_move)
            if self.window is None:
                return image
            self.window.show(image)
        return None

    def close(self) -> None:
        if self.window is not None:
            self.window.close()
        self._closed = True
        self._started = False
