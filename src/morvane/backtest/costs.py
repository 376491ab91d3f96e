"""What a backtest's trades cost.

A strategy without a ``[strategy.costs]`` table pays the flat ``cost_bps`` on the weight it
trades, all of it counted as fees. With a table, each rebalance builds a
:class:`morvane.costs.TransactionCostModel` from the table, the drifted holding and the
portfolio's value (``capital`` times the NAV) and pays its ``cost`` of the trade on the
rebalance day (the liquidity of the window before that day, the stamp duty of that day). With
``optimise_costs`` the optimiser weighs the same model.

Costs are reported in NAV units (the NAV starting at 1) by kind: fees (commission and transfer
fee), stamp duty, spread and impact.
"""

from __future__ import annotations

import datetime as dt
from typing import Any

import pandas as pd

from morvane.backtest.config import Strategy
from morvane.costs import TransactionCostModel

__all__ = ["KINDS", "charge", "model", "totals", "trades_per_year"]

#: The kinds of cost a backtest reports.
KINDS = ("fees", "stamp_duty", "spread", "impact")
_PACE = {"monthly": 12.0, "weekly": 52.0}


def trades_per_year(strategy: Strategy) -> float:
    """The table's ``trades_per_year``, else the rebalance rule's pace: 12 monthly, 52 weekly,
    and for a list of dates their number per year of the backtest's span."""
    given = strategy.costs.trades_per_year if strategy.costs is not None else None
    if given is not None:
        return float(given)
    if isinstance(strategy.rebalance, str):
        return _PACE[strategy.rebalance]
    span = (strategy.end - strategy.start).days + 1
    return max(1.0, len(strategy.rebalance) * 365.25 / span)


def model(strategy: Strategy, holding: pd.Series, nav: float) -> TransactionCostModel:
    """The cost model of a rebalance of ``strategy`` from the weights ``holding`` at ``nav``."""
    if strategy.costs is None:
        raise ValueError(f"strategy {strategy.name!r} has no costs table")
    arguments = strategy.costs.arguments()
    arguments["trades_per_year"] = trades_per_year(strategy)
    return TransactionCostModel(
        holding,
        capital=strategy.capital * nav,
        cov_model=strategy.cov_model,
        risk_model=strategy.risk_model,
        **arguments,
    )


def charge(
    strategy: Strategy,
    day: dt.date,
    old: dict[str, float],
    new: dict[str, float],
    nav: float,
    traded: float,
) -> tuple[float, dict[str, float]]:
    """(total, by kind) of trading from the weights ``old`` to ``new`` (``traded`` the sum of
    the absolute weight changes) on ``day``, in NAV units, for a portfolio whose NAV is ``nav``
    before the trade."""
    if strategy.costs is None:
        fees = nav * strategy.cost_bps / 1e4 * traded
        return fees, {"fees": fees, "stamp_duty": 0.0, "spread": 0.0, "impact": 0.0}
    held = pd.Series(old, dtype=float)
    priced = model(strategy, held, nav).cost(pd.Series(new, dtype=float), day)
    kinds = {
        "fees": nav * float(priced["commission"] + priced["transfer_fee"]),
        "stamp_duty": nav * float(priced["stamp_duty"]),
        "spread": nav * float(priced["spread"]),
        "impact": nav * float(priced["impact"]),
    }
    return nav * float(priced["total"]), kinds


def totals(records: list[dict[str, Any]]) -> dict[str, float]:
    """The costs of all ``records`` by kind (a record without kinds counts as fees)."""
    out = dict.fromkeys(KINDS, 0.0)
    for record in records:
        kinds = record.get("costs") or {"fees": record["cost"]}
        for kind in KINDS:
            out[kind] += float(kinds.get(kind, 0.0))
    return out
