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
from vantor_gym.pgn_reader import _Movetext, _read_headers, line_breaks

chess = pytest.importorskip("chess")
import chess.pgn  # noqa: E402


def one_by_one(text):
    """The games of text as reading the first game, then the first game of the rest, finds them."""
    games = []
    text = line_breaks(text)
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
    ours = list(read_pgn_games(io.StringIO(ODD[:-len("4. e8=Q\n")] + "*\n")))
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
    ours = list(read_pgn_games(io.StringIO(SPECIAL_MOVES)))
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
    for source in (str(path), text.encode(), path, io.StringIO(text), io.BytesIO(text.encode())):
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
        read_pgn_columns(io.StringIO(text), on_error="ignore")


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
    games = read_pgn_games(io.StringIO(text))
    assert next(games).actions == read_pgn(good).actions
    with pytest.raises(ValueError) as error:
        next(games)
    assert str(error.value).startswith(fault)
    columns = read_pgn_columns(io.StringIO(text), on_error="skip")
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
            # The games were played on the module's Vantor, which plays on past chess's draws.
            parts.append(pgn(actions, start_fen=start, headers={"Round": str(number)}, rules="module"))
    return "\n\n".join(parts) + "\n"


def test_random_files_read_as_python_chess_reads_them():
    text = random_file(40, seed=3)
    ours = list(read_pgn_games(io.StringIO(text)))
    same_games(ours, one_by_one(text))
    stream = io.StringIO(text)
    for game in ours:
        theirs = chess.pgn.read_game(stream)
        assert not theirs.errors and theirs.board().fen() == (game.start_fen or chess.STARTING_FEN)
        assert ucis(game) == [m.uci() for m in theirs.mainline_moves()]
    assert chess.pgn.read_game(stream) is None


UNICODE_AND_EDITS = list("(){};%$!?*-/.1234567890 \n\tx+=#[]\"") + [
    "\n\n", "\r", "\r\r", "O-O", "e4", "Nf3", "1-0", "\x00", "\u00e9", "\u00a0", "\u2003", "\x1c", "\r\n", '\n[A "b"]\n', "\ufeff"]


def reads_as_one_game_at_a_time(text):
    """The bulk reader gives the games the one-game reader finds, or names the first bad one."""
    try:
        expected, fault = one_by_one(text), None
    except ValueError as error:
        expected, fault = None, str(error)
    if fault is None:
        same_games(list(read_pgn_games(io.StringIO(text))), expected)
        return
    with pytest.raises(ValueError, match="game [0-9]+ of the PGN text: "):
        list(read_pgn_games(io.StringIO(text)))
    read_pgn_columns(io.StringIO(text), on_error="skip")  # never a crash or a hang, whatever is skipped


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
        "import io, json, sys\nfrom vantor_gym.notation import read_pgn_columns\n"
        "for text in json.loads(sys.stdin.read()):\n    read_pgn_columns(io.StringIO(text), on_error='skip')\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", code], input=json.dumps(NUL_TEXTS), capture_output=True,
                         text=True, env=env, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    for text in NUL_TEXTS:
        reads_as_one_game_at_a_time(text)
    assert read_pgn_columns(io.StringIO(NUL_TEXTS[1])).offsets.tolist() == [0, 27, 29]  # the NUL is in a variation
    columns = read_pgn_columns(io.StringIO(NUL_TEXTS[4]), on_error="skip")
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
    assert len(read_pgn_columns(io.StringIO(large))) == 10 * len(read_pgn_columns(io.StringIO(small))) == 500
    hostile = "1. e4 " + "{" * 200_000 + "\n\n" + "(" * 200_000
    with pytest.raises(ValueError, match="game 1"):
        list(read_pgn_games(io.StringIO(hostile)))
    assert read_pgn_columns(io.StringIO(hostile + "\n\n" + game), on_error="skip").skipped[0][0] == 1


# Header values as written in a file and as read: only \" and \\ are escapes, so any other
# backslash (a Windows path, a stray one before a letter or a space) stays as written.
HEADER_VALUES = [
    (r"C:\games\x.pgn", "C:\\games\\x.pgn"),
    (r"a \"b\" \\ c", 'a "b" \\ c'),
    (r"\\\n \t\u00e9", "\\\\n \\t\\u00e9"),
    (r"ends in one \\", "ends in one \\"),
    ("\\\u00e9\\ \\\u2003", "\\\u00e9\\ \\\u2003"),
]


@pytest.mark.parametrize("written, value", HEADER_VALUES)
def test_header_values_keep_backslashes_that_escape_nothing(written, value):
    # The second game starts from a FEN, so the one-game reader reads its headers.
    text = (f'[Site "{written}"]\n\n1. e4 *\n\n'
            f'[Site "{written}"]\n[FEN "4k3/8/8/8/8/8/8/4K3 w - - 0 1"]\n\n1. Kd2 *\n')
    assert read_pgn(text).headers["Site"] == value
    for source in (io.StringIO(text), text.encode()):
        assert [game.headers["Site"] for game in read_pgn_games(source)] == [value, value]
    # python-chess keeps the value as written; undoing the two escapes gives ours.
    theirs = chess.pgn.read_game(io.StringIO(text)).headers["Site"]
    assert theirs.replace("\\\\", "\\").replace('\\"', '"') == value
    assert read_pgn(pgn([], headers={"Site": value})).headers["Site"] == value


@hypothesis.settings(PGN_SETTINGS, max_examples=300)
@hypothesis.given(st.text(st.characters(codec="utf-8", exclude_characters="\n\r"), max_size=12)
                  | st.text(st.sampled_from('\\"] x\t\u00a0['), max_size=12))
def test_every_header_value_the_writer_takes_reads_back(value):
    text = pgn([564], headers={"Annotator": value})
    assert read_pgn(text).headers["Annotator"] == value
    assert next(read_pgn_games(text.encode())).headers["Annotator"] == value
    theirs = chess.pgn.read_game(io.StringIO(text)).headers["Annotator"]
    assert theirs.replace("\\\\", "\\").replace('\\"', '"') == value


@pytest.mark.parametrize("value", ["two\nlines", "carriage\rreturn", "\r\n"])
def test_header_values_that_cannot_be_one_line_are_refused(value):
    with pytest.raises(ValueError, match="line break"):
        pgn([564], headers={"Event": value})


# Where a game's bytes stop being UTF-8: a header value in Latin-1, a move, a comment, a
# variation, an encoded surrogate, and a file cut inside a character.
NOT_UTF8 = [
    (b'[White "Jos\xe9"]\n\n1. d4 d5 *', 11, "invalid continuation byte"),
    (b"1. d4 d5\xff *", 8, "invalid start byte"),
    (b"1. d4 {\x80 comment} d5 *", 7, "invalid start byte"),
    (b"1. d4 (1. c4 \xfe) d5 *", 13, "invalid start byte"),
    (b"1. d4 {\xed\xa0\x80} d5 *", 7, "invalid continuation byte"),
    (b"1. d4 d5 * {cut \xe2\x80", 16, "unexpected end of data|invalid continuation byte"),
]
GOOD_GAME = b"1. e4 e5 *\n\n"


def from_bytes(data, tmp_path, kind):
    if kind == "bytes":
        return data
    if kind == "binary file":
        return io.BytesIO(data)
    path = tmp_path / "games.pgn"
    path.write_bytes(data)
    return path


@pytest.mark.parametrize("bad, offset, reason", NOT_UTF8)
@pytest.mark.parametrize("kind", ["bytes", "path", "binary file"])
@pytest.mark.parametrize("last", [False, True])
def test_a_game_that_is_not_utf8_is_skipped_or_named(bad, offset, reason, kind, last, tmp_path):
    fen_game = b'[FEN "4k3/8/8/8/8/8/8/4K3 w - - 0 1"]\n\n1. Kd2 *\n\n'
    before, after = GOOD_GAME + fen_game, b"" if last else b"\n\n" + fen_game + GOOD_GAME
    data = before + bad + after
    reason = reason.split("|")[0 if last else -1]  # the cut one is followed by a newline unless last
    message = f"line 7: invalid UTF-8 at byte {len(before) + offset} of the PGN data ({reason})"
    columns = read_pgn_columns(from_bytes(data, tmp_path, kind), on_error="skip")
    assert columns.skipped == [(3, message)]
    expected = read_pgn_columns(before + after)
    assert columns.actions.tolist() == expected.actions.tolist() and columns.start_fens == expected.start_fens
    assert columns.headers == expected.headers and columns.offsets.tolist() == expected.offsets.tolist()
    games = read_pgn_games(from_bytes(data, tmp_path, kind))
    assert [next(games).actions for _ in range(2)] == [read_pgn(part.decode()).actions for part in (GOOD_GAME, fen_game)]
    with pytest.raises(ValueError) as error:
        next(games)
    assert str(error.value) == f"game 3 of the PGN text: {message}"


def test_text_with_lone_surrogates_reads_as_before():
    text = '[A "\ud800"]\n1. e4 {\udfff} *\n\n[FEN "4k3/8/8/8/8/8/8/4K3 w - - 0 1"]\n[B "\udc80"]\n\n*\n\n1. c4 *'
    columns = read_pgn_columns(io.StringIO(text))
    assert columns.headers == [{"A": "\ud800"}, {"FEN": "4k3/8/8/8/8/8/8/4K3 w - - 0 1", "B": "\udc80"}, {}]
    assert columns.actions.tolist() == [564, 562] and not columns.skipped
    # Bytes outside every game (a lone comment between games) belong to no game.
    assert read_pgn_columns(b"1. e4 *\n\n{\xff}\n\n1. c4 *").actions.tolist() == [564, 562]


def test_playable_names_the_games_the_environment_can_start():
    text = (
        "1. e4 *\n\n"
        '[FEN "4k3/8/8/8/8/8/8/R3K3 w Q - 49 80"]\n\n80. Ra2 *\n\n'
        '[FEN "4k3/8/8/8/8/8/8/R3K3 w Q - 100 80"]\n\n80. Ra2 Kd8 *\n\n'  # drawn by fifty moves already
        '[FEN "4k3/4Q3/4K3/8/8/8/8/8 b - - 0 1"]\n\n0-1\n\n'  # black is mated
        '[FEN "k7/2Q5/1K6/8/8/8/8/8 b - - 0 1"]\n\n1/2-1/2\n\n'  # black is stalemated
        '[FEN "4k3/8/8/8/8/8/8/4KB2 w - - 0 1"]\n\n1. Bc4 *\n'  # neither side can mate
    )
    columns = read_pgn_columns(io.StringIO(text))
    assert columns.playable.dtype == np.bool_
    assert columns.playable.tolist() == [True, True, False, False, False, False]
    assert [len(columns.game(i).actions) for i in range(6)] == [1, 1, 2, 0, 0, 1]
    for index in range(len(columns)):
        if columns.playable[index]:
            game = Game(fen=columns.start_fens[index])
            for action in columns.actions[columns.offsets[index]:columns.offsets[index + 1]]:
                game.step(action)
        else:
            with pytest.raises(ValueError):
                Game(fen=columns.start_fens[index])
    assert read_pgn_columns(io.StringIO("")).playable.shape == (0,)


CR_FILE = '[Event "x"]\r[Site "y"]\r\r1. e4 e5 *\r\r1. d4 d5\r\r[Event "z"]\r\r1. c4 *\r'


@pytest.mark.parametrize("kind", ["str", "bytes", "path", "binary file", "text file"])
def test_old_mac_line_ends_split_games_as_python_chess_reading_the_file_finds_them(kind, tmp_path):
    path = tmp_path / "mac.pgn"
    path.write_bytes(CR_FILE.encode())
    with open(path, newline=None) as file:  # universal newlines, as python-chess is usually handed a file
        theirs = []
        while (game := chess.pgn.read_game(file)) is not None:
            theirs.append([move.uci() for move in game.mainline_moves()])
    source = {"str": str(path), "bytes": CR_FILE.encode(), "path": path, "binary file": io.BytesIO(CR_FILE.encode()),
              "text file": io.StringIO(CR_FILE, newline="")}[kind]
    ours = list(read_pgn_games(source))
    assert [ucis(game) for game in ours] == theirs == [["e2e4", "e7e5"], ["d2d4", "d7d5"], ["c2c4"]]
    assert [game.headers for game in ours] == [{"Event": "x", "Site": "y"}, {}, {"Event": "z"}]
    assert read_pgn(CR_FILE).actions == ours[0].actions


class Reads:
    """A file object whose read() gives what it was made with, or raises it."""

    def __init__(self, value):
        self.value = value

    def read(self, size=-1):
        if isinstance(self.value, BaseException):
            raise self.value
        value = self.value
        if isinstance(value, (str, bytes, bytearray)):  # given once, then the end of the file
            self.value = value[:0]
        return value


@pytest.mark.parametrize("source, error, reason", [
    (Reads(None), TypeError, "read\\(\\) returned NoneType, not str or bytes"),
    (Reads(["1. e4 *"]), TypeError, "returned list"),
    (Reads(OSError("disk gone")), OSError, "disk gone"),
    (np.str_("1. e4 *"), ValueError, "a str names a PGN file; PGN text goes in as io.StringIO"),
    (12, TypeError, "PGN source is a path, bytes, or a file object, not int"),
    (None, TypeError, "not NoneType"),
])
def test_sources_that_give_no_text_are_refused(source, error, reason):
    with pytest.raises(error, match=reason):
        read_pgn_columns(source, on_error="skip")


def test_sources_of_text_or_bytes_read_alike(tmp_path):
    for source in (Reads("1. e4 *"), Reads(b"1. e4 *"), Reads(bytearray(b"1. e4 *")), io.StringIO(np.str_("1. e4 *")),
                   np.bytes_(b"1. e4 *"), b"\xef\xbb\xbf1. e4 *", bytearray(b"1. e4 *"), memoryview(b"1. e4 *")):
        assert read_pgn_columns(source).actions.tolist() == [564]
    assert not read_pgn_columns(b"").headers and not read_pgn_columns(io.StringIO("\ufeff")).headers
    with pytest.raises(IsADirectoryError):
        read_pgn_columns(tmp_path)


@pytest.mark.parametrize("index, error", [
    (np.uint64(2**64 - 1), IndexError), (2**70, IndexError), (-3, IndexError), (2, IndexError),
    (np.bool_(True), TypeError), (np.float32(1), TypeError), ("1", TypeError),
])
def test_odd_game_indexes_are_refused(index, error):
    columns = read_pgn_columns(io.StringIO("1. e4 *\n\n1. d4 *"))
    with pytest.raises(error, match="game index"):
        columns.game(index)
    assert columns.game(np.uint8(1)).actions == [563] and columns.game(-2).actions == [564]


@pytest.mark.parametrize("fen", [
    "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1",
    "  4k3/8/8/3pP3/8/8/8/4K3   w  -  d6  7  40 ",  # blanks around and between the fields
    "4k3/8/8/3pP3/8/8/8/4K3 w - d6",  # four fields
    "4k3/8/8/3pP3/8/8/8/4K3\tw - d6 0 1",  # a tab, which FEN text may hold but the native reader leaves alone
    "4k3/8/8/3pP3/8/8/8/4K3 w KQ - 0 1",  # castling rights without rooks: refused, though the engine reads it
    "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0",  # five fields
    "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1 x",
    "4k3/8/8/3pP3/8/8/8/4K3 b - - 0 1",  # black to move: the first move (exd6) is illegal
    "4k3/8/8/3pP3/8/8/8/4K\u00e93 w - d6 0 1",
])
def test_games_from_a_fen_header_read_as_the_one_game_reader_reads_them(fen):
    text = f'[Event "a"]\n[FEN "{fen}"]\n[SetUp "1"]\n\n1. exd6 Kd7 2. Kd2 Kxd6 1/2-1/2\n'
    twice = f'[FEN "8/8/8/8/8/8/8/k6K w - - 0 1"]\n{text}'  # a repeated header: its last value counts
    for source, own in ((text, text), (twice, twice), (f"1. e4 e5 *\n\n{text}", text)):
        columns = read_pgn_columns(io.StringIO(source), on_error="skip")
        try:
            expected = read_pgn(own)
        except ValueError as error:
            assert columns.skipped and str(error).split(": ", 1)[1] in columns.skipped[-1][1]
            continue
        ours = columns.game(len(columns) - 1)
        assert (ours.actions, ours.start_fen, ours.result, ours.headers) == (
            expected.actions, expected.start_fen, expected.result, expected.headers)
