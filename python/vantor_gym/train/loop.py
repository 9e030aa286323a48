"""The training loop: self-play with the network as the search's evaluator, a replay
buffer, a learner on the best device present, and checkpoints a killed run resumes from."""

from __future__ import annotations

import dataclasses
import errno
import functools
import json
import os
import pathlib
import sys
import tempfile
import threading
import time
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Concatenate, ParamSpec, TypeVar

import numpy as np
import torch

from vantor_gym._handles import Unshared
from vantor_gym._numbers import INT32_MAX, integer, real
from vantor_gym.train.evaluate import REFERENCES, NetworkPlayer, evaluate, find_engine, plot_curve, read_log
from vantor_gym.train.files import load_checked, save_checked
from vantor_gym.train.imitation import engine_games, pgn_positions
from vantor_gym.train.network import (NetworkConfig, PolicyValueNet, evaluator, load_network, losses, resolve_device,
                                      save_network)
from vantor_gym.train.replay import ReplayBuffer
from vantor_gym.train.selfplay import SelfPlay

__all__ = ["TrainConfig", "Trainer"]

CHECKPOINT = "checkpoint.pt"
BUFFER = "buffer.npz"
IMITATION = "imitation.pt"
NETWORK = "network.pt"
LOG = "log.jsonl"
CURVE = "curve.png"
PHASES = ("engine games", "imitation", "self-play")
P = ParamSpec("P")
R = TypeVar("R")
_CHECKPOINT_FORMAT = "vantor training checkpoint"


@dataclass(frozen=True)
class TrainConfig:
    """Everything a run is made of; the command line's flags are its fields."""

    directory: str = "vantor-run"
    channels: int = 32
    blocks: int = 6
    # The warm start: games of a UCI engine against itself for engine_minutes (0: none)
    # and the games of a PGN file (empty: none), then imitation_minutes of learning from
    # them alone; self-play follows until the run's minutes are up.
    engine: str = "stockfish"
    engine_minutes: float = 4.0
    engine_nodes: int = 1000
    engines: int = 2
    pgn: str = ""
    imitation_minutes: float = 36.0
    games: int = 32
    simulations: int = 24
    max_plies: int = 200
    temperature_plies: int = 20
    plies_per_iteration: int = 4
    updates_per_iteration: int = 4
    batch_size: int = 256
    learning_rate: float = 1e-3
    weight_decay: float = 1e-4
    buffer_size: int = 400_000
    checkpoint_every: int = 25
    # Matches against the references every eval_every minutes of training (0: only at the
    # end), eval_games games each, final_games at the end, then head_to_head_games of the
    # final network against the imitation-only one; the clock stops while they are played.
    eval_every: float = 15.0
    eval_games: int = 30
    final_games: int = 100
    head_to_head_games: int = 50
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
        plain.update({name: integer(getattr(self, name), name, 0, INT32_MAX) for name in _AT_LEAST_ZERO})
        plain["seed"] = integer(self.seed, "seed", 0, 2**62)
        if self.threads is not None:
            plain["threads"] = integer(self.threads, "threads (0 for all cores)", 0, INT32_MAX)
        plain.update({name: real(getattr(self, name), name, 0.0) for name in _NOT_NEGATIVE})
        if plain["learning_rate"] == 0:
            raise ValueError("learning_rate must be above 0")
        for name, value in plain.items():
            object.__setattr__(self, name, value)
        for name in ("directory", "engine", "pgn", "eval_opponents"):
            if not isinstance(getattr(self, name), str):
                raise TypeError(f"{name} must be a str, not {type(getattr(self, name)).__name__}")
        if not self.directory:
            raise ValueError("directory must name a directory")
        if self.device is not None and not isinstance(self.device, str):
            raise TypeError(f"device must be a str or None, not {type(self.device).__name__}")
        if self.buffer_size < self.batch_size:
            raise ValueError(f"buffer_size ({self.buffer_size}) must hold at least one batch ({self.batch_size})")
        unknown = [name for name in self.opponents() if name not in REFERENCES]
        if unknown:
            raise ValueError(f"eval_opponents names {', '.join(map(repr, unknown))}: use {', '.join(REFERENCES)}, "
                             "separated by commas")

    def network(self) -> NetworkConfig:
        return NetworkConfig(self.channels, self.blocks)

    def opponents(self) -> list[str]:
        """The references of ``eval_opponents``."""
        return [name.strip() for name in self.eval_opponents.split(",") if name.strip()]


_AT_LEAST_ONE = ("channels", "engine_nodes", "engines", "games", "simulations", "max_plies", "plies_per_iteration",
                 "updates_per_iteration", "batch_size", "buffer_size", "checkpoint_every", "eval_simulations",
                 "eval_max_plies")
_AT_LEAST_ZERO = ("blocks", "temperature_plies", "eval_games", "final_games", "head_to_head_games")
_NOT_NEGATIVE = ("engine_minutes", "imitation_minutes", "learning_rate", "weight_decay", "eval_every")


def _serialised(method: Callable[Concatenate[Trainer, P], R]) -> Callable[Concatenate[Trainer, P], R]:
    """The method, run while the trainer is held: calls from several threads take turns."""

    def call(self: Trainer, /, *args: P.args, **kwargs: P.kwargs) -> R:
        with self._lock:
            return method(self, *args, **kwargs)

    functools.update_wrapper(call, method)
    return call


class Trainer(Unshared):
    """A run in ``config.directory``: made fresh, or resumed from the checkpoint there
    (the network, the optimiser, the replay buffer, the clock, the counters and the
    generators as they were saved; work since the checkpoint is done anew).

    ``run(minutes)`` goes through the phases by its clock of training time: engine games
    (and a PGN file's games) into the buffer, imitation (learner steps on them alone; the
    network is then kept as ``imitation.pt``), then self-play iterations. Evaluations
    against the references stop the clock; their records go to ``log.jsonl`` and the
    curve to ``curve.png``, and the final network to ``network.pt``.

    ``iterate()`` is one self-play iteration: ``plies_per_iteration`` moves of every
    self-play game, then ``updates_per_iteration`` learner steps on batches drawn from the
    buffer (once it holds a batch); ``imitate()`` is the learner steps alone. Either saves a
    checkpoint every ``checkpoint_every`` iterations."""

    def __init__(self, config: TrainConfig) -> None:
        if not isinstance(config, TrainConfig):
            raise TypeError(f"config must be a TrainConfig, not {type(config).__name__}")
        self.config = config
        self.device = resolve_device(config.device)
        # Calls from several threads take turns: they share the games, the buffer, the net.
        self._lock = threading.RLock()
        torch.manual_seed(config.seed)
        self.net = PolicyValueNet(config.network()).to(self.device)
        self.optimizer = torch.optim.AdamW(self.net.parameters(), lr=config.learning_rate,
                                           weight_decay=config.weight_decay)
        self.buffer = ReplayBuffer(config.buffer_size)
        self.rng = np.random.default_rng(config.seed)
        self.iteration = 0
        self.updates = 0
        self.clock = 0.0  # seconds of training so far, evaluations not counted
        self.phase = "engine games"
        self.evaluations = 0  # evaluations done, the one at the end not counted
        self.losses = (float("nan"), float("nan"))
        self._saved_positions = -1
        _make_writable_directory(config.directory)
        if os.path.exists(self._path(CHECKPOINT)):
            self._resume()
        # Mixed precision where the device has it to spare: half precision on a GPU.
        self.autocast = self.device.type == "cuda"
        self.scaler = torch.amp.grad_scaler.GradScaler("cuda") if self.autocast else None
        self.selfplay = SelfPlay(evaluator(self.net), games=config.games, simulations=config.simulations,
                                 max_plies=config.max_plies, temperature_plies=config.temperature_plies,
                                 seed=config.seed + self.iteration, threads=config.threads)

    def _path(self, name: str) -> str:
        return os.path.join(self.config.directory, name)

    _carried_by = "a new Trainer over the same directory resumes its saved run instead"

    @_serialised
    def iterate(self) -> None:
        self.selfplay.play(self.config.plies_per_iteration, self.buffer)
        self.imitate()

    @_serialised
    def imitate(self) -> None:
        if len(self.buffer) >= self.config.batch_size:
            for _ in range(self.config.updates_per_iteration):
                self.losses = self._learn()
        self.iteration += 1
        if self.iteration % self.config.checkpoint_every == 0:
            self.save()

    def check_inputs(self) -> None:
        """Raises what ``run`` would meet only later: ``FileNotFoundError`` for a UCI engine
        the engine games or the Stockfish reference need, or a PGN file, that is not there."""
        config = self.config
        if self.phase == "engine games" and config.engine_minutes > 0:
            find_engine(config.engine)
        if "stockfish" in config.opponents() and max(config.eval_games, config.final_games) > 0:
            find_engine(config.engine)
        if self.phase == "engine games" and config.pgn and not os.path.isfile(config.pgn):
            raise FileNotFoundError(errno.ENOENT, f"no PGN file at {config.pgn!r}", config.pgn)

    @_serialised
    def run(self, minutes: float, report: Any = None) -> None:
        """Trains until the clock reaches ``minutes`` (a resumed run counts the time it had),
        evaluating on the way and at the end; ``report`` is called with the trainer after
        every step. What the run needs (engines, the PGN file) is checked first."""
        config = self.config
        budget = 60 * real(minutes, "minutes", 0.0)
        self.check_inputs()
        warm = 60 * (config.engine_minutes + config.imitation_minutes)
        if self.phase == "engine games":
            self._gather(min(config.engine_minutes, minutes))
            self.phase = "imitation" if config.imitation_minutes > 0 else "self-play"
            self.save()
            _say(f"{self.clock / 60:5.1f} min: {self.buffer.added} positions gathered; {self.phase} follows")
        while self.clock < budget:
            if self.phase == "imitation" and self.clock >= warm:
                save_network(self.net, self._path(IMITATION))
                self.phase = "self-play"
                self.save()
                _say(f"{self.clock / 60:5.1f} min: imitation done ({self.updates} updates); self-play follows")
            if self._evaluation_due():
                self.evaluate(config.eval_games)
                self.evaluations += 1
                self.save()
            started = time.monotonic()
            self.imitate() if self.phase == "imitation" else self.iterate()
            self.clock += time.monotonic() - started
            if report is not None:
                report(self)
        self.save()
        save_network(self.net, self._path(NETWORK))
        self.evaluate(config.final_games, final=True)

    def _evaluation_due(self) -> bool:
        every = 60 * self.config.eval_every
        return every > 0 and self.clock >= every * (self.evaluations + 1)

    def _gather(self, minutes: float) -> None:
        config = self.config
        started = time.monotonic()
        _say(f"gathering positions: {minutes:g} minutes of {config.engine} games"
             + (f" and the games of {config.pgn}" if config.pgn else ""))
        if config.pgn:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                added = pgn_positions(self.buffer, pathlib.Path(config.pgn))
            for warning in caught:
                _say(str(warning.message))
            _say(f"{added} positions from the games of {config.pgn}")
        if minutes > 0:
            engine_games(self.buffer, find_engine(config.engine), minutes=minutes, nodes=config.engine_nodes,
                         engines=config.engines, max_plies=config.max_plies, seed=config.seed)
        self.clock += time.monotonic() - started

    @_serialised
    def evaluate(self, games: int, *, final: bool = False) -> list[dict[str, Any]]:
        """Matches of the network (``eval_simulations`` a move) against each of
        ``eval_opponents``, and at the end against the imitation-only network; the records
        are appended to the log and the curve redrawn."""
        config = self.config
        opponents = config.opponents() if integer(games, "games", 0) > 0 else []
        extra = {"minutes": round(self.clock / 60, 2), "phase": self.phase, "positions": self.buffer.added,
                 "updates": self.updates, "final": final}
        player = NetworkPlayer(self.net, config.eval_simulations, name="network", seed=config.seed)
        records = evaluate(player, opponents, games, max_plies=config.eval_max_plies, seed=config.seed,
                           stockfish=config.engine, extra=extra, log=self._path(LOG), progress=None)
        if final and config.head_to_head_games > 0 and os.path.exists(self._path(IMITATION)):
            imitation = load_network(self._path(IMITATION), self.device)
            others = {"imitation": NetworkPlayer(imitation, config.eval_simulations, name="imitation only")}
            records += evaluate(player, ["imitation"], config.head_to_head_games, max_plies=config.eval_max_plies,
                                extra=extra, log=self._path(LOG), opponent_agents=others, progress=None)
        if os.path.exists(self._path(LOG)):
            plot_curve(read_log(self._path(LOG)), self._path(CURVE))
        for r in records:
            elo = "" if r["elo"] is None else f", Elo {r['elo']:+.0f}"
            _say(f"{extra['minutes']:5.1f} min: against {r['opponent']}: {r['wins']} won, {r['draws']} drawn, "
                 f"{r['losses']} lost, score {r['score']:.1%}{elo}")
        return records
    def _learn(self) -> tuple[float, float]:
        self.net.train()
        batch = self.buffer.sample(self.config.batch_size, self.rng)
        tensors = {name: torch.from_numpy(array).to(self.device) for name, array in batch.items()}
        with torch.autocast(self.device.type, enabled=self.autocast):
            policy_loss, value_loss = losses(self.net, tensors["observations"], tensors["masks"],
                                             tensors["policies"], tensors["values"])
            loss = policy_loss + value_loss
        self.optimizer.zero_grad(set_to_none=True)
        if self.scaler is not None:
            self.scaler.scale(loss).backward()  # type: ignore[no-untyped-call]
            self.scaler.step(self.optimizer)
            self.scaler.update()
        else:
            loss.backward()  # type: ignore[no-untyped-call]
            self.optimizer.step()
        self.updates += 1
        return float(policy_loss.detach()), float(value_loss.detach())

    @_serialised
    def save(self) -> None:
        """Writes the checkpoint and the buffer, each through a temporary file renamed into
        place, the buffer first: a run killed while saving resumes from the previous
        checkpoint with a buffer at least as new."""
        if self.buffer.added != self._saved_positions:  # the buffer is the large part
            self.buffer.save(self._path(BUFFER))
            self._saved_positions = self.buffer.added
        # Plain data only (the generator's state as JSON text), so that resuming reads the
        # file with weights_only=True and no checkpoint can run code.
        state = {"net": self.net.state_dict(), "optimizer": self.optimizer.state_dict(), "iteration": self.iteration,
                 "updates": self.updates, "clock": self.clock, "phase": self.phase, "evaluations": self.evaluations,
                 "rng": json.dumps(self.rng.bit_generator.state), "torch_rng": torch.get_rng_state(),
                 "buffer_added": self.buffer.added,
                 "config": json.dumps(dataclasses.asdict(self.config))}
        save_checked(state, self._path(CHECKPOINT), _CHECKPOINT_FORMAT)

    def _resume(self) -> None:
        path = self._path(CHECKPOINT)
        state = load_checked(path, _CHECKPOINT_FORMAT, "a training checkpoint",
                             frozenset({"net", "optimizer", "config"}))
        try:
            saved = json.loads(state["config"])
            network = NetworkConfig(saved["channels"], saved["blocks"])
            if network != self.config.network():
                raise _Mismatch(f"the checkpoint in {self.config.directory!r} holds a network of {network}, "
                                f"not {self.config.network()}")
            self.net.load_state_dict(state["net"])
            self.optimizer.load_state_dict(state["optimizer"])
            _check_optimizer(self.optimizer)
            # The settings given now win over the saved ones: a resumed run learns as asked.
            for group in self.optimizer.param_groups:
                group["lr"], group["weight_decay"] = self.config.learning_rate, self.config.weight_decay
            self.iteration = integer(state["iteration"], "iteration", 0, 2**62)
            self.updates = integer(state["updates"], "updates", 0, 2**62)
            self.evaluations = integer(state["evaluations"], "evaluations", 0, 2**62)
            self.clock = real(state["clock"], "clock", 0.0)
            if state["phase"] not in PHASES:
                raise ValueError(f"phase {state['phase']!r} is none of {PHASES}")
            self.phase = state["phase"]
            self.rng.bit_generator.state = json.loads(state["rng"]) if isinstance(state["rng"], str) else state["rng"]
            torch.set_rng_state(state["torch_rng"])
            # Positions the buffer held when the checkpoint was written (older ones: none known).
            saved_positions = integer(state.get("buffer_added", 0), "buffer_added", 0, 2**62)
        except _Mismatch:
            raise
        except Exception as error:  # whatever the loaders make of values no run wrote
            raise ValueError(f"{path!r} is not a whole training checkpoint: {error or type(error).__name__}") from None
        self.buffer = ReplayBuffer.load(self._path(BUFFER), capacity=self.config.buffer_size)
        if self.buffer.added < saved_positions:
            raise ValueError(f"{self._path(BUFFER)!r} holds {self.buffer.added:,} positions, fewer than the "
                             f"{saved_positions:,} of the checkpoint beside it: it is not this run's buffer")
        # A buffer saved without a checksum is saved again, with one, at the next checkpoint.
        self._saved_positions = -1 if self.buffer._unchecked else self.buffer.added

    @_serialised
    def close(self) -> None:
        self.selfplay.close()


def _check_optimizer(optimizer: torch.optim.Optimizer) -> None:
    """ValueError unless the optimiser's state fits its parameters: each moment the shape of
    its parameter and finite, the second moments (averages of squares) not negative."""
    for group in optimizer.param_groups:
        for parameter in group["params"]:
            for name, value in optimizer.state.get(parameter, {}).items():
                if name == "step" or not isinstance(value, torch.Tensor):
                    continue
                if value.shape != parameter.shape or not bool(torch.isfinite(value).all()):
                    raise ValueError(f"the optimiser's {name} does not fit its parameter of shape "
                                     f"{tuple(parameter.shape)}")
                if name.endswith("_sq") and bool((value < 0).any()):
                    raise ValueError(f"the optimiser's {name} holds negative values")


class _Mismatch(ValueError):
    """A checkpoint of another run's network: not damage, and said as it is."""


def _make_writable_directory(directory: str) -> None:
    """Makes the run's directory and writes a file into it, so that a path below a file, a
    read-only place or a full disk is found before any work, not at the first checkpoint."""
    os.makedirs(directory, exist_ok=True)
    try:
        with tempfile.TemporaryFile(dir=directory):
            pass
    except OSError as error:
        raise OSError(error.errno, f"cannot write into the run's directory {directory!r}: {error.strerror}") from None


def _say(line: str) -> None:
    print(line, file=sys.stderr, flush=True)
