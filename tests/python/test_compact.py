"""Compact observations against the full planes: random games, FEN starts, restored
snapshots, both orientations, the search's leaves and the self-play records."""

import numpy as np
import pytest

from conftest import SANITIZED
from vantor_gym import BatchEnv, expand_observations, expand_observations_torch
from vantor_gym.compact import COMPACT_WORDS, SIDE, TURNED
from vantor_gym.distributed import play_chunk, uniform_random
from vantor_gym.search import Search

FENS = [
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "r3k2r/8/8/8/8/8/8/4K3 b kq - 7 30",
    "8/8/4k3/8/2pP4/8/8/4K3 b - d3 0 1",
    "4k3/8/8/8/8/8/8/R3K2R w KQ - 45 80",
    "8/P7/8/8/8/8/7p/K6k b - - 0 1",
]
# Positions per orientation; 2 x 50,000 in all, fewer under the sanitizer.
POSITIONS = 10_000 if SANITIZED else 50_000
GAMES = 64 if SANITIZED else 256


def random_legal(masks, rng):
    """One uniformly drawn legal action per row, without a Python loop over rows."""
    # Found eight mask bytes at a time: most words of a mask are zero.
    words = np.ascontiguousarray(masks).view(np.uint64)
    word_rows, word_columns = np.nonzero(words)
    hits, offsets = np.nonzero(words[word_rows, word_columns].view(np.uint8).reshape(-1, 8))
    rows, actions = word_rows[hits], 8 * word_columns[hits] + offsets
    counts = np.bincount(rows, minlength=len(masks))
    first = np.concatenate(([0], np.cumsum(counts)[:-1]))
    picked = np.minimum(first + (rng.random(len(masks)) * counts).astype(np.int64), max(len(actions) - 1, 0))
    # A game that ended has no legal action; its next step restarts it whatever it is given.
    return np.where(counts > 0, actions[picked] if len(actions) else 0, 0)


@pytest.mark.parametrize("orientation", ["side_to_move", "module"])
def test_random_games_expand_bit_for_bit_to_the_planes(orientation):
    """Two batches in lockstep, one writing planes and one compact rows: every position
    of every step, reset from FENs, autoreset and restored snapshot expands exactly."""
    rng = np.random.default_rng(7)
    settings = dict(threads=2, max_plies=90, seed=3, start_fens=FENS, observation=orientation)
    with BatchEnv(GAMES, **settings) as planes_env, BatchEnv(GAMES, compact=True, **settings) as compact_env:
        planes, info = planes_env.reset()
        rows, compact_info = compact_env.reset()
        assert rows.dtype == np.uint64 and rows.shape == (GAMES, COMPACT_WORDS) and rows[0].nbytes <= 1024
        masks = info["action_mask"]
        expanded = np.empty_like(planes)
        floats = np.empty(planes.shape, np.float32)
        seen = turned = step = 0
        while seen < POSITIONS:
            if not np.array_equal(expand_observations(rows, out=expanded), planes):
                np.testing.assert_array_equal(expanded, planes)  # names the differences
            assert np.array_equal(compact_info["action_mask"], info["action_mask"])
            turned += int((rows[:, -1] >> np.uint64(32)).sum())
            seen += len(rows)
            step += 1
            if step % 40 == 0:
                np.testing.assert_array_equal(expand_observations(rows, out=floats), planes.astype(np.float32))
            if step % 25 == 0:
                # FEN starts with their clocks, and snapshots of other games restored.
                chosen = rng.choice(GAMES, 8, replace=False)
                fens = [FENS[i] for i in rng.integers(len(FENS), size=8)]
                plane_rows, info = planes_env.reset(chosen, fens=fens)
                compact_rows, _ = compact_env.reset(chosen, fens=fens)
                np.testing.assert_array_equal(expand_observations(compact_rows), plane_rows)
                masks[chosen] = info["action_mask"]
                seen += len(chosen)
                for target, source in rng.choice(GAMES, (4, 2), replace=False).tolist():
                    plane, restored = planes_env.restore_state(target, planes_env.save_state(source))
                    row, _ = compact_env.restore_state(target, compact_env.save_state(source))
                    np.testing.assert_array_equal(expand_observations(row), plane)
                    masks[target] = restored["action_mask"]
                    seen += 1
            actions = random_legal(masks, rng)
            planes, _, terminated, truncated, info = planes_env.step(actions)
            rows, _, compact_terminated, compact_truncated, compact_info = compact_env.step(actions)
            masks = info["action_mask"]
            np.testing.assert_array_equal(compact_terminated, terminated)
            np.testing.assert_array_equal(compact_truncated, truncated)
        # Both kinds of rows were met: turned ones (black to move) and unturned ones.
        assert 0 < turned < seen


def edited_snapshot(env, value=2, repetitions=None):
    """A snapshot of env's first game whose newest history entry has value on a7 of the
    white pawns' plane (any value but 0 and 1 cannot be told as a piece set), and
    repetitions on its first repetition plane when given."""
    state = env.save_state(0)
    history = state.state_history
    newest = history[(state.state_pos - 1) % len(history)]
    newest[0][8] = value
    if repetitions is not None:
        newest[12] = [repetitions] * 64
    state.state_history = history
    return state


def played(env, plies, seed=2):
    """env reset and stepped plies times with random legal actions; the last info."""
    rng = np.random.default_rng(seed)
    info = env.reset()[1]
    for _ in range(plies):
        info = env.step(random_legal(info["action_mask"], rng))[4]
    return info


def test_a_snapshot_compact_rows_cannot_show_is_refused_before_anything_changes():
    with BatchEnv(2, threads=1, seed=1) as planes_env, BatchEnv(2, threads=1, seed=1, compact=True) as env:
        info = played(planes_env, 2)
        played(env, 2)
        edited = edited_snapshot(planes_env)
        hashes, history = env.hash_state(), env.save_state(1).state_history
        with pytest.raises(ValueError, match="compact observations cannot show"):
            env.restore_state(1, edited)
        assert (env.hash_state() == hashes).all() and env.save_state(1).state_history == history
        # The planes show such a snapshot as it is.
        kept = planes_env.save_state(1)
        plane, _ = planes_env.restore_state(1, edited)
        assert plane[0, 1, 0] == 2
        # The refused batch goes on exactly as its twin.
        planes_env.restore_state(1, kept)
        actions = random_legal(info["action_mask"], np.random.default_rng(0))
        rows, *_ = env.step(actions)
        planes, *_ = planes_env.step(actions)
        np.testing.assert_array_equal(expand_observations(rows), planes)
        # Planes of 0 and 1 are piece sets and constant planes repetition values, even
        # edited ones (a negative value too): restored and shown exactly.
        unedited, _ = planes_env.restore_state(1, planes_env.save_state(0))
        fine = edited_snapshot(planes_env, value=1, repetitions=-5)
        row, _ = env.restore_state(1, fine)
        plane, _ = planes_env.restore_state(1, fine)
        assert (plane != unedited).sum() == 1 + 64 and (plane == -5).sum() == 64
        np.testing.assert_array_equal(expand_observations(row), plane)


def test_a_compact_search_refuses_such_a_root_and_searches_on():
    with BatchEnv(1, threads=1) as env:
        played(env, 1)
        search = Search(1, lambda o, m: (np.zeros((len(m), 4672)), np.zeros(len(m))), simulations=4, compact=True)
        with pytest.raises(ValueError, match="root 0: .*compact observations cannot show"):
            search.run([edited_snapshot(env)])
        assert search.run(env).simulations[0] == 4


def logits_of(planes, masks):
    """An evaluator's answer that depends on every plane value, so that two searches
    build the same trees only when they see the same planes."""
    flat = planes.reshape(len(planes), -1).astype(np.float64)
    weights = np.sin(np.arange(flat.shape[1]) * 0.37)
    score = flat @ weights
    logits = np.outer(np.cos(score), np.linspace(-1, 1, 4672)) + masks * 0.5
    return logits, np.tanh(score / 1e4)


@pytest.mark.parametrize("leaves", [1, 3])
def test_the_evaluator_of_a_compact_search_sees_rows_of_the_same_planes(leaves):
    seen = {"planes": [], "compact": []}

    def planes_evaluator(observations, masks):
        seen["planes"].append(observations.copy())
        return logits_of(observations, masks)

    def compact_evaluator(rows, masks):
        assert rows.dtype == np.uint64 and rows.shape == (len(masks), COMPACT_WORDS)
        seen["compact"].append(rows.copy())
        return logits_of(expand_observations(rows, out=np.empty((len(rows), 119, 8, 8), np.float32)), masks)

    with BatchEnv(6, threads=1, seed=5, start_fens=FENS) as env:
        played(env, 5)
        roots = [env.save_state(i) for i in range(6)]
    settings = dict(simulations=40, leaves_per_game=leaves, threads=2, seed=9)
    results = [Search(6, evaluator, compact=compact, **settings).run(roots)
               for evaluator, compact in ((planes_evaluator, False), (compact_evaluator, True))]
    np.testing.assert_array_equal(results[0].visits, results[1].visits)
    assert len(seen["planes"]) == len(seen["compact"]) > 1
    for planes, rows in zip(seen["planes"], seen["compact"]):
        np.testing.assert_array_equal(expand_observations(rows), planes.astype(np.int32))


def some_rows_and_planes(games=16, plies=30):
    with BatchEnv(games, threads=1, seed=4, start_fens=FENS) as planes_env, \
            BatchEnv(games, threads=1, seed=4, start_fens=FENS, compact=True) as env:
        rng = np.random.default_rng(1)
        info = planes_env.reset()[1]
        env.reset()
        for _ in range(plies):
            actions = random_legal(info["action_mask"], rng)
            planes, _, _, _, info = planes_env.step(actions)
            rows = env.step(actions)[0]
    return rows, planes


def test_expansion_keeps_leading_axes_and_takes_int64():
    rows, planes = some_rows_and_planes()
    np.testing.assert_array_equal(expand_observations(rows.reshape(2, 8, -1)), planes.reshape(2, 8, 119, 8, 8))
    np.testing.assert_array_equal(expand_observations(rows.view(np.int64)), planes)
    # A strided selection of rows is read as it is.
    np.testing.assert_array_equal(expand_observations(rows[::3]), planes[::3])
    assert expand_observations(rows[:0]).shape == (0, 119, 8, 8)


@pytest.mark.parametrize(
    "call, words",
    [
        (lambda rows: expand_observations(rows.astype(np.int32)), "uint64 or int64"),
        (lambda rows: expand_observations(rows[:, :-1]), r"shape \(\.\.\., 108\)"),
        (lambda rows: expand_observations(rows, out=np.empty((16, 119, 8, 8), np.int64)), "int32 or float32"),
        (lambda rows: expand_observations(rows, out=np.empty((15, 119, 8, 8), np.int32)), "shape"),
        (lambda rows: expand_observations(rows, out=np.empty((16, 119, 8, 16), np.int32)[..., ::2]), "C-contiguous"),
    ],
)
def test_expansion_refuses_what_it_cannot_fill(call, words):
    rows, _ = some_rows_and_planes(plies=2)
    with pytest.raises(ValueError, match=words):
        call(rows)


@pytest.mark.parametrize("value", [SIDE, TURNED])
def test_rows_no_environment_writes_are_refused(value):
    rows, _ = some_rows_and_planes(plies=2)
    # Value 2j + 1 is the high half of tail word j.
    word, shift = COMPACT_WORDS - 12 + value // 2, np.uint64(32 * (value % 2))
    rows[3, word] |= np.uint64(2) << shift
    with pytest.raises(ValueError, match="other than 0 and 1"):
        expand_observations(rows)


def test_expansion_on_torch_tensors():
    torch = pytest.importorskip("torch")
    rows, planes = some_rows_and_planes()
    tensor = torch.from_numpy(rows.view(np.int64))
    expanded = expand_observations_torch(tensor)
    assert expanded.dtype == torch.int32 and expanded.device == tensor.device
    np.testing.assert_array_equal(expanded.numpy(), planes)
    floats = expand_observations_torch(tensor.reshape(4, 4, -1), dtype=torch.float32)
    np.testing.assert_array_equal(floats.numpy(), planes.reshape(4, 4, 119, 8, 8).astype(np.float32))
    if hasattr(torch, "uint64"):
        np.testing.assert_array_equal(expand_observations_torch(tensor.view(torch.uint64)).numpy(), planes)
    with pytest.raises(ValueError, match="int64 or uint64"):
        expand_observations_torch(tensor.to(torch.int32))
    if torch.cuda.is_available():
        np.testing.assert_array_equal(expand_observations_torch(tensor.cuda()).cpu().numpy(), planes)


def test_self_play_records_compact_rows_of_the_same_games():
    full = play_chunk([0, 1, 2], uniform_random, 5, 30, True, False)
    compact = play_chunk([0, 1, 2], uniform_random, 5, 30, True, False, compact=True)
    for a, b in zip(full, compact):
        np.testing.assert_array_equal(a.actions, b.actions)
        assert b.observations.dtype == np.uint64 and b.observations.shape == (a.plies, COMPACT_WORDS)
        np.testing.assert_array_equal(expand_observations(b.observations), a.observations)
        np.testing.assert_array_equal(a.masks, b.masks)


def test_the_vector_env_gives_compact_rows_in_its_space():
    pytest.importorskip("gymnasium")
    from vantor_gym import VantorVectorEnv

    env = VantorVectorEnv(4, workers=1, compact=True, observation="module")
    twin = VantorVectorEnv(4, workers=1, observation="module")
    rows, info = env.reset(seed=3)
    planes, _ = twin.reset(seed=3)
    assert env.single_observation_space.shape == (COMPACT_WORDS,) and rows in env.observation_space
    rng = np.random.default_rng(0)
    for _ in range(20):
        np.testing.assert_array_equal(expand_observations(rows), planes)
        actions = random_legal(env.action_masks(), rng)
        rows = env.step(actions)[0]
        planes = twin.step(actions)[0]
    env.close()
    twin.close()


def test_compact_batches_refuse_a_float_dtype_and_a_non_bool():
    with pytest.raises(ValueError, match="expand_observations"):
        BatchEnv(1, compact=True, dtype=np.float32)
    with pytest.raises(TypeError, match="compact must be a bool"):
        BatchEnv(1, compact="yes")
    with pytest.raises(TypeError, match="compact must be a bool"):
        Search(1, "roll_out", compact=1)


def test_the_command_stores_compact_self_play(tmp_path):
    from test_cli import load, vantor_command

    args = ["selfplay", "--local", "--episodes", "3", "--max-plies", "20", "--seed", "2", "--record-observations"]
    for name, extra in (("planes.npz", ()), ("compact.npz", ("--compact",))):
        run = vantor_command(*args, *extra, "--out", str(tmp_path / name))
        assert run.returncode == 0, run.stderr
    planes, compact = load(tmp_path / "planes.npz"), load(tmp_path / "compact.npz")
    assert compact["observations"].dtype == np.uint64
    np.testing.assert_array_equal(expand_observations(compact["observations"]), planes["observations"])
