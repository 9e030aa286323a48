"""Writes tests/data/perft-chess960.tsv: Stockfish's perft counts (UCI_Chess960) for every
Chess960 start at depth 4 and for positions whose castling rights stand in odd
arrangements at depths 4 and 5, the table the engine's tests count against.

    python3 tools/chess960_perft.py [STOCKFISH]   (default /usr/games/stockfish)
"""

from __future__ import annotations

import pathlib
import subprocess
import sys

KNIGHTS = ((0, 1), (0, 2), (0, 3), (0, 4), (1, 2), (1, 3), (1, 4), (2, 3), (2, 4), (3, 4))

# Castling where the king or the rook does not move, lands on the other's square, starts
# beside it, or is stopped by an attack, a blocker, or a rook that shielded the king.
ODD = {
    "rooks-b-g": "1r2k1r1/pppppppp/8/8/8/8/PPPPPPPP/1R2K1R1 w GBgb - 0 1",
    "king-b-rook-a": "rk5r/p6p/8/8/8/8/P6P/RK5R w HAha - 0 1",
    "king-g-rook-h": "r5kr/p6p/8/8/8/8/P6P/R5KR w HAha - 0 1",
    "king-f-rook-g": "2r2kr1/8/8/8/8/8/8/2R2KR1 w GCgc - 0 1",
    "rook-on-king-target": "1rkr4/8/8/8/8/8/8/1RKR4 w DBdb - 0 1",
    "rook-shields-king": "3k4/8/8/8/8/8/8/qRK5 w B - 0 1",
    "passed-square-attacked": "r3k2r/8/8/8/8/8/8/RK3r1R w HA - 0 1",
    "black-to-move": "rkr5/8/8/8/8/8/8/RKR5 b CAca - 0 1",
    "queen-between": "rqkr4/pppppppp/8/8/8/8/PPPPPPPP/RQKR4 w DAda - 0 1",
    "outer-and-inner-rook": "1r1kr2r/8/8/8/8/8/8/R2K1R1R w Fb - 0 1",
    "suite-bqnb": "bqnb1rkr/pp3ppp/3ppn2/2p5/5P2/P2P4/NPP1P1PP/BQ1BNRKR w HFhf - 2 9",
    "suite-2nnrbkr": "2nnrbkr/p1qppppp/8/1ppb4/6PP/3PP3/PPP2P2/BQNNRBKR w HEhe - 1 9",
    "suite-b1q1rrkb": "b1q1rrkb/pppppppp/3nn3/8/P7/1PPP4/4PPPP/BQNNRKRB w GE - 1 9",
    "suite-qbbnnrkr": "qbbnnrkr/2pp2pp/p7/1p2pp2/8/P3PP2/1PPP1KPP/QBBNNR1R w hf - 0 9",
}


def back_rank(number: int) -> str:
    """Scharnagl's numbering: 518 is RNBQKBNR."""
    rank = ["."] * 8
    rank[2 * (number % 4) + 1] = "B"
    number //= 4
    rank[2 * (number % 4)] = "B"
    number //= 4

    def place(nth: int, letter: str) -> None:
        empty = [i for i, c in enumerate(rank) if c == "."]
        rank[empty[nth]] = letter

    place(number % 6, "Q")
    number //= 6
    first, second = KNIGHTS[number]
    place(second, "N")
    place(first, "N")
    for letter in "RKR":
        place(0, letter)
    return "".join(rank)


def start_fen(number: int) -> str:
    white = back_rank(number)
    return f"{white.lower()}/pppppppp/8/8/8/8/PPPPPPPP/{white} w KQkq - 0 1"


def main() -> None:
    engine = subprocess.Popen([sys.argv[1] if len(sys.argv) > 1 else "/usr/games/stockfish"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert engine.stdin is not None and engine.stdout is not None
    engine.stdin.write("uci\nsetoption name UCI_Chess960 value true\n")

    def perft(fen: str, depth: int) -> int:
        engine.stdin.write(f"position fen {fen}\ngo perft {depth}\n")  # type: ignore[union-attr]
        engine.stdin.flush()  # type: ignore[union-attr]
        for line in engine.stdout:  # type: ignore[union-attr]
            if line.startswith("Nodes searched:"):
                return int(line.split(":")[1])
        raise RuntimeError("Stockfish ended")

    rows = [(f"start-{n}", start_fen(n), 4) for n in range(960)]
    rows += [(name, fen, depth) for name, fen in ODD.items() for depth in (4, 5)]
    out = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data" / "perft-chess960.tsv"
    with out.open("w") as file:
        file.write("name\tfen\tdepth\tnodes\n")
        for name, fen, depth in rows:
            file.write(f"{name}\t{fen}\t{depth}\t{perft(fen, depth)}\n")
    engine.stdin.write("quit\n")
    engine.stdin.close()
    engine.wait()


if __name__ == "__main__":
    main()
