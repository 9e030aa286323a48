"""save_state and restore_state: snapshots for search."""

import resource

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vantor
from conftest import START_FEN, skip_when_sanitized

FIELDS = [
    "side",
    "enpassant",
    "castle",
    "state_history",
    "state_pos",
    "no_progress_count",
    "repetition_count",
    "n_repititions",
    "prev_n_repititions",
    "move_index",
]


def fields(state):
    """Every field a snapshot carries into a board, as plain Python values."""
    values = {name: getattr(state, name) for name in FIELDS}
    values["bitboards"] = state.bitboards.tolist()
    values["occupancies"] = state.occupancies.tolist()
    return values


def legal(env):
    return [i for i, v in enumerate(v for row in env.get_actions() for v in row) if v]


def test_save_then_restore_returns_the_last_observation(env):
    env.reset()
    env.step(564)
    side, obs, _, _ = env.step(524)
    s = env.save_state()
    assert env.restore_state(s) == (side, obs, 0, 0)
    assert fields(env.save_state()) == fields(s)


def test_restore_leaves_the_state_unchanged_and_can_repeat(env):
    env.reset()
    env.step(564)
    s = env.save_state()
    before = fields(s)
    for _ in range(3):
        env.reset()
        env.restore_state(s)
        assert fields(s) == before
        assert fields(env.save_state()) == before


def test_replay_differs_only_in_the_step_count(env):
    env.reset()
    s = env.save_state()
    first = env.step(564)
    env.restore_state(s)
    second = env.step(564)
    assert (first[0], first[2], first[3]) == (second[0], second[2], second[3])
    assert second[1][113][0] == first[1][113][0] + 1
    assert first[1][:113] == second[1][:113] and first[1][114:] == second[1][114:]


def test_checkmated_snapshot(env):
    env.reset()
    for action in (501, 524, 566, 195):  # fool's mate
        env.step(action)
    s = env.save_state()
    env.reset()
    side, _, reward, done = env.restore_state(s)
    assert (side, reward, done) == (0, 0, 0)
    with pytest.raises(ValueError, match="^Invalid action$"):
        env.step(564)


def test_black_snapshot_restored_after_reset_is_not_turned(env):
    env.reset()
    env.step(564)
    s = env.save_state()
    env.reset()
    _, obs, _, _ = env.restore_state(s)
    assert obs[0] == [1 if 8 <= sq < 16 else 0 for sq in range(64)]
    assert obs[112] == [1] * 64


def test_restoring_a_new_state(env):
    env.reset()
    side, obs, reward, done = env.restore_state(vantor.State())
    assert (side, reward, done) == (0, 0, 0)
    assert all(v == 0 for plane in obs[:112] for v in plane)
    with pytest.raises(ValueError, match="^Invalid action$"):
        env.step(564)


def test_none_is_a_runtime_error_and_changes_nothing(env):
    env.reset()
    before = fields(env.save_state())
    with pytest.raises(RuntimeError, match="^$"):
        env.restore_state(None)
    assert fields(env.save_state()) == before
    with pytest.raises(TypeError):
        env.restore_state(before)


@pytest.mark.parametrize(
    "spoil, message",
    [
        (lambda s: setattr(s, "state_pos", 8), "state_pos must be in 0..7, got 8"),
        (lambda s: setattr(s, "state_pos", -1), "state_pos must be in 0..7, got -1"),
        (
            lambda s: setattr(s, "state_history", [[[0] * 64] * 13]),
            "state_history entry 0 has 13 planes, expected 14",
        ),
        (
            lambda s: setattr(s, "state_history", [[[0] * 64] * 14, [[0] * 64] * 13 + [[0] * 3]]),
            "state_history entry 1 plane 13 has 3 values, expected 64",
        ),
    ],
)
def test_misshapen_snapshots_are_refused(env, spoil, message):
    env.reset()
    env.step(564)
    before = fields(env.save_state())
    s = vantor.State()
    spoil(s)
    with pytest.raises(ValueError) as error:
        env.restore_state(s)
    assert str(error.value) == message
    assert fields(env.save_state()) == before


def test_edited_but_well_shaped_snapshots_are_safe(env):
    env.reset()
    env.step(564)
    s = env.save_state()
    s.no_progress_count = 2**31 - 1
    s.n_repititions = -(2**31)
    s.repetition_count = {k: 2**31 - 1 for k in s.repetition_count}
    s.move_index = {-7: -1, 4671: 2**31 - 1}
    s.state_history = s.state_history * 6
    env.restore_state(s)
    with pytest.raises(ValueError):
        env.step(4671)
    assert legal(env)
    env.step(legal(env)[0])
    assert env.roll_out() in (-1, 0, 1)


def test_changes_after_saving_stay_apart(env):
    env.reset()
    s = env.save_state()
    before = fields(s)
    env.step(564)
    env.parse_fen("8/8/8/8/8/8/8/K6k w - - 0 1")
    env.reset()
    assert fields(s) == before
    env.restore_state(s)
    s.move_index = {}
    s.state_history = []
    assert fields(env.save_state()) == before


# One operation of the property test: (name, argument).
operations = st.lists(
    st.tuples(
        st.sampled_from(["step", "save", "restore", "reset", "fen", "edit", "other"]),
        st.integers(0, 10**6),
    ),
    max_size=40,
)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(operations)
def test_restored_boards_behave_as_the_saved_one(ops):
    boards = [vantor.Vantor(), vantor.Vantor()]
    for b in boards:
        b.reset()
    # Each saved State with what its board answered right after saving: the mask, and the
    # result of stepping one legal action (when there was one).
    saved = []
    current = 0
    fens = [START_FEN, "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1", "4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1"]
    for name, n in ops:
        env = boards[current]
        if name == "step":
            actions = legal(env)
            if actions:
                env.step(actions[n % len(actions)])
        elif name == "save":
            s = env.save_state()
            snapshot = fields(s)
            mask = env.get_actions()
            actions = legal(env)
            action = actions[n % len(actions)] if actions else None
            result = env.step(action) if action is not None else None
            saved.append((s, snapshot, mask, action, result))
        elif name == "restore" and saved:
            s, snapshot, mask, action, result = saved[n % len(saved)]
            env.restore_state(s)
            assert fields(env.save_state()) == snapshot
            assert fields(s) == snapshot
            assert env.get_actions() == mask
            if action is not None:
                replay = env.step(action)
                assert (replay[0], replay[2], replay[3]) == (result[0], result[2], result[3])
                assert replay[1][:113] == result[1][:113] and replay[1][114:] == result[1][114:]
        elif name == "reset":
            env.reset()
        elif name == "fen":
            env.parse_fen(fens[n % len(fens)])
        elif name == "edit" and saved:
            # Editing a saved State never reaches a board; total_move_count is not even
            # read back by restore_state, so what the State restores stays the same.
            s = saved[n % len(saved)][0]
            before = [fields(b.save_state()) for b in boards]
            s.total_move_count = n
            assert [fields(b.save_state()) for b in boards] == before
        elif name == "other":
            current ^= 1


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


@skip_when_sanitized
def test_search_loop_returns_to_the_saved_board_with_flat_memory(env):
    env.reset()
    for action in (564, 524, 3646):
        env.step(action)
    s = env.save_state()
    expected = fields(s)
    for i in range(10_000):
        env.roll_out()
        env.restore_state(s)
        if i == 999:
            after_warm_up = rss_kib()
    assert fields(env.save_state()) == expected
    assert rss_kib() - after_warm_up < 2048


def test_search_example_comes_back_to_the_root(env):
    import os
    import sys

    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "examples"))
    try:
        import search
    finally:
        sys.path.pop(0)
    class DrawnRollOuts:
        """The environment, with every random game called a draw so the choice is fixed."""

        def __getattr__(self, name):
            return getattr(env, name)

        def roll_out(self):
            env.roll_out()
            return 0

    env.parse_fen("6k1/5ppp/8/8/8/8/8/4R1K1 w - - 0 1")
    env.get_actions()
    before = fields(env.save_state())
    assert search.choose(DrawnRollOuts(), rollouts=3) == 892  # the back-rank mate
    assert fields(env.save_state()) == before
    env.reset()
    assert search.choose(env, rollouts=1) in search.legal_actions(env)
