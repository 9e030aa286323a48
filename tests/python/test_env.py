"""The single Gymnasium environment: opponents, bounded observations, fixed-shape infos,
the fast masked sample and what the checkers of Gymnasium and Stable-Baselines3 say."""

import os
import threading
import time
import warnings

import pytest

gymnasium = pytest.importorskip("gymnasium")
np = pytest.importorskip("numpy")
pytest.importorskip("hypothesis")

from conftest import SANITIZED, check_env  # noqa: E402
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import vantor  # noqa: E402
from vantor_gym import VantorEnv  # noqa: E402
from vantor_gym.env import ActionSpace  # noqa: E402
from vantor_gym.players import TreeSearchPlayer  # noqa: E402
from vantor_gym.rules import RULES, ending_name  # noqa: E402
from vantor_gym.uci import UciEngine  # noqa: E402

STOCKFISH = "/usr/games/stockfish"
F3, E5, G4, QH4 = 501, 524, 566, 195  # Fool's mate
MATE_IN_ONE, RE8 = "6k1/5ppp/8/8/8/8/8/4R1K1 w - - 0 1", 892


def scripted(*actions, seen=None):
    """An opponent playing the given actions in turn, keeping in ``seen`` what it was shown."""
    moves = iter(actions)

    def play(state, mask):
        if seen is not None:
            seen.append((state, mask))
        return next(moves)

    return play


def random_steps(env, info, rng, steps=10_000):
    """Random legal actions until the episode ends (or ``steps`` are made)."""
    for _ in range(steps):
        obs, reward, terminated, truncated, info = env.step(int(rng.choice(np.flatnonzero(info["action_mask"]))))
        if terminated or truncated:
            break
    return obs, reward, terminated, truncated, info


@pytest.mark.parametrize("side, opponent, agent, reward", [("black", (F3, G4), (E5, QH4), 1),
                                                           ("white", (E5, QH4), (F3, G4), -1)])
def test_fools_mate_against_an_opponent_rewards_the_agents_side(side, opponent, agent, reward):
    seen = []
    env = VantorEnv(opponent=scripted(*opponent, seen=seen), agent_side=side, render_mode="rgb_array")
    obs, info = env.reset()
    assert info["agent_side"] == info["side"] == ("white", "black").index(side)
    assert obs[113].max() == (side == "black")  # the opponent's opening move is a ply of the game
    assert [env.step(action)[1:4] for action in agent] == [(0, False, False), (reward, True, False)]
    assert "1. f3 e5 2. g4 Qh4# 0-1" in env.pgn() and env.last_move == (3, 39)  # Qd8-h4, whoever played it
    state, mask = seen[0]
    assert isinstance(state, vantor.State) and mask.dtype == np.bool_ and not mask.flags.writeable
    with pytest.raises(ValueError, match="the game is over"):
        env.step(agent[0])


@pytest.mark.parametrize("spec, rules", [("random", "standard"), ("mc:1", "standard"), ("search:2", "standard"),
                                         ("search:2", "module"), ("mc:1", "automatic")])
def test_opponent_specs_play_the_other_side_and_seeded_resets_repeat_them(spec, rules):
    def episode(seed):
        env = gymnasium.make("vantor_gym/Chess-v0", opponent=spec, agent_side="random", max_plies=12, rules=rules)
        _, info = env.reset(seed=seed)
        sides = [int(info["agent_side"])] + [int(env.reset()[1]["agent_side"]) for _ in range(15)]
        obs, info = env.reset(seed=seed)
        assert obs[113].max() == info["agent_side"] == info["side"]  # black: the opponent moved
        _, reward, terminated, truncated, _ = random_steps(env, info, np.random.default_rng(0))
        # Twelve plies of both sides, unless a mate came first.
        assert (truncated and env.unwrapped.game.plies == 12 and reward == 0) or terminated
        return sides, env.unwrapped.pgn()

    first = episode(3)
    assert set(first[0]) == {0, 1} and episode(3)[0] == first[0] != episode(4)[0]
    if spec != "mc:1":  # its roll-outs draw from no seed
        assert episode(3)[1] == first[1]


class Failure(Exception):
    pass


def fails(state, mask):
    raise Failure("no move")


@pytest.mark.parametrize("returned, error, message", [
    (0, None, "gave action 0, which is not legal"),
    (2**70, None, f"gave action {2**70}, which is not legal"),
    (np.int64(4672), None, "gave action 4672, which is not legal"),
    (1.5, TypeError, "returned 1.5, not an integer action"),
    (True, TypeError, "returned True, not an integer action"),
    ("e7e5", TypeError, "returned 'e7e5', not an integer action"),
    (fails, Failure, "no move"),
])
def test_an_opponent_that_fails_loses_or_raises_and_the_episode_waits_for_reset(returned, error, message):
    def opponent():
        return returned if returned is fails else lambda state, mask: returned

    if error is None:  # an illegal action loses under "lose", as play_match scores it
        env = VantorEnv(opponent=opponent())
        env.reset()
        _, reward, terminated, truncated, info = env.step(F3)
        assert (reward, terminated, truncated, info["illegal_action"], info["side"]) == (1, True, False, True, 1)
        assert env.pgn().rstrip().endswith("1. f3 1-0")
    for side in ("white", "black"):  # playing black, it fails inside step; white, inside reset
        env = VantorEnv(opponent=opponent(), agent_side=side, illegal_action="raise")
        with pytest.raises(error or ValueError, match=message):
            env.reset()
            env.step(F3)
        with pytest.raises(RuntimeError, match="the opponent failed to move: call reset before step"):
            env.step(E5)


@pytest.mark.parametrize("options, max_plies, expected, ending", [
    ({"fen": MATE_IN_ONE}, None, (-1, True, False), "checkmate"), (None, 1, (0, False, True), "max_plies")])
def test_an_end_made_by_the_opponents_first_move_comes_with_the_first_step(options, max_plies, expected, ending):
    env = VantorEnv(opponent=scripted(RE8 if options else F3), agent_side="black", max_plies=max_plies)
    _, info = env.reset(options=options)
    assert info["side"] == 1 and env.game.is_over and info["ending"] == 0
    *outputs, info = env.step(0)
    assert tuple(outputs[1:4]) == expected and ending_name(info["ending"]) == ending
    with pytest.raises(ValueError, match="the game is over"):
        env.step(0)


def stockfish_children():
    """The Stockfish processes this process started and has not reaped."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as stat, open(f"/proc/{entry}/cmdline", "rb") as command:
                parent = int(stat.read().rsplit(")", 1)[1].split()[1])
                if parent == os.getpid() and b"stockfish" in command.read():
                    found.append(entry)
        except OSError:
            pass
    return found


@pytest.mark.skipif(not os.access(STOCKFISH, os.X_OK), reason="no Stockfish")
def test_engines_started_for_a_spec_are_the_envs_to_close():
    before = stockfish_children()
    with pytest.raises(ValueError, match="unknown UCI option 'Bogus'") as refused:
        VantorEnv(opponent=f"uci:{STOCKFISH}:Bogus=1")
    assert stockfish_children() == before and refused.traceback  # closed while the env is still referenced
    start = "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 3 20"
    env = VantorEnv(opponent=f"uci:{STOCKFISH}:Skill Level=0,Threads=1", start_fens=[start], max_plies=6)
    _, info = env.reset(seed=0)
    assert info["side"] == 0 and env.game.plies == 1  # the engine, black, moved first
    random_steps(env, info, np.random.default_rng(1))
    assert f'[FEN "{start}"]' in env.pgn() and env.game.is_over
    env.close()
    assert env.opponent.closed
    with UciEngine(STOCKFISH, depth=1) as engine:
        with pytest.raises(ValueError, match="UCI engine, which plays chess"):
            VantorEnv(opponent=engine, rules="module")
        env = VantorEnv(opponent=engine, agent_side="black")
        env.reset()
        env.close()
        assert not engine.closed  # the caller's


@pytest.mark.parametrize("options, error, message", [
    ({"agent_side": "green", "opponent": "random"}, ValueError, "agent_side must be one of"),
    ({"agent_side": "black"}, ValueError, "needs an opponent"),
    ({"opponent": 5}, TypeError, "opponent must be a player spec"),
    ({"opponent": "mc:0"}, ValueError, "at least 1"),
    ({"opponent": "uci:/no/such/engine"}, FileNotFoundError, "no UCI engine at '/no/such/engine'"),
    ({"dtype": np.float64}, ValueError, "dtype must be int32 or float32"),
    ({"max_plies": "9"}, TypeError, "max_plies must be an integer"),
    ({"flatten": "yes"}, TypeError, "flatten must be True or False"),
    ({"scale": 1}, TypeError, "scale must be True or False"),
    ({"scale": True, "dtype": np.int32}, ValueError, "scale=True gives float32 planes"),
    ({"scale": True, "observation": "module"}, ValueError, "step_plane='module' counts without"),
    ({"rules": "fide"}, ValueError, "rules must be one of"),
    ({"opponent": "uci:/no/such/engine", "rules": "module"}, ValueError, "UCI engine plays chess"),
    ({"opponent": TreeSearchPlayer(1, 0, rules="automatic")}, ValueError, "plays under 'automatic' rules"),
])
def test_bad_options_are_refused(options, error, message):
    with pytest.raises(error, match=message):
        VantorEnv(**options)


@settings(max_examples=12, deadline=None)
@given(config=st.fixed_dictionaries({
    "step_plane": st.sampled_from([None, "plies", "zero", "module"]),
    "observation": st.sampled_from(["side_to_move", "module"]),
    "dtype": st.sampled_from([np.int32, np.float32]),
    "flatten": st.booleans(),
    "max_plies": st.sampled_from([None, 1, 37, 400]),
    "start_fens": st.sampled_from([None, ["4k3/8/8/8/8/8/8/R3K3 w Q - 45 80", "r3k2r/8/8/8/8/8/8/4K3 b kq - 7 40"]]),
    "rules": st.sampled_from(RULES),
}), seed=st.integers(0, 2**32 - 1))
def test_every_observation_lies_in_the_observation_space(config, seed):
    env, rng = VantorEnv(**config), np.random.default_rng(seed)
    assert env.observation_space.shape == ((7616,) if config["flatten"] else (119, 8, 8))
    plane = config["step_plane"] or ("module" if config["observation"] == "module" else "plies")
    for episode in range(3):
        obs, info = env.reset(seed=seed + episode)
        for _ in range(600):
            assert obs.dtype == config["dtype"] and env.observation_space.contains(obs)
            steps = obs.reshape(119, 64)[113]
            assert (steps == steps[0]).all() and steps[0] == {"plies": env.game.plies, "zero": 0}.get(plane, steps[0])
            obs, _, terminated, truncated, info = env.step(int(rng.choice(np.flatnonzero(info["action_mask"]))))
            if terminated or truncated:
                assert env.observation_space.contains(obs)
                break


@pytest.mark.parametrize("options", [
    {}, {"flatten": True, "rules": "automatic", "start_fens": ["4k3/8/8/8/8/8/8/R3K3 w Q - 140 80"]},
    {"step_plane": "zero", "rules": "module", "start_fens": ["4k3/8/8/8/8/8/8/R3K3 w Q - 45 80"]},
    {"observation": "module", "step_plane": "plies", "max_plies": 30, "opponent": "random"},
])
def test_scaled_planes_are_the_planes_divided_by_their_bounds(options):
    plain, scaled = VantorEnv(**options), VantorEnv(scale=True, **options)
    bounds = plain.observation_space.high.astype(np.float32)
    assert scaled.observation_space == gymnasium.spaces.Box(0, 1, bounds.shape, np.float32) and scaled.scale
    (a, info), (b, _) = plain.reset(seed=1), scaled.reset(seed=1)
    rng = np.random.default_rng(1)
    for _ in range(300):
        assert b.dtype == np.float32 and np.array_equal(b, a.astype(np.float32) / bounds)
        assert scaled.observation_space.contains(b)
        action = int(rng.choice(np.flatnonzero(info["action_mask"])))
        (a, _, terminated, truncated, info), (b, *_) = plain.step(action), scaled.step(action)
        if terminated or truncated:
            break
    assert np.array_equal(b, a.astype(np.float32) / bounds) and b.max() == 1.0  # pieces at least


def test_the_planes_are_the_same_in_every_dtype_and_shape_and_only_the_module_counts_on():
    envs = [VantorEnv(), VantorEnv(dtype=np.float32, flatten=True), VantorEnv(step_plane="module")]
    for _ in range(2):
        seen = [[env.reset()[0]] + [env.step(a)[0] for a in (F3, E5, G4)] for env in envs]
    for plain, flat, module in zip(*seen):
        assert flat.dtype == np.float32 and (plain == flat.reshape(119, 8, 8)).all()
        assert (plain[:113] == module[:113]).all() and (module[113] - plain[113] == 3).all()  # one episode before


@pytest.mark.parametrize("options, keys", [({}, set()), ({"legal_actions": True}, {"legal_actions"}),
                                           ({"opponent": "random"}, {"agent_side"})])
def test_infos_hold_values_of_one_shape_that_vector_envs_stack_plainly(options, keys):
    env = VantorEnv(**options)
    # The illegal action ends the episode: only that step's info gives an ending's code.
    for info, ending in ((env.reset(seed=0)[1], 0), (env.step(F3)[4], 0), (env.step(0)[4], 8)):
        assert set(info) == {"action_mask", "side", "illegal_action", "ending"} | keys
        assert type(info["ending"]) is np.int8 and info["ending"] == ending
        assert info["action_mask"].dtype == np.int8 and info["action_mask"].shape == (4672,)
        assert type(info["side"]) is type(info.get("agent_side", info["side"])) is np.int64
        assert info["illegal_action"].shape == () and info["illegal_action"].dtype == np.bool_
        assert info.get("legal_actions", []) in ([], np.flatnonzero(info["action_mask"]).tolist())
    vector = gymnasium.vector.SyncVectorEnv([lambda: VantorEnv(**options) for _ in range(2)])
    vector.reset(seed=0)
    dtypes = {key: value.dtype for key, value in vector.step([F3, 0])[4].items()}
    assert dtypes.pop("legal_actions", object) == object  # a list a game, only when asked for
    assert object not in dtypes.values() and (dtypes["illegal_action"], dtypes["side"]) == (np.bool_, np.int64)
    assert dtypes["ending"] == np.int8


@settings(max_examples=80, deadline=None)
@given(legal=st.one_of(st.sets(st.integers(0, 4671), max_size=300).map(sorted), st.sampled_from([[], [4671]]),
                       st.just(list(range(4672)))),
       seed=st.integers(0, 2**63 - 1), draws=st.integers(1, 6),
       bits=st.sampled_from([None, np.random.MT19937, np.random.Philox, np.random.SFC64]))
def test_masked_sample_draws_exactly_what_gymnasiums_draws(legal, seed, draws, bits):
    ours, theirs = (space(4672, seed=seed if bits is None else np.random.Generator(bits(seed)))
                    for space in (ActionSpace, gymnasium.spaces.Discrete))
    mask = np.zeros(4672, np.int8)
    mask[legal] = 1
    for _ in range(draws):
        a, b = ours.sample(mask=mask), theirs.sample(mask=mask)
        assert type(a) is type(b) is np.int64 and a == b and ours.sample() == theirs.sample()


@pytest.mark.parametrize("mask", [np.full(4672, 2, np.int8), np.r_[np.ones(4671, np.int8), np.int8(-1)],
                                  np.ones(4672, np.bool_), np.ones(4671, np.int8), [1] * 4672])
def test_masks_gymnasium_refuses_are_refused_alike(mask):
    ours, theirs = ActionSpace(4672, seed=0), gymnasium.spaces.Discrete(4672, seed=0)
    refusals = []
    for space in (ours, theirs):
        with pytest.raises(AssertionError) as refused:
            space.sample(mask=mask)
        refusals.append(str(refused.value))
    assert refusals[0] == refusals[1] and ours.sample() == theirs.sample()  # and nothing was drawn


@pytest.mark.parametrize("options", [{"opponent": "random", "agent_side": "random"},
                                     {"flatten": True, "dtype": np.float32, "step_plane": "zero"},
                                     {"flatten": True, "scale": True, "rules": "automatic"}])
def test_gymnasiums_checker_accepts_opponents_and_the_options(options):
    # Its determinism checks pass only if seeded resets repeat the opponent and the side too.
    check_env(gymnasium.make("vantor_gym/Chess-v0", **options).unwrapped)


@pytest.mark.skipif(SANITIZED, reason="Stable-Baselines3 loads PyTorch, which the sanitized run leaves out")
def test_stable_baselines3_checker_warns_only_of_the_picture_shape_and_not_when_flattened():
    env_checker = pytest.importorskip("stable_baselines3.common.env_checker")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        env_checker.check_env(gymnasium.make("vantor_gym/Chess-v0"))
    # What any (119, 8, 8) Box that is no uint8 picture draws: dtype, bounds, size, channels.
    said = [str(w.message) for w in caught]
    assert len(said) == 4 and all(any(k in t for k in ("`dtype`", "bounds", "36x36", "channels-last")) for t in said)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        env_checker.check_env(gymnasium.make("vantor_gym/Chess-v0", flatten=True))
        env_checker.check_env(gymnasium.make("vantor_gym/Chess-v0", flatten=True, dtype=np.float32, opponent="random",
                                             agent_side="random"))
        env_checker.check_env(gymnasium.make("vantor_gym/Chess-v0", flatten=True, scale=True, rules="module"))


@pytest.mark.parametrize("seed, options, error", [
    (-1, {"fen": MATE_IN_ONE}, ValueError), (True, {"fen": MATE_IN_ONE}, TypeError),
    (1.0, {"fen": MATE_IN_ONE}, TypeError), ("3", None, TypeError), (np.float64(2), None, TypeError),
    (None, ["fen"], TypeError), (None, "fen", TypeError), (None, {"FEN": MATE_IN_ONE}, ValueError),
])
def test_a_refused_seed_or_options_leave_the_game_going_on(seed, options, error):
    env = VantorEnv(opponent=scripted(E5, QH4))
    env.reset(seed=0)
    env.step(F3)
    before = (env.game.fen(), env.pgn(), env.np_random.bit_generator.state)
    with pytest.raises(error, match="seed|options"):
        env.reset(seed=seed, options=options)
    assert (env.game.fen(), env.pgn(), env.np_random.bit_generator.state) == before
    assert env.step(G4)[1:4] == (-1, True, False)
    other = VantorEnv(opponent=scripted(E5))
    env.reset(seed=np.uint8(7))  # a NumPy integer seeds as its int
    other.reset(seed=7)
    assert env.np_random.bit_generator.state == other.np_random.bit_generator.state


def test_threads_take_turns_on_one_env():
    # Without turns the second thread's move would be played for the opponent, mid-reply.
    inside, results = threading.Event(), {}

    def slow(state, mask):
        inside.set()
        time.sleep(0.1)
        return E5 if mask[E5] else QH4

    env = VantorEnv(opponent=slow)
    env.reset()
    first = threading.Thread(target=lambda: results.setdefault("first", env.step(F3)[1:4]))
    second = threading.Thread(target=lambda: inside.wait() and results.setdefault("second", env.step(G4)[1:4]))
    first.start()
    second.start()
    first.join()
    second.join()
    assert results == {"first": (0, False, False), "second": (-1, True, False)}
    assert "1. f3 e5 2. g4 Qh4# 0-1" in env.pgn() and env.game.is_over


@pytest.mark.parametrize("call, refused", [
    (lambda env: env.step(E5), True), (lambda env: env.reset(), True), (lambda env: env.close(), True),
    (lambda env: env.pgn(), False), (lambda env: env.action_masks(), False), (lambda env: env.render(), False),
])
def test_an_opponent_calling_back_may_read_the_env_but_not_move_it(call, refused):
    env, seen = None, []

    def calling_back(state, mask):
        seen.append(call(env))
        return E5

    env = VantorEnv(opponent=calling_back, render_mode="ansi")
    env.reset()
    if refused:
        with pytest.raises(RuntimeError, match="from inside the environment's own step or reset"):
            env.step(F3)
        with pytest.raises(RuntimeError, match="the opponent failed to move"):
            env.step(G4)
        assert env.game.plies == 1 and not env._closed  # only the agent's move was made
    else:
        assert env.step(F3)[1:4] == (0, False, False) and env.game.plies == 2
        assert seen[0] is not None  # what the env held after the agent's move
