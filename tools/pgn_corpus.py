"""Writes PGN as the public monthly databases of online games write it, for testing PGN readers,
the game dataset and the benchmark on data like the real thing:

    tools/toolchain run --with tools python3 tools/pgn_corpus.py --size 2G --pool build/pool.json games.pgn.zst

Each game has the databases' header lines in their order (Event, Site, Date, Round, White,
Black, Result, UTCDate, UTCTime, WhiteElo, BlackElo, the rating changes of a rated game,
sometimes a title, ECO, Opening, TimeControl, Termination; FEN and SetUp for a game from a
set-up position) and its movetext on one line, a [%clk] comment after every move of a timed
game and an [%eval] in some games, as "1. e4 { [%clk 0:03:00] } 1... e5 { ... }".

Playing millions of distinct games takes too long, so a pool of distinct games is played
once: Stockfish games (a few hundred, at several strengths: a few thousand nodes a move at
most, each move drawn among the engine's best lines with a temperature) and many games of
random legal moves, some from set-up positions. The output is filled by reusing pool games
with fresh headers (players, ratings, dates, time controls, clocks), some cut short and
given a resignation, a time forfeit or no result. A fraction of the games is malformed on
purpose: an illegal move, a FEN header that is no position, or a comment left open at the
end of a mated game (it runs into the next game, which readers then refuse with it).

The same seed and size give the same bytes; --pool FILE keeps the pool (JSON) so that a
rerun skips the Stockfish games. A name ending in .zst is written compressed with Zstandard.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import random
import re
import shutil
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import IO, Any

import numpy as np
from compression import zstd

from vantor_gym import Game
from vantor_gym._numbers import integer, real
from vantor_gym._parsing import Parser, one_line, whole
from vantor_gym._storage import open_regular, replace_atomically
from vantor_gym.fen import read_fen
from vantor_gym.notation import action_to_san, action_to_uci, san_to_action
from vantor_gym.uci import EngineError, Score, UciEngine

__all__ = ["CorpusGame", "CorpusInfo", "Pool", "PoolGame", "iter_games", "load_pool", "make_pool", "write_corpus"]

SITE = "https://chess.example/"
"""Where the Site header's game links point (a reserved name: the games are made up)."""

STOCKFISH_GAMES = 200
RANDOM_GAMES = 2000
MALFORMED = 0.001
LEVEL = 3
_POOL_FORMAT = "pgn_corpus pool"
_POOL_LIMIT = 1 << 30  # bytes a pool file may hold
_RESULTS = ("1-0", "0-1", "1/2-1/2")
# How a pool game ended: on the board (as vantor_gym.Game names it) or by the players.
_BOARD_ENDINGS = ("checkmate", "stalemate", "insufficient_material", "fifty_moves", "repetition")
_PLAYER_ENDINGS = ("resigned", "agreed", "cut")
_EVAL = re.compile(r"-?[0-9]+\.[0-9]{1,2}|#-?[1-9][0-9]*")
_ALPHABET = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
_START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"

# Nodes a move and the temperature (centipawns) of the draw among the best lines, weakest first.
_LEVELS = ((64, 250.0), (256, 120.0), (1024, 50.0), (4096, 15.0))
_LINES = 4  # best lines searched a move (one MultiPV for every level: changing it costs a round trip)

# Time controls by weight, as often as online play has them; "-" is correspondence.
_TIME_CONTROLS = (
    ("15+0", 1), ("30+0", 1), ("60+0", 12), ("120+1", 6), ("180+0", 14), ("180+2", 10), ("300+0", 10),
    ("300+3", 8), ("600+0", 10), ("600+5", 6), ("900+10", 5), ("1800+0", 3), ("1800+20", 2), ("-", 2),
)
_TITLES = ("GM", "IM", "FM", "CM", "NM", "WGM", "WIM", "WFM", "LM", "BOT")
_ARENAS = ("Hourly {} Arena", "Daily {} Arena", "Titled Arena", "Weekly {} Swiss", "Coupe d'été — {}")

# (ECO, name, moves): the longest line a game starts with names its opening.
_OPENINGS = (
    ("A00", "Polish Opening", "b4"), ("A00", "Hungarian Opening", "g3"), ("A00", "Van't Kruijs Opening", "e3"),
    ("A00", "Mieses Opening", "d3"), ("A00", "Saragossa Opening", "c3"), ("A00", "Anderssen's Opening", "a3"),
    ("A00", "Ware Opening", "a4"), ("A00", "Clemenz Opening", "h3"), ("A00", "Kádas Opening", "h4"),
    ("A00", "Grob Opening", "g4"), ("A00", "Barnes Opening", "f3"), ("A00", "Amar Opening", "Nh3"),
    ("A00", "Durkin Opening", "Na3"), ("A00", "Van Geet Opening", "Nc3"), ("A01", "Nimzo-Larsen Attack", "b3"),
    ("A02", "Bird Opening", "f4"), ("A04", "Zukertort Opening", "Nf3"), ("A10", "English Opening", "c4"),
    ("A15", "English Opening: Anglo-Indian Defense", "c4 Nf6"),
    ("A20", "English Opening: King's English Variation", "c4 e5"),
    ("A40", "Queen's Pawn Game", "d4"), ("A43", "Benoni Defense: Old Benoni", "d4 c5"),
    ("A45", "Indian Defense", "d4 Nf6"), ("A80", "Dutch Defense", "d4 f5"),
    ("B00", "King's Pawn Game", "e4"), ("B00", "Nimzowitsch Defense", "e4 Nc6"), ("B00", "Owen Defense", "e4 b6"),
    ("B01", "Scandinavian Defense", "e4 d5"), ("B02", "Alekhine Defense", "e4 Nf6"),
    ("B06", "Modern Defense", "e4 g6"), ("B07", "Pirc Defense", "e4 d6 d4 Nf6 Nc3 g6"),
    ("B10", "Caro-Kann Defense", "e4 c6"), ("B12", "Caro-Kann Defense: Advance Variation", "e4 c6 d4 d5 e5"),
    ("B20", "Sicilian Defense", "e4 c5"),
    ("B33", "Sicilian Defense: Lasker-Pelikan Variation", "e4 c5 Nf3 Nc6 d4 cxd4 Nxd4 Nf6 Nc3 e5"),
    ("B90", "Sicilian Defense: Najdorf Variation", "e4 c5 Nf3 d6 d4 cxd4 Nxd4 Nf6 Nc3 a6"),
    ("C00", "French Defense", "e4 e6"), ("C02", "French Defense: Advance Variation", "e4 e6 d4 d5 e5"),
    ("C20", "King's Pawn Game", "e4 e5"), ("C21", "Danish Gambit", "e4 e5 d4 exd4 c3"),
    ("C23", "Bishop's Opening", "e4 e5 Bc4"), ("C25", "Vienna Game", "e4 e5 Nc3"),
    ("C30", "King's Gambit", "e4 e5 f4"), ("C40", "King's Knight Opening", "e4 e5 Nf3"),
    ("C41", "Philidor Defense", "e4 e5 Nf3 d6"), ("C42", "Petrov's Defense", "e4 e5 Nf3 Nf6"),
    ("C44", "Scotch Game", "e4 e5 Nf3 Nc6 d4"), ("C46", "Three Knights Opening", "e4 e5 Nf3 Nc6 Nc3"),
    ("C47", "Four Knights Game", "e4 e5 Nf3 Nc6 Nc3 Nf6"), ("C50", "Italian Game", "e4 e5 Nf3 Nc6 Bc4"),
    ("C55", "Italian Game: Two Knights Defense", "e4 e5 Nf3 Nc6 Bc4 Nf6"),
    ("C57", "Italian Game: Two Knights Defense, Fried Liver Attack", "e4 e5 Nf3 Nc6 Bc4 Nf6 Ng5 d5 exd5 Nxd5 Nxf7"),
    ("C60", "Ruy Lopez", "e4 e5 Nf3 Nc6 Bb5"), ("C65", "Ruy Lopez: Berlin Defense", "e4 e5 Nf3 Nc6 Bb5 Nf6"),
    ("C68", "Ruy Lopez: Exchange Variation", "e4 e5 Nf3 Nc6 Bb5 a6 Bxc6"),
    ("D00", "Queen's Pawn Game", "d4 d5"), ("D02", "London System", "d4 d5 Nf3 Nf6 Bf4"),
    ("D06", "Queen's Gambit", "d4 d5 c4"), ("D10", "Slav Defense", "d4 d5 c4 c6"),
    ("D20", "Queen's Gambit Accepted", "d4 d5 c4 dxc4"), ("D30", "Queen's Gambit Declined", "d4 d5 c4 e6"),
    ("D80", "Grünfeld Defense", "d4 Nf6 c4 g6 Nc3 d5"), ("E12", "Queen's Indian Defense", "d4 Nf6 c4 e6 Nf3 b6"),
    ("E20", "Nimzo-Indian Defense", "d4 Nf6 c4 e6 Nc3 Bb4"), ("E60", "King's Indian Defense", "d4 Nf6 c4 g6"),
)
_OPENING_OF = {tuple(moves.split()): (eco, name) for eco, name, moves in _OPENINGS}
_LONGEST_OPENING = max(len(line) for line in _OPENING_OF)

_NAME_STARTS = (
    "Silent", "Dark", "Quick", "Lazy", "Royal", "Mad", "Iron", "Lucky", "Crazy", "Blue", "Grand", "Little", "Tactical",
    "Shadow", "Brave", "Sneaky", "Frozen", "Golden", "Wild", "Rapid", "chess", "pawn", "knight", "bishop", "rook",
    "queen", "king", "blitz", "gambit", "endgame", "zwischen", "fianchetto", "en_passant", "tempo", "zugzwang",
)
_NAME_ENDS = (
    "Knight", "Bishop", "Rook", "Queen", "King", "Pawn", "Master", "Player", "Wizard", "Tiger", "Eagle", "Storm",
    "Hunter", "Lover", "Fan", "Monk", "Gambit", "Mate", "Castle", "Fork", "Pin", "Skewer", "_fan", "lord", "bot",
    "wood", "pusher", "_pro", "_noob", "crusher",
)
# Rarely a name outside ASCII, to test a reader's UTF-8.
_UNICODE_NAMES = ("Jürgen_K", "Алексей", "東京の騎士", "José_María", "Zoë", "Łukasz", "Ωmega", "Søren", "Çağrı", "Dvořák")
_EPOCH = 1717200000  # 2024-06-01 00:00:00 UTC: the corpus is a month of games from then on
_CLOCK_LIMIT = 4 * 3600
_CLOCK_TEXTS = np.array([f"[%clk {s // 3600}:{s // 60 % 60:02d}:{s % 60:02d}]" for s in range(_CLOCK_LIMIT + 1)],
                        dtype=object)
_CLOCK_TEXTS.flags.writeable = False  # shared by every corpus being written
# Well-formed SAN for moves that are often illegal: a bad move is the first of them that is.
_BAD_MOVES = ("Qh4", "Ke2", "Nf3", "Bb5", "Rd1", "e4", "Qd8", "Kg8", "Nc6", "O-O-O", "Ra6", "Bxh7", "h5", "Kxe1",
              "Qxd1", "Nxe5", "a8=Q", "Rh8", "Bg2", "c1=N", "Ka1", "Kh1", "Ka8", "Kh8")
_MALFORMED_KINDS = ("illegal move", "broken FEN header", "unclosed comment")


# -- the pool ---------------------------------------------------------------------------


@dataclass(frozen=True)
class PoolGame:
    """A distinct game of the pool: ``actions`` from ``start_fen`` (None for the initial
    position); ``ending`` one of ``_BOARD_ENDINGS`` (how the last move ended it) or
    ``"resigned"``, ``"agreed"`` or ``"cut"`` (stopped while it went on); ``result`` its
    result, None for a cut game; ``evals`` the engine's evaluation from white's side after
    each move (``[%eval]`` text, ``""`` where there is none), or None."""

    actions: tuple[int, ...]
    start_fen: str | None
    ending: str
    result: str | None
    evals: tuple[str, ...] | None = None
    source: str = "random"

    def to_json(self) -> dict[str, Any]:
        return {"start": self.start_fen, "actions": list(self.actions), "ending": self.ending, "result": self.result,
                "evals": None if self.evals is None else list(self.evals), "source": self.source}


@dataclass(frozen=True)
class _Played:
    """A pool game replayed and checked, with what writing it needs: each move as written
    after a comment (``"12. Nf3"``, ``"12... Nc6"``) and after another move (black's
    without its number), the eval comments, the opening and white's score after each move."""

    game: PoolGame
    sans: tuple[str, ...]
    heads: tuple[str, ...]
    plain: tuple[str, ...]
    evals: tuple[str, ...] | None
    scores: tuple[float | None, ...]
    eco: str
    opening: str
    stuck: bool  # the last position has no legal move (mate or stalemate)


@dataclass(frozen=True)
class Pool:
    """The distinct games a corpus reuses, and how they were made."""

    games: tuple[PoolGame, ...]
    seed: int
    stockfish_games: int
    random_games: int
    engine: str = ""
    played: tuple[_Played, ...] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        # Replayed once here: every game is checked before anything is written from it.
        object.__setattr__(self, "played", tuple(_replay(number, game) for number, game in enumerate(self.games, 1)))

    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the pool as JSON (through a temporary file, renamed into place)."""
        data = {"format": _POOL_FORMAT, "version": 1, "seed": self.seed, "stockfish_games": self.stockfish_games,
                "random_games": self.random_games, "engine": self.engine,
                "games": [game.to_json() for game in self.games]}
        text = json.dumps(data, ensure_ascii=False, separators=(",", ":"))

        def write(temporary: str) -> None:
            with open(temporary, "w", encoding="utf-8") as file:
                file.write(text)

        replace_atomically(path, write)


def _white_score(text: str) -> float | None:
    """White's score in pawns of an eval text (a mate as 100 pawns), None for none."""
    if not text:
        return None
    if text.startswith("#"):
        return math.copysign(100.0, float(text[1:]))
    return float(text)


def _opening(sans: Sequence[str]) -> tuple[str, str]:
    bodies = tuple(san.rstrip("+#") for san in sans[:_LONGEST_OPENING])
    for length in range(len(bodies), 0, -1):
        found = _OPENING_OF.get(bodies[:length])
        if found is not None:
            return found
    return "?", "?"


def _replay(number: int, game: PoolGame) -> _Played:
    """The game replayed under chess's rules: ``ValueError`` naming the game and the ply
    when a move is not legal, or the ending or result is not the board's."""
    try:
        return _replayed(game)
    except ValueError as error:
        raise ValueError(f"pool game {number}: {error}") from None


def _replayed(game: PoolGame) -> _Played:
    start = read_fen(game.start_fen or _START)
    board = Game(fen=game.start_fen)
    side, move_number = int(start.turn == "b"), start.fullmove_number
    sans: list[str] = []
    heads: list[str] = []
    plain: list[str] = []
    reward = 0
    for ply, action in enumerate(game.actions, 1):
        if board.is_over:
            raise ValueError(f"ply {ply}: the game ended at ply {ply - 1} ({board.ending})")
        try:
            san = action_to_san(board, action)
        except (TypeError, ValueError) as error:
            raise ValueError(f"ply {ply}: {error}") from None
        sans.append(san)
        heads.append(f"{move_number}. {san}" if side == 0 else f"{move_number}... {san}")
        plain.append(heads[-1] if side == 0 or ply == 1 else san)
        reward, _ = board.step(action)
        move_number += side
        side ^= 1
    _check_ending(game, board, reward)
    evals = None if game.evals is None else tuple(f"[%eval {text}] " if text else "" for text in game.evals)
    scores = tuple(_white_score(text) for text in game.evals or ("",) * len(sans))
    eco, opening = _opening(sans) if game.start_fen is None else ("?", "?")
    stuck = board.ending in ("checkmate", "stalemate")
    return _Played(game, tuple(sans), tuple(heads), tuple(plain), evals, scores, eco, opening, stuck)


def _check_ending(game: PoolGame, board: Game, reward: int) -> None:
    if not game.actions:
        raise ValueError("a pool game has at least one move")
    if game.evals is not None and (len(game.evals) != len(game.actions) or not all(
            isinstance(text, str) and (not text or _EVAL.fullmatch(text)) for text in game.evals)):
        raise ValueError("evals must be one eval text ('0.17', '#-3' or '') a move")
    if board.is_over:
        if game.ending != board.ending:
            raise ValueError(f"the game ends by {board.ending}, not {game.ending!r}")
        result = ("1/2-1/2", "1-0", "0-1")[reward]
        if game.result != result:
            raise ValueError(f"the game's result is {result}, not {game.result!r}")
    elif game.ending not in _PLAYER_ENDINGS:
        raise ValueError(f"the game goes on after its last move, so it cannot end by {game.ending!r}")
    elif (game.ending == "cut") != (game.result is None) or (game.ending == "agreed" and game.result != "1/2-1/2"):
        raise ValueError(f"a game ended by {game.ending!r} cannot have the result {game.result!r}")
    elif game.ending == "resigned" and game.result not in ("1-0", "0-1"):
        raise ValueError(f"a resigned game is won by one side, not {game.result!r}")


def _find_engine(name: str) -> str:
    found = shutil.which(name) or (shutil.which("stockfish", path="/usr/games") if name == "stockfish" else None)
    if found is None:
        raise FileNotFoundError(f"no UCI engine {name!r} on PATH (nor in /usr/games): give --engine, or "
                                "--stockfish-games 0")
    return found


def _random_start(rng: random.Random) -> str:
    """A legal position that random moves lead to from the initial position, as FEN."""
    while True:
        board = Game()
        for _ in range(rng.randint(6, 40)):
            legal = board.legal_actions()
            board.step(int(legal[rng.randrange(len(legal))]))
            if board.is_over:
                break
        if not board.is_over:
            return board.fen()


def _random_game(rng: random.Random) -> PoolGame:
    start = _random_start(rng) if rng.random() < 0.08 else None
    board = Game(fen=start)
    # Most are cut short, as most online games are short; some play on to the board's end.
    cap = rng.randint(10, 120) if rng.random() < 0.85 else 1000
    actions: list[int] = []
    reward = 0
    while not board.is_over and len(actions) < cap:
        legal = board.legal_actions()
        actions.append(int(legal[rng.randrange(len(legal))]))
        reward, _ = board.step(actions[-1])
    if not board.is_over:
        return PoolGame(tuple(actions), start, "cut", None)
    return PoolGame(tuple(actions), start, str(board.ending), ("1/2-1/2", "1-0", "0-1")[reward])


def _centipawns(score: Score) -> float:
    """A score as centipawns from the side to move, a mate as more than any material."""
    if score.mate is not None:
        return 20000.0 - score.mate if score.mate > 0 else -20000.0 - score.mate
    return float(score.centipawns or 0)


def _eval_text(score: Score | None, white_to_move: bool) -> str:
    """[%eval] text from white's side: pawns with up to two decimals, or ``#n``."""
    if score is None:
        return ""
    sign = 1 if white_to_move else -1
    if score.mate is not None:
        return f"#{sign * score.mate}"
    pawns = sign * (score.centipawns or 0) / 100
    text = f"{pawns:.2f}".rstrip("0")
    return "0.0" if text in ("0.", "-0.") else text + "0" if text.endswith(".") else text


class _EngineGame:
    """One Stockfish game: both sides at their own level, each move drawn among the
    engine's best lines, resigning when lost and agreeing draws in level positions."""

    def __init__(self, engine: UciEngine, rng: random.Random) -> None:
        self.engine, self.rng = engine, rng
        self.start = _random_start(rng) if rng.random() < 0.05 else None
        self.first = int(self.start is not None and read_fen(self.start).turn == "b")  # the side to move first
        self.board = Game(fen=self.start)
        self.levels = (rng.choice(_LEVELS), rng.choice(_LEVELS))
        self.cap = rng.randint(60, 300)
        self.resign_at = rng.uniform(500, 1500)
        self.book = self._book()
        self.actions: list[int] = []
        self.ucis: list[str] = []
        self.scores: list[float] = []  # centipawns from the side to move, a position each
        self.evals: list[str] = []  # after each move, from white's side

    def _book(self) -> list[str]:
        """SAN moves to open with: the first moves of a named line (none from a set-up position)."""
        if self.start is not None:
            return []
        line = self.rng.choice(_OPENINGS)[2].split()
        return line[: self.rng.randint(1, len(line))]

    def play(self) -> PoolGame:
        self.engine.new_game()
        reward = 0
        while not self.board.is_over:
            side = (len(self.actions) + self.first) % 2
            analysis = self.engine.analyse(self.board.save_state(), nodes=self.levels[side][0], multipv=_LINES,
                                           start_fen=self.start, moves=self.ucis)
            if self.actions:
                self.evals.append(_eval_text(analysis.score, side == 0))
            self.scores.append(_centipawns(analysis.score) if analysis.score is not None else 0.0)
            ending = self._players_end(side)
            if ending is not None:
                return self._game(*ending)
            reward = self._move(self._choose(analysis.lines, analysis.action, side))
        self.evals.append("")  # the board ended the game: no eval after the last move
        return self._game(str(self.board.ending), ("1/2-1/2", "1-0", "0-1")[reward])

    def _players_end(self, side: int) -> tuple[str, str | None] | None:
        """How the players end the game in this position, or None when they play on."""
        own = self.scores[-3::-2][:3] if len(self.scores) >= 5 else []
        if len(own) == 3 and max(own) < -self.resign_at and self.scores[-1] < -self.resign_at:
            return "resigned", ("0-1", "1-0")[side]
        quiet = self.scores[-8:]
        if len(self.actions) >= 60 and len(quiet) == 8 and max(map(abs, quiet)) <= 25 and self.rng.random() < 0.05:
            return "agreed", "1/2-1/2"
        if len(self.actions) >= self.cap:
            return "cut", None
        return None

    def _choose(self, lines: Sequence[Any], best: int, side: int) -> int:
        if len(self.actions) < len(self.book):
            return san_to_action(self.board, self.book[len(self.actions)])
        if len(self.actions) < len(self.book) + 2 and self.rng.random() < 0.3:
            legal = self.board.legal_actions()
            return int(legal[self.rng.randrange(len(legal))])
        if not lines:
            return best
        temperature = self.levels[side][1]
        values = [_centipawns(line.score) for line in lines]
        top = max(values)
        weights = [math.exp(max(-50.0, (value - top) / temperature)) for value in values]
        return int(self.rng.choices([line.action for line in lines], weights)[0])

    def _move(self, action: int) -> int:
        """Plays the action; the reward from white's side."""
        self.ucis.append(action_to_uci(self.board, action))
        self.actions.append(action)
        return self.board.step(action)[0]

    def _game(self, ending: str, result: str | None) -> PoolGame:
        return PoolGame(tuple(self.actions), self.start, ending, result, tuple(self.evals), "stockfish")


def make_pool(*, seed: int = 0, stockfish_games: int = STOCKFISH_GAMES, random_games: int = RANDOM_GAMES,
              engine: str | os.PathLike[str] = "stockfish",
              progress: Callable[[str], None] | None = None) -> Pool:
    """Plays the pool: ``stockfish_games`` games of Stockfish against itself (``engine``,
    one thread and a fixed number of nodes a move, so the same seed plays the same games)
    and ``random_games`` games of random legal moves."""
    seed = integer(seed, "seed", 0)
    stockfish_games = integer(stockfish_games, "stockfish_games", 0, 1_000_000)
    random_games = integer(random_games, "random_games", 0, 10_000_000)
    if stockfish_games + random_games == 0:
        raise ValueError("the pool needs at least one game: stockfish_games and random_games are both 0")
    rng = random.Random(f"pool:{seed}")
    games: list[PoolGame] = []
    name = ""
    if stockfish_games:
        path = _find_engine(os.fspath(engine))
        with UciEngine(path, {"Threads": 1, "Hash": 16}, timeout=30.0) as stockfish:
            name = stockfish.name
            for number in range(1, stockfish_games + 1):
                games.append(_EngineGame(stockfish, rng).play())
                if progress is not None and (number % 25 == 0 or number == stockfish_games):
                    progress(f"pool: {number} of {stockfish_games} Stockfish games played")
    games.extend(_random_game(rng) for _ in range(random_games))
    return Pool(tuple(games), seed, stockfish_games, random_games, name)


def _pool_game(number: int, item: object) -> PoolGame:
    if not isinstance(item, dict):
        raise ValueError(f"pool game {number} is a JSON object, not {type(item).__name__}")
    start, actions, evals = item.get("start"), item.get("actions"), item.get("evals")
    ending, result, source = item.get("ending"), item.get("result"), item.get("source", "random")
    if start is not None and not isinstance(start, str):
        raise ValueError(f"pool game {number}: start is a FEN or null")
    if not isinstance(actions, list) or not all(type(action) is int for action in actions):
        raise ValueError(f"pool game {number}: actions is a list of integers")
    if evals is not None and not isinstance(evals, list):
        raise ValueError(f"pool game {number}: evals is a list or null")
    if ending not in _BOARD_ENDINGS + _PLAYER_ENDINGS or result not in (*_RESULTS, None):
        raise ValueError(f"pool game {number}: unknown ending {ending!r} or result {result!r}")
    if source not in ("random", "stockfish"):
        raise ValueError(f"pool game {number}: source is 'random' or 'stockfish', not {source!r}")
    return PoolGame(tuple(actions), start, ending, result, None if evals is None else tuple(evals), source)


def load_pool(path: str | os.PathLike[str]) -> Pool:
    """The pool a ``Pool.save`` wrote, every game replayed and checked (``ValueError``
    naming the first fault)."""
    with open_regular(path, "a pool file", _POOL_LIMIT) as file:
        try:
            data = json.loads(file.read().decode("utf-8"))
        except (UnicodeDecodeError, json.JSONDecodeError) as error:
            raise ValueError(f"{os.fspath(path)!r} is not a pool file: {error}") from None
    if not isinstance(data, dict) or data.get("format") != _POOL_FORMAT or data.get("version") != 1:
        raise ValueError(f"{os.fspath(path)!r} is not a pool file (version 1) of this tool")
    counts = [data.get(key) for key in ("seed", "stockfish_games", "random_games")]
    if not all(type(count) is int and count >= 0 for count in counts) or not isinstance(data.get("games"), list):
        raise ValueError(f"{os.fspath(path)!r} is not a pool file: seed, counts or games missing")
    seed, stockfish_games, random_games = (int(count or 0) for count in counts)
    games = tuple(_pool_game(number, item) for number, item in enumerate(data["games"], 1))
    if not games:
        raise ValueError(f"{os.fspath(path)!r} holds no game")
    return Pool(games, seed, stockfish_games, random_games, str(data.get("engine", "")))


# -- the corpus -------------------------------------------------------------------------


@dataclass(frozen=True)
class CorpusGame:
    """One game of a corpus as written: ``text`` (headers, movetext and the blank line after
    it); ``number``, the game number a reader gives it (a game swallowed by the comment
    left open before it is part of that game); ``malformed``, the fault written into it
    (one of ``"illegal move"``, ``"broken FEN header"``, ``"unclosed comment"``) or None;
    ``swallowed``, whether the game before it left a comment open; ``plies`` of ``source``
    played from its start (all of them unless the game was cut short)."""

    text: str
    number: int
    malformed: str | None
    swallowed: bool
    source: PoolGame
    plies: int

    @property
    def actions(self) -> tuple[int, ...]:
        return self.source.actions[: self.plies]


def _speed(control: str) -> str:
    if control == "-":
        return "Correspondence"
    base, increment = map(int, control.split("+"))
    estimate = base + 40 * increment
    for limit, name in ((30, "UltraBullet"), (180, "Bullet"), (480, "Blitz"), (1500, "Rapid")):
        if estimate < limit:
            return name
    return "Classical"


def _mixed(number: int, salt: int) -> int:
    """A bijection of 0 .. 2**48 - 1 that scatters neighbouring numbers."""
    mask = (1 << 48) - 1
    number = ((number ^ salt) * 0x9E3779B97F4B) & mask
    number ^= number >> 23
    number = (number * 0xC2B2AE3D27D5) & mask
    return number ^ (number >> 29)


def _game_id(index: int, salt: int) -> str:
    """Eight characters, a different string for each index below 62**8: the bijection is
    applied again until it lands below 62**8, which keeps it one (cycle walking)."""
    number = _mixed(index, salt)
    while number >= 62**8:
        number = _mixed(number, salt)
    return "".join(_ALPHABET[number // 62**k % 62] for k in range(8))


def _clocks(rng: np.random.Generator, plies: int, base: int, increment: int) -> list[str]:
    """[%clk] texts after each move: each side's base time, less what it thought, plus increments."""
    mean = (base + 40 * increment) / rng.uniform(30.0, 70.0)
    think = rng.gamma(1.6, mean / 1.6, plies)
    think[:2] = 0.0  # the first move of each side runs no clock
    left = np.empty(plies)
    for side in (0, 1):
        spent = np.cumsum(think[side::2])
        if len(spent) == 0:
            continue
        budget = 0.98 * (base + increment * len(spent))
        if spent[-1] > budget:
            spent *= budget / spent[-1]
        left[side::2] = base + increment * np.arange(1, len(spent) + 1) - spent
    seconds = np.clip(left, 0, _CLOCK_LIMIT).astype(np.int64)
    texts: list[str] = _CLOCK_TEXTS[seconds].tolist()
    return texts


def _broken_fen(rng: random.Random, fen: str) -> str:
    """The FEN with a fault every reader refuses: a rank too long, a letter that is no
    piece, or no side to move."""
    placement, rest = fen.split(" ", 1)
    fault = rng.randrange(3)
    if fault == 0:
        return placement.replace("/", "", 1) + " " + rest
    if fault == 1:
        return placement.replace("k", "x", 1) + " " + rest
    return f"{placement} x {rest.split(' ', 1)[1]}"


class _Composer:
    """Writes the corpus's games one after another from the pool, every choice drawn from
    generators seeded by the corpus's seed."""

    def __init__(self, pool: Pool, seed: int, malformed: float) -> None:
        self.pool = pool
        self.played = pool.played
        # A comment left open ends a mated or stalemated game, and runs into a game of two moves or more.
        self.stuck = [index for index, played in enumerate(self.played) if played.stuck]
        self.long = [index for index, played in enumerate(self.played) if len(played.sans) >= 2]
        self.rng = random.Random(f"corpus:{seed}")
        self.numbers = np.random.default_rng([seed, 7])
        self.malformed = malformed
        self.salt = self.rng.randrange(62**8)
        self.controls = [control for control, _ in _TIME_CONTROLS]
        self.weights = [weight for _, weight in _TIME_CONTROLS]
        self.tournaments = [_game_id(index, self.salt ^ 0x5A5A) for index in range(64)]
        self.clock = float(_EPOCH)
        self.index = 0
        self.number = 0

    def unit(self, last: bool) -> list[CorpusGame]:
        """The next game, or a game that leaves a comment open and the game it swallows."""
        self.number += 1
        kind = None
        if self.rng.random() < self.malformed:
            kinds = _MALFORMED_KINDS if self.stuck and self.long and not last else _MALFORMED_KINDS[:2]
            kind = self.rng.choice(kinds)
        if kind == "unclosed comment":
            first = self._game(self.rng.choice(self.stuck), kind, timed=True)
            return [first, self._game(self.rng.choice(self.long), None, timed=True, swallowed=True)]
        return [self._game(self.rng.randrange(len(self.played)), kind)]

    def _game(self, pick: int, kind: str | None, *, timed: bool = False, swallowed: bool = False) -> CorpusGame:
        played = self.played[pick]
        rng = self.rng
        plies, result, termination = self._outcome(played, whole=kind is not None or swallowed)
        control = rng.choices(self.controls, self.weights)[0]
        while timed and control == "-":
            control = rng.choices(self.controls, self.weights)[0]
        headers = self._headers(played, control, result, termination)
        if kind == "broken FEN header":
            headers = [line for line in headers if not line.startswith(("[FEN ", "[SetUp "))]
            headers += [f'[FEN "{_broken_fen(rng, played.game.start_fen or _START)}"]', '[SetUp "1"]']
        movetext = self._movetext(played, plies, control, result, kind)
        self.index += 1
        text = "\n".join(headers) + "\n\n" + movetext + "\n\n"
        return CorpusGame(text, self.number, kind, swallowed, played.game, plies)

    def _outcome(self, played: _Played, whole: bool) -> tuple[int, str, str]:
        """Plies written, result and Termination: the pool game's own end, or cut short
        (never for a ``whole`` game)."""
        rng, game, total = self.rng, played.game, len(played.sans)
        draw = 1.0 if whole else rng.random()
        if draw < 0.015:
            return 0, rng.choice(("1-0", "0-1", "1-0", "0-1", "1/2-1/2")), "Abandoned"
        if draw < 0.02:
            return rng.randint(0, total), "*", "Unterminated"
        if draw < 0.025:
            return rng.randint(1, total), rng.choice(("1-0", "0-1")), "Rules infraction"
        plies = rng.randint(1, total) if draw < 0.25 else total
        if plies < total:
            return (plies, *self._stopped(played.scores[plies - 1]))
        if game.result is None:
            return (total, *self._stopped(played.scores[-1]))
        if game.ending == "resigned" and rng.random() < 0.25:
            return total, game.result, "Time forfeit"
        return total, game.result, "Normal"

    def _stopped(self, score: float | None) -> tuple[str, str]:
        """Result and Termination of a game stopped while it went on: mostly the side ahead
        wins, by resignation or on time."""
        rng = self.rng
        if score is not None and abs(score) < 0.5 and rng.random() < 0.3:
            return "1/2-1/2", "Normal"
        if score is not None and abs(score) >= 1.5 and rng.random() < 0.9:
            result = "1-0" if score > 0 else "0-1"
        else:
            result = rng.choice(("1-0", "0-1"))
        return result, "Time forfeit" if rng.random() < 0.25 else "Normal"

    def _name(self) -> str:
        rng = self.rng
        if rng.random() < 0.002:
            return rng.choice(_UNICODE_NAMES)
        name = rng.choice(_NAME_STARTS) + rng.choice(_NAME_ENDS)
        tail = rng.random()
        return name + (str(rng.randrange(100)) if tail < 0.4 else str(rng.randrange(1960, 2015)) if tail < 0.55
                       else "")

    def _event(self, speed: str) -> str:
        rng = self.rng
        draw = rng.random()
        if speed != "Correspondence" and draw < 0.08:
            return f"Rated {speed} tournament {SITE}tournament/{rng.choice(self.tournaments)}"
        if speed != "Correspondence" and draw < 0.1:
            return rng.choice(_ARENAS).format(speed)
        return f"{'Casual' if draw > 0.88 else 'Rated'} {speed} game"

    def _headers(self, played: _Played, control: str, result: str, termination: str) -> list[str]:
        rng = self.rng
        speed = _speed(control)
        event = self._event(speed)
        self.clock += rng.expovariate(0.4)  # a month holds about a million games
        moment = time.gmtime(self.clock)
        date = f"{moment.tm_year:04d}.{moment.tm_mon:02d}.{moment.tm_mday:02d}"
        white = min(3200, max(600, round(rng.gauss(1600, 350))))
        black = min(3200, max(600, white + round(rng.gauss(0, 150))))
        lines = [f'[Event "{event}"]', f'[Site "{SITE}{_game_id(self.index, self.salt)}"]', f'[Date "{date}"]',
                 '[Round "-"]', f'[White "{self._name()}"]', f'[Black "{self._name()}"]', f'[Result "{result}"]',
                 f'[UTCDate "{date}"]',
                 f'[UTCTime "{moment.tm_hour:02d}:{moment.tm_min:02d}:{moment.tm_sec:02d}"]',
                 f'[WhiteElo "{white}"]', f'[BlackElo "{black}"]']
        if not event.startswith("Casual") and result != "*":
            lines += _rating_diffs(white, black, result)
        for side in ("White", "Black"):
            if rng.random() < 0.02:
                lines.append(f'[{side}Title "{rng.choice(_TITLES)}"]')
        if played.game.start_fen is not None:
            lines.append('[Variant "From Position"]')
        lines += [f'[ECO "{played.eco}"]', f'[Opening "{played.opening}"]', f'[TimeControl "{control}"]',
                  f'[Termination "{termination}"]']
        if played.game.start_fen is not None:
            lines += [f'[FEN "{played.game.start_fen}"]', '[SetUp "1"]']
        return lines

    def _movetext(self, played: _Played, plies: int, control: str, result: str, kind: str | None) -> str:
        if plies == 0:
            return result
        clocks = None
        if control != "-":
            base, increment = map(int, control.split("+"))
            clocks = _clocks(self.numbers, plies, base, increment)
        evals = played.evals if played.evals is not None and self.rng.random() < 0.5 else None
        heads: Sequence[str] = played.heads[:plies]
        plain: Sequence[str] = played.plain[:plies]
        if kind == "illegal move":
            heads, plain = self._illegal(played, plies, heads, plain)
        if clocks is None and evals is None:
            return " ".join(plain) + " " + result
        if clocks is None:
            assert evals is not None
            comments = [text.rstrip() for text in evals[:plies]]
        elif evals is None:
            comments = clocks
        else:
            comments = [text + clock for text, clock in zip(evals, clocks)]
        parts = [f"{head} {{ {comment} }}" if comment else head for head, comment in zip(heads, comments)]
        if kind == "unclosed comment":
            parts[-1] = parts[-1][:-2]  # the last comment's "}" left out: it runs into the next game
        return " ".join(parts) + " " + result

    def _illegal(self, played: _Played, plies: int, heads: Sequence[str],
                 plain: Sequence[str]) -> tuple[list[str], list[str]]:
        """The moves with one replaced by a well-formed SAN move that is not legal there."""
        ply = self.rng.randrange(plies)
        board = Game(fen=played.game.start_fen)
        for action in played.game.actions[:ply]:
            board.step(action)
        bad = [san for san in _BAD_MOVES if not _legal_san(board, san)]
        san = self.rng.choice(bad)
        known = played.sans[ply]
        bad_heads, bad_plain = list(heads), list(plain)
        bad_heads[ply] = heads[ply][: len(heads[ply]) - len(known)] + san
        bad_plain[ply] = plain[ply][: len(plain[ply]) - len(known)] + san
        return bad_heads, bad_plain


def _legal_san(board: Game, san: str) -> bool:
    try:
        san_to_action(board, san)
    except ValueError:
        return False
    return True


def _rating_diffs(white: int, black: int, result: str) -> list[str]:
    expected = 1 / (1 + 10 ** ((black - white) / 400))
    score = {"1-0": 1.0, "0-1": 0.0, "1/2-1/2": 0.5}[result]
    change = round(20 * (score - expected))
    return [f'[WhiteRatingDiff "{change:+d}"]', f'[BlackRatingDiff "{-change:+d}"]']


def iter_games(pool: Pool, *, seed: int = 0, malformed: float = MALFORMED,
               games: int | None = None) -> Iterator[CorpusGame]:
    """The games of the corpus of ``seed`` from ``pool``, in order: ``games`` of them, or
    without end. A ``malformed`` fraction of them carries a fault (``CorpusGame.malformed``);
    a comment left open is never the last of ``games``."""
    seed = integer(seed, "seed", 0)
    fraction = real(malformed, "malformed", 0.0)
    if fraction > 1:
        raise ValueError(f"malformed is a fraction in 0 .. 1, not {malformed!r}")
    count = None if games is None else integer(games, "games", 0)
    composer = _Composer(pool, seed, fraction)
    written = 0
    while count is None or written < count:
        unit = composer.unit(last=count is not None and count - written < 2)
        written += len(unit)
        yield from unit


# -- writing ----------------------------------------------------------------------------


@dataclass(frozen=True)
class CorpusInfo:
    """What ``write_corpus`` wrote: ``games`` in ``bytes`` of PGN (before compression), the
    ``(game number, fault)`` of each malformed game as a reader numbers them, the games
    ``swallowed`` by a comment left open, the pool used and the seconds it took (pool included)."""

    games: int
    bytes: int
    malformed: tuple[tuple[int, str], ...]
    swallowed: int
    pool: Pool
    seconds: float


_SIZE = re.compile(r"([0-9]+(?:\.[0-9]+)?)\s*([KMGT]?)(?:i?B)?", re.IGNORECASE)
_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}


def parse_size(text: str) -> int:
    """Bytes of a size such as ``"2G"``, ``"500M"``, ``"64KiB"`` or ``"1000"`` (K, M, G and T
    are powers of 1024)."""
    match = _SIZE.fullmatch(text.strip())
    if match is None:
        raise ValueError(f"{text!r} is not a size: a number with an optional K, M, G or T (powers of 1024)")
    size = int(float(match.group(1)) * _UNITS[match.group(2).upper()])
    if size < 1:
        raise ValueError(f"a size is at least 1 byte, not {text!r}")
    return size


def _compression_level(level: object) -> int:
    low, high = zstd.CompressionParameter.compression_level.bounds()
    return integer(level, "level", max(low, -7), high)


def _write_games(stream: IO[bytes], games: Iterator[CorpusGame],
                 size: int | None) -> tuple[int, int, list[tuple[int, str]], int]:
    """Writes games until they run out or ``size`` bytes are written, never stopping on a
    comment left open; returns the games, the bytes, the malformed games and the swallowed."""
    count = written = swallowed = 0
    malformed: list[tuple[int, str]] = []
    chunk: list[bytes] = []
    pending = 0
    for game in games:
        data = game.text.encode("utf-8")
        chunk.append(data)
        pending += len(data)
        count, written = count + 1, written + len(data)
        swallowed += game.swallowed
        if game.malformed is not None:
            malformed.append((game.number, game.malformed))
        if pending >= 1 << 20:
            stream.write(b"".join(chunk))
            chunk, pending = [], 0
        if size is not None and written >= size and game.malformed != "unclosed comment":
            break
    stream.write(b"".join(chunk))
    return count, written, malformed, swallowed


def _output_name(path: str | os.PathLike[str]) -> str:
    """The output's name, once its folder is known to exist (before minutes of playing the pool)."""
    name = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(name))
    if name != "-" and not os.path.isdir(folder):
        raise FileNotFoundError(f"no folder {folder!r} to write {name!r} in")
    return name


def write_corpus(path: str | os.PathLike[str], *, games: int | None = None, size: int | None = None, seed: int = 0,
                 pool: Pool | None = None, stockfish_games: int = STOCKFISH_GAMES, random_games: int = RANDOM_GAMES,
                 malformed: float = MALFORMED, level: int = LEVEL, engine: str | os.PathLike[str] = "stockfish",
                 progress: Callable[[str], None] | None = None) -> CorpusInfo:
    """Writes a corpus of ``games`` games, or of games until ``size`` bytes of PGN (the last
    game crossing it), to ``path`` (``"-"``: standard output; a name ending in ``.zst``:
    Zstandard at ``level``). The games come from ``pool``, or from a pool played here with
    ``make_pool(seed=seed, stockfish_games=..., random_games=..., engine=...)``. A file is
    written through a temporary file renamed into place: a failure leaves no partial file."""
    begun = time.monotonic()
    if (games is None) == (size is None):
        raise ValueError("give either games or size")
    count = None if games is None else integer(games, "games", 0)
    limit = None if size is None else integer(size, "size", 1)
    seed = integer(seed, "seed", 0)
    fraction = real(malformed, "malformed", 0.0)
    if fraction > 1:
        raise ValueError(f"malformed is a fraction in 0 .. 1, not {malformed!r}")
    level = _compression_level(level)
    name = _output_name(path)
    compressed = name.endswith(".zst")
    if pool is None:
        pool = make_pool(seed=seed, stockfish_games=stockfish_games, random_games=random_games, engine=engine,
                         progress=progress)
    stream_games = iter_games(pool, seed=seed, malformed=fraction, games=count)
    totals: list[Any] = []

    def write(target: str | IO[bytes]) -> None:
        raw = open(target, "wb") if isinstance(target, str) else target
        try:
            sink: IO[bytes] = zstd.ZstdFile(raw, "wb", level=level) if compressed else raw  # type: ignore[assignment]
            try:
                totals.extend(_write_games(sink, stream_games, limit))
            finally:
                if sink is not raw:
                    sink.close()
        finally:
            if raw is not target:
                raw.close()
            else:
                raw.flush()

    if name == "-":
        write(sys.stdout.buffer)
    else:
        replace_atomically(name, write)
    written, size_written, faults, swallowed = totals
    return CorpusInfo(written, size_written, tuple(faults), swallowed, pool, time.monotonic() - begun)


# -- the command line -------------------------------------------------------------------


def _argument(convert: Callable[[str], Any], what: str) -> Callable[[str], Any]:
    def read(text: str) -> Any:
        try:
            return convert(text)
        except ValueError as error:
            raise argparse.ArgumentTypeError(f"{what}: {error}") from None
    read.__name__ = what
    return read


def _count(low: int) -> Callable[[str], int]:
    def read(text: str) -> int:
        number = whole(text)
        if number < low:
            raise ValueError(f"{number} is below {low}")
        return number
    return read


def _fraction(text: str) -> float:
    number = float(text)
    if not 0 <= number <= 1:
        raise ValueError(f"{text} is not in 0 .. 1")
    return number


def _parser() -> Parser:
    parser = Parser(prog="pgn_corpus.py", description=__doc__.split("\n\n")[0].rstrip(":") + ".",
                    epilog="\n\n".join(__doc__.split("\n\n")[2:]), formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("output", help="the file to write (.zst: compressed), or - for standard output")
    amount = parser.add_mutually_exclusive_group(required=True)
    amount.add_argument("--games", metavar="N", type=_argument(_count(0), "a count"), help="games to write")
    amount.add_argument("--size", type=_argument(parse_size, "a size"),
                        help="bytes of PGN to write before compression, as 2G or 500M (powers of 1024; the last "
                             "game crosses it)")
    parser.add_argument("--seed", metavar="N", type=_argument(_count(0), "a seed"), default=0,
                        help="seed of the pool and of the corpus (0)")
    parser.add_argument("--pool", metavar="FILE", help="read the pool from FILE, or play it and save it there")
    parser.add_argument("--stockfish-games", metavar="N", type=_argument(_count(0), "a count"), default=STOCKFISH_GAMES,
                        help=f"Stockfish games in the pool ({STOCKFISH_GAMES})")
    parser.add_argument("--random-games", metavar="N", type=_argument(_count(0), "a count"), default=RANDOM_GAMES,
                        help=f"random games in the pool ({RANDOM_GAMES})")
    parser.add_argument("--malformed", metavar="FRACTION", type=_argument(_fraction, "a fraction"), default=MALFORMED,
                        help=f"fraction of malformed games ({MALFORMED})")
    parser.add_argument("--level", type=_argument(whole, "a level"), default=LEVEL,
                        help=f"Zstandard level of a .zst output ({LEVEL})")
    parser.add_argument("--engine", metavar="PATH", default="stockfish", help="the UCI engine of the pool (stockfish)")
    return parser


def _pool(args: argparse.Namespace) -> Pool:
    """The pool the arguments name: read from --pool when that file exists, else played (and saved there)."""
    if args.pool is not None and os.path.exists(args.pool):
        pool = load_pool(args.pool)
        given = (args.seed, args.stockfish_games, args.random_games)
        if (pool.seed, pool.stockfish_games, pool.random_games) != given:
            raise ValueError(f"{args.pool!r} holds the pool of seed {pool.seed} with {pool.stockfish_games} "
                             f"Stockfish and {pool.random_games} random games, not of seed {given[0]} with "
                             f"{given[1]} and {given[2]}: name another file")
        return pool
    if args.pool is not None and not os.path.isdir(os.path.dirname(os.path.abspath(args.pool))):
        raise FileNotFoundError(f"no folder to write the pool file {args.pool!r} in")
    pool = make_pool(seed=args.seed, stockfish_games=args.stockfish_games, random_games=args.random_games,
                     engine=args.engine, progress=_say)
    if args.pool is not None:
        pool.save(args.pool)
    return pool


def _say(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        _compression_level(args.level)
        _output_name(args.output)
        if args.stockfish_games + args.random_games == 0:
            raise ValueError("the pool needs at least one game: --stockfish-games and --random-games are both 0")
        begun = time.monotonic()
        pool = _pool(args)
        played = time.monotonic() - begun
        info = write_corpus(args.output, games=args.games, size=args.size, seed=args.seed, pool=pool,
                            malformed=args.malformed, level=args.level)
    except (ValueError, TypeError, OSError, EngineError) as error:
        print(f"{parser.prog}: error: {one_line(error)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{parser.prog}: interrupted; nothing written", file=sys.stderr)
        return 130
    megabytes = info.bytes / 1e6
    _say(f"{info.games} games ({len(info.malformed)} malformed, {info.swallowed} swallowed by them), "
         f"{megabytes:.1f} MB of PGN in {info.seconds:.1f} s ({megabytes / max(info.seconds, 1e-9):.1f} MB/s); "
         f"pool of {pool.stockfish_games} Stockfish and {pool.random_games} random games ready in {played:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
