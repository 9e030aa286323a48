"""python -m vantor_gym.train: an AlphaZero-style run, from nothing or from its checkpoint.

It trains for --minutes of training time (evaluations stop the clock) in three phases:
engine games (1/6 of the minutes by default), imitation of their moves (1/2), then
self-play for the rest, under standard chess rules unless --rules says otherwise. A run
under a minute is refused before any work, unless both --engine-minutes and
--imitation-minutes are given. Evaluations play fewer games in runs under 60 minutes;
the final one's size is said before it starts. Progress goes to
standard error every 10 seconds on a terminal, every minute in a log or a pipe. Started
again with the same flags, a run goes on from its last checkpoint in --directory.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import sys
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from vantor_gym._numbers import real
from vantor_gym._parsing import Parser, one_line, whole
from vantor_gym.rules import RULES
from vantor_gym.train.config import HELP, TrainConfig
from vantor_gym.view._flags import add_view_flags

if TYPE_CHECKING:
    from vantor_gym.train.loop import Trainer

# How a flag's text becomes the field's value, by the field's declared type.
_KINDS: dict[str, Callable[[str], Any]] = {"int": whole, "float": float, "str": str}
# The fields whose flag takes one of a few words.
_CHOICES = {"rules": RULES}
# The checkpoint's name in the run's directory (loop.CHECKPOINT), known here without PyTorch.
_CHECKPOINT = "checkpoint.pt"


def parse(argv: list[str] | None = None, prog: str = "python -m vantor_gym.train") -> tuple[TrainConfig, float]:
    """The run's config and minutes from the command line, without loading PyTorch; a
    value the run cannot take is one line and status 1, a malformed one status 2."""
    config, minutes, _ = _parse(argv, prog)
    return config, minutes


def _parse(argv: list[str] | None, prog: str) -> tuple[TrainConfig, float, int | None]:
    """``parse``'s config and minutes, and the watch page's port with --view (None without)."""
    parser = Parser(prog=prog, description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--minutes", type=float, default=60.0,
                        help="minutes of training time, shared out among the phases (default: %(default)s)")
    for field in dataclasses.fields(TrainConfig):
        if str(field.type) == "bool":
            parser.add_argument("--" + field.name.replace("_", "-"), action="store_true", help=HELP.get(field.name))
            continue
        kind = _KINDS.get(str(field.type).split(" |")[0], str)
        parser.add_argument("--" + field.name.replace("_", "-"), type=kind, default=field.default,
                            choices=_CHOICES.get(field.name), help=HELP.get(field.name, "default: %(default)s"))
    add_view_flags(parser)
    args = vars(parser.parse_args(argv))
    minutes = args.pop("minutes")
    config_args = {k: v for k, v in args.items() if k not in ("view", "view_port")}
    try:
        real(minutes, "minutes", 0.0)
        config = TrainConfig(**config_args)
    except (TypeError, ValueError) as error:
        # A value of the right type that the run cannot take: one line, as the other commands say it.
        print(f"{prog}: error: {error}", file=sys.stderr)
        raise SystemExit(1) from None
    return config, minutes, args["view_port"] if args["view"] else None


def main(argv: list[str] | None = None, prog: str = "python -m vantor_gym.train") -> int:
    """Runs the training command; a refused argument is one line and status 2, a failure
    before or during the run one line and status 1, an interrupt status 130."""
    config, minutes, view_port = _parse(argv, prog)
    if not os.path.exists(os.path.join(config.directory, _CHECKPOINT)):
        try:
            config.check_budget(minutes)  # before PyTorch loads: a run too short is said at once
        except ValueError as error:
            print(f"{prog}: error: {error}", file=sys.stderr)
            return 1
    try:
        from vantor_gym.train.loop import Trainer, progress_seconds
    except ImportError as error:
        # An install without the train extra: one line saying what is missing, no traceback.
        print(f"{prog}: error: training needs PyTorch and matplotlib (pip install 'vantor[train]'): "
              f"{one_line(error)}", file=sys.stderr)
        return 1
    from vantor_gym.uci import EngineError

    every = progress_seconds()
    last = [0.0]

    def report(t: Trainer) -> None:
        now = time.monotonic()
        if now - last[0] >= every:
            last[0] = now
            policy, value = t.losses
            print(f"{t.clock / 60:5.1f} of {minutes:g} min, {t.phase}: {t.buffer.added} positions, "
                  f"{t.updates} updates, losses {policy:.3f} (policy) {value:.3f} (value)", file=sys.stderr,
                  flush=True)

    trainer = None
    viewer = None
    try:
        feed = None
        if view_port is not None:
            from vantor_gym.view import GameFeed, Viewer  # before the run: a missing extra is said at once

            feed = GameFeed()
        trainer = Trainer(config, feed=feed)
        if feed is not None:
            viewer = Viewer(feed=feed, run=config.directory, port=view_port or 0)
            print(f"watch the run at {viewer.address('watch')}", file=sys.stderr, flush=True)
        trained = trainer.run(minutes, report)
    except (ValueError, TypeError, OSError, EngineError, ImportError) as error:
        print(f"{prog}: error: {error}", file=sys.stderr)
        return 1
    except (MemoryError, RuntimeError) as error:
        # Sizes beyond this machine: PyTorch's allocator says so with a RuntimeError.
        print(f"{prog}: error: {one_line(error, 300)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{prog}: interrupted; the same command goes on from the last checkpoint in {config.directory}",
              file=sys.stderr)
        return 130
    finally:
        if trainer is not None:
            trainer.close()
        if viewer is not None:
            viewer.close()
    if trained:
        print(f"{config.directory}: {trainer.clock / 60:.1f} minutes of training, {trainer.buffer.added} positions, "
              f"{trainer.updates} updates; network.pt, log.jsonl and curve.png written")
    return 0


if __name__ == "__main__":
    sys.exit(main())
