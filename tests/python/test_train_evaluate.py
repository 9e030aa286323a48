"""Evaluation matches of a network, their log and their curve, and a whole small run."""

import json
import os

import numpy as np
import pytest

from conftest import SANITIZED

torch = pytest.importorskip("torch")
if SANITIZED:
    pytest.skip("PyTorch is not run under the sanitizer preload", allow_module_level=True)

from vantor_gym.match import MatchResult, elo_difference, play_match  # noqa: E402
from vantor_gym.players import RandomPlayer  # noqa: E402
from vantor_gym.states import state_to_dict  # noqa: E402
from vantor_gym.train.evaluate import (NetworkPlayer, evaluate, load_player, openings, plot_curve,  # noqa: E402
                                       read_log, reference)
from vantor_gym.train.loop import TrainConfig, Trainer  # noqa: E402
from vantor_gym.train.network import NetworkConfig, PolicyValueNet, load_network, save_network  # noqa: E402

STOCKFISH = "/usr/games/stockfish"


def test_the_score_interval_is_the_one_the_elo_interval_comes_from():
    for wins, draws, losses in [(5, 3, 2), (1, 0, 9), (0, 10, 0), (10, 0, 0)]:
        result = MatchResult(wins, draws, losses)
        low, high = result.score_interval
        assert low <= result.score <= high
        if 0 < result.score < 1:
            assert result.elo_interval == (elo_difference(low), elo_difference(high))


def test_a_network_player_plays_legal_moves_and_is_logged_with_infinities_as_null(tmp_path):
    net = PolicyValueNet(NetworkConfig(8, 1)).eval()
    player = NetworkPlayer(net, simulations=4, seed=1)
    result = play_match(player, RandomPlayer(2), 2, max_plies=30, progress=False)
    assert result.forfeits == 0 and result.played == 2
    log = tmp_path / "log.jsonl"
    always = {"always": lambda state, mask: int(np.flatnonzero(mask)[0])}
    records = evaluate(player, ["random", "always"], 2, max_plies=6, log=log, extra={"minutes": 1.5},
                       opponent_agents=always)
    assert [r["opponent"] for r in records] == ["random", "always"]
    assert all(r["draws"] == 2 and r["elo"] == 0 for r in records)  # 6 plies: every game a draw
    with open(log, "a") as out:
        out.write('{"opponent": "cut short by a ki')
    logged = read_log(log)
    assert logged == records and logged[0]["minutes"] == 1.5
    won = dict(records[0], wins=2, draws=0, score=1.0, score_low=1.0, score_high=1.0, elo=None)
    assert json.loads(json.dumps(won))["elo"] is None
    plot_curve([*logged, won, dict(won, minutes=3.0)], tmp_path / "curve.png")
    assert (tmp_path / "curve.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert not any(name.endswith(".tmp") for name in os.listdir(tmp_path))


def test_references_and_saved_networks(tmp_path):
    with pytest.raises(ValueError, match="unknown reference"):
        with reference("nobody"):
            pass
    if os.path.exists(STOCKFISH):
        with reference("stockfish", stockfish=STOCKFISH) as engine:
            assert engine.name == "Stockfish"
    net = PolicyValueNet(NetworkConfig(8, 2))
    save_network(net, tmp_path / "net.pt")
    again = load_network(tmp_path / "net.pt", "cpu")
    assert again.config == net.config and not again.training
    assert all(torch.equal(a, b) for a, b in zip(net.state_dict().values(), again.state_dict().values()))
    assert load_player(tmp_path / "net.pt", 2, device="cpu").__name__ == "net.pt"
    (tmp_path / "bad.pt").write_bytes(b"not a network")
    with pytest.raises(Exception):
        load_network(tmp_path / "bad.pt", "cpu")
    torch.save({"channels": 8}, tmp_path / "half.pt")
    with pytest.raises(ValueError, match="not a saved network"):
        load_network(tmp_path / "half.pt", "cpu")


@pytest.mark.skipif(not os.path.exists(STOCKFISH), reason="needs Stockfish")
def test_a_small_run_goes_through_every_phase_and_resumes_on_its_clock(tmp_path):
    config = TrainConfig(directory=str(tmp_path), channels=8, blocks=1, engine=STOCKFISH, engine_minutes=0.02,
                         engine_nodes=20, engines=2, imitation_minutes=0.02, games=2, simulations=4, max_plies=40,
                         plies_per_iteration=4, updates_per_iteration=2, batch_size=16, buffer_size=3000,
                         checkpoint_every=3, eval_every=0.02, eval_games=2, final_games=2,
                         eval_opponents="random", eval_simulations=2, eval_max_plies=20, head_to_head_games=2,
                         device="cpu", threads=1)
    trainer = Trainer(config)
    phases = []
    # An evaluation falls due as soon as the engine games have used their 1.2 seconds of the
    # clock, so one comes before the end however long a step takes under load.
    trainer.run(0.12, report=lambda t: phases.append(t.phase))
    trainer.close()
    assert {"imitation", "self-play"} <= set(phases) and trainer.clock >= 0.12 * 60
    for name in ("imitation.pt", "network.pt", "log.jsonl", "curve.png", "checkpoint.pt", "buffer.npz"):
        assert (tmp_path / name).exists(), name
    log = read_log(tmp_path / "log.jsonl")
    assert [r["opponent"] for r in log if r["final"]] == ["random", "imitation"]
    assert any(not r["final"] for r in log) and all(r["games"] == 2 for r in log)
    resumed = Trainer(config)
    assert (resumed.phase, resumed.clock, resumed.updates) == ("self-play", trainer.clock, trainer.updates)
    resumed.close()


def test_the_console_plays_saved_networks_and_the_baseline_and_runs_training(tmp_path, capsys):
    from vantor_gym.cli import main
    from vantor_gym.train import baseline

    save_network(PolicyValueNet(NetworkConfig(8, 1)), tmp_path / "net.pt")
    assert main(["match", f"net:{tmp_path / 'net.pt'}:2", "random", "--games", "2", "--max-plies", "8"]) == 0
    assert "2 drawn" in capsys.readouterr().out
    assert main(["match", "net:/nonexistent.pt", "random"]) == 1
    assert "nonexistent" in capsys.readouterr().err
    with pytest.raises(SystemExit) as exit:
        main(["train", "--help"])
    assert exit.value.code == 0 and "vantor train" in capsys.readouterr().out
    # The shipped network plays whole games of legal moves.
    result = play_match(baseline(4, device="cpu"), RandomPlayer(3), 2, max_plies=40, progress=False)
    assert result.played == 2 and result.forfeits == 0


@pytest.mark.parametrize("games", [1, 4, 5])
def test_an_evaluation_told_two_games_at_a_time_plays_the_games_of_one_match(games):
    said = []
    records = evaluate(RandomPlayer(1), ["random"], games, max_plies=60, seed=2, report=said.append)
    whole = play_match(RandomPlayer(1), RandomPlayer(2), games, max_plies=60, progress=False)
    assert (records[0]["wins"], records[0]["draws"], records[0]["losses"]) == (whole.wins, whole.draws, whole.losses)
    assert [line.split(":")[1].split(" games")[0].strip() for line in said] == \
        [f"{min(n, games)} of {games}" for n in range(2, games + 2, 2)]
    # Colours alternate across the pairs as in one match: in games of one ply only white moves.
    moves = []
    evaluate(lambda state, mask: moves.append(state.side) or int(np.flatnonzero(mask)[0]), ["random"], games,
             max_plies=1)
    assert moves == [0] * ((games + 1) // 2)


def test_openings_give_each_pair_of_games_its_own_start_so_fixed_players_do_not_repeat_one_game():
    starts = openings(3, seed=5)
    assert starts == openings(3, seed=5) != openings(3, seed=6) and len(set(starts)) == 3
    assert all(fen.split()[1] == "w" and fen.split()[5] == "3" for fen in starts)  # four plies in
    seen = []

    def fixed(state, mask):
        fields = state_to_dict(state)
        del fields["total_move_count"]  # the environment's steps, which go on across its games
        seen.append(repr(fields))
        return int(np.flatnonzero(mask)[0])

    # One ply a game, so only white moves: each pair sees its start twice, the colours swapped.
    evaluate(fixed, ["fixed"], 6, max_plies=1, opponent_agents={"fixed": fixed}, start_fens=starts)
    assert seen[0::2] == seen[1::2] and len(set(seen)) == 3
    # A start that cannot be played is refused before the first game.
    with pytest.raises(ValueError, match=r"start_fens\[1\]"):
        evaluate(fixed, ["random"], 4, start_fens=[starts[0], "8/8/8/8/8/8/8/K6k w - - 0 1 extra"])
    assert len(seen) == 6


@pytest.mark.parametrize("count, plies", [(2, 0), (-1, 4), (1, 17), (10**7, 4)])
def test_openings_refuse_what_they_cannot_give(count, plies):
    with pytest.raises(ValueError):
        openings(count, plies)
