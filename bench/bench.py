"""Runs every benchmark in one go and prints one table (and writes it as JSON).

Each figure is a median over repeated runs; each target is a ratio of two figures taken
in the same run, so that a busy machine slows both sides alike.

    python bench/bench.py --build build [--smoke] [--json build/bench.json]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))
STOCKFISH = "/usr/games/stockfish"
START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
KIWIPETE = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"
CHESS960 = "bqnb1rkr/pp3ppp/3ppn2/2p5/5P2/P2P4/NPP1P1PP/BQ1BNRKR w HFhf - 2 9"


def engine_benchmarks(build: str, smoke: bool) -> dict[str, dict]:
    args = [os.path.join(build, "bench_engine"), "--benchmark_format=json"]
    if smoke:
        args += ["--benchmark_min_time=0.01s"]
    else:
        args += ["--benchmark_repetitions=5", "--benchmark_report_aggregates_only=true"]
    out = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    results = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name", "median") != "median":
            continue
        results[b["run_name"]] = b
    return results


def stockfish_perft_nps(fen: str, depth: int, repeats: int, chess960: bool = False) -> float | None:
    """Stockfish's perft speed, timed from the command to its node count (not startup)."""
    if not os.access(STOCKFISH, os.X_OK):
        return None
    engine = subprocess.Popen([STOCKFISH], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
    speeds = []
    try:
        if chess960:
            engine.stdin.write("setoption name UCI_Chess960 value true\n")
        engine.stdin.write("isready\n")
        engine.stdin.flush()
        for line in engine.stdout:
            if line.startswith("readyok"):
                break
        for _ in range(repeats):
            engine.stdin.write(f"position fen {fen}\n")
            start = time.perf_counter()
            engine.stdin.write(f"go perft {depth}\n")
            engine.stdin.flush()
            for line in engine.stdout:
                if line.startswith("Nodes searched"):
                    speeds.append(int(line.split(":")[1]) / (time.perf_counter() - start))
                    break
    finally:
        engine.stdin.write("quit\n")
        engine.stdin.close()
        engine.wait()
        engine.stdout.close()
    return statistics.median(speeds)


def legal_actions(env) -> list[int]:
    return [i for i, v in enumerate(v for row in env.get_actions() for v in row) if v]


def scripted_game(env, plies: int) -> list[int]:
    """The actions of a random game that lasts at least plies steps, always the same."""
    import random

    rng = random.Random(5)
    while True:
        env.reset()
        actions = []
        for _ in range(plies):
            actions.append(rng.choice(legal_actions(env)))
            if env.step(actions[-1])[3]:
                break
        else:
            return actions


def per_call(fn, calls: int, repeats: int) -> float:
    """Median seconds per call over repeats of calls."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        times.append((time.perf_counter() - start) / calls)
    return statistics.median(times)


def python_benchmarks(smoke: bool) -> dict[str, float]:
    import vantor
    import vantor_floor

    calls, repeats = (20, 3) if smoke else (2000, 9)
    env = vantor.Vantor()
    game = scripted_game(env, 120)
    env.reset()
    for action in game[:40]:
        env.step(action)
    saved = env.save_state()

    def play_game():
        env.reset()
        for action in game:
            env.step(action)

    def restore_only():
        env.restore_state(saved)

    r = {}
    r["get_actions"] = per_call(env.get_actions, calls, repeats)
    r["get_actions_floor"] = per_call(vantor_floor.mask, calls, repeats)
    # step changes the position, so it is timed over a whole game of known actions, less
    # the reset that starts it.
    games = max(1, calls // len(game))
    r["step"] = (per_call(play_game, games, repeats) - per_call(env.reset, calls, repeats)) / len(game)
    r["step_guarded"], r["step_unguarded"] = guard_cost(game, games, repeats)
    r["step_floor"] = per_call(vantor_floor.step_result, calls, repeats)
    r["reset"] = per_call(env.reset, calls, repeats)
    r["reset_floor"] = r["step_floor"]
    env.restore_state(saved)
    r["save_state"] = per_call(env.save_state, calls, repeats)
    r["save_state_floor"] = per_call(vantor_floor.state, calls, repeats)
    r["restore_state"] = per_call(restore_only, calls, repeats)
    r["restore_state_floor"] = per_call(lambda: vantor_floor.take_state(saved), calls, repeats)
    r["hash_state"] = per_call(env.hash_state, calls, repeats)
    r["hash_state_floor"] = per_call(vantor_floor.hash, calls, repeats)
    games = 5 if smoke else 200
    plies = []
    for _ in range(3 if smoke else 5):
        env.reset()
        before = env.reset()[1][113][0]
        start = time.perf_counter()
        for _ in range(games):
            env.reset()
            env.roll_out()
        seconds = time.perf_counter() - start
        plies.append((env.reset()[1][113][0] - before) / seconds)
    r["roll_out_plies_per_second"] = statistics.median(plies)
    return r


def guard_cost(game: list[int], games: int, repeats: int) -> tuple[float, float]:
    """Seconds per step of vantor.Vantor and of the same engine bound without the checks
    on self and the per-object lock, timed in alternation over the same game."""
    import vantor
    import vantor_floor

    guarded, unguarded = [], []
    for env, times in ((vantor.Vantor(), guarded), (vantor_floor.Unguarded(), unguarded)) * repeats:
        start = time.perf_counter()
        for _ in range(games):
            env.reset()
            for action in game:
                env.step(action)
        times.append((time.perf_counter() - start) / (games * len(game)))
    return statistics.median(guarded), statistics.median(unguarded)


ROLL_OUT_PROBE = textwrap.dedent(
    """
    import sys, threading, time, vantor

    def work(plies, games):
        env = vantor.Vantor()
        before = env.reset()[1][113][0]
        for _ in range(games):
            env.reset()
            env.roll_out()
        plies.append(env.reset()[1][113][0] - before)

    threads, games = int(sys.argv[1]), int(sys.argv[2])
    plies = []
    workers = [threading.Thread(target=work, args=(plies, games)) for _ in range(threads)]
    start = time.perf_counter()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    print(sum(plies) / (time.perf_counter() - start))
    """
)


def python_roll_out_scaling(module_dir: str, smoke: bool) -> dict[int, float]:
    """Plies per second of Python threads each playing roll-outs on its own Vantor, in
    fresh processes, for 1 and 2 threads. The runs alternate and the best of each is
    kept: another load on the machine only ever slows a run, and slows the run that
    needs both cores the most."""
    games, repeats = (5, 1) if smoke else (1500, 5)
    env = dict(os.environ, PYTHONPATH=module_dir)
    speeds: dict[int, list[float]] = {1: [], 2: []}
    for _ in range(repeats):
        for threads in speeds:
            out = subprocess.run([sys.executable, "-c", ROLL_OUT_PROBE, str(threads), str(games)], check=True,
                                 capture_output=True, text=True, env=env)
            speeds[threads].append(float(out.stdout))
    return {n: max(v) for n, v in speeds.items()}


THREADS_PROBE = textwrap.dedent(
    """
    import json, random, sys, sysconfig, threading, time

    kind, threads, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    if kind == "vantor":
        import vantor
    else:
        from vantor_gym import Game

    def play_vantor(seed):
        env = vantor.Vantor()
        env.reset()
        rng = random.Random(seed)
        ready.wait()
        plies, deadline = 0, time.perf_counter() + seconds
        while plies % 64 or time.perf_counter() < deadline:
            legal = [plane * 64 + square for plane, row in enumerate(env.get_actions()) if 1 in row
                     for square, allowed in enumerate(row) if allowed]
            if env.step(rng.choice(legal))[3]:
                env.reset()
            plies += 1
        return plies

    def play_game(seed):
        game = Game()
        rng = random.Random(seed)
        ready.wait()
        plies, deadline = 0, time.perf_counter() + seconds
        while plies % 64 or time.perf_counter() < deadline:
            if game.step(rng.choice(game.legal_actions()))[1]:
                game.reset()
            game.observation()
            plies += 1
        return plies

    def worker(index):
        try:
            counts[index] = (play_vantor if kind == "vantor" else play_game)(index)
        except BaseException:
            ready.abort()  # the main thread and the other workers stop waiting
            raise

    counts = [None] * threads
    ready = threading.Barrier(threads + 1)
    workers = [threading.Thread(target=worker, args=(k,)) for k in range(threads)]
    for w in workers:
        w.start()
    ready.wait()
    start = time.perf_counter()
    for w in workers:
        w.join()
    elapsed = time.perf_counter() - start
    if None in counts:
        sys.exit("a worker thread failed")
    print(json.dumps({"rate": sum(counts) / elapsed, "gil": sys._is_gil_enabled(),
                      "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED"))}))
    """
)

BATCH_SEARCH_PROBE = textwrap.dedent(
    """
    import json, sys
    import numpy as np
    import bench

    steps, simulations, repeats = map(int, sys.argv[1:4])

    def zero(observations, masks):
        return np.zeros(masks.shape, np.float32), np.zeros(len(masks), np.float32)

    script = bench.recorded_batch_game(256, steps)
    print(json.dumps({"batch": bench.batch_steps_per_second(script, 2, repeats),
                      "search": bench.search_simulations_per_second(64, zero, simulations, repeats, threads=2),
                      "gil": sys._is_gil_enabled()}))
    """
)

# Long enough for any probe on a loaded machine; a probe that takes longer is stuck.
PROBE_TIMEOUT = 600


def probe(python: str, paths: list[str], code: str, *args: object, timeout: float = PROBE_TIMEOUT) -> dict:
    """The JSON a probe prints last, run by python in a fresh process with paths first on
    its module path."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
    out = subprocess.run([python, "-c", code, *map(str, args)], check=True, capture_output=True, text=True,
                         env=env, timeout=timeout)
    return json.loads(out.stdout.strip().splitlines()[-1])


def python_thread_scaling(interpreters: dict[str, tuple[str, list[str]]], smoke: bool) -> dict[str, dict]:
    """Plies per second of 1 and 2 Python threads, each driving its own vantor.Vantor or
    vantor_gym.Game one Python call at a time, under each interpreter (its executable and
    module path), every run in a fresh process. All the runs take turns and each keeps its
    best: another load on the machine only ever slows a run, and slows the run that needs
    both cores the most."""
    seconds, repeats = (0.05, 1) if smoke else (1.0, 5)
    results = {name: {"vantor": {1: 0.0, 2: 0.0}, "game": {1: 0.0, 2: 0.0}, "gil_enabled": False}
               for name in interpreters}
    for _ in range(repeats):
        for name, (python, paths) in interpreters.items():
            for kind in ("vantor", "game"):
                for threads in (1, 2):
                    run = probe(python, paths, THREADS_PROBE, kind, threads, seconds)
                    results[name][kind][threads] = max(results[name][kind][threads], run["rate"])
                    results[name]["gil_enabled"] |= run["gil"]
    return results


def batch_search_by_interpreter(interpreters: dict[str, tuple[str, list[str]]], smoke: bool) -> dict[str, dict]:
    """BatchEnv steps per second (256 games, 2 threads, out= buffers) and Search
    simulations per second (64 games, zero evaluator, 2 threads) under each interpreter,
    in turn, each keeping its best round."""
    steps, simulations, repeats, rounds = (4, 8, 1, 1) if smoke else (150, 100, 3, 3)
    results = {name: {"batch": 0.0, "search": 0.0, "gil_enabled": False} for name in interpreters}
    for _ in range(rounds):
        for name, (python, paths) in interpreters.items():
            run = probe(python, paths, BATCH_SEARCH_PROBE, steps, simulations, repeats)
            for key in ("batch", "search"):
                results[name][key] = max(results[name][key], run[key])
            results[name]["gil_enabled"] |= run["gil"]
    return results


FT_MISSING = "/.vantor-python-ft-missing"
# Importing takes seconds; a check still going after minutes is stuck.
FT_CHECK_TIMEOUT = 120
FT_CHECK = ("import json, sys, sysconfig, vantor, vantor_gym, numpy; "
            "print(json.dumps({'free_threaded': bool(sysconfig.get_config_var('Py_GIL_DISABLED')), "
            "'gil': sys._is_gil_enabled()}))")


def free_threaded_interpreter(ft_build: str) -> tuple[tuple[str, list[str]] | None, str]:
    """python3.14t and the module path of the free-threaded build, or None and why not."""
    python = shutil.which("python3.14t")
    if python is None:
        reason = "python3.14t is not on PATH"
        try:
            with open(FT_MISSING) as f:
                lines = [line.strip() for line in f if line.strip()]
            if lines:
                reason += f" ({lines[-1]})"
        except OSError:
            pass
        return None, reason
    modules = os.path.abspath(os.path.join(ft_build, "python"))
    try:
        built = os.path.isdir(modules) and any(name.startswith("vantor.") for name in os.listdir(modules))
    except OSError as error:
        raise RuntimeError(f"cannot read {modules}: {error.strerror}") from None
    if not built:
        return None, f"no free-threaded build of the modules in {modules} (make build-ft makes one)"
    paths = [modules, os.path.join(os.path.dirname(HERE), "python"), HERE]
    try:
        check = probe(python, paths, FT_CHECK, timeout=FT_CHECK_TIMEOUT)
        free_threaded = bool(check["free_threaded"])
    except subprocess.CalledProcessError as error:
        last = (error.stderr or "").strip().splitlines()
        raise RuntimeError(f"{python} cannot import the modules of {modules}: {last[-1] if last else error}") from None
    except subprocess.TimeoutExpired:
        raise RuntimeError(f"{python} did not import the modules of {modules} in {FT_CHECK_TIMEOUT} s") from None
    except (OSError, ValueError, IndexError, KeyError, TypeError) as error:
        raise RuntimeError(f"{python} gave no answer on the modules of {modules}: {error!r}") from None
    if not free_threaded:
        return None, f"{python} is not a free-threaded build"
    return (python, paths), ""


def free_threaded_rows(threads: dict[str, dict], batches: dict[str, dict] | None, absent: str, row) -> None:
    """The rows of Python threads on the GIL build, and of python3.14t against it when it
    is here (else one row saying why not)."""
    def ratio_text(kind: str, name: str) -> tuple[str, float]:
        one, two = threads[name][kind][1], threads[name][kind][2]
        return f"{two / 1e3:.1f} k / {one / 1e3:.1f} k plies/s = {two / one:.2f}", two / one

    loops = {"vantor": "vantor.Vantor (get_actions, step)",
             "game": "vantor_gym.Game (legal_actions, step, observation)"}
    for kind, what in loops.items():
        row(f"Python threads, each its own {what}, 2 threads / 1 thread, GIL build", ratio_text(kind, "gil")[0])
    if "free_threaded" not in threads:
        row("python3.14t rows", f"no free-threaded interpreter: {absent}")
        return
    gil_enabled = threads["free_threaded"]["gil_enabled"] or bool(batches and batches["free_threaded"]["gil_enabled"])
    note = " (the GIL was enabled at import)" if gil_enabled else ""
    for kind, what in (("vantor", "vantor.Vantor"), ("game", "vantor_gym.Game")):
        ft_ns, gil_ns = 1e9 / threads["free_threaded"][kind][1], 1e9 / threads["gil"][kind][1]
        row(f"one ply of the {what} loop, one thread: python3.14t / GIL build",
            f"{ft_ns:.0f} ns / {gil_ns:.0f} ns = {ft_ns / gil_ns:.2f}{note}")
    for kind, what in loops.items():
        text, ratio = ratio_text(kind, "free_threaded")
        row(f"Python threads, each its own {what}, 2 threads / 1 thread, python3.14t", text + note, ">= 1.8",
            ratio >= 1.8 and not gil_enabled)
    if batches:
        ft, gil = batches["free_threaded"], batches["gil"]
        row("BatchEnv.step, 256 games, 2 threads, out= buffers: python3.14t / GIL build",
            f"{ft['batch'] / 1e3:.0f} k / {gil['batch'] / 1e3:.0f} k steps/s = {ft['batch'] / gil['batch']:.2f}{note}")
        row("search, 64 games, zero evaluator, 2 threads: python3.14t / GIL build",
            f"{ft['search'] / 1e3:.1f} k / {gil['search'] / 1e3:.1f} k simulations/s = "
            f"{ft['search'] / gil['search']:.2f}{note}")


def recorded_batch_game(games: int, steps: int, seed: int = 0) -> list:
    """Action arrays of random legal play in a batch of games: replayed on a new batch
    they are legal at every step (games are deterministic), so the replay times the batch
    and nothing else. Ended games restart on the next step, which ignores its action."""
    import numpy as np
    from vantor_gym import BatchEnv

    rng = np.random.default_rng(seed)
    batch = BatchEnv(games, threads=1)
    _, info = batch.reset()
    script = []
    for _ in range(steps):
        actions = np.array([rng.choice(np.flatnonzero(m)) if m.any() else 0 for m in info["action_mask"]])
        script.append(actions)
        info = batch.step(actions)[4]
    batch.close()
    return script


def batch_steps_per_second(script: list, threads: int, repeats: int, make=None, compact: bool = False) -> float:
    """Game-steps per second of replaying script: through BatchEnv.step into preallocated
    buffers (what a training loop does; compact rows instead of planes with compact), or
    through the environment make() builds."""
    import numpy as np
    from vantor_gym import BatchEnv
    from vantor_gym.compact import COMPACT_WORDS

    games = len(script[0])
    rates = []
    for _ in range(repeats):
        env = make() if make else BatchEnv(games, threads=threads, compact=compact)
        shape, dtype = ((games, COMPACT_WORDS), np.uint64) if compact else ((games, 119, 8, 8), np.int32)
        observations = np.empty(shape, dtype)
        out = {"observations": observations, "action_mask": np.empty((games, 4672), bool)}
        if make:
            env.reset()
            step = env.step
        else:
            # The reset writes the buffers once, so their pages exist before the timing.
            env.reset(out=out)
            step = lambda actions: env.step(actions, out=out)  # noqa: E731
        start = time.perf_counter()
        for actions in script:
            step(actions)
        rates.append(games * len(script) / (time.perf_counter() - start))
        env.close()
    return statistics.median(rates)


DISTRIBUTED_PROBE = textwrap.dedent(
    """
    import json, sys, time
    import ray
    from vantor_gym.distributed import SelfPlayCollector, play_chunk, uniform_random

    games, episodes, max_plies, repeats = map(int, sys.argv[1:5])

    def rate(run):
        best = 0.0
        for _ in range(repeats):
            start = time.perf_counter()
            plies = sum(e.plies for e in run())
            best = max(best, plies / (time.perf_counter() - start))
        return best

    result = {"local": rate(lambda: [e for s in range(0, episodes, games)
                                     for e in play_chunk(list(range(s, min(s + games, episodes))),
                                                         uniform_random, 0, max_plies, False, False)])}
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, configure_logging=False)
    for workers in (1, 2):
        with SelfPlayCollector(workers, games // workers, seed=0, max_plies=max_plies) as collector:
            collector.collect(workers)  # the actors are up before the timing
            result[str(workers)] = rate(lambda: collector.collect(episodes))
    ray.shutdown()
    print(json.dumps(result))
    """
)


def distributed_benchmarks(module_dir: str, smoke: bool) -> dict[str, float] | None:
    """Self-play plies per second: one BatchEnv of 64 games on the driver, and the same 64
    games spread over 1 and 2 Ray workers; None without Ray."""
    try:
        import ray  # noqa: F401
    except ImportError:
        return None
    games, episodes, max_plies, repeats = (8, 16, 20, 1) if smoke else (64, 256, 200, 3)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([module_dir, os.path.join(os.path.dirname(HERE), "python")]))
    out = subprocess.run([sys.executable, "-c", DISTRIBUTED_PROBE, str(games), str(episodes), str(max_plies),
                          str(repeats)], check=True, capture_output=True, text=True, env=env)
    return {key: float(value) for key, value in json.loads(out.stdout.strip().splitlines()[-1]).items()}


def search_benchmarks(smoke: bool) -> dict[str, float]:
    """Simulations per second of the native search with a trivial NumPy evaluator (zero
    logits and values, one call per round) from the initial position, at 64 and 256 games
    on one and two threads, and of the tests' Python reference search over a Vantor."""
    import numpy as np

    sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "python"))
    from search_reference import Reference
    import vantor
    from vantor_gym import BatchEnv
    from vantor_gym.search import Search

    def trivial(observations, masks):
        return np.zeros(masks.shape, np.float32), np.zeros(len(masks), np.float32)

    simulations, repeats = (8, 1) if smoke else (100, 3)
    rates = {}
    for games in (64, 256):
        roots = BatchEnv(games, threads=1)
        roots.reset()
        for threads in (1, 2):
            best = 0.0
            for _ in range(repeats):
                search = Search(games, trivial, simulations=simulations, threads=threads, seed=0)
                start = time.perf_counter()
                search.run(roots)
                best = max(best, games * simulations / (time.perf_counter() - start))
            rates[f"{games}/{threads}"] = best
        roots.close()
    # What one simulation costs, judging every move of each position it expands included.
    rates["roll_out_simulations"], rates["zero_simulations"] = 2 * simulations, 8 if smoke else 32
    rates["roll_out"] = search_simulations_per_second(1, "roll_out", 2 * simulations, 5 * repeats,
                                                      dirichlet_fraction=0)
    rates["zero"] = search_simulations_per_second(64, trivial, rates["zero_simulations"], repeats, threads=1)
    if not smoke:
        path = os.path.join(os.path.dirname(HERE), "tests", "data", "mate-in-two.tsv")
        with open(path) as f:
            fens = [line.split("\t")[0] for line in f if line.strip() and not line.startswith("#")]
        games = BatchEnv(len(fens), autoreset="disabled")
        games.reset(fens=fens)
        result = Search(len(fens), "roll_out", simulations=2000, dirichlet_fraction=0.0, seed=11).run(games)
        games.close()
        rates["mates"], rates["mate_positions"] = int(result.proven.sum()), len(fens)
    env = vantor.Vantor()
    env.reset()
    reference = Reference(trivial)
    start = time.perf_counter()
    reference.run(reference.root(env.save_state()), 4 * simulations)
    rates["reference"] = 4 * simulations / (time.perf_counter() - start)
    return rates


def gym_single_steps_per_second(seconds: float, seed: int = 0, draw: str = "sample") -> float:
    """vantor_gym/Chess-v0 through gymnasium.make, with OpenSpiel's loop (bench/peers.py): a
    legal action drawn, step, and reset when the game ends. The draw: "sample",
    env.action_space.sample(mask=info["action_mask"]), Gymnasium's convention (seeded by
    reset(seed=seed)); "list", random.Random(seed).choice(info["legal_actions"]) with
    legal_actions=True; "flatnonzero", random.Random(seed).choice(np.flatnonzero(mask)) of
    info["action_mask"]; "action_masks", the same of env.unwrapped.action_masks()."""
    import random

    import gymnasium
    import numpy as np
    import vantor_gym  # noqa: F401

    rng = random.Random(seed)
    env = gymnasium.make("vantor_gym/Chess-v0", legal_actions=draw == "list")
    _, info = env.reset(seed=seed)
    steps, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        if draw == "sample":
            action = env.action_space.sample(mask=info["action_mask"])
        elif draw == "list":
            action = rng.choice(info["legal_actions"])
        elif draw == "flatnonzero":
            action = rng.choice(np.flatnonzero(info["action_mask"]))
        else:
            action = rng.choice(np.flatnonzero(env.unwrapped.action_masks()))
        _, _, terminated, truncated, info = env.step(action)
        steps += 1
        if terminated or truncated:
            _, info = env.reset()
    return steps / (time.perf_counter() - start)


def game_plies_per_second(seconds: float, seed: int = 0) -> float:
    """OpenSpiel's loop (bench/peers.py) on one vantor_gym.Game: a legal action drawn with
    random.Random(seed) from legal_actions(), step, the observation read into the game's
    buffer, and reset when the game ends."""
    import random

    from vantor_gym import Game

    rng = random.Random(seed)
    game = Game()
    plies, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        if game.step(rng.choice(game.legal_actions()))[1]:
            game.reset()
        game.observation()
        plies += 1
    return plies / (time.perf_counter() - start)


BATCH_MEMORY_PROBE = textwrap.dedent(
    """
    import sys
    import numpy as np
    from vantor_gym import BatchEnv

    def rss():
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmRSS:"))

    games = int(sys.argv[1])
    out = {"observations": np.ones((games, 119, 8, 8), np.int32), "action_mask": np.ones((games, 4672), bool)}
    base = rss()
    batch = BatchEnv(games, threads=1)
    batch.reset(out=out)
    rng = np.random.default_rng(0)
    for _ in range(100):
        actions = np.array([rng.choice(np.flatnonzero(m)) if m.any() else 0 for m in out["action_mask"]])
        batch.step(actions, out=out)
    print((rss() - base) / games)
    """
)


def engine_step_ns(build: str, smoke: bool) -> float:
    """The engine's step on one board (bench_engine's Step), the fastest of its runs."""
    args = [os.path.join(build, "bench_engine"), "--benchmark_filter=^Step/", "--benchmark_format=json"]
    args += ["--benchmark_min_time=0.01s"] if smoke else ["--benchmark_repetitions=3"]
    out = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    return min(b["real_time"] for b in json.loads(out)["benchmarks"] if b.get("run_type") == "iteration")


def batch_benchmarks(module_dir: str, smoke: bool) -> dict[str, float]:
    import peers

    games = 256
    steps, repeats = (4, 1) if smoke else (150, 5)
    script = recorded_batch_game(games, steps)
    r = {"batch_all": batch_steps_per_second(script, os.cpu_count() or 1, repeats)}
    # The batch's own cost is the batch on one thread (and two) against the engine's step on
    # one board: these are timed in turn, for a few rounds, and each keeps its fastest
    # figure, since another load on the machine only ever slows a run.
    timed: dict[str, list[float]] = {"engine_step": [], "batch_one": [], "batch_one_compact": [], "batch_two": []}
    for _ in range(repeats):
        timed["engine_step"].append(engine_step_ns(os.path.dirname(module_dir), smoke))
        timed["batch_one"].append(batch_steps_per_second(script, 1, 1))
        timed["batch_one_compact"].append(batch_steps_per_second(script, 1, 1, compact=True))
        timed["batch_two"].append(batch_steps_per_second(script, 2, 1))
    r.update({key: (min if key == "engine_step" else max)(values) for key, values in timed.items()})
    from vantor_gym import BatchEnv, VantorVectorEnv

    r["vector"] = batch_steps_per_second(script, 0, repeats, make=lambda: VantorVectorEnv(games))
    r["batch_all_fresh"] = batch_steps_per_second(script, os.cpu_count() or 1, repeats,
                                                  make=lambda: BatchEnv(games))
    r["gym_single"] = gym_single_steps_per_second(0.2 if smoke else 3.0)
    r["pettingzoo"] = peers.pettingzoo_chess_steps_per_second(0.2 if smoke else 3.0) or float("nan")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([module_dir, os.path.join(os.path.dirname(HERE), "python")]))
    out = subprocess.run([sys.executable, "-c", BATCH_MEMORY_PROBE, str(200 if smoke else 4000)], check=True,
                         capture_output=True, text=True, env=env)
    r["batch_memory"] = float(out.stdout)
    return r


MEMORY_PROBE = textwrap.dedent(
    """
    import json, sys, vantor

    def rss():
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmRSS:"))

    count, game = int(sys.argv[1]), json.loads(sys.argv[2])
    base = rss()
    envs = [vantor.Vantor() for _ in range(count)]
    for e in envs:
        e.reset()
    after_reset = rss()
    for e in envs:
        for action in game:
            e.step(action)
    after_steps = rss()
    print((after_reset - base) / count, (after_steps - base) / count)
    """
)


def memory_per_environment(module_dir: str, smoke: bool) -> tuple[float, float]:
    """Resident memory per environment, in bytes, in a fresh process holding many, each
    after reset and after the same 100 steps of a random game."""
    import vantor

    count = 200 if smoke else 10_000
    game = scripted_game(vantor.Vantor(), 100)
    env = dict(os.environ, PYTHONPATH=module_dir)
    out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(count), json.dumps(game)], check=True,
                         capture_output=True, text=True, env=env)
    after_reset, after_steps = map(float, out.stdout.split())
    return after_reset, after_steps


PEER_PROBE = textwrap.dedent(
    """
    import json, sys
    import peers

    args = json.loads(sys.argv[1])
    result = {"versions": peers.jax_versions()}
    if result["versions"] is not None:
        result["pgx"] = {str(games): peers.pgx_chess_steps_per_second(games, steps, args["repeats"])
                         for games, steps in args["pgx"]}
        result["mctx"] = peers.mctx_chess_simulations_per_second(args["search_games"], args["simulations"],
                                                                 args["repeats"])
        try:
            import peer_moves
        except ImportError:  # no python-chess to read the moves with
            pass
        else:
            fens = peer_moves.perft_positions() + peer_moves.random_positions(args["positions"], seed=args["seed"])
            result["moves"] = peer_moves.compare(fens, peer_moves.pgx_moves(fens)).summary("pgx")
    print(json.dumps(result))
    """
)


def jax_peer_benchmarks(module_dir: str, args: dict) -> dict:
    """pgx and mctx in a process of their own: XLA reads its flags at import and keeps
    threads of its own, which must touch no other measurement. The process is pinned to
    the cores BatchEnv and Search run on (all of this process's), and XLA's CPU backend
    spreads its work over them."""
    tests = os.path.join(os.path.dirname(HERE), "tests", "python")
    env = dict(os.environ,
               PYTHONPATH=os.pathsep.join([module_dir, os.path.join(os.path.dirname(HERE), "python"), HERE, tests]),
               XLA_FLAGS="--xla_cpu_multi_thread_eigen=true")
    cores = os.sched_getaffinity(0)
    out = subprocess.run([sys.executable, "-c", PEER_PROBE, json.dumps(args)], check=True, capture_output=True,
                         text=True, env=env, preexec_fn=lambda: os.sched_setaffinity(0, cores))
    return json.loads(out.stdout.strip().splitlines()[-1])


def vantor_single_plies_per_second(seconds: float, seed: int = 0) -> float:
    """OpenSpiel's loop (bench/peers.py) on one vantor.Vantor: a legal action drawn with
    random.Random(seed) from get_actions(), step, whose return carries the observation, and
    reset() when the game ends. The mask's rows without a legal action are skipped whole,
    as a Python learner reading the lists would."""
    import random

    import vantor

    rng = random.Random(seed)
    env = vantor.Vantor()
    env.reset()
    plies = 0
    start = time.perf_counter()
    deadline = start + seconds
    while True:
        legal = [plane * 64 + square for plane, row in enumerate(env.get_actions()) if 1 in row
                 for square, allowed in enumerate(row) if allowed]
        if env.step(rng.choice(legal))[3]:
            env.reset()
        plies += 1
        if plies % 64 == 0 and (now := time.perf_counter()) >= deadline:
            return plies / (now - start)


def search_simulations_per_second(games: int, evaluator, simulations: int, repeats: int, **options) -> float:
    """Median simulations per second of fresh Searches of `games` games from the initial
    position."""
    from vantor_gym import BatchEnv
    from vantor_gym.search import Search

    roots = BatchEnv(games, threads=1)
    roots.reset()
    rates = []
    for k in range(repeats):
        search = Search(games, evaluator, simulations=simulations, seed=k, **options)
        start = time.perf_counter()
        search.run(roots)
        rates.append(games * simulations / (time.perf_counter() - start))
    roots.close()
    return statistics.median(rates)


def peer_rows(module_dir: str, smoke: bool, row) -> None:
    """The same work in vantor and in the strongest other implementations: OpenSpiel (one
    game, its MCTSBot), pgx on JAX (batched play) and mctx over pgx (batched search), each
    a ratio of two figures of this run, and whether they all play the same chess."""
    import numpy as np

    import peers

    sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "python"))
    try:
        import peer_moves
    except ImportError:  # no python-chess to read the moves with
        peer_moves = None

    seconds = 0.2 if smoke else 3.0
    rollout_simulations, rollout_repeats = (8, 1) if smoke else (200, 3)
    positions, seed = (40, 1) if smoke else (2000, 1)
    openspiel = peers.openspiel_version()
    if smoke:
        jax = {"skipped": True}
    else:
        jax = jax_peer_benchmarks(module_dir, {"pgx": [[256, 32], [1024, 16]], "repeats": 3, "search_games": 64,
                                               "simulations": 32, "positions": positions, "seed": seed})
    versions = jax.get("versions")
    named = [f"OpenSpiel {openspiel}" if openspiel else "no OpenSpiel"]
    if versions:
        named.append(", ".join(f"{name} {version}" for name, version in versions.items()))
    elif not smoke:
        named.append("no jax, pgx or mctx")
    row("peers compared below", "; ".join(named) + f"; {os.cpu_count()} cores for every side")

    # The single-game loops take turns, a few rounds each, so that a load on the machine
    # falls on all of them alike; each figure is its median. The Gymnasium env is driven as
    # its README shows (a draw from info["action_mask"] by action_space.sample), and for
    # comparison from the list that legal_actions=True adds, and from the mask by NumPy.
    gym = "gymnasium.make('vantor_gym/Chess-v0')"
    draws = {"sample": "action_space.sample(mask=info['action_mask'])", "list": "info['legal_actions']",
             "flatnonzero": "np.flatnonzero(info['action_mask'])", "action_masks": "env.unwrapped.action_masks()"}
    loops = {"vantor.Vantor": vantor_single_plies_per_second, "vantor_gym.Game": game_plies_per_second}
    for draw in draws:
        loops[f"{gym}, {draws[draw]}"] = lambda seconds, draw=draw: gym_single_steps_per_second(seconds, draw=draw)
    if openspiel:
        loops["OpenSpiel"] = peers.openspiel_chess_plies_per_second
    rates: dict[str, list[float]] = {name: [] for name in loops}
    for _ in range(1 if smoke else 3):
        for name, loop in loops.items():
            rates[name].append(loop(seconds))
    medians = {name: statistics.median(values) for name, values in rates.items()}
    theirs = medians.get("OpenSpiel")
    listed = medians[f"{gym}, {draws['list']}"]
    for what, target in (("vantor.Vantor", None), ("vantor_gym.Game", 2.0), (f"{gym}, {draws['sample']}", 2.0),
                         (f"{gym}, {draws['flatnonzero']}", None), (f"{gym}, {draws['action_masks']}", None)):
        rate = medians[what]
        beside = ""
        if what.endswith(draws["sample"]):
            beside = f" (from {draws['list']}: {listed / 1e3:.1f} k"
            beside += f" = {listed / theirs:.1f} x)" if theirs else ")"
        if theirs:
            row(f"{what}, one game, random legal play, observation every ply / OpenSpiel chess",
                f"{rate / 1e3:.1f} k / {theirs / 1e3:.1f} k plies/s = {rate / theirs:.1f} x{beside}",
                f">= {target} x" if target else "", rate / theirs >= target if target else None)
        else:
            row(f"{what}, one game, random legal play, observation every ply", f"{rate / 1e3:.1f} k plies/s{beside}")

    if smoke:
        row("BatchEnv / pgx, batched MCTS / mctx, legal moves / pgx",
            "skipped in a smoke run (compiling pgx's chess under XLA takes about a minute)")
    elif versions:
        for (games, steps), rate in zip(([256, 100], [1024, 50]), (jax["pgx"]["256"], jax["pgx"]["1024"])):
            script = recorded_batch_game(games, steps)
            batch = batch_steps_per_second(script, os.cpu_count() or 1, 5)
            row(f"BatchEnv.step, {games} games, {os.cpu_count()} threads, out= buffers / pgx chess "
                "(jit(vmap(step)), auto-reset, actions drawn in JAX)",
                f"{batch / 1e3:.0f} k / {rate / 1e3:.2f} k steps/s = {batch / rate:.0f} x")

    ours = search_simulations_per_second(1, "roll_out", rollout_simulations, 3 * rollout_repeats,
                                         dirichlet_fraction=0)
    theirs = peers.openspiel_mcts_simulations_per_second(rollout_simulations, rollout_repeats) if openspiel else None
    if theirs:
        row(f"MCTS, one game, random roll-outs, {rollout_simulations} simulations from the initial position: "
            "Search(1, 'roll_out') / OpenSpiel MCTSBot(uct_c=2, RandomRolloutEvaluator(1))",
            f"{ours / 1e3:.2f} k / {theirs / 1e3:.3f} k simulations/s = {ours / theirs:.1f} x")

    if not smoke and versions:
        def zero(observations, masks):
            return np.zeros(masks.shape, np.float32), np.zeros(len(masks), np.float32)

        simulations = 32
        ours = search_simulations_per_second(64, zero, simulations, 3)
        theirs = jax["mctx"]
        row(f"MCTS, 64 games, zero evaluator, {simulations} simulations: Search(64), {os.cpu_count()} threads / "
            "mctx.muzero_policy over pgx chess (jitted)",
            f"{ours / 1e3:.1f} k / {theirs / 1e3:.2f} k simulations/s = {ours / theirs:.0f} x")

    checks = []
    if peer_moves is not None and openspiel:
        fens = peer_moves.perft_positions() + peer_moves.random_positions(positions, seed=seed)
        checks.append(("OpenSpiel", peer_moves.compare(fens, peer_moves.openspiel_moves(fens)).summary("OpenSpiel")))
    if "moves" in jax:
        checks.append(("pgx", jax["moves"]))
    for name, moves in checks:
        differ = len(moves["differences"])
        row(f"legal moves from random games and the perft positions: {name} / vantor",
            f"{moves['positions'] - differ - moves['ended_differ']} of {moves['positions']} positions the same; "
            f"{moves['ended']} that {name} declares ended (mate, stalemate, insufficient material, 100 "
            f"half-moves), {moves['ended_differ']} of them with other moves"
            + (f"; first difference: {moves['differences'][0]}" if differ else ""),
            "no other difference", differ == 0)


def pgn_file_text(games: int, seed: int = 0) -> str:
    """A PGN file of random legal games of 40 to 160 plies: half written by
    vantor_gym.notation.pgn, half by python-chess with comments, glyphs and a variation at
    every twentieth ply."""
    import random

    import chess
    import chess.pgn

    import vantor
    from vantor_gym.notation import pgn, uci_to_action

    rng = random.Random(seed)
    parts = []
    for number in range(games):
        board = chess.Board()
        moves, others = [], {}
        for ply in range(rng.randrange(40, 161)):
            legal = list(board.legal_moves)
            if not legal:
                break
            moves.append(rng.choice(legal))
            if ply % 20 == 10 and len(legal) > 1:
                others[ply] = next(m for m in legal if m != moves[-1])
            board.push(moves[-1])
        if number % 2:
            game = chess.pgn.Game()
            game.headers["Round"] = str(number)
            node = game
            for ply, move in enumerate(moves):
                child = node.add_variation(move, comment="played" if ply in others else "")
                if ply in others:
                    node.add_variation(others[ply], comment="or this", nags={chess.pgn.NAG_DUBIOUS_MOVE})
                node = child
            parts.append(str(game))
        else:
            env = vantor.Vantor()
            env.reset()
            actions = []
            for move in moves:
                actions.append(uci_to_action(env, move.uci()))
                env.step(actions[-1])
            parts.append(pgn(actions, headers={"Round": str(number)}))
    return "\n\n".join(parts) + "\n"


def pgn_reading_rows(smoke: bool, row) -> None:
    """Games per second read from one PGN file: ours in columns and as PgnGame objects, against
    python-chess's chess.pgn.read_game on the same text."""
    import io
    import warnings

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            import chess.pgn
    except ImportError:
        row("PGN reading", "python-chess is not installed")
        return
    from vantor_gym.notation import read_pgn_columns, read_pgn_games

    games, repeats = (20, 1) if smoke else (400, 5)
    text = pgn_file_text(games)

    def python_chess() -> None:
        stream = io.StringIO(text)
        while chess.pgn.read_game(stream) is not None:
            pass

    def timed(read) -> float:
        times = []
        for _ in range(repeats):
            start = time.perf_counter()
            read()
            times.append(time.perf_counter() - start)
        return games / statistics.median(times)

    theirs = timed(python_chess)
    columns = timed(lambda: read_pgn_columns(io.StringIO(text)))
    objects = timed(lambda: list(read_pgn_games(io.StringIO(text))))
    row(f"read_pgn_columns / python-chess read_game, {games} games of up to 160 plies",
        f"{columns:.0f} / {theirs:.0f} games/s = {columns / theirs:.1f}", ">= 10 x", columns >= 10 * theirs)
    row("read_pgn_games (PgnGame objects) / python-chess read_game",
        f"{objects:.0f} / {theirs:.0f} games/s = {objects / theirs:.1f}", ">= 10 x", objects >= 10 * theirs)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--json", default=None)
    parser.add_argument("--smoke", action="store_true", help="a quick run that checks nothing crashes")
    parser.add_argument("--ft-build", default=None,
                        help="the free-threaded build to time under python3.14t (default: the build's name + '-ft')")
    args = parser.parse_args()
    module_dir = os.path.abspath(os.path.join(args.build, "python"))
    paths = [module_dir, os.path.join(os.path.dirname(HERE), "python"), HERE]
    sys.path[:0] = paths
    # Checked first: a free-threaded build that does not import fails the run before the long part.
    try:
        ft, ft_absent = free_threaded_interpreter(args.ft_build or os.path.normpath(args.build) + "-ft")
    except RuntimeError as error:
        sys.exit(f"bench: {error}")
    interpreters = {"gil": (sys.executable, paths)}
    if ft:
        interpreters["free_threaded"] = ft

    engine = engine_benchmarks(args.build, args.smoke)
    repeats = 1 if args.smoke else 5
    depth_start, depth_kiwi = (3, 3) if args.smoke else (5, 4)
    sf_start = stockfish_perft_nps(START, depth_start, repeats)
    sf_kiwi = stockfish_perft_nps(KIWIPETE, depth_kiwi, repeats)
    sf_960 = stockfish_perft_nps(CHESS960, depth_kiwi, repeats, chess960=True)
    py = python_benchmarks(args.smoke)
    mem_reset, mem_steps = memory_per_environment(module_dir, args.smoke)
    py_threads = python_roll_out_scaling(module_dir, args.smoke)
    thread_loops = python_thread_scaling(interpreters, args.smoke)
    batch_search = batch_search_by_interpreter(interpreters, args.smoke) if ft else None
    batch = batch_benchmarks(module_dir, args.smoke)
    distributed = distributed_benchmarks(module_dir, args.smoke)
    searches = search_benchmarks(args.smoke)

    ours_start = engine["Perft/startpos_5"]["nodes_per_second"]
    ours_kiwi = engine["Perft/kiwipete_4"]["nodes_per_second"]
    ours_960 = engine["Perft/chess960_4"]["nodes_per_second"]
    roll_out_ply_ns = 1e9 / engine["RollOutPly"]["items_per_second"]
    # Google Benchmark adds up both the plies and the time of every thread, so its rate is
    # one thread's; the throughput of N threads is N times that.
    def per_thread_count(prefix):
        return {
            int(name.rsplit(":", 1)[1]): b["items_per_second"] * int(name.rsplit(":", 1)[1])
            for name, b in engine.items()
            if name.startswith(prefix)
        }

    threads = per_thread_count("RollOutThreads")
    writes = per_thread_count("OutputWrite")
    rows = []

    def row(what, value, target="", met=None):
        rows.append({"benchmark": what, "value": value, "target": target, "met": met})

    for name, ours, theirs in (("initial position", ours_start, sf_start), ("Kiwipete", ours_kiwi, sf_kiwi),
                               ("Chess960 (bqnb1rkr, UCI_Chess960)", ours_960, sf_960)):
        if theirs:
            ratio = ours / theirs
            row(f"perft {name}: ours / Stockfish", f"{ours / 1e6:.1f} M/s / {theirs / 1e6:.1f} M/s = {ratio:.2f}",
                ">= 0.2", ratio >= 0.2)
        else:
            row(f"perft {name}", f"{ours / 1e6:.1f} M nodes/s (no Stockfish to compare)")
    row("engine get_actions", f"{engine['GetActions']['real_time']:.0f} ns")
    row("engine step", f"{engine['Step/manual_time']['real_time']:.0f} ns")
    row("engine step over 256 boards in turn", f"{engine['StepBoards/256/manual_time']['real_time']:.0f} ns")
    row("engine roll-out ply", f"{roll_out_ply_ns:.0f} ns = {roll_out_ply_ns * ours_start / 1e9:.1f} perft nodes")
    for op in ("step", "get_actions", "reset", "save_state", "restore_state", "hash_state"):
        ratio = py[op] / py[op + "_floor"]
        target = "<= 1.5" if op in ("step", "get_actions") else ""
        row(f"Python {op} / its conversion floor",
            f"{py[op] * 1e6:.2f} us / {py[op + '_floor'] * 1e6:.2f} us = {ratio:.2f}",
            target, ratio <= 1.5 if target else None)
    overhead = py["step_guarded"] / py["step_unguarded"] - 1
    row("Python step: checks on self and the object's lock",
        f"{py['step_guarded'] * 1e6:.3f} us / {py['step_unguarded'] * 1e6:.3f} us unguarded = {overhead:+.1%}",
        "<= +2 %", overhead <= 0.02)
    plies = py["roll_out_plies_per_second"]
    row("Python roll_out, one thread", f"{plies / 1e3:.0f} k plies/s", ">= 500 k", plies >= 500_000)
    row("memory per Vantor after reset", f"{mem_reset / 1024:.1f} KiB")
    row("memory per Vantor after 100 steps", f"{mem_steps / 1024:.1f} KiB", "<= 48 KiB", mem_steps <= 48 * 1024)
    one = threads.get(1)
    for n, speed in sorted(threads.items()):
        if n == 1:
            continue
        ratio = speed / one
        row(f"roll-outs on {n} threads / 1 thread", f"{ratio:.2f}", f">= {0.9 * n:.1f}", ratio >= 0.9 * n)

    pz = batch["pettingzoo"]
    row("PettingZoo chess_v6 AEC, random legal moves", f"{pz / 1e3:.2f} k steps/s")
    ratio = batch["batch_all"] / pz
    row(f"BatchEnv.step, 256 games, {os.cpu_count()} threads, out= buffers / PettingZoo",
        f"{batch['batch_all'] / 1e3:.0f} k steps/s = {ratio:.0f} x", ">= 150 x", ratio >= 150)
    row("BatchEnv.step, 256 games, outputs allocated each step",
        f"{batch['batch_all_fresh'] / 1e3:.0f} k steps/s")
    engine_step = batch["engine_step"]
    ratio = 1e9 / batch["batch_one"] / engine_step
    row("BatchEnv game-step on one thread / engine step on one board (fastest of runs in turn)",
        f"{1e9 / batch['batch_one']:.0f} ns / {engine_step:.0f} ns = {ratio:.2f}", "<= 1.3", ratio <= 1.3)
    ratio = 1e9 / batch["batch_one_compact"] / engine_step
    row("BatchEnv game-step on one thread, compact observations / engine step on one board (the same)",
        f"{1e9 / batch['batch_one_compact']:.0f} ns / {engine_step:.0f} ns = {ratio:.2f}", "<= 1.15", ratio <= 1.15)
    # The engine stepping 256 boards in turn pays the same cache misses as the batch does.
    engine_many = engine["StepBoards/256/manual_time"]["real_time"]
    row("BatchEnv game-step on one thread / engine step over 256 boards in turn",
        f"{1e9 / batch['batch_one']:.0f} ns / {engine_many:.0f} ns = {1e9 / batch['batch_one'] / engine_many:.2f}")
    # What no batch can avoid: its outputs travel to memory. With 256 games they are 9 MB a
    # step, past every cache.
    write_ns = 1e9 / writes[1]
    row("writing one game's outputs into 256 rows, no chess, one thread", f"{write_ns:.0f} ns")
    row("BatchEnv game-step on one thread / (engine step on one board + writing its outputs)",
        f"{1e9 / batch['batch_one']:.0f} ns / {engine_step + write_ns:.0f} ns = "
        f"{1e9 / batch['batch_one'] / (engine_step + write_ns):.2f}")
    ratio = batch["batch_two"] / batch["batch_one"]
    row("BatchEnv.step on 2 threads / 1 thread (fastest of runs in turn)", f"{ratio:.2f}", ">= 1.8", ratio >= 1.8)
    if 2 in writes:
        row("writing the outputs alone on 2 threads / 1 thread", f"{writes[2] / writes[1]:.2f}")
    ratio = batch["vector"] / batch["batch_all_fresh"]
    row("VantorVectorEnv(256).step / BatchEnv.step (both allocating)", f"{ratio:.2f}", ">= 0.8", ratio >= 0.8)
    ratio = batch["gym_single"] / pz
    row("gymnasium.make('vantor_gym/Chess-v0') / PettingZoo",
        f"{batch['gym_single'] / 1e3:.1f} k steps/s = {ratio:.0f} x", ">= 20 x", ratio >= 20)
    if distributed:
        local = distributed["local"]
        row("self-play, 64 games in one BatchEnv on the driver (uniform random policy)", f"{local / 1e3:.1f} k plies/s")
        for workers in ("1", "2"):
            ratio = distributed[workers] / local
            row(f"self-play on {workers} Ray worker{'s' if workers == '2' else ''}, 64 games in all / on the driver",
                f"{distributed[workers] / 1e3:.1f} k plies/s = {ratio:.2f}")
    reference = searches["reference"]
    row("Python reference search over a Vantor, trivial evaluator", f"{reference:.0f} simulations/s")
    for games in (64, 256):
        rate = searches[f"{games}/2"]
        ratio = rate / reference
        row(f"search, {games} games, trivial NumPy evaluator, 2 threads / Python reference",
            f"{rate / 1e3:.1f} k simulations/s = {ratio:.0f} x", ">= 50 x", ratio >= 50)
    ratio = searches["256/2"] / searches["256/1"]
    row("search, 256 games, 2 threads / 1 thread", f"{ratio:.2f}")
    # The cost before moves that end the game (and, among few, those that allow a mate in
    # one) were judged at expansion, measured on this machine in the same way.
    row(f"search, cost per simulation: one game, random roll-outs, {searches['roll_out_simulations']:.0f} "
        f"simulations from the initial position / 64 games, trivial evaluator, {searches['zero_simulations']:.0f} "
        "simulations, 1 thread",
        f"{1e6 / searches['roll_out']:.0f} µs / {1e6 / searches['zero']:.1f} µs",
        "177 µs / 4.1 µs before moves were judged at expansion (200 and 32 simulations)")
    if "mates" in searches:
        mates, positions = searches["mates"], searches["mate_positions"]
        row("mates in two from random games (tests/data/mate-in-two.tsv) proven within 2,000 roll-out simulations",
            f"{mates:.0f} of {positions:.0f}", "all", mates == positions)
    mem = batch["batch_memory"]
    row("BatchEnv memory per game after 100 steps, besides outputs", f"{mem / 1024:.1f} KiB", "<= 48 KiB",
        mem <= 48 * 1024)
    ratio = py_threads[2] / py_threads[1]
    engine_ratio = threads[2] / one if one and 2 in threads else float("nan")
    row("Python roll-outs on 2 threads / 1 thread (GIL released)",
        f"{ratio:.2f} (the engine alone: {engine_ratio:.2f})", ">= 1.8", ratio >= 1.8)
    free_threaded_rows(thread_loops, batch_search, ft_absent, row)

    peer_rows(module_dir, args.smoke, row)
    pgn_reading_rows(args.smoke, row)
    from positions import position_rows  # bench/, on the path above

    position_rows(args.smoke, row)
    from human_games import human_game_rows  # bench/, on the path above

    human_game_rows(args.smoke, row)

    print(f"Benchmarks ({'smoke run' if args.smoke else 'medians'}), {time.strftime('%Y-%m-%d')}, "
          f"{platform.machine()}, {os.cpu_count()} cores\n")
    print("| benchmark | value | target | met |")
    print("|---|---|---|---|")
    for r in rows:
        met = "" if r["met"] is None else ("yes" if r["met"] else "NO")
        print(f"| {r['benchmark']} | {r['value']} | {r['target']} | {met} |")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"date": time.strftime("%Y-%m-%d"), "smoke": args.smoke, "rows": rows,
                       "engine": engine, "python": py,
                       "python_threads": {"plies_per_second": thread_loops, "batch_search": batch_search,
                                          "free_threaded_absent": ft_absent or None}}, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
