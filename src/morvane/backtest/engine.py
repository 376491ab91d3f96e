"""One strategy's walk over its rebalance days.

Execution and costs: the NAV starts at 1.  On a rebalance day d the portfolio is traded at the
previous close from its drifted weights to the optimiser's weights, paying
``cost_bps / 10^4 * sum(|w_new - w_drifted|)`` of the NAV, or with a costs table that model's
price of the trade (``morvane.backtest.costs``); the first rebalance trades from cash.  It then
earns day d's return.  Between rebalances the weights drift with the daily total returns (a day
without a return for a stock counts as an unchanged price).  A rebalance whose optimisation fails
keeps the drifted portfolio and is recorded with the reason.

Every rebalance yields one record (``morvane.backtest.record.Record``, a typed dict of strings,
numbers and lists: it travels through Dask and is kept as JSON), holding the weights after the
trade, the period's NAV rows and the drifted weights at its end.  The state a rebalance starts
from is the previous record alone, so a run resumed from its records gives exactly the numbers
of an uninterrupted one.
"""

from __future__ import annotations

import datetime as dt
import warnings
from collections.abc import Callable
from typing import Any, Optional

import numpy as np
import pandas as pd

from morvane.backtest import costs, infeasible, objects
from morvane.backtest.config import ConfigError, Strategy
from morvane.backtest.record import Record

__all__ = ["BacktestError", "plan", "universe_on", "optimise", "run_strategy"]


class BacktestError(RuntimeError):
    """A strategy stopped on an error other than a failed optimisation."""


def plan(strategy: Strategy) -> tuple[list[dt.date], dt.date]:
    """(rebalance days, last day of the backtest), checked against the trading calendar."""
    import tarnwick

    days = tarnwick.get_trading_dates(strategy.start, strategy.end)
    where = f"strategy {strategy.name!r}"
    if not days:
        raise ConfigError(
            f"{where}: start {strategy.start} to end {strategy.end} holds no trading day"
        )
    if isinstance(strategy.rebalance, str):
        if strategy.rebalance == "monthly":
            key: Callable[[dt.date], tuple[int, int]] = lambda d: (d.year, d.month)  # noqa: E731
        else:
            key = lambda d: tuple(d.isocalendar()[:2])  # noqa: E731
        chosen, seen = [], set()
        for day in days:
            if key(day) not in seen:
                seen.add(key(day))
                chosen.append(day)
    else:
        trading = set(days)
        missing = [d for d in strategy.rebalance if d not in trading]
        if missing:
            raise ConfigError(f"{where}: rebalance = {missing[0]} is refused: not a trading day")
        chosen = list(strategy.rebalance)
    try:
        tarnwick.get_previous_trading_date(chosen[0])
    except ValueError:
        raise ConfigError(
            f"{where}: rebalance = {chosen[0]} is refused: the first trade needs the previous "
            "day's close; start later"
        ) from None
    return chosen, days[-1]


def universe_on(universe: Any, date: dt.date) -> list[str]:
    """The universe on a rebalance day: an index's members, all stocks listed and not delisted
    on ``date`` (``"all"``), or the given ids."""
    import tarnwick

    if not isinstance(universe, str):
        return list(universe)
    if universe == "all":
        table = tarnwick.all_instruments("CS")
        text = date.isoformat()
        listed = (table["listed_date"] <= text) & (
            (table["de_listed_date"] == "0000-00-00") | (table["de_listed_date"] > text)
        )
        return sorted(str(i) for i in table.loc[listed, "order_book_id"])
    members = tarnwick.index_components(universe, date)
    if not members:
        raise BacktestError(f"universe {universe!r} has no members on {date}")
    return members


def optimise(
    strategy: Strategy, date: dt.date, holding: objects.Holding, nav: float = 1.0
) -> tuple[pd.Series, int]:
    """(weights, warnings raised) of one optimisation with objects built fresh for ``date``;
    ``nav`` is the portfolio's value before it, in units of ``capital``."""
    from morvane.optimize import portfolio_optimize

    objective = objects.build_objective(strategy.objective.type, strategy.objective.arguments)
    if strategy.optimise_costs:
        objective = objects.with_costs(objective, costs.model(strategy, holding.weights, nav))
    constraints = objects.build_constraints(
        [(c.type, c.arguments) for c in strategy.constraints], holding
    )
    universe = universe_on(strategy.universe, date)

    def call(cons: list[Any]) -> pd.Series:
        return portfolio_optimize(
            universe,
            date,
            objective,
            bnds=strategy.bounds,
            cons=cons or None,
            benchmark=strategy.benchmark,
            cov_model=strategy.cov_model,
            solver=strategy.solver,
            risk_model=strategy.risk_model,
            **strategy.solver_options,
        )

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        weights, _ = infeasible.solve(call, list(constraints), strategy.on_infeasible)
    return weights, len(caught)


def _holding(
    strategy: Strategy, previous: dt.date, ids: list[str], weights: np.ndarray, nav: float
) -> objects.Holding:
    if not ids:
        return objects.Holding(cash=strategy.capital * nav)
    w = pd.Series(weights, index=pd.Index(ids, name="order_book_id"))
    shares = pd.Series(0.0, index=w.index)
    if any(objects.needs_shares(c.type) for c in strategy.constraints):
        import tarnwick

        close = tarnwick.get_price(ids, previous, previous, fields="close", adjust_type="none")
        close = close["close"].droplevel("date").reindex(w.index)
        shares = (w * strategy.capital * nav / close).fillna(0.0)
    return objects.Holding(weights=w, shares=shares)


def _returns(ids: list[str], days: list[dt.date]) -> np.ndarray:
    """Daily total returns, days x ids, 0 where a stock has none."""
    import tarnwick

    if not ids:
        return np.zeros((len(days), 0))
    table = tarnwick.get_price_change_rate(ids, days[0], days[-1])
    table = table.reindex(index=pd.DatetimeIndex(days), columns=ids)
    return np.nan_to_num(table.to_numpy(dtype=float), nan=0.0)


def _failure(exc: Exception) -> dict[str, Any]:
    conflicts = getattr(exc, "conflicts", None)
    return {
        "error": f"{type(exc).__name__}: {exc}",
        "conflicts": [repr(c) for c in conflicts] if conflicts else None,
    }


def rebalance(
    strategy: Strategy, index: int, day: dt.date, period: list[dt.date], previous: Optional[Record]
) -> Record:
    """The record of rebalance ``index`` on ``day``, holding until the last day of ``period``."""
    import tarnwick
    from morvane.exception import OptimizationFailed

    if previous is None:
        old_ids, old_w, nav, bench = [], np.zeros(0), 1.0, 1.0
    else:
        old_ids, old_w = previous["ids"], np.asarray(previous["end_weights"], dtype=float)
        nav = previous["portfolio"][-1]
        bench = previous["benchmark"][-1] if strategy.benchmark else 1.0
    prev_close = tarnwick.get_previous_trading_date(day)
    holding = _holding(strategy, prev_close, old_ids, old_w, nav)
    failure = None
    warned = 0
    target = None
    try:
        target, warned = optimise(strategy, day, holding, nav)
        new = {str(k): float(v) for k, v in target.items() if v != 0.0}
    except OptimizationFailed as exc:
        failure = _failure(exc)
        new = dict(zip(old_ids, old_w.tolist()))
    except Exception as exc:
        raise BacktestError(
            f"strategy {strategy.name!r}, rebalance {day}: {type(exc).__name__}: {exc}"
        ) from exc
    ids = sorted(new)
    w = np.array([new[i] for i in ids], dtype=float)
    old = dict(zip(old_ids, old_w.tolist()))
    both = sorted(set(ids) | set(old_ids))
    traded = float(np.abs(np.array([new.get(i, 0.0) - old.get(i, 0.0) for i in both])).sum())
    cost, kinds = costs.charge(strategy, day, old, new, nav, traded)
    nav -= cost

    returns = _returns(ids, period)
    bench_returns = _returns([strategy.benchmark], period)[:, 0] if strategy.benchmark else None
    navs, benches = [], []
    drift = w.copy()
    for t in range(len(period)):
        growth = drift * (1.0 + returns[t])
        portfolio_growth = float(growth.sum()) if len(ids) else 1.0
        if len(ids):
            if portfolio_growth <= 0.0:
                raise BacktestError(
                    f"strategy {strategy.name!r}: the portfolio lost everything on {period[t]}"
                )
            drift = growth / portfolio_growth
        nav *= portfolio_growth
        navs.append(nav)
        if bench_returns is not None:
            bench *= 1.0 + float(bench_returns[t])
            benches.append(bench)
    return {
        "index": index,
        "date": day.isoformat(),
        "status": "failed" if failure else "ok",
        "error": failure["error"] if failure else None,
        "conflicts": failure["conflicts"] if failure else None,
        "dropped_conflicts": [] if failure else infeasible.dropped(target),
        "from_cash": not old_ids,
        "ids": ids,
        "weights": w.tolist(),
        "turnover": traded / 2.0,
        "cost": cost,
        "costs": kinds,
        "warnings": warned,
        "days": [d.isoformat() for d in period],
        "portfolio": navs,
        "benchmark": benches,
        "end_weights": drift.tolist(),
    }


def run_strategy(
    strategy: Strategy, done: list[Record], emit: Optional[Callable[[Record], None]] = None
) -> list[Record]:
    """All records of ``strategy``: those in ``done`` (a finished prefix) and the rest, computed
    in order; ``emit`` receives each new record as soon as it is made."""
    import tarnwick

    days, last = plan(strategy)
    records = list(done)
    if len(records) > len(days):
        raise BacktestError(f"strategy {strategy.name!r}: more records than rebalance days")
    for index in range(len(records), len(days)):
        end = tarnwick.get_previous_trading_date(days[index + 1]) if index + 1 < len(days) else last
        period = tarnwick.get_trading_dates(days[index], end)
        with tarnwick.snapshot():  # every read of one rebalance sees one store file
            record = rebalance(
                strategy, index, days[index], period, records[-1] if records else None
            )
        records.append(record)
        if emit is not None:
            emit(record)
    return records
