"""A small progress line on standard error for long work.

    with Progress(total=100, what="games") as progress:
        for game in games:
            ...
            progress.update(score="3.5-2.5")

By default the line is shown only when standard error is a terminal, so logs and pipes
stay clean; ``enabled=True`` or ``False`` decides it outright. Only the standard library
is used.
"""

from __future__ import annotations

import sys
import time
from types import TracebackType
from typing import TextIO

__all__ = ["Progress"]


def _is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError, OSError):
        # A closed or replaced stream is not a terminal anyone is watching.
        return False


def _format_rate(per_second: float) -> str:
    if per_second >= 100:
        return f"{per_second:,.0f}/s"
    return f"{per_second:.3g}/s"


class Progress:
    """Counts finished units of work and shows the count, rate and extra fields.

    ``total`` is the expected count (``None`` when unknown), ``what`` names the units.
    On a terminal the line is redrawn in place at most ``interval`` seconds apart; on any
    other stream that is enabled explicitly, one line is written per redraw.
    ``close`` (or leaving the ``with`` block) writes the final line.
    """

    def __init__(
        self,
        total: int | None,
        what: str,
        enabled: bool | None = None,
        *,
        stream: TextIO | None = None,
        interval: float = 0.2,
    ) -> None:
        if total is not None and (isinstance(total, bool) or not isinstance(total, int)):
            raise TypeError(f"total must be an int or None, got {total!r}")
        if total is not None and total < 0:
            raise ValueError(f"total must be at least 0, got {total}")
        if enabled is not None and not isinstance(enabled, bool):
            raise TypeError(f"enabled must be a bool or None, got {enabled!r}")
        self.total = total
        self.what = str(what)
        self.count = 0
        self.fields: dict[str, object] = {}
        self._stream = stream if stream is not None else sys.stderr
        self._terminal = _is_terminal(self._stream)
        self.enabled = self._terminal if enabled is None else enabled
        self._interval = float(interval)
        self._start = time.monotonic()
        self._last_draw = float("-inf")
        self._width = 0
        self._closed = False
        self._dirty = False

    def __enter__(self) -> Progress:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()

    def update(self, n: int = 1, **fields: object) -> None:
        """Adds ``n`` finished units and replaces the named extra fields."""
        if isinstance(n, bool) or not isinstance(n, int):
            raise TypeError(f"n must be an int, got {n!r}")
        self.count += n
        self.fields.update(fields)
        self._dirty = True
        now = time.monotonic()
        if self.enabled and not self._closed and now - self._last_draw >= self._interval:
            self._draw(now, final=False)

    def close(self) -> None:
        """Writes the final line once; later updates still count but draw nothing."""
        if self._closed:
            return
        self._closed = True
        # A log already holds the last line; a terminal's line still needs its newline.
        if self.enabled and (self._dirty or self._terminal):
            self._draw(time.monotonic(), final=True)

    def line(self) -> str:
        """The text of the progress line as it stands."""
        elapsed = max(time.monotonic() - self._start, 1e-9)
        count = f"{self.count}/{self.total}" if self.total is not None else str(self.count)
        parts = [f"{self.what}: {count}"]
        if self.total:
            parts[0] += f" ({100 * self.count / self.total:.0f}%)"
        parts.append(_format_rate(self.count / elapsed))
        parts.append(f"{elapsed:.1f}s")
        parts.extend(f"{key} {value}" for key, value in self.fields.items())
        return "  ".join(parts)

    def _draw(self, now: float, *, final: bool) -> None:
        self._last_draw = now
        self._dirty = False
        text = self.line()
        try:
            if self._terminal:
                # Pad over the previous, possibly longer, line drawn in place.
                self._stream.write("\r" + text.ljust(self._width) + ("\n" if final else ""))
                self._width = len(text)
            else:
                self._stream.write(text + "\n")
            self._stream.flush()
        except (OSError, ValueError):
            # A reader that went away must not end the work being reported.
            self.enabled = False
