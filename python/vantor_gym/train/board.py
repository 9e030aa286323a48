"""TensorBoard logs of a training run: its losses, learning rate, buffer, phase and
self-play speed at each learner step, and its evaluations' scores and Elo differences,
written by ``torch.utils.tensorboard`` into ``<run directory>/tensorboard``.

Without TensorBoard (or PyTorch) installed, as under the free-threaded interpreter, a
board warns once and writes nothing, so that training goes on without it."""

from __future__ import annotations

import math
import numbers
import os
import re
import stat
import struct
import tempfile
import threading
import warnings
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from vantor_gym._numbers import integer, real
from vantor_gym._storage import open_regular
from vantor_gym.train.config import PHASES

if TYPE_CHECKING:
    from torch.utils.tensorboard import SummaryWriter

__all__ = ["SUBDIRECTORY", "TrainingBoard"]

SUBDIRECTORY = "tensorboard"
"""The folder of a run's directory that its TensorBoard event files go into."""

# Self-play adds a game's positions when the game ends, so a rate over one iteration jumps
# between nothing and a burst: it is measured over at least this many seconds of training.
_RATE_SECONDS = 30.0
_ELO_KEYS = ("elo", "elo_low", "elo_high")
_SCORE_KEYS = ("score", "score_low", "score_high")
_warnings_lock = threading.Lock()
_warnings_given: set[str] = set()


def _warn_once(message: str) -> None:
    with _warnings_lock:
        if message in _warnings_given:
            return
        _warnings_given.add(message)
    warnings.warn(message, RuntimeWarning, stacklevel=3)


class TrainingBoard:
    """The TensorBoard event files of the run in ``directory``, in its ``tensorboard``
    folder; watch them with ``tensorboard --logdir <directory>/tensorboard``.

    ``purge_step``: the events at that step and later are deleted from the files already
    there before anything is written, and a restart marker at that step is written for
    readers of older event files; a resumed run passes one more than the learner steps of
    its checkpoint (the work after it is done again), a run started afresh passes 0 (its
    folder's older events belong to a run that was never saved). ``None`` keeps every event.

    Events are queued and written by PyTorch's writer thread, on disk within
    ``flush_secs`` seconds and at ``close``. Without ``torch.utils.tensorboard`` (PyTorch
    or TensorBoard missing) the board is inactive (``active`` is false): its calls write
    nothing and a ``RuntimeWarning`` naming ``pip install 'vantor[train]'`` is given once
    per process. A folder that cannot be written, or a write that fails (a full disk),
    warns once and makes it inactive too: the logs are never worth a run. With ``say``,
    these notices go to it (a line of text each) instead of ``warnings``. Calls from
    several threads take turns."""

    def __init__(self, directory: str | os.PathLike[str], *, purge_step: int | None = None,
                 flush_secs: float = 10.0, say: Callable[[str], object] | None = None) -> None:
        if say is not None and not callable(say):
            raise TypeError(f"say must be a callable or None, not {type(say).__name__}")
        self._say = say
        if purge_step is not None:
            purge_step = integer(purge_step, "purge_step", 0)
        flush_secs = real(flush_secs, "flush_secs", 0.0)
        self.directory = os.path.join(os.fspath(directory), SUBDIRECTORY)
        self._lock = threading.Lock()
        self._writer: SummaryWriter | None = None
        self._step = -1  # the step of the last training scalars, which only grows
        self._phase: str | None = None
        self._rate_from: tuple[float, int] | None = None  # the clock and positions the rate is measured from
        try:
            from torch.utils.tensorboard import SummaryWriter
        except ImportError as error:
            self._notice(f"TensorBoard is not installed, so training runs write no TensorBoard logs "
                       f"(pip install 'vantor[train]' brings it): {error}")
            return
        try:
            os.makedirs(self.directory, exist_ok=True)
            if purge_step is not None:
                _purge(self.directory, purge_step)
            self._writer = SummaryWriter(self.directory, purge_step=purge_step, flush_secs=flush_secs)
        except OSError as error:  # no logs rather than curves that double back after a failed purge
            self._notice(f"no TensorBoard logs: cannot write into {self.directory!r}: {error}")

    @property
    def active(self) -> bool:
        """Whether the board writes (TensorBoard is installed, and it has not been closed nor failed)."""
        return self._writer is not None

    def train(self, step: int, *, policy_loss: float, value_loss: float, learning_rate: float, buffer_size: int,
              positions: int, clock: float, phase: str) -> None:
        """The training scalars at ``step``, the learner steps so far: ``loss/policy`` and
        ``loss/value`` (left out while NaN, as before the first learner step),
        ``train/learning_rate``, ``buffer/size``, ``train/minutes`` (the training clock,
        ``clock`` seconds), ``train/phase`` (0, 1, 2: engine games, imitation, self-play,
        with the phase's name as the text ``train/phase_name`` when it changes) and the
        positions that reached the buffer per second of training (``positions`` is the
        count added since the run began) in self-play, as ``selfplay/positions_per_second``
        over at least 30 seconds of the clock (a game's positions go in when it ends). A call
        at the step of the previous one writes nothing (no learner step was taken since);
        ``ValueError`` for a step below it, and for values out of range, before writing."""
        step = integer(step, "step", 0)
        losses = {"loss/policy": _loss(policy_loss, "policy_loss"), "loss/value": _loss(value_loss, "value_loss")}
        learning_rate = real(learning_rate, "learning_rate", 0.0)
        buffer_size = integer(buffer_size, "buffer_size", 0)
        positions = integer(positions, "positions", 0)
        clock = real(clock, "clock", 0.0)
        if phase not in PHASES:
            raise ValueError(f"phase must be one of {', '.join(PHASES)}, not {phase!r}")
        with self._lock:
            if step < self._step:
                raise ValueError(f"step {step} is below the previous one, {self._step}: steps only grow (a resumed "
                                 "run opens a new board with purge_step)")
            if self._writer is None or step == self._step:
                return
            scalars = {"train/learning_rate": learning_rate, "buffer/size": buffer_size, "train/minutes": clock / 60,
                       "train/phase": PHASES.index(phase)}
            scalars.update((tag, value) for tag, value in losses.items() if not math.isnan(value))
            if self._phase != phase or self._rate_from is None:
                self._rate_from = (clock, positions)
            elif phase == "self-play" and clock - self._rate_from[0] >= _RATE_SECONDS:
                seconds, added = clock - self._rate_from[0], positions - self._rate_from[1]
                scalars["selfplay/positions_per_second"] = added / seconds
                self._rate_from = (clock, positions)
            self._write(step, scalars, phase if self._phase != phase else None)
            self._step, self._phase = step, phase

    def evaluation(self, step: int, records: Sequence[Mapping[str, Any]]) -> None:
        """An evaluation's records (as ``evaluate.evaluate`` gives them) at ``step``: for
        each opponent ``eval/<opponent>/score`` with ``score_low`` and ``score_high`` (its
        95 % interval), and ``eval/<opponent>/elo`` with ``elo_low`` and ``elo_high`` where
        finite (a record holds ``None`` for an infinite one), on disk at once (evaluations
        are rare and slow to redo). ``ValueError`` naming the first record that is no such
        record, before anything is written."""
        step = integer(step, "step", 0)
        if isinstance(records, Mapping) or not isinstance(records, Sequence):
            raise TypeError(f"records must be a sequence of evaluation records, not {type(records).__name__}")
        scalars: dict[str, float] = {}
        for number, record in enumerate(records):
            opponent = record.get("opponent") if isinstance(record, Mapping) else None
            if not isinstance(opponent, str) or not opponent:
                raise ValueError(f"record {number} is no evaluation record: it names no opponent")
            prefix = "eval/" + re.sub(r"[^\w.-]", "_", opponent)
            try:
                scalars.update((f"{prefix}/{key}", real(record.get(key), key, 0.0)) for key in _SCORE_KEYS)
                scalars.update((f"{prefix}/{key}", real(record[key], key)) for key in _ELO_KEYS
                               if record.get(key) is not None)
            except (TypeError, ValueError) as error:
                raise ValueError(f"record {number} (against {opponent}) is no evaluation record: {error}") from None
        with self._lock:
            if self._writer is not None:
                self._write(step, scalars, None)
        self.flush()

    def _write(self, step: int, scalars: Mapping[str, float], phase: str | None) -> None:
        assert self._writer is not None
        try:
            for tag, value in scalars.items():
                self._writer.add_scalar(tag, value, step)
            if phase is not None:
                self._writer.add_text("train/phase_name", phase, step)
        except OSError as error:
            self._fail(error)

    def _notice(self, message: str) -> None:
        if self._say is not None:
            self._say(message)
        else:
            _warn_once(message)

    def _fail(self, error: OSError) -> None:
        self._notice(f"TensorBoard logs stopped: cannot write into {self.directory!r}: {error}")
        writer, self._writer = self._writer, None
        try:
            if writer is not None:
                writer.close()
        except OSError:
            pass

    def flush(self) -> None:
        """Writes the queued events to disk now."""
        with self._lock:
            try:
                if self._writer is not None:
                    self._writer.flush()
            except OSError as error:
                self._fail(error)

    def close(self) -> None:
        """Writes the queued events and closes the files; later calls write nothing."""
        with self._lock:
            writer, self._writer = self._writer, None
            try:
                if writer is not None:
                    writer.close()
            except OSError as error:
                self._notice(f"TensorBoard logs cut short: cannot write into {self.directory!r}: {error}")

    def __enter__(self) -> TrainingBoard:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _loss(value: object, name: str) -> float:
    """A loss as a float: NaN is taken (a trainer's losses before its first step), and infinities."""
    if isinstance(value, numbers.Real) and not isinstance(value, bool) and math.isnan(value):
        return math.nan
    return real(value, name, finite=False)


def _records(data: bytes) -> Iterator[tuple[bytes, bytes]]:
    """The whole records of an event file (TFRecord framing: the length, its checksum, the
    data, its checksum) as (record, data); a record cut short by a kill, or a length that
    does not match its checksum, ends them."""
    from tensorboard.compat.tensorflow_stub.pywrap_tensorflow import (  # type: ignore[import-untyped,unused-ignore]
        masked_crc32c,
    )

    at = 0
    while at + 12 <= len(data):
        (length, check) = struct.unpack_from("<QI", data, at)
        end = at + 12 + length + 4
        if end > len(data) or masked_crc32c(data[at:at + 8]) != check:
            return
        yield data[at:end], data[at + 12:end - 4]
        at = end


def _purge(directory: str, step: int) -> None:
    """Deletes the summaries at ``step`` and later from the event files in ``directory``.
    TensorBoard's own restart marker is not enough: its default loader ignores it, and its
    other loader ignores the first one of a run. Records are copied as they are, with their
    checksums, and everything else (headers, records that do not parse, a cut tail) is kept;
    a changed file is written beside the old one and renamed over it."""
    from tensorboard.compat.proto.event_pb2 import Event  # type: ignore[import-untyped,unused-ignore]
    from google.protobuf.message import DecodeError  # type: ignore[import-untyped]

    for name in sorted(os.listdir(directory)):
        path = os.path.join(directory, name)
        if "tfevents" not in name or name.startswith("."):
            continue
        # A link is never followed: the file it names may lie outside the run's folder.
        status = os.lstat(path)
        if not stat.S_ISREG(status.st_mode):
            continue
        with open_regular(path, "an event file") as source:
            opened = os.fstat(source.fileno())
            if (opened.st_dev, opened.st_ino) != (status.st_dev, status.st_ino):
                continue  # swapped for a link since it was looked at
            data = source.read()
        kept, dropped, end = [], False, 0
        for record, payload in _records(data):
            end += len(record)
            try:
                event = Event.FromString(payload)
            except DecodeError:
                event = None
            if event is not None and event.HasField("summary") and event.step >= step:
                dropped = True
            else:
                kept.append(record)
        if not dropped:
            continue
        kept.append(data[end:])
        # Named without "tfevents", so that a TensorBoard watching the folder does not read it half-written.
        handle, temporary = tempfile.mkstemp(dir=directory, prefix=".purging-", suffix=".tmp")
        try:
            with os.fdopen(handle, "wb") as out:
                out.write(b"".join(kept))
            os.chmod(temporary, status.st_mode & 0o7777)
            os.replace(temporary, path)
        except BaseException:
            try:
                os.remove(temporary)
            except OSError:
                pass
            raise
