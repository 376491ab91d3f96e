"""Index compositions, and index weights: stored ones, else cap-weighted from the
compositions and the previous day's market caps."""

from __future__ import annotations

import datetime as _dt
from typing import Any

import numpy as np
import pandas as pd

from tarnwick import store
from tarnwick.arguments import to_date
from tarnwick.calendar import calendar, previous_close_day

__all__ = ["index_components", "index_weights", "cap_weights"]


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
    d = to_date(date, "date")
    return _components(iid, d)


def cap_weights(ids: list[str], caps: np.ndarray) -> pd.Series:
    """Weights proportional to ``caps`` (positive), summing to one: the rounding residue goes
    to the largest weight.  Series indexed by order_book_id, named 'weight'."""
    w = caps / caps.sum()
    for _ in range(3):
        resid = 1.0 - w.sum()
        if resid == 0.0:
            break
        w[int(np.argmax(w))] += resid
    return pd.Series(w, index=pd.Index(ids, name="order_book_id"), name="weight")


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
    return cap_weights([str(x) for x in df["order_book_id"]], cap)


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
    d = to_date(date, "date")
    cal = calendar()
    nd = np.datetime64(d, "D")
    if nd < cal[0] or nd > cal[-1]:
        return None
    stored = _stored_weights(iid, d)
    if stored is not None:
        return stored
    return _weights(iid, d, previous_close_day(d))
