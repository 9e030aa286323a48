"""Self-play on Ray workers for the learner on the driver, on a local cluster of two CPUs:
a worker killed mid-game, weights by version, a worker that raises, the command line."""

import os
import signal
import sys

import numpy as np
import pytest

from conftest import SANITIZED, require

pytestmark = [
    pytest.mark.skipif(SANITIZED, reason="Ray's processes do not run under the preloaded sanitizer"),
    # Ray starts its processes by forking this one, where earlier tests of the same run may
    # have loaded JAX, whose fork hook warns; the cluster's processes do not use JAX.
    pytest.mark.filterwarnings(r"ignore:os\.fork\(\) was called:RuntimeWarning"),
]

torch = pytest.importorskip("torch")
ray = require("ray")

import psutil  # noqa: E402  (Ray brings it)

from vantor_gym.batch import BatchEnv  # noqa: E402
from vantor_gym.train.__main__ import main  # noqa: E402
from vantor_gym.train.loop import TrainConfig, Trainer  # noqa: E402
from vantor_gym.train.network import NetworkConfig, PolicyValueNet  # noqa: E402
from vantor_gym.train.workers import SelfPlayWorkers, WorkerError, _Worker  # noqa: E402

MAX_PLIES = 20


@pytest.fixture(scope="module")
def cluster():
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, configure_logging=False)
    yield
    ray.shutdown()


def tiny(directory, **changes):
    options = dict(directory=str(directory), channels=8, blocks=1, games=2, simulations=2, max_plies=MAX_PLIES,
                   temperature_plies=2, plies_per_iteration=4, updates_per_iteration=1, batch_size=8,
                   buffer_size=50_000, checkpoint_every=1000, seed=5, device="cpu", threads=1, workers=2)
    options.update(changes)
    return TrainConfig(**options)


@pytest.fixture
def trainer_of(tmp_path):
    """Makes trainers over tmp_path, each closed at the end however the test ends."""
    made = []

    def make(**changes):
        made.append(Trainer(tiny(tmp_path, **changes)))
        return made[-1]

    yield make
    for trainer in made:
        trainer.close()


def iterate_until(trainer, condition, what):
    for _ in range(1000):
        if condition():
            return
        trainer.iterate()
    pytest.fail(f"gave up waiting for {what}")


def running(pid):
    try:
        return psutil.Process(pid).status() != psutil.STATUS_ZOMBIE
    except psutil.NoSuchProcess:
        return False


def check_whole_game(game, start):
    """The game begins at the start, each position follows the one before (its previous
    position in the history slot), and every value is the result from the side to move."""
    rows = game.rows
    assert 0 < game.plies <= MAX_PLIES
    assert np.array_equal(rows[0, :12], start) and not rows[0, 12:96].any()
    assert np.array_equal(rows[1:, 12:24], rows[:-1, :12])
    assert game.values[0] in (-1, 0, 1)
    assert np.array_equal(game.values, game.values[0] * (-1.0) ** np.arange(game.plies))


def test_a_worker_killed_mid_game_costs_no_game_received_and_repeats_none(cluster, trainer_of, monkeypatch):
    arrived = []
    collect = SelfPlayWorkers.collect
    monkeypatch.setattr(SelfPlayWorkers, "collect", lambda self, *a: arrived.extend(got := collect(self, *a)) or got)
    trainer = trainer_of()
    iterate_until(trainer, lambda: {g.worker for g in arrived} == {0, 1} and trainer.updates > 0, "both workers")
    first = ray.get([actor.pid.remote() for actor in trainer.workers.actors])
    os.kill(first[0], signal.SIGKILL)
    iterate_until(trainer, lambda: any(g.incarnation for g in arrived), "the restarted worker")
    count = len(arrived)
    iterate_until(trainer, lambda: len(arrived) > count + 2, "more games")
    workers = trainer.workers
    assert (workers.restarts, workers.duplicates, workers.games) == (1, 0, len(arrived)) and workers.lost >= 1
    numbers = {}  # each incarnation's games, numbered without a gap
    for game in arrived:
        numbers.setdefault((game.worker, game.incarnation), []).append(game.sequence)
    assert numbers.keys() == {(0, 0), (0, 1), (1, 0)} and all(n == list(range(len(n))) for n in numbers.values())
    # The buffer holds exactly the games received, each once, in the order they came.
    added = trainer.buffer.added
    assert added == workers.positions == sum(g.plies for g in arrived)
    assert np.array_equal(trainer.buffer.observations[:added], np.concatenate([g.rows for g in arrived]))
    assert np.array_equal(trainer.buffer.values[:added], np.concatenate([g.values for g in arrived]))
    start = BatchEnv(1, compact=True).reset()[0][0, :12]
    for game in arrived:
        check_whole_game(game, start)
    # The restarted worker plays with the learner's weights, not its own first ones.
    assert all(g.version > 0 for g in arrived if g.incarnation)
    pids = ray.get([actor.pid.remote() for actor in workers.actors])
    trainer.close()
    assert [pid for pid in [*first, *pids] if running(pid)] == []
    assert trainer.workers is None


def test_a_worker_takes_only_weights_newer_than_its_own():
    worker = _Worker(0, {"channels": 8, "blocks": 1, "rules": "module"}, incarnation=0)
    assert worker.net.scale[0, 118, 0, 0].item() == pytest.approx(1 / 50)  # the module's rules' clock
    nets = [PolicyValueNet(NetworkConfig(8, 1)) for _ in range(3)]
    states = [{name: value.numpy() for name, value in net.state_dict().items()} for net in nets]

    def holds(net):
        return all(torch.equal(a, b) for a, b in zip(worker.net.state_dict().values(), net.state_dict().values()))

    assert worker.adopt(5, [states[0]]) and worker.version == 5 and holds(nets[0])
    assert not worker.adopt(3, [states[1]]) and not worker.adopt(5, [states[2]])
    assert worker.version == 5 and holds(nets[0])
    assert worker.adopt(6, [states[2]]) and holds(nets[2])


def test_closed_workers_take_no_weights(cluster, tmp_path):
    workers = SelfPlayWorkers(tiny(tmp_path, workers=1))
    workers.close()
    with pytest.raises(RuntimeError, match="closed"):
        workers.publish(0, PolicyValueNet(NetworkConfig(8, 1)))  # Ray's put would start a cluster nothing ends
    trainer = Trainer(tiny(tmp_path, workers=1))
    trainer.close()
    with pytest.raises(RuntimeError, match="closed"):
        trainer.iterate()  # would start new workers that nothing closes


def test_a_worker_that_raises_ends_the_run_after_a_checkpoint_that_resumes(cluster, trainer_of):
    trainer = trainer_of(workers=1)
    iterate_until(trainer, lambda: trainer.buffer.added > 0, "games")
    workers = trainer.workers
    with pytest.raises(ValueError, match="not newer"):
        workers.publish(workers.version, trainer.net)
    diverged = PolicyValueNet(trainer.config.network())
    with torch.no_grad():
        for parameter in diverged.parameters():
            parameter.fill_(float("nan"))
    workers.publish(workers.version + 10_000, diverged)  # newer than the learner will publish meanwhile
    with pytest.raises(WorkerError, match=r"^self-play worker 0 failed: ValueError: .*nan") as caught:
        iterate_until(trainer, lambda: False, "the worker's error")
    assert "\n" not in str(caught.value) and trainer.workers is None
    resumed = trainer_of(workers=1)
    assert (resumed.iteration, resumed.buffer.added, resumed.updates) == (trainer.iteration, trainer.buffer.added,
                                                                           trainer.updates)


def test_the_command_line_runs_self_play_on_workers(cluster, tmp_path, capsys):
    flags = ["--directory", str(tmp_path), "--minutes", "0.01", "--workers", "1", "--channels", "8", "--blocks", "1",
             "--games", "2", "--simulations", "2", "--max-plies", "20", "--batch-size", "8", "--device", "cpu",
             "--engine-minutes", "0", "--imitation-minutes", "0", "--eval-every", "0", "--final-games", "0",
             "--head-to-head-games", "0"]
    assert main(flags) == 0
    assert "starting self-play on 1 Ray worker" in capsys.readouterr().err


def test_without_ray_a_run_on_workers_is_refused_before_any_work(trainer_of, monkeypatch):
    monkeypatch.setitem(sys.modules, "ray", None)
    with pytest.raises(ImportError, match=r"needs Ray \(pip install 'vantor\[ray\]'\)"):
        trainer_of(engine_minutes=0, eval_opponents="random").check_inputs()
