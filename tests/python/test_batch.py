"""BatchEnv against one vantor.Vantor per game, its thread independence, and bad input."""

import os

import numpy as np
import pytest

import vantor
from conftest import SANITIZED
from vantor_gym import BatchEnv

# Positions that end quickly in every way a game can end: mates, stalemates, the
# fifty-move rule and repetitions (bare kings and rooks shuffle a lot).
FENS = [
    "7k/5Q2/6K1/8/8/8/8/8 w - - 0 1",
    "k7/8/1QK5/8/8/8/8/8 w - - 0 1",
    "4k3/8/8/8/8/8/8/R3K2R w KQ - 0 1",
    "r3k2r/8/8/8/8/8/8/4K3 b kq - 0 1",
    "8/8/4k3/8/2pP4/8/8/4K3 b - d3 0 1",
    "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1",
    "8/P7/8/8/8/8/7p/K6k w - - 0 1",
]
STEPS = int(os.environ.get("VANTOR_BATCH_STEPS", 4000 if SANITIZED else 100_000))


def start_from(env, fen):
    """What BatchEnv.reset(fens=...) does, spelled out with the module's own calls: the
    position swapped into a fresh game, its history just itself, counted once."""
    env.reset()
    env.parse_fen(fen)
    state = env.save_state()
    pieces = state.bitboards.tolist()
    state.state_history = [[[pieces[c] >> s & 1 for s in range(64)] for c in range(12)] + [[0] * 64, [0] * 64]]
    state.state_pos = 1
    state.repetition_count = {env.hash_state(): 1}
    state.n_repititions = state.prev_n_repititions = 0
    return env.restore_state(state)


def planes(obs):
    return np.asarray(obs, dtype=np.int32).reshape(119, 8, 8)


def mask_of(env):
    return np.asarray(env.get_actions(), dtype=bool).reshape(4672)


def same_state(a, b):
    for field in ("side", "enpassant", "castle", "state_history", "state_pos", "total_move_count",
                  "no_progress_count", "repetition_count", "move_index", "n_repititions", "prev_n_repititions"):
        assert getattr(a, field) == getattr(b, field), field
    assert (a.bitboards == b.bitboards).all() and (a.occupancies == b.occupancies).all()


def play(threads, steps, seed=0, num_envs=8, max_plies=60, check=True):
    """Steps a batch with random actions (mostly legal), starting games from FENs now and
    then; with check, replays every game on its own Vantor and compares everything."""
    rng = np.random.default_rng(seed)
    batch = BatchEnv(num_envs, threads=threads, max_plies=max_plies, illegal="lose", observation="module",
                     rules="module")
    mirrors = [vantor.Vantor() for _ in range(num_envs)]
    obs, info = batch.reset()
    plies = [0] * num_envs
    for m in mirrors:
        m.reset()
    record = []
    over = np.zeros(num_envs, dtype=bool)
    for step in range(steps // num_envs):
        if step % 50 == 25:
            chosen = rng.choice(num_envs, size=3, replace=False)
            fens = [FENS[k] for k in rng.integers(len(FENS), size=3)]
            obs_r, info_r = batch.reset(chosen, fens)
            for row, (i, fen) in enumerate(zip(chosen, fens)):
                if check:
                    _, expected, _, _ = start_from(mirrors[i], fen)
                    assert (obs_r[row] == planes(expected)).all()
                    assert (info_r["action_mask"][row] == mask_of(mirrors[i])).all()
                plies[i] = 0
            info["action_mask"][chosen] = info_r["action_mask"]
            over[chosen] = False
        actions = np.empty(num_envs, dtype=np.int64)
        for i in range(num_envs):
            legal = np.flatnonzero(info["action_mask"][i])
            if legal.size and rng.random() > 0.01:
                actions[i] = rng.choice(legal)
            else:
                actions[i] = rng.integers(-5, 4700)
        was_over = over
        obs, rewards, terminated, truncated, info = batch.step(actions)
        over = terminated | truncated
        record.append((obs.sum(), rewards.tobytes(), terminated.tobytes(), truncated.tobytes(),
                       info["action_mask"].tobytes(), batch.hash_state().tobytes()))
        if not check:
            continue
        for i, env in enumerate(mirrors):
            if was_over[i]:
                side, expected, reward, done = env.reset()
                plies[i], illegal = 0, False
            else:
                try:
                    side, expected, reward, done = env.step(int(actions[i]))
                    plies[i] += 1
                    illegal = False
                except ValueError:
                    side, expected, _, _ = env.restore_state(env.save_state())
                    reward, done, illegal = (-1 if side == 0 else 1), 1, True
            trunc = not done and not illegal and plies[i] >= 60
            assert (obs[i] == planes(expected)).all(), (step, i)
            assert (info["action_mask"][i] == mask_of(env)).all(), (step, i)
            assert (rewards[i], terminated[i], truncated[i], info["side"][i], info["illegal"][i]) == (
                reward, bool(done), trunc, side, illegal), (step, i)
        if step % 97 == 0:
            i = int(rng.integers(num_envs))
            same_state(batch.save_state(i), mirrors[i].save_state())
    batch.close()
    return record


def test_batch_games_are_vantor_games():
    play(threads=2, steps=STEPS)


def test_results_do_not_depend_on_the_number_of_threads():
    runs = [play(threads=t, steps=2000, seed=3, check=False) for t in (1, 2, 4)]
    assert runs[0] == runs[1] == runs[2]


def test_float_observations_equal_the_int_ones():
    ints, floats = BatchEnv(3, dtype=np.int32), BatchEnv(3, dtype=np.float32)
    a, b = ints.reset()[0], floats.reset()[0]
    assert b.dtype == np.float32 and (a == b).all()
    actions = np.array([564, 564, 564])
    assert (ints.step(actions)[0] == floats.step(actions)[0]).all()


def test_seeded_roll_outs_do_not_depend_on_threads():
    results = []
    for threads in (1, 2, 4):
        batch = BatchEnv(16, threads=threads, seed=7)
        batch.reset()
        results.append((batch.roll_out().tobytes(), batch.hash_state().tobytes(), batch.roll_out([3, 1]).tobytes()))
    assert results[0] == results[1] == results[2]


FOOLS_MATE = [501, 524, 566, 195]


def ended_snapshot(fen, actions, rules):
    """The snapshot of a game that the last of ``actions`` ended under ``rules``."""
    with BatchEnv(1, autoreset="disabled", rules=rules) as games:
        games.reset(fens=None if fen is None else [fen])
        for action in actions:
            *_, info = games.step([action])
        assert info["ending"][0] != 0
        return games.save_state(0)


@pytest.mark.parametrize("fen, actions, rules, ending", [
    (None, FOOLS_MATE, "module", 1),                         # checkmate
    ("4k3/8/8/8/8/8/8/3qK3 w - - 0 1", [3196], "standard", 3),  # Kxd1: bare kings
    ("4k3/8/8/8/8/8/4P3/R3K3 w - - 99 1", [504], "standard", 4),  # Ra2: fifty moves
])
@pytest.mark.parametrize("autoreset", ["next_step", "disabled"])
def test_a_restored_snapshot_of_an_ended_game_is_an_ended_game(fen, actions, rules, ending, autoreset):
    snapshot = ended_snapshot(fen, actions, rules)
    with BatchEnv(2, autoreset=autoreset, rules=rules) as games:
        games.reset()
        _, info = games.restore_state(0, snapshot)
        if autoreset == "disabled":
            with pytest.raises(ValueError, match="game 0 is over"):
                games.step([0, 564])
            return
        # The next step starts game 0 again, whatever its action, as after the step that ended it.
        observations, rewards, terminated, truncated, info = games.step([0, 564])
        assert not terminated[0] and info["ending"][0] == 0 and info["action_mask"][0].sum() == 20
        assert games.plies()[0] == 0


def test_snapshots_move_between_batch_games_and_vantor():
    batch = BatchEnv(2, illegal="raise", rules="module")
    batch.reset()
    batch.step([564, 564])
    env = vantor.Vantor()
    env.restore_state(batch.save_state(0))
    assert env.hash_state() == batch.hash_state()[0]
    env.step(524)
    obs, info = batch.restore_state(1, env.save_state())
    assert batch.hash_state()[1] == env.hash_state()
    assert (info["action_mask"] == mask_of(env)).all()
    with pytest.raises(ValueError, match="state_pos"):
        bad = env.save_state()
        bad.state_pos = 9
        batch.restore_state(0, bad)
    assert batch.hash_state()[0] != env.hash_state()
    # A game under chess's rules counts positions by another key: the module's counts
    # would be wrong there, and the other way round.
    for made, used in (("module", "standard"), ("standard", "module"), ("automatic", "module")):
        source = BatchEnv(1, rules=made)
        source.reset()
        source.step([564])
        with pytest.raises(ValueError, match=f"made under {'module' if made == 'module' else 'chess'}.*plays {used}"):
            BatchEnv(1, rules=used).restore_state(0, source.save_state(0))
    chess = BatchEnv(1, rules="standard")
    chess.restore_state(0, BatchEnv(1, rules="automatic").save_state(0))


def test_raise_mode_changes_nothing_on_a_bad_action():
    batch = BatchEnv(3, illegal="raise")
    batch.reset()
    before = batch.hash_state()
    with pytest.raises(ValueError, match="action 0 of game 1 is not legal"):
        batch.step([564, 0, 1])
    assert (batch.hash_state() == before).all()
    batch.step([564, 564, 564])


def test_disabled_autoreset_refuses_an_ended_game_until_reset():
    batch = BatchEnv(2, autoreset="disabled", max_plies=1)
    batch.reset()
    batch.step([564, 564])
    with pytest.raises(ValueError, match="game 0 is over"):
        batch.step([524, 524])
    batch.reset([0, 1])
    batch.step([564, 564])


def test_out_buffers_are_filled_in_place():
    batch = BatchEnv(2)
    batch.reset()
    out = {"observations": np.zeros((2, 119, 8, 8), np.int32), "action_mask": np.zeros((2, 4672), bool)}
    obs, _, _, _, info = batch.step([564, 564], out=out)
    assert obs is out["observations"] and info["action_mask"] is out["action_mask"]
    assert out["observations"].any() and out["action_mask"].sum() == 40


BAD = [
    (lambda: BatchEnv(0), ValueError),
    (lambda: BatchEnv(2, threads=-1), ValueError),
    (lambda: BatchEnv(2, autoreset="same_step"), ValueError),
    (lambda: BatchEnv(2, dtype=np.float64), ValueError),
    (lambda: BatchEnv(2**40), (MemoryError, ValueError, OverflowError)),
    (lambda: BatchEnv(2).step([564]), ValueError),
    (lambda: BatchEnv(2).step([[564, 564]]), ValueError),
    (lambda: BatchEnv(2).step([564.0, 564.0]), TypeError),
    (lambda: BatchEnv(2).step(np.array([564, None], dtype=object)), TypeError),
    (lambda: BatchEnv(2).step(np.array([2**64 - 1, 1], dtype=np.uint64)), ValueError),
    (lambda: BatchEnv(2).reset([2]), IndexError),
    (lambda: BatchEnv(2).reset([-1]), IndexError),
    (lambda: BatchEnv(2).reset([1, 1]), ValueError),
    (lambda: BatchEnv(2).reset([0], fens=["8/8/8/8/8/8/8/8 w - -", "8/8/8/8/8/8/8/8 w - -"]), ValueError),
    (lambda: BatchEnv(2).reset([0], fens=[b"8/8/8/8/8/8/8/8 w - -"]), TypeError),
    (lambda: BatchEnv(2).reset(fens="8/8/8/8/8/8/8/8 w - -"), TypeError),
    (lambda: BatchEnv(2).step([564, 564], out={"observations": np.zeros((2, 119, 8, 8), np.float32)}), ValueError),
    (lambda: BatchEnv(2).step([564, 564], out={"rewards": np.zeros((3,), np.int8)}), ValueError),
    (lambda: BatchEnv(2).step([564, 564], out={"action_mask": np.zeros((4672, 2), bool).T}), ValueError),
    (lambda: BatchEnv(2).step([564, 564], out={"nonsense": np.zeros(2)}), ValueError),
    (lambda: BatchEnv(2).save_state(2), IndexError),
    (lambda: BatchEnv(2).restore_state(0, None), TypeError),
]


@pytest.mark.parametrize("call, error", BAD)
def test_bad_input_is_refused(call, error):
    with pytest.raises(error):
        call()


def test_nothing_changes_when_a_call_is_refused():
    batch = BatchEnv(2)
    batch.reset()
    before = batch.hash_state()
    for call in (lambda: batch.step([564]), lambda: batch.reset([0, 5]),
                 lambda: batch.step([564, 564], out={"rewards": np.zeros(3, np.int8)})):
        with pytest.raises((ValueError, IndexError)):
            call()
    assert (batch.hash_state() == before).all()


def test_every_call_after_close_is_refused():
    batch = BatchEnv(2)
    batch.reset()
    batch.close()
    for call in (batch.reset, lambda: batch.step([564, 564]), batch.roll_out, batch.hash_state,
                 lambda: batch.save_state(0)):
        with pytest.raises(RuntimeError, match="closed"):
            call()
    batch.close()


def test_the_native_batch_class_cannot_be_swapped_or_derived():
    games = BatchEnv(1)._games
    with pytest.raises(TypeError, match="__class__ assignment"):
        games.__class__ = vantor.State
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (type(games),), {})


@pytest.mark.parametrize("seed", range(3))
def test_stepping_some_games_moves_those_alone(seed):
    """Subsets of games stepped in a random order, each game checked against a Game that
    makes the same moves; the games not named keep their position and their turn."""
    from vantor_gym import Game

    rng = np.random.default_rng(seed)
    batch = BatchEnv(6, threads=2, max_plies=30, autoreset="disabled", illegal="lose")
    games = [Game(max_plies=30, illegal="lose") for _ in range(6)]
    _, info = batch.reset()
    masks = info["action_mask"].copy()
    for _ in range(300):
        chosen = rng.permutation(6)[: rng.integers(1, 7)]
        actions = np.array([rng.choice(np.flatnonzero(masks[i])) if rng.random() > 0.02 else 4700 for i in chosen])
        hashes = batch.hash_state()
        obs, rewards, terminated, truncated, info = batch.step(actions, indices=chosen)
        others = np.setdiff1d(np.arange(6), chosen)
        assert (batch.hash_state()[others] == hashes[others]).all()
        for row, (i, action) in enumerate(zip(chosen, actions)):
            reward, end = games[i].step(int(action))
            assert (obs[row] == games[i].observation()).all()
            assert (rewards[row], terminated[row], truncated[row]) == (reward, end == 1, end == 2)
            assert (info["action_mask"][row] == games[i].action_mask()).all()
            assert info["side"][row] == games[i].side and info["illegal"][row] == games[i].illegal_action
            masks[i] = info["action_mask"][row]
            if end:
                batch.reset(indices=[i])
                games[i].reset()
                masks[i] = games[i].action_mask()
        assert (batch.plies() == [g.plies for g in games]).all()


def test_a_refused_subset_step_changes_nothing():
    batch = BatchEnv(3, autoreset="disabled", illegal="raise")
    _, info = batch.reset()
    legal = [int(np.flatnonzero(m)[0]) for m in info["action_mask"]]
    hashes = batch.hash_state()
    for indices, actions, error in (([0, 0], legal[:2], ValueError), ([3], legal[:1], IndexError),
                                    ([0, 1], [legal[0], 4700], ValueError), ([0], legal[:2], ValueError)):
        with pytest.raises(error):
            batch.step(actions, indices=indices)
        assert (batch.hash_state() == hashes).all() and (batch.plies() == 0).all()


@pytest.mark.parametrize("indices, actions, out_rows, error", [
    ([1.0], 1, None, TypeError), ([True], 1, None, TypeError), ([[0]], 1, None, TypeError),
    (np.array([2**64 - 1], np.uint64), 1, None, IndexError), ([-1], 1, None, IndexError),
    ([2**70], 1, None, TypeError), ([0, 2], 1, None, ValueError), ([0, 2], 2, 3, ValueError),
], ids=repr)
def test_a_subset_step_refuses_bad_indices_and_buffers_before_any_game_moves(indices, actions, out_rows, error):
    batch = BatchEnv(3, threads=1)
    _, info = batch.reset()
    legal = np.array([np.flatnonzero(m)[0] for m in info["action_mask"]])
    # Buffers sized for every game where fewer are stepped: rows would not line up.
    out = None if out_rows is None else {"rewards": np.zeros(out_rows, np.int8)}
    hashes = batch.hash_state()
    with pytest.raises(error):
        batch.step(legal[:actions], out=out, indices=indices)
    assert (batch.hash_state() == hashes).all() and (batch.plies() == 0).all()


@pytest.mark.parametrize("empty", [[], (), np.array([], np.int64), np.array([], np.uint8)], ids=repr)
def test_naming_no_game_steps_resets_and_rolls_out_none(empty):
    batch = BatchEnv(2, threads=1, autoreset="disabled", max_plies=1)
    _, info = batch.reset()
    batch.step([int(np.flatnonzero(m)[0]) for m in info["action_mask"]])  # both games over
    hashes = batch.hash_state()
    obs, rewards, terminated, truncated, info = batch.step(empty, indices=empty)
    assert obs.shape == (0, 119, 8, 8) and rewards.shape == terminated.shape == info["action_mask"].shape[:1] == (0,)
    assert batch.reset(indices=empty)[0].shape == (0, 119, 8, 8) and batch.roll_out(empty).shape == (0,)
    assert (batch.hash_state() == hashes).all() and (batch.plies() == 1).all()
