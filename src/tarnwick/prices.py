"""Daily bars and the returns computed from them."""

from __future__ import annotations

import datetime as _dt
from typing import Any

import numpy as np
import pandas as pd

from tarnwick import store
from tarnwick.arguments import to_ids
from tarnwick.calendar import get_trading_dates, previous_close_day, window
from tarnwick.errors import NotStoredError
from tarnwick.frames import by_id_and_date, datetimes, empty_by_id_and_date, id_filter
from tarnwick.instrument import known

__all__ = ["get_price_change_rate", "get_mean_price_change_rate", "get_price", "PRICE_FIELDS"]

#: The fields of the daily bars.
PRICE_FIELDS = ("close", "volume", "adj_factor", "total_turnover")
_DEFAULT_PRICE_FIELDS = ["close", "volume"]
_ADJUST_TYPES = ("none", "pre", "post")
# The SQL of the close for each adjust_type, and of every field (bars ``b``, end factors ``e``).
_CLOSE = {
    "none": "b.close",
    "post": "b.close * b.adj_factor",
    "pre": "b.close * b.adj_factor / e.adj_end",
}
_FIELD_SQL = {
    "volume": "b.volume AS volume",
    "adj_factor": "b.adj_factor AS adj_factor",
    "total_turnover": "b.close * b.volume AS total_turnover",
}


def get_price_change_rate(order_book_ids: Any, start_date: Any, end_date: Any) -> pd.DataFrame:
    """Daily total returns (from ``close * adj_factor``) over ``[start_date, end_date]``.

    Index: the trading dates of the window (DatetimeIndex named 'date'); one column per
    known id, in input order.  A return on day t is against the id's previous stored day
    (for the first day of the window, the day before it); NaN where the id is not listed
    or has no previous day (its first day of listing).
    """
    ids, _ = to_ids(order_book_ids)
    start, end = window(start_date, end_date)
    dates = datetimes(get_trading_dates(start, end)).rename("date")
    ids = known(ids)
    out = pd.DataFrame(index=dates, columns=pd.Index(ids), dtype=float)
    if not ids or len(dates) == 0:
        return out
    cond, params = id_filter(ids)
    df = store.query(
        f"SELECT order_book_id, date, close * adj_factor AS tr FROM daily_bars "
        f"WHERE {cond} AND date BETWEEN ? AND ? ORDER BY order_book_id, date",
        params + [previous_close_day(start), end],
    )
    if df.empty:
        return out
    # Rows come ordered by id, then date: a return is against the row before, within one id.
    tr = df["tr"].to_numpy(dtype=float)
    owner = df["order_book_id"].to_numpy()
    ret = np.full(len(df), np.nan)
    same_id = owner[1:] == owner[:-1]
    ret[1:] = np.where(same_id, tr[1:] / tr[:-1] - 1.0, np.nan)
    rows = dates.get_indexer(datetimes(df["date"]))
    cols = out.columns.get_indexer(owner)
    inside = rows >= 0  # the day before the window only serves as a previous close
    values = np.full(out.shape, np.nan)
    values[rows[inside], cols[inside]] = ret[inside]
    return pd.DataFrame(values, index=dates, columns=out.columns)


def get_mean_price_change_rate(order_book_ids: Any, start_date: Any, end_date: Any) -> pd.Series:
    """The column means of ``get_price_change_rate`` over the same window, taken in the store.

    Index: the known ids, in input order; the mean of each id's daily returns in the window,
    missing ones skipped; NaN for an id without any return there.  The same numbers as
    ``get_price_change_rate(...).mean()`` (up to the rounding of the sum) without building the
    dates-by-ids frame.
    """
    ids, _ = to_ids(order_book_ids)
    start, end = window(start_date, end_date)
    ids = known(ids)
    out = pd.Series(np.nan, index=pd.Index(ids), dtype=float)
    if not ids or not get_trading_dates(start, end):
        return out
    cond, params = id_filter(ids)
    # A return is against the id's previous stored day (the day before the window serves only
    # as that); NaN returns are skipped, as a frame's column mean skips them.
    df = store.query(
        f"WITH bars AS (SELECT order_book_id, date, close * adj_factor / "
        f"LAG(close * adj_factor) OVER (PARTITION BY order_book_id ORDER BY date) - 1.0 AS r "
        f"FROM daily_bars WHERE {cond} AND date BETWEEN ? AND ?) "
        f"SELECT order_book_id, AVG(CASE WHEN isnan(r) THEN NULL ELSE r END) AS mean_return "
        f"FROM bars WHERE date >= ? AND date IN (SELECT date FROM trading_dates) "
        f"GROUP BY order_book_id",
        params + [previous_close_day(start), end, start],
    )
    means = pd.Series(df["mean_return"].to_numpy(dtype=float), index=df["order_book_id"])
    return means.reindex(out.index).astype(float)


def _fields(fields: Any) -> tuple[list[str], bool]:
    if fields is None:
        return list(_DEFAULT_PRICE_FIELDS), False
    if isinstance(fields, str):
        names, single = [fields], True
    else:
        try:
            names, single = list(fields), False
        except TypeError:
            raise TypeError(f"fields must be a str or a list of str, got {fields!r}") from None
    for f in names:
        if not isinstance(f, str):
            raise TypeError(f"fields must contain only str, got {f!r}")
        if f not in PRICE_FIELDS:
            raise NotStoredError(
                f"unknown field {f!r} in fields: only {', '.join(PRICE_FIELDS)} are available "
                "(the store keeps daily closes and volumes only)"
            )
    if not names:
        raise ValueError("fields must name at least one field")
    return list(dict.fromkeys(names)), single


def _bars(
    ids: list[str], names: list[str], adjust_type: str, start: _dt.date, end: _dt.date
) -> pd.DataFrame:
    """The bars of the stored ``ids`` in the window, indexed by (order_book_id, date)."""
    if not ids:
        return empty_by_id_and_date(names)
    sel = {"close": _CLOSE[adjust_type] + " AS close", **_FIELD_SQL}
    cond, params = id_filter(ids, "b.order_book_id")
    ends = ""
    end_params: list[Any] = []
    if adjust_type == "pre" and "close" in names:
        # Each id's factor of its last stored day on or before the window's end.
        econd, end_params = id_filter(ids)
        ends = (
            " JOIN (SELECT order_book_id, arg_max(adj_factor, date) AS adj_end "
            f"FROM daily_bars WHERE {econd} AND date <= ? GROUP BY order_book_id) e "
            "ON e.order_book_id = b.order_book_id"
        )
        end_params = end_params + [end]
    df = store.query(
        f"SELECT b.order_book_id, b.date, {', '.join(sel[f] for f in names)} "
        f"FROM daily_bars b{ends} WHERE {cond} AND b.date BETWEEN ? AND ? "
        "ORDER BY b.order_book_id, b.date",
        end_params + params + [start, end],
    )
    return by_id_and_date(df)


def get_price(
    order_book_ids: Any,
    start_date: Any,
    end_date: Any,
    frequency: str = "1d",
    fields: Any = None,
    adjust_type: str = "pre",
    expect_df: bool = True,
) -> pd.DataFrame | pd.Series:
    """Daily bars of ``order_book_ids`` over ``[start_date, end_date]``.

    ``fields``: 'close', 'volume', 'adj_factor' (the stored cumulative factor) and
    'total_turnover' (unadjusted close x volume, CNY); default ['close', 'volume'].

    ``adjust_type``: 'none' gives the stored (traded) close; 'post' gives
    ``close * adj_factor`` (the total-return price); 'pre' gives
    ``close * adj_factor / adj_factor(end)`` where ``adj_factor(end)`` is the factor of the
    id's last stored day on or before ``end_date``, so prices at the end of the window equal
    the traded ones and nothing after the window leaks in.  Volume and total_turnover are
    never adjusted.

    ``expect_df=True``: a DataFrame indexed by (order_book_id, date), sorted, with one
    column per field (also for a single str field).  ``expect_df=False``: for a single str
    id a DataFrame indexed by date (a Series for a single str field); for a list of ids
    and one field a DataFrame dates x ids; a list of ids with several fields needs
    ``expect_df=True``.  Unknown ids are left out.
    """
    if not isinstance(frequency, str) or frequency != "1d":
        raise ValueError(f"frequency must be '1d' (the store holds daily bars), got {frequency!r}")
    if not isinstance(adjust_type, str) or adjust_type not in _ADJUST_TYPES:
        raise ValueError(f"adjust_type must be one of {_ADJUST_TYPES}, got {adjust_type!r}")
    ids, single_id = to_ids(order_book_ids)
    names, single_field = _fields(fields)
    start, end = window(start_date, end_date)
    if not expect_df and not single_id and len(names) > 1:
        raise ValueError("expect_df=False with several ids needs a single field")
    ids = known(ids)
    df = _bars(ids, names, adjust_type, start, end)[names]
    if expect_df:
        return df
    if single_id:
        flat = df.droplevel(0) if len(df) else df.reset_index(level=0, drop=True)
        return flat[names[0]] if single_field else flat
    wide = df[names[0]].unstack(level=0)
    return wide.reindex(columns=[i for i in ids if i in wide.columns]).rename_axis(columns=None)
