"""The style descriptors a store's sources do not give, computed from its bars and caps.

Which styles a store computes is decided by its first import and kept in ``meta``:

- the styles the ``style_descriptors`` file carries are kept as given;
- the price-based styles it lacks are computed (``tarnwick.sources.descriptors``) on the
  descriptor dates: the file's dates, or, without a file, the calendar's first day and the
  last trading day of every month;
- the other styles it lacks have no data and stay at exposure 0.
"""

from __future__ import annotations

import datetime as _dt
from dataclasses import dataclass

import duckdb
import numpy as np
import pandas as pd

from tarnwick.reference import PRICE_STYLES, STYLE_NAMES
from tarnwick.sources.descriptors import WINDOWS, price_descriptors

__all__ = ["StylePlan", "plan", "derive", "month_end_dates"]


@dataclass(frozen=True)
class StylePlan:
    """The styles of a store by origin, and where its descriptor dates come from."""

    derived: tuple[str, ...]
    missing: tuple[str, ...]
    dates_from_file: bool
    first_import: bool

    def warnings(self) -> list[str]:
        if not self.first_import or not self.missing:
            return []
        return [
            f"no data for the styles {', '.join(self.missing)}: their exposures stay at 0 "
            "(give them as columns of style_descriptors)"
        ]


def _meta(con: duckdb.DuckDBPyConnection, key: str) -> str | None:
    row = con.execute("SELECT value FROM meta WHERE key = ?", [key]).fetchone()
    return None if row is None else str(row[0])


def plan(con: duckdb.DuckDBPyConnection, file_columns: list[str] | None, update: bool) -> StylePlan:
    """The styles to compute: kept from the store on an update, else from the columns of the
    import's style_descriptors file (None when it has none)."""
    if update:
        names = tuple(s for s in (_meta(con, "derived_styles") or "").split(",") if s)
        given = _meta(con, "descriptor_dates") != "month_end"
        return StylePlan(names, (), given, first_import=False)
    supplied = [s for s in STYLE_NAMES if file_columns and s in file_columns]
    derived = tuple(s for s in PRICE_STYLES if s not in supplied)
    missing = tuple(s for s in STYLE_NAMES if s not in supplied and s not in derived)
    return StylePlan(derived, missing, file_columns is not None, first_import=True)


def month_end_dates(days: list[_dt.date]) -> list[_dt.date]:
    """The calendar's first day and the last trading day of every month.  The calendar's last
    day counts when no weekday follows it in its month, so appending days never removes a
    descriptor date."""
    out = [days[0]] if days else []
    for today, following in zip(days, days[1:]):
        if (following.year, following.month) != (today.year, today.month) and today != days[0]:
            out.append(today)
    if len(days) > 1:
        last = days[-1]
        rest = pd.bdate_range(last + _dt.timedelta(days=1), periods=1)[0].date()
        if (rest.year, rest.month) != (last.year, last.month) and last not in out:
            out.append(last)
    return out


def _scatter(
    shape: tuple[int, int], rows: np.ndarray, cols: np.ndarray, values: np.ndarray
) -> np.ndarray:
    out = np.full(shape, np.nan)
    keep = (rows >= 0) & (cols >= 0)
    out[rows[keep], cols[keep]] = values[keep]
    return out


def _load(con: duckdb.DuckDBPyConnection, days: list[_dt.date]) -> dict[str, np.ndarray]:
    """Dense arrays of the stocks over ``days``: price, close, volume, cap (forward-filled,
    from the last cap before the first day)."""
    ids = pd.Index(
        [
            r[0]
            for r in con.execute(
                "SELECT order_book_id FROM instruments WHERE type = 'CS' ORDER BY order_book_id"
            ).fetchall()
        ]
    )
    dates = pd.DatetimeIndex(pd.to_datetime(days))
    shape = (len(days), len(ids))
    bars = con.execute(
        "SELECT order_book_id, date, close * adj_factor AS price, close, volume FROM daily_bars "
        "WHERE date BETWEEN ? AND ?",
        [days[0], days[-1]],
    ).df()
    rows = dates.get_indexer(pd.to_datetime(bars["date"]))
    cols = ids.get_indexer(bars["order_book_id"])
    out = {
        k: _scatter(shape, rows, cols, bars[k].to_numpy(float))
        for k in ("price", "close", "volume")
    }
    caps = con.execute(
        "SELECT order_book_id, date, market_cap_3 FROM factor_values WHERE date BETWEEN ? AND ?",
        [days[0], days[-1]],
    ).df()
    cap = _scatter(
        shape,
        dates.get_indexer(pd.to_datetime(caps["date"])),
        ids.get_indexer(caps["order_book_id"]),
        caps["market_cap_3"].to_numpy(float),
    )
    before = con.execute(
        "SELECT order_book_id, arg_max(market_cap_3, date) AS cap FROM factor_values "
        "WHERE date < ? GROUP BY order_book_id",
        [days[0]],
    ).df()
    j = ids.get_indexer(before["order_book_id"])
    first = cap[0].copy()
    first[j[j >= 0]] = before["cap"].to_numpy(float)[j >= 0]
    cap[0] = np.where(np.isfinite(cap[0]), cap[0], first)
    out["cap"] = pd.DataFrame(cap).ffill().to_numpy()
    out["ids"] = ids.to_numpy()
    return out


def derive(con: duckdb.DuckDBPyConnection, style_plan: StylePlan, since: _dt.date | None) -> None:
    """Compute the plan's derived styles on the descriptor dates from the trading day before
    ``since`` on (all dates when None) and write them into ``style_descriptors``."""
    if not style_plan.derived:
        return
    calendar = [
        r[0] for r in con.execute("SELECT date FROM trading_dates ORDER BY date").fetchall()
    ]
    start = calendar[0]
    if since is not None:
        k = int(np.searchsorted(np.array(calendar, dtype="datetime64[D]"), np.datetime64(since)))
        start = calendar[max(k - 1, 0)]
    if style_plan.dates_from_file:
        dates = [
            r[0]
            for r in con.execute(
                "SELECT DISTINCT date FROM style_descriptors WHERE date >= ? ORDER BY date", [start]
            ).fetchall()
        ]
    else:
        dates = [d for d in month_end_dates(calendar) if d >= start]
        con.execute("DELETE FROM style_descriptors WHERE date >= ?", [start])
    if not dates:
        return
    first = calendar.index(dates[0])
    window = calendar[max(first - WINDOWS["beta"], 0) : calendar.index(dates[-1]) + 1]
    data = _load(con, window)
    frames = []
    for d in dates:
        t = window.index(d)
        lo = max(t - WINDOWS["beta"], 0)
        values = price_descriptors(
            *(data[k][lo : t + 1] for k in ("price", "close", "volume", "cap"))
        )
        keep = np.isfinite(values["size"])
        frame = pd.DataFrame({"date": d, "order_book_id": data["ids"][keep]})
        for s in style_plan.derived:
            frame[s] = values[s][keep]
        frames.append(frame)
    _write(con, pd.concat(frames, ignore_index=True), style_plan.derived)


def _write(con: duckdb.DuckDBPyConnection, frame: pd.DataFrame, styles: tuple[str, ...]) -> None:
    cols = ", ".join(styles)
    con.register("_derived", frame)
    try:
        con.execute(
            f"UPDATE style_descriptors s SET {', '.join(f'{c} = d.{c}' for c in styles)} "
            "FROM _derived d WHERE s.date = d.date AND s.order_book_id = d.order_book_id"
        )
        con.execute(
            f"INSERT INTO style_descriptors (date, order_book_id, {cols}) "
            f"SELECT date, order_book_id, {cols} FROM _derived d WHERE NOT EXISTS ("
            "SELECT 1 FROM style_descriptors s WHERE s.date = d.date "
            "AND s.order_book_id = d.order_book_id) ORDER BY order_book_id, date"
        )
    finally:
        con.unregister("_derived")
