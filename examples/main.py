"""The main job: plays a few random games, says how each ended, renders the last
position, then lets the flat Monte-Carlo search of search.py play two quick games against
a random player."""

import random

import random_agent
import search
import vantor


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
