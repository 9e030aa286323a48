"""get_actions(): the 73 x 64 legal-action mask as Python lists."""

import pytest

from conftest import START_FEN


def legal(mask):
    """The actions marked in a mask, ascending: row after row, the flat index is the action."""
    return [i for i, v in enumerate(v for row in mask for v in row) if v]


def test_start_position_mask(env):
    env.parse_fen(START_FEN)
    mask = env.get_actions()
    assert type(mask) is list and len(mask) == 73
    assert all(type(row) is list and len(row) == 64 for row in mask)
    assert all(type(v) is int and v in (0, 1) for row in mask for v in row)
    expected = [64 * 7 + s for s in range(48, 56)] + [64 * 8 + s for s in range(48, 56)]
    assert legal(mask) == expected + [3641, 3646, 3705, 3710]


def test_castling_and_promotion_actions(env):
    env.parse_fen("r3k2r/1P6/8/8/8/8/8/R3K2R w KQkq - 0 1")
    actions = set(legal(env.get_actions()))
    assert {1468, 3260, 457, 4297, 4361, 4425, 4233} <= actions
    env.parse_fen("r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1")
    assert {3204, 1412} <= set(legal(env.get_actions()))


def test_en_passant_action(env):
    env.parse_fen("4k3/8/8/3pP3/8/8/8/4K3 w - d6 0 1")
    assert 28 in legal(env.get_actions())


@pytest.mark.parametrize(
    "fen",
    [
        "rnb1kbnr/pppp1ppp/8/4p3/6Pq/5P2/PPPPP2P/RNBQKBNR w KQkq - 1 3",  # mate
        "7k/5Q2/6K1/8/8/8/8/8 b - - 0 1",  # stalemate
    ],
)
def test_finished_positions_have_no_action(env, fen):
    env.parse_fen(fen)
    assert legal(env.get_actions()) == []


def test_new_environment_has_no_action(env):
    assert legal(env.get_actions()) == []


def test_each_call_returns_new_lists(env):
    env.parse_fen(START_FEN)
    first = env.get_actions()
    first[7][48] = 0
    first[0][0] = 1
    second = env.get_actions()
    assert second[7][48] == 1 and second[0][0] == 0
    assert second is not first and second[7] is not first[7]


def test_takes_no_arguments(env):
    with pytest.raises(TypeError):
        env.get_actions(0)
