"""The shipped baseline against Stockfish at Skill Level 0, limited by nodes so that the
result does not depend on the machine's load:

    tools/toolchain run --with torch python3 tools/baseline_match.py --games 100 --rules standard

Each pair of games starts from its own random opening (``evaluate.openings``), the colours
swapped, as the training run's after-run matches do. Prints the score with its 95 %
interval and the Elo difference, and the games' endings.
"""

import argparse
import collections
import time

from vantor_gym.match import MatchResult, play_match
from vantor_gym.rules import RULES
from vantor_gym.train import baseline
from vantor_gym.train.evaluate import find_engine, openings
from vantor_gym.uci import UciEngine


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--games", type=int, default=100)
    parser.add_argument("--nodes", type=int, default=10_000, help="Stockfish's nodes a move")
    parser.add_argument("--simulations", type=int, default=32, help="the baseline's search a move")
    parser.add_argument("--rules", choices=RULES[:2], default="standard")
    parser.add_argument("--max-plies", type=int, default=400)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    starts = openings(args.games // 2, seed=args.seed, rules=args.rules)
    player = baseline(simulations=args.simulations, device="cpu", rules=args.rules)
    begun = time.monotonic()
    parts: list[MatchResult] = []
    with UciEngine(find_engine("stockfish"), {"Skill Level": 0}, nodes=args.nodes, name="Stockfish") as engine:
        for start in starts:
            parts.append(play_match(player, engine, 2, [start], max_plies=args.max_plies, rules=args.rules))
            print(f"{2 * len(parts)} games: {sum(p.wins for p in parts)}-{sum(p.draws for p in parts)}-"
                  f"{sum(p.losses for p in parts)}", flush=True)
    result = MatchResult(sum(p.wins for p in parts), sum(p.draws for p in parts), sum(p.losses for p in parts),
                         tuple(text for p in parts for text in p.pgns), tuple(g for p in parts for g in p.games))
    low, high = result.score_interval
    print(f"baseline ({args.simulations} simulations) against Stockfish Skill Level 0, {args.nodes} nodes, "
          f"{args.rules} rules: {result}; score interval {100 * low:.1f}% .. {100 * high:.1f}%")
    print("endings:", dict(collections.Counter(game.ending for game in result.games)))
    print(f"{time.monotonic() - begun:.0f} s")


if __name__ == "__main__":
    main()
