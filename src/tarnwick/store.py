"""The client's store: the cached read-only connection, snapshots, and parameterised queries.

The pieces below the connection live in ``tarnwick.db``: where the file is and whether it can
be written (``db.location``), whether a file is a whole store (``db.integrity``).  They are
re-exported here, the one place callers reach the store through.  Building the sample market
(``build``) loads the generator only when it is called, or when the first query finds no
store: ``import tarnwick`` loads neither the generator nor the estimator.
"""

from __future__ import annotations

import contextlib
import os
import sys
import threading
from collections import OrderedDict
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import TYPE_CHECKING, Any

import duckdb
import pandas as pd

from tarnwick.db.atomic import remove_stale_temps, temp_path
from tarnwick.db.integrity import damaged, is_damage, open_checked, verify
from tarnwick.db.layout import SCHEMA, SCHEMA_VERSION
from tarnwick.db.location import check_location, file_key, rebuild_hint, store_path
from tarnwick.errors import StoreError

if TYPE_CHECKING:
    from tarnwick.sources.sample import SampleMarket

__all__ = [
    "SCHEMA_VERSION",
    "SCHEMA",
    "StoreError",
    "store_path",
    "check_location",
    "rebuild_hint",
    "connect",
    "identity",
    "snapshot",
    "verify",
    "close",
    "query",
    "build",
    "write_market",
    "cached",
    "temp_path",
    "remove_stale_temps",
]

_lock = threading.RLock()
# The shared read-only connection: {"con", "key" (the file's identity), "pins" (open snapshots
# reading it)}.  A connection displaced by a newer file is closed when its last snapshot ends.
_state: dict[str, Any] = {"current": None}
# Values computed from one store file, keyed by the file's identity (the last few files).
_values: OrderedDict[tuple[object, ...], dict[str, Any]] = OrderedDict()
_VALUE_FILES = 2
# The connection a `snapshot()` pins for the thread that opened it: {"con", "key", "pid"}.
_pinned = threading.local()


def _values_of(key: tuple[object, ...]) -> dict[str, Any]:
    with _lock:
        if key not in _values:
            _values[key] = {}
            while len(_values) > _VALUE_FILES:
                _values.popitem(last=False)
        _values.move_to_end(key)
        return _values[key]


def _retire(entry: dict[str, Any] | None) -> None:
    """Close a displaced connection unless a snapshot still reads it (call under the lock)."""
    if entry is not None and entry is not _state["current"] and entry["pins"] == 0:
        try:
            entry["con"].close()
        except duckdb.Error:
            pass


def close() -> None:
    """Close the cached read-only connection (the next :func:`connect` reopens); one that an
    open snapshot reads is closed when that snapshot ends."""
    with _lock:
        entry = _state["current"]
        _state["current"] = None
        _values.clear()
        _retire(entry)


def _pin() -> dict[str, Any] | None:
    pin = getattr(_pinned, "pin", None)
    if pin is not None and pin["pid"] == os.getpid():
        return pin
    return None


def _ensure_store(path: Path) -> None:
    if file_key(path) is None:
        check_location(path)
        print(
            f"no market store at {path}, building the full sample market (about a minute)...",
            file=sys.stderr,
            flush=True,
        )
        build("full", path=path)


def connect() -> duckdb.DuckDBPyConnection:
    """The read-only connection to the store at :func:`store_path`: the one a
    :func:`snapshot` of this thread pinned, else the cached one.

    The cached connection is reopened when the path changes or the file was replaced (inode,
    size or mtime differ).  If there is no store yet, the full sample market is built first.
    """
    pin = _pin()
    if pin is not None:
        return pin["con"]
    with _lock:
        return _current()["con"]


def _current() -> dict[str, Any]:
    """The shared connection's entry, reopened on the file now at the path if it changed."""
    with _lock:
        path = store_path()
        _ensure_store(path)
        entry = _state["current"]
        if entry is not None and entry["key"] == file_key(path):
            return entry
        close()
        con, key = _open_stable(path)
        _state["current"] = {"con": con, "key": key, "pins": 0}
        return _state["current"]


def identity() -> tuple[object, ...]:
    """Identifies the store file the client reads now (the pinned one inside a
    :func:`snapshot`): its resolved path, inode, modification time and size."""
    pin = _pin()
    if pin is not None:
        return pin["key"]
    with _lock:
        return _current()["key"]


@contextlib.contextmanager
def snapshot() -> Iterator[None]:
    """Every client call of this thread inside the block reads one and the same store file.

    A rebuild that renames a new file into place during the block is seen only after the
    block.  Nested snapshots share the outer one's file.  The block pins the connection in use
    (opening one if the file changed): it stays open, for this block, until the block ends.
    """
    if _pin() is not None:
        yield
        return
    with _lock:
        entry = _current()
        entry["pins"] += 1
    _pinned.pin = {"con": entry["con"], "key": entry["key"], "pid": os.getpid()}
    try:
        yield
    finally:
        _pinned.pin = None
        with _lock:
            entry["pins"] -= 1
            _retire(entry)


def _open_stable(path: Path) -> tuple[duckdb.DuckDBPyConnection, tuple[object, ...]]:
    """A checked connection to ``path`` and the identity of the file it opened (the file is
    looked at before and after opening, so a rename in between is never mislabelled)."""
    for _ in range(10):
        before = file_key(path)
        con = open_checked(path)
        if before is not None and file_key(path) == before:
            return con, before
        con.close()
    raise StoreError(f"the market store {path} keeps being replaced; try again")


def _path_in_use() -> Path:
    pin = _pin()
    return Path(str(pin["key"][0])) if pin is not None else store_path()


def _run(work: Callable[[], Any]) -> Any:
    """Run ``work``; damage found while reading becomes a one-line :class:`StoreError`."""
    try:
        return work()
    except duckdb.Error as exc:
        if is_damage(exc):
            raise damaged(_path_in_use(), exc) from exc
        raise


def cached(name: str, loader: Callable[[duckdb.DuckDBPyConnection], Any]) -> Any:
    """A value computed once per store file (the file of the connection in use)."""
    with _lock:  # connections are shared between threads: one query at a time
        con = connect()
        values = _values_of(identity())
        if name not in values:
            values[name] = _run(lambda: loader(con))
        return values[name]


def query(sql: str, params: list | tuple | dict | None = None) -> pd.DataFrame:
    """Run a parameterised query on the store and return a DataFrame."""
    args = params if params is not None else []
    with _lock:  # connections are shared between threads: one query at a time
        con = connect()
        return _run(lambda: con.execute(sql, args).df())


# --------------------------------------------------------------------------------------
# Building
# --------------------------------------------------------------------------------------


def write_market(
    con: duckdb.DuckDBPyConnection,
    market: SampleMarket,
    progress: Callable[[float, str], None] | None = None,
) -> None:
    """Create the tables of ``market`` on the read-write connection ``con``."""
    from tarnwick.build import sample

    sample.write_market(con, market, progress)


def _install(tmp: Path, target: Path) -> None:
    """Rename a finished store over ``target``, closing first the cached connection that
    reads the file it replaces."""
    with _lock:
        entry = _state["current"]
        if entry is not None and entry["key"][0] == str(target.resolve()):
            close()
        os.replace(tmp, target)


def build(
    size: str = "full",
    path: str | os.PathLike[str] | None = None,
    seed: int | None = None,
    progress: bool = True,
) -> Path:
    """Build the sample market of ``size`` into ``path`` (default :func:`store_path`), from
    ``seed`` (None: the generator's default seed, ``tarnwick.sources.sample.DEFAULT_SEED``).

    The store is written to a new temporary file next to the target and moved into place
    only when complete, so an interrupted build leaves any existing store untouched.
    Returns the path of the store.
    """
    from tarnwick.build import sample

    options: dict[str, Any] = {} if seed is None else {"seed": seed}
    return sample.build(size, path, progress=progress, install=_install, **options)
