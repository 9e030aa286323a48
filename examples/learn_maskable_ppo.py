"""A first agent that learns: sb3-contrib's MaskablePPO with vantor_gym.maskable.MovePolicy
against the uniformly random opponent, trained for a CPU-time budget, scored before and after.

    python examples/learn_maskable_ppo.py --cpu-minutes 10 --seed 0 --games 100

Training games: from the initial position, the agent's side drawn per game; optionally a
share (--drill, 0 by default: it did not help at this budget) from random positions where the
agent has a queen or rooks against a king with at most two pawns. Rewards: the game's (+1 win,
-1 loss), plus shaping (--shaping) times the change of the agent's material balance. The
budget counts the CPU time (user + system, all threads) of the training calls; evaluation is
outside it.
"""

from __future__ import annotations

import argparse
import math
import random
import resource
import sys
from collections.abc import Callable, Sequence
from typing import Any, NoReturn

import gymnasium
import numpy as np
import torch
from sb3_contrib import MaskablePPO
from stable_baselines3.common.vec_env import DummyVecEnv

from vantor_gym.env import VantorEnv
from vantor_gym.fen import read_start
from vantor_gym.maskable import MovePolicy
from vantor_gym.match import MatchResult
from vantor_gym.sb3 import VecEnv
from vantor_gym.shaping import MaterialReward

# The agent's pieces in a drill position, beside its king; the other side has a king and
# 0 to 2 pawns.
DRILL_SETS = ("Q", "R", "QR", "RR", "QQ", "QRR")


def positive(kind: Callable[[str], Any]) -> Callable[[str], Any]:
    """A parser of finite numbers above 0."""
    def parse(text: str) -> Any:
        value = kind(text)
        if not (value > 0 and math.isfinite(value)):
            raise argparse.ArgumentTypeError(f"must be a finite number above 0, not {text}")
        return value
    return parse


def at_least_zero(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be at least 0, not {text}")
    return value


def finite(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, not {text}")
    return value


def fraction(text: str) -> float:
    value = float(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be in 0 .. 1, not {text}")
    return value


class Parser(argparse.ArgumentParser):
    """Bad arguments get one line on standard error and exit status 2."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: {message}\n")


def arguments(argv: Sequence[str] | None = None) -> argparse.Namespace:
    parser = Parser(description=(__doc__ or "").split("\n\n")[0], allow_abbrev=False)
    parser.add_argument("--cpu-minutes", type=positive(float), default=10.0, help="training budget in CPU minutes")
    parser.add_argument("--seed", type=at_least_zero, default=0)
    parser.add_argument("--games", type=positive(int), default=100, help="evaluation games, half as each colour")
    parser.add_argument("--greedy", action="store_true", help="evaluate the most likely move, not a sampled one")
    parser.add_argument("--eval-plies", type=at_least_zero, default=0, help="ply limit of evaluation games (0: none)")
    parser.add_argument("--envs", type=positive(int), default=16, help="training games played side by side")
    parser.add_argument("--drill", type=fraction, default=0.0, help="share of training games from drill positions")
    parser.add_argument("--shaping", type=finite, default=0.02, help="material shaping weight (0: off)")
    parser.add_argument("--max-plies", type=positive(int), default=300, help="ply limit of training games")
    parser.add_argument("--channels", type=positive(int), default=32)
    parser.add_argument("--blocks", type=at_least_zero, default=2)
    parser.add_argument("--n-steps", type=positive(int), default=128, help="rollout length per game")
    parser.add_argument("--batch", type=positive(int), default=512)
    parser.add_argument("--epochs", type=positive(int), default=3)
    parser.add_argument("--lr", type=positive(float), default=1e-3)
    parser.add_argument("--ent-coef", type=finite, default=0.0)
    parser.add_argument("--checkpoints", type=at_least_zero, default=0, help="evaluations (of --games) during training")
    return parser.parse_args(argv)


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def drill_fen(rng: random.Random, side: str) -> str:
    """A random legal position, ``side`` to move with its king and one of DRILL_SETS
    against a king and 0 to 2 pawns."""
    while True:
        board: list[str | None] = [None] * 64  # a8 = 0
        pieces = ["K", *rng.choice(DRILL_SETS)]
        weak = ["k", *["p"] * rng.randint(0, 2)]
        squares = rng.sample(range(64), len(pieces) + len(weak))
        for square, piece in zip(squares, pieces + weak):
            board[square] = piece
        if any(board[s] == "p" and s // 8 in (0, 7) for s in range(64)):
            continue
        if side == "b":
            # The same drill for black: colours swapped, the board turned.
            board = [None if p is None else p.swapcase() for p in reversed(board)]
        text = "/".join("".join(board[r * 8 + c] or "1" for c in range(8)) for r in range(8))
        for digits in range(8, 1, -1):
            text = text.replace("1" * digits, str(digits))
        try:
            return read_start(f"{text} {side} - - 0 1").text
        except ValueError:
            continue  # kings adjacent, the side not to move in check, or no legal move


def training_env(args: argparse.Namespace) -> DummyVecEnv:
    """``args.envs`` games, ``args.drill`` of them from drill positions (half as white,
    half as black), the others from the initial position with the agent's side drawn."""
    rng = random.Random(args.seed)
    drills = round(args.drill * args.envs)
    builders = []
    for game in range(args.envs):
        side = "white" if game % 2 == 0 else "black"
        fens = [drill_fen(rng, side[0]) for _ in range(500)] if game < drills else None
        builders.append(builder(args, side if fens else "random", fens))
    return DummyVecEnv(builders)


def builder(args: argparse.Namespace, side: str, fens: list[str] | None) -> Callable[[], gymnasium.Env[Any, Any]]:
    def build() -> gymnasium.Env[Any, Any]:
        env = VantorEnv(opponent="random", agent_side=side, start_fens=fens, max_plies=args.max_plies, flatten=True,
                        scale=True)
        return MaterialReward(env, args.shaping) if args.shaping else env
    return build


def make_model(args: argparse.Namespace, env: DummyVecEnv) -> MaskablePPO:
    return MaskablePPO(
        MovePolicy, env, n_steps=args.n_steps, batch_size=args.batch, n_epochs=args.epochs,
        learning_rate=args.lr, ent_coef=args.ent_coef, gamma=0.99, seed=args.seed, device="cpu", verbose=0,
        policy_kwargs={"features_extractor_kwargs": {"channels": args.channels, "blocks": args.blocks}})


def evaluate(model: MaskablePPO, games: int, seed: int, greedy: bool, max_plies: int) -> MatchResult:
    """``games`` games against the random opponent from the initial position, the first half
    with the agent as white, the rest as black, all played side by side."""
    sides = {"white": games - games // 2, "black": games // 2}
    envs = {side: VecEnv(n, opponent="random", agent_side=side, max_plies=max_plies or None, flatten=True,
                         scale=True, threads=1) for side, n in sides.items() if n}
    points: list[float] = []
    for number, env in enumerate(envs.values()):
        env.seed(seed + 1000 * number)
        observations = np.asarray(env.reset())
        result = np.full(env.num_envs, np.nan)
        while np.isnan(result).any():
            actions, _ = model.predict(observations, action_masks=env.action_masks(), deterministic=greedy)
            stepped, rewards, dones, _ = env.step(actions)
            observations = np.asarray(stepped)
            first = dones & np.isnan(result)
            result[first] = rewards[first]
        points.extend(result.tolist())
        env.close()
    return MatchResult(points.count(1.0), points.count(0.0), points.count(-1.0))


def described(result: MatchResult) -> str:
    low, high = result.score_interval
    return (f"{result.wins}-{result.draws}-{result.losses} (W-D-L), score {100 * result.score:.1f} % "
            f"[95 % interval {100 * low:.1f} .. {100 * high:.1f}]")


def gain_interval(before: MatchResult, after: MatchResult) -> tuple[float, float]:
    """The 95 % interval of the gain, the two scores' errors taken as independent."""
    def variance(r: MatchResult) -> float:
        s = r.score
        return (r.wins * (1 - s) ** 2 + r.draws * (0.5 - s) ** 2 + r.losses * s**2) / r.played**2
    half = 1.96 * math.sqrt(variance(before) + variance(after))
    gain = after.score - before.score
    return gain - half, gain + half


def train(model: MaskablePPO, budget: float, checkpoints: Checkpoints) -> float:
    """Learns one rollout at a time while the next, costing as much as the last, fits in
    ``budget`` CPU seconds of training calls; returns the seconds used."""
    used = last = 0.0
    while used + last <= budget:
        start = cpu_seconds()
        model.learn(model.n_steps * model.n_envs, reset_num_timesteps=False)
        last = cpu_seconds() - start
        used += last
        checkpoints.reached(model, used)
    return used


class Checkpoints:
    """Evaluations at even shares of the budget, printed with the steps and their rate."""

    def __init__(self, args: argparse.Namespace, budget: float) -> None:
        self.args = args
        self.marks = [budget * (i + 1) / (args.checkpoints + 1) for i in range(args.checkpoints)]

    def reached(self, model: MaskablePPO, used: float) -> None:
        """Evaluates the model if training has passed the next mark."""
        if not self.marks or used < self.marks[0]:
            return
        while self.marks and used >= self.marks[0]:
            self.marks.pop(0)
        result = evaluate(model, self.args.games, self.args.seed + 1, self.args.greedy, self.args.eval_plies)
        print(f"  {used:6.0f} CPU s, {model.num_timesteps} steps ({model.num_timesteps / used:.0f}/s): "
              f"{described(result)}", flush=True)


def main(argv: Sequence[str] | None = None) -> int:
    args = arguments(argv)
    torch.set_num_threads(1)
    budget = 60.0 * args.cpu_minutes
    model = make_model(args, training_env(args))
    mode = "greedy" if args.greedy else "sampled"
    limit = f"{args.eval_plies} plies" if args.eval_plies else "no ply limit"
    print(f"evaluation: {args.games} games against the random opponent, half as each colour, {mode} moves, "
          f"standard rules, {limit}", flush=True)
    before = evaluate(model, args.games, args.seed + 1, args.greedy, args.eval_plies)
    print(f"before: {described(before)}", flush=True)
    used = train(model, budget, Checkpoints(args, budget))
    after = evaluate(model, args.games, args.seed + 1, args.greedy, args.eval_plies)
    low, high = gain_interval(before, after)
    print(f"trained {model.num_timesteps} steps in {used / 60:.2f} CPU minutes "
          f"({model.num_timesteps / used:.0f} steps per CPU second; the whole process so far: "
          f"{cpu_seconds() / 60:.1f} CPU minutes)")
    print(f"after:  {described(after)}")
    print(f"gain: {100 * (after.score - before.score):+.1f} points "
          f"[95 % interval {100 * low:+.1f} .. {100 * high:+.1f}]")
    return 0


if __name__ == "__main__":
    sys.exit(main())
