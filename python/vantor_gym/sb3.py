"""Stable-Baselines3 with no glue: ``VecEnv``, an SB3 vector environment of chess games
stepped together by a ``BatchEnv``, with SB3's conventions (same-step autoreset,
``infos[i]["terminal_observation"]``, ``TimeLimit.truncated``) and ``action_masks()`` for
sb3-contrib's ``MaskablePPO``, optionally against an opponent; and ``PlanesExtractor``, a
residual convolution tower over the 119 planes for a policy's ``features_extractor_class``::

    from sb3_contrib import MaskablePPO
    from vantor_gym.sb3 import PlanesExtractor, VecEnv

    env = VecEnv(8, opponent="random", max_plies=200)
    model = MaskablePPO("MlpPolicy", env, policy_kwargs={"features_extractor_class": PlanesExtractor})
    model.learn(100_000)

Needs stable-baselines3 (and PyTorch, which it brings); sb3-contrib for the masked learners.
"""

from __future__ import annotations

import operator
from collections.abc import Iterable, Sequence
from contextlib import ExitStack
from typing import Any

import gymnasium
import numpy as np
import numpy.typing as npt
import torch
from gymnasium import spaces
from stable_baselines3.common.torch_layers import BaseFeaturesExtractor
from stable_baselines3.common.vec_env import VecEnv as _SB3VecEnv
from stable_baselines3.common.vec_env.base_vec_env import VecEnvIndices, VecEnvObs, VecEnvStepReturn
from torch import nn

import vantor
from vantor_gym import notation
from vantor_gym._handles import Unshared
from vantor_gym._numbers import integer
from vantor_gym._observations import dtype_of, observation_space, set_step_plane, step_plane_of
from vantor_gym.batch import ACTIONS, OBSERVATION_MODES, PLANES, BatchEnv
from vantor_gym.env import ILLEGAL_ACTION_MODES, option_fen
from vantor_gym.fen import read_start
from vantor_gym.match import Agent
from vantor_gym.players import make_player
from vantor_gym.render import board_image, move_squares
from vantor_gym.train.network import _Block
from vantor_gym.uci import UciEngine

__all__ = ["AGENT_SIDES", "PlanesExtractor", "VecEnv"]

AGENT_SIDES = ("white", "black", "random")
_INT32_MAX = 2**31 - 1
_PER_GAME_METHODS = ("action_masks", "fen", "render", "save_state")


class _RandomReplies:
    """A uniformly random legal action for every game at once, drawn from the masks."""

    keeps_moves = False

    def __init__(self) -> None:
        self.rng = np.random.default_rng()

    def seed(self, rng: np.random.Generator) -> None:
        self.rng = np.random.default_rng(int(rng.integers(2**63)))

    def started(self, batch: BatchEnv, games: npt.NDArray[np.int64]) -> None:
        pass

    def choose(
        self, batch: BatchEnv, games: npt.NDArray[np.int64], masks: npt.NDArray[np.bool_]
    ) -> tuple[npt.NDArray[np.int64], dict[int, vantor.State]]:
        counts = masks.sum(axis=1)
        # The k-th legal action of each row, found among the legal actions of all rows.
        picks = np.cumsum(counts) - counts + self.rng.integers(counts)
        return (np.flatnonzero(masks)[picks] - np.arange(len(games)) * ACTIONS).astype(np.int64), {}

    def played(self, states: dict[int, vantor.State], games: npt.NDArray[np.int64], actions: np.ndarray) -> None:
        pass


class _AgentReplies:
    """A ``play_match`` agent's action in each game, asked one game at a time; a UCI
    engine is given each game's start and moves, so it sees the game's repetitions."""

    def __init__(self, agent: Agent) -> None:
        self.agent = agent
        self.keeps_moves = isinstance(agent, UciEngine)
        self.starts: dict[int, str] = {}
        self.moves: dict[int, list[str]] = {}

    def seed(self, rng: np.random.Generator) -> None:
        pass

    def started(self, batch: BatchEnv, games: npt.NDArray[np.int64]) -> None:
        if not isinstance(self.agent, UciEngine):
            return
        for game in games.tolist():
            self.starts[game] = notation.fen((batch, game))
            self.moves[game] = []
        if len(games):
            self.agent.new_game()

    def choose(
        self, batch: BatchEnv, games: npt.NDArray[np.int64], masks: npt.NDArray[np.bool_]
    ) -> tuple[npt.NDArray[np.int64], dict[int, vantor.State]]:
        agent = self.agent
        replies = np.empty(len(games), np.int64)
        states = {}
        for row, game in enumerate(games.tolist()):
            state = states[game] = batch.save_state(game)
            if isinstance(agent, UciEngine):
                # A game begun before this engine became the opponent is sent as its position.
                choice: Any = agent.best_action(state, start_fen=self.starts.get(game), moves=self.moves.get(game))
            else:
                shown = masks[row].copy()
                shown.flags.writeable = False
                choice = agent(state, shown)
            try:
                if isinstance(choice, (bool, np.bool_)):
                    raise TypeError  # True is no action, not action 1
                action = operator.index(choice)
            except TypeError:
                raise TypeError(f"the opponent returned {choice!r} in game {game}, not an integer action") from None
            replies[row] = action if 0 <= action < ACTIONS else -1
        return replies, states

    def played(self, states: dict[int, vantor.State], games: npt.NDArray[np.int64], actions: np.ndarray) -> None:
        if not self.keeps_moves:
            return
        for game, action in zip(games.tolist(), actions.tolist()):
            if game in self.moves:
                self.moves[game].append(notation.action_to_uci(states[game], action))


class _Rows:
    """One step's results for every game, filled in by its parts: the agent's moves, the
    opponent's replies, the endings left pending and the games started anew."""

    def __init__(self, games: int, dtype: np.dtype[Any]) -> None:
        self.obs = np.empty((games, PLANES, 8, 8), dtype)
        self.white = np.zeros(games, np.int8)  # rewards from white's side
        self.terminated = np.zeros(games, np.bool_)
        self.truncated = np.zeros(games, np.bool_)
        self.masks = np.zeros((games, ACTIONS), np.bool_)
        self.to_move = np.zeros(games, np.int64)
        self.illegal = np.zeros(games, np.bool_)

    @classmethod
    def of(cls, result: tuple[Any, ...]) -> _Rows:
        """The rows of a step of every game, its arrays taken as they are."""
        rows = cls.__new__(cls)
        rows.obs, rows.white, rows.terminated, rows.truncated, info = result
        rows.masks, rows.illegal = info["action_mask"], info["illegal"].copy()
        rows.to_move = info["side"].astype(np.int64)
        return rows

    def copy(self) -> _Rows:
        other = _Rows.__new__(_Rows)
        for name, value in vars(self).items():
            setattr(other, name, value.copy())
        return other

    def put(self, games: npt.NDArray[np.int64], result: tuple[Any, ...]) -> None:
        obs, white, terminated, truncated, info = result
        self.obs[games], self.white[games], self.terminated[games], self.truncated[games] = (
            obs, white, terminated, truncated)
        self.masks[games], self.to_move[games], self.illegal[games] = info["action_mask"], info["side"], info["illegal"]

    def put_start(self, games: npt.NDArray[np.int64], obs: np.ndarray, info: dict[str, np.ndarray]) -> None:
        self.obs[games], self.masks[games], self.to_move[games] = obs, info["action_mask"], info["side"]
        self.white[games] = 0
        self.terminated[games] = self.truncated[games] = self.illegal[games] = False

    def ending(self, game: int) -> tuple[Any, ...]:
        return tuple(getattr(self, name)[game].copy() for name in _ROW_NAMES)

    def put_ending(self, game: int, ending: tuple[Any, ...]) -> None:
        for name, value in zip(_ROW_NAMES, ending):
            getattr(self, name)[game] = value


_ROW_NAMES = ("obs", "white", "terminated", "truncated", "masks", "to_move", "illegal")


class VecEnv(Unshared, _SB3VecEnv):
    """``num_envs`` chess games as a Stable-Baselines3 ``VecEnv``, stepped together in C++
    by a ``BatchEnv`` on ``threads`` threads (all cores by default) with the GIL released.

    - SB3's conventions: ``step`` returns ``(observations, rewards, dones, infos)``; a game
      that ends is started again in the same step, its last observation in
      ``infos[i]["terminal_observation"]``, ``infos[i]["TimeLimit.truncated"]`` telling a
      ``max_plies`` cut from an end of the game, and ``reset_infos[i]`` holding the new
      game's info. Rewards are ``float32``; infos hold ``action_mask`` (``int8`` 4672),
      ``side`` and ``illegal_action``, as the Gymnasium environment's do.
    - ``action_masks()``: the legal actions of every game, ``bool`` (num_envs, 4672), which
      sb3-contrib's ``MaskablePPO`` reads through ``env_method("action_masks")``.
    - ``opponent``: ``None`` (one policy moves both sides, rewards from white's side), a
      player spec as ``vantor_gym.players.make_player`` takes it (``"random"`` is drawn for
      all games at once from the masks), or a ``play_match`` agent (a ``(state, mask) ->
      action`` callable or a ``UciEngine``). Its moves are played inside ``step`` (and
      ``reset`` where it has white); observations and rewards are the agent's (+1 when
      the agent wins, -1 when it loses). Where the opponent's first move ends a game (from
      a FEN, or at ``max_plies=1``), the next step ends it, ignoring the agent's action
      there, as the Gymnasium environment does. An opponent's illegal action loses its game under
      ``illegal_action="lose"`` and raises ``ValueError`` under ``"raise"``; after an
      opponent raised, the games stand mid-move and ``step`` raises ``RuntimeError``
      until ``reset``. ``set_attr("opponent", other)`` changes it between steps.
    - ``agent_side``: ``"white"``, ``"black"`` or ``"random"`` (drawn per game and episode),
      with an opponent only; ``infos[i]["agent_side"]`` tells it (0 white, 1 black).
    - ``step_plane``, ``dtype``, ``observation``, ``max_plies``, ``illegal_action``,
      ``start_fens``, ``legal_actions``, ``render_mode`` (``"rgb_array"``) as in
      ``gymnasium.make("vantor_gym/Chess-v0", ...)``; the observation space has the true
      bounds of each plane.
    - Seeding: ``seed(n)`` (what SB3's ``set_random_seed`` calls) takes effect at the next
      ``reset``, which then repeats the starts drawn from ``start_fens``, the agent's sides
      and a random opponent's moves. ``set_options({"fen": text})`` (or a list, one per
      game) starts games from that position at the next ``reset``.
    """

    _carried_by = "env_method('save_state') carries its games instead"

    def __init__(
        self,
        num_envs: int = 1,
        *,
        max_plies: int | None = None,
        opponent: str | Agent | None = None,
        agent_side: str = "white",
        step_plane: str | None = None,
        dtype: npt.DTypeLike = np.int32,
        illegal_action: str = "lose",
        start_fens: Sequence[str] | None = None,
        threads: int | None = None,
        observation: str = "side_to_move",
        legal_actions: bool = False,
        render_mode: str | None = None,
    ) -> None:
        num_envs = integer(num_envs, "num_envs", 1, _INT32_MAX)
        if max_plies is not None:
            max_plies = integer(max_plies, "max_plies", 1, _INT32_MAX)
        if illegal_action not in ILLEGAL_ACTION_MODES:
            raise ValueError(f"illegal_action must be one of {ILLEGAL_ACTION_MODES}, not {illegal_action!r}")
        if observation not in OBSERVATION_MODES:
            raise ValueError(f"observation must be one of {OBSERVATION_MODES}, not {observation!r}")
        if agent_side not in AGENT_SIDES:
            raise ValueError(f"agent_side must be one of {AGENT_SIDES}, not {agent_side!r}")
        if opponent is None and agent_side != "white":
            raise ValueError("agent_side needs an opponent: without one the policy moves both sides")
        _check_opponent(opponent)
        if not isinstance(legal_actions, (bool, np.bool_)):
            raise TypeError(f"legal_actions must be a bool, not {type(legal_actions).__name__}")
        if render_mode not in (None, "rgb_array"):
            raise ValueError(f"render_mode must be 'rgb_array' or None, not {render_mode!r}")
        self.step_plane = step_plane_of(step_plane, observation)
        self.dtype = dtype_of(dtype)
        self.max_plies = max_plies
        self.agent_side = agent_side
        self.illegal_action = illegal_action
        self.observation = observation
        self.legal_actions = bool(legal_actions)
        self.render_mode = render_mode
        self._rng = np.random.default_rng()
        self._stack = ExitStack()
        self._replies: _RandomReplies | _AgentReplies | None = None
        self._opponent: str | Agent | None = None
        self._spec: str | None = None
        try:
            self._set_opponent(opponent)
            # Illegal actions are checked here (the agent's before any game moves), so the batch
            # itself always lets one lose.
            self.batch = BatchEnv(num_envs, threads=threads, max_plies=max_plies, autoreset="disabled",
                                  dtype=self.dtype, illegal="lose", start_fens=start_fens, observation=observation)
        except BaseException:
            self._stack.close()
            raise
        self._sides = np.zeros(num_envs, np.int64)  # the agent's side in each game's episode
        self._masks: np.ndarray | None = None
        self._pending: dict[int, tuple[Any, ...]] = {}
        self._actions: np.ndarray | None = None
        self._broken: str | None = "call reset before step"
        self._last_moves: list[tuple[int, int] | None] = [None] * num_envs
        space = observation_space(self.step_plane, max_plies, self.dtype)
        super().__init__(num_envs, space, spaces.Discrete(ACTIONS))

    @property
    def opponent(self) -> str | Agent | None:
        return self._opponent

    def _set_opponent(self, opponent: str | Agent | None) -> None:
        """Makes the opponent; engines started for a spec are closed when it is replaced or
        the environment closes."""
        stack = ExitStack()
        replies: _RandomReplies | _AgentReplies | None = None
        try:
            if isinstance(opponent, str) and opponent == "random":
                replies = _RandomReplies()
                replies.seed(self._rng)
            elif isinstance(opponent, str):
                replies = _AgentReplies(make_player(opponent, stack))
            elif opponent is not None:
                replies = _AgentReplies(opponent)
        except BaseException:
            stack.close()
            raise
        self._stack.close()
        self._stack = stack
        self._replies = replies
        self._opponent = opponent
        self._spec = opponent if isinstance(opponent, str) else None

    def reset(self) -> VecEnvObs:
        batch = self._open()
        if len(self._options) != self.num_envs:
            raise ValueError(f"set_options takes one dict of options for all games or a list of one per game: "
                             f"{self.num_envs}, not {len(self._options)}")
        fens = [option_fen(options) for options in self._options]
        for text in fens:
            if text is not None:
                read_start(text)  # refused here, before anything changes
        seed = self._seeds[0]
        self._reset_seeds()
        self._reset_options()
        if seed is not None:
            self._rng = np.random.default_rng(seed)
            self.action_space.seed(seed)
            if self._spec is not None and self._spec.partition(":")[0] == "search":
                # The search draws from a seed of its own: made afresh, so that the seeded reset repeats.
                self._replies = _AgentReplies(make_player(self._spec, self._stack, seed=int(self._rng.integers(2**63))))
        draw = int(self._rng.integers(2**63))
        if self._replies is not None:
            self._replies.seed(self._rng)
        self._broken = "the last reset did not finish: call reset"
        self._actions = None
        self._pending = {}
        rows = _Rows(self.num_envs, self.dtype)
        # Every game's generator is seeded afresh, so the starts drawn repeat.
        self._start(np.arange(self.num_envs, dtype=np.int64), rows, fens, seed=draw)
        set_step_plane(rows.obs, self.step_plane, batch.plies())
        self._masks = rows.masks
        self.reset_infos = [self._info(game, rows) for game in range(self.num_envs)]
        self._broken = None
        return rows.obs

    def step_async(self, actions: np.ndarray) -> None:
        self._open()
        array = np.asarray(actions)
        if array.dtype.kind not in "iu":
            raise TypeError(f"actions must be integers, not {array.dtype}")
        if array.shape != (self.num_envs,):
            raise ValueError(f"actions must have shape ({self.num_envs},), not {array.shape}")
        self._actions = array.copy()

    def step_wait(self) -> VecEnvStepReturn:
        batch = self._open()
        if self._broken is not None:
            raise RuntimeError(self._broken)
        if self._actions is None:
            raise RuntimeError("call step_async before step_wait")
        actions, self._actions = self._actions, None
        assert self._masks is not None
        # A game the opponent ended with its first move ends now, whatever the action.
        moving = np.array([g for g in range(self.num_envs) if g not in self._pending], np.int64)
        in_range = (actions >= 0) & (actions < ACTIONS)
        numbers = np.where(in_range, actions, 0).astype(np.int64)
        legal = in_range & self._masks[np.arange(self.num_envs), numbers]
        if self.illegal_action == "raise" and not legal[moving].all():
            game = int(moving[np.argmin(legal[moving])])
            raise ValueError(f"action {actions[game]} of game {game} is not legal")
        numbers[~in_range] = -1  # any number outside the actions is an illegal one
        pending, self._pending = self._pending, {}
        replies = self._replies
        before = {g: batch.save_state(g) for g in moving.tolist()} if replies and replies.keeps_moves else {}
        if len(moving) == self.num_envs:
            rows = _Rows.of(batch.step(numbers))
        else:
            rows = _Rows(self.num_envs, self.dtype)
        if 0 < len(moving) < self.num_envs:
            rows.put(moving, batch.step(numbers[moving], indices=moving))
        for game, ending in pending.items():
            rows.put_ending(game, ending)
        if self.render_mode is not None:
            self._record_moves(moving, numbers[moving], rows.to_move[moving], rows.illegal[moving])
        rewards = rows.white.astype(np.float32)
        if replies is not None:
            played = moving[legal[moving]]
            replies.played(before, played, numbers[played])
            going_on = moving[~(rows.terminated[moving] | rows.truncated[moving])]
            if len(going_on):
                self._reply(going_on, rows)
            rewards = (rows.white * np.where(self._sides == 1, -1, 1)).astype(np.float32)
        set_step_plane(rows.obs, self.step_plane, batch.plies())
        dones = rows.terminated | rows.truncated
        infos = [self._info(game, rows) for game in range(self.num_envs)]
        cut = (rows.truncated & ~rows.terminated).tolist()
        for game, info in enumerate(infos):
            info["TimeLimit.truncated"] = cut[game]
        ended = np.flatnonzero(dones)
        if len(ended):
            last = rows.obs[ended].copy()
            for row, game in enumerate(ended.tolist()):
                infos[game]["terminal_observation"] = last[row]
            # The step's rows stay in its infos; the restarted games' go into new ones.
            started = rows.copy()
            self._broken = "a game's restart did not finish: call reset"
            self._start(ended, started, [None] * self.num_envs)
            set_step_plane(started.obs, self.step_plane, batch.plies())
            for game in ended.tolist():
                self.reset_infos[game] = self._info(game, started)
            self._broken = None
            rows.obs = started.obs
            self._masks = started.masks
        else:
            self._masks = rows.masks
        return rows.obs, rewards, dones, infos

    def _reply(self, games: npt.NDArray[np.int64], rows: _Rows) -> None:
        """The opponent's move in ``games``, its results written over their rows."""
        replies = self._replies
        assert replies is not None
        before, self._broken = self._broken, "the opponent failed to move: call reset"
        actions, states = replies.choose(self.batch, games, rows.masks[games])
        legal = (actions >= 0) & rows.masks[games, np.maximum(actions, 0)]
        if self.illegal_action == "raise" and not legal.all():
            row = int(np.argmin(legal))
            raise ValueError(f"the opponent's action {actions[row]} in game {games[row]} is not legal")
        rows.put(games, self.batch.step(actions, indices=games))
        self._broken = before
        replies.played(states, games[legal], actions[legal])
        if self.render_mode is not None:
            self._record_moves(games, actions, rows.to_move[games], rows.illegal[games])

    def _start(
        self, games: npt.NDArray[np.int64], rows: _Rows, fens: list[str | None], seed: int | None = None
    ) -> None:
        """Starts ``games``, each from ``fens[game]`` or as ``BatchEnv.reset`` draws it, with
        the agent's side drawn and the opponent's first move where it has white, into their
        rows; a game that move ended is pending: the next step ends it."""
        batch = self.batch
        for chosen in ([g for g in games.tolist() if fens[g] is not None],
                       [g for g in games.tolist() if fens[g] is None]):
            if chosen:
                texts = [text for text in (fens[g] for g in chosen) if text is not None]
                obs, info = batch.reset(np.array(chosen, np.int64), fens=texts or None, seed=seed)
                seed = None
                rows.put_start(np.array(chosen, np.int64), obs, info)
        for game in games.tolist():
            self._last_moves[game] = None
        if self._replies is None:
            return
        if self.agent_side == "random":
            self._sides[games] = self._rng.integers(2, size=len(games))
        else:
            self._sides[games] = AGENT_SIDES.index(self.agent_side)
        self._replies.started(batch, games)
        first = games[self._sides[games] == 1]
        if len(first):
            self._reply(first, rows)
            for game in first[rows.terminated[first] | rows.truncated[first]].tolist():
                self._pending[game] = rows.ending(game)

    def _record_moves(self, games: np.ndarray, actions: np.ndarray, to_move: np.ndarray, illegal: np.ndarray) -> None:
        for game, action, side, refused in zip(games.tolist(), actions.tolist(), to_move.tolist(), illegal.tolist()):
            if not refused:
                self._last_moves[game] = move_squares(action, 1 - side)

    def _info(self, game: int, rows: _Rows) -> dict[str, Any]:
        info: dict[str, Any] = {"action_mask": rows.masks[game].view(np.int8), "side": np.int64(rows.to_move[game]),
                                "illegal_action": np.bool_(rows.illegal[game])}
        if self._replies is not None:
            info["agent_side"] = np.int64(self._sides[game])
        if self.legal_actions:
            info["legal_actions"] = np.flatnonzero(rows.masks[game]).tolist()
        return info

    def action_masks(self) -> np.ndarray:
        """The legal actions of every game's current position, a new ``bool`` (num_envs, 4672)."""
        self._open()
        if self._masks is None:
            raise RuntimeError("call reset before action_masks")
        return self._masks.copy()

    def close(self) -> None:
        """Ends the batch's threads and an opponent made from a spec (a UCI engine's
        process); a later ``reset``, ``step``, ``action_masks`` or ``env_method`` raises
        ``RuntimeError``."""
        try:
            self._stack.close()
        finally:
            if not self.batch.closed:
                self.batch.close()

    def get_attr(self, attr_name: str, indices: VecEnvIndices = None) -> list[Any]:
        """The environment's attribute once per game named, the games sharing their
        settings; but ``"agent_side"`` with an opponent, each game's side in its episode."""
        games = self._games_of(indices)
        if attr_name == "agent_side" and self._replies is not None:
            return [int(self._sides[g]) for g in games]
        if attr_name.startswith("_") or not hasattr(self, attr_name):
            raise AttributeError(f"{type(self).__name__} has no attribute {attr_name!r}")
        value = getattr(self, attr_name)
        return [value for _ in games]

    def set_attr(self, attr_name: str, value: Any, indices: VecEnvIndices = None) -> None:
        """Only ``"opponent"`` can be set, for all games at once (the other settings are
        fixed when the environment is made), in an environment made with one: the new
        opponent makes the next moves; a UCI engine is sent a game begun before it as its
        position."""
        games = self._games_of(indices)
        if attr_name != "opponent":
            raise AttributeError(f"{attr_name!r} cannot be set: the games' settings are fixed when the VecEnv is "
                                 "made, but for 'opponent'")
        if sorted(games) != list(range(self.num_envs)):
            raise ValueError("the opponent is set for all games at once (indices=None)")
        self._open()
        if value is None or self._replies is None:
            raise ValueError("only an environment made with an opponent takes another, and not None")
        _check_opponent(value)
        self._set_opponent(value)

    def env_method(
        self, method_name: str, *method_args: Any, indices: VecEnvIndices = None, **method_kwargs: Any
    ) -> list[Any]:
        """A per-game method for each game named: ``"action_masks"`` (its ``bool`` mask of
        4672), ``"save_state"`` (a ``vantor.State``), ``"fen"`` (its FEN text) or
        ``"render"`` (its picture, with ``render_mode="rgb_array"``)."""
        games = self._games_of(indices)
        if method_name not in _PER_GAME_METHODS:
            raise AttributeError(f"{type(self).__name__} has no per-game method {method_name!r}: the known ones "
                                 f"are {', '.join(_PER_GAME_METHODS)}")
        if method_args or method_kwargs:
            raise TypeError(f"{method_name} takes no arguments")
        if method_name == "action_masks":
            masks = self.action_masks()
            return [masks[g] for g in games]
        if method_name == "render":
            return [self._image(g) for g in games]
        batch = self._open()
        if method_name == "fen":
            return [notation.fen((batch, g)) for g in games]
        return [batch.save_state(g) for g in games]

    def env_is_wrapped(
        self, wrapper_class: type[gymnasium.Wrapper[Any, Any, Any, Any]], indices: VecEnvIndices = None
    ) -> list[bool]:
        return [False for _ in self._games_of(indices)]

    def get_images(self) -> Sequence[np.ndarray | None]:
        """Each game's picture, its last move tinted, with ``render_mode="rgb_array"``."""
        return [self._image(g) for g in range(self.num_envs)]

    def _image(self, game: int) -> np.ndarray | None:
        if self.render_mode != "rgb_array":
            return None
        return board_image(self._open().save_state(game), self._last_moves[game])

    def _games_of(self, indices: VecEnvIndices) -> list[int]:
        if indices is None:
            return list(range(self.num_envs))
        chosen = list(indices) if isinstance(indices, Iterable) else [indices]
        games = [integer(i, "an index") for i in chosen]
        for game in games:
            if not 0 <= game < self.num_envs:
                raise IndexError(f"index {game} is out of range for {self.num_envs} games")
        return games

    def _open(self) -> BatchEnv:
        if self.batch.closed:
            raise RuntimeError("the VecEnv is closed")
        return self.batch


def _check_opponent(opponent: object) -> None:
    if opponent is not None and not (isinstance(opponent, (str, UciEngine)) or callable(opponent)):
        raise TypeError(f"opponent must be a player spec, a (state, mask) -> action callable or a UciEngine, "
                        f"not {type(opponent).__name__}")


class PlanesExtractor(BaseFeaturesExtractor):
    """Features of the (119, 8, 8) planes for an SB3 policy: a 3 x 3 convolution to
    ``channels``, ``blocks`` residual blocks (the trunk of
    ``vantor_gym.train.network.PolicyValueNet``), then a linear layer to ``features_dim``::

        MaskablePPO("MlpPolicy", env, policy_kwargs={
            "features_extractor_class": PlanesExtractor,
            "features_extractor_kwargs": {"channels": 32, "blocks": 2}})

    Each plane is first divided by its largest value in the observation space (the step
    count and the half-move clock would dwarf the 0/1 planes); a plane bounded only by
    the 32-bit range (``step_plane="module"``) is left out.
    """

    def __init__(
        self, observation_space: gymnasium.Space[Any], features_dim: int = 256, channels: int = 64, blocks: int = 4
    ) -> None:
        if not isinstance(observation_space, spaces.Box) or observation_space.shape != (PLANES, 8, 8):
            raise ValueError(f"PlanesExtractor takes a Box of shape ({PLANES}, 8, 8), not {observation_space}")
        features_dim = integer(features_dim, "features_dim", 1)
        channels = integer(channels, "channels", 1)
        blocks = integer(blocks, "blocks", 0)
        super().__init__(observation_space, features_dim)
        high = np.asarray(observation_space.high, np.float64).reshape(PLANES, 64).max(axis=1)
        usable = (high > 0) & (high < _INT32_MAX)
        scale = np.where(usable, 1.0 / np.where(usable, high, 1.0), 0.0)
        self.scale: torch.Tensor
        self.register_buffer("scale", torch.tensor(scale, dtype=torch.float32).view(1, PLANES, 1, 1))
        self.stem = nn.Sequential(nn.Conv2d(PLANES, channels, 3, padding=1, bias=False), nn.BatchNorm2d(channels),
                                  nn.ReLU())
        self.tower = nn.Sequential(*(_Block(channels) for _ in range(blocks)))
        self.head = nn.Sequential(nn.Flatten(), nn.Linear(channels * 64, features_dim), nn.ReLU())

    def forward(self, observations: torch.Tensor) -> torch.Tensor:
        planes = observations.float().reshape(-1, PLANES, 8, 8) * self.scale
        features: torch.Tensor = self.head(self.tower(self.stem(planes)))
        return features
