"""What a training run is made of (``TrainConfig``) and how its budget of minutes is shared
out among its phases (``TrainConfig.plan``). Only the standard library and NumPy: the
command line reads and checks its flags here before PyTorch is loaded."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from vantor_gym._numbers import INT32_MAX, integer, real
from vantor_gym.rules import RULES, rules_of

if TYPE_CHECKING:
    from vantor_gym.train.network import NetworkConfig

__all__ = ["ENGINE_SHARE", "IMITATION_SHARE", "MIN_MINUTES", "PHASES", "REFERENCES", "Plan", "TrainConfig"]

REFERENCES = ("random", "mc4", "stockfish")
"""The references a run is measured against, by name."""

PHASES = ("engine games", "imitation", "self-play")
"""A run's phases, in order."""

# The shares of the budget that the 60-minute run gives the warm start: 10 minutes of
# engine games and 30 of imitation; self-play has the remaining 20. Imitation overfits
# after a few passes over its positions, so the engine gets enough minutes for about five.
ENGINE_SHARE = 1 / 6
"""The share of a run's minutes spent playing engine games."""
IMITATION_SHARE = 1 / 2
"""The share of a run's minutes spent learning from those games."""
# With the shares, a minute gives the engine a few thousand positions and the learner a
# few hundred steps, in which both losses fall; less would spend the budget on starting up.
MIN_MINUTES = 1.0
"""The shortest run, in minutes, whose engine games and imitation take their shares of it."""
# A run this long plays the evaluations at their full size; a shorter one plays fewer games.
FULL_EVALUATION_MINUTES = 60.0
EVAL_GAMES = 30
FINAL_GAMES = 100
HEAD_TO_HEAD_GAMES = 50


@dataclass(frozen=True)
class Plan:
    """A run's phases and evaluation sizes for a budget of ``minutes`` of training time:
    engine games, then imitation, then self-play until the budget is spent."""

    minutes: float
    engine_minutes: float
    imitation_minutes: float
    eval_games: int
    final_games: int
    head_to_head_games: int

    @property
    def self_play_minutes(self) -> float:
        """The minutes left for self-play."""
        return self.minutes - self.engine_minutes - self.imitation_minutes

    def describe(self) -> str:
        """The plan as one line of text."""
        return (f"{self.minutes:g} minutes of training: {self.engine_minutes:.3g} of engine games, "
                f"{self.imitation_minutes:.3g} of imitation, {self.self_play_minutes:.3g} of self-play")


@dataclass(frozen=True)
class TrainConfig:
    """Everything a run is made of; the command line's flags are its fields."""

    directory: str = "vantor-run"
    # The rules of self-play and of the network's searches (vantor_gym.rules). Engine games,
    # evaluations and PGN files are chess: under a run of the module's rules they are
    # played under standard rules.
    rules: str = "standard"
    # Self-play in Chess960, each game from a start drawn from the 960 (vantor_gym.chess960);
    # the engine games, PGN files, datasets and evaluations stay the standard game.
    chess960: bool = False
    channels: int = 32
    blocks: int = 6
    # The warm start: games of a UCI engine against itself for engine_minutes (0: none)
    # and the games of a PGN file (empty: none), then imitation_minutes of learning from
    # them alone; self-play follows until the run's minutes are up. None takes the phase's
    # share of the run's minutes (ENGINE_SHARE, IMITATION_SHARE).
    engine: str = "stockfish"
    engine_minutes: float | None = None
    engine_nodes: int = 1000
    engines: int = 2
    # The engine's evaluation of each position it plays (its UCI score as an expected
    # result, uci.Score.expected) is blended into the value target with this weight, the
    # game's result taking the rest; with engine_multipv above 1 the policy target spreads
    # over the engine's best lines by their scores.
    engine_value_weight: float = 1.0
    engine_multipv: int = 1
    pgn: str = ""
    # A game dataset (vantor dataset build): imitation learns from its positions, streamed
    # (vantor_gym.data.PositionDataset), instead of from the buffer; the engine games then
    # default to none. rating_weights weighs each position's losses by its mover's rating:
    # "1200:0.5,1800:1" is 0 below 1200, 0.5 from 1200, 1 from 1800 (empty: all weigh 1).
    dataset: str = ""
    rating_weights: str = ""
    imitation_minutes: float | None = None
    games: int = 32
    simulations: int = 24
    max_plies: int = 200
    temperature_plies: int = 20
    # Self-play on this many Ray workers, each with its own games, search and copy of the
    # network (0: self-play on the driver).
    workers: int = 0
    plies_per_iteration: int = 4
    updates_per_iteration: int = 4
    batch_size: int = 256
    learning_rate: float = 1e-3
    weight_decay: float = 1e-4
    buffer_size: int = 800_000
    checkpoint_every: int = 25
    # Matches against the references every eval_every minutes of training (0: only at the
    # end), eval_games games each, final_games at the end, then head_to_head_games of the
    # final network against the imitation-only one; the clock stops while they are played.
    # None scales the count with the run's minutes, up to its size at 60 minutes.
    eval_every: float = 15.0
    eval_games: int | None = None
    final_games: int | None = None
    head_to_head_games: int | None = None
    eval_opponents: str = "random,mc4,stockfish"
    eval_simulations: int = 32
    eval_max_plies: int = 400
    seed: int = 0
    device: str | None = None  # None for the best present: CUDA, else the CPU
    threads: int | None = None

    def __post_init__(self) -> None:
        # Each number is checked and kept as a plain int or float (a NumPy scalar would not
        # go into the checkpoint's JSON). The counts reach native code that counts in 32 bits.
        plain: dict[str, Any] = {name: integer(getattr(self, name), name, 1, INT32_MAX) for name in _AT_LEAST_ONE}
        plain.update({name: integer(getattr(self, name), name, 0, INT32_MAX) for name in _AT_LEAST_ZERO
                      if getattr(self, name) is not None})
        plain["seed"] = integer(self.seed, "seed", 0, 2**62)
        if self.threads is not None:
            plain["threads"] = integer(self.threads, "threads (0 for all cores)", 0, INT32_MAX)
        plain.update({name: real(getattr(self, name), name, 0.0) for name in _NOT_NEGATIVE
                      if getattr(self, name) is not None})
        if plain["learning_rate"] == 0:
            raise ValueError("learning_rate must be above 0")
        for name, value in plain.items():
            object.__setattr__(self, name, value)
        for name in ("directory", "engine", "pgn", "dataset", "rating_weights", "eval_opponents"):
            if not isinstance(getattr(self, name), str):
                raise TypeError(f"{name} must be a str, not {type(getattr(self, name)).__name__}")
        rules_of(self.rules)
        if not isinstance(self.chess960, bool):
            raise TypeError(f"chess960 must be a bool, not {type(self.chess960).__name__}")
        if not self.directory:
            raise ValueError("directory must name a directory")
        if self.device is not None and not isinstance(self.device, str):
            raise TypeError(f"device must be a str or None, not {type(self.device).__name__}")
        if self.engine_value_weight > 1:
            raise ValueError(f"engine_value_weight must be in [0, 1], not {self.engine_value_weight:g}")
        if self.engine_multipv > 256:
            raise ValueError(f"engine_multipv must be at most 256, not {self.engine_multipv}")
        if self.buffer_size < self.batch_size:
            raise ValueError(f"buffer_size ({self.buffer_size}) must hold at least one batch ({self.batch_size})")
        self.weights()
        unknown = [name for name in self.opponents() if name not in REFERENCES]
        if unknown:
            raise ValueError(f"eval_opponents names {', '.join(map(repr, unknown))}: use {', '.join(REFERENCES)}, "
                             "separated by commas")

    def network(self) -> NetworkConfig:
        """The network's shape: ``channels`` and ``blocks``."""
        from vantor_gym.train.network import NetworkConfig

        return NetworkConfig(self.channels, self.blocks)

    @property
    def chess_rules(self) -> str:
        """The rules of the games a UCI engine plays in (engine games, evaluations): the
        run's own, or standard rules for a run of the module's."""
        return "standard" if self.rules == "module" else self.rules

    def weights(self) -> list[tuple[int, float]] | None:
        """``rating_weights`` as ``(lowest rating, weight)`` pairs, ascending, or None."""
        if not self.rating_weights.strip():
            return None
        if not self.dataset:
            raise ValueError("rating_weights weigh a dataset's positions: give a dataset too")
        pairs: list[tuple[int, float]] = []
        for item in self.rating_weights.split(","):
            rating, colon, weight = item.partition(":")
            try:
                pair = (int(rating), float(weight))
            except ValueError:
                pair = None
            ascending = not pairs or (pair is not None and pair[0] > pairs[-1][0])
            # A rating is a shard's int16 (-1: none); a weight scales float32 losses, so past 1e6 it overflows them.
            if pair is None or not colon or not (-1 <= pair[0] <= 32767 and 0 <= pair[1] <= 1e6) or not ascending:
                raise ValueError(f"rating_weights must be RATING:WEIGHT pairs with ratings ascending in -1 .. 32767 "
                                 f"and weights in 0 .. 1e6, separated by commas, such as 1200:0.5,1800:1; "
                                 f"not {self.rating_weights!r}")
            pairs.append(pair)
        if not any(weight > 0 for _, weight in pairs):
            raise ValueError(f"rating_weights {self.rating_weights!r} weigh every position 0: nothing would be learned")
        return pairs

    def opponents(self) -> list[str]:
        """The references of ``eval_opponents``."""
        return [name.strip() for name in self.eval_opponents.split(",") if name.strip()]

    def plan(self, minutes: float) -> Plan:
        """The phases and evaluation sizes of a run of ``minutes``: the minutes and counts
        given, the others from the budget. Phases given more than the budget are cut to it,
        and without a warm start (no engine games, no PGN file) there is nothing to imitate."""
        minutes = real(minutes, "minutes", 0.0)
        share = 0.0 if self.dataset else ENGINE_SHARE  # a dataset is the warm start
        engine = minutes * share if self.engine_minutes is None else min(self.engine_minutes, minutes)
        if self.imitation_minutes is not None:
            imitation = self.imitation_minutes
        else:
            imitation = minutes * IMITATION_SHARE if engine > 0 or self.pgn or self.dataset else 0.0
        imitation = min(imitation, minutes - engine)
        return Plan(minutes, engine, imitation, _scaled(self.eval_games, EVAL_GAMES, minutes),
                    _scaled(self.final_games, FINAL_GAMES, minutes),
                    _scaled(self.head_to_head_games, HEAD_TO_HEAD_GAMES, minutes))

    def check_budget(self, minutes: float) -> Plan:
        """The plan of a run that starts now with ``minutes``, or ``ValueError`` saying why
        nothing would be trained and the least budget that trains."""
        plan = self.plan(minutes)
        shared = self.engine_minutes is None or self.imitation_minutes is None
        if shared and plan.minutes < MIN_MINUTES:
            raise ValueError(
                f"a budget of {plan.minutes:g} minutes is too small to train: its shares give the engine games "
                f"{60 * plan.engine_minutes:.1f} s and imitation {60 * plan.imitation_minutes:.1f} s; the least that "
                f"trains is {MIN_MINUTES:g} minute (or set both engine_minutes and imitation_minutes: "
                "--engine-minutes, --imitation-minutes)")
        if plan.minutes - plan.engine_minutes <= 0:
            engine = plan.engine_minutes if self.engine_minutes is None else self.engine_minutes
            raise ValueError(
                f"a budget of {plan.minutes:g} minutes leaves no time to learn after {engine:g} minutes of engine "
                "games: give more minutes than the engine games take")
        return plan


def _scaled(given: int | None, full: int, minutes: float) -> int:
    """The count given, or ``full`` scaled to the budget: an even count (colours alternate)
    of at least 2, ``full`` from FULL_EVALUATION_MINUTES on."""
    if given is not None:
        return given
    if minutes >= FULL_EVALUATION_MINUTES:
        return full
    return min(full, max(2, 2 * math.ceil(full * minutes / FULL_EVALUATION_MINUTES / 2)))


_AT_LEAST_ONE = ("channels", "engine_nodes", "engines", "engine_multipv", "games", "simulations", "max_plies",
                 "plies_per_iteration", "updates_per_iteration", "batch_size", "buffer_size", "checkpoint_every",
                 "eval_simulations", "eval_max_plies")
_AT_LEAST_ZERO = ("blocks", "workers", "temperature_plies", "eval_games", "final_games", "head_to_head_games")
_NOT_NEGATIVE = ("engine_minutes", "engine_value_weight", "imitation_minutes", "learning_rate", "weight_decay",
                 "eval_every")

# What each flag means, with its unit, for --help.
HELP = {
    "directory": "where the run keeps its checkpoint, buffer, networks, log and curve (default: %(default)s)",
    "rules": f"the rules of self-play, one of {', '.join(RULES)}; engine games and evaluations use standard rules "
             "under module (default: %(default)s)",
    "chess960": "self-play plays Chess960, each game from one of the 960 starts; engine games, PGN files, datasets "
                "and evaluations stay standard chess",
    "channels": "channels of the network's residual tower (default: %(default)s)",
    "blocks": "residual blocks of the tower (default: %(default)s)",
    "engine": "the UCI engine of the engine games and the stockfish reference: a path or a name on PATH "
              "(default: %(default)s)",
    "engine_minutes": "phase 1: minutes of engine games (default: 1/6 of --minutes, none with --dataset)",
    "engine_nodes": "nodes the engine searches a move (default: %(default)s)",
    "engines": "engine processes playing at once (default: %(default)s)",
    "engine_value_weight": "weight in [0, 1] of the engine's evaluation in the value target of its games' positions; "
                           "the game's result has the rest (default: %(default)s)",
    "engine_multipv": "engine lines a move (MultiPV); above 1 the policy target spreads over them by their scores "
                      "(default: %(default)s)",
    "pgn": "a PGN file (compressed or not; - for standard input) whose finished games join the engine games' positions "
           "(default: none)",
    "dataset": "a game dataset's directory (vantor dataset build) whose positions phase 2 learns from, streamed, "
               "instead of the buffer's; the engine games then default to none (default: none)",
    "rating_weights": "with --dataset, weights of a position's losses by its mover's rating: RATING:WEIGHT pairs "
                      "ascending, such as 1200:0.5,1800:1 (0 below the first; default: all weigh 1)",
    "imitation_minutes": "phase 2: minutes of learning from those positions alone (default: 1/2 of --minutes; "
                         "0 without engine games, PGN file or dataset)",
    "games": "phase 3, self-play: games played at once (default: %(default)s)",
    "simulations": "search simulations a self-play move (default: %(default)s)",
    "max_plies": "plies after which a self-play or engine game is a draw (default: %(default)s)",
    "temperature_plies": "self-play plies drawn from the visit counts before the most visited is played "
                         "(default: %(default)s)",
    "workers": "Ray workers playing self-play games, each with its own games, search and copy of the network; "
               "0 plays them on the driver (default: %(default)s)",
    "plies_per_iteration": "self-play plies of every game between learner steps (default: %(default)s)",
    "updates_per_iteration": "learner steps an iteration (default: %(default)s)",
    "batch_size": "positions a learner step (default: %(default)s)",
    "learning_rate": "AdamW's learning rate (default: %(default)s)",
    "weight_decay": "AdamW's weight decay (default: %(default)s)",
    "buffer_size": "positions the replay buffer keeps (default: %(default)s)",
    "checkpoint_every": "iterations between checkpoints (default: %(default)s)",
    "eval_every": "minutes of training between evaluations, 0 for only the final one (default: %(default)s)",
    "eval_games": "games against each reference at every evaluation (default: 30, fewer for runs under 60 minutes)",
    "final_games": "games against each reference at the end (default: 100, fewer for runs under 60 minutes)",
    "head_to_head_games": "games of the final network against the imitation-only one (default: 50, fewer for "
                          "runs under 60 minutes)",
    "eval_opponents": f"references, separated by commas, of {', '.join(REFERENCES)} (default: %(default)s)",
    "eval_simulations": "search simulations a move of the network in evaluations (default: %(default)s)",
    "eval_max_plies": "plies after which an evaluation game is a draw (default: %(default)s)",
    "seed": "seeds the network, the games and the learner (default: %(default)s)",
    "device": "the learner's device, such as cpu or cuda (default: CUDA when present, else the CPU)",
    "threads": "native threads of self-play, 0 for all cores (default: all cores)",
}
