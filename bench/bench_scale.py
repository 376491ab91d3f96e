"""Scale of one optimisation: the five objectives and the headline problem up to the whole market.

The universe is every stock with risk-model data on the day, with every second member of the
benchmark index left out so that the limits bind; smaller sizes are a fixed random sample of it.
Every case carries 2% caps. The headline problem is ``MinTrackingError`` against the index with
relative industry (+-1%) and style (+-0.1) bounds, a 30% turnover limit against last month's
weights and a 5% tracking-error limit.

Each case runs in a fresh process, so that its peak resident memory is its own. The time of one
``portfolio_optimize`` call is split into the helper (``OptimizeHelper``), the problem build
(objective and constraints), cvxpy's compilation and the solver. ``dense`` runs the same case with
a helper that offers no factor model (the dense covariance matrix).

Usage::

    TARNWICK_HOME=/path/to/full python bench/bench_scale.py [--sizes 300 1000 2000 0]
        [--solvers SCS CLARABEL] [--dense-up-to 2000] [--date 2025-06-03]

A size of 0 is the whole universe.
"""

from __future__ import annotations

import argparse
import datetime
import json
import subprocess
import sys
import time
import warnings
from typing import Any

BENCHMARK = "000905.XSHG"
CASES = ["MinVariance", "MeanVariance", "MaxSharpeRatio", "RiskParity", "MinTrackingError",
         "headline"]  # fmt: skip


def universe(date: datetime.date) -> list[str]:
    """Every stock with risk-model data on the day but every second benchmark member."""
    import tarnwick
    from tarnwick import riskmodel

    prev = tarnwick.get_previous_trading_date(date)
    covered = set(riskmodel.get_style_exposures("v1", prev).index)
    covered &= set(riskmodel.get_specific_variance("v1", prev).index)
    members = sorted(tarnwick.index_components(BENCHMARK, prev))
    return sorted(covered - set(members[::2]))


def sample(ids: list[str], size: int) -> list[str]:
    import numpy as np

    if size <= 0 or size >= len(ids):
        return ids
    rng = np.random.default_rng(7)
    return sorted(rng.choice(ids, size=size, replace=False).tolist())


def arguments(case: str, ids: list[str], date: datetime.date) -> dict[str, Any]:
    import tarnwick
    from morvane.constraints import (
        TrackingErrorLimit,
        TurnoverLimit,
        WildcardIndustryConstraint,
        wildcard_style_constraint,
    )
    from morvane.objective import (
        MaxSharpeRatio,
        MeanVariance,
        MinTrackingError,
        MinVariance,
        RiskParity,
    )
    from morvane.optimize import portfolio_optimize

    caps = {"*": (0, 0.02)}
    if case == "headline":
        # Last month's weights: the same problem without limits, on the stocks covered then.
        month_ago = tarnwick.trading_date_offset(date, -21)
        held = sorted(set(ids) & set(universe(month_ago)))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            last_month = portfolio_optimize(
                held, month_ago, MinTrackingError(), bnds=caps, benchmark=BENCHMARK
            )
        cons = [
            WildcardIndustryConstraint(lower_limit=-0.01, upper_limit=0.01, relative=True),
            wildcard_style_constraint(lower_limit=-0.1, upper_limit=0.1, relative=True),
            TurnoverLimit(last_month, 0.3),
            TrackingErrorLimit(0.05),
        ]
        return {"objective": MinTrackingError(), "bnds": caps, "cons": cons,
                "benchmark": BENCHMARK}  # fmt: skip
    objective = {"MinVariance": MinVariance, "MeanVariance": MeanVariance,
                 "MaxSharpeRatio": MaxSharpeRatio, "RiskParity": RiskParity,
                 "MinTrackingError": MinTrackingError}[case]()  # fmt: skip
    kwargs: dict[str, Any] = {"objective": objective, "bnds": caps}
    if case == "MinTrackingError":
        kwargs["benchmark"] = BENCHMARK
    return kwargs


def run_one(case: str, size: int, solver: str, dense: bool, date: datetime.date) -> dict[str, Any]:
    """One optimisation in this process, timed by parts."""
    import resource

    import cvxpy as cp

    import morvane.optimize as mo
    from morvane.helper import OptimizeHelper

    ids = sample(universe(date), size)
    kwargs = arguments(case, ids, date)
    spent = {"helper": 0.0, "solve": 0.0, "compile": 0.0, "solver": 0.0}

    class TimedHelper(OptimizeHelper):
        def __init__(self, *args: Any) -> None:
            start = time.perf_counter()
            super().__init__(*args)
            spent["helper"] += time.perf_counter() - start

    if dense:
        # The dense covariance matrix in every term: no factor model on offer.
        TimedHelper.get_factor_model = property(  # type: ignore[assignment]
            lambda self: (_ for _ in ()).throw(AttributeError("get_factor_model"))
        )

    original_solve = cp.Problem.solve

    def timed_solve(problem: cp.Problem, *args: Any, **kw: Any) -> Any:
        start = time.perf_counter()
        try:
            return original_solve(problem, *args, **kw)
        finally:
            spent["solve"] += time.perf_counter() - start
            spent["compile"] += problem.compilation_time or 0.0
            stats = problem.solver_stats
            spent["solver"] += (stats.solve_time or 0.0) if stats is not None else 0.0

    mo.OptimizeHelper = TimedHelper
    cp.Problem.solve = timed_solve  # type: ignore[method-assign]
    start = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        weights = mo.portfolio_optimize(ids, date, solver=solver, **kwargs)
    total = time.perf_counter() - start
    peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    return {
        "case": case, "n": len(ids), "solver": solver, "dense": dense, "total": total,
        "helper": spent["helper"], "build": total - spent["helper"] - spent["solve"],
        "compile": spent["compile"], "solver_s": spent["solver"],
        "other_solve": spent["solve"] - spent["compile"] - spent["solver"],
        "peak_mb": peak_mb, "weights": weights.to_dict(),
    }  # fmt: skip


def run_row(command: list[str], timeout: float, repeat: int) -> dict[str, Any] | str:
    """The run of median total time among `repeat` fresh processes, or why there is none."""
    runs = []
    for _ in range(repeat):
        try:
            done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
        except subprocess.TimeoutExpired:
            return f"timed out after {timeout}s"
        if done.returncode != 0:
            tail = done.stderr.strip().splitlines()[-1:] or ["?"]
            return f"failed: {tail[0]}"
        runs.append(json.loads(done.stdout.strip().splitlines()[-1]))
    runs.sort(key=lambda r: r["total"])
    return runs[len(runs) // 2]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[300, 1000, 2000, 0])
    parser.add_argument("--solvers", nargs="+", default=["SCS", "CLARABEL"])
    parser.add_argument("--cases", nargs="+", default=CASES, choices=CASES)
    parser.add_argument("--dense-up-to", type=int, default=2000)
    parser.add_argument("--timeout", type=float, default=600, help="seconds per row")
    parser.add_argument("--repeat", type=int, default=1, help="runs per row; the median is shown")
    parser.add_argument(
        "--date", type=datetime.date.fromisoformat, default=datetime.date(2025, 6, 3)
    )
    parser.add_argument("--one", nargs=4, metavar=("CASE", "SIZE", "SOLVER", "DENSE"))
    args = parser.parse_args(argv)

    if args.one:
        case, size, solver, dense = args.one
        result = run_one(case, int(size), solver, dense == "dense", args.date)
        print(json.dumps(result))
        return 0

    print(f"date {args.date}, benchmark {BENCHMARK}; seconds; fresh processes, median of "
          f"{args.repeat} per row")  # fmt: skip
    header = (f"{'case':<16} {'n':>5} {'solver':<8} {'form':<6} {'total':>7} {'helper':>7} "
              f"{'build':>7} {'compile':>7} {'solver':>7} {'peakMB':>7} "
              f"{'max|dw|':>8}")  # fmt: skip
    print(header)
    totals: dict[tuple[str, int, str, bool], float] = {}
    for size in args.sizes:
        for solver in args.solvers:
            for case in args.cases:
                forms = [False]
                if 0 < size <= args.dense_up_to:
                    forms.append(True)
                factor_weights: dict[str, float] = {}
                for dense in forms:
                    command = [sys.executable, __file__, "--date", str(args.date), "--one", case,
                               str(size), solver, "dense" if dense else "factor"]  # fmt: skip
                    r = run_row(command, args.timeout, args.repeat)
                    if isinstance(r, str):
                        print(f"{case:<16} {size:>5} {solver:<8} {r}")
                        continue
                    totals[(case, r["n"], solver, dense)] = r["total"]
                    diff = ""
                    if dense and factor_weights:
                        weights = r["weights"]
                        diff = f"{max(abs(v - factor_weights[k]) for k, v in weights.items()):.1e}"
                    else:
                        factor_weights = r["weights"]
                    print(f"{case:<16} {r['n']:>5} {solver:<8} {'dense' if dense else 'factor':<6} "
                          f"{r['total']:>7.3f} {r['helper']:>7.3f} {r['build']:>7.3f} "
                          f"{r['compile']:>7.3f} {r['solver_s']:>7.3f} {r['peak_mb']:>7.0f} "
                          f"{diff:>8}")  # fmt: skip
                    sys.stdout.flush()
    print("\nratios to MinVariance on the same universe and solver (factor form)")
    for (case, n, solver, dense), total in totals.items():
        base = totals.get(("MinVariance", n, solver, False))
        if dense or case == "MinVariance" or base is None:
            continue
        print(f"{case:<16} {n:>5} {solver:<8} {total / base:>6.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
