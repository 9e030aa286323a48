"""VantorVectorEnv against gymnasium's SyncVectorEnv over VantorEnv games with the same
options: every observation, reward, end and info, element by element, in each autoreset
mode, over random play with truncations, mates and illegal actions."""

import gymnasium
import numpy as np
import pytest
from gymnasium.vector import AutoresetMode, SyncVectorEnv

import vantor
from vantor_gym import VantorEnv, VantorVectorEnv

# Either side to move mates at once by taking the other's rook on the back rank.
BACK_RANK = "r5k1/5ppp/8/8/8/8/5PPP/R5K1 w - - 0 1"
GAMES = 4


def quiet(state, mask):
    """A legal action chosen by the position: deterministic, so both vector envs see the
    same replies."""
    legal = np.flatnonzero(mask)
    return int(legal[(int(state.bitboards.sum()) + len(legal)) % len(legal)])


def mating(state, mask):
    """Mates when it can, else plays ``quiet``."""
    board = vantor.Vantor()
    for action in np.flatnonzero(mask).tolist():
        board.restore_state(state)
        if board.step(action)[2] != 0:
            return action
    return quiet(state, mask)


def blundering(state, mask):
    """Now and then an action that is not legal: a loss for the opponent under "lose"."""
    legal = np.flatnonzero(mask)
    if len(legal) % 5 == 0:
        return int(np.flatnonzero(~mask)[0])
    return mating(state, mask)


OPTIONS = {
    "plain": {},
    "module planes": {"observation": "module"},
    "zero plane in float32": {"step_plane": "zero", "dtype": np.float32},
    "module plane, flat": {"step_plane": "module", "flatten": True},
    "legal lists": {"legal_actions": True},
    "scaled, flat, automatic rules": {"scale": True, "flatten": True, "rules": "automatic"},
    "module rules, scaled": {"rules": "module", "step_plane": "plies", "scale": True, "opponent": quiet},
    "opponent with white": {"opponent": quiet, "agent_side": "black"},
    # From the start position it mates at once: each game ends in reset, and the next
    # step returns that end.
    "mating opponent with white": {"opponent": mating, "agent_side": "black"},
    "opponent with black": {"opponent": mating, "agent_side": "white", "legal_actions": True},
    "opponent on random sides": {"opponent": mating, "agent_side": "random"},
    "blundering opponent": {"opponent": blundering, "agent_side": "random"},
    # The opponent's first move ends each game: the next step returns that end.
    "one ply, opponent first": {"opponent": mating, "agent_side": "black", "max_plies": 1},
}


def same(ours, theirs, where):
    if isinstance(theirs, dict):
        assert isinstance(ours, dict) and ours.keys() == theirs.keys(), where
        for key in theirs:
            same(ours[key], theirs[key], f"{where}[{key!r}]")
    elif isinstance(theirs, tuple):
        assert isinstance(ours, tuple) and len(ours) == len(theirs), where
        for k, (a, b) in enumerate(zip(ours, theirs)):
            same(a, b, f"{where}[{k}]")
    elif isinstance(theirs, np.ndarray):
        assert isinstance(ours, np.ndarray) and ours.dtype == theirs.dtype and ours.shape == theirs.shape, where
        if theirs.dtype == object:
            for k, (a, b) in enumerate(zip(ours, theirs)):
                same(a, b, f"{where}[{k}]")
        else:
            assert np.array_equal(ours, theirs), where
    else:
        assert type(ours) is type(theirs) and ours == theirs, where


def actions_for(masks, rng, illegal):
    actions = np.empty(len(masks), np.int64)
    for game, mask in enumerate(masks.astype(bool)):
        legal = np.flatnonzero(mask)
        if illegal and rng.random() < 0.04 or not legal.size:
            actions[game] = int(rng.choice(np.flatnonzero(~mask)))
        else:
            actions[game] = int(rng.choice(legal))
    return actions


@pytest.mark.parametrize("mode", list(AutoresetMode), ids=lambda m: m.name.lower())
@pytest.mark.parametrize("name", list(OPTIONS))
def test_every_step_is_what_sync_vector_env_gives(mode, name):
    options = {"max_plies": 9, "start_fens": [BACK_RANK], **OPTIONS[name]}
    ours = VantorVectorEnv(GAMES, workers=1, autoreset_mode=mode, **options)
    theirs = SyncVectorEnv([lambda: VantorEnv(**options)] * GAMES, autoreset_mode=mode)
    assert ours.single_observation_space == theirs.single_observation_space
    assert ours.observation_space == theirs.observation_space and ours.action_space == theirs.action_space
    assert ours.metadata["autoreset_mode"] is mode is ours.autoreset_mode
    rng = np.random.default_rng(sorted(OPTIONS).index(name))
    obs, infos = ours.reset(seed=11)
    same(obs, theirs.reset(seed=11)[0], "reset observations")
    same(infos, theirs.reset(seed=11)[1], "reset infos")
    obs, infos = ours.reset(seed=11)
    ended = 0
    for step in range(60):
        actions = actions_for(infos["action_mask"], rng, illegal=True)
        obs, rewards, terminated, truncated, infos = ours.step(actions)
        expected = theirs.step(actions)
        where = f"step {step}"
        same(obs, expected[0], f"{where} observations")
        assert rewards.dtype == np.int64 and np.array_equal(rewards, expected[1]), where
        same(terminated, expected[2], f"{where} terminated")
        same(truncated, expected[3], f"{where} truncated")
        same(infos, expected[4], f"{where} infos")
        assert ours.observation_space.contains(obs)
        assert np.array_equal(ours.action_masks(), infos["action_mask"].astype(bool)) or mode is AutoresetMode.SAME_STEP
        over = terminated | truncated
        ended += int(over.sum())
        if mode is AutoresetMode.DISABLED and over.any():
            obs, infos = ours.reset(options={"reset_mask": over.copy()})
            expected_obs, expected_infos = theirs.reset(options={"reset_mask": over.copy()})
            same(obs, expected_obs, f"{where} partial reset observations")
            same(infos, expected_infos, f"{where} partial reset infos")
            infos = {"action_mask": ours.action_masks().astype(np.int8)}
    assert ended >= 8
    ours.close()
    theirs.close()


def test_make_vec_takes_the_autoreset_mode_as_a_keyword():
    for given in ("same_step", "SameStep", AutoresetMode.SAME_STEP):
        envs = gymnasium.make_vec("vantor_gym/Chess-v0", num_envs=2, autoreset_mode=given)
        assert envs.unwrapped.autoreset_mode is AutoresetMode.SAME_STEP
        assert envs.metadata["autoreset_mode"] is AutoresetMode.SAME_STEP
        assert envs.spec.kwargs["autoreset_mode"] == given
        envs.close()
    assert VantorVectorEnv.metadata["autoreset_mode"] is AutoresetMode.NEXT_STEP  # the class's is untouched
    with pytest.raises(ValueError, match="autoreset_mode must be"):
        VantorVectorEnv(2, autoreset_mode="sometimes")
