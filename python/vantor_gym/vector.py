"""Many chess games as one Gymnasium vector environment, stepped by a BatchEnv."""

from __future__ import annotations

from collections.abc import Sequence
from contextlib import ExitStack
from typing import Any

import numpy as np
import numpy.typing as npt
from gymnasium import spaces
from gymnasium.utils import seeding
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space

import vantor
from vantor_gym import _observations
from vantor_gym._numbers import INT32_MAX, action_array, flag, integer, is_integer
from vantor_gym.batch import ACTIONS, PLANES, BatchEnv
from vantor_gym.compact import COMPACT_WORDS, MOVE_COUNT, PIECE_WORDS
from vantor_gym.env import (AGENT_SIDES, ILLEGAL_ACTION_MODES, ActionSpace, Turns, _opponent_action, check_opponent,
                             one_at_a_time, option_fen)
from vantor_gym.fen import read_start
from vantor_gym.match import Agent
from vantor_gym.chess960 import chess960_option
from vantor_gym.notation import action_to_uci, fen
from vantor_gym.render import LastMoves, board_image, move_squares
from vantor_gym.rules import rules_of
from vantor_gym.uci import UciEngine

__all__ = ["VantorVectorEnv", "autoreset_mode_of"]

_UINT64_MAX = np.iinfo(np.uint64).max
_COLOURS = ("white", "black")
# The step count is int32 value 17 of a compact row: the high half of word 104.
_STEP_WORD = PIECE_WORDS + MOVE_COUNT // 2
_STEP_SHIFT = np.uint64(32 * (MOVE_COUNT % 2))
_STEP_KEEP = np.uint64(0xFFFFFFFF << (32 - 32 * (MOVE_COUNT % 2)))
# Specs whose players draw from a seed: a seeded reset makes them afresh, as VantorEnv does.
_SEEDED_SPECS = ("search",)


def autoreset_mode_of(mode: object) -> AutoresetMode:
    """An ``AutoresetMode``, its value (``"NextStep"``) or its name in lower case (``"next_step"``)."""
    if isinstance(mode, AutoresetMode):
        return mode
    for known in AutoresetMode:
        if isinstance(mode, str) and mode in (known.value, known.name.lower()):
            return known
    names = ", ".join(repr(known.name.lower()) for known in AutoresetMode)
    raise ValueError(f"autoreset_mode must be an AutoresetMode or one of {names}, not {mode!r}")


class _Rows:
    """One row per game of what a step or reset gives, filled in by its parts: the
    agents' moves, the opponent's replies, the games started anew. Rewards are white's;
    endings are ``BatchEnv``'s codes (0 while a game goes on)."""

    def __init__(self, obs: np.ndarray, rewards: np.ndarray, terminated: np.ndarray, truncated: np.ndarray,
                 masks: np.ndarray, side: np.ndarray, illegal: np.ndarray, ending: np.ndarray) -> None:
        self.obs, self.rewards, self.terminated, self.truncated = obs, rewards, terminated, truncated
        self.masks, self.side, self.illegal, self.ending = masks, side, illegal, ending

    @classmethod
    def empty(cls, batch: BatchEnv) -> _Rows:
        n = batch.num_envs
        row = (COMPACT_WORDS,) if batch.compact else (PLANES, 8, 8)
        return cls(np.empty((n, *row), batch.dtype), np.zeros(n, np.int8), np.zeros(n, bool), np.zeros(n, bool),
                   np.empty((n, ACTIONS), bool), np.empty(n, np.int8), np.zeros(n, bool), np.zeros(n, np.int8))

    @classmethod
    def started(cls, obs: np.ndarray, info: dict[str, np.ndarray]) -> _Rows:
        """The rows of a reset of every game: nothing ended."""
        n = len(obs)
        return cls(obs, np.zeros(n, np.int8), np.zeros(n, bool), np.zeros(n, bool), info["action_mask"],
                   info["side"], np.zeros(n, bool), np.zeros(n, np.int8))

    @classmethod
    def stepped(cls, result: tuple[Any, ...]) -> _Rows:
        """The rows of a ``BatchEnv.step`` of every game."""
        obs, rewards, terminated, truncated, info = result
        return cls(obs, rewards, terminated, truncated, info["action_mask"], info["side"], info["illegal"],
                   info["ending"])

    def put(self, games: np.ndarray, result: tuple[Any, ...]) -> None:
        """Rows ``games`` from a ``BatchEnv.step`` result."""
        obs, rewards, terminated, truncated, info = result
        self.obs[games], self.rewards[games] = obs, rewards
        self.terminated[games], self.truncated[games] = terminated, truncated
        self.masks[games], self.side[games], self.illegal[games] = info["action_mask"], info["side"], info["illegal"]
        self.ending[games] = info["ending"]


class VantorVectorEnv(VectorEnv[np.ndarray, np.ndarray, np.ndarray]):
    """``num_envs`` independent games, each a ``VantorEnv`` game, stepped together in C++
    on ``workers`` threads (all cores by default) with the GIL released. Observations,
    rewards, ends and infos are what ``gymnasium.vector.SyncVectorEnv`` over ``VantorEnv``
    games made with the same options gives (the rewards as ``int64``).

    - ``autoreset_mode`` (an ``AutoresetMode``, ``"next_step"``, ``"same_step"`` or
      ``"disabled"``): next-step (the default) restarts a finished game on the next
      ``step``, which ignores its action and returns the new game's first observation with
      reward 0; same-step restarts it within the step that ended it, the end's
      observation and info in ``infos["final_obs"]`` and ``infos["final_info"]``;
      disabled leaves it ended, and stepping on raises ``ValueError`` until
      ``reset(options={"reset_mask": mask})`` restarts the games ``mask`` names.
    - Actions must be integers, one per game; a batch with an illegal action under
      ``illegal_action="raise"`` raises ``ValueError`` and changes no game.
    - Infos: ``action_mask`` ``int8`` (num_envs, 4672), ``side`` (the sides to move) and,
      with an opponent, ``agent_side``, both ``int64``, ``illegal_action`` ``bool``, each
      with its ``_key`` mask; ``legal_actions=True`` adds each game's list of legal
      actions (an object array); ``ending`` ``int8``, 0 but in a step that ended a game:
      there the code of why (``vantor_gym.rules.ending_name`` names it), as ``BatchEnv``
      gives it. ``action_masks()`` gives the current masks as ``bool``.
    - ``opponent`` (a player spec as ``VantorEnv`` takes it, a ``(state, mask) -> action``
      callable or a ``UciEngine``) plays the side ``agent_side`` does not (``"random"``:
      drawn per game and episode), its moves made inside ``step`` and ``reset``; rewards
      are then the agent's. The ``"random"`` opponent draws for all games at once from
      ``np_random``; ``set_opponent(other)`` replaces it between steps, and ``agent_sides``
      tells each game's side. It plays under ``rules``, as ``VantorEnv``'s does (a UCI
      engine is refused under ``"module"``). Without an opponent the actions move both sides and rewards
      are white's.
    - Observations are seen from the side to move (``observation="module"`` keeps
      ``vantor.Vantor``'s planes), in ``dtype`` (``int32`` or ``float32``), flat with
      ``flatten=True``, divided by the planes' bounds into 0..1 with ``scale=True``
      (``float32``; not with ``step_plane="module"``); plane 113 is what ``step_plane``
      says (each game's plies since its start by default). ``rules`` (``"standard"``,
      ``"automatic"`` or ``"module"``, ``vantor_gym.rules``) are the games' rules, start
      FENs read under them. With ``start_fens`` each game, at every start, begins from one
      of them drawn by its own generator in the batch, which every ``reset`` seeds from
      ``np_random``. ``compact=True`` gives each observation as 108 ``uint64`` words
      instead (see ``vantor_gym.compact``; ``vantor_gym.expand_observations`` makes the planes).
    - ``chess960=True`` plays Chess960 (``vantor_gym.chess960``), each game's start drawn
      as ``start_fens`` are (a start number plays that start), and every info holds
      ``chess960_start`` (``int64``), each game's start number. No opponent plays it yet.
    - ``gymnasium.make_vec("vantor_gym/Chess-v0", num_envs=n, ...)`` makes this class,
      with the keyword arguments of ``gymnasium.make`` and ``autoreset_mode``.
    - Calls from several threads take turns; a ``step``, ``reset``, ``set_opponent`` or
      ``close`` from inside the opponent's own move raises ``RuntimeError``.
    """

    metadata: dict[str, Any] = {"autoreset_mode": AutoresetMode.NEXT_STEP, "render_modes": ["rgb_array"]}

    def __init__(
        self,
        num_envs: int,
        max_plies: int | None = None,
        illegal_action: str = "lose",
        workers: int | None = None,
        render_mode: str | None = None,
        start_fens: Sequence[str] | None = None,
        observation: str = "side_to_move",
        compact: bool = False,
        *,
        autoreset_mode: AutoresetMode | str = AutoresetMode.NEXT_STEP,
        opponent: str | Agent | None = None,
        agent_side: str = "white",
        step_plane: str | None = None,
        dtype: npt.DTypeLike | None = None,
        legal_actions: bool = False,
        flatten: bool = False,
        scale: bool = False,
        rules: str = "standard",
        chess960: bool | int = False,
    ) -> None:
        rules = rules_of(rules)
        chess960 = chess960_option(chess960)
        if chess960 is not False and opponent is not None:
            raise ValueError("chess960 games are played without an opponent here: the opponents play standard chess")
        modes = type(self).metadata["render_modes"]
        if render_mode is not None and render_mode not in modes:
            raise ValueError(f"render_mode must be one of {modes} or None, not {render_mode!r}")
        if illegal_action not in ILLEGAL_ACTION_MODES:
            raise ValueError(f"illegal_action must be one of {ILLEGAL_ACTION_MODES}, not {illegal_action!r}")
        if max_plies is not None:
            max_plies = integer(max_plies, "max_plies", 1, INT32_MAX)
        mode = autoreset_mode_of(autoreset_mode)
        if agent_side not in AGENT_SIDES:
            raise ValueError(f"agent_side must be one of {AGENT_SIDES}, not {agent_side!r}")
        if opponent is None and agent_side != "white":
            raise ValueError(f"agent_side={agent_side!r} needs an opponent: without one the agent moves both sides")
        check_opponent(opponent, rules)
        legal_actions = flag(legal_actions, "legal_actions")
        flatten = flag(flatten, "flatten")
        scale = flag(scale, "scale")
        self.step_plane = _observations.step_plane_of(step_plane, observation)
        chosen = _observations.dtype_of(dtype, scale)
        if scale and compact:
            raise ValueError("scale=True divides the planes, and compact rows are words: expand them first")
        self._scale = _observations.PlaneScale(self.step_plane, max_plies, rules) if scale else None
        # Native next-step autoreset costs one call a step; the other modes start games here.
        self._native_autoreset = mode is AutoresetMode.NEXT_STEP and opponent is None
        self.batch = BatchEnv(num_envs, threads=workers, max_plies=max_plies, illegal=illegal_action,
                              autoreset="next_step" if self._native_autoreset else "disabled",
                              start_fens=start_fens, observation=observation, compact=compact, dtype=chosen,
                              rules=rules, chess960=chess960)
        self._turns = Turns()  # after the batch, so that a copy is refused naming the batch
        self._stack = ExitStack()  # engines started for a spec are the env's to close
        self._spec = opponent if isinstance(opponent, str) else None
        try:
            self._player = _player_of(opponent, self._stack, rules)
        except BaseException:
            self.batch.close()
            self._stack.close()
            raise
        self.num_envs = num_envs
        self.autoreset_mode = mode
        self.metadata = {**type(self).metadata, "autoreset_mode": mode}
        self.render_mode = render_mode
        self.illegal_action = illegal_action
        self.opponent = opponent
        self.agent_side = agent_side
        self.legal_actions = legal_actions
        self.flatten = flatten
        self.scale = scale
        self.rules = rules
        self.last_moves = LastMoves(num_envs)
        space = _observations.observation_space(self.step_plane, max_plies, chosen, rules)
        if compact:
            space = spaces.Box(0, _UINT64_MAX, shape=(COMPACT_WORDS,), dtype=np.uint64)
        elif self.flatten:
            space = spaces.Box(space.low.reshape(-1), space.high.reshape(-1), dtype=chosen.type)
        if scale:
            space = _observations.scaled_space(space.shape)
        self.single_observation_space = space
        self.single_action_space = ActionSpace(ACTIONS)
        self.observation_space = batch_space(self.single_observation_space, num_envs)
        self.action_space = batch_space(self.single_action_space, num_envs)
        self._masks: np.ndarray | None = None
        self._obs: np.ndarray | None = None  # the last observations, for resets of some games
        self._ended = np.zeros(num_envs, bool)  # ended on the last step, not started since
        self._everyone = np.ones(num_envs, bool)
        self._stalled = False  # the opponent failed: nothing goes on before a reset
        # Games whose start ended with the opponent's first move: their next step returns
        # that end, as VantorEnv's does: white's reward, terminated, truncated, illegal,
        # the observation and side, which no move changes, and the ending's code.
        self._pending: dict[int, tuple[int, bool, bool, bool, np.ndarray, int, int]] = {}
        self._sides = np.full(num_envs, 1 if agent_side == "black" else 0, np.int64)
        self._game_random: list[np.random.Generator | None] = [None] * num_envs
        # Each game's start and moves for a UCI opponent; None where the game began before
        # the engine became the opponent: it is sent that game's positions alone.
        self._uci_starts: list[str | None] = [None] * num_envs
        self._uci_moves: list[list[str] | None] = [None] * num_envs

    # Resetting

    @one_at_a_time()
    def reset(
        self, *, seed: int | list[int | None] | None = None, options: dict[str, Any] | None = None
    ) -> tuple[np.ndarray, dict[str, Any]]:
        """Starts every game; ``options={"fen": text}`` starts each from that position
        (refused as ``BatchEnv.reset`` refuses it, before any game starts), and
        ``{"fens": [text or None, ...]}`` (one per game) each from its own, None keeping
        a game's usual start; with ``"reset_mask"`` (a ``bool`` array, one per game;
        disabled autoreset only) just those games start, the others keeping their
        observations and giving no info row. Any other key raises ``ValueError``.
        ``seed`` (an int, or one int or None per game) seeds ``np_random`` (an int also
        the action space), and through it the starts drawn from ``start_fens``; game
        ``i``'s sides for ``agent_side="random"`` come from its own generator, seeded with
        ``seed + i`` (or ``seed[i]``) as ``SyncVectorEnv`` seeds its games, so that they
        are the sides that vector env's games draw."""
        self._open()
        fens = self._reset_fens(options)
        mask = self._reset_mask(options)
        seeds = self._seeds(seed)
        games = np.arange(self.num_envs) if mask is None else np.flatnonzero(mask)
        if seeds is not None:
            if is_integer(seed):
                super().reset(seed=seeds[0])
                self.action_space.seed(seeds[0])
            elif None not in seeds:
                entropy = [s for s in seeds if s is not None]
                self.np_random = np.random.Generator(np.random.PCG64(np.random.SeedSequence(entropy)))
            if self._spec is not None and self._spec.partition(":")[0] in _SEEDED_SPECS and None not in seeds:
                from vantor_gym.players import make_player

                self._player = make_player(self._spec, self._stack, seed=int(self.np_random.integers(2**63)),
                                           rules=self.rules)
        from_fen = np.zeros(self.num_envs, bool)
        if fens is not None:
            from_fen[[game for game, text in enumerate(fens) if text is not None]] = True
        # Each game's start is drawn by its generator in the batch, seeded from np_random.
        drawn, given = games[~from_fen[games]], games[from_fen[games]]
        texts = [text for text in (fens[game] for game in given.tolist()) if text is not None] if fens else []
        reseed = int(self.np_random.integers(2**63)) if self._drawing and len(drawn) else None
        n = self.num_envs
        if mask is None and (fens is None or len(given) == n):
            rows = _Rows.started(*self.batch.reset(fens=texts or None, seed=reseed))
        else:
            if mask is None:
                rows = _Rows.empty(self.batch)
            else:
                assert self._obs is not None and self._masks is not None
                rows = _Rows(self._obs.copy(), np.zeros(n, np.int8), self._ended.copy(), self._ended.copy(),
                             self._masks.copy(), np.zeros(n, np.int8), np.zeros(n, bool), np.zeros(n, np.int8))
            if len(given):
                self._put_start(rows, given, *self.batch.reset(indices=given, fens=texts))
            if len(drawn):
                self._put_start(rows, drawn, *self.batch.reset(indices=drawn, seed=reseed))
        if mask is None:
            self.last_moves.reset()
        self._stalled = False
        self._started(games, rows, seeds, from_fen)
        self._ended[games] = False
        self._masks = rows.masks
        if self.autoreset_mode is AutoresetMode.DISABLED:
            self._obs = rows.obs.copy()
        return self._shown(rows.obs), self._infos(rows, None if mask is None else games)

    def _reset_fens(self, options: dict[str, Any] | None) -> list[str | None] | None:
        """Each game's FEN by the options (None where it starts as usual), or None for no
        FEN at all; every text is read here, before anything changes."""
        text = option_fen(options, also=("reset_mask", "fens"))
        given = (options or {}).get("fens")
        if given is None:
            if text is None:
                return None
            read_start(text, self.rules, self.batch.chess960 is not False)
            return [text] * self.num_envs
        if text is not None:
            raise ValueError("options take 'fen' (every game's) or 'fens' (one per game), not both")
        if not isinstance(given, (list, tuple)) or len(given) != self.num_envs:
            raise ValueError(f"options['fens'] must be a list of one FEN or None per game ({self.num_envs})")
        for k, each in enumerate(given):
            if each is not None and not isinstance(each, str):
                raise TypeError(f"options['fens'][{k}] must be a str or None, not {type(each).__name__}")
            if each is not None:
                read_start(each, self.rules, self.batch.chess960 is not False)
        return None if all(each is None for each in given) else list(given)

    def _reset_mask(self, options: dict[str, Any] | None) -> np.ndarray | None:
        if not options or "reset_mask" not in options:
            return None
        mask = options["reset_mask"]
        if not isinstance(mask, np.ndarray) or mask.dtype != np.bool_ or mask.shape != (self.num_envs,):
            raise ValueError(f"options['reset_mask'] must be a bool array of shape ({self.num_envs},)")
        if not mask.any():
            raise ValueError("options['reset_mask'] must name at least one game")
        if self.autoreset_mode is not AutoresetMode.DISABLED:
            raise ValueError("options['reset_mask'] is for autoreset_mode='disabled': the other modes restart "
                             "ended games themselves")
        if self._obs is None or self._stalled:
            raise RuntimeError("call reset without a reset_mask first")
        return mask.copy()

    def _seeds(self, seed: object) -> list[int | None] | None:
        if seed is None:
            return None
        if is_integer(seed):
            first = integer(seed, "seed", 0)
            return [first + game for game in range(self.num_envs)]
        if not isinstance(seed, (list, tuple)):
            raise TypeError(f"seed must be an int, a list of one int or None per game, or None, not "
                            f"{type(seed).__name__}")
        if len(seed) != self.num_envs:
            raise ValueError(f"seed must hold one seed per game: {self.num_envs}, not {len(seed)}")
        return [None if s is None else integer(s, "seed", 0) for s in seed]

    def _put_start(self, rows: _Rows, games: np.ndarray, obs: np.ndarray, info: dict[str, np.ndarray]) -> None:
        rows.obs[games], rows.masks[games], rows.side[games] = obs, info["action_mask"], info["side"]
        rows.rewards[games] = rows.ending[games] = 0
        rows.terminated[games] = rows.truncated[games] = rows.illegal[games] = False

    def _start(self, games: np.ndarray, rows: _Rows) -> None:
        """Starts ``games`` anew (an autoreset) into their rows."""
        obs, info = self.batch.reset(indices=games)
        self._put_start(rows, games, obs, info)
        self._started(games, rows, None, None)

    def _started(self, games: np.ndarray, rows: _Rows, seeds: list[int | None] | None,
                 from_fen: np.ndarray | None) -> None:
        """What follows the start of ``games``: the episode's draws, the opponent's first
        moves, the step plane."""
        if self.render_mode is not None:
            for game in games.tolist():
                self.last_moves.moves[game] = None
        for game in games.tolist():
            self._pending.pop(game, None)
        if self.opponent is not None:
            self._draw(games, seeds, from_fen)
            if isinstance(self._player, UciEngine):
                try:
                    self._player.new_game()
                except BaseException:
                    self._stalled = True  # the games started without their episodes with the engine
                    raise
                for game in games.tolist():
                    self._uci_starts[game] = fen((self.batch, game))
                    self._uci_moves[game] = []
            self._reply(games, rows)
            over = games[rows.terminated[games] | rows.truncated[games]]
            for game in over.tolist():
                self._pending[game] = (int(rows.rewards[game]), bool(rows.terminated[game]),
                                       bool(rows.truncated[game]), bool(rows.illegal[game]), rows.obs[game].copy(),
                                       int(rows.side[game]), int(rows.ending[game]))
            rows.terminated[over] = rows.truncated[over] = False
            rows.ending[over] = 0
        self._set_step_plane(rows, games)

    def _draw(self, games: np.ndarray, seeds: list[int | None] | None, from_fen: np.ndarray | None) -> None:
        """Makes each game's draws of a ``VantorEnv`` reset from its own generator: the
        start (which the batch draws itself, but not for a game started from a FEN,
        ``from_fen[game]``), the side, and a seeded opponent's seed."""
        if self.agent_side != "random":
            return
        drawing = self._drawing
        remade = self._spec is not None and self._spec.partition(":")[0] in ("random", *_SEEDED_SPECS)
        for game in games.tolist():
            seed = None if seeds is None else seeds[game]
            if seed is not None:
                self._game_random[game] = seeding.np_random(seed)[0]
            generator = self._game_random[game]
            if generator is None:
                generator = self._game_random[game] = seeding.np_random()[0]
            if drawing and (from_fen is None or not from_fen[game]):
                generator.integers(2**63)
            self._sides[game] = int(generator.integers(2))
            if remade and seed is not None:
                generator.integers(2**63)

    # Stepping

    @one_at_a_time()
    def step(self, actions: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        """Steps every game (and the opponents' replies); returns ``(observations, rewards,
        terminations, truncations, infos)``."""
        self._open()
        if self._masks is None:
            raise RuntimeError("call reset before step")
        if self._native_autoreset:
            return self._step_native(actions)
        array = self._actions(actions)
        if self._stalled:
            raise RuntimeError("the opponent failed to move: call reset before step")
        mode = self.autoreset_mode
        if mode is AutoresetMode.DISABLED and self._ended.any():
            raise ValueError(f"games {np.flatnonzero(self._ended).tolist()} are over: restart them with "
                             "reset(options={'reset_mask': mask}) before stepping on")
        restarted = self._ended if mode is AutoresetMode.NEXT_STEP else np.zeros(self.num_envs, bool)
        rows = self._step_games(array, restarted)
        rewards = rows.rewards.astype(np.int64)
        if self.opponent is not None:
            rewards[self._sides == 1] *= -1  # the sides of the episodes that gave these rewards
        terminated, truncated = rows.terminated, rows.truncated
        ended = terminated | truncated
        self._set_step_plane(rows, None)
        infos: dict[str, Any] = {}
        if mode is AutoresetMode.SAME_STEP and ended.any():
            over = np.flatnonzero(ended)
            infos = self._final(over, rows)
            terminated, truncated = terminated.copy(), truncated.copy()  # the new games' rows are cleared
            self._start(over, rows)
            ended = np.zeros(self.num_envs, bool)
        if restarted.any():
            self._start(np.flatnonzero(restarted), rows)
        self._ended = ended
        self._masks = rows.masks
        if mode is AutoresetMode.DISABLED:
            self._obs = rows.obs.copy()
        infos.update(self._infos(rows, None))
        return self._shown(rows.obs), rewards, terminated, truncated, infos

    def _step_native(self, actions: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, dict[str, Any]]:
        """Next-step autoreset without an opponent: one call to the batch, which checks the
        actions and restarts the games that ended on the step before."""
        rows = _Rows.stepped(self.batch.step(actions))
        obs, terminated, truncated = rows.obs, rows.terminated, rows.truncated
        if self.render_mode is not None:
            self._moved(np.arange(self.num_envs), np.asarray(actions, np.int64), rows.side, rows.illegal, None)
            for game in np.flatnonzero(self._ended).tolist():
                self.last_moves.moves[game] = None
        self._ended = terminated | truncated
        self._masks = rows.masks
        if self.step_plane != "module":
            self._write_step_plane(obs, self.batch.plies())
        return self._shown(obs), rows.rewards.astype(np.int64), terminated, truncated, self._infos(rows, None)

    def _actions(self, actions: Any) -> np.ndarray:
        return action_array(actions, self.num_envs, copy=True)

    def _step_all(self, actions: np.ndarray) -> _Rows:
        before = self._uci_before(None)
        rows = _Rows.stepped(self.batch.step(actions))
        self._moved(np.arange(self.num_envs), actions, rows.side, rows.illegal, before)
        return rows

    def _step_games(self, actions: np.ndarray, restarted: np.ndarray) -> _Rows:
        """The agents' moves in the games that move (not those restarting, which start
        after, so that a refused illegal action changes no game, nor those whose end is
        pending), then the opponent's replies."""
        waiting = restarted.copy()
        waiting[list(self._pending)] = True
        if not waiting.any():
            rows = self._step_all(actions)
            if self.opponent is not None:
                self._reply(np.arange(self.num_envs), rows)
            return rows
        rows = _Rows.empty(self.batch)
        moving = np.flatnonzero(~waiting)
        if len(moving):
            before = self._uci_before(moving)
            rows.put(moving, self.batch.step(actions[moving], indices=moving))
            self._moved(moving, actions[moving], rows.side[moving], rows.illegal[moving], before)
            if self.opponent is not None:
                self._reply(moving, rows)
        assert self._masks is not None
        for game in list(self._pending):
            (rows.rewards[game], rows.terminated[game], rows.truncated[game], rows.illegal[game], rows.obs[game],
             rows.side[game], rows.ending[game]) = self._pending.pop(game)
            rows.masks[game] = self._masks[game]
        return rows

    def _uci_before(self, games: np.ndarray | None) -> list[vantor.State] | None:
        if not isinstance(self._player, UciEngine):
            return None
        chosen = range(self.num_envs) if games is None else games.tolist()
        return [self.batch.save_state(game) for game in chosen]

    def _moved(self, games: np.ndarray, actions: np.ndarray, side: np.ndarray, illegal: np.ndarray,
               before: list[vantor.State] | None) -> None:
        """Keeps what the moves made in ``games`` mean for pictures and for a UCI opponent."""
        if self.render_mode is None and before is None:
            return
        for k, (game, action, moved, refused) in enumerate(zip(games.tolist(), actions.tolist(), side.tolist(),
                                                             illegal.tolist())):
            if refused:
                continue
            if self.render_mode is not None:
                self.last_moves.moves[game] = move_squares(action, 1 - moved)
            moves = self._uci_moves[game]
            if before is not None and moves is not None:
                moves.append(action_to_uci(before[k], action))

    def _reply(self, games: np.ndarray, rows: _Rows) -> None:
        """The opponent's move in each of ``games`` still going with the opponent to move."""
        going = ~(rows.terminated[games] | rows.truncated[games]) & (rows.side[games] != self._sides[games])
        if not going.any():
            return
        games = games[going]
        masks = rows.masks[games]
        try:
            if self._player is None:
                actions = self._random_actions(masks)
            else:
                actions = np.array([self._opponent_action(game, mask) for game, mask in zip(games.tolist(), masks)],
                                   dtype=np.int64)
        except BaseException:
            # The agents' moves stand with the opponent to move: the next actions must not
            # be taken for its moves, nor this step's ends go unseen.
            self._stalled = True
            raise
        before = self._uci_before(games)
        if len(games) == self.num_envs:  # every game, in order: the batch's rows are the rows
            obs, rows.rewards, rows.terminated, rows.truncated, info = self.batch.step(actions)
            rows.obs, rows.masks, rows.side, rows.illegal = obs, info["action_mask"], info["side"], info["illegal"]
            rows.ending = info["ending"]
        else:
            rows.put(games, self.batch.step(actions, indices=games))
        self._moved(games, actions, rows.side[games], rows.illegal[games], before)

    def _random_actions(self, masks: np.ndarray) -> np.ndarray:
        """A uniform draw among each row's legal actions, all rows at once."""
        counts = masks.sum(axis=1)
        picks = self.np_random.integers(counts)
        firsts = np.cumsum(counts) - counts
        actions: np.ndarray = np.flatnonzero(masks)[firsts + picks] - np.arange(len(masks)) * ACTIONS
        return actions

    def _opponent_action(self, game: int, mask: np.ndarray) -> int:
        player = self._player
        state = self.batch.save_state(game)
        side = int(state.side)
        if isinstance(player, UciEngine):
            choice: Any = player.best_action(state, start_fen=self._uci_starts[game], moves=self._uci_moves[game])
        else:
            shown = mask.copy()
            shown.flags.writeable = False
            choice = player(state, shown)  # type: ignore[misc]
        action = _opponent_action(choice, side)
        if 0 <= action < ACTIONS and mask[action]:
            return action
        if self.illegal_action == "raise":
            raise ValueError(f"game {game}: the opponent, playing {_COLOURS[side]}, gave action {action}, "
                             "which is not legal")
        return -1  # not legal, and unlike some integers it fits int64

    def _final(self, games: np.ndarray, rows: _Rows) -> dict[str, Any]:
        """``final_obs`` and ``final_info`` of the games that ended, as ``SyncVectorEnv``
        gives them under same-step autoreset."""
        final_obs = np.full(self.num_envs, None, dtype=object)
        for game in games.tolist():
            final_obs[game] = self._shown(rows.obs[game : game + 1].copy())[0]
        present = np.zeros(self.num_envs, bool)
        present[games] = True
        return {"final_obs": final_obs, "_final_obs": present, "final_info": self._infos(rows, games),
                "_final_info": present.copy()}

    def _set_step_plane(self, rows: _Rows, games: np.ndarray | None) -> None:
        """Writes the step plane of ``games`` (all by default) as ``step_plane`` says."""
        if self.step_plane == "module":
            return
        plies = self.batch.plies()
        if games is None:
            self._write_step_plane(rows.obs, plies)
        else:
            chosen = rows.obs[games]
            self._write_step_plane(chosen, plies[games])
            rows.obs[games] = chosen

    def _write_step_plane(self, obs: np.ndarray, plies: np.ndarray) -> None:
        if not self.batch.compact:
            _observations.set_step_plane(obs, self.step_plane, plies)
            return
        kept = obs[:, _STEP_WORD] & _STEP_KEEP
        count = plies.astype(np.uint64) << _STEP_SHIFT if self.step_plane == "plies" else np.uint64(0)
        obs[:, _STEP_WORD] = kept | count

    def _shown(self, obs: np.ndarray) -> np.ndarray:
        """The observations as returned: scaled in place (so each array once), flat when asked."""
        if self._scale is not None:
            self._scale(obs)
        return np.reshape(obs, (len(obs), -1)) if self.flatten else obs

    @property
    def _drawing(self) -> bool:
        """Whether a game's start is drawn (from ``start_fens`` or the Chess960 starts)."""
        return bool(self.batch.start_fens) or self.batch.chess960 is True

    def _infos(self, rows: _Rows, games: np.ndarray | None) -> dict[str, Any]:
        """The infos of ``games`` (all by default) as ``SyncVectorEnv`` gathers them: a
        row per game, zero where a game gave none, and a ``_key`` mask of those that did."""
        values: dict[str, np.ndarray] = {
            "action_mask": rows.masks.astype(np.int8), "side": rows.side.astype(np.int64),
            "illegal_action": rows.illegal.copy()}
        if self.opponent is not None:
            values["agent_side"] = self._sides.copy()
        if self.legal_actions:
            values["legal_actions"] = _legal_lists(rows.masks)
        values["ending"] = rows.ending.copy()
        if self.batch.chess960 is not False:
            values["chess960_start"] = self.batch.start_numbers().astype(np.int64)
        present = self._everyone
        if games is not None:
            present = np.zeros(self.num_envs, bool)
            present[games] = True
            for value in values.values():
                value[~present] = None if value.dtype == object else 0
        infos: dict[str, Any] = {}
        for key, value in values.items():
            infos[key], infos[f"_{key}"] = value, present.copy()
        return infos

    # The rest

    @one_at_a_time(reader=True)
    def render(self) -> tuple[np.ndarray, ...] | None:
        """``"rgb_array"``: one (256, 256, 3) ``uint8`` picture per game, as Gymnasium's vector
        environments give them, each with its game's last move tinted; no mode: None."""
        if self.render_mode != "rgb_array":
            return None
        moves = self.last_moves.moves
        return tuple(board_image(self.batch.save_state(game), moves[game]) for game in range(self.num_envs))

    @one_at_a_time(reader=True)
    def action_masks(self) -> np.ndarray:
        """The legal actions of every game's current position, ``bool`` (num_envs, 4672)."""
        if self._masks is None:
            raise RuntimeError("call reset before action_masks")
        return self._masks.copy()

    @property
    def agent_sides(self) -> np.ndarray:
        """The agent's side in each game's episode, a new ``int64`` array (0 white, 1 black),
        as ``infos["agent_side"]`` tells it; all 0 without an opponent."""
        return self._sides.copy()

    @one_at_a_time()
    def set_opponent(self, opponent: str | Agent) -> None:
        """Makes ``opponent`` (as the constructor takes it) play the opponent's moves from
        the next one on, in every game; only an environment made with an opponent takes
        another, and not None (the actions would then move both sides). An engine started
        for the former spec is closed; a UCI engine is sent the games begun before it as
        their positions alone, and those it sees start as their start and moves."""
        self._open()
        if opponent is None or self.opponent is None:
            raise ValueError("only an environment made with an opponent takes another, and not None")
        check_opponent(opponent, self.rules)
        stack = ExitStack()
        try:
            player = _player_of(opponent, stack, self.rules)
        except BaseException:
            stack.close()
            raise
        former, self._stack = self._stack, stack
        self._player, self.opponent = player, opponent
        self._spec = opponent if isinstance(opponent, str) else None
        self._uci_starts = [None] * self.num_envs
        self._uci_moves = [None] * self.num_envs
        former.close()

    def _open(self) -> None:
        if self.closed or self.batch.closed:
            raise RuntimeError("the environment is closed")

    @one_at_a_time()
    def close_extras(self, /, **kwargs: Any) -> None:
        """Closes the engines started for the opponent, then the games."""
        try:
            self._stack.close()
        finally:
            self.batch.close()


def _player_of(opponent: str | Agent | None, stack: ExitStack, rules: str) -> Agent | None:
    """The player of an opponent: None for none and for ``"random"`` (drawn for all games at
    once from ``np_random``), a spec's player made under ``rules`` (its engines closed with
    ``stack``), or the agent given."""
    if not isinstance(opponent, str):
        return opponent
    if opponent == "random":
        return None
    from vantor_gym.players import make_player

    return make_player(opponent, stack, rules=rules)


def _legal_lists(masks: np.ndarray) -> np.ndarray:
    lists = np.empty(len(masks), dtype=object)
    for k, mask in enumerate(masks):
        lists[k] = np.flatnonzero(mask).tolist()
    return lists
