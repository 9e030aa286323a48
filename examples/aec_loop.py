"""The PettingZoo AEC loop: two random players, each sampling from its legal-action mask."""

from typing import Any

import numpy as np

from vantor_gym import aec


def main(seed: int = 0) -> None:
    env = aec.env(render_mode="ansi")
    env.reset(seed=seed)
    final: dict[str, tuple[float, str]] = {}
    plies = 0
    for agent in env.agent_iter():
        observation: dict[str, np.ndarray]
        info: dict[str, Any]
        observation, reward, termination, truncation, info = env.last()
        if termination or truncation:
            # Each agent sees the game's end once, with its own reward, and leaves.
            final[agent] = (float(reward), str(info["ending"]))
            action = None
        else:
            action = int(env.action_space(agent).sample(observation["action_mask"]))
            plies += 1
        env.step(action)
    rewards = ", ".join(f"{agent} {reward:+.0f}" for agent, (reward, _) in sorted(final.items()))
    print(f"{plies} plies, ended by {final['player_0'][1]}: {rewards}")
    print(env.render(), end="")
    env.close()


if __name__ == "__main__":
    main()
