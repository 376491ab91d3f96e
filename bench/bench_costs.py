"""What transaction costs add to one optimisation, up to the whole market.

The universe is every stock with risk-model data on the day (smaller sizes a fixed random sample
of it); the holding is equal weights over every second stock of the universe plus 20 stocks
outside it (sold completely). The objective is ``MeanVariance`` with the last 120 days' mean
returns, 2% caps. Three cases per size and solver:

- ``none``: no cost model;
- ``linear``: commission, stamp duty, transfer fee and spread (``impact_coefficient=0``);
- ``impact``: the default model, the |x|^1.5 impact term included.

Columns: ``rates`` the per-stock prices (daily volatilities from the risk model, traded values
over the window), ``penalty`` the build of the cvxpy penalty (rates included), ``call`` the whole
``portfolio_optimize`` call, ``solve`` the solver's own time (``attrs["morvane"]["solve_time"]``),
the status and refinement, the one-way turnover and the one-off cost of the answer
(``TransactionCostModel.cost``, timed as ``cost``).

Usage::

    TARNWICK_HOME=/path/to/full python bench/bench_costs.py [--sizes 300 1000 0]
        [--solvers CLARABEL SCS] [--date 2025-06-03]

A size of 0 is the whole universe.
"""

from __future__ import annotations

import argparse
import datetime
import time
import warnings
from typing import Any

CASES = ("none", "linear", "impact")


def universe(date: datetime.date) -> list[str]:
    import tarnwick
    from tarnwick import riskmodel

    prev = tarnwick.get_previous_trading_date(date)
    covered = set(riskmodel.get_style_exposures("v1", prev).index)
    return sorted(covered & set(riskmodel.get_specific_variance("v1", prev).index))


def sample(ids: list[str], size: int) -> tuple[list[str], list[str]]:
    """(universe of ``size``, 20 other stocks)."""
    import numpy as np

    rng = np.random.default_rng(7)
    order = rng.permutation(len(ids))
    chosen = order if size <= 0 or size >= len(ids) - 20 else order[:size]
    rest = [ids[i] for i in order if i not in set(chosen.tolist())][:20]
    return sorted(ids[i] for i in chosen), rest


def model(case: str, holding: Any) -> Any:
    from morvane.costs import TransactionCostModel

    if case == "none":
        return None
    impact = 0.0 if case == "linear" else 1.0
    return TransactionCostModel(holding, capital=1e9, impact_coefficient=impact)


def run_case(case: str, ids: list[str], holding: Any, mu: Any, date: Any, solver: str) -> dict:
    import cvxpy as cp
    import numpy as np

    from morvane.const import CovModel, RiskModel
    from morvane.helper import OptimizeHelper
    from morvane.objective import MeanVariance
    from morvane.optimize import portfolio_optimize

    costs = model(case, holding)
    row: dict[str, Any] = {"case": case, "solver": solver}
    if costs is not None:
        helper = OptimizeHelper(
            ids, date, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0
        )
        start = time.perf_counter()
        pool = ids + [s for s in holding.index if s not in set(ids)]
        costs.rates(pool, date, helper)
        row["rates"] = time.perf_counter() - start
        start = time.perf_counter()
        costs.get_penalty(cp.Variable(len(ids), nonneg=True), helper)
        row["penalty"] = time.perf_counter() - start
    objective = MeanVariance(expected_returns=mu, transaction_cost_model=costs)
    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        weights = portfolio_optimize(ids, date, objective, bnds={"*": (0, 0.02)}, solver=solver)
    row["call"] = time.perf_counter() - start
    info = weights.attrs["morvane"]
    row.update(solve=info["solve_time"], status=info["status"], refined=info["refined"])
    both = weights.index.union(holding.index)
    change = weights.reindex(both, fill_value=0.0) - holding.reindex(both, fill_value=0.0)
    row["turnover"] = float(np.abs(change).sum() / 2)
    priced = model("impact", holding)
    start = time.perf_counter()
    row["cost"] = float(priced.cost(weights, date)["total"])
    row["cost_s"] = time.perf_counter() - start
    return row


def main() -> None:
    import pandas as pd

    import tarnwick

    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[300, 1000, 0])
    parser.add_argument("--solvers", nargs="+", default=["CLARABEL", "SCS"])
    parser.add_argument("--date", default="2025-06-03")
    args = parser.parse_args()
    date = datetime.date.fromisoformat(args.date)
    everything = universe(date)
    end = tarnwick.get_previous_trading_date(date)
    start = tarnwick.trading_date_offset(end, -120)
    rows = []
    for size in args.sizes:
        ids, others = sample(everything, size)
        held = ids[::2] + others
        holding = pd.Series(1.0 / len(held), index=held)
        mu = tarnwick.get_mean_price_change_rate(ids, start, end) * 252
        for solver in args.solvers:
            for case in CASES:
                row = {"n": len(ids), **run_case(case, ids, holding, mu, date, solver)}
                rows.append(row)
                print(row, flush=True)
    with pd.option_context("display.width", 200, "display.max_columns", None):
        print(pd.DataFrame(rows).round(4).to_string(index=False))


if __name__ == "__main__":
    main()
