"""The transaction cost model and WithTransactionCost: trades priced by hand from the store,
the penalty against the numbers, cost-aware optimisations against plain and hand-written ones."""

from __future__ import annotations

import datetime as dt
import pickle
import warnings
from pathlib import Path
from typing import Any

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import tarnwick
from fakes import FakeHelper
from morvane.benchmark import IndexBenchmark
from morvane.const import CovModel, RiskModel
from morvane.costs import TransactionCostModel, stamp_duty_rate
from morvane.exception import InvalidArgument
from morvane.helper import OptimizeHelper
from morvane.objective import (
    MaxInformationRatio,
    MaxSharpeRatio,
    MeanVariance,
    MinTrackingError,
    MinVariance,
    OptimizationObjective,
    RiskParity,
    WithTransactionCost,
)
from morvane.optimize import portfolio_optimize

DATE = dt.date(2025, 3, 3)
INDEX = "000300.XSHG"
RATES = {"commission": 3e-4, "transfer_fee": 2e-5, "impact_coefficient": 0.8}


# ---- independent recomputation from the store ----


def reference_volatility(ids: list[str], date: dt.date) -> pd.Series:
    """Daily volatility from the diagonal of the optimiser's dense covariance matrix."""
    helper = OptimizeHelper(ids, date, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0)
    return pd.Series(np.sqrt(np.diag(helper.get_cov_matrix()) / 252.0), index=ids)


def reference_liquidity(ids: list[str], date: dt.date, window: int) -> pd.Series:
    """Mean of close x volume over the traded days of the `window` days before `date`."""
    days = tarnwick.get_trading_dates(
        tarnwick.get_previous_trading_date(date, window), tarnwick.get_previous_trading_date(date)
    )
    assert len(days) == window and days[-1] < date
    bars = tarnwick.get_price(
        ids, days[0], days[-1], fields=["close", "volume"], adjust_type="none"
    )
    out = {}
    for stock in ids:
        rows = bars.xs(stock, level="order_book_id")
        values = [c * v for c, v in zip(rows["close"], rows["volume"]) if v > 0]
        out[stock] = sum(values) / len(values)
    return pd.Series(out)


def hand_priced(
    trade: dict[str, float], spreads: dict[str, float], date: dt.date, capital: float, window: int
) -> dict[str, float]:
    ids = list(trade)
    sigma = reference_volatility(ids, date)
    liquidity = reference_liquidity(ids, date, window)
    traded = sum(abs(x) for x in trade.values())
    sold = sum(-x for x in trade.values() if x < 0)
    return {
        "commission": RATES["commission"] * traded,
        "stamp_duty": stamp_duty_rate(date) * sold,
        "transfer_fee": RATES["transfer_fee"] * traded,
        "spread": sum(spreads[i] * abs(x) for i, x in trade.items()),
        "impact": sum(
            RATES["impact_coefficient"] * sigma[i] * abs(x) ** 1.5 * (capital / liquidity[i]) ** 0.5
            for i, x in trade.items()
        ),
    }


@pytest.fixture(scope="module")
def members(small_store: Path) -> list[str]:
    return sorted(tarnwick.index_components(INDEX, DATE))


# ---- the numbers ----


@pytest.mark.parametrize("capital, window", [(1e8, 20), (3e9, 5)])
def test_a_hand_priced_trade(members: list[str], capital: float, window: int) -> None:
    a, b, c, d = members[:4]
    holding = pd.Series({a: 0.3, b: 0.3, c: 0.4})
    target = pd.Series({a: 0.5, b: 0.1, d: 0.4})  # buys a and d, sells b, sells all of c
    spreads = {a: 0.0004, b: 0.001, c: 0.0007, d: 0.0004}
    model = TransactionCostModel(
        holding,
        capital=capital,
        window=window,
        half_spread=pd.Series({b: 0.001, c: 0.0007, "*": 0.0004}),
        **RATES,
    )
    priced = model.cost(target, DATE)
    expected = hand_priced({a: 0.2, b: -0.2, c: -0.4, d: 0.4}, spreads, DATE, capital, window)
    assert list(priced.index) == [*expected, "total"]
    for kind, value in expected.items():
        assert priced[kind] == pytest.approx(value, rel=1e-12, abs=1e-16), kind
    assert priced["total"] == pytest.approx(sum(expected.values()), rel=1e-12)
    assert priced["stamp_duty"] == pytest.approx(0.0005 * 0.6, rel=1e-12)
    assert priced["impact"] > 0.0


@pytest.mark.parametrize(
    "date, rate",
    [("2019-06-03", 0.001), ("2023-08-25", 0.001), ("2023-08-28", 0.0005), ("2025-03-03", 0.0005)],
)
def test_stamp_duty_falls_on_sells_only_and_follows_the_date(date: str, rate: float) -> None:
    """No impact: the trade is priced from its rates alone, without market data."""
    holding = pd.Series({"A": 0.5, "B": 0.5})
    model = TransactionCostModel(holding, impact_coefficient=0.0, **{"commission": 1e-4})
    assert stamp_duty_rate(date) == rate
    sell = model.cost({"A": 0.2, "B": 0.5}, date)  # sells 0.3 of A, the rest stays in cash
    buy = model.cost({"A": 0.5, "B": 0.5, "C": 0.25}, date)
    swap = model.cost({"A": 0.1, "C": 0.9}, date)
    assert sell["stamp_duty"] == pytest.approx(rate * 0.3, rel=1e-12)
    assert buy["stamp_duty"] == 0.0
    assert swap["stamp_duty"] == pytest.approx(rate * 0.9, rel=1e-12)
    assert swap["commission"] == pytest.approx(1e-4 * 1.8, rel=1e-12)
    assert TransactionCostModel(holding, stamp_duty=0.002, impact_coefficient=0.0).cost(
        {"A": 1.0}, date
    )["stamp_duty"] == pytest.approx(0.002 * 0.5, rel=1e-12)


def test_no_trade_costs_nothing_and_reads_nothing(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(tarnwick, "get_price", None)  # any read would fail
    holding = pd.Series({"A": 0.4, "B": 0.6})
    priced = TransactionCostModel(holding).cost(holding, DATE)
    assert (priced == 0.0).all() and len(priced) == 6


@pytest.mark.parametrize(
    "arguments, message",
    [
        ({"capital": 0}, "capital must be a positive number"),
        ({"capital": float("inf")}, "capital must be a positive number"),
        ({"commission": -1e-4}, r"commission must be a number in \[0, 1\)"),
        ({"commission": 1.5}, r"commission must be a number in \[0, 1\)"),
        ({"stamp_duty": "x"}, "stamp_duty must be a number"),
        ({"transfer_fee": float("nan")}, "transfer_fee must be a number"),
        ({"half_spread": {"A": -0.1}}, r"half_spread\['A'\] must be a number"),
        ({"impact_coefficient": -1}, "impact_coefficient must be a number"),
        ({"window": 0}, "window must be a whole number of days >= 1"),
        ({"window": 2.5}, "window must be a whole number of days >= 1"),
        ({"trades_per_year": 0}, "trades_per_year must be a positive number"),
        ({"cov_model": "hourly"}, "cov_model must be one of 'daily', 'monthly', 'quarterly'"),
        ({"current_holding": {"A": float("nan")}}, "current_holding has weights that are not"),
        ({"current_holding": "A"}, "current_holding must be weights by stock id"),
        ({"current_holding": pd.Series([0.5, 0.5], index=["A", "A"])}, "names stocks more"),
    ],
)
def test_bad_arguments_are_refused(arguments: dict[str, Any], message: str) -> None:
    holding = arguments.pop("current_holding", None)
    with pytest.raises(InvalidArgument, match=message):
        TransactionCostModel(holding, **arguments)


def test_a_spread_table_without_a_default_names_the_missing_stocks() -> None:
    model = TransactionCostModel(None, half_spread={"A": 0.001}, impact_coefficient=0.0)
    assert model.cost({"A": 1.0}, DATE)["spread"] == pytest.approx(0.001)
    with pytest.raises(InvalidArgument, match="half_spread has no rate for B; add them or a"):
        model.cost({"A": 0.5, "B": 0.5}, DATE)


# ---- the penalty is the same price ----


@pytest.mark.parametrize("impact", [0.0, 1.3])
@pytest.mark.parametrize("outside", [False, True])
@pytest.mark.parametrize("aversion", [1.0, 2.5])
def test_the_penalty_is_the_price_times_the_pace(
    members: list[str], impact: float, outside: bool, aversion: float
) -> None:
    universe = members[:8]
    holding = pd.Series(0.1, index=members[2:10] if outside else members[:8])
    model = TransactionCostModel(
        holding, impact_coefficient=impact, trades_per_year=7, capital=5e8, window=10
    )
    helper = OptimizeHelper(
        universe, DATE, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, aversion, aversion
    )
    g = cp.Variable(len(universe), nonneg=True)
    penalty = model.get_penalty(g, helper)
    assert penalty.is_dcp() and penalty.is_convex()
    weights = np.linspace(0.02, 0.22, len(universe))
    g.value = weights
    priced = model.cost(pd.Series(weights, index=universe), DATE)
    assert penalty.value == pytest.approx(7 * priced["total"], rel=1e-12)
    assert (priced["impact"] > 0.0) == (impact > 0.0)


# ---- cost-aware optimisations ----


def _turnover(weights: pd.Series, holding: pd.Series) -> float:
    both = weights.index.union(holding.index)
    change = weights.reindex(both, fill_value=0.0) - holding.reindex(both, fill_value=0.0)
    return float(change.abs().sum()) / 2.0


def _scaled(holding: pd.Series, scale: float) -> TransactionCostModel:
    return TransactionCostModel(
        holding,
        commission=2.5e-4 * scale,
        stamp_duty=5e-4 * scale,
        transfer_fee=1e-5 * scale,
        half_spread=5e-4 * scale,
        impact_coefficient=scale,
    )


@pytest.fixture(scope="module")
def views(members: list[str]) -> pd.Series:
    return pd.Series(np.random.default_rng(7).normal(0.05, 0.15, len(members)), index=members)


def _mean_variance(members: list[str], views: pd.Series, model: Any) -> pd.Series:
    objective = MeanVariance(expected_returns=views, transaction_cost_model=model)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # an inaccurate solve is a fault of the formulation
        return portfolio_optimize(members, DATE, objective, bnds={"*": (0, 0.1)}, solver="CLARABEL")


def test_mean_variance_trades_less_as_costs_rise(members: list[str], views: pd.Series) -> None:
    holding = pd.Series(1.0 / 25, index=members[::2][:25])
    plain = _mean_variance(members, views, None)
    zero = _mean_variance(members, views, _scaled(holding, 0.0))
    np.testing.assert_allclose(zero.to_numpy(), plain.to_numpy(), atol=1e-9)
    turnovers = [_turnover(_mean_variance(members, views, _scaled(holding, s)), holding)
                 for s in (0.0, 0.3, 1.0, 3.0, 10.0)]  # fmt: skip
    assert all(b <= a + 1e-6 for a, b in zip(turnovers, turnovers[1:])), turnovers
    assert turnovers[0] > 0.3 and turnovers[-1] < turnovers[0] / 2
    stay = _mean_variance(members, views, _scaled(holding, 100.0))
    assert _turnover(stay, holding) < 1e-5


@pytest.mark.parametrize("weight", [0.3, 4.0])
def test_with_transaction_cost_against_a_hand_written_problem(
    members: list[str], weight: float
) -> None:
    universe = members[:30]  # the index's other members enter only the active weight
    held = members[20:40]  # ten of them outside the universe: sold completely
    holding = pd.Series(1.0 / len(held), index=held)
    model = TransactionCostModel(holding, trades_per_year=12, **RATES)
    objective = WithTransactionCost(MinTrackingError(), model, weight=weight)
    answer = portfolio_optimize(universe, DATE, objective, benchmark=INDEX, solver="CLARABEL")

    helper = OptimizeHelper(
        universe, DATE, IndexBenchmark(INDEX), CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1, 1
    )
    n, m = len(universe), len(helper.union_components)
    g = cp.Variable(n, nonneg=True)
    active = cp.hstack([g, np.zeros(m - n)]) - helper.benchmark_weight.to_numpy()
    pool = universe + [s for s in held if s not in universe]
    sigma = reference_volatility(pool, DATE).to_numpy()
    k = RATES["impact_coefficient"] * sigma * np.sqrt(1e8 / reference_liquidity(pool, DATE, 20))
    x = g - holding.reindex(universe, fill_value=0.0).to_numpy()
    linear = RATES["commission"] + RATES["transfer_fee"] + 0.0005
    sold = holding.reindex(pool[n:]).to_numpy()
    cost = (
        linear * cp.sum(cp.abs(x))
        + 0.0005 * cp.sum(cp.neg(x))
        + cp.sum(cp.multiply(k.to_numpy()[:n], cp.power(cp.abs(x), 1.5)))
        + (linear + 0.0005) * sold.sum()
        + k.to_numpy()[n:] @ sold**1.5
    )
    risk = cp.quad_form(active, helper.get_union_cov_matrix())
    problem = cp.Problem(cp.Minimize(risk + weight * 12 * cost), [cp.sum(g) == 1])
    problem.solve(solver=cp.CLARABEL)
    np.testing.assert_allclose(answer.to_numpy(), g.value / g.value.sum(), atol=2e-5)
    assert answer.attrs["morvane"]["objective_value"] == pytest.approx(problem.value, rel=1e-5)


# ---- WithTransactionCost as an objective ----


class _Own(OptimizationObjective):
    def get_objective_expr(self, g: Any, zeta: Any, helper: Any) -> Any:
        return cp.sum_squares(g)

    def get_internal_constraints(self, g: Any, zeta: Any, helper: Any) -> list[Any]:
        return [g[0] >= 0.25 * zeta]

    def get_preferred_solver(self) -> str:
        return cp.CLARABEL


class _Flat:
    def get_penalty(self, g: Any, helper: Any) -> Any:
        return 0.5 * cp.norm1(g)


def test_everything_but_the_penalty_is_the_wrapped_objective() -> None:
    helper = FakeHelper(["A", "B", "C"])
    own = _Own()
    wrapped = WithTransactionCost(own, _Flat(), weight=3)
    g = cp.Variable(3, nonneg=True)
    g.value = np.array([0.5, 0.3, 0.2])
    assert wrapped.get_objective_expr(g, 1.0, helper).value == pytest.approx(0.38 + 1.5)
    (constraint,) = wrapped.get_internal_constraints(g, 1.0, helper)
    assert str(constraint) == str(own.get_internal_constraints(g, 1.0, helper)[0])
    assert wrapped.get_preferred_solver() == cp.CLARABEL
    assert (wrapped.objective, wrapped.weight) == (own, 3.0)
    copy = pickle.loads(pickle.dumps(WithTransactionCost(MinVariance(), TransactionCostModel())))
    assert isinstance(copy.objective, MinVariance) and copy.model.window == 20
    assert "WithTransactionCost(objective=MinVariance()" in repr(copy)


@pytest.mark.parametrize(
    "objective, model, weight, message",
    [
        (MaxSharpeRatio(), _Flat(), 1.0, "cannot wrap MaxSharpeRatio: it solves for g = zeta"),
        (MaxInformationRatio(), _Flat(), 1.0, "cannot wrap MaxInformationRatio"),
        (RiskParity(), _Flat(), 1.0, "cannot wrap RiskParity: risk parity solves for g = n"),
        ("MinVariance", _Flat(), 1.0, "objective must be an OptimizationObjective"),
        (MinVariance(), object(), 1.0, r"model needs a get_penalty\(g, helper\) method"),
        (MinVariance(), _Flat(), -1.0, "weight must be a finite number >= 0, got -1.0"),
        (MinVariance(), _Flat(), float("nan"), "weight must be a finite number >= 0"),
        (MinVariance(), _Flat(), "1", "weight must be a finite number >= 0, got '1'"),
        (MinVariance(), _Flat(), True, "weight must be a finite number >= 0, got True"),
    ],
)
def test_what_cannot_carry_a_cost_is_refused(
    objective: Any, model: Any, weight: Any, message: str
) -> None:
    with pytest.raises(InvalidArgument, match=message):
        WithTransactionCost(objective, model, weight=weight)


def test_a_scaled_g_and_a_missing_benchmark_are_refused_when_called() -> None:
    g = cp.Variable(2, nonneg=True)
    wrapped = WithTransactionCost(MinVariance(), _Flat())
    with pytest.raises(InvalidArgument, match="needs zeta = 1.0, got zeta = 2"):
        wrapped.get_objective_expr(g, 2, FakeHelper(["A", "B"]))
    with pytest.raises(InvalidArgument, match="needs zeta = 1.0"):
        wrapped.get_objective_expr(g, cp.Variable(nonneg=True), FakeHelper(["A", "B"]))
    tracking = WithTransactionCost(MinTrackingError(), _Flat())
    with pytest.raises(InvalidArgument, match=r"WithTransactionCost\(MinTrackingError\) needs a"):
        tracking.get_objective_expr(g, 1.0, FakeHelper(["A", "B"]))
