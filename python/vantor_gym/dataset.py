"""Games of PGN files stored once, compactly, in Parquet shards that pyarrow, Hugging Face
datasets, Polars and DuckDB read.

    from vantor_gym.dataset import GameDataset, build_dataset

    dataset = build_dataset(["2024-01.pgn.zst"], "games", min_rating=1800)
    table = dataset.read(0, columns=["moves", "result"])

The format, version 1 (``FORMAT``, ``VERSION``):

- ``DIR/manifest.json``: the format and version, the build's options, and per source (an
  input file, by its index in the build's list) its path as given, size, SHA-256, the
  games read, kept and skipped by reason (``SKIP_REASONS``) and its shards (file name,
  games, plies, bytes, SHA-256); then the totals. JSON with sorted keys, written last.
- ``DIR/games-{source:04d}-{shard:05d}.parquet``: a row per game, in source order, at
  most ``shard_games`` rows, zstd-compressed, the columns of ``COLUMNS``.
- ``DIR/sources/{source:04d}.json``: a source's completion record, which lets a rerun of
  the same build skip the sources already done.

A header with a column of its own is stored there (``HEADER_COLUMNS``, the two ratings
when they are a plain number, ``FEN`` when it is ``start_fen``, ``Result`` when it is the
text of ``result``); every other header, or one that its column would not give back as
written, is in ``headers``.
"""

from __future__ import annotations

import hashlib
import importlib
import json
import os
import pathlib
import re
import stat
from collections.abc import Callable, Iterator, Sequence
from contextlib import ExitStack, contextmanager
from dataclasses import dataclass
from typing import Any, TypeAlias

import numpy as np

from vantor_gym._numbers import integer
from vantor_gym._parsing import one_line

__all__ = [
    "COLUMNS",
    "FORMAT",
    "GameDataset",
    "HEADER_COLUMNS",
    "MANIFEST",
    "RESULTS",
    "SHARD_GAMES",
    "SKIP_REASONS",
    "Shard",
    "TIME_CONTROL_CATEGORIES",
    "VERSION",
    "build_dataset",
    "schema",
    "shard_name",
    "time_control_category",
]

FORMAT = "vantor-games"
"""The format name a manifest carries."""
VERSION = 1
"""The version of the format this module writes and reads."""
MANIFEST = "manifest.json"
"""The manifest's name in a dataset's directory."""
RECORDS = "sources"
SHARD_GAMES = 65536
"""The most games a shard holds unless the build says otherwise."""
SHARD_GAMES_MAX = 1 << 20
"""The most games a build may put in a shard: a column's offsets are 32-bit."""

COLUMNS = (
    "game",  # int64: the game's number in its source file, from 1, skipped games counted
    "moves",  # list<int16>: the actions played, 0..4671 (vantor_gym.notation's encoding)
    "start_fen",  # string: the start position's six FEN fields; null for the initial position
    "result",  # int8: 1 white won, 0 a draw, -1 black won; null for "*" or none
    "white_elo",  # int16: null when absent or not a plain number
    "black_elo",
    "time_control",  # strings, null when the header is absent
    "event",
    "date",
    "termination",
    "eco",
    "white",
    "black",
    "headers",  # map<string, string>: every other header
)
"""A shard's columns, in order (``schema()`` gives their types)."""
HEADER_COLUMNS = {
    "time_control": "TimeControl",
    "event": "Event",
    "date": "Date",
    "termination": "Termination",
    "eco": "ECO",
    "white": "White",
    "black": "Black",
}
"""The string columns and the headers they hold."""
ELO_COLUMNS = {"white_elo": "WhiteElo", "black_elo": "BlackElo"}
RESULT_TEXTS = {1: "1-0", -1: "0-1", 0: "1/2-1/2"}

SKIP_REASONS = ("malformed", "illegal_move", "min_rating", "time_control", "results", "rated_only", "min_plies")
"""Why a game read was not kept: the reader refused it (an illegal move, or anything else
malformed), or the first filter it failed, in this order."""

# The names a build writes into its directory; anything else there is someone else's.
SHARD_NAME = re.compile(r"games-([0-9]{4})-([0-9]{5})\.parquet")
RECORD_NAME = re.compile(r"([0-9]{4})\.json")
# Temporary files (replace_atomically's names) and the build's lock.
TEMPORARY_NAME = re.compile(r"\.(games-[0-9]{4}-[0-9]{5}\.parquet|manifest\.json|[0-9]{4}\.json)\..+\.tmp")
LOCK = ".lock"
_SHA256 = re.compile(r"[0-9a-f]{64}")
_MANIFEST_LIMIT = 1 << 30  # a manifest of a million shards is some 250 MB


def shard_name(source: int, shard: int) -> str:
    """The file name of shard ``shard`` of source ``source``."""
    return f"games-{source:04d}-{shard:05d}.parquet"


Table: TypeAlias = Any
"""A ``pyarrow.Table`` (pyarrow carries no type information, so it is ``Any`` to mypy)."""


def _pyarrow() -> Any:
    """pyarrow with its Parquet module, imported on first use: the rest of vantor_gym runs
    without them."""
    try:
        pyarrow = importlib.import_module("pyarrow")
        importlib.import_module("pyarrow.parquet")
    except ImportError as error:
        raise ImportError(
            f'game datasets need pyarrow, which is missing ({error}): pip install "vantor[data]"'
        ) from error
    return pyarrow


def schema() -> Any:
    """The shards' Arrow schema (needs pyarrow)."""
    pa = _pyarrow()
    strings = [pa.field(name, pa.string()) for name in HEADER_COLUMNS]
    return pa.schema([
        pa.field("game", pa.int64(), nullable=False),
        pa.field("moves", pa.list_(pa.field("element", pa.int16(), nullable=False)), nullable=False),
        pa.field("start_fen", pa.string()),
        pa.field("result", pa.int8()),
        pa.field("white_elo", pa.int16()),
        pa.field("black_elo", pa.int16()),
        *strings,
        pa.field("headers", pa.map_(pa.string(), pa.string()), nullable=False),
    ])


def _same_type(read: Any, expected: Any) -> bool:
    """Whether a column read has the expected type; the names Parquet gives the fields
    inside a list or a map are not compared."""
    pa = _pyarrow()
    if pa.types.is_map(expected):
        return bool(pa.types.is_map(read) and read.key_type == expected.key_type
                    and read.item_type == expected.item_type)
    if pa.types.is_list(expected):
        return bool(pa.types.is_list(read) and read.value_type == expected.value_type)
    return bool(read == expected)


@dataclass(frozen=True)
class Shard:
    """One Parquet file of a dataset: ``games`` rows of source ``source``'s games, ``plies``
    moves in all, ``bytes`` long with SHA-256 ``sha256`` (lower-case hex)."""

    path: str
    source: int
    games: int
    plies: int
    bytes: int
    sha256: str


class _Fields:
    """Reads a JSON object's fields with their types checked, naming the file on a fault."""

    def __init__(self, file: str) -> None:
        self.file = file

    def fault(self, what: str) -> ValueError:
        return ValueError(f"{self.file} is not a valid game dataset manifest: {what}")

    def mapping(self, value: object, where: str) -> dict[str, Any]:
        if not isinstance(value, dict):
            raise self.fault(f"{where} is not an object")
        return value

    def items(self, value: object, where: str) -> list[Any]:
        if not isinstance(value, list):
            raise self.fault(f"{where} is not a list")
        return value

    def count(self, mapping: dict[str, Any], key: str, where: str, low: int = 0) -> int:
        value = mapping.get(key)
        if isinstance(value, bool) or not isinstance(value, int) or value < low:
            raise self.fault(f"{where}.{key} is not a whole number of at least {low}")
        return value

    def text(self, mapping: dict[str, Any], key: str, where: str) -> str:
        value = mapping.get(key)
        if not isinstance(value, str):
            raise self.fault(f"{where}.{key} is not a string")
        return value

    def skipped(self, mapping: dict[str, Any], where: str) -> dict[str, int]:
        counts = self.mapping(mapping.get("skipped"), f"{where}.skipped")
        if sorted(counts) != sorted(SKIP_REASONS):
            raise self.fault(f"{where}.skipped does not count the reasons {', '.join(SKIP_REASONS)}")
        return {reason: self.count(counts, reason, f"{where}.skipped") for reason in SKIP_REASONS}


def read_json(path: str, what: str) -> Any:
    """The JSON document in the regular file at ``path``: ``ValueError`` naming the file,
    as ``what``, when it is not one."""
    from vantor_gym._storage import open_regular

    with open_regular(path, what, _MANIFEST_LIMIT) as file:
        data = file.read()
    try:
        return json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError) as error:
        # RecursionError: json nests by recursion, and a file of a million "[" is not JSON we wrote.
        raise ValueError(f"{path} is not {what}: it is not JSON ({type(error).__name__}: {error})"[:500]) from None


class GameDataset:
    """A game dataset that ``build_dataset`` wrote to ``path``, its manifest read and checked.

    A manifest that is missing, not JSON, of another format or version, or inconsistent
    (totals that are not the sums of its parts, a shard name out of place), and a shard
    missing or of another size than the manifest says, raise ``ValueError`` naming the file.
    ``len(dataset)`` is its number of games. ``read`` gives a shard as a ``Table``
    (pyarrow is imported only then: ``pip install "vantor[data]"``).
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        manifest_path = os.path.join(self.path, MANIFEST)
        if not os.path.isdir(self.path):
            raise ValueError(f"{self.path} is not a game dataset: there is no such directory")
        if not os.path.lexists(manifest_path):
            raise ValueError(f"{self.path} is not a game dataset: it has no {MANIFEST} "
                             "(a build that has not finished writes none)")
        self.manifest: dict[str, Any] = read_json(manifest_path, "a game dataset manifest")
        self.shards: list[Shard] = _checked_shards(self.path, manifest_path, self.manifest)
        self.games = sum(shard.games for shard in self.shards)
        self.plies = sum(shard.plies for shard in self.shards)

    @property
    def options(self) -> dict[str, Any]:
        """The build's options (its filters and shard size), as the manifest holds them."""
        return dict(self.manifest["options"])

    def __len__(self) -> int:
        return self.games

    def __repr__(self) -> str:
        return f"GameDataset({self.path!r}: {self.games:,} games, {self.plies:,} plies, {len(self.shards)} shards)"

    def _shard(self, index: object) -> Shard:
        number = integer(index, "a shard index")
        if not -len(self.shards) <= number < len(self.shards):
            raise IndexError(f"shard index {number} is out of range for {len(self.shards)} shards")
        return self.shards[number]

    def read(self, index: int, columns: Sequence[str] | None = None) -> Table:
        """Shard ``index`` (a negative one counts from the end) as a ``Table`` of
        ``columns`` (names of ``COLUMNS``; all of them by default). A shard that is not the
        Parquet file the build wrote (its size and SHA-256 are checked against the manifest,
        so a shard swapped for another of the same size is caught too) raises ``ValueError``
        naming it."""
        shard = self._shard(index)
        names = _columns(columns)
        pa = _pyarrow()
        data = _shard_bytes(shard)
        try:
            table = pa.parquet.read_table(pa.BufferReader(data), columns=names, use_threads=False)
        except (pa.ArrowException, OSError) as error:
            raise ValueError(f"{shard.path} is not a readable shard ({type(error).__name__}: {error})"[:500]) from None
        expected = schema()
        if table.num_rows != shard.games or table.schema.names != names or not all(
            _same_type(table.schema.field(name).type, expected.field(name).type) for name in names
        ):
            raise ValueError(f"{shard.path} is not the shard the manifest describes: {table.num_rows} rows "
                             f"of {table.schema.names} where {shard.games} rows of {names} were written")
        return table

    def verify(self) -> None:
        """Checks every shard's size and SHA-256 against the manifest: ``ValueError``
        naming the first that differs."""
        for shard in self.shards:
            size, digest = file_digest(shard.path)
            if (size, digest) != (shard.bytes, shard.sha256):
                raise ValueError(f"{shard.path} is damaged: its SHA-256 is {digest} ({size:,} bytes) where the "
                                 f"manifest has {shard.sha256} ({shard.bytes:,} bytes)")


def _shard_bytes(shard: Shard) -> bytes:
    """The shard's file, read once and checked against the manifest's size and SHA-256."""
    from vantor_gym._storage import open_regular

    # A regular file only, opened here: pyarrow would read a path such as "s3:..." as a location elsewhere.
    try:
        with open_regular(shard.path, "a dataset shard", shard.bytes) as file:
            data: bytes = file.read(shard.bytes + 1)
    except OSError as error:
        raise ValueError(f"{shard.path} is not a readable shard ({error})") from None
    digest = hashlib.sha256(data).hexdigest()
    if (len(data), digest) != (shard.bytes, shard.sha256):
        raise ValueError(f"{shard.path} is not the shard the build wrote: its SHA-256 is {digest} ({len(data):,} "
                         f"bytes) where the manifest has {shard.sha256} ({shard.bytes:,} bytes)")
    return data


def _columns(columns: Sequence[str] | None) -> list[str]:
    if columns is None:
        return list(COLUMNS)
    if isinstance(columns, (str, bytes)) or not hasattr(columns, "__iter__"):
        raise TypeError("columns is a list of column names")
    columns = list(columns)  # an iterator is read once
    if not all(isinstance(name, str) for name in columns):
        raise TypeError("columns is a list of column names")
    unknown = [name for name in columns if name not in COLUMNS]
    if unknown:
        raise ValueError(f"no column {unknown[0]!r}: a shard has {', '.join(COLUMNS)}")
    if len(set(columns)) != len(columns):
        raise ValueError("columns names a column twice")
    return list(columns)


def file_digest(path: str) -> tuple[int, str]:
    """The size and SHA-256 (lower-case hex) of the file at ``path``."""
    digest = hashlib.sha256()
    size = 0
    with open(path, "rb") as file:
        while block := file.read(1 << 20):
            digest.update(block)
            size += len(block)
    return size, digest.hexdigest()


def _checked_shards(folder: str, file: str, manifest: Any) -> list[Shard]:
    """The shards a manifest lists, its fields and sums checked, each file there with its size."""
    fields = _Fields(file)
    top = fields.mapping(manifest, "the manifest")
    if top.get("format") != FORMAT:
        raise ValueError(f"{file} is not a game dataset manifest: its format is {top.get('format')!r}, not {FORMAT!r}")
    if top.get("version") != VERSION:
        raise ValueError(f"{file} is a game dataset of version {top.get('version')!r}; this vantor_gym reads "
                         f"version {VERSION}")
    fields.mapping(top.get("options"), "options")
    shards: list[Shard] = []
    sums = {"games_read": 0, "games_kept": 0, "plies": 0, "bytes": 0}
    skipped = dict.fromkeys(SKIP_REASONS, 0)
    sources = fields.items(top.get("sources"), "sources")
    for index, entry in enumerate(sources):
        found = _checked_source(fields, folder, index, entry)
        shards += found
        source = fields.mapping(entry, f"sources[{index}]")
        for key in ("games_read", "games_kept"):
            sums[key] += source[key]
        for reason, count in fields.skipped(source, f"sources[{index}]").items():
            skipped[reason] += count
        sums["plies"] += sum(shard.plies for shard in found)
        sums["bytes"] += sum(shard.bytes for shard in found)
    totals = fields.mapping(top.get("totals"), "totals")
    expected = {**sums, "shards": len(shards), "sources": len(sources)}
    for key, value in expected.items():
        if fields.count(totals, key, "totals") != value:
            raise fields.fault(f"totals.{key} is {totals[key]}, but its sources add up to {value}")
    if fields.skipped(totals, "totals") != skipped:
        raise fields.fault("totals.skipped is not the sum of its sources' counts")
    for shard in shards:
        _check_file(shard)
    return shards


def _checked_source(fields: _Fields, folder: str, index: int, entry: Any) -> list[Shard]:
    """A source's shards, its counts checked against each other."""
    where = f"sources[{index}]"
    source = fields.mapping(entry, where)
    fields.text(source, "path", where)
    fields.count(source, "bytes", where)
    if not _SHA256.fullmatch(fields.text(source, "sha256", where)):
        raise fields.fault(f"{where}.sha256 is not a SHA-256 in lower-case hex")
    read, kept = fields.count(source, "games_read", where), fields.count(source, "games_kept", where)
    if read != kept + sum(fields.skipped(source, where).values()):
        raise fields.fault(f"{where}: games_read is not the games kept and skipped")
    shards = []
    for number, item in enumerate(fields.items(source.get("shards"), f"{where}.shards")):
        at = f"{where}.shards[{number}]"
        shard = fields.mapping(item, at)
        name = fields.text(shard, "file", at)
        if name != shard_name(index, number):
            # Also what keeps a manifest from naming a file outside the dataset.
            raise fields.fault(f"{at}.file is {name!r}, not {shard_name(index, number)!r}")
        digest = fields.text(shard, "sha256", at)
        if not _SHA256.fullmatch(digest):
            raise fields.fault(f"{at}.sha256 is not a SHA-256 in lower-case hex")
        shards.append(Shard(os.path.join(folder, name), index, fields.count(shard, "games", at, 1),
                            fields.count(shard, "plies", at), fields.count(shard, "bytes", at), digest))
    if sum(shard.games for shard in shards) != kept:
        raise fields.fault(f"{where}: its shards do not hold the {kept} games kept")
    if fields.count(source, "plies", where) != sum(shard.plies for shard in shards):
        raise fields.fault(f"{where}.plies is not the sum of its shards' plies")
    return shards


def _check_file(shard: Shard) -> None:
    try:
        status = os.stat(shard.path)
    except FileNotFoundError:
        raise ValueError(f"{shard.path} is missing: the dataset's manifest lists it") from None
    if not stat.S_ISREG(status.st_mode):
        raise ValueError(f"{shard.path} is not a regular file")
    if status.st_size != shard.bytes:
        raise ValueError(f"{shard.path} holds {status.st_size:,} bytes where the manifest has {shard.bytes:,}: "
                         "it is not the shard the build wrote")


# Building.

RESULTS = ("1-0", "0-1", "1/2-1/2", "*")
"""The results a build may keep; ``"*"`` stands for any game without a decided result."""
DECIDED = ("1-0", "0-1", "1/2-1/2")
_RESULT_CODES = {"1-0": 1, "0-1": -1, "1/2-1/2": 0, "*": 2}  # notation's codes, 2 for none
TIME_CONTROL_CATEGORIES = ("ultrabullet", "bullet", "blitz", "rapid", "classical", "correspondence")
"""Categories of ``TimeControl`` values "base+increment" by the estimated game time,
base + 40 x increment seconds, as the public databases count them: ultrabullet up to 29 s,
bullet to 179 s, blitz to 479 s, rapid to 1499 s, classical above; correspondence is "-"."""
_CATEGORY_LIMITS = ((29, "ultrabullet"), (179, "bullet"), (479, "blitz"), (1499, "rapid"))
# A TimeControl value as PGN writes one: "?", "-", or periods such as 40/9000, 300+2, *180, 600.
_PERIOD = r"(?:[0-9]{1,9}/[0-9]{1,9}|[0-9]{1,9}\+[0-9]{1,9}|\*[0-9]{1,9}|[0-9]{1,9})"
_TIME_CONTROL = re.compile(rf"\?|-|{_PERIOD}(?::{_PERIOD})*")
_BASE_AND_INCREMENT = re.compile(r"([0-9]{1,9})(?:\+([0-9]{1,9}))?")
_ELO = re.compile(r"0|[1-9][0-9]{0,4}")
_ELO_MAX = 32767  # int16
_RATED = re.compile(r"\bRated\b")
_READ_BLOCK = 1 << 16  # what the check that a source is PGN reads of it
RAY_RETRIES = 5
"""How often a source's Ray task is run again when its worker dies."""

# pyarrow's writer as the build calls it: no statistics that depend on the machine, no
# timestamps (Parquet writes none), one row group a shard.
PARQUET_OPTIONS: dict[str, Any] = {"compression": "zstd", "compression_level": 9, "write_statistics": True,
                                   "write_page_index": False, "store_schema": True}


@dataclass(frozen=True)
class _Options:
    """A build's filters and shard size, checked; the manifest keeps them as ``as_json``."""

    min_rating: int | None
    time_controls: tuple[str, ...] | None
    results: tuple[str, ...]
    rated_only: bool
    min_plies: int
    shard_games: int

    def as_json(self) -> dict[str, Any]:
        return {"min_rating": self.min_rating, "min_plies": self.min_plies, "rated_only": self.rated_only,
                "results": list(self.results), "shard_games": self.shard_games,
                "time_controls": None if self.time_controls is None else list(self.time_controls)}

    @staticmethod
    def from_json(data: dict[str, Any]) -> _Options:
        controls = data["time_controls"]
        return _Options(data["min_rating"], None if controls is None else tuple(controls), tuple(data["results"]),
                        data["rated_only"], data["min_plies"], data["shard_games"])


def _texts(values: object, what: str) -> list[str]:
    """A str or an iterable of them as a list; anything else is a TypeError naming ``what``."""
    if isinstance(values, str):
        return [values]
    if isinstance(values, (bytes, dict)) or not hasattr(values, "__iter__"):
        raise TypeError(f"{what} is a list of str, not {type(values).__name__}")
    found = list(values)
    if not all(isinstance(value, str) for value in found):
        raise TypeError(f"{what} is a list of str")
    return found


def time_control_category(text: str | None) -> str | None:
    """The category (``TIME_CONTROL_CATEGORIES``) of a ``TimeControl`` value: "-" is
    correspondence, "base[+increment]" in seconds goes by base + 40 x increment; None for
    anything else."""
    if text == "-":
        return "correspondence"
    match = None if text is None else _BASE_AND_INCREMENT.fullmatch(text)
    if match is None:
        return None
    seconds = int(match[1]) + 40 * int(match[2] or 0)
    return next((name for limit, name in _CATEGORY_LIMITS if seconds <= limit), "classical")


def _time_controls(values: object) -> tuple[str, ...] | None:
    if values is None:
        return None
    chosen = set()
    for value in _texts(values, "time_controls"):
        text = value.strip()
        if text.lower() in TIME_CONTROL_CATEGORIES:
            chosen.add(text.lower())
        elif _TIME_CONTROL.fullmatch(text):
            chosen.add(text)
        else:
            raise ValueError(f"unknown time control {value!r}: give a TimeControl value such as 300+3, 40/7200:3600 "
                             f"or -, or a category: {', '.join(TIME_CONTROL_CATEGORIES)}")
    if not chosen:
        raise ValueError("time_controls names no time control (None keeps every game)")
    return tuple(sorted(chosen))


def _results(values: object) -> tuple[str, ...]:
    chosen = _texts(values, "results")
    unknown = [text for text in chosen if text not in RESULTS]
    if unknown:
        raise ValueError(f"unknown result {unknown[0]!r}: results are {', '.join(RESULTS)}")
    if not chosen:
        raise ValueError(f"results names no result: give some of {', '.join(RESULTS)}")
    return tuple(text for text in RESULTS if text in chosen)


def _flag(value: object, what: str) -> bool:
    """A bool option; NumPy's bool is one too, an int is not."""
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{what} is a bool, not {type(value).__module__}.{type(value).__name__}")
    return bool(value)


def _options(min_rating: object, time_controls: object, results: object, rated_only: object, min_plies: object,
             shard_games: object) -> _Options:
    rated_only = _flag(rated_only, "rated_only")
    return _Options(
        None if min_rating is None else integer(min_rating, "min_rating", 0, _ELO_MAX),
        _time_controls(time_controls),
        _results(results),
        rated_only,
        integer(min_plies, "min_plies", 0),
        integer(shard_games, "shard_games", 1, SHARD_GAMES_MAX),
    )


def _source_paths(sources: object) -> list[str]:
    """The sources as given, each a regular file this process can read, none twice."""
    if isinstance(sources, (str, os.PathLike)):
        sources = [sources]
    if isinstance(sources, (bytes, dict)) or not hasattr(sources, "__iter__"):
        raise TypeError(f"sources is a list of paths, not {type(sources).__name__}")
    paths: list[str] = []
    seen: dict[str, str] = {}
    for source in sources:
        if not isinstance(source, (str, os.PathLike)) or not isinstance(os.fspath(source), str):
            raise TypeError(f"a source is a path (str or os.PathLike of str), not {type(source).__name__}")
        path = os.fspath(source)
        if path == "-":
            raise ValueError("a dataset's sources are files (their size and SHA-256 go into the manifest), "
                             "not standard input: save it to a file first")
        from vantor_gym._storage import open_regular

        open_regular(path, "a PGN file").close()
        real = os.path.realpath(path)
        if real in seen:
            raise ValueError(f"{path} is given twice (as {seen[real]} before)")
        seen[real] = path
        paths.append(path)
    if not paths:
        raise ValueError("no source given: name one or more PGN files")
    if len(paths) > 10000:
        raise ValueError(f"{len(paths)} sources: a dataset takes at most 10000 (shard names have four digits)")
    return paths


def _reader_reason(message: str) -> str:
    """The skip reason of a game the reader refused: its message names the ply of an
    illegal move, a line or a FEN for anything else."""
    return "illegal_move" if message.startswith("ply ") else "malformed"


def _elo(text: str | None) -> int:
    """A rating header as a number, or -1 unless it is one written plainly within int16."""
    if text is None or _ELO.fullmatch(text) is None:
        return -1
    value = int(text)
    return value if value <= _ELO_MAX else -1


class _Chunk:
    """One chunk of the reader's games, turned into the columns and filtered."""

    def __init__(self, columns: Any, options: _Options) -> None:
        import numpy as np

        self.columns = columns
        headers: list[dict[str, str]] = columns.headers
        self.plies = np.diff(np.asarray(columns.offsets, np.int64)).astype(np.int64)
        self.codes = np.asarray(columns.results, np.int8)
        self.white = np.array([_elo(h.get("WhiteElo")) for h in headers], np.int32)
        self.black = np.array([_elo(h.get("BlackElo")) for h in headers], np.int32)
        self.reasons = np.zeros(len(headers), np.int8)  # 0 kept, else 1 + the SKIP_REASONS index
        self._filter(options, headers)

    def _fail(self, reason: str, failed: Any) -> None:
        code = SKIP_REASONS.index(reason) + 1
        self.reasons[(self.reasons == 0) & failed] = code

    def _filter(self, options: _Options, headers: list[dict[str, str]]) -> None:
        import numpy as np

        if options.min_rating is not None:
            self._fail("min_rating", (self.white < options.min_rating) | (self.black < options.min_rating))
        if options.time_controls is not None:
            chosen = set(options.time_controls)
            matched = {}  # each value's answer, asked once a chunk: a file holds few values
            for h in headers:
                text = h.get("TimeControl")
                if text not in matched:
                    matched[text] = text in chosen or time_control_category(text) in chosen
            self._fail("time_control", ~np.array([matched[h.get("TimeControl")] for h in headers], np.bool_))
        codes = [_RESULT_CODES[text] for text in options.results]
        self._fail("results", ~np.isin(self.codes, codes))
        if options.rated_only:
            rated = [_RATED.search(h.get("Event", "")) is not None for h in headers]
            self._fail("rated_only", ~np.array(rated, np.bool_))
        self._fail("min_plies", self.plies < options.min_plies)

    def skipped(self) -> dict[str, int]:
        import numpy as np

        counts = np.bincount(self.reasons, minlength=len(SKIP_REASONS) + 1)
        return {reason: int(counts[code + 1]) for code, reason in enumerate(SKIP_REASONS)}

    def table(self) -> Table:
        """The kept games as a table of the shards' schema."""
        import numpy as np

        pa = _pyarrow()
        kept = np.flatnonzero(self.reasons == 0)
        columns, headers = self.columns, self.columns.headers
        offsets = np.zeros(len(kept) + 1, np.int64)
        np.cumsum(self.plies[kept], out=offsets[1:])
        starts = np.asarray(columns.offsets, np.int64)[kept]
        lengths = self.plies[kept]
        where = np.repeat(starts - offsets[:-1], lengths) + np.arange(offsets[-1])
        moves = np.asarray(columns.actions)[where].astype(np.int16)
        fields = schema()
        start_fens = [columns.start_fens[i] for i in kept.tolist()]
        codes = self.codes[kept]
        arrays = [
            pa.array(np.asarray(columns.numbers, np.int64)[kept], pa.int64()),
            pa.ListArray.from_arrays(pa.array(offsets.astype(np.int32)), pa.array(moves, pa.int16()),
                                     type=fields.field("moves").type),
            pa.array(start_fens, pa.string()),
            pa.array(codes, pa.int8(), mask=codes == 2),
            pa.array(self.white[kept].astype(np.int16), pa.int16(), mask=self.white[kept] < 0),
            pa.array(self.black[kept].astype(np.int16), pa.int16(), mask=self.black[kept] < 0),
            *(pa.array([headers[i].get(name) for i in kept.tolist()], pa.string()) for name in HEADER_COLUMNS.values()),
            self._headers(kept.tolist(), start_fens, codes),
        ]
        return pa.Table.from_arrays(arrays, schema=fields)

    def _headers(self, kept: list[int], start_fens: list[str | None], codes: Any) -> Any:
        """The headers no column holds, as a map a game."""
        pa = _pyarrow()
        stored = set(HEADER_COLUMNS.values())
        keys: list[str] = []
        values: list[str] = []
        offsets = [0]
        for row, index in enumerate(kept):
            # The headers a column gives back exactly as written are left out.
            numbers = {"WhiteElo": self.white[index] >= 0, "BlackElo": self.black[index] >= 0}
            exact = {"FEN": start_fens[row], "Result": RESULT_TEXTS.get(int(codes[row]), "*")}
            for key, value in self.columns.headers[index].items():
                if key in stored or numbers.get(key, False) or exact.get(key) == value:
                    continue
                keys.append(key)
                values.append(value)
            offsets.append(len(keys))
        return pa.MapArray.from_arrays(pa.array(offsets, pa.int32()), pa.array(keys, pa.string()),
                                       pa.array(values, pa.string()), type=schema().field("headers").type)


def _fsync(path: str) -> None:
    """Makes a file's bytes, or a directory's names, durable before what depends on them."""
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def _write_file(path: str, data: bytes) -> None:
    """``data`` to ``path`` through a temporary file of its own renamed into place."""
    from vantor_gym._storage import replace_atomically

    def write(temporary: str) -> None:
        with open(temporary, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())

    replace_atomically(path, write)


def _json_bytes(document: Any) -> bytes:
    return (json.dumps(document, sort_keys=True, indent=1, ensure_ascii=True, allow_nan=False) + "\n").encode()


class _ShardWriter:
    """Cuts one source's kept games into shards of ``limit`` games, written in order."""

    def __init__(self, folder: str, source: int, limit: int) -> None:
        self.folder, self.source, self.limit = folder, source, limit
        self.pending: list[Table] = []
        self.rows = 0
        self.shards: list[dict[str, Any]] = []

    def add(self, table: Table) -> None:
        if table.num_rows:
            self.pending.append(table)
            self.rows += table.num_rows
        while self.rows >= self.limit:
            self._write(self.limit)

    def close(self) -> None:
        if self.rows:
            self._write(self.rows)

    def _write(self, rows: int) -> None:
        from vantor_gym._storage import replace_atomically

        pa = _pyarrow()
        table = pa.concat_tables(self.pending)
        rest = table.slice(rows)
        self.pending, self.rows = ([rest] if rest.num_rows else []), rest.num_rows
        # One contiguous table: how the reader cut its chunks must not change a byte.
        shard = table.slice(0, rows).combine_chunks()
        name = shard_name(self.source, len(self.shards))
        path = os.path.join(self.folder, name)

        def write(temporary: str) -> None:
            with open(temporary, "wb") as file:
                pa.parquet.write_table(shard, file, row_group_size=rows, **PARQUET_OPTIONS)
                file.flush()
                os.fsync(file.fileno())

        replace_atomically(path, write)
        size, digest = file_digest(path)
        plies = len(shard.column("moves").chunk(0).flatten()) if shard.num_rows else 0
        self.shards.append({"bytes": size, "file": name, "games": rows, "plies": plies, "sha256": digest})


def _chunks(path: str, **options: Any) -> Iterator[Any]:
    """The reader's chunks (``PgnColumns``) of the PGN file at ``path``, malformed games skipped."""
    import pathlib

    from vantor_gym import notation

    # A path object: the reader refuses a str that starts as PGN text does ("[x].pgn").
    return notation.read_pgn_chunks(pathlib.Path(path), on_error="skip", **options)


def _check_pgn(path: str) -> None:
    """``ValueError`` unless the file's first games read as PGN: a file that is not PGN
    is named before anything is written."""
    chunks = _chunks(path, chunk_bytes=_READ_BLOCK, threads=1)
    try:
        first = next(chunks, None)
    finally:
        close = getattr(chunks, "close", None)
        if close is not None:
            close()
    if first is not None and len(first) == 0 and first.skipped:
        number, message = first.skipped[0]
        raise ValueError(f"{path} does not read as PGN: no game of its first {len(first.skipped)} reads "
                         f"(game {number}: {message})"[:500])
    if first is None and not _blank(path):
        # Text in braces is a PGN comment: a JSON file reads as one, of no game.
        raise ValueError(f"{path} does not read as PGN: it holds text but no game")


def _blank(path: str) -> bool:
    """Whether the file, decompressed, holds only whitespace (an empty PGN file, which has no game)."""
    from vantor_gym.pgn_files import open_pgn

    with open_pgn(pathlib.Path(path)) as stream:
        while block := stream.read(_READ_BLOCK):
            if block.strip():
                return False
    return True


def _clear_source(folder: str, source: int) -> None:
    """Removes what an earlier, unfinished run wrote for ``source``: its record first, so
    that no record ever stands for shards that are gone."""
    shard = rf"games-{source:04d}-[0-9]{{5}}\.parquet"
    patterns = {
        os.path.join(folder, RECORDS): re.compile(rf"{source:04d}\.json|\.{source:04d}\.json\..+\.tmp"),
        folder: re.compile(rf"{shard}|\.{shard}\..+\.tmp"),
    }
    for where, mine in patterns.items():
        if os.path.isdir(where):
            for name in sorted(os.listdir(where)):
                if mine.fullmatch(name):
                    os.remove(os.path.join(where, name))


def _build_source(folder: str, source: int, path: str, given: str, options: dict[str, Any],
                  progress: Callable[[int], object] | None = None, threads: int | None = None) -> dict[str, Any]:
    """Writes the shards and then the completion record of source ``source`` (the PGN
    file at ``path``, ``given`` as the build was given it) into ``folder`` and returns
    the record; what a build runs for each source, on this process or as a Ray task.
    ``progress(games)`` is called with the games read of each chunk of the file; the
    reader parses on ``threads`` threads (all cores by default)."""
    chosen = _Options.from_json(options)
    _clear_source(folder, source)
    size, digest = file_digest(path)
    skipped = dict.fromkeys(SKIP_REASONS, 0)
    read = 0
    writer = _ShardWriter(folder, source, chosen.shard_games)
    for columns in _chunks(path, threads=threads):
        for _, message in columns.skipped:
            skipped[_reader_reason(message)] += 1
        chunk = _Chunk(columns, chosen)
        for reason, count in chunk.skipped().items():
            skipped[reason] += count
        writer.add(chunk.table())
        read += len(columns) + len(columns.skipped)
        if progress is not None:
            progress(len(columns) + len(columns.skipped))
    writer.close()
    entry = {"bytes": size, "games_kept": sum(shard["games"] for shard in writer.shards), "games_read": read,
             "path": given, "plies": sum(shard["plies"] for shard in writer.shards), "sha256": digest,
             "shards": writer.shards, "skipped": skipped}
    record = {"format": FORMAT, "index": source, "options": chosen.as_json(), "source": entry, "version": VERSION}
    records = os.path.join(folder, RECORDS)
    os.makedirs(records, exist_ok=True)
    _fsync(folder)  # the shards' names are durable before the record that stands for them
    _write_file(os.path.join(records, f"{source:04d}.json"), _json_bytes(record))
    _fsync(records)
    return record


def _ours(name: str) -> bool:
    """Whether a name in a dataset's directory is one a build writes."""
    return name in (MANIFEST, RECORDS, LOCK) or bool(SHARD_NAME.fullmatch(name) or TEMPORARY_NAME.fullmatch(name))


def _records_in(folder: str) -> list[str]:
    records = os.path.join(folder, RECORDS)
    names = os.listdir(records) if os.path.isdir(records) else []
    return sorted(name for name in names if RECORD_NAME.fullmatch(name))


def _inspect(folder: str) -> bool:
    """Whether ``folder`` exists; ``ValueError`` unless it is a directory that is empty,
    holds a dataset, or holds only what an unfinished build wrote."""
    if not os.path.lexists(folder):
        return False
    if not os.path.isdir(folder):
        raise ValueError(f"{folder} is not a directory")
    names = sorted(os.listdir(folder))
    foreign = [name for name in names if not _ours(name)]
    if foreign and MANIFEST not in names and not _records_in(folder):
        raise ValueError(f"{folder} is not a game dataset and not empty (it holds {foreign[0]!r}): "
                         "give a new or empty directory")
    return True


@contextmanager
def _locked(folder: str) -> Iterator[None]:
    """Holds the directory's lock: two builds writing one dataset would mix their files."""
    import fcntl

    descriptor = os.open(os.path.join(folder, LOCK), os.O_RDWR | os.O_CREAT, 0o644)
    try:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            raise ValueError(f"another build is writing {folder}") from None
        yield
    finally:
        os.close(descriptor)


def _mismatch(folder: str, what: str) -> ValueError:
    return ValueError(f"{folder} holds a build {what}: build into a new directory, or pass --overwrite "
                      "(overwrite=True) to replace it")


def _checked_record(folder: str, name: str, paths: list[str], wanted: dict[str, Any]) -> dict[str, Any] | None:
    """The completion record ``name``, or None when it is damaged (its source is built
    again); ``ValueError`` when it belongs to another build or its source has changed."""
    path = os.path.join(folder, RECORDS, name)
    try:
        record: dict[str, Any] = read_json(path, "a source record")
        fields = _Fields(path)
        index = fields.count(fields.mapping(record, "the record"), "index", "the record")
        if (record.get("format"), record.get("version"), f"{index:04d}.json") != (FORMAT, VERSION, name):
            return None
        for shard in _checked_source(fields, folder, index, record.get("source")):
            _check_file(shard)
    except ValueError:
        return None
    entry = record["source"]
    if record.get("options") != wanted:
        raise _mismatch(folder, f"with other options ({json.dumps(record.get('options'), sort_keys=True)})")
    if index >= len(paths) or entry["path"] != paths[index]:
        raise _mismatch(folder, f"of other sources (source {index} was {entry['path']!r})")
    if os.stat(paths[index]).st_size != entry["bytes"] or file_digest(paths[index])[1] != entry["sha256"]:
        raise _mismatch(folder, f"of another {paths[index]}: the file has changed since")
    return record


def _done_sources(folder: str, paths: list[str], options: _Options) -> dict[int, dict[str, Any]]:
    """The sources an earlier run of this build finished, by index, their records checked."""
    wanted = options.as_json()
    manifest_path = os.path.join(folder, MANIFEST)
    if os.path.isfile(manifest_path):
        try:
            manifest = read_json(manifest_path, "a game dataset manifest")
        except ValueError:
            manifest = None  # damaged: written again at the end
        if isinstance(manifest, dict) and manifest.get("options") not in (None, wanted):
            raise _mismatch(folder, f"with other options ({json.dumps(manifest.get('options'), sort_keys=True)})")
        sources = manifest.get("sources") if isinstance(manifest, dict) else None
        if isinstance(sources, list) and [s.get("path") if isinstance(s, dict) else s for s in sources] != paths:
            raise _mismatch(folder, "of other sources")
    done = {}
    for name in _records_in(folder):
        record = _checked_record(folder, name, paths, wanted)
        if record is not None:
            done[record["index"]] = record
    return done


def _manifest(options: _Options, records: list[dict[str, Any]]) -> dict[str, Any]:
    entries = [record["source"] for record in records]
    shards = [shard for entry in entries for shard in entry["shards"]]
    totals = {
        "bytes": sum(shard["bytes"] for shard in shards),
        "games_kept": sum(entry["games_kept"] for entry in entries),
        "games_read": sum(entry["games_read"] for entry in entries),
        "plies": sum(entry["plies"] for entry in entries),
        "shards": len(shards),
        "skipped": {reason: sum(entry["skipped"][reason] for entry in entries) for reason in SKIP_REASONS},
        "sources": len(entries),
    }
    return {"format": FORMAT, "options": options.as_json(), "sources": entries, "totals": totals, "version": VERSION}


def _sweep(folder: str, keep: set[str] | None = None) -> None:
    """Removes temporary files a killed run left, and (given ``keep``, the shards the
    manifest lists) shards no record stands for."""
    for where in (folder, os.path.join(folder, RECORDS)):
        for name in sorted(os.listdir(where)) if os.path.isdir(where) else []:
            stale = TEMPORARY_NAME.fullmatch(name) or (keep is not None and where == folder
                                                        and SHARD_NAME.fullmatch(name) and name not in keep)
            if stale:
                os.remove(os.path.join(where, name))


def _clear(folder: str) -> None:
    """Removes a dataset's own files, and nothing else, for --overwrite."""
    for name in _records_in(folder):
        os.remove(os.path.join(folder, RECORDS, name))
    for name in sorted(os.listdir(folder)):
        if name == MANIFEST or SHARD_NAME.fullmatch(name):
            os.remove(os.path.join(folder, name))
    _sweep(folder)


def _build_here(folder: str, todo: list[int], paths: list[str], options: _Options,
                progress: bool | None) -> None:
    from vantor_gym.progress import Progress

    with Progress(None, "games", progress) as shown:
        for step, index in enumerate(todo, start=1):
            def update(games: int, where: str = f"{step}/{len(todo)}") -> None:
                shown.update(games, source=where)

            _build_source(folder, index, os.path.abspath(paths[index]), paths[index], options.as_json(), update)


def _build_on_ray(address: str, folder: str, todo: list[int], paths: list[str], options: _Options,
                  progress: bool | None) -> None:
    try:
        import ray
    except ImportError as error:
        raise ImportError(f'a build on Ray needs Ray ({error}): pip install "vantor[ray]"') from error
    started = not ray.is_initialized()
    if started:
        from vantor_gym.distributed import runtime_env

        ray.init(address=address, runtime_env=runtime_env(), log_to_driver=False, configure_logging=False)
    try:
        _run_tasks(ray, folder, todo, paths, options, progress)
    finally:
        if started:
            ray.shutdown()


def _run_tasks(ray: Any, folder: str, todo: list[int], paths: list[str], options: _Options,
               progress: bool | None) -> None:
    """One Ray task a source; a task whose worker dies runs again, from the start of its source."""
    from vantor_gym.progress import Progress

    task = ray.remote(num_cpus=1, max_retries=RAY_RETRIES, retry_exceptions=False)(_build_source)
    where = os.path.abspath(folder)
    # A task has one CPU of its node: the tasks beside it have the others.
    pending = {task.remote(where, index, os.path.abspath(paths[index]), paths[index], options.as_json(), None, 1): index
               for index in todo}
    with Progress(len(todo), "sources", progress) as shown:
        while pending:
            ready, _ = ray.wait(list(pending), num_returns=1)
            index = pending.pop(ready[0])
            try:
                ray.get(ready[0])
            except ray.exceptions.RayError as error:
                for other in pending:
                    ray.cancel(other)
                cause = getattr(error, "cause", None)
                if isinstance(cause, (ValueError, OSError)):
                    raise cause from None
                message = f"the Ray task of source {index} ({paths[index]}) failed: {one_line(error)}"
                raise RuntimeError(message) from None
            shown.update()


def build_dataset(
    sources: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    out: str | os.PathLike[str],
    *,
    min_rating: int | None = None,
    time_controls: str | Sequence[str] | None = None,
    results: str | Sequence[str] = DECIDED,
    rated_only: bool = False,
    min_plies: int = 0,
    shard_games: int = SHARD_GAMES,
    overwrite: bool = False,
    ray_address: str | None = None,
    progress: bool | None = None,
) -> GameDataset:
    """Builds the game dataset of the PGN files ``sources`` (plain or compressed, as
    ``vantor_gym.notation.read_pgn_chunks`` reads them) in the directory ``out``.

    Games are kept in source order when they pass every filter: ``min_rating`` (both
    ratings at least that; a game without them fails), ``time_controls`` (``TimeControl``
    values, or categories of ``TIME_CONTROL_CATEGORIES``), ``results`` (of ``"1-0"``,
    ``"0-1"``, ``"1/2-1/2"``, ``"*"``, the last for a game without a result), ``rated_only``
    (the ``Event`` header has the word "Rated") and ``min_plies``. A game the reader
    refuses (malformed, an illegal move) is skipped and counted. Every file goes in under
    a temporary name and is renamed, and a source's completion record is written last, so
    a rerun of an interrupted build goes on from the sources not yet done; a build with
    other options or of changed files in a dataset's directory is refused unless
    ``overwrite``. With ``ray_address`` each source is a Ray task (on the cluster this
    process is connected to, if it is), the directory and files being where every node
    sees them. ``progress`` as ``vantor_gym.progress.Progress`` takes it. Bad options, a
    source that is missing or not PGN, and a directory that is not a dataset raise before
    anything is written.
    """
    _pyarrow()  # a missing pyarrow is said before anything is written
    options = _options(min_rating, time_controls, results, rated_only, min_plies, shard_games)
    paths = _source_paths(sources)
    overwrite = _flag(overwrite, "overwrite")
    if progress is not None and not isinstance(progress, bool):
        raise TypeError(f"progress is a bool or None, not {type(progress).__name__}")
    if ray_address is not None and not isinstance(ray_address, str):
        raise TypeError(f"ray_address is a str, not {type(ray_address).__name__}")
    folder = os.fspath(out)
    if not isinstance(folder, str) or not folder:
        raise TypeError("out is the path of a directory")
    exists = _inspect(folder)
    with ExitStack() as stack:
        if exists:
            stack.enter_context(_locked(folder))
        done = {} if overwrite else _done_sources(folder, paths, options)
        todo = [index for index in range(len(paths)) if index not in done]
        for index in todo:
            _check_pgn(paths[index])
        if not exists:
            os.makedirs(folder, exist_ok=True)
            stack.enter_context(_locked(folder))
        if overwrite:
            _clear(folder)
        _sweep(folder)
        if todo and os.path.lexists(os.path.join(folder, MANIFEST)):
            os.remove(os.path.join(folder, MANIFEST))  # the dataset is whole again only once the build is
        if ray_address is None:
            _build_here(folder, todo, paths, options, progress)
        else:
            _build_on_ray(ray_address, folder, todo, paths, options, progress)
        _finish(folder, len(paths), options)
    return GameDataset(folder)


def _finish(folder: str, sources: int, options: _Options) -> None:
    """Writes the manifest from the sources' records, then removes what no record holds."""
    records = [read_json(os.path.join(folder, RECORDS, f"{index:04d}.json"), "a source record")
               for index in range(sources)]
    manifest = _manifest(options, records)
    _fsync(os.path.join(folder, RECORDS))
    _write_file(os.path.join(folder, MANIFEST), _json_bytes(manifest))
    _fsync(folder)
    _sweep(folder, {shard["file"] for entry in manifest["sources"] for shard in entry["shards"]})
