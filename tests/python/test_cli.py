"""The vantor command (python -m vantor_gym) and the progress line."""

import io
import os
import pickle
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import vantor
from conftest import SANITIZED, require
from vantor_gym.cli import _Outputs, divide, perft
from vantor_gym.cli import main as cli_main
from vantor_gym.game import Game
from vantor_gym.match import play_match
from vantor_gym.notation import read_pgn, read_pgn_games
from vantor_gym.progress import Progress

STOCKFISH = "/usr/games/stockfish"
needs_stockfish = pytest.mark.skipif(not os.path.exists(STOCKFISH), reason=f"no Stockfish at {STOCKFISH}")

KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"
# Published perft totals: en passant with pins, promotions, castling through attacks.
PERFT = [
    ("startpos", 3, 8902),
    (KIWIPETE, 2, 2039),
    ("8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1", 3, 2812),
    ("r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1", 3, 9467),
    ("rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8", 2, 1486),
]


def vantor_command(*args: str, timeout: float = 300) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "vantor_gym", *args], capture_output=True, text=True,
                          timeout=timeout)


def refused(run: subprocess.CompletedProcess[str], words: str) -> None:
    """The command failed with one line naming the fault, not a traceback."""
    assert run.returncode == 1, run.stdout + run.stderr
    assert "Traceback" not in run.stderr and words in run.stderr, run.stderr
    assert len(run.stderr.strip().splitlines()) == 1, run.stderr


# perft


@pytest.mark.parametrize("fen, depth, nodes", PERFT)
def test_perft_matches_published_totals(fen, depth, nodes):
    assert perft(fen, depth) == nodes
    assert perft(fen, 0) == 1


def test_perft_command_and_divide():
    assert vantor_command("perft", "startpos", "4").stdout.strip() == "197281"
    run = vantor_command("perft", KIWIPETE, "2", "--divide")
    assert run.returncode == 0, run.stderr
    lines = run.stdout.strip().splitlines()
    assert lines[-1] == "Nodes searched: 2039" and lines[-2] == ""
    moves = dict(line.split(": ") for line in lines[:-2])
    assert len(moves) == 48 and moves["e1g1"] == "43" and moves["e1c1"] == "43" and moves["d5e6"] == "46"


@needs_stockfish
def test_divide_agrees_with_stockfish_move_by_move():
    fen = "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1"
    engine = subprocess.run([STOCKFISH], input=f"position fen {fen}\ngo perft 2\nquit\n", capture_output=True,
                            text=True, timeout=60)
    theirs = {}
    for line in engine.stdout.splitlines():
        move, colon, count = line.partition(": ")
        if colon and len(move) in (4, 5) and count.isdigit():
            theirs[move] = int(count)
    assert dict(divide(fen, 2)) == theirs


def test_perft_refuses_bad_input_in_one_line():
    refused(vantor_command("perft", "8/8/8/8/8/8/8/8 w - - 0 1", "2"), "invalid FEN")
    refused(vantor_command("perft", "startpos", "-1"), "depth must be in 0 .. 100")
    assert vantor_command("perft", "startpos", "two").returncode == 2  # argparse's usage error
    with pytest.raises(ValueError, match="at least 1"):
        divide("startpos", 0)


def test_perft_of_a_mate_and_divide_sums():
    mated = "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3"
    assert perft(mated, 1) == 0 and perft(mated, 3) == 0 and divide(mated, 2) == []
    counts = divide(KIWIPETE, 2)
    assert [move for move, _ in counts] == sorted(move for move, _ in counts)
    assert sum(count for _, count in counts) == 2039 and len(counts) == 48


# match


def test_match_between_random_and_the_tree_search(tmp_path):
    pgn = tmp_path / "games.pgn"
    run = vantor_command("match", "random", "search:16", "--games", "2", "--max-plies", "40", "--seed", "3",
                         "--pgn", str(pgn))
    assert run.returncode == 0, run.stderr
    assert "random against search:16, 2 games" in run.stdout and "95 % interval" in run.stdout
    assert run.stderr == ""  # no progress line when standard error is not a terminal
    games = pgn.read_text().split("\n\n[Event")
    assert len(games) == 2
    first = read_pgn(games[0])
    assert first.headers["White"] == "random" and first.headers["Black"] == "search:16" and first.actions


def test_match_shows_progress_when_asked():
    run = vantor_command("match", "random", "mc:1", "--games", "2", "--max-plies", "10", "--progress")
    assert run.returncode == 0, run.stderr
    last = run.stderr.strip().splitlines()[-1]
    assert last.startswith("games: 2/2 (100%)") and "score" in last and "for random" in last


@needs_stockfish
def test_match_against_stockfish_with_options(tmp_path):
    pgn = tmp_path / "sf.pgn"
    run = vantor_command("match", "mc:1", f"uci:{STOCKFISH}:Skill Level=0,Threads=1,UCI_LimitStrength=false",
                         "--games", "2", "--movetime", "0.01", "--max-plies", "60", "--pgn", str(pgn))
    assert run.returncode == 0, run.stderr
    assert "2 games" in run.stdout and "Elo difference" in run.stdout
    assert read_pgn(pgn.read_text()).headers["Black"].startswith("uci:")


@pytest.mark.parametrize("player, words", [
    ("nobody", "unknown player 'nobody'"),
    ("search:0", "at least 1"),
    ("mc:x", "at least 1"),
    ("uci:/no/such/engine", "no UCI engine"),
    (f"uci:{STOCKFISH}:Bogus=1", "unknown UCI option 'Bogus'"),
    (f"uci:{STOCKFISH}:Threads=many", "is a spin"),
    (f"uci:{STOCKFISH}:Threads", "name=value pairs"),
])
def test_match_refuses_bad_players_in_one_line(player, words):
    if STOCKFISH in player and not os.path.exists(STOCKFISH):
        pytest.skip(f"no Stockfish at {STOCKFISH}")
    refused(vantor_command("match", "random", player, "--games", "1"), words)


def test_match_refuses_a_bad_start(tmp_path):
    refused(vantor_command("match", "random", "random", "--fen", "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1"), "stalemated")


def not_networks(folder):
    (folder / "empty.pt").write_bytes(b"")
    (folder / "pickle.pt").write_bytes(pickle.dumps({"channels": 8}))
    return [f"net:{folder / 'empty.pt'}", f"net:{folder / 'pickle.pt'}", "net:/etc/passwd"]


@pytest.mark.parametrize(
    "argv, words",
    [(["perft", "startpos", "3000"], "depth must be in 0 .. 100"),
     (["match", "random", "random", "--pgn", "/nonexistent/dir/x.pgn"], "--pgn"),
     (["match", "random", "random", "--pgn", "{tmp}"], "is a directory"),
     (["match", "random", "random", "--games", "0"], "--games"),
     (["match", "random", "random", "--movetime", "nan"], "--movetime"),
     (["match", "random", "random", "--movetime", "-1"], "--movetime"),
     (["match", "random", "random", "--max-plies", "0"], "--max-plies"),
     (["match", "random", "random", "--seed", "-1"], "--seed"),
     (["selfplay", "--local", "--out", "/nonexistent/d/e.npz"], "--out"),
     (["selfplay", "--local", "--out", "{tmp}/e.npz", "--pgn", "/nonexistent/d/e.pgn"], "--pgn"),
     (["selfplay", "--local", "--out", "{tmp}/e.npz", "--max-plies", "0"], "--max-plies"),
     (["bench", "--seconds", "nan"], "--seconds"),
     (["match", "random:", "random"], "nothing follows"),
     (["match", "search:", "random"], "(use search:N)"),
     (["match", "random", "net:"], "(use net:PATH or net:PATH:N)"),
     (["match", "uci:", "random"], "(use uci:PATH or uci:PATH:name=value,...)"),
     (["selfplay", "--local", "--out", "{tmp}/e.npz", "--pgn", "{tmp}/e.npz"], "name the same file"),
     (["match", "random", "random", "--pgn", "{tmp}/" + "x" * 300], "longer than"),
     (["match", "random", "random", "--pgn", "{tmp}/fifo"], "not a regular file"),
     (["match", "random", "uci:/no/such/engine", "--rules", "module"], "plays chess"),
     (["match", "random", "random", "--fen", "7k/8/8/8/8/8/8/K7 w - - 0 1"], "material to mate"),
     (["match", "random", "random", "--fen", "7k/8/8/8/8/8/8/KR6 w - - 60 80", "--rules", "module"],
      "under module rules")],
)
def test_bad_arguments_are_one_line_before_any_game(tmp_path, capsys, argv, words):
    os.mkfifo(tmp_path / "fifo")  # writing over it would replace a pipe (or a device) by a file
    status = cli_main([arg.replace("{tmp}", str(tmp_path)) for arg in argv])
    out, error = capsys.readouterr()
    assert status == 1 and words in error and len(error.strip().splitlines()) == 1, error
    assert out == "" and not (tmp_path / "e.npz").exists()


@pytest.mark.parametrize("argv", [
    ["match", "random", "random", "--rules", "fide"],
    ["selfplay", "--local", "--out", "e.npz", "--rules", "Standard"],
    ["view", "--play", "random", "--rules", ""],
    ["train", "--rules", "chess960"],
])
def test_rules_outside_the_three_are_one_line_and_status_2(capsys, argv):
    with pytest.raises(SystemExit) as exit:
        cli_main(argv)
    error = capsys.readouterr().err
    assert exit.value.code == 2 and "--rules" in error and "'standard'" in error, error
    assert len(error.strip().splitlines()) == 1, error


@pytest.mark.parametrize("rules", ["module", "automatic"])
def test_a_match_and_self_play_go_under_the_rules_given(tmp_path, capsys, rules):
    # Bare kings: a start only the module's rules play from, as a draw after their fifty half-moves.
    start = "7k/8/8/8/8/8/8/K7 w - - 0 1" if rules == "module" else "7k/8/8/8/8/8/8/KR6 w - - 140 80"
    assert cli_main(["match", "mc:1", "search:4", "--games", "2", "--fen", start, "--rules", rules,
                     "--pgn", str(tmp_path / "m.pgn")]) == 0
    games = list(read_pgn_games((tmp_path / "m.pgn").read_bytes()))
    assert len(games) == 2 and all(0 < len(game.actions) <= 50 and game.result == "1/2-1/2" for game in games)
    assert cli_main(["selfplay", "--local", "--episodes", "2", "--seed", "1", "--rules", rules,
                     "--out", str(tmp_path / "s.npz")]) == 0
    episodes = load(tmp_path / "s.npz")
    game = Game(rules=rules)
    for k in range(2):
        game.reset()
        for action in episodes["actions"][episodes["offsets"][k]:episodes["offsets"][k + 1]].tolist():
            reward, end = game.step(action)
        assert end and reward == episodes["result"][k]
    capsys.readouterr()


def test_files_that_are_not_networks_are_refused_as_players_in_one_line(tmp_path, capsys):
    pytest.importorskip("torch")
    if SANITIZED:
        pytest.skip("PyTorch is not run under the sanitizer preload")
    for player in not_networks(tmp_path):
        assert cli_main(["match", player, "random"]) == 1
        error = capsys.readouterr().err
        assert "not a saved network" in error and len(error.strip().splitlines()) == 1, error


def test_results_go_through_links_with_the_mode_a_new_file_gets(tmp_path, capsys):
    (tmp_path / "games").mkdir()
    (tmp_path / "link.pgn").symlink_to(tmp_path / "games" / "kept.pgn")
    mask = os.umask(0o022)
    try:
        assert cli_main(["match", "random", "random", "--max-plies", "4", "--pgn", str(tmp_path / "link.pgn")]) == 0
    finally:
        os.umask(mask)
    assert (tmp_path / "link.pgn").is_symlink() and "[Event" in (tmp_path / "games" / "kept.pgn").read_text()
    assert (tmp_path / "games" / "kept.pgn").stat().st_mode & 0o777 == 0o644
    assert [p.name for p in (tmp_path / "games").iterdir()] == ["kept.pgn"]  # no temporary file left


@pytest.mark.parametrize("text", ["1_0", " 3", "\u0661", "3.0"])
def test_counts_are_whole_numbers_in_ascii_digits(capsys, text):
    with pytest.raises(SystemExit) as exit:
        cli_main(["perft", "startpos", text])
    error = capsys.readouterr().err
    assert exit.value.code == 2 and "DEPTH" in error and len(error.strip().splitlines()) == 1


def test_results_that_cannot_be_written_where_asked_are_written_elsewhere(tmp_path, capsys):
    folder = tmp_path / "gone"
    folder.mkdir()
    target = str(folder / "x.pgn")
    folder.rmdir()  # after the arguments were checked, before the result is written
    outputs = _Outputs()
    written = outputs.write(target, ".pgn", lambda out: out.write(b"1. e4 *\n"))
    assert written != target and Path(written).read_bytes() == b"1. e4 *\n" and outputs.moved
    assert written in capsys.readouterr().err
    os.remove(written)


# self-play


def load(path):
    with np.load(path) as data:
        return {key: data[key] for key in data.files}


def test_selfplay_local_writes_replayable_seeded_episodes(tmp_path):
    args = ["selfplay", "--local", "--episodes", "5", "--envs-per-worker", "2", "--max-plies", "30", "--seed", "7"]
    first, second = tmp_path / "a.npz", tmp_path / "b.npz"
    run = vantor_command(*args, "--out", str(first), "--record-observations", "--pgn", str(tmp_path / "a.pgn"))
    assert run.returncode == 0, run.stderr
    assert "5 episodes" in run.stdout
    assert vantor_command(*args, "--out", str(second)).returncode == 0
    a, b = load(first), load(second)
    assert a["index"].tolist() == [0, 1, 2, 3, 4]
    for key in ("actions", "rewards", "plies", "result", "offsets"):
        assert np.array_equal(a[key], b[key]), key  # the seed repeats the games
    assert "observations" not in b and a["observations"].shape == (a["plies"].sum(), 119, 8, 8)
    assert a["offsets"][-1] == len(a["actions"]) == len(a["masks"])
    game = Game(max_plies=30)  # the standard rules' games
    for k in range(5):
        game.reset()
        actions = a["actions"][a["offsets"][k]:a["offsets"][k + 1]]
        for ply, action in enumerate(actions.tolist()):
            assert a["masks"][a["offsets"][k] + ply][action]
            reward, end = game.step(action)
        assert end and reward == a["result"][k] and len(actions) == a["plies"][k] <= 30
    assert (tmp_path / "a.pgn").read_text().count("[Event") == 5


def test_selfplay_refuses_bad_counts(tmp_path):
    refused(vantor_command("selfplay", "--local", "--episodes", "-1", "--out", str(tmp_path / "x.npz")), "--episodes")
    refused(vantor_command("selfplay", "--local", "--envs-per-worker", "0", "--out", str(tmp_path / "x.npz")),
            "--envs-per-worker")
    assert not (tmp_path / "x.npz").exists()


@pytest.mark.skipif(SANITIZED, reason="Ray's processes do not run under the preloaded sanitizer")
def test_selfplay_on_ray(tmp_path):
    require("ray")
    out = tmp_path / "ray.npz"
    run = vantor_command("selfplay", "--workers", "1", "--envs-per-worker", "2", "--episodes", "3",
                         "--max-plies", "20", "--seed", "1", "--out", str(out))
    assert run.returncode == 0, run.stderr
    local = tmp_path / "local.npz"
    assert vantor_command("selfplay", "--local", "--envs-per-worker", "2", "--episodes", "3", "--max-plies", "20",
                          "--seed", "1", "--out", str(local)).returncode == 0
    assert np.array_equal(load(out)["actions"], load(local)["actions"])


# bench


def test_bench_reports_rates_and_cores():
    run = vantor_command("bench", "--seconds", "0.3")
    assert run.returncode == 0, run.stderr
    assert f"cores: {os.cpu_count()}" in run.stdout
    for label in ("Vantor.step from Python", "Vantor.roll_out", "BatchEnv.step"):
        line = next(line for line in run.stdout.splitlines() if line.startswith(label))
        assert float(line.split(": ")[1].split()[0].replace(",", "")) > 0
    refused(vantor_command("bench", "--seconds", "0"), "--seconds")
    tiny = vantor_command("bench", "--seconds", "1e-9")  # too short to time anything: one round is timed
    assert tiny.returncode == 0 and "steps/s" in tiny.stdout, tiny.stderr


# progress


class Tty(io.StringIO):
    def isatty(self) -> bool:
        return True


class Broken(io.StringIO):
    def write(self, text: str) -> int:
        raise BrokenPipeError("reader gone")


def test_progress_is_quiet_off_a_terminal_and_in_place_on_one():
    quiet = io.StringIO()
    with Progress(3, "games", stream=quiet) as progress:
        progress.update()
    assert quiet.getvalue() == "" and progress.count == 1
    tty = Tty()
    with Progress(2, "games", stream=tty, interval=0) as progress:
        progress.update(score="1/1")
        progress.update(score="1.5/2")
    text = tty.getvalue()
    # A line shorter than the one before is padded with blanks, so that none of it is left.
    assert text.startswith("\rgames: 1/2 (50%)") and text.endswith("\n") and text.count("\n") == 1
    assert text.rstrip("\n").rstrip(" ").endswith("score 1.5/2")


def test_progress_when_enabled_writes_whole_lines_and_the_last_once():
    log = io.StringIO()
    with Progress(None, "episodes", enabled=True, stream=log, interval=0) as progress:
        progress.update(2)
        progress.update(plies=40)
    lines = log.getvalue().splitlines()
    assert len(lines) == 2 and lines[-1].startswith("episodes: 3  ") and lines[-1].endswith("plies 40")
    never = io.StringIO()
    with Progress(5, "games", enabled=False, stream=never) as progress:
        progress.update()
    assert never.getvalue() == ""


def test_progress_survives_a_closed_reader_and_refuses_bad_arguments():
    with Progress(2, "games", enabled=True, stream=Broken(), interval=0) as progress:
        progress.update()
        progress.update()
    assert progress.count == 2 and not progress.enabled
    with pytest.raises(TypeError):
        Progress(2.5, "games")  # type: ignore[arg-type]
    with pytest.raises(ValueError):
        Progress(-1, "games")
    with pytest.raises(TypeError):
        Progress(1, "games", enabled="yes")  # type: ignore[arg-type]
    with pytest.raises(TypeError):
        Progress(1, "games").update(1.0)  # type: ignore[arg-type]


def test_play_match_reports_progress_only_when_asked(capsys):
    def first(state, mask):
        return int(np.flatnonzero(mask)[0])

    play_match(first, first, 2, max_plies=4)
    assert capsys.readouterr().err == ""
    play_match(first, first, 2, max_plies=4, progress=True)
    assert capsys.readouterr().err.splitlines()[-1].startswith("games: 2/2 (100%)")
    with pytest.raises(TypeError):
        play_match(first, first, 2, progress="yes")  # type: ignore[arg-type]
