"""The training loop: self-play with the network as the search's evaluator, a replay
buffer, a learner on the best device present, and checkpoints a killed run resumes from."""

from __future__ import annotations

import dataclasses
import json
import os
import time
from dataclasses import dataclass
from typing import Any

import numpy as np
import torch

from vantor_gym.train.network import NetworkConfig, PolicyValueNet, best_device, evaluator, losses
from vantor_gym.train.replay import ReplayBuffer
from vantor_gym.train.selfplay import SelfPlay

__all__ = ["TrainConfig", "Trainer"]

CHECKPOINT = "checkpoint.pt"
BUFFER = "buffer.npz"


@dataclass(frozen=True)
class TrainConfig:
    """Everything a run is made of; the command line's flags are its fields."""

    directory: str = "vantor-run"
    channels: int = 64
    blocks: int = 6
    games: int = 64
    simulations: int = 64
    max_plies: int = 200
    temperature_plies: int = 20
    plies_per_iteration: int = 8
    updates_per_iteration: int = 4
    batch_size: int = 256
    learning_rate: float = 1e-3
    weight_decay: float = 1e-4
    buffer_size: int = 200_000
    checkpoint_every: int = 10
    seed: int = 0
    device: str | None = None  # None for the best present: CUDA, else the CPU
    threads: int | None = None

    def network(self) -> NetworkConfig:
        return NetworkConfig(self.channels, self.blocks)


class Trainer:
    """A run in ``config.directory``: made fresh, or resumed from the checkpoint there
    (the network, the optimiser, the replay buffer, the counters and the generators as
    they were saved; games in progress when the run was killed are played anew).

    ``iterate()`` plays ``plies_per_iteration`` moves of every self-play game, then makes
    ``updates_per_iteration`` learner steps on batches drawn from the buffer (once it holds
    a batch), and saves a checkpoint every ``checkpoint_every`` iterations."""

    def __init__(self, config: TrainConfig) -> None:
        self.config = config
        self.device = torch.device(config.device) if config.device else best_device()
        torch.manual_seed(config.seed)
        self.net = PolicyValueNet(config.network()).to(self.device)
        self.optimizer = torch.optim.AdamW(self.net.parameters(), lr=config.learning_rate,
                                           weight_decay=config.weight_decay)
        self.buffer = ReplayBuffer(config.buffer_size)
        self.rng = np.random.default_rng(config.seed)
        self.iteration = 0
        self.updates = 0
        self.losses = (float("nan"), float("nan"))
        os.makedirs(config.directory, exist_ok=True)
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

    def iterate(self) -> None:
        self.selfplay.play(self.config.plies_per_iteration, self.buffer)
        if len(self.buffer) >= self.config.batch_size:
            for _ in range(self.config.updates_per_iteration):
                self.losses = self._learn()
        self.iteration += 1
        if self.iteration % self.config.checkpoint_every == 0:
            self.save()

    def run(self, minutes: float, report: Any = None) -> None:
        """Iterates for ``minutes`` of wall time, then saves a checkpoint; ``report`` is
        called with the trainer after every iteration."""
        deadline = time.monotonic() + 60 * minutes
        while time.monotonic() < deadline:
            self.iterate()
            if report is not None:
                report(self)
        self.save()

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

    def save(self) -> None:
        """Writes the checkpoint and the buffer, each through a temporary file renamed into
        place, the buffer first: a run killed while saving resumes from the previous
        checkpoint with a buffer at least as new."""
        self.buffer.save(self._path(BUFFER))
        state = {"net": self.net.state_dict(), "optimizer": self.optimizer.state_dict(), "iteration": self.iteration,
                 "updates": self.updates, "rng": self.rng.bit_generator.state, "torch_rng": torch.get_rng_state(),
                 "config": json.dumps(dataclasses.asdict(self.config))}
        temporary = self._path(CHECKPOINT + ".tmp")
        torch.save(state, temporary)
        os.replace(temporary, self._path(CHECKPOINT))

    def _resume(self) -> None:
        state = torch.load(self._path(CHECKPOINT), map_location=self.device, weights_only=False)
        saved = TrainConfig(**json.loads(state["config"]))
        if saved.network() != self.config.network():
            raise ValueError(f"the checkpoint in {self.config.directory!r} holds a network of {saved.network()}, "
                             f"not {self.config.network()}")
        self.net.load_state_dict(state["net"])
        self.optimizer.load_state_dict(state["optimizer"])
        self.iteration, self.updates = state["iteration"], state["updates"]
        self.rng.bit_generator.state = state["rng"]
        torch.set_rng_state(state["torch_rng"])
        self.buffer = ReplayBuffer.load(self._path(BUFFER))

    def close(self) -> None:
        self.selfplay.close()
