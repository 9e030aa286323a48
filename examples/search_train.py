"""Self-play with the tree search and a small policy-value network trained in NumPy.

A BatchEnv plays many games at once; vantor_gym.search.Search picks every move with the
network as its evaluator, and the network learns, by plain SGD, to predict the search's
visit distribution at each position and the game's result from the mover's side (a game
cut at --max-plies scored by its material balance). Before and after training the network
and its search play a uniformly random player and the flat Monte-Carlo search of search.py.
"""

import argparse
import time
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import vantor
from search import choose
from vantor_gym import BatchEnv
from vantor_gym.progress import Progress
from vantor_gym.search import Search

ACTIONS = 4672
# The current position's twelve piece planes (the mover's pieces first, the board turned
# for black, so the network always sees the board from the side to move) and the
# half-move clock.
PIECE_PLANES = 12
FEATURES = PIECE_PLANES * 64 + 1

Floats = npt.NDArray[np.float32]
Bools = npt.NDArray[np.bool_]


PIECE_VALUES = np.array([1, 3, 3, 5, 9, 0], np.float32)


def material(observation: np.ndarray, side: int) -> float:
    """White's material lead in pawns, read from the mover's piece planes."""
    counts = observation[:PIECE_PLANES].reshape(PIECE_PLANES, 64).sum(axis=1)
    lead = float(counts[:6] @ PIECE_VALUES - counts[6:] @ PIECE_VALUES)
    return lead if side == 0 else -lead


def features(observations: np.ndarray) -> Floats:
    n = len(observations)
    out = np.empty((n, FEATURES), np.float32)
    out[:, :-1] = observations[:, :PIECE_PLANES].reshape(n, -1)
    out[:, -1] = observations[:, 118, 0, 0] / 50.0
    return out


class Network:
    """One hidden layer of ReLUs, a policy head of 4672 logits and a tanh value head."""

    def __init__(self, rng: np.random.Generator, hidden: int = 64) -> None:
        self.w1 = (rng.standard_normal((FEATURES, hidden)) * np.sqrt(2.0 / FEATURES)).astype(np.float32)
        self.b1 = np.zeros(hidden, np.float32)
        self.wp = (rng.standard_normal((hidden, ACTIONS)) * 0.01).astype(np.float32)
        self.bp = np.zeros(ACTIONS, np.float32)
        self.wv = (rng.standard_normal(hidden) * 0.01).astype(np.float32)
        self.bv = np.float32(0.0)

    def forward(self, x: Floats) -> tuple[Floats, Floats, Floats]:
        hidden = np.maximum(x @ self.w1 + self.b1, 0.0)
        return hidden, hidden @ self.wp + self.bp, np.tanh(hidden @ self.wv + self.bv)

    def evaluate(self, observations: np.ndarray, masks: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The search's evaluator: logits and values for a batch of leaves."""
        _, logits, values = self.forward(features(observations))
        return logits, values

    def train(self, x: Floats, masks: Bools, policies: Floats, outcomes: Floats, rate: float) -> tuple[float, float]:
        """One SGD step on cross-entropy against the visit policies (softmax over the legal
        actions, as the search reads the logits) plus the squared value error."""
        n = len(x)
        hidden, logits, values = self.forward(x)
        logits = np.where(masks, logits, -np.inf)
        logits -= logits.max(axis=1, keepdims=True)
        exp = np.exp(logits)
        probabilities = exp / exp.sum(axis=1, keepdims=True)
        policy_loss = float(-(policies * np.where(masks, logits - np.log(exp.sum(axis=1, keepdims=True)), 0.0)).sum() / n)
        value_loss = float(((values - outcomes) ** 2).mean())

        d_logits = (probabilities - policies) / n
        d_values = 2.0 * (values - outcomes) * (1.0 - values**2) / n
        d_hidden = d_logits @ self.wp.T + np.outer(d_values, self.wv)
        d_hidden *= hidden > 0
        grads = {
            "wp": hidden.T @ d_logits, "bp": d_logits.sum(axis=0),
            "wv": hidden.T @ d_values, "bv": d_values.sum(),
            "w1": x.T @ d_hidden, "b1": d_hidden.sum(axis=0),
        }
        # Clipping keeps one unlucky batch from throwing the weights to non-finite values,
        # which the search would refuse.
        norm = float(np.sqrt(sum(float((g.astype(np.float64) ** 2).sum()) for g in grads.values())))
        scale = rate * min(1.0, 5.0 / max(norm, 1e-12))
        for name, grad in grads.items():
            setattr(self, name, (getattr(self, name) - scale * grad).astype(np.float32))
        return policy_loss, value_loss


@dataclass
class Replay:
    """The latest positions: features, packed legal masks, visit policies kept sparse (at
    most one entry per simulation), and the game's result from the mover's side."""

    capacity: int
    width: int

    def __post_init__(self) -> None:
        self.x = np.zeros((self.capacity, FEATURES), np.float32)
        self.masks = np.zeros((self.capacity, (ACTIONS + 7) // 8), np.uint8)
        self.actions = np.zeros((self.capacity, self.width), np.int16)
        self.weights = np.zeros((self.capacity, self.width), np.float32)
        self.outcomes = np.zeros(self.capacity, np.float32)
        self.size = 0
        self.next = 0

    def add(self, x: Floats, mask: Bools, policy: Floats, outcome: float) -> None:
        i = self.next
        top = np.argsort(policy)[::-1][: self.width]
        self.x[i], self.masks[i] = x, np.packbits(mask)
        self.actions[i], self.weights[i] = top, policy[top]
        self.outcomes[i] = outcome
        self.next = (i + 1) % self.capacity
        self.size = min(self.size + 1, self.capacity)

    def sample(self, rng: np.random.Generator, n: int) -> tuple[Floats, Bools, Floats, Floats]:
        rows = rng.integers(self.size, size=n)
        masks = np.unpackbits(self.masks[rows], axis=1, count=ACTIONS).astype(bool)
        policies = np.zeros((n, ACTIONS), np.float32)
        np.put_along_axis(policies, self.actions[rows].astype(np.int64), self.weights[rows], axis=1)
        policies /= policies.sum(axis=1, keepdims=True)
        return self.x[rows], masks, policies, self.outcomes[rows]


@dataclass
class Pending:
    """A game's positions so far, waiting for its result."""

    x: list[Floats]
    masks: list[Bools]
    policies: list[Floats]
    sides: list[int]


def self_play(net: Network, args: argparse.Namespace, rng: np.random.Generator) -> None:
    games = BatchEnv(args.games, max_plies=args.max_plies, autoreset="disabled", dtype=np.float32, seed=args.seed)
    search = Search(args.games, net.evaluate, simulations=args.simulations, seed=args.seed)
    replay = Replay(capacity=30_000, width=args.simulations)
    observations, info = games.reset()
    plies = np.zeros(args.games, np.int64)
    pending = [Pending([], [], [], []) for _ in range(args.games)]
    results = {1: 0, 0: 0, -1: 0}
    start = last_report = time.monotonic()
    moves = updates = 0
    losses = (0.0, 0.0)
    shown = Progress(None, "self-play moves", args.progress)
    while time.monotonic() - start < args.minutes * 60:
        result = search.run(games)
        actions = result.actions.copy()
        x = features(observations)
        for i in range(args.games):
            if plies[i] < args.opening_plies:
                # Early moves are drawn from the visit distribution, so games differ.
                policy = result.policies[i].astype(np.float64)
                actions[i] = rng.choice(ACTIONS, p=policy / policy.sum())
            game = pending[i]
            game.x.append(x[i])
            game.masks.append(info["action_mask"][i].copy())
            game.policies.append(result.policies[i])
            game.sides.append(int(info["side"][i]))
        search.advance(actions)
        observations, rewards, terminated, truncated, info = games.step(actions)
        plies += 1
        moves += args.games
        ended = np.flatnonzero(terminated | truncated)
        for i in ended.tolist():
            white = int(rewards[i])  # rewards are from white's side; 0 for a draw or truncation
            results[white] += 1
            # Few games end within max_plies, so a cut game is scored by its material
            # balance: the value head then learns something from every game.
            score = float(white) if terminated[i] else float(np.tanh(material(observations[i], int(info["side"][i])) / 5))
            game = pending[i]
            for sample in zip(game.x, game.masks, game.policies, game.sides):
                replay.add(sample[0], sample[1], sample[2], score if sample[3] == 0 else -score)
            pending[i] = Pending([], [], [], [])
        if len(ended):
            fresh, fresh_info = games.reset(indices=ended)
            observations[ended] = fresh
            info["action_mask"][ended] = fresh_info["action_mask"]
            info["side"][ended] = fresh_info["side"]
            plies[ended] = 0
        if replay.size >= args.batch:
            for _ in range(args.updates_per_move):
                losses = net.train(*replay.sample(rng, args.batch), rate=args.rate)
                updates += 1
        shown.update(args.games, games=sum(results.values()), updates=updates, losses=f"{losses[0]:.2f} {losses[1]:.3f}")
        # The progress line, when shown, carries what the periodic report says.
        if not shown.enabled and time.monotonic() - last_report >= 20:
            last_report = time.monotonic()
            print(f"{last_report - start:5.0f} s: {moves:,} moves, games 1-0 {results[1]}, 0-1 {results[-1]}, "
                  f"drawn or cut {results[0]}; {updates} updates, policy loss {losses[0]:.2f}, "
                  f"value loss {losses[1]:.3f}", flush=True)
    shown.close()
    games.close()
    print(f"self-play: {moves:,} moves in {time.monotonic() - start:.0f} s, {sum(results.values())} games "
          f"(1-0 {results[1]}, 0-1 {results[-1]}, drawn or cut at {args.max_plies} plies {results[0]}), "
          f"{updates} SGD updates of {args.batch}")


def match(net: Network, opponent: str, games: int, args: argparse.Namespace, rng: np.random.Generator) -> tuple[int, int, int]:
    """The network's search against an opponent, colours alternating, all games at once;
    a game still going after eval_plies plies is a draw. Returns (won, drawn, lost)."""
    batch = BatchEnv(games, max_plies=args.eval_plies, autoreset="next_step", dtype=np.float32)
    search = Search(games, net.evaluate, simulations=args.simulations, dirichlet_fraction=0.0)
    env = vantor.Vantor()
    _, info = batch.reset()
    outcome: list[int | None] = [None] * games
    won = drawn = lost = 0
    shown = Progress(games, f"games against {opponent}", args.progress)
    while any(o is None for o in outcome):
        result = search.run(batch)
        actions = result.actions.copy()
        for i in range(games):
            if outcome[i] is not None or int(info["side"][i]) == i % 2:
                continue  # the network plays white in even games: its move stands
            if opponent == "random":
                actions[i] = rng.choice(np.flatnonzero(info["action_mask"][i]))
            else:
                env.restore_state(batch.save_state(i))
                actions[i] = choose(env, args.rollouts)
        search.advance(actions)
        _, rewards, terminated, truncated, info = batch.step(actions)
        for i in np.flatnonzero(terminated | truncated).tolist():
            if outcome[i] is None:
                white = int(rewards[i])
                outcome[i] = white if i % 2 == 0 else -white
                won += outcome[i] == 1
                drawn += outcome[i] == 0
                lost += outcome[i] == -1
                shown.update(won=won, drawn=drawn, lost=lost)
    shown.close()
    batch.close()
    return won, drawn, lost


def report(name: str, score: tuple[int, int, int]) -> str:
    won, drawn, lost = score
    points = (won + drawn / 2) / (won + drawn + lost)
    return f"against {name}: {won} won, {drawn} drawn, {lost} lost (score {points:.0%})"


def main() -> None:
    parser = argparse.ArgumentParser(description="Self-play training with the tree search and a NumPy network.")
    parser.add_argument("--minutes", type=float, default=2.5, help="self-play and training time")
    parser.add_argument("--games", type=int, default=32, help="games played at once")
    parser.add_argument("--simulations", type=int, default=64, help="search simulations per move")
    parser.add_argument("--max-plies", type=int, default=120, help="self-play games are cut after this many plies")
    parser.add_argument("--opening-plies", type=int, default=8, help="plies sampled from the visits (temperature 1)")
    parser.add_argument("--batch", type=int, default=256)
    parser.add_argument("--updates-per-move", type=int, default=1)
    parser.add_argument("--rate", type=float, default=0.05, help="SGD step size")
    parser.add_argument("--eval-games", type=int, default=8)
    parser.add_argument("--eval-plies", type=int, default=200, help="evaluation games are drawn after this many plies")
    parser.add_argument("--rollouts", type=int, default=2, help="the flat Monte-Carlo opponent's roll-outs per action")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="a progress line on standard error (default: only when it is a terminal)")
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    net = Network(rng)

    flat = f"flat Monte-Carlo search ({args.rollouts} roll-outs per action)"

    def evaluate(network: Network, name: str) -> None:
        start = time.monotonic()
        against_random = match(network, "random", args.eval_games, args, rng)
        against_flat = match(network, "flat", max(2, args.eval_games // 2), args, rng)
        print(f"{name} network, {args.simulations} simulations a move, games drawn after {args.eval_plies} plies "
              f"({time.monotonic() - start:.0f} s):\n  {report('a random player', against_random)}\n"
              f"  {report(flat, against_flat)}", flush=True)

    evaluate(Network(np.random.default_rng(args.seed)), "untrained")
    self_play(net, args, rng)
    evaluate(net, "trained")


if __name__ == "__main__":
    main()
