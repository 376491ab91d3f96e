"""Whether a file is a whole store of this schema version: checked at opening, in full on
demand, and the one-line :class:`StoreError` that damage found while reading becomes."""

from __future__ import annotations

import threading
from pathlib import Path

import duckdb

from tarnwick.db.layout import SCHEMA, SCHEMA_VERSION
from tarnwick.db.location import file_key, rebuild_hint
from tarnwick.errors import StoreError

__all__ = ["DAMAGE_ERRORS", "open_checked", "verify", "damaged", "is_damage"]

#: DuckDB's errors that mean the file is not whole (a failed checksum, a truncated block).
DAMAGE_ERRORS: tuple[type[BaseException], ...] = (
    duckdb.IOException,
    duckdb.InternalException,
    duckdb.SerializationException,
    duckdb.CatalogException,
)
# DuckDB keeps this many bytes of file header before its first block.
_HEADER_BYTES = 3 * 4096
# Files (by identity) whose length was found whole.
_whole_files: set[tuple[object, ...] | None] = set()
_whole_lock = threading.Lock()


def damaged(path: Path, exc: BaseException) -> StoreError:
    """The one-line error naming ``path`` as damaged, with the command that rebuilds it."""
    text = str(exc).strip()
    detail = text.splitlines()[0] if text else type(exc).__name__
    return StoreError(f"the market store {path} is damaged ({detail}); {rebuild_hint(path)}")


def is_damage(exc: BaseException) -> bool:
    """Whether a DuckDB error raised while reading means the file is not whole."""
    if isinstance(exc, DAMAGE_ERRORS):
        return True
    return isinstance(exc, duckdb.Error) and (type(exc) is duckdb.Error or "Corrupt" in str(exc))


def open_checked(path: Path) -> duckdb.DuckDBPyConnection:
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
        raise damaged(path, exc) from exc


def _check_length(con: duckdb.DuckDBPyConnection, path: Path) -> None:
    """StoreError if the file ends before the last block its tables use (a truncated copy or
    download).  Checked once per file and process."""
    key = file_key(path)
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
    with _whole_lock:
        _whole_files.add(key)


def verify(path: Path) -> None:
    """Read every column of every table of the store at ``path``, so that a damaged block
    fails its checksum now: :class:`StoreError` in one line if the store is not whole."""
    con = open_checked(path)
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
        raise damaged(path, exc) from exc
    finally:
        con.close()
