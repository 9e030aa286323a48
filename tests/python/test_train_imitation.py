"""Training positions from engine games and PGN files: each position exactly as the games
reach it, the move played as the policy, the result from the side to move as the value."""

import io
import os

import numpy as np
import pytest

from vantor_gym import BatchEnv
from vantor_gym.match import play_match
from vantor_gym.players import RandomPlayer
from vantor_gym.train import ReplayBuffer
from vantor_gym.train.imitation import engine_games, pgn_positions

STOCKFISH = "/usr/games/stockfish"


def replayed(actions, start_fen=None):
    """The compact rows and sides of a game's positions, stepped on a batch of its own."""
    rows, sides = [], []
    with BatchEnv(1, threads=1, compact=True, autoreset="disabled") as env:
        row, info = env.reset(fens=None if start_fen is None else [start_fen])
        for action in actions:
            rows.append(row[0].copy())
            sides.append(int(info["side"][0]))
            row, *_, info = env.step([action])
    return without_step_count(np.array(rows)), np.array(sides)


def stored(buffer, first, n):
    batch = buffer.batch(np.arange(first, first + n))
    return without_step_count(buffer.observations[first:first + n]), batch


def without_step_count(rows):
    """Rows with the step count cleared: it goes on counting across an environment's games."""
    rows = rows.copy()
    rows[:, 104] &= np.uint64(0xFFFFFFFF)
    return rows


def test_pgn_games_become_positions_with_the_moves_and_results_as_targets():
    result = play_match(RandomPlayer(1), RandomPlayer(2), 4, max_plies=60, progress=False)
    unfinished = '[Result "*"]\n\n1. e4 e5 *\n'
    broken = '[Result "1-0"]\n\n1. e4 Ke7 1-0\n'  # an illegal move: skipped with its game
    text = "\n\n".join([result.pgns[0], unfinished, broken, *result.pgns[1:]])
    buffer = ReplayBuffer(1000)
    with pytest.warns(UserWarning, match=r"2 of 6 games skipped: 1 malformed .*game 3: ply 2.*; 1 without a result"):
        added = pgn_positions(buffer, text.encode())
    assert added == sum(len(g.actions) for g in result.games) == len(buffer)
    first = 0
    for game in result.games:
        rows, sides = replayed(game.actions)
        observations, batch = stored(buffer, first, len(game.actions))
        assert np.array_equal(observations, rows)
        assert np.array_equal(batch["policies"].argmax(axis=1), game.actions)
        assert (batch["policies"].sum(axis=1) == 1).all()
        white = {"1-0": 1, "0-1": -1, "1/2-1/2": 0}[game.result]
        assert np.array_equal(batch["values"], np.where(sides == 0, white, -white))
        first += len(game.actions)


def test_pgn_games_from_a_set_up_position_and_from_a_file(tmp_path):
    fen = "4k3/8/8/8/8/8/4P3/4K2R w K - 0 1"
    text = f'[FEN "{fen}"]\n[SetUp "1"]\n[Result "1-0"]\n\n1. O-O Kd7 2. Rf7+ 1-0\n'
    path = tmp_path / "games.pgn"
    path.write_text(text * 3)
    buffer = ReplayBuffer(100)
    assert pgn_positions(buffer, path) == 9
    rows, sides = replayed(buffer.batch(np.arange(3))["policies"].argmax(axis=1), fen)
    assert np.array_equal(without_step_count(buffer.observations[6:9]), rows)
    assert buffer.values[:3].tolist() == [1, -1, 1]


SHUFFLE = "{0}. Nf3 Nf6 {1}. Ng1 Ng8 "


def shuffles(times):
    return "".join(SHUFFLE.format(2 * k + 1, 2 * k + 2) for k in range(times))


# A third occurrence nobody claimed is played past under chess's rules; a fifth ends the
# game. The module's rules end it at the third.
@pytest.mark.parametrize("moves, rules, kept", [
    (shuffles(2) + "5. e4 e5 6. Qh5 Nc6 7. Bc4 Nf6 8. Qxf7# 1-0", "standard", 15),
    (shuffles(2) + "5. e4 e5 6. Qh5 Nc6 7. Bc4 Nf6 8. Qxf7# 1-0", "automatic", 15),
    (shuffles(2) + "5. e4 e5 6. Qh5 Nc6 7. Bc4 Nf6 8. Qxf7# 1-0", "module", 8),
    (shuffles(4) + "9. e4 e5 1/2-1/2", "standard", 16),
    (shuffles(4) + "9. e4 e5 1/2-1/2", "module", 8),
])
def test_recorded_games_go_on_past_draws_nobody_claimed_to_an_automatic_end(moves, rules, kept):
    buffer = ReplayBuffer(100)
    assert pgn_positions(buffer, f'[Result "{moves.split()[-1]}"]\n\n{moves}\n'.encode(), rules=rules) == kept
    # The positions are the ones a game of the rules' family reaches, its planes and all.
    actions = buffer.batch(np.arange(kept))["policies"].argmax(axis=1)
    with BatchEnv(1, threads=1, compact=True, autoreset="disabled",
                  rules="module" if rules == "module" else "automatic") as env:
        row, _ = env.reset()
        for ply, action in enumerate(actions.tolist()):
            assert np.array_equal(without_step_count(row), without_step_count(buffer.observations[ply:ply + 1]))
            row, *_ = env.step([action])


@pytest.mark.skipif(not os.path.exists(STOCKFISH), reason="needs Stockfish")
def test_engine_games_in_parallel_give_legal_targets_and_consistent_values():
    buffer = ReplayBuffer(5000)
    stats = engine_games(buffer, STOCKFISH, positions=300, nodes=50, engines=2, random_plies=4, epsilon=0.2,
                         max_plies=80, seed=3, value_weight=0.0)
    assert stats.positions == len(buffer) >= 300 and stats.games == sum(stats.results.values())
    batch = buffer.batch(np.arange(len(buffer)))
    chosen = batch["policies"].argmax(axis=1)
    assert batch["masks"][np.arange(len(buffer)), chosen].all()
    assert (batch["policies"].sum(axis=1) == 1).all()
    assert set(np.unique(batch["values"])) <= {-1.0, 0.0, 1.0}
    # Within a game the value turns with the side to move: a decisive game has both signs.
    assert stats.results[0] == stats.games or (batch["values"] != 0).any()


def test_engine_games_refuse_bad_requests_before_starting():
    buffer = ReplayBuffer(10)
    with pytest.raises(ValueError, match="minutes, positions"):
        engine_games(buffer, STOCKFISH)
    with pytest.raises(ValueError, match="epsilon"):
        engine_games(buffer, STOCKFISH, positions=10, epsilon=1.5)
    for bad in ({"value_weight": 1.5}, {"value_weight": -0.1}, {"multipv": 0}, {"multipv": 257},
                {"rules": "module"}, {"rules": "fide"}):
        with pytest.raises(ValueError, match=next(iter(bad))):
            engine_games(buffer, STOCKFISH, positions=10, **bad)
    with pytest.raises(FileNotFoundError):
        engine_games(buffer, "/nonexistent/engine", positions=10)
    assert len(buffer) == 0


@pytest.mark.skipif(not os.path.exists(STOCKFISH), reason="needs Stockfish")
def test_engine_games_report_how_far_they_are_on_the_calling_thread():
    import threading

    calls = []
    buffer = ReplayBuffer(20_000)
    stats = engine_games(buffer, STOCKFISH, minutes=0.04, nodes=20, engines=2, seed=1,
                         report=lambda games, positions: calls.append((games, positions, threading.current_thread())))
    assert len(calls) >= 2 and all(thread is threading.main_thread() for *_, thread in calls)
    games, positions = [call[0] for call in calls], [call[1] for call in calls]
    assert games == sorted(games) and positions == sorted(positions)
    assert games[-1] <= stats.games and positions[-1] <= stats.positions and positions[-1] > 0


def test_games_that_cannot_give_positions_are_counted_by_reason():
    drawn = "4k3/8/8/8/8/8/8/3BK3 w - - 0 1"  # no mating material: a start the standard rules have drawn
    mated = "1. f3 e5 2. g4 Qh4# 1-0\n"  # the result contradicts the mate
    text = (f'[FEN "{drawn}"]\n[SetUp "1"]\n\n1. Kf2 1/2-1/2\n\n{mated}\n1. e4 e5 1/2-1/2\n\n1. e4 *\n\n'
            '[Result "1-0"]\n\n1-0\n\n1. e4 Ke7 1-0\n')
    buffer = ReplayBuffer(100)
    with pytest.warns(UserWarning) as caught:
        assert pgn_positions(buffer, io.StringIO(text)) == 2
    message = str(caught[0].message)
    for reason in ("5 of 6 games skipped", "cannot play (such as a half-move clock at the draw) (first: game 1)",
                   "contradicts the mate played (first: game 2)", "without a result (first: game 4)",
                   "without moves (first: game 5)", "malformed or with an illegal move (first: game 6: ply 2"):
        assert reason in message
