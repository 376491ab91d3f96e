"""Backtests with a costs table: every rebalance's charge recomputed from its records and the
store, the costs by kind in the statistics and the report, and the table's refusals."""

from __future__ import annotations

import datetime as dt
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pytest

import tarnwick
from morvane.backtest import ConfigError, config, engine, output, report
from morvane.backtest import costs as backtest_costs
from morvane.costs import stamp_duty_rate
from morvane.objective import WithTransactionCost

TABLE = {"commission": 3e-4, "transfer_fee": 1e-5, "impact_coefficient": 2.0, "window": 10}
SPREADS = {"600000.XSHG": 0.002, "*": 0.0006}


def _strategy(**changes: Any) -> config.Strategy:
    """The test strategy with ``changes``; a change to None removes the key."""
    raw: dict[str, Any] = {
        "name": "costly",
        "universe": "000300.XSHG",
        "start": "2025-01-01",
        "end": "2025-03-31",
        "rebalance": "monthly",
        "solver": "CLARABEL",
        "capital": 5e8,
        "objective": {"type": "MeanVariance", "window": 60},
        "bnds": {"*": [0, 0.1]},
        "costs": {**TABLE, "half_spread": SPREADS},
    }
    raw.update(changes)
    return config.parse({"strategy": [{k: v for k, v in raw.items() if v is not None}]})[0]


def _daily_volatility(ids: list[str], date: dt.date) -> dict[str, float]:
    from morvane.const import CovModel, RiskModel
    from morvane.helper import OptimizeHelper

    helper = OptimizeHelper(ids, date, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1, 1)
    return dict(zip(ids, np.sqrt(np.diag(helper.get_cov_matrix()) / 252)))


def _liquidity(ids: list[str], date: dt.date, window: int) -> dict[str, float]:
    start = tarnwick.get_previous_trading_date(date, window)
    end = tarnwick.get_previous_trading_date(date)
    bars = tarnwick.get_price(ids, start, end, fields=["close", "volume"], adjust_type="none")
    traded = bars["close"] * bars["volume"]
    return traded[traded > 0].groupby(level="order_book_id").mean().to_dict()


def _recharged(previous: dict[str, Any] | None, record: dict[str, Any]) -> dict[str, float]:
    """The costs of a record's trade, in NAV units, from the records and the store alone."""
    day = dt.date.fromisoformat(record["date"])
    old = {} if previous is None else dict(zip(previous["ids"], previous["end_weights"]))
    nav = 1.0 if previous is None else previous["portfolio"][-1]
    new = dict(zip(record["ids"], record["weights"]))
    trade = {i: new.get(i, 0.0) - old.get(i, 0.0) for i in set(old) | set(new)}
    trade = {i: x for i, x in trade.items() if x != 0.0}
    ids = sorted(trade)
    sigma, liquidity = _daily_volatility(ids, day), _liquidity(ids, day, TABLE["window"])
    traded = sum(abs(x) for x in trade.values())
    capital = 5e8 * nav
    return {
        "fees": nav * (TABLE["commission"] + TABLE["transfer_fee"]) * traded,
        "stamp_duty": nav * stamp_duty_rate(day) * sum(-x for x in trade.values() if x < 0),
        "spread": nav * sum(SPREADS.get(i, SPREADS["*"]) * abs(x) for i, x in trade.items()),
        "impact": nav
        * sum(
            TABLE["impact_coefficient"] * sigma[i] * abs(x) ** 1.5 * (capital / liquidity[i]) ** 0.5
            for i, x in trade.items()
        ),
    }


@pytest.fixture(scope="module")
def runs(small_store: Path) -> dict[bool, list[dict[str, Any]]]:
    return {
        optimised: engine.run_strategy(_strategy(optimise_costs=optimised), [])
        for optimised in (False, True)
    }


@pytest.mark.parametrize("optimised", [False, True])
def test_charged_costs_are_recomputed_from_the_records(
    runs: dict[bool, list[dict[str, Any]]], optimised: bool
) -> None:
    records = runs[optimised]
    assert len(records) == 3 and all(r["status"] == "ok" for r in records)
    previous = None
    for record in records:
        expected = _recharged(previous, record)
        assert set(record["costs"]) == set(expected)
        for kind, value in expected.items():
            assert record["costs"][kind] == pytest.approx(value, rel=1e-10, abs=1e-15), kind
        assert record["cost"] == pytest.approx(sum(expected.values()), rel=1e-10)
        if previous is None:
            assert record["costs"]["stamp_duty"] == 0.0  # bought from cash
        previous = record
    assert all(records[-1]["costs"][kind] > 0 for kind in backtest_costs.KINDS)


def test_optimised_costs_trade_less(runs: dict[bool, list[dict[str, Any]]]) -> None:
    plain, optimised = runs[False], runs[True]
    assert sum(r["turnover"] for r in optimised[1:]) < sum(r["turnover"] for r in plain[1:])
    assert sum(r["cost"] for r in optimised) < sum(r["cost"] for r in plain)


def test_the_optimiser_gets_the_same_model(
    small_store: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    seen: list[Any] = []

    def record(universe: Any, date: Any, objective: Any, **kwargs: Any) -> pd.Series:
        seen.append(objective)
        return pd.Series(1.0 / len(universe), index=universe)

    import morvane.optimize

    monkeypatch.setattr(morvane.optimize, "portfolio_optimize", record)
    strategy = _strategy(optimise_costs=True, rebalance="weekly", end="2025-01-20")
    records = engine.run_strategy(strategy, [])
    assert len(seen) == len(records) == 4
    first, second = seen[:2]
    assert isinstance(second, WithTransactionCost) and second.weight == 1.0
    model = second.model
    assert model.trades_per_year == 52.0 and model.window == 10
    assert model.capital == pytest.approx(5e8 * records[0]["portfolio"][-1], rel=1e-12)
    held = dict(zip(records[0]["ids"], records[0]["end_weights"]))
    assert model.current_holding.to_dict() == pytest.approx(held, rel=1e-15)
    assert first.model.current_holding.empty  # the first rebalance trades from cash


def test_statistics_and_report_show_costs_by_kind(runs: dict[bool, list[dict[str, Any]]]) -> None:
    records = runs[True]
    base = tarnwick.get_previous_trading_date(dt.date.fromisoformat(records[0]["date"]))
    stats = output.statistics(output.nav_table(records, base), records)
    for kind in backtest_costs.KINDS:
        assert stats["costs"][kind] == pytest.approx(sum(r["costs"][kind] for r in records))
    assert sum(stats["costs"].values()) == pytest.approx(stats["total_cost"], rel=1e-12)
    figure = report.figures({"costly": output.nav_table(records, base)}, {"costly": records})
    bars = {trace.name: trace.y[0] for trace in figure["costs"].data}
    assert bars == pytest.approx({k.replace("_", " "): v for k, v in stats["costs"].items()})


@pytest.mark.parametrize(
    "rebalance, given, expected",
    [
        ("monthly", None, 12.0),
        ("weekly", None, 52.0),
        (["2025-01-06", "2025-02-10", "2025-03-10"], None, 3 * 365.25 / 90),
        ("weekly", 6, 6.0),
    ],
)
def test_the_pace_of_trading(rebalance: Any, given: Any, expected: float) -> None:
    table = dict(TABLE, **({"trades_per_year": given} if given else {}))
    strategy = _strategy(rebalance=rebalance, costs=table)
    assert backtest_costs.trades_per_year(strategy) == pytest.approx(expected)


@pytest.mark.parametrize(
    "changes, message",
    [
        ({"cost_bps": 5}, "cost_bps and a costs table both price the trades"),
        ({"costs": None, "optimise_costs": True}, "optimise_costs = true needs a costs table"),
        (
            {"optimise_costs": True, "objective": {"type": "MaxSharpeRatio"}},
            "cannot wrap MaxSharpeRatio",
        ),
        ({"costs": {"comission": 1e-4}}, "unknown key costs.comission"),
        ({"costs": {"commission": 2}}, r"commission must be a number in \[0, 1\)"),
        ({"costs": {"window": 0}}, "window must be a whole number of days"),
        ({"costs": {"half_spread": {"*": -1}}}, r"half_spread\['\*'\] must be a number"),
    ],
)
def test_a_bad_costs_table_is_refused(changes: dict[str, Any], message: str) -> None:
    with pytest.raises(ConfigError, match=message):
        _strategy(**changes)


def test_the_flat_rate_counts_as_fees(small_store: Path) -> None:
    strategy = _strategy(cost_bps=7, costs=None)
    total, kinds = backtest_costs.charge(
        strategy, dt.date(2025, 1, 6), {"A": 1.0}, {"B": 1.0}, 2.0, 2.0
    )
    assert total == pytest.approx(2.0 * 7e-4 * 2.0) and kinds["fees"] == total
    assert kinds["stamp_duty"] == kinds["spread"] == kinds["impact"] == 0.0
