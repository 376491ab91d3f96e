"""Shapes shared by the client's queries and results: the id condition of a query, the one
date dtype, and the (order_book_id, date) index of per-stock daily values."""

from __future__ import annotations

from typing import Any

import pandas as pd

__all__ = ["id_filter", "datetimes", "by_id_and_date", "empty_by_id_and_date"]


def id_filter(ids: list[str], column: str = "order_book_id") -> tuple[str, list[Any]]:
    """A parameterised SQL condition that ``column`` is one of ``ids``, and its parameters."""
    if len(ids) == 1:
        return f"{column} = ?", [ids[0]]
    return f"{column} IN (SELECT UNNEST(?::VARCHAR[]))", [ids]


def datetimes(values: Any) -> pd.DatetimeIndex:
    """Dates as a nanosecond DatetimeIndex, the one date dtype of every result."""
    return pd.DatetimeIndex(pd.to_datetime(values)).as_unit("ns")


def by_id_and_date(df: pd.DataFrame) -> pd.DataFrame:
    """``df`` (columns order_book_id, date, values) indexed by (order_book_id, date), sorted."""
    df["date"] = datetimes(df["date"])
    return df.set_index(["order_book_id", "date"]).sort_index()


def empty_by_id_and_date(columns: list[str]) -> pd.DataFrame:
    """The empty result of per-stock daily ``columns``, of the same index and dtypes as a
    full one."""
    df = pd.DataFrame({c: pd.Series(dtype=float) for c in ["order_book_id", "date", *columns]})
    df["order_book_id"] = df["order_book_id"].astype(object)
    return by_id_and_date(df)
