"""Writing validated raw tables into a store: a new store, or the days of an update.

Both work on a read-write connection to a temporary copy that the caller renames into place.
"""

from __future__ import annotations

import datetime as _dt
from dataclasses import dataclass

import duckdb
import pandas as pd

from tarnwick.build.validate import clean_name
from tarnwick.db.layout import RAW_TABLES, RawTable

__all__ = [
    "Written",
    "complete_classifications",
    "create_tables",
    "insert",
    "insert_frame",
    "write_new",
    "write_update",
]

#: The classifications of the risk model's industry factors (v1, v2), each the other's stand-in.
_MODEL_CLASSIFICATIONS = ("sws", "sws_split")

#: Tables a store always has, empty when the source gives none.
_ALWAYS = (
    "instruments",
    "trading_dates",
    "daily_bars",
    "factor_values",
    "index_components",
    "industries",
    "style_descriptors",
)


@dataclass(frozen=True)
class Written:
    """What a write changed: the days written, and whether rows dated before the first of
    them may have changed meaning (instrument dates or industries of known stocks), which
    asks for a full re-estimation of the risk model."""

    days: list[_dt.date]
    history_changed: bool


def create_tables(con: duckdb.DuckDBPyConnection, names: list[str]) -> None:
    """CREATE TABLE for the raw tables ``names`` (table definitions from the layout)."""
    for table in RAW_TABLES:
        if table.name in names:
            con.execute(f"CREATE TABLE {table.name} ({table.ddl()})")


def insert_frame(con: duckdb.DuckDBPyConnection, table: str, frame: pd.DataFrame) -> None:
    """Insert a DataFrame whose columns are store column names of ``table``."""
    known = {c.store_name for t in RAW_TABLES if t.name == table for c in t.columns}
    unknown = [c for c in frame.columns if c not in known]
    if unknown:
        raise ValueError(f"{table} has no columns {unknown}")
    cols = ", ".join(f'"{c}"' for c in frame.columns)
    con.register("_frame", frame)
    try:
        con.execute(f"INSERT INTO {table} ({cols}) SELECT {cols} FROM _frame")
    finally:
        con.unregister("_frame")


def insert(con: duckdb.DuckDBPyConnection, table: RawTable, select: str) -> None:
    """Insert the rows of the query ``select`` (file column names) into ``table``, in key
    order."""
    cols = ", ".join(c.store_name for c in table.columns)
    names = ", ".join(c.name for c in table.columns)
    con.execute(
        f"INSERT INTO {table.name} ({cols}) SELECT {names} FROM ({select}) "
        f"ORDER BY {', '.join(table.key)}"
    )


def complete_classifications(con: duckdb.DuckDBPyConnection, present: list[str]) -> list[str]:
    """Give the validated industries both classifications the risk model uses: one that is
    missing is filled from the other (or from ``citic`` when both are).  Returns the warnings
    to show (a classification filled, or no industries at all)."""
    if "industries" not in present:
        return ["no industries file: the risk models have no industry factors"]
    table = clean_name("industries")
    given = [
        r[0]
        for r in con.execute(f"SELECT DISTINCT classification FROM {table} ORDER BY 1").fetchall()
    ]
    notes = []
    for wanted in _MODEL_CLASSIFICATIONS:
        if wanted in given:
            continue
        source = next((c for c in (*_MODEL_CLASSIFICATIONS, "citic") if c in given), None)
        if source is None:
            continue
        con.execute(
            f"INSERT INTO {table} SELECT _line, order_book_id, ?, industry_code, industry_name "
            f"FROM {table} WHERE classification = ?",
            [wanted, source],
        )
        notes.append(
            f"industries: no '{wanted}' rows, filled from '{source}' (the risk "
            f"model's industry factors use '{wanted}')"
        )
    return notes


def write_new(con: duckdb.DuckDBPyConnection, present: list[str]) -> Written:
    """Create the raw tables of a new store from the validated tables ``present``."""
    names = [t.name for t in RAW_TABLES if t.name in present or t.name in _ALWAYS]
    create_tables(con, names)
    for table in RAW_TABLES:
        if table.name in present:
            insert(con, table, f"SELECT * FROM {clean_name(table.name)}")
    days = [r[0] for r in con.execute("SELECT date FROM trading_dates ORDER BY date").fetchall()]
    return Written(days, history_changed=True)


def _history_changed(con: duckdb.DuckDBPyConnection, present: list[str], first: str) -> bool:
    """Whether the new instruments or industries change anything before ``first`` for the
    stocks already stored: a listing or delisting date before it, or an industry."""
    if "instruments" in present:
        changed = con.execute(
            f"SELECT count(*) FROM instruments o JOIN {clean_name('instruments')} n "
            "USING (order_book_id) WHERE o.type <> n.type OR ((o.listed_date <> n.listed_date "
            "OR o.de_listed_date <> n.de_listed_date) AND (least(o.listed_date, n.listed_date) "
            "< ? OR (o.de_listed_date <> '0000-00-00' AND o.de_listed_date < ?) OR "
            "(n.de_listed_date <> '0000-00-00' AND n.de_listed_date < ?)))",
            [first, first, first],
        ).fetchone()
        if changed and changed[0]:
            return True
    if "industries" in present:
        diff = con.execute(
            "SELECT count(*) FROM ((SELECT order_book_id, classification, industry_code, "
            "industry_name FROM industries EXCEPT SELECT order_book_id, classification, "
            f"industry_code, industry_name FROM {clean_name('industries')}) UNION ALL "
            "(SELECT order_book_id, classification, industry_code, industry_name "
            f"FROM {clean_name('industries')} WHERE order_book_id IN "
            "(SELECT order_book_id FROM industries) EXCEPT SELECT order_book_id, "
            "classification, industry_code, industry_name FROM industries))"
        ).fetchone()
        if diff and diff[0]:
            return True
    return False


def write_update(con: duckdb.DuckDBPyConnection, present: list[str]) -> Written:
    """Add or replace, in an existing store, the days of the validated ``trading_dates``:
    the rows of those days of every dated table given, and the whole instruments and
    industries tables when given."""
    days = [
        r[0]
        for r in con.execute(
            f"SELECT date FROM {clean_name('trading_dates')} ORDER BY date"
        ).fetchall()
    ]
    # Without new days, any change of a known stock's dates or industries counts.
    history = _history_changed(con, present, days[0].isoformat() if days else "9999-12-31")
    day_list = "(SELECT date FROM " + clean_name("trading_dates") + ")"
    if "index_weights" in present:
        con.execute(
            f"CREATE TABLE IF NOT EXISTS index_weights "
            f"({next(t for t in RAW_TABLES if t.name == 'index_weights').ddl()})"
        )
    for table in RAW_TABLES:
        if table.name not in present:
            continue
        if table.name in ("instruments", "industries"):
            con.execute(f"DELETE FROM {table.name}")
        elif table.dated:
            column = table.column("date").store_name
            con.execute(f"DELETE FROM {table.name} WHERE {column} IN {day_list}")
        insert(con, table, f"SELECT * FROM {clean_name(table.name)}")
    return Written(days, history_changed=history)
