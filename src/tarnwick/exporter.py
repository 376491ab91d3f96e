"""Export of a store's raw tables to a folder, one CSV or Parquet file per table."""

from __future__ import annotations

import os
from pathlib import Path

import duckdb

from tarnwick.db.atomic import replacing
from tarnwick.db.layout import RAW_TABLES, RawTable

__all__ = ["FORMATS", "export_dir"]

FORMATS = ("parquet", "csv")

# The weights of every index on every trading day, as the client derives them when the store
# keeps none: the latest composition effective on the day, less members delisted by then,
# weighted by their market caps of the previous trading day (the day's own on the first day).
_DERIVED_WEIGHTS = """
WITH cal AS (
    SELECT date, coalesce(lag(date) OVER (ORDER BY date), date) AS cap_date FROM trading_dates
), eff AS (
    SELECT c.date, c.cap_date, e.index_id, max(e.effective_date) AS effective_date
    FROM cal c JOIN (SELECT DISTINCT index_id, effective_date FROM index_components) e
      ON e.effective_date <= c.date
    GROUP BY c.date, c.cap_date, e.index_id
), members AS (
    SELECT e.index_id, e.date, e.cap_date, m.order_book_id
    FROM eff e
    JOIN index_components m
      ON m.index_id = e.index_id AND m.effective_date = e.effective_date
    JOIN instruments i ON i.order_book_id = m.order_book_id
    WHERE i.de_listed_date = '0000-00-00' OR i.de_listed_date > strftime(e.date, '%Y-%m-%d')
), capped AS (
    SELECT m.index_id, m.date, m.order_book_id, f.market_cap_3 AS cap
    FROM members m
    JOIN factor_values f ON f.order_book_id = m.order_book_id AND f.date = m.cap_date
    WHERE isfinite(f.market_cap_3) AND f.market_cap_3 > 0
)
SELECT index_id, date, order_book_id, cap / sum(cap) OVER (PARTITION BY index_id, date) AS weight
FROM capped
"""


def _tables(con: duckdb.DuckDBPyConnection) -> set[str]:
    return {r[0] for r in con.execute("SELECT table_name FROM duckdb_tables()").fetchall()}


def _select(table: RawTable, present: set[str]) -> str | None:
    """The query giving ``table`` in file form, or None when the store cannot give it."""
    order = ", ".join(table.key)
    if table.name == "index_weights" and "index_weights" not in present:
        if "index_components" not in present:
            return None
        return f"SELECT * FROM ({_DERIVED_WEIGHTS}) ORDER BY {order}"
    if table.name not in present:
        return None
    cols = ", ".join(
        c.store_name if c.store_name == c.name else f"{c.store_name} AS {c.name}"
        for c in table.columns
    )
    # Table and column names come from the fixed layout, never from the caller.
    return f"SELECT {cols} FROM {table.name} ORDER BY {order}"


def export_dir(
    directory: str | os.PathLike[str],
    path: str | os.PathLike[str] | None = None,
    format: str = "parquet",
) -> list[Path]:
    """Write the raw tables of the store at ``path`` (default: the store in use) into
    ``directory``, one ``<table>.<format>`` file per table; returns the files written.

    Each file is written under a temporary name and renamed into place.  ``index_weights``
    holds the stored weights or, when the store keeps none, the weights the client derives
    from the compositions and market caps on every trading day.
    """
    if format not in FORMATS:
        raise ValueError(f"format must be one of {FORMATS}, got {format!r}")
    from tarnwick import store  # the client's store: its default location

    source = Path(path).expanduser() if path is not None else store.store_path()
    if not source.is_file():
        raise FileNotFoundError(f"no market store at {source}")
    out = Path(directory).expanduser()
    out.mkdir(parents=True, exist_ok=True)
    options = "(FORMAT parquet)" if format == "parquet" else "(FORMAT csv, HEADER)"
    written = []
    con = duckdb.connect(str(source), read_only=True)
    try:
        present = _tables(con)
        for table in RAW_TABLES:
            sql = _select(table, present)
            if sql is None:
                continue
            target = out / f"{table.name}.{format}"
            with replacing(target) as tmp:
                con.execute(f"COPY ({sql}) TO ? {options}", [str(tmp)])
            written.append(target)
    finally:
        con.close()
    return written
