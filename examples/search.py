"""Flat Monte-Carlo search: try each legal action, play random games from the position it
leads to, and pick the action whose games went best for the side to move."""

import argparse
import random

import vantor
from vantor_gym.progress import Progress


def legal_actions(env: vantor.Vantor) -> list[int]:
    # Read row after row, a mask entry's flat index is its action number.
    return [i for i, v in enumerate(v for row in env.get_actions() for v in row) if v]


def choose(env: vantor.Vantor, rollouts: int = 8) -> int:
    root = env.save_state()
    sign = 1 if root.side == 0 else -1  # rewards are seen from white's side
    best, best_score = -1, float("-inf")
    for action in legal_actions(env):
        env.restore_state(root)
        _, _, reward, done = env.step(action)
        if done:
            score = reward * rollouts
        else:
            after = env.save_state()
            score = 0
            for _ in range(rollouts):
                score += env.roll_out()
                env.restore_state(after)
        if sign * score > best_score:
            best, best_score = action, sign * score
    env.restore_state(root)
    return best


def match(games: int, rollouts: int, seed: int = 0, progress: bool | None = None) -> tuple[int, int, int]:
    """Flat Monte-Carlo search against a random player, colours alternating.
    Returns (wins, draws, losses) of the searcher."""
    rng = random.Random(seed)
    env = vantor.Vantor()
    wins = draws = losses = 0
    with Progress(games, "games", progress) as shown:
        for game in range(games):
            outcome = play_one(env, rng, game % 2, rollouts)
            wins += outcome > 0
            draws += outcome == 0
            losses += outcome < 0
            shown.update(won=wins, drawn=draws, lost=losses)
    return wins, draws, losses


def play_one(env: vantor.Vantor, rng: random.Random, searcher: int, rollouts: int) -> int:
    """One game with the searcher on side ``searcher`` (0 white); its result for the searcher."""
    side, _, reward, done = env.reset()
    while not done:
        action = choose(env, rollouts) if side == searcher else rng.choice(legal_actions(env))
        side, _, reward, done = env.step(action)
    return reward if searcher == 0 else -reward


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="Flat Monte-Carlo search against a random player.")
    parser.add_argument("--games", type=int, default=2)
    parser.add_argument("--rollouts", type=int, default=4)
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="a progress line on standard error (default: only when it is a terminal)")
    args = parser.parse_args()
    wins, draws, losses = match(args.games, args.rollouts, progress=args.progress)
    print(f"search against random, {args.games} games, {args.rollouts} roll-outs per action: "
          f"{wins} won, {draws} drawn, {losses} lost")
