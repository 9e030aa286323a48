"""The evaluations' log of a training run, read without PyTorch (the viewer reads it)."""

from __future__ import annotations

import json
import os
from typing import Any

__all__ = ["read_log"]

_RECORD_NUMBERS = ("minutes", "score", "score_low", "score_high")


def read_log(path: str | os.PathLike[str]) -> list[dict[str, Any]]:
    """The records of a JSON-lines log, in order. A line that is no record (cut short by a
    kill, or not written by ``evaluate``: no opponent, minutes and scores) is skipped."""
    records = []
    with open(path, encoding="utf-8", errors="replace") as source:
        for line in source:
            try:
                record = json.loads(line)
            except (ValueError, RecursionError):  # not JSON, nested too deep, or a number too long
                continue
            if isinstance(record, dict) and isinstance(record.get("opponent"), str) and all(
                    isinstance(record.get(key), (int, float)) and not isinstance(record.get(key), bool)
                    for key in _RECORD_NUMBERS):
                records.append(record)
    return records
