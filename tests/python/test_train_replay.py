"""The replay buffer: what goes in comes out dense and exact, the ring, saving, bad input."""

import numpy as np
import pytest

from vantor_gym import BatchEnv, expand_observations
from vantor_gym.train import ReplayBuffer


def positions(n, seed=0):
    """n positions of random games: compact rows, masks, a random policy over the legal
    actions, and values."""
    rng = np.random.default_rng(seed)
    with BatchEnv(n, threads=1, compact=True) as games:
        rows, info = games.reset()
        for _ in range(int(rng.integers(3, 30))):
            actions = [rng.choice(np.flatnonzero(m)) if m.any() else 0 for m in info["action_mask"]]
            rows, _, _, _, info = games.step(actions)
        masks = info["action_mask"].copy()
    policies = rng.random(masks.shape).astype(np.float32) * masks
    policies /= np.maximum(policies.sum(axis=1, keepdims=True), 1e-9)
    return rows.copy(), masks, policies, rng.uniform(-1, 1, n).astype(np.float32)


def test_positions_come_back_dense_and_exact():
    rows, masks, policies, values = positions(24)
    buffer = ReplayBuffer(100)
    buffer.add(rows[:10], masks[:10], policies[:10], values[:10])
    buffer.add(rows[10:].view(np.int64), masks[10:], policies[10:], values[10:])
    assert len(buffer) == 24
    batch = buffer.batch(np.arange(24))
    assert np.array_equal(batch["observations"], expand_observations(rows).astype(np.float32))
    assert np.array_equal(batch["masks"], masks) and np.array_equal(batch["values"], values)
    assert np.array_equal(batch["policies"], policies)
    sampled = buffer.sample(64, np.random.default_rng(1), dtype=np.int32)
    assert sampled["observations"].dtype == np.int32 and sampled["masks"].shape == (64, 4672)
    assert not (sampled["policies"] * ~sampled["masks"]).any()


def test_the_ring_keeps_the_newest_and_saving_keeps_everything(tmp_path):
    rows, masks, policies, values = positions(8, seed=2)
    buffer = ReplayBuffer(5)
    for k in range(0, 8, 3):
        buffer.add(rows[k:k + 3], masks[k:k + 3], policies[k:k + 3], values[k:k + 3])
    assert len(buffer) == 5 and buffer.added == 8
    # Positions 5, 6, 7 overwrote slots 0, 1, 2.
    kept = sorted(buffer.values.tolist())
    assert kept == sorted(values[3:].tolist())
    path = tmp_path / "buffer.npz"
    buffer.save(path)
    again = ReplayBuffer.load(path)
    assert (again.capacity, again.added, len(again)) == (5, 8, 5)
    for name in ("observations", "actions", "policies", "values"):
        assert np.array_equal(getattr(again, name), getattr(buffer, name)), name
    half = ReplayBuffer(10)
    half.add(rows[:2], masks[:2], policies[:2], values[:2])
    half.save(path)
    assert np.array_equal(ReplayBuffer.load(path).batch([0, 1])["policies"], policies[:2])


@pytest.mark.parametrize(
    "change, message",
    [
        (lambda r, m, p, v: (r[:, :100], m, p, v), "compact rows"),
        (lambda r, m, p, v: (r.astype(np.float64), m, p, v), "compact rows"),
        (lambda r, m, p, v: (r, m[:, :100], p, v), "masks must have shape"),
        (lambda r, m, p, v: (r, m, p + (~m) * 0.5, v), "illegal action"),
        (lambda r, m, p, v: (r, m, -p, v), "non-negative"),
        (lambda r, m, p, v: (r, m, p, v * 3), r"\[-1, 1\]"),
        (lambda r, m, p, v: (r, m, p, v[:2]), "values must have shape"),
    ],
)
def test_bad_batches_are_refused_with_nothing_stored(change, message):
    buffer = ReplayBuffer(10)
    with pytest.raises(ValueError, match=message):
        buffer.add(*change(*positions(4, seed=3)))
    assert len(buffer) == 0 and buffer.added == 0
    with pytest.raises(ValueError, match="empty"):
        buffer.sample(1, np.random.default_rng())
    with pytest.raises(ValueError, match="capacity"):
        ReplayBuffer(0)


def test_positions_added_with_the_move_played_are_those_of_a_one_hot_policy():
    rows, masks, _, values = positions(40, seed=3)
    rng = np.random.default_rng(4)
    played = np.array([rng.choice(np.flatnonzero(m)) for m in masks])
    one_hot = np.zeros(masks.shape, np.float32)
    one_hot[np.arange(40), played] = 1
    listed = np.full((40, 256), -1, np.int16)
    for row, mask in enumerate(masks):
        legal = np.flatnonzero(mask)
        listed[row, :len(legal)] = legal
    for capacity, cuts in ((30, (40,)), (30, (7, 25, 40)), (100, (13, 40))):  # rings that wrap, or not
        dense, lean = ReplayBuffer(capacity), ReplayBuffer(capacity)
        dense.add(rows, masks, one_hot, values)
        for begin, end in zip((0, *cuts), cuts):
            lean.add_played(rows[begin:end], listed[begin:end], played[begin:end], values[begin:end])
        for name in ("observations", "actions", "policies", "values"):
            assert np.array_equal(getattr(dense, name), getattr(lean, name)), (capacity, cuts, name)
        assert lean.added == 40
    wrong = played.copy()
    wrong[5] = np.flatnonzero(~masks[5])[0]
    unsorted = listed.copy()
    unsorted[3, :2] = unsorted[3, 1::-1]
    for bad in ((rows, listed, wrong, values), (rows, listed.astype(np.int32), played, values),
                (rows, listed, played + 4672, values), (rows[:, :10], listed, played, values),
                (rows, listed, played, values * 3), (rows.astype(np.float64), listed, played, values),
                (rows, unsorted, played, values)):
        with pytest.raises(ValueError):
            lean.add_played(*bad)
    assert lean.added == 40
