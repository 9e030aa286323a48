"""The peers the benchmark compares with play the same chess as vantor: from the same
positions, OpenSpiel and pgx offer the same legal moves, but where they declare a game
over that vantor goes on with (insufficient material, 100 half-moves without progress).
And their measurements survive what a long run meets, such as games that end."""

import os
import sys

import pytest
from conftest import require

chess = pytest.importorskip("chess")

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))

import peer_moves  # noqa: E402

# The perft table's corner cases and positions from random games to their end, endgames
# included; a second seed from the benchmark's, so both together see more positions.
FENS = peer_moves.perft_positions() + peer_moves.random_positions(300, seed=2)


def drawn_without_mate(fen: str) -> bool:
    """Why a peer may end a game that vantor plays on: vantor knows no draw by material,
    and a fresh position's half-move clock starts at 0 there."""
    board = chess.Board(fen)
    return board.is_insufficient_material() or board.halfmove_clock >= 100 or not any(board.legal_moves)


def check_same_moves(peer: peer_moves.PeerMoves, name: str) -> peer_moves.Comparison:
    moves = peer_moves.compare(FENS, peer)
    assert moves.positions == len(FENS)
    assert not moves.differences, f"{name} differs from vantor in {len(moves.differences)} positions: " + "; ".join(
        f"{fen}: only vantor {sorted(ours)}, only {name} {sorted(theirs)}" for fen, ours, theirs in moves.differences[:3])
    for fen, ended in zip(FENS, peer.ended):
        if ended:
            assert drawn_without_mate(fen), f"{name} ends the game at {fen}, which is no draw by material or clock"
    return moves


def test_the_positions_reach_what_move_generators_get_wrong():
    boards = [chess.Board(fen) for fen in FENS]
    assert sum(any(m.promotion for m in b.legal_moves) for b in boards) >= 5
    assert sum(any(b.is_en_passant(m) for m in b.legal_moves) for b in boards) >= 3
    assert sum(any(b.is_castling(m) for m in b.legal_moves) for b in boards) >= 3
    assert sum(b.is_check() for b in boards) >= 10
    assert sum(b.turn == chess.BLACK for b in boards) >= len(boards) // 3
    # Where the peers may part from vantor: a game over, and one they call drawn.
    assert any(not any(b.legal_moves) for b in boards)
    assert any(b.is_insufficient_material() for b in boards)


def test_openspiel_offers_the_same_moves():
    require("pyspiel")
    peer = peer_moves.openspiel_moves(FENS)
    moves = check_same_moves(peer, "OpenSpiel")
    # OpenSpiel offers no move at all once it declares the draw.
    assert moves.ended_differ == sum(peer.ended) - sum(not any(chess.Board(f).legal_moves) for f, e in
                                                       zip(FENS, peer.ended) if e)


def test_pgx_offers_the_same_moves():
    require("pgx")
    peer = peer_moves.pgx_moves(FENS)
    moves = check_same_moves(peer, "pgx")
    # pgx's generator runs on through its draws, so even there its moves are vantor's.
    assert moves.ended_differ == 0


def test_pgx_actions_read_as_uci_from_either_side():
    pgx_chess = require("pgx._src.games.chess")
    import numpy as np

    start = np.asarray(pgx_chess.INIT_BOARD)
    opening = {peer_moves.pgx_uci(int(label), start, False)
               for label in np.flatnonzero(np.asarray(pgx_chess.INIT_LEGAL_ACTION_MASK))}
    assert opening == {m.uci() for m in chess.Board().legal_moves}
    # pgx turns the board for black: black's e7-e5 is the mover's e2-e4, action 33 * 73 + 17.
    assert peer_moves.pgx_uci(33 * 73 + 17, start, True) == "e7e5"
    # Planes 0 to 8 under-promote: rook, bishop, knight, each straight, right and left.
    pawn_on_seventh = np.zeros(64, np.int32)
    pawn_on_seventh[8 + 6] = 1  # b7, or b2 seen from black
    assert peer_moves.pgx_uci(14 * 73 + 0, pawn_on_seventh, False) == "b7b8r"
    assert peer_moves.pgx_uci(14 * 73 + 4, pawn_on_seventh, False) == "b7c8b"
    assert peer_moves.pgx_uci(14 * 73 + 8, pawn_on_seventh, True) == "b2a1n"
    # A queen-move plane takes a pawn to the last rank as a queen, any other piece as itself.
    straight_on = 14 * 73 + 16
    assert peer_moves.pgx_uci(straight_on, pawn_on_seventh, False) == "b7b8q"
    assert peer_moves.pgx_uci(straight_on, np.where(pawn_on_seventh, 4, 0), False) == "b7b8"


def test_the_comparison_reports_each_kind_of_difference():
    fens = [chess.STARTING_FEN, "8/8/8/4k3/8/8/8/4K2B w - - 0 1", "4k3/8/8/8/8/8/8/4K2R w K - 0 1"]
    truth = [peer_moves.vantor_moves(fen) for fen in fens]
    # One move too few in the first position, a move too many in the third; the bare
    # kings and bishop are ended by the peer, which may offer anything there.
    peer = peer_moves.PeerMoves(
        [truth[0] - {"g1f3"}, set(), truth[2] | {"e1c1"}], [False, True, False])
    moves = peer_moves.compare(fens, peer)
    assert (moves.positions, moves.ended, moves.ended_differ) == (3, 1, 1)
    assert moves.differences == [(fens[0], {"g1f3"}, set()), (fens[2], set(), {"e1c1"})]
    # Castling written as the king taking its rook, as some engines do, is the same move.
    assert peer_moves.normal_uci(fens[2], "e1h1") == "e1g1"
    assert peer_moves.normal_uci(fens[2], "e1c1") == "e1c1"


def test_openspiel_play_goes_on_past_the_ends_of_games():
    require("pyspiel")
    import peers

    # Long enough for many random games to end; a terminal state has no player to observe.
    assert peers.openspiel_chess_plies_per_second(0.3, seed=3) > 0
    assert peers.openspiel_mcts_simulations_per_second(4, repeats=1) > 0


def test_peers_not_installed_are_none(monkeypatch):
    import peers

    missing = ("pyspiel", "open_spiel", "jax", "pgx", "mctx")
    for name in [name for name in sys.modules if name.split(".")[0] in missing] + list(missing):
        monkeypatch.setitem(sys.modules, name, None)
    assert peers.openspiel_version() is None
    assert peers.openspiel_chess_plies_per_second(0.01) is None
    assert peers.openspiel_mcts_simulations_per_second(1, 1) is None
    assert peers.pgx_chess_steps_per_second(1, 1, 1) is None
    assert peers.mctx_chess_simulations_per_second(1, 1, 1) is None
    assert peer_moves.openspiel_moves(FENS[:1]) is None
    assert peer_moves.pgx_moves(FENS[:1]) is None
