"""The store's trading calendar: steps between trading days, and the days of a window."""

from __future__ import annotations

import datetime as _dt
from typing import Any

import numpy as np

from tarnwick import store
from tarnwick.arguments import to_date, to_int
from tarnwick.errors import OutsideCalendarError

__all__ = [
    "trading_date_offset",
    "get_previous_trading_date",
    "get_next_trading_date",
    "get_trading_dates",
    "calendar",
    "window",
    "previous_close_day",
    "previous_day",
]


def calendar() -> np.ndarray:
    """The store's trading days, ascending (``datetime64[D]``), read once per store file."""

    def load(con: Any) -> np.ndarray:
        rows = con.execute("SELECT date FROM trading_dates ORDER BY date").fetchall()
        return np.array([r[0] for r in rows], dtype="datetime64[D]")

    return store.cached("calendar", load)


def _as_date(d: np.datetime64) -> _dt.date:
    return d.astype(object)


def window(start_date: Any, end_date: Any) -> tuple[_dt.date, _dt.date]:
    """``(start_date, end_date)`` as dates; ValueError when the window is reversed."""
    start = to_date(start_date, "start_date")
    end = to_date(end_date, "end_date")
    if start > end:
        raise ValueError(f"start_date {start} is after end_date {end}")
    return start, end


def _outside(name: str, date: _dt.date, n: int, cal: np.ndarray) -> OutsideCalendarError:
    """The error of a step from ``date`` that leaves the calendar, naming the edge it passed."""
    where = f"of the store {store.identity()[0]}"
    if not len(cal):
        return OutsideCalendarError(f"{name}: the trading calendar {where} is empty")
    first, last = _as_date(cal[0]), _as_date(cal[-1])
    if n > 0:
        edge = f"the store's last day is {last}"
    elif date < first:
        edge = f"{date} is before the store's first day {first}"
    else:
        edge = f"the store's first day is {first}"
    return OutsideCalendarError(
        f"{name}: {n:+d} trading days from {date} falls outside the trading calendar "
        f"{first}..{last} {where} ({edge})"
    )


def _step(date: _dt.date, n: int, name: str) -> _dt.date:
    """The trading day n steps after (n > 0) or before (n < 0) ``date``."""
    cal = calendar()
    d = np.datetime64(date, "D")
    if n > 0:
        k = int(np.searchsorted(cal, d, side="right")) + n - 1
    elif n < 0:
        k = int(np.searchsorted(cal, d, side="left")) + n
    else:
        k = int(np.searchsorted(cal, d, side="right")) - 1
    if k < 0 or k >= len(cal):
        raise _outside(name, date, n, cal)
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
    d = to_date(date, "date")
    return _step(d, to_int(n, "n"), "trading_date_offset")


def get_previous_trading_date(date: Any, n: int = 1) -> _dt.date:
    """The n-th trading day strictly before ``date`` (n >= 1)."""
    d = to_date(date, "date")
    n = to_int(n, "n")
    if n < 1:
        raise ValueError(f"n must be >= 1, got {n}")
    return _step(d, -n, "get_previous_trading_date")


def get_next_trading_date(date: Any, n: int = 1) -> _dt.date:
    """The n-th trading day strictly after ``date`` (n >= 1)."""
    d = to_date(date, "date")
    n = to_int(n, "n")
    if n < 1:
        raise ValueError(f"n must be >= 1, got {n}")
    return _step(d, n, "get_next_trading_date")


def get_trading_dates(start_date: Any, end_date: Any) -> list[_dt.date]:
    """Trading days in ``[start_date, end_date]`` (both inclusive), ascending."""
    start, end = window(start_date, end_date)
    cal = calendar()
    lo = np.searchsorted(cal, np.datetime64(start, "D"), side="left")
    hi = np.searchsorted(cal, np.datetime64(end, "D"), side="right")
    return [_as_date(d) for d in cal[lo:hi]]


def previous_day(date: _dt.date) -> _dt.date | None:
    """The trading day strictly before ``date``; None when ``date`` is on or before the
    calendar's first day."""
    cal = calendar()
    k = int(np.searchsorted(cal, np.datetime64(date, "D"), side="left"))
    return _as_date(cal[k - 1]) if k > 0 else None


def previous_close_day(start: _dt.date) -> _dt.date:
    """The trading day before ``start``, whose close the first return of a window is against
    (``start`` itself at the calendar's first day)."""
    before = previous_day(start)
    return start if before is None else before
