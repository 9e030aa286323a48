"""Hostile input to the learner layers: every refusal is the documented exception, raised
before anything changes, and nothing a caller passes is taken as something else."""

import numpy as np
import pytest

import vantor
import vantor_gym.aec as aec
from conftest import START_FEN
from vantor_gym import BatchEnv, Game, VantorEnv, VantorVectorEnv
from vantor_gym.notation import uci_to_action
from vantor_gym.search import Search
from vantor_gym.states import state_from_dict, state_to_dict

HUGE = [2**70, -(2**70), np.uint64(2**64 - 1), 2**63]


@pytest.mark.parametrize("action", HUGE, ids=repr)
def test_actions_beyond_int64_are_illegal_actions_in_the_single_game_env(action):
    env = VantorEnv()
    env.reset()
    _, reward, terminated, _, info = env.step(action)
    assert terminated and reward == -1 and info["illegal_action"]
    strict = VantorEnv(illegal_action="raise")
    strict.reset()
    with pytest.raises(ValueError, match="Invalid action"):
        strict.step(action)
    assert strict.step(564)[4]["side"] == 1  # the game went on untouched


def test_actions_beyond_int64_are_value_errors_in_the_batch():
    with BatchEnv(2, threads=1, illegal="lose") as games:
        games.reset()
        before = games.hash_state()
        for actions in ([2**70, 564], [564, -(2**70)], np.array([2**64 - 1, 564], np.uint64), [2**63, 1], [-1, 2**63]):
            with pytest.raises(ValueError, match="64-bit"):
                games.step(actions)
        assert (games.hash_state() == before).all()


def overlapping_outs(actions: np.ndarray) -> list[dict[str, np.ndarray]]:
    flags = np.zeros(2, np.bool_)
    block = np.zeros(8, np.bool_)
    return [
        {"terminated": flags, "truncated": flags},  # would hide a loss behind "not truncated"
        {"terminated": block[0:2], "illegal": block[1:3]},
        {"rewards": actions.view(np.int8)[:2]},  # a reward written over an action mid-step
        {"side": actions.view(np.int8)[8:10]},
    ]


def test_out_buffers_that_overlap_each_other_or_the_actions_are_refused_before_any_game_moves():
    with BatchEnv(2, threads=2, illegal="lose") as games:
        games.reset()
        before = games.hash_state()
        actions = np.array([564, 0], np.int64)
        for out in overlapping_outs(actions):
            with pytest.raises(ValueError, match="share memory"):
                games.step(actions, out=out)
            assert (games.hash_state() == before).all() and list(actions) == [564, 0]
        mask = np.zeros((2, 4672), np.bool_)
        with pytest.raises(ValueError, match="share memory"):
            games.reset(out={"action_mask": mask, "side": mask.view(np.int8)[0, :2]})
        # Buffers side by side in one block are fine.
        block = np.zeros(6, np.bool_)
        _, _, terminated, truncated, info = games.step(
            actions, out={"terminated": block[0:2], "truncated": block[2:4], "illegal": block[4:6]}
        )
        assert list(terminated) == [False, True] and list(info["illegal"]) == [False, True]
        # Buffers checked once are not taken on trust when others come.
        with pytest.raises(ValueError, match="share memory"):
            games.step(actions, out={"terminated": block[0:2], "truncated": block[0:2]})


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: BatchEnv(2, dtype="nonsense"), ValueError, "dtype"),
        (lambda: BatchEnv(2, dtype=np.float64), ValueError, "dtype"),
        (lambda: BatchEnv(2, max_plies=2**31), ValueError, "max_plies"),
        (lambda: BatchEnv(2, max_plies=0), ValueError, "max_plies"),
        (lambda: VantorEnv(max_plies=2**31), ValueError, "max_plies"),
        (lambda: BatchEnv(2).save_state(2**63), IndexError, "out of range"),
        (lambda: BatchEnv(2).save_state(-1), IndexError, "out of range"),
        (lambda: BatchEnv(2).restore_state(2**64, vantor.State()), IndexError, "out of range"),
        (lambda: BatchEnv(2).fullmove_number(2), IndexError, "out of range"),
        (lambda: VantorEnv().reset(options={"fen": START_FEN.encode()}), TypeError, "fen must be a str"),
        (lambda: VantorVectorEnv(2).reset(options={"fen": START_FEN.encode()}), TypeError, "fen must be a str"),
        (lambda: aec.env().reset(options={"fen": START_FEN.encode()}), TypeError, "fen must be a str"),
    ],
)
def test_refusals_raise_the_documented_exception(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_messages_name_what_went_wrong():
    state = vantor.State()
    for field in ("side", "enpassant", "castle", "bitboards", "occupancies"):
        with pytest.raises(AttributeError, match=f"property '{field}' of 'State' object has no setter"):
            setattr(state, field, 0)
    env = VantorEnv()
    env.reset(options={"fen": "4k3/8/8/8/8/8/8/R3K2R w - - 99 60"})
    assert env.step(uci_to_action(env.game.save_state(), "h1h2"))[2]  # the fiftieth move of each side
    with pytest.raises(ValueError, match="^the game is over: call reset"):
        env.step(564)


def test_an_engine_is_sent_the_start_position_that_was_checked(tmp_path):
    """A start FEN with tabs and runs of blanks reaches the engine as six fields one blank
    apart; one that is not a FEN is refused before anything is sent."""
    from vantor_gym.engines import UciEngine

    log = tmp_path / "sent"
    script = tmp_path / "engine"
    script.write_text(
        "#!/usr/bin/env python3\nimport sys\n"
        f"log = open({str(log)!r}, 'w')\n"
        "for line in sys.stdin:\n"
        "    log.write(line); log.flush()\n"
        "    word = line.split()[0] if line.split() else ''\n"
        "    if word == 'uci': print('uciok', flush=True)\n"
        "    elif word == 'isready': print('readyok', flush=True)\n"
        "    elif word == 'go': print('bestmove e7e5', flush=True)\n"
        "    elif word == 'quit': break\n"
    )
    script.chmod(0o755)
    state = vantor.Vantor()
    state.reset()
    state.step(564)
    with UciEngine(str(script)) as engine:
        with pytest.raises(ValueError, match="invalid FEN"):
            engine.best_action(state, start_fen="not a fen", moves=["e2e4"])
        assert engine.best_action(state, start_fen="\t" + START_FEN.replace(" ", " \t "), moves=["e2e4"]) == 524
    assert f"position fen {START_FEN} moves e2e4\n" in log.read_text()


def _two_pieces_on_h1() -> vantor.State:
    # Edited as plain data: a white queen put on h1, where the rook stands.
    fields = state_to_dict(Game().save_state())
    fields["bitboards"][4] |= 1 << 63
    return state_from_dict(fields)


def _step_vector(actions):
    env = VantorVectorEnv(2)
    env.reset(seed=0)
    env.step(actions)


@pytest.mark.parametrize("call, error, said", [
    # A board that is not one position would be played differently by different decoders.
    (lambda: BatchEnv(1).restore_state(0, _two_pieces_on_h1()), ValueError, "two pieces on one square"),
    (lambda: Game().restore_state(_two_pieces_on_h1()), ValueError, "two pieces on one square"),
    (lambda: Search(1, "roll_out", simulations=2).run([_two_pieces_on_h1()]), ValueError, "two pieces"),
    # An object array is of the wrong type whatever it holds.
    (lambda: BatchEnv(2).step(np.array([564, 564], dtype=object)), TypeError, "integers"),
    (lambda: _step_vector(np.array([564, 564], dtype=object)), TypeError, "integers"),
    (lambda: BatchEnv(2).step([564, True]), TypeError, "bools"),  # True is no action 1
    (lambda: BatchEnv(2).step([564, np.array(True)]), TypeError, "bools"),
])
def test_wrong_kinds_of_input_are_refused_with_the_documented_error(call, error, said):
    with pytest.raises(error, match=said):
        call()


def test_integers_of_mixed_numpy_kinds_are_actions():
    games = BatchEnv(2)
    games.reset()
    assert games.step([np.uint64(564), np.int64(564)])[4]["illegal"].tolist() == [False, False]


def test_a_refused_snapshot_leaves_the_game_as_it_was():
    game = Game()
    game.step(564)
    before = game.fen()
    with pytest.raises(ValueError):
        game.restore_state(_two_pieces_on_h1())
    assert game.fen() == before and game.step(uci_to_action(game.save_state(), "e7e5"))[1] == 0
