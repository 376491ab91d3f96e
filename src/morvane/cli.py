"""The ``morvane`` command.

``morvane demo`` computes the minimum-variance portfolio of the 300-stock index's constituents on
the sample market and prints a short report.  The market store is the data client's: the first
run builds the full sample market (the client says so and shows its progress), later runs reuse
it.
"""

from __future__ import annotations

import argparse
import datetime
import logging
import math
import sys
import time
import warnings
from typing import Any

import duckdb

from morvane.backtest.commands import register as register_batch_commands
from morvane.exception import InvalidArgument, OptimizationFailed, OptimizerWarning

DEMO_INDEX = "000300.XSHG"
#: Weights below this count as not held in the report.
HELD_THRESHOLD = 1e-4
_SOLVE_TIME_RECORD = "solve time: %f, optimization result = %f"


def _date(text: str) -> datetime.date:
    for fmt in ("%Y-%m-%d", "%Y%m%d"):
        try:
            return datetime.datetime.strptime(text, fmt).date()
        except ValueError:
            pass
    raise argparse.ArgumentTypeError(f"invalid date {text!r} (expected YYYY-MM-DD)")


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value <= 10_000:
        raise argparse.ArgumentTypeError(f"expected a whole number from 1 to 10000, got {text!r}")
    return value


class _SolveTimes(logging.Handler):
    """Collects the solve times that the optimiser logs at info level."""

    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.seconds: list[float] = []

    def emit(self, record: logging.LogRecord) -> None:
        if record.msg == _SOLVE_TIME_RECORD and isinstance(record.args, tuple) and record.args:
            self.seconds.append(float(record.args[0]))


def _optimise(universe: list[str], date: datetime.date) -> tuple[Any, list[Any], float, float]:
    """(weights, warnings raised, solve seconds, seconds of the whole call)."""
    from morvane.objective import MinVariance
    from morvane.optimize import portfolio_optimize

    root = logging.getLogger()
    handler, level = _SolveTimes(), root.level
    root.addHandler(handler)
    root.setLevel(min(level, logging.INFO))  # NOTSET (0) stays: everything passes already
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            start = time.perf_counter()
            weights = portfolio_optimize(universe, date, MinVariance())
            elapsed = time.perf_counter() - start
    finally:
        root.removeHandler(handler)
        root.setLevel(level)
    return weights, list(caught), sum(handler.seconds), elapsed


def _report_warnings(caught: list[Any], total: int, date: datetime.date) -> None:
    """Dropped ids are counted, not listed one by one; other warnings are shown once each."""
    dropped = [w for w in caught if w.category is OptimizerWarning and "被剔除" in str(w.message)]
    duplicates = [w for w in caught if "重复的 order_book_id" in str(w.message)]
    if dropped:
        print(f"  dropped {len(dropped)} of {total} constituents not tradeable on {date}")
    if duplicates:
        print(f"  ignored {len(duplicates)} repeated ids")
    for message in dict.fromkeys(
        str(w.message) for w in caught if w not in dropped and w not in duplicates
    ):
        print(f"  warning: {message}")


def _cmd_demo(args: argparse.Namespace) -> int:
    import numpy as np

    import tarnwick
    from morvane.const import CovModel, RiskModel
    from morvane.helper import OptimizeHelper

    print(f"market store: {tarnwick.store.store_path()}")
    calendar = tarnwick.get_trading_dates("1900-01-01", "2999-12-31")  # builds a missing store
    if len(calendar) < 2:
        raise InvalidArgument("the market store has too short a trading calendar")
    date = args.date or calendar[-1]
    if not calendar[0] < date <= calendar[-1]:
        raise InvalidArgument(
            f"{date} is outside the market's trading calendar: choose a date after {calendar[0]} "
            f"and up to {calendar[-1]}"
        )
    if date not in set(calendar):
        before = tarnwick.get_previous_trading_date(date)
        raise InvalidArgument(f"{date} is not a trading day (the one before is {before})")

    universe = sorted(tarnwick.index_components(DEMO_INDEX, date))
    print(f"minimum-variance portfolio of the {DEMO_INDEX} constituents for {date}")
    weights, caught, solve_seconds, call_seconds = _optimise(universe, date)
    _report_warnings(caught, len(universe), date)

    ids = list(weights.index)
    cov = OptimizeHelper(
        ids, date, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0
    ).get_cov_matrix()
    w = weights.to_numpy(dtype=float)
    equal = np.full(len(ids), 1.0 / len(ids))
    volatility = math.sqrt(max(float(w @ cov @ w), 0.0))
    equal_volatility = math.sqrt(max(float(equal @ cov @ equal), 0.0))
    names = {r.order_book_id: r.symbol for r in tarnwick.instruments(ids)}

    held = int((w >= HELD_THRESHOLD).sum())
    print(f"  stocks held: {held} of {len(ids)} (weight at least {HELD_THRESHOLD:.2%})")
    print("  largest weights:")
    for order_book_id, weight in weights.sort_values(ascending=False).head(args.top).items():
        print(f"    {order_book_id}  {weight:7.2%}  {names.get(order_book_id, '')}")
    print(
        f"  expected annualised volatility: {volatility:.2%} "
        f"(equal weights: {equal_volatility:.2%})"
    )
    print(f"  solve time: {solve_seconds:.3f} s (whole optimisation {call_seconds:.3f} s)")
    return 0


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="morvane", description="Portfolio optimiser")
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser(
        "demo",
        help=f"minimum-variance portfolio of the {DEMO_INDEX} constituents on the sample market",
    )
    demo.add_argument(
        "--date", type=_date, default=None, help="trading day (default: the latest one)"
    )
    demo.add_argument(
        "--top", type=_positive_int, default=10, help="how many of the largest weights to list"
    )
    demo.set_defaults(func=_cmd_demo)
    register_batch_commands(sub, _date, _positive_int)
    return parser


def main(argv: list[str] | None = None) -> int:
    try:
        args = _parser().parse_args(argv)
    except SystemExit as exc:  # --help, or a usage error that argparse has already reported
        return exc.code if isinstance(exc.code, int) else 2
    try:
        return int(args.func(args))
    except (InvalidArgument, OptimizationFailed, LookupError, ValueError, OSError,
            duckdb.Error) as exc:  # fmt: skip
        print(f"morvane: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("morvane: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
