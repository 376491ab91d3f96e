"""A finished strategy's tables and statistics, and the files they are written to.

``nav.parquet`` starts with the close before the first rebalance (NAV 1, the close the first
trade is made at) and then has one row per trading day.  ``weights.parquet`` holds the portfolio
after each rebalance's trade (for a failed rebalance, the drifted portfolio it kept).
"""

from __future__ import annotations

import datetime as dt
import io
import json
import math
from pathlib import Path
from typing import Any, Optional

import numpy as np
import pandas as pd

from morvane.backtest import costs
from morvane.backtest.config import Strategy
from morvane.backtest.record import Record
from morvane.files import write_atomic

__all__ = [
    "holdings_of",
    "weights_table",
    "nav_table",
    "statistics",
    "write_strategy",
    "write_summary",
]

TRADING_DAYS = 252
STAT_KEYS = (
    "annual_return",
    "volatility",
    "tracking_error",
    "information_ratio",
    "max_drawdown",
    "average_turnover",
    "total_cost",
    "failed_rebalances",
)


def weights_table(records: list[Record]) -> pd.DataFrame:
    """date, order_book_id, weight: the portfolio after each rebalance's trade."""
    frames = [
        pd.DataFrame(
            {
                "date": pd.Timestamp(r["date"]),
                "order_book_id": pd.Series(r["ids"], dtype=object),
                "weight": np.asarray(r["weights"], dtype=float),
            }
        )
        for r in records
    ]
    if not frames:
        return pd.DataFrame(
            {
                "date": pd.Series(dtype="datetime64[ns]"),
                "order_book_id": pd.Series(dtype=object),
                "weight": pd.Series(dtype=float),
            }
        )
    out = pd.concat(frames, ignore_index=True)
    out["date"] = out["date"].astype("datetime64[ns]")
    return out


def nav_table(records: list[Record], base: dt.date) -> pd.DataFrame:
    """date, portfolio, benchmark: NAV 1 at ``base`` (the close before the first rebalance),
    then every trading day; the benchmark is NaN without a benchmark."""
    dates = [base.isoformat()] + [d for r in records for d in r["days"]]
    portfolio = [1.0] + [v for r in records for v in r["portfolio"]]
    bench_values = [v for r in records for v in r["benchmark"]]
    benchmark = [1.0] + bench_values if bench_values else [math.nan] * len(dates)
    return pd.DataFrame(
        {
            "date": pd.to_datetime(dates).astype("datetime64[ns]"),
            "portfolio": np.asarray(portfolio, dtype=float),
            "benchmark": np.asarray(benchmark, dtype=float),
        }
    )


def _number(value: float) -> Optional[float]:
    return float(value) if np.isfinite(value) else None


def drawdown(nav: pd.Series) -> pd.Series:
    """Loss from the running peak, as a positive fraction."""
    return 1.0 - nav / nav.cummax()


def statistics(nav: pd.DataFrame, records: list[Record]) -> dict[str, Any]:
    """Annualised return, volatility, tracking error and information ratio of daily returns,
    max drawdown, average one-way turnover of the rebalances after the first (which buys from
    cash), total cost and costs by kind (in NAV units, the NAV starting at 1) and the failed
    rebalances."""
    portfolio = nav["portfolio"].to_numpy(dtype=float)
    returns = portfolio[1:] / portfolio[:-1] - 1.0
    n = len(returns)
    annual = (portfolio[-1] / portfolio[0]) ** (TRADING_DAYS / n) - 1.0 if n else math.nan
    volatility = float(np.std(returns, ddof=1)) * math.sqrt(TRADING_DAYS) if n > 1 else math.nan
    bench = nav["benchmark"].to_numpy(dtype=float)
    tracking = information = math.nan
    if n > 1 and np.isfinite(bench).all():
        active = returns - (bench[1:] / bench[:-1] - 1.0)
        tracking = float(np.std(active, ddof=1)) * math.sqrt(TRADING_DAYS)
        if tracking > 0:
            information = float(np.mean(active)) * TRADING_DAYS / tracking
    later = [r["turnover"] for r in records if not r["from_cash"]]
    failures = [
        {"date": r["date"], "error": r["error"], "conflicts": r["conflicts"]}
        for r in records
        if r["status"] == "failed"
    ]
    return {
        "annual_return": _number(annual),
        "volatility": _number(volatility),
        "tracking_error": _number(tracking),
        "information_ratio": _number(information),
        "max_drawdown": _number(float(drawdown(nav["portfolio"]).max())),
        "average_turnover": _number(float(np.mean(later))) if later else None,
        "total_cost": float(sum(r["cost"] for r in records)),
        "costs": costs.totals(records),
        "failed_rebalances": len(failures),
        "rebalances": len(records),
        "failures": failures,
    }


def _parquet(frame: pd.DataFrame) -> bytes:
    buffer = io.BytesIO()
    frame.to_parquet(buffer, index=False)
    return buffer.getvalue()


def write_strategy(
    folder: Path, strategy: Strategy, records: list[Record], base: dt.date
) -> tuple[pd.DataFrame, dict[str, Any]]:
    """Write a finished strategy's weights, NAV and statistics; returns (NAV, statistics)."""
    nav = nav_table(records, base)
    stats = statistics(nav, records)
    write_atomic(folder / "weights.parquet", _parquet(weights_table(records)))
    write_atomic(folder / "nav.parquet", _parquet(nav))
    text = json.dumps({"name": strategy.name, **stats}, indent=2, ensure_ascii=False)
    write_atomic(folder / "stats.json", text)
    return nav, stats


def summary_table(rows: dict[str, dict[str, Any]]) -> pd.DataFrame:
    """One row per strategy: its statistics, or the error that stopped it."""
    table = pd.DataFrame(
        [
            {"strategy": name, **{k: row.get(k) for k in STAT_KEYS}, "error": row.get("error")}
            for name, row in rows.items()
        ],
        columns=["strategy", *STAT_KEYS, "error"],
    )
    return table


def write_summary(out: Path, table: pd.DataFrame) -> None:
    write_atomic(out / "summary.csv", table.to_csv(index=False))


def holdings_of(records: list[dict[str, Any]], nav: pd.DataFrame) -> Any:
    """The day-by-day holdings of a strategy from its records: each rebalance's weights after
    its trade, drifted over its days with the store's returns as the walk drifts them, and the
    daily returns of its NAV (costs included)."""
    from morvane.report.attribution import Holdings, drift, stock_returns

    frames, periods = [], []
    for record in records:
        days = [dt.date.fromisoformat(d) for d in record["days"]]
        weights = pd.Series(record["weights"], index=record["ids"], dtype=np.float64)
        returns = stock_returns(list(weights.index), days)
        frames.append(drift(weights, returns))
        periods.append((dt.date.fromisoformat(record["date"]), weights))
    daily = pd.concat(frames).fillna(0.0)
    value = nav.set_index("date")["portfolio"]
    portfolio = (value / value.shift(1) - 1.0).iloc[1:]
    return Holdings(weights=daily, portfolio=portfolio, periods=periods)
