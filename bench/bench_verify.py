"""What checking every answer, refining it and diagnosing infeasible calls costs at full market.

For each case, one ``portfolio_optimize`` call on the stocks with risk-model data on the day (the
whole market by default): the wall time of the call, the time spent in the solver calls
(``attrs["morvane"]["solve_time"]``, all attempts), the time of the check of the answer against
every constraint (from the debug records of the ``morvane.optimize`` logger, summed over the
checks of the call) and whether the answer had to be refined with Clarabel. The infeasible cases
report the time of the diagnosis (the deletion filter's feasibility solves) and the conflicts
found. Medians of ``--repeat`` runs.

Usage::

    TARNWICK_HOME=/path/to/full python bench/bench_verify.py [--size 5000] [--date 2025-11-03]
        [--repeat 3]
"""

from __future__ import annotations

import argparse
import datetime
import logging
import statistics
import sys
import time
import warnings
from collections.abc import Callable
from typing import Any

BENCHMARK = "000905.XSHG"


class Timings(logging.Handler):
    """Collects the seconds of the optimiser's check and diagnosis records."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.check = 0.0
        self.diagnosis = 0.0

    def emit(self, record: logging.LogRecord) -> None:
        if record.msg.startswith("check of"):
            self.check += float(record.args[1])
        elif record.msg.startswith("diagnosis of"):
            self.diagnosis += float(record.args[1])


def _cases() -> dict[str, Callable[[list[str]], dict[str, Any]]]:
    import pandas as pd

    from morvane.constraints import (
        IndustryConstraint,
        StockPoolLimit,
        StyleConstraint,
        TrackingErrorLimit,
        TurnoverLimit,
        WildcardIndustryConstraint,
    )
    from morvane.objective import MinTrackingError, MinVariance

    def holding(ids: list[str]) -> pd.Series:
        return pd.Series(1.0 / 50, index=ids[:50])

    return {
        "MinVariance, 2% cap": lambda ids: {"objective": MinVariance(), "bnds": {"*": (0, 0.02)}},
        "TE 6% + turnover 50%": lambda ids: {
            "cons": [TrackingErrorLimit(0.06), TurnoverLimit(holding(ids), 0.5)],
            "benchmark": BENCHMARK,
        },
        "TE 6% + turnover, Clarabel": lambda ids: {
            "cons": [TrackingErrorLimit(0.06), TurnoverLimit(holding(ids), 0.5)],
            "benchmark": BENCHMARK,
            "solver": "CLARABEL",
        },
        "MinTE, industries + styles": lambda ids: {
            "objective": MinTrackingError(),
            "benchmark": BENCHMARK,
            "bnds": {"*": (0, 0.01)},
            "cons": [
                WildcardIndustryConstraint(lower_limit=-0.02, upper_limit=0.02, relative=True),
                StyleConstraint(["size", "beta"], lower_limit=-0.1, upper_limit=0.1,
                                relative=True),  # fmt: skip
            ],
        },
        "infeasible: 2 of 5 units": lambda ids: {
            "benchmark": BENCHMARK,
            "bnds": {"*": (0, 0.05)},
            "cons": [
                TrackingErrorLimit(0.08),
                StyleConstraint("size", lower_limit=-0.5, upper_limit=0.5, relative=True),
                StockPoolLimit(ids[:40], upper_limit=0.2),
                IndustryConstraint("银行", upper_limit=0.5),
                StockPoolLimit(ids[:20], lower_limit=0.3),
            ],
        },
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=5000)
    parser.add_argument(
        "--date", type=datetime.date.fromisoformat, default=datetime.date(2025, 11, 3)
    )
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)

    import tarnwick
    from morvane.exception import OptimizationFailed
    from morvane.optimize import portfolio_optimize
    from tarnwick import riskmodel

    timings = Timings()
    logger = logging.getLogger("morvane.optimize")
    logger.addHandler(timings)
    logger.setLevel(logging.DEBUG)
    logger.propagate = False

    prev = tarnwick.get_previous_trading_date(args.date)
    covered = set(riskmodel.get_style_exposures("v1", prev).index)
    covered &= set(riskmodel.get_specific_variance("v1", prev).index)
    ids = sorted(covered)[: args.size]
    print(f"date {args.date}, {len(ids)} stocks; median of {args.repeat} runs, seconds "
          "(the check in milliseconds)")  # fmt: skip
    print(f"{'case':<28} {'call':>7} {'solves':>7} {'check ms':>8} {'diagnosis':>9}  outcome")
    for name, make in _cases().items():
        rows = []
        outcome = ""
        for _ in range(args.repeat):
            kwargs = make(ids)
            timings.check = timings.diagnosis = 0.0
            start = time.perf_counter()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                try:
                    weights = portfolio_optimize(ids, args.date, **kwargs)
                    info = weights.attrs["morvane"]
                    solves = info["solve_time"]
                    outcome = f"{info['solver']}, refined={info['refined']}"
                except OptimizationFailed as failure:
                    solves = float("nan")
                    outcome = f"{failure.args[0]}: {len(failure.conflicts)} conflicts"
            rows.append((time.perf_counter() - start, solves, timings.check, timings.diagnosis))
        call, solves, check, diagnosis = (statistics.median(col) for col in zip(*rows))
        print(f"{name:<28} {call:>7.3f} {solves:>7.3f} {check * 1e3:>8.1f} {diagnosis:>9.3f}  "
              f"{outcome}")  # fmt: skip
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
