"""The training loop end to end on the CPU, small, and a killed run resumed."""

import numpy as np
import pytest

from conftest import SANITIZED

torch = pytest.importorskip("torch")
if SANITIZED:
    pytest.skip("PyTorch is not run under the sanitizer preload", allow_module_level=True)

from vantor_gym.train.__main__ import main, parse  # noqa: E402
from vantor_gym.train.loop import TrainConfig, Trainer  # noqa: E402


def tiny(directory, **changes):
    options = dict(directory=str(directory), channels=8, blocks=1, games=4, simulations=4, max_plies=10,
                   temperature_plies=2, plies_per_iteration=5, updates_per_iteration=2, batch_size=8,
                   buffer_size=500, checkpoint_every=2, seed=7, device="cpu", threads=1)
    options.update(changes)
    return TrainConfig(**options)


def test_a_few_iterations_learn_and_a_killed_run_resumes_from_its_checkpoint(tmp_path):
    trainer = Trainer(tiny(tmp_path))
    before = [p.detach().clone() for p in trainer.net.parameters()]
    for _ in range(4):
        trainer.iterate()
    assert trainer.updates > 0 and np.isfinite(trainer.losses).all()
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
