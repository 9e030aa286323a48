"""tools/pgn_corpus.py: the corpus reads game for game alike with the package's reader and
python-chess, the malformed games being exactly the ones both refuse; its headers are the
databases'; a seed gives the same bytes; bad arguments get one line."""

from __future__ import annotations

import importlib.util
import io
import json
import re
import shutil
import subprocess
import sys
from pathlib import Path
from types import ModuleType
from typing import Any

import pytest
from compression import zstd

from vantor_gym import Game
from vantor_gym.notation import action_to_uci, read_pgn_columns

ROOT = Path(__file__).resolve().parents[2]
TOOL = ROOT / "tools" / "pgn_corpus.py"
HAVE_STOCKFISH = bool(shutil.which("stockfish") or shutil.which("stockfish", path="/usr/games"))
ORDER = ["Event", "Site", "Date", "Round", "White", "Black", "Result", "UTCDate", "UTCTime", "WhiteElo", "BlackElo",
         "WhiteRatingDiff", "BlackRatingDiff", "WhiteTitle", "BlackTitle", "Variant", "ECO", "Opening", "TimeControl",
         "Termination", "FEN", "SetUp"]
VALUES = {
    "Event": r"(Rated|Casual) (UltraBullet|Bullet|Blitz|Rapid|Classical|Correspondence) game|Rated \w+ tournament "
             r"https://chess\.example/tournament/\w{8}|.*(Arena|Swiss|— \w+)",
    "Site": r"https://chess\.example/[0-9A-Za-z]{8}", "Date": r"2024\.0[67]\.[0-3][0-9]", "Round": "-",
    "Result": r"1-0|0-1|1/2-1/2|\*", "UTCTime": r"[0-2][0-9]:[0-5][0-9]:[0-5][0-9]", "WhiteElo": r"[1-9][0-9]{2,3}",
    "BlackElo": r"[1-9][0-9]{2,3}", "WhiteRatingDiff": r"[+-][0-9]+", "BlackRatingDiff": r"[+-][0-9]+",
    "ECO": r"[A-E][0-9]{2}|\?", "TimeControl": r"[0-9]+\+[0-9]+|-", "SetUp": "1", "Variant": "From Position",
    "Termination": "Normal|Time forfeit|Abandoned|Rules infraction|Unterminated",
}


def _load() -> ModuleType:
    spec = importlib.util.spec_from_file_location("pgn_corpus", TOOL)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules["pgn_corpus"] = module  # dataclasses look their module up by name
    spec.loader.exec_module(module)
    return module


tool = _load()


@pytest.fixture(scope="module")
def pool() -> Any:
    return tool.make_pool(seed=3, stockfish_games=2 if HAVE_STOCKFISH else 0, random_games=60)


@pytest.fixture(scope="module")
def corpus(pool: Any, tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, list[Any]]:
    path = tmp_path_factory.mktemp("corpus") / "games.pgn"
    info = tool.write_corpus(path, games=300, seed=5, pool=pool, malformed=0.06)
    games = list(tool.iter_games(pool, seed=5, malformed=0.06, games=300))
    assert info.games == len(games) and path.read_bytes() == "".join(g.text for g in games).encode()
    assert {kind for _, kind in info.malformed} == {"illegal move", "broken FEN header", "unclosed comment"}
    return path, games


def _header(text: str, name: str) -> str:
    found = re.search(rf'^\[{name} "(.*)"\]$', text, re.MULTILINE)
    assert found is not None, text
    return found.group(1)


def _ucis(game: Any) -> list[str]:
    board, moves = Game(fen=game.source.start_fen), []
    for action in game.actions:
        moves.append(action_to_uci(board, action))
        board.step(action)
    return moves


def test_both_readers_read_each_well_formed_game_and_refuse_the_malformed(corpus: tuple[Path, list[Any]]) -> None:
    chess_pgn = pytest.importorskip("chess.pgn")
    path, games = corpus
    good = [game for game in games if game.malformed is None and not game.swallowed]
    columns = read_pgn_columns(path, on_error="skip")
    assert [number for number, _ in columns.skipped] == [game.number for game in games if game.malformed]
    assert len(columns) == len(good)
    stream = io.StringIO(path.read_text(encoding="utf-8"))
    theirs = []
    while (read := chess_pgn.read_game(stream)) is not None:
        theirs.append(read)
    refused = [read.headers["Site"] for read in theirs if read.errors]
    assert refused == [_header(game.text, "Site") for game in games if game.malformed]
    accepted = [read for read in theirs if not read.errors]
    assert len(accepted) == len(good)
    for index, (game, read) in enumerate(zip(good, accepted)):
        ours = columns.game(index)
        assert ours.actions == list(game.actions), game.text
        assert ours.headers == dict(read.headers) and ours.result == read.headers["Result"]
        assert [move.uci() for move in read.mainline_moves()] == _ucis(game), game.text


def test_headers_and_movetext_are_the_databases(corpus: tuple[Path, list[Any]]) -> None:
    path, games = corpus
    columns = read_pgn_columns(path, on_error="skip")
    good = [game for game in games if game.malformed is None and not game.swallowed]
    seen: set[str] = set()
    for index, game in enumerate(good):
        headers = columns.game(index).headers
        assert list(headers) == [name for name in ORDER if name in headers], game.text
        assert set(ORDER[:11]) | {"ECO", "Opening", "TimeControl", "Termination"} <= set(headers)
        for name, pattern in VALUES.items():
            assert name not in headers or re.fullmatch(pattern, headers[name]), (name, headers.get(name))
        assert headers["UTCDate"] == headers["Date"] and ("FEN" in headers) == ("SetUp" in headers)
        movetext = game.text.split("\n\n")[1]
        assert movetext.endswith(" " + headers["Result"]) or movetext == headers["Result"]
        clocks = movetext.count("[%clk ")
        assert clocks == (0 if headers["TimeControl"] == "-" else len(game.actions)), movetext
        # After a comment a move has its number, black's as "12... Nf6"; without comments black's has none.
        after = re.findall(r"\} (\S+)", movetext)
        assert all(re.fullmatch(r"[0-9]+\.(\.\.)?|1-0|0-1|1/2-1/2|\*", token) for token in after), movetext
        assert after or "..." not in movetext[3:], movetext
        seen |= {headers["Result"], headers["Termination"], *(["FEN"] if "FEN" in headers else [])}
        seen |= {"no moves"} if not game.actions else set()
        seen |= {"eval"} if "[%eval " in movetext else set()
    expected = {"1-0", "0-1", "1/2-1/2", "*", "Normal", "Time forfeit", "Abandoned", "FEN", "no moves"}
    assert expected | ({"eval"} if HAVE_STOCKFISH else set()) <= seen


def test_results_agree_with_the_board(corpus: tuple[Path, list[Any]]) -> None:
    """A game that ends on the board has the board's result; one cut short was won, lost or
    drawn by the players (resignation, time, agreement) or has none. A comment is left open
    only where both readers must refuse what it runs into."""
    _, games = corpus
    for game, after in zip(games, [*games[1:], None]):
        result, termination = _header(game.text, "Result"), _header(game.text, "Termination")
        board, reward = Game(fen=game.source.start_fen), 0
        for action in game.actions:
            reward, _ = board.step(action)
        if game.malformed == "unclosed comment":
            # Its comment runs to the second move of the next game, which no move can follow.
            assert board.ending in ("checkmate", "stalemate") and after is not None and after.swallowed
            assert len(after.actions) >= 2 and after.text.count("[%clk ") == len(after.actions)
        if game.malformed is not None or game.swallowed:
            continue
        if board.is_over:
            assert (result, termination) == (("1/2-1/2", "1-0", "0-1")[reward], "Normal"), game.text
        elif result == "*":
            assert termination == "Unterminated"


def test_same_seed_same_bytes_and_zst_holds_the_pgn(pool: Any, tmp_path: Path) -> None:
    again = tool.make_pool(seed=3, stockfish_games=pool.stockfish_games, random_games=60)
    assert again.games == pool.games  # Stockfish on one thread and fixed nodes plays the same games
    plain, packed, other = tmp_path / "a.pgn", tmp_path / "a.pgn.zst", tmp_path / "b.pgn"
    first = tool.write_corpus(plain, size=200_000, seed=1, pool=pool, malformed=0.05)
    tool.write_corpus(packed, size=200_000, seed=1, pool=again, malformed=0.05, level=5)
    tool.write_corpus(other, size=200_000, seed=2, pool=pool, malformed=0.05)
    assert zstd.decompress(packed.read_bytes()) == plain.read_bytes() != other.read_bytes()
    # The size is reached by the last game, not before it.
    games = list(tool.iter_games(pool, seed=1, malformed=0.05, games=first.games))
    assert first.bytes == plain.stat().st_size == sum(len(game.text.encode()) for game in games) >= 200_000
    # ... unless it swallows the game after it, a comment left open never ends a corpus.
    last = len(games[-1].text.encode()) + (len(games[-2].text.encode()) if games[-1].swallowed else 0)
    assert first.bytes - last < 200_000 and len(read_pgn_columns(packed, on_error="skip")) > 0


def test_a_failed_write_leaves_no_file(pool: Any, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    target = tmp_path / "kept.pgn"
    target.write_bytes(b"before")
    calls = iter(range(50))
    real = tool._Composer._game

    def failing(self: Any, *args: Any, **kwargs: Any) -> Any:
        if next(calls) == 40:
            raise OSError("disk full")
        return real(self, *args, **kwargs)

    monkeypatch.setattr(tool._Composer, "_game", failing)
    with pytest.raises(OSError, match="disk full"):
        tool.write_corpus(target, size=10**9, pool=pool)
    assert target.read_bytes() == b"before" and [p.name for p in tmp_path.iterdir()] == ["kept.pgn"]


def _pool_file(pool: Any, path: Path, change: Any) -> Path:
    pool.save(path)
    data = json.loads(path.read_text())
    change(data)
    path.write_text(json.dumps(data))
    return path


def _random_game(data: dict[str, Any]) -> dict[str, Any]:
    last: dict[str, Any] = data["games"][-1]  # the random games come last
    return last


POOL_FAULTS = [
    (lambda d: _random_game(d)["actions"].__setitem__(0, 4671), "pool game [0-9]+: ply 1: action 4671 is not a legal"),
    (lambda d: _random_game(d)["actions"].append("e4"), "pool game [0-9]+: actions is a list of integers"),
    (lambda d: _random_game(d).update(ending="stalemate", result="1-0"), "pool game [0-9]+: the game('s| goes| ends)"),
    (lambda d: _random_game(d).update(evals=["0.1"]), "evals must be one eval text"),
    (lambda d: _random_game(d).update(start="8/8/8/8/8/8/8/8 w - - 0 1"), "invalid FEN"),
    (lambda d: d.update(version=2), "is not a pool file"),
    (lambda d: d.update(games=[]), "holds no game"),
]


@pytest.mark.parametrize(("change", "message"), POOL_FAULTS)
def test_a_damaged_pool_file_is_refused(pool: Any, tmp_path: Path, change: Any, message: str) -> None:
    path = _pool_file(pool, tmp_path / "pool.json", lambda data: None)
    assert tool.load_pool(path).games == pool.games
    with pytest.raises(ValueError, match=message):
        tool.load_pool(_pool_file(pool, tmp_path / "pool.json", change))


BAD_ARGUMENTS = [
    ([], 2), (["{out}"], 2), (["{out}", "--games", "5", "--size", "1M"], 2), (["{out}", "--size", "2X"], 2),
    (["{out}", "--size", "0"], 2), (["{out}", "--games", "-1"], 2),
    (["{out}", "--games", "1", "--malformed", "1.5"], 2),
    (["{out}", "--games", "1", "--seed", "x"], 2), (["{out}", "--games", "1", "--level", "99"], 1),
    (["{tmp}/missing/x.pgn", "--games", "1"], 1), (["{out}", "--games", "1", "--random-games", "0",
                                                   "--stockfish-games", "0"], 1),
    (["{out}", "--games", "1", "--random-games", "1", "--engine", "{tmp}/no-engine"], 1),
    (["{out}", "--games", "1", "--pool", "{tmp}/garbage.json"], 1),
    (["{out}", "--games", "1", "--pool", "{tmp}/pool.json", "--seed", "9"], 1),
]


@pytest.mark.parametrize(("arguments", "status"), BAD_ARGUMENTS)
def test_bad_arguments_get_one_line(pool: Any, tmp_path: Path, capsys: pytest.CaptureFixture[str],
                                    arguments: list[str], status: int) -> None:
    (tmp_path / "garbage.json").write_text("{not json")
    pool.save(tmp_path / "pool.json")
    argv = [text.format(out=tmp_path / "out.pgn", tmp=tmp_path) for text in arguments]
    try:
        code = tool.main(argv)
    except SystemExit as exit:
        code = exit.code
    error = capsys.readouterr().err
    assert code == status and len(error.splitlines()) == 1 and "error" in error and "Traceback" not in error
    assert not (tmp_path / "out.pgn").exists()


def test_the_script_writes_to_standard_output() -> None:
    command = [sys.executable, str(TOOL), "-", "--games", "4", "--stockfish-games", "0", "--random-games", "3"]
    done = subprocess.run(command, capture_output=True, timeout=120, check=True)
    assert done.stdout.count(b"[Event ") == 4 and b"4 games" in done.stderr
    assert len(read_pgn_columns(done.stdout)) == 4
