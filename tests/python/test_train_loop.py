"""The training loop end to end on the CPU, small, and a killed run resumed."""

import importlib.util
import json
import os
import subprocess
import sys

import numpy as np
import pytest

from conftest import SANITIZED

torch = pytest.importorskip("torch")
if SANITIZED:
    pytest.skip("PyTorch is not run under the sanitizer preload", allow_module_level=True)

from vantor_gym.train.__main__ import main, parse  # noqa: E402
from vantor_gym.game import Game  # noqa: E402
from vantor_gym.notation import read_pgn_games  # noqa: E402
from vantor_gym.train.loop import TrainConfig, Trainer  # noqa: E402
from vantor_gym.view import GameFeed  # noqa: E402


def tiny(directory, **changes):
    options = dict(directory=str(directory), channels=8, blocks=1, games=4, simulations=4, max_plies=10,
                   temperature_plies=2, plies_per_iteration=5, updates_per_iteration=2, batch_size=8,
                   buffer_size=500, checkpoint_every=2, seed=7, device="cpu", threads=1)
    options.update(changes)
    return TrainConfig(**options)


def test_a_few_iterations_learn_and_a_killed_run_resumes_from_its_checkpoint(tmp_path):
    feed = GameFeed()
    trainer = Trainer(tiny(tmp_path), feed=feed)
    before = [p.detach().clone() for p in trainer.net.parameters()]
    for _ in range(4):
        trainer.iterate()
    assert trainer.updates > 0 and np.isfinite(trainer.losses).all()
    # Every finished self-play game is kept, and the feed saw the same moves.
    kept = list(read_pgn_games(tmp_path / "games.pgn"))
    finished = [feed.read(n) for n in feed.numbers() if feed.read(n).result is not None]
    assert kept and len(kept) == len(finished)
    assert sorted(g.actions for g in kept) == sorted(g.actions for g in finished)
    assert all(g.result == "*" and len(g.actions) == 10 or g.result != "*" for g in kept)
    assert any(not torch.equal(a, b) for a, b in zip(before, trainer.net.parameters()))
    saved = ([p.detach().clone() for p in trainer.net.state_dict().values()], trainer.buffer.added,
             trainer.buffer.observations.copy(), trainer.iteration)
    trainer.iterate()  # work after the checkpoint, lost by the kill
    trainer.close()
    resumed = Trainer(tiny(tmp_path))
    assert (resumed.iteration, resumed.buffer.added) == (saved[3], saved[1])
    assert np.array_equal(resumed.buffer.observations, saved[2])
    assert all(torch.equal(a, b) for a, b in zip(saved[0], resumed.net.state_dict().values()))
    resumed.iterate()
    resumed.close()
    with pytest.raises(ValueError, match="holds a network"):
        Trainer(tiny(tmp_path, channels=16))


def test_the_command_line_runs_and_takes_every_field(tmp_path, capsys):
    config, minutes = parse(["--minutes", "0.5", "--games", "3", "--learning-rate", "0.01", "--device", "cpu"])
    assert (minutes, config.games, config.learning_rate, config.device) == (0.5, 3, 0.01, "cpu")
    flags = ["--directory", str(tmp_path), "--channels", "4", "--blocks", "0", "--games", "2", "--simulations", "2",
             "--max-plies", "6", "--batch-size", "4", "--threads", "1", "--device", "cpu", "--engine-minutes", "0",
             "--imitation-minutes", "0", "--final-games", "2", "--eval-opponents", "random", "--eval-simulations", "2",
             "--eval-max-plies", "10"]
    assert main(["--minutes", "0.02", *flags]) == 0
    assert "network.pt, log.jsonl and curve.png written" in capsys.readouterr().out
    for name in ("checkpoint.pt", "buffer.npz", "network.pt", "log.jsonl", "curve.png"):
        assert (tmp_path / name).exists(), name
    # The same command again: the run is finished, and nothing is evaluated or logged twice.
    log = (tmp_path / "log.jsonl").read_text()
    assert main(["--minutes", "0.02", *flags]) == 0
    said = capsys.readouterr()
    assert "is finished" in said.err and "written" not in said.out and (tmp_path / "log.jsonl").read_text() == log
    if importlib.util.find_spec("tensorboard") is None:
        return  # no TensorBoard here, as under the free-threaded interpreter: the run went on without
    from test_train_board import scalars

    tags = scalars(tmp_path)
    assert {"loss/policy", "loss/value", "buffer/size", "eval/random/score"} <= tags.keys()


STOCKFISH = "/usr/games/stockfish"
GAME = '[Result "1-0"]\n\n1. e4 e5 2. Qh5 Nc6 3. Bc4 Nf6 4. Qxf7# 1-0\n'

# A whole small run with its output in a pipe, progress said at every chance.
PIPED_RUN = """
import sys
import vantor_gym.train.loop as loop
from vantor_gym.train.__main__ import main
print("interval", loop.progress_seconds(), file=sys.stderr)
loop.progress_seconds = lambda: 0.0
sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.skipif(not os.path.exists(STOCKFISH), reason="needs Stockfish")
def test_progress_reaches_a_pipe_in_every_phase_and_the_final_evaluation_is_said_first(tmp_path):
    flags = ["--directory", str(tmp_path), "--minutes", "0.1", "--engine", STOCKFISH, "--engine-minutes", "0.03",
             "--engine-nodes", "20", "--imitation-minutes", "0.03", "--channels", "8", "--blocks", "1",
             "--games", "2", "--simulations", "2", "--max-plies", "30", "--batch-size", "16", "--device", "cpu",
             "--threads", "1", "--eval-opponents", "random", "--eval-simulations", "2", "--eval-max-plies", "20"]
    done = subprocess.run([sys.executable, "-c", PIPED_RUN, *flags], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    said = done.stderr
    assert "interval 60.0" in said  # a pipe is told every minute, not every 10 seconds
    for words in ("engine games: ", "positions so far", "imitation:", "self-play:", "losses",
                  "the final evaluation: 2 games against each of random and 2 against the imitation-only network",
                  "evaluating against random: 2 of 2 games", "evaluating against imitation: 2 of 2 games"):
        assert words in said, words
    assert said.index("the final evaluation") < said.index("evaluating against random")


def test_a_run_too_short_to_train_is_refused_before_any_work(tmp_path):
    trainer = Trainer(tiny(tmp_path, engine="/nonexistent/engine"))
    with pytest.raises(ValueError, match="the least that trains is 1 minute"):
        trainer.run(0.5)
    assert trainer.buffer.added == 0 and not (tmp_path / "checkpoint.pt").exists()
    trainer.close()


def test_a_warm_start_smaller_than_a_batch_goes_straight_to_self_play(tmp_path, capsys):
    pgn = tmp_path / "one.pgn"
    pgn.write_text(GAME)
    trainer = Trainer(tiny(tmp_path / "run", pgn=str(pgn), engine_minutes=0.0, imitation_minutes=0.05, batch_size=16,
                           final_games=0, head_to_head_games=2))
    phases = []
    trainer.run(0.06, report=lambda t: phases.append(t.phase))
    trainer.close()
    assert "nothing to imitate" in capsys.readouterr().err
    # Learner steps wait for a batch: the imitation phase would only spin, saving checkpoints.
    assert phases and set(phases) == {"self-play"} and not (tmp_path / "run" / "imitation.pt").exists()


def test_checkpoints_of_fixed_phase_minutes_resume_and_a_resumed_run_is_not_refused(tmp_path, capsys):
    from vantor_gym.train.files import load_checked, save_checked

    trainer = Trainer(tiny(tmp_path))
    trainer.iterate()
    trainer.iterate()
    trainer.close()
    state = load_checked(tmp_path / "checkpoint.pt", "vantor training checkpoint", "a checkpoint")
    config = json.loads(state["config"])
    config.update(engine_minutes=4.0, imitation_minutes=36.0, eval_games=30, final_games=100, head_to_head_games=50)
    state["config"], state["phase"] = json.dumps(config), "self-play"
    save_checked(state, tmp_path / "checkpoint.pt", "vantor training checkpoint")
    resumed = Trainer(tiny(tmp_path))
    assert (resumed.iteration, resumed.phase) == (2, "self-play")
    resumed.close()
    flags = ["--directory", str(tmp_path), "--channels", "8", "--blocks", "1", "--games", "4", "--simulations", "4",
             "--max-plies", "10", "--batch-size", "8", "--buffer-size", "500", "--device", "cpu", "--threads", "1",
             "--final-games", "0", "--head-to-head-games", "0", "--eval-opponents", "random"]
    assert main(["--minutes", "0.01", *flags]) == 0  # far below a minute, but the run has learned already
    assert "going on from" in capsys.readouterr().err


def test_chess960_self_play_keeps_its_starts_and_a_run_resumes_only_as_chess960(tmp_path):
    trainer = Trainer(tiny(tmp_path, chess960=True))
    for _ in range(3):
        trainer.iterate()
    trainer.save()
    trainer.close()
    kept = list(read_pgn_games(tmp_path / "games.pgn"))
    assert kept and all(game.chess960 and game.start_fen is not None for game in kept)
    assert len({game.start_fen for game in kept}) > 1
    for game in kept:
        replay = Game(game.start_fen, chess960=True, rules="standard")
        for action in game.actions:
            replay.step(action)
    with pytest.raises(ValueError, match="Chess960"):
        Trainer(tiny(tmp_path))


def test_a_kill_costs_only_the_game_it_cut_and_no_match_is_played_twice(tmp_path):
    trainer = Trainer(tiny(tmp_path, eval_opponents="random", eval_simulations=2, eval_max_plies=10))
    try:
        # games.pgn cut mid-game: the next game written still reads whole, headers and all.
        trainer._keep_games([([564, 524], "*", None)] * 2)
        path = tmp_path / "games.pgn"
        os.truncate(path, path.stat().st_size - 6)
        trainer._keep_games([([564], "*", None)])
        games = list(read_pgn_games(path, on_error="skip"))
        assert [len(g.actions) for g in games] == [2, 1] and games[-1].headers["White"] == "self-play"
        # A file of a user's own (CRLF, a comment holding "1-0" and a blank line) is never cut.
        own = '[Event "mine"]\r\n\r\n1. e4 {ends 1-0\n\nnot} e5 0-1\r\n'
        path.write_bytes(own.encode())
        trainer._keep_games([([564], "*", None)])
        assert path.read_bytes().startswith(own.encode())
        assert [g.headers["Event"] for g in read_pgn_games(path, on_error="skip")] == ["mine", "vantor train self-play"]
        trainer.save()
        first = trainer.evaluate(2, final=True)
    finally:
        trainer.close()
    # Killed after its evaluation's matches, resumed: those are read from the log, not played;
    # records no evaluation could write are not taken.
    from vantor_gym.train.loop import _whole_record

    record = first[0]
    assert _whole_record(record)
    for broken in ({"score_low": 1.0, "score_high": 0.0}, {"games": record["games"] + 5}, {"wins": True},
                   {"elo": float("nan")}, {"score": None}):
        assert not _whole_record({**record, **broken}), broken
    logged = (tmp_path / "log.jsonl").read_text()
    resumed = Trainer(tiny(tmp_path, eval_opponents="random", eval_simulations=2, eval_max_plies=10))
    try:
        assert resumed.evaluate(2, final=True) == first and (tmp_path / "log.jsonl").read_text() == logged
    finally:
        resumed.close()
