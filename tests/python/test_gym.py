"""The Gymnasium environments of vantor_gym."""

import contextlib
import io

import pytest

gymnasium = pytest.importorskip("gymnasium")
np = pytest.importorskip("numpy")

import vantor  # noqa: E402
import vantor_gym  # noqa: E402
from conftest import check_env, flush_c_stdout  # noqa: E402


def legal(mask):
    return [i for i, v in enumerate(v for row in mask for v in row) if v]


@pytest.mark.parametrize("render_mode", [None, "ansi"])
def test_gymnasium_accepts_the_environment(render_mode):
    # Made through the registry, so that the checker can find its spec.
    check_env(gymnasium.make("vantor_gym/Chess-v0", render_mode=render_mode).unwrapped)


def test_spaces():
    env = vantor_gym.VantorEnv()
    assert env.action_space == gymnasium.spaces.Discrete(4672)
    assert env.observation_space.shape == (119, 8, 8) and env.observation_space.dtype == np.int32


def test_observation_and_mask_are_the_modules():
    env, raw = vantor_gym.VantorEnv(legal_actions=True, rules="module"), vantor.Vantor()
    obs, info = env.reset(seed=3)
    _, planes, _, _ = raw.reset()
    assert obs.dtype == np.int32 and obs.shape == (119, 8, 8)
    for p in (0, 5, 11, 113, 114):
        assert obs[p].reshape(64).tolist() == planes[p]
    assert info["action_mask"].dtype == np.int8 and info["action_mask"].shape == (4672,)
    assert np.flatnonzero(info["action_mask"]).tolist() == legal(raw.get_actions())
    obs, reward, terminated, truncated, info = env.step(564)
    side, planes, raw_reward, done = raw.step(564)
    assert obs.reshape(119, 64).tolist() == planes
    assert (reward, terminated, truncated, info["side"]) == (raw_reward, bool(done), False, side)
    assert np.flatnonzero(info["action_mask"]).tolist() == legal(raw.get_actions()) == info["legal_actions"]


def test_outputs_are_fresh_and_the_caller_may_keep_them():
    env = vantor_gym.VantorEnv(legal_actions=True)
    first, info = env.reset()
    kept = [first.copy(), info["action_mask"].copy(), list(info["legal_actions"])]
    first[:] = 7
    info["action_mask"][:] = 0
    info["legal_actions"].clear()
    second, *_, info = env.step(564)
    assert not (second == 7).all() and np.flatnonzero(info["action_mask"]).tolist() == info["legal_actions"]
    # The step-count plane starts again with the game, and so does the rest.
    assert np.array_equal(env.reset()[0], kept[0]) and env.reset()[1]["legal_actions"] == kept[2]
    with pytest.raises(RuntimeError, match="call reset before step"):
        vantor_gym.VantorEnv().step(564)


def test_fools_mate_terminates_with_white_losing():
    env = vantor_gym.VantorEnv()
    env.reset()
    for action in (501, 524, 566):
        assert env.step(action)[2] is False
    _, reward, terminated, truncated, info = env.step(195)
    assert (reward, terminated, truncated) == (-1, True, False)
    assert not info["action_mask"].any()


def test_ply_limit_truncates():
    env = vantor_gym.VantorEnv(max_plies=3)
    env.reset()
    flags = [env.step(a)[2:4] for a in (3646, 3910, 3885)]
    assert flags == [(False, False), (False, False), (False, True)]


def test_reset_from_fen():
    env, raw = vantor_gym.VantorEnv(), vantor.Vantor()
    fen = "6k1/5ppp/8/8/8/8/8/4R1K1 w - - 0 1"
    obs, info = env.reset(options={"fen": fen})
    raw.parse_fen(fen)
    assert np.flatnonzero(info["action_mask"]).tolist() == legal(raw.get_actions())
    assert info["side"] == 0
    assert not obs[14:112].any()  # a history of just this position
    assert obs[3].reshape(64).tolist() == [1 if s == 60 else 0 for s in range(64)]
    _, reward, terminated, _, _ = env.step(892)
    assert (reward, terminated) == (1, True)
    obs, info = env.reset(options={"fen": "4k3/8/8/8/8/8/8/4K2R b K - 0 1"})
    assert info["side"] == 1 and obs[112].all()


def test_illegal_actions():
    env = vantor_gym.VantorEnv()
    obs, _ = env.reset()
    after, reward, terminated, truncated, info = env.step(0)
    assert (reward, terminated, truncated, info["illegal_action"]) == (-1, True, False, True)
    assert (after == obs).all()
    strict = vantor_gym.VantorEnv(illegal_action="raise")
    strict.reset()
    with pytest.raises(ValueError, match="Invalid action"):
        strict.step(0)
    with pytest.raises(ValueError):
        vantor_gym.VantorEnv(illegal_action="ignore")


def test_seeding_makes_sampling_reproducible():
    def run(seed):
        env = vantor_gym.VantorEnv(max_plies=30)
        _, info = env.reset(seed=seed)
        actions = []
        for _ in range(30):
            action = int(env.np_random.choice(np.flatnonzero(info["action_mask"])))
            actions.append(action)
            _, _, terminated, truncated, info = env.step(action)
            if terminated or truncated:
                break
        return actions

    assert run(7) == run(7)
    assert run(7) != run(8)


def test_ansi_render_is_the_letter_board(capfd):
    env = vantor_gym.VantorEnv(render_mode="ansi")
    env.reset()
    env.step(564)
    text = env.render()
    flush_c_stdout()  # what earlier tests left in C's buffer is not this board's
    capfd.readouterr()
    game = vantor.Vantor()
    game.restore_state(env.unwrapped.game.save_state())
    with contextlib.redirect_stdout(io.StringIO()):
        game.render()
    flush_c_stdout()
    assert text == capfd.readouterr().out
    assert vantor_gym.VantorEnv().render() is None


def test_vector_environment():
    envs = vantor_gym.VantorVectorEnv(4, max_plies=6)
    obs, infos = envs.reset(seed=1)
    assert obs.shape == (4, 119, 8, 8) and infos["action_mask"].shape == (4, 4672)
    rng = np.random.default_rng(0)
    ended = 0
    for step in range(14):
        actions = [int(rng.choice(np.flatnonzero(m))) for m in infos["action_mask"]]
        obs, rewards, terminated, truncated, infos = envs.step(actions)
        assert obs.shape == (4, 119, 8, 8) and rewards.shape == (4,)
        ended += int((terminated | truncated).sum())
        if step == 5:
            assert truncated.all()  # the ply limit, in every game at once
        if step == 6:
            assert infos["side"].tolist() == [0, 0, 0, 0]  # each game restarted
    assert ended >= 8
    envs.close()


def test_seed_repeats_action_sampling():
    def samples(seed):
        env = vantor_gym.VantorEnv()
        _, info = env.reset(seed=seed)
        return [int(env.action_space.sample(mask=info["action_mask"])) for _ in range(5)]

    assert samples(4) == samples(4)


def test_actions_that_are_not_one_integer_per_game_are_refused():
    env = vantor_gym.VantorEnv()
    env.reset()
    for bad in (564.0, "564", None, [564], True):
        with pytest.raises(TypeError):
            env.step(bad)
    assert env.step(np.int16(564))[2] is False
    envs = vantor_gym.VantorVectorEnv(2)
    envs.reset()
    for bad, error in (([564, 564, 564], ValueError), ([564], ValueError), ([564.0, 564.0], TypeError)):
        with pytest.raises(error):
            envs.step(bad)


def test_vector_raise_mode_changes_no_game_on_error():
    envs = vantor_gym.VantorVectorEnv(3, illegal_action="raise")
    envs.reset()
    before = envs.batch.hash_state()
    with pytest.raises(ValueError):
        envs.step([564, 564, 0])
    assert (envs.batch.hash_state() == before).all()
    _, _, _, _, infos = envs.step([564, 564, 564])
    assert not infos["illegal_action"].any()


def test_calls_after_close_say_so():
    env, envs = vantor_gym.VantorEnv(), vantor_gym.VantorVectorEnv(2)
    env.reset()
    envs.reset()
    env.close()
    envs.close()
    for call in (env.reset, lambda: env.step(564), envs.reset, lambda: envs.step([564, 564])):
        with pytest.raises(RuntimeError, match="closed"):
            call()


def test_vector_env_matches_gymnasiums_own_vector_of_single_games():
    # Gymnasium's SyncVectorEnv over VantorEnv defines what next-step autoreset must give.
    ours = vantor_gym.VantorVectorEnv(4, max_plies=9)
    theirs = gymnasium.vector.SyncVectorEnv(
        [lambda: vantor_gym.VantorEnv(max_plies=9) for _ in range(4)],
        autoreset_mode=gymnasium.vector.AutoresetMode.NEXT_STEP,
    )
    a, a_info = ours.reset(seed=2)
    b, b_info = theirs.reset(seed=2)
    assert (a == b).all() and (a_info["action_mask"] == b_info["action_mask"]).all()
    rng = np.random.default_rng(2)
    for _ in range(40):
        actions = np.array([rng.choice(np.flatnonzero(m)) if m.any() else 0 for m in a_info["action_mask"]])
        a, a_rew, a_term, a_trunc, a_info = ours.step(actions)
        b, b_rew, b_term, b_trunc, b_info = theirs.step(actions)
        assert ours.observation_space.contains(a)
        assert (a == b).all() and (a_rew == b_rew).all()
        assert (a_term == b_term).all() and (a_trunc == b_trunc).all()
        assert (a_info["action_mask"] == b_info["action_mask"]).all()
