"""The engine's evaluation as training targets: analyse keeps only exact scores of the lines
asked for, and engine games blend them with the result and spread the policy over them."""

import sys

import numpy as np
import pytest

import vantor
from vantor_gym.train import ReplayBuffer
from vantor_gym.train.imitation import MULTIPV_TEMPERATURE, engine_games
from vantor_gym.uci import Score, UciEngine

# Lines no target may come from, printed after the good ones: four per search are counted.
JUNK = ["info string NNUE score cp 9999", "info depth 2 currmove {m0} currmovenumber 1",
        "info depth 2 score cp x pv {m0}", "info depth 2 score mate 0 pv {m0}",
        "info depth 3 multipv 1 score cp 777 lowerbound pv {m0}", "info depth 3 multipv {over} score cp 0 pv {m0}"]


def fake_engine(tmp_path, multipv_option=True):
    """Plays towards fool's mate; with white to move its lines k = 1.. score cp - 30 (k - 1)
    (line 3 mate -3), cp = 7 * legal moves - 100; with black to move it gives no usable score.
    ``multipv_option`` may be the option's line itself."""
    option = "option name MultiPV type spin default 1 min 1 max 500" if multipv_option is True else multipv_option or ""
    path = tmp_path / "engine.py"
    path.write_text(f"""#!{sys.executable}
import sys, vantor
from vantor_gym.cli import _legal
from vantor_gym.fen import read_fen
from vantor_gym.notation import action_to_uci
board, k = vantor.Vantor(), 1
for line in sys.stdin:
    open({str(tmp_path / "log")!r}, "a").write(line)
    w = line.split()
    if w[0] == "uci":
        print({option!r})
        print("uciok")
    elif w[0] == "isready":
        print("readyok")
    elif w[:3] == ["setoption", "name", "MultiPV"]:
        k = int(w[4])
    elif w[0] == "position":
        board.parse_fen(read_fen(" ".join(w[2:8])).position)
        white = w[3] == "w"
    elif w[0] == "go":
        legal = sorted(action_to_uci(board, a) for a in _legal(board))
        best = next((m for m in ("f2f3", "e7e5", "g2g4", "d8h4") if m in legal), legal[0])
        m = [best] + [x for x in legal if x != best]
        cp, good = 7 * len(legal) - 100, ["info depth 1 multipv 1 score cp 5000 pv {{m0}}"]
        good += [f"info depth 2 multipv {{i + 1}} score {{'mate -3' if i == 2 else f'cp {{cp - 30 * i}}'}} pv {{m[i]}}"
                 for i in range(min(k, len(m)))]
        for text in (good if white else []) + {JUNK!r}:
            print(text.format(m0=best, over=k + 1))
        print("bestmove " + best)
    elif w[0] == "quit":
        break
    sys.stdout.flush()
""")
    path.chmod(0o755)
    return str(path)


def white_lines(legal, k):
    cp = 7 * legal - 100
    return [Score(mate=-3) if i == 2 else Score(centipawns=cp - 30 * i) for i in range(k)]


@pytest.mark.parametrize("value_weight, multipv", [(0.0, 1), (0.5, 1), (0.25, 3)])
def test_engine_games_blend_the_evaluation_and_spread_the_policy(tmp_path, value_weight, multipv):
    buffer = ReplayBuffer(100)
    stats = engine_games(buffer, fake_engine(tmp_path), positions=8, engines=1, random_plies=0, epsilon=0.0,
                         value_weight=value_weight, multipv=multipv)
    assert (stats.games, stats.positions, stats.results[-1]) == (2, 8, 2)  # fool's mate, twice
    assert (stats.unscored, stats.skipped) == (4, 4 * 8)
    batch = buffer.batch(np.arange(8))
    assert np.allclose(batch["policies"].sum(axis=1), 1) and not (batch["policies"] * ~batch["masks"]).any()
    for row in range(8):
        policy, legal = batch["policies"][row], int(batch["masks"][row].sum())
        if row % 2:  # black: no score, so the result alone and the engine's move alone
            assert batch["values"][row] == 1 and policy.max() == 1
            continue
        lines = white_lines(legal, multipv)
        expected = lines[0].expected()
        assert batch["values"][row] == pytest.approx(value_weight * expected - (1 - value_weight), abs=1e-6)
        weights = np.exp(np.array([line.expected() for line in lines]) / MULTIPV_TEMPERATURE)
        assert np.allclose(np.sort(policy[policy > 0])[::-1], weights / weights.sum())


def test_analyse_sets_multipv_only_when_it_changes_and_best_action_is_unchanged(tmp_path):
    board = vantor.Vantor()
    board.reset()
    with UciEngine(fake_engine(tmp_path)) as engine:
        analysis = engine.analyse(board, multipv=3)
        assert [line.score for line in analysis.lines] == white_lines(20, 3) and analysis.skipped == 4
        assert analysis.score == Score(centipawns=40) and analysis.action == analysis.lines[0].action
        assert engine.analyse(board, multipv=3).lines == analysis.lines
        assert engine.best_action(board) == analysis.action
        with pytest.raises(ValueError, match="MultiPV"):
            engine.analyse(board, multipv=501)
        assert len(engine.analyse(board).lines) == 1
    sent = [line for line in (tmp_path / "log").read_text().splitlines() if line.startswith("setoption")]
    assert sent == ["setoption name MultiPV value 3", "setoption name MultiPV value 1"]
    with UciEngine(fake_engine(tmp_path, multipv_option=False)) as engine:
        with pytest.raises(ValueError, match="no MultiPV"):
            engine.analyse(board, multipv=2)
        assert engine.analyse(board).score == Score(centipawns=40)


def test_a_multipv_default_that_is_no_count_is_set_before_analysing(tmp_path):
    board = vantor.Vantor()
    board.reset()
    # "\u00b2" passes str.isdigit, which int() refuses.
    with UciEngine(fake_engine(tmp_path, "option name MultiPV type spin default \u00b2 min 1 max 500")) as engine:
        assert [line.score for line in engine.analyse(board, multipv=2).lines] == white_lines(20, 2)
