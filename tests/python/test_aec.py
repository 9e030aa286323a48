"""The PettingZoo AEC environment of vantor_gym."""

import collections
import warnings

import pytest

np = pytest.importorskip("numpy")
pytest.importorskip("pettingzoo")

import vantor  # noqa: E402
from vantor_gym import BatchEnv, aec, letter_board  # noqa: E402
from vantor_gym.notation import uci_to_action  # noqa: E402

with warnings.catch_warnings():
    # Under pytest, pettingzoo.test loads connect_four_v3 through PettingZoo's deprecated
    # creation API for its own doctest fixtures, which warns once at import.
    warnings.filterwarnings("ignore", "The old environment creation API", DeprecationWarning)
    from pettingzoo.test import api_test, seed_test

FOOLS_MATE = (501, 524, 566, 195)  # f3 e5 g4 Qh4#


def flat_mask(game):
    return np.array(game.get_actions(), np.int8).reshape(4672)


def finish(env):
    """Steps both ended agents out; returns what last() gave each on its way out."""
    seen = {}
    for agent in env.agent_iter():
        _, reward, terminated, truncated, info = env.last()
        assert terminated or truncated
        seen[agent] = (reward, terminated, truncated, info)
        env.step(None)
    assert env.agents == []
    return seen


def ended(white_reward, ending, truncated=False):
    """What finish() gives at the end of a game, from white's reward."""
    return {
        "player_0": (white_reward, not truncated, truncated, {"ending": ending}),
        "player_1": (-white_reward, not truncated, truncated, {"ending": ending}),
    }


# PettingZoo's checks warn about any dict observation of an environment not on their own
# list of classic games, and about a Dict observation space; both are what PettingZoo's
# own chess environment has, so exactly those two warnings are let through.
@pytest.mark.filterwarnings("ignore:Observation is not a NumPy array:UserWarning")
@pytest.mark.filterwarnings("ignore:Observation space for each agent probably should be:UserWarning")
@pytest.mark.parametrize("max_plies, rules", [(None, "standard"), (7, "standard"), (None, "automatic"),
                                              (None, "module")])
def test_pettingzoo_api_and_seed_tests(max_plies, rules):
    api_test(aec.env(max_plies=max_plies, rules=rules), num_cycles=300)
    seed_test(lambda: aec.env(max_plies=max_plies, rules=rules), num_cycles=300)


def test_random_games_equal_the_module_ply_for_ply():
    env = aec.env(rules="module")
    game = vantor.Vantor()  # one for all games, so the step counter (plane 113) runs on alike
    rng = np.random.default_rng(5)
    plies, endings = 0, collections.Counter()
    while plies < 500 or sum(endings.values()) < 4:
        env.reset(seed=int(rng.integers(1000)))
        _, planes, _, _ = game.reset()
        counts = collections.Counter([game.hash_state()])
        while True:
            agent = env.agent_selection
            obs, reward, terminated, truncated, info = env.last()
            assert (terminated, truncated, info) == (False, False, {})
            assert env.observation_space(agent).contains(obs)
            assert obs["observation"].reshape(119, 64).tolist() == planes
            assert (obs["action_mask"] == flat_mask(game)).all()
            other = env.observe(aec.AGENTS[1 - aec.AGENTS.index(agent)])
            assert (other["observation"] == obs["observation"]).all() and not other["action_mask"].any()
            action = int(env.action_space(agent).sample(obs["action_mask"]))
            env.step(action)
            side, planes, white_reward, done = game.step(action)
            plies += 1
            counts[game.hash_state()] += 1
            assert env.rewards == {"player_0": white_reward, "player_1": -white_reward}
            if done:
                break
            assert env.agent_selection == aec.AGENTS[side]
        # An ending named independently: mate and stalemate by the legal moves left,
        # repetition by our own count of the engine's position hashes.
        moves_left = flat_mask(game).any()
        if not moves_left:
            expected = "checkmate" if white_reward else "stalemate"
        else:
            expected = "repetition" if counts[game.hash_state()] == 3 else "fifty_moves"
            assert expected == "repetition" or planes[118][0] >= 50
        endings[expected] += 1
        final = env.observe("player_0")
        assert final["observation"].reshape(119, 64).tolist() == planes and not final["action_mask"].any()
        assert env.observation_space("player_0").contains(final)
        assert finish(env) == ended(white_reward, expected)


@pytest.mark.parametrize(
    "max_plies, moves, result",
    [
        (None, FOOLS_MATE, ended(-1, "checkmate")),
        (4, FOOLS_MATE, ended(-1, "checkmate")),  # a mate on the last ply is no truncation
        (3, FOOLS_MATE[:3], ended(0, "max_plies", truncated=True)),
        (None, ["g1f3", "g8f6", "f3g1", "f6g8"] * 2, ended(0, "repetition")),
        (None, [0], ended(-1, "illegal_action")),  # from a8 on line plane 0: never legal
        (None, [564, 0], ended(1, "illegal_action")),
    ],
)
def test_endings(max_plies, moves, result):
    env = aec.env(max_plies=max_plies)
    env.reset()
    board = vantor.Vantor()
    board.reset()
    for move in moves:
        assert not env.terminations[env.agent_selection] and not env.truncations[env.agent_selection]
        if isinstance(move, str):
            move = uci_to_action(board, move)
            board.step(move)
        mover, before = env.agent_selection, env.observe(env.agent_selection)["observation"]
        env.step(move)
    if result["player_0"][3]["ending"] == "illegal_action":
        assert env.agent_selection != mover  # the winner is told first
        assert (env.observe(mover)["observation"] == before).all()  # the position is unchanged
    with pytest.raises(ValueError, match="only valid action is None"):
        env.step(564)
    assert finish(env) == result
    env.reset()  # a new game gets the full ply count again
    env.step(564)
    assert not env.truncations["player_1"]


def test_fen_starts():
    env = aec.env()
    fen = "4k3/8/8/8/8/8/8/4K2R b K - 0 1"
    env.reset(options={"fen": fen})
    assert env.agent_selection == "player_1"
    with BatchEnv(1, threads=1) as batch:
        planes, info = batch.reset(fens=[fen])
    assert not env.observe("player_0")["action_mask"].any()
    for _ in range(2):
        obs = env.observe("player_1")
        assert (obs["observation"] == planes[0]).all() and (obs["action_mask"] == info["action_mask"][0]).all()
        obs["observation"][:], obs["action_mask"][:] = -1, 0  # the caller's own arrays

    # A position without a legal move is no start: nobody could make the first move.
    for start, ending in (
        ("rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3", "white is checkmated"),
        ("7k/5Q2/6K1/8/8/8/8/8 b - - 0 1", "black is stalemated"),
    ):
        with pytest.raises(ValueError, match=ending):
            env.reset(options={"fen": start})

    # A refused FEN leaves the game that was going on as it was.
    env.reset()
    env.step(564)
    before = env.observe("player_1")
    with pytest.raises(ValueError, match="king"):
        env.reset(options={"fen": "8/8/8/8/8/8/8/8 w - - 0 1"})
    after = env.observe("player_1")
    assert env.agent_selection == "player_1" and (after["observation"] == before["observation"]).all()
    assert (after["action_mask"] == before["action_mask"]).all()


def test_bad_actions_are_refused_without_a_change():
    env = aec.env()
    env.reset()
    for bad in (564.0, "564", [564], True, None):
        with pytest.raises(TypeError):
            env.step(bad)
    with pytest.raises(AssertionError):
        env.step(4672)  # PettingZoo's bounds check in the wrapped environment
    assert env.agent_selection == "player_0" and not any(env.terminations.values())
    env.step(np.int16(564))
    assert env.agent_selection == "player_1"

    raw = aec.raw_env()
    for call in (lambda: raw.step(564), lambda: raw.observe("player_0")):
        with pytest.raises(RuntimeError, match="reset"):
            call()
    raw.reset()
    raw.step(2**70)  # beyond int64: still just an action that is not legal
    assert raw.rewards == {"player_0": -1, "player_1": 1}
    assert raw.infos["player_0"] == {"ending": "illegal_action"}


def test_render_and_close():
    env = aec.env(render_mode="ansi")
    env.reset()
    env.step(564)
    text = env.render()
    assert text == letter_board(env.unwrapped.batch.save_state(0))
    assert " 4|  .  .  .  .  P  .  .  ." in text and "side:       black" in text
    quiet = aec.env()
    quiet.reset()
    with pytest.warns(UserWarning, match="without specifying any render mode"):
        assert quiet.render() is None
    env.close()
    with pytest.raises(RuntimeError, match="closed"):
        env.reset()
