"""What the ``morvane report`` and ``morvane demo`` commands do; ``morvane.cli`` parses their
arguments and calls them."""

from __future__ import annotations

import datetime
import time
import warnings
from pathlib import Path
from typing import Any, Optional

import pandas as pd

import tarnwick
from morvane.exception import InvalidArgument
from morvane.report.analyse import analyse
from morvane.report.inputs import read_weights
from morvane.report.model import HELD_THRESHOLD
from morvane.report.text import summary_text

__all__ = ["demo", "report"]


def report(
    weights_csv: Path,
    date: datetime.date,
    *,
    benchmark: Optional[str] = None,
    holding_csv: Optional[Path] = None,
    html: Optional[Path] = None,
    cov_model: str = "daily",
    risk_model: str = "v1",
) -> int:
    """Print the report of the weights in ``weights_csv`` and write its page to ``html``."""
    weights = read_weights(weights_csv, "weights")
    holding = None if holding_csv is None else read_weights(holding_csv, "holding")
    result = analyse(
        weights,
        date,
        benchmark=benchmark,
        holding=holding,
        cov_model=cov_model,
        risk_model=risk_model,
    )
    print(result)
    if html is not None:
        print(f"page written to {result.to_html(html)}")
    return 0


def _tradeable(requested: list[str], date: datetime.date) -> list[str]:
    """The ids the optimiser keeps; its warnings about the others are summarised by count."""
    from morvane.optimize import ensure_order_book_ids

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return list(ensure_order_book_ids(requested, date))


def _optimise(universe: list[str], date: datetime.date) -> tuple[Any, list[str], float, float]:
    """(weights, warning messages, solve seconds, seconds of the whole call); the solve time is
    the one the result carries."""
    from morvane.objective import MinVariance
    from morvane.optimize import portfolio_optimize

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        start = time.perf_counter()
        weights = portfolio_optimize(universe, date, MinVariance())
        elapsed = time.perf_counter() - start
    info = weights.attrs.get("morvane") or {}
    solve_seconds = float(info.get("solve_time") or 0.0)
    messages = list(dict.fromkeys(str(w.message) for w in caught))
    return weights, messages, solve_seconds, elapsed


def demo(index: str, date: Optional[datetime.date], top: int) -> int:
    """The minimum-variance portfolio of ``index``'s constituents on ``date`` (by default the
    store's last trading day) and its report, with the ``top`` largest weights."""
    print(f"market store: {tarnwick.store.store_path()}")
    calendar = tarnwick.get_trading_dates("1900-01-01", "2999-12-31")  # builds a missing store
    if len(calendar) < 2:
        raise InvalidArgument("the market store has too short a trading calendar")
    date = date or calendar[-1]
    if not calendar[0] < date <= calendar[-1]:
        raise InvalidArgument(
            f"{date} is outside the market's trading calendar: choose a date after {calendar[0]} "
            f"and up to {calendar[-1]}"
        )
    if date not in set(calendar):
        before = tarnwick.get_previous_trading_date(date)
        raise InvalidArgument(f"{date} is not a trading day (the one before is {before})")

    requested = list(tarnwick.index_components(index, date))
    print(f"minimum-variance portfolio of the {index} constituents for {date}")
    universe = _tradeable(requested, date)
    distinct = len(set(requested))
    if distinct > len(universe):
        dropped = distinct - len(universe)
        print(f"  dropped {dropped} of {len(requested)} constituents not tradeable on {date}")
    if len(requested) > distinct:
        print(f"  ignored {len(requested) - distinct} repeated ids")
    weights, messages, solve_seconds, call_seconds = _optimise(universe, date)
    for message in messages:
        print(f"  warning: {message}")

    result = analyse(weights, date)
    equal = pd.Series(1.0 / len(weights), index=weights.index)
    equal_volatility = analyse(equal, date).summary["volatility"]
    print(
        f"  stocks held: {result.summary['holdings']} of {len(weights)} "
        f"(weight at least {HELD_THRESHOLD:.2%})"
    )
    print(
        f"  expected annualised volatility: {result.summary['volatility']:.2%} "
        f"(equal weights: {equal_volatility:.2%})"
    )
    print(f"  solve time: {solve_seconds:.3f} s (whole optimisation {call_seconds:.3f} s)")
    print(summary_text(result, top=top))
    return 0
