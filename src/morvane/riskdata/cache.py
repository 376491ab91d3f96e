"""The cache of values read from the market store: bounded, least recently used first out, and
keyed by the identity of the store file in use, so that a rebuilt store is never served stale
values."""

from __future__ import annotations

import os
import threading
from collections import OrderedDict
from collections.abc import Callable, Hashable
from typing import Any, TypeVar

import tarnwick

__all__ = ["LRU", "cached", "clear_cache", "store_identity"]

_T = TypeVar("_T")


class LRU:
    """A small bounded least-recently-used cache of computed values."""

    def __init__(self, maxsize: int) -> None:
        self._maxsize = maxsize
        self._data: OrderedDict[Hashable, Any] = OrderedDict()
        self._lock = threading.Lock()

    def get(self, key: Hashable, compute: Callable[[], _T]) -> _T:
        with self._lock:
            if key in self._data:
                self._data.move_to_end(key)
                return self._data[key]  # type: ignore[no-any-return]
        value = compute()
        with self._lock:
            self._data[key] = value
            self._data.move_to_end(key)
            while len(self._data) > self._maxsize:
                self._data.popitem(last=False)
        return value

    def clear(self) -> None:
        with self._lock:
            self._data.clear()

    def __len__(self) -> int:
        with self._lock:
            return len(self._data)


# Factor covariances, full-market exposures and specific variances of recent (date, model) keys.
_CACHE = LRU(48)


def clear_cache() -> None:
    """Forget every cached risk-model piece."""
    _CACHE.clear()


def store_identity() -> tuple[object, ...]:
    """Identifies the store file the client reads (inside ``tarnwick.snapshot()`` the pinned
    one, even when a rebuild has renamed a new file into place since)."""
    identity = getattr(getattr(tarnwick, "store", None), "identity", None)
    if callable(identity):
        return tuple(identity())
    try:
        path = os.fspath(tarnwick.store.store_path())
        st = os.stat(path)
    except (AttributeError, OSError, TypeError):
        return ("<no store file>",)
    return (path, st.st_ino, st.st_size, st.st_mtime_ns)


def cached(
    identity: tuple[object, ...], key: tuple[Hashable, ...], compute: Callable[[], _T]
) -> _T:
    """The value of ``compute()`` for ``key`` (what it is: a table name with its date and
    models) read from the store file ``identity``, computed once while it stays cached."""
    return _CACHE.get((identity, *key), compute)
