"""Time and peak memory of building an OptimizeHelper and its covariance matrix.

Runs on the store at $TARNWICK_HOME (the full sample market for meaningful numbers); it only
reads the store.  For each universe size it reports

* cold: a new helper and its dense covariance matrix, with the risk-model cache emptied (the
  store connection is already open), so the day's factor covariance, exposures and specific
  variances are read from the store;
* warm: the same with the cache filled (a second helper on the same date);
* factor: a new helper, cache emptied, and its ``get_factor_model()`` pieces: what the optimiser
  itself asks for, since its risk term is built from the factor structure;
* peak: the peak of memory allocated (traced by tracemalloc, numpy included) during one cold
  helper plus its covariance matrix.

Usage::

    TARNWICK_HOME=/path/to/full python bench/bench_helper.py [--sizes 300 1000 5000]
        [--date 2025-11-03] [--benchmark 000300.XSHG] [--risk-model v1] [--cov-model daily]

A size above the number of stocks with risk-model data on the date uses all of them; the
table shows the number actually used.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import resource
import statistics
import sys
import time
import tracemalloc

import numpy as np


def _universe(date: datetime.date, risk_model: str) -> list[str]:
    """Every stock with exposures and a specific variance on the trading day before ``date``."""
    import tarnwick
    from tarnwick import riskmodel

    prev = tarnwick.get_previous_trading_date(date)
    exposures = riskmodel.get_style_exposures(risk_model, prev)
    specific = riskmodel.get_specific_variance(risk_model, prev)
    return sorted(set(exposures.index) & set(specific.index))


def _build(
    ids: list[str], date: datetime.date, args: argparse.Namespace, dense: bool = True
) -> float:
    """Seconds to build one helper and its covariance matrix (the union's with a benchmark), or,
    without ``dense``, its factor-model pieces."""
    from morvane.benchmark import IndexBenchmark
    from morvane.const import CovModel, RiskModel
    from morvane.helper import OptimizeHelper

    benchmark = IndexBenchmark(args.benchmark) if args.benchmark else None
    start = time.perf_counter()
    helper = OptimizeHelper(
        ids, date, benchmark, CovModel(args.cov_model), RiskModel(args.risk_model), 1.0, 1.0
    )
    union = benchmark is not None
    if dense:
        cov = helper.get_union_cov_matrix() if union else helper.get_cov_matrix()
    else:
        cov = helper.get_factor_model(union)[1]
    elapsed = time.perf_counter() - start
    assert np.isfinite(cov[0, 0])
    return elapsed


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[300, 1000, 5000])
    parser.add_argument("--date", type=datetime.date.fromisoformat,
                        default=datetime.date(2025, 11, 3))
    parser.add_argument("--benchmark", default=None, help="an index code, e.g. 000300.XSHG")
    parser.add_argument("--risk-model", default="v1", choices=["v1", "v2"])
    parser.add_argument("--cov-model", default="daily", choices=["daily", "monthly", "quarterly"])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args(argv)

    from morvane import helper as helper_module
    from tarnwick import store

    path = store.store_path()
    if not path.exists():
        # Any query would build the full market there first: not what a benchmark should do.
        print(f"no market store at {path}; build one with `tarnwick sample` first",
              file=sys.stderr)
        return 1
    print(f"store: {path}")
    start = time.perf_counter()
    candidates = _universe(args.date, args.risk_model)
    print(f"open the store and list the {len(candidates)} stocks with data on the day before "
          f"{args.date}: {time.perf_counter() - start:.3f} s")
    rng = np.random.default_rng(0)

    print(f"{'n':>6} {'cold s':>8} {'warm s':>8} {'factor s':>9} {'peak MB':>8}")
    for size in args.sizes:
        n = min(size, len(candidates))
        ids = sorted(rng.choice(candidates, size=n, replace=False).tolist())
        cold, warm, factor = [], [], []
        for _ in range(args.repeat):
            helper_module.clear_cache()
            gc.collect()
            cold.append(_build(ids, args.date, args))
            warm.append(_build(ids, args.date, args))
            helper_module.clear_cache()
            factor.append(_build(ids, args.date, args, dense=False))
        helper_module.clear_cache()
        gc.collect()
        tracemalloc.start()
        _build(ids, args.date, args)
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        print(f"{n:>6} {statistics.median(cold):>8.3f} {statistics.median(warm):>8.3f} "
              f"{statistics.median(factor):>9.3f} {peak / 1e6:>8.1f}")
    max_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"process max RSS: {max_rss:.0f} MB (medians of {args.repeat} runs)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
