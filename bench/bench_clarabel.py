"""Clarabel settings on the full market: which options solve the scale problems fastest.

Builds the problem of each case once (through ``portfolio_optimize``, recording the cvxpy problem
it solves) and solves that same problem with Clarabel under each candidate set of options, in
turn, ``--repeat`` times; prints the median solver time, iterations, status and objective.

Usage::

    TARNWICK_HOME=/path/to/full python bench/bench_clarabel.py [--size 0] [--repeat 3]
"""

from __future__ import annotations

import argparse
import datetime
import statistics
import sys
import time
import warnings
from typing import Any

from bench_scale import arguments, sample, universe

CANDIDATES: dict[str, dict[str, Any]] = {
    "default": {},
    "qdldl": {"direct_solve_method": "qdldl"},
    "faer": {"direct_solve_method": "faer"},
    "faer, 1 thread": {"direct_solve_method": "faer", "max_threads": 1},
    "qdldl, no presolve": {"direct_solve_method": "qdldl", "presolve_enable": False},
    "qdldl, no equilibration": {"direct_solve_method": "qdldl", "equilibrate_enable": False},
}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=0)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--cases", nargs="+", default=["MinVariance", "headline"])
    parser.add_argument(
        "--date", type=datetime.date.fromisoformat, default=datetime.date(2025, 6, 3)
    )
    args = parser.parse_args(argv)

    import cvxpy as cp

    import morvane.optimize as mo

    ids = sample(universe(args.date), args.size)
    print(f"date {args.date}, {len(ids)} stocks; median of {args.repeat} solves, seconds")
    print(f"{'case':<12} {'options':<20} {'solve':>7} {'solver':>7} {'iters':>5} "
          f"{'status':<10} {'objective':>12}")  # fmt: skip
    problems: list[cp.Problem] = []
    original = cp.Problem.solve

    def record(problem: cp.Problem, *a: Any, **kw: Any) -> Any:
        problems.append(problem)
        return original(problem, *a, **kw)

    for case in args.cases:
        kwargs = arguments(case, ids, args.date)
        cp.Problem.solve = record  # type: ignore[method-assign]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            mo.portfolio_optimize(ids, args.date, solver=cp.CLARABEL, **kwargs)
        cp.Problem.solve = original  # type: ignore[method-assign]
        problem = problems[-1]
        for name, options in CANDIDATES.items():
            walls, solver_times = [], []
            for _ in range(args.repeat):
                start = time.perf_counter()
                problem.solve(solver=cp.CLARABEL, **options)
                walls.append(time.perf_counter() - start)
                solver_times.append(problem.solver_stats.solve_time)
            print(f"{case:<12} {name:<20} {statistics.median(walls):>7.3f} "
                  f"{statistics.median(solver_times):>7.3f} "
                  f"{problem.solver_stats.num_iters:>5} {problem.status:<10} "
                  f"{problem.value:>12.6e}")  # fmt: skip
            sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
