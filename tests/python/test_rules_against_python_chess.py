"""vantor_gym's chess rules against python-chess's, position by position over random games:
under rules="standard" and rules="automatic" every position's FEN text, its clock and
repetition planes and its legal moves, and the ply at which each game ends, why, and who
won. And the module's rules still play as vantor.Vantor does where repetitions abound.

The games are random but leaning: some sides mostly take their last move back, so that
positions come round again, some mostly avoid pawn moves and captures, so that the clock
runs out; and some start from positions made for one rule (an en-passant square that
cannot be taken, castling rights about to be lost, a clock one move from its limit).
"""

from __future__ import annotations

import os
import random
from collections import Counter
from dataclasses import dataclass, field

import numpy as np
import pytest

import vantor
from conftest import SANITIZED
from vantor_gym import _native
from vantor_gym.game import GOES_ON, TERMINATED, Game

chess = pytest.importorskip("chess")

# Positions compared under each of the two rule sets.
POSITIONS = int(os.environ.get("VANTOR_RULES_POSITIONS", 5_000 if SANITIZED else 100_000))
MODULE_PLIES = int(os.environ.get("VANTOR_RULES_MODULE_PLIES", 1_000 if SANITIZED else 6_000))
RULES = ("standard", "automatic")
CHESS_ENDINGS = {
    "standard": {"checkmate", "stalemate", "insufficient_material", "fifty_moves", "repetition"},
    "automatic": {"checkmate", "stalemate", "insufficient_material", "seventyfive_moves", "fivefold_repetition"},
}
# A position's occurrences before this one are counted by a dict of python-chess's
# position keys (its is_repetition replays the game, far too slow for every ply); every
# REPLAY_EVERY-th position, and every position that occurred before at every
# REPLAY_REPEATED-th, is_repetition confirms the count.
REPLAY_EVERY = 97
REPLAY_REPEATED = 5


@dataclass(frozen=True)
class Style:
    """How a side picks its moves: with probability `undo` it takes back its own last move
    when it can, then with probability `quiet` it plays no pawn move or capture, else any."""

    undo: float = 0.0
    quiet: float = 0.0


RANDOM, SHUFFLE, SLOW, QUIET = Style(), Style(undo=0.9), Style(undo=0.25, quiet=0.8), Style(quiet=0.97)


@dataclass(frozen=True)
class Start:
    """A game's start: its FEN, moves played first (each must be legal), the style after."""

    fen: str
    style: Style = RANDOM
    moves: tuple[str, ...] = ()


def shuffles(*moves: str, times: int = 2) -> tuple[str, ...]:
    """Moves played there and back `times` times over."""
    return tuple(moves) * times


STARTS = [
    Start(chess.STARTING_FEN, RANDOM),
    Start(chess.STARTING_FEN, SHUFFLE),
    Start(chess.STARTING_FEN, SLOW),
    Start(chess.STARTING_FEN, QUIET),
    # An en-passant square with no pawn to take on it is no part of the position, so the
    # start comes round a third time after two rounds of knight moves.
    Start("rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 1", SHUFFLE,
          shuffles("g8f6", "g1f3", "f6g8", "f3g1")),
    # A capture en passant that can be played is: the start counts apart from what follows.
    Start("rnbqkbnr/ppp1pppp/8/8/3pP3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 3", SHUFFLE,
          shuffles("g8f6", "g1f3", "f6g8", "f3g1", times=3)),
    Start("rnbqkbnr/ppp1pppp/8/8/3pP3/8/PPPP1PPP/RNBQKBNR b KQkq e3 0 3", SLOW),
    # En passant that would bare the king along the rank, or along a diagonal, or leave a
    # check standing; and one that takes the checking pawn.
    Start("8/8/8/KPp4r/8/6R1/3N4/4k3 w - c6 0 40", SHUFFLE, shuffles("d2b3", "e1e2", "b3d2", "e2e1")),
    Start("4k3/6b1/8/3pP3/8/2K5/8/1N5r w - d6 0 30", SHUFFLE),
    Start("4k3/r6K/8/3pP3/8/8/8/8 w - d6 0 30", SLOW),
    Start("4k3/8/8/3pP3/4K3/8/8/8 w - d6 0 30", RANDOM),
    # Castling rights lost by rook moves that come back: only what follows repeats.
    Start("r3k2r/pppppppp/8/8/8/8/PPPPPPPP/R3K2R w KQkq - 0 1", SHUFFLE,
          shuffles("h1g1", "h8g8", "g1h1", "g8h8", times=3)),
    Start("r3k2r/p6p/8/8/8/8/P6P/R3K2R b KQkq - 0 1", SLOW),
    # Few pieces: mates, stalemates, and captures that leave too little to mate with.
    Start("8/8/4k3/8/8/3K4/6R1/8 w - - 0 60", RANDOM),
    Start("8/8/4k3/8/8/3K4/6Q1/8 b - - 0 60", SLOW),
    Start("8/8/4k3/8/8/3K4/4BN2/8 w - - 0 1", RANDOM),
    Start("8/3k4/8/8/8/3K4/4NN2/8 w - - 0 1", QUIET),
    Start("8/3kb3/8/8/8/3K4/4B3/8 w - - 0 1", RANDOM),
    Start("8/8/4k3/8/3P4/3K4/8/8 w - - 0 1", RANDOM),
    Start("8/2n5/4k3/8/8/3K4/6R1/8 b - - 0 50", SLOW),
    # Clocks near the limits: a mate or a stalemate on the move that reaches the limit is
    # a mate or a stalemate.
    Start("8/8/4k3/8/8/3K4/6R1/8 w - - 97 60", RANDOM),
    Start("r3k3/8/8/8/8/8/8/4K2R w Kq - 95 70", QUIET),
    Start("7k/8/6K1/8/8/8/8/5Q2 w - - 99 80", RANDOM, ("f1f8",)),
    Start("7k/8/6K1/8/8/8/5Q2/8 w - - 99 80", RANDOM, ("f2f7",)),
    Start("7k/8/6K1/8/8/8/8/5Q2 w - - 149 120", RANDOM, ("f1f8",)),
    Start("7k/8/6K1/8/8/8/5Q2/8 w - - 149 120", RANDOM, ("f2f7",)),
    Start("8/8/4k3/8/8/3K4/6R1/8 w - - 145 90", SLOW),
    Start("r3k3/8/8/8/8/8/8/4K2R w Kq - 120 70", SHUFFLE),
]


@dataclass
class Tally:
    """Positions compared and endings met by rules; replays of python-chess's count."""

    positions: Counter = field(default_factory=Counter)
    endings: Counter = field(default_factory=Counter)
    replays: int = 0
    legal_en_passant: int = 0


def standard_ending(board: chess.Board, earlier: int) -> tuple[str | None, int]:
    """The standard rules' ending of the position and the winner from white's side, by
    python-chess's own tests in their order; the third occurrence as is_repetition(3)."""
    if board.is_checkmate():
        return "checkmate", -1 if board.turn == chess.WHITE else 1
    if board.is_insufficient_material():
        return "insufficient_material", 0
    if board.is_stalemate():
        return "stalemate", 0
    if board.is_fifty_moves():
        return "fifty_moves", 0
    if earlier >= 2:
        # Reached once a game at most, so python-chess's own replay confirms it every time.
        assert board.is_repetition(3), board.fen()
        return "repetition", 0
    return None, 0


TERMINATIONS = {
    chess.Termination.CHECKMATE: "checkmate",
    chess.Termination.STALEMATE: "stalemate",
    chess.Termination.INSUFFICIENT_MATERIAL: "insufficient_material",
    chess.Termination.SEVENTYFIVE_MOVES: "seventyfive_moves",
    chess.Termination.FIVEFOLD_REPETITION: "fivefold_repetition",
}
WINNERS = {chess.WHITE: 1, chess.BLACK: -1, None: 0}


def automatic_ending(board: chess.Board) -> tuple[str | None, int]:
    """python-chess's own end of a game without claims, and its winner from white's side."""
    outcome = board.outcome()
    if outcome is None:
        return None, 0
    return TERMINATIONS[outcome.termination], WINNERS[outcome.winner]


class Reference:
    """The game on python-chess's board, with each position's earlier occurrences and the
    repetition planes that eight history slots should show for them."""

    def __init__(self, fen: str) -> None:
        self.start = fen
        self.board = chess.Board(fen)
        self.seen: Counter = Counter()
        # (white-to-move plane, black-to-move plane) of each slot, newest first.
        self.slots: list[tuple[int, int]] = []
        self.earlier = 0
        self._record()

    def _record(self) -> None:
        key = self.board._transposition_key()
        self.seen[key] += 1
        previous = self.earlier if self.slots else 0
        self.earlier = self.seen[key] - 1
        # A slot shows its own position's value on the plane of the side to move in it
        # and the value of the position before it on the other.
        pair = (self.earlier, previous) if self.board.turn == chess.WHITE else (previous, self.earlier)
        self.slots = [pair, *self.slots[:7]]

    def push(self, move: chess.Move) -> None:
        self.board.push(move)
        self._record()

    def repetition_planes(self) -> np.ndarray:
        planes = np.zeros((8, 2), np.int32)
        planes[: len(self.slots)] = self.slots
        return planes

    def confirm_count(self) -> None:
        """python-chess's replay agrees that the position occurred exactly earlier + 1 times."""
        board, count = self.board, self.earlier + 1
        assert board.is_repetition(count) and not board.is_repetition(count + 1), (board.fen(), self.earlier)


def where(game: Game, ref: Reference) -> str:
    """The game's rules, start and moves, for a failure's message (built only then)."""
    return f"{game.rules}: {ref.start} then {' '.join(move.uci() for move in ref.board.move_stack)}"


def check_position(game: Game, ref: Reference, fen: str, moves: set[str]) -> dict[str, int]:
    """FEN text, clock plane, repetition planes and legal moves (as UCI text) of the
    game's position against the reference's; returns the game's actions by UCI text."""
    check_planes(game, ref, fen)
    actions = {uci: action for action, uci, _ in _native.legal_moves(game.save_state())}
    assert actions.keys() == moves, where(game, ref)
    return actions


def check_planes(game: Game, ref: Reference, fen: str) -> None:
    """FEN text, clock plane and repetition planes of the game's position."""
    assert game.fen() == fen, where(game, ref)
    planes = game.observation()
    assert (planes[118] == ref.board.halfmove_clock).all(), where(game, ref)
    expected = ref.repetition_planes()
    for side in (0, 1):
        shown = planes[12 + side:112:14]
        assert (shown == expected[:, side, None, None]).all(), (where(game, ref), side, shown[:, 0, 0].tolist(),
                                                                 expected.tolist())


def choose(board: chess.Board, legal: list[chess.Move], style: Style, rng: random.Random) -> chess.Move:
    """The side to move's next move, as its style leans."""
    if len(board.move_stack) >= 2 and rng.random() < style.undo:
        last = board.move_stack[-2]
        back = chess.Move(last.to_square, last.from_square)
        if back in legal:
            return back
    if rng.random() < style.quiet:
        quiet = [move for move in legal if not board.is_zeroing(move)]
        if quiet:
            return rng.choice(quiet)
    return rng.choice(legal)


def play(start: Start, rules: list[str], rng: random.Random, tally: Tally) -> None:
    """One game on python-chess's board and on a Game for each of `rules`, compared at
    every position until each Game has ended where python-chess says it ends."""
    ref = Reference(start.fen)
    games = {name: Game(start.fen, rules=name) for name in rules}
    while games:
        board, ply = ref.board, len(ref.board.move_stack)
        legal = list(board.legal_moves)
        actions = compare_position(list(games.values()), ref, legal, tally)
        if ref.earlier and ply % REPLAY_REPEATED == 0 or ply % REPLAY_EVERY == 0:
            tally.replays += 1
            ref.confirm_count()
        scripted = ply < len(start.moves)
        move = chess.Move.from_uci(start.moves[ply]) if scripted else choose(board, legal, start.style, rng)
        assert move in legal, (start, move)
        ref.push(move)
        ended = [name for name in games if step_ended(games[name], ref, actions[move.uci()], tally)]
        for name in ended:
            del games[name]
        # The automatic rules' game goes on past the standard rules' end only when its
        # count lags, so that the positions python-chess plays serve both counts.
        if "standard" in ended and "automatic" in games and tally.positions["automatic"] > tally.positions["standard"]:
            del games["automatic"]


def compare_position(games: list[Game], ref: Reference, legal: list[chess.Move], tally: Tally) -> dict[str, int]:
    """Every game's position against the reference's; returns the actions by UCI text.
    Legal moves do not depend on the rules, so the first game's are compared and each
    game's legal actions must be those."""
    fen = ref.board.fen()
    actions = check_position(games[0], ref, fen, {move.uci() for move in legal})
    numbers = sorted(actions.values())
    for game in games:
        if game is not games[0]:
            check_planes(game, ref, fen)
        assert game.legal_actions().tolist() == numbers, where(game, ref)
        tally.positions[game.rules] += 1
    tally.legal_en_passant += ref.board.has_legal_en_passant()
    return actions


def step_ended(game: Game, ref: Reference, action: int, tally: Tally) -> bool:
    """Steps the game into the reference's position; whether it ends there, as the
    reference's rules say, with their reward (its last position is compared then)."""
    reward, end = game.step(action)
    if game.rules == "standard":
        ending, winner = standard_ending(ref.board, ref.earlier)
    else:
        ending, winner = automatic_ending(ref.board)
    expected = (ending, winner, GOES_ON if ending is None else TERMINATED, ending is not None)
    assert (game.ending, reward, end, game.is_over) == expected, where(game, ref)
    if ending is not None:
        check_position(game, ref, ref.board.fen(), {move.uci() for move in ref.board.legal_moves})
        tally.positions[game.rules] += 1
        tally.endings[game.rules, ending] += 1
    return ending is not None


def test_games_end_as_python_chess_ends_them():
    rng = random.Random(20251210)
    tally = Tally()
    number = 0
    while min(tally.positions[name] for name in RULES) < POSITIONS:
        start = STARTS[number % len(STARTS)]
        number += 1
        clock = int(start.fen.split()[4])
        # A rule set whose count is reached plays no more; a start's clock may be past
        # the standard rules' limit.
        rules = [name for name in RULES if tally.positions[name] < POSITIONS
                 and (name == "automatic" or clock < 100)]
        if rules:
            play(start, rules, rng, tally)
    print(f"positions {dict(tally.positions)}, replays {tally.replays}, games {number}, "
          f"legal en passant {tally.legal_en_passant}, endings {sorted(tally.endings.items())}")
    assert all(tally.positions[name] >= POSITIONS for name in RULES)
    minimum = 5 if POSITIONS >= 100_000 else 1
    for name in RULES:
        counts = {ending: tally.endings[name, ending] for ending in CHESS_ENDINGS[name]}
        assert min(counts.values()) >= minimum, (name, counts)
    assert tally.legal_en_passant >= minimum


def test_module_rules_repeat_as_the_module_does():
    """Where the leaning games repeat positions, a Game under the module's rules is
    vantor.Vantor's move for move: the same rewards, ends and positions, and draws by its
    repetitions and its fifty half-moves."""
    rng = random.Random(7)
    endings: Counter = Counter()
    plies = 0
    while plies < MODULE_PLIES:
        style = (SHUFFLE, SLOW, QUIET)[sum(endings.values()) % 3]
        board, game, env = chess.Board(), Game(rules="module", observation="module"), vantor.Vantor()
        env.reset()
        while True:
            actions = {uci: action for action, uci, _ in _native.legal_moves(game.save_state())}
            legal = list(board.legal_moves)
            assert actions.keys() == {move.uci() for move in legal}
            move = choose(board, legal, style, rng)
            board.push(move)
            reward, end = game.step(actions[move.uci()])
            _, observation, want_reward, done = env.step(actions[move.uci()])
            plies += 1
            assert (reward, end, game.hash_state()) == (want_reward, int(done), env.hash_state()), board.fen()
            if done:
                assert np.array_equal(game.observation(), np.asarray(observation, np.int32).reshape(119, 8, 8))
                endings[game.ending] += 1
                break
    assert endings["repetition"] >= 1 and endings["fifty_moves"] >= 1, endings
