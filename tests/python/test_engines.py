"""vantor_gym.engines: UCI engines over a subprocess, matches, Elo arithmetic."""

import math
from fractions import Fraction
import os
import random
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from contextlib import nullcontext

import numpy as np
import pytest

import vantor
from vantor_gym import BatchEnv
from vantor_gym.engines import (
    ENDING_NAMES,
    QUIT_GRACE,
    EngineError,
    MatchResult,
    UciEngine,
    elo_difference,
    play_match,
)
from vantor_gym.notation import action_to_uci, read_pgn, uci_to_action
from vantor_gym.players import MonteCarloPlayer, TreeSearchPlayer

STOCKFISH = "/usr/games/stockfish"
needs_stockfish = pytest.mark.skipif(not os.path.exists(STOCKFISH), reason=f"no Stockfish at {STOCKFISH}")

START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
FOOLS_MATE = "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3"
STALEMATE = "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1"
# Two openings for FEN starts: after 1. e4 e5 2. Nf3 Nc6, and after 1. d4 d5 2. c4.
OPENINGS = [
    "r1bqkbnr/pppp1ppp/2n5/4p3/4P3/5N2/PPPP1PPP/RNBQKB1R w KQkq - 2 3",
    "rnbqkbnr/ppp1pppp/8/3p4/2PP4/8/PP2PPPP/RNBQKBNR b KQkq - 0 2",
]
TIMEOUT = 2.0  # seconds, for the misbehaving engines (ample for a Python script to start)
SLACK = 1.5  # seconds an error may take beyond its time-out (ending the process included)
LATE = 8.0  # a looser bound, for calls that start, fill or drain large pipes on a loaded machine


def random_agent(seed: int):
    rng = random.Random(seed)

    def random_player(state, mask):
        return rng.choice(np.flatnonzero(mask).tolist())

    return random_player


def gone(pid: int, within: float = 3.0) -> bool:
    """Whether process pid has ended (a zombie awaiting a parent other than us counts)."""
    end = time.monotonic() + within
    while True:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        try:
            with open(f"/proc/{pid}/stat") as stat:
                if stat.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return True
        except (FileNotFoundError, IndexError):
            return True
        if time.monotonic() > end:
            return False
        time.sleep(0.02)


def script(tmp_path, name: str, text: str) -> str:
    path = tmp_path / name
    path.write_text(text)
    path.chmod(0o755)
    return str(path)


def fake_engine(tmp_path, answer: str, readyok: bool = True) -> str:
    """A UCI engine in Python that logs what it is sent and answers every go with
    ``answer`` ("bestmove <answer>"), or hangs ("hang"), or exits ("exit")."""
    return script(
        tmp_path,
        f"fake_{len(list(tmp_path.iterdir()))}.py",
        f"""#!{sys.executable}
import os, sys, time
with open({str(tmp_path / "pid")!r}, "w") as f:
    f.write(str(os.getpid()))
def out(*lines):
    sys.stdout.write("".join(line + "\\n" for line in lines))
    sys.stdout.flush()
for line in sys.stdin:
    with open({str(tmp_path / "log")!r}, "a") as log:
        log.write(line)
    words = line.split()
    if not words:
        continue
    if words[0] == "uci":
        out("id name Fake Engine", "id author nobody",
            "option name Hash type spin default 16 min 1 max 1024",
            "option name Style type combo default Normal var Solid var Normal var Risky Play",
            "option name Ponder type check default false",
            "option name Clear Hash type button",
            "option name Book File type string default <empty>",
            "uciok")
    elif words[0] == "isready" and {readyok!r}:
        out("readyok")
    elif words[0] == "go":
        if {answer!r} == "hang":
            time.sleep(600)
        elif {answer!r} == "exit":
            sys.exit(5)
        out("info depth 1 score cp 0", "bestmove " + {answer!r})
    elif words[0] == "quit":
        break
""",
    )


def read_pid(tmp_path, name: str = "pid") -> int:
    end = time.monotonic() + 5
    while not (tmp_path / name).exists() or not (tmp_path / name).read_text().strip():
        assert time.monotonic() < end, f"the script wrote no {name}"
        time.sleep(0.01)
    return int((tmp_path / name).read_text())


def sent(tmp_path) -> list[str]:
    return (tmp_path / "log").read_text().splitlines()


def starting_board() -> vantor.Vantor:
    board = vantor.Vantor()
    board.reset()
    return board


def engine_script(tmp_path, go: str = 'out(b"bestmove e2e4")', ready: str = 'out(b"readyok")',
                  uci: str = 'out(b"uciok")', prelude: str = "") -> str:
    """A UCI engine in Python that writes its pid and runs one Python statement (on one
    line, ``out(bytes)`` printing a line) for each of ``uci``, ``isready`` and ``go``."""
    return script(
        tmp_path,
        "engine.py",
        f"""#!{sys.executable}
import os, subprocess, sys, time
with open({str(tmp_path / "pid")!r}, "w") as f:
    f.write(str(os.getpid()))
def out(data, end=b"\\n"):
    sys.stdout.buffer.write(data + end)
    sys.stdout.buffer.flush()
{prelude}
for line in sys.stdin:
    with open({str(tmp_path / "log")!r}, "a") as log:
        log.write(line)
    word = line.split()[0] if line.split() else ""
    if word == "uci":
        {uci}
    elif word == "isready":
        {ready}
    elif word == "go":
        {go}
    elif word == "quit":
        break
""",
    )


def finishes(call, within: float):
    """Runs ``call`` on a daemon thread and returns the exception it raised (or None);
    a call still running after ``within`` seconds fails the test instead of hanging it."""
    raised: list[BaseException | None] = []

    def run() -> None:
        try:
            call()
            raised.append(None)
        except BaseException as error:
            raised.append(error)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(within)
    assert not thread.is_alive(), f"still running after {within} s"
    return raised[0]


@pytest.fixture
def reap():
    """Process ids to kill with their groups at the end of a test, so that a test that
    fails (or a process that left the engine's group) leaves nothing running."""
    pids: list[int] = []
    yield pids
    for pid in pids:
        for kill in (os.killpg, os.kill):
            try:
                kill(pid, 9)
            except OSError:
                pass


# -- Elo arithmetic --------------------------------------------------------------------


def test_elo_of_hand_computed_scores():
    assert MatchResult(3, 0, 1).score == 0.75
    # -400 log10(1/0.75 - 1) = 400 log10 3 = 190.85
    assert MatchResult(3, 0, 1).elo == pytest.approx(190.849, abs=1e-3)
    assert MatchResult(1, 0, 3).elo == pytest.approx(-190.849, abs=1e-3)
    assert MatchResult(2, 2, 2).elo == 0.0
    # 90 %: 400 log10 9 = 381.70
    assert MatchResult(8, 2, 0).elo == pytest.approx(381.697, abs=1e-3)
    assert elo_difference(0.5) == 0.0
    with pytest.raises(ValueError):
        elo_difference(1.5)


def test_elo_interval_by_the_normal_approximation():
    # 30 wins, 10 losses: score 0.75, per-game variance 0.1875, standard error
    # sqrt(0.1875 / 40) = 0.06847, score 0.75 +- 0.13419 = 0.6158 .. 0.8842.
    low, high = MatchResult(30, 0, 10).elo_interval
    assert low == pytest.approx(81.96, abs=0.01)
    assert high == pytest.approx(353.12, abs=0.01)
    # 5 wins, 3 draws, 2 losses: score 0.65, variance 0.1525, half-width 0.24204.
    result = MatchResult(5, 3, 2)
    assert result.elo == pytest.approx(107.54, abs=0.01)
    assert result.elo_interval == pytest.approx((-64.69, 366.84), abs=0.01)
    # 3 wins, 1 loss: 0.75 + 0.42434 passes 1, so the upper end is infinite.
    low, high = MatchResult(3, 0, 1).elo_interval
    assert low == pytest.approx(-126.45, abs=0.01)
    assert high == math.inf


def test_elo_at_the_edges():
    assert MatchResult(0, 0, 5).score == 0.0
    assert MatchResult(0, 0, 5).elo == -math.inf
    assert MatchResult(5, 0, 0).elo == math.inf
    assert MatchResult(0, 0, 5).elo_interval == (-math.inf, math.inf)
    assert MatchResult(5, 0, 0).elo_interval == (-math.inf, math.inf)
    assert MatchResult(0, 4, 0).elo_interval == (0.0, 0.0)
    assert math.isnan(MatchResult(0, 0, 0).score)
    assert "5 won, 0 drawn, 0 lost" in str(MatchResult(5, 0, 0))
    # An even score is +0 Elo, never printed as "-0".
    assert math.copysign(1.0, MatchResult(1, 2, 1).elo) == 1.0
    assert "Elo +0 (95 % interval -" in str(MatchResult(1, 2, 1))
    assert "Elo +0 (95 % interval +0 .. +0)" in str(MatchResult(0, 4, 0))


def test_engines_module_is_the_uci_and_match_modules():
    import vantor_gym.engines as engines
    import vantor_gym.match as match
    import vantor_gym.uci as uci

    for name in engines.__all__:
        assert getattr(engines, name) is getattr(uci if hasattr(uci, name) else match, name), name
    assert set(uci.__all__) | set(match.__all__) == set(engines.__all__)
    # The client stands alone: importing it loads no match code.
    probe = subprocess.run([sys.executable, "-c", "import sys, vantor_gym.uci; print('vantor_gym.match' in sys.modules)"],
                           capture_output=True, text=True, timeout=60)
    assert probe.stdout.strip() == "False", probe.stderr


# -- misbehaving engines ----------------------------------------------------------------


def test_missing_engine_is_file_not_found(tmp_path):
    with pytest.raises(FileNotFoundError, match="no UCI engine"):
        UciEngine(str(tmp_path / "no-such-engine"))


def test_program_that_cannot_run_is_an_engine_error(tmp_path):
    path = tmp_path / "not-executable"
    path.write_text("uciok\n")
    path.chmod(0o644)
    with pytest.raises(EngineError, match="cannot start"):
        UciEngine(str(path))


def test_engine_that_exits_at_once(tmp_path):
    path = script(tmp_path, "exits.sh", f"#!/bin/sh\necho $$ > {tmp_path / 'pid'}\nexit 3\n")
    begun = time.monotonic()
    with pytest.raises(EngineError, match="exited with code 3"):
        UciEngine(path, timeout=TIMEOUT)
    assert time.monotonic() - begun < TIMEOUT + SLACK
    assert gone(read_pid(tmp_path))


def test_engine_that_never_answers(tmp_path):
    # The script waits on a child of its own: both must be ended.
    path = script(
        tmp_path, "hangs.sh",
        f"#!/bin/sh\necho $$ > {tmp_path / 'pid'}\nsleep 600 &\necho $! > {tmp_path / 'child'}\nwait\n",
    )
    begun = time.monotonic()
    with pytest.raises(EngineError, match="no 'uciok' after 'uci' within 2 s"):
        UciEngine(path, timeout=TIMEOUT)
    elapsed = time.monotonic() - begun
    assert TIMEOUT <= elapsed < TIMEOUT + SLACK
    assert gone(read_pid(tmp_path))
    assert gone(read_pid(tmp_path, "child"))


def test_engine_that_prints_garbage_forever(tmp_path):
    path = script(
        tmp_path, "garbage.py",
        f"#!{sys.executable}\nimport os, time\nopen({str(tmp_path / 'pid')!r}, 'w').write(str(os.getpid()))\n"
        "while True:\n    print('\\x00garbage \\xff bestmove readyok', flush=True)\n    time.sleep(0.001)\n",
    )
    begun = time.monotonic()
    with pytest.raises(EngineError, match="no 'uciok'"):
        UciEngine(path, timeout=TIMEOUT)
    assert time.monotonic() - begun < TIMEOUT + SLACK
    assert gone(read_pid(tmp_path))


def test_engine_that_prints_garbage_and_exits(tmp_path):
    path = script(tmp_path, "noise.sh", f"#!/bin/sh\necho $$ > {tmp_path / 'pid'}\necho 'Hello, world'\necho oops >&2\n")
    with pytest.raises(EngineError, match=r"exited with code 0\); its last error output: oops"):
        UciEngine(path, timeout=TIMEOUT)
    assert gone(read_pid(tmp_path))


def test_engine_that_never_gets_ready(tmp_path):
    begun = time.monotonic()
    with pytest.raises(EngineError, match="no 'readyok'"):
        UciEngine(fake_engine(tmp_path, "e2e4", readyok=False), timeout=TIMEOUT)
    assert time.monotonic() - begun < TIMEOUT + SLACK
    assert gone(read_pid(tmp_path))


@pytest.mark.parametrize(
    ("answer", "reason"),
    [
        ("e2e5", "not a legal move here: e2e5 is not a legal move for white"),
        ("z9z9", "not a legal move here: malformed UCI move"),
        ("e7e5", "not a legal move here: e7e5 is not legal: no white piece stands on e7"),
        ("(none)", "but the position has legal moves"),
        ("hang", "no 'bestmove' after 'go' within 2.05 s"),
        ("exit", "closed its output before 'bestmove'.*exited with code 5"),
    ],
)
def test_engine_that_answers_go_wrongly(tmp_path, answer, reason):
    engine = UciEngine(fake_engine(tmp_path, answer), timeout=TIMEOUT)
    pid = engine.pid
    begun = time.monotonic()
    with pytest.raises(EngineError, match=reason):
        engine.best_action(starting_board(), movetime=0.05)
    assert time.monotonic() - begun < TIMEOUT + 0.05 + SLACK
    assert engine.closed and engine.process is not None and engine.process.poll() is not None
    assert gone(pid)
    with pytest.raises(EngineError, match="is closed"):
        engine.best_action(starting_board())
    engine.close()  # closing again does nothing


def test_fake_engine_protocol(tmp_path):
    options = {"hash": 64, "Style": "risky play", "Ponder": True, "Clear Hash": None, "Book File": "x y.bin"}
    with UciEngine(fake_engine(tmp_path, "e2e4"), options, timeout=TIMEOUT) as engine:
        assert engine.name == "Fake Engine" and engine.id["author"] == "nobody"
        assert engine.options["style"].choices == ("Solid", "Normal", "Risky Play")
        assert engine.options["hash"].min == 1 and engine.options["hash"].max == 1024
        board = starting_board()
        assert engine.best_action(board) == 564
        assert engine.best_action(board, depth=3, nodes=100) == 564
        assert engine.best_action(board.save_state(), start_fen=START_FEN, moves=[]) == 564
        # The game's history goes to the engine as moves from its start (here back to
        # the initial position, where e2e4 is legal again).
        for text in ["g1f3", "g8f6", "f3g1", "f6g8"]:
            board.step(uci_to_action(board, text))
        assert engine.best_action(board, moves=["g1f3", "g8f6", "f3g1", "f6g8"]) == 564
        board.step(564)
        with pytest.raises(EngineError, match="e2e4 is not legal: no black piece stands on e2"):
            engine.best_action(board, movetime=0.01)
        process = engine.process
    assert process is not None and process.poll() is not None
    lines = sent(tmp_path)
    assert lines[:7] == [
        "uci",
        "setoption name Hash value 64",
        "setoption name Style value Risky Play",
        "setoption name Ponder value true",
        "setoption name Clear Hash",
        "setoption name Book File value x y.bin",
        "isready",
    ]
    assert lines[7:13] == [
        f"position fen {START_FEN}", "go movetime 50",
        f"position fen {START_FEN}", "go depth 3 nodes 100",
        f"position fen {START_FEN}", "go movetime 50",
    ]
    assert lines[13:15] == ["position startpos moves g1f3 g8f6 f3g1 f6g8", "go movetime 50"]
    assert lines[15:] == ["position fen rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 1 1", "go movetime 10"]


def test_options_are_checked_before_anything_is_sent(tmp_path):
    path = fake_engine(tmp_path, "e2e4")
    for options, reason in [
        ({"Skill Level": 3}, "unknown UCI option 'Skill Level' for 'Fake Engine' .*Hash"),
        ({"Hash": 0}, "'Hash' must be in 1..1024, not 0"),
        ({"Hash": "big"}, "'Hash' is a spin"),
        ({"Ponder": "yes"}, "'Ponder' is a check"),
        ({"Style": "Wild"}, "'Style' must be one of"),
        ({"Book File": "a\nquit"}, "one line"),
    ]:
        (tmp_path / "pid").unlink(missing_ok=True)
        with pytest.raises(ValueError, match=reason):
            UciEngine(path, options, timeout=TIMEOUT)
        assert gone(read_pid(tmp_path))
    assert not any(line.startswith("setoption") for line in sent(tmp_path))


def test_bad_arguments(tmp_path):
    with UciEngine(fake_engine(tmp_path, "e2e4"), timeout=TIMEOUT) as engine:
        board = starting_board()
        with pytest.raises(ValueError, match="movetime"):
            engine.best_action(board, movetime=0)
        with pytest.raises(ValueError, match="depth"):
            engine.best_action(board, depth=0)
        with pytest.raises(ValueError, match="UCI move texts"):
            engine.best_action(board, moves=["e2e4\ngo infinite"])
        with pytest.raises(TypeError, match="position"):
            engine.best_action("e2e4")  # type: ignore[arg-type]
        mated = vantor.Vantor()
        mated.parse_fen(FOOLS_MATE)
        with pytest.raises(ValueError, match="no legal move"):
            engine.best_action(mated)
        assert not engine.closed  # refused before anything was sent
        assert engine.best_action(board) == 564
    with pytest.raises(ValueError, match="timeout"):
        UciEngine(fake_engine(tmp_path, "e2e4"), timeout=-1)


# -- hostile engines ---------------------------------------------------------------------

# 100,000 plies of knights going out and back: a 500 KB line, far beyond a pipe's buffer.
SHUFFLE = ["g1f3", "g8f6", "f3g1", "f6g8"] * 25_000


def test_engine_that_stops_reading_its_input(tmp_path, reap):
    # After readyok it sleeps with a child of its own and never reads again, so the long
    # position line fills the pipe: the write must end at the exchange's deadline.
    path = engine_script(
        tmp_path,
        ready=(f'out(b"readyok"); child = subprocess.Popen(["sleep", "600"]); '
               f'open({str(tmp_path / "child")!r}, "w").write(str(child.pid)); time.sleep(600)'),
    )
    engine = UciEngine(path, timeout=TIMEOUT)
    reap.append(engine.pid)
    begun = time.monotonic()
    error = finishes(lambda: engine.best_action(starting_board(), moves=SHUFFLE), TIMEOUT + 30)
    assert isinstance(error, EngineError), error
    assert "did not read 'position' within 2.05 s" in str(error)
    assert TIMEOUT <= time.monotonic() - begun < TIMEOUT + LATE
    assert engine.closed and gone(read_pid(tmp_path)) and gone(read_pid(tmp_path, "child"))


def test_long_position_line_reaches_a_reading_engine(tmp_path, reap):
    # The line goes out in many partial writes; the engine must get all of it, once.
    with UciEngine(fake_engine(tmp_path, "e2e4"), timeout=TIMEOUT) as engine:
        reap.append(engine.pid)
        assert engine.best_action(starting_board(), moves=SHUFFLE) == 564
        assert engine.best_action(starting_board(), movetime=0.01) == 564
    lines = sent(tmp_path)
    assert lines[2] == "position startpos moves " + " ".join(SHUFFLE)
    assert lines[3:] == ["go movetime 50", f"position fen {START_FEN}", "go movetime 10", "quit"]


@pytest.mark.parametrize(
    ("where", "printed", "reason"),
    [
        # Tails that would read as answers if the line were cut at its 64 KiB.
        ("uci", 'out(b"x" * 65_536 + b"uciok")', "longer than 65536 bytes before 'uciok'"),
        ("go", 'out(b"x" * 65_536 + b"bestmove a2a3")', "longer than 65536 bytes before 'bestmove'"),
        ("go", 'out(b"x" * 100_000 + b" bestmove a2a3")', "longer than 65536 bytes before 'bestmove'"),
        # A line that never ends is over-long as soon as its first 64 KiB have come.
        ("go", 'out(b"info " * 30_000 + b"bestmove a2a3", end=b""); time.sleep(600)', "longer than 65536"),
    ],
    ids=["uciok-tail", "bestmove-tail", "bestmove-after-100k", "unended"],
)
def test_over_long_line_is_an_error_not_an_answer(tmp_path, reap, where, printed, reason):
    path = engine_script(tmp_path, **{where: printed})
    begun = time.monotonic()

    def start_and_ask() -> None:
        with UciEngine(path, timeout=TIMEOUT) as engine:
            engine.best_action(starting_board())

    error = finishes(start_and_ask, TIMEOUT + 30)
    reap.append(read_pid(tmp_path))
    assert isinstance(error, EngineError) and reason in str(error), error
    assert time.monotonic() - begun < TIMEOUT + LATE
    assert gone(read_pid(tmp_path))


@pytest.mark.parametrize(
    "answer",
    [
        # An info line just under the bound, then the answer.
        'out(b"info string " + b"y" * 65_000); out(b"bestmove e2e4")',
        # The answer in pieces, with pauses between them, and a CRLF end.
        'out(b"best", end=b""); time.sleep(0.2); out(b"move e2", end=b""); time.sleep(0.2); out(b"e4", end=b"\\r\\n")',
        # Bytes that are not UTF-8 are a line like any other.
        r'out(b"\xff\xfe\x00 bestmove"); out(b"bestmove e2e4 ponder e7e5")',
    ],
    ids=["long-info-line", "in-pieces-crlf", "not-utf8"],
)
def test_odd_but_whole_answers_are_read(tmp_path, reap, answer):
    with UciEngine(engine_script(tmp_path, go=answer), timeout=TIMEOUT) as engine:
        reap.append(engine.pid)
        assert engine.best_action(starting_board()) == 564


def test_answer_without_a_newline_before_exit_is_no_answer(tmp_path, reap):
    engine = UciEngine(engine_script(tmp_path, go='out(b"bestmove e2e4", end=b""); sys.exit(0)'), timeout=TIMEOUT)
    reap.append(engine.pid)
    with pytest.raises(EngineError, match="closed its output before 'bestmove'"):
        engine.best_action(starting_board())


def test_engine_that_closes_its_output_but_runs_on(tmp_path, reap):
    engine = UciEngine(engine_script(tmp_path, go="os.close(1); time.sleep(600)"), timeout=TIMEOUT)
    reap.append(engine.pid)
    begun = time.monotonic()
    with pytest.raises(EngineError, match="closed its output before 'bestmove'"):
        engine.best_action(starting_board())
    assert time.monotonic() - begun < TIMEOUT + LATE
    assert gone(read_pid(tmp_path))


@pytest.mark.parametrize(
    ("text", "mode", "reason"),
    [
        ("#!/nonexistent/python\nprint('uciok')\n", 0o755, "its interpreter '/nonexistent/python' does not exist"),
        ("uciok\n", 0o755, "Exec format error"),
        (None, 0o755, "Permission denied"),  # a directory
    ],
    ids=["missing-interpreter", "no-program", "directory"],
)
def test_file_that_is_no_program_is_an_engine_error(tmp_path, text, mode, reason):
    path = tmp_path / "engine"
    if text is None:
        path.mkdir()
    else:
        path.write_text(text)
    path.chmod(mode)
    with pytest.raises(EngineError, match=f"cannot start the UCI engine .*{reason}"):
        UciEngine(str(path), timeout=TIMEOUT)


def test_child_that_leaves_the_group_is_not_ended(tmp_path, reap):
    # The engine starts a child in a session of its own that keeps the engine's output
    # pipes open: close() and a failure still return, end the engine, and leave that child.
    leaver = (f'leaver = subprocess.Popen(["sleep", "600"], start_new_session=True)\n'
              f'open({str(tmp_path / "leaver")!r}, "w").write(str(leaver.pid))')
    for go in ('out(b"bestmove e2e4")', "time.sleep(600)"):
        for name in ("pid", "leaver"):
            (tmp_path / name).unlink(missing_ok=True)
        engine = UciEngine(engine_script(tmp_path, go=go, prelude=leaver), timeout=TIMEOUT)
        reap.extend([engine.pid, read_pid(tmp_path, "leaver")])
        begun = time.monotonic()
        error = finishes(lambda: engine.best_action(starting_board()), TIMEOUT + 30)
        assert (error is None) == (go != "time.sleep(600)"), error
        assert finishes(engine.close, 30) is None
        assert time.monotonic() - begun < TIMEOUT + QUIT_GRACE + LATE
        assert gone(read_pid(tmp_path))
        assert not gone(read_pid(tmp_path, "leaver"), within=0)


# -- Stockfish --------------------------------------------------------------------------


@pytest.fixture(scope="module")
def stockfish():
    if not os.path.exists(STOCKFISH):
        pytest.skip(f"no Stockfish at {STOCKFISH}")
    with UciEngine(STOCKFISH, {"Threads": 1, "Hash": 16}, depth=1) as engine:
        yield engine
    assert engine.process is not None and engine.process.poll() is not None


@needs_stockfish
def test_stockfish_reads_positions_in_every_form(stockfish):
    board = starting_board()
    legal = {i for i, v in enumerate(v for row in board.get_actions() for v in row) if v}
    assert stockfish.best_action(board) in legal
    assert stockfish.best_action(board.save_state(), movetime=0.01) in legal
    with BatchEnv(2, threads=1) as games:
        games.reset()
        assert stockfish.best_action((games, 1), nodes=500) in legal
    board.parse_fen("6k1/5ppp/8/8/8/8/8/R5K1 w - - 0 1")  # Ra8 mates
    assert action_to_uci(board, stockfish.best_action(board)) == "a1a8"
    for mated in (FOOLS_MATE, STALEMATE):
        board.parse_fen(mated)
        with pytest.raises(ValueError, match="no legal move"):
            stockfish.best_action(board)
    assert stockfish.options["skill level"].max == 20


@needs_stockfish
def test_stockfish_options_and_context_manager():
    with pytest.raises(ValueError, match="unknown UCI option 'Skill'"):
        UciEngine(STOCKFISH, {"Skill": 0})
    with pytest.raises(ValueError, match="'Skill Level' must be in 0..20, not 21"):
        UciEngine(STOCKFISH, {"Skill Level": 21})
    with pytest.raises(KeyError):
        with UciEngine(STOCKFISH, {"UCI_LimitStrength": True, "UCI_Elo": 1320}, movetime=0.01) as engine:
            process = engine.process
            assert engine.best_action(starting_board()) >= 0
            raise KeyError("the with-block fails")
    assert process is not None and process.poll() is not None and gone(process.pid)


@needs_stockfish
def test_stockfish_from_several_threads(stockfish):
    board = starting_board()
    legal = {i for i, v in enumerate(v for row in board.get_actions() for v in row) if v}
    black = vantor.Vantor()
    black.parse_fen(OPENINGS[1])
    black_legal = {i for i, v in enumerate(v for row in black.get_actions() for v in row) if v}
    answers: list[tuple[str, int]] = []
    errors: list[BaseException] = []

    def ask(k: int) -> None:
        try:
            for _ in range(5):
                if k % 2:
                    answers.append(("black", stockfish.best_action(black.save_state(), nodes=200)))
                else:
                    answers.append(("white", stockfish.best_action(board.save_state(), depth=2)))
        except BaseException as error:  # pragma: no cover - reported below
            errors.append(error)

    threads = [threading.Thread(target=ask, args=(k,)) for k in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    assert len(answers) == 20
    assert all(action in (legal if side == "white" else black_legal) for side, action in answers)


@needs_stockfish
def test_stockfish_beats_a_random_player(stockfish):
    result = play_match(stockfish, random_agent(1), 10, max_plies=200)
    assert result.wins + result.draws + result.losses == 10
    assert result.wins >= 9, [(g.result, g.ending, len(g.actions)) for g in result.games]
    assert result.score >= 0.9 and result.elo > 380


@needs_stockfish
def test_match_records(stockfish, monkeypatch):
    commands: list[str] = []
    send = stockfish._send
    monkeypatch.setattr(stockfish, "_send", lambda command, *rest: (commands.append(command), send(command, *rest))[1])
    result = play_match(random_agent(2), stockfish, 4, start_fens=OPENINGS, max_plies=40)
    assert result.wins + result.draws + result.losses == 4 == len(result.pgns) == len(result.games)
    points = sum(g.score_a for g in result.games)
    assert result.score == points / 4
    assert result.wins == sum(g.score_a == 1 for g in result.games)
    assert result.losses == sum(g.score_a == 0 for g in result.games)
    for index, (game, text) in enumerate(zip(result.games, result.pgns)):
        assert game.index == index and game.a_white == (index % 2 == 0)
        parsed = read_pgn(text)
        assert parsed.actions == list(game.actions)
        assert parsed.result == game.result == parsed.headers["Result"]
        assert parsed.start_fen == OPENINGS[index // 2] == game.start_fen
        white, black = ("random_player", stockfish.name)[:: 1 if index % 2 == 0 else -1]
        assert parsed.headers["White"] == white and parsed.headers["Black"] == black
        assert parsed.headers["Round"] == str(index + 1)
        assert game.ending in ENDING_NAMES and game.ending != "illegal action"
        assert (game.ending == "max plies") == (len(game.actions) == 40)
        if game.ending == "max plies":
            assert game.result == "1/2-1/2" and parsed.headers["Termination"] == "adjudication"
    # The engine sees each game's history: its start position and the moves since.
    positions = [c for c in commands if c.startswith("position")]
    engine_plies = 0
    for game in result.games:
        board = vantor.Vantor()
        board.parse_fen(OPENINGS[game.index // 2])
        texts: list[str] = []
        for action in game.actions:
            if (board.save_state().side == 0) != game.a_white:  # the engine's move
                engine_plies += 1
                expected = f"position fen {game.start_fen}" + (" moves " + " ".join(texts) if texts else "")
                assert expected in positions
            texts.append(action_to_uci(board, action))
            board.step(action)
    assert len(positions) == engine_plies
    assert "ucinewgame" in commands


def test_match_between_callables_with_an_illegal_action():
    def cheat(state, mask):
        return 0  # never legal: nothing can leave a8 along plane 0 at the start

    first = play_match(cheat, random_agent(3), 2, max_plies=10)
    assert (first.wins, first.draws, first.losses) == (0, 0, 2)
    assert [g.ending for g in first.games] == ["illegal action", "illegal action"]
    assert [g.illegal_action for g in first.games] == [0, 0]
    assert [g.result for g in first.games] == ["0-1", "1-0"]
    assert first.forfeits == 2
    assert len(first.games[1].actions) == 1  # the random player opened as white
    parsed = read_pgn(first.pgns[0])
    assert parsed.actions == [] and parsed.result == "0-1" and parsed.headers["Termination"] == "rules infraction"
    with pytest.raises(ValueError, match="game 0, ply 1: the agent playing white gave action 0"):
        play_match(cheat, random_agent(3), 2, illegal="raise")
    for answer in ("e2e4", True, np.True_, 564.0):
        with pytest.raises(TypeError, match="not an integer"):
            play_match(lambda s, m: answer, random_agent(3), 1)


@pytest.mark.parametrize(
    "arguments, error, words",
    [({"games": 2.0}, TypeError, "games"), ({"seed": "abc"}, TypeError, "seed"), ({"seed": 1.5}, TypeError, "seed"),
     ({"names": ("a\nb", "c")}, ValueError, "names"), ({"event": "x\r[Evil"}, ValueError, "event")],
)
def test_match_arguments_are_checked_before_the_first_game(arguments, error, words):
    played = []

    def counting(state, mask):
        played.append(1)
        return int(np.flatnonzero(mask)[0])

    with pytest.raises(error, match=words):
        play_match(counting, random_agent(3), **{"games": 2, **arguments})
    assert played == []


def scripted(moves: list[str]):
    """Both sides of a game: each call plays the next of the UCI moves."""
    left = iter(moves)

    def script_player(state, mask):
        return uci_to_action(state, next(left))

    return script_player


KNIGHTS = ["g1f3", "g8f6", "f3g1", "f6g8"]
FIFTY = "7k/8/8/8/8/8/8/KR6 w - - {} 80"
BARE = "7k/8/8/8/8/8/1q6/K7 w - - 0 1"


@pytest.mark.parametrize("start, moves, rules, ending, result, max_plies", [
    (None, ["f2f3", "e7e5", "g2g4", "d8h4"], "standard", "checkmate", "0-1", None),
    (STALEMATE.replace(" b ", " w ").replace("7k", "k7"), ["f7c7"], "standard", "stalemate", "1/2-1/2", None),
    (BARE, ["a1b2"], "standard", "insufficient material", "1/2-1/2", None),
    (BARE, ["a1b2", "h8g8"], "module", "max plies", "1/2-1/2", 2),
    (FIFTY.format(99), ["b1b2"], "standard", "no progress", "1/2-1/2", None),
    (FIFTY.format(149), ["b1b2"], "automatic", "seventy-five moves", "1/2-1/2", None),
    (None, KNIGHTS * 2, "standard", "repetition", "1/2-1/2", None),
    (None, KNIGHTS * 2, "module", "repetition", "1/2-1/2", None),
    (None, KNIGHTS * 4, "automatic", "fivefold repetition", "1/2-1/2", None),
])
def test_a_match_game_ends_as_the_environment_ends_it_under_the_rules(start, moves, rules, ending, result, max_plies):
    both = scripted(moves)
    played = play_match(both, both, 1, None if start is None else [start], max_plies=max_plies, rules=rules)
    game = played.games[0]
    assert (game.ending, game.result, len(game.actions)) == (ending, result, len(moves))
    assert read_pgn(game.pgn).headers["Termination"] == ("adjudication" if ending == "max plies" else "normal")


@pytest.mark.parametrize("player, rules, words", [
    ("uci", "module", "UCI engine"),
    (lambda: TreeSearchPlayer(4, 0), "module", "'standard' rules, the match under 'module'"),
    (lambda: TreeSearchPlayer(4, 0, "automatic"), "standard", "'automatic' rules, the match under 'standard'"),
    (lambda: MonteCarloPlayer(1, "module"), "automatic", "'module' rules, the match under 'automatic'"),
    (lambda: random_agent(0), "chess", "rules must be one of"),
])
def test_a_match_refuses_rules_its_players_cannot_play_before_the_first_game(tmp_path, player, rules, words):
    played = []

    def counting(state, mask):
        played.append(1)
        return int(np.flatnonzero(mask)[0])

    with UciEngine(fake_engine(tmp_path, "e2e4")) if player == "uci" else nullcontext(player()) as agent:
        with pytest.raises(ValueError, match=words):
            play_match(counting, agent, 2, rules=rules)
    assert played == []


def test_one_monte_carlo_player_serves_several_threads():
    player = MonteCarloPlayer(1, rules="module")  # a vantor.Vantor's positions
    env = vantor.Vantor()
    env.reset()
    state, mask = env.save_state(), np.asarray(env.get_actions(), bool).reshape(-1)
    with ThreadPoolExecutor(3) as pool:
        chosen = list(pool.map(lambda _: player(state, mask), range(12)))
    assert all(mask[a] for a in chosen)


def test_match_mask_is_read_only_and_seeding_repeats():
    def writer(state, mask):
        mask[0] = True
        return 0

    with pytest.raises(ValueError, match="read-only"):
        play_match(writer, random_agent(4), 1)
    one = play_match(random_agent(5), random_agent(6), 4, start_fens=OPENINGS, max_plies=30, seed=7)
    two = play_match(random_agent(5), random_agent(6), 4, start_fens=OPENINGS, max_plies=30, seed=7)
    assert one.pgns == two.pgns
    assert {g.start_fen for g in one.games} == set(OPENINGS)
    assert one.games[0].start_fen == one.games[1].start_fen
    names = play_match(random_agent(5), random_agent(6), 1, max_plies=2)
    assert read_pgn(names.pgns[0]).headers["White"] == "random_player (a)"
    with pytest.raises(ValueError, match="games"):
        play_match(random_agent(5), random_agent(6), 0)
    with pytest.raises(ValueError, match=r"start_fens\[1\]: invalid FEN"):
        play_match(random_agent(5), random_agent(6), 2, start_fens=[START_FEN, "8/8/8/8/8/8/8/8 w - - 0 1"])


@needs_stockfish
def test_the_example_runs(tmp_path):
    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "stockfish_match.py")
    out = tmp_path / "games.pgn"
    run = subprocess.run(
        [sys.executable, example, "--games", "2", "--rollouts", "1", "--movetime", "0.005", "--pgn", str(out)],
        capture_output=True, text=True, timeout=120,
    )
    assert run.returncode == 0, run.stderr
    assert "2 games" in run.stdout and "Elo difference" in run.stdout
    first = read_pgn(out.read_text())
    assert first.headers["White"] == "flat Monte-Carlo (1 roll-outs)" and first.actions


@pytest.mark.parametrize("line, score", [
    ("info depth 12 seldepth 18 multipv 1 score cp 35 nodes 9000 pv e2e4 e7e5", ("cp", 35)),
    ("info depth 3 score cp -120 time 4 pv d2d4", ("cp", -120)),
    ("info depth 5 score mate 3 pv h5f7", ("mate", 3)),
    ("info depth 5 score mate -2 pv g8f6", ("mate", -2)),
    ("info depth 0 score mate 0", ("mate", 0)),
    ("info depth 5 score mate +4", ("mate", 4)),
    # Lines that carry no exact value of the principal line are no target, and no error.
    ("info depth 9 currmove e2e4 currmovenumber 1", None),
    ("info depth 9 multipv 2 score cp 10 pv d2d4", None),
    ("info depth 9 score cp 40 lowerbound nodes 10", None),
    ("info depth 9 score mate 2 upperbound", None),
    ("info string score cp 5000 says the log", None),
    # Any whole number, as python-chess reads one.
    ("info score cp 9999999999", ("cp", 9999999999)),
    ("info score cp -2147483649", ("cp", -2147483649)),
    ("info score cp 12345678901234567890", ("cp", 12345678901234567890)),
])
def test_info_lines_give_the_principal_lines_exact_score(line, score):
    from vantor_gym.uci import Score, info_score

    expected = None if score is None else Score(**{"centipawns" if score[0] == "cp" else "mate": score[1]})
    assert info_score(line) == expected


@pytest.mark.parametrize("line", [
    "bestmove e2e4", "", "info depth 9 score", "info depth 9 score cp", "info score cp 1.5", "info score cp x",
    "info score mate --3", "info score wdl 500 400 100", "info score cp 1 score cp 2", "info multipv score cp 3",
    "info score cp " + "9" * 5000,
])
def test_malformed_info_lines_are_refused_never_read_as_a_score(line):
    from vantor_gym.uci import info_score

    with pytest.raises(ValueError):
        info_score(line)


@pytest.mark.parametrize("line", [None, b"info score cp 5", 5, ["info", "score", "cp", "5"]])
def test_an_info_line_that_is_no_text_is_refused_by_type(line):
    from vantor_gym.uci import info_score

    with pytest.raises(TypeError):
        info_score(line)


def test_expected_score_is_the_elo_logistic_bounded_for_any_score():
    from vantor_gym.uci import Score

    assert Score(centipawns=0).expected() == 0
    # 400 centipawns ahead: odds of 10 to 1, an expected score of 10/11 on [0, 1].
    assert Score(centipawns=400).expected() == pytest.approx(2 * 10 / 11 - 1)
    assert Score(centipawns=-400).expected() == pytest.approx(-(2 * 10 / 11 - 1))
    assert Score(centipawns=10**9).expected() == 1.0 and Score(centipawns=-10**9).expected() == -1.0
    assert Score(centipawns=10**400).expected() == 1.0 and Score(centipawns=-10**400).expected() == -1.0
    assert Score(mate=10**400).expected() == 1.0
    assert (Score(mate=1).expected(), Score(mate=0).expected(), Score(mate=-5).expected()) == (1.0, -1.0, -1.0)
    assert Score(centipawns=100).expected(np.float32(200)) == pytest.approx(Score(centipawns=200).expected())
    for scale in (0, -1, math.inf, math.nan, True, "400", 10**400, Fraction(10**400), Fraction(1, 10**400)):
        with pytest.raises(ValueError):
            Score(centipawns=1).expected(scale)
    for score, error in ((Score(centipawns=math.nan), ValueError), (Score(mate=math.nan), ValueError),
                         (Score(centipawns=np.complex128(1 + 5j)), TypeError)):
        with pytest.raises(error):
            score.expected()
