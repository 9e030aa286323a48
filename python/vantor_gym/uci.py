"""A UCI chess engine (Stockfish, for one) in a subprocess, as a player.

``UciEngine`` starts the engine, sets its options and answers positions with the
module's action numbers; every exchange has a time-out, and an engine that fails raises
``EngineError`` after its process (and its process group) has ended::

    from vantor_gym.uci import UciEngine

    with UciEngine("/usr/games/stockfish", {"Skill Level": 0}, depth=1) as stockfish:
        action = stockfish.best_action(board)
        analysis = stockfish.analyse(board, multipv=3)  # its move, score and best lines

Strength is set through the engine's own UCI options. For Stockfish: ``"Skill Level"``
0 (weakest) to 20 (full strength, the default), or ``"UCI_LimitStrength": True`` with
``"UCI_Elo"`` (1320 to 3190 in Stockfish 17); a search limit (``movetime``, ``depth``,
``nodes``) weakens any engine. Matches between engines and other players are in
``vantor_gym.match``.
"""

from __future__ import annotations

import errno
import math
import numbers
import operator
import os
import re
import select
import shutil
import signal
import subprocess
import threading
import time
from collections import deque
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import IO

import numpy as np

import vantor
from vantor_gym._numbers import integer, real
from vantor_gym.batch import BatchEnv
from vantor_gym.game import Game
from vantor_gym.fen import read_fen
from vantor_gym.notation import Position, fen, has_legal_move, is_chess960, uci_to_action

__all__ = [
    "DEFAULT_MOVETIME",
    "QUIT_GRACE",
    "SCORE_SCALE",
    "TERM_GRACE",
    "Analysis",
    "AnalysisLine",
    "EngineError",
    "Score",
    "UciEngine",
    "UciOption",
    "info_score",
]

DEFAULT_MOVETIME = 0.05
"""Seconds of search per move when neither the call nor the engine names a limit."""

QUIT_GRACE = 1.0
"""Seconds ``close`` gives an engine to end after ``quit`` before it is terminated."""

TERM_GRACE = 1.0
"""Seconds ``close`` gives an engine after SIGTERM before it is killed."""

# The longest line an engine may print, in bytes: a longer one is an error, never read
# in pieces (the tail of a cut line could pass for an answer).
_MAX_LINE = 1 << 16
_CHUNK = 1 << 16
_TAIL_LINE = 300
_UCI_MOVE = re.compile(r"[a-h][1-8][a-h][1-8][qrbn]?")
_OPTION_KEYWORDS = ("type", "default", "min", "max", "var")


class EngineError(RuntimeError):
    """A UCI engine failed: it could not start, exited, did not read its input or answer
    within its time-out, printed an over-long line, or answered something that is not
    UCI (the message says which). The engine's process has been ended by the time this
    is raised."""


@dataclass(frozen=True)
class UciOption:
    """One ``option name ...`` line of an engine's answer to ``uci``."""

    name: str
    type: str
    default: str | None = None
    min: int | None = None
    max: int | None = None
    choices: tuple[str, ...] = ()


SCORE_SCALE = 400.0
"""Centipawns that ``Score.expected`` takes as a factor of ten in the odds of winning,
the scale of the Elo system: 400 centipawns ahead is 10 to 1."""


@dataclass(frozen=True)
class Score:
    """An engine's exact evaluation of a position from its side to move, as an ``info``
    line gives it: ``centipawns``, or ``mate``, the moves to mate (positive when the side
    to move mates, 0 or negative when it is mated). Exactly one of the two is set."""

    centipawns: int | None = None
    mate: int | None = None

    def expected(self, scale: float = SCORE_SCALE) -> float:
        """The expected score in [-1, 1] from the side to move: 1 or -1 for a mate, and
        for centipawns the logistic of the Elo system, ``2 / (1 + 10 ** (-cp / scale)) - 1``
        (computed as ``tanh(cp * ln(10) / (2 * scale))``, which no score overflows)."""
        try:
            factor = math.log(10) / (2 * real(scale, "scale"))
        except (TypeError, ValueError, ZeroDivisionError):
            factor = math.nan
        if not (math.isfinite(factor) and factor > 0):
            raise ValueError(f"scale must be a finite number above 0, as a float too, not {scale!r}")
        if self.mate is not None:
            mate = _real_number(self.mate, "mate")
            if mate != mate:
                raise ValueError("mate must be a number of moves, not NaN")
            return 1.0 if mate > 0 else -1.0
        if self.centipawns is None:
            raise ValueError("a Score holds centipawns or a mate")
        try:
            value = math.tanh(_real_number(self.centipawns, "centipawns") * factor)
        except OverflowError:  # an int beyond any float: the curve is flat long before
            return 1.0 if self.centipawns > 0 else -1.0
        if math.isnan(value):
            raise ValueError(f"centipawns must be a number, not {self.centipawns!r}")
        return value


def _real_number(value: object, name: str) -> int | float:
    """A real number as it is (an int of any size kept whole): ``TypeError`` for what is none."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    return int(value) if isinstance(value, numbers.Integral) else float(value)


# A number of any length that Python's int reads, as python-chess takes scores (int
# refuses more than sys.int_info.default_max_str_digits digits, with a ValueError).
_SCORE_NUMBER = re.compile(r"[+-]?[0-9]+")


@dataclass(frozen=True)
class _Info:
    """What an ``info`` line says of one line of the search: its ``multipv`` number (1 when
    it names none), its exact score (None for none or a bound), whether it has a score
    word at all, and the first move of its ``pv`` (None without one)."""

    multipv: int
    score: Score | None
    scored: bool
    move: str | None


def _count(text: str | None) -> int | None:
    """The count that an option's text holds, or None for none: ASCII digits only, since
    ``str.isdigit`` also takes digits such as "²" that ``int`` refuses."""
    return int(text) if text is not None and re.fullmatch(r"[0-9]{1,9}", text) else None


def _read_info(line: str) -> _Info:
    """The line's ``_Info``; ValueError for an info line whose score or multipv is not UCI."""
    if not isinstance(line, str):
        raise TypeError(f"an info line is a str, not {type(line).__name__}")
    words = line.split()
    if not words or words[0] != "info":
        raise ValueError(f"not an info line: {line[:80]!r}")
    # An "info string" carries free text, which may say anything, "score" included.
    if "string" in words:
        words = words[:words.index("string")]
    if words.count("score") > 1 or words.count("multipv") > 1:
        raise ValueError(f"more than one score or multipv: {line[:80]!r}")
    multipv = 1
    if "multipv" in words:
        at = words.index("multipv") + 1
        if at >= len(words) or not _SCORE_NUMBER.fullmatch(words[at]):
            raise ValueError(f"multipv without a number: {line[:80]!r}")
        multipv = int(words[at])
    move = words[words.index("pv") + 1] if "pv" in words[:-1] else None
    if "score" not in words:
        return _Info(multipv, None, False, move)
    at = words.index("score") + 1
    kind, number = words[at:at + 1], words[at + 1:at + 2]
    if kind not in (["cp"], ["mate"]) or not number or not _SCORE_NUMBER.fullmatch(number[0]):
        raise ValueError(f"a score that is not 'cp N' or 'mate N': {line[:80]!r}")
    if words[at + 2:at + 3] in (["lowerbound"], ["upperbound"]):
        return _Info(multipv, None, True, move)
    value = int(number[0])
    return _Info(multipv, Score(centipawns=value) if kind == ["cp"] else Score(mate=value), True, move)


def info_score(line: str) -> Score | None:
    """The exact score that a UCI ``info`` line gives for the principal line (``multipv``
    1, or no ``multipv``), or None when it gives none: a line without ``score``, a line of
    another ``multipv``, or a ``lowerbound``/``upperbound`` (a bound is not the value).
    Raises ValueError for a line whose score is not UCI: a missing or non-integer number,
    an unknown kind, a repeated ``score`` or ``multipv``. Linear in the line's length."""
    info = _read_info(line)
    return info.score if info.multipv == 1 else None


@dataclass(frozen=True)
class AnalysisLine:
    """One line of an engine's search (``multipv`` N): the action of its first move and its
    last exact score, from the side to move of the position searched."""

    action: int
    score: Score


@dataclass(frozen=True)
class Analysis:
    """What ``UciEngine.analyse`` found: ``action``, the engine's ``bestmove``; ``score``,
    the last exact score of its principal line (None when it gave none that could be
    used); ``lines``, the last exact score of each line 1 .. ``multipv`` with the action of
    its first move, in the engine's order (a line that gave none is left out); and
    ``skipped``, the info lines about a score that were not used: malformed ones, bounds,
    a ``pv`` without a score, a mate in 0 (the position searched has legal moves), a line
    number outside 1 .. ``multipv``, a first move that is not legal."""

    action: int
    score: Score | None
    lines: tuple[AnalysisLine, ...]
    skipped: int


class _InfoReader:
    """Keeps, as a search's info lines come, the last usable score of each of its lines;
    each line is read once, in time linear in its length."""

    def __init__(self, state: Position, multipv: int) -> None:
        self.state = state
        self.multipv = multipv
        self.score: Score | None = None
        self.lines: dict[int, tuple[str, Score]] = {}
        self.skipped = 0

    def feed(self, line: str) -> None:
        try:
            info = _read_info(line)
        except ValueError:
            self.skipped += 1
            return
        if info.score is None or info.score.mate == 0 or not 1 <= info.multipv <= self.multipv:
            # A progress line (currmove, nodes, a string) is no evaluation, so no fault either.
            if info.scored or info.move is not None:
                self.skipped += 1
            return
        if info.multipv == 1:
            self.score = info.score
        if info.move is not None:
            self.lines[info.multipv] = (info.move, info.score)

    def analysis(self, action: int) -> Analysis:
        lines = []
        for number in sorted(self.lines):
            move, score = self.lines[number]
            try:
                lines.append(AnalysisLine(uci_to_action(self.state, move), score))
            except ValueError:
                self.skipped += 1
        return Analysis(action, self.score, tuple(lines), self.skipped)


def _parse_option(line: str) -> UciOption | None:
    """The option an ``option name <name> type <type> ...`` line declares (None if malformed)."""
    match = re.fullmatch(r"option\s+name\s+(.+?)\s+type\s+(\S+)(.*)", line.strip())
    if match is None:
        return None
    name, kind, rest = match.group(1), match.group(2).lower(), match.group(3).split()
    values: dict[str, list[str]] = {}
    choices: list[str] = []
    key: str | None = None
    for token in rest:
        if token in _OPTION_KEYWORDS:
            key = token
            if key == "var":
                choices.append("")
            else:
                values[key] = []
        elif key == "var":
            choices[-1] = f"{choices[-1]} {token}".strip()
        elif key is not None:
            values[key].append(token)

    def number(key: str) -> int | None:
        try:
            return int(values[key][0]) if values.get(key) else None
        except ValueError:
            return None

    default = " ".join(values["default"]) if "default" in values else None
    return UciOption(name, kind, default, number("min"), number("max"), tuple(choices))


def _option_value(option: UciOption, value: object) -> str | None:
    """The text of a ``setoption`` value for an option (None for a button)."""
    name = option.name
    if option.type == "button":
        if value not in (None, True):
            raise ValueError(f"UCI option {name!r} is a button: give it None (or True), not {value!r}")
        return None
    if option.type == "check":
        if not isinstance(value, (bool, np.bool_)):
            raise ValueError(f"UCI option {name!r} is a check: give it True or False, not {value!r}")
        return "true" if value else "false"
    if option.type == "spin":
        if isinstance(value, (bool, np.bool_)):
            raise ValueError(f"UCI option {name!r} is a spin: give it an integer, not {value!r}")
        try:
            number = operator.index(value)  # type: ignore[arg-type]
        except TypeError:
            raise ValueError(f"UCI option {name!r} is a spin: give it an integer, not {value!r}") from None
        if (option.min is not None and number < option.min) or (option.max is not None and number > option.max):
            raise ValueError(f"UCI option {name!r} must be in {option.min}..{option.max}, not {number}")
        return str(number)
    text = str(value)
    if "\n" in text or "\r" in text:
        raise ValueError(f"the value of UCI option {name!r} must be one line")
    if option.type == "combo" and option.choices:
        for choice in option.choices:
            if choice.lower() == text.lower():
                return choice
        raise ValueError(f"UCI option {name!r} must be one of {list(option.choices)}, not {text!r}")
    return text


# What a search is given: the position its moves are read in, the position command, the
# go limits, the seconds they allow, and whether it is Chess960.
_Search = tuple[Position, str, str, float, bool]


def _snapshot(position: Position) -> vantor.State:
    if isinstance(position, vantor.State):
        return position
    if isinstance(position, (vantor.Vantor, Game)):
        return position.save_state()
    if isinstance(position, tuple) and len(position) == 2 and isinstance(position[0], BatchEnv):
        return position[0].save_state(operator.index(position[1]))
    raise TypeError(
        "a position is a vantor.State, a vantor.Vantor, a Game or a (BatchEnv, index) pair, "
        f"not {type(position).__name__}"
    )


def _has_legal_move(state: vantor.State) -> bool:
    board = vantor.Vantor()
    board.restore_state(state)
    return any(any(row) for row in board.get_actions())


class _LineSplitter:
    """Cuts a byte stream into whole lines (without their ends); what follows the last
    newline waits in ``partial`` for the rest of its line."""

    def __init__(self) -> None:
        self.partial = bytearray()
        self.complete: deque[bytes] = deque()

    def feed(self, chunk: bytes) -> None:
        *whole, rest = chunk.split(b"\n")
        if whole:
            whole[0] = bytes(self.partial) + whole[0]
            self.partial = bytearray(rest)
            self.complete.extend(whole)
        else:
            self.partial += rest


def _text(line: bytes) -> str:
    return line.decode("utf-8", "replace").rstrip("\r")


def _tail_reader(stream: IO[bytes], tail: deque[str]) -> None:
    """Keeps the last lines of the engine's standard error (for error messages), each cut
    to ``_TAIL_LINE`` characters; the stream is closed here, by the only thread reading it."""
    lines = _LineSplitter()
    try:
        while chunk := stream.read(_CHUNK):
            lines.feed(chunk)
            while lines.complete:
                tail.append(_text(lines.complete.popleft())[:_TAIL_LINE])
            if len(lines.partial) > _MAX_LINE:
                tail.append(_text(bytes(lines.partial[:_TAIL_LINE])))
                lines.partial.clear()
    except (OSError, ValueError):
        pass
    finally:
        stream.close()


def _interpreter(path: str) -> str | None:
    """The interpreter a script's ``#!`` line names (None if it has none or is unreadable)."""
    try:
        with open(path, "rb") as file:
            first = file.readline(4096)
    except OSError:
        return None
    words = first[2:].split() if first.startswith(b"#!") else []
    return os.fsdecode(words[0]) if words else None


def _positive_seconds(value: float, what: str) -> float:
    seconds = float(value)
    if not (math.isfinite(seconds) and seconds > 0):
        raise ValueError(f"{what} must be a positive number of seconds, not {value!r}")
    return seconds


class UciEngine:
    """A UCI chess engine in a subprocess, answering positions with action numbers.

    ``UciEngine(path, options=None, timeout=10.0, *, movetime=None, depth=None,
    nodes=None, name=None)`` starts the program at ``path`` (a bare name is looked up
    on ``PATH``; none there raises ``FileNotFoundError``), sends ``uci`` and reads
    its ``id`` and ``option`` lines up to ``uciok``, sets ``options`` (a dict of option
    name to value: ``True``/``False`` for a check, an int for a spin, a str for a combo
    or string, ``None`` for a button; names as the engine lists them, in any case) and
    waits for ``readyok``. An option name the engine does not list, or a value outside
    its type or range, raises ``ValueError`` naming it (and the process is ended).

    ``movetime`` (seconds), ``depth`` and ``nodes`` are the search limits used by
    ``best_action`` and ``analyse`` calls that give none; with none at all a move gets
    ``DEFAULT_MOVETIME`` (0.05 s).

    ``timeout`` (seconds) bounds every exchange, the writing of its commands included:
    the start-up, each ``isready`` and each search (plus its ``movetime``). An engine
    that exits, does not read its input or answer in time, prints a line longer than
    64 KiB, or answers something that is not UCI raises ``EngineError``, after its
    process has been ended; the engine is closed from then on. Use it as a context manager (or
    call ``close``) so the process always ends; a collected engine is closed too, as a
    last resort. Calls from several threads run one at a time.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        options: Mapping[str, object] | None = None,
        timeout: float = 10.0,
        *,
        movetime: float | None = None,
        depth: int | None = None,
        nodes: int | None = None,
        name: str | None = None,
    ) -> None:
        self._lock = threading.RLock()
        self._process: subprocess.Popen[bytes] | None = None
        self._popen: subprocess.Popen[bytes] | None = None
        self.path = os.fspath(path)
        self.timeout = _positive_seconds(timeout, "timeout")
        self.movetime = None if movetime is None else _positive_seconds(movetime, "movetime")
        self.depth = None if depth is None else integer(depth, "depth", 1)
        self.nodes = None if nodes is None else integer(nodes, "nodes", 1)
        self.id: dict[str, str] = {}
        self._options: dict[str, UciOption] = {}
        self._output = _LineSplitter()
        self._output_ended = False
        self._stderr: deque[str] = deque(maxlen=20)
        self._threads: list[threading.Thread] = []
        self._given_name = name
        self._budget = self.timeout
        self._multipv: int | None = None  # the engine's MultiPV as far as it is known
        self._chess960 = False  # whether UCI_Chess960 was set on: engines start with it off
        self._start()
        try:
            self._handshake()
            declared = self._options.get("multipv")
            if declared is not None:
                self._multipv = _count(declared.default)
            if options:
                self._configure(options)
            else:
                self._ready()
        except BaseException:
            self._shutdown(force=True)
            raise

    # -- process ---------------------------------------------------------------------

    def _start(self) -> None:
        if os.sep not in self.path and (os.altsep is None or os.altsep not in self.path):
            self.path = shutil.which(self.path) or self.path  # a bare name: look it up on PATH
        if not os.path.exists(self.path):
            raise FileNotFoundError(errno.ENOENT, f"no UCI engine at {self.path!r}", self.path)
        try:
            process = subprocess.Popen(
                [self.path],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                bufsize=0,
                # Its own process group, so that close() also ends what it started.
                start_new_session=os.name == "posix",
            )
        except OSError as error:
            raise self._start_error(error) from error
        self._process = self._popen = process
        assert process.stdin is not None and process.stdout is not None and process.stderr is not None
        # Neither end blocks: every wait is a poll bounded by the exchange's deadline.
        os.set_blocking(process.stdin.fileno(), False)
        os.set_blocking(process.stdout.fileno(), False)
        self._writable = select.poll()
        self._writable.register(process.stdin.fileno(), select.POLLOUT)
        self._readable = select.poll()
        self._readable.register(process.stdout.fileno(), select.POLLIN)
        self._threads = [
            threading.Thread(target=_tail_reader, args=(process.stderr, self._stderr), daemon=True,
                             name=f"uci-stderr-{process.pid}"),
        ]
        for thread in self._threads:
            thread.start()

    def _start_error(self, error: OSError) -> Exception:
        """What a failed start raises: ``FileNotFoundError`` if the file has gone,
        ``EngineError`` if it cannot be run (a script's missing interpreter included)."""
        if isinstance(error, FileNotFoundError) and not os.path.exists(self.path):
            return FileNotFoundError(errno.ENOENT, f"no UCI engine at {self.path!r}", self.path)
        reason = str(error)
        interpreter = _interpreter(self.path) if isinstance(error, FileNotFoundError) else None
        if interpreter is not None and not os.path.exists(interpreter):
            reason = f"its interpreter {interpreter!r} does not exist"
        return EngineError(f"cannot start the UCI engine {self.path!r}: {reason}")

    @property
    def process(self) -> subprocess.Popen[bytes] | None:
        """The engine's ``Popen`` (kept after ``close``, for its ``returncode``)."""
        return self._popen

    @property
    def pid(self) -> int | None:
        """The engine's process id, or None if it never started."""
        return None if self._popen is None else self._popen.pid

    @property
    def closed(self) -> bool:
        """Whether the engine was closed."""
        return self._process is None

    @property
    def name(self) -> str:
        """The engine's ``id name`` (or the given ``name``, or the file name)."""
        return self._given_name or self.id.get("name") or os.path.basename(self.path)

    @property
    def options(self) -> dict[str, UciOption]:
        """The options the engine declared, by lower-case name (``options["skill level"]``)."""
        return dict(self._options)

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"pid={self.pid}"
        return f"UciEngine({self.name!r}, {state})"

    def __enter__(self) -> UciEngine:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        # A last resort: engines should be closed with close() or a with-block.
        if getattr(self, "_process", None) is not None:
            try:
                self._shutdown(force=False)
            except Exception:
                pass

    def abort(self) -> None:
        """Kills the engine's process group at once, without waiting for a call in progress
        (which then fails with ``EngineError``): for a caller that gives up on a move it
        asked for. ``close`` still releases the engine afterwards."""
        process = self._process
        if process is not None and process.poll() is None:
            self._signal(process, signal.SIGKILL)

    def close(self) -> None:
        """Ends the engine: ``quit``, then SIGTERM after ``QUIT_GRACE`` seconds, then
        SIGKILL after ``TERM_GRACE``, to the engine's whole process group (which its
        children join; one that leaves it, with ``setsid``, is not ended). Closing a
        closed engine does nothing."""
        with self._lock:
            self._shutdown(force=False)

    def _shutdown(self, force: bool) -> None:
        process, self._process = self._process, None
        if process is None:
            return
        if not force and process.poll() is None:
            try:
                self._write(process, "quit", time.monotonic() + QUIT_GRACE)
                process.wait(QUIT_GRACE)
            except (OSError, ValueError, subprocess.TimeoutExpired):
                pass
        for stream in (process.stdin, process.stdout):
            # The error stream is closed by its reader thread, the only one using it.
            try:
                if stream is not None:
                    stream.close()
            except OSError:
                pass
        if process.poll() is None and not force:
            self._signal(process, signal.SIGTERM)
            try:
                process.wait(TERM_GRACE)
            except subprocess.TimeoutExpired:
                pass
        if process.poll() is None:
            self._signal(process, signal.SIGKILL if os.name == "posix" else signal.SIGTERM)
            process.wait()
        # Whatever the engine started in its group and left behind.
        self._signal(process, signal.SIGKILL if os.name == "posix" else signal.SIGTERM)
        # A reader still blocked here has a grandchild that left the group holding the
        # pipe: it ends, and closes its stream, when that process does.
        for thread in self._threads:
            if thread is not threading.current_thread():
                thread.join(1.0)

    @staticmethod
    def _signal(process: subprocess.Popen[bytes], number: int) -> None:
        try:
            if os.name == "posix":
                os.killpg(process.pid, number)
            elif process.poll() is None:
                process.send_signal(number)
        except (ProcessLookupError, PermissionError, OSError):
            pass

    # -- protocol ----------------------------------------------------------------------

    def _write(self, process: subprocess.Popen[bytes], command: str, deadline: float) -> None:
        """Writes one command line; ``TimeoutError`` if the engine has not taken all of it
        by ``deadline`` (it stopped reading and the pipe is full)."""
        assert process.stdin is not None
        descriptor = process.stdin.fileno()
        data = memoryview((command + "\n").encode("utf-8", "replace"))
        while data:
            try:
                data = data[os.write(descriptor, data):]
                continue
            except BlockingIOError:
                pass
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(f"the engine took no input for {command.split()[0]!r}")
            self._writable.poll(math.ceil(remaining * 1000))

    def _send(self, command: str, deadline: float) -> None:
        process = self._open()
        word = command.split()[0]
        try:
            self._write(process, command, deadline)
        except TimeoutError:
            raise self._failure(f"it did not read {word!r} within {self._budget:.3g} s") from None
        except (OSError, ValueError):
            raise self._failure(f"could not send {word!r}: its input is closed", exited=True) from None

    def _open(self) -> subprocess.Popen[bytes]:
        if self._process is None:
            raise EngineError(f"the UCI engine {self.name!r} is closed")
        return self._process

    def _failure(self, what: str, exited: bool = False) -> EngineError:
        """An EngineError describing ``what`` (and how the engine ended, if it did);
        the process is ended first."""
        process = self._process
        if process is not None and exited:
            try:
                process.wait(1.0)
            except subprocess.TimeoutExpired:
                pass
        code = None if process is None else process.poll()
        if exited and self._threads:
            self._threads[0].join(0.5)  # the rest of its error output
        self._shutdown(force=True)
        message = f"UCI engine {self.name!r} ({self.path}): {what}"
        if code is not None:
            message += f" (it exited with code {code})"
        if self._stderr:
            message += "; its last error output: " + " | ".join(self._stderr)
        return EngineError(message)

    def _read(self, deadline: float, waiting_for: str) -> str:
        """The engine's next whole line; ``EngineError`` at the deadline, at the end of
        output, or for a line longer than ``_MAX_LINE`` bytes."""
        output = self._output
        while not output.complete:
            if len(output.partial) > _MAX_LINE:
                raise self._failure(f"it printed a line longer than {_MAX_LINE} bytes before {waiting_for}")
            if self._output_ended:
                raise self._failure(f"the engine closed its output before {waiting_for}", exited=True)
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise self._failure(f"no {waiting_for} within {self._budget:.3g} s")
            self._receive(math.ceil(remaining * 1000))
        line = output.complete.popleft()
        if len(line) > _MAX_LINE:
            raise self._failure(f"it printed a line longer than {_MAX_LINE} bytes before {waiting_for}")
        return _text(line)

    def _receive(self, milliseconds: int) -> None:
        """Takes what the engine has printed, waiting up to ``milliseconds`` for some.
        An unfinished last line at the end of output is no answer and is dropped."""
        process = self._open()
        assert process.stdout is not None
        if not self._readable.poll(milliseconds):
            return
        try:
            chunk = os.read(process.stdout.fileno(), _CHUNK)
        except BlockingIOError:
            return
        except OSError:
            chunk = b""
        if chunk:
            self._output.feed(chunk)
        else:
            self._output_ended = True

    def _deadline(self, extra: float = 0.0) -> float:
        """The deadline of an exchange that starts now: ``timeout`` plus ``extra`` seconds."""
        self._budget = self.timeout + extra
        return time.monotonic() + self._budget

    def _handshake(self) -> None:
        deadline = self._deadline()
        self._send("uci", deadline)
        while True:
            line = self._read(deadline, "'uciok' after 'uci'")
            words = line.split()
            if not words:
                continue
            if words[0] == "uciok":
                return
            if words[0] == "id" and len(words) >= 3:
                self.id[words[1]] = line.split(None, 2)[2].strip()
            elif words[0] == "option":
                option = _parse_option(line)
                if option is not None:
                    self._options[option.name.lower()] = option

    def _ready(self) -> None:
        deadline = self._deadline()
        self._send("isready", deadline)
        while self._read(deadline, "'readyok' after 'isready'").strip() != "readyok":
            pass

    def _configure(self, options: Mapping[str, object]) -> None:
        commands = []
        multipv, chess960 = self._multipv, self._chess960
        for key, value in options.items():
            if not isinstance(key, str):
                raise TypeError(f"UCI option names are str, not {type(key).__name__}")
            option = self._options.get(key.strip().lower())
            if option is None:
                offered = ", ".join(sorted(o.name for o in self._options.values())) or "none"
                raise ValueError(f"unknown UCI option {key!r} for {self.name!r} (it offers: {offered})")
            text = _option_value(option, value)
            commands.append(f"setoption name {option.name}" + ("" if text is None else f" value {text}"))
            if option.name.lower() == "multipv":
                multipv = _count(text)
            if option.name.lower() == "uci_chess960":
                chess960 = text is not None and text.lower() == "true"
        deadline = self._deadline()
        for command in commands:
            self._send(command, deadline)
        self._ready()
        self._multipv, self._chess960 = multipv, chess960

    def set_options(self, options: Mapping[str, object]) -> None:
        """Sets UCI options as the constructor does (``ValueError`` for an unknown name
        or a bad value, with nothing sent) and waits for ``readyok``."""
        with self._lock:
            self._open()
            self._configure(options)

    def new_game(self) -> None:
        """Tells the engine that the next position is from another game (``ucinewgame``)."""
        with self._lock:
            self._open()
            self._send("ucinewgame", self._deadline())
            self._ready()

    def best_action(
        self,
        position: Position,
        movetime: float | None = None,
        depth: int | None = None,
        nodes: int | None = None,
        *,
        start_fen: str | None = None,
        moves: Sequence[str] | None = None,
    ) -> int:
        """The action of the engine's best move in ``position`` (a ``vantor.State``, a
        ``vantor.Vantor``, a ``Game`` or a ``(BatchEnv, index)`` pair).

        Limits: ``movetime`` in seconds (sent in milliseconds), ``depth`` in plies,
        ``nodes``; any combination, else the engine's own defaults (see the class).
        A Chess960 position (of a ``Game`` or ``(BatchEnv, index)`` made with ``chess960``)
        is searched with the engine's ``UCI_Chess960`` option on (set when it is not; an
        engine without it raises ``ValueError``), its castling moves written as the king
        onto its rook; a standard position turns the option off again.

        The engine is sent ``position fen <FEN of position>``; with ``moves`` (UCI texts
        of the moves played from ``start_fen``, the standard initial position when
        None) it is sent ``position fen <start_fen> moves ...`` instead, so that it
        sees the game's repetitions; those moves must lead to ``position``. ``start_fen``
        is read with ``vantor_gym.fen.read_fen`` (``ValueError`` naming the fault) and sent
        as its six fields one blank apart.

        A position with no legal move raises ``ValueError``; an engine that fails
        (exits, hangs past ``timeout`` plus ``movetime``, or names a move that is not
        legal in ``position``) raises ``EngineError`` and is closed.
        """
        search = self._prepare(position, movetime, depth, nodes, start_fen, moves)
        return self._run(search, None).action

    def analyse(
        self,
        position: Position,
        movetime: float | None = None,
        depth: int | None = None,
        nodes: int | None = None,
        *,
        multipv: int = 1,
        start_fen: str | None = None,
        moves: Sequence[str] | None = None,
    ) -> Analysis:
        """Searches ``position`` as ``best_action`` does (the same arguments, checks and
        failures) and returns the engine's move with its evaluation, an ``Analysis``: the
        last exact score of the principal line the engine printed before ``bestmove``, and
        with ``multipv`` K the last exact score of each of its K best lines with the line's
        first move. Info lines that cannot be a score (malformed, bounds, a mate in 0 in a
        position with legal moves, ...) are counted in ``skipped``, never read as one.

        The engine's ``MultiPV`` option is set to ``multipv`` unless it is known to hold
        that value already, and stays so for later searches (``best_action``'s too); an engine
        without that option searches one line, and asking it for more raises
        ``ValueError`` before anything is sent, as does a ``multipv`` outside the option's
        range."""
        count = integer(multipv, "multipv", 1)
        search = self._prepare(position, movetime, depth, nodes, start_fen, moves)
        return self._run(search, count)

    def _prepare(self, position: Position, movetime: float | None, depth: int | None, nodes: int | None,
                 start_fen: str | None, moves: Sequence[str] | None) -> _Search:
        """The position searched, its ``position`` command, the ``go`` limits and the
        seconds they allow, every argument checked before anything is sent."""
        chess960 = is_chess960(position)
        # A Chess960 position's moves are read from its game; a snapshot reads as standard.
        state: Position = position if chess960 else _snapshot(position)
        if chess960 and "uci_chess960" not in self._options:
            raise ValueError(f"{self.name!r} has no UCI_Chess960 option: it does not play Chess960")
        limits: list[str] = []
        if movetime is not None:
            limits.append(f"movetime {max(1, round(_positive_seconds(movetime, 'movetime') * 1000))}")
        if depth is not None:
            limits.append(f"depth {integer(depth, 'depth', 1)}")
        if nodes is not None:
            limits.append(f"nodes {integer(nodes, 'nodes', 1)}")
        if not limits:
            movetime = self.movetime
            if movetime is None and self.depth is None and self.nodes is None:
                movetime = DEFAULT_MOVETIME
            if movetime is not None:
                limits.append(f"movetime {max(1, round(movetime * 1000))}")
            if self.depth is not None:
                limits.append(f"depth {self.depth}")
            if self.nodes is not None:
                limits.append(f"nodes {self.nodes}")
        if start_fen is not None or moves is not None:
            # The engine is sent the six fields one blank apart: the position that was checked.
            start = None if start_fen is None else read_fen(start_fen, chess960).text
            texts = list(moves or ())
            for text in texts:
                if not isinstance(text, str) or _UCI_MOVE.fullmatch(text) is None:
                    raise ValueError(f"moves must be UCI move texts such as 'e2e4', not {text!r}")
            command = f"position fen {start}" if start is not None else "position startpos"
            if texts:
                command += " moves " + " ".join(texts)
        else:
            command = f"position fen {fen(state)}"
        if not (has_legal_move(state) if chess960 else _has_legal_move(state)):  # type: ignore[arg-type]
            raise ValueError("the position has no legal move (checkmate or stalemate)")
        return state, command, " ".join(limits), movetime or 0.0, chess960

    def _run(self, search: _Search, multipv: int | None) -> Analysis:
        """Sets ``MultiPV`` to ``multipv`` (None: leaves it) and ``UCI_Chess960`` to the
        position's variant, and searches."""
        state, command, limits, movetime, chess960 = search
        with self._lock:
            self._open()
            change = None
            if multipv is not None and multipv != self._multipv:
                change = self._options.get("multipv")
                if change is None and multipv != 1:
                    raise ValueError(f"{self.name!r} has no MultiPV option: it searches one line, not {multipv}")
                if change is not None:
                    _option_value(change, multipv)  # out of its range: ValueError, with nothing sent
            try:
                if change is not None:
                    self._configure({change.name: multipv})
                if chess960 != self._chess960:
                    self._configure({self._options["uci_chess960"].name: chess960})
                return self._search(state, command, limits, movetime, multipv or self._multipv or 1)
            except EngineError:
                raise
            except BaseException:
                # Interrupted mid-exchange: the engine's state is unknown.
                self._shutdown(force=True)
                raise

    def _search(self, state: Position, position_command: str, limits: str, movetime: float,
                multipv: int) -> Analysis:
        deadline = self._deadline(movetime)
        self._send(position_command, deadline)
        self._send(f"go {limits}", deadline)
        info = _InfoReader(state, multipv)
        while True:
            line = self._read(deadline, "'bestmove' after 'go'")
            words = line.split()
            if words and words[0] == "info":
                info.feed(line)
            if not words or words[0] != "bestmove":
                continue
            if len(words) < 2:
                raise self._failure(f"it answered {line!r}, a bestmove naming no move")
            move = words[1]
            if move in ("(none)", "0000", "none"):
                raise self._failure(f"it answered {line!r}, but the position has legal moves")
            try:
                action = uci_to_action(state, move)
            except ValueError as error:
                raise self._failure(f"it answered {line!r}, which is not a legal move here: {error}") from None
            return info.analysis(action)
