"""Legal moves of the same positions in vantor and in other chess implementations
(OpenSpiel, pgx), as sets of UCI strings, with python-chess as the go-between.

The positions come from random games played with python-chess, which lets a game run to
its end (mate, stalemate, bare kings, the 75-move rule), so endgames, promotions, en
passant and castling all turn up; the perft positions add the famous corner cases.
Each peer function returns None when the peer is not importable.
"""

from __future__ import annotations

import functools
import os
import random
from dataclasses import dataclass, field

import chess

import vantor
from vantor_gym.notation import action_to_uci

HERE = os.path.dirname(os.path.abspath(__file__))


def perft_positions() -> list[str]:
    """The distinct FENs of the perft table: castling through check, en passant that
    exposes the king, promotions with capture."""
    fens: list[str] = []
    with open(os.path.join(HERE, "..", "data", "perft-standard.tsv")) as f:
        next(f)
        for line in f:
            fen = line.rstrip("\n").split("\t")[1]
            if fen not in fens:
                fens.append(fen)
    return fens


def random_positions(count: int, seed: int = 0, every: int = 7) -> list[str]:
    """count FENs from uniformly random games played to their end by python-chess's rules
    (at most 400 plies): every `every`-th ply of each, every position where en passant is
    legal, and the last (a mate or stalemate has no moves in any implementation)."""
    rng = random.Random(seed)
    fens: list[str] = []
    while len(fens) < count:
        board = chess.Board()
        ply = 0
        while not board.is_game_over() and ply < 400 and len(fens) < count:
            # En passant is rare in random play and easy to get wrong: every chance is kept.
            if ply % every == 0 or board.has_legal_en_passant():
                fens.append(board.fen())
            board.push(rng.choice(list(board.legal_moves)))
            ply += 1
        if board.is_game_over() and len(fens) < count:
            fens.append(board.fen())
    return fens


def normal_uci(fen: str, text: str) -> str:
    """The move as python-chess writes it in that position (castling as the king's two-square
    step); text that names no legal move stays as it is, so it shows up as a difference."""
    try:
        return chess.Board(fen).parse_uci(text).uci()
    except ValueError:
        return text


def vantor_moves(fen: str) -> set[str]:
    """A fresh Vantor holds no history and a zero half-move clock, so no draw rule empties
    its mask: these are the position's moves by the rules of movement alone."""
    env = vantor.Vantor()
    env.parse_fen(fen)
    state = env.save_state()
    mask = env.get_actions()
    return {action_to_uci(state, plane * 64 + square)
            for plane, row in enumerate(mask) for square, legal in enumerate(row) if legal}


@dataclass
class PeerMoves:
    """A peer's legal moves for each position, and whether it declares the position's game
    over (a draw by insufficient material, the 50-move rule...), where it may offer none."""

    moves: list[set[str]]
    ended: list[bool]


def openspiel_moves(fens: list[str]) -> PeerMoves | None:
    try:
        import pyspiel
    except ImportError:
        return None
    game = pyspiel.load_game("chess")
    moves, ended = [], []
    for fen in fens:
        state = game.new_initial_state(fen)
        board = state.board()
        moves.append({normal_uci(fen, pyspiel.chess.action_to_move(a, board).to_lan())
                      for a in state.legal_actions()})
        ended.append(state.is_terminal())
    return PeerMoves(moves, ended)


def pgx_moves(fens: list[str], chunk: int = 64) -> PeerMoves | None:
    """pgx's move generator, compiled once for chunks of `chunk` positions. pgx keeps the
    board from the side to move (ranks mirrored for black) with squares numbered file * 8
    + rank, and actions as from-square * 73 + plane; a pawn's move to the last rank by a
    queen-move plane promotes to a queen."""
    try:
        import numpy as np
        from pgx._src.games import chess as pgx_chess
    except ImportError:
        return None
    states = [_pgx_fields(fen) for fen in fens]
    moves_and_ends = _pgx_functions()
    default = pgx_chess.GameState()
    moves: list[set[str]] = []
    ended: list[bool] = []
    for start in range(0, len(states), chunk):
        part = states[start:start + chunk]
        padded = part + [part[-1]] * (chunk - len(part))
        stacked = {key: np.stack([s[key] for s in padded]) for key in padded[0]}
        batch = default._replace(**stacked, **{
            key: np.broadcast_to(np.asarray(getattr(default, key)), (chunk, *np.shape(getattr(default, key))))
            for key in ("hash_history", "board_history", "legal_action_mask", "step_count")})
        masks, ends = (np.asarray(a) for a in moves_and_ends(batch))
        for k, s in enumerate(part):
            moves.append({pgx_uci(int(label), s["board"], int(s["color"]) == 1)
                          for label in np.flatnonzero(masks[k])})
            ended.append(bool(ends[k]))
    return PeerMoves(moves, ended)


def pgx_uci(label: int, board, black: bool) -> str:
    """UCI text of pgx's action `label` on its `board` (the side to move's pieces
    positive): a move by one of the first nine planes is an under-promotion (rook, bishop,
    knight, three directions each), a pawn's move to the last rank by any other plane a
    promotion to a queen."""
    source, plane = divmod(label, 73)
    target = int(_pgx_targets()[source, plane])
    promotion = ""
    if plane < 9:
        promotion = "rbn"[plane // 3]
    elif board[source] == 1 and target % 8 == 7:  # pgx's PAWN
        promotion = "q"
    return _pgx_square(source, black) + _pgx_square(target, black) + promotion


@functools.cache
def _pgx_functions():
    """pgx's move generator and its judgement of a game's end over a batch, compiled once
    per process. A position without history repeats nothing and has made no steps, so
    the end is a mate, a stalemate, insufficient material or the half-move clock."""
    import jax
    from pgx._src.games import chess as pgx_chess

    game = pgx_chess.Game()

    def moves_and_end(state):
        state = state._replace(legal_action_mask=pgx_chess._legal_action_mask(state))
        return state.legal_action_mask, game.is_terminal(state)

    return jax.jit(jax.vmap(moves_and_end))


@functools.cache
def _pgx_targets():
    """pgx's table of target squares by source square and plane, as NumPy (reading the JAX
    array one element at a time would dispatch each read)."""
    import numpy as np
    from pgx._src.games import chess as pgx_chess

    return np.asarray(pgx_chess.FROM_PLANE)


def _pgx_square(square: int, black: bool) -> str:
    rank = square % 8
    return "abcdefgh"[square // 8] + str((7 - rank if black else rank) + 1)


def _pgx_fields(fen: str) -> dict:
    """The fields of pgx's game state that its move generator reads, from a FEN, as pgx's
    own from_fen builds them (that one compiles anew for every position)."""
    import numpy as np

    placement, turn, castling, en_passant, halfmove, fullmove = fen.split()
    codes = []
    for rank in placement.split("/"):
        for c in rank:
            if c.isdigit():
                codes += [0] * int(c)
            else:
                code = "pnbrqk".index(c.lower()) + 1
                codes.append(code if c.isupper() else -code)
    board = np.array(codes, np.int32).reshape(8, 8)
    rights = np.array([["Q" in castling, "K" in castling], ["q" in castling, "k" in castling]])
    black = turn == "b"
    if black:
        board = -np.flip(board, axis=0)
        rights = rights[::-1]
    square = -1
    if en_passant != "-":
        rank = int(en_passant[1]) - 1
        square = "abcdefgh".index(en_passant[0]) * 8 + (7 - rank if black else rank)
    return {
        "board": np.rot90(board, k=3).flatten().astype(np.int32),
        "color": np.int32(1 if black else 0),
        "castling_rights": rights.astype(np.bool_),
        "en_passant": np.int32(square),
        "halfmove_count": np.int32(halfmove),
        "fullmove_count": np.int32(fullmove),
    }


@dataclass
class Comparison:
    """How a peer's moves compare with vantor's over `positions` positions: those the peer
    declares ended (`ended`), how many of these it gives other moves for (`ended_differ`:
    none at all, say, after a draw by insufficient material, which vantor does not know),
    and every other position whose move sets differ, as (FEN, moves only vantor has,
    moves only the peer has)."""

    positions: int = 0
    ended: int = 0
    ended_differ: int = 0
    differences: list[tuple[str, set[str], set[str]]] = field(default_factory=list)

    def summary(self, peer: str) -> dict:
        """The counts, and each difference as a line of text naming the peer."""
        return {"positions": self.positions, "ended": self.ended, "ended_differ": self.ended_differ,
                "differences": [f"{fen}: only vantor {sorted(ours)}, only {peer} {sorted(theirs)}"
                                for fen, ours, theirs in self.differences]}


def compare(fens: list[str], peer: PeerMoves) -> Comparison:
    result = Comparison()
    for fen, theirs, ended in zip(fens, peer.moves, peer.ended, strict=True):
        result.positions += 1
        result.ended += ended
        ours = vantor_moves(fen)
        if ours == theirs:
            continue
        if ended:
            result.ended_differ += 1
        else:
            result.differences.append((fen, ours - theirs, theirs - ours))
    return result
