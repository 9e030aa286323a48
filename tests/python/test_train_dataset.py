"""Imitation from a game dataset: the learner streams its positions, a saved run resumes the
stream where it stopped, and what cannot be a dataset or a weighting is refused at once."""

import numpy as np
import pytest

torch = pytest.importorskip("torch")
pytest.importorskip("pyarrow")

from test_train_loop import tiny  # noqa: E402
from vantor_gym import Game  # noqa: E402
from vantor_gym.dataset import build_dataset  # noqa: E402
from vantor_gym.notation import pgn  # noqa: E402
from vantor_gym.train.config import TrainConfig  # noqa: E402
from vantor_gym.train.loop import Trainer  # noqa: E402
from vantor_gym.train.network import PolicyValueNet, NetworkConfig, losses  # noqa: E402


def random_games(count, seed=0):
    rng = np.random.default_rng(seed)
    texts = []
    for number in range(count):
        game, actions = Game(), []
        while not game.is_over and len(actions) < 40:
            action = int(rng.choice(np.flatnonzero(game.action_mask())))
            game.step(action)
            actions.append(action)
        result = ("1-0", "0-1", "1/2-1/2")[number % 3]
        result = result if not game.is_over else None  # a finished game keeps its own result
        texts.append(pgn(actions, result=result, headers={"WhiteElo": str(1000 + 100 * number), "BlackElo": "1500"}))
    return "\n".join(texts)


@pytest.fixture(scope="module")
def dataset(tmp_path_factory):
    directory = tmp_path_factory.mktemp("games")
    source = directory / "games.pgn"
    source.write_text(random_games(30))
    build_dataset([source], directory / "dataset")
    return str(directory / "dataset")


def test_imitation_streams_the_dataset_and_a_resumed_run_goes_on_where_it_stopped(tmp_path, dataset):
    config = tiny(tmp_path, dataset=dataset, rating_weights="1200:0.5,1500:1", engine_minutes=0)
    assert config.plan(10).engine_minutes == 0 and config.plan(10).imitation_minutes > 0
    trainer = Trainer(config)
    trainer.phase = "imitation"
    before = [p.detach().clone() for p in trainer.net.parameters()]
    trainer.imitate()
    assert len(trainer.buffer) == 0 and trainer.updates == config.updates_per_iteration
    assert any(not torch.equal(a, b) for a, b in zip(before, trainer.net.parameters()))
    place = trainer._place()
    assert place == (0, config.updates_per_iteration * config.batch_size)
    trainer.save()
    trainer.close()
    resumed = Trainer(config)
    assert resumed._place() == place
    resumed.imitate()
    assert resumed._place() == (0, 2 * config.updates_per_iteration * config.batch_size)
    # Past the end of an epoch the next one begins.
    stream = resumed._dataset_batches()
    seen = stream.consumed
    while stream.epoch == 0:
        stream.next(torch.device("cpu"))
        seen += config.batch_size
    assert stream.consumed <= config.batch_size and seen >= stream.games.plies
    resumed.close()


@pytest.mark.parametrize("changes, error", [
    ({"dataset": "no-such-directory"}, ValueError),
    ({"rating_weights": "1200:1"}, ValueError),  # weights without a dataset
    ({"dataset": "x", "rating_weights": "1200"}, ValueError),
    ({"dataset": "x", "rating_weights": "1800:1,1200:0.5"}, ValueError),
    ({"dataset": "x", "rating_weights": "1200:-1"}, ValueError),
    ({"dataset": "x", "rating_weights": "1200:nan"}, ValueError),
    ({"dataset": 3}, TypeError),
])
def test_what_is_not_a_dataset_or_a_weighting_is_refused_before_any_work(tmp_path, changes, error):
    with pytest.raises(error):
        trainer = Trainer(tiny(tmp_path / "run", **changes))
        try:
            trainer.check_inputs(1)
        finally:
            trainer.close()


def test_weights_scale_each_positions_share_of_the_losses():
    net = PolicyValueNet(NetworkConfig(8, 1), "standard")
    planes = torch.rand(4, 119, 8, 8)
    masks = torch.ones(4, 4672, dtype=torch.bool)
    policies = torch.zeros(4, 4672)
    policies[:, 0] = 1
    values = torch.tensor([1.0, -1.0, 0.0, 1.0])
    plain = losses(net, planes, masks, policies, values)
    assert all(torch.allclose(a, b) for a, b in zip(plain, losses(net, planes, masks, policies, values,
                                                                   torch.ones(4))))
    assert all(float(x.detach()) == 0 for x in losses(net, planes, masks, policies, values, torch.zeros(4)))


def test_a_pgn_file_on_standard_input_is_taken(tmp_path, monkeypatch):
    import io
    import sys

    from vantor_gym.train.pgn_positions import pgn_positions
    from vantor_gym.train.replay import ReplayBuffer

    config = tiny(tmp_path, pgn="-", engine_minutes=0, eval_games=0, final_games=0, head_to_head_games=0)
    trainer = Trainer(config)
    trainer.check_inputs(1)  # "-" is no missing file
    trainer.close()
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(random_games(2).encode())))
    assert pgn_positions(ReplayBuffer(1000), "-") > 0
