"""vantor_gym.Game against vantor.Vantor ply by ply, its starts and snapshots, and bad input."""

import copy
import os
import pickle
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import vantor
from conftest import SANITIZED
from vantor_gym import BatchEnv
from vantor_gym.game import GOES_ON, TERMINATED, TRUNCATED, Game
from vantor_gym.notation import fen, uci_to_action

PLIES = int(os.environ.get("VANTOR_GAME_PLIES", 5_000 if SANITIZED else 100_000))
# Converting the module's list observation and action rows costs far more than a ply, so
# they are compared every so many plies, and at every start and end; rewards, ends, sides
# and position hashes are compared at every ply.
FULL_EVERY = 41
FENS = [
    "k7/8/1QK5/8/8/8/8/8 w - - 0 1",
    "4k3/8/8/8/8/8/8/R3K2R w KQ - 40 60",
    "r3k2r/8/8/8/8/8/8/4K3 b kq - 0 1",
    "8/8/4k3/8/2pP4/8/8/4K3 b - d3 0 1",
]


def module_planes(obs):
    return np.asarray(obs, dtype=np.int32).reshape(119, 8, 8)


def module_legal(env):
    return np.flatnonzero(np.asarray(env.get_actions(), dtype=bool).reshape(-1))


def test_game_is_the_module_game_ply_by_ply():
    rng = np.random.default_rng(11)
    game, env = Game(observation="module", illegal="lose", max_plies=150, rules="module"), vantor.Vantor()
    _, expected, _, _ = env.reset()
    plies, checked, ends = 0, 0, set()
    full = True
    for ply in range(PLIES):
        legal = game.legal_actions()
        if full:
            assert np.array_equal(legal, module_legal(env)), ply
            assert np.array_equal(game.observation(), module_planes(expected)), ply
            checked += 1
        # Now and then an action that may be illegal: both sides must agree on it.
        action = int(rng.choice(legal)) if rng.random() > 0.005 else int(rng.integers(-3, 4700))
        reward, end = game.step(action)
        try:
            side, expected, want_reward, done = env.step(action)
            plies += 1
            want_end = TERMINATED if done else TRUNCATED if plies == 150 else GOES_ON
            assert not game.illegal_action
        except ValueError:
            side = env.save_state().side
            want_reward, want_end = (-1 if side == 0 else 1), TERMINATED
            assert game.illegal_action
        assert (reward, end, game.side, game.hash_state()) == (want_reward, want_end, side, env.hash_state()), ply
        full = ply % FULL_EVERY == 0
        if end != GOES_ON:
            ends.add((end, game.illegal_action))
            assert game.is_over and np.array_equal(game.observation(), module_planes(expected))
            with pytest.raises(ValueError, match="is over"):
                game.step(int(legal[0]))
            game.reset()
            _, expected, _, _ = env.reset()
            plies, full = 0, True
    assert checked > PLIES // FULL_EVERY
    if not SANITIZED:
        assert ends == {(TERMINATED, False), (TERMINATED, True), (TRUNCATED, False)}


@pytest.mark.parametrize("rules", ["standard", "module"])
def test_starts_snapshots_and_text_agree_with_the_batch(rules):
    game = Game("k7/8/1QK5/8/8/8/8/8 w - - 0 1", observation="module", rules=rules)
    with BatchEnv(1, threads=1, observation="module", autoreset="disabled", rules=rules) as batch:
        for text in FENS:
            game.reset(text)
            obs, info = batch.reset(fens=[text])
            assert np.array_equal(game.observation(), obs[0])
            assert np.array_equal(game.action_mask(), info["action_mask"][0])
            assert game.fen() == fen((batch, 0)) == fen(game) and game.fullmove_number == batch.fullmove_number(0)
            action = int(game.legal_actions()[-1])
            batch.step([action])
            game.step(action)
            assert game.fen() == fen((batch, 0)) and game.plies == 1
        # A snapshot from the module's game plays on as that game (the step count plane is
        # each environment's own, so the mirror is a fresh one too).
        source = vantor.Vantor()
        source.reset()
        for action in (564, 524, 3646):
            source.step(action)
        game = Game(observation="module", rules="module")
        env = vantor.Vantor()
        env.reset()
        env.restore_state(source.save_state())
        game.restore_state(source.save_state())
        assert game.hash_state() == env.hash_state() and game.plies == 0 and not game.is_over
        assert game.save_state().state_history == env.save_state().state_history
        _, expected, _, _ = env.step(int(game.legal_actions()[0]))
        game.step(int(game.legal_actions()[0]))
        assert np.array_equal(game.observation(), module_planes(expected))


def test_observations_are_written_where_asked():
    game = Game()
    game.step(564)
    own = game.observation()
    assert game.observation() is own and own.dtype == np.int32
    floats = game.observation(np.empty((119, 8, 8), np.float32))
    assert np.array_equal(floats, own)
    flat = np.empty((119, 64), np.int32)
    assert game.observation(flat) is flat and np.array_equal(flat.reshape(119, 8, 8), own)
    first = game.legal_actions()
    first[:] = -1
    assert (game.legal_actions() >= 0).all()
    # A start with black to move: seen from black's side unless the module's planes are
    # asked for.
    black = FENS[2]
    turned = Game(black).observation()
    assert np.array_equal(turned, Game(black, observation="module").observation()[:, ::-1, ::-1])
    assert turned[0, 6].sum() == 0 and turned[3, 7, 0] == 1  # black's rooks on its own back rank


def test_starts_are_drawn_from_start_fens_as_seeded():
    def draws(seed):
        game = Game(start_fens=FENS, seed=seed)
        out = [game.fen()]
        for _ in range(12):
            game.reset()
            out.append(game.fen())
        game.reset(seed=seed)
        return out, game.fen()

    first, again = draws(3)
    assert draws(3) == (first, again) and again == first[0]
    assert set(first) <= {Game(text).fen() for text in FENS} and len(set(first)) > 1


def test_illegal_actions_and_ends():
    game = Game(illegal="raise", max_plies=2)
    before = game.hash_state()
    for bad in (-1, 4672, 0, 2**70, np.int64(7), np.uint64(2**64 - 1)):
        with pytest.raises(ValueError, match="not legal"):
            game.step(bad)
    assert game.hash_state() == before and game.plies == 0
    assert game.step(np.int16(564)) == (0, GOES_ON)
    assert game.step(524) == (0, TRUNCATED) and game.is_over
    losing = Game(illegal="lose")
    losing.step(564)
    assert losing.step(564) == (1, TERMINATED) and losing.illegal_action and losing.side == 1
    losing.reset()
    assert not losing.illegal_action and losing.plies == 0 and not losing.is_over


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda g: g.step(True), TypeError, "not bool"),
        (lambda g: g.step(564.0), TypeError, "integer, not float"),
        (lambda g: g.step("564"), TypeError, "integer, not str"),
        # Numbers that are not integers must not be truncated into some action.
        (lambda g: g.step(np.float32(564.7)), TypeError, "not float32"),
        (lambda g: g.step(np.float16(564)), TypeError, "not float16"),
        (lambda g: g.step(Decimal("564.9")), TypeError, "not Decimal"),
        (lambda g: g.step(Fraction(564)), TypeError, "not Fraction"),
        (lambda g: g.step(np.True_), TypeError, "not bool"),
        (lambda g: g.step(np.False_), TypeError, "not bool"),
        (lambda g: Game(max_plies=True), TypeError, "max_plies"),
        (lambda g: Game(max_plies=np.float64(5)), TypeError, "max_plies"),
        (lambda g: g.observation(np.empty((119, 8, 8), np.int64)), ValueError, "int32"),
        (lambda g: g.observation(np.empty((118, 8, 8), np.int32)), ValueError, "119 rows"),
        (lambda g: g.observation(np.empty((8, 8, 119), np.int32).transpose(2, 0, 1)), ValueError, "C-contiguous"),
        (lambda g: g.reset("8/8/8/8/8/8/8/8 w - - 0 1"), ValueError, "king"),
        (lambda g: g.reset(b"k7/8/1QK5/8/8/8/8/8 w - - 0 1"), TypeError, "fen must be a str"),
        (lambda g: g.restore_state(vantor.Vantor()), TypeError, "incompatible"),
        (lambda g: g.reset(seed=-1), ValueError, "seed"),
    ],
)
def test_bad_input_is_refused_and_changes_nothing(call, error, message):
    game = Game()
    game.step(564)
    before = (game.hash_state(), game.plies, game.observation().copy())
    with pytest.raises(error, match=message):
        call(game)
    assert (game.hash_state(), game.plies) == before[:2] and np.array_equal(game.observation(), before[2])


def test_read_only_out_is_refused():
    game = Game()
    out = np.empty((119, 8, 8), np.int32)
    out.setflags(write=False)
    with pytest.raises(ValueError, match="writable"):
        game.observation(out)


@pytest.mark.parametrize(
    "options, message",
    [({"max_plies": 0}, "max_plies"), ({"illegal": "warn"}, "illegal"), ({"observation": "compact"}, "observation"),
     ({"start_fens": []}, "at least one"), ({"start_fens": "k7/8/1QK5/8/8/8/8/8 w - - 0 1"}, "sequence")],
)
def test_bad_options_are_refused(options, message):
    with pytest.raises((ValueError, TypeError), match=message):
        Game(**options)


def test_rules_and_ending_codes_are_read_exactly():
    from vantor_gym.rules import ENDINGS, ending_name, rules_of

    assert type(rules_of(np.str_("automatic"))) is str and Game(rules=np.str_("module")).rules == "module"
    assert [ending_name(code) for code in (0, 1, np.int8(3), len(ENDINGS))] == [
        None, "checkmate", "insufficient_material", "max_plies"]
    for code, error in ((-1, ValueError), (len(ENDINGS) + 1, ValueError), (True, TypeError), (0.5, TypeError),
                        ("1", TypeError)):
        with pytest.raises(error, match="ending code"):
            ending_name(code)


@pytest.mark.parametrize(
    "fen_text, rules, move, ending",
    [("R5k1/5ppp/8/8/8/8/8/6K1 b - - 0 1", "standard", None, "checkmate"),
     ("7k/5Q2/6K1/8/8/8/8/8 b - - 0 1", "module", None, "stalemate"),
     ("4k3/8/8/8/8/8/8/R3K3 w Q - 49 80", "module", "a1a2", "fifty_moves"),
     ("4k3/8/8/8/8/8/8/R3K3 w Q - 99 80", "standard", "a1a2", "fifty_moves"),
     ("4k3/8/8/8/8/8/8/R3K3 w Q - 149 80", "automatic", "a1a2", "seventyfive_moves"),
     ("4k3/8/8/8/8/8/8/3qK3 w - - 0 1", "standard", "e1d1", "insufficient_material")],
    ids=["mated", "stalemated", "fifty half-moves", "fifty moves", "seventy-five moves", "bare kings"],
)
def test_a_restored_snapshot_of_an_ended_game_is_over(fen_text, rules, move, ending):
    if move is not None:  # the move that reaches the rules' draw
        drawn = Game(fen_text, rules=rules)
        assert drawn.step(uci_to_action(drawn, move)) == (0, TERMINATED) and drawn.ending == ending
        snapshot = drawn.save_state()
    else:
        env = vantor.Vantor()
        env.parse_fen(fen_text)
        snapshot = env.save_state()
    for illegal in ("raise", "lose"):
        game = Game(illegal=illegal, rules=rules)
        game.restore_state(snapshot)
        assert game.is_over and game.ending == ending
        with pytest.raises(ValueError, match="over"):
            game.step(int(game.legal_actions()[0]) if len(game.legal_actions()) else 0)
        game.reset()
        assert not game.is_over and game.ending is None
    game.restore_state(Game(rules=rules).save_state())
    assert not game.is_over


@pytest.mark.parametrize("make", [Game, lambda: BatchEnv(1, threads=1)], ids=["Game", "BatchEnv"])
@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy, pickle.dumps], ids=["copy", "deepcopy", "pickle"])
def test_copies_that_would_share_the_native_game_are_refused(make, duplicate):
    original = make()
    with pytest.raises(TypeError, match="cannot be (copied|pickled)"):
        duplicate(original)


def test_the_full_move_number_stops_where_fen_text_is_read():
    from vantor_gym.fen import read_fen

    game = Game("4k3/8/8/8/8/8/8/R3K3 b Q - 0 2147483647")
    game.step(int(game.legal_actions()[0]))
    assert game.fullmove_number == 2**31 - 1
    assert read_fen(game.fen()).fullmove_number == 2**31 - 1


def test_settings_are_read_only_and_a_position_without_fen_text_is_refused():
    game = Game(max_plies=5, illegal="lose")
    for name, value in (("max_plies", 3), ("illegal", "raise"), ("orientation", "module"), ("start_fens", [])):
        with pytest.raises(AttributeError):
            setattr(game, name, value)
    assert (game.max_plies, game.illegal) == (5, "lose")
    game.restore_state(vantor.State())  # an empty board: no king, an en-passant square a8
    with pytest.raises(ValueError, match="no FEN text"):
        game.fen()
    with pytest.raises(ValueError, match="no FEN text"):
        fen(game)
