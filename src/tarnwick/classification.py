"""How stocks are classified: their industries, and their raw style descriptors."""

from __future__ import annotations

from typing import Any

import pandas as pd

from tarnwick import store
from tarnwick.arguments import to_date, to_ids
from tarnwick.frames import id_filter
from tarnwick.instrument import known
from tarnwick.reference import CLASSIFICATIONS, STYLE_NAMES
from tarnwick.reference.industries import INDUSTRIES

__all__ = ["get_instrument_industry", "get_industry_names", "get_style_descriptors"]


def _classification(classification: Any) -> str:
    value = getattr(classification, "value", classification)
    if not isinstance(value, str) or value not in CLASSIFICATIONS:
        raise ValueError(
            f"classification must be one of {CLASSIFICATIONS} (or an enum with such a "
            f"value), got {classification!r}"
        )
    return value


def _by_id(ids: list[str], values: list[str], name: str) -> pd.Series:
    index = pd.Index(ids, name="order_book_id")
    return pd.Series(values, index=index, name=name, dtype=object)


def get_instrument_industry(order_book_ids: Any, classification: Any = "sws") -> pd.Series:
    """Level-one industry name of each id (Series named 'industry', index order_book_id,
    input order).  Unknown ids and unclassified stocks are left out.  Classifications are
    static over the calendar."""
    cls = _classification(classification)
    ids, _ = to_ids(order_book_ids)
    ids = known(ids)
    if not ids:
        return _by_id([], [], "industry")
    cond, params = id_filter(ids)
    df = store.query(
        f"SELECT order_book_id, industry_name FROM industries WHERE classification = ? AND {cond}",
        [cls] + params,
    )
    s = _by_id(
        [str(x) for x in df["order_book_id"]], [str(x) for x in df["industry_name"]], "industry"
    )
    order = [i for i in ids if i in s.index]
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
    ids, _ = to_ids(order_book_ids)
    d = to_date(date, "date")
    ids = known(ids)
    cols = list(STYLE_NAMES)
    empty = pd.DataFrame(columns=cols, index=pd.Index([], name="order_book_id"), dtype=float)
    if not ids:
        return empty
    cond, params = id_filter(ids)
    df = store.query(
        f"SELECT order_book_id, {', '.join(cols)} FROM style_descriptors WHERE date = ("
        "SELECT max(date) FROM style_descriptors WHERE date <= ?) AND " + cond,
        [d] + params,
    )
    if df.empty:
        return empty
    df["order_book_id"] = [str(x) for x in df["order_book_id"]]
    df = df.set_index("order_book_id")
    return df.reindex([i for i in ids if i in df.index])[cols]
