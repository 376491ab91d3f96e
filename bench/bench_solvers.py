"""SCS against Clarabel: wall time and agreement of whole optimisations.

The cases and universes are those of ``bench_optimize.py``; each case is solved with the
objective's default solver (SCS) and with ``solver="CLARABEL"``. Columns: the median wall time of
``--repeat`` calls with each solver, their ratio, and the largest difference between the two
solutions' weights.

Usage::

    TARNWICK_HOME=/path/to/store python bench/bench_solvers.py [--sizes 300 1000 5000]
        [--date 2025-11-03] [--repeat 3]
"""

from __future__ import annotations

import argparse
import datetime
import statistics
import sys
import time
import warnings
from typing import Any

from bench_optimize import _cases

SOLVERS = ["SCS", "CLARABEL"]


def _timed(ids: list[str], date: datetime.date, kwargs: dict[str, Any], solver: str) -> Any:
    from morvane.optimize import portfolio_optimize

    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        weights = portfolio_optimize(ids, date, solver=solver, **kwargs)
    return time.perf_counter() - start, weights


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[300, 1000, 5000])
    parser.add_argument(
        "--date", type=datetime.date.fromisoformat, default=datetime.date(2025, 11, 3)
    )
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)

    import tarnwick
    from tarnwick import riskmodel

    prev = tarnwick.get_previous_trading_date(args.date)
    covered = set(riskmodel.get_style_exposures("v1", prev).index)
    covered &= set(riskmodel.get_specific_variance("v1", prev).index)
    stocks = sorted(covered)
    print(f"date {args.date}, {len(stocks)} stocks with risk-model data; median of {args.repeat}")
    print(f"{'case':<28} {'n':>6} {'SCS s':>8} {'Clarabel s':>11} {'ratio':>6} {'max |dw|':>9}")
    for name, make in _cases().items():
        for size in args.sizes:
            ids = stocks[:size]
            times: dict[str, list[float]] = {s: [] for s in SOLVERS}
            weights: dict[str, Any] = {}
            for _ in range(args.repeat):
                for solver in SOLVERS:  # a new objective each run: nothing estimated is reused
                    seconds, weights[solver] = _timed(ids, args.date, make(ids), solver)
                    times[solver].append(seconds)
            scs, clarabel = (statistics.median(times[s]) for s in SOLVERS)
            gap = float((weights["SCS"] - weights["CLARABEL"]).abs().max())
            print(
                f"{name:<28} {len(ids):>6} {scs:>8.3f} {clarabel:>11.3f} "
                f"{clarabel / scs:>6.2f} {gap:>9.1e}"
            )
            sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
