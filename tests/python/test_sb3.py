"""Stable-Baselines3 on vantor_gym: the SB3 VecEnv over a BatchEnv, the planes' features
extractor, and MaskablePPO learning on the single and the vector environment."""

import copy
import pickle
import sys
import threading

import numpy as np
import pytest

from conftest import SANITIZED, START_FEN

pytest.importorskip("stable_baselines3")
if SANITIZED:
    pytest.skip("PyTorch is not run under the sanitizer preload", allow_module_level=True)

import gymnasium  # noqa: E402
import torch  # noqa: E402
from stable_baselines3.common.vec_env import DummyVecEnv, VecMonitor  # noqa: E402

import vantor_gym  # noqa: E402
from vantor_gym import Game  # noqa: E402
from vantor_gym.game import GOES_ON, TRUNCATED  # noqa: E402
from vantor_gym.sb3 import PlanesExtractor, VecEnv  # noqa: E402

# A queen and a rook against a bare king: white mates soon, or black is stalemated.
MATING = "6k1/5ppp/8/8/8/8/8/K2R4 w - - 0 1"


pytestmark = pytest.mark.usefixtures("one_torch_thread")


def lowest(state, mask):
    """A deterministic opponent: the lowest legal action."""
    return int(np.flatnonzero(mask)[0])


def random_actions(masks, rng, illegal=0.0):
    """A legal action per game (7, no legal action at the start, with probability ``illegal``)."""
    return np.array([rng.choice(np.flatnonzero(m)) if m.any() and rng.random() >= illegal else 7 for m in masks])


def same_info(ours, theirs, when):
    assert ours.keys() == theirs.keys(), when
    for key, value in ours.items():
        assert np.array_equal(value, theirs[key]), (when, key)
        if isinstance(theirs[key], np.ndarray):
            assert value.dtype == theirs[key].dtype, (when, key)


@pytest.mark.parametrize("options", [
    {"max_plies": 12},
    {"max_plies": 9, "opponent": lowest},
    {"max_plies": 9, "opponent": lowest, "agent_side": "black", "step_plane": "zero"},
    # The opponent's first move ends every game: each first step ends it, whatever the action.
    {"max_plies": 1, "opponent": lowest, "agent_side": "black"},
    {"max_plies": 40, "opponent": lowest, "agent_side": "black", "start_fens": [MATING], "dtype": np.float32,
     "legal_actions": True, "observation": "module"},
    {"max_plies": 12, "opponent": lowest, "flatten": True, "scale": True, "rules": "module"},
], ids=["no opponent", "white", "black", "ended at reset", "FEN start", "scaled, module rules"])
def test_steps_as_a_dummy_vec_env_of_the_gymnasium_env(options):
    # Everything SB3 sees, step by step, with illegal actions now and then and many restarts.
    ours = VecEnv(3, threads=1, **options)
    theirs = DummyVecEnv([lambda: gymnasium.make("vantor_gym/Chess-v0", disable_env_checker=True, **options)] * 3)
    assert ours.observation_space == theirs.observation_space and ours.action_space == theirs.action_space
    first, expected = ours.reset(), theirs.reset()
    assert np.array_equal(first, expected) and first.dtype == expected.dtype
    for game in range(3):
        same_info(ours.reset_infos[game], theirs.reset_infos[game], "reset")
    rng = np.random.default_rng(1)
    ends = 0
    for step in range(150):
        masks = ours.action_masks()
        assert np.array_equal(masks, np.stack(theirs.env_method("action_masks")))
        actions = random_actions(masks, rng, illegal=0.02)
        obs, rewards, dones, infos = ours.step(actions)
        expected_obs, expected_rewards, expected_dones, expected_infos = theirs.step(actions)
        assert np.array_equal(obs, expected_obs) and obs.dtype == expected_obs.dtype, step
        assert all(ours.observation_space.contains(row) for row in obs), step
        assert np.array_equal(rewards, expected_rewards) and rewards.dtype == expected_rewards.dtype, step
        assert np.array_equal(dones, expected_dones), step
        for game in range(3):
            same_info(infos[game], expected_infos[game], step)
            if dones[game]:
                same_info(ours.reset_infos[game], theirs.reset_infos[game], step)
        ends += int(dones.sum())
    assert ends >= 10


@pytest.mark.parametrize("agent_side", [None, "white", "black"])
def test_terminal_observations_are_the_last_of_each_game_replayed(agent_side):
    # Through VecMonitor, as SB3's learners wrap a VecEnv: episodes end often (max_plies 6),
    # and each game's actions replayed on a Game give its terminal observation.
    options = {} if agent_side is None else {"opponent": lowest, "agent_side": agent_side}
    env = VecMonitor(VecEnv(4, max_plies=6, threads=2, **options))
    env.reset()
    rng = np.random.default_rng(2)
    played = [[] for _ in range(4)]
    episodes = 0
    for _ in range(60):
        actions = random_actions(env.unwrapped.action_masks(), rng)
        _, rewards, dones, infos = env.step(actions)
        for game in range(4):
            played[game].append(int(actions[game]))
            if not dones[game]:
                continue
            replay = Game(max_plies=6)
            if agent_side == "black":
                replay.step(lowest(None, replay.action_mask()))
            for action in played[game]:
                reward, end = replay.step(action)
                if agent_side is not None and end == GOES_ON:
                    reward, end = replay.step(lowest(None, replay.action_mask()))
            last = replay.observation().copy()
            last[113] = replay.plies
            assert replay.is_over and np.array_equal(infos[game]["terminal_observation"], last)
            assert infos[game]["TimeLimit.truncated"] == (end == TRUNCATED)
            assert infos[game]["episode"]["l"] == len(played[game])
            assert infos[game]["episode"]["r"] == (-reward if agent_side == "black" else reward) == rewards[game]
            played[game] = []
            episodes += 1
    assert episodes >= 30


def test_seeding_repeats_starts_sides_and_the_random_opponent():
    def run(seed):
        env = VecEnv(4, opponent="random", agent_side="random", max_plies=8, threads=1,
                     start_fens=[MATING, "4k3/8/8/8/8/8/8/R3K2R w KQ - 0 1", START_FEN])
        env.seed(seed)
        trace = [env.reset().copy(), env.get_attr("agent_side")]
        rng = np.random.default_rng(0)
        for _ in range(30):
            obs, rewards, dones, infos = env.step(random_actions(env.action_masks(), rng))
            trace += [obs.copy(), rewards, dones, env.get_attr("agent_side")]
        env.close()
        return trace

    first, again, other = run(5), run(5), run(6)
    assert all(np.array_equal(a, b) for a, b in zip(first, again))
    assert not all(np.array_equal(a, b) for a, b in zip(first, other))
    sides = np.concatenate([np.asarray(s) for s in first[1::4]])
    assert 0 < sides.mean() < 1


def test_seeded_sides_are_those_of_a_seeded_dummy_vec_env():
    # SB3 seeds game i with seed + i: each game's sides over its episodes are the single env's.
    options = {"opponent": lowest, "agent_side": "random", "max_plies": 3, "start_fens": [MATING]}
    ours = VecEnv(4, threads=1, **options)
    theirs = DummyVecEnv([lambda: gymnasium.make("vantor_gym/Chess-v0", disable_env_checker=True, **options)] * 4)
    ours.seed(12)
    theirs.seed(12)
    assert np.array_equal(ours.reset(), theirs.reset())
    rng = np.random.default_rng(4)
    sides = []
    for step in range(20):
        actions = random_actions(ours.action_masks(), rng)
        obs, rewards, dones, infos = ours.step(actions)
        expected_obs, expected_rewards, _, expected_infos = theirs.step(actions)
        assert np.array_equal(obs, expected_obs) and np.array_equal(rewards, expected_rewards), step
        sides += [info["agent_side"] for info in infos]
        assert sides[-4:] == [info["agent_side"] for info in expected_infos], step
        current = [(ours.reset_infos[game] if dones[game] else infos[game])["agent_side"] for game in range(4)]
        assert ours.get_attr("agent_side") == current, step
    assert 0 < np.mean(sides) < 1


def test_an_opponents_illegal_action_loses_under_lose():
    env = VecEnv(2, opponent=lambda state, mask: 7, threads=1)  # 7 is never legal from the start
    env.reset()
    _, rewards, dones, infos = env.step(np.array([564, 563]))
    assert rewards.tolist() == [1.0, 1.0] and dones.all() and all(i["illegal_action"] for i in infos)


def _breaks_at_its_third_move(state, mask):
    _breaks_at_its_third_move.calls += 1
    if _breaks_at_its_third_move.calls == 3:
        raise KeyError("the opponent broke")
    return lowest(state, mask)


@pytest.mark.parametrize("opponent, illegal_action, error, match", [
    (lambda state, mask: 7, "raise", ValueError, "game 0: the opponent, playing white, gave action 7"),
    (lambda state, mask: True, "lose", TypeError, "not an integer action"),
    (lambda state, mask: "e2e4", "lose", TypeError, "not an integer action"),
    (_breaks_at_its_third_move, "lose", KeyError, "the opponent broke"),
], ids=["illegal", "bool", "text", "raises"])
def test_an_opponent_that_fails_stops_the_env_until_reset(opponent, illegal_action, error, match):
    _breaks_at_its_third_move.calls = 0
    env = VecEnv(2, opponent=opponent, agent_side="black", illegal_action=illegal_action, threads=1)
    with pytest.raises(error, match=match):
        env.reset()
        env.step(np.argmax(env.action_masks(), axis=1))
    # The agents' moves may stand with the opponent to move: no action is taken for its move.
    with pytest.raises(RuntimeError, match="call reset"):
        env.step(np.array([0, 0]))
    env.set_attr("opponent", lowest)
    env.reset()  # a reset mends it
    env.step(np.argmax(env.action_masks(), axis=1))


def test_the_opponent_can_be_replaced_between_steps():
    env = VecEnv(2, opponent="random", threads=1)
    env.reset()
    env.set_attr("opponent", lowest)
    env.step(np.array([564, 564]))
    board = vantor_gym.Game()
    board.step(564)
    board.step(lowest(None, board.action_mask()))
    assert env.env_method("fen") == [board.fen(), board.fen()]
    assert env.get_attr("opponent") == [lowest, lowest]
    with pytest.raises(ValueError, match="all games at once"):
        env.set_attr("opponent", "random", indices=[0])
    with pytest.raises(ValueError, match="not None"):
        env.set_attr("opponent", None)
    with pytest.raises(AttributeError, match="cannot be set"):
        env.set_attr("max_plies", 3)


FAKE_ENGINE = """#!{python}
import sys
import chess
board = chess.Board()
for line in sys.stdin:
    words = line.split()
    if not words:
        continue
    if words[0] == "uci":
        print("id name First Move", "uciok", sep="\\n", flush=True)
    elif words[0] == "isready":
        print("readyok", flush=True)
    elif words[0] == "position":
        with open({log!r}, "a") as log:
            log.write(line)
        fen, _, moves = line.partition(" moves ")
        board = chess.Board(fen.split(" ", 2)[2]) if words[1] == "fen" else chess.Board()
        for move in moves.split():
            board.push_uci(move)
    elif words[0] == "go":
        print("bestmove", min(move.uci() for move in board.legal_moves), flush=True)
    elif words[0] == "quit":
        break
"""


def test_a_uci_opponent_is_sent_each_game_with_its_moves(tmp_path):
    chess = pytest.importorskip("chess")
    engine = tmp_path / "engine.py"
    log = tmp_path / "log"
    engine.write_text(FAKE_ENGINE.format(python=sys.executable, log=str(log)))
    engine.chmod(0o755)
    env = VecEnv(2, opponent=f"uci:{engine}", agent_side="black", max_plies=9, threads=1)
    env.reset()
    rng = np.random.default_rng(3)
    for _ in range(12):
        env.step(random_actions(env.action_masks(), rng))
    env.close()
    lines = log.read_text().splitlines()
    assert len(lines) >= 16
    # Every position the engine was sent is a game from its start, so it sees repetitions:
    # its moves replay from that start to a position where it is to move.
    for line in lines:
        fen, _, moves = line.partition(" moves ")
        board = chess.Board(fen.split(" ", 2)[2])
        for move in moves.split():
            board.push_uci(move)
        assert board.turn == chess.WHITE and not board.is_game_over()
    assert max(len(line.partition(" moves ")[2].split()) for line in lines) == 8


@pytest.mark.parametrize("make, error, match", [
    (lambda: VecEnv(2, agent_side="black"), ValueError, "needs an opponent"),
    (lambda: VecEnv(2, opponent="random", agent_side="blue"), ValueError, "agent_side"),
    (lambda: VecEnv(2, opponent=3), TypeError, "opponent must be"),
    (lambda: VecEnv(2, opponent="nobody"), ValueError, "unknown player 'nobody'"),
    (lambda: VecEnv(2, opponent="mc:0"), ValueError, "at least 1"),
    (lambda: VecEnv(True), TypeError, "num_envs"),
    (lambda: VecEnv(0), ValueError, "num_envs"),
    (lambda: VecEnv(2, max_plies=0), ValueError, "max_plies"),
    (lambda: VecEnv(2, illegal_action="forgive"), ValueError, "illegal_action"),
    (lambda: VecEnv(2, dtype=np.float64), ValueError, "int32 or float32"),
    (lambda: VecEnv(2, step_plane="ply"), ValueError, "step_plane"),
    (lambda: VecEnv(2, observation="white"), ValueError, "observation"),
    (lambda: VecEnv(2, legal_actions=1), TypeError, "legal_actions"),
    (lambda: VecEnv(2, render_mode="human"), ValueError, "render_mode"),
    (lambda: VecEnv(2, start_fens=["8/8/8/8/8/8/8/8 w - - 0 1"]), ValueError, r"start_fens\[0\]"),
    (lambda: VecEnv(2, threads=-1), ValueError, "threads"),
    (lambda: VecEnv(2, rules="fide"), ValueError, "rules must be one of"),
    (lambda: VecEnv(2, rules=b"standard"), TypeError, "rules must be a str"),
    (lambda: VecEnv(2, scale=True, dtype=np.int32), ValueError, "float32"),
    (lambda: VecEnv(2, scale=True, observation="module"), ValueError, "step_plane='module'"),
    (lambda: VecEnv(2, rules="module", start_fens=["4k3/8/8/8/8/8/8/R3K3 w Q - 50 80"]), ValueError, "clock"),
])
def test_bad_settings_are_refused(make, error, match):
    with pytest.raises(error, match=match):
        make()


@pytest.mark.parametrize("call, error, match", [
    (lambda env: env.step(np.array([564.0, 564.0])), TypeError, "integers"),
    (lambda env: env.step(np.array([564])), ValueError, "shape"),
    (lambda env: env.step(np.array([564, 7])), ValueError, "action 7 of game 1 is not legal"),
    (lambda env: env.step(np.array([564, -1])), ValueError, "action -1 of game 1 is not legal"),
    (lambda env: env.get_attr("nothing"), AttributeError, "nothing"),
    (lambda env: env.get_attr("_masks"), AttributeError, "_masks"),
    (lambda env: env.env_method("step", 3), AttributeError, "per-game method 'step'"),
    (lambda env: env.env_method("fen", 3), TypeError, "no arguments"),
    (lambda env: env.env_method("fen", indices=[2]), IndexError, "out of range"),
    (lambda env: env.get_attr("max_plies", indices=[True]), TypeError, "index"),
    (lambda env: env.get_attr("max_plies", indices=np.array(1)), TypeError, "an index must be an integer"),
    (lambda env: env.get_attr(3), TypeError, "attr_name must be a str"),
    (lambda env: env.env_method(None), TypeError, "method_name must be a str"),
    (lambda env: env.set_attr(b"opponent", "random"), TypeError, "attr_name must be a str"),
    (lambda env: env.step_async(np.array([2**63, 564], np.uint64)), ValueError, "64-bit"),
    (lambda env: (env.set_options([{}]), env.reset()), ValueError, "one per game"),
    (lambda env: (env.set_options([{}, 3]), env.reset()), TypeError, "one dict per game"),
    (lambda env: (env.set_options("ab"), env.reset()), TypeError, "one dict per game"),
    (lambda env: (env.set_options({"FEN": "8/8/8/8/8/8/8/8 w - - 0 1"}), env.reset()), ValueError, "'FEN'"),
    (lambda env: (env.set_options({"fen": "8/8 w"}), env.reset()), ValueError, "fen|FEN"),
    (lambda env: env.seed(-1), ValueError, "seed must be at least 0"),
    (lambda env: env.seed(True), TypeError, "seed must be an integer"),
    (lambda env: env.seed("3"), TypeError, "seed must be an integer"),
    (lambda env: copy.copy(env), TypeError, "cannot be copied"),
    (lambda env: pickle.dumps(env), TypeError, "cannot be pickled"),
])
def test_bad_calls_change_nothing(call, error, match):
    env = VecEnv(2, illegal_action="raise", threads=1)
    env.reset()
    before = env.env_method("fen"), env.action_masks()
    with pytest.raises(error, match=match):
        call(env)
    assert env.env_method("fen") == before[0]
    assert np.array_equal(env.action_masks(), before[1])
    env.step(np.array([564, 564]))  # and the env goes on


def test_numpy_integers_are_seeds():
    env = VecEnv(2, opponent="random", agent_side="random", threads=1)
    runs = []
    for seed in (4, np.int64(4), np.uint32(4)):
        env.seed(seed)
        runs.append((env.reset().copy(), env.get_attr("agent_side")))
    assert all(np.array_equal(obs, runs[0][0]) and sides == runs[0][1] for obs, sides in runs)
    assert env.seed(np.uint32(2**32 - 1)) == [2**32 - 1, 2**32]  # no wrap at 32 bits


def _raises_once(state, mask):
    _raises_once.calls += 1
    if _raises_once.calls == 1:
        raise KeyError("the opponent broke")
    return lowest(state, mask)


def test_a_reset_that_raises_keeps_its_seed_and_options():
    # The opponent has white and fails at the first reset: the next uses the same seed and FENs.
    fens = []
    for calls in (0, 1):
        _raises_once.calls = calls
        env = VecEnv(3, opponent=_raises_once, agent_side="black", threads=1,
                     start_fens=["4k3/8/8/8/8/8/8/R3K2R w KQ - 0 1", START_FEN])
        env.seed(3)
        env.set_options([{"fen": MATING}, {}, {}])
        if calls == 0:
            with pytest.raises(KeyError):
                env.reset()
        env.reset()
        fens.append(env.env_method("fen"))
    assert fens[0] == fens[1]


@pytest.mark.parametrize("call", [
    lambda env: env.env_method("fen"),
    lambda env: env.env_method("save_state", indices=0),
    lambda env: env.env_method("render"),
    lambda env: env.get_images(),
    lambda env: env.render(),
], ids=["fen", "save_state", "render", "get_images", "tiled"])
def test_the_games_are_not_read_before_the_first_reset(call):
    # Before it the batch holds empty boards, which are no game's position.
    env = VecEnv(2, threads=1, render_mode="rgb_array")
    with pytest.raises(RuntimeError, match="call reset before"):
        call(env)
    env.reset()
    call(env)


@pytest.mark.parametrize("call", [
    lambda env: env.step(np.array([564, 564])),
    lambda env: env.reset(),
    lambda env: env.set_attr("opponent", "random"),
    lambda env: env.env_method("fen"),
    lambda env: env.action_masks(),
    lambda env: env.close(),
], ids=["step", "reset", "set_attr", "env_method", "action_masks", "close"])
def test_an_opponent_calling_back_into_its_env_is_refused(call):
    # It would find its games mid-step: its call is refused, so it fails as any opponent
    # that raises does, and a reset mends the env.
    holder = []

    def calling_back(state, mask):
        call(holder[0])
        return lowest(state, mask)

    env = VecEnv(2, opponent=calling_back, threads=1)
    holder.append(env)
    env.reset()
    with pytest.raises(RuntimeError, match="from within one of its own calls"):
        env.step(np.array([564, 564]))
    with pytest.raises(RuntimeError, match="call reset"):
        env.step(np.array([564, 564]))
    env.set_attr("opponent", lowest)
    env.reset()
    env.step(np.array([564, 564]))
    assert env.env_method("fen")[0].split()[1] == "w"


def test_a_call_from_another_thread_waits_for_the_step_in_progress():
    # Else it would find the games mid-step: the agent's moves made, the opponent's not yet.
    entered, release = threading.Event(), threading.Event()

    def slow(state, mask):
        entered.set()
        release.wait(10)
        return lowest(state, mask)

    env = VecEnv(2, opponent=slow, threads=1)
    env.reset()
    stepping = threading.Thread(target=env.step, args=(np.array([564, 564]),))
    stepping.start()
    entered.wait(10)
    seen = []
    reading = threading.Thread(target=lambda: seen.append(env.env_method("fen")))
    reading.start()
    reading.join(0.2)
    waited = reading.is_alive()
    release.set()
    stepping.join()
    reading.join()
    assert waited and [fen.split()[1] for fen in seen[0]] == ["w", "w"]  # after the opponent's replies


def test_step_async_and_step_wait_belong_to_one_thread():
    env = VecEnv(2, threads=1)
    env.reset()

    def elsewhere(call):
        thread = threading.Thread(target=call)
        thread.start()
        thread.join()

    elsewhere(lambda: env.step_async(np.array([564, 564])))
    # Those actions wait for that thread's step_wait: this thread neither steps nor replaces them.
    for call in (env.step_wait, lambda: env.step_async(np.array([563, 563]))):
        with pytest.raises(RuntimeError, match="another thread's"):
            call()
    waited = []
    elsewhere(lambda: waited.append(env.step_wait()))
    assert waited[0][1].tolist() == [0.0, 0.0] and env.env_method("fen")[0].split()[1] == "b"


def test_order_of_calls_and_close():
    env = VecEnv(2, threads=1)
    with pytest.raises(RuntimeError, match="call reset before step"):
        env.step(np.array([564, 564]))
    with pytest.raises(RuntimeError, match="call reset before action_masks"):
        env.action_masks()
    env.reset()
    with pytest.raises(RuntimeError, match="step_async"):
        env.step_wait()
    env.close()
    env.close()
    for call in (env.reset, env.action_masks, lambda: env.step(np.array([564, 564]))):
        with pytest.raises(RuntimeError, match="closed"):
            call()


def test_fen_options_per_game_and_sb3s_attribute_calls():
    env = VecEnv(3, threads=1, render_mode="rgb_array")
    env.set_options([{}, {"fen": MATING}, {}])
    obs = env.reset()
    assert env.env_method("fen") == [START_FEN, MATING, START_FEN]
    assert env.env_method("fen", indices=1) == [MATING] and env.get_attr("max_plies", [0, 2]) == [None, None]
    assert env.has_attr("action_masks") and env.env_is_wrapped(VecMonitor) == [False] * 3
    masks = env.env_method("action_masks")
    assert all(m.dtype == bool and m.shape == (4672,) for m in masks) and not np.array_equal(masks[0], masks[1])
    assert not np.array_equal(obs[0], obs[1])
    images = env.get_images()
    assert len(images) == 3 and all(image.shape == (256, 256, 3) and image.dtype == np.uint8 for image in images)
    assert env.render("rgb_array").shape == (512, 512, 3)
    env.reset()  # options are used once
    assert env.env_method("fen", indices=[1]) == [START_FEN]


def test_planes_extractor():
    space = VecEnv(1, max_plies=100, threads=1).observation_space
    extractor = PlanesExtractor(space, features_dim=32, channels=8, blocks=1)
    planes = torch.from_numpy(np.stack([space.high, space.low])).float()
    assert extractor(planes).shape == (2, 32)
    # The step plane of step_plane="module" counts without bound: it is left out.
    module = VecEnv(1, observation="module", threads=1).observation_space
    assert PlanesExtractor(module, channels=4, blocks=0).scale[0, 113].item() == 0.0
    assert extractor.scale[0, 113].item() == pytest.approx(1 / 100)
    assert extractor.scale[0, 118].item() == pytest.approx(1 / 100)  # the standard clock's draw
    # Flat planes are read as the planes; scaled ones are left as they are.
    flat = PlanesExtractor(VecEnv(1, max_plies=100, threads=1, flatten=True).observation_space, features_dim=32,
                           channels=8, blocks=1)
    flat.load_state_dict(extractor.state_dict())
    assert torch.equal(flat(planes.reshape(2, -1)), extractor(planes))
    for shape in ((119, 8, 8), (7616,)):
        scaled = gymnasium.spaces.Box(0, 1, shape, np.float32)
        assert (PlanesExtractor(scaled, channels=2, blocks=0).scale == 1).all()


@pytest.mark.parametrize("space, match", [
    (gymnasium.spaces.Box(0, 1, (7615,), np.int32), r"\(7616,\), not a Box of shape \(7615,\)"),
    (gymnasium.spaces.Box(0, 1, (119, 8, 16), np.int32), r"119, 8, 16"),
    (gymnasium.spaces.Dict({"planes": gymnasium.spaces.Box(0, 1, (119, 8, 8))}), "not a Dict space$"),
    (gymnasium.spaces.Discrete(3), "not a Discrete space$"),
    # Divided by their bounds, unbounded or negative planes would all be left out or misread.
    (gymnasium.spaces.Box(-np.inf, np.inf, (119, 8, 8), np.float32), "finite bound"),
    (gymnasium.spaces.Box(-1, 1, (119, 8, 8), np.float32), "finite bound"),
    (gymnasium.spaces.Box(0, 2**40, (119, 8, 8), np.int64), "not plane 0"),
], ids=["flat of another size", "frames stacked", "dict", "discrete", "unbounded", "negative", "int64"])
def test_planes_extractor_refuses_spaces_it_cannot_scale(space, match):
    with pytest.raises(ValueError, match=match) as refused:
        PlanesExtractor(space, channels=2, blocks=0)
    assert "\n" not in str(refused.value)  # the space named, not printed


# MaskablePPO for a few hundred steps each; then the learned policy picks legal actions.

def _learns_and_picks_legal_actions(model, env, steps):
    from sb3_contrib.common.maskable.utils import get_action_masks

    model.learn(steps)
    assert model.num_timesteps >= steps
    obs = env.reset()
    for _ in range(5):
        masks = get_action_masks(env)
        actions, _ = model.predict(obs, action_masks=masks, deterministic=True)
        assert masks[np.arange(len(masks)), actions].all()
        obs, *_ = env.step(actions)


def test_maskable_ppo_on_the_gymnasium_env_with_an_opponent():
    maskable = pytest.importorskip("sb3_contrib")
    torch.manual_seed(0)
    env = gymnasium.make("vantor_gym/Chess-v0", opponent="random", max_plies=40)
    model = maskable.MaskablePPO("MlpPolicy", env, n_steps=64, batch_size=32, n_epochs=1, seed=0, device="cpu")
    _learns_and_picks_legal_actions(model, model.get_env(), 256)


def test_maskable_ppo_on_the_vec_env_with_an_opponent():
    maskable = pytest.importorskip("sb3_contrib")
    env = VecEnv(4, opponent="random", agent_side="random", max_plies=40, threads=1)
    model = maskable.MaskablePPO("MlpPolicy", env, n_steps=32, batch_size=64, n_epochs=1, seed=0, device="cpu")
    _learns_and_picks_legal_actions(model, env, 512)


@pytest.mark.parametrize("policy, options", [("MlpPolicy", {}), ("CnnPolicy", {}), ("MlpPolicy", {"dtype": np.float32}),
                                             ("MlpPolicy", {"flatten": True, "scale": True})])
def test_maskable_ppo_with_the_planes_extractor(policy, options):
    maskable = pytest.importorskip("sb3_contrib")
    env = VecEnv(4, opponent="random", max_plies=30, threads=1, **options)
    kwargs = {"features_extractor_class": PlanesExtractor,
              "features_extractor_kwargs": {"channels": 8, "blocks": 1, "features_dim": 32}}
    model = maskable.MaskablePPO(policy, env, n_steps=16, batch_size=32, n_epochs=1, seed=0, device="cpu",
                                 policy_kwargs=kwargs)
    assert isinstance(model.policy.features_extractor, PlanesExtractor)
    _learns_and_picks_legal_actions(model, env, 256)


def test_a_model_saves_and_loads_though_its_env_does_not_pickle(tmp_path):
    maskable = pytest.importorskip("sb3_contrib")
    env = VecEnv(2, opponent=lowest, max_plies=20, threads=1)
    kwargs = {"features_extractor_class": PlanesExtractor,
              "features_extractor_kwargs": {"channels": 4, "blocks": 1, "features_dim": 16}}
    model = maskable.MaskablePPO("MlpPolicy", env, n_steps=8, batch_size=16, n_epochs=1, seed=0, device="cpu",
                                 policy_kwargs=kwargs)
    model.learn(16)
    model.save(tmp_path / "model")
    loaded = maskable.MaskablePPO.load(tmp_path / "model", env=env, device="cpu")
    obs, masks = env.reset(), env.action_masks()
    assert np.array_equal(model.predict(obs, action_masks=masks, deterministic=True)[0],
                          loaded.predict(obs, action_masks=masks, deterministic=True)[0])
