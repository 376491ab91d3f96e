"""The embedded market store: location, building and the cached read-only connection."""

from __future__ import annotations

import contextlib
import datetime as _dt
import os
import re
import sys
import threading
import time
import warnings
from collections import OrderedDict
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import duckdb
import pandas as pd

from tarnwick import sample as _sample

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
    "ProgressBar",
]

SCHEMA_VERSION = "2"

#: Table definitions, in creation order.
SCHEMA: dict[str, str] = {
    "instruments": """
        order_book_id VARCHAR PRIMARY KEY, symbol VARCHAR, type VARCHAR, exchange VARCHAR,
        listed_date VARCHAR, de_listed_date VARCHAR, shares_outstanding DOUBLE""",
    "trading_dates": "date DATE PRIMARY KEY",
    "daily_bars": """
        order_book_id VARCHAR, date DATE, close DOUBLE, volume DOUBLE, adj_factor DOUBLE""",
    "factor_values": "order_book_id VARCHAR, date DATE, market_cap_3 DOUBLE",
    "index_components": "index_id VARCHAR, effective_date DATE, order_book_id VARCHAR",
    "industries": """
        order_book_id VARCHAR, classification VARCHAR, industry_code VARCHAR,
        industry_name VARCHAR""",
    "style_descriptors": "date DATE, order_book_id VARCHAR, "
    + ", ".join(f"{c} DOUBLE" for c in _sample.STYLE_NAMES),
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


class ProgressBar:
    """A one-line text progress bar on stderr."""

    def __init__(self, title: str, enabled: bool = True, width: int = 30) -> None:
        self.title, self.enabled, self.width = title, enabled, width
        self.start = time.monotonic()
        self._last = -1.0

    def update(self, fraction: float, label: str = "") -> None:
        if not self.enabled:
            return
        fraction = min(max(fraction, 0.0), 1.0)
        if fraction - self._last < 0.005 and fraction < 1.0:
            return
        self._last = fraction
        filled = int(round(self.width * fraction))
        bar = "#" * filled + "-" * (self.width - filled)
        elapsed = time.monotonic() - self.start
        line = f"\r{self.title} [{bar}] {fraction * 100:5.1f}% {elapsed:5.1f}s {label[:28]:<28}"
        sys.stderr.write(line)
        sys.stderr.flush()

    def finish(self, label: str = "done") -> None:
        if self.enabled:
            self._last = -1.0
            self.update(1.0, label)
            sys.stderr.write("\n")
            sys.stderr.flush()


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
    for k, (table, frame) in enumerate(frames.items()):
        con.execute(f"CREATE TABLE {table} ({SCHEMA[table]})")
        cols = ", ".join(f'"{c}"' for c in frame.columns)
        con.register("_frame", frame)
        try:
            con.execute(f"INSERT INTO {table} ({cols}) SELECT {cols} FROM _frame")
        finally:
            con.unregister("_frame")
        report((k + 1) / (len(frames) + 1), table)
    con.execute(f"CREATE TABLE meta ({SCHEMA['meta']})")
    meta = dict(market.meta)
    meta["schema_version"] = SCHEMA_VERSION
    meta["built_at"] = _dt.datetime.now(_dt.timezone.utc).isoformat(timespec="seconds")
    con.executemany("INSERT INTO meta VALUES (?, ?)", sorted(meta.items()))
    report(1.0, "meta")


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


def _risk_model_builder() -> Callable[..., Any] | None:
    try:
        from tarnwick import riskmodel
    except ModuleNotFoundError as exc:
        if exc.name != "tarnwick.riskmodel":
            raise
        return None
    return getattr(riskmodel, "build_risk_model", None)


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
    bar = ProgressBar(f"tarnwick {size}", enabled=progress)
    try:
        tmp.unlink()
        market = _sample.generate(size, seed, progress=lambda f, s: bar.update(0.45 * f, s))
        con = duckdb.connect(str(tmp))
        try:
            write_market(con, market, progress=lambda f, s: bar.update(0.45 + 0.3 * f, s))
            del market
            builder = _risk_model_builder()
            if builder is None:
                warnings.warn(
                    "tarnwick.riskmodel.build_risk_model is not available; "
                    "the store is built without the risk model tables",
                    RuntimeWarning,
                    stacklevel=2,
                )
            else:
                bar.update(0.75, "risk model")
                builder(con, progress=lambda f, s: bar.update(0.75 + 0.25 * f, s))
            con.execute(
                "INSERT OR REPLACE INTO meta VALUES ('risk_model', ?)",
                ["yes" if builder is not None else "no"],
            )
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
        if progress:
            sys.stderr.write("\n")
        for leftover in (tmp, tmp.with_name(tmp.name + ".wal")):
            try:
                leftover.unlink()
            except FileNotFoundError:
                pass
        raise
    return target
