"""Finished games in the tree prove positions: mates found and forced, lost and drawn roots
reported exactly, losing moves never chosen. Checked move by move with python-chess."""

from __future__ import annotations

import chess
import numpy as np
import pytest

import vantor
from conftest import SANITIZED
from vantor_gym import BatchEnv
from vantor_gym.notation import fen, uci_to_action
from vantor_gym.search import Search

from test_search import forces_mate_in_two, mates_now  # noqa: E402

ACTIONS = 4672

# Sparse positions with a forced mate in 2 and none in 1, drawn at random and kept when
# python-chess's brute force agreed; the last eight are mirrored, so black mates.
WHITE_MATES_IN_TWO = [
    "2k5/8/7Q/8/8/6B1/8/7K w - - 0 1",
    "8/8/8/1Q6/8/K7/8/2k5 w - - 0 1",
    "8/8/1RK4R/8/8/k7/8/8 w - - 0 1",
    "8/8/8/5K2/8/8/6k1/3R3R w - - 0 1",
    "2R5/1N6/8/8/8/4K3/8/3k2B1 w - - 0 1",
    "2Q4B/8/7k/8/8/4K3/8/8 w - - 0 1",
    "8/8/8/1K6/5p1k/4R3/8/6R1 w - - 0 1",
    "3R2R1/8/8/1K6/8/8/7k/8 w - - 0 1",
    "8/7k/1Q6/7N/8/1b6/8/4K3 w - - 0 1",
    "6k1/1K6/8/5R2/1R6/8/8/8 w - - 0 1",
    "8/8/8/8/2Q2K2/7B/8/6k1 w - - 0 1",
    "k7/3K4/5Q2/8/8/8/8/8 w - - 0 1",
    "8/8/8/8/3k2K1/1R6/8/2R5 w - - 0 1",
    "3k4/8/4K3/8/8/8/8/Q6N w - - 0 1",
    "6k1/8/3R4/8/8/8/7R/6K1 w - - 0 1",
    "2B5/8/1K6/8/8/6Q1/8/k7 w - - 0 1",
]
MIRRORED = [
    "8/8/R7/5K2/8/7k/3R4/8 w - - 0 1",
    "2R5/8/7K/3R4/8/8/k7/8 w - - 0 1",
    "8/8/8/QB6/8/5K2/8/6k1 w - - 0 1",
    "5R2/2R5/8/8/8/8/6K1/4k3 w - - 0 1",
    "4B3/2Q5/7k/5K2/8/8/8/8 w - - 0 1",
    "2k5/4R3/5K2/8/8/5R2/8/8 w - - 0 1",
    "4k3/7K/8/8/5R2/R7/8/8 w - - 0 1",
    "8/3b1Q2/3b3k/8/8/8/1B6/5K2 w - - 0 1",
]
MATES_IN_TWO = WHITE_MATES_IN_TWO + [chess.Board(f).mirror().fen() for f in MIRRORED]

# Black to move, and every move lets white mate at once.
EVERY_MOVE_LOSES = [
    "8/Q6k/2R5/8/2K5/8/8/8 b - - 0 1",
    "8/5Q2/8/8/8/7R/4K3/7k b - - 0 1",
    "4k3/7K/8/8/3R4/4Q3/8/8 b - - 0 1",
    "8/8/3Q4/8/7k/4K3/6R1/8 b - - 0 1",
]

MATE_IN_TWO_SIMULATIONS = 2000


def games_from(fens: list[str]) -> BatchEnv:
    games = BatchEnv(len(fens), autoreset="disabled")
    games.reset(fens=fens)
    return games


def move_of(games: BatchEnv, game: int, text: str, action: int) -> chess.Move:
    """The python-chess move an action plays, read back from the placement it reaches, so
    a wrong action number cannot pass for the right move."""
    env = vantor.Vantor()
    env.restore_state(games.save_state(game))
    env.step(int(action))
    reached = fen(env).split()[0]
    board = chess.Board(text)
    played = []
    for move in board.legal_moves:
        board.push(move)
        if board.board_fen() == reached:
            played.append(move)
        board.pop()
    assert len(played) == 1, f"{text}: action {action} is no legal move"
    return played[0]


def test_the_positions_are_mates_in_two_for_both_colours():
    assert {chess.Board(f).turn for f in MATES_IN_TWO} == {chess.WHITE, chess.BLACK}
    for text in MATES_IN_TWO:
        board = chess.Board(text)
        assert not mates_now(board) and any(forces_mate_in_two(board, m) for m in board.legal_moves), text


def test_every_mate_in_two_is_proven_and_forced():
    fens = MATES_IN_TWO[:6] if SANITIZED else MATES_IN_TWO
    games = games_from(fens)
    try:
        search = Search(len(fens), "roll_out", simulations=MATE_IN_TWO_SIMULATIONS, dirichlet_fraction=0.0,
                        seed=11, threads=2)
        result = search.run(games)
        unproven = [fens[g] for g in range(len(fens)) if not result.proven[g]]
        assert not unproven, f"no proof within {MATE_IN_TWO_SIMULATIONS} simulations: {unproven}"
        assert (result.values == 1.0).all()
        # The simulations left after the proof go to the mating move.
        assert (result.simulations == MATE_IN_TWO_SIMULATIONS).all()
        for game, text in enumerate(fens):
            move = move_of(games, game, text, result.actions[game])
            assert forces_mate_in_two(chess.Board(text), move), f"{text}: chose {move.uci()}, which does not force mate"
        # The same search sampling at a temperature plays the same proven wins.
        again = Search(len(fens), "roll_out", simulations=MATE_IN_TWO_SIMULATIONS, dirichlet_fraction=0.0, seed=11,
                       threads=1)
        sampled = again.run(games, temperature=1.0)
        assert np.array_equal(sampled.actions, result.actions) and np.array_equal(sampled.visits, result.visits)
    finally:
        games.close()


def test_a_kept_subtree_keeps_its_proofs_through_the_mate():
    # The first test's search, whose first moves are checked mates in 2.
    fens = MATES_IN_TWO[:6] if SANITIZED else MATES_IN_TWO
    games = games_from(fens)
    boards = [chess.Board(f) for f in fens]
    try:
        search = Search(len(fens), "roll_out", simulations=MATE_IN_TWO_SIMULATIONS, dirichlet_fraction=0.0, seed=11)
        for ply, expected in enumerate([1.0, -1.0, 1.0]):
            result = search.run(games, temperature=1.0)
            assert result.proven.all() and (result.values == expected).all(), f"ply {ply}"
            for game, board in enumerate(boards):
                board.push(move_of(games, game, board.fen(), result.actions[game]))
            games.step(result.actions)
            search.advance(result.actions)
        assert all(board.is_checkmate() for board in boards)
        # The ended games are proven roots too.
        assert search.run(games).proven.all()
    finally:
        games.close()


def test_a_mate_at_once_is_preferred_to_a_slower_mate():
    # Qa7 and Qg8 mate now; many queen moves mate a move later, and one of those may be
    # proven first.
    text = "k7/8/1K6/8/8/8/8/6Q1 w - - 0 1"
    games = games_from([text])
    try:
        for seed in range(2 if SANITIZED else 6):
            result = Search(1, "roll_out", simulations=1500, dirichlet_fraction=0.0, seed=seed).run(games)
            assert result.proven[0] and result.values[0] == 1.0
            board = chess.Board(text)
            move = move_of(games, 0, text, result.actions[0])
            board.push(move)
            assert board.is_checkmate(), f"seed {seed}: chose {move.uci()}, not a mate at once"
    finally:
        games.close()


# A mate in 2 is proven within a few hundred simulations, before the search has tried the
# one mate at once (castling queenside): the search must go on past that proof to find it.
MATE_AT_ONCE_BEHIND_A_PROVEN_MATE = [
    "r3k2r/8/3K4/1q6/8/1r6/4r3/8 b kq - 0 1",
    "8/8/8/8/5Q2/3k4/2R5/R3K2R w KQ - 0 1",
]


@pytest.mark.parametrize("text", MATE_AT_ONCE_BEHIND_A_PROVEN_MATE)
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_a_proven_won_root_searches_on_for_a_mate_at_once(text, seed):
    board = chess.Board(text)
    mates = [m for m in board.legal_moves if board.san(m).endswith("#")]
    assert len(mates) == 1 and board.is_castling(mates[0])
    games = games_from([text])
    try:
        result = Search(1, "roll_out", simulations=MATE_IN_TWO_SIMULATIONS, seed=seed).run(games)
        assert result.proven[0] and result.values[0] == 1.0
        move = move_of(games, 0, text, result.actions[0])
        board.push(move)
        assert board.is_checkmate(), f"seed {seed}: chose {move.uci()}, not the mate at once"
    finally:
        games.close()


def test_a_root_whose_every_move_allows_mate_is_proven_lost():
    games = games_from(EVERY_MOVE_LOSES)
    try:
        for text in EVERY_MOVE_LOSES:
            board = chess.Board(text)
            for move in board.legal_moves:
                board.push(move)
                assert mates_now(board), f"{text}: {move.uci()} does not lose at once"
                board.pop()
        result = Search(len(EVERY_MOVE_LOSES), "roll_out", simulations=1500, seed=5).run(games)
        assert result.proven.all() and (result.values == -1.0).all()
        # A lost root still plays on: every action is a legal move.
        for game, text in enumerate(EVERY_MOVE_LOSES):
            move_of(games, game, text, result.actions[game])
    finally:
        games.close()


def forced_positions() -> list[str]:
    """The positions after each forcing move of the random-game set that leaves four
    replies or fewer, every one of which allows a mate in one."""
    found = []
    for text, moves in random_game_mates():
        board = chess.Board(text)
        for move in moves.split():
            board.push_uci(move)
            if board.legal_moves.count() <= 4:
                found.append(board.fen())
            board.pop()
    return found


def uniform(observations: np.ndarray, masks: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    return np.zeros(masks.shape, np.float32), np.zeros(len(masks), np.float32)


@pytest.mark.parametrize("evaluator", ["roll_out", uniform])
def test_few_replies_that_each_allow_a_mate_are_proven_lost_at_the_first_simulation(evaluator):
    texts = forced_positions()
    assert len(texts) >= 10
    games = games_from(texts)
    try:
        result = Search(len(texts), evaluator, simulations=1, seed=3).run(games)
        assert result.proven.all() and (result.values == -1.0).all()
    finally:
        games.close()


def first_row_evaluator(root_logits: np.ndarray):
    """Root priors from root_logits, uniform priors below, values 0."""
    calls = [0]

    def evaluator(observations: np.ndarray, masks: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        logits = np.zeros(masks.shape, np.float32)
        if calls[0] == 0:
            logits[0] = root_logits
        calls[0] += 1
        return logits, np.zeros(len(masks), np.float32)

    return evaluator


# White to move: Ra1 loses to Rxa1 mate on the back rank; every other move holds, and the
# black king's escape to h7 leaves white no mate of its own.
BACK_RANK = "6k1/5pp1/7p/8/8/8/r4PPP/1R4K1 w - - 0 1"


def losing_moves(text: str) -> list[chess.Move]:
    board = chess.Board(text)
    lose = []
    for move in board.legal_moves:
        board.push(move)
        if mates_now(board):
            lose.append(move)
        board.pop()
    return lose


def test_a_proven_losing_move_is_never_chosen_however_visited():
    board = chess.Board(BACK_RANK)
    lose = losing_moves(BACK_RANK)
    assert lose and len(lose) < board.legal_moves.count()
    games = games_from([BACK_RANK])
    try:
        logits = np.zeros(ACTIONS, np.float32)
        for move in lose:
            logits[uci_to_action((games, 0), move.uci())] = 8.0
        losing_actions = {uci_to_action((games, 0), m.uci()) for m in lose}
        for seed in range(3 if SANITIZED else 8):
            for simulations in (20, 40, 80):
                search = Search(1, first_row_evaluator(logits), simulations=simulations, dirichlet_fraction=0.0,
                                seed=seed)
                result = search.run(games, temperature=0.0 if seed % 2 == 0 else 1.0)
                assert result.actions[0] not in losing_actions, f"seed {seed}: chose a proven losing move"
                # The mate that answers a losing move is found when the move's position is
                # expanded, so its first visit proves it lost and no later one is spent on it,
                # however high its prior.
                assert all(result.visits[0][a] <= 1 for a in losing_actions), f"seed {seed}"

    finally:
        games.close()


# Every legal move stalemates the other side: white's king, in check from the pawn on a7
# or boxed in by its own pawn, must step where the pawns on a6 and c7 leave black nothing.
EVERY_MOVE_STALEMATES = [
    "k1K5/p1P5/P7/8/8/8/8/8 w - - 0 1",
    "k7/p1P5/PK6/8/8/8/8/8 w - - 0 1",
    "k7/p1P5/PK6/8/8/7N/8/6R1 w - - 0 1",
    chess.Board("k7/p1P5/PK6/8/7B/8/8/8 w - - 0 1").mirror().fen(),
]


def test_a_root_whose_every_move_stalemates_is_a_proven_draw():
    for text in EVERY_MOVE_STALEMATES:
        board = chess.Board(text)
        for move in board.legal_moves:
            board.push(move)
            assert board.is_stalemate(), f"{text}: {move.uci()}"
            board.pop()
    games = games_from(EVERY_MOVE_STALEMATES)
    try:
        result = Search(len(EVERY_MOVE_STALEMATES), "roll_out", simulations=50, seed=2).run(games)
        assert result.proven.all() and (result.values == 0.0).all()
        assert (result.actions >= 0).all()
    finally:
        games.close()


def repeating_root(start: str, cycle: list[str]) -> BatchEnv:
    """A game from start that went round the cycle twice, so the cycle's first position
    stands for its third time one move from the root."""
    games = BatchEnv(1, threads=1, autoreset="disabled")
    games.reset(fens=[start])
    for move in cycle:
        games.step(np.array([uci_to_action((games, 0), move)]))
    return games


# From each start (white to move) the cycle returns to it; at its end black has one move
# that does not allow mate at once, back to the start, now its third occurrence.
REPEATS = [
    ("8/5k2/2K5/8/1Q6/8/8/8 w - - 1 2", ["c6c7", "f7e8", "c7c6"], "e8f7"),
    ("8/6Q1/5K2/8/8/7k/8/8 w - - 1 2", ["g7g8", "h3h4", "g8g7"], "h4h3"),
    ("8/8/8/1Q6/8/2K5/8/4k3 w - - 1 2", ["b5e8", "e1d1", "e8b5"], "d1e1"),
    ("8/8/7R/8/6K1/8/2R5/6k1 w - - 1 2", ["h6h8", "g1f1", "h8h6"], "f1g1"),
]


@pytest.mark.parametrize("start, cycle, back", REPEATS)
def test_the_only_move_that_holds_repeats_the_position_a_third_time(start, cycle, back):
    games = repeating_root(start, cycle + [back] + cycle)
    try:
        board = chess.Board(start)
        for move in cycle + [back] + cycle:
            board.push_uci(move)
        root = board.fen()
        holding = [m for m in board.legal_moves if m not in losing_moves(root)]
        assert [m.uci() for m in holding] == [back]
        result = Search(1, "roll_out", simulations=800, seed=1).run(games)
        assert result.proven[0] and result.values[0] == 0.0
        assert move_of(games, 0, root, result.actions[0]).uci() == back
    finally:
        games.close()


def random_game_mates() -> list[list[str]]:
    """tools/mate_in_two.py drew these; each row: FEN, every move that forces mate (UCI)."""
    import os

    with open(os.path.join(os.path.dirname(__file__), "..", "data", "mate-in-two.tsv")) as f:
        return [line.rstrip("\n").split("\t") for line in f]


def test_the_mate_in_two_set_from_random_games_is_what_it_says():
    rows = random_game_mates()
    assert len(rows) >= 40 and {chess.Board(text).turn for text, _ in rows} == {chess.WHITE, chess.BLACK}
    for text, moves in rows:
        board = chess.Board(text)
        forcing = {m.uci() for m in board.legal_moves if forces_mate_in_two(board, m)}
        assert not mates_now(board) and forcing == set(moves.split()), text


@pytest.mark.skipif(SANITIZED, reason="96,000 roll-outs; the plain run covers it")
def test_mates_in_two_from_random_games_are_proven_within_2000_roll_outs():
    # A move that mates is proven when its parent is expanded, so a mate in two is proven
    # once each reply's position has been, and a check with few evasions that each allow a
    # mate at its first visit. 30 of these 48 were proven before either rule.
    rows = random_game_mates()
    games = games_from([text for text, _ in rows])
    try:
        search = Search(len(rows), "roll_out", simulations=MATE_IN_TWO_SIMULATIONS, dirichlet_fraction=0.0,
                        seed=11, threads=2)
        result = search.run(games)
        assert result.proven.all(), [rows[game][0] for game in np.flatnonzero(~result.proven)]
        for game, (text, moves) in enumerate(rows):
            if result.proven[game]:
                assert result.values[game] == 1.0
                assert move_of(games, game, text, result.actions[game]).uci() in moves.split(), text
    finally:
        games.close()


# Every move ends the game in a draw of the standard rules, and not of the others given: the
# only move takes the last black piece (bare kings), or every move is a quiet one at the
# clock's 99th half-move (no move mates, none captures or moves a pawn).
DRAWN_BY_THE_RULES = [
    ("7k/8/8/8/8/8/1q6/K7 w - - 0 1", "standard", True),
    ("7k/8/8/8/8/8/1q6/K7 w - - 0 1", "automatic", True),
    ("7k/8/8/8/8/8/1q6/K7 w - - 0 1", "module", False),
    ("7k/8/8/8/8/8/8/KR6 w - - 99 80", "standard", True),
    ("7k/8/8/8/8/8/8/KR6 w - - 99 80", "automatic", False),
]


@pytest.mark.parametrize("text, rules, drawn", DRAWN_BY_THE_RULES)
def test_a_root_whose_every_move_draws_by_the_rules_is_proven_drawn_under_them(text, rules, drawn):
    board = chess.Board(text)
    for move in board.legal_moves:
        board.push(move)
        ended = board.is_insufficient_material() or board.halfmove_clock >= 100
        assert ended and not board.is_checkmate(), f"{text}: {move.uci()}"
        board.pop()
    games = BatchEnv(1, threads=1, autoreset="disabled", rules=rules)
    try:
        games.reset(fens=[text])
        result = Search(1, "roll_out", simulations=200, seed=3, rules=rules).run(games)
        assert bool(result.proven[0]) == drawn
        if drawn:
            assert result.values[0] == 0.0 and result.actions[0] >= 0
    finally:
        games.close()
