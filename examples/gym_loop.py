"""The Gymnasium loop: one environment, actions sampled from the legal-action mask."""

import gymnasium
import numpy as np

import vantor_gym  # noqa: F401  (registers vantor_gym/Chess-v0)


def main(episodes: int = 2, seed: int = 0) -> None:
    env = gymnasium.make("vantor_gym/Chess-v0", max_plies=200, render_mode="ansi")
    for episode in range(episodes):
        observation, info = env.reset(seed=seed + episode)
        total, terminated, truncated, plies = 0.0, False, False, 0
        while not (terminated or truncated):
            mask: np.ndarray = info["action_mask"]
            action = env.action_space.sample(mask=mask)
            observation, reward, terminated, truncated, info = env.step(action)
            total += float(reward)
            plies += 1
        ending = "game over" if terminated else "ply limit"
        print(f"episode {episode}: {plies} plies, {ending}, reward {total:+.0f} (from white's side)")
    print(env.render())
    env.close()


if __name__ == "__main__":
    main()
