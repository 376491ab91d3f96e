"""The raw tables of the store, as exported to and imported from files.

One :class:`RawTable` per table: its columns with their store types, which of them a file
must carry, the defaults of the optional ones, and its key.  In files every dated table's date
column is named ``date``; the store keeps ``index_components``' date as ``effective_date``.
"""

from __future__ import annotations

from dataclasses import dataclass

from tarnwick.reference import STYLE_NAMES

__all__ = [
    "Column",
    "RawTable",
    "RAW_TABLES",
    "raw_table",
    "LISTED",
    "DATE_TEXT",
    "SCHEMA_VERSION",
    "SCHEMA",
]

#: The version of the store's tables; a store of another version is refused at opening.
SCHEMA_VERSION = "2"

#: ``de_listed_date`` of an instrument that is still listed.
LISTED = "0000-00-00"
#: Marks a VARCHAR column holding a ``YYYY-MM-DD`` date as text.
DATE_TEXT = "DATE_TEXT"


@dataclass(frozen=True)
class Column:
    """One column of a raw table.

    ``kind``: a DuckDB type (``VARCHAR``, ``DOUBLE``, ``DATE``) or :data:`DATE_TEXT`.
    ``required``: a file of the table must have it.  ``default``: SQL expression used when an
    optional column is absent from the file (it may name other columns of the row).
    ``nullable``: a cell may be empty.  ``check``: a SQL condition every non-empty value meets,
    with ``{c}`` for the column, and ``rule`` says it in words.
    """

    name: str
    kind: str
    required: bool = True
    default: str | None = None
    nullable: bool = False
    check: str | None = None
    rule: str = ""
    stored_as: str | None = None

    @property
    def store_name(self) -> str:
        return self.stored_as or self.name

    @property
    def store_type(self) -> str:
        return "VARCHAR" if self.kind == DATE_TEXT else self.kind


@dataclass(frozen=True)
class RawTable:
    """One raw table: columns in store order, key columns, whether an import needs it."""

    name: str
    columns: tuple[Column, ...]
    key: tuple[str, ...]
    required: bool = True

    @property
    def dated(self) -> bool:
        return any(c.name == "date" for c in self.columns)

    def column(self, name: str) -> Column:
        return next(c for c in self.columns if c.name == name)

    def ddl(self) -> str:
        """The column list of the store's CREATE TABLE (a one-column key is its primary key)."""
        single = self.key[0] if len(self.key) == 1 else None
        return ", ".join(
            f"{c.store_name} {c.store_type}" + (" PRIMARY KEY" if c.name == single else "")
            for c in self.columns
        )


_POSITIVE = "{c} > 0 AND isfinite({c})"
_NON_NEGATIVE = "{c} >= 0 AND isfinite({c})"

RAW_TABLES: tuple[RawTable, ...] = (
    RawTable(
        "instruments",
        (
            Column("order_book_id", "VARCHAR", check="length({c}) > 0", rule="a non-empty id"),
            Column("symbol", "VARCHAR", required=False, default="order_book_id", nullable=True),
            Column(
                "type",
                "VARCHAR",
                check="{c} IN ('CS', 'INDX', 'ETF', 'LOF')",
                rule="one of CS, INDX, ETF, LOF",
            ),
            Column(
                "exchange",
                "VARCHAR",
                required=False,
                default="split_part(order_book_id, '.', 2)",
                nullable=True,
            ),
            Column("listed_date", DATE_TEXT),
            Column("de_listed_date", DATE_TEXT, required=False, default=f"'{LISTED}'"),
            Column(
                "shares_outstanding",
                "DOUBLE",
                required=False,
                default="NULL",
                nullable=True,
                check=_NON_NEGATIVE,
                rule="a non-negative number",
            ),
        ),
        key=("order_book_id",),
    ),
    RawTable("trading_dates", (Column("date", "DATE"),), key=("date",)),
    RawTable(
        "daily_bars",
        (
            Column("order_book_id", "VARCHAR"),
            Column("date", "DATE"),
            Column("close", "DOUBLE", check=_POSITIVE, rule="a positive price"),
            Column("volume", "DOUBLE", check=_NON_NEGATIVE, rule="a non-negative volume"),
            Column(
                "adj_factor",
                "DOUBLE",
                required=False,
                default="1.0",
                check=_POSITIVE,
                rule="a positive adjustment factor",
            ),
        ),
        key=("order_book_id", "date"),
    ),
    RawTable(
        "factor_values",
        (
            Column("order_book_id", "VARCHAR"),
            Column("date", "DATE"),
            Column("market_cap_3", "DOUBLE", check=_POSITIVE, rule="a positive market cap"),
        ),
        key=("order_book_id", "date"),
    ),
    RawTable(
        "index_components",
        (
            Column("index_id", "VARCHAR"),
            Column("date", "DATE", stored_as="effective_date"),
            Column("order_book_id", "VARCHAR"),
        ),
        key=("index_id", "date", "order_book_id"),
        required=False,
    ),
    RawTable(
        "index_weights",
        (
            Column("index_id", "VARCHAR"),
            Column("date", "DATE"),
            Column("order_book_id", "VARCHAR"),
            Column("weight", "DOUBLE", check=_NON_NEGATIVE, rule="a non-negative weight"),
        ),
        key=("index_id", "date", "order_book_id"),
        required=False,
    ),
    RawTable(
        "industries",
        (
            Column("order_book_id", "VARCHAR"),
            Column(
                "classification",
                "VARCHAR",
                check="{c} IN ('sws', 'citic', 'sws_split')",
                rule="one of sws, citic, sws_split",
            ),
            Column("industry_code", "VARCHAR", check="length({c}) > 0", rule="a non-empty code"),
            Column("industry_name", "VARCHAR", check="length({c}) > 0", rule="a non-empty name"),
        ),
        key=("order_book_id", "classification"),
        required=False,
    ),
    RawTable(
        "style_descriptors",
        (
            Column("date", "DATE"),
            Column("order_book_id", "VARCHAR"),
            *(
                Column(
                    s,
                    "DOUBLE",
                    required=False,
                    default="NULL",
                    nullable=True,
                    check="isfinite({c})",
                    rule="a finite number",
                )
                for s in STYLE_NAMES
            ),
        ),
        key=("date", "order_book_id"),
        required=False,
    ),
)


def raw_table(name: str) -> RawTable:
    """The raw table called ``name``."""
    return next(t for t in RAW_TABLES if t.name == name)


#: Table definitions of the tables every store has, in creation order (``index_weights`` is
#: optional: only an import that gives weights creates it).
SCHEMA: dict[str, str] = {
    **{t.name: t.ddl() for t in RAW_TABLES if t.name != "index_weights"},
    "meta": "key VARCHAR PRIMARY KEY, value VARCHAR",
}
