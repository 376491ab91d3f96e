"""Objectives of morvane.objective: expressions evaluated against numpy, estimation of expected
returns through the data client, the ratio objectives' unit-return constraint, validation, and
every objective solved end to end on the small sample market."""

from __future__ import annotations

import datetime
import pickle
import subprocess
import sys
import warnings
from pathlib import Path
from typing import Any

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import morvane.objective as obj
from fakes import FakeHelper
from morvane.exception import InvalidArgument, OptimizerWarning

IDS = ["A", "B", "C"]
BENCH = {"A": 0.4, "D": 0.35, "E": 0.25}  # D and E lie outside the universe
START = datetime.date(2024, 6, 1)
NOT_SERIES = "{}: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象"
ALL_CLASSES = [
    obj.MinVariance, obj.MinActiveVariance, obj.MeanVariance, obj.ActiveMeanVariance,
    obj.RiskParity, obj.MinTrackingError, obj.MaxInformationRatio, obj.MaxSharpeRatio,
    lambda: obj.MaxIndicator({"A": 1.0}), lambda: obj.MinStyleDeviation({"size": 0.1}),
]  # fmt: skip


def variable(values: list[float]) -> cp.Variable:
    g = cp.Variable(len(values), nonneg=True)
    g.value = np.array(values, dtype=float)
    return g


def active(g: cp.Variable, helper: FakeHelper, zeta: float = 1.0) -> np.ndarray:
    pad = len(helper.union_components) - len(helper.order_book_ids)
    return np.r_[g.value, np.zeros(pad)] - zeta * helper.benchmark_weight.values


def style_helper(benchmark: dict[str, float] | None = None) -> FakeHelper:
    exposure = pd.DataFrame(
        {"size": [1.0, -0.5, 0.2, 0.7, 0.1], "beta": [0.3, 0.9, -1.2, 0.0, 0.4],
         "growth": [0.5, 0.1, 0.2, -0.3, 0.6], "leverage": [-0.2, 0.4, 0.8, 0.1, 0.0]},
        index=IDS + ["D", "E"],
    )  # fmt: skip
    return FakeHelper(IDS, benchmark=benchmark, factor_exposure=exposure)


class FakeBenchmark:
    def __init__(self, value: float) -> None:
        self.value = value
        self.calls: list[tuple[Any, ...]] = []

    def get_expected_returns(self, date: datetime.date, window: int) -> float:
        self.calls.append((date, window))
        return self.value


class FakeClient:
    """The two data-client functions the estimation uses; daily returns are constant per id."""

    def __init__(self, daily: dict[str, float]) -> None:
        self.daily = daily
        self.calls: list[tuple[Any, ...]] = []

    def trading_date_offset(self, date: datetime.date, n: int) -> datetime.date:
        self.calls.append(("trading_date_offset", date, n))
        return START

    def get_price_change_rate(self, ids: list[str], start: object, end: object) -> pd.DataFrame:
        self.calls.append(("get_price_change_rate", list(ids), start, end))
        return pd.DataFrame({i: [self.daily[i]] * 4 for i in ids})


@pytest.fixture
def client(monkeypatch: pytest.MonkeyPatch) -> FakeClient:
    fake = FakeClient({"A": 0.001, "B": -0.0005, "C": 0.002, "D": 0.0003, "E": 0.0})
    monkeypatch.setattr(obj, "tarnwick", fake)
    return fake


def test_ensure_series_and_base_class() -> None:
    s = pd.Series([1.0])
    assert obj.ensure_series(s, "x") is s
    assert obj.ensure_series({"a": 1, "b": 2}, "x").index.tolist() == ["a", "b"]
    with pytest.raises(InvalidArgument) as info:
        obj.ensure_series({1, 2}, "x")
    assert str(info.value) == NOT_SERIES.format("x")
    base = obj.OptimizationObjective()
    for call in (lambda: base.get_objective_expr(1, 1.0, None),
                 lambda: base.get_internal_constraints(g=1, zeta=1.0, helper=None),
                 base.get_preferred_solver):  # fmt: skip
        with pytest.raises(NotImplementedError):
            call()


@pytest.mark.parametrize("make", ALL_CLASSES)
def test_fresh_empty_or_own_constraints_and_scs(make: Any) -> None:
    objective = make()
    assert objective.get_preferred_solver() == "SCS"
    assert isinstance(objective, obj.OptimizationObjective)
    if not isinstance(objective, (obj.MaxSharpeRatio, obj.MaxInformationRatio)):
        first = objective.get_internal_constraints(None, 1.0, None)
        assert first == [] and first is not objective.get_internal_constraints(None, 1.0, None)
    assert type(pickle.loads(pickle.dumps(objective))) is type(objective)


@pytest.mark.parametrize("benchmark", [BENCH, {"A": 0.5, "B": 0.3, "C": 0.2}])
def test_risk_objectives_match_numpy(benchmark: dict[str, float]) -> None:
    helper = FakeHelper(IDS, benchmark=benchmark)
    g = variable([0.2, 0.3, 0.5])
    cov, a = helper._cov, active(g, helper)
    assert len(a) == len(helper.union_components)
    variance = g.value @ cov @ g.value
    assert obj.MinVariance().get_objective_expr(g, 1.0, helper).value == pytest.approx(variance)
    for cls in (obj.MinActiveVariance, obj.MinTrackingError):
        expected = a @ helper._union_cov @ a
        assert cls().get_objective_expr(g, 1.0, helper).value == pytest.approx(expected)
    parity = obj.RiskParity().get_objective_expr(g, 3, helper).value
    assert parity == pytest.approx(variance - np.log(g.value).sum())
    zeta = cp.Variable(nonneg=True)  # the ratio objectives take the homogenising scale
    zeta.value = 2.0
    sharpe = obj.MaxSharpeRatio().get_objective_expr(g, zeta, helper).value
    assert sharpe == pytest.approx(variance)
    a = active(g, helper, zeta=2.0)
    info = obj.MaxInformationRatio().get_objective_expr(g, zeta, helper).value
    assert info == pytest.approx(a @ helper._union_cov @ a)


@pytest.mark.parametrize("make", [
    obj.MinVariance, obj.MinActiveVariance, obj.MinTrackingError,
    lambda: obj.MeanVariance(expected_returns={"A": 0.1}),
    lambda: obj.ActiveMeanVariance(expected_active_returns={"A": 0.1}),
    lambda: obj.MinStyleDeviation({"size": 0.1}),
])  # fmt: skip
def test_zeta_must_be_one(make: Any) -> None:
    with pytest.raises(AssertionError):
        make().get_objective_expr(variable([0.5, 0.5, 0.0]), 2.0, style_helper(BENCH))


def test_zeta_assertion_skipped_when_optimised() -> None:
    code = (
        "import cvxpy as cp, morvane.objective as o\n"
        "class H:\n    get_cov_matrix = staticmethod(lambda: [[1.0]])\n"
        "print(o.MinVariance().get_objective_expr(cp.Variable(1), 2.0, H()).shape)"
    )
    done = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def expected_mean_variance(g: np.ndarray, mu: np.ndarray, cov: np.ndarray, rtn: float) -> float:
    k = len(mu)
    risk = np.full(k, 1 / k) @ cov @ np.full(k, 1 / k)
    return -g @ mu + rtn / risk * (g @ cov @ g)


@pytest.mark.parametrize(
    ("returns", "rtn"),
    [
        ([0.1, -0.2, 0.3], 0.2),  # mean of the positive entries
        ([-0.05, -0.01, -0.2, -0.03, -0.4, -0.06, -0.1, -0.3], 0.02),  # largest quarter
        ([-0.3, -0.1, -0.2], 0.1),  # at least one entry
    ],
)
def test_mean_variance_return_scale(returns: list[float], rtn: float) -> None:
    ids = [f"S{i}" for i in range(len(returns))]
    helper = FakeHelper(ids)
    g = variable(list(np.linspace(1, 2, len(ids)) / np.linspace(1, 2, len(ids)).sum()))
    objective = obj.MeanVariance(expected_returns=dict(zip(ids, returns)))
    expected = expected_mean_variance(g.value, np.array(returns), helper._cov, rtn)
    assert objective.get_objective_expr(g, 1.0, helper).value == pytest.approx(expected)


def test_mean_variance_partial_returns_and_transaction_cost() -> None:
    helper = FakeHelper(IDS)
    g = variable([0.2, 0.3, 0.5])
    seen = []

    class Cost:
        def get_penalty(self, g_: cp.Variable, helper_: FakeHelper) -> cp.Expression:
            seen.append((g_, helper_))
            return 0.01 * cp.norm1(g_)

    objective = obj.MeanVariance(
        expected_returns={"A": np.nan, "B": 0.2, "Z": 5.0},
        risk_aversion_coefficient=0,
        transaction_cost_model=Cost(),
    )
    value = objective.get_objective_expr(g, 1.0, helper).value
    assert value == pytest.approx(-0.3 * 0.2 + 0.01)
    assert seen == [(g, helper)]


def test_all_zero_returns_fall_back_to_variance_with_warning() -> None:
    helper = FakeHelper(IDS, benchmark=BENCH)
    g = variable([0.2, 0.3, 0.5])

    class Cost:
        calls = 0

        def get_penalty(self, g_: cp.Variable, helper_: FakeHelper) -> float:
            Cost.calls += 1
            return 0.5

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        mv = obj.MeanVariance(expected_returns={"X": 1.0}, transaction_cost_model=Cost())
        value = mv.get_objective_expr(g, 1.0, helper).value
        amv = obj.ActiveMeanVariance(
            expected_active_returns=[0.0] * 5, transaction_cost_model=Cost()
        )
        active_value = amv.get_objective_expr(g, 1.0, helper).value
    assert [str(w.message) for w in caught] == [
        "MeanVariance: expected_returns 全部为 0，退化为 MinVariance",
        "ActiveMeanVariance: active_expected_returns 全部为 0，退化为 MinVariance",
    ]
    assert all(w.category is OptimizerWarning and w.filename == __file__ for w in caught)
    assert value == pytest.approx(g.value @ helper._cov @ g.value + 0.5)
    a = active(g, helper)
    assert active_value == pytest.approx(a @ helper._union_cov @ a)
    assert Cost.calls == 1  # the active fallback never asks for the cost


def test_active_mean_variance_matches_numpy() -> None:
    helper = FakeHelper(IDS, benchmark=BENCH)
    g = variable([0.2, 0.3, 0.5])
    mu = np.array([0.1, -0.2, 0.0, 0.3, 0.05])
    objective = obj.ActiveMeanVariance(
        expected_active_returns=pd.Series(mu, index=IDS + ["D", "E"]), risk_aversion_coefficient=2
    )
    a = active(g, helper)
    expected = 2 * expected_mean_variance(a, mu, helper._union_cov, 0.15) + a @ mu
    assert objective.get_objective_expr(g, 1.0, helper).value == pytest.approx(expected)


def unit_return_coefficients(constraints: list[Any], n: int) -> np.ndarray:
    (constraint,) = constraints
    lhs, rhs = constraint.args
    assert rhs.value == 1
    g = lhs.variables()[0]
    out = []
    for row in np.eye(n):
        g.value = row
        out.append(lhs.value)
    return np.array(out)


@pytest.mark.parametrize(
    ("cls", "param"),
    [
        (obj.MaxSharpeRatio, "expected_returns"),
        (obj.MaxInformationRatio, "expected_active_returns"),
    ],
)
@pytest.mark.parametrize(
    ("given", "mu"),
    [
        ({"A": -0.3, "B": -0.1, "C": 0.1}, [-0.2, 0.0, 0.2]),  # negative mean removed
        ({"A": -0.1, "B": 0.2, "C": 0.2}, [-0.1, 0.2, 0.2]),  # used as given
        ({"A": 0.05, "B": 0.05, "C": 0.05}, [1.0, 1.0, 1.0]),  # all equal: sum of g
        ({"A": 0.0, "Z": 0.7}, [1.0, 1.0, 1.0]),  # missing ids count 0, then all equal
        ({"B": 0.3}, [0.0, 0.3, 0.0]),
        ({"A": np.nan, "B": 0.3, "C": 0.1}, [0.0, 0.3, 0.1]),  # no estimate: counts 0
    ],
)
def test_ratio_unit_return_constraint(
    cls: Any, param: str, given: dict[str, float], mu: list[float]
) -> None:
    objective = cls(**{param: pd.Series(given)})
    helper = FakeHelper(IDS, benchmark=BENCH)
    g = cp.Variable(3, nonneg=True)
    constraints = objective.get_internal_constraints(g, cp.Variable(nonneg=True), helper)
    np.testing.assert_allclose(unit_return_coefficients(constraints, 3), mu, atol=1e-12)


ANNUAL = {"A": 0.252, "B": -0.126, "C": 0.504, "D": 0.0756, "E": 0.0}


@pytest.mark.parametrize(
    ("make", "method", "instruments", "stored"),
    [
        (obj.MeanVariance, "get_objective_expr", IDS, "_expected_returns"),
        (obj.MaxSharpeRatio, "get_internal_constraints", IDS, "_expected_returns"),
        (obj.ActiveMeanVariance, "get_objective_expr", IDS + ["D", "E"], None),
        (obj.MaxInformationRatio, "get_internal_constraints", IDS, None),
    ],
)
def test_estimation_through_the_data_client(
    client: FakeClient, make: Any, method: str, instruments: list[str], stored: str | None
) -> None:
    bench = FakeBenchmark(0.05)
    helper = FakeHelper(IDS, benchmark=BENCH, benchmark_object=bench)
    objective = make(window=60)
    g = variable([0.2, 0.3, 0.5])
    zeta = 1.0 if method == "get_objective_expr" else cp.Variable(nonneg=True)
    getattr(objective, method)(g, zeta, helper)
    getattr(objective, method)(g, zeta, FakeHelper(IDS, benchmark=BENCH, benchmark_object=bench))
    one = [
        ("trading_date_offset", helper.prev_trading_date, -60),
        ("get_price_change_rate", instruments, START, helper.prev_trading_date),
    ]
    if stored:  # estimated once, kept on the object
        assert client.calls == one and bench.calls == []
        expected = pd.Series({i: ANNUAL[i] for i in IDS})
        pd.testing.assert_series_equal(getattr(objective, stored), expected, check_exact=False)
    else:  # estimated on every call, net of the benchmark's expected return
        assert client.calls == one * 2 and bench.calls == [(helper.date, 60)] * 2
        assert objective._expected_active_returns is None


def test_estimated_active_returns_are_net_of_benchmark(client: FakeClient) -> None:
    helper = FakeHelper(IDS, benchmark=BENCH, benchmark_object=FakeBenchmark(0.05))
    g = variable([0.2, 0.3, 0.5])
    amv = obj.ActiveMeanVariance(risk_aversion_coefficient=0)
    mu = np.array([ANNUAL[i] for i in helper.union_components]) - 0.05
    assert amv.get_objective_expr(g, 1.0, helper).value == pytest.approx(-active(g, helper) @ mu)
    cons = obj.MaxInformationRatio().get_internal_constraints(g, cp.Variable(), helper)
    np.testing.assert_allclose(unit_return_coefficients(cons, 3), mu[:3])
    obj.MaxSharpeRatio().get_objective_expr(g, cp.Variable(), helper)
    assert len(client.calls) == 4  # the ratio objective's expression estimates nothing


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: obj.MeanVariance(risk_aversion_coefficient=-0.5),
         "risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：-0.5"),
        (lambda: obj.ActiveMeanVariance(risk_aversion_coefficient=-2),
         "risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：-2"),
        (lambda: obj.MeanVariance(expected_returns={1}, risk_aversion_coefficient=-1),
         NOT_SERIES.format("expected_returns")),
        (lambda: obj.ActiveMeanVariance(expected_active_returns={1}),
         NOT_SERIES.format("expected_active_returns")),
        (lambda: obj.MaxSharpeRatio(expected_returns={1}), NOT_SERIES.format("expected_returns")),
        (lambda: obj.MaxInformationRatio(expected_active_returns={1}),
         NOT_SERIES.format("expected_active_returns")),
        (lambda: obj.MaxIndicator({1}), NOT_SERIES.format("indicator_series")),
        (lambda: obj.MinStyleDeviation({1}), NOT_SERIES.format("target_style")),
        (lambda: obj.MinStyleDeviation({"size": 0.1}, priority={1}), NOT_SERIES.format("priority")),
        (lambda: obj.MinStyleDeviation({"size": 0.1, "bogus": 1, "worse": 2}),
         f"目标风格值 bogus 非法，请从 {obj.STYLE_FACTORS} 中选取"),
        (lambda: obj.MaxIndicator({"A": 1.0, "B": 2.0}).get_objective_expr(
            variable([0.2, 0.3, 0.5]), 1.0, FakeHelper(IDS)),
         "传入股票池中的股票有部分在 indicator_series 中找不到值"),
        (lambda: obj.MinStyleDeviation({"size": 0.1}, relative=True).get_objective_expr(
            variable([0.2, 0.3, 0.5]), 1.0, style_helper()),
         "在使用相对风格偏移时，必须指定 benchmark 参数"),
    ],
)  # fmt: skip
def test_invalid_arguments(make: Any, message: str) -> None:
    with pytest.raises(InvalidArgument) as info:
        make()
    assert str(info.value) == message


@pytest.mark.parametrize("make", [
    lambda: obj.MeanVariance(None), lambda: obj.ActiveMeanVariance(None),
    lambda: obj.MaxSharpeRatio(None), lambda: obj.MaxInformationRatio(None, 252),
    lambda: obj.MinStyleDeviation({"size": 0.1}, True),
])  # fmt: skip
def test_parameters_are_keyword_only(make: Any) -> None:
    with pytest.raises(TypeError):
        make()


def test_style_priorities_and_relative_targets() -> None:
    targets = pd.Series({"size": 0.2, "beta": -0.1, "growth": 0.0, "leverage": 0.3})
    objective = obj.MinStyleDeviation(
        targets, relative=1, priority={"size": 12, "beta": -1, "growth": 7.8, "momentum": 3}
    )
    assert obj.MinStyleDeviation.PRIORITY_ADJUST_FACTOR == [1, 5, 10, 15, 20, 25, 30, 35, 40, 45]
    assert objective._relative == 1
    assert objective._priority.to_dict() == {"size": 9, "beta": 0, "growth": 7, "leverage": 5}
    helper = style_helper(BENCH)
    bench = pd.Series({"size": 0.5, "beta": 0.1, "growth": 0.2, "leverage": -0.4})
    helper.get_benchmark_style = lambda: bench
    g = variable([0.2, 0.3, 0.5])
    x = helper._factor_exposure.loc[IDS].T @ g.value
    weights = {"size": 45, "beta": 1, "growth": 35, "leverage": 25}
    expected = sum(w * (x[s] - targets[s] - bench[s]) ** 2 for s, w in weights.items())
    assert objective.get_objective_expr(g, 1.0, helper).value == pytest.approx(expected)
    absolute = obj.MinStyleDeviation(targets).get_objective_expr(g, 1.0, helper).value
    assert absolute == pytest.approx(((x - targets[x.index]) ** 2).sum())
    empty = obj.MinStyleDeviation(pd.Series([], dtype=float)).get_objective_expr(g, 1.0, helper)
    assert empty == 0 and isinstance(empty, int)


def test_max_indicator_scales_to_mean_absolute_ten() -> None:
    helper = FakeHelper(["A", "B"])
    g = variable([0.3, 0.7])
    objective = obj.MaxIndicator(pd.Series({"B": -3.0, "A": 1.0, "X": 100.0}))
    value = objective.get_objective_expr(g, None, helper).value
    assert value == pytest.approx(-(0.3 * 5 - 0.7 * 15))  # (1, -3) scaled to (5, -15)


# --- end to end on the small sample market -------------------------------------------------

DATE = "2025-06-03"


@pytest.fixture(scope="module")
def universe(small_store: Path) -> list[str]:
    import tarnwick

    return sorted(tarnwick.index_components("000300.XSHG", DATE))


@pytest.mark.parametrize(("make", "benchmark"), [
    (obj.MinVariance, None), (obj.MinActiveVariance, "000905.XSHG"),
    (obj.MinTrackingError, "000300.XSHG"), (obj.MeanVariance, None),
    (obj.ActiveMeanVariance, "000300.XSHG"), (obj.RiskParity, None),
    (obj.MaxSharpeRatio, None), (obj.MaxInformationRatio, "000016.XSHG"),
    ("indicator", None), ("style", "000852.XSHG"),
])  # fmt: skip
def test_every_objective_end_to_end(universe: list[str], make: Any, benchmark: str | None) -> None:
    from morvane.optimize import portfolio_optimize

    if make == "indicator":
        objective = obj.MaxIndicator(pd.Series(np.arange(len(universe)), index=universe))
    elif make == "style":
        objective = obj.MinStyleDeviation({"size": 0.3, "beta": -0.2}, relative=True)
    else:
        objective = make()
    w = portfolio_optimize(universe, DATE, objective=objective, benchmark=benchmark)
    assert w.index.tolist() == universe
    assert w.sum() == pytest.approx(1.0) and w.min() > -1e-6
    if make == "indicator":  # the largest indicator takes everything
        assert w.iloc[-1] == pytest.approx(1.0, abs=1e-4)


@pytest.fixture(scope="module")
def cov(universe: list[str]) -> np.ndarray:
    from morvane.const import CovModel, RiskModel
    from morvane.helper import OptimizeHelper

    date = datetime.date(2025, 6, 3)
    helper = OptimizeHelper(universe, date, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1, 1)
    return helper.get_cov_matrix()


def test_max_sharpe_ratio_agrees_with_clarabel(universe: list[str], cov: np.ndarray) -> None:
    from morvane.optimize import portfolio_optimize

    objective = obj.MaxSharpeRatio()
    w = portfolio_optimize(universe, DATE, objective=objective).values
    mu = objective._expected_returns.reindex(universe, fill_value=0.0).values
    assert mu.mean() > 0 and len(set(mu)) > 1  # the constraint is g @ mu == 1 as estimated
    y = cp.Variable(len(universe), nonneg=True)
    cp.Problem(cp.Minimize(cp.quad_form(y, cov)), [y @ mu == 1]).solve(solver=cp.CLARABEL)
    reference = y.value / y.value.sum()
    np.testing.assert_allclose(w, reference, atol=5e-4)

    def sharpe(x: np.ndarray) -> float:
        return float(x @ mu / np.sqrt(x @ cov @ x))

    assert sharpe(w) == pytest.approx(sharpe(reference), rel=1e-5)


def test_risk_parity_equalises_risk_contributions(universe: list[str], cov: np.ndarray) -> None:
    from morvane.optimize import portfolio_optimize

    w = portfolio_optimize(universe, DATE, objective=obj.RiskParity()).values
    contributions = w * (cov @ w)
    np.testing.assert_allclose(contributions, contributions.mean(), rtol=1e-3)
