"""Atomic replacement of files: write a temporary sibling, rename it over the target; and
the clean-up of temporary files that a killed process left behind."""

from __future__ import annotations

import os
import re
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

__all__ = ["temp_path", "remove_stale_temps", "replacing"]


def temp_path(target: Path) -> Path:
    """A new temporary file name next to ``target``, marked with this process's id."""
    return target.with_name(f".{target.name}.{os.getpid()}.{time.monotonic_ns()}.tmp")


def _process_gone(pid: int) -> bool:
    if pid == os.getpid():
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except (PermissionError, OSError):
        return False
    return False


def remove_stale_temps(target: Path) -> list[Path]:
    """Delete the temporary files (and their write-ahead logs) that earlier builds of
    ``target`` left behind in its folder when their process died; returns them."""
    pattern = re.compile(rf"^\.{re.escape(target.name)}\.(\d+)\.\d+\.tmp(\.wal)?$")
    removed = []
    try:
        entries = list(target.parent.iterdir())
    except OSError:
        return removed
    for entry in entries:
        m = pattern.match(entry.name)
        if m and _process_gone(int(m.group(1))):
            try:
                entry.unlink()
                removed.append(entry)
            except FileNotFoundError:
                pass
    return removed


def _remove(path: Path) -> None:
    for leftover in (path, path.with_name(path.name + ".wal")):
        try:
            leftover.unlink()
        except FileNotFoundError:
            pass


@contextmanager
def replacing(target: Path) -> Iterator[Path]:
    """Yield a temporary path; when the block ends normally it is renamed over ``target``,
    when it raises (Ctrl-C included) it is deleted and ``target`` is untouched.  Temporary
    files of dead processes next to ``target`` are removed first."""
    remove_stale_temps(target)
    tmp = temp_path(target)
    try:
        yield tmp
        os.replace(tmp, target)
    except BaseException:
        _remove(tmp)
        raise
