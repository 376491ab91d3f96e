"""Atomic replacement of files: write a temporary sibling, rename it over the target."""

from __future__ import annotations

import os
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

__all__ = ["temporary_sibling", "replacing"]


def temporary_sibling(target: Path) -> Path:
    """A fresh hidden temporary path next to ``target``, named after the process."""
    return target.with_name(f".{target.name}.{os.getpid()}.{time.monotonic_ns()}.tmp")


def _remove(path: Path) -> None:
    for leftover in (path, path.with_name(path.name + ".wal")):
        try:
            leftover.unlink()
        except FileNotFoundError:
            pass


@contextmanager
def replacing(target: Path) -> Iterator[Path]:
    """Yield a temporary path; when the block ends normally it is renamed over ``target``,
    when it raises (Ctrl-C included) it is deleted and ``target`` is untouched."""
    tmp = temporary_sibling(target)
    try:
        yield tmp
        os.replace(tmp, target)
    except BaseException:
        _remove(tmp)
        raise
