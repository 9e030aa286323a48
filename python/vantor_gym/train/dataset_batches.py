"""The learner's batches from a game dataset: its positions streamed epoch after epoch, each
with the move played as the policy target and the game's result as the value target."""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from typing import Any

import torch

from vantor_gym.compact import expand_observations_torch
from vantor_gym.data import ACTIONS, PositionDataset, legal_mask
from vantor_gym.dataset import GameDataset

__all__ = ["DatasetBatches"]


class DatasetBatches:
    """Batches of ``batch_size`` positions of the dataset at ``path``, shuffled by ``seed``
    and the epoch, in bounded memory (``vantor_gym.data.PositionDataset``). ``epoch`` and
    ``consumed`` (positions given in that epoch) say where the stream stands, so that a
    run saved with them resumes it where it stopped; at the end of an epoch the next begins."""

    def __init__(self, path: str, batch_size: int, seed: int, *, epoch: int = 0, consumed: int = 0,
                 rating_weights: Sequence[tuple[int, float]] | None = None, threads: int | None = None) -> None:
        self.games = GameDataset(path)  # a directory that is no dataset is refused here, before any work
        if self.games.plies == 0:
            raise ValueError(f"the dataset in {path!r} holds no position")
        self.batch_size, self.seed, self.threads = batch_size, seed, threads or None
        self.rating_weights = rating_weights
        self.epoch, self.consumed = epoch, consumed
        self._batches: Iterator[dict[str, torch.Tensor]] | None = None

    def _open(self) -> Iterator[dict[str, torch.Tensor]]:
        dataset = PositionDataset(self.games, batch_size=self.batch_size, seed=self.seed, epoch=self.epoch,
                                  start=self.consumed, rating_weights=self.rating_weights, threads=self.threads)
        return iter(dataset)

    def next(self, device: torch.device) -> dict[str, torch.Tensor]:
        """The next batch on ``device``: ``observations`` (planes, float32), ``masks``,
        ``policies`` (1 on the move played), ``values`` and ``weights`` (None without
        rating weights)."""
        for _ in range(2):  # an epoch that ends gives way to the next one's first batch
            if self._batches is None:
                self._batches = self._open()
            batch = next(self._batches, None)
            if batch is not None:
                self.consumed += len(batch["action"])
                return _targets(batch, device)
            self._batches, self.epoch, self.consumed = None, self.epoch + 1, 0
        raise ValueError("the dataset gave no position in a whole epoch: every game was skipped")


def _targets(batch: dict[str, torch.Tensor], device: torch.device) -> dict[str, Any]:
    actions = batch["action"].to(device)
    policies = torch.zeros(len(actions), ACTIONS, device=device)
    policies[torch.arange(len(actions), device=device), actions] = 1.0
    weights = batch.get("weight")
    return {"observations": expand_observations_torch(batch["observations"].to(device), torch.float32),
            "masks": legal_mask(batch["legal"].to(device)), "policies": policies,
            "values": batch["value"].to(device), "weights": None if weights is None else weights.to(device)}
