"""Draws positions with a forced mate in two from random games, checked by python-chess.

    tools/toolchain run python3 tools/mate_in_two.py --count 48 --seed 1 > tests/data/mate-in-two.tsv

Games are played by uniformly random legal moves from the initial position; every
game's first position whose side to move has a mate in two and none in one is kept, with
every first move that forces it, until COUNT positions are found, half with white to
move and half with black (one position a game, so no two share a game). Nothing else
chooses them (not their number of replies), so the set is as hard as random play makes
such positions. Each line: FEN, then the forcing first moves in UCI, separated by
spaces, after a tab.
"""

from __future__ import annotations

import argparse
import random
import sys

import chess

# The environment draws a game at fifty half-moves without a capture or pawn move, and the
# mate's first two plies must come before that.
MAX_HALFMOVE_CLOCK = 47


def mates_now(board: chess.Board) -> bool:
    for move in list(board.legal_moves):
        board.push(move)
        mate = board.is_checkmate()
        board.pop()
        if mate:
            return True
    return False


def forces_mate_in_two(board: chess.Board, move: chess.Move) -> bool:
    """Whether MOVE leaves the opponent a legal reply, and every reply a mate at once."""
    board.push(move)
    try:
        replies = list(board.legal_moves)
        if not replies:
            return False
        for reply in replies:
            board.push(reply)
            answered = mates_now(board)
            board.pop()
            if not answered:
                return False
        return True
    finally:
        board.pop()


def forcing_moves(board: chess.Board) -> list[chess.Move]:
    """The first moves of a mate in two, none when there is a mate in one."""
    if board.halfmove_clock > MAX_HALFMOVE_CLOCK or mates_now(board):
        return []
    return [move for move in list(board.legal_moves) if forces_mate_in_two(board, move)]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=48, help="positions to find (even; default 48)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the random games (default 1)")
    args = parser.parse_args(argv)
    if args.count < 2 or args.count % 2:
        parser.error("--count must be an even number of at least 2")
    rng = random.Random(args.seed)
    wanted = {chess.WHITE: args.count // 2, chess.BLACK: args.count // 2}
    seen: set[str] = set()
    while any(wanted.values()):
        board = chess.Board()
        while not board.is_game_over(claim_draw=False) and board.ply() < 300:
            key = board.epd()
            if wanted[board.turn] and key not in seen:
                seen.add(key)
                moves = forcing_moves(board)
                if moves:
                    wanted[board.turn] -= 1
                    print(f"{board.fen()}\t{' '.join(m.uci() for m in moves)}", flush=True)
                    break
            board.push(rng.choice(list(board.legal_moves)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
