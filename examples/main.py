"""The main job: plays a batch of random self-play games in C++ on all cores and says how
fast, plays a few random games one by one and says how each ended, renders the last
position, then lets the flat Monte-Carlo search of search.py play two quick games against
a random player. Where the free-threaded interpreter (python3.14t) and the modules built
for it are found, it says how Python threads each playing its own game scale on it."""

import json
import os
import random
import shutil
import subprocess
import sys
import time

import numpy as np

import random_agent
import search
import vantor
import vantor_gym
from vantor_gym import BatchEnv

# Seconds the probe below may take before it counts as stuck.
PROBE_TIMEOUT = 120

# Run by python3.14t: 1, then 2 Python threads, each stepping its own Game one Python call a
# ply for argv[1] seconds; prints the plies per second of each and whether the GIL is on.
THREADS_PROBE = """
import json, random, sys, threading, time
from vantor_gym import Game

def play(index, seconds, counts):
    game, rng = Game(), random.Random(index)
    plies, deadline = 0, time.perf_counter() + seconds
    while plies % 64 or time.perf_counter() < deadline:
        if game.step(rng.choice(game.legal_actions()))[1]:
            game.reset()
        game.observation()
        plies += 1
    counts[index] = plies

rates = []
for threads in (1, 2):
    counts = [None] * threads
    workers = [threading.Thread(target=play, args=(k, float(sys.argv[1]), counts)) for k in range(threads)]
    start = time.perf_counter()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    if None in counts:
        sys.exit("a thread of the probe failed")
    rates.append(sum(counts) / (time.perf_counter() - start))
print(json.dumps({"rates": rates, "gil": sys._is_gil_enabled()}))
"""


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


def free_threaded_threads(seconds: float = 0.7) -> str:
    """Plies per second of 1 and 2 Python threads, each with its own Game, under python3.14t
    with the modules of the build next to this one (its directory name + "-ft")."""
    python = shutil.which("python3.14t")
    if python is None:
        return "free-threaded Python: not present (no python3.14t)"
    build = os.path.dirname(os.path.dirname(os.path.abspath(vantor.__file__)))
    modules = os.path.join(build + "-ft", "python")
    if not os.path.isdir(modules):
        return f"free-threaded Python: {python} is here, but no modules built for it in {modules}"
    source = os.path.dirname(os.path.dirname(os.path.abspath(vantor_gym.__file__)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([modules, source]))
    try:
        out = subprocess.run([python, "-c", THREADS_PROBE, str(seconds)], check=True, capture_output=True,
                             text=True, env=env, timeout=PROBE_TIMEOUT)
        result = json.loads(out.stdout.strip().splitlines()[-1])
        one, two = result["rates"]
        gil = bool(result["gil"])
    except subprocess.CalledProcessError as error:
        last = error.stderr.strip().splitlines()
        raise RuntimeError(f"{python} fails on the modules in {modules}: {last[-1] if last else error}") from None
    except subprocess.TimeoutExpired:
        raise RuntimeError(f"{python} did not finish on the modules in {modules} in {PROBE_TIMEOUT} s") from None
    except (OSError, ValueError, IndexError, KeyError, TypeError) as error:
        raise RuntimeError(f"{python} gave no answer on the modules in {modules}: {error!r}") from None
    note = " (the GIL was enabled at import)" if gil else ""
    return (f"free-threaded Python, threads each with its own Game: {one:,.0f} plies/s on 1 thread, "
            f"{two:,.0f} on 2 = {two / one:.2f} x{note}")


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
    try:
        print(free_threaded_threads(), flush=True)
    except RuntimeError as error:
        sys.exit(f"free-threaded Python: {error}")


if __name__ == "__main__":
    main()
