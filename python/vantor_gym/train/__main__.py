"""python -m vantor_gym.train: an AlphaZero-style run, from nothing or from its checkpoint."""

from __future__ import annotations

import argparse
import dataclasses
import sys
import time

from vantor_gym.train.loop import TrainConfig, Trainer


def parse(argv: list[str] | None = None, prog: str = "python -m vantor_gym.train") -> tuple[TrainConfig, float]:
    parser = argparse.ArgumentParser(prog=prog, description=__doc__)
    parser.add_argument("--minutes", type=float, default=60.0, help="wall time to train for")
    for field in dataclasses.fields(TrainConfig):
        kind = {"int": int, "float": float, "str": str}.get(str(field.type).split(" |")[0], str)
        parser.add_argument("--" + field.name.replace("_", "-"), type=kind, default=field.default,
                            help=f"default: {field.default}")
    args = vars(parser.parse_args(argv))
    minutes = args.pop("minutes")
    return TrainConfig(**args), minutes


def main(argv: list[str] | None = None, prog: str = "python -m vantor_gym.train") -> int:
    config, minutes = parse(argv, prog)
    trainer = Trainer(config)
    last = [0.0]

    def report(t: Trainer) -> None:
        now = time.monotonic()
        if now - last[0] >= 10:
            last[0] = now
            policy, value = t.losses
            print(f"{t.clock / 60:5.1f} min, {t.phase}: {t.buffer.added} positions, {t.updates} updates, "
                  f"losses {policy:.3f} (policy) {value:.3f} (value)", file=sys.stderr, flush=True)

    try:
        trainer.run(minutes, report)
    finally:
        trainer.close()
    print(f"{config.directory}: {trainer.clock / 60:.1f} minutes of training, {trainer.buffer.added} positions, "
          f"{trainer.updates} updates; network.pt, log.jsonl and curve.png written")
    return 0


if __name__ == "__main__":
    sys.exit(main())
