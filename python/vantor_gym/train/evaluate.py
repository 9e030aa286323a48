"""Measuring a network: matches with ``play_match`` against fixed references (uniformly
random, flat Monte-Carlo with 4 roll-outs, Stockfish at Skill Level 0 with 20 ms a move),
their scores and Elo differences with 95 % intervals as JSON lines, and the learning
curve drawn from that log. Matches are played under standard rules unless told
otherwise; Stockfish plays chess, so never under the module's."""

from __future__ import annotations

import errno
import json
import math
import os
import shutil
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from typing import Any

import numpy as np

from vantor_gym._numbers import integer
from vantor_gym._storage import replace_atomically
from vantor_gym.game import Game
from vantor_gym.match import Agent, MatchResult, checked_starts, play_match
from vantor_gym.players import MonteCarloPlayer, RandomPlayer
from vantor_gym.progress import Progress
from vantor_gym.rules import rules_of
from vantor_gym.train.config import REFERENCES
from vantor_gym.train.log import read_log
from vantor_gym.train.players import NetworkPlayer, NetworkPolicy, load_player, one_thread
from vantor_gym.uci import UciEngine

__all__ = ["OPENING_PLIES", "REFERENCES", "NetworkPlayer", "NetworkPolicy", "evaluate", "find_engine", "load_player",
           "one_thread", "openings", "plot_curve", "read_log", "reference"]

OPENING_PLIES = 4
"""Random plies before a game of ``openings`` begins: enough for tens of thousands of
different positions, few enough that neither side is lost yet."""

_LABELS = {"random": "uniform random", "mc4": "flat Monte-Carlo, 4 roll-outs",
           "stockfish": "Stockfish, Skill Level 0, 20 ms", "imitation": "imitation only"}


@contextmanager
def reference(name: str, seed: int | None = None, stockfish: str = "stockfish",
              rules: str = "standard") -> Iterator[Agent]:
    """The reference player ``name`` (one of ``REFERENCES``) for games under ``rules``, its
    engine process (if any) ended on leaving."""
    rules = rules_of(rules)
    if name == "random":
        yield RandomPlayer(seed)
    elif name == "mc4":
        yield MonteCarloPlayer(4, rules)
    elif name == "stockfish":
        if rules == "module":
            raise ValueError("Stockfish plays chess: its games are played under 'standard' or 'automatic' rules, "
                             "not 'module'")
        path = find_engine(stockfish)
        with UciEngine(path, {"Skill Level": 0}, movetime=0.02, name="Stockfish") as engine:
            yield engine
    else:
        raise ValueError(f"unknown reference {name!r}: use one of {', '.join(REFERENCES)}")


def find_engine(name: str | os.PathLike[str]) -> str:
    """The executable a UCI engine's name or path stands for: a path as it is, a bare name
    looked up on ``PATH``, and Stockfish also in ``/usr/games`` (Debian puts it there);
    ``FileNotFoundError`` naming it when there is none."""
    text = os.fspath(name)
    found = shutil.which(text) or (shutil.which("stockfish", path="/usr/games") if text == "stockfish" else None)
    if found is None:
        raise FileNotFoundError(errno.ENOENT, f"no UCI engine at {text!r} (nor on PATH)", text)
    return found


def openings(count: int, plies: int = OPENING_PLIES, seed: int = 0, rules: str = "standard") -> list[str]:
    """``count`` different start positions (FENs), each ``plies`` uniformly random legal
    plies from the initial position, reproducible from ``seed``. Two searching networks
    without noise play the same game whenever they meet from the same position, so a
    match between them needs a start of its own for each pair of games. The positions
    are reached, and their FENs written, under ``rules``."""
    count = integer(count, "count", 0, 1_000_000)
    plies = integer(plies, "plies", 0, 16)
    rng = np.random.default_rng(integer(seed, "seed", 0))
    game, found, misses = Game(rules=rules), dict[str, None](), 0  # a dict keeps the order found
    while len(found) < count:
        # Each try finds a new position while few are known; a thousand misses in a row
        # mean the plies lead to hardly any more.
        if misses > 1000:
            raise ValueError(f"{plies} random plies lead to fewer than {count} different positions")
        game.reset()
        for _ in range(plies):
            game.step(int(rng.choice(game.legal_actions())))
            if game.is_over:
                break
        fen = None if game.is_over else game.fen()
        if fen is None or fen in found:
            misses += 1
        else:
            found[fen], misses = None, 0
    return list(found)


def _finite(x: float) -> float | None:
    """JSON has no infinities: an Elo of +-inf (every game won or lost) is written null."""
    return x if math.isfinite(x) else None


def evaluate(player: Agent, opponents: Sequence[str], games: int, *, max_plies: int = 400, seed: int = 0,
             stockfish: str = "stockfish", extra: dict[str, Any] | None = None,
             log: str | os.PathLike[str] | None = None, progress: bool | None = False,
             opponent_agents: Mapping[str, Agent] | None = None,
             report: Callable[[str], object] | None = None,
             start_fens: Sequence[str] | None = None, rules: str = "standard") -> list[dict[str, Any]]:
    """Plays ``games`` games (colours alternating) of ``player`` against each reference in
    ``opponents`` and returns one record per match: the opponent, wins, draws, losses,
    score with its 95 % interval, and Elo difference with its interval (``null`` where
    infinite), with ``extra`` merged in; each record is appended to ``log`` as a JSON
    line. ``opponent_agents`` names further opponents (an earlier network, say).
    ``progress`` shows a line of the games played (``None``: on a terminal only), and
    ``report`` is called after every second game with a line saying how far the match is.
    With ``start_fens`` (``openings``, say) the games ``2k`` and ``2k + 1`` start from its
    ``k``-th position (taken in turn), the colours swapped. The games are played under
    ``rules`` (``player`` and ``opponent_agents`` must search under them), which each
    record names; Stockfish is refused under ``"module"``."""
    if isinstance(opponents, str):
        raise TypeError("opponents must be a sequence of names, not one str")
    games = integer(games, "games", 1 if opponents else 0)
    rules = rules_of(rules)
    start_fens = checked_starts(start_fens, rules)
    for name in opponents:  # all of them, before the first game
        if not (opponent_agents and name in opponent_agents) and name not in REFERENCES:
            raise ValueError(f"unknown reference {name!r}: use one of {', '.join(REFERENCES)}")
        if name == "stockfish" and not (opponent_agents and name in opponent_agents):
            if rules == "module":
                raise ValueError("Stockfish plays chess: evaluate under rules 'standard' or 'automatic', not 'module'")
            find_engine(stockfish)
    records = []
    for name in opponents:
        if opponent_agents and name in opponent_agents:
            result = _match(player, opponent_agents[name], name, games, max_plies, progress, report, start_fens,
                            rules)
        else:
            with reference(name, seed, stockfish, rules) as opponent:
                result = _match(player, opponent, name, games, max_plies, progress, report, start_fens, rules)
        low, high = result.score_interval
        elo_low, elo_high = result.elo_interval
        record = {**(extra or {}), "opponent": name, "rules": rules, "games": result.played, "wins": result.wins,
                  "draws": result.draws, "losses": result.losses, "score": result.score, "score_low": low,
                  "score_high": high, "elo": _finite(result.elo), "elo_low": _finite(elo_low),
                  "elo_high": _finite(elo_high)}
        records.append(record)
        if log is not None:
            with open(log, "a") as out:
                out.write(json.dumps(record) + "\n")
    return records


def _match(player: Agent, opponent: Agent, name: str, games: int, max_plies: int, progress: bool | None,
           report: Callable[[str], object] | None, start_fens: Sequence[str] | None = None,
           rules: str = "standard") -> MatchResult:
    """``play_match`` two games at a time, so that progress can be told between them: the
    colours alternate as in one match, and the agents go on from game to game as they would."""
    parts: list[MatchResult] = []
    with Progress(games, f"games against {name}", progress) as shown:
        for first in range(0, games, 2):
            start = None if not start_fens else [start_fens[first // 2 % len(start_fens)]]
            parts.append(play_match(player, opponent, min(2, games - first), start, max_plies=max_plies,
                                    progress=False, rules=rules))
            played = sum(part.played for part in parts)
            points = sum(part.wins + part.draws / 2 for part in parts)
            shown.update(parts[-1].played, score=f"{points:g}/{played}")
            if report is not None:
                report(f"against {name}: {played} of {games} games, score {points:g}/{played}")
    return MatchResult(sum(p.wins for p in parts), sum(p.draws for p in parts), sum(p.losses for p in parts),
                       tuple(pgn for p in parts for pgn in p.pgns), tuple(game for p in parts for game in p.games))


def plot_curve(records: Sequence[dict[str, Any]], path: str | os.PathLike[str],
               title: str = "Learning curve") -> None:
    """Draws each opponent's score (with its 95 % interval) against the minutes of
    training into a PNG at ``path``, through a temporary file renamed into place. Of
    records with the same opponent and minutes (an evaluation cut short by a kill and
    played again), the last is drawn."""
    import matplotlib

    matplotlib.use("Agg")  # no screen needed
    from matplotlib import pyplot

    figure, axes = pyplot.subplots(figsize=(7, 4), dpi=100)
    try:
        latest = {(r["opponent"], r["minutes"]): r for r in records}
        for name in dict.fromkeys(r["opponent"] for r in records):
            rows = sorted((r for (who, _), r in latest.items() if who == name), key=lambda r: r["minutes"])
            x = [r["minutes"] for r in rows]
            y = [r["score"] for r in rows]
            errors = [[r["score"] - r["score_low"] for r in rows], [r["score_high"] - r["score"] for r in rows]]
            axes.errorbar(x, y, yerr=errors, marker="o", capsize=3, label=f"against {_LABELS.get(name, name)}")
        axes.set_xlabel("minutes of training (engine games, imitation, then self-play)")
        axes.set_ylabel("score (95 % interval)")
        axes.set_ylim(-0.02, 1.02)
        axes.grid(alpha=0.3)
        axes.legend(fontsize=8, loc="lower right")
        axes.set_title(title)
        figure.tight_layout()
        replace_atomically(path, lambda temporary: figure.savefig(temporary, format="png"))
    finally:
        pyplot.close(figure)
