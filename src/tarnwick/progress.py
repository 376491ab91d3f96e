"""The one progress display of tarnwick: a tqdm bar on stderr, silent when stderr is not a
terminal (log files get no frames) or when the caller asks for quiet."""

from __future__ import annotations

import sys
from collections.abc import Callable

from tqdm import tqdm

__all__ = ["Progress"]


class Progress:
    """A bar of ``total`` units of work.  ``step`` advances it by whole units; ``sub(n)`` gives
    a ``(fraction, label)`` callback that moves it across the next ``n`` units."""

    def __init__(self, title: str, total: float, enabled: bool = True) -> None:
        quiet = not enabled or not sys.stderr.isatty()
        self._bar = tqdm(
            total=total,
            desc=title,
            disable=quiet,
            file=sys.stderr,
            leave=True,
            bar_format="{desc} {percentage:3.0f}%|{bar}| {elapsed} {postfix}",
        )
        self._done = 0.0

    def _move_to(self, position: float, label: str) -> None:
        position = min(max(position, self._done), float(self._bar.total))
        if position > self._done:
            self._bar.update(position - self._done)
            self._done = position
        if label:
            self._bar.set_postfix_str(label, refresh=False)

    def step(self, label: str = "", units: float = 1.0) -> None:
        self._move_to(self._done + units, label)

    def sub(self, units: float) -> Callable[[float, str], None]:
        start = self._done

        def report(fraction: float, label: str = "") -> None:
            self._move_to(start + units * min(max(fraction, 0.0), 1.0), label)

        return report

    def finish(self, label: str = "done") -> None:
        self._move_to(float(self._bar.total), label)
        self._bar.close()

    def close(self) -> None:
        self._bar.close()
