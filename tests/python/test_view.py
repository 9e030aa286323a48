"""The viewer's server, without a browser: its JSON against python-chess, its guard against
other names, origins and missing tokens, the watch and play sockets, and the command line."""

import io
import json
import os
import random
import signal
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request
from contextlib import ExitStack

import numpy as np
import pytest

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")
client = pytest.importorskip("websockets.sync.client")
chess = pytest.importorskip("chess")
pytest.importorskip("chess.pgn")

from vantor_gym.notation import read_pgn, uci_to_action  # noqa: E402
from vantor_gym.view import GameFeed, Viewer, top_moves  # noqa: E402
from vantor_gym.view.lines import Line  # noqa: E402
from vantor_gym.view.play import PlaySession  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _random_game(rng: random.Random, board: "chess.Board", plies: int) -> list[str]:
    moves = []
    for _ in range(plies):
        legal = list(board.legal_moves)
        if not legal:
            break
        move = rng.choice(legal)
        moves.append(board.san(move))
        board.push(move)
    return moves


def _pgn_file(tmp_path, count=3, seed=1):
    rng = random.Random(seed)
    texts, boards = [], []
    for index in range(count):
        start = None if index % 3 else "r3k2r/1P6/8/8/8/8/6p1/R3K2R w KQkq - 7 30"
        board = chess.Board(start) if start else chess.Board()
        moves = _random_game(rng, board, 60)
        game = chess.pgn.Game.from_board(board)
        game.headers["White"], game.headers["Black"] = f"W{index}", f"B{index}"
        texts.append(str(game))
        boards.append((start, moves))
    path = tmp_path / "games.pgn"
    path.write_text("\n\n".join(texts) + "\n")
    return path, boards


def _get(url, headers=None):
    request = urllib.request.Request(url, headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=30) as response:
            return response.status, response.read(), response.headers
    except urllib.error.HTTPError as error:
        with error:
            return error.code, error.read(), error.headers


def test_replay_gives_each_move_as_python_chess_plays_it_and_the_pgn_reads_back(tmp_path):
    path, games = _pgn_file(tmp_path, 4)
    with Viewer(pgn=path, port=0) as viewer:
        base = viewer.address("")
        status, body, _ = _get(base + "api/games?size=3&page=1")
        listed = json.loads(body)
        assert status == 200 and listed["total"] == 4 and listed["pages"] == 2
        assert [g["white"] for g in listed["games"]] == ["W3"]
        for index, (start, sans) in enumerate(games):
            shown = json.loads(_get(f"{base}api/games/{index}")[1])
            board = chess.Board(start) if start else chess.Board()
            assert shown["start"] == board.fen()
            assert [m["san"] for m in shown["moves"]] == sans
            for move in shown["moves"]:
                board.push_uci(move["uci"])
                assert move["fen"] == board.fen()
            status, text, headers = _get(f"{base}api/games/{index}/pgn")
            assert "attachment" in headers["Content-Disposition"]
            assert len(read_pgn(text.decode()).actions) == len(sans)


@pytest.mark.parametrize("query, status", [("page=-1", 400), ("size=0", 400), ("size=x", 400),
                                           ("page=99999999999", 400), ("size=501", 400), ("page=7", 200)])
def test_replay_list_refuses_bad_numbers_with_a_message(tmp_path, query, status):
    path, _ = _pgn_file(tmp_path, 1)
    with Viewer(pgn=path, port=0) as viewer:
        code, body, _ = _get(viewer.address("") + "api/games?" + query)
        assert code == status
        assert ("error" in json.loads(body)) == (status == 400)
        assert _get(viewer.address("") + "api/games/5")[0] == 404
        assert _get(viewer.address("") + "static/..%2Fserver.py")[0] == 404
        assert _get(viewer.address("play"))[0] == 404  # not started with a player


def test_the_guard_refuses_other_names_other_origins_and_requests_without_the_token(tmp_path):
    path, _ = _pgn_file(tmp_path, 1)
    with Viewer(pgn=path, port=0, token="a-long-secret") as viewer:
        plain = f"http://127.0.0.1:{viewer.port}/replay"
        assert _get(plain)[0] == 403
        assert _get(plain + "?token=wrong-secret")[0] == 403
        status, _, headers = _get(plain + "?token=a-long-secret")
        assert status == 200 and "HttpOnly" in headers["Set-Cookie"]
        assert _get(plain, {"Cookie": "vantor_token=a-long-secret"})[0] == 200
        for host in (f"evil.example:{viewer.port}", f"[::1].evil.example:{viewer.port}", "127.0.0.1:80:80"):
            assert _get(plain + "?token=a-long-secret", {"Host": host})[0] == 403, host
        socket_url = f"ws://127.0.0.1:{viewer.port}/ws/watch?token=a-long-secret"
        with pytest.raises(Exception):
            client.connect(socket_url, origin=f"http://evil.example:{viewer.port}", open_timeout=10)


@pytest.mark.parametrize("host, token, error", [("0.0.0.0", "short", ValueError), ("127.0.0.1", "a b c d e f", ValueError)])
def test_tokens_that_cannot_be_presented_are_refused(tmp_path, host, token, error):
    path, _ = _pgn_file(tmp_path, 1)
    with pytest.raises(error):
        Viewer(pgn=path, port=0, host=host, token=token)


def test_a_non_local_bind_makes_a_token():
    with Viewer(feed=GameFeed(), host="0.0.0.0", port=0) as viewer:
        assert viewer.token and len(viewer.token) >= 16
        assert _get(f"http://127.0.0.1:{viewer.port}/watch")[0] == 403


def _messages(socket, wanted, timeout=30.0):
    """Messages until ``wanted(message)`` holds; all of them."""
    seen, deadline = [], time.monotonic() + timeout
    while time.monotonic() < deadline:
        seen.append(json.loads(socket.recv(timeout=deadline - time.monotonic())))
        if wanted(seen[-1]):
            return seen
    raise AssertionError(f"not seen in {timeout} s: {seen[-3:]}")


@pytest.mark.parametrize("rules", ["standard", "automatic", "module"])
def test_a_lines_fens_are_the_games_own_under_each_rule_set(rules):
    from vantor_gym import Game

    rng = np.random.default_rng(5)
    for _ in range(3):
        game, line = Game(rules=rules), Line(rules=rules)
        while not game.is_over and game.plies < 60:
            action = int(rng.choice(game.legal_actions()))
            game.step(action)
            assert line.move(action)["fen"] == game.fen()


def test_watch_sends_the_newest_game_and_its_moves_as_they_come_and_refuses_bad_messages():
    feed = GameFeed()
    feed.add([], "*", "old", "old")
    number = feed.begin("white", "black")
    board, actions = chess.Board(), []
    line = Line()
    with Viewer(feed=feed, port=0) as viewer, client.connect(f"ws://127.0.0.1:{viewer.port}/ws/watch") as socket:
        first = _messages(socket, lambda m: m["type"] == "game")[-1]
        assert first["number"] == number and first["moves"] == []
        for uci in ["e2e4", "e7e5", "g1f3"]:
            action = uci_to_action(line.board.save_state(), uci)
            actions.append(action)
            line.move(action)
            feed.play(number, action, top_moves(np.eye(4672, dtype=np.float32)[action], 0.25))
        moves = []

        def all_three(message):
            moves.extend(message["moves"] if message["type"] == "moves" else [])
            return len(moves) >= 3

        _messages(socket, all_three)
        for move in moves:
            board.push_uci(move["uci"])
            assert move["fen"] == board.fen() and move["top"][0]["share"] == 1.0
        for bad in ["not json", json.dumps([1]), json.dumps({"type": "follow", "game": "x"}), "x" * 5000]:
            socket.send(bad)
            assert _messages(socket, lambda m: m["type"] == "error")[-1]["message"]
        socket.send(json.dumps({"type": "follow", "game": 1}))
        assert _messages(socket, lambda m: m["type"] == "game")[-1]["white"] == "old"


def test_play_refuses_illegal_moves_answers_legal_ones_and_takes_back():
    with Viewer(play="mc:1", port=0) as viewer, client.connect(f"ws://127.0.0.1:{viewer.port}/ws/play") as socket:
        start = _messages(socket, lambda m: m["type"] == "position")[-1]
        assert start["turn"] == "white" and "e2e4" in start["legal"] and len(start["legal"]) == 20
        for bad in [{"type": "move", "uci": "e2e5"}, {"type": "move", "uci": 7}, {"type": "move"},
                    {"type": "move", "uci": " e2e4"}, {"type": "move", "uci": "e2e4 "}, {"type": "move", "uci": "E2E4"},
                    {"type": "new", "colour": "green"}, {"type": "resign"}]:
            socket.send(json.dumps(bad))
            seen = _messages(socket, lambda m: m["type"] == "position")
            assert seen[0]["type"] == "error" and seen[-1]["moves"] == []
        socket.send(json.dumps({"type": "move", "uci": "e2e4"}))
        reply = _messages(socket, lambda m: m["type"] == "position" and len(m["moves"]) == 2)[-1]
        assert reply["turn"] == "white" and reply["moves"][0]["san"] == "e4"
        socket.send(json.dumps({"type": "undo"}))
        assert _messages(socket, lambda m: m["type"] == "position")[-1]["moves"] == []
        socket.send(json.dumps({"type": "new", "colour": "black"}))
        first = _messages(socket, lambda m: m["type"] == "position" and len(m["moves"]) == 1)[-1]
        assert first["colour"] == "black" and first["turn"] == "black"


@pytest.mark.parametrize("rules, moves, ending, result", [
    ("standard", ["f2f3", "e7e5", "g2g4", "d8h4"], "checkmate", "0-1"),
    ("standard", ["g1f3", "g8f6", "f3g1", "f6g8"] * 2, "repetition", "1/2-1/2"),
    ("module", ["g1f3", "g8f6", "f3g1", "f6g8"] * 2, "repetition", "1/2-1/2"),
    ("automatic", ["g1f3", "g8f6", "f3g1", "f6g8"] * 4, "fivefold repetition", "1/2-1/2"),
])
def test_the_play_session_ends_a_game_by_its_rules_with_the_ending_named(rules, moves, ending, result):
    session = PlaySession("random", seed=3, rules=rules)
    try:
        replies = iter(moves[1::2])
        session.player = lambda state, mask: uci_to_action(state, next(replies))
        for move in moves[::2]:
            assert not session.over
            session.move(move)
            session.reply()
        shown = session.shown()
        assert shown["over"] and (shown["result"], shown["ending"]) == (result, ending)
        assert read_pgn(shown["pgn"]).result == result and shown["legal"] == []
        with pytest.raises(ValueError, match="over"):
            session.move("a2a3")
        session.take_back()
        assert len(session.actions) == len(moves) - 2 and not session.over
    finally:
        session.close()


def test_a_bad_player_spec_or_path_is_refused_before_serving(tmp_path):
    with pytest.raises(ValueError, match="unknown player"):
        Viewer(play="grandmaster", port=0)
    with pytest.raises(ValueError, match="UCI engine plays chess"):
        Viewer(play=f"uci:{tmp_path / 'engine'}", rules="module", port=0)
    with pytest.raises(ValueError, match="rules must be one of"):
        Viewer(play="random", rules="blitz", port=0)
    with pytest.raises(NotADirectoryError):
        Viewer(run=tmp_path / "missing", port=0)
    with pytest.raises(ValueError, match="nothing to view"):
        Viewer(port=0)


def test_the_feed_keeps_the_newest_games_while_threads_play():
    feed = GameFeed(keep=4)

    def play(name):
        for _ in range(20):
            number = feed.begin(name, name)
            for action in range(30):
                feed.play(number, action)
            feed.finish(number, "*")

    threads = [threading.Thread(target=play, args=(str(i),)) for i in range(4)]
    for thread in threads:
        thread.start()
    for _ in range(200):
        for number in feed.numbers():
            game = feed.read(number)
            assert game is None or len(game.actions) == len(game.tops) <= 30
    for thread in threads:
        thread.join()
    assert feed.numbers() == [77, 78, 79, 80] and all(g["plies"] == 30 for g in feed.summary())
    with pytest.raises(ValueError):
        feed.finish(80, "2-0")
    with pytest.raises(TypeError):
        feed.play(80, 1.0)


def test_a_run_directory_is_watched_game_by_game_as_its_games_file_grows(tmp_path, monkeypatch):
    import vantor_gym.view.server as server

    monkeypatch.setattr(server._RunGames, "EVERY", 0.1)
    monkeypatch.setattr(server._RunGames, "QUIET", 2.0)  # a pause longer than any between two writes here
    monkeypatch.setattr(server, "PAUSE", 0.0)  # each game shown as soon as it is read
    games = tmp_path / "games.pgn"
    first = '[White "one"]\n\n1. e4 e5 2. Qh5 Nc6 3. Bc4 Nf6 4. Qxf7# 1-0\n'
    second = '[White "two"]\n\n1. d4 d5 *\n'
    games.write_text(first)
    with Viewer(run=tmp_path, port=0) as viewer, client.connect(f"ws://127.0.0.1:{viewer.port}/ws/watch") as socket:
        # A game alone in the file is read once the file has stopped growing for a moment.
        shown = _messages(socket, lambda m: m["type"] == "game")[-1]
        assert shown["white"] == "one" and shown["result"] == "1-0" and shown["moves"][-1]["san"] == "Qxf7#"
        with games.open("a") as out:
            out.write("\n" + second[:20])  # a game half written is not read yet
            out.flush()
            out.write(second[20:] + "\n" + first)
        shown = _messages(socket, lambda m: m["type"] == "game" and m["white"] == "two")[-1]
        assert [m["san"] for m in shown["moves"]] == ["d4", "d5"]
        _messages(socket, lambda m: m["type"] == "games" and len(m["games"]) == 3)  # "one" again, once stale
        games.write_text(second)  # a file started again is read from its start
        _messages(socket, lambda m: m["type"] == "games" and len(m["games"]) == 4)
        # A longer file put in its place is read from its start too.
        (tmp_path / "new.pgn").write_text((first + "\n") * 3 + second.replace("two", "three"))
        os.replace(tmp_path / "new.pgn", games)
        last = _messages(socket, lambda m: m["type"] == "games" and len(m["games"]) == 8)[-1]
        assert [g["white"] for g in last["games"]] == ["one", "two", "one", "two", "one", "one", "one", "three"]


def test_a_games_file_written_anew_in_place_is_read_from_its_start(tmp_path, monkeypatch):
    import vantor_gym.view.server as server

    monkeypatch.setattr(server._RunGames, "QUIET", 0.0)
    path = tmp_path / "games.pgn"
    # A last game without its result is being written (or its writer was killed): not read.
    path.write_text('[White "one"]\n\n1. e4 e5 *\n\n[White "two"]\n\n1. d4 d5 2. c4')
    run = server._RunGames(str(path))
    run.poll()
    run.poll()
    assert [g["white"] for g in run.feed.summary()] == ["one"]
    with path.open("a") as out:
        out.write(" *\n")
    run.poll()  # the last game, once the file has stopped growing with its result
    # Truncated and written again, longer, between two looks: same inode, a larger size.
    with path.open("r+") as out:
        out.truncate(0)
        out.write('[White "three"]\n[Event "' + "x" * 200 + '"]\n\n1. c4 c5 2. Nc3 Nc6 *\n')
    run.poll()
    assert [g["white"] for g in run.feed.summary()] == ["one", "two", "three"]
    assert [g["plies"] for g in run.feed.summary()][1] == 3


def test_a_game_too_long_to_read_or_refused_by_the_feed_costs_only_itself(tmp_path, monkeypatch):
    import vantor_gym.view.server as server

    monkeypatch.setattr(server._RunGames, "QUIET", 0.0)
    monkeypatch.setattr(server._RunGames, "TAIL", 1 << 10)  # a read of 8 KiB
    game = '[White "{}"]\n\n1. e4 e5 *\n\n'.format
    path = tmp_path / "games.pgn"
    path.write_text(game("one"))
    run = server._RunGames(str(path))
    run.poll()
    with path.open("a") as out:
        out.write('[White "long"]\n\n{' + "x" * 20000 + "} 1. e4 *\n\n" + game("two")
                  + '[White "kings"]\n[FEN "8/8/8/4k3/8/8/8/4K3 w - - 0 1"]\n\n1. Kd2 *\n\n' + game("three"))
    for _ in range(8):
        run.poll()
    assert [g["white"] for g in run.feed.summary()] == ["one", "two", "three"]
    # A long game first, passed over in reads of 8 KiB; "four" starts alone near the end of
    # the second read (at 16290), "five" only in the third: both still come.
    path.write_text("")
    run = server._RunGames(str(path))
    run.poll()
    with path.open("a") as out:
        out.write('[White "long"]\n\n{' + "x" * 16262 + "} 1. e4 *\n\n"
                  + '[White "four"]\n\n{' + "y" * 150 + "} 1. e4 e5 *\n\n" + game("five"))
    for _ in range(8):
        run.poll()
    assert [g["white"] for g in run.feed.summary()] == ["four", "five"]


def test_the_curve_skips_records_json_cannot_carry(tmp_path):
    record = {"opponent": "random", "minutes": 5, "score": 0.5, "score_low": 0.4, "score_high": 0.6}
    lines = [json.dumps(record), json.dumps({**record, "score": float("nan")}), "{cut"]
    (tmp_path / "log.jsonl").write_text("\n".join(lines) + "\n")
    with Viewer(run=tmp_path, port=0) as viewer:
        assert json.loads(_get(viewer.address("") + "api/curve")[1])["records"] == [record]


def _vantor(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "vantor_gym", *args], capture_output=True, text=True,
                          timeout=120, **kwargs)


@pytest.mark.parametrize("args, said", [
    (["view"], "give a PGN file"),
    (["view", "/nonexistent/games.pgn"], "no PGN file or run directory"),
    (["view", "--play", "mc:0"], "at least 1"),
    (["view", "--play", "random", "--port", "70000"], "--port"),
    (["view", "--play", "random", "--movetime", "-1"], "--movetime"),
])
def test_the_command_refuses_bad_arguments_in_one_line(args, said):
    done = _vantor(*args)
    assert done.returncode == 1 and said in done.stderr and len(done.stderr.strip().splitlines()) == 1


# SIGINT is what Ctrl-C sends, but a shell ignores it in what it starts in the background
# (and so in this test run, if it was started so); SIGTERM is never ignored that way.
@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM])
def test_the_command_serves_until_stopped(tmp_path, stop):
    if stop == signal.SIGINT and signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
        pytest.skip("SIGINT is ignored in this run, and so in the command it starts")
    path, _ = _pgn_file(tmp_path, 1)
    with subprocess.Popen([sys.executable, "-m", "vantor_gym", "view", str(path), "--port", "0"],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as process:
        try:
            url = process.stdout.readline().split(" at ")[1].split()[0]
            assert json.loads(_get(url + "api/games")[1])["total"] == 1
        finally:
            process.send_signal(stop)
            try:
                status = process.wait(60)
            except subprocess.TimeoutExpired:
                process.kill()
                raise
        assert status == 0, process.stderr.read()


def test_selfplay_with_view_says_where_to_watch(tmp_path):
    done = _vantor("selfplay", "--local", "--episodes", "2", "--max-plies", "10", "--out", str(tmp_path / "e.npz"),
                   "--view")
    assert done.returncode == 0, done.stderr
    assert "watch the games at http://127.0.0.1:" in done.stderr


def test_feed_arguments_are_checked_before_anything_is_added():
    from vantor_gym.match import play_match
    from vantor_gym.players import RandomPlayer

    with pytest.raises(TypeError, match="GameFeed"):
        play_match(RandomPlayer(1), RandomPlayer(2), 1, feed=[])
    feed = GameFeed()
    for bad in ([1, 2, 99999], [1.0]):
        with pytest.raises((TypeError, ValueError)):
            feed.add(bad, "1-0")
    with pytest.raises(ValueError):
        feed.add([1], "2-0")
    assert feed.numbers() == []
    number = feed.begin()
    with pytest.raises(TypeError):
        feed.play(number, 1, top="garbage")
    for call in (lambda: feed.play("1", 5), lambda: feed.finish(1.0, "1-0"), lambda: feed.read(number, "a"),
                 lambda: feed.play(number, 1, top=("0.5", [])), lambda: feed.play(number, 1, top=(0.5, [(1, True)]))):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(ValueError):
        feed.read(number, -5)
    feed.play(number, 1, top=(float("nan"), [(1, 1.0)]))  # a diverged search's value: no top shown
    feed.play(number, 2, top=(0.5, [(7, 0.5), (8, float("inf"))]))
    assert feed.read(number).tops == [None, (0.5, [(7, 0.5)])]
    with pytest.raises(ValueError):
        top_moves(np.zeros(4672), 0.0, count=-1)
    # A top move that is not legal where it was played is left out of the page's list.
    line = Line()
    shown = line.move(uci_to_action(line.board.save_state(), "e2e4"), (0.1, [(4000, 0.5)]))
    assert shown["top"] == [] and shown["san"] == "e4"


def test_the_curve_survives_a_log_json_cannot_carry_or_parse(tmp_path):
    record = {"opponent": "random", "minutes": 5, "score": 0.5, "score_low": 0.4, "score_high": 0.6}
    lines = [json.dumps(record), json.dumps({**record, "extra": {"loss": float("nan")}}),
             "[" * 100_000, '{"opponent": "x", "minutes": ' + "9" * 5000 + "}"]
    (tmp_path / "log.jsonl").write_text("\n".join(lines) + "\n")
    with Viewer(run=tmp_path, port=0) as viewer:
        assert json.loads(_get(viewer.address("") + "api/curve")[1])["records"] == [record]
        (tmp_path / "log.jsonl").unlink()
        (tmp_path / "log.jsonl").mkdir()
        assert _get(viewer.address("") + "api/curve")[0] == 200


def test_a_game_played_past_an_unclaimed_repetition_downloads_as_recorded(tmp_path):
    moves = "1. Nf3 Nf6 2. Ng1 Ng8 3. Nf3 Nf6 4. Ng1 Ng8 5. e4 e5 *"
    (tmp_path / "g.pgn").write_text(f'[White "a"]\n\n{moves}\n')
    with Viewer(pgn=tmp_path / "g.pgn", port=0) as viewer:
        status, text, _ = _get(viewer.address("") + "api/games/0/pgn")
        assert status == 200 and moves in text.decode()
        assert len(list(chess.pgn.read_game(io.StringIO(text.decode())).mainline_moves())) == 10
        assert _get(viewer.address("") + "api/games/" + "9" * 5000)[0] == 404


@pytest.mark.parametrize("arguments, error", [
    ({"host": ""}, ValueError), ({"feed": [1]}, TypeError), ({"play": "random", "movetime": -1}, ValueError),
    ({"play": "random", "port": 70000}, ValueError), ({"play": "random", "port": True}, TypeError),
])
def test_viewer_arguments_are_refused_before_serving(arguments, error):
    with pytest.raises(error):
        Viewer(**{"feed": GameFeed(), **arguments})


def test_any_loopback_address_is_answered_at_its_own_name():
    with Viewer(feed=GameFeed(), host="127.0.0.2", port=0) as viewer:
        assert viewer.token is None and _get(viewer.address("watch"))[0] == 200
        # Without a player, the play socket is closed at once.
        with pytest.raises(Exception):
            with client.connect(f"ws://127.0.0.2:{viewer.port}/ws/play", open_timeout=10) as socket:
                socket.recv(timeout=10)


def test_players_thinking_do_not_hold_up_the_rest_of_the_server(tmp_path, monkeypatch):
    import vantor_gym.view.play as play

    release = threading.Event()

    def slow(spec, stack, **_):
        def think(state, mask):
            release.wait(60)
            return int(np.flatnonzero(mask)[0])
        return think

    monkeypatch.setattr(play, "make_player", slow)
    path, _ = _pgn_file(tmp_path, 1)
    with Viewer(pgn=path, play="random", port=0) as viewer:
        with ExitStack() as stack:
            sockets = [stack.enter_context(client.connect(f"ws://127.0.0.1:{viewer.port}/ws/play")) for _ in range(8)]
            stack.callback(release.set)  # before the sockets close, whatever happens
            for socket in sockets:
                _messages(socket, lambda m: m["type"] == "position")
                socket.send(json.dumps({"type": "move", "uci": "e2e4"}))
                _messages(socket, lambda m: m["type"] == "thinking")
            started = time.monotonic()
            assert _get(viewer.address("") + "api/games/0")[0] == 200
            assert time.monotonic() - started < 30  # the players think for a minute
            release.set()
            for socket in sockets:
                assert len(_messages(socket, lambda m: m["type"] == "position")[-1]["moves"]) == 2


def test_a_closed_play_page_stops_its_engine_and_frees_its_place_at_once(tmp_path, monkeypatch):
    import vantor_gym.view.server as server

    # A UCI engine that thinks for a minute before every answer.
    engine = tmp_path / "slow-engine"
    engine.write_text(f"#!{sys.executable}\n" + '''import sys, time
for line in sys.stdin:
    word = line.split()[0] if line.split() else ""
    if word == "uci":
        print("id name slow\\nuciok", flush=True)
    elif word == "isready":
        print("readyok", flush=True)
    elif word == "go":
        time.sleep(60)
        print("bestmove e7e5", flush=True)
    elif word == "quit":
        break
''')
    engine.chmod(0o755)
    monkeypatch.setattr(server, "MAX_PLAYS", 1)
    with Viewer(play=f"uci:{engine}", port=0) as viewer:
        url = f"ws://127.0.0.1:{viewer.port}/ws/play"
        with client.connect(url) as socket:
            _messages(socket, lambda m: m["type"] == "position")
            socket.send(json.dumps({"type": "move", "uci": "e2e4"}))
            _messages(socket, lambda m: m["type"] == "thinking")
        started = time.monotonic()
        with client.connect(url) as socket:  # the one place is free again, well before the minute
            first = _messages(socket, lambda m: m["type"] in ("position", "error"))[-1]
        assert first["type"] == "position" and time.monotonic() - started < 30
