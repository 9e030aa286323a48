"""Throughput of other chess environments, measured the way a learner drives them.

Each function returns None when its environment is not importable, so callers can print
the comparison when it is available and skip it otherwise.
"""

from __future__ import annotations

import time
import warnings

import numpy as np


def pettingzoo_chess_steps_per_second(seconds: float = 2.0, seed: int = 0) -> float | None:
    """Moves per second of PettingZoo's chess_v6 AEC environment under random play.

    Plays uniformly random legal moves, drawn from the observation's "action_mask" by a
    numpy Generator seeded with `seed`, through env.agent_iter() / env.last() /
    env.step(), for about `seconds` of wall time. The timed loop includes what a learner
    pays besides the moves themselves: the None steps that retire the agents at the end
    of a game and the env.reset() before the next one. Only moves are counted. Building
    the environment and its first reset are not timed.

    Returns None when pettingzoo (or its chess dependencies) cannot be imported.
    """
    try:
        with warnings.catch_warnings():
            # Newer releases steer towards a registry and warn on the module import; the
            # environment is the same.
            warnings.simplefilter("ignore", DeprecationWarning)
            from pettingzoo.classic import chess_v6
    except ImportError:
        return None

    rng = np.random.default_rng(seed)
    env = chess_v6.env()
    env.reset(seed=seed)
    moves = 0
    start = time.perf_counter()
    deadline = start + seconds
    try:
        while True:
            for _agent in env.agent_iter():
                observation, _reward, termination, truncation, _info = env.last()
                if termination or truncation:
                    env.step(None)
                    continue
                legal = np.flatnonzero(observation["action_mask"])
                env.step(int(rng.choice(legal)))
                moves += 1
                now = time.perf_counter()
                if now >= deadline:
                    return moves / (now - start)
            env.reset()
    finally:
        env.close()


def openspiel_version() -> str | None:
    try:
        from importlib.metadata import version

        import pyspiel  # noqa: F401
    except ImportError:
        return None
    return version("open_spiel")


def openspiel_chess_plies_per_second(seconds: float = 2.0, seed: int = 0) -> float | None:
    """Plies per second of OpenSpiel's chess under random play, one game at a time.

    Each ply draws a legal action with random.Random(seed) from state.legal_actions(),
    applies it and reads state.observation_tensor(), as a learner observing every ply
    does (the last of a game from the side of the player who ended it: a terminal state
    has no player to move); a game that ends is followed by game.new_initial_state(),
    inside the timing. Loading the game is not timed. Returns None when pyspiel cannot be
    imported.
    """
    try:
        import pyspiel
    except ImportError:
        return None
    import random

    rng = random.Random(seed)
    game = pyspiel.load_game("chess")
    state = game.new_initial_state()
    plies = 0
    start = time.perf_counter()
    deadline = start + seconds
    while True:
        mover = state.current_player()
        state.apply_action(rng.choice(state.legal_actions()))
        plies += 1
        if state.is_terminal():
            state.observation_tensor(mover)
            state = game.new_initial_state()
        else:
            state.observation_tensor()
        if plies % 64 == 0 and (now := time.perf_counter()) >= deadline:
            return plies / (now - start)


def openspiel_mcts_simulations_per_second(simulations: int = 200, repeats: int = 3,
                                          seed: int = 0) -> float | None:
    """Simulations per second of OpenSpiel's MCTSBot choosing White's first move, each leaf
    valued by one random roll-out (RandomRolloutEvaluator(n_rollouts=1)), UCT constant 2.

    The median of `repeats` searches, each a fresh bot (a fresh tree) from the initial
    position. Returns None when OpenSpiel cannot be imported.
    """
    try:
        import pyspiel
        from open_spiel.python.algorithms import mcts
    except ImportError:
        return None
    game = pyspiel.load_game("chess")
    rates = []
    for k in range(repeats):
        random_state = np.random.RandomState(seed + k)
        bot = mcts.MCTSBot(game, uct_c=2, max_simulations=simulations,
                           evaluator=mcts.RandomRolloutEvaluator(n_rollouts=1, random_state=random_state),
                           random_state=random_state)
        state = game.new_initial_state()
        start = time.perf_counter()
        bot.step(state)
        rates.append(simulations / (time.perf_counter() - start))
    return float(np.median(rates))


def jax_versions() -> dict[str, str] | None:
    """Versions of jax, jaxlib, pgx and mctx, or None when any of them is missing."""
    from importlib.metadata import PackageNotFoundError, version

    try:
        return {name: version(name) for name in ("jax", "jaxlib", "pgx", "mctx")}
    except PackageNotFoundError:
        return None


def pgx_chess_steps_per_second(games: int, steps: int, repeats: int = 3, seed: int = 0) -> float | None:
    """Game-steps per second of pgx's chess, `games` games at once under random play.

    One jitted function per step draws each game's action inside JAX (a categorical over
    logits that are 0 where state.legal_action_mask allows and -inf elsewhere) and applies
    jax.vmap(env.step) through pgx's auto_reset, which starts a game that ended afresh.
    The first calls compile it and are not timed; each of `repeats` timed runs makes
    `steps` calls and waits for the last with block_until_ready. Returns the median.

    XLA reads its flags when jax is imported: run this in a process of its own with
    XLA_FLAGS set as the comparison needs. Returns None when jax or pgx are missing.
    """
    try:
        import jax
        import jax.numpy as jnp
        import pgx
        from pgx.experimental import auto_reset
    except ImportError:
        return None
    env = pgx.make("chess")
    step = jax.vmap(auto_reset(env.step, env.init))

    @jax.jit
    def play(state, key):
        key, pick, reset = jax.random.split(key, 3)
        logits = jnp.where(state.legal_action_mask, 0.0, -jnp.inf)
        actions = jax.random.categorical(pick, logits, axis=-1)
        return step(state, actions, jax.random.split(reset, games)), key

    key = jax.random.PRNGKey(seed)
    state = jax.jit(jax.vmap(env.init))(jax.random.split(key, games))
    # Untimed: the first call compiles, the second runs with XLA's buffers and threads up.
    for _ in range(2):
        state, key = jax.block_until_ready(play(state, key))
    rates = []
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(steps):
            state, key = play(state, key)
        jax.block_until_ready(state)
        rates.append(games * steps / (time.perf_counter() - start))
    return float(np.median(rates))


def mctx_chess_simulations_per_second(games: int, simulations: int, repeats: int = 3,
                                      seed: int = 0) -> float | None:
    """Simulations per second of mctx.muzero_policy over pgx's chess, `games` searches at
    once from the initial position, with a zero evaluator: zero values and zero logits on
    the legal moves, the recurrent function stepping the pgx environment (its reward from
    the mover's side, discount -1 between the two players, 0 once the game ended). The
    root gets muzero_policy's default Dirichlet noise, as vantor's Search does by default.

    Jitted whole; the first search compiles it and is not timed. Returns the median of
    `repeats`, or None when jax, pgx or mctx are missing. XLA reads its flags at import:
    run this in a process of its own.
    """
    try:
        import jax
        import jax.numpy as jnp
        import mctx
        import pgx
    except ImportError:
        return None
    env = pgx.make("chess")
    lowest = jnp.finfo(jnp.float32).min

    def recurrent_fn(params, key, action, state):
        del params, key
        mover = state.current_player
        state = jax.vmap(env.step)(state, action)
        output = mctx.RecurrentFnOutput(
            reward=state.rewards[jnp.arange(games), mover],
            discount=jnp.where(state.terminated, 0.0, -1.0),
            prior_logits=jnp.where(state.legal_action_mask, 0.0, lowest),
            value=jnp.zeros(games),
        )
        return output, state

    @jax.jit
    def search(state, key):
        root = mctx.RootFnOutput(prior_logits=jnp.where(state.legal_action_mask, 0.0, lowest),
                                 value=jnp.zeros(games), embedding=state)
        return mctx.muzero_policy(params=None, rng_key=key, root=root, recurrent_fn=recurrent_fn,
                                  num_simulations=simulations, invalid_actions=~state.legal_action_mask).action

    key = jax.random.PRNGKey(seed)
    roots = jax.jit(jax.vmap(env.init))(jax.random.split(key, games))
    jax.block_until_ready(search(roots, key))
    rates = []
    for _ in range(repeats):
        key, run = jax.random.split(key)
        start = time.perf_counter()
        jax.block_until_ready(search(roots, run))
        rates.append(games * simulations / (time.perf_counter() - start))
    return float(np.median(rates))
