"""Wall time of whole optimisations on the full sample market.

Each case is one ``portfolio_optimize`` call (universe normalisation, helper, problem building and
the solve with the objective's default solver) on universes of several sizes: the first stocks,
in id order, of those with risk-model data on the day.  Medians of ``--repeat`` runs; the first
run of a date also reads the day's risk model from the store, later ones find it cached.

Usage::

    TARNWICK_HOME=/path/to/full python bench/bench_optimize.py [--sizes 300 1000 5000]
        [--date 2025-11-03] [--repeat 3]
"""

from __future__ import annotations

import argparse
import datetime
import statistics
import sys
import time
import warnings
from collections.abc import Callable
from typing import Any

BENCHMARK = "000905.XSHG"


def _cases() -> dict[str, Callable[[list[str]], dict[str, Any]]]:
    import pandas as pd

    from morvane.constraints import TrackingErrorLimit, TurnoverLimit
    from morvane.objective import (
        MaxSharpeRatio,
        MeanVariance,
        MinTrackingError,
        MinVariance,
        RiskParity,
    )

    def holding(ids: list[str]) -> pd.Series:
        return pd.Series(1.0 / 50, index=ids[:50])

    return {
        "MinVariance": lambda ids: {"objective": MinVariance()},
        "MinVariance, 2% cap": lambda ids: {"objective": MinVariance(), "bnds": {"*": (0, 0.02)}},
        "MinTrackingError": lambda ids: {"objective": MinTrackingError(), "benchmark": BENCHMARK},
        "MinVariance, TE + turnover": lambda ids: {
            "cons": [TrackingErrorLimit(0.06), TurnoverLimit(holding(ids), 0.5)],
            "benchmark": BENCHMARK,
        },
        "MeanVariance (estimated)": lambda ids: {"objective": MeanVariance()},
        "MaxSharpeRatio (estimated)": lambda ids: {"objective": MaxSharpeRatio()},
        "RiskParity": lambda ids: {"objective": RiskParity()},
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[300, 1000, 5000])
    parser.add_argument(
        "--date", type=datetime.date.fromisoformat, default=datetime.date(2025, 11, 3)
    )
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)

    import tarnwick
    from morvane.optimize import portfolio_optimize
    from tarnwick import riskmodel

    prev = tarnwick.get_previous_trading_date(args.date)
    covered = set(riskmodel.get_style_exposures("v1", prev).index)
    covered &= set(riskmodel.get_specific_variance("v1", prev).index)
    stocks = sorted(covered)
    print(f"date {args.date}, {len(stocks)} stocks with risk-model data; median of {args.repeat}")
    print(f"{'case':<28} {'n':>6} {'seconds':>9} {'held':>6}")
    for name, make in _cases().items():
        for size in args.sizes:
            ids = stocks[:size]
            times = []
            for _ in range(args.repeat):
                kwargs = make(ids)  # a new objective each run: nothing estimated is reused
                start = time.perf_counter()
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    weights = portfolio_optimize(ids, args.date, **kwargs)
                times.append(time.perf_counter() - start)
            held = int((weights > 1e-4).sum())
            print(f"{name:<28} {len(ids):>6} {statistics.median(times):>9.3f} {held:>6}")
            sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
