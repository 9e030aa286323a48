"""PGN files read in pieces: every cut gives the games, numbers, skipped games and messages of
the whole text read at once; every kind of source and compression reads alike; damaged
input is named; memory does not grow with the file."""

import bz2
import gzip
import io
import json
import lzma
import os
import random
import subprocess
import sys
import textwrap
from compression import zstd

import numpy as np
import pytest

from vantor_gym import Game, _native
from vantor_gym.notation import CHUNK_BYTES, pgn, read_pgn, read_pgn_chunks, read_pgn_columns, read_pgn_games
from vantor_gym.pgn_files import open_pgn
from vantor_gym.pgn_reader import line_breaks

_LINE_NUMBER = __import__("re").compile(r"^line ([0-9]+)")


def whole_text_reading(data, text, on_error):
    """(games, skipped, error) as the reader read the whole text at once, kept here as the
    oracle: games are (number, actions, start FEN, result, headers)."""
    data = line_breaks(data)
    actions, spans, results, headers = _native.read_pgn_games(data)
    checked = not text and not is_utf8(data)
    games, skipped, lines, counted = [], [], 0, 0
    for index, (begin, end, first, count, replayed, _chess960) in enumerate(spans.tolist()):
        number, tags = index + 1, headers[index]
        if checked and not is_utf8(data[begin:end]):
            try:
                data[begin:end].decode()
            except UnicodeDecodeError as fault:
                offset = begin + fault.start
                lines, counted = lines + data.count(b"\n", counted, offset), offset
                message = f"line {lines + 1}: invalid UTF-8 at byte {offset} of the PGN data ({fault.reason})"
        elif replayed == 1:
            result = results[index] or tags.get("Result", "*")
            games.append((number, actions[first:first + count].tolist(), None, result, tags))
            continue
        else:
            try:
                game = read_pgn(data[begin:end].decode("utf-8", "surrogatepass"))
                games.append((number, game.actions, game.start_fen, game.result, game.headers))
                continue
            except ValueError as error:
                lines, counted = lines + data.count(b"\n", counted, begin), begin
                message = _LINE_NUMBER.sub(lambda m: f"line {int(m.group(1)) + lines}", str(error), count=1)
        if on_error == "raise":
            return games, skipped, f"game {number} of the PGN text: {message}"
        skipped.append((number, message))
    return games, skipped, None


def is_utf8(data):
    try:
        data.decode()
    except UnicodeDecodeError:
        return False
    return True


def chunked_reading(source, on_error="skip", **options):
    """(games, skipped, error) as read_pgn_chunks gives them, chunk after chunk."""
    games, skipped = [], []
    try:
        for columns in read_pgn_chunks(source, on_error=on_error, **options):
            assert columns.numbers.dtype == np.int64 and len(columns.numbers) == len(columns)
            for index in range(len(columns)):
                game = columns.game(index)
                games.append((int(columns.numbers[index]), game.actions, game.start_fen, game.result, game.headers))
            skipped += columns.skipped
    except ValueError as error:
        return games, skipped, str(error)
    return games, skipped, None


def random_game(rng, fen=None):
    game, actions = Game(fen=fen), []
    for _ in range(int(rng.integers(0, 40))):
        legal = game.legal_actions()
        if not len(legal):
            break
        actions.append(int(rng.choice(legal)))
        if game.step(actions[-1])[1]:
            break
    return pgn(actions, start_fen=fen, headers={"Event": f"r{int(rng.integers(1000))}", "White": "Jos\u00e9 \u265e"})


FEN = "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1"
# Pieces of a file that a cut can split badly: comments holding blank lines and '[', CRLF
# and lone CR line ends, multi-byte characters, a comment never closed until a later game,
# a byte-order mark in the middle, lone comments, escape lines and malformed games.
FRAGMENTS = [
    '[Event "comment"]\n\n1. e4 {a comment\n\n[Event "not a header"]\n\n} e5 2. Nf3 *\n\n',
    '[Event "crlf"]\r\n[Site "\u00e9\u00e9\u00e9 \U0001d11e"]\r\n\r\n1. d4 d5 2. c4 {\u2003\u00a0} e6 1-0\r\n\r\n',
    '[Event "old mac"]\r\r1. e4 e5\r2. Nf3 Nc6 *\r\r',
    "{a lone comment, no game}\n\n",
    "   \n\t\n\n",
    '[Event "no blank line after the result"]\n1. c4 c5 1/2-1/2\n[Event "next"]\n\n1. g3 *\n\n',
    f'[FEN "{FEN}"]\n[SetUp "1"]\n\n1. exd6 Kd7 *\n\n',
    "1. e4 e5 2. Ke3 *\n\n",
    '[Event "x" junk]\n\n1. e4 *\n\n',
    "1. e4 1-0 e5\n\n",
    "1. e4 (1. d4 *\n\n",
    "% escape line {\n; a comment line {\n1. f3 e5 2. g4 Qh4# 0-1\n\n",
    "\ufeff[Event \"mark\"]\n\n1. e4 *\n\n",
    '[Event "{"]\n\n1. b3 *\n\n',
    "1. h4 {a comment never closed here\n\n[Event \"swallowed\"]\n\n1. a4 *\n\n",
    "1. e4 \x00 e5 *\n\n",
    "1. e4 e5 {closes the one above} 2. d4 *\n\n",
    "\x1c\n\n1. a3 *\n\n",
]
RNG = np.random.default_rng(7)
GAMES = [random_game(RNG) for _ in range(12)] + [random_game(RNG, FEN)]


def corpus(seed):
    """Fragments and games in an order drawn from seed, as text and as bytes with a bad byte."""
    draw = random.Random(seed)
    parts = FRAGMENTS + GAMES
    draw.shuffle(parts)
    text = "".join(part if part.endswith("\n\n") or draw.random() < 0.5 else part + "\n" for part in parts)
    at = text.index("1.", len(text) // 3)
    data = text[:at].encode() + b"{\xff\xfe}" + text[at:].encode()
    text = text[:at] + "{\ud800}" + text[at:]  # a lone surrogate, which text passes through
    return text, data


CUTS = [*range(1, 51), 64, 100, 257, 1000, 4096, CHUNK_BYTES]


@pytest.mark.parametrize("chunk_bytes", CUTS)
def test_every_cut_reads_as_the_whole_text(chunk_bytes):
    text, data = corpus(chunk_bytes)
    threads = 2 if chunk_bytes % 3 == 0 else 1
    for source, raw, as_text in ((lambda: io.StringIO(text, newline=""), text.encode("utf-8", "surrogatepass"), True),
                                 (lambda: io.BytesIO(data), data, False)):
        for on_error in ("raise", "skip"):
            expected = whole_text_reading(raw, as_text, on_error)
            got = chunked_reading(source(), on_error, chunk_bytes=chunk_bytes, threads=threads)
            assert got == expected, (chunk_bytes, as_text, on_error)
        assert len(expected[1]) > 1 and len(expected[0]) > 8  # skipped games and kept ones both


# Tokens that start, end or hide games, drawn into random texts below.
TOKENS = ["{", "}", "\n", "\n\n", "\n\n[", '[Event "x"]\n', "\r", "\r\n", "\ufeff", "1. e4 ", "e5 ", "*", "1-0 ",
          "(", ")", ";", "%", " ", "\t", "\u00e9", "\U0001d11e", "$1 ", "Nf3 ", "\x00", '[FEN "4k3/8/8/8/8/8/8/4K3 w - - 0 1"]\n', "Kd2 "]


def test_random_texts_read_as_the_whole_text_at_random_cuts():
    for seed in [*range(300), 837, 1483]:  # the last two once cut a byte-order mark from the blank line before it
        draw = random.Random(seed)
        parts = []
        for _ in range(draw.randint(1, 60)):
            kind = draw.random()
            parts.append(draw.choice(GAMES if kind < 0.1 else FRAGMENTS if kind < 0.2 else TOKENS))
        data = "".join(parts).encode()
        if draw.random() < 0.2:
            at = draw.randrange(len(data) + 1)
            data = data[:at] + b"\xff" + data[at:]
        size, threads = draw.choice([1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 200]), draw.choice([1, 2])
        for on_error in ("skip", "raise"):
            expected = whole_text_reading(data, False, on_error)
            assert chunked_reading(io.BytesIO(data), on_error, chunk_bytes=size, threads=threads) == expected, seed


def write(path, data):
    path.write_bytes(data)
    return path


def gzip_members(data):
    half = len(data) // 2
    return gzip.compress(data[:half]) + gzip.compress(data[half:])  # as `cat a.gz b.gz` makes one file


# Each as its command-line tool writes it: zstd with a checksum, bzip2 in blocks of 100 kB.
COMPRESSORS = {
    "zstd": lambda data: zstd.compress(data, options={zstd.CompressionParameter.checksum_flag: 1}),
    "gzip": gzip.compress,
    "bzip2": lambda data: bz2.compress(data, 1),
    "xz": lzma.compress,
}
SOURCES = {
    "path str": lambda data, tmp: str(write(tmp / "g.pgn", data)),
    "Path": lambda data, tmp: write(tmp / "g.pgn", data),
    "bytes": lambda data, tmp: data,
    "bytearray": lambda data, tmp: bytearray(data),
    "memoryview": lambda data, tmp: memoryview(data),
    "text file": lambda data, tmp: io.StringIO(data.decode(), newline=""),
    "binary file": lambda data, tmp: io.BytesIO(data),
    "open file": lambda data, tmp: open(write(tmp / "g.pgn", data), "rb"),
    **{f"{kind} path": (lambda c: lambda data, tmp: write(tmp / "g.pgn.bin", c(data)))(c)
       for kind, c in COMPRESSORS.items()},
    "zstd bytes": lambda data, tmp: zstd.compress(data),
    "xz binary file": lambda data, tmp: io.BytesIO(lzma.compress(data)),
    "gzip of two members": lambda data, tmp: gzip_members(data),
}


@pytest.mark.parametrize("kind", SOURCES)
def test_every_source_and_compression_reads_alike(kind, tmp_path):
    data = "".join(GAMES).encode()
    expected = whole_text_reading(data, False, "raise")
    source = SOURCES[kind](data, tmp_path)
    assert chunked_reading(source, "raise", chunk_bytes=300) == expected
    if isinstance(source, io.IOBase):
        assert not source.closed  # a file object given is left open
        source.close()
    elif not isinstance(source, (str, os.PathLike)):
        assert read_pgn_columns(source).numbers.tolist() == list(range(1, len(GAMES) + 1))
        with open_pgn(source) as stream:
            assert stream.read() == data


@pytest.mark.parametrize("compress", [None, zstd.compress, gzip.compress], ids=["plain", "zstd", "gzip"])
def test_standard_input_is_read_as_a_pipe(compress):
    data = "".join(GAMES).encode()
    code = textwrap.dedent("""
        import json
        from vantor_gym.notation import read_pgn_columns
        columns = read_pgn_columns("-")
        print(json.dumps([columns.actions.tolist(), columns.numbers.tolist(), columns.headers]))
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-c", code], input=compress(data) if compress else data,
                         capture_output=True, env=env, timeout=120)
    assert run.returncode == 0, run.stderr.decode()[-2000:]
    games = whole_text_reading(data, False, "raise")[0]
    assert json.loads(run.stdout) == [[a for g in games for a in g[1]], [g[0] for g in games], [g[4] for g in games]]


def damaged(kind, how):
    draw = random.Random(kind)  # a header unlike any other in each game, so that the file is some 1 MB packed
    data = "".join(f'[Annotator "{draw.randbytes(24).hex()}"]\n{game}' for game in GAMES * 300).encode()
    packed = COMPRESSORS[kind](data)
    if how == "truncated":
        return data, packed[: len(packed) * 3 // 5]
    middle = len(packed) // 2
    return data, packed[:middle] + bytes(b ^ 0x5A for b in packed[middle:middle + 64]) + packed[middle + 64:]


@pytest.mark.parametrize("how", ["truncated", "corrupt"])
@pytest.mark.parametrize("kind", COMPRESSORS)
def test_a_damaged_compressed_file_is_named_after_the_games_before(kind, how, tmp_path):
    data, packed = damaged(kind, how)
    path = write(tmp_path / "games.pgn.x", packed)
    # Skipping: bytes a damaged stream gave before its check failed may read as a bad game.
    games, skipped, error = chunked_reading(path, "skip", chunk_bytes=2048, threads=2)
    assert error is not None and error.startswith(f"{path}: the {kind} stream is {how}")
    assert error.split(" after ")[-1].endswith(" bytes of PGN")
    expected = whole_text_reading(data, False, "raise")[0]
    assert games[:10] == expected[:10]  # the games before the damage were given first
    if how == "truncated":
        assert games == expected[:len(games)] and not skipped
        given = int(error.split(" after ")[-1].split()[0])  # bytes of PGN the stream gave
        assert len(games) >= data[:given].count(b"[Annotator ") - 1  # all but the game it cut


def long_game_file(comment_bytes):
    good = GAMES[0] + "\n"
    return (good + "1. e4 {" + "x" * comment_bytes + "} e5 *\n\n" + good + good).encode()


@pytest.mark.parametrize("make, error, message", [
    (lambda tmp: "1. e4 e5 *", ValueError, "a str names a PGN file; PGN text goes in as io.StringIO\\(text\\)"),
    (lambda tmp: '  [Event "x"]', ValueError, "a str names a PGN file"),
    (lambda tmp: "games\n.pgn", ValueError, "a str names a PGN file"),
    (lambda tmp: "x" * 5000, ValueError, "a str names a PGN file"),
    (lambda tmp: 12, TypeError, "PGN source is a path, bytes, or a file object, not int"),
    (lambda tmp: tmp, IsADirectoryError, "a directory, not a PGN file"),
    (lambda tmp: tmp / "missing.pgn", FileNotFoundError, "missing.pgn"),
    (lambda tmp: str(tmp / "1.pgn"), FileNotFoundError, "1.pgn"),  # a name, not text, though it starts "1."
    (lambda tmp: os.mkfifo(tmp / "pipe") or tmp / "pipe", ValueError, "not a regular file"),
])
def test_sources_that_are_no_pgn_file_are_refused(make, error, message, tmp_path):
    source = make(tmp_path)
    at_once = error is TypeError or "a str names" in message  # plainly no file: refused before any reading
    with pytest.raises(error, match=message):
        chunks = read_pgn_chunks(source)
        assert not at_once, "refused only once read"
        list(chunks)


@pytest.mark.parametrize("threads", [1, 2])
def test_a_game_over_the_length_bound_is_refused_or_skipped(threads):
    data = long_game_file(5000)
    good = whole_text_reading(GAMES[0].encode() + b"\n", False, "raise")[0][0][1]
    begin = len(GAMES[0].encode()) + 1
    games, skipped, error = chunked_reading(io.BytesIO(data), "raise", chunk_bytes=256, max_game_bytes=1000,
                                            threads=threads)
    assert [g[1] for g in games] == [good]
    line = GAMES[0].count("\n") + 2
    assert error == f"game 2 of the PGN text: line {line}: the game from byte {begin} is longer than 1000 bytes"
    games, skipped, error = chunked_reading(io.BytesIO(data), "skip", chunk_bytes=256, max_game_bytes=1000,
                                            threads=threads)
    assert error is None and [g[0] for g in games] == [1, 3, 4] and [g[1] for g in games] == [good] * 3
    assert skipped == [(2, f"line {line}: the game from byte {begin} is longer than 1000 bytes; "
                           "skipped to the next blank line")]
    # Under the bound, however near, the same file reads as a whole.
    for bound in (5100, 5500, 7000, 9900):
        assert chunked_reading(io.BytesIO(data), "raise", chunk_bytes=256, max_game_bytes=bound, threads=threads) == \
            whole_text_reading(data, False, "raise"), bound


def test_an_endless_line_is_bounded():
    # No newline at all, as /dev/zero gives: the reader gives up at the bound, never buffering it all.
    source = io.BufferedReader(io.BytesIO(b"\x00" * 300_000))
    games, skipped, error = chunked_reading(source, "skip", chunk_bytes=4096, max_game_bytes=50_000)
    assert not games and [number for number, _ in skipped] == [1] and error is None


MEMORY_SCRIPT = """
import resource, sys
from vantor_gym.notation import read_pgn_chunks
games = sum(len(columns) for columns in read_pgn_chunks(sys.argv[1], chunk_bytes=1 << 18, threads=2))
print(games, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def test_memory_does_not_grow_with_the_file(tmp_path):
    block = ("\n".join(GAMES) + "\n").encode()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    peaks = []
    for megabytes in (4, 20):
        path = tmp_path / "big.pgn"
        repeats = megabytes * (1 << 20) // len(block)
        with open(path, "wb") as file:
            for _ in range(repeats):
                file.write(block)
        run = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, str(path)], capture_output=True, text=True,
                             env=env, timeout=600)
        assert run.returncode == 0, run.stderr[-2000:]
        games, peak = map(int, run.stdout.split())
        assert games == repeats * len(GAMES)
        peaks.append(peak / 1024)  # MiB
    assert peaks[1] - peaks[0] < 8, peaks  # the file grew by 16 MiB, which read whole takes 80 MiB more
