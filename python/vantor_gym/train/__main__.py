"""python -m vantor_gym.train: an AlphaZero-style run, from nothing or from its checkpoint."""

from __future__ import annotations

import dataclasses
import sys
import time
from collections.abc import Callable
from typing import Any

from vantor_gym._numbers import real
from vantor_gym._parsing import Parser, one_line, whole
from vantor_gym.train.loop import TrainConfig, Trainer
from vantor_gym.uci import EngineError


# How a flag's text becomes the field's value, by the field's declared type.
_KINDS: dict[str, Callable[[str], Any]] = {"int": whole, "float": float, "str": str}


def parse(argv: list[str] | None = None, prog: str = "python -m vantor_gym.train") -> tuple[TrainConfig, float]:
    parser = Parser(prog=prog, description=__doc__)
    parser.add_argument("--minutes", type=float, default=60.0, help="wall time to train for")
    for field in dataclasses.fields(TrainConfig):
        kind = _KINDS.get(str(field.type).split(" |")[0], str)
        parser.add_argument("--" + field.name.replace("_", "-"), type=kind, default=field.default,
                            help=f"default: {field.default}")
    args = vars(parser.parse_args(argv))
    minutes = args.pop("minutes")
    try:
        real(minutes, "minutes", 0.0)
        config = TrainConfig(**args)
    except (TypeError, ValueError) as error:
        # A value of the right type that the run cannot take: one line, as the other commands say it.
        print(f"{prog}: error: {error}", file=sys.stderr)
        raise SystemExit(1) from None
    return config, minutes


def main(argv: list[str] | None = None, prog: str = "python -m vantor_gym.train") -> int:
    """Runs the training command; a refused argument is one line and status 2, a failure
    before or during the run one line and status 1, an interrupt status 130."""
    config, minutes = parse(argv, prog)
    last = [0.0]

    def report(t: Trainer) -> None:
        now = time.monotonic()
        if now - last[0] >= 10:
            last[0] = now
            policy, value = t.losses
            print(f"{t.clock / 60:5.1f} min, {t.phase}: {t.buffer.added} positions, {t.updates} updates, "
                  f"losses {policy:.3f} (policy) {value:.3f} (value)", file=sys.stderr, flush=True)

    trainer = None
    try:
        trainer = Trainer(config)
        trainer.check_inputs()
        trainer.run(minutes, report)
    except (ValueError, TypeError, OSError, EngineError) as error:
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
    print(f"{config.directory}: {trainer.clock / 60:.1f} minutes of training, {trainer.buffer.added} positions, "
          f"{trainer.updates} updates; network.pt, log.jsonl and curve.png written")
    return 0


if __name__ == "__main__":
    sys.exit(main())
