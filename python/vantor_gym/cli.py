"""The ``vantor`` command (also ``python -m vantor_gym``): perft, matches, self-play and a
quick benchmark.

    vantor perft startpos 4 --divide
    vantor match random search:50 --games 4 --pgn games.pgn
    vantor selfplay --episodes 16 --out episodes.npz --local
    vantor bench
    vantor dataset build 2024-01.pgn.zst --out games --min-rating 1800
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Generator, Iterator, Sequence
from contextlib import ExitStack, contextmanager
from typing import IO, Any

import numpy as np
import numpy.typing as npt

import vantor
from vantor_gym import _native
from vantor_gym._numbers import INT32_MAX, integer, real
from vantor_gym._parsing import Parser, whole
from vantor_gym._storage import replace_atomically
from vantor_gym.chess960 import start_fen
from vantor_gym.dataset import SHARD_GAMES
from vantor_gym.distributed import Episode, SelfPlayCollector, play_chunk, uniform_random
from vantor_gym.fen import read_fen, read_start
from vantor_gym.players import Player, make_player
from vantor_gym.progress import Progress
from vantor_gym.rules import RULES
from vantor_gym.uci import EngineError, UciEngine
from vantor_gym.view._flags import add_view_flags
from vantor_gym.view.feed import GameFeed

__all__ = ["main", "perft", "divide", "make_player"]

START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
# The count recurses a level a ply; no position has a tree this deep that a count could finish.
MAX_DEPTH = 100
_SEED_MAX = 2**63 - 2  # the second player's seed is one more



def _board(fen_text: str) -> vantor.Vantor:
    """A board at the position of fen_text (``startpos`` for the initial one)."""
    board = vantor.Vantor()
    board.parse_fen(read_fen(START_FEN if fen_text == "startpos" else fen_text).position)
    return board


def _legal(board: vantor.Vantor) -> list[int]:
    actions: list[int] = []
    for plane, row in enumerate(board.get_actions()):
        # Most planes hold no legal move; any() skips them at C speed.
        if any(row):
            actions.extend(64 * plane + square for square, flag in enumerate(row) if flag)
    return actions


def _count(board: vantor.Vantor, depth: int) -> int:
    if depth == 1:
        return sum(map(sum, board.get_actions()))
    root = board.save_state()
    total = 0
    for action in _legal(board):
        board.step(action)
        total += _count(board, depth - 1)
        board.restore_state(root)
    return total


def _depth(depth: int) -> int:
    return integer(depth, "depth", 0, MAX_DEPTH)


def divide(fen_text: str, depth: int, progress: bool | None = None) -> list[tuple[str, int]]:
    """Each legal move of the position in UCI with the leaf count below it at ``depth``
    (at least 1), in UCI order. Draws by repetition or the half-move rule do not stop
    the count: perft counts moves, not games."""
    if _depth(depth) < 1:
        raise ValueError("divide needs a depth of at least 1")
    board = _board(fen_text)
    root = board.save_state()
    moves = sorted(_native.legal_moves(root), key=lambda move: move[1])
    counts = []
    with Progress(len(moves), "root moves", progress) as shown:
        for action, uci, _ in moves:
            board.step(action)
            counts.append((uci, 1 if depth == 1 else _count(board, depth - 1)))
            board.restore_state(root)
            shown.update()
    return counts


def perft(fen_text: str, depth: int) -> int:
    """The number of leaf nodes ``depth`` plies below the position (1 at depth 0)."""
    board = _board(fen_text)
    return 1 if _depth(depth) == 0 else _count(board, depth)


def _run_perft(args: argparse.Namespace) -> int:
    if args.divide:
        counts = divide(args.fen, args.depth, args.progress)
        for uci, count in counts:
            print(f"{uci}: {count}")
        print(f"\nNodes searched: {sum(count for _, count in counts)}")
    else:
        print(perft(args.fen, args.depth))
    return 0



def _watched(args: argparse.Namespace, stack: ExitStack) -> GameFeed | None:
    """With --view, the feed of the games the command plays, served to a watch page."""
    if not args.view:
        return None
    from vantor_gym.view import GameFeed, Viewer

    feed = GameFeed()
    viewer = stack.enter_context(Viewer(feed=feed, port=args.view_port))
    print(f"watch the games at {viewer.address('watch')}", file=sys.stderr, flush=True)
    return feed


def _run_view(args: argparse.Namespace) -> int:
    from vantor_gym.view import Viewer

    if args.movetime is not None and real(args.movetime, "--movetime") <= 0:
        raise ValueError(f"--movetime must be above 0 seconds, not {args.movetime}")
    integer(args.port, "--port", 0, 65535)
    pgn_path = run = None
    if args.path is not None:
        if os.path.isdir(args.path):
            run = args.path
        elif os.path.isfile(args.path):
            pgn_path = args.path
        else:
            raise FileNotFoundError(f"no PGN file or run directory at {args.path!r}")
    elif args.play is None:
        raise ValueError("give a PGN file, a run directory, or --play PLAYER")
    with Viewer(pgn=pgn_path, run=run, play=args.play, host=args.host, port=args.port, token=args.token,
                movetime=args.movetime, rules=args.rules, chess960=args.chess960) as viewer, _ended_by_sigterm():
        try:  # from the moment the address is out, Ctrl-C (or SIGTERM) is the way to end it
            print(f"Vantor's viewer at {viewer.url} (Ctrl-C ends it)", flush=True)
            while True:
                time.sleep(3600)
        except KeyboardInterrupt:
            pass
    return 0


@contextmanager
def _ended_by_sigterm() -> Iterator[None]:
    """SIGTERM ends a server as Ctrl-C does: a service manager's stop, or a process started
    in the background, where SIGINT is ignored."""

    def stop(signum: int, frame: object) -> None:
        raise KeyboardInterrupt

    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, stop)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def _run_match(args: argparse.Namespace) -> int:
    from vantor_gym.match import play_match

    integer(args.games, "--games", 1)
    if args.max_plies is not None:
        integer(args.max_plies, "--max-plies", 1, INT32_MAX)
    if args.seed is not None:
        integer(args.seed, "--seed", 0, _SEED_MAX)
    if args.movetime is not None and real(args.movetime, "--movetime") <= 0:
        raise ValueError(f"--movetime must be above 0 seconds, not {args.movetime}")
    for number, text in enumerate(args.fen or [], start=1):
        try:
            read_start(text, args.rules, args.chess960)
        except ValueError as error:
            raise ValueError(f"--fen number {number}: {error}") from None
    _check_outputs({"--pgn": args.pgn})
    with ExitStack() as stack:
        feed = _watched(args, stack)
        seeds = (None, None) if args.seed is None else (args.seed, args.seed + 1)
        a = make_player(args.player_a, stack, seed=seeds[0], movetime=args.movetime, rules=args.rules,
                        chess960=args.chess960)
        b = make_player(args.player_b, stack, seed=seeds[1], movetime=args.movetime, rules=args.rules,
                        chess960=args.chess960)
        result = play_match(a, b, args.games, start_fens=args.fen or None, max_plies=args.max_plies,
                            names=(args.player_a, args.player_b), progress=args.progress, feed=feed,
                            rules=args.rules, chess960=args.chess960, seed=args.seed if args.chess960 else None)
    low, high = result.elo_interval
    print(f"{args.player_a} against {args.player_b}, {result.played} games")
    print(f"{result.wins} won, {result.draws} drawn, {result.losses} lost: score {result.score:.1%}")
    print(f"Elo difference {result.elo:+.0f}, 95 % interval {low:+.0f} .. {high:+.0f}")
    outputs = _Outputs()
    if args.pgn is not None:
        written = outputs.write(args.pgn, ".pgn", lambda out: out.write("\n".join(result.pgns).encode()))
        print(f"PGN written to {written}")
    return 1 if outputs.moved else 0



def _local_episodes(args: argparse.Namespace) -> Generator[Episode, None, None]:
    size = args.envs_per_worker
    for first in range(0, args.episodes, size):
        indices = list(range(first, min(first + size, args.episodes)))
        yield from play_chunk(indices, uniform_random, args.seed, args.max_plies, args.record_observations,
                              args.pgn is not None, args.compact, args.rules, args.chess960)


def _ray_episodes(args: argparse.Namespace) -> Generator[Episode, None, None]:
    import ray

    started = not ray.is_initialized()
    if started:
        ray.init(num_cpus=args.workers, include_dashboard=False, log_to_driver=False, configure_logging=False)
    try:
        with SelfPlayCollector(args.workers, args.envs_per_worker, seed=args.seed, max_plies=args.max_plies,
                               record_observations=args.record_observations,
                               record_pgn=args.pgn is not None, compact=args.compact, rules=args.rules,
                               chess960=args.chess960) as collector:
            yield from collector.episodes(args.episodes)
    finally:
        if started:
            ray.shutdown()


def save_episodes(path: str | os.PathLike[str] | IO[bytes], episodes: Sequence[Episode], *,
                  chess960: bool = False) -> None:
    """Writes episodes to one ``.npz``: a row per episode in ``index``, ``result``,
    ``plies``, ``truncated``; the plies of all episodes end to end in ``actions``,
    ``rewards`` (and ``observations``, ``masks`` when recorded), episode k's being rows
    ``offsets[k]`` to ``offsets[k + 1]``; Chess960 episodes (or ``chess960``, for a file
    of none) add ``chess960_start``, each episode's start number."""
    if not all(isinstance(e, Episode) for e in episodes):
        raise TypeError("episodes must be vantor_gym.distributed.Episode objects")
    plies = np.array([e.plies for e in episodes], np.int64)
    arrays: dict[str, npt.NDArray[np.generic]] = {
        "index": np.array([e.index for e in episodes], np.int64),
        "result": np.array([e.result for e in episodes], np.int8),
        "plies": plies,
        "truncated": np.array([e.truncated for e in episodes], bool),
        "offsets": np.concatenate([[0], np.cumsum(plies)]).astype(np.int64),
        "actions": np.concatenate([np.zeros(0, np.int32), *(e.actions for e in episodes)]),
        "rewards": np.concatenate([np.zeros(0, np.int8), *(e.rewards for e in episodes)]),
    }
    if chess960 or any(e.chess960_start >= 0 for e in episodes):
        arrays["chess960_start"] = np.array([e.chess960_start for e in episodes], np.int16)
    recorded = [e for e in episodes if e.observations is not None and e.masks is not None]
    if recorded and len(recorded) == len(episodes):
        arrays["observations"] = np.concatenate([e.observations for e in recorded])
        arrays["masks"] = np.concatenate([e.masks for e in recorded])
    if isinstance(path, (str, os.PathLike)):
        with open(path, "wb") as out:  # opened here, so that no ".npz" is added to the name
            np.savez_compressed(out, **arrays)  # type: ignore[arg-type]
    else:
        np.savez_compressed(path, **arrays)  # type: ignore[arg-type]


def _check_output(path: str, flag: str) -> str:
    """The file path names (a link followed), or ValueError naming the flag unless a file
    can be written there: its directory exists and takes a new file of that name's length
    (tried with a file of its own), and path is a regular file or none."""
    if not path:
        raise ValueError(f"{flag} must name a file")
    target = os.path.realpath(path)
    if os.path.isdir(target):
        raise ValueError(f"{flag} {path!r} is a directory")
    if os.path.exists(target) and not os.path.isfile(target):
        # A device or a pipe would be replaced by the file renamed over it.
        raise ValueError(f"{flag} {path!r} is not a regular file")
    folder, name = os.path.split(target)
    if not os.path.isdir(folder):
        raise ValueError(f"{flag} {path!r}: there is no directory {folder!r}")
    try:
        longest = os.pathconf(folder, "PC_NAME_MAX")
    except (OSError, ValueError):
        longest = 255
    if len(os.fsencode(name)) > longest:
        raise ValueError(f"{flag} {path!r}: the name is longer than the {longest} bytes a name may have there")
    try:
        with tempfile.NamedTemporaryFile(dir=folder, prefix=".vantor-"):
            pass
    except OSError as error:
        raise ValueError(f"{flag} {path!r}: cannot write into {folder!r} ({error.strerror})") from None
    return target


def _check_outputs(flags: dict[str, str | None]) -> None:
    """Each output checked, and no two the same file: the second would replace the first."""
    seen: dict[str, str] = {}
    for flag, path in flags.items():
        if path is None:
            continue
        target = _check_output(path, flag)
        if target in seen:
            raise ValueError(f"{seen[target]} and {flag} name the same file {path!r}")
        seen[target] = flag


class _Outputs:
    """Where a command's results went: written in place, or, when that failed after the
    work, into the temporary directory, which the command's status then says."""

    def __init__(self) -> None:
        self.moved = False

    def write(self, path: str, suffix: str, write: Callable[[IO[bytes]], object]) -> str:
        def into(temporary: str) -> None:
            with open(temporary, "wb") as out:
                write(out)

        try:
            replace_atomically(path, into)
            return path
        except OSError as error:
            handle, fallback = tempfile.mkstemp(prefix="vantor-", suffix=suffix)
            with os.fdopen(handle, "wb") as out:
                write(out)
            print(f"vantor: cannot write {path!r} ({error.strerror or error}): written to {fallback} instead",
                  file=sys.stderr)
            self.moved = True
            return fallback


def _run_selfplay(args: argparse.Namespace) -> int:
    integer(args.episodes, "--episodes", 0)
    integer(args.workers, "--workers", 1, 1024)
    integer(args.envs_per_worker, "--envs-per-worker", 1, INT32_MAX)
    if args.seed is not None:
        integer(args.seed, "--seed", 0, _SEED_MAX)
    if args.max_plies is not None:
        integer(args.max_plies, "--max-plies", 1, INT32_MAX)
    _check_outputs({"--out": args.out, "--pgn": args.pgn})
    with ExitStack() as stack:
        feed = _watched(args, stack)
        return _play_selfplay(args, feed)


def _play_selfplay(args: argparse.Namespace, feed: GameFeed | None) -> int:
    source = _local_episodes(args) if args.local else _ray_episodes(args)
    episodes: list[Episode] = []
    plies, interrupted = 0, False
    with Progress(args.episodes, "episodes", args.progress) as shown:
        try:
            for episode in source:
                if feed is not None:
                    result = "*" if episode.truncated else ("1/2-1/2", "1-0", "0-1")[episode.result]
                    start = None if episode.chess960_start < 0 else start_fen(episode.chess960_start)
                    feed.add(episode.actions.tolist(), result, "random", "random", start, rules=args.rules,
                             chess960=args.chess960)
                episodes.append(episode)
                plies += episode.plies
                shown.update(plies=f"{plies:,}")
        except KeyboardInterrupt:
            interrupted = True  # the episodes that ended are kept
        finally:
            source.close()
    if interrupted and not episodes:
        print("vantor selfplay: interrupted before any episode ended", file=sys.stderr)
        return 130
    outputs = _Outputs()
    out = outputs.write(args.out, ".npz", lambda file: save_episodes(file, episodes, chess960=args.chess960))
    if args.pgn is not None:
        outputs.write(args.pgn, ".pgn", lambda file: file.write("\n".join(e.pgn or "" for e in episodes).encode()))
    results = [e.result for e in episodes]
    print(f"{len(episodes)} episodes, {plies:,} plies: 1-0 {results.count(1)}, 0-1 {results.count(-1)}, "
          f"drawn or cut {results.count(0)}; written to {out}")
    if interrupted:
        print(f"vantor selfplay: interrupted; the {len(episodes)} episodes that had ended were written",
              file=sys.stderr)
        return 130
    return 1 if outputs.moved else 0



def _listed(values: list[str] | None) -> list[str] | None:
    """Values of a repeatable flag, each of which may be a comma-separated list."""
    if values is None:
        return None
    return [item.strip() for value in values for item in value.split(",")]


def _run_dataset_build(args: argparse.Namespace) -> int:
    from vantor_gym.dataset import DECIDED, build_dataset

    try:
        built = build_dataset(args.games, args.out, min_rating=args.min_rating,
                              time_controls=_listed(args.time_control), results=_listed(args.results) or DECIDED,
                              rated_only=args.rated_only, min_plies=args.min_plies, shard_games=args.shard_games,
                              overwrite=args.overwrite, ray_address=args.ray, progress=args.progress)
    except RuntimeError as error:  # a Ray task that failed past its retries
        raise ValueError(str(error)) from None
    totals = built.manifest["totals"]
    print(f"{len(built):,} games kept of {totals['games_read']:,} read, {built.plies:,} plies, "
          f"{len(built.shards)} shards, {totals['bytes']:,} bytes "
          f"({totals['bytes'] / max(built.plies, 1):.2f} a ply) in {built.path}")
    return 0


def _run_dataset_info(args: argparse.Namespace) -> int:
    from vantor_gym.dataset import GameDataset

    built = GameDataset(args.dir)
    totals = built.manifest["totals"]
    print(f"{built.path}: {len(built):,} games, {built.plies:,} plies, {len(built.shards)} shards, "
          f"{totals['bytes']:,} bytes ({totals['bytes'] / max(built.plies, 1):.2f} a ply)")
    print(f"options: {', '.join(f'{key} {json.dumps(value)}' for key, value in sorted(built.options.items()))}")
    for entry in built.manifest["sources"]:
        skipped = ", ".join(f"{reason} {count:,}" for reason, count in entry["skipped"].items() if count)
        print(f"{entry['path']}: {entry['games_kept']:,} of {entry['games_read']:,} games kept"
              + (f"; skipped: {skipped}" if skipped else ""))
    return 0



def _random_game(board: vantor.Vantor, rng: np.random.Generator, plies: int) -> list[int]:
    """The actions of a random game of at most ``plies`` plies from the initial position."""
    board.reset()
    actions: list[int] = []
    done = 0
    while not done and len(actions) < plies:
        actions.append(int(rng.choice(_legal(board))))
        done = board.step(actions[-1])[3]
    return actions


def _engine_steps_per_second(seconds: float, rng: np.random.Generator) -> float:
    """Vantor.step from Python, replaying recorded games so that only the steps are timed."""
    board = vantor.Vantor()
    games = [_random_game(board, rng, 200) for _ in range(4)]
    steps, spent, end = 0, 0.0, time.monotonic() + seconds
    while steps == 0 or time.monotonic() < end:  # at least one round, however short the time
        for game in games:
            board.reset()
            start = time.perf_counter()
            for action in game:
                board.step(action)
            spent += time.perf_counter() - start
            steps += len(game)
    return steps / spent


def _roll_outs_per_second(seconds: float) -> float:
    """Whole random games from the initial position played in C++ by Vantor.roll_out."""
    board = vantor.Vantor()
    games, spent, end = 0, 0.0, time.monotonic() + seconds
    while games == 0 or time.monotonic() < end:
        board.reset()
        start = time.perf_counter()
        board.roll_out()
        spent += time.perf_counter() - start
        games += 1
    return games / spent


def _batch_steps_per_second(seconds: float, rng: np.random.Generator, games: int = 256) -> tuple[float, int]:
    """BatchEnv.step on all cores into preallocated buffers; the actions are drawn in
    NumPy outside the timing (a uniform legal action: the largest random key among them)."""
    from vantor_gym.batch import BatchEnv

    out = {"observations": np.empty((games, 119, 8, 8), np.int32), "action_mask": np.empty((games, 4672), bool)}
    with BatchEnv(games) as batch:
        batch.reset(out=out)
        steps, spent, end = 0, 0.0, time.monotonic() + seconds
        while steps == 0 or time.monotonic() < end:
            actions = (rng.random(out["action_mask"].shape) * out["action_mask"]).argmax(axis=1)
            start = time.perf_counter()
            batch.step(actions, out=out)
            spent += time.perf_counter() - start
            steps += games
        return steps / spent, batch.threads


def _run_bench(args: argparse.Namespace) -> int:
    if not 0 < real(args.seconds, "--seconds") <= 600:
        raise ValueError(f"--seconds must be above 0 and at most 600, not {args.seconds}")
    rng = np.random.default_rng(0)
    share = args.seconds / 3  # of wall-clock time; only the calls measured are timed
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"cores: {os.cpu_count()} ({usable} usable by this process)")
    print(f"Vantor.step from Python: {_engine_steps_per_second(share, rng):,.0f} steps/s")
    print(f"Vantor.roll_out: {_roll_outs_per_second(share):,.0f} games/s (random games of up to 400 plies)")
    rate, threads = _batch_steps_per_second(share, rng)
    print(f"BatchEnv.step, 256 games on {threads} threads: {rate:,.0f} game-steps/s")
    return 0



def _add_common(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                        help="show progress on standard error (default: only when it is a terminal)")


def _add_rules(parser: argparse.ArgumentParser, games: str) -> None:
    parser.add_argument("--rules", choices=RULES, default="standard",
                        help=f"the rules {games} (vantor_gym.rules; default: %(default)s; module: the vantor "
                             "module's own)")


def _add_dataset(commands: Any) -> None:
    dataset = commands.add_parser("dataset", help="build a game dataset in Parquet from PGN files, or describe one")
    actions = dataset.add_subparsers(dest="action", required=True, metavar="ACTION")
    build = actions.add_parser(
        "build", help="build a game dataset from PGN files (plain, .zst, .gz, .bz2, .xz)",
        description="Keeps the games that pass every filter, in source order, in zstd Parquet shards with a "
                    "manifest; a rerun of an interrupted build goes on where it stopped. Needs vantor[data].")
    build.add_argument("games", nargs="+", metavar="GAMES", help="the PGN files")
    build.add_argument("--out", required=True, metavar="DIR", help="the dataset's directory (new, empty, or "
                       "an earlier run of this build)")
    build.add_argument("--min-rating", type=whole, default=None, metavar="N",
                       help="keep games whose players are both rated N or more")
    build.add_argument("--time-control", action="append", metavar="TC",
                       help="keep games of these TimeControl values (300+3) or categories (ultrabullet, bullet, "
                            "blitz, rapid, classical, correspondence); comma-separated, repeatable")
    build.add_argument("--results", action="append", metavar="R",
                       help="keep games of these results: 1-0, 0-1, 1/2-1/2, * (default: the first three); "
                            "comma-separated, repeatable")
    build.add_argument("--rated-only", action="store_true", help="keep games whose Event says Rated")
    build.add_argument("--min-plies", type=whole, default=0, metavar="N", help="keep games of N plies or more")
    build.add_argument("--shard-games", type=whole, default=SHARD_GAMES, metavar="N",
                       help="games a shard holds at most (default %(default)s)")
    build.add_argument("--ray", default=None, metavar="ADDRESS", help="a Ray task a source on this cluster "
                       "(DIR and GAMES where every node sees them)")
    build.add_argument("--overwrite", action="store_true", help="replace a dataset built with other options "
                       "or from other files in DIR")
    _add_common(build)
    build.set_defaults(run=_run_dataset_build)
    info = actions.add_parser("info", help="what a game dataset holds")
    info.add_argument("dir", metavar="DIR")
    info.set_defaults(run=_run_dataset_info)


def _parser() -> argparse.ArgumentParser:
    parser = Parser(prog="vantor", description="The Vantor chess environment's tools.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    perft_cmd = commands.add_parser("perft", help="count the leaf nodes of the legal-move tree")
    perft_cmd.add_argument("fen", metavar="FEN", help="a FEN (quoted) or 'startpos'")
    perft_cmd.add_argument("depth", metavar="DEPTH", type=whole, help="plies to count to")
    perft_cmd.add_argument("--divide", action="store_true", help="the count below each legal move")
    _add_common(perft_cmd)
    perft_cmd.set_defaults(run=_run_perft)

    match_cmd = commands.add_parser(
        "match", help="play a match between two players",
        description="Players: random; mc:N (flat Monte-Carlo, N roll-outs per legal move); search:N (the "
                    "tree search, N simulations per move, leaves valued by a random roll-out); baseline[:N] (the "
                    "trained baseline network with N simulations per move, 32 by default); net:PATH[:N] (a network "
                    "a training run saved); "
                    "uci:PATH[:name=value,...] (a UCI engine and its options).")
    match_cmd.add_argument("player_a", metavar="PLAYER_A")
    match_cmd.add_argument("player_b", metavar="PLAYER_B")
    match_cmd.add_argument("--games", type=whole, default=2, help="games, colours alternating (default 2)")
    match_cmd.add_argument("--movetime", type=float, default=None, help="seconds per move of UCI engines")
    match_cmd.add_argument("--max-plies", type=whole, default=None, help="a game this long is a draw")
    match_cmd.add_argument("--fen", action="append", help="a start position (repeatable; each played twice)")
    match_cmd.add_argument("--seed", type=whole, default=None, help="seeds the random and search players")
    match_cmd.add_argument("--pgn", default=None, help="write the games' PGN to this file")
    _add_rules(match_cmd, "the games are played under (a UCI engine plays only standard or automatic)")
    match_cmd.add_argument("--chess960", action="store_true",
                           help="play Chess960: each pair of games from a start drawn from --seed (or the --fen "
                                "starts, read as Chess960 FEN)")
    _add_common(match_cmd)
    add_view_flags(match_cmd)
    match_cmd.set_defaults(run=_run_match)

    selfplay = commands.add_parser("selfplay", help="random self-play episodes to a .npz file")
    selfplay.add_argument("--episodes", type=whole, default=64)
    selfplay.add_argument("--out", required=True, help="the .npz file to write")
    selfplay.add_argument("--workers", type=whole, default=2, help="Ray workers (default 2)")
    selfplay.add_argument("--envs-per-worker", type=whole, default=64, help="games per worker's batch")
    selfplay.add_argument("--seed", type=whole, default=None)
    selfplay.add_argument("--max-plies", type=whole, default=None, help="cut games after this many plies")
    selfplay.add_argument("--record-observations", action="store_true", help="store observations and masks")
    selfplay.add_argument("--compact", action="store_true",
                          help="store observations as 108 uint64 words a position (vantor_gym.expand_observations "
                               "makes the planes)")
    selfplay.add_argument("--pgn", default=None, help="also write the games' PGN to this file")
    selfplay.add_argument("--local", action="store_true", help="play on this process without Ray")
    _add_rules(selfplay, "the episodes are played under")
    selfplay.add_argument("--chess960", action="store_true",
                          help="play Chess960, each episode from one of the 960 starts drawn from --seed")
    _add_common(selfplay)
    add_view_flags(selfplay)
    selfplay.set_defaults(run=_run_selfplay)

    commands.add_parser("train", help="train an agent for --minutes of training time (60 by default): engine games, "
                                      "imitation, then self-play, 1/6, 1/2 and 1/3 of it (needs PyTorch; "
                                      "'vantor train --help' lists the flags)", add_help=False)

    view = commands.add_parser(
        "view", help="a board in the browser: replay a PGN file's games, watch a training run, play a player",
        description="Serves the viewer on this machine and prints its address. PGN_OR_RUN_DIR: a PGN file "
                    "(the replay page) or a training run's directory (the watch page, with its learning curve); "
                    "--play PLAYER adds the play page (any player of vantor match). Needs vantor[view].")
    view.add_argument("path", nargs="?", metavar="PGN_OR_RUN_DIR")
    view.add_argument("--play", metavar="PLAYER", default=None, help="a player to play against: random, mc:N, "
                      "search:N, baseline[:N], net:PATH[:N] or uci:PATH[:name=value,...]")
    view.add_argument("--movetime", type=float, default=None, help="seconds per move of a UCI engine")
    view.add_argument("--host", default="127.0.0.1", help="the address to serve on (default 127.0.0.1; any "
                      "other needs the token, which is made when --token is not given)")
    view.add_argument("--port", type=whole, default=8000, help="the port (default 8000; 0 takes a free one)")
    view.add_argument("--token", default=None, help="the token a page must present")
    view.add_argument("--chess960", action="store_true",
                      help="the play page plays Chess960, each game from one of the 960 starts")
    _add_rules(view, "of the game against --play (a UCI engine plays only standard or automatic)")
    view.set_defaults(run=_run_view)

    _add_dataset(commands)

    bench = commands.add_parser("bench", help="a quick benchmark")
    bench.add_argument("--seconds", type=float, default=3.0, help="time to spend measuring (default 3)")
    bench.set_defaults(run=_run_bench)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command ``argv`` names (``sys.argv[1:]`` by default) and returns the exit
    status; a refused argument or a failing engine is one line on standard error."""
    argv = list(sys.argv[1:] if argv is None else argv)
    try:
        if argv[:1] == ["train"]:  # its flags are the training run's own
            from vantor_gym.train.__main__ import main as train

            return train(argv[1:], prog="vantor train")
        args = _parser().parse_args(argv)
        try:
            status: int = args.run(args)
        except (ValueError, TypeError, OSError, EngineError, MemoryError, ImportError) as error:
            print(f"vantor {args.command}: error: {error or type(error).__name__}", file=sys.stderr)
            return 1
    except KeyboardInterrupt:
        return 130
    return status
