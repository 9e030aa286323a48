"""Game datasets in Parquet: what goes in comes back, filters, byte-identical builds, resume
after a kill, refused input, the command line, and Ray with a killed worker."""

import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import SANITIZED, require
from vantor_gym import cli, dataset, notation
from vantor_gym.dataset import HEADER_COLUMNS, RESULTS, GameDataset, build_dataset
from vantor_gym.distributed import play_chunk, uniform_random
from vantor_gym.notation import pgn, read_pgn_columns

pa = pytest.importorskip("pyarrow")

TEXTS = {1: "1-0", -1: "0-1", 0: "1/2-1/2", None: "*"}
FEN = "4k3/8/8/8/8/8/4P3/4K3 w - - 0 1"


def games_text(count: int, seed: int) -> str:
    """PGN of random games with the headers the public databases write, varied, and a few
    odd ones: a FEN start, a game with an illegal move, a malformed one, odd header values."""
    rng = random.Random(seed)
    games = []
    for episode in play_chunk(list(range(count)), uniform_random, seed, 40, False, False):
        actions = episode.actions.tolist()[: rng.randrange(0, 41)]
        headers = {
            "Event": rng.choice(["Rated Blitz game", "Casual Rapid game", "Unrated", "Rated Bullet tournament x"]),
            "Site": f"https://example.org/{rng.getrandbits(32):08x}",
            "WhiteElo": rng.choice(["1500", "2100", "1799", "?", "0999", "40000"]),
            "BlackElo": rng.choice(["1600", "2300", "1800", "-"]),
            "TimeControl": rng.choice(["180+0", "60+0", "600+5", "-", "15+0", "1500+0", "?", "40/7200"]),
            "UTCDate": "2024.01.02",
        }
        for name in rng.sample(sorted(headers), rng.randrange(3)):
            del headers[name]
        games.append(pgn(actions, result=rng.choice(RESULTS), headers=headers))
    games[3:3] = [
        pgn([], start_fen=FEN, result="1/2-1/2", headers={"White": "a", "Termination": "Normal", "ECO": "A00"}),
        '[Event "Rated Blitz game"]\n[Result "1-0"]\n\n1. e4 e5 2. Ke3 1-0\n',
        '[Event "Rated Blitz game"]\n[WhiteElo "1500 "]\n[Result "0-1"]\n\n1. e4 *\n',
        '[Event "x"\n\n1. e4 *\n',
    ]
    return "\n".join(games) + "\n"


@pytest.fixture(scope="module")
def sources(tmp_path_factory):
    """Three PGN files: two small ones and a third of the first repeated many times."""
    folder = tmp_path_factory.mktemp("pgn")
    texts = [games_text(60, 1), games_text(45, 2)]
    texts.append(texts[0] * 25)
    paths = []
    for number, text in enumerate(texts):
        paths.append(str(folder / f"{number}.pgn"))
        Path(paths[-1]).write_text(text)
    return paths


def files(folder) -> dict[str, bytes]:
    """Every file of a directory tree by its relative name; the lock is left out."""
    found = {}
    for where, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(where, name)
            if name != dataset.LOCK:
                found[os.path.relpath(path, folder)] = Path(path).read_bytes()
    return found


def rows(games: GameDataset) -> list[dict]:
    return [row for index in range(len(games.shards)) for row in games.read(index).to_pylist()]


def headers_of(row: dict) -> dict[str, str]:
    """A stored game's headers put together again, as the format says."""
    headers = dict(row["headers"])
    assert not set(headers) & set(HEADER_COLUMNS.values())
    headers.update({name: row[column] for column, name in HEADER_COLUMNS.items() if row[column] is not None})
    headers.update({name: str(row[column]) for column, name in dataset.ELO_COLUMNS.items() if row[column] is not None})
    if row["start_fen"] is not None:
        headers.setdefault("FEN", row["start_fen"])
    headers.setdefault("Result", TEXTS[row["result"]])
    return headers


def test_games_read_back_as_the_reader_reads_them(sources, tmp_path):
    built = build_dataset(sources[:2], tmp_path / "d", results=RESULTS, shard_games=7)
    stored = rows(built)
    expected = [(number, read_pgn_columns(path, on_error="skip")) for number, path in enumerate(sources[:2])]
    at = 0
    for source, columns in expected:
        games = stored[at: at + len(columns)]
        at += len(columns)
        assert [row["game"] for row in games] == columns.numbers.tolist()
        for index, row in enumerate(games):
            game = columns.game(index)
            assert row["moves"] == game.actions and row["start_fen"] == game.start_fen
            assert row["result"] == {2: None}.get(int(columns.results[index]), int(columns.results[index]))
            assert headers_of(row) == {"Result": TEXTS[row["result"]], **game.headers}
        entry = built.manifest["sources"][source]
        assert entry["games_read"] == len(columns) + len(columns.skipped) and entry["games_kept"] == len(columns)
        assert entry["skipped"]["illegal_move"] == 1 and entry["skipped"]["malformed"] == 1
        assert [shard["games"] for shard in entry["shards"]] == [7] * (len(columns) // 7) + [len(columns) % 7]
    assert at == len(stored) == len(built)
    assert built.plies == sum(len(row["moves"]) for row in stored) == built.manifest["totals"]["plies"]
    assert built.read(-1, columns=["moves", "game"]).schema.names == ["moves", "game"]
    built.verify()


def test_compressed_sources_give_the_plain_files_shards_and_a_damaged_one_is_named(sources, tmp_path):
    import gzip
    from compression import zstd

    data = Path(sources[0]).read_bytes()
    packed = {"a.pgn.zst": zstd.compress(data), "b.pgn.gz": gzip.compress(data, mtime=0)}
    plain = files(build_dataset(sources[0], tmp_path / "plain", shard_games=16).path)
    for name, contents in packed.items():
        (tmp_path / name).write_bytes(contents)
        built = build_dataset(str(tmp_path / name), tmp_path / f"from-{name}", shard_games=16)
        assert {k: v for k, v in files(built.path).items() if k.endswith(".parquet")} == {
            k: v for k, v in plain.items() if k.endswith(".parquet")}
        assert built.manifest["sources"][0]["bytes"] == len(contents)
    (tmp_path / "c.pgn.zst").write_bytes(packed["a.pgn.zst"][:-40])
    with pytest.raises(ValueError, match="c.pgn.zst"):
        build_dataset(str(tmp_path / "c.pgn.zst"), tmp_path / "damaged", shard_games=16)
    assert not (tmp_path / "damaged" / "manifest.json").exists()
    assert not (tmp_path / "damaged" / "sources" / "0000.json").exists()


def category(text: str | None) -> str | None:
    if text == "-":
        return "correspondence"
    if text is None or "+" not in text:
        return None
    base, increment = map(int, text.split("+"))
    seconds = base + 40 * increment
    return "ultrabullet" if seconds < 30 else "bullet" if seconds < 180 else "blitz" if seconds < 480 else (
        "rapid" if seconds < 1500 else "classical")


def rating(text: str | None) -> int:
    return int(text) if text is not None and text.isdigit() and text == str(int(text)) and int(text) < 32768 else -1


# A filter, the reason a game it refuses is counted under, and whether a game passes it.
FILTERS = [
    ({"min_rating": 1800}, "min_rating",
     lambda h, plies, result: min(rating(h.get("WhiteElo")), rating(h.get("BlackElo"))) >= 1800),
    ({"time_controls": ["Blitz", "60+0"]}, "time_control",
     lambda h, plies, result: category(h.get("TimeControl")) == "blitz" or h.get("TimeControl") == "60+0"),
    ({"time_controls": "correspondence"}, "time_control", lambda h, plies, result: h.get("TimeControl") == "-"),
    ({"results": ["1-0", "*"]}, "results", lambda h, plies, result: result in ("1-0", "*")),
    ({"results": dataset.DECIDED}, "results", lambda h, plies, result: result != "*"),
    ({"rated_only": True}, "rated_only", lambda h, plies, result: h.get("Event", "").startswith("Rated ")),
    ({"min_plies": 21}, "min_plies", lambda h, plies, result: plies >= 21),
]


@pytest.mark.parametrize("options, reason, passes", FILTERS)
def test_filters_keep_the_games_that_pass_and_count_the_others(sources, tmp_path, options, reason, passes):
    built = build_dataset(sources[0], tmp_path / "d", **{"results": RESULTS, **options})
    columns = read_pgn_columns(sources[0], on_error="skip")
    kept = [int(columns.numbers[i]) for i in range(len(columns))
            if passes(columns.headers[i], len(columns.game(i).actions), columns.result_texts[i])]
    assert [row["game"] for row in rows(built)] == kept
    skipped = built.manifest["sources"][0]["skipped"]
    assert skipped[reason] == len(columns) - len(kept) > 0
    assert sum(skipped.values()) == skipped[reason] + 2  # and the two games the reader refused


def test_a_game_is_counted_under_the_first_filter_it_fails(sources, tmp_path):
    built = build_dataset(sources[0], tmp_path / "d", min_rating=1500, min_plies=35, results=["1-0"])
    loose = build_dataset(sources[0], tmp_path / "e", min_rating=1500, results=RESULTS)
    skipped = built.manifest["sources"][0]["skipped"]
    assert skipped["min_rating"] == loose.manifest["sources"][0]["skipped"]["min_rating"]
    assert skipped["results"] > 0 and skipped["min_plies"] > 0
    assert len(built) + sum(skipped.values()) == built.manifest["sources"][0]["games_read"]


def test_builds_are_byte_identical_however_the_reader_cuts_its_chunks(sources, tmp_path, monkeypatch):
    first = files(build_dataset(sources, tmp_path / "a", shard_games=50).path)
    reader = notation.read_pgn_chunks
    monkeypatch.setattr(notation, "read_pgn_chunks", lambda *a, **k: reader(*a, **{**k, "chunk_bytes": 3001}))
    second = files(build_dataset(sources, tmp_path / "b", shard_games=50).path)
    assert first == second and sum(name.endswith(".parquet") for name in first) > 20


def build_command(sources, out, *flags) -> list[str]:
    return [sys.executable, "-m", "vantor_gym", "dataset", "build", *sources, "--out", str(out), *flags]


@pytest.mark.skipif(SANITIZED, reason="the killed build's processes are the plain interpreter's")
def test_a_build_killed_midway_shows_no_half_shard_and_no_manifest_and_resumes(sources, tmp_path):
    whole = files(build_dataset(sources, tmp_path / "whole", shard_games=20).path)
    out = tmp_path / "killed"
    build = subprocess.Popen(build_command(sources, out, "--shard-games", "20"), stderr=subprocess.DEVNULL)
    try:
        # Killed in the middle of the third source, its first shard written.
        while not (out / "games-0002-00000.parquet").exists():
            assert build.poll() is None
            time.sleep(0.002)
        build.send_signal(signal.SIGKILL)
    finally:
        build.wait()
    assert not (out / "manifest.json").exists() and not (out / "sources" / "0002.json").exists()
    assert (out / "sources" / "0001.json").exists()
    for shard in out.glob("*.parquet"):
        pa.parquet.read_table(shard)  # every shard in sight is whole
    (out / ".games-0002-00099.parquet.x1y2.tmp").write_bytes(b"PAR1 half")  # as a kill in a write leaves one
    (out / "games-0002-00098.parquet").write_bytes(b"stale")  # as a run cut into shards otherwise leaves one
    done = subprocess.run(build_command(sources, out, "--shard-games", "20"), capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert files(out) == whole
    # A rerun of a finished build changes nothing.
    assert build_dataset(sources, out, shard_games=20).games == GameDataset(tmp_path / "whole").games
    assert files(out) == whole


def test_a_failure_midway_leaves_the_sources_done_and_the_rerun_does_the_rest(sources, tmp_path, monkeypatch):
    calls = []
    real = dataset._build_source

    def failing(*args, **kwargs):
        calls.append(args[1])
        if len(calls) == 2:
            raise OSError("disk full")
        return real(*args, **kwargs)

    monkeypatch.setattr(dataset, "_build_source", failing)
    with pytest.raises(OSError, match="disk full"):
        build_dataset(sources[:2], tmp_path / "d")
    assert not (tmp_path / "d" / "manifest.json").exists()
    build_dataset(sources[:2], tmp_path / "d")
    assert calls == [0, 1, 1]
    assert files(tmp_path / "d") == files(build_dataset(sources[:2], tmp_path / "e").path)


def test_a_source_whose_record_or_shards_are_damaged_is_built_again_and_a_busy_directory_refused(sources, tmp_path):
    import fcntl

    built = build_dataset(sources[:2], tmp_path / "d", shard_games=10)
    whole = files(built.path)
    os.remove(built.shards[-1].path)
    (Path(built.path) / "sources" / "0000.json").write_text("{")
    with open(Path(built.path) / dataset.LOCK) as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        with pytest.raises(ValueError, match="another build is writing"):
            build_dataset(sources[:2], built.path, shard_games=10)
    build_dataset(sources[:2], built.path, shard_games=10)
    assert files(built.path) == whole


def test_without_pyarrow_the_manifest_reads_and_the_rest_says_what_to_install(sources, tmp_path, monkeypatch):
    built = build_dataset(sources[0], tmp_path / "d")
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    monkeypatch.setitem(sys.modules, "pyarrow.parquet", None)
    assert len(GameDataset(built.path)) == len(built)
    for attempt in (lambda: GameDataset(built.path).read(0), lambda: build_dataset(sources[0], tmp_path / "e")):
        with pytest.raises(ImportError, match=r'pip install "vantor\[data\]"'):
            attempt()
    assert not (tmp_path / "e").exists()


def damage(folder: Path, how: str) -> str:
    """Damages a built dataset as HOW says; returns the file the error must name."""
    manifest = folder / "manifest.json"
    shard = folder / "games-0000-00001.parquet"
    document = json.loads(manifest.read_text())
    if how == "truncated manifest":
        manifest.write_bytes(manifest.read_bytes()[:200])
    elif how == "edited manifest":
        document["sources"][0]["shards"][0]["games"] += 1
        manifest.write_text(json.dumps(document))
    elif how == "foreign manifest":
        manifest.write_text(json.dumps({"format": "other", "version": 1}))
    elif how == "later version":
        manifest.write_text(json.dumps({**document, "version": 2}))
    elif how == "manifest naming a file outside":
        document["sources"][0]["shards"][0]["file"] = "../outside.parquet"
        manifest.write_text(json.dumps(document))
    elif how == "deeply nested manifest":
        manifest.write_text("[" * 100000)
    elif how == "no manifest":
        manifest.unlink()
    elif how == "missing shard":
        shard.unlink()
        return str(shard)
    elif how == "longer shard":
        shard.write_bytes(shard.read_bytes() + b"\0")
        return str(shard)
    return str(manifest if how != "no manifest" else folder)


@pytest.mark.parametrize("how", ["truncated manifest", "edited manifest", "foreign manifest", "later version",
                                 "manifest naming a file outside", "deeply nested manifest", "no manifest",
                                 "missing shard", "longer shard"])
def test_a_damaged_dataset_is_refused_naming_the_file(sources, tmp_path, how):
    built = build_dataset(sources[0], tmp_path / "d", shard_games=10)
    named = damage(Path(built.path), how)
    with pytest.raises(ValueError, match="^" + named.replace("\\", "\\\\").replace(".", r"\.")):
        GameDataset(built.path)


def test_shard_bytes_changed_in_place_are_found_by_verify_and_read(sources, tmp_path):
    built = build_dataset(sources[0], tmp_path / "d", shard_games=10)
    shard = Path(built.shards[1].path)
    data = bytearray(shard.read_bytes())
    data[-100:-8] = bytes(92)  # the footer, which describes the columns
    shard.write_bytes(bytes(data))
    again = GameDataset(built.path)  # the size is right: only reading or verifying finds it
    for attempt in (again.verify, lambda: again.read(1)):
        with pytest.raises(ValueError, match=f"^{shard}"):
            attempt()
    assert again.read(0).num_rows == 10
    with pytest.raises(IndexError):
        again.read(len(again.shards))
    with pytest.raises(ValueError, match="no column 'elo'"):
        again.read(0, columns=["elo"])


@pytest.mark.parametrize("options, error, message", [
    ({"results": ["1-0", "2-0"]}, ValueError, "unknown result '2-0'"),
    ({"results": []}, ValueError, "names no result"),
    ({"time_controls": ["blitz", "fast"]}, ValueError, "unknown time control 'fast'"),
    ({"time_controls": ["300+"]}, ValueError, "unknown time control"),
    ({"min_rating": -1}, ValueError, "min_rating"),
    ({"min_rating": 1800.0}, TypeError, "min_rating"),
    ({"min_plies": True}, TypeError, "min_plies"),
    ({"shard_games": 0}, ValueError, "shard_games"),
    ({"rated_only": "yes"}, TypeError, "rated_only"),
    ({"sources": ["missing.pgn"]}, FileNotFoundError, "missing.pgn"),
    ({"sources": ["-"]}, ValueError, "not standard input"),
    ({"sources": [0]}, TypeError, "a source is a path"),
    ({"sources": "twice"}, ValueError, "given twice"),
    ({"sources": "folder"}, ValueError, "not a regular file"),
    ({"sources": "binary"}, ValueError, "does not read as PGN"),
    ({"sources": "prose"}, ValueError, "does not read as PGN"),
    ({"out": "file"}, ValueError, "is not a directory"),
    ({"out": "foreign"}, ValueError, "is not a game dataset and not empty"),
    ({"out": "below a file"}, NotADirectoryError, "file/d"),
])
def test_bad_input_is_refused_before_anything_is_written(sources, tmp_path, options, error, message):
    (tmp_path / "binary.pgn").write_bytes(bytes(range(256)) * 64)
    (tmp_path / "prose.pgn").write_text("Dear reader,\n\nthis is no PGN file.\n")
    (tmp_path / "foreign").mkdir()
    (tmp_path / "foreign" / "notes.txt").write_text("mine")
    (tmp_path / "file").write_text("x")
    named = {"twice": [sources[0], str(Path(sources[0]).parent / "." / "0.pgn")], "folder": [str(tmp_path)],
             "binary": [str(tmp_path / "binary.pgn")], "prose": [str(tmp_path / "prose.pgn")]}
    given = options.pop("sources", [sources[0]])
    given = named.get(given, given) if isinstance(given, str) else given
    out = tmp_path / {"below a file": "file/d"}.get(options.get("out", ""), options.pop("out", "out"))
    options.pop("out", None)
    before = sorted(p.name for p in tmp_path.rglob("*"))
    with pytest.raises(error, match=message):
        build_dataset(given, out, **options)
    assert sorted(p.name for p in tmp_path.rglob("*")) == before


def test_a_rerun_with_other_options_or_a_changed_source_is_refused_unless_overwriting(sources, tmp_path):
    source = tmp_path / "a.pgn"
    shutil.copy(sources[0], source)
    built = build_dataset([str(source)], tmp_path / "d")
    with pytest.raises(ValueError, match="with other options .* --overwrite"):
        build_dataset([str(source)], built.path, min_plies=10)
    with pytest.raises(ValueError, match="of other sources"):
        build_dataset([sources[1]], built.path)
    source.write_text(source.read_text().replace("e4", "d4", 1))
    with pytest.raises(ValueError, match="a.pgn: the file has changed since"):
        build_dataset([str(source)], built.path)
    (Path(built.path) / "mine.txt").write_text("kept")
    again = build_dataset([str(source)], built.path, min_plies=10, overwrite=True)
    assert again.options["min_plies"] == 10 and (Path(built.path) / "mine.txt").read_text() == "kept"


def run_cli(argv: list[str]) -> int:
    """The command's status, also when the parser ends it."""
    try:
        return cli.main(argv)
    except SystemExit as exit:
        return int(exit.code)


@pytest.mark.parametrize("argv, status, message", [
    (["dataset", "build", "{0}", "--out", "{d}", "--results", "1-0,2-0"], 1, "unknown result '2-0'"),
    (["dataset", "build", "{0}", "--out", "{d}", "--time-control", "blitz", "--time-control", "slow"], 1,
     "unknown time control 'slow'"),
    (["dataset", "build", "{0}", "--out", "{d}", "--min-rating", "-5"], 1, "min_rating"),
    (["dataset", "build", "{0}", "--out", "{d}", "--min-plies", "x"], 2, "--min-plies"),
    (["dataset", "build", "missing.pgn", "--out", "{d}"], 1, "missing.pgn"),
    (["dataset", "build", "{0}", "--out", "{foreign}"], 1, "is not a game dataset"),
    (["dataset", "build", "{0}", "--out", "/proc/vantor-dataset"], 1, "vantor-dataset"),
    (["dataset", "build", "{0}"], 2, "--out"),
    (["dataset", "info", "{foreign}"], 1, "is not a game dataset"),
    (["dataset", "pack", "{foreign}"], 2, "invalid choice"),
])
def test_the_command_line_answers_bad_arguments_in_one_line(sources, tmp_path, capsys, argv, status, message):
    (tmp_path / "foreign").mkdir()
    (tmp_path / "foreign" / "notes.txt").write_text("mine")
    argv = [a.format(*sources, d=tmp_path / "d", foreign=tmp_path / "foreign") for a in argv]
    assert run_cli(argv) == status
    err = capsys.readouterr().err
    assert len(err.splitlines()) == 1 and message in err and "Traceback" not in err, err
    assert not (tmp_path / "d").exists()


def test_the_command_line_builds_and_tells_what_it_built(sources, tmp_path, capsys):
    status = run_cli(["dataset", "build", *sources[:2], "--out", str(tmp_path / "d"), "--results", "1-0,0-1",
                      "--results", "*", "--min-plies", "4", "--shard-games", "9"])
    out, err = capsys.readouterr()
    assert status == 0, err
    built = GameDataset(tmp_path / "d")
    assert built.options["results"] == ["1-0", "0-1", "*"] and built.options["min_plies"] == 4
    assert f"{len(built):,} games" in out
    assert run_cli(["dataset", "info", str(tmp_path / "d")]) == 0
    assert f"{built.plies:,} plies" in capsys.readouterr().out


def test_a_build_on_ray_with_a_killed_worker_is_the_local_build_byte_for_byte(sources, tmp_path):
    if SANITIZED:
        pytest.skip("Ray's processes do not run under the preloaded sanitizer")
    ray = require("ray")
    psutil = pytest.importorskip("psutil")
    whole = files(build_dataset(sources, tmp_path / "here", shard_games=10).path)
    out = tmp_path / "ray"
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, configure_logging=False)
    try:
        import threading

        killed: list[bool] = []
        finished = threading.Event()

        def kill_a_worker_midway() -> None:
            # The third source's first shard is out, its record not: its task is midway.
            while not (out / "games-0002-00000.parquet").exists():
                if finished.is_set():
                    return
                time.sleep(0.002)
            for process in psutil.Process().children(recursive=True):
                try:
                    if process.cmdline()[:1] == ["ray::_build_source"]:
                        process.kill()
                        killed.append(not (out / "sources" / "0002.json").exists())
                except psutil.Error:
                    pass

        killer = threading.Thread(target=kill_a_worker_midway)
        killer.start()
        try:
            built = build_dataset(sources, out, shard_games=10, ray_address="auto")
        finally:
            finished.set()
            killer.join()
    finally:
        ray.shutdown()
    assert True in killed and len(built) > 0
    assert files(out) == whole

