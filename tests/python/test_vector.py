"""VantorVectorEnv's partial resets, opponents, step plane and refusals."""

import sys
import threading
import time

import numpy as np
import pytest
from gymnasium.vector import SyncVectorEnv

from conftest import SANITIZED, START_FEN
from test_vector_sync import BACK_RANK, quiet, same
from vantor_gym import VantorEnv, VantorVectorEnv, expand_observations
from vantor_gym.notation import fen, uci_to_action
from vantor_gym.players import TreeSearchPlayer
from vantor_gym.render import move_squares

E2E4 = 564


def quiet_actions(env, infos):
    return np.array([quiet(env.batch.save_state(g), m.astype(bool)) if m.any() else 0
                     for g, m in enumerate(infos["action_mask"])])


def test_disabled_autoreset_refuses_ended_games_until_the_mask_restarts_them():
    env = VantorVectorEnv(3, max_plies=1, workers=1, autoreset_mode="disabled")
    env.reset(seed=0)
    assert env.step(np.full(3, E2E4))[3].all()
    with pytest.raises(ValueError, match=r"games \[0, 1, 2\] are over"):
        env.step(np.full(3, E2E4))
    obs, infos = env.reset(options={"reset_mask": np.array([False, True, False])})
    assert infos["_side"].tolist() == [False, True, False] and infos["action_mask"].sum(axis=1).tolist() == [0, 20, 0]
    assert (obs[0] != obs[1]).any()  # game 0 keeps its last observation
    with pytest.raises(ValueError, match=r"games \[0, 2\] are over"):
        env.step(np.full(3, E2E4))
    env.reset(options={"reset_mask": np.array([True, False, True])})
    assert env.step(np.full(3, E2E4))[3].all()


@pytest.mark.parametrize("mode, options, error", [
    ("disabled", {"reset_mask": [True, False]}, ValueError),
    ("disabled", {"reset_mask": np.array([1, 0])}, ValueError),
    ("disabled", {"reset_mask": np.array([False, False])}, ValueError),
    ("disabled", {"reset_mask": np.array([True, True]), "fen": "not a fen"}, ValueError),
    ("next_step", {"reset_mask": np.array([True, False])}, ValueError),
    ("disabled", {"seed": 1.5}, TypeError),
    ("disabled", {"seed": -1}, ValueError),
    ("disabled", {"seed": [1]}, ValueError),
    ("disabled", {"seed": [1, "2"]}, TypeError),
    ("next_step", {"fens": [BACK_RANK]}, ValueError),
    ("next_step", {"fens": BACK_RANK}, ValueError),
    ("next_step", {"fens": [BACK_RANK, 3]}, TypeError),
    ("next_step", {"fens": [None, "8/8 w"]}, ValueError),
    ("next_step", {"fens": [BACK_RANK, None], "fen": BACK_RANK}, ValueError),
    ("next_step", ["fen"], TypeError),
    ("disabled", "fen", TypeError),
], ids=repr)
def test_bad_resets_change_nothing(mode, options, error):
    env = VantorVectorEnv(2, workers=1, autoreset_mode=mode, opponent=quiet, agent_side="random")
    env.reset(seed=3)
    env.step(np.full(2, E2E4))
    before, seed = env.batch.hash_state(), env.np_random_seed
    seeds = {"seed": options.pop("seed")} if "seed" in options else {"seed": 9}
    with pytest.raises(error):
        env.reset(options=options, **seeds)
    assert (env.batch.hash_state() == before).all() and env.np_random_seed == seed


@pytest.mark.parametrize("spec", ["random", "search:1", quiet])
def test_random_sides_are_sync_vector_envs_over_episodes(spec):
    # "random" and "search" players draw a seed of their own at a seeded reset of a single
    # env: the sides drawn after it must still be the single envs' sides.
    options = {"opponent": spec, "agent_side": "random", "max_plies": 2, "start_fens": [BACK_RANK]}
    ours = VantorVectorEnv(4, workers=1, **options)
    theirs = SyncVectorEnv([lambda: VantorEnv(**options)] * 4)
    for seed in (8, [8, None, 10, 11], [3, 4, 5, 6]):
        _, infos = ours.reset(seed=seed)
        expected = theirs.reset(seed=seed)[1]["agent_side"]
        assert (infos["agent_side"] == expected)[[0, 2, 3]].all()
    sides = []
    for _ in range(8):  # every episode ends at its first step
        actions = quiet_actions(ours, infos)
        *_, infos = ours.step(actions)
        assert (infos["agent_side"] == theirs.step(actions)[4]["agent_side"]).all()
        sides.append(tuple(infos["agent_side"]))
    assert len(set(sides)) > 2


def test_an_illegal_action_under_raise_restarts_no_ended_game():
    env = VantorVectorEnv(2, workers=1, illegal_action="raise", opponent=quiet, start_fens=[BACK_RANK])
    env.reset(seed=0)
    board = env.batch.save_state(0)
    *_, terminated, _, infos = env.step(np.array([uci_to_action(board, "a1a8"), uci_to_action(board, "g2g3")]))
    assert terminated.tolist() == [True, False]
    before = env.batch.hash_state()
    with pytest.raises(ValueError):
        env.step(np.array([0, 0]))  # game 0 would restart, but game 1's action is refused
    assert (env.batch.hash_state() == before).all()


class FailingOnce:
    def __init__(self, answer):
        self.answer, self.calls = answer, 0

    def __call__(self, state, mask):
        self.calls += 1
        if self.calls != 3:
            return quiet(state, mask)
        if isinstance(self.answer, Exception):
            raise self.answer
        return self.answer


@pytest.mark.parametrize("answer, error", [(RuntimeError("engine gone"), RuntimeError), (1.5, TypeError),
                                           (True, TypeError), (0, ValueError)], ids=repr)
def test_an_opponent_that_fails_stops_the_env_until_a_full_reset(answer, error):
    env = VantorVectorEnv(2, workers=1, illegal_action="raise", opponent=FailingOnce(answer), autoreset_mode="disabled")
    env.reset(seed=0)
    env.step(np.full(2, E2E4))  # the first two replies are good
    env.reset(seed=0)
    with pytest.raises(error):
        env.step(np.full(2, E2E4))
    with pytest.raises(RuntimeError, match="call reset"):
        env.step(np.full(2, E2E4))
    with pytest.raises(RuntimeError, match="without a reset_mask"):
        env.reset(options={"reset_mask": np.array([True, False])})
    env.reset()
    assert not env.step(np.full(2, E2E4))[4]["illegal_action"].any()


@pytest.mark.parametrize("spec", ["random", "search:4"])
def test_players_drawing_at_random_play_legal_replies_that_repeat_with_the_seed(spec):
    def positions(seed):
        env = VantorVectorEnv(6, max_plies=30, workers=1, opponent=spec, agent_side="random")
        _, infos = env.reset(seed=seed)
        seen, over = [], np.zeros(6, bool)
        for _ in range(40):
            assert (infos["side"] == infos["agent_side"])[~over].all()  # the agent is to move in every game on
            _, _, terminated, truncated, infos = env.step(quiet_actions(env, infos))
            assert not infos["illegal_action"].any()
            over = terminated | truncated
            seen.append(env.batch.hash_state().tolist())
        return seen

    assert positions(4) == positions(4) != positions(5)


def test_pictures_show_the_opponents_reply():
    replies = []
    env = VantorVectorEnv(1, workers=1, render_mode="rgb_array",
                          opponent=lambda state, mask: replies.append(quiet(state, mask)) or replies[-1])
    env.reset()
    env.step(np.array([E2E4]))
    assert env.last_moves.moves == [move_squares(replies[0], 1)]


@pytest.mark.parametrize("step_plane", ["plies", "zero", "module"])
def test_compact_rows_show_the_step_plane_the_planes_show(step_plane):
    options = {"workers": 1, "step_plane": step_plane, "autoreset_mode": "same_step", "max_plies": 30}
    planes, compact = VantorVectorEnv(3, **options), VantorVectorEnv(3, compact=True, **options)
    obs, infos = planes.reset(seed=2)
    rows, _ = compact.reset(seed=2)
    for _ in range(70):
        assert (expand_observations(rows) == obs).all()
        actions = quiet_actions(planes, infos)
        obs, _, _, _, infos = planes.step(actions)
        rows, _, _, _, compact_infos = compact.step(actions)
        for game in np.flatnonzero(infos.get("_final_obs", [])):
            assert (expand_observations(compact_infos["final_obs"][game][None])[0] == infos["final_obs"][game]).all()


def lister_engine(tmp_path):
    """A UCI engine that answers with a middle legal move and logs each position sent."""
    path = tmp_path / "lister.py"
    path.write_text(f"""#!{sys.executable}
import sys
sys.path[:0] = {sys.path!r}
from vantor_gym.game import Game
from vantor_gym.notation import action_to_uci, uci_to_action
game = Game()
for line in sys.stdin:
    words = line.split() or [""]
    answer = {{"uci": "id name Lister\\nuciok", "isready": "readyok"}}.get(words[0])
    if words[0] == "position":
        open({str(tmp_path / "log")!r}, "a").write(line)
        game.reset(" ".join(words[2:8]))
        for move in words[9:]:
            game.step(uci_to_action(game, move))
    elif words[0] == "go":
        answer = "bestmove " + action_to_uci(game, int(game.legal_actions()[len(game.legal_actions()) // 2]))
    elif words[0] == "quit":
        break
    if answer:
        print(answer, flush=True)
""")
    path.chmod(0o755)
    return str(path)


@pytest.mark.skipif(SANITIZED, reason="its engine is a Python that loads the module")
def test_a_uci_opponent_sees_each_games_moves_and_is_closed_with_the_env(tmp_path):
    options = {"opponent": "uci:" + lister_engine(tmp_path), "agent_side": "random", "max_plies": 8,
               "start_fens": [BACK_RANK]}
    ours = VantorVectorEnv(3, workers=1, **options)
    theirs = SyncVectorEnv([lambda: VantorEnv(**options)] * 3)
    obs, infos = ours.reset(seed=6)
    same(obs, theirs.reset(seed=6)[0], "reset")
    for step in range(16):
        actions = quiet_actions(ours, infos)
        obs, rewards, _, _, infos = ours.step(actions)
        expected = theirs.step(actions)
        same((obs, infos), (expected[0], expected[4]), f"step {step}")
    assert max(len(line.split()) for line in (tmp_path / "log").read_text().splitlines()) > 12
    engine = ours._player
    ours.close()
    theirs.close()
    assert engine.closed


@pytest.mark.parametrize("mode", ["next_step", "same_step", "disabled"])
def test_the_arrays_returned_are_the_callers_to_change(mode):
    env = VantorVectorEnv(2, workers=1, autoreset_mode=mode)
    obs, infos = env.reset()
    infos["action_mask"][:] = 0
    obs[:] = 7
    assert env.action_masks().sum() == 40
    obs, _, _, _, infos = env.step(np.full(2, E2E4))
    infos["action_mask"][:] = 0
    obs[:] = 7
    assert env.action_masks().sum() == 40
    if mode == "disabled":
        assert (env.reset(options={"reset_mask": np.array([True, False])})[0][1] != 7).any()


@pytest.mark.parametrize("options, error, match", [
    ({"agent_side": "black"}, ValueError, "needs an opponent"),
    ({"opponent": quiet, "agent_side": "both"}, ValueError, "agent_side"),
    ({"opponent": 3}, TypeError, "opponent"),
    ({"opponent": "nobody"}, ValueError, "unknown player"),
    ({"autoreset_mode": "sometimes"}, ValueError, "autoreset_mode"),
    ({"step_plane": "total"}, ValueError, "step_plane"),
    ({"dtype": np.float64}, ValueError, "dtype"),
    ({"compact": True, "dtype": np.float32}, ValueError, "compact"),
    ({"flatten": "no"}, TypeError, "flatten"),
    ({"legal_actions": 1}, TypeError, "legal_actions"),
    ({"max_plies": "9"}, TypeError, "max_plies must be an integer"),
    ({"max_plies": 2**31}, ValueError, "max_plies must be in 1 .. 2147483647"),
])
def test_bad_options_are_refused(options, error, match):
    with pytest.raises(error, match=match):
        VantorVectorEnv(2, **options)


# A rook ending with black to move, and the back-rank position.
ROOKS = "4k3/8/8/8/8/8/8/R3K2R b KQ - 0 1"


@pytest.mark.parametrize("fens, reset_mask", [
    ([ROOKS, None, BACK_RANK, None], None),
    ([ROOKS, BACK_RANK, START_FEN, ROOKS], None),
    ([None, ROOKS, None, BACK_RANK], np.array([False, True, True, True])),
], ids=["some", "all", "masked"])
def test_fens_start_each_game_as_its_single_env_with_that_fen(fens, reset_mask):
    # A game given a FEN draws no start, so the sides drawn after differ from the others'.
    options = {"opponent": quiet, "agent_side": "random", "start_fens": [START_FEN], "max_plies": 5}
    env = VantorVectorEnv(4, workers=1, autoreset_mode="disabled" if reset_mask is not None else "next_step",
                          **options)
    games = range(4) if reset_mask is None else np.flatnonzero(reset_mask).tolist()
    for seed in range(0, 40, 8):
        given = {"fens": fens}
        if reset_mask is not None:
            env.reset(seed=[seed + 1000 + game for game in range(4)])
            given["reset_mask"] = reset_mask
        obs, infos = env.reset(seed=[seed + game for game in range(4)], options=given)
        assert (env.agent_sides == infos["agent_side"])[list(games)].all()
        for game in games:
            single = VantorEnv(**options)
            expected_obs, expected = single.reset(seed=seed + game, options=fens[game] and {"fen": fens[game]})
            row = {key: infos[key][game] for key in expected}
            same((obs[game], row), (expected_obs, {**expected, "illegal_action": np.bool_(False)}), f"game {game}")
            assert fen((env.batch, game)) == single.game.fen()
            single.close()


@pytest.mark.parametrize("made_with, other, error, match", [
    (quiet, None, ValueError, "not None"),
    (None, quiet, ValueError, "made with an opponent"),
    ("random", 3, TypeError, "opponent must be"),
    (quiet, "nobody", ValueError, "unknown player"),
    (quiet, "mc:0", ValueError, "at least 1"),
    (quiet, TreeSearchPlayer(1, 0, rules="module"), ValueError, "plays under 'module' rules"),
    (quiet, "uci:/no/such/engine", ValueError, "UCI engine plays chess"),
])
def test_a_refused_opponent_leaves_the_former_playing(made_with, other, error, match):
    rules = "module" if isinstance(other, str) and other.startswith("uci:") else "standard"
    env = VantorVectorEnv(2, workers=1, opponent=made_with, autoreset_mode="same_step", rules=rules)
    env.reset(seed=1)
    with pytest.raises(error, match=match):
        env.set_opponent(other)
    assert env.opponent is made_with
    env.step(np.full(2, E2E4))
    env.close()
    with pytest.raises(RuntimeError, match="closed"):
        env.set_opponent(quiet)


def test_a_new_opponent_makes_the_next_replies():
    lowest = []
    env = VantorVectorEnv(3, workers=1, opponent="random", agent_side="random", max_plies=4)
    _, infos = env.reset(seed=5)
    for step in range(12):
        if step == 5:
            env.set_opponent(lambda state, mask: lowest.append(int(np.flatnonzero(mask)[0])) or lowest[-1])
        before = len(lowest)
        _, _, terminated, truncated, infos = env.step(quiet_actions(env, infos))
        assert (infos["side"] == infos["agent_side"])[~(terminated | truncated)].all()
        assert (len(lowest) > before) == (step >= 5)


@pytest.mark.skipif(SANITIZED, reason="its engine is a Python that loads the module")
def test_a_uci_opponent_set_mid_game_is_sent_the_position_then_whole_games(tmp_path):
    env = VantorVectorEnv(2, workers=1, opponent=quiet, max_plies=6, autoreset_mode="same_step")
    _, infos = env.reset(seed=0)
    *_, infos = env.step(quiet_actions(env, infos))
    env.set_opponent("uci:" + lister_engine(tmp_path))
    engine = env._player
    for _ in range(4):  # the games end at their sixth ply, and start again
        *_, infos = env.step(quiet_actions(env, infos))
        assert not infos["illegal_action"].any()
    lines = (tmp_path / "log").read_text().splitlines()
    # Games begun before the engine: their positions alone; the games started after: from their start.
    assert len(lines) == 8 and all(" moves " not in line for line in lines[:4]), lines
    assert all(line.startswith(f"position fen {START_FEN} moves ") for line in lines[4:]), lines
    assert [len(line.split()) for line in lines[4:]] == [10, 10, 12, 12]
    env.set_opponent(quiet)
    assert engine.closed
    env.close()


def test_threads_take_turns_and_an_opponent_calling_back_is_refused():
    inside, results = threading.Event(), {}

    def slow(state, mask):
        inside.set()
        time.sleep(0.1)
        return quiet(state, mask)

    env = VantorVectorEnv(1, workers=1, opponent=slow)
    env.reset(seed=0)
    first = threading.Thread(target=lambda: results.setdefault("first", env.step([E2E4])[4]["illegal_action"]))
    second = threading.Thread(target=lambda: inside.wait() and results.setdefault("second", env.step([1234])[4]))
    first.start()
    second.start()
    first.join()
    second.join()
    # The second step came after the first reply, as white's move (an illegal one), not as black's reply.
    assert not results["first"].any() and results["second"]["illegal_action"].all()
    assert env.batch.save_state(0).side == 0 and env.batch.plies()[0] == 2

    def calling_back(state, mask):
        env.action_masks()  # reading is allowed
        env.reset()
        return quiet(state, mask)

    env = VantorVectorEnv(2, workers=1, opponent=calling_back)
    env.reset(seed=0)
    with pytest.raises(RuntimeError, match="from inside the environment's own step or reset"):
        env.step(np.full(2, E2E4))
    with pytest.raises(RuntimeError, match="the opponent failed to move"):
        env.step(np.full(2, E2E4))


def test_an_engine_failing_at_a_reset_stops_the_env_until_a_full_reset(tmp_path):
    from vantor_gym.uci import EngineError, UciEngine

    path = tmp_path / "silent.sh"  # a UCI engine that never has to move here
    path.write_text('#!/bin/sh\nwhile read -r line; do case "$line" in uci) echo uciok;; isready) echo readyok;; '
                    'quit) exit 0;; esac; done\n')
    path.chmod(0o755)
    engine = UciEngine(str(path))
    env = VantorVectorEnv(2, workers=1, opponent=engine)
    env.reset(seed=0)
    engine.close()
    with pytest.raises(EngineError):
        env.reset(seed=1)
    before = env.batch.hash_state()
    with pytest.raises(RuntimeError, match="the opponent failed to move"):
        env.step(np.full(2, E2E4))
    assert (env.batch.hash_state() == before).all()
