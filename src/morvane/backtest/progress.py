"""Progress of a backtest run: one bar per strategy where someone watches (a terminal or a
notebook), plain lines where the output goes to a log.

A bar redraws itself with carriage returns and escape codes; written to a file or a pipe those
frames pile up into unreadable lines, so when stderr is not a terminal (and no notebook shows
widgets) each step is one plain line instead.
"""

from __future__ import annotations

import sys
from typing import Any, Optional, TextIO

__all__ = ["Progress", "interactive"]


def _notebook() -> bool:
    from tqdm.auto import tqdm

    return any(cls.__module__ == "tqdm.notebook" for cls in tqdm.__mro__)


def interactive(stream: Optional[TextIO] = None) -> bool:
    """True where bars can be drawn: in a notebook, or on a terminal."""
    stream = sys.stderr if stream is None else stream
    isatty = getattr(stream, "isatty", None)
    return _notebook() or bool(isatty and isatty())


class Progress:
    """One progress display per strategy: bars when ``interactive``, else a line per step."""

    def __init__(
        self,
        plans: dict[str, int],
        done: dict[str, int],
        enabled: bool,
        stream: Optional[TextIO] = None,
    ) -> None:
        self._stream = sys.stderr if stream is None else stream
        self._enabled = enabled
        self._totals = dict(plans)
        self._counts = {name: done.get(name, 0) for name in plans}
        self._bars: dict[str, Any] = {}
        if enabled and interactive(self._stream):
            from tqdm.auto import tqdm

            self._bars = {
                name: tqdm(
                    total=total,
                    initial=self._counts[name],
                    desc=name,
                    unit="rebalance",
                    position=i,
                    leave=True,
                    file=self._stream,
                )
                for i, (name, total) in enumerate(plans.items())
            }

    def _line(self, name: str) -> None:
        if self._enabled and not self._bars:
            total = self._totals[name]
            print(f"{name}: {self._counts[name]}/{total} rebalances", file=self._stream, flush=True)

    def step(self, name: str) -> None:
        self._counts[name] += 1
        if name in self._bars:
            self._bars[name].update(1)
        self._line(name)

    def finish(self, name: str, count: int) -> None:
        added = max(count - self._counts[name], 0)
        if not added:
            return
        self._counts[name] += added
        if name in self._bars:
            self._bars[name].update(added)
        self._line(name)

    def close(self) -> None:
        for bar in self._bars.values():
            bar.close()
