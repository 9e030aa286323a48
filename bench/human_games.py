"""Human games at scale: reading generated database files (.pgn.zst) against python-chess,
the dataset's bytes a position, and the peak memory of reading, of building a dataset and
of imitation from a PGN file as the input grows tenfold."""

from __future__ import annotations

import io
import os
import resource
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# Generated inputs are kept between runs: the pool of games costs a minute and a half.
DATA = os.path.join(ROOT, "build", "bench-data")
SCALE = ("200M", "2G")  # PGN bytes before compression
MEMORY_TARGET = 1 << 30


def corpus(size: str, small: bool = False) -> str:
    """A generated database file of ``size`` PGN bytes, compressed with zstd (made once);
    ``small`` plays a pool of 10 Stockfish and 100 random games instead of the default's
    2,200, for a quick run."""
    os.makedirs(DATA, exist_ok=True)
    kind = "-small" if small else ""
    path = os.path.join(DATA, f"games-{size}{kind}.pgn.zst")
    if not os.path.exists(path):
        pool = ["--stockfish-games", "10", "--random-games", "100"] if small else []
        subprocess.run([sys.executable, os.path.join(ROOT, "tools", "pgn_corpus.py"), "--size", size, *pool, "--pool",
                        os.path.join(DATA, f"pool{kind}.json"), path], check=True, stdout=subprocess.DEVNULL)
    return path


def peak_rss(code: str, *args: str) -> tuple[float, int]:
    """(seconds, peak resident bytes) of ``code`` run in a fresh interpreter."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    started = time.perf_counter()
    child = subprocess.Popen([sys.executable, "-c", code, *args], env=env, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        raise RuntimeError(f"the measured run failed with {child.returncode}: {code[:80]}")
    return time.perf_counter() - started, usage.ru_maxrss * 1024


READ = """
import sys
from vantor_gym.notation import read_pgn_chunks
for columns in read_pgn_chunks(sys.argv[1], on_error="skip"):
    pass
"""
BUILD = """
import sys
from vantor_gym.cli import main
sys.exit(main(["dataset", "build", sys.argv[1], "--out", sys.argv[2]]))
"""
IMITATE = """
import sys, warnings
from vantor_gym.train.pgn_positions import pgn_positions
from vantor_gym.train.replay import ReplayBuffer
warnings.simplefilter("ignore")
pgn_positions(ReplayBuffer(100_000), sys.argv[1])
"""
STREAM = """
import sys
from vantor_gym.data import PositionDataset
seen = 0
for batch in PositionDataset(sys.argv[1], batch_size=1024, seed=0):
    seen += len(batch["action"])
    if seen >= 10_000_000:
        break
"""


def dataset(size: str) -> str:
    """The game dataset of the generated file of ``size`` (built once)."""
    from vantor_gym.dataset import build_dataset

    path = os.path.join(DATA, f"dataset-{size}")
    if not os.path.exists(os.path.join(path, "manifest.json")):
        build_dataset([corpus(size)], path, overwrite=True)
    return path


def reading_rows(smoke: bool, row) -> None:
    """Plies a second from a .pgn.zst file to action numbers, against python-chess's
    read_game on the file's first games."""
    try:
        import chess.pgn
    except ImportError:
        row("reading .pgn.zst", "python-chess is not installed")
        return
    from compression import zstd

    from vantor_gym.notation import read_pgn_chunks

    path = corpus("2M", small=True) if smoke else corpus("100M")
    started, plies, games = time.perf_counter(), 0, 0
    for columns in read_pgn_chunks(path, on_error="skip"):
        plies += len(columns.actions)
        games += len(columns)
    ours = plies / (time.perf_counter() - started)
    sample = 100 if smoke else 2000
    with zstd.open(path, "rt", encoding="utf-8") as text:
        head = "".join(_lines(text, sample))
    started, theirs_plies = time.perf_counter(), 0
    stream = io.StringIO(head)
    while (game := chess.pgn.read_game(stream)) is not None:
        theirs_plies += sum(1 for _ in game.mainline_moves())
    theirs = theirs_plies / (time.perf_counter() - started)
    row(f"reading a generated .pgn.zst to action numbers ({games} games): ours / python-chess read_game",
        f"{ours / 1e6:.2f} M / {theirs / 1e3:.1f} k plies/s = {ours / theirs:.0f} x", ">= 1 M plies/s",
        ours >= 1e6)
    with tempfile.TemporaryDirectory() as folder:
        from vantor_gym.dataset import build_dataset

        dataset = build_dataset([path], os.path.join(folder, "dataset"))
        stored = sum(shard.bytes for shard in dataset.shards)
        row("game dataset on disk, bytes a position (zstd Parquet, headers included)",
            f"{stored / dataset.plies:.2f} bytes ({stored / 1e6:.1f} MB for {dataset.plies / 1e6:.2f} M positions)")


def _lines(text, games: int):
    """The lines of the first ``games`` games of PGN text (each starting at an Event tag)."""
    seen = 0
    for line in text:
        if line.startswith("[Event "):
            seen += 1
            if seen > games:
                return
        yield line


def memory_rows(smoke: bool, row) -> None:
    """Peak memory of reading, of building a dataset and of imitation from a PGN file, on
    inputs of 200 MB and 2 GB: flat, and under 1 GB."""
    if smoke:
        return
    inputs = {size: corpus(size) for size in SCALE}
    for name, code, kind in (("reading (read_pgn_chunks)", READ, "file"),
                             ("vantor dataset build", BUILD, "build"),
                             ("imitation from the file (pgn_positions, 100 k positions' buffer)", IMITATE, "file"),
                             ("PositionDataset, its first 10 M positions", STREAM, "dataset")):
        figures = []
        for size, path in inputs.items():
            with tempfile.TemporaryDirectory() as folder:
                args = {"file": (path,), "build": (path, os.path.join(folder, "dataset")),
                        "dataset": (dataset(size),)}[kind]
                seconds, peak = peak_rss(code, *args)
            figures.append((size, seconds, peak))
        said = ", ".join(f"{size}: {peak / 2**20:.0f} MiB in {seconds:.0f} s" for size, seconds, peak in figures)
        worst = max(peak for _, _, peak in figures)
        flat = figures[-1][2] <= 1.25 * figures[0][2]
        row(f"peak RSS of {name}, generated .pgn.zst of 200 MB and 2 GB of PGN", said, "< 1 GiB and flat",
            worst < MEMORY_TARGET and flat)


def human_game_rows(smoke: bool, row) -> None:
    reading_rows(smoke, row)
    memory_rows(smoke, row)


if __name__ == "__main__":  # the memory rows alone: python3 bench/human_games.py
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    memory_rows(False, lambda *fields: print(" | ".join(str(f) for f in fields), flush=True))
