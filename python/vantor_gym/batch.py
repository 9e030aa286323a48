"""Many chess games stepped together in C++ on worker threads, results in NumPy arrays."""

from __future__ import annotations

import os
import threading
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import Any

import numpy as np
import numpy.typing as npt

import vantor
from vantor_gym import _native
from vantor_gym._handles import Unshared
from vantor_gym._numbers import action_array, integer
from vantor_gym.compact import COMPACT_WORDS
from vantor_gym.chess960 import chess960_option, start_number, start_pool
from vantor_gym.fen import Fen, read_start
from vantor_gym.rules import rules_of

ACTIONS = 4672
"""The number of actions: 64 * 73 move planes, each action ``64 * plane + source square``."""
PLANES = 119
"""The number of 8 x 8 planes of an observation."""
AUTORESET_MODES = ("next_step", "disabled")
"""What ``BatchEnv(autoreset=...)`` takes: a game that ended starts again on the next step,
or stays ended until reset."""
ILLEGAL_MODES = ("raise", "lose")
"""What ``illegal=...`` takes: an illegal action raises ``ValueError``, or loses the game."""
# "side_to_move" turns every observation with black to move; "module" keeps the planes of
# vantor.Vantor, whose observation of a start with black to move is not turned.
OBSERVATION_MODES = ("side_to_move", "module")
"""What ``observation=...`` takes: the planes turned whenever black is to move, or as
``vantor.Vantor`` gives them."""
_OBSERVATION_DTYPES = (np.dtype(np.int32), np.dtype(np.float32))
_ROW_SHAPES = {
    "observations": (PLANES, 8, 8),
    "rewards": (),
    "terminated": (),
    "truncated": (),
    "action_mask": (ACTIONS,),
    "side": (),
    "illegal": (),
    "ending": (),
}
_COMPACT_ROW = (COMPACT_WORDS,)
_INT32_MAX = 2**31 - 1
_DTYPES = {
    "rewards": np.dtype(np.int8),
    "terminated": np.dtype(np.bool_),
    "truncated": np.dtype(np.bool_),
    "action_mask": np.dtype(np.bool_),
    "side": np.dtype(np.int8),
    "illegal": np.dtype(np.bool_),
    "ending": np.dtype(np.int8),
}


class BatchEnv(Unshared):
    """``num_envs`` independent chess games. Under ``rules="module"`` each is exactly a
    ``vantor.Vantor`` game on which ``get_actions`` is called after every reset and step:
    the same moves, observations, rewards, draws and step counter (plane 113 counts each
    game's own steps over all its episodes). Under ``rules="standard"`` (the default) and
    ``"automatic"`` the moves, actions and planes are the same, but the games end and
    count their half-move clock (plane 118) as chess does (``vantor_gym.rules``).

    The games are stepped by ``threads`` C++ worker threads (all cores by default; the
    calling thread is one of them) with the GIL released, writing straight into NumPy
    arrays. Calls on one ``BatchEnv`` from several Python threads run one after the
    other; separate ``BatchEnv`` objects run in parallel.

    - ``step(actions)`` returns ``(observations, rewards, terminated, truncated, info)``:
      observations ``(num_envs, 119, 8, 8)`` in ``dtype`` (``int32``, exactly the
      module's planes, or ``float32`` for a network), rewards ``int8`` from white's side,
      terminated and truncated ``bool``; ``info["action_mask"]`` ``bool``
      ``(num_envs, 4672)``, ``info["side"]`` ``int8`` (the side to move),
      ``info["illegal"]`` ``bool``, ``info["ending"]`` ``int8``: 0 while a game goes on,
      else how it ended (``vantor_gym.rules.ENDINGS[code - 1]``: checkmate, a draw of
      the rules, an illegal action, or ``max_plies``).
    - ``autoreset="next_step"`` (Gymnasium's default): a game that ended restarts on the
      next ``step``, which ignores its action and returns the new game's first
      observation with reward 0. ``"disabled"``: stepping an ended game raises
      ``ValueError``; ``reset(indices=...)`` restarts it.
    - ``max_plies``: a game that made that many steps since its reset without ending is
      truncated.
    - ``illegal="raise"``: every action is checked before any game moves, and the first
      illegal one raises ``ValueError`` naming its game and action, with nothing
      changed. ``"lose"``: that game ends as a loss for the side that tried it
      (``info["illegal"]`` True, position unchanged); the others step normally.
    - ``seed``: roll-outs and start draws use one generator per game, seeded from
      ``seed`` and the game's index, so their results do not depend on the number of
      threads. ``vantor.Vantor.roll_out`` itself cannot be seeded; without ``seed``
      neither can these. ``reset(seed=n)`` seeds them afresh.
    - ``start_fens``: games started without a FEN of their own (``reset`` without
      ``fens``, and next-step autoresets) start from one of these, drawn by the game's
      generator; each is read once, here, by ``vantor_gym.fen.read_start``.
    - ``observation="side_to_move"`` (the default) lays every observation out as the
      side to move sees it, turned by 180 degrees for black, the first one of a game
      included; ``"module"`` gives exactly ``vantor.Vantor``'s planes, which leave the
      observation of a start (or a snapshot restored right after one) unturned.
    - ``compact=True``: observations are ``uint64`` rows of ``COMPACT_WORDS`` (108) words
      instead, the piece sets and numbers the planes are made of (layout in
      ``vantor_gym.compact``); ``vantor_gym.expand_observations`` turns them into exactly
      the planes, in either orientation. ``dtype`` is then ``uint64``. A snapshot whose
      history such rows cannot show (planes edited to other values) is refused by
      ``restore_state`` with ``ValueError``.
    - ``rules``: ``"standard"``, ``"automatic"`` or ``"module"`` (``vantor_gym.rules``).
      Start FENs are read under them (a clock at their draw is refused), and a snapshot
      made under the module's rules is refused under chess's and the other way round,
      since its repetition counts would mean other positions.
    - ``chess960``: ``True`` plays Chess960 (``vantor_gym.chess960``), every start drawn
      from the 960 (or from ``start_fens``, read as Chess960 FEN) by the game's
      generator; a start number (0 .. 959) plays that start. ``start_numbers()`` says
      which start each game began from. Castling is the king's action onto its own rook.
    """

    def __init__(
        self,
        num_envs: int,
        threads: int | None = None,
        max_plies: int | None = None,
        autoreset: str = "next_step",
        seed: int | None = None,
        dtype: npt.DTypeLike = np.int32,
        illegal: str = "raise",
        start_fens: Sequence[str] | None = None,
        observation: str = "side_to_move",
        compact: bool = False,
        rules: str = "standard",
        chess960: bool | int = False,
    ) -> None:
        self.rules = rules_of(rules)
        self.chess960 = chess960_option(chess960)
        num_envs = integer(num_envs, "num_envs", 1, _INT32_MAX)
        threads = 0 if threads is None else integer(threads, "threads (0 for all cores)", 0)
        threads = min(threads or os.cpu_count() or 1, num_envs)
        if max_plies is not None:
            max_plies = integer(max_plies, "max_plies", 1, _INT32_MAX)
        if autoreset not in AUTORESET_MODES:
            raise ValueError(f"autoreset must be one of {AUTORESET_MODES}, not {autoreset!r}")
        if illegal not in ILLEGAL_MODES:
            raise ValueError(f"illegal must be one of {ILLEGAL_MODES}, not {illegal!r}")
        if observation not in OBSERVATION_MODES:
            raise ValueError(f"observation must be one of {OBSERVATION_MODES}, not {observation!r}")
        try:
            self.dtype = np.dtype(dtype)
        except TypeError:
            raise ValueError(f"dtype must be int32 or float32, not {dtype!r}") from None
        if self.dtype not in _OBSERVATION_DTYPES:
            raise ValueError(f"dtype must be int32 or float32, not {self.dtype}")
        if not isinstance(compact, (bool, np.bool_)):
            raise TypeError(f"compact must be a bool, not {type(compact).__name__}")
        if compact:
            if self.dtype != np.int32:
                raise ValueError("dtype is the planes' and compact observations are uint64: expand them into a "
                                 "float32 array with vantor_gym.expand_observations(rows, out=...)")
            self.dtype = np.dtype(np.uint64)
        self.compact = bool(compact)
        seed = _seed(seed)
        self.start_fens = read_start_fens(start_fens, self.rules, self.chess960)
        self._pool, self._pool_numbers = start_choices(self.chess960, self.start_fens)
        self._given_numbers = np.full(num_envs, -1, np.int16)
        self.num_envs = num_envs
        self.max_plies = max_plies
        self.autoreset = autoreset
        self.illegal = illegal
        self.seed = seed
        self.observation = observation
        self._reserved_for: dict[int, str] = {}
        self._overlaps_checked: tuple[np.ndarray | None, ...] = ()
        try:
            self._games = _native.Batch(num_envs, threads, max_plies or 0, autoreset, illegal, seed,
                                        **self._native_options())
        except MemoryError as error:
            raise MemoryError(f"cannot allocate {num_envs} games") from error

    def _native_options(self) -> dict[str, Any]:
        options: dict[str, Any] = {"rules": self.rules}
        if self.observation != "side_to_move":
            options["observation"] = self.observation
        if self._pool:
            options["start_pool"] = self._pool
        if self.chess960 is not False:
            options["chess960"] = True
        return options

    def start_numbers(self) -> npt.NDArray[np.int16]:
        """Each game's Chess960 start number (0 .. 959, ``vantor_gym.chess960``) as an
        ``int16`` array: the start it last began from, or -1 where that was no Chess960
        start (the game is not Chess960, or began from a FEN or a snapshot of another
        position)."""
        drawn = self._open().start_indices()
        return np.where(drawn >= 0, self._pool_numbers[np.maximum(drawn, 0)], self._given_numbers).astype(np.int16)

    @property
    def threads(self) -> int:
        """The number of worker threads that step the games."""
        return self._open().threads

    @property
    def closed(self) -> bool:
        """Whether ``close`` was called."""
        return self._games.closed

    def close(self) -> None:
        """Ends the worker threads; every later call raises ``RuntimeError``."""
        self._refuse_if_reserved("close")
        self._games.close()

    def __enter__(self) -> BatchEnv:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def reset(
        self,
        indices: npt.ArrayLike | None = None,
        fens: Sequence[str] | None = None,
        out: dict[str, np.ndarray] | None = None,
        seed: int | None = None,
    ) -> tuple[np.ndarray, dict[str, np.ndarray]]:
        """Starts the named games (all by default) from the initial position (or one drawn
        from ``start_fens``), or from ``fens[k]`` for ``indices[k]``; returns ``(observations, info)`` with one row per
        named game, in the order named. Every FEN is read with ``vantor_gym.fen.read_start``
        first: one that is malformed, not legal-looking, without a legal move for the side
        to move, or with a half-move clock at the draw of the rules raises ``ValueError``
        and no game starts. A game goes on from its FEN's half-move clock and full-move number.
        ``seed`` first seeds every game's generator afresh, as ``BatchEnv(seed=seed)`` does."""
        games = self._open(changing="reset")
        chosen = self._indices(indices)
        starts, read = None, []
        if fens is not None:
            if isinstance(fens, (str, bytes)) or not all(isinstance(f, str) for f in fens):
                raise TypeError("fens must be a sequence of str")
            read = [read_start(fen, self.rules, self.chess960 is not False) for fen in fens]
            starts = _starts(read)
        reseed = seed is not None
        seed = _seed(seed)
        buffers = self._outputs(len(chosen), out, ("observations", "action_mask", "side"))
        if starts is not None and len(starts) != len(chosen):
            raise ValueError(f"fens must hold one start per game reset: {len(chosen)}, not {len(starts)}")
        if reseed:
            games.reseed(seed)
            self.seed = seed
        games.reset(chosen, starts, self._native(buffers))
        self._given_numbers[chosen] = -1 if starts is None else [self._number_of(f) for f in read]
        return buffers["observations"], {"action_mask": buffers["action_mask"], "side": buffers["side"]}

    def _number_of(self, fen: Fen) -> int:
        return start_number(fen.text) if self.chess960 is not False else -1

    def step(
        self, actions: npt.ArrayLike, out: dict[str, np.ndarray] | None = None, indices: npt.ArrayLike | None = None
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, dict[str, np.ndarray]]:
        """Steps every game, ``actions[i]`` for game ``i``; or, with ``indices``, only the
        named games (distinct), ``actions[k]`` for ``indices[k]``, with one output row per
        named game in the order named, the other games waiting as they are."""
        games = self._open(changing="step")
        chosen = None if indices is None else self._indices(indices)
        rows = self.num_envs if chosen is None else len(chosen)
        array = action_array(actions, rows)
        buffers = self._outputs(rows, out, tuple(_ROW_SHAPES), array)
        games.step(array, self._native(buffers), chosen)
        info = {key: buffers[key] for key in ("action_mask", "side", "illegal", "ending")}
        return buffers["observations"], buffers["rewards"], buffers["terminated"], buffers["truncated"], info

    def roll_out(self, indices: npt.ArrayLike | None = None) -> np.ndarray:
        """Plays the named games (all by default) on with random legal actions, as
        ``Vantor.roll_out`` does, on all workers; returns their rewards (``int8``)."""
        games = self._open(changing="roll_out")
        return games.roll_out(self._indices(indices))

    def save_state(self, index: int) -> vantor.State:
        """Game ``index`` as a new ``vantor.State``."""
        return self._open().save_state(self._index(index))

    def fullmove_number(self, index: int) -> int:
        """Game ``index``'s full-move number as FEN writes it: its start FEN's (1 from the
        initial position or a restored snapshot), plus one for each move black made since."""
        return self._open().fullmove_number(self._index(index))

    def restore_state(self, index: int, state: vantor.State) -> tuple[np.ndarray, dict[str, Any]]:
        """Makes game ``index`` the snapshot's game (refusing a misshapen one as
        ``Vantor.restore_state`` does, and one made under the other family of rules:
        the module's against chess's) and returns its observation and info; its ply
        count for ``max_plies`` starts again and a pending autoreset is cancelled. A
        snapshot holds castling rights as four bits: in Chess960 each is taken to be for
        the outermost rook on its side of the king."""
        games = self._open(changing="restore_state")
        if not isinstance(state, vantor.State):
            raise TypeError(f"state must be a vantor.State, not {type(state).__name__}")
        buffers = self._outputs(1, None, ("observations", "action_mask", "side"))
        index = self._index(index)
        games.restore_state(index, state, self._native(buffers))
        self._given_numbers[index] = -1
        return buffers["observations"][0], {"action_mask": buffers["action_mask"][0], "side": int(buffers["side"][0])}

    def hash_state(self) -> np.ndarray:
        """The position hash of every game, ``uint64`` (``Vantor.hash_state``)."""
        return self._open().hash_state()

    def plies(self) -> np.ndarray:
        """The steps each game made since its reset (or restored snapshot), ``int32``: what
        ``max_plies`` counts, unlike plane 113, which counts all of a game's steps."""
        return self._open().plies()

    def _open(self, changing: str | None = None) -> _native.Batch:
        if changing is not None:
            self._refuse_if_reserved(changing)
        if self._games.closed:
            raise RuntimeError("BatchEnv is closed")
        return self._games

    @contextmanager
    def _reserved(self, reader: str) -> Iterator[None]:
        """While the block runs, calls from this thread that would change the games
        (``step``, ``reset``, ``roll_out``, ``restore_state``, ``close``) raise
        ``RuntimeError``: the block's code reads their positions and calls back into
        its caller (a search's evaluator), which must not move them under it."""
        # Kept per thread: runs on other threads start and end in any order.
        thread = threading.get_ident()
        before = self._reserved_for.get(thread)
        self._reserved_for[thread] = reader
        try:
            yield
        finally:
            if before is None:
                del self._reserved_for[thread]
            else:
                self._reserved_for[thread] = before

    def _refuse_if_reserved(self, call: str) -> None:
        reader = self._reserved_for.get(threading.get_ident())
        if reader is not None:
            raise RuntimeError(f"BatchEnv.{call} called while {reader} on this thread")

    def _index(self, index: int) -> int:
        number = integer(index, "a game index")
        if not 0 <= number < self.num_envs:
            raise IndexError(f"index {number} is out of range for {self.num_envs} games")
        return number

    def _indices(self, indices: npt.ArrayLike | None) -> np.ndarray:
        if indices is None:
            return np.arange(self.num_envs, dtype=np.int64)
        array = np.asarray(indices)
        if array.shape == (0,):
            return np.empty(0, np.int64)  # [] is read as float64, but names no game all the same
        if array.dtype.kind not in "iu" or array.ndim != 1:
            raise TypeError("indices must be a one-dimensional sequence of integers")
        if array.dtype == np.uint64 and array.size and array.max() > np.iinfo(np.int64).max:
            raise IndexError(f"indices must be in 0 .. {self.num_envs - 1}")
        # The native call names an index out of range or repeated.
        return np.ascontiguousarray(array, dtype=np.int64)

    def _outputs(
        self,
        rows: int,
        out: dict[str, np.ndarray] | None,
        keys: tuple[str, ...],
        actions: np.ndarray | None = None,
    ) -> dict[str, np.ndarray]:
        out = out or {}
        unknown = set(out) - set(keys)
        if unknown:
            raise ValueError(f"out has no use for {sorted(unknown)}")
        buffers = {}
        for key in keys:
            dtype = self.dtype if key == "observations" else _DTYPES[key]
            shape = (rows, *(_COMPACT_ROW if self.compact and key == "observations" else _ROW_SHAPES[key]))
            given = out.get(key)
            if given is None:
                buffers[key] = np.empty(shape, dtype=dtype)
                continue
            if not isinstance(given, np.ndarray) or given.shape != shape or given.dtype != dtype:
                raise ValueError(f"out[{key!r}] must be a {dtype} array of shape {shape}")
            if not given.flags.c_contiguous or not given.flags.writeable:
                raise ValueError(f"out[{key!r}] must be C-contiguous and writable")
            buffers[key] = given
        if out:
            self._refuse_overlaps(actions, [out[key] for key in keys if key in out])
        return buffers

    def _refuse_overlaps(self, actions: np.ndarray | None, given: list[np.ndarray]) -> None:
        """Refuses out buffers that share memory with each other (a game's row written into
        one would change another's: a truncation flag overwriting its termination) or with
        the actions (a game's result would rewrite a later game's action mid-step)."""
        # A loop that passes the same arrays every step pays for the check once.
        seen = self._overlaps_checked
        if len(seen) == len(given) + 1 and seen[0] is actions and all(a is b for a, b in zip(seen[1:], given)):
            return
        if actions is not None and any(np.may_share_memory(actions, buffer) for buffer in given):
            raise ValueError("out buffers must not share memory with actions")
        # The buffers are C-contiguous, so each covers its byte range whole.
        spans = sorted((a.__array_interface__["data"][0], a.nbytes) for a in given)
        for (start, size), (next_start, _) in zip(spans, spans[1:]):
            if start + size > next_start:
                raise ValueError("out buffers must not share memory with each other")
        self._overlaps_checked = (actions, *given)

    def _native(self, buffers: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
        native = dict(buffers)
        if self.compact:
            native["compact"] = native.pop("observations")
        elif self.dtype == np.float32:
            native["observations_float"] = native.pop("observations")
        return native


def _seed(seed: int | None) -> int | None:
    if seed is None:
        return None
    return integer(seed, "seed", 0, 2**64 - 1)


def start_choices(chess960: bool | int, start_fens: list[Fen]) -> tuple[list[tuple[str, int, int]], np.ndarray]:
    """The start pool a game draws from (as the native games take it) and each entry's
    Chess960 start number (-1 for none): ``start_fens`` when given, else the Chess960
    starts of ``chess960``, else none."""
    if start_fens:
        if chess960 is not True and chess960 is not False:
            raise ValueError("a Chess960 start number and start_fens both name the starts: give chess960=True "
                             "with start_fens, or the number alone")
        numbers = [start_number(f.text) if chess960 else -1 for f in start_fens]
        return _starts(start_fens), np.array(numbers, np.int16)
    texts = start_pool(chess960)
    numbers = [start_number(text) for text in texts]
    return [(" ".join(text.split()[:4]), 0, 1) for text in texts], np.array(numbers or [-1], np.int16)


def read_start_fens(start_fens: Sequence[str] | None, rules: str = "standard",
                    chess960: bool | int = False) -> list[Fen]:
    """Each text of ``start_fens`` read by ``read_start`` under ``rules`` (as Chess960 FEN
    unless ``chess960`` is False); ``ValueError`` names the first one refused, with its
    position in the list and why."""
    if start_fens is None:
        return []
    if isinstance(start_fens, (str, bytes)):
        raise TypeError("start_fens must be a sequence of str, not one text")
    texts = list(start_fens)
    if not all(isinstance(f, str) for f in texts):
        raise TypeError("start_fens must be a sequence of str")
    if not texts:
        raise ValueError("start_fens must hold at least one FEN (None for the initial position)")
    read = []
    for number, text in enumerate(texts):
        try:
            read.append(read_start(text, rules, chess960 is not False))
        except ValueError as error:
            raise ValueError(f"start_fens[{number}] ({_shown(text)}) is refused: {error}") from None
    return read


def _shown(text: str, limit: int = 80) -> str:
    return repr(text if len(text) <= limit else text[:limit] + "...")


def _starts(fens: list[Fen]) -> list[tuple[str, int, int]]:
    return [(f.position, f.halfmove_clock, f.fullmove_number) for f in fens]
