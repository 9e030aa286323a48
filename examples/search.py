"""Flat Monte-Carlo search: try each legal action, play random games from the position it
leads to, and pick the action whose games went best for the side to move."""

import vantor


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


if __name__ == "__main__":
    env = vantor.Vantor()
    env.reset()
    print("chosen action:", choose(env))
