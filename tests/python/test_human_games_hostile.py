"""The human-games surfaces against a hostile caller: damaged compressed PGN, bounds past
memory, odd NumPy scalars, a dataset whose shards were swapped or whose source is no PGN,
and rating weights that would wreck the losses. One table a surface; each row is a fault
that was found and fixed, with what the sound behaviour is."""

import bz2
import gzip
import json
import lzma
import os
import shutil
from compression import zstd
from pathlib import Path

import numpy as np
import pytest

from vantor_gym.notation import read_pgn_chunks
from vantor_gym.train.config import TrainConfig

GAME = ('[Event "Rated Blitz game"]\n[WhiteElo "2000"]\n[BlackElo "1900"]\n[Result "1-0"]\n\n'
        "1. e4 e5 2. Qh5 Nc6 3. Bc4 Nf6 4. Qxf7# 1-0\n")


def numbered_games(count):
    """PGN of ``count`` games whose headers differ, so that compressed they stay large."""
    return "".join(f'[Site "{index:08d}-{index * 7919 % 104729:06d}"]\n{GAME}\n' for index in range(count)).encode()


def damaged_reading(tmp_path, compress):
    """Reads a truncated compressed file at the default piece size: the games given before
    the error, the error, and the text the file held."""
    text = numbered_games(6000)  # some 600 KB: more than one step of every decompressor
    packed = compress(text)
    path = tmp_path / "games.pgn.x"
    path.write_bytes(packed[: len(packed) * 3 // 4])
    games = 0
    with pytest.raises(ValueError, match="stream is truncated after") as error:
        for columns in read_pgn_chunks(path, threads=1):
            games += len(columns)
    return games, str(error.value), text


def given_before_damage(tmp_path, compress):
    games, message, text = damaged_reading(tmp_path, compress)
    given = int(message.split(" after ")[-1].split()[0])
    # The bytes decompressed before the damage are given: all but the game the damage cut.
    assert given > 0 and games >= text[:given].count(b"[Site ") - 1 and games > 0


def option_refused(tmp_path, option, value):
    with pytest.raises(ValueError, match=f"{option} must be in 1 .. "):
        next(read_pgn_chunks(numbered_games(2), **{option: value}))


READING = {
    # A decompressor file's read() loops to fill the piece, and a failure dropped all it had read.
    "truncated zstd gives the games before": lambda tmp: given_before_damage(tmp, zstd.compress),
    "truncated gzip gives the games before": lambda tmp: given_before_damage(tmp, gzip.compress),
    "truncated xz gives the games before": lambda tmp: given_before_damage(tmp, lzma.compress),
    "truncated bzip2 names the bytes it gave": lambda tmp: damaged_reading(tmp, bz2.compress),
    # 2**63 was an OverflowError from deep inside, 2**40 a MemoryError allocating the piece.
    "chunk_bytes past memory": lambda tmp: option_refused(tmp, "chunk_bytes", 1 << 40),
    "chunk_bytes past an index": lambda tmp: option_refused(tmp, "chunk_bytes", 2**63),
    # Each thread keeps a piece in flight: a million threads read the whole file ahead into memory.
    "threads past any machine": lambda tmp: option_refused(tmp, "threads", 1 << 20),
    "max_game_bytes past an index": lambda tmp: option_refused(tmp, "max_game_bytes", 2**63),
    "threads as a NumPy integer": lambda tmp: next(read_pgn_chunks(numbered_games(2), threads=np.int64(2))),
}


@pytest.mark.parametrize("case", READING)
def test_reading_pgn(case, tmp_path):
    READING[case](tmp_path)


def built(tmp_path, text=None, **options):
    from vantor_gym.dataset import build_dataset

    source = tmp_path / "games.pgn"
    source.write_bytes(numbered_games(40) if text is None else text)
    return build_dataset(source, tmp_path / "out", progress=False, **options)


def swapped_shards(tmp_path):
    games = built(tmp_path, shard_games=10)
    first, second = games.shards[0].path, games.shards[1].path
    assert os.path.getsize(first) == os.path.getsize(second)  # so only the digests tell them apart
    shutil.move(first, first + ".t")
    shutil.move(second, first)
    shutil.move(first + ".t", second)
    # The manifest's sizes still hold, so the swapped shards were read as the other's games.
    with pytest.raises(ValueError, match="is not the shard the build wrote: its SHA-256"):
        type(games)(games.path).read(0)


def shard_replaced_in_place(tmp_path):
    games = built(tmp_path, shard_games=10)
    path = Path(games.shards[2].path)
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 0x01  # one bit, maybe where Parquet does not notice
    path.write_bytes(data)
    with pytest.raises(ValueError, match="is not the shard the build wrote"):
        games.read(2)


def refused_as_not_pgn(tmp_path, text):
    with pytest.raises(ValueError, match="does not read as PGN: it holds text but no game"):
        built(tmp_path, text)
    assert not (tmp_path / "out").exists()  # refused before anything was written


def numpy_flags(tmp_path):
    games = built(tmp_path, rated_only=np.True_, overwrite=np.False_)
    assert len(games) == 40 and games.options["rated_only"] is True


DATASETS = {
    "a swapped shard of the same size": swapped_shards,
    "a shard with a bit flipped": shard_replaced_in_place,
    # Braces are a PGN comment, so a JSON file read as a dataset of no game, silently.
    "a JSON file as a source": lambda tmp: refused_as_not_pgn(tmp, json.dumps({"games": [1, 2]}).encode()),
    "a text file of no game": lambda tmp: refused_as_not_pgn(tmp, b"{ notes }\n; nothing else\n"),
    "an empty file is a source of no game": lambda tmp: len(built(tmp, b"\n \n")) == 0,
    # np.True_ was refused as "rated_only is a bool, not bool".
    "NumPy bools as flags": numpy_flags,
    "an int for a flag, named with its module": lambda tmp: _raises(
        TypeError, "rated_only is a bool, not builtins.int", built, tmp, rated_only=1),
    "columns as an iterator": lambda tmp: built(tmp).read(0, columns=iter(["game", "moves"])).num_rows == 40,
}


def _raises(kind, message, call, *args, **kwargs):
    with pytest.raises(kind, match=message):
        call(*args, **kwargs)


@pytest.mark.parametrize("case", DATASETS)
def test_game_datasets(case, tmp_path):
    pytest.importorskip("pyarrow")
    assert DATASETS[case](tmp_path) is not False


RATING_WEIGHTS = {
    # 1e308 became inf in float32 and the run died later on a NaN value target.
    "1200:1e308": "weights in 0 .. 1e6",
    "1200:1e7": "weights in 0 .. 1e6",
    # Refused only once the run had started, by the dataset's reader.
    "99999999999999999999:1": "ratings ascending in -1 .. 32767",
    "-5:1": "ratings ascending in -1 .. 32767",
    # Every loss times 0: the imitation phase ran and learned nothing.
    "0:0": "weigh every position 0",
    "-1:0,1500:0.0": "weigh every position 0",
    "-1:0.5,1500:1": None,
}


@pytest.mark.parametrize("weights", RATING_WEIGHTS)
def test_rating_weights(weights, tmp_path):
    make = lambda: TrainConfig(directory=str(tmp_path), dataset=str(tmp_path), rating_weights=weights)
    if RATING_WEIGHTS[weights] is None:
        assert make().weights() == [(-1, 0.5), (1500, 1.0)]
    else:
        with pytest.raises(ValueError, match=RATING_WEIGHTS[weights].replace(".", "\\.")):
            make()
