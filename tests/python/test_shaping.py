"""Material reward shaping: the bonus is the change of the agent's material over each step,
counted on the board itself, for the single environment and SB3's vector one alike."""

import numpy as np
import pytest

pytest.importorskip("gymnasium")

import gymnasium  # noqa: E402

import vantor_gym  # noqa: E402, F401  (registers the environment)
from vantor_gym.shaping import MaterialReward, material_balance  # noqa: E402

VALUES = (1, 3, 3, 5, 9, 0)


def board_balance(state, side):
    """The material of ``side`` less the other's, counted from the piece sets."""
    counts = [bin(pieces).count("1") for pieces in state.bitboards.tolist()]
    own = sum(v * counts[6 * side + k] for k, v in enumerate(VALUES))
    other = sum(v * counts[6 * (1 - side) + k] for k, v in enumerate(VALUES))
    return own - other


def lowest(state, mask):
    return int(np.flatnonzero(mask)[0])


@pytest.mark.parametrize("options", [
    {},
    {"opponent": lowest, "agent_side": "black", "flatten": True, "scale": True},
    {"opponent": "random", "agent_side": "white", "rules": "module", "dtype": np.float32},
], ids=["no opponent", "black, flat and scaled", "white, module rules"])
def test_the_bonus_is_the_change_of_the_agents_material(options):
    env = MaterialReward(gymnasium.make("vantor_gym/Chess-v0", max_plies=80, **options), weight=0.5)
    side = 1 if options.get("agent_side") == "black" else 0
    rng = np.random.default_rng(3)
    _, info = env.reset(seed=1)
    before, shaped_steps = board_balance(env.unwrapped.game.save_state(), side), 0
    for _ in range(400):
        action = int(rng.choice(np.flatnonzero(info["action_mask"])))
        _, reward, terminated, truncated, info = env.step(action)
        after = board_balance(env.unwrapped.game.save_state(), side)
        game_reward = reward - 0.5 * (after - before)
        assert game_reward in (-1.0, 0.0, 1.0)
        shaped_steps += after != before
        before = after
        if terminated or truncated:
            _, info = env.reset()
            before = board_balance(env.unwrapped.game.save_state(), side)
    assert shaped_steps > 10


def test_balances_of_one_or_many_observations_flat_or_not():
    game = vantor_gym.Game("4k3/8/8/8/8/8/PPP5/RN2K3 w - - 0 1")
    planes = game.observation().copy()
    rows = np.stack([planes, planes])
    assert material_balance(planes, True).tolist() == [11.0]
    assert material_balance(planes.reshape(-1), False).tolist() == [-11.0]
    assert material_balance(rows.astype(np.float32), [True, False]).tolist() == [11.0, -11.0]
    with pytest.raises((TypeError, ValueError)):
        MaterialReward(gymnasium.make("vantor_gym/Chess-v0"), weight="much")


@pytest.mark.parametrize("monitored", [False, True], ids=["plain", "over VecMonitor"])
def test_the_vec_env_shapes_each_game_as_the_single_env_does(monitored):
    pytest.importorskip("stable_baselines3")
    from stable_baselines3.common.vec_env import DummyVecEnv, VecMonitor

    from vantor_gym.sb3 import VecEnv, VecMaterialReward

    options = {"max_plies": 30, "opponent": lowest, "agent_side": "black"}
    games = VecEnv(3, threads=1, **options)
    ours = VecMaterialReward(VecMonitor(games) if monitored else games, weight=0.25)
    theirs = DummyVecEnv([lambda: MaterialReward(gymnasium.make("vantor_gym/Chess-v0", **options), 0.25)] * 3)
    ours.reset()
    theirs.reset()
    rng = np.random.default_rng(4)
    ends = 0
    for step in range(200):
        masks = games.action_masks()
        actions = np.array([rng.choice(np.flatnonzero(m)) for m in masks])
        _, rewards, dones, _ = ours.step(actions)
        _, expected, expected_dones, _ = theirs.step(actions)
        assert np.allclose(rewards, expected) and np.array_equal(dones, expected_dones), step
        ends += int(dones.sum())
    assert ends >= 5
