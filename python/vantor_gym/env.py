"""One chess game as a Gymnasium environment."""

from __future__ import annotations

from typing import Any

import gymnasium
import numpy as np
from gymnasium import spaces

import vantor

ACTIONS = 4672
PLANES = 119
ILLEGAL_ACTION_MODES = ("lose", "raise")
_INT32 = np.iinfo(np.int32)


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


class VantorEnv(gymnasium.Env[np.ndarray, np.int64]):
    """Chess from the initial position (or a FEN given to ``reset``), one ply per step.

    - Actions: ``Discrete(4672)``, the module's action numbers (64 * plane + square).
    - Observations: ``int32`` arrays of shape (119, 8, 8), the module's 119 planes with
      square ``8 * row + column`` at ``[plane, row, column]`` (row 0 the eighth rank);
      when black is to move after a step, the planes are turned by 180 degrees.
    - ``info["action_mask"]``: ``int8`` array of 4672 entries, 1 for each legal action;
      ``info["side"]``: the side to move (0 white, 1 black).
    - Reward: the module's, always from white's side: +1 when black is checkmated, -1 when
      white is, 0 otherwise. A learner playing black negates it.
    - ``terminated``: the game ended (checkmate, stalemate, third occurrence, fifty
      half-moves); ``truncated``: ``max_plies`` steps were made without an end.
    - ``illegal_action``: ``"lose"`` (the default) ends the episode as a loss for the side
      that tried it, with ``info["illegal_action"]`` True and the board unchanged;
      ``"raise"`` lets the module's ``ValueError`` through.
    - ``reset(seed=...)`` seeds ``np_random`` (and so ``action_space`` sampling through
      it); the game itself has no randomness. ``Vantor.roll_out`` cannot be seeded.
    """

    metadata = {"render_modes": ["ansi"], "render_fps": 4}

    def __init__(
        self,
        render_mode: str | None = None,
        max_plies: int | None = None,
        illegal_action: str = "lose",
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
        self.game = vantor.Vantor()
        self._plies = 0
        self._side = 0

    def _observe(self, planes: list[list[int]]) -> np.ndarray:
        return np.asarray(planes, dtype=np.int32).reshape(PLANES, 8, 8)

    def _info(self, **extra: Any) -> dict[str, Any]:
        mask = np.asarray(self.game.get_actions(), dtype=np.int8).reshape(ACTIONS)
        return {"action_mask": mask, "side": self._side, **extra}

    def reset(
        self, *, seed: int | None = None, options: dict[str, Any] | None = None
    ) -> tuple[np.ndarray, dict[str, Any]]:
        """Starts a game; ``options={"fen": text}`` starts it from that position instead."""
        super().reset(seed=seed)
        side, planes, _, _ = self.game.reset()
        fen = (options or {}).get("fen")
        if fen is not None:
            side, planes = self._start_from(fen)
        self._side = side
        self._plies = 0
        return self._observe(planes), self._info()

    def _start_from(self, fen: str) -> tuple[int, list[list[int]]]:
        # A reset from the initial position, then the position swapped in: its history
        # is just itself, counted once, as a reset records the initial position.
        self.game.parse_fen(fen)
        state = self.game.save_state()
        pieces = state.bitboards.tolist()
        entry = [[pieces[code] >> square & 1 for square in range(64)] for code in range(12)]
        state.state_history = [entry + [[0] * 64, [0] * 64]]
        state.state_pos = 1
        state.repetition_count = {self.game.hash_state(): 1}
        state.n_repititions = 0
        state.prev_n_repititions = 0
        side, planes, _, _ = self.game.restore_state(state)
        return side, planes

    def step(self, action: Any) -> tuple[np.ndarray, int, bool, bool, dict[str, Any]]:
        try:
            side, planes, reward, done = self.game.step(int(action))
        except ValueError:
            if self.illegal_action == "raise":
                raise
            reward = -1 if self._side == 0 else 1
            state = self.game.save_state()
            planes = self.game.restore_state(state)[1]
            return self._observe(planes), reward, True, False, self._info(illegal_action=True)
        self._side = side
        self._plies += 1
        truncated = not done and self.max_plies is not None and self._plies >= self.max_plies
        return self._observe(planes), reward, bool(done), truncated, self._info()

    def render(self) -> str | None:
        if self.render_mode == "ansi":
            return letter_board(self.game.save_state())
        return None
