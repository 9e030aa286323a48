"""reset, step, hash_state and roll_out through the Python surface."""

import pytest

import vantor

E2E4, F2F3, G2G4, E7E5, D8H4 = 564, 501, 566, 524, 195
NF3, NF6, NG1, NG8 = 3646, 3910, 3885, 3669


def is_result(result):
    side, obs, reward, done = result
    return (
        type(result) is tuple
        and all(type(v) is int for v in (side, reward, done))
        and type(obs) is list
        and len(obs) == 119
        and all(type(p) is list and len(p) == 64 and all(type(v) is int for v in p) for p in obs)
    )


def test_reset_result(env):
    result = env.reset()
    assert is_result(result)
    side, obs, reward, done = result
    assert (side, reward, done) == (0, 0, 0)
    assert obs[0] == [1 if 48 <= s < 56 else 0 for s in range(64)]
    assert all(obs[p] == [1] * 64 for p in range(114, 118))


def test_fools_mate(env):
    env.reset()
    assert [env.step(a)[3] for a in (F2F3, E7E5, G2G4)] == [0, 0, 0]
    side, obs, reward, done = env.step(D8H4)
    assert (side, reward, done) == (0, -1, 1)
    with pytest.raises(ValueError, match="^Invalid action$"):
        env.step(E2E4)


def test_back_rank_mate(env):
    env.parse_fen("6k1/5ppp/8/8/8/8/8/4R1K1 w - - 0 1")
    side, _, reward, done = env.step(892)
    assert (side, reward, done) == (1, 1, 1)


def test_knight_shuffle_draws_on_the_third_occurrence(env):
    env.reset()
    dones = [env.step(a)[3] for a in (NF3, NF6, NG1, NG8) * 2]
    assert dones == [0] * 7 + [1]


@pytest.mark.parametrize("action", [-1, 0, 4672, 2**31 - 1, -(2**31), True])
def test_invalid_action_is_value_error_and_changes_nothing(env, action):
    env.reset()
    env.step(E2E4)
    before = (env.hash_state(), env.get_actions())
    with pytest.raises(ValueError, match="^Invalid action$"):
        env.step(action)
    assert (env.hash_state(), env.get_actions()) == before
    # The episode goes on as if nothing had happened.
    assert env.step(E7E5)[3] == 0


def test_step_on_a_board_never_loaded(env):
    with pytest.raises(ValueError, match="Invalid action"):
        env.step(E2E4)


@pytest.mark.parametrize(
    "call",
    [
        lambda e: e.step(564.0),
        lambda e: e.step("564"),
        lambda e: e.step(2**31),
        lambda e: e.step(-(2**31) - 1),
        lambda e: e.step(None),
        lambda e: e.step(arg0=564),
        lambda e: e.step(action=564),
        lambda e: e.step(),
        lambda e: e.reset(0),
        lambda e: e.hash_state(1),
        lambda e: e.roll_out(1),
    ],
)
def test_unconvertible_arguments(env, call):
    env.reset()
    before = env.hash_state()
    with pytest.raises(TypeError):
        call(env)
    assert env.hash_state() == before


def test_integer_like_actions_are_accepted(env):
    class Index:
        def __index__(self):
            return E2E4

    env.reset()
    assert env.step(Index())[0] == 1
    env.reset()
    np = pytest.importorskip("numpy")
    assert env.step(np.int32(E2E4))[0] == 1


def test_hash_is_unsigned(env):
    env.reset()
    assert env.hash_state() == 0x07259D7613375B63
    env.step(E2E4)
    assert env.hash_state() == 0xF629E983B692FEC6 >= 2**63


def test_results_share_nothing_with_the_board(env):
    _, obs, _, _ = env.reset()
    obs[0][48] = 7
    obs.append([])
    assert env.reset()[1][0][48] == 1
    mask = env.get_actions()
    mask[0][0] = 1
    with pytest.raises(ValueError):
        env.step(0)


def test_step_count_on_plane_113(env):
    env.reset()
    for action in (E2E4, E7E5, NF3):
        _, obs, _, _ = env.step(action)
    assert obs[113] == [3] * 64
    _, obs, _, _ = env.reset()
    assert obs[113] == [3] * 64


def test_roll_out_from_the_start(env):
    for _ in range(20):
        # Plane 113 of a reset shows the steps made since the environment was created.
        before = env.reset()[1][113][0]
        result = env.roll_out()
        assert type(result) is int and result in (-1, 0, 1)
        assert 1 <= env.reset()[1][113][0] - before <= 400


def test_roll_out_of_a_finished_game(env):
    env.parse_fen("rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3")
    before = env.hash_state()
    assert env.roll_out() == 0
    assert env.hash_state() == before
