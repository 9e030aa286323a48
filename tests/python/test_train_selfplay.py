"""Self-play for training: every finished game's positions reach the buffer with the
search's policies and the game's result from each side."""

import numpy as np

from vantor_gym import expand_observations
from vantor_gym.train import ReplayBuffer
from vantor_gym.train.selfplay import SelfPlay


def uniform(observations, masks):
    return np.zeros(masks.shape, np.float32), np.zeros(len(masks), np.float32)


def run(seed):
    buffer = ReplayBuffer(10_000)
    play = SelfPlay(uniform, games=4, simulations=8, max_plies=12, temperature_plies=4, seed=seed, threads=1)
    stats = play.play(30, buffer)
    play.close()
    return buffer, stats


def test_finished_games_reach_the_buffer_with_their_targets():
    buffer, stats = run(seed=3)
    # Games are cut at 12 plies, so 30 moves of 4 games finish at least 8 games.
    assert stats.plies == 120 and stats.games >= 8 and sum(stats.results.values()) == stats.games
    assert len(buffer) >= 8 * 2 and len(buffer) <= stats.plies
    batch = buffer.batch(np.arange(len(buffer)))
    assert np.allclose(batch["policies"].sum(axis=1), 1, atol=1e-5)
    assert not (batch["policies"] * ~batch["masks"]).any()
    assert set(np.unique(batch["values"])) <= {-1.0, 0.0, 1.0}
    # Positions are the games' own: the side plane of each is 0 or 1 and a legal move exists.
    planes = expand_observations(buffer.observations[: len(buffer)])
    assert set(np.unique(planes[:, 112])) <= {0, 1} and batch["masks"].any(axis=1).all()


def test_self_play_repeats_with_its_seed():
    a, _ = run(seed=5)
    b, _ = run(seed=5)
    assert a.added == b.added
    for name in ("observations", "actions", "policies", "values"):
        assert np.array_equal(getattr(a, name), getattr(b, name)), name
