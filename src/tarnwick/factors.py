"""Per-stock daily factor values (market caps and the like)."""

from __future__ import annotations

from typing import Any

import pandas as pd

from tarnwick import store
from tarnwick.arguments import to_ids
from tarnwick.calendar import window
from tarnwick.errors import NotStoredError
from tarnwick.frames import by_id_and_date, empty_by_id_and_date, id_filter
from tarnwick.instrument import known

__all__ = ["get_factor", "factor_columns"]


def factor_columns() -> list[str]:
    """The factors the store keeps (the value columns of ``factor_values``), in table order."""

    def load(con: Any) -> list[str]:
        rows = con.execute(
            "SELECT column_name FROM information_schema.columns "
            "WHERE table_name = 'factor_values' ORDER BY ordinal_position"
        ).fetchall()
        return [r[0] for r in rows if r[0] not in ("order_book_id", "date")]

    return store.cached("factor_columns", load)


def _factors(factor: Any) -> list[str]:
    """The names ``factor`` gives, each once, every one of them stored."""
    if isinstance(factor, str):
        factors = [factor]
    else:
        factors, _ = to_ids(factor, "factor")
    if not factors:
        raise ValueError("factor must name at least one factor")
    stored = factor_columns()
    for f in factors:
        if f not in stored:
            raise NotStoredError(f"unknown factor {f!r}; available: {', '.join(stored)}")
    return list(dict.fromkeys(factors))


def get_factor(order_book_ids: Any, factor: Any, start_date: Any, end_date: Any) -> pd.DataFrame:
    """Factor values (e.g. 'market_cap_3', CNY) indexed by (order_book_id, date), one column
    per factor.  Unknown factors raise ValueError; unknown ids are left out."""
    ids, _ = to_ids(order_book_ids)
    factors = _factors(factor)
    start, end = window(start_date, end_date)
    ids = known(ids)
    if not ids:
        return empty_by_id_and_date(factors)
    cond, params = id_filter(ids)
    cols = ", ".join(f'"{f}"' for f in factors)  # validated against the table's columns
    df = store.query(
        f"SELECT order_book_id, date, {cols} FROM factor_values "
        f"WHERE {cond} AND date BETWEEN ? AND ? ORDER BY order_book_id, date",
        params + [start, end],
    )
    return by_id_and_date(df)
