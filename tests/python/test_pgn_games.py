"""Many games read at once: each game exactly as the one-game reader gives it for its own
text, python-chess's moves for every game of a file, and malformed games named or skipped."""

import io
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import vantor
from test_pgn_reading import GAMES, PGN_SETTINGS, decorated_games, hypothesis, st
from vantor_gym import Game
from vantor_gym.notation import action_to_uci, pgn, read_pgn, read_pgn_columns, read_pgn_games
from vantor_gym.pgn_reader import _Movetext, _read_headers

chess = pytest.importorskip("chess")
import chess.pgn  # noqa: E402


def one_by_one(text):
    """The games of text as reading the first game, then the first game of the rest, finds them."""
    games = []
    while text:
        headers, start = _read_headers(text)
        scanner = _Movetext(text, start)
        scanner.scan()
        end = max(scanner.position, 1)
        chunk, text = text[:end], text[end:]
        if headers or scanner.moves or scanner.result is not None:
            games.append(read_pgn(chunk))
    return games


def ucis(game):
    """UCI texts of a game's actions, replayed past what would end an environment's game."""
    env = vantor.Vantor()
    env.reset()
    if game.start_fen:
        env.parse_fen(game.start_fen)
    texts = []
    for action in game.actions:
        texts.append(action_to_uci(env, action))
        env.step(action)
    return texts


def same_games(ours, expected):
    assert len(ours) == len(expected)
    for number, (game, wanted) in enumerate(zip(ours, expected), start=1):
        assert (game.actions, game.start_fen, game.result, game.headers) == (
            wanted.actions, wanted.start_fen, wanted.result, wanted.headers), f"game {number}"


ODD = (
    "\ufeff% a file made by hand\n"
    '[Event "odd \\"quoted\\" \\\\ name"]\r\n[White "Jos\u00e9"]   \r\n\r\n'
    "1.e4 e5 2.Nf3 {a comment; with ( inside} Nc6 3.Bb5 a6 $1 4.Ba4!? Nf6 5.0-0 Be7 6.Re1 b5 "
    "7.Bb3 d6 8.c3 O-O 9.h3 (9.d4 (9.a4 b4) 9...Bg4) 9...Na5 10.Bc2 c5 1/2-1/2\r\n\r\n"
    "; a comment line between games\n"
    '[FEN "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1"]\n[SetUp "1"]\n\n1. exd6 Kd7 2. Kd2?? Kxd6 *\n\n'
    "{a lone comment, no game}\n\n"
    '[Event "promotions"]\n[FEN "1n2k3/P7/8/8/8/8/8/4K3 w - - 0 1"]\n\n1. axb8Q Kd7 2. Qb7+ 1-0\n\n'
    "1. d4 d5 2. c4 dxc4 3. e4 b5 4. a4 c6 5. axb5 cxb5 6. b3 cxb3 7. Qxb3 a6 8. Qxb5+ axb5\n"
    "\n"
    "% escape line\n1. f3 e5 2. g4 Qh4# 0-1\n"
    '[Event "after a result, no blank line"]\n1. e4 c5 2. Nf3 d6 3. d4 cxd4 4. Nxd4 Nf6 5. Nc3 a6\n'
    "6. Be3 e5 7. Nb3 Be6 8. f3 Be7 9. Qd2 O-O 10. O-O-O Nbd7 11. g4 b5 12. g5 b4 13. Ne2 Ne8\n\n"
    '[Event "no result at all"]\n\n1. e4\u2003e5\u00a02. Ke2 Ke7\n\n'
    '[Event "pawn capture into en passant"]\n\n1. e4 a6 2. e5 d5 3. exd6 Qxd6 4. e8=Q\n'
)


def test_odd_valid_pgn_reads_as_the_one_game_reader_reads_each_game():
    expected = one_by_one(ODD[:-len("4. e8=Q\n")] + "*\n")  # the last game's last move is illegal
    ours = list(read_pgn_games(ODD[:-len("4. e8=Q\n")] + "*\n"))
    same_games(ours, expected)
    assert [len(g.actions) for g in ours] == [20, 4, 3, 16, 4, 26, 4, 6]
    assert ours[0].headers["Event"] == 'odd "quoted" \\ name' and ours[0].headers["White"] == "Jos\u00e9"
    assert ours[1].start_fen == "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1" and ours[3].result == "*"
    assert ours[6].result == "*" and ours[6].headers == {"Event": "no result at all"}


SPECIAL_MOVES = (
    "1. e4 d5 2. exd5 c6 3. dxc6 Qb6 4. cxb7 Kd8 5. bxa8Q Qxb2 6. Bxb2 e5 7. f4 e4 8. d4 exd3 9. cxd3 *\n\n"
    "1. h4 g5 2. hxg5 h5 3. g6 h4 4. g7 h3 5. gxh8=N hxg2 6. Nf7+ gxf1q+ 7. Kxf1 Kxf7 0-1\n\n"
    "1. e2e4 e7e5 2. Ng1f3 Nb8c6 3. Bf1c4 Ng8f6 4. 0-0 Bc5 5. Re1 O-O *\n\n"
    # Played on past a third repetition, which a recorded game may do unclaimed.
    "1. Nf3 Nf6 2. Ng1 Ng8 3. Nf3 Nf6 4. Ng1 Ng8 5. Nc3 Nc6 1/2-1/2\n"
)


def test_promotions_en_passant_and_castling_match_python_chess():
    ours = list(read_pgn_games(SPECIAL_MOVES))
    same_games(ours, one_by_one(SPECIAL_MOVES))
    stream = io.StringIO(SPECIAL_MOVES)
    for game in ours:
        theirs = chess.pgn.read_game(stream)
        assert not theirs.errors
        assert ucis(game) == [m.uci() for m in theirs.mainline_moves()]
    assert [len(g.actions) for g in ours] == [17, 14, 10, 10]


def test_sources_and_columns_agree(tmp_path):
    text = ODD[: ODD.index("[Event \"pawn capture")]
    expected = one_by_one(text)
    path = tmp_path / "games.pgn"
    path.write_bytes(text.encode())
    for source in (text, text.encode(), path, io.StringIO(text), io.BytesIO(text.encode())):
        same_games(list(read_pgn_games(source)), expected)
    with open(path, "rb") as file:
        same_games(list(read_pgn_games(file)), expected)
    columns = read_pgn_columns(path)
    assert len(columns) == len(expected) and columns.actions.dtype == np.int64 and columns.results.dtype == np.int8
    assert columns.offsets.tolist() == np.cumsum([0] + [len(g.actions) for g in expected]).tolist()
    assert columns.results.tolist() == [0, 2, 1, 2, -1, 2, 2]
    same_games([columns.game(i) for i in range(len(columns))], expected)
    same_games([columns.game(-1)], expected[-1:])
    with pytest.raises(IndexError):
        columns.game(len(columns))
    # The documented way to the positions: a Game from each start, stepped with the actions.
    for index in range(len(columns)):
        game = Game(fen=columns.start_fens[index])
        for action in columns.actions[columns.offsets[index]:columns.offsets[index + 1]]:
            game.step(action)
    with pytest.raises(TypeError, match="PGN source"):
        list(read_pgn_games(12))
    with pytest.raises(ValueError, match="on_error"):
        read_pgn_columns(text, on_error="ignore")


@pytest.mark.parametrize("bad, fault", [
    ("1. e4 e5 2. Ke3 *", "game 2 of the PGN text: ply 3: 'Ke3' is not a legal move"),
    ("1. e4 {never closed", "game 2 of the PGN text: line 3 of the PGN text: a comment opened by '{'"),
    ('[Event "x" junk]\n\n1. e4 *', "game 2 of the PGN text: line 3: malformed PGN header line"),
    ("1. e4 1-0 e5", "game 2 of the PGN text: line 3 of the PGN text: the movetext goes on after its result"),
    ("1. e4 (1. d4 *", "game 2 of the PGN text: line 4 of the PGN text: 1 variation(s)"),
    ('[FEN "8/8/8/8/8/8/8/8 w - - 0 1"]\n\n*', "game 2 of the PGN text: "),
])
def test_malformed_games_raise_naming_the_game_or_are_skipped(bad, fault):
    good = "1. d4 d5 *\n\n"
    text = good + bad + "\n\n" + good + "\n" + good
    games = read_pgn_games(text)
    assert next(games).actions == read_pgn(good).actions
    with pytest.raises(ValueError) as error:
        next(games)
    assert str(error.value).startswith(fault)
    columns = read_pgn_columns(text, on_error="skip")
    assert [number for number, _ in columns.skipped] == [2]
    assert fault.split(": ", 1)[1] in "game 2 of the PGN text: " + columns.skipped[0][1]
    assert len(columns) == 3 and columns.actions.tolist() == read_pgn(good).actions * 3


def random_file(count, seed):
    """PGN text of random legal games, written by our writer and by python-chess's."""
    parts = []
    for number, (start, moves) in enumerate(GAMES[seed:] + GAMES[:seed]):
        if number == count:
            break
        actions = [action for _, action, _ in moves]
        if number % 2:
            board = chess.Board(start) if start else chess.Board()
            game = chess.pgn.Game.from_board(board)
            node = game
            for before, _, san in moves:
                node = node.add_variation(before.parse_san(san), comment="c" if len(san) > 3 else "")
                if len(node.parent.variations) == 1 and len(list(before.legal_moves)) > 1:
                    other = next(m for m in before.legal_moves if before.san(m) != san)
                    node.parent.add_variation(other, nags=[1])
            parts.append(str(game))
        else:
            parts.append(pgn(actions, start_fen=start, headers={"Round": str(number)}))
    return "\n\n".join(parts) + "\n"


def test_random_files_read_as_python_chess_reads_them():
    text = random_file(40, seed=3)
    ours = list(read_pgn_games(text))
    same_games(ours, one_by_one(text))
    stream = io.StringIO(text)
    for game in ours:
        theirs = chess.pgn.read_game(stream)
        assert not theirs.errors and theirs.board().fen() == (game.start_fen or chess.STARTING_FEN)
        assert ucis(game) == [m.uci() for m in theirs.mainline_moves()]
    assert chess.pgn.read_game(stream) is None


UNICODE_AND_EDITS = list("(){};%$!?*-/.1234567890 \n\tx+=#[]\"") + [
    "\n\n", "O-O", "e4", "Nf3", "1-0", "\x00", "\u00e9", "\u00a0", "\u2003", "\x1c", "\r\n", '\n[A "b"]\n', "\ufeff"]


def reads_as_one_game_at_a_time(text):
    """The bulk reader gives the games the one-game reader finds, or names the first bad one."""
    try:
        expected, fault = one_by_one(text), None
    except ValueError as error:
        expected, fault = None, str(error)
    if fault is None:
        same_games(list(read_pgn_games(text)), expected)
        return
    with pytest.raises(ValueError, match="game [0-9]+ of the PGN text: "):
        list(read_pgn_games(text))
    read_pgn_columns(text, on_error="skip")  # never a crash or a hang, whatever is skipped


# The first game of a file the test below drew, a NUL byte glued to a move in a variation
# (13. Kb2): the native walk stood still on a NUL byte for good.
DRAWN_WITH_NUL = (
    '[Event "x"]\n[SetUp "1"]\n[FEN "1n2k3/P7/8/8/8/8/8/4K3 w - - 0 1"]\n\n'
    "1. a8=B+\t$1 1 Nd7!!\n% x ( {\n(1... Na6 $2)\n% x ( {\n2 Kd2+ {a ; ( } 2... Nb8!!\n"
    "{c}3 Be4 {a ; ( } !? Na6!!\t{c}4. Kd3!\r\nKd8?! ; } (\n!? 5. Kd2!!\r\n$1 (5. Bg6 $2)\n"
    "Kd7! {a ; ( } !? 6.Kc3!!\t(6. Bc2 $2) 6...Kd8  $1 7.Bh1?! {a ; ( } !? Kd7 {a ; ( } !? 8.Kb2!! "
    "{a ; ( } $1 Kc8+ {a ; ( } !? 9. Be4!\n"
    "% x ( {\n$1 (9. Ba8 $2) {a ; ( } Nb8\t(9... Nc5 ( Kb8 ) $2)\n10 Bc2?!\t$1 (10. Bb1 $2)\n"
    "Na6+\n% x ( {\n$1 (10... Kc7 ( Kd8 ) $2)\r\nKa1!! {c}(11. Ba4 ( Kc3 ) $2)\nKb7+\r\n"
    "{c}(11... Nb4 $2) {a ; ( } 12 Bb3!  $1 (12. Bb1 ( Bf5 ) $2)\tNc7  !? 13.Kb1!! ; } (\n"
    "(13. Kb2\x00 $2)\r\nNb5!\t{c}14.Ba4!! ; } (\n$1 \n"
)
NUL_TEXTS = [
    DRAWN_WITH_NUL,
    DRAWN_WITH_NUL + "\n1. e4 e5 *\n",
    "1. e4 \x00",
    "1. e4\x00 e5 *\n\n1. d4 d5 *",
    "1. e4 (1. d4\x00) e5 *\n\n\x00",
    "\x00\n\n1. e4 *",
]


def test_nul_bytes_are_read_as_the_one_game_reader_reads_them():
    # The native reads first run in a child process that a time-out ends, so that a walk
    # that stands still fails the test instead of stalling the suite.
    code = (
        "import json, sys\nfrom vantor_gym.notation import read_pgn_columns\n"
        "for text in json.loads(sys.stdin.read()):\n    read_pgn_columns(text, on_error='skip')\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", code], input=json.dumps(NUL_TEXTS), capture_output=True,
                         text=True, env=env, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    for text in NUL_TEXTS:
        reads_as_one_game_at_a_time(text)
    assert read_pgn_columns(NUL_TEXTS[1]).offsets.tolist() == [0, 27, 29]  # the NUL is in a variation
    columns = read_pgn_columns(NUL_TEXTS[4], on_error="skip")
    assert columns.actions.tolist() == read_pgn("1. e4 e5").actions and columns.skipped == [
        (2, "ply 1: malformed SAN move '\\x00'")]


@PGN_SETTINGS
@hypothesis.given(st.lists(decorated_games(), min_size=1, max_size=4), st.lists(
    st.tuples(st.floats(0, 1), st.sampled_from(UNICODE_AND_EDITS)), max_size=4))
def test_files_of_edited_games_read_as_one_game_at_a_time(cases, edits):
    text = "\n\n".join(case[0] for case in cases)
    for where, insert in edits:
        at = int(where * len(text))
        text = text[:at] + insert + text[at + (where > 0.5):]
    reads_as_one_game_at_a_time(text)


def test_long_and_hostile_files_are_read_whole():
    game = pgn([action for _, action, _ in GAMES[1][1]])
    small, large = game * 50, game * 500
    assert len(read_pgn_columns(large)) == 10 * len(read_pgn_columns(small)) == 500
    hostile = "1. e4 " + "{" * 200_000 + "\n\n" + "(" * 200_000
    with pytest.raises(ValueError, match="game 1"):
        list(read_pgn_games(hostile))
    assert read_pgn_columns(hostile + "\n\n" + game, on_error="skip").skipped[0][0] == 1
