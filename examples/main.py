"""The main job: plays a batch of random self-play games in C++ on all cores and says how
fast, plays a few random games one by one and says how each ended, renders the last
position, then lets the flat Monte-Carlo search of search.py play two quick games against
a random player."""

import random
import time

import numpy as np

import random_agent
import search
import vantor
from vantor_gym import BatchEnv


def self_play(games: int = 256, steps: int = 200) -> str:
    """Random legal self-play in a BatchEnv; the actions are drawn in NumPy from the masks,
    all at once, and finished games restart by themselves."""
    rng = np.random.default_rng()
    with BatchEnv(games) as batch:
        out = {"observations": np.empty((games, 119, 8, 8), np.int32), "action_mask": np.empty((games, 4672), bool)}
        batch.reset(out=out)
        ended, stepping = 0, 0.0
        for _ in range(steps):
            # A uniform legal action per game: the largest of random keys over the legal ones.
            keys = rng.random(out["action_mask"].shape) * out["action_mask"]
            actions = keys.argmax(axis=1)
            start = time.perf_counter()
            _, _, terminated, truncated, _ = batch.step(actions, out=out)
            stepping += time.perf_counter() - start
            ended += int((terminated | truncated).sum())
        return (f"{games} self-play games on {batch.threads} threads: {games * steps:,} steps in "
                f"{stepping:.2f} s of stepping, {games * steps / stepping:,.0f} steps/s; {ended} games ended")


def ending(side: int, reward: int, has_moves: bool) -> str:
    if reward == 1:
        return "black is checkmated"
    if reward == -1:
        return "white is checkmated"
    if not has_moves:
        return f"stalemate, {'white' if side == 0 else 'black'} to move"
    return "drawn (third occurrence or fifty half-moves)"


def play_with_step(env: vantor.Vantor, rng: random.Random) -> str:
    plies, reward, side = random_agent.play(env, rng)
    has_moves = any(v for row in env.get_actions() for v in row)
    return f"{plies} plies with step: {ending(side, reward, has_moves)}"


def play_with_roll_out(env: vantor.Vantor) -> str:
    env.reset()
    reward = env.roll_out()
    if reward:
        return f"roll-out: {'black' if reward == 1 else 'white'} is checkmated"
    return "roll-out: no winner (a draw, or the 400-ply cap)"


def main() -> None:
    print(self_play(), flush=True)
    rng = random.Random()
    env = vantor.Vantor()
    for game in range(1, 4):
        print(f"game {game}: {play_with_roll_out(env)}")
    for game in range(4, 7):
        print(f"game {game}: {play_with_step(env, rng)}", flush=True)
    print("final position of game 6:", flush=True)
    env.render()
    wins, draws, losses = search.match(games=2, rollouts=2)
    print(f"search against random, 2 games: {wins} won, {draws} drawn, {losses} lost", flush=True)


if __name__ == "__main__":
    main()
