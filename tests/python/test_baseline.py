"""The baseline as a match player on one intra-op thread, and as a policy over the planes
that the Gymnasium and PettingZoo environments give."""

import threading

import numpy as np
import pytest

from conftest import SANITIZED

torch = pytest.importorskip("torch")
if SANITIZED:
    pytest.skip("PyTorch is not run under the sanitizer preload", allow_module_level=True)

from vantor_gym.batch import BatchEnv  # noqa: E402
from vantor_gym.game import Game  # noqa: E402
from vantor_gym.search import Search  # noqa: E402
from vantor_gym.train import baseline, baseline_policy  # noqa: E402
from vantor_gym.train.evaluate import NetworkPlayer, NetworkPolicy  # noqa: E402
from vantor_gym.train.network import NetworkConfig, PolicyValueNet, evaluator  # noqa: E402


@pytest.fixture(scope="module")
def policy():
    return baseline_policy(device="cpu")


@pytest.fixture
def threads():
    """Two intra-op threads in this test's thread, and the count as it was afterwards."""
    before = torch.get_num_threads()
    torch.set_num_threads(2)
    yield 2
    torch.set_num_threads(before)


def random_states(count, seed):
    game, rng, states = Game(), np.random.default_rng(seed), []
    while len(states) < count:
        states.append(game.save_state())
        game.step(int(rng.choice(game.legal_actions())))
        if game.is_over:
            game.reset()
    return states


class Watched(PolicyValueNet):
    """A network that notes the intra-op thread count of every forward pass, and can make
    two callers wait for each other there."""

    def __init__(self, barrier=None):
        super().__init__(NetworkConfig(8, 1))
        self.counts, self.barrier = [], barrier
        self.eval()

    def forward(self, planes):
        self.counts.append(torch.get_num_threads())
        if self.barrier is not None:
            self.barrier.wait(timeout=30)
        return super().forward(planes)


def test_the_baseline_plays_as_the_search_without_the_thread_setting_and_sets_the_count_back(threads):
    player = baseline(8, device="cpu")
    plain = Search(1, evaluator(player.net), simulations=8, dirichlet_fraction=0.0, threads=1, compact=True)
    states = random_states(6, seed=4)
    mask = np.ones(4672, bool)
    assert [player(state, mask) for state in states] == [int(plain.run([s]).actions[0]) for s in states]
    assert torch.get_num_threads() == threads


@pytest.mark.parametrize("rules", ["standard", "automatic", "module"])
def test_the_baseline_reads_the_half_move_plane_as_it_was_trained_whatever_the_rules(rules):
    # It was trained under the module's rules, which draw at 50 half-moves: 1/50 is its scale.
    player = baseline(1, device="cpu", rules=rules)
    assert player.rules == rules and player.net.scale[0, 118, 0, 0].item() == np.float32(1 / 50)
    fresh = PolicyValueNet(player.net.config, rules)
    fresh.load_state_dict(player.net.state_dict())
    planes = torch.from_numpy(np.stack([BatchEnv(1).reset(fens=[f"8/8/8/3k4/8/8/1R6/K7 w - - {clock} 9"])[0][0]
                                        for clock in (0, 49, 99)]).astype(np.float32))
    with torch.inference_mode():
        expected = player.net(planes)
        got = fresh.eval()(planes)
    assert all(torch.equal(a, b) for a, b in zip(got, expected))


@pytest.mark.parametrize("kind", ["player", "policy"])
def test_a_call_runs_on_one_thread_and_sets_the_count_back_even_when_it_fails(threads, kind):
    net = Watched()
    board = BatchEnv(1)
    rows, info = board.reset()
    if kind == "player":
        call = NetworkPlayer(net, simulations=2)
        arguments = (board.save_state(0), info["action_mask"][0])
    else:
        call = NetworkPolicy(net)
        arguments = (rows[0], info["action_mask"][0])
    call(*arguments)
    assert net.counts and set(net.counts) == {1} and torch.get_num_threads() == threads

    def broken(planes):
        raise RuntimeError("the network broke")

    net.forward = broken
    with pytest.raises(RuntimeError, match="broke"):
        call(*arguments)
    assert torch.get_num_threads() == threads


def test_overlapping_calls_from_two_threads_each_run_on_one_and_leave_the_count_as_it_was(threads):
    barrier = threading.Barrier(2)  # each call waits inside the network for the other
    nets = [Watched(barrier), Watched(barrier)]
    state, after = random_states(1, seed=1)[0], []

    def play(net):
        NetworkPlayer(net, simulations=1)(state, np.ones(4672, bool))
        after.append(torch.get_num_threads())

    workers = [threading.Thread(target=play, args=(net,)) for net in nets]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    later = threading.Thread(target=lambda: after.append(torch.get_num_threads()))  # started afterwards
    later.start()
    later.join()
    assert all(set(net.counts) == {1} for net in nets)
    assert torch.get_num_threads() == threads and after == [threads] * 3


def test_the_environments_planes_are_the_ones_the_search_hands_the_network():
    import vantor_gym.aec

    seen = []

    def recording(observations, masks):
        seen.append(observations.copy())
        return np.zeros((len(observations), 4672), np.float32), np.zeros(len(observations), np.float32)

    env = vantor_gym.aec.env()
    env.reset()
    rng = np.random.default_rng(3)
    for _ in range(12):
        observation = env.observe(env.agent_selection)
        seen.clear()
        Search(1, recording, simulations=1, dirichlet_fraction=0.0).run([env.unwrapped.batch.save_state(0)])
        planes = observation["observation"].astype(np.float32)
        root = seen[0][0]
        root[113] = planes[113]  # the step count, which the network does not read
        assert np.array_equal(root, planes)
        env.step(int(rng.choice(np.flatnonzero(observation["action_mask"]))))


def test_the_policy_plays_a_whole_pettingzoo_game_of_legal_moves(policy):
    import vantor_gym.aec

    env = vantor_gym.aec.env(max_plies=300)
    env.reset(seed=0)
    plies = 0
    for agent in env.agent_iter():
        observation, reward, terminated, truncated, info = env.last()
        if terminated or truncated:
            env.step(None)
            continue
        action = policy(observation["observation"], observation["action_mask"])
        assert type(action) is int and observation["action_mask"][action] == 1
        env.step(action)
        plies += 1
    assert plies > 0 and "illegal" not in str(info.get("ending", ""))


def test_the_policy_plays_whole_gymnasium_games_one_env_and_a_batch_of_them(policy):
    import gymnasium

    import vantor_gym  # noqa: F401  (registers the environment)

    env = gymnasium.make("vantor_gym/Chess-v0", max_plies=300)
    observation, info = env.reset(seed=0)
    done, plies = False, 0
    while not done:
        action = policy(observation, info["action_mask"])
        assert info["action_mask"][action] == 1
        assert policy(observation.astype(np.float32), info["action_mask"].astype(bool)) == action
        observation, reward, terminated, truncated, info = env.step(action)
        assert not info["illegal_action"]
        done, plies = terminated or truncated, plies + 1
    env.close()
    assert plies > 1
    vector = gymnasium.make_vec("vantor_gym/Chess-v0", num_envs=3, vectorization_mode="vector_entry_point",
                                max_plies=40)
    observations, infos = vector.reset(seed=1)
    for _ in range(50):
        actions = policy(observations, infos["action_mask"])
        assert actions.shape == (3,) and infos["action_mask"][np.arange(3), actions].all()
        assert [policy(o, m) for o, m in zip(observations, infos["action_mask"])] == actions.tolist()
        observations, rewards, terminated, truncated, infos = vector.step(actions)
        assert not infos["illegal_action"].any()
    vector.close()


@pytest.mark.parametrize(
    "change, error, words",
    [(lambda o, m: (o[0], m), ValueError, "119, 8, 8"), (lambda o, m: (o, m[:100]), ValueError, "4672"),
     (lambda o, m: (o[None], m), ValueError, "4672"), (lambda o, m: (o, np.zeros_like(m)), ValueError, "no legal"),
     (lambda o, m: (o, m.astype(np.int8) * 2), ValueError, "0 and 1"),
     (lambda o, m: (np.where(o == 1, np.nan, o.astype(np.float32)), m), ValueError, "finite"),
     (lambda o, m: (o.astype(str), m), TypeError, "numbers"), (lambda o, m: (o, m.astype(np.float32)), TypeError,
                                                                "numbers")],
    ids=["planes cut", "mask cut", "batch of planes, one mask", "no legal action", "mask of 2s", "NaN planes",
         "text planes", "float mask"],
)
def test_the_policy_refuses_what_it_would_misread(policy, change, error, words):
    board = BatchEnv(1)
    rows, info = board.reset()
    with pytest.raises(error, match=words):
        policy(*change(rows[0], info["action_mask"][0]))
