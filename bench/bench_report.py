"""Time of a portfolio report next to the optimisation it reports on.

Runs on the store at $TARNWICK_HOME (the full sample market for meaningful numbers); it only
reads the store, and writes the pages into a temporary folder.  For each universe size it
reports, as medians of ``--repeat`` runs:

* optimise: ``portfolio_optimize`` with the minimum-variance objective against the benchmark;
* analyse: ``analyse`` of that result against the same benchmark, with the risk-model cache
  filled (as after the optimisation);
* analyse cold: the same with the risk-model cache emptied;
* page: ``to_html`` (the figures, the summary and the inlined chart script), and its size.

Usage::

    TARNWICK_HOME=/path/to/full python bench/bench_report.py [--sizes 300 1000 5000]
        [--date 2025-11-03] [--benchmark 000905.XSHG] [--repeat 3]
"""

from __future__ import annotations

import argparse
import datetime
import statistics
import tempfile
import time
from pathlib import Path
from typing import Callable


def _universe(date: datetime.date) -> list[str]:
    """Every stock with exposures and a specific variance on the trading day before ``date``."""
    import tarnwick
    from tarnwick import riskmodel

    prev = tarnwick.get_previous_trading_date(date)
    exposures = riskmodel.get_style_exposures("v1", prev)
    specific = riskmodel.get_specific_variance("v1", prev)
    return sorted(set(exposures.index) & set(specific.index))


def _median_time(run: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[300, 1000, 5000])
    parser.add_argument("--date", type=datetime.date.fromisoformat,
                        default=datetime.date(2025, 11, 3))  # fmt: skip
    parser.add_argument("--benchmark", default="000905.XSHG")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    every = _universe(args.date)
    print(f"date {args.date}, benchmark {args.benchmark}, medians of {args.repeat} runs")
    header = ("n", "optimise s", "analyse s", "cold s", "page s", "page MB")
    print("".join(f"{h:>12}" for h in header))
    with tempfile.TemporaryDirectory() as folder:
        for size in args.sizes:
            ids = every[:size]
            row = _measure(ids, args, Path(folder) / f"report-{size}.html")
            print(f"{len(ids):>12}" + "".join(f"{v:>12.3f}" for v in row))


def _measure(ids: list[str], args: argparse.Namespace, path: Path) -> tuple[float, ...]:
    from morvane.helper import clear_cache
    from morvane.optimize import portfolio_optimize
    from morvane.report import analyse

    def optimise() -> object:
        return portfolio_optimize(ids, args.date, benchmark=args.benchmark)

    weights = optimise()

    def warm() -> object:
        return analyse(weights, args.date, benchmark=args.benchmark)

    def cold() -> object:
        clear_cache()
        return warm()

    report = warm()
    times = [_median_time(run, args.repeat) for run in (optimise, warm, cold)]
    page = _median_time(lambda: report.to_html(path), args.repeat)
    return (*times, page, path.stat().st_size / 1e6)


if __name__ == "__main__":
    main()
