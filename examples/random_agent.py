"""A random agent: plays uniformly random legal actions until the game ends."""

import random

import vantor


def play(env: vantor.Vantor, rng: random.Random) -> tuple[int, int, int]:
    """Plays one game from the initial position; returns (plies, reward, side to move)."""
    side, _, reward, done = env.reset()
    plies = 0
    while not done:
        mask = env.get_actions()
        # Read row after row, a mask entry's flat index is its action number.
        legal = [i for i, v in enumerate(v for row in mask for v in row) if v]
        side, _, reward, done = env.step(rng.choice(legal))
        plies += 1
    return plies, reward, side


if __name__ == "__main__":
    plies, reward, side = play(vantor.Vantor(), random.Random())
    print(f"{plies} plies, reward {reward:+d} (from white's side), {'white' if side == 0 else 'black'} to move")
