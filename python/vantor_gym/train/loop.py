"""The training loop: self-play with the network as the search's evaluator, a replay
buffer, a learner on the best device present, and checkpoints a killed run resumes from."""

from __future__ import annotations

import dataclasses
import errno
import json
import math
import os
import pathlib
import re
import sys
import tempfile
import threading
import time
import warnings
from collections.abc import Callable
from typing import Any

import numpy as np
import torch

from vantor_gym._handles import Unshared, serialised
from vantor_gym._numbers import integer, real
from vantor_gym.notation import pgn
from vantor_gym.train.config import HEAD_TO_HEAD_GAMES, PHASES, Plan, TrainConfig
from vantor_gym.train.board import TrainingBoard
from vantor_gym.train.dataset_batches import DatasetBatches
from vantor_gym.train.evaluate import NetworkPlayer, evaluate, find_engine, openings, plot_curve, read_log
from vantor_gym.train.files import load_checked, save_checked
from vantor_gym.train.imitation import engine_games
from vantor_gym.train.pgn_positions import pgn_positions
from vantor_gym.train.network import (NetworkConfig, PolicyValueNet, evaluator, load_network, losses, resolve_device,
                                      save_network)
from vantor_gym.train.replay import ReplayBuffer
from vantor_gym.train.selfplay import SelfPlay
from vantor_gym.train.workers import SelfPlayWorkers, WorkerError, import_ray
from vantor_gym.view.feed import GameFeed

__all__ = ["TrainConfig", "Trainer"]

CHECKPOINT = "checkpoint.pt"
BUFFER = "buffer.npz"
IMITATION = "imitation.pt"
NETWORK = "network.pt"
LOG = "log.jsonl"
CURVE = "curve.png"
GAMES = "games.pgn"
_CHECKPOINT_FORMAT = "vantor training checkpoint"
# Seconds an iteration waits for the workers' games before the learner goes on without them.
WORKER_WAIT = 5.0




class Trainer(Unshared):
    """A run in ``config.directory``: made fresh, or resumed from the checkpoint there
    (the network, the optimiser, the replay buffer, the clock, the counters and the
    generators as they were saved; work since the checkpoint is done anew).

    ``run(minutes)`` goes through the phases by its clock of training time: engine games
    (and a PGN file's games) into the buffer, imitation (learner steps on them alone; the
    network is then kept as ``imitation.pt``), then self-play iterations. Evaluations
    against the references stop the clock; their records go to ``log.jsonl`` and the
    curve to ``curve.png``, and the final network to ``network.pt``; the losses, learning
    rate, buffer, self-play speed and evaluations also go to TensorBoard's event files in
    ``tensorboard/`` (``board.TrainingBoard``). Each finished self-play game is appended to
    ``games.pgn`` (on this process; the Ray workers' games are not), with the learner's
    update count as its ``Updates`` tag; with a ``feed`` (``vantor_gym.view.GameFeed``)
    every self-play move is told to it as it is played, for a page that watches.

    ``iterate()`` is one self-play iteration: ``plies_per_iteration`` moves of every
    self-play game, then ``updates_per_iteration`` learner steps on batches drawn from the
    buffer (once it holds a batch); ``imitate()`` is the learner steps alone. Either saves a
    checkpoint every ``checkpoint_every`` iterations.

    With ``workers`` above 0 the games are played on that many Ray workers
    (``workers.SelfPlayWorkers``, started by the first self-play iteration and kept in
    ``workers``): an iteration adds the games that have come back (waiting up to
    ``WORKER_WAIT`` seconds for one of their calls), takes its learner steps and publishes
    the new weights. A worker that raises ends the iteration with ``WorkerError`` once a
    checkpoint is saved and the workers are stopped.

    Self-play and the network's searches play ``config.rules``; the engine games,
    evaluations and their openings ``config.chess_rules`` (standard rules for a run of the
    module's, since a UCI engine plays chess), and a PGN file's games are replayed as
    ``imitation.pgn_positions`` replays them. The checkpoint keeps the rules: a run resumed
    under other rules raises ``ValueError`` naming both, and a checkpoint saved before runs
    kept their rules is taken as the module's (the only rules there were). With
    ``config.chess960`` self-play plays Chess960, and the checkpoint keeps that too."""

    def __init__(self, config: TrainConfig, feed: GameFeed | None = None) -> None:
        if not isinstance(config, TrainConfig):
            raise TypeError(f"config must be a TrainConfig, not {type(config).__name__}")
        self.config = config
        self.device = resolve_device(config.device)
        # Calls from several threads take turns: they share the games, the buffer, the net.
        self._lock = threading.RLock()
        torch.manual_seed(config.seed)
        self.net = PolicyValueNet(config.network(), config.rules).to(self.device)
        self.optimizer = torch.optim.AdamW(self.net.parameters(), lr=config.learning_rate,
                                           weight_decay=config.weight_decay)
        self.buffer = ReplayBuffer(config.buffer_size)
        self.rng = np.random.default_rng(config.seed)
        self.iteration = 0
        self.updates = 0
        self.clock = 0.0  # seconds of training so far, evaluations not counted
        self.phase = "engine games"
        self.evaluations = 0  # evaluations done, the one at the end not counted
        self.finished = False  # whether the final evaluation at the clock's budget is done
        self.losses = (float("nan"), float("nan"))
        self._saved_positions = -1
        self._dataset: DatasetBatches | None = None
        self._dataset_place = (0, 0)  # the dataset stream's epoch and positions given in it, as saved
        _make_writable_directory(config.directory)
        resumed = self._resumed = os.path.exists(self._path(CHECKPOINT))
        if resumed:
            self._resume()
        # Mixed precision where the device has it to spare: half precision on a GPU.
        self.autocast = self.device.type == "cuda"
        self.scaler = torch.amp.grad_scaler.GradScaler("cuda") if self.autocast else None
        self.workers: SelfPlayWorkers | None = None
        self._closed = False
        self.selfplay = None if config.workers else SelfPlay(
            evaluator(self.net), games=config.games, simulations=config.simulations, max_plies=config.max_plies,
            temperature_plies=config.temperature_plies, seed=config.seed + self.iteration, threads=config.threads,
            feed=feed, rules=config.rules, chess960=config.chess960)
        # Last, so that a failure above leaves no writer thread. Events after the checkpoint
        # are work to be done again; the checkpoint's own step keeps its evaluation.
        self._notices: list[str] | None = []  # the board's, said once a run starts (None: at once)
        self.board = TrainingBoard(config.directory, purge_step=self.updates + 1 if resumed else 0,
                                   say=self._notice)

    def _path(self, name: str) -> str:
        return os.path.join(self.config.directory, name)

    _carried_by = "a new Trainer over the same directory resumes its saved run instead"

    @serialised
    def iterate(self) -> None:
        """One iteration: ``plies_per_iteration`` moves of self-play into the buffer, then
        ``imitate`` (on workers: the games that came back, then ``imitate``, then the new
        weights published)."""
        if self.selfplay is not None:
            stats = self.selfplay.play(self.config.plies_per_iteration, self.buffer)
            self._keep_games(stats.finished)
            self.imitate()
            return
        workers = self._workers()
        try:
            workers.collect(self.buffer, WORKER_WAIT)
        except WorkerError as error:
            self.save()
            try:
                self._stop_workers()
            except RuntimeError as stuck:  # the worker's error is the one to tell
                error.add_note(str(stuck))
            raise
        self.imitate()
        if self.updates > workers.version:
            workers.publish(self.updates, self.net)

    def _keep_games(self, games: list[tuple[list[int], str, str | None]]) -> None:
        """Appends the finished self-play games to ``games.pgn``, each in one write, so a
        kill cuts at most the last one short: what a kill left after the last whole game
        is cut off first, so every game written reads whole."""
        if not games:
            return
        lead = _cut_to_whole(self._path(GAMES))
        texts = [pgn(actions, start_fen=start, result=result,
                     headers={"Event": "vantor train self-play", "White": "self-play", "Black": "self-play",
                              "Updates": str(self.updates)},
                     rules=self.config.rules, chess960=self.config.chess960)
                 for actions, result, start in games]
        with open(self._path(GAMES), "a", encoding="utf-8") as out:
            out.write(lead + "".join(text + "\n" for text in texts))  # a blank line after each game

    def _workers(self) -> SelfPlayWorkers:
        if self._closed:
            raise RuntimeError("the trainer is closed: a new Trainer over the same directory resumes its run")
        if self.workers is None:
            count = self.config.workers
            _say(f"{self.clock / 60:5.1f} min: starting self-play on {count} Ray worker{'s' * (count > 1)}")
            self.workers = SelfPlayWorkers(self.config, start=self.iteration)
            self.workers.publish(self.updates, self.net)
        return self.workers

    def _stop_workers(self) -> None:
        workers, self.workers = self.workers, None
        if workers is not None:
            workers.close()

    @serialised
    def imitate(self) -> None:
        """``updates_per_iteration`` learner updates from the buffer once it holds a batch, and
        a checkpoint every ``checkpoint_every`` iterations."""
        if len(self.buffer) >= self.config.batch_size or self._from_dataset():
            for _ in range(self.config.updates_per_iteration):
                self.losses = self._learn()
        self.iteration += 1
        if self.iteration % self.config.checkpoint_every == 0:
            self.save()

    def check_inputs(self, minutes: float | None = None) -> None:
        """Raises what ``run(minutes)`` would meet only later: ``FileNotFoundError`` for a
        UCI engine the engine games or the Stockfish reference need, or a PGN file, that is
        not there (without ``minutes``, as if every phase had time); ``ImportError`` without
        matplotlib when games will be played, since each evaluation draws the curve, and
        without Ray when self-play is to run on workers."""
        config = self.config
        if minutes is None:
            engine = config.engine_minutes is None or config.engine_minutes > 0
            games = [config.eval_games, config.final_games, config.head_to_head_games]
        else:
            plan = config.plan(minutes)
            engine, games = plan.engine_minutes > 0, [plan.eval_games, plan.final_games, plan.head_to_head_games]
        if self.phase == "engine games" and engine:
            find_engine(config.engine)
        if "stockfish" in config.opponents() and any(count is None or count > 0 for count in games[:2]):
            find_engine(config.engine)
        if any(count is None or count > 0 for count in games):
            try:
                import matplotlib  # noqa: F401
            except ImportError as error:
                raise ImportError(f"the learning curve, drawn after every evaluation, needs matplotlib "
                                  f"(pip install 'vantor[train]'): {error}", name="matplotlib") from None
        if self.phase == "engine games" and config.pgn not in ("", "-") and not os.path.isfile(config.pgn):
            raise FileNotFoundError(errno.ENOENT, f"no PGN file at {config.pgn!r}", config.pgn)
        if self.phase != "self-play" and config.dataset:
            self._dataset_batches()  # a directory that is no dataset is refused before any work
        if config.workers > 0:
            import_ray()

    def plan(self, minutes: float) -> Plan:
        """The run's phases and evaluation sizes for ``minutes`` (``TrainConfig.plan``); for
        a run that has learned nothing yet, ``ValueError`` when the budget is too small to
        train (``TrainConfig.check_budget``)."""
        if self.phase == "engine games" and self.updates == 0:
            return self.config.check_budget(minutes)
        return self.config.plan(minutes)

    @serialised
    def run(self, minutes: float, report: Callable[[Trainer], object] | None = None) -> bool:
        """Trains until the clock reaches ``minutes`` (a resumed run counts the time it had),
        evaluating on the way and at the end; ``report`` is called with the trainer after
        every step. Phases without minutes of their own in the config take their share of
        ``minutes`` (``plan``). The budget and what the run needs (engines, the PGN file) are
        checked first; progress goes to standard error, a line every 10 seconds on a
        terminal and every minute elsewhere, the engine games and evaluations included.
        A run that has trained ``minutes`` and done its final evaluation does nothing
        again: it says so and returns False (True for a run that went on)."""
        config = self.config
        plan = self.plan(minutes)
        budget = 60 * plan.minutes
        if self.finished and self.clock >= budget:
            _say(f"the run in {config.directory} is finished: {self.clock / 60:.3g} minutes trained and its final "
                 f"evaluation done; give more than {self.clock / 60:.3g} minutes to train it on")
            return False
        self.check_inputs(minutes)
        for line in self._notices or ():
            _say(line)
        self._notices = None
        self.finished = False
        warm = 60 * (plan.engine_minutes + plan.imitation_minutes)
        tick = _Ticker()
        _say(f"{plan.describe()}; {self._evaluations_said(plan)}"
             + (f"; going on from {self.clock / 60:.1f} minutes ({self.phase}, {self.updates} updates)"
                if self.clock > 0 or self.updates > 0 else ""))
        if self.phase == "engine games":
            self._gather(plan.engine_minutes, tick)
            self._log_training()
            self.phase = "imitation" if plan.imitation_minutes > 0 else "self-play"
            self.save()
            _say(f"{self.clock / 60:5.1f} min: {self.buffer.added} positions gathered; {self.phase} follows")
        while self.clock < budget:
            short = len(self.buffer) < config.batch_size and not config.dataset
            if self.phase == "imitation" and (self.clock >= warm or short):
                self._end_imitation()
            if self._evaluation_due():
                self.evaluate(plan.eval_games, tick=tick)
                self.evaluations += 1
                self.save()
            started = time.monotonic()
            self.imitate() if self.phase == "imitation" else self.iterate()
            self.clock += time.monotonic() - started
            self._log_training()
            if report is not None:
                report(self)
        self._stop_workers()  # the cores go to the final evaluation
        self.save()
        save_network(self.net, self._path(NETWORK))
        _say(f"{self.clock / 60:5.1f} min: training done ({self.updates} updates); the final evaluation: "
             f"{self._final_said(plan)}")
        self.evaluate(plan.final_games, final=True, head_to_head_games=plan.head_to_head_games, tick=tick)
        self.finished = True
        self.save()
        return True

    def _final_said(self, plan: Plan, *, ahead: bool = False) -> str:
        opponents = self.config.opponents() if plan.final_games > 0 else []
        parts = [f"{plan.final_games} games against each of {', '.join(opponents)}"] if opponents else []
        # Ahead of the run, an imitation phase to come will leave its network.
        imitated = os.path.exists(self._path(IMITATION)) or (ahead and plan.imitation_minutes > 0)
        if plan.head_to_head_games > 0 and imitated:
            parts.append(f"{plan.head_to_head_games} against the imitation-only network")
        return " and ".join(parts) or "no games"

    def _evaluations_said(self, plan: Plan) -> str:
        every = self.config.eval_every
        on_the_way = (f"{plan.eval_games} games against each reference every {every:g} minutes, "
                      if 0 < every < plan.minutes and plan.eval_games > 0 else "")
        return f"evaluations (the clock stopped): {on_the_way}at the end {self._final_said(plan, ahead=True)}"

    def _end_imitation(self) -> None:
        if len(self.buffer) < self.config.batch_size:
            _say(f"{self.clock / 60:5.1f} min: the warm start gave {len(self.buffer)} positions, fewer than a batch "
                 f"({self.config.batch_size}): nothing to imitate; self-play follows")
        else:
            save_network(self.net, self._path(IMITATION))
            _say(f"{self.clock / 60:5.1f} min: imitation done ({self.updates} updates); self-play follows")
        self.phase = "self-play"
        self.save()

    def _evaluation_due(self) -> bool:
        every = 60 * self.config.eval_every
        return every > 0 and self.clock >= every * (self.evaluations + 1)

    def _gather(self, minutes: float, tick: _Ticker | None = None) -> None:
        config = self.config
        started = time.monotonic()
        _say(f"gathering positions: {minutes:.3g} minutes of {config.engine} games"
             + (f" and the games of {config.pgn}" if config.pgn else ""))
        if config.pgn:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                added = pgn_positions(self.buffer, pathlib.Path(config.pgn), rules=config.rules)
            for warning in caught:
                _say(str(warning.message))
            _say(f"{added} positions from the games of {config.pgn}")

        def said(games: int, positions: int) -> None:
            if tick is not None:
                elapsed = (self.clock + time.monotonic() - started) / 60
                tick(lambda: f"{elapsed:5.1f} min, engine games: {games} games, {positions} positions so far")

        if minutes > 0:
            played = engine_games(self.buffer, find_engine(config.engine), minutes=minutes, nodes=config.engine_nodes,
                                  engines=config.engines, max_plies=config.max_plies, seed=config.seed, report=said,
                                  value_weight=config.engine_value_weight, multipv=config.engine_multipv,
                                  rules=config.chess_rules)
            _say(f"engine games: {played.games} games, {played.positions} positions, {played.unscored} of them "
                 f"without the engine's score (their value is the result alone), {played.skipped} info lines "
                 "skipped (bounds, malformed)")
        self.clock += time.monotonic() - started

    @serialised
    def evaluate(self, games: int, *, final: bool = False, head_to_head_games: int | None = None,
                 tick: _Ticker | None = None) -> list[dict[str, Any]]:
        """Matches of the network (``eval_simulations`` a move) against each of
        ``eval_opponents``, ``games`` games each, and at the end ``head_to_head_games``
        against the imitation-only network (the config's count by default, each pair of games
        from its own ``openings`` position, since two networks would otherwise repeat one
        game); the records are appended to the log and the curve redrawn. A match the log
        already holds for this network (the same updates, minutes and kind of evaluation:
        a run killed during its evaluations, resumed) is taken from there, not played again."""
        config = self.config
        opponents = config.opponents() if integer(games, "games", 0) > 0 else []
        if head_to_head_games is None:
            head_to_head_games = HEAD_TO_HEAD_GAMES if config.head_to_head_games is None else config.head_to_head_games
        head_to_head_games = integer(head_to_head_games, "head_to_head_games", 0)
        extra = {"minutes": round(self.clock / 60, 2), "phase": self.phase, "positions": self.buffer.added,
                 "updates": self.updates, "final": final}
        rules = config.chess_rules
        done = self._logged(extra)
        kept = [done[name] for name in [*opponents, "imitation"] if name in done]
        opponents = [name for name in opponents if name not in done]
        if "imitation" in done:
            head_to_head_games = 0
        # Lines in a log or a pipe; a terminal shows the matches' own progress line.
        report = None if tick is None or _is_terminal() else (lambda line: tick(lambda: f"evaluating {line}"))
        player = NetworkPlayer(self.net, config.eval_simulations, name="network", seed=config.seed, rules=rules)
        records = kept + evaluate(player, opponents, games, max_plies=config.eval_max_plies, seed=config.seed,
                           stockfish=config.engine, extra=extra, log=self._path(LOG), progress=None, report=report,
                           rules=rules)
        if final and head_to_head_games > 0 and os.path.exists(self._path(IMITATION)):
            imitation = load_network(self._path(IMITATION), self.device)
            others = {"imitation": NetworkPlayer(imitation, config.eval_simulations, name="imitation only",
                                                 rules=rules)}
            starts = openings((head_to_head_games + 1) // 2, seed=config.seed, rules=rules)
            records += evaluate(player, ["imitation"], head_to_head_games, max_plies=config.eval_max_plies,
                                extra=extra, log=self._path(LOG), opponent_agents=others, progress=None,
                                report=report, start_fens=starts, rules=rules)
        self.board.evaluation(self.updates, records)
        if os.path.exists(self._path(LOG)):
            plot_curve(read_log(self._path(LOG)), self._path(CURVE))
        for r in records:
            elo = "" if r["elo"] is None else f", Elo {r['elo']:+.0f}"
            _say(f"{extra['minutes']:5.1f} min: against {r['opponent']}: {r['wins']} won, {r['draws']} drawn, "
                 f"{r['losses']} lost, score {r['score']:.1%}{elo}")
        return records

    def _logged(self, extra: dict[str, Any]) -> dict[str, dict[str, Any]]:
        """The log's whole records of this evaluation, by opponent: only in a resumed run,
        whose log is its own."""
        if not self._resumed or not os.path.exists(self._path(LOG)):
            return {}
        return {r["opponent"]: r for r in read_log(self._path(LOG))
                if r.get("final") is extra["final"] and type(r.get("updates")) is int
                and r["updates"] == extra["updates"] and r.get("minutes") == extra["minutes"] and _whole_record(r)}

    def _from_dataset(self) -> bool:
        return self.phase == "imitation" and bool(self.config.dataset)

    def _dataset_batches(self) -> DatasetBatches:
        if self._dataset is None:
            epoch, consumed = self._dataset_place
            config = self.config
            self._dataset = DatasetBatches(config.dataset, config.batch_size, config.seed, epoch=epoch,
                                           consumed=consumed, rating_weights=config.weights(), threads=config.threads)
        return self._dataset

    def _learn(self) -> tuple[float, float]:
        self.net.train()
        if self._from_dataset():
            tensors = self._dataset_batches().next(self.device)
        else:
            batch = self.buffer.sample(self.config.batch_size, self.rng)
            tensors = {name: torch.from_numpy(array).to(self.device) for name, array in batch.items()}
        with torch.autocast(self.device.type, enabled=self.autocast):
            policy_loss, value_loss = losses(self.net, tensors["observations"], tensors["masks"],
                                             tensors["policies"], tensors["values"], tensors.get("weights"))
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

    @serialised
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
                 "buffer_added": self.buffer.added, "dataset": list(self._place()), "finished": self.finished,
                 "config": json.dumps(dataclasses.asdict(self.config))}
        save_checked(state, self._path(CHECKPOINT), _CHECKPOINT_FORMAT)
        self.board.flush()  # events up to the checkpoint are never done again

    def _place(self) -> tuple[int, int]:
        """The dataset stream's epoch and the positions it has given in it."""
        return self._dataset_place if self._dataset is None else (self._dataset.epoch, self._dataset.consumed)

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
            # A run saved before runs kept their rules played the module's, the only ones then.
            if saved.get("chess960", False) != self.config.chess960:
                raise _Mismatch(f"the run in {self.config.directory!r} played {_variant(saved.get('chess960', False))}"
                                f" self-play, not {_variant(self.config.chess960)}: resume it with the same "
                                "--chess960, or start a new run in another directory")
            rules = saved.get("rules", "module")
            if rules != self.config.rules:
                raise _Mismatch(f"the run in {self.config.directory!r} was played under {rules!r} rules, not "
                                f"{self.config.rules!r}: resume it with rules={rules!r} (--rules {rules}), or "
                                "start a new run in another directory")
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
            self.finished = state.get("finished", False) is True  # runs saved before: not known finished
            self.rng.bit_generator.state = json.loads(state["rng"]) if isinstance(state["rng"], str) else state["rng"]
            torch.set_rng_state(state["torch_rng"])
            # Positions the buffer held when the checkpoint was written (older ones: none known).
            saved_positions = integer(state.get("buffer_added", 0), "buffer_added", 0, 2**62)
            epoch, consumed = state.get("dataset", (0, 0))  # runs saved before datasets: none read
            self._dataset_place = (integer(epoch, "dataset epoch", 0, 2**62),
                                   integer(consumed, "dataset positions", 0, 2**62))
        except _Mismatch as mismatch:
            raise ValueError(str(mismatch)) from None
        except Exception as error:  # whatever the loaders make of values no run wrote
            raise ValueError(f"{path!r} is not a whole training checkpoint: {error or type(error).__name__}") from None
        self.buffer = ReplayBuffer.load(self._path(BUFFER), capacity=self.config.buffer_size)
        if self.buffer.added < saved_positions:
            raise ValueError(f"{self._path(BUFFER)!r} holds {self.buffer.added:,} positions, fewer than the "
                             f"{saved_positions:,} of the checkpoint beside it: it is not this run's buffer")
        # A buffer saved without a checksum is saved again, with one, at the next checkpoint.
        self._saved_positions = -1 if self.buffer._unchecked else self.buffer.added

    @serialised
    def close(self) -> None:
        """Ends the self-play games; on workers, returns once their processes are gone."""
        self._closed = True
        try:
            if self.selfplay is not None:
                self.selfplay.close()
            self._stop_workers()
        finally:
            self.board.close()

    def _notice(self, line: str) -> None:
        # Before a run, a refused argument is the only line the command says.
        if self._notices is None:
            _say(line)
        else:
            self._notices.append(line)

    def _log_training(self) -> None:
        self.board.train(self.updates, policy_loss=self.losses[0], value_loss=self.losses[1],
                         learning_rate=self.optimizer.param_groups[0]["lr"], buffer_size=len(self.buffer),
                         positions=self.buffer.added, clock=self.clock, phase=self.phase)


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


# The end of a whole game as _keep_games writes it: the result, then a blank line.
_WHOLE_GAME_END = re.compile(rb"\s(?:1-0|0-1|1/2-1/2|\*)\n\n")
_OWN_FIRST_LINE = b'[Event "vantor train self-play"]'
_GAMES_TAIL = 1 << 20  # bytes looked back for the last whole game (a game is far shorter)


def _whole_record(record: dict[str, Any]) -> bool:
    """Whether a log record holds what ``evaluate`` writes, with values it could write."""
    counts: list[Any] = [record.get(k) for k in ("games", "wins", "draws", "losses")]
    scores: list[Any] = [record.get(k) for k in ("score_low", "score", "score_high")]
    elos = [record.get(k) for k in ("elo", "elo_low", "elo_high")]
    if not (all(type(c) is int and c >= 0 for c in counts) and all(type(s) in (int, float) for s in scores)):
        return False
    games, wins, draws, losses = counts
    low, score, high = scores
    return (games == wins + draws + losses and 0 <= low <= score <= high <= 1
            and all(e is None or (type(e) in (int, float) and math.isfinite(e)) for e in elos))


def _cut_to_whole(path: str) -> str:
    """Cuts off the start of a game of this writer's that a kill left after the last
    whole game; the text to write before the next game (a blank line after anything
    else that does not end with one: a user's own text is never cut)."""
    try:
        with open(path, "r+b") as games:
            size = games.seek(0, os.SEEK_END)
            start = games.seek(max(0, size - _GAMES_TAIL))
            tail = games.read()
            ends = [m.end() for m in _WHOLE_GAME_END.finditer(tail)]
            whole = ends[-1] if ends else 0
            rest = tail[whole:]
            own = rest.startswith(_OWN_FIRST_LINE) or _OWN_FIRST_LINE.startswith(rest)
            if rest and own and (ends or start == 0):
                games.truncate(start + whole)
                return ""
            return "" if not tail or tail.endswith(b"\n\n") else "\n\n"
    except FileNotFoundError:
        return ""


def _variant(chess960: object) -> str:
    return "Chess960" if chess960 else "standard"


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


def _is_terminal() -> bool:
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError, OSError):
        return False


def progress_seconds() -> float:
    """How often progress is said: every 10 seconds on a terminal, every minute in a log or a pipe."""
    return 10.0 if _is_terminal() else 60.0


class _Ticker:
    """Says a line of progress on standard error when ``progress_seconds`` have passed
    since the last (the line is made only then)."""

    def __init__(self) -> None:
        self.every = progress_seconds()
        self.last = time.monotonic()

    def __call__(self, line: Callable[[], str]) -> None:
        now = time.monotonic()
        if now - self.last >= self.every:
            self.last = now
            _say(line())
