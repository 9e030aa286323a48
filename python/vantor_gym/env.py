"""One chess game as a Gymnasium environment."""

from __future__ import annotations

import functools
import operator
import threading
from collections.abc import Callable, Mapping
from contextlib import ExitStack
from typing import Any, Concatenate, ParamSpec, TypeVar

import gymnasium
import numpy as np
import numpy.typing as npt
from gymnasium import spaces

import vantor
from vantor_gym import _native, notation
from vantor_gym._native import GameOver, IllegalAction
from vantor_gym._numbers import INT32_MAX, flag, integer
from vantor_gym._observations import (STEP_PLANE, PlaneScale, dtype_of, observation_space, scaled_space,
                                      step_plane_of)
from vantor_gym.chess960 import chess960_option
from vantor_gym.game import GOES_ON, TERMINATED, TRUNCATED, Game
from vantor_gym.match import Agent
from vantor_gym.render import PICTURE_MODES, Window, board_image, move_squares
from vantor_gym.rules import ENDINGS, rules_of
from vantor_gym.uci import UciEngine

ACTIONS = 4672
"""The size of the action space."""
PLANES = 119
"""The number of 8 x 8 planes of an observation."""
ILLEGAL_ACTION_MODES = ("lose", "raise")
"""What ``VantorEnv(illegal_action=...)`` takes: an illegal action loses the game, or
raises ``ValueError``."""
AGENT_SIDES = ("white", "black", "random")
"""The sides the agent can play against an opponent: a fixed colour, or one drawn at each
reset."""
RESET_OPTIONS = ("fen",)
"""The keys ``reset(options=...)`` reads: ``"fen"``, the position to start from."""
_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1
_SHAPE = (PLANES, 8, 8)
_GAME_OVER = "the game is over: call reset before stepping on"
_COLOURS = ("white", "black")
# Shared by every info: NumPy scalars cannot be changed in place.
_SIDES = (np.int64(0), np.int64(1))
# info["ending"] by the game's ending: BatchEnv's int8 codes, a number for TorchRL's info reader.
_ENDING_CODES: dict[str | None, np.int8] = {None: np.int8(0)}
_ENDING_CODES.update((name, np.int8(code)) for code, name in enumerate(ENDINGS, 1))
_INT8 = np.dtype(np.int8)
# Specs whose players draw from a seed, made afresh by each seeded reset so that it repeats.
_SEEDED_SPECS = ("random", "search")
P = ParamSpec("P")
R = TypeVar("R")


class Turns:
    """Who holds an environment: calls from several threads take turns, and a call made
    from inside one of its own calls (an opponent calling back) is told apart, since
    waiting for the lock there would never end."""

    __slots__ = ("lock", "owner")

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.owner: int | None = None


_Method = Callable[Concatenate[Any, P], R]


def one_at_a_time(*, reader: bool = False) -> Callable[[_Method[P, R]], _Method[P, R]]:
    """The method, run while the environment (its ``_turns``) is held. From inside one of
    the environment's own calls on the same thread a reader runs at once, on what that
    call has made so far, and any other method raises ``RuntimeError``: a step inside a
    step would move the game under the outer one."""

    def wrap(method: _Method[P, R]) -> _Method[P, R]:
        def call(self: Any, /, *args: P.args, **kwargs: P.kwargs) -> R:
            turns: Turns = self._turns
            me = threading.get_ident()
            if turns.owner == me:
                if reader:
                    return method(self, *args, **kwargs)
                raise RuntimeError(f"{type(self).__name__}.{method.__name__} called from inside the environment's "
                                   "own step or reset (an opponent calling back), which it would upset")
            with turns.lock:
                turns.owner = me
                try:
                    return method(self, *args, **kwargs)
                finally:
                    turns.owner = None

        functools.update_wrapper(call, method)
        return call

    return wrap


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


def option_fen(options: dict[str, Any] | None, ignored: tuple[str, ...] = (), also: tuple[str, ...] = ()) -> str | None:
    """The start FEN of reset options (``{"fen": text}``), or None for the initial position.
    Any other key but the ``ignored`` and the caller's ``also`` raises ``ValueError``: a
    misspelt ``"FEN"`` must not start a game from the wrong position unnoticed."""
    if options is not None and not isinstance(options, Mapping):
        raise TypeError(f"options must be a dict or None, not {type(options).__name__}")
    unknown = sorted(map(repr, set(options or {}) - set(RESET_OPTIONS) - set(ignored) - set(also)))
    if unknown:
        known = ", ".join(map(repr, RESET_OPTIONS + tuple(also)))
        raise ValueError(f"unknown reset options {', '.join(unknown)}: the known keys are {known}")
    fen = (options or {}).get("fen")
    if fen is not None and not isinstance(fen, str):
        raise TypeError(f"fen must be a str, not {type(fen).__name__}")
    return fen


class ActionSpace(spaces.Discrete[np.int64]):
    """``Discrete(n)`` whose ``sample(mask=...)`` draws exactly what Gymnasium's does with
    the same generator, at a fraction of its cost: Gymnasium checks and searches an
    ``int8`` mask with several passes and draws with ``Generator.choice``, which together
    cost more than a chess step. Masks other than an ``int8`` array of shape ``(n,)``
    holding 0 and 1, and ``probability=``, go to Gymnasium's own ``sample`` and its checks."""

    def __init__(self, n: int, seed: int | np.random.Generator | None = None) -> None:
        super().__init__(n, seed=seed)
        self._mask_shape = (int(n),)

    def sample(self, mask: Any = None, probability: Any = None) -> np.int64:
        """An action drawn uniformly, among those ``mask`` allows when given, as Gymnasium's
        ``Discrete.sample`` draws it."""
        if (probability is not None or mask.__class__ is not np.ndarray or mask.dtype is not _INT8
                or mask.shape != self._mask_shape):
            return super().sample(mask, probability)
        if not mask.flags.c_contiguous:
            return super().sample(mask)
        bits = self.np_random.bit_generator
        # One native pass: checks the values, lists the legal actions and draws one exactly
        # as Generator.choice(flatnonzero(mask)) would, under the generator's lock.
        with bits.lock:
            drawn = _native.masked_draw(mask, bits.capsule)
        if drawn == -2:
            return super().sample(mask)  # values other than 0 and 1: Gymnasium's refusal
        return np.int64(int(self.start) + max(drawn, 0))  # nothing legal: the start, as Gymnasium gives


def _opponent_action(choice: Any, side: int) -> int:
    """The integer an opponent returned; a bool or a non-integer is refused, as ``play_match``
    refuses it."""
    try:
        if isinstance(choice, (bool, np.bool_)):
            raise TypeError  # True is no action, not action 1
        return operator.index(choice)
    except TypeError:
        raise TypeError(f"the opponent, playing {_COLOURS[side]}, returned {choice!r}, not an integer action") from None


def check_opponent(opponent: object, rules: str) -> None:
    """Refuses an opponent of the wrong type (``TypeError``) or one that cannot play under
    ``rules`` (``ValueError``): a UCI engine plays chess, not the module's rules, and a
    player that looks ahead under rules of its own must look ahead under these. A spec's
    player is made under ``rules`` by ``make_player``, which refuses the same."""
    if not (opponent is None or isinstance(opponent, (str, UciEngine)) or callable(opponent)):
        raise TypeError(f"opponent must be a player spec (str), a UciEngine or a (state, mask) -> action "
                        f"callable, not {type(opponent).__name__}")
    if isinstance(opponent, UciEngine) and rules == "module":
        raise ValueError(f"{opponent.name!r} is a UCI engine, which plays chess: use rules='standard' or 'automatic', "
                         "not 'module'")
    own = getattr(opponent, "rules", None)
    if not isinstance(opponent, (str, UciEngine)) and isinstance(own, str) and own != rules:
        raise ValueError(f"the opponent plays under {own!r} rules, the environment under {rules!r}: make it with the "
                         "environment's rules")


class VantorEnv(gymnasium.Env[np.ndarray, np.int64]):
    """Chess from the initial position (or one of ``start_fens``, or a FEN given to
    ``reset``), one ply per step; with an ``opponent`` one move of the agent and the
    opponent's reply per step.

    - Actions: ``Discrete(4672)``, the module's action numbers (64 * plane + square); a
      float or any other non-integer action raises ``TypeError``. Its masked ``sample``
      draws what Gymnasium's ``Discrete.sample`` draws, only faster.
    - Observations: arrays of shape (119, 8, 8) (``flatten=True``: (7616,)) of ``dtype``
      (``int32`` or ``float32``), the module's 119 planes with square ``8 * row + column``
      at ``[plane, row, column]`` (row 0 the eighth rank), seen from the side to move:
      turned by 180 degrees whenever black is to move. ``observation="module"`` keeps
      ``vantor.Vantor``'s planes instead, which leave the first observation of a game
      with black to move unturned. Plane 113 (``step_plane``): ``"plies"``, the game's
      steps since its reset (the default); ``"zero"``; ``"module"``, the module's count
      of every step over all episodes (the default with ``observation="module"``). The
      observation space holds each plane's true bounds under ``rules``. ``scale=True``
      gives ``float32`` planes divided by those bounds, all in 0..1 (the space a
      ``Box(0, 1)``), for a policy that takes observations as they come; it needs a
      bounded step plane (``"plies"`` or ``"zero"``).
    - ``info["action_mask"]``: ``int8`` array of 4672 entries, 1 for each legal action;
      ``action_masks()`` gives the current one as ``bool`` (as maskable learners call it,
      through wrappers with ``env.get_wrapper_attr("action_masks")()``);
      ``info["side"]``: the side to move (``np.int64``, 0 white, 1 black);
      ``info["illegal_action"]``: whether the step's action, or the opponent's reply,
      was illegal (a 0-d ``bool`` array); ``info["agent_side"]`` (``np.int64``) with an opponent;
      ``info["legal_actions"]``, the legal action numbers as a list of ints, only with
      ``legal_actions=True``; ``info["ending"]`` (``np.int8``): 0 while the episode goes
      on, and on the step that ends it the code of why, ``BatchEnv``'s, which
      ``vantor_gym.rules.ending_name`` turns into its name (``"checkmate"``,
      ``"fifty_moves"``, ``"max_plies"``, ...). Every array and list returned is new: keep it.
    - ``opponent``: a player spec (``random``, ``mc:N``, ``search:N``, ``baseline[:N]``,
      ``net:PATH[:N]``, ``uci:PATH[:options]``, made by ``vantor_gym.players.make_player``
      and closed by ``close()``), a ``vantor_gym.uci.UciEngine`` or a ``(state, mask) ->
      action`` callable, as ``play_match`` takes them. It plays the other side:
      ``agent_side`` ``"white"``, ``"black"`` or ``"random"`` (drawn at each reset from
      ``np_random``); its moves are made inside ``step``, and inside ``reset`` when it has
      the first move.
    - Reward: with an opponent the agent's, +1 when the agent wins and -1 when it loses;
      without one, one policy moves both sides and the reward is white's: +1 when black is
      checkmated, -1 when white is, 0 otherwise.
    - ``rules``: ``"standard"`` (the default: chess, every claimable draw taken at once),
      ``"automatic"`` (only the draws nobody claims) or ``"module"`` (exactly
      ``vantor.Vantor``'s games); see ``vantor_gym.rules``. Start FENs are read under them.
      The opponent plays under them: a spec's player is made with them, a player with
      rules of its own (``rules``, as the search players have) must have these, and a UCI
      engine, which plays chess, is refused under ``"module"`` (``ValueError``).
    - ``terminated``: the game ended (checkmate, stalemate, a draw of the rules);
      ``truncated``: ``max_plies`` plies (of both sides) were made without an end.
      Stepping on after either raises ``ValueError``: call ``reset``. An end made by the
      opponent's first move, inside ``reset``, is what the first ``step`` returns.
    - ``illegal_action``: ``"lose"`` (the default) ends the episode as a loss for the side
      that tried it, with ``info["illegal_action"]`` True and the board unchanged;
      ``"raise"`` raises ``ValueError`` and changes nothing (an opponent's illegal reply
      raises ``ValueError`` after the agent's move, which stands: call ``reset``).
    - ``reset(seed=n)`` seeds ``np_random`` and ``action_space`` (so
      ``action_space.sample(mask=...)`` repeats too) and the ``random`` and ``search:N``
      opponents; the start drawn from ``start_fens`` (each read once, here, by
      ``vantor_gym.fen.read_start``) and the agent's side are drawn from ``np_random``.
      A seed is a Python or NumPy integer of at least 0 (a bool, a float or a negative
      one raises ``TypeError`` or ``ValueError`` before anything changes).
    - ``pgn()``: the PGN text of the game since the last reset, both sides' moves.
    - ``chess960=True`` plays Chess960 (``vantor_gym.chess960``): each reset draws one of
      the 960 starts from ``np_random`` (a start number plays that start), and every
      info holds ``info["chess960_start"]`` (``np.int64``), the start number. Castling is
      the king's action onto its own rook. No opponent plays it yet.
    - Calls from several threads take turns. An opponent calling back into the env from
      inside its move may read it (``pgn``, ``render``, ``action_masks``); a ``step``,
      ``reset`` or ``close`` from there raises ``RuntimeError``.

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
        *,
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
        if render_mode is not None and render_mode not in self.metadata["render_modes"]:
            raise ValueError(f"render_mode must be one of {self.metadata['render_modes']}, not {render_mode!r}")
        if illegal_action not in ILLEGAL_ACTION_MODES:
            raise ValueError(f"illegal_action must be one of {ILLEGAL_ACTION_MODES}, not {illegal_action!r}")
        if max_plies is not None:
            max_plies = integer(max_plies, "max_plies", 1, INT32_MAX)
        if agent_side not in AGENT_SIDES:
            raise ValueError(f"agent_side must be one of {AGENT_SIDES}, not {agent_side!r}")
        if opponent is None and agent_side != "white":
            raise ValueError(f"agent_side={agent_side!r} needs an opponent: without one the agent moves both sides")
        check_opponent(opponent, rules)
        self._step_plane = step_plane_of(step_plane, observation)
        scale = flag(scale, "scale")
        self._dtype = dtype_of(dtype, scale)
        self._legal_actions = flag(legal_actions, "legal_actions")
        self._flatten = flag(flatten, "flatten")
        self._scale = PlaneScale(self._step_plane, max_plies, rules) if scale else None
        self.render_mode = render_mode
        self.max_plies = max_plies
        self.illegal_action = illegal_action
        self.game = Game(max_plies=max_plies, illegal=illegal_action, observation=observation, start_fens=start_fens,
                         rules=rules, chess960=chess960)
        self._turns = Turns()  # after the game, so that a copy is refused naming the game
        self.action_space = ActionSpace(ACTIONS)
        space = observation_space(self._step_plane, self.game.max_plies, self._dtype, rules)
        if self._flatten:
            space = spaces.Box(space.low.reshape(-1), space.high.reshape(-1), dtype=self._dtype.type)
        if scale:
            space = scaled_space(space.shape)
        self.observation_space = space
        self._shape = space.shape
        self._agent_side = agent_side
        self._started = False
        self._closed = False
        self._not_started = "call reset before step"
        self._start_fen: str | None = None
        self._actions: list[int] = []
        self._result: str | None = None
        self._pending: tuple[int, int, bool] | None = None
        self._side = 0
        self._flip = False
        self.last_move: tuple[int, int] | None = None
        self.window = Window("Vantor", self.metadata["render_fps"]) if render_mode == "human" else None
        # Engines started for a spec are the env's to close.
        self._stack = ExitStack()
        self._spec = opponent if isinstance(opponent, str) else None
        self._opponent: Agent | None = None
        if isinstance(opponent, str):
            from vantor_gym.players import make_player

            try:
                self._opponent = make_player(opponent, self._stack, rules=rules)
            except BaseException:
                self._stack.close()
                raise
        else:
            self._opponent = opponent
        self._engine = self._opponent if isinstance(self._opponent, UciEngine) else None
        self._lose = illegal_action == "lose"
        self._tracks_moves = self._engine is not None or render_mode in PICTURE_MODES
        self._uci_moves: list[str] = []

    @one_at_a_time()
    def reset(
        self, *, seed: int | None = None, options: dict[str, Any] | None = None
    ) -> tuple[np.ndarray, dict[str, Any]]:
        """Starts a game; ``options={"fen": text}`` starts it from that position instead,
        its history holding just that position and its clocks those of the text (a FEN that
        ``BatchEnv.reset`` refuses raises ``ValueError``, and the game going on is kept).
        Any other option key raises ``ValueError``. With an opponent that has the first
        move, it is played here; should that move end the game (a FEN start, or
        ``max_plies=1``), the first ``step`` plays nothing and returns that end."""
        if self._closed:
            raise RuntimeError("the environment is closed")
        fen = option_fen(options)
        # Checked before the game starts anew: a refused seed must leave the game going on.
        seed = None if seed is None else integer(seed, "seed", 0)
        if fen is not None:
            self.game.reset(fen)
            super().reset(seed=seed)
        else:
            super().reset(seed=seed)
            # The start is drawn by the game's generator, seeded from np_random.
            draw = int(self.np_random.integers(2**63)) if self.game.start_fens or self.game.chess960 else None
            self.game.reset(seed=draw)
        if seed is not None:
            self.action_space.seed(seed)
        drawn = fen is not None or self.game.start_fens or self.game.chess960
        self._start_fen = self.game.fen() if drawn else None
        self._actions = []
        self._uci_moves = []
        self._result = None
        self._pending = None
        self._started = False
        self._not_started = "call reset before step"
        self.last_move = None
        illegal = False
        if self._opponent is not None:
            side = AGENT_SIDES.index(self._agent_side)
            self._side = int(self.np_random.integers(2)) if side == 2 else side
            self._flip = self._side == 1
            if seed is not None and self._spec is not None and self._spec.partition(":")[0] in _SEEDED_SPECS:
                from vantor_gym.players import make_player

                self._opponent = make_player(self._spec, self._stack, seed=int(self.np_random.integers(2**63)),
                                             rules=self.rules)
            if self._engine is not None:
                self._engine.new_game()
            if self.game.side != self._side:
                reward, end, illegal = self._reply()
                if end != GOES_ON:
                    self._pending = (reward, end, illegal)
        self._started = True
        if self.window is not None:
            self._render()
        return self._outputs(illegal, ended=False)

    @one_at_a_time()
    def step(self, action: Any) -> tuple[np.ndarray, int, bool, bool, dict[str, Any]]:
        """Plays ``action`` (and the opponent's reply, if any); returns ``(observation, reward,
        terminated, truncated, info)``."""
        if action.__class__ is not int:
            action = int(action) if action.__class__ is np.int64 else _action(action)
        # Any integer outside int64 is simply not a legal action; -1 stands for it.
        if not _INT64_MIN <= action <= _INT64_MAX:
            action = -1
        if not self._started:
            raise RuntimeError("the environment is closed" if self._closed else self._not_started)
        game = self.game
        if self._pending is None:
            before = game.save_state() if self._engine is not None else None
            try:
                reward, end = game.step(action)
            except GameOver:
                raise ValueError(_GAME_OVER) from None
            except IllegalAction:
                raise ValueError("Invalid action") from None
            illegal = end == TERMINATED and self._lose and game.illegal_action
            if illegal:
                self._result = "1-0" if game.side else "0-1"
            else:
                self._actions.append(action)
                if self._tracks_moves:
                    self._played(action, before)
        else:
            reward, end, illegal = self._pending
            self._pending = None
        if end == GOES_ON and self._opponent is not None:
            reward, end, illegal = self._reply()
        if self._flip:
            reward = -reward
        if self.window is not None:
            self._render()
        observation, info = self._outputs(illegal, ended=end != GOES_ON)
        return observation, reward, end == TERMINATED, end == TRUNCATED, info

    def _reply(self) -> tuple[int, int, bool]:
        """The opponent's move: the reward from white's side, the end, and whether the move
        was illegal (under ``"lose"``). Should the opponent fail (raise, give no integer, or
        an illegal action under ``"raise"``), the episode cannot go on: ``step`` refuses
        until ``reset``."""
        game = self.game
        side = game.side
        state = game.save_state()
        try:
            player = self._opponent
            if isinstance(player, UciEngine):
                choice: Any = player.best_action(state, start_fen=self._start_fen, moves=self._uci_moves)
            else:
                mask = game.action_mask()
                mask.flags.writeable = False
                choice = player(state, mask)  # type: ignore[misc]
            action = _opponent_action(choice, side)
            try:
                # Any integer outside int64 is simply not a legal action; -1 stands for it.
                reward, end = game.step(action if _INT64_MIN <= action <= _INT64_MAX else -1)
            except IllegalAction:
                raise ValueError(
                    f"the opponent, playing {_COLOURS[side]}, gave action {action}, which is not legal"
                ) from None
        except BaseException:
            self._started = False
            self._not_started = "the opponent failed to move: call reset before step"
            raise
        illegal = end == TERMINATED and self._lose and game.illegal_action
        if illegal:
            self._result = "1-0" if side else "0-1"
        else:
            self._actions.append(action)
            self._played(action, state)
        return reward, end, illegal

    def _played(self, action: int, before: vantor.State | None) -> None:
        """Keeps what the engine and the pictures need of a move played from ``before``."""
        if self._engine is not None and before is not None:
            self._uci_moves.append(notation.action_to_uci(before, action))
        if self.render_mode in PICTURE_MODES:
            self.last_move = move_squares(action, 1 - self.game.side)

    def _outputs(self, illegal: bool, ended: bool) -> tuple[np.ndarray, dict[str, Any]]:
        """A new observation of the current position and the info beside it (with the
        ending when the step ``ended`` the episode)."""
        game = self.game
        out = np.empty(self._shape, self._dtype)
        planes = out.reshape(_SHAPE) if self._flatten else out
        game.observation(planes)
        if self._step_plane == "plies":
            planes[STEP_PLANE].fill(game.plies)
        elif self._step_plane == "zero":
            planes[STEP_PLANE].fill(0)
        if self._scale is not None:
            self._scale(planes)
        # A 0-d array: Gymnasium's vector envs stack it as bool (a np.bool_ as object), and
        # TorchRL's info reader needs a dtype, which a Python bool lacks.
        info = {"action_mask": game.action_mask().view(np.int8), "side": _SIDES[game.side],
                "illegal_action": np.array(illegal)}
        if self._opponent is not None:
            info["agent_side"] = _SIDES[self._side]
        if self._legal_actions:
            info["legal_actions"] = game.legal_actions().tolist()
        info["ending"] = _ENDING_CODES[game.ending] if ended else _ENDING_CODES[None]
        if game.chess960:
            info["chess960_start"] = np.int64(game.start_number)
        return out, info

    @property
    def opponent(self) -> Agent | None:
        """The player of the other side: the callable or engine given, or the one made from
        its name, such as ``"mc:8"`` (made afresh by each seeded reset for ``random`` and
        ``search:N``)."""
        return self._opponent

    @property
    def rules(self) -> str:
        """The rules the games are played under: ``"standard"``, ``"automatic"`` or ``"module"``."""
        return self.game.rules

    @property
    def scale(self) -> bool:
        """Whether the planes are divided by their bounds (``float32`` in 0..1)."""
        return self._scale is not None

    @property
    def agent_side(self) -> str:
        """``"white"``, ``"black"`` or ``"random"``, as given; ``info["agent_side"]`` tells the episode's."""
        return self._agent_side

    @one_at_a_time(reader=True)
    def action_masks(self) -> np.ndarray:
        """The legal actions of the current position, ``bool`` (4672,)."""
        if not self._started:
            raise RuntimeError("call reset before action_masks")
        return self.game.action_mask()

    @one_at_a_time(reader=True)
    def pgn(self, headers: dict[str, str] | None = None) -> str:
        """The game since the last reset as PGN text, its start position in a ``FEN``
        header when it is not the initial one; a loss by an illegal action is its result."""
        return notation.pgn(self._actions, start_fen=self._start_fen, result=self._result, headers=headers,
                            rules=self.rules, chess960=self.game.chess960)

    @one_at_a_time(reader=True)
    def render(self) -> str | np.ndarray | None:
        """``"ansi"``: the letter board; ``"rgb_array"``: a (256, 256, 3) ``uint8`` picture
        from white's side with the last move's squares tinted; ``"human"``: that picture in
        a pygame window (drawn by every reset and step too), and None; no mode: None."""
        return self._render()

    def _render(self) -> str | np.ndarray | None:
        if self.render_mode == "ansi":
            return letter_board(self.game.save_state())
        if self.render_mode in PICTURE_MODES:
            image = board_image(self.game.save_state(), self.last_move)
            if self.window is None:
                return image
            self.window.show(image)
        return None

    @one_at_a_time()
    def close(self) -> None:
        """Closes the window and the engines this env started; later calls raise."""
        self._closed = True
        self._started = False
        try:
            if self.window is not None:
                self.window.close()
        finally:
            self._stack.close()
