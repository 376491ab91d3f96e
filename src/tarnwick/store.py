"""The embedded market store: location, building and the cached read-only connection."""

from __future__ import annotations

import datetime as _dt
import os
import sys
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import duckdb
import pandas as pd

from tarnwick.build.meta import SCHEMA_VERSION
from tarnwick.build.riskmodel import estimate_risk_model
from tarnwick.db.layout import RAW_TABLES
from tarnwick.progress import Progress
from tarnwick.sources import sample as _sample

__all__ = [
    "SCHEMA_VERSION",
    "SCHEMA",
    "store_path",
    "connect",
    "close",
    "query",
    "build",
    "write_market",
    "cached",
]

#: Table definitions of the raw tables, in creation order.
SCHEMA: dict[str, str] = {
    **{t.name: t.ddl() for t in RAW_TABLES if t.name != "index_weights"},
    "meta": "key VARCHAR PRIMARY KEY, value VARCHAR",
}

_lock = threading.RLock()
_state: dict[str, Any] = {"con": None, "key": None, "cache": {}}


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


def _file_key(path: Path) -> tuple[str, int, int] | None:
    try:
        st = path.stat()
    except FileNotFoundError:
        return None
    return (str(path.resolve()), st.st_ino, st.st_mtime_ns)


def close() -> None:
    """Close the cached read-only connection (the next :func:`connect` reopens)."""
    with _lock:
        con = _state["con"]
        _state.update(con=None, key=None, cache={})
        if con is not None:
            try:
                con.close()
            except duckdb.Error:
                pass


def connect() -> duckdb.DuckDBPyConnection:
    """The cached read-only connection to the store at :func:`store_path`.

    Reopened when the path changes or the file was replaced (inode or mtime differ).  If
    there is no store yet, the full sample market is built first.
    """
    with _lock:
        path = store_path()
        key = _file_key(path)
        if key is None:
            print(
                f"no market store at {path}, building the full sample market (about a minute)...",
                file=sys.stderr,
                flush=True,
            )
            build("full", path=path)
            key = _file_key(path)
        if _state["con"] is not None and _state["key"] == key:
            return _state["con"]
        close()
        con = _open_checked(path)
        _state.update(con=con, key=key, cache={})
        return con


def _open_checked(path: Path) -> duckdb.DuckDBPyConnection:
    """A read-only connection to ``path`` after checking that it holds a store of this
    schema version; RuntimeError naming the file (and the command that rebuilds it) if not."""
    rebuild = "rebuild it with `tarnwick sample` or delete it"
    try:
        con = duckdb.connect(str(path), read_only=True)
    except duckdb.Error as exc:
        raise RuntimeError(f"cannot open the market store {path} ({exc}); {rebuild}") from exc
    try:
        row = con.execute("SELECT value FROM meta WHERE key = 'schema_version'").fetchone()
    except duckdb.Error:
        row = None
    if row is None or row[0] != SCHEMA_VERSION:
        con.close()
        found = "no schema version" if row is None else f"schema version {row[0]}"
        raise RuntimeError(
            f"{path} is not a market store of schema version {SCHEMA_VERSION} ({found}); "
            f"{rebuild}"
        )
    return con


def cached(name: str, loader: Callable[[duckdb.DuckDBPyConnection], Any]) -> Any:
    """A value computed once per opened store (dropped when the store is reopened)."""
    with _lock:
        con = connect()
        cache = _state["cache"]
        if name not in cache:
            cache[name] = loader(con)
        return cache[name]


def query(sql: str, params: list | tuple | dict | None = None) -> pd.DataFrame:
    """Run a parameterised query on the store and return a DataFrame."""
    with _lock:
        con = connect()
        return con.execute(sql, params if params is not None else []).df()


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
    target.parent.mkdir(parents=True, exist_ok=True)
    tmp = target.with_name(f".{target.name}.{os.getpid()}.{time.monotonic_ns()}.tmp")
    bar = Progress(f"tarnwick {size}", total=1.0, enabled=progress)
    try:
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
            if _state["key"] is not None and _state["key"][0] == str(target.resolve()):
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
