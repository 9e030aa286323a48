"""The flat Monte-Carlo search of search.py against Stockfish at its weakest setting.

    python examples/stockfish_match.py --games 10 --pgn match.pgn

plays the games (colours alternating), writes their PGN (without --pgn, to a new file in
the temporary directory) and prints the searcher's wins, draws and losses with its Elo
difference to that Stockfish and the 95 % interval.
"""

import argparse
import os
import sys
import tempfile
import time

import numpy as np
import numpy.typing as npt

import vantor
from vantor_gym.match import play_match
from vantor_gym.uci import UciEngine

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from search import choose  # noqa: E402  (examples/search.py)


class MonteCarlo:
    """search.choose as a match agent: restores the position into its own board and
    searches from there."""

    def __init__(self, rollouts: int) -> None:
        self.rollouts = rollouts
        self.board = vantor.Vantor()
        self.__name__ = f"flat Monte-Carlo ({rollouts} roll-outs)"

    def __call__(self, state: vantor.State, mask: npt.NDArray[np.bool_]) -> int:
        self.board.restore_state(state)
        return choose(self.board, self.rollouts)


def main() -> None:
    parser = argparse.ArgumentParser(description="Flat Monte-Carlo search against Stockfish at a low Skill Level.")
    parser.add_argument("--games", type=int, default=10)
    parser.add_argument("--rollouts", type=int, default=4, help="roll-outs per legal action")
    parser.add_argument("--stockfish", default="/usr/games/stockfish")
    parser.add_argument("--skill", type=int, default=0, help="Stockfish's Skill Level, 0 (weakest) to 20")
    parser.add_argument("--movetime", type=float, default=0.02, help="Stockfish's seconds per move")
    parser.add_argument("--max-plies", type=int, default=400, help="a game this long is a draw")
    parser.add_argument("--pgn", help="where to write the games (default: a new file in the temporary directory)")
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="a progress line on standard error (default: only when it is a terminal)")
    args = parser.parse_args()

    if not os.path.exists(args.stockfish):
        sys.exit(f"no Stockfish at {args.stockfish} (name another with --stockfish)")
    searcher = MonteCarlo(args.rollouts)
    begun = time.monotonic()
    with UciEngine(args.stockfish, {"Skill Level": args.skill}, movetime=args.movetime) as stockfish:
        label = f"{stockfish.name} (Skill Level {args.skill}, {args.movetime * 1000:.0f} ms)"
        result = play_match(searcher, stockfish, args.games, max_plies=args.max_plies,
                            names=(searcher.__name__, label), progress=args.progress)
    seconds = time.monotonic() - begun
    if args.pgn is None:
        # A new name each run, so runs never overwrite each other or litter the working directory.
        handle, args.pgn = tempfile.mkstemp(prefix="stockfish_match-", suffix=".pgn")
        os.close(handle)
    with open(args.pgn, "w") as out:
        out.write("\n".join(result.pgns))
    low, high = result.elo_interval
    print(f"{searcher.__name__} against {label}, {result.played} games in {seconds:.0f} s:")
    print(f"  {result.wins} won, {result.draws} drawn, {result.losses} lost; score {result.score:.1%}")
    print(f"  Elo difference {result.elo:+.0f}, 95 % interval {low:+.0f} .. {high:+.0f}")
    print("  endings: " + ", ".join(f"{g.result} {g.ending}" for g in result.games))
    print(f"  PGN written to {args.pgn}")


if __name__ == "__main__":
    main()
