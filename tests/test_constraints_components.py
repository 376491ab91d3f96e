"""morvane.constraints: the industry-component, index-component and stock-pool limits and the
transaction volume and market-value limits, against stand-ins and on the small sample market."""

from __future__ import annotations

import datetime
import pickle
import warnings
from collections.abc import Callable
from pathlib import Path
from typing import Any

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

from fakes import FakeHelper
from morvane import constraints as mc
from morvane.const import IndustryClassification
from morvane.exception import InvalidArgument, OptimizerWarning

DATE, PREV, START = (datetime.date(2025, 6, 3), datetime.date(2025, 6, 2),
                     datetime.date(2025, 5, 28))
TV, TMV = mc.TransactionVolumeLimit, mc.TransactionMarketValueLimit
TRADE = "    :param current_holding: 当前持仓，应传入股票数量而非权重\n"
TRADE += "    :param cash: 可用资金数量\n"
DOCS = {
    "IndustryComponentLimit": "行业内个股权重约束\n\n    :param industry: 行业名\n"
    "    :param lower_limit: 个股占行业权重下界\n    :param upper_limit: 个股占行业权重上界\n"
    "    :param classification: 行业分类标准\n",
    "IndexComponentLimit": "指数权重约束\n    :param index_code: 指数代码\n"
    "    :param lower_limit: 指数成分总占比下界\n    :param upper_limit: 指数成分总占比上界\n",
    "StockPoolLimit": "自定义组合权重约束\n\n    :param stock_list:自定义股票列表\n"
    "    :param lower_limit: 组合内股票权重占比下界\n"
    "    :param upper_limit: 组合内股票权重占比上界\n",
    "TransactionVolumeLimit": "成交量约束: 当前持仓和可用资金必须至少填入一个，"
    "优化器会用两者组成一个完整的投资组合来判定成交量约束\n\n" + TRADE
    + "    :param window: 前几个交易日的平均交易量\n    :param stock_list: 需要约束的股票列表\n"
    "    :param upper_limit: 成交量占比上界\n",
    "TransactionMarketValueLimit": "成交市值约束\n\n" + TRADE
    + "    :param window: 前几个交易日的平均市值\n    :param stock_list: 需要约束的股票列表\n"
    "    :param upper_limit: 交易市值占该股票总市值百分比上界\n",
}


@pytest.mark.parametrize("name", list(DOCS))
def test_docstrings_and_class_shape(name: str) -> None:
    cls = getattr(mc, name)
    assert cls.__doc__ == "\n    " + DOCS[name] + "    :param hard: 软约束/硬约束\n    "
    assert cls.__bases__ == (mc.OptimizationConstraint,) and type(cls) is mc.ABCMeta
    own = [k for k in vars(cls) if not k.startswith("_") or k == "__init__"]
    assert own == ["__init__", "to_constraints", "hard"]
    assert [k for k in vars(mc) if k in DOCS] == list(DOCS)


MISSING = "{}: upper_limit及lower_limit 最少应该指定一个"
NO_PORTFOLIO = "在 {} 约束中，current_holding 和 cash 至少需要一个"
BAD = "约束的上限或下限非法: {}_limit = 5%"
FAILURES: list[tuple[Callable[[], object], str]] = [
    (lambda: mc.IndustryComponentLimit("银行"), MISSING.format("IndustryComponentLimit")),
    (lambda: mc.IndexComponentLimit(1, upper_limit="5%"), BAD.format("IndexComponentLimit:upper")),
    (lambda: mc.StockPoolLimit(None), MISSING.format("StockPoolLimit")),
    (lambda: mc.StockPoolLimit([], lower_limit="5%", upper_limit="y"),
     BAD.format("StockPoolLimit:lower")),
    (lambda: mc.StockPoolLimit("000001.XSHE", lower_limit=0.1),
     "StockPoolLimit: stock_list 应该是股票代码的列表或集合: 000001.XSHE"),
    (lambda: TV(upper_limit=0.1), NO_PORTFOLIO.format("TransactionVolumeLimit")),
    (lambda: TMV(current_holding={"a": 100, "b": -100}, cash=0, upper_limit="%"),
     NO_PORTFOLIO.format("TransactionMarketValueLimit")),
    (lambda: TV(current_holding={1, 2}, cash=1),
     "current_holding: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象"),
    (lambda: TMV(cash=1, upper_limit="5%"), BAD.format("TransactionMarketValueLimit:upper")),
]


@pytest.mark.parametrize("call, message", FAILURES)
def test_constructor_refusals(call: Callable[[], object], message: str) -> None:
    with pytest.raises(InvalidArgument) as info:
        call()
    assert str(info.value) == message


def test_stored_attributes_keyword_only_hard_pickling_and_subclass() -> None:
    industry = mc.IndustryComponentLimit("银行", upper_limit="0.3", hard=0)
    assert industry.__dict__ == {"lower": None, "upper": 0.3, "industry": "银行",
                                 "classification": IndustryClassification.SWS, "_hard": 0}
    pool = mc.StockPoolLimit(stock_list := ["a"], lower_limit=0)
    assert list(pool.__dict__) == ["lower", "upper", "stock_list", "_hard"]
    assert pool.stock_list is stock_list and pool.lower == 0.0 and pool.hard is True
    holding = pd.Series({"a": 100})
    limit = TV(current_holding=holding, upper_limit=1, window=3, stock_list=[])
    assert list(limit.__dict__) == ["_current_holding", "cash", "window", "stock_list", "upper",
                                    "_hard"]
    assert limit._current_holding is holding and limit.cash == 0.0 and limit.upper == 1.0
    cash_only = TMV(cash="5")
    assert cash_only.cash == 5.0 and cash_only.upper is None and cash_only._current_holding.empty
    with pytest.raises(ValueError):
        TV(cash="lots")
    for make in (lambda: mc.IndexComponentLimit("x", 0.1), lambda: TV(0.1),
                 lambda: mc.StockPoolLimit(["a"], None, 0.5)):
        with pytest.raises(TypeError):
            make()
    for obj in (industry, limit, mc.IndexComponentLimit("000300.XSHG", lower_limit=0.2)):
        copy = pickle.loads(pickle.dumps(obj))
        assert type(copy) is type(obj) and list(copy.__dict__) == list(obj.__dict__)

    class Own(mc.IndexComponentLimit):
        def __init__(self) -> None:
            self.tag = "own"

    assert Own().tag == "own" and isinstance(Own(), mc.OptimizationConstraint)


# ---- components, against a stand-in helper ----

HELPER = FakeHelper(["a", "b", "c", "d", "e"])


def feasible(constraints: list[Any]) -> bool:
    return all(bool(c.value()) for c in constraints)


@pytest.mark.parametrize(
    "lower, upper, weights, count, expected",
    [
        (0.1, None, [0.05, 0.2, 0.05, 0.0, 0.7], 3, True),  # 0.05 >= 0.1 * 0.3
        (0.2, None, [0.05, 0.2, 0.05, 0.0, 0.7], 3, False),
        (0.2, 0.5, [0.1, 0.2, 0.1, 0.6, 0.0], 6, True),
        (0.2, 0.45, [0.1, 0.2, 0.1, 0.6, 0.0], 6, False),
        (0, 1, [1.0, 0, 0, 0, 0], 0, True),
        (None, 0.999, [1.0, 0, 0, 0, 0], 3, False),
    ],
)
def test_industry_component_limit(
    lower: Any, upper: Any, weights: list[float], count: int, expected: bool
) -> None:
    # the classification reaches the helper unchanged: a custom one makes a, b and c banks
    custom = pd.Series({"a": "银行", "b": "银行", "c": "银行", "d": "电子", "e": "传媒"})
    limit = mc.IndustryComponentLimit("银行", lower_limit=lower, upper_limit=upper,
                                      classification=custom)
    g = cp.Variable(5, nonneg=True)
    constraints = limit.to_constraints(g, cp.Variable(), HELPER)
    assert len(constraints) == count
    if count == 6:  # per member in universe order, lower then upper
        g.value = np.array([0, 0.3, 0.7, 0, 0])
        assert [bool(c.value()) for c in constraints] == [False, True, True, True, True, False]
    g.value = np.array(weights)
    assert feasible(constraints) is expected
    # exactly this message (pytest's `match` also reads the English note that follows it)
    with pytest.raises(InvalidArgument) as caught:
        mc.IndustryComponentLimit("农业", lower_limit=0.1).to_constraints(g, 1.0, HELPER)
    assert str(caught.value) == "候选股票池中没有 农业 行业"


class Recorder:
    """A data-client stand-in: answers from fixed tables and keeps every call."""

    def __init__(self, **answers: Any) -> None:
        self.answers, self.calls = answers, []

    def __getattr__(self, name: str) -> Callable[..., Any]:
        answer = self.answers[name]
        return lambda *a, **k: self.calls.append((name, a, k)) or (
            answer(*a, **k) if callable(answer) else answer)


@pytest.mark.parametrize(
    "make, upper",
    [
        (lambda **b: mc.IndexComponentLimit("000016.XSHG", **b), 0.6),
        (lambda **b: mc.StockPoolLimit(("b", "d", "zz"), **b), 0.6),
        (lambda **b: mc.StockPoolLimit({"b", "d"}, **b), 0.999),
    ],
)
def test_group_weight_limits(monkeypatch: pytest.MonkeyPatch, make: Any, upper: float) -> None:
    monkeypatch.setattr(mc, "tarnwick", client := Recorder(index_components=["b", "d", "zz"]))
    g, zeta = cp.Variable(5), cp.Variable(nonneg=True)
    constraints = make(lower_limit=0.3, upper_limit=upper).to_constraints(g, zeta, HELPER)
    zeta.value = 2.0
    for inside, expected in [(0.3, True), (upper, True), (0.29, False), (upper + 0.01, False)]:
        g.value = np.array([1 - inside, inside / 2, 0, inside / 2, 0]) * 2.0
        assert feasible(constraints) is expected
    assert make(lower_limit=0, upper_limit=1.5).to_constraints(g, 1.0, HELPER) == []
    assert client.calls in ([], [("index_components", ("000016.XSHG", PREV), {})] * 2)


# ---- transactions, over a three-day window of a stand-in data client ----


def frame(columns: dict[str, dict[str, list[float]]], days: int = 3) -> pd.DataFrame:
    dates = pd.date_range("2025-05-28", periods=days)
    ids = list(next(iter(columns.values())))
    index = pd.MultiIndex.from_product([ids, dates], names=["order_book_id", "date"])
    return pd.DataFrame({k: np.concatenate([v[i] for i in ids]) for k, v in columns.items()},
                        index=index)


NAN = np.nan
# a splits 2:1 inside the window; b never trades; z (held, outside the universe) has no last close
CLOSE = {"a": [20, 10, 10], "b": [5, 5, 5], "c": [8, 8, 8], "z": [4, 4, NAN]}
VOLUME = {"a": [100, 300, 0], "b": [0, 0, 0], "c": [10, 20, 30], "z": [1, 1, 0]}
UNADJUSTED = frame({"close": CLOSE, "volume": VOLUME})
ADJUSTED = frame({"close": {**CLOSE, "a": [10, 10, 10]}})
CAPS = frame({"market_cap_3": {"a": [1e3, NAN, 3e3], "b": [NAN] * 3, "c": [40] * 3, "z": [1] * 3}})
LAST_CLOSE = frame({"close": {"a": [10], "b": [5], "c": [8], "z": [4]}}, days=1)
HELD = {"z": 500, "a": 1000}


def client() -> Recorder:
    def get_price(*args: Any, adjust_type: str, **kwargs: Any) -> pd.DataFrame:
        return LAST_CLOSE if len(args) == 4 else UNADJUSTED if adjust_type == "none" else ADJUSTED

    return Recorder(get_previous_trading_date=START, get_factor=CAPS, get_price=get_price)


@pytest.mark.parametrize(
    "cls, holding, stock_list, lower, upper, warned",
    [
        # equity 8000 + 1000 * 10 + 500 * 4 = 20000; a may trade 0.5 * 175 shares, c 0.5 * 20
        (TV, HELD, None, [0.45625, 0, 0], [0.54375, 1, 0.004], "['z']"),
        (TV, HELD, [], [0.45625, 0, 0], [0.54375, 1, 0.004], "['z']"),
        (TV, HELD, ["c", "z"], [0, 0, 0], [1, 1, 0.004], "{'z'}"),
        (TV, HELD, ["c", "x"], [0, 0, 0], [1, 1, 0.004], None),
        # a stock without any close makes the portfolio's value unknown: nothing is tightened
        (TV, {"q": 1, "a": 1000}, None, [0, 0, 0], [1, 1, 1], "['q']"),
        # a may trade 0.5 * 2000 in value, c 0.5 * 40; b has no market value
        (TMV, HELD, None, [0.45, 0, 0], [0.55, 1, 0.001], "['z']"),
        (TMV, {}, None, [0, 0, 0], [0.0625, 1, 0.00125], None),  # cash 16000 only
    ],
)
def test_transaction_bounds(monkeypatch: pytest.MonkeyPatch, cls: type, holding: dict[str, int],
                            stock_list: Any, lower: list[float], upper: list[float],
                            warned: str | None) -> None:
    monkeypatch.setattr(mc, "tarnwick", recorder := client())
    limit = cls(upper_limit=0.5, current_holding=holding or None, cash=8000 if holding else 16000,
                window=3, stock_list=stock_list)
    g, zeta = cp.Variable(3), cp.Variable(nonneg=True)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        constraints = limit.to_constraints(g, zeta, FakeHelper(["a", "b", "c"]))
    text = f"在 {cls.__name__} 约束中，以下股票不在目标股票池中，这些股票将不受约束: {warned}"
    assert [(w.category, str(w.message)) for w in caught] == [(OptimizerWarning, text)] * (
        warned is not None)
    assert len(constraints) == 2
    zeta.value = 3.0  # each bound is exact: a step outside it, and only that, is infeasible
    for bound, is_upper in ((np.array(lower), False), (np.array(upper), True)):
        for i in range(3):
            for step in (-1e-6, 0.0, 1e-6):
                g.value = (bound + np.eye(3)[i] * step) * 3.0
                assert feasible(constraints) is (step == 0 or (step > 0) is not is_upper)
    pool = ["a", "b", "c"] + [i for i in holding if i not in "abc"]
    window = {"fields": ["close", "volume"], "adjust_type": "none", "expect_df": True}
    expected = [(TV, [((pool, START, PREV), window), ((pool, START, PREV), {
        **window, "fields": ["close"], "adjust_type": "pre"})]), (TMV, [
            ((pool, "market_cap_3", START, PREV), {}),
            ((pool, PREV, PREV, "1d"), {**window, "fields": "close"})])]
    assert recorder.calls[0] == ("get_previous_trading_date", (DATE,), {"n": 3})
    assert [c[1:] for c in recorder.calls[1:]] == dict(expected)[cls]


def test_transaction_limit_without_upper_limit(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(mc, "tarnwick", client())
    helper, g = FakeHelper(["a", "b", "c"]), cp.Variable(3)
    assert len(TV(cash=100, stock_list=["x"]).to_constraints(g, 1.0, helper)) == 2
    with pytest.raises(InvalidArgument, match="^在 TransactionVolumeLimit 约束中，upper_limit 不"):
        TV(cash=100).to_constraints(g, 1.0, helper)


# ---- through the optimiser on the small sample market ----

SLACK = 2e-3  # SCS solves to about 1e-4


def optimize(universe: list[str], **kwargs: Any) -> pd.Series:
    from morvane.optimize import portfolio_optimize

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizerWarning)
        return portfolio_optimize(universe, DATE, **kwargs)


@pytest.fixture(scope="module")
def market(small_store: Path) -> tuple[list[str], pd.Series, datetime.date]:
    import tarnwick

    universe = sorted(tarnwick.index_components("000300.XSHG", DATE))
    return universe, optimize(universe), tarnwick.get_previous_trading_date(DATE)


@pytest.mark.parametrize("side", ["lower", "upper"])
@pytest.mark.parametrize("kind", ["index", "pool"])
def test_group_limit_binds(market: Any, kind: str, side: str) -> None:
    import tarnwick

    universe, free, prev = market
    if kind == "index":
        group = set(tarnwick.index_components("000016.XSHG", prev))
    else:
        group = set(free.nlargest(5).index) | {"999999.XSHG"}
    limit = free[free.index.isin(group)].sum() + (0.15 if side == "lower" else -0.15)
    bound = {f"{side}_limit": limit}
    cons = (mc.IndexComponentLimit("000016.XSHG", **bound) if kind == "index"
            else mc.StockPoolLimit(sorted(group), **bound))
    weights = optimize(universe, cons=[cons])
    assert weights[weights.index.isin(group)].sum() == pytest.approx(limit, abs=SLACK)


def test_industry_component_limit_binds(market: Any) -> None:
    from morvane.const import CovModel, RiskModel
    from morvane.helper import OptimizeHelper

    universe, free, _ = market
    helper = OptimizeHelper(universe, DATE, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1, 1)
    mapping = helper.get_industry_mapping(IndustryClassification.SWS)
    share = free / free.groupby(mapping).transform("sum").clip(lower=1e-9)
    top = share[mapping.map(mapping.value_counts()) >= 3].idxmax()
    members = mapping.index[mapping == mapping[top]]
    upper = (share[top] + 1 / len(members)) / 2  # below the free share, above an equal split
    assert upper < share[top] - 0.05
    weights = optimize(universe, cons=[mc.IndustryComponentLimit(mapping[top], upper_limit=upper)])
    assert (weights[members] / weights[members].sum()).max() == pytest.approx(upper, abs=SLACK)


def test_transaction_volume_limit_holds_trades_to_the_caps(market: Any) -> None:
    import tarnwick
    from morvane.optimize import portfolio_optimize

    universe, free, prev = market
    outside = sorted(set(tarnwick.index_components("000852.XSHG", DATE)) - set(universe))[0]
    holding = pd.Series(2e5, index=universe[:10] + [outside])
    cash, upper, pool = 5e7, 0.005, universe + [outside]
    # the caps from the stored adjustment factors: each day's volume in shares of the last day
    start = tarnwick.get_previous_trading_date(DATE, n=3)
    bars = tarnwick.get_price(pool, start, prev, fields=["close", "volume", "adj_factor"],
                              adjust_type="none")
    last = bars.groupby(level="order_book_id").last()
    factor = last["adj_factor"].reindex(bars.index.get_level_values(0)).values
    shares = bars["volume"] * bars["adj_factor"] / factor
    avg = shares[shares > 0].groupby(level="order_book_id").mean().reindex(universe)
    close = last["close"].reindex(pool)
    equity = cash + (holding.reindex(pool, fill_value=0.0) * close).sum()
    current = holding.reindex(universe, fill_value=0.0)
    cap_high = ((current + upper * avg) * close[universe] / equity).clip(upper=1)
    cap_low = ((current - upper * avg) * close[universe] / equity).clip(lower=0)
    limit = TV(upper_limit=upper, current_holding=holding, cash=cash, window=3)
    with pytest.warns(OptimizerWarning, match=outside):
        weights = portfolio_optimize(universe, DATE, cons=[limit])
    assert (weights <= cap_high + SLACK).all() and (weights >= cap_low - SLACK).all()
    # the caps bind: the free minimum-variance portfolio breaks them both ways
    assert (free > cap_high + 0.01).any() and (free < cap_low - 0.01).any()
