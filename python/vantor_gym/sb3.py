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

import threading
from collections.abc import Iterable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any

import gymnasium
import numpy as np
import numpy.typing as npt
import torch
from gymnasium import spaces
from stable_baselines3.common.torch_layers import BaseFeaturesExtractor
from stable_baselines3.common.vec_env import VecEnv as _SB3VecEnv
from stable_baselines3.common.vec_env import VecEnvWrapper
from stable_baselines3.common.vec_env.base_vec_env import VecEnvIndices, VecEnvObs, VecEnvStepReturn
from torch import nn

from vantor_gym import notation
from vantor_gym._handles import Unshared
from vantor_gym._numbers import action_array, integer, real
from vantor_gym._observations import STEP_PLANE
from vantor_gym.batch import ACTIONS, PLANES, BatchEnv
from vantor_gym.env import AGENT_SIDES, option_fen
from vantor_gym.fen import read_start
from vantor_gym.match import Agent
from vantor_gym.render import board_image
from vantor_gym.shaping import material_balance
from vantor_gym.train.network import ResidualBlock
from vantor_gym.vector import VantorVectorEnv

__all__ = ["AGENT_SIDES", "PlanesExtractor", "VecEnv", "VecMaterialReward"]

_INT32_MAX = 2**31 - 1
_PER_GAME_METHODS = ("action_masks", "fen", "render", "save_state")
_PLANE_SHAPES = ((PLANES, 8, 8), (PLANES * 64,))


class VecEnv(Unshared, _SB3VecEnv):
    """``num_envs`` chess games as a Stable-Baselines3 ``VecEnv``, stepped together in C++
    by a ``BatchEnv`` on ``threads`` threads (all cores by default) with the GIL released:
    a ``VantorVectorEnv`` with same-step autoreset (``vector_env``), its infos given the
    way SB3 takes them.

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
      ``start_fens``, ``legal_actions``, ``flatten``, ``scale``, ``rules``, ``chess960``,
      ``render_mode`` (``"rgb_array"``) as in ``gymnasium.make("vantor_gym/Chess-v0",
      ...)``; the observation space has the true bounds of each plane (0..1 with
      ``scale=True``). ``infos[i]["ending"]`` is the code of why a game ended, 0 while it
      goes on, as the Gymnasium environment gives it.
    - Seeding: ``seed(n)`` (what SB3's ``set_random_seed`` calls) takes effect at the next
      ``reset``, which then repeats the starts drawn from ``start_fens``, the agent's sides
      (game ``i``'s as a Gymnasium environment reset with seed ``n + i`` draws it) and a
      random opponent's moves. ``set_options({"fen": text})`` (or a list, one dict per
      game) starts games from that position at the next ``reset``; a ``reset`` that raises
      keeps both for the next.
    - One call at a time: calls from several threads wait for each other (``step`` as a
      whole), and a call made from within another (by the opponent) raises ``RuntimeError``.
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
        dtype: npt.DTypeLike | None = None,
        illegal_action: str = "lose",
        start_fens: Sequence[str] | None = None,
        threads: int | None = None,
        observation: str = "side_to_move",
        legal_actions: bool = False,
        render_mode: str | None = None,
        flatten: bool = False,
        scale: bool = False,
        rules: str = "standard",
        chess960: bool | int = False,
    ) -> None:
        num_envs = integer(num_envs, "num_envs", 1, _INT32_MAX)
        if max_plies is not None:
            max_plies = integer(max_plies, "max_plies", 1, _INT32_MAX)
        vector = VantorVectorEnv(
            num_envs, max_plies, illegal_action, threads, render_mode,
            start_fens, observation, autoreset_mode="same_step",
            opponent=opponent, agent_side=agent_side, step_plane=step_plane, dtype=dtype, legal_actions=legal_actions,
            flatten=flatten, scale=scale, rules=rules, chess960=chess960)
        self.vector_env = vector
        self.max_plies = max_plies
        self.agent_side = agent_side
        self.illegal_action = illegal_action
        self.observation = observation
        self.legal_actions = vector.legal_actions
        self.render_mode = render_mode
        self.step_plane = vector.step_plane
        self.dtype = vector.batch.dtype
        self.flatten = vector.flatten
        self.scale = vector.scale
        self.rules = vector.rules
        # The infos' keys, in the order the Gymnasium environment gives them.
        self._keys = ("action_mask", "side", "illegal_action", *(("agent_side",) if opponent is not None else ()),
                      *(("legal_actions",) if self.legal_actions else ()), "ending",
                      *(("chess960_start",) if vector.batch.chess960 is not False else ()))
        # The actions step_async was given, and the thread that gave them.
        self._actions: tuple[int, np.ndarray] | None = None
        self._lock = threading.Lock()
        self._caller: int | None = None  # the thread in a call, so that a call from within it is refused
        self._reset_done = False
        try:
            super().__init__(num_envs, vector.single_observation_space, spaces.Discrete(ACTIONS))
        except BaseException:
            vector.close()
            raise

    @property
    def opponent(self) -> str | Agent | None:
        """The opponent every game plays against (as given), or None when one policy moves both
        sides."""
        return self.vector_env.opponent

    @property
    def batch(self) -> BatchEnv:
        """The ``BatchEnv`` that steps the games."""
        return self.vector_env.batch

    def seed(self, seed: int | None = None) -> Sequence[int | None]:
        """Seeds game ``i`` with ``seed + i`` at the next ``reset`` (None draws a seed);
        ``seed`` must be an integer of at least 0, else nothing changes."""
        return super().seed(None if seed is None else integer(seed, "seed", 0))

    def reset(self) -> VecEnvObs:
        """Starts every game afresh; returns the observations."""
        with self._turn():
            return self._reset(self._open())

    def _reset(self, vector: VantorVectorEnv) -> VecEnvObs:
        given = self._options
        if not isinstance(given, (list, tuple)) or not all(o is None or isinstance(o, dict) for o in given):
            raise TypeError("set_options takes one dict of options for all games or a list of one dict per game")
        if len(given) != self.num_envs:
            raise ValueError(f"set_options takes one dict of options for all games or a list of one per game: "
                             f"{self.num_envs}, not {len(given)}")
        fens = []
        for options in given:
            text = option_fen(options)
            if text is not None:
                read_start(text, self.rules, vector.batch.chess960 is not False)  # refused here, before anything changes and with the options kept
            fens.append(text)
        seeds = list(self._seeds)
        # Given as SB3's DummyVecEnv gives them to its games: game i's seed n + i.
        obs, infos = vector.reset(seed=None if all(s is None for s in seeds) else seeds,
                                  options=None if all(f is None for f in fens) else {"fens": fens})
        # Only a reset that went through uses up the seeds and options.
        self._reset_seeds()
        self._reset_options()
        self._actions = None
        self._reset_done = True
        if seeds[0] is not None:
            self.action_space.seed(seeds[0])
        self.reset_infos = self._listed(infos)
        return obs

    def step(self, actions: np.ndarray) -> VecEnvStepReturn:
        """Steps every game; returns ``(observations, rewards, dones, infos)``."""
        # Whole, so that another thread's step cannot come between its two halves.
        with self._turn():
            vector = self._open()
            self._take(actions)
            return self._stepped(vector)

    def step_async(self, actions: np.ndarray) -> None:
        """Takes the actions that ``step_wait`` plays."""
        with self._turn():
            self._open()
            self._take(actions)

    def step_wait(self) -> VecEnvStepReturn:
        """Plays the actions ``step_async`` took; returns what ``step`` returns."""
        with self._turn():
            return self._stepped(self._open())

    def _take(self, actions: np.ndarray) -> None:
        array = action_array(actions, self.num_envs, copy=True)  # kept until step_wait
        caller = threading.get_ident()
        if self._actions is not None and self._actions[0] != caller:
            raise RuntimeError("another thread's step_async waits for its step_wait: the VecEnv takes one "
                               "thread's step at a time")
        self._actions = (caller, array)

    def _stepped(self, vector: VantorVectorEnv) -> VecEnvStepReturn:
        if self._actions is None or self._actions[0] != threading.get_ident():
            raise RuntimeError("call step_async before step_wait" if self._actions is None else
                               "the actions waiting are another thread's: call step_async before step_wait")
        actions, self._actions = self._actions[1], None
        obs, rewards, terminated, truncated, infos = vector.step(actions)
        listed = self._listed(infos)
        if "final_obs" in infos:
            # The step's own infos are the ended games' last; the rows given are the new games' first.
            final_obs, final = infos["final_obs"], infos["final_info"]
            columns = [(key, final[key]) for key in self._keys]
            for game in np.flatnonzero(infos["_final_obs"]).tolist():
                self.reset_infos[game] = listed[game]
                info = {key: column[game] for key, column in columns}
                info["terminal_observation"] = final_obs[game]
                listed[game] = info
        for info, cut in zip(listed, (truncated & ~terminated).tolist()):
            info["TimeLimit.truncated"] = cut
        return obs, rewards.astype(np.float32), terminated | truncated, listed

    def _listed(self, infos: dict[str, Any]) -> list[dict[str, Any]]:
        """A dict per game of the vector environment's infos, one row of each key."""
        keys = self._keys
        return [dict(zip(keys, row)) for row in zip(*(infos[key] for key in keys))]

    def action_masks(self) -> np.ndarray:
        """The legal actions of every game's current position, a new ``bool`` (num_envs, 4672)."""
        with self._turn():
            return self._open().action_masks()

    def close(self) -> None:
        """Ends the batch's threads and an opponent made from a spec (a UCI engine's
        process); a later ``reset``, ``step``, ``action_masks`` or ``env_method`` raises
        ``RuntimeError``."""
        with self._turn():
            self.vector_env.close()

    def get_attr(self, attr_name: str, indices: VecEnvIndices = None) -> list[Any]:
        """The environment's attribute once per game named, the games sharing their
        settings; but ``"agent_side"`` with an opponent, each game's side in its episode."""
        _check_name(attr_name, "attr_name")
        games = self._games_of(indices)
        if attr_name == "agent_side" and self.opponent is not None:
            with self._turn():
                sides = self.vector_env.agent_sides.tolist()
            return [sides[g] for g in games]
        if attr_name.startswith("_") or not hasattr(self, attr_name):
            raise AttributeError(f"{type(self).__name__} has no attribute {attr_name!r}")
        value = getattr(self, attr_name)
        return [value for _ in games]

    def set_attr(self, attr_name: str, value: Any, indices: VecEnvIndices = None) -> None:
        """Only ``"opponent"`` can be set, for all games at once (the other settings are
        fixed when the environment is made), in an environment made with one: the new
        opponent makes the next moves; a UCI engine is sent a game begun before it as its
        position."""
        _check_name(attr_name, "attr_name")
        games = self._games_of(indices)
        if attr_name != "opponent":
            raise AttributeError(f"{attr_name!r} cannot be set: the games' settings are fixed when the VecEnv is "
                                 "made, but for 'opponent'")
        if sorted(games) != list(range(self.num_envs)):
            raise ValueError("the opponent is set for all games at once (indices=None)")
        with self._turn():
            self._open().set_opponent(value)

    def env_method(
        self, method_name: str, *method_args: Any, indices: VecEnvIndices = None, **method_kwargs: Any
    ) -> list[Any]:
        """A per-game method for each game named: ``"action_masks"`` (its ``bool`` mask of
        4672), ``"save_state"`` (a ``vantor.State``), ``"fen"`` (its FEN text) or
        ``"render"`` (its picture, with ``render_mode="rgb_array"``), once the games are reset."""
        _check_name(method_name, "method_name")
        games = self._games_of(indices)
        if method_name not in _PER_GAME_METHODS:
            raise AttributeError(f"{type(self).__name__} has no per-game method {method_name!r}: the known ones "
                                 f"are {', '.join(_PER_GAME_METHODS)}")
        if method_args or method_kwargs:
            raise TypeError(f"{method_name} takes no arguments")
        with self._turn():
            vector = self._open()
            if method_name == "action_masks":
                masks = vector.action_masks()
                return [masks[g] for g in games]
            if method_name == "render":
                return [self._image(vector, g) for g in games]
            batch = self._started(vector, "env_method").batch
            if method_name == "fen":
                return [notation.fen((batch, g)) for g in games]
            return [batch.save_state(g) for g in games]

    def env_is_wrapped(
        self, wrapper_class: type[gymnasium.Wrapper[Any, Any, Any, Any]], indices: VecEnvIndices = None
    ) -> list[bool]:
        """False for every game: no Gymnasium wrapper is used."""
        return [False for _ in self._games_of(indices)]

    def get_images(self) -> Sequence[np.ndarray | None]:
        """Each game's picture, its last move tinted, with ``render_mode="rgb_array"``."""
        with self._turn():
            vector = self._open()
            return [self._image(vector, g) for g in range(self.num_envs)]

    def _image(self, vector: VantorVectorEnv, game: int) -> np.ndarray | None:
        if self.render_mode != "rgb_array":
            return None
        return board_image(self._started(vector, "render").batch.save_state(game), vector.last_moves.moves[game])

    def _games_of(self, indices: VecEnvIndices) -> list[int]:
        if indices is None:
            return list(range(self.num_envs))
        # A 0-d array is iterable in name only: it is refused as the single index it is.
        chosen: list[Any] = [indices]
        if isinstance(indices, Iterable) and not (isinstance(indices, np.ndarray) and indices.ndim == 0):
            chosen = list(indices)
        games = [integer(i, "an index") for i in chosen]
        for game in games:
            if not 0 <= game < self.num_envs:
                raise IndexError(f"index {game} is out of range for {self.num_envs} games")
        return games

    def _open(self) -> VantorVectorEnv:
        vector = self.vector_env
        if vector.closed or vector.batch.closed:
            raise RuntimeError("the VecEnv is closed")
        return vector

    def _started(self, vector: VantorVectorEnv, call: str) -> VantorVectorEnv:
        # Before the first reset the batch holds empty boards, no game's position.
        if not self._reset_done:
            raise RuntimeError(f"call reset before {call}")
        return vector

    @contextmanager
    def _turn(self) -> Iterator[None]:
        """Holds the VecEnv for one call: another thread's call waits, and a call from
        within this one (an opponent calling back) is refused, as it would find the games
        mid-step."""
        caller = threading.get_ident()
        if self._caller == caller:
            raise RuntimeError("the VecEnv was called from within one of its own calls (by its opponent?): it "
                               "takes one call at a time")
        with self._lock:
            self._caller = caller
            try:
                yield
            finally:
                self._caller = None


def _check_name(name: object, what: str) -> None:
    if not isinstance(name, str):
        raise TypeError(f"{what} must be a str, not {type(name).__name__}")


def _described(space: gymnasium.Space[Any]) -> str:
    if isinstance(space, spaces.Box):
        return f"a Box of shape {space.shape} and dtype {space.dtype}"
    return f"a {type(space).__name__} space"


class PlanesExtractor(BaseFeaturesExtractor):
    """Features of the (119, 8, 8) planes (or the 7616 of ``flatten=True``, read as them)
    for an SB3 policy: a 3 x 3 convolution to ``channels``, ``blocks`` residual blocks (the
    trunk of ``vantor_gym.train.network.PolicyValueNet``), then a linear layer to
    ``features_dim``::

        MaskablePPO("MlpPolicy", env, policy_kwargs={
            "features_extractor_class": PlanesExtractor,
            "features_extractor_kwargs": {"channels": 32, "blocks": 2}})

    Each plane is first divided by its largest value in the observation space (the step
    count and the half-move clock would dwarf the 0/1 planes), which leaves planes made
    with ``scale=True`` as they are; a plane bounded only by the 32-bit range
    (``step_plane="module"``) is left out. A space whose planes are not in 0 .. a finite
    bound (an unbounded Box) is refused, as its planes could not be scaled.
    """

    def __init__(
        self, observation_space: gymnasium.Space[Any], features_dim: int = 256, channels: int = 64, blocks: int = 4
    ) -> None:
        if not isinstance(observation_space, spaces.Box) or observation_space.shape not in _PLANE_SHAPES:
            raise ValueError(f"PlanesExtractor takes a Box of shape ({PLANES}, 8, 8) or ({PLANES * 64},), not "
                             f"{_described(observation_space)}")
        low = np.asarray(observation_space.low, np.float64).reshape(PLANES, 64)
        high = np.asarray(observation_space.high, np.float64).reshape(PLANES, 64).max(axis=1)
        if not (np.isfinite(low).all() and np.isfinite(high).all()) or (low < 0).any():
            raise ValueError(f"PlanesExtractor divides each plane by its bound: it takes planes in 0 .. a finite "
                             f"bound, as the environments give them, not in {low.min()} .. {high.max()}")
        huge = [plane for plane in np.flatnonzero(high >= _INT32_MAX).tolist() if plane != STEP_PLANE]
        if huge:
            raise ValueError(f"PlanesExtractor leaves out only the step plane ({STEP_PLANE}) when it has no bound "
                             f"below 2**31 - 1, not plane {huge[0]}")
        features_dim = integer(features_dim, "features_dim", 1)
        channels = integer(channels, "channels", 1)
        blocks = integer(blocks, "blocks", 0)
        super().__init__(observation_space, features_dim)
        usable = (high > 0) & (high < _INT32_MAX)
        scale = np.where(usable, 1.0 / np.where(usable, high, 1.0), 0.0)
        self.scale: torch.Tensor
        self.register_buffer("scale", torch.tensor(scale, dtype=torch.float32).view(1, PLANES, 1, 1))
        self.stem = nn.Sequential(nn.Conv2d(PLANES, channels, 3, padding=1, bias=False), nn.BatchNorm2d(channels),
                                  nn.ReLU())
        self.tower = nn.Sequential(*(ResidualBlock(channels) for _ in range(blocks)))
        self.head = nn.Sequential(nn.Flatten(), nn.Linear(channels * 64, features_dim), nn.ReLU())

    def forward(self, observations: torch.Tensor) -> torch.Tensor:
        """The features of a batch of observations."""
        planes = observations.float().reshape(-1, PLANES, 8, 8) * self.scale
        features: torch.Tensor = self.head(self.tower(self.stem(planes)))
        return features


class VecMaterialReward(VecEnvWrapper):
    """``vantor_gym.shaping.MaterialReward`` for a ``VecEnv``: each game's reward adds
    ``weight`` times the change of its agent's material balance over the step (the
    agent's side from ``infos[i]["agent_side"]`` with an opponent, white without one). A
    game that ends is measured on its ``terminal_observation``, and its next game starts
    from its own balance. It reads the planes as the ``VecEnv`` gives them, so wrappers
    that change observations (``VecNormalize``) go above it; ``VecMonitor`` may go either
    side. Shaping: score a policy learned with it by its games."""

    def __init__(self, venv: _SB3VecEnv, weight: float = 0.1) -> None:
        super().__init__(venv)
        self.weight = real(weight, "weight")
        self._balance = np.zeros(self.num_envs, np.float32)

    def reset(self) -> VecEnvObs:
        observations = self.venv.reset()
        # The games' own reset infos: a wrapper between keeps a list of its own, empty.
        self._balance = _balances(observations, self.venv.unwrapped.reset_infos)
        return observations

    def step_wait(self) -> VecEnvStepReturn:
        observations, rewards, dones, infos = self.venv.step_wait()
        after = _balances(observations, infos)
        ended = np.flatnonzero(dones).tolist()
        for game in ended:
            # The game's row is the next game's first observation; its last is in the info.
            after[game] = _balances(infos[game]["terminal_observation"], [infos[game]])[0]
        shaped = (rewards + self.weight * (after - self._balance)).astype(np.float32)
        self._balance = after
        firsts, reset_infos = np.asarray(observations), self.venv.unwrapped.reset_infos
        for game in ended:
            self._balance[game] = _balances(firsts[game], [reset_infos[game]])[0]
        return observations, shaped, dones, infos


def _balances(observations: Any, infos: Sequence[dict[str, Any]]) -> npt.NDArray[np.float32]:
    """Each observation's material balance for its game's agent (white without an opponent)."""
    own_to_move = [int(info["side"]) == int(info.get("agent_side", 0)) for info in infos]
    return material_balance(observations, own_to_move)
