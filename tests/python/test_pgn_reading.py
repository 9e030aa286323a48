"""Reading SAN, UCI and PGN: what python-chess reads as a move is read as the same move or
refused, hostile text is answered in time linear in its length, and every refusal names why."""

import io
import logging
import os
import re
import subprocess
import sys
import textwrap
import time
import warnings

import numpy as np
import pytest

import vantor
from conftest import SANITIZED, START_FEN
from vantor_gym.notation import action_to_san, action_to_uci, read_pgn, san_to_action, uci_to_action

chess = pytest.importorskip("chess")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import strategies as st  # noqa: E402

with warnings.catch_warnings():
    warnings.filterwarnings("ignore", "'asyncio.DefaultEventLoopPolicy' is deprecated", DeprecationWarning)
    import chess.pgn  # noqa: E402

logging.getLogger("chess.pgn").setLevel(logging.CRITICAL)  # its errors are read from game.errors

SETTINGS = hypothesis.settings(
    max_examples=150 if SANITIZED else 1500, deadline=None, derandomize=True, database=None,
    suppress_health_check=list(hypothesis.HealthCheck),
)
PGN_SETTINGS = hypothesis.settings(SETTINGS, max_examples=40 if SANITIZED else 300)
# Castling both ways, promotions by push and capture, en passant, pieces that need a file,
# a rank or both to tell them apart, and a pawn that could only capture onto the square named.
SPECIAL_FENS = [
    "r3k2r/1P6/8/8/8/8/8/R3K2R w KQkq - 0 1",
    "r3k2r/8/8/8/8/8/1p6/R3K2R b KQkq - 0 1",
    "1n2k3/P7/8/8/8/8/8/4K3 w - - 0 1",
    "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1",
    "k7/8/8/2Q1Q3/8/2Q5/8/4K3 w - - 0 1",
    "4k3/8/8/8/8/8/8/1N2KN2 w - - 0 1",
    "4k3/8/8/8/4p3/3P4/8/4K3 w - - 0 1",
]


def random_games(count, seed, plies=60):
    """Games of random legal moves: (start FEN or None, [(board before, action, SAN)])."""
    rng = np.random.default_rng(seed)
    games = []
    for g in range(count):
        start = SPECIAL_FENS[g % len(SPECIAL_FENS)] if g % 3 == 2 else None
        env, board = vantor.Vantor(), chess.Board(start or START_FEN)
        env.reset()
        if start:
            env.parse_fen(start)
        moves = []
        for _ in range(rng.integers(plies + 1)):
            legal = np.flatnonzero(np.array(env.get_actions()).ravel())
            if not len(legal):
                break
            action = int(rng.choice(legal))
            moves.append((board.copy(), action, action_to_san(env, action)))
            board.push_uci(action_to_uci(env, action))
            env.step(action)
        games.append((start, moves))
    return games


GAMES = random_games(40, seed=5, plies=40)
POSITIONS = [board for _, moves in GAMES for board, _, _ in moves] + [chess.Board(f) for f in SPECIAL_FENS]


def state_of(board):
    env = vantor.Vantor()
    env.reset()
    env.parse_fen(board.fen())
    return env.save_state()


@st.composite
def move_texts(draw, alphabet):
    """A legal move's SAN or UCI with a few random edits, or random text of move characters."""
    board = draw(st.sampled_from(POSITIONS))
    move = draw(st.sampled_from(list(board.legal_moves)))
    text = draw(st.sampled_from([board.san(move), move.uci(), board.san(move).rstrip("+#")]))
    for _ in range(draw(st.integers(0, 3))):
        at = draw(st.integers(0, len(text)))
        edit = draw(st.sampled_from(["insert", "delete", "replace"]))
        char = draw(st.sampled_from(alphabet))
        text = text[:at] + (char if edit != "delete" else "") + text[at + (edit != "insert"):]
    text = draw(st.one_of(st.just(text), st.text(st.sampled_from(alphabet), max_size=8)))
    return board, text


# Each reader, python-chess's reader of the same notation, what undoes our documented
# leniencies, and the characters of random texts.
READERS = {
    "san": (san_to_action, chess.Board.parse_san, lambda t: t.strip().rstrip("!?"),
            "NBRQKPnbrqkabcdefgh12345678xX-=+#!?O0 \t\x00\u00e9"),
    "uci": (uci_to_action, chess.Board.parse_uci, lambda t: t.strip()[:4] + t.strip()[4:].lower(),
            "abcdefgh12345678qrbnkQRBNK0 -x@\x00"),
}


@pytest.mark.parametrize("notation", READERS)
@SETTINGS
@hypothesis.given(data=st.data())
def test_moves_read_as_python_chess_reads_them_or_are_refused(notation, data):
    """What we read, python-chess reads as the same move once our leniencies are undone;
    what python-chess reads as a move we read as that move, refusing only null moves and
    castling written as the king taking its own rook."""
    ours_read, theirs_read, lenient, alphabet = READERS[notation]
    board, text = data.draw(move_texts(alphabet))
    try:
        ours = chess.Move.from_uci(action_to_uci(state_of(board), ours_read(state_of(board), text)))
    except ValueError:
        ours = None
    try:
        theirs = theirs_read(board, lenient(text))
    except ValueError:
        theirs = None
    if ours is not None:
        assert theirs == ours, text
    elif theirs is not None and text == lenient(text):
        assert not theirs or board.is_castling(theirs) and not text.startswith(theirs.uci()), text


def test_san_follows_python_chess_where_it_used_to_guess():
    env = vantor.Vantor()
    env.reset()
    env.parse_fen("r3k2r/1P6/8/8/8/8/8/R3K2R w KQkq - 0 1")
    for text, uci in [("e1g1", "e1g1"), ("b8=q", "b7b8q"), ("Ra1-b1", "a1b1"), ("b7b8Q", "b7b8q"), ("0-0-0", "e1c1")]:
        assert action_to_uci(env, san_to_action(env, text)) == uci
    for text in ("Kg1", "Kc1", "O-0", "b7b8", "e4!+"):  # castling is not a king step; a mixed or broken form
        with pytest.raises(ValueError):
            san_to_action(env, text)
    env.parse_fen("4k3/8/8/8/4p3/3P4/8/4K3 w - - 0 1")
    with pytest.raises(ValueError, match="not a legal move"):
        san_to_action(env, "e4")  # not dxe4: a pawn leaves its file only when the SAN names the file


class MainLine(chess.pgn.GameBuilder):
    """python-chess's reading of the main line, its variations skipped unread as ours are."""

    def begin_variation(self):
        return chess.pgn.SKIP

    def end_variation(self):
        pass  # nothing was begun


@st.composite
def decorated_games(draw, headers=True):
    """PGN text of a random game, with comments, escape lines, glyphs, variations of legal
    alternatives, move numbers in every form and a few kinds of whitespace."""
    start, moves = draw(st.sampled_from([game for game in GAMES if headers or not game[0]]))

    def space():
        return draw(st.sampled_from([" ", "  ", "\n", "\t", "\r\n", " {a ; ( } ", "\n% x ( {\n", " ; } (\n"]))

    parts = [f'[Event "x"]\n[SetUp "1"]\n[FEN "{start}"]\n\n' if start else ""]
    for ply, (board, _, san) in enumerate(moves):
        number = board.fullmove_number
        if board.turn == chess.WHITE or ply == 0 or draw(st.booleans()):
            dots = "." if board.turn == chess.WHITE else "..."
            parts.append(draw(st.sampled_from([f"{number}{dots}", f"{number}{dots} ", f"{number} ", ""])))
        parts.append(san + draw(st.sampled_from(["", "!", "?!", "!!", "" if san[-1] in "+#" else "+"])) + space())
        parts.append(draw(st.sampled_from(["", "$1 ", "!? ", "{c}"])))
        others = [board.san(m) for m in board.legal_moves if board.san(m) != san]
        if others and draw(st.booleans()):
            nested = f"( {draw(st.sampled_from(others))} ) " if draw(st.booleans()) else ""
            parts.append(f"({number}{'.' if board.turn else '...'} {draw(st.sampled_from(others))} {nested}$2)")
            parts.append(space())
    results = ["*", "1-0", "1/2-1/2", ""] if moves or start else ["*"]  # else there would be no game
    parts.append(draw(st.sampled_from(results)) + draw(st.sampled_from(["", "\n", " {end}\n\n1. d4 *"])))
    return "".join(parts), [action for _, action, _ in moves]


def python_chess_reading(text, visitor=MainLine):
    game = chess.pgn.read_game(io.StringIO(text), Visitor=visitor)
    return [m.uci() for m in game.mainline_moves()], game.headers.get("Result", "*"), game.errors


def our_reading(text):
    game = read_pgn(text)
    replay = vantor.Vantor()
    replay.reset()
    if game.start_fen:
        replay.parse_fen(game.start_fen)
    ucis = []
    for action in game.actions:
        ucis.append(action_to_uci(replay, action))
        replay.step(action)
    return ucis, game.result


@PGN_SETTINGS
@hypothesis.given(decorated_games())
def test_decorated_games_read_as_played_and_as_python_chess_reads_them(case):
    text, actions = case
    assert read_pgn(text).actions == actions
    for visitor in (chess.pgn.GameBuilder, MainLine):
        ucis, result, errors = python_chess_reading(text, visitor)
        assert not errors and (ucis, result) == our_reading(text)


@PGN_SETTINGS
@hypothesis.given(decorated_games(headers=False), st.lists(st.tuples(st.floats(0, 1), st.sampled_from(
    list("(){};%$!?*-/.1234567890 \n\tx+=#") + ["\n\n", "O-O", "e4", "Nf3", "1-0", "\x00", "\u00e9"]
)), min_size=1, max_size=4))
def test_mutated_games_read_as_python_chess_reads_them_or_are_refused(case, edits):
    text = case[0]
    for where, insert in edits:
        at = int(where * len(text))
        text = text[:at] + insert + text[at + (where > 0.5):]  # half the edits replace a character
    try:
        ours = our_reading(text)
    except ValueError:
        return
    ucis, result, errors = python_chess_reading(text)
    assert not errors and (ucis, result) == ours, text


def test_pgn_comments_escapes_variations_and_game_ends():
    assert read_pgn("1. e4 ; {( 1-0 } anything\ne5 {;( 0-1 \n } *").actions == [564, 524]
    assert read_pgn("%escape (e5 {\n1. e4\n% 1-0 ( {\ne5 *").actions == [564, 524]
    assert read_pgn("\ufeff\n% x\n; y\n[White \"a \\\"b\\\"\"]  \n\n\n1. e4 1-0 {done}\n[Event \"next\"]\n").headers == {
        "White": 'a "b"'}
    plain = read_pgn("1. e4 e5 2. Nf3 Nc6 *").actions
    assert read_pgn("1. e4 (1. d4 (1. c4) 1... d5) e5 $14 2. Nf3!? 12... Nc6 1-0").actions == plain
    assert read_pgn("1. e4\n \t\n1. d4 *").actions == [564]  # a blank line ends the game
    assert read_pgn('[Result "0-1"]\n\n1. e4').result == "0-1"
    nested = 40_000
    assert read_pgn("1. e4 " + "( d4 " * nested + ")" * nested + " e5 *").actions == [564, 524]


HOSTILE = [
    ("", "holds no game"),
    (" \n{only} ; a comment\n% escape\n", "holds no game"),
    ("1. e4 {never closed", "line 1 of the PGN text: a comment opened by '{' is never closed"),
    ("1. e4\n(1. d4 (1. c4)\ne5 *", "line 3 of the PGN text: 1 variation"),
    ("1. e4 ) e5", "')' closes no variation"),
    ("( 1. e4 ) e5", "must follow the move it stands in for"),
    ("1. e4 ( ( 1. d4 ) ) *", "must follow the move it stands in for"),
    ("1. e4 } e5", "'}' closes no comment"),
    ("1. e4 $ e5", "'$' must be followed by the number"),
    ("1. e4 1-0 e5", "goes on after its result 1-0"),
    ("1. e4\n[Event \"x\"]\n", "header lines come before the movetext"),
    ('  [Event "x"]\n1. e4', "header lines come before the movetext"),
    ('[Event "x" junk]\n', "line 1: malformed PGN header line"),
    ("1. e4 e\x005", "ply 2: malformed SAN move 'e\\x005'"),
    ("1. e4 \u00e9 *", "ply 2: malformed SAN move"),
    ("1. e4 0000 e5", "ply 2: malformed SAN move '0000'"),
    ("1. e4 -- e5", "ply 2: malformed SAN move '--'"),
    ("1. Nf3Nf6", "ply 1: malformed SAN move 'Nf3Nf6'"),
]


@pytest.mark.parametrize("text, reason", HOSTILE)
def test_malformed_pgn_is_refused_with_the_reason(text, reason):
    with pytest.raises(ValueError, match=re.escape(reason)):
        read_pgn(text)


def test_hostile_texts_are_answered_in_linear_time():
    """Each text is answered well inside the bound, in a child process that a time-out
    ends, so a reader that hangs fails the test instead of stalling the suite."""
    code = textwrap.dedent("""
        import time, vantor
        from vantor_gym.notation import read_pgn, san_to_action, uci_to_action
        env = vantor.Vantor(); env.reset()
        n = 400_000
        cases = [
            lambda k: san_to_action(env, "e4" + "!" * k + "x"),
            lambda k: san_to_action(env, "e4" + "+" * k),
            lambda k: uci_to_action(env, "e2e4" + " " * k + "q"),
            lambda k: read_pgn("1. e4 " + "{" * k + " e5 *"),
            lambda k: read_pgn("1. e4 " + "(" * k + " e5 *"),
            lambda k: read_pgn("1. e4 " + "( d4 " * (k // 10) + ")" * (k // 10) + " *"),
            lambda k: read_pgn("1. e4 " + "$1 !? {c} " * (k // 4) + " *"),
            lambda k: read_pgn("e4 " * k),
            lambda k: read_pgn("1. e4 " + ";" * k + "\\n%" * k + "\\n*"),
            lambda k: read_pgn('[Event "' + '\\\\"' * k + '"]\\n\\n*'),
            lambda k: read_pgn('[Event "' + "x" * k + '\\n1. e4 *'),
            lambda k: read_pgn("1." * k + " *"),
            lambda k: read_pgn("\\x00" * k),
            lambda k: read_pgn("1. e4 " + "x\\r" * k),
        ]
        def seconds(case, k):
            began = time.perf_counter()
            try:
                case(k)
            except ValueError as error:
                assert len(str(error)) < 500, str(error)[:100]  # the text is not echoed whole
            return time.perf_counter() - began
        for number, case in enumerate(cases):
            small, large = seconds(case, n // 10), seconds(case, n)
            # Linear time makes the large input ten times slower; quadratic, a hundred.
            assert large < 30 * small + 0.5 and large < 20, (number, small, large)
        print("ok")
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)
    assert run.returncode == 0 and run.stdout.strip() == "ok", run.stderr[-2000:]


def test_replaying_a_long_game_takes_time_in_proportion():
    def seconds(cycles):
        text = "1. Nf3 Nf6 2. Ng1 Ng8 " * cycles
        began = time.perf_counter()
        assert len(read_pgn(text).actions) == 4 * cycles
        return time.perf_counter() - began

    assert seconds(2_000) < 30 * seconds(200) + 0.5
