"""Chess for two agents as a PettingZoo AEC environment.

``env()`` gives the environment wrapped as PettingZoo's classic games are; ``raw_env`` is
the environment itself. Agents ``player_0`` (white) and ``player_1`` (black) take turns;
the agent to act is always the side to move.

- Observation (``observe(agent)``, ``last()``): ``{"observation": int32 (119, 8, 8),
  "action_mask": int8 (4672,)}``. The planes are the module's for the current position,
  exactly as ``BatchEnv`` and ``VantorEnv`` show them: laid out as the side to move sees
  them (turned by 180 degrees whenever black is to move; ``observation="module"`` leaves
  the first observation of a game unturned, as the module does), whichever agent asks.
  The mask holds the legal actions for the agent to
  move; it is all zeros for the other agent and for both once the game is over.
- Action: ``Discrete(4672)``, the module's action numbers (64 * plane + source square).
  A non-integer action raises ``TypeError`` and changes nothing.
- Rewards: +1 to the winner and -1 to the loser at checkmate, 0 otherwise; ``player_0``
  gets the game's reward from white's side and ``player_1`` its negation.
- ``rules``: ``"standard"`` (the default: chess, every claimable draw taken at once),
  ``"automatic"`` or ``"module"`` (exactly ``vantor.Vantor``'s games), as
  ``vantor_gym.rules`` has them.
- ``terminations``: checkmate, stalemate, a draw of the rules (under ``"standard"``:
  insufficient material, fifty moves of each side without a capture or pawn move, the
  third occurrence of a position), or an illegal action; ``truncations``: ``max_plies``
  plies made without an end. Both agents end together, and each then steps ``None``
  once to leave, as the AEC API has it.
- ``infos``: ``{}`` while the game goes on; at its end both agents get
  ``{"ending": e}``, ``e`` one of ``ENDINGS``: ``"checkmate"``, ``"stalemate"``,
  ``"repetition"``, ``"fifty_moves"``, ``"illegal_action"``, ``"max_plies"``,
  ``"insufficient_material"``, ``"seventyfive_moves"``, ``"fivefold_repetition"``.
- Illegal action (an integer not in the mask): the agent that tried it loses the game,
  as in PettingZoo's classic games, with the game's zero-sum rewards: -1 to it and +1
  to its opponent, both terminated, the position unchanged. Under ``env()`` an integer
  outside 0..4671 fails the wrapper's bounds assertion instead.
"""

from __future__ import annotations

import inspect
from typing import Any

import gymnasium
import numpy as np
from gymnasium import spaces
from pettingzoo import AECEnv  # type: ignore[import-untyped]
from pettingzoo.utils import wrappers  # type: ignore[import-untyped]

from vantor_gym.batch import ACTIONS, PLANES, BatchEnv
from vantor_gym.chess960 import chess960_option
from vantor_gym.env import _action, letter_board, option_fen
from vantor_gym.render import PICTURE_MODES, Window, board_image, move_squares
from vantor_gym.rules import ending_name, halfmove_limit, repetition_limit, rules_of

AGENTS = ("player_0", "player_1")
"""The agents, white first."""
ENDINGS = (
    "checkmate",
    "stalemate",
    "repetition",
    "fifty_moves",
    "illegal_action",
    "max_plies",
    "insufficient_material",
    "seventyfive_moves",
    "fivefold_repetition",
)
"""The values of ``infos[agent]["ending"]`` at the end of a game (``vantor_gym.rules.ENDINGS``,
in the order this environment first named them)."""
Observation = dict[str, np.ndarray]
"""What ``observe`` gives: ``{"observation": planes, "action_mask": mask}``."""

# PettingZoo's api_test resets with options={"options": 1} to see that reset takes
# options at all; that key alone is let through.
_API_TEST_OPTIONS = ("options",)
_STEP_COUNT_PLANE = 113
_NO_PROGRESS_PLANE = 118


def _plane_bounds(rules: str) -> tuple[np.ndarray, np.ndarray]:
    """The planes' bounds in a game under ``rules``, which end it at their repetition and
    half-move limits, so that no plane goes beyond them."""
    low = np.zeros((PLANES, 8, 8), np.int32)
    high = np.ones((PLANES, 8, 8), np.int32)
    for t in range(8):
        high[14 * t + 12 : 14 * t + 14] = repetition_limit(rules)
    # The step counter runs over all games of the environment and wraps around to
    # -2**31 after 2**31 - 1 steps, as the module's does.
    int32 = np.iinfo(np.int32)
    low[_STEP_COUNT_PLANE], high[_STEP_COUNT_PLANE] = int32.min, int32.max
    high[_NO_PROGRESS_PLANE] = halfmove_limit(rules)
    return low, high


def env(**kwargs: Any) -> AECEnv:
    """``raw_env(**kwargs)`` wrapped as PettingZoo's classic games are: actions are checked
    against the action space (``TypeError`` for a non-integer, an assertion for one out of
    range), and calls out of order (``step`` before ``reset``) are refused."""
    return wrappers.OrderEnforcingWrapper(_CheckedActions(raw_env(**kwargs)))


class _CheckedActions(wrappers.AssertOutOfBoundsWrapper):  # type: ignore[misc]
    """PettingZoo's bounds assertion, after refusing a non-integer action with the
    ``TypeError`` that the raw environment gives rather than an ``AssertionError``."""

    def step(self, action: Any) -> None:
        agent = self.agent_selection
        if action is not None or not (self.terminations[agent] or self.truncations[agent]):
            _action(action)
        super().step(action)


class raw_env(AECEnv):  # type: ignore[misc]
    """Chess between ``player_0`` (white) and ``player_1`` (black); see the module's
    description. ``max_plies`` truncates a game after that many plies (off by default);
    ``rules`` are the game's rules (``"standard"``, ``"automatic"`` or ``"module"``).
    ``chess960=True`` plays Chess960 (``vantor_gym.chess960``), a start drawn at every
    reset (``seed`` seeds the draws; a start number plays that start); every info then
    holds ``"chess960_start"``, the start number.

    ``reset(seed=None, options=None)``: ``options={"fen": text}`` starts from that
    position (read as ``BatchEnv.reset`` reads it: ``ValueError`` naming the fault,
    checkmate or stalemate included, the current game left as it was), its side to move
    acting first and its half-move clock going on. Any other option key raises
    ``ValueError`` (but ``"options"``, which PettingZoo's ``api_test`` passes, is
    ignored). ``seed`` seeds the agents' action spaces (``seed`` and ``seed + 1``), so
    ``action_space(agent).sample(mask)`` repeats; the game itself has no randomness.

    Plane 113 counts the plies of all games the environment has played, as ``BatchEnv``
    does. ``batch`` is the one-game ``BatchEnv`` underneath (``batch.save_state(0)`` gives
    a ``vantor.State`` of the game). ``render()`` returns the letter board under
    ``render_mode="ansi"`` and a (256, 256, 3) ``uint8`` picture of the board from white's
    side, the last move's squares tinted, under ``render_mode="rgb_array"``; under
    ``"human"`` every reset and step shows that picture in a pygame window.
    """

    metadata: dict[str, Any] = {
        "render_modes": ["ansi", "rgb_array", "human"],
        "name": "vantor_chess_v0",
        "is_parallelizable": False,
        "render_fps": 4,
    }

    def __init__(
        self,
        render_mode: str | None = None,
        max_plies: int | None = None,
        observation: str = "side_to_move",
        rules: str = "standard",
        chess960: bool | int = False,
    ) -> None:
        super().__init__()
        self.rules = rules_of(rules)
        self.chess960 = chess960_option(chess960)
        if render_mode is not None and render_mode not in self.metadata["render_modes"]:
            modes = self.metadata["render_modes"]
            raise ValueError(f"render_mode must be one of {modes} or None, not {render_mode!r}")
        self.render_mode = render_mode
        self.max_plies = max_plies
        self.batch = BatchEnv(1, threads=1, max_plies=max_plies, autoreset="disabled", illegal="lose",
                              observation=observation, rules=self.rules, chess960=self.chess960)
        self.possible_agents = list(AGENTS)
        low, high = _plane_bounds(self.rules)
        self.observation_spaces = {
            agent: spaces.Dict(
                {
                    "observation": spaces.Box(low, high, dtype=np.int32),
                    "action_mask": spaces.Box(0, 1, (ACTIONS,), np.int8),
                }
            )
            for agent in AGENTS
        }
        self.action_spaces: dict[str, spaces.Space[Any]] = {agent: spaces.Discrete(ACTIONS) for agent in AGENTS}
        self.agents: list[str] = []
        self.rewards: dict[str, int] = {}
        self._cumulative_rewards: dict[str, int] = {}
        self.terminations: dict[str, bool] = {}
        self.truncations: dict[str, bool] = {}
        self.infos: dict[str, dict[str, Any]] = {}
        self.agent_selection = AGENTS[0]
        self._skip_agent_selection: str | None = None
        # The game's outputs live in these buffers, which every reset and step overwrite.
        self._out: dict[str, np.ndarray] = {
            "observations": np.zeros((1, PLANES, 8, 8), np.int32),
            "action_mask": np.zeros((1, ACTIONS), np.bool_),
            "side": np.zeros(1, np.int8),
            "rewards": np.zeros(1, np.int8),
            "terminated": np.zeros(1, np.bool_),
            "truncated": np.zeros(1, np.bool_),
            "illegal": np.zeros(1, np.bool_),
            "ending": np.zeros(1, np.int8),
        }
        self._reset_out = {key: self._out[key] for key in ("observations", "action_mask", "side")}
        self._action = np.zeros(1, np.int64)
        self._started = False
        self._over = False
        self.last_move: tuple[int, int] | None = None
        self.window = Window("Vantor", self.metadata["render_fps"]) if render_mode == "human" else None

    def observation_space(self, agent: str) -> spaces.Space[Any]:
        """The space of what ``observe(agent)`` gives."""
        return self.observation_spaces[agent]

    def action_space(self, agent: str) -> spaces.Space[Any]:
        """``Discrete(4672)``, seeded by ``reset(seed=...)``."""
        return self.action_spaces[agent]

    def reset(self, seed: int | None = None, options: dict[str, Any] | None = None) -> None:
        """Starts a game from the initial position, or from ``options["fen"]``; ``seed`` seeds
        the agents' action spaces."""
        fen = option_fen(options, ignored=_API_TEST_OPTIONS)
        # A Chess960 start is drawn by the game's generator, which seed seeds afresh.
        draw_seed = seed if self.chess960 is True and fen is None else None
        self.batch.reset(fens=None if fen is None else [fen], out=self._reset_out, seed=draw_seed)
        if seed is not None:
            for offset, agent in enumerate(AGENTS):
                self.action_spaces[agent].seed(seed + offset)
        self._started = True
        self._over = False
        self.agents = list(AGENTS)
        self.rewards = dict.fromkeys(AGENTS, 0)
        self._cumulative_rewards = dict.fromkeys(AGENTS, 0)
        self.terminations = dict.fromkeys(AGENTS, False)
        self.truncations = dict.fromkeys(AGENTS, False)
        self.infos = {agent: self._start_info() for agent in AGENTS}
        self._skip_agent_selection = None
        self.last_move = None
        side = self._side()
        self.agent_selection = AGENTS[side]
        if self.window is not None:
            self.render()

    def step(self, action: Any) -> None:
        """Plays the selected agent's action (``None`` once it has ended, to leave)."""
        if not self.agents:
            raise RuntimeError("no agent is left to act: call reset" if self._started else "call reset before step")
        agent = self.agent_selection
        if self.terminations[agent] or self.truncations[agent]:
            self._was_dead_step(action)
            return
        number = _action(action)
        # Any integer outside the action space is simply not legal; -1 keeps it in int64.
        self._action[0] = number if 0 <= number < ACTIONS else -1
        self.batch.step(self._action, out=self._out)
        self._cumulative_rewards[agent] = 0
        self._clear_rewards()
        reward = int(self._out["rewards"][0])
        side = self._side()
        if self.render_mode in PICTURE_MODES and not self._out["illegal"][0]:
            self.last_move = move_squares(number, 1 - side)
        # The winner of an illegal action is told first; else the side to move acts next.
        self.agent_selection = AGENTS[1 - AGENTS.index(agent)] if self._out["illegal"][0] else AGENTS[side]
        ending = ending_name(int(self._out["ending"][0]))
        if ending is not None:
            self._finish(reward, ending, truncated=bool(self._out["truncated"][0]))
        self._accumulate_rewards()
        if self.window is not None:
            self.render()

    def observe(self, agent: str) -> Observation:
        """The planes and the legal-action mask as ``agent`` sees them (``Observation``)."""
        if agent not in AGENTS:
            raise KeyError(f"no agent named {agent!r}; the agents are {', '.join(AGENTS)}")
        if not self._started:
            raise RuntimeError("call reset before observe")
        if self._over or agent != AGENTS[self._side()]:
            mask = np.zeros(ACTIONS, np.int8)
        else:
            mask = self._out["action_mask"][0].view(np.int8).copy()
        return {"observation": self._out["observations"][0].copy(), "action_mask": mask}

    def render(self) -> str | np.ndarray | None:
        """The letter board under ``render_mode="ansi"``, the picture under ``"rgb_array"``;
        ``"human"`` shows it in a window."""
        if self.render_mode is None:
            gymnasium.logger.warn("You are calling render method without specifying any render mode.")
            return None
        if self.render_mode == "ansi":
            return letter_board(self.batch.save_state(0))
        image = board_image(self.batch.save_state(0), self.last_move)
        if self.window is None:
            return image
        self.window.show(image)
        return None

    def close(self) -> None:
        """Closes the window and the game."""
        if self.window is not None:
            self.window.close()
        self.batch.close()

    def _side(self) -> int:
        return int(self._out["side"][0])

    def _start_info(self) -> dict[str, Any]:
        """A Chess960 game's start number, which every info of it holds."""
        return {} if self.chess960 is False else {"chess960_start": int(self.batch.start_numbers()[0])}

    def _finish(self, white_reward: int, ending: str, truncated: bool = False) -> None:
        self._over = True
        ends = self.truncations if truncated else self.terminations
        for agent in AGENTS:
            ends[agent] = True
            self.infos[agent] = {"ending": ending, **self._start_info()}
        self.rewards = {AGENTS[0]: white_reward, AGENTS[1]: -white_reward}


# env passes its arguments on to raw_env: help() and the API reference show them.
setattr(env, "__signature__", inspect.signature(raw_env).replace(return_annotation="AECEnv"))
