"""The embedded market store: location, building and the cached read-only connection."""

from __future__ import annotations

import contextlib
import os
import sys
import threading
from collections import OrderedDict
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import duckdb
import pandas as pd

from tarnwick.build.meta import SCHEMA_VERSION, write_meta
from tarnwick.build.riskmodel import estimate_risk_model
from tarnwick.build.write import create_tables, insert_frame
from tarnwick.db.atomic import remove_stale_temps, temp_path
from tarnwick.db.layout import RAW_TABLES
from tarnwick.progress import Progress
from tarnwick.sources import sample as _sample

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

#: Table definitions of the raw tables, in creation order.
SCHEMA: dict[str, str] = {
    **{t.name: t.ddl() for t in RAW_TABLES if t.name != "index_weights"},
    "meta": "key VARCHAR PRIMARY KEY, value VARCHAR",
}


class StoreError(RuntimeError):
    """A fault of the store file or of its location, explained in one line."""


_lock = threading.RLock()
# The shared read-only connection: {"con", "key" (the file's identity), "pins" (open snapshots
# reading it)}.  A connection displaced by a newer file is closed when its last snapshot ends.
_state: dict[str, Any] = {"current": None}
# Values computed from one store file, keyed by the file's identity (the last few files).
_values: OrderedDict[tuple[object, ...], dict[str, Any]] = OrderedDict()
_VALUE_FILES = 2
# The connection a `snapshot()` pins for the thread that opened it: {"con", "key", "pid"}.
_pinned = threading.local()
# Files (by identity) whose length was found whole.
_whole_files: set[tuple[object, ...] | None] = set()
# DuckDB keeps this many bytes of file header before its first block.
_HEADER_BYTES = 3 * 4096
_DAMAGE_ERRORS: tuple[type[BaseException], ...] = (
    duckdb.IOException,
    duckdb.InternalException,
    duckdb.SerializationException,
    duckdb.CatalogException,
)


def _user_cache_dir() -> Path:
    """The user's cache folder: %LOCALAPPDATA% on Windows, ~/Library/Caches on macOS,
    $XDG_CACHE_HOME (else ~/.cache) elsewhere."""
    if sys.platform == "win32" and os.environ.get("LOCALAPPDATA"):
        return Path(os.environ["LOCALAPPDATA"])
    if sys.platform == "darwin":
        return Path.home() / "Library" / "Caches"
    return Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache").expanduser()


def store_path() -> Path:
    """Where the store lives: ``$TARNWICK_HOME/market.duckdb`` if TARNWICK_HOME is set, else
    ``tarnwick/market.duckdb`` in the user's cache folder (``$XDG_CACHE_HOME`` or
    ``~/.cache`` on Linux)."""
    home = os.environ.get("TARNWICK_HOME")
    if home:
        return Path(home).expanduser() / "market.duckdb"
    return _user_cache_dir() / "tarnwick" / "market.duckdb"


def rebuild_hint(path: Path) -> str:
    """The command that rebuilds the store at ``path``."""
    if Path(path) == store_path():
        return "rebuild it with `tarnwick sample`"
    return f"rebuild it with `tarnwick sample --path {path}`"


def check_location(path: Path) -> None:
    """Refuse, before any work, a store location that cannot hold a store: ``path`` a folder,
    ``TARNWICK_HOME`` a file, a parent that is missing, not a folder or not writable."""
    home = os.environ.get("TARNWICK_HOME")
    if home and path == store_path():
        folder = Path(home).expanduser()
        if folder.exists() and not folder.is_dir():
            raise StoreError(f"TARNWICK_HOME={home} is a file, not a folder")
        if not folder.exists():
            if not folder.parent.is_dir():
                raise StoreError(
                    f"TARNWICK_HOME={home} cannot be created: its parent {folder.parent} is "
                    "missing or not a folder"
                )
            _check_writable(folder.parent, "TARNWICK_HOME's parent")
            return
    if path.is_dir():
        raise StoreError(f"{path} is a folder; name the store file, e.g. {path / 'market.duckdb'}")
    parent = path.parent
    if parent.exists() and not parent.is_dir():
        raise StoreError(f"cannot write the store {path}: {parent} is a file, not a folder")
    if not parent.exists():
        if path == store_path() and not home:
            return  # the user's cache folder is created on first use
        raise StoreError(f"cannot write the store {path}: the folder {parent} does not exist")
    _check_writable(parent, "the folder")


def _check_writable(folder: Path, what: str) -> None:
    if not os.access(folder, os.W_OK | os.X_OK):
        raise StoreError(f"cannot write the store: {what} {folder} is not writable")


def _file_key(path: Path) -> tuple[object, ...] | None:
    try:
        st = path.stat()
    except (FileNotFoundError, NotADirectoryError):
        return None
    return (str(path.resolve()), st.st_ino, st.st_mtime_ns, st.st_size)


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
    if _file_key(path) is None:
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
        if entry is not None and entry["key"] == _file_key(path):
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
        before = _file_key(path)
        con = _open_checked(path)
        if before is not None and _file_key(path) == before:
            return con, before
        con.close()
    raise StoreError(f"the market store {path} keeps being replaced; try again")


def _damaged(path: Path, exc: BaseException) -> StoreError:
    text = str(exc).strip()
    detail = text.splitlines()[0] if text else type(exc).__name__
    return StoreError(f"the market store {path} is damaged ({detail}); {rebuild_hint(path)}")


def _open_checked(path: Path) -> duckdb.DuckDBPyConnection:
    """A read-only connection to ``path`` after checking that it is a whole store of this
    schema version; :class:`StoreError` naming the file and the command that rebuilds it if
    not.  The file is attached to a private in-memory database, so that the connection keeps
    the file it opened even when another one is renamed over the path."""
    if path.is_dir():
        raise StoreError(f"the market store {path} is a folder, not a file")
    con = duckdb.connect()
    try:
        # A path, never an id; older DuckDB takes no parameter in ATTACH.
        quoted = str(path).replace("'", "''")
        con.execute(f"ATTACH '{quoted}' AS store (READ_ONLY)")
        con.execute("USE store")
    except duckdb.Error as exc:
        con.close()
        raise StoreError(
            f"cannot open the market store {path} (not a DuckDB file, or damaged); "
            f"{rebuild_hint(path)}"
        ) from exc
    try:
        _check_contents(con, path)
    except BaseException:
        con.close()
        raise
    return con


def _check_contents(con: duckdb.DuckDBPyConnection, path: Path) -> None:
    try:
        _check_length(con, path)
        try:
            row = con.execute("SELECT value FROM meta WHERE key = 'schema_version'").fetchone()
        except duckdb.CatalogException:
            row = None
        if row is None or row[0] != SCHEMA_VERSION:
            found = "no schema version" if row is None else f"schema version {row[0]}"
            raise StoreError(
                f"{path} is not a market store of schema version {SCHEMA_VERSION} ({found}); "
                f"{rebuild_hint(path)} or delete it"
            )
        tables = {r[0] for r in con.execute("SELECT table_name FROM duckdb_tables()").fetchall()}
        missing = sorted(set(SCHEMA) - tables)
        if missing:
            raise StoreError(
                f"the market store {path} lacks the tables {', '.join(missing)}; "
                f"{rebuild_hint(path)}"
            )
    except duckdb.Error as exc:
        raise _damaged(path, exc) from exc


def _check_length(con: duckdb.DuckDBPyConnection, path: Path) -> None:
    """StoreError if the file ends before the last block its tables use (a truncated copy or
    download).  Checked once per file and process."""
    key = _file_key(path)
    if key in _whole_files:
        return
    block_size = con.execute(
        "SELECT block_size FROM pragma_database_size() WHERE database_name = 'store'"
    ).fetchone()[0]
    last = -1
    for (table,) in con.execute("SELECT table_name FROM duckdb_tables()").fetchall():
        # Table names come from the catalogue itself, passed as a text argument.
        row = con.execute("SELECT max(block_id) FROM pragma_storage_info(?)", [table]).fetchone()
        if row and row[0] is not None:
            last = max(last, int(row[0]))
    expected = _HEADER_BYTES + (last + 1) * int(block_size)
    size = path.stat().st_size
    if size < expected:
        raise StoreError(
            f"the market store {path} is truncated ({size:,d} of {expected:,d} bytes); "
            f"{rebuild_hint(path)}"
        )
    with _lock:
        _whole_files.add(key)


def verify(path: Path) -> None:
    """Read every column of every table of the store at ``path``, so that a damaged block
    fails its checksum now: :class:`StoreError` in one line if the store is not whole."""
    con = _open_checked(path)
    try:
        tables = [r[0] for r in con.execute("SELECT table_name FROM duckdb_tables()").fetchall()]
        for table in tables:
            columns = [
                r[0]
                for r in con.execute(
                    "SELECT column_name FROM duckdb_columns() WHERE table_name = ?", [table]
                ).fetchall()
            ]
            # Names come from the catalogue itself, quoted as identifiers.
            hashes = ", ".join(f'sum(hash("{c}"))' for c in columns)
            con.execute(f'SELECT count(*), {hashes} FROM "{table}"').fetchall()
    except duckdb.Error as exc:
        raise _damaged(path, exc) from exc
    finally:
        con.close()


def _path_in_use() -> Path:
    pin = _pin()
    return Path(str(pin["key"][0])) if pin is not None else store_path()


def _run(work: Callable[[], Any]) -> Any:
    """Run ``work``; damage found while reading becomes a one-line :class:`StoreError`."""
    try:
        return work()
    except _DAMAGE_ERRORS as exc:
        raise _damaged(_path_in_use(), exc) from exc
    except duckdb.Error as exc:
        if type(exc) is duckdb.Error or "Corrupt" in str(exc):
            raise _damaged(_path_in_use(), exc) from exc
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
    market: _sample.SampleMarket,
    progress: Callable[[float, str], None] | None = None,
) -> None:
    """Create the tables of ``market`` on the read-write connection ``con``."""
    report = progress or (lambda f, s: None)
    frames = {
        "instruments": market.instruments,
        "trading_dates": market.trading_dates,
        "daily_bars": market.daily_bars,
        "factor_values": market.factor_values,
        "index_components": market.index_components,
        "industries": market.industries,
        "style_descriptors": market.style_descriptors,
    }
    create_tables(con, list(frames))
    for k, (table, frame) in enumerate(frames.items()):
        insert_frame(con, table, frame)
        report((k + 1) / (len(frames) + 1), table)
    write_meta(con, dict(market.meta))
    report(1.0, "meta")


def build(
    size: str = "full",
    path: str | os.PathLike[str] | None = None,
    seed: int = _sample.DEFAULT_SEED,
    progress: bool = True,
) -> Path:
    """Build the sample market of ``size`` into ``path`` (default :func:`store_path`).

    The store is written to a new temporary file next to the target and moved into place
    only when complete, so an interrupted build leaves any existing store untouched.
    Returns the path of the store.
    """
    _sample.config(size)  # validates size
    target = Path(path).expanduser() if path is not None else store_path()
    check_location(target)
    target.parent.mkdir(parents=True, exist_ok=True)
    remove_stale_temps(target)
    tmp = temp_path(target)
    try:
        tmp.touch(exist_ok=False)  # fails now, not after the generating, if we cannot write
    except OSError as exc:
        raise StoreError(f"cannot write the store {target}: {exc.strerror or exc}") from exc
    bar = Progress(f"tarnwick {size}", total=1.0, enabled=progress)
    try:
        tmp.unlink()
        market = _sample.generate(size, seed, progress=bar.sub(0.45))
        con = duckdb.connect(str(tmp))
        try:
            write_market(con, market, progress=bar.sub(0.3))
            del market
            estimate_risk_model(con, progress=bar.sub(0.25))
            con.execute("CHECKPOINT")
        finally:
            con.close()
        with _lock:
            entry = _state["current"]
            if entry is not None and entry["key"][0] == str(target.resolve()):
                close()
            os.replace(tmp, target)
        bar.finish()
    except BaseException:
        bar.close()
        for leftover in (tmp, tmp.with_name(tmp.name + ".wal")):
            try:
                leftover.unlink()
            except FileNotFoundError:
                pass
        raise
    return target
