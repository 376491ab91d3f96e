"""The store's ``meta`` table: key and value text pairs describing the build."""

from __future__ import annotations

import datetime as _dt

import duckdb

from tarnwick.db.layout import SCHEMA_VERSION

__all__ = ["SCHEMA_VERSION", "write_meta"]


def write_meta(con: duckdb.DuckDBPyConnection, entries: dict[str, str]) -> None:
    """Set ``entries`` plus the schema version, the calendar's range, the number of stocks and
    the build time in the ``meta`` table (created when missing)."""
    con.execute("CREATE TABLE IF NOT EXISTS meta (key VARCHAR PRIMARY KEY, value VARCHAR)")
    first, last = con.execute("SELECT min(date), max(date) FROM trading_dates").fetchone()
    n_stocks = con.execute("SELECT count(*) FROM instruments WHERE type = 'CS'").fetchone()[0]
    values = {
        "schema_version": SCHEMA_VERSION,
        "start_date": str(first),
        "end_date": str(last),
        "n_stocks": str(n_stocks),
        **entries,
        "built_at": _dt.datetime.now(_dt.timezone.utc).isoformat(timespec="seconds"),
    }
    con.executemany("INSERT OR REPLACE INTO meta VALUES (?, ?)", sorted(values.items()))
