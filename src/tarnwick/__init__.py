"""tarnwick: market-data client over an embedded store of a generated sample A-share market.

All functions read the store at :func:`tarnwick.store.store_path` (built on first use).
Dates may be ``datetime.date``, ``datetime.datetime``, ``pandas.Timestamp``,
``numpy.datetime64`` or strings ('2024-03-05', '20240305').  Ids are order_book_id strings;
unknown ids are left out of results (``instruments`` of a single unknown id is None), with one
:class:`UnknownIdWarning` per call naming them.  ``with tarnwick.snapshot(): ...`` makes every
call inside the block read one and the same store file, even if a rebuild replaces it meanwhile.
"""

from __future__ import annotations

import datetime as _dt
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from tarnwick import store
from tarnwick.arguments import UnknownIdWarning, warn_unknown_ids
from tarnwick.arguments import to_date as _to_date
from tarnwick.arguments import to_ids as _ids
from tarnwick.arguments import to_int as _to_int
from tarnwick.reference import CLASSIFICATIONS, STYLE_NAMES
from tarnwick.reference.industries import INDUSTRIES
from tarnwick.sources import sample
from tarnwick.store import StoreError, snapshot

__all__ = [
    "StoreError",
    "UnknownIdWarning",
    "snapshot",
    "Instrument",
    "instruments",
    "all_instruments",
    "trading_date_offset",
    "get_previous_trading_date",
    "get_next_trading_date",
    "get_trading_dates",
    "get_price_change_rate",
    "get_mean_price_change_rate",
    "get_price",
    "get_factor",
    "index_components",
    "index_weights",
    "get_instrument_industry",
    "get_industry_names",
    "get_style_descriptors",
    "sample",
    "store",
]

_CLASSIFICATIONS = CLASSIFICATIONS
_PRICE_FIELDS = ("close", "volume", "adj_factor", "total_turnover")
_DEFAULT_PRICE_FIELDS = ["close", "volume"]
_ADJUST_TYPES = ("none", "pre", "post")


# --------------------------------------------------------------------------------------
# Argument handling
# --------------------------------------------------------------------------------------

def _unique(ids: list[str]) -> list[str]:
    return list(dict.fromkeys(ids))


def _classification(classification: Any) -> str:
    value = getattr(classification, "value", classification)
    if not isinstance(value, str) or value not in _CLASSIFICATIONS:
        raise ValueError(
            f"classification must be one of {_CLASSIFICATIONS} (or an enum with such a "
            f"value), got {classification!r}"
        )
    return value


def _window(start_date: Any, end_date: Any) -> tuple[_dt.date, _dt.date]:
    start = _to_date(start_date, "start_date")
    end = _to_date(end_date, "end_date")
    if start > end:
        raise ValueError(f"start_date {start} is after end_date {end}")
    return start, end


# --------------------------------------------------------------------------------------
# Calendar
# --------------------------------------------------------------------------------------


def _calendar() -> np.ndarray:
    def load(con: Any) -> np.ndarray:
        rows = con.execute("SELECT date FROM trading_dates ORDER BY date").fetchall()
        return np.array([r[0] for r in rows], dtype="datetime64[D]")

    return store.cached("calendar", load)


def _as_date(d: np.datetime64) -> _dt.date:
    return d.astype(object)


def _range_text(cal: np.ndarray) -> str:
    return f"{_as_date(cal[0])}..{_as_date(cal[-1])}"


def _step(date: _dt.date, n: int, name: str) -> _dt.date:
    """The trading day n steps after (n > 0) or before (n < 0) ``date``."""
    cal = _calendar()
    d = np.datetime64(date, "D")
    if n > 0:
        k = int(np.searchsorted(cal, d, side="right")) + n - 1
    elif n < 0:
        k = int(np.searchsorted(cal, d, side="left")) + n
    else:
        k = int(np.searchsorted(cal, d, side="right")) - 1
    if k < 0 or k >= len(cal):
        raise ValueError(
            f"{name}: {n:+d} trading days from {date} falls outside the trading calendar "
            f"{_range_text(cal)} of the store {store.identity()[0]}"
        )
    return _as_date(cal[k])


def trading_date_offset(date: Any, n: int) -> _dt.date:
    """The trading day ``n`` trading days after (n > 0) or before (n < 0) ``date``.

    When ``date`` is not a trading day, the next trading day counts as the first step
    forward and the previous trading day as the first step back, so
    ``trading_date_offset(d, -k) == get_previous_trading_date(d, k)`` and
    ``trading_date_offset(d, k) == get_next_trading_date(d, k)`` for every ``d``.
    ``n == 0`` gives ``date`` itself if it is a trading day, else the previous trading day.
    Raises ValueError (naming the calendar's range) past the start or end of the calendar.
    """
    d = _to_date(date, "date")
    return _step(d, _to_int(n, "n"), "trading_date_offset")


def get_previous_trading_date(date: Any, n: int = 1) -> _dt.date:
    """The n-th trading day strictly before ``date`` (n >= 1)."""
    d = _to_date(date, "date")
    n = _to_int(n, "n")
    if n < 1:
        raise ValueError(f"n must be >= 1, got {n}")
    return _step(d, -n, "get_previous_trading_date")


def get_next_trading_date(date: Any, n: int = 1) -> _dt.date:
    """The n-th trading day strictly after ``date`` (n >= 1)."""
    d = _to_date(date, "date")
    n = _to_int(n, "n")
    if n < 1:
        raise ValueError(f"n must be >= 1, got {n}")
    return _step(d, n, "get_next_trading_date")


def get_trading_dates(start_date: Any, end_date: Any) -> list[_dt.date]:
    """Trading days in ``[start_date, end_date]`` (both inclusive), ascending."""
    start, end = _window(start_date, end_date)
    cal = _calendar()
    lo = np.searchsorted(cal, np.datetime64(start, "D"), side="left")
    hi = np.searchsorted(cal, np.datetime64(end, "D"), side="right")
    return [_as_date(d) for d in cal[lo:hi]]


# --------------------------------------------------------------------------------------
# Instruments
# --------------------------------------------------------------------------------------


@dataclass(frozen=True)
class Instrument:
    """Static description of one listed security."""

    order_book_id: str
    symbol: str
    type: str
    exchange: str
    listed_date: str
    de_listed_date: str
    shares_outstanding: float | None = None

    def __repr__(self) -> str:
        status = (
            f"listed {self.listed_date}"
            if self.de_listed_date == "0000-00-00"
            else f"listed {self.listed_date}, delisted {self.de_listed_date}"
        )
        return f"Instrument({self.order_book_id} {self.symbol} {self.type}, {status})"


def _instrument_table() -> dict[str, Instrument]:
    def load(con: Any) -> dict[str, Instrument]:
        rows = con.execute(
            "SELECT order_book_id, symbol, type, exchange, listed_date, de_listed_date, "
            "shares_outstanding FROM instruments ORDER BY order_book_id"
        ).fetchall()
        out = {}
        for r in rows:
            shares = None if r[6] is None or r[6] != r[6] else float(r[6])
            out[r[0]] = Instrument(*r[:6], shares_outstanding=shares)
        return out

    return store.cached("instruments", load)


def instruments(order_book_ids: Any) -> Instrument | list[Instrument] | None:
    """Instrument records: a str gives one record (None if unknown); an iterable of str a
    list in input order with unknown ids omitted (an empty iterable gives [])."""
    ids, single = _ids(order_book_ids)
    table = _instrument_table()
    warn_unknown_ids(ids, table, stacklevel=3)
    if single:
        return table.get(ids[0])
    return [table[i] for i in ids if i in table]


def all_instruments(type: str | None = None) -> pd.DataFrame:
    """All instruments as a DataFrame, optionally only those of one ``type`` ('CS', ...)."""
    if type is not None and not isinstance(type, str):
        raise TypeError(f"type must be a str or None, got {type!r}")
    if type is None:
        return store.query("SELECT * FROM instruments ORDER BY order_book_id")
    return store.query("SELECT * FROM instruments WHERE type = ? ORDER BY order_book_id", [type])


# --------------------------------------------------------------------------------------
# Prices and factors
# --------------------------------------------------------------------------------------


def _id_filter(ids: list[str]) -> tuple[str, list[Any]]:
    if len(ids) == 1:
        return "order_book_id = ?", [ids[0]]
    return "order_book_id IN (SELECT UNNEST(?::VARCHAR[]))", [ids]


def _known(ids: list[str]) -> list[str]:
    """The stored ids of ``ids``, each once; one warning (pointing at the caller of the
    public function) names the others."""
    table = _instrument_table()
    warn_unknown_ids(ids, table, stacklevel=4)
    return [i for i in _unique(ids) if i in table]


def _datetimes(values: Any) -> pd.DatetimeIndex:
    """Dates as a nanosecond DatetimeIndex, the one date dtype of every result."""
    return pd.DatetimeIndex(pd.to_datetime(values)).as_unit("ns")


def _multi_index(df: pd.DataFrame) -> pd.DataFrame:
    df["date"] = _datetimes(df["date"])
    return df.set_index(["order_book_id", "date"]).sort_index()


def _previous_close_day(start: _dt.date) -> _dt.date:
    """The trading day before ``start``, whose close the first return of a window is against
    (``start`` itself at the calendar's first day)."""
    cal = _calendar()
    k = int(np.searchsorted(cal, np.datetime64(start, "D")))
    return _as_date(cal[k - 1]) if k > 0 else start


def get_price_change_rate(order_book_ids: Any, start_date: Any, end_date: Any) -> pd.DataFrame:
    """Daily total returns (from ``close * adj_factor``) over ``[start_date, end_date]``.

    Index: the trading dates of the window (DatetimeIndex named 'date'); one column per
    known id, in input order.  A return on day t is against the id's previous stored day
    (for the first day of the window, the day before it); NaN where the id is not listed
    or has no previous day (its first day of listing).
    """
    ids, _ = _ids(order_book_ids)
    start, end = _window(start_date, end_date)
    dates = _datetimes(get_trading_dates(start, end)).rename("date")
    known = _known(ids)
    out = pd.DataFrame(index=dates, columns=pd.Index(known), dtype=float)
    if not known or len(dates) == 0:
        return out
    lo = _previous_close_day(start)
    cond, params = _id_filter(known)
    df = store.query(
        f"SELECT order_book_id, date, close * adj_factor AS tr FROM daily_bars "
        f"WHERE {cond} AND date BETWEEN ? AND ? ORDER BY order_book_id, date",
        params + [lo, end],
    )
    if df.empty:
        return out
    # Rows come ordered by id, then date: a return is against the row before, within one id.
    tr = df["tr"].to_numpy(dtype=float)
    owner = df["order_book_id"].to_numpy()
    ret = np.full(len(df), np.nan)
    same_id = owner[1:] == owner[:-1]
    ret[1:] = np.where(same_id, tr[1:] / tr[:-1] - 1.0, np.nan)
    rows = dates.get_indexer(_datetimes(df["date"]))
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
    ids, _ = _ids(order_book_ids)
    start, end = _window(start_date, end_date)
    known = _known(ids)
    out = pd.Series(np.nan, index=pd.Index(known), dtype=float)
    if not known or not get_trading_dates(start, end):
        return out
    lo = _previous_close_day(start)
    cond, params = _id_filter(known)
    # A return is against the id's previous stored day (the day before the window serves only
    # as that); NaN returns are skipped, as a frame's column mean skips them.
    df = store.query(
        f"WITH bars AS (SELECT order_book_id, date, close * adj_factor / "
        f"LAG(close * adj_factor) OVER (PARTITION BY order_book_id ORDER BY date) - 1.0 AS r "
        f"FROM daily_bars WHERE {cond} AND date BETWEEN ? AND ?) "
        f"SELECT order_book_id, AVG(CASE WHEN isnan(r) THEN NULL ELSE r END) AS mean_return "
        f"FROM bars WHERE date >= ? AND date IN (SELECT date FROM trading_dates) "
        f"GROUP BY order_book_id",
        params + [lo, end, start],
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
        if f not in _PRICE_FIELDS:
            raise ValueError(
                f"unknown field {f!r} in fields: only {', '.join(_PRICE_FIELDS)} are available "
                "(the store keeps daily closes and volumes only)"
            )
    if not names:
        raise ValueError("fields must name at least one field")
    return _unique(names), single


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
    ids, single_id = _ids(order_book_ids)
    names, single_field = _fields(fields)
    start, end = _window(start_date, end_date)
    if not expect_df and not single_id and len(names) > 1:
        raise ValueError("expect_df=False with several ids needs a single field")
    known = _known(ids)
    exprs = {
        "none": "b.close",
        "post": "b.close * b.adj_factor",
        "pre": "b.close * b.adj_factor / e.adj_end",
    }
    sel = {
        "close": exprs[adjust_type] + " AS close",
        "volume": "b.volume AS volume",
        "adj_factor": "b.adj_factor AS adj_factor",
        "total_turnover": "b.close * b.volume AS total_turnover",
    }
    if known:
        cond, params = _id_filter(known)
        cond = cond.replace("order_book_id", "b.order_book_id", 1)
        ends = ""
        end_params: list[Any] = []
        if adjust_type == "pre" and "close" in names:
            econd, end_params = _id_filter(known)
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
    else:
        df = pd.DataFrame({c: pd.Series(dtype=float) for c in ["order_book_id", "date"] + names})
        df["order_book_id"] = df["order_book_id"].astype(object)
    df = _multi_index(df)[names]
    if expect_df:
        return df
    if single_id:
        flat = df.droplevel(0) if len(df) else df.reset_index(level=0, drop=True)
        return flat[names[0]] if single_field else flat
    wide = df[names[0]].unstack(level=0)
    return wide.reindex(columns=[i for i in known if i in wide.columns]).rename_axis(columns=None)


def _factor_columns() -> list[str]:
    def load(con: Any) -> list[str]:
        rows = con.execute(
            "SELECT column_name FROM information_schema.columns "
            "WHERE table_name = 'factor_values' ORDER BY ordinal_position"
        ).fetchall()
        return [r[0] for r in rows if r[0] not in ("order_book_id", "date")]

    return store.cached("factor_columns", load)


def get_factor(order_book_ids: Any, factor: Any, start_date: Any, end_date: Any) -> pd.DataFrame:
    """Factor values (e.g. 'market_cap_3', CNY) indexed by (order_book_id, date), one column
    per factor.  Unknown factors raise ValueError; unknown ids are left out."""
    ids, _ = _ids(order_book_ids)
    if isinstance(factor, str):
        factors = [factor]
    else:
        factors, _ = _ids(factor, "factor")
    if not factors:
        raise ValueError("factor must name at least one factor")
    known_cols = _factor_columns()
    for f in factors:
        if f not in known_cols:
            raise ValueError(f"unknown factor {f!r}; available: {', '.join(known_cols)}")
    factors = _unique(factors)
    start, end = _window(start_date, end_date)
    known = _known(ids)
    if not known:
        df = pd.DataFrame({c: pd.Series(dtype=float) for c in ["order_book_id", "date"] + factors})
        df["order_book_id"] = df["order_book_id"].astype(object)
        return _multi_index(df)
    cond, params = _id_filter(known)
    cols = ", ".join(f'"{f}"' for f in factors)  # validated against the table's columns
    df = store.query(
        f"SELECT order_book_id, date, {cols} FROM factor_values "
        f"WHERE {cond} AND date BETWEEN ? AND ? ORDER BY order_book_id, date",
        params + [start, end],
    )
    return _multi_index(df)


# --------------------------------------------------------------------------------------
# Indices
# --------------------------------------------------------------------------------------


def _index_id(index_id: Any) -> str:
    if not isinstance(index_id, str):
        raise TypeError(f"index_id must be a str, got {index_id!r}")
    return index_id


def _components(index_id: str, date: _dt.date) -> list[str]:
    df = store.query(
        "SELECT c.order_book_id FROM index_components c "
        "JOIN instruments i ON i.order_book_id = c.order_book_id "
        "WHERE c.index_id = ? AND c.effective_date = ("
        "  SELECT max(effective_date) FROM index_components "
        "  WHERE index_id = ? AND effective_date <= ?) "
        "AND (i.de_listed_date = '0000-00-00' OR i.de_listed_date > ?) "
        "ORDER BY c.order_book_id",
        [index_id, index_id, date, date.isoformat()],
    )
    return [str(x) for x in df["order_book_id"]]


def index_components(index_id: str, date: Any) -> list[str]:
    """Sorted constituents of ``index_id`` in effect on ``date`` (those of the latest
    effective_date on or before it), less any that are delisted by ``date``.  Unknown
    index or a date before its first composition: []."""
    iid = _index_id(index_id)
    d = _to_date(date, "date")
    return _components(iid, d)


def _weights(index_id: str, comp_date: _dt.date, cap_date: _dt.date) -> pd.Series | None:
    members = _components(index_id, comp_date)
    if not members:
        return None
    df = store.query(
        "SELECT order_book_id, market_cap_3 FROM factor_values "
        "WHERE date = ? AND order_book_id IN (SELECT UNNEST(?::VARCHAR[])) "
        "ORDER BY order_book_id",
        [cap_date, members],
    )
    df = df[np.isfinite(df["market_cap_3"]) & (df["market_cap_3"] > 0)]
    if df.empty:
        return None
    cap = df["market_cap_3"].to_numpy(dtype=float)
    w = cap / cap.sum()
    # Put the rounding residue on the largest weight so that the weights sum to one.
    for _ in range(3):
        resid = 1.0 - w.sum()
        if resid == 0.0:
            break
        w[int(np.argmax(w))] += resid
    idx = pd.Index([str(x) for x in df["order_book_id"]], name="order_book_id")
    return pd.Series(w, index=idx, name="weight")


def index_weights(index_id: str, date: Any) -> pd.Series | None:
    """Weights of ``index_id`` known at the open of ``date``.

    Constituents in effect on ``date`` (see :func:`index_components`), weighted by their
    market_cap_3 on the previous trading day, normalised to sum to 1.  On the calendar's
    first day, which has no previous day, that day's caps are used.  An imported store that
    keeps weights for the index and day gives those.  Series indexed by
    order_book_id (named 'weight'); None for an unknown index or a date outside the
    calendar.
    """
    iid = _index_id(index_id)
    d = _to_date(date, "date")
    cal = _calendar()
    nd = np.datetime64(d, "D")
    if nd < cal[0] or nd > cal[-1]:
        return None
    stored = _stored_weights(iid, d)
    if stored is not None:
        return stored
    k = int(np.searchsorted(cal, nd, side="left"))
    cap_date = _as_date(cal[k - 1]) if k > 0 else _as_date(cal[0])
    return _weights(iid, d, cap_date)


def _has_stored_weights() -> bool:
    def load(con: Any) -> bool:
        rows = con.execute(
            "SELECT count(*) FROM duckdb_tables() WHERE table_name = 'index_weights'"
        ).fetchone()
        return bool(rows and rows[0])

    return store.cached("has_index_weights", load)


def _stored_weights(index_id: str, date: _dt.date) -> pd.Series | None:
    """The weights an imported store keeps for ``index_id`` on ``date``, if any."""
    if not _has_stored_weights():
        return None
    df = store.query(
        "SELECT order_book_id, weight FROM index_weights WHERE index_id = ? AND date = ? "
        "ORDER BY order_book_id",
        [index_id, date],
    )
    if df.empty:
        return None
    idx = pd.Index([str(x) for x in df["order_book_id"]], name="order_book_id")
    return pd.Series(df["weight"].to_numpy(dtype=float), index=idx, name="weight")


# --------------------------------------------------------------------------------------
# Industries and style descriptors
# --------------------------------------------------------------------------------------


def get_instrument_industry(order_book_ids: Any, classification: Any = "sws") -> pd.Series:
    """Level-one industry name of each id (Series named 'industry', index order_book_id,
    input order).  Unknown ids and unclassified stocks are left out.  Classifications are
    static over the calendar."""
    cls = _classification(classification)
    ids, _ = _ids(order_book_ids)
    known = _known(ids)
    if not known:
        return pd.Series(
            [], index=pd.Index([], name="order_book_id"), name="industry", dtype=object
        )
    cond, params = _id_filter(known)
    df = store.query(
        f"SELECT order_book_id, industry_name FROM industries WHERE classification = ? AND {cond}",
        [cls] + params,
    )
    s = pd.Series(
        [str(x) for x in df["industry_name"]],
        index=pd.Index([str(x) for x in df["order_book_id"]], name="order_book_id"),
        name="industry",
        dtype=object,
    )
    order = [i for i in known if i in s.index]
    return s.reindex(pd.Index(order, name="order_book_id"))


def get_industry_names(classification: Any = "sws") -> list[str]:
    """Level-one industry names of ``classification``, ordered by industry code."""
    cls = _classification(classification)
    return [n for _, n in sorted(INDUSTRIES[cls])]


def get_style_descriptors(order_book_ids: Any, date: Any) -> pd.DataFrame:
    """Raw style descriptors of the latest snapshot on or before ``date``.

    Snapshots are taken on the last trading day of each month and on the calendar's first
    day.  Index order_book_id (input order, unknown ids and ids absent from the snapshot
    left out), columns the ten style names.  Empty before the first snapshot.
    """
    ids, _ = _ids(order_book_ids)
    d = _to_date(date, "date")
    known = _known(ids)
    cols = list(STYLE_NAMES)
    empty = pd.DataFrame(columns=cols, index=pd.Index([], name="order_book_id"), dtype=float)
    if not known:
        return empty
    cond, params = _id_filter(known)
    df = store.query(
        f"SELECT order_book_id, {', '.join(cols)} FROM style_descriptors WHERE date = ("
        "SELECT max(date) FROM style_descriptors WHERE date <= ?) AND " + cond,
        [d] + params,
    )
    if df.empty:
        return empty
    df["order_book_id"] = [str(x) for x in df["order_book_id"]]
    df = df.set_index("order_book_id")
    return df.reindex([i for i in known if i in df.index])[cols]
