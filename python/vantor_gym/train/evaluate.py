"""Measuring a network: matches with ``play_match`` against fixed references (uniformly
random, flat Monte-Carlo with 4 roll-outs, Stockfish at Skill Level 0 with 20 ms a move),
their scores and Elo differences with 95 % intervals as JSON lines, and the learning
curve drawn from that log."""

from __future__ import annotations

import errno
import json
import math
import os
import shutil
from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
from typing import Any

import numpy as np
import numpy.typing as npt
import vantor
from vantor_gym._storage import replace_atomically
from vantor_gym.match import Agent, MatchResult, play_match
from vantor_gym.players import MonteCarloPlayer, RandomPlayer
from vantor_gym.search import Search
from vantor_gym.train.network import PolicyValueNet, evaluator
from vantor_gym.uci import UciEngine

__all__ = ["REFERENCES", "NetworkPlayer", "evaluate", "find_engine", "load_player", "plot_curve", "read_log",
           "reference"]

REFERENCES = ("random", "mc4", "stockfish")
"""The references a run is measured against, by name."""

_LABELS = {"random": "uniform random", "mc4": "flat Monte-Carlo, 4 roll-outs",
           "stockfish": "Stockfish, Skill Level 0, 20 ms", "imitation": "imitation only"}


class NetworkPlayer:
    """A ``play_match`` agent: the tree search with ``net`` as its evaluator, ``simulations``
    simulations a move, no root noise, the most visited move played. Proven mates are
    played as soon as the search sees them."""

    def __init__(self, net: PolicyValueNet, simulations: int = 32, *, name: str = "network",
                 seed: int | None = None) -> None:
        self.search = Search(1, evaluator(net), simulations=simulations, dirichlet_fraction=0.0, threads=1,
                             seed=seed, compact=True)
        self.__name__ = name

    def __call__(self, state: vantor.State, mask: npt.NDArray[np.bool_]) -> int:
        return int(self.search.run([state]).actions[0])


@contextmanager
def reference(name: str, seed: int | None = None, stockfish: str = "stockfish") -> Iterator[Agent]:
    """The reference player ``name`` (one of ``REFERENCES``), its engine process (if any)
    ended on leaving."""
    if name == "random":
        yield RandomPlayer(seed)
    elif name == "mc4":
        yield MonteCarloPlayer(4)
    elif name == "stockfish":
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


def _finite(x: float) -> float | None:
    """JSON has no infinities: an Elo of +-inf (every game won or lost) is written null."""
    return x if math.isfinite(x) else None


def evaluate(player: Agent, opponents: Sequence[str], games: int, *, max_plies: int = 400, seed: int = 0,
             stockfish: str = "stockfish", extra: dict[str, Any] | None = None,
             log: str | os.PathLike[str] | None = None, progress: bool | None = False,
             opponent_agents: Mapping[str, Agent] | None = None) -> list[dict[str, Any]]:
    """Plays ``games`` games (colours alternating) of ``player`` against each reference in
    ``opponents`` and returns one record per match: the opponent, wins, draws, losses,
    score with its 95 % interval, and Elo difference with its interval (``null`` where
    infinite), with ``extra`` merged in; each record is appended to ``log`` as a JSON
    line. ``opponent_agents`` names further opponents (an earlier network, say)."""
    if isinstance(opponents, str):
        raise TypeError("opponents must be a sequence of names, not one str")
    for name in opponents:  # all of them, before the first game
        if not (opponent_agents and name in opponent_agents) and name not in REFERENCES:
            raise ValueError(f"unknown reference {name!r}: use one of {', '.join(REFERENCES)}")
        if name == "stockfish" and not (opponent_agents and name in opponent_agents):
            find_engine(stockfish)
    records = []
    for name in opponents:
        if opponent_agents and name in opponent_agents:
            result = play_match(player, opponent_agents[name], games, max_plies=max_plies, progress=progress)
        else:
            with reference(name, seed, stockfish) as opponent:
                result = play_match(player, opponent, games, max_plies=max_plies, progress=progress)
        low, high = result.score_interval
        elo_low, elo_high = result.elo_interval
        record = {**(extra or {}), "opponent": name, "games": result.played, "wins": result.wins,
                  "draws": result.draws, "losses": result.losses, "score": result.score, "score_low": low,
                  "score_high": high, "elo": _finite(result.elo), "elo_low": _finite(elo_low),
                  "elo_high": _finite(elo_high)}
        records.append(record)
        if log is not None:
            with open(log, "a") as out:
                out.write(json.dumps(record) + "\n")
    return records


_RECORD_NUMBERS = ("minutes", "score", "score_low", "score_high")


def read_log(path: str | os.PathLike[str]) -> list[dict[str, Any]]:
    """The records of a JSON-lines log, in order. A line that is no record (cut short by a
    kill, or not written by ``evaluate``: no opponent, minutes and scores) is skipped."""
    records = []
    with open(path, encoding="utf-8", errors="replace") as source:
        for line in source:
            try:
                record = json.loads(line)
            except json.JSONDecodeError:
                continue
            if isinstance(record, dict) and isinstance(record.get("opponent"), str) and all(
                    isinstance(record.get(key), (int, float)) and not isinstance(record.get(key), bool)
                    for key in _RECORD_NUMBERS):
                records.append(record)
    return records


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


def load_player(path: str | os.PathLike[str], simulations: int = 32, *, name: str | None = None,
                device: str | None = None) -> NetworkPlayer:
    """A ``NetworkPlayer`` over the network saved at ``path`` (by ``save_network``)."""
    from vantor_gym.train.network import load_network

    net = load_network(path, device)
    return NetworkPlayer(net, simulations, name=name or os.path.basename(os.fspath(path)))

