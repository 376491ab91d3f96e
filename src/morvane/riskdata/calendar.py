"""The date of an optimisation against the store's trading calendar."""

from __future__ import annotations

import datetime

import tarnwick
import tarnwick.riskmodel
from morvane.coerce import to_date
from morvane.exception import InvalidArgument
from morvane.riskdata.cache import cached

__all__ = ["previous_trading_date"]


def _bounds(identity: tuple[object, ...]) -> tuple[datetime.date, datetime.date]:
    def compute() -> tuple[datetime.date, datetime.date]:
        first, last = tarnwick.riskmodel.calendar_bounds()
        return first, last

    return cached(identity, ("calendar",), compute)


def previous_trading_date(date: datetime.date, identity: tuple[object, ...]) -> datetime.date:
    """The trading day before ``date``, the last day of the data an optimisation on ``date``
    uses; ``date`` must lie after the calendar's first day and on or before its last."""
    first, last = _bounds(identity)
    if not first < date <= last:
        raise InvalidArgument(
            f"日期 {date} 超出交易日历范围 ({first}, {last}], 没有之前的交易日数据"
        )
    return to_date(tarnwick.get_previous_trading_date(date), "previous trading date")
