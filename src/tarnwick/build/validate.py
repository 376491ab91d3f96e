"""Validation of staged raw tables, turning them into typed tables ready to be written.

Every check names the file, the line (the header is line 1) and the column of the first
offending cell, in the order: columns of each file, cells (type, empty, range), keys, dates on
the calendar, ids known to the instruments, and the cross-row rules (index weights summing to
one per index and day, one name per industry code, delisting after listing).
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import duckdb

from tarnwick.db.layout import DATE_TEXT, LISTED, RAW_TABLES, Column, RawTable
from tarnwick.errors import InvalidFileError
from tarnwick.sources.files import TableFile

__all__ = ["InvalidFileError", "validate", "clean_name", "WEIGHT_TOLERANCE"]

#: How far the index weights of one index and day may sum from 1.
WEIGHT_TOLERANCE = 1e-6

_KIND_WORDS = {"VARCHAR": "text", "DOUBLE": "a number", "DATE": "a date", DATE_TEXT: "a date"}


def clean_name(table: str) -> str:
    """The typed table that validation leaves for ``table``."""
    return f"clean_{table}"


@dataclass
class _Context:
    con: duckdb.DuckDBPyConnection
    files: dict[str, TableFile]

    def first(self, sql: str, params: list[object] | None = None) -> tuple | None:
        return self.con.execute(sql, params or []).fetchone()

    def fail(self, table: str, line: int, column: str, problem: str) -> InvalidFileError:
        return InvalidFileError(self.files[table].path, int(line), column, problem)


def _typed(column: Column, present: bool) -> str:
    """The SQL of one column's typed value, from the staged text (or its default)."""
    if not present:
        return str(column.default)
    raw = f'"{column.name}"'
    if column.kind == DATE_TEXT:
        text = f"CAST({raw} AS VARCHAR)"
        parsed = f"strftime(TRY_CAST({raw} AS DATE), '%Y-%m-%d')"
        if column.name == "de_listed_date":
            return f"CASE WHEN {text} = '{LISTED}' THEN '{LISTED}' ELSE {parsed} END"
        return parsed
    if column.kind == "VARCHAR":
        return f"CAST({raw} AS VARCHAR)"
    return f"TRY_CAST({raw} AS {column.kind})"


def _check_columns(ctx: _Context, table: RawTable, columns: list[str]) -> None:
    known = {c.name for c in table.columns}
    for name in columns:
        if name not in known:
            raise ctx.fail(
                table.name,
                1,
                name,
                f"unknown column; {table.name} has " + ", ".join(c.name for c in table.columns),
            )
    for c in table.columns:
        if c.required and c.name not in columns:
            raise ctx.fail(table.name, 1, c.name, "required column missing")
    if len(set(columns)) != len(columns):
        dup = next(n for n in columns if columns.count(n) > 1)
        raise ctx.fail(table.name, 1, dup, "column given twice")


def _check_cells(ctx: _Context, table: RawTable, columns: list[str]) -> None:
    staged = ctx.files[table.name].staged
    clean = clean_name(table.name)
    present = [c for c in table.columns if c.name in columns]
    selects = [f"{_typed(c, c.name in columns)} AS {c.name}" for c in table.columns]
    raws = [f'"{c.name}" AS "raw${c.name}"' for c in present]
    ctx.con.execute(
        f"CREATE OR REPLACE TEMP TABLE {clean} AS SELECT rowid + 2 AS _line, "
        + ", ".join(selects + raws)
        + f" FROM {staged}"
    )
    ctx.con.execute(f"DROP TABLE {staged}")
    for c in present:
        raw = f'"raw${c.name}"'
        row = ctx.first(
            f"SELECT _line, CAST({raw} AS VARCHAR) FROM {clean} "
            f"WHERE {raw} IS NOT NULL AND {c.name} IS NULL ORDER BY _line LIMIT 1"
        )
        if row:
            raise ctx.fail(
                table.name, row[0], c.name, f"cannot read {row[1]!r} as {_KIND_WORDS[c.kind]}"
            )
        if not c.nullable:
            row = ctx.first(
                f"SELECT _line FROM {clean} WHERE {c.name} IS NULL ORDER BY _line LIMIT 1"
            )
            if row:
                raise ctx.fail(table.name, row[0], c.name, "empty cell")
        if c.check:
            cond = c.check.format(c=c.name)
            row = ctx.first(
                f"SELECT _line, CAST({raw} AS VARCHAR) FROM {clean} "
                f"WHERE {c.name} IS NOT NULL AND NOT ({cond}) ORDER BY _line LIMIT 1"
            )
            if row:
                raise ctx.fail(table.name, row[0], c.name, f"{row[1]!r} is not {c.rule}")
    ctx.con.execute(
        f"CREATE OR REPLACE TEMP TABLE {clean} AS SELECT _line, "
        + ", ".join(c.name for c in table.columns)
        + f" FROM {clean}"
    )


def _check_key(ctx: _Context, table: RawTable) -> None:
    clean = clean_name(table.name)
    key = ", ".join(table.key)
    row = ctx.first(
        f"SELECT _line, first FROM (SELECT _line, "
        f"row_number() OVER (PARTITION BY {key} ORDER BY _line) AS n, "
        f"min(_line) OVER (PARTITION BY {key}) AS first FROM {clean}) "
        "WHERE n = 2 ORDER BY _line LIMIT 1"
    )
    if row:
        raise ctx.fail(
            table.name, row[0], table.key[-1], f"duplicate key ({key}): the same as line {row[1]}"
        )


def _check_dates(ctx: _Context, table: RawTable) -> None:
    row = ctx.first(
        f"SELECT _line, date FROM {clean_name(table.name)} WHERE date NOT IN "
        f"(SELECT date FROM {clean_name('trading_dates')}) ORDER BY _line LIMIT 1"
    )
    if row:
        raise ctx.fail(
            table.name,
            row[0],
            "date",
            f"{row[1]} is not a trading day of {ctx.files['trading_dates'].path.name}",
        )


def _check_ids(ctx: _Context, table: RawTable, instruments: str, source: str) -> None:
    clean = clean_name(table.name)
    for column, kind in (("order_book_id", None), ("index_id", "INDX")):
        if column not in {c.name for c in table.columns}:
            continue
        row = ctx.first(
            f"SELECT _line, {column} FROM {clean} WHERE {column} NOT IN "
            f"(SELECT order_book_id FROM {instruments}) ORDER BY _line LIMIT 1"
        )
        if row:
            raise ctx.fail(table.name, row[0], column, f"unknown id {row[1]!r} (not in {source})")
        if kind:
            row = ctx.first(
                f"SELECT c._line, c.{column}, i.type FROM {clean} c JOIN {instruments} i "
                f"ON i.order_book_id = c.{column} WHERE i.type <> ? ORDER BY c._line LIMIT 1",
                [kind],
            )
            if row:
                raise ctx.fail(
                    table.name,
                    row[0],
                    column,
                    f"{row[1]!r} is of type {row[2]} in {source}, not {kind}",
                )


def _check_kept_ids(ctx: _Context, stored_instruments: str) -> None:
    """An update's instruments replace the stored ones: every stock with stored bars must
    stay."""
    row = ctx.first(
        f"SELECT count(DISTINCT order_book_id), min(order_book_id) FROM daily_bars WHERE "
        f"order_book_id NOT IN (SELECT order_book_id FROM {clean_name('instruments')})"
    )
    if row and row[0]:
        raise ctx.fail(
            "instruments",
            1,
            "order_book_id",
            f"{row[0]} ids with bars in the store are missing (first {row[1]!r}); "
            f"the file replaces {stored_instruments}, so it must list them too",
        )


def _check_rules(ctx: _Context) -> None:
    if "instruments" in ctx.files:
        row = ctx.first(
            f"SELECT _line, de_listed_date FROM {clean_name('instruments')} "
            f"WHERE de_listed_date <> '{LISTED}' AND de_listed_date <= listed_date "
            "ORDER BY _line LIMIT 1"
        )
        if row:
            raise ctx.fail(
                "instruments", row[0], "de_listed_date", f"{row[1]} is not after the listed_date"
            )
    if "index_weights" in ctx.files:
        row = ctx.first(
            f"SELECT min(_line), index_id, date, sum(weight) FROM {clean_name('index_weights')} "
            "GROUP BY index_id, date HAVING abs(sum(weight) - 1) > ? ORDER BY 1 LIMIT 1",
            [WEIGHT_TOLERANCE],
        )
        if row:
            raise ctx.fail(
                "index_weights",
                row[0],
                "weight",
                f"the weights of {row[1]} on {row[2]} sum to {row[3]!r}, not 1",
            )
    if "industries" in ctx.files:
        row = ctx.first(
            "SELECT _line, industry_code, classification FROM (SELECT _line, industry_code, "
            "classification, count(DISTINCT industry_name) OVER "
            "(PARTITION BY classification, industry_code) AS names, row_number() OVER "
            "(PARTITION BY classification, industry_code, industry_name ORDER BY _line) AS n "
            f"FROM {clean_name('industries')}) WHERE names > 1 AND n = 1 "
            "ORDER BY _line DESC LIMIT 1"
        )
        if row:
            raise ctx.fail(
                "industries",
                row[0],
                "industry_name",
                f"{row[2]} code {row[1]} has another name on an earlier line",
            )


def validate(
    con: duckdb.DuckDBPyConnection,
    files: dict[str, TableFile],
    columns: dict[str, list[str]],
    stored_instruments: str | None,
) -> None:
    """Check the staged tables of ``files`` (their file columns in ``columns``) and leave one
    typed table :func:`clean_name` per table.  ``stored_instruments`` names the store's
    instruments table when the import updates a store (ids may then be known from there when
    the folder has no instruments file).  Raises :class:`InvalidFileError` on the first bad cell."""
    folder = next(iter(files.values())).path.parent if files else Path(".")
    needed = [t.name for t in RAW_TABLES if t.required]
    if stored_instruments is not None:
        needed = ["trading_dates"]
    for name in needed:
        if name not in files:
            problem = "file missing (.csv or .parquet)"
            raise InvalidFileError(folder / f"{name}.csv", 1, "-", problem)
    ctx = _Context(con, files)
    tables = [t for t in RAW_TABLES if t.name in files]
    for table in tables:
        _check_columns(ctx, table, columns[table.name])
        _check_cells(ctx, table, columns[table.name])
        _check_key(ctx, table)
    if "instruments" in files:
        instruments, source = clean_name("instruments"), files["instruments"].path.name
    else:
        instruments, source = str(stored_instruments), "the store's instruments"
    for table in tables:
        if table.dated:
            _check_dates(ctx, table)
        if table.name != "instruments":
            _check_ids(ctx, table, instruments, source)
    _check_rules(ctx)
    if stored_instruments is not None and "instruments" in files:
        _check_kept_ids(ctx, stored_instruments)
