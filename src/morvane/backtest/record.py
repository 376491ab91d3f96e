"""The record of one finished rebalance: what a strategy's walk yields, what travels back from a
Dask worker, what is kept as ``rebalances/NNNNN.json`` and what a resumed run starts from.

A record holds only strings, numbers, booleans, None and lists of them, so it is its own JSON
form: a stored record loads back equal to the one that was written.
"""

from __future__ import annotations

from typing import Optional, TypedDict

__all__ = ["Record", "is_record"]


class _Required(TypedDict):
    """The keys every stored record has, those of the first stored format."""

    #: position of the rebalance in the strategy's rebalance days, from 0
    index: int
    #: the rebalance day, ISO text
    date: str
    #: "ok", or "failed" when the optimisation failed and the drifted portfolio was kept
    status: str
    #: the failure as "ExceptionName: message", else None
    error: Optional[str]
    #: the conflicting units of an infeasible optimisation (their repr), else None
    conflicts: Optional[list[str]]
    #: whether the trade started from cash (the first rebalance)
    from_cash: bool
    #: the ids held after the trade, sorted, and their weights
    ids: list[str]
    weights: list[float]
    #: one-way turnover of the trade and its cost in NAV units
    turnover: float
    cost: float
    #: how many warnings the optimisation issued
    warnings: int
    #: the trading days the portfolio is held, ISO text, with the NAV at each close
    days: list[str]
    portfolio: list[float]
    #: the benchmark's NAV on the same days (empty without a benchmark)
    benchmark: list[float]
    #: the weights drifted to the last day's close, in the order of ``ids``
    end_weights: list[float]


class Record(_Required, total=False):
    """One rebalance: its outcome, the portfolio after its trade and the NAV until the next.
    The keys below came later; a stored record without them still resumes."""

    #: the constraints dropped to solve an infeasible rebalance (``on_infeasible``), their repr
    dropped_conflicts: list[str]
    #: the trade's cost by kind, in NAV units (fees, stamp_duty, spread, impact)
    costs: dict[str, float]


def is_record(data: object, index: int) -> bool:
    """Whether ``data`` (a loaded JSON value) is the record of rebalance ``index``: a mapping
    with every required key of :class:`Record`."""
    return (
        isinstance(data, dict)
        and data.get("index") == index
        and all(key in data for key in Record.__required_keys__)
    )
