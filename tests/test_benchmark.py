"""morvane.benchmark: the custom-benchmark base, and an index as benchmark, against a stand-in
data client and on the small sample market."""

from __future__ import annotations

import datetime
import pickle
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import numpy as np
import pandas as pd
import pytest

import morvane.benchmark as mb
from morvane.exception import InvalidArgument
from morvane.objective import MinActiveVariance
from morvane.optimize import portfolio_optimize

DATE = datetime.date(2025, 6, 3)


def test_base_is_a_plain_instantiable_class() -> None:
    base, instance = mb.OptimizeBenchmark, mb.OptimizeBenchmark()
    assert type(base) is type and base.__bases__ == (object,) and vars(instance) == {}
    assert base.__doc__ == "自定义基准抽象类" and mb.IndexBenchmark.__doc__ is None
    assert base.get_weight.__isabstractmethod__ and base.get_expected_returns.__isabstractmethod__
    assert base.get_weight.__doc__ == (
        "\n        获取 date 日期的持仓权重。此函数必需实现。\n\n        :param date: datetime.date"
        "\n        :return: pd.Series, index 为order_book_id\n        "
    )
    assert base.get_expected_returns.__doc__.splitlines()[2:] == [
        "        仅当使用 :class:`MaxInformationRatio` / :class:`ActiveMeanVariance` 目标函数，",
        "        且不指定 `expected_active_returns` 时需要实现此函数", "",
        "        :param date: datetime.date", "        :param window: 回溯窗口大小",
        "        :return: float", "        ",
    ]  # fmt: skip
    for call in (lambda: instance.get_weight(DATE), lambda: instance.get_expected_returns(DATE),
                 lambda: instance.get_expected_returns(date=DATE, window=5)):  # fmt: skip
        with pytest.raises(NotImplementedError) as info:
            call()
        assert info.value.args == ()


def client(**functions: Any) -> SimpleNamespace:
    """A data client that knows index IDX, answers with the given values (an exception is
    raised) and records every call."""
    ns = SimpleNamespace(calls=[])

    def recorded(name: str, result: Any) -> Any:
        def call(*args: Any) -> Any:
            ns.calls.append((name, *args))
            if isinstance(result, Exception):
                raise result
            return result

        return call

    for name, result in dict(functions, instruments=SimpleNamespace(type="INDX")).items():
        setattr(ns, name, recorded(name, result))
    return ns


WEIGHTS, EX = pd.Series({"A": 0.6, "B": 0.4}), pd.Series({"A": 0.5, "C": 0.5})
BOTH = ["index_weights_ex", "index_weights"]


@pytest.mark.parametrize(
    "functions, expected, calls",
    [
        ({"index_weights": WEIGHTS}, WEIGHTS, ["index_weights"]),
        ({"index_weights_ex": EX, "index_weights": WEIGHTS}, EX, ["index_weights_ex"]),
        ({"index_weights_ex": None, "index_weights": WEIGHTS}, WEIGHTS, BOTH),
        ({"index_weights_ex": LookupError(), "index_weights": None}, None, BOTH),
    ],
)  # fmt: skip
def test_get_weight_falls_back(monkeypatch: pytest.MonkeyPatch, functions: dict, expected: Any,
                               calls: list) -> None:  # fmt: skip
    monkeypatch.setattr(mb, "tarnwick", fake := client(**functions))
    assert mb.IndexBenchmark(order_book_id="IDX").get_weight(DATE) is expected
    assert fake.calls == [("instruments", "IDX")] + [(name, "IDX", DATE) for name in calls]


def test_weights_lookup_error_other_than_absence(monkeypatch: pytest.MonkeyPatch) -> None:
    class Client:
        def instruments(self, code: str) -> SimpleNamespace:
            return SimpleNamespace(type="INDX")

        def __getattr__(self, name: str) -> Any:
            raise LookupError(name)

    monkeypatch.setattr(mb, "tarnwick", Client())
    with pytest.raises(LookupError, match="index_weights_ex"):
        mb.IndexBenchmark("IDX").get_weight(DATE)


def test_expected_returns_annualised_by_252(monkeypatch: pytest.MonkeyPatch) -> None:
    changes = pd.DataFrame({"IDX": [0.01, np.nan, 0.03], "OTHER": [1.0, 1.0, 1.0]})
    fake = client(trading_date_offset="S", get_price_change_rate=changes)
    monkeypatch.setattr(mb, "tarnwick", fake)
    assert mb.IndexBenchmark("IDX").get_expected_returns(DATE, 20) == pytest.approx(0.02 * 252)
    mb.IndexBenchmark("IDX").get_expected_returns(DATE)
    assert fake.calls[1:3] == [("trading_date_offset", DATE, -20),
                                      ("get_price_change_rate", "IDX", "S", DATE)]
    assert fake.calls[4] == ("trading_date_offset", DATE, -252)  # fmt: skip


@pytest.mark.parametrize(
    "code, message",
    [
        ("NOPE.XSHG", "无效的 benchmark: NOPE.XSHG"),
        ("000061.XSHE", "仅支持指数类型的 benchmark, 传入的 benchmark 是 CS 类型"),
        ("159915.XSHE", "仅支持指数类型的 benchmark, 传入的 benchmark 是 ETF 类型"),
    ],
)
def test_index_benchmark_refuses(small_store: Path, code: str, message: str) -> None:
    with pytest.raises(InvalidArgument) as info:
        mb.IndexBenchmark(code)
    assert str(info.value) == message


@pytest.mark.parametrize("index", ["000016.XSHG", "000300.XSHG", "000852.XSHG", "000905.XSHG"])
def test_index_benchmark_on_sample_market(small_store: Path, index: str) -> None:
    import tarnwick

    bench = mb.IndexBenchmark(index)
    weight = bench.get_weight(DATE)
    assert sorted(weight.index) == sorted(tarnwick.index_components(index, DATE))
    assert weight.sum() == pytest.approx(1.0) and (weight > 0).all()
    assert abs(bench.get_expected_returns(DATE, window=60)) < 5
    assert vars(pickle.loads(pickle.dumps(bench))) == {"_order_book_id": index}


class EqualWeights(mb.OptimizeBenchmark):
    """A caller's own benchmark: no base __init__, no expected returns."""

    def __init__(self, ids: list[str]) -> None:
        self.ids = ids

    def get_weight(self, date: datetime.date) -> pd.Series:
        return pd.Series(1.0 / len(self.ids), index=self.ids)


def test_custom_benchmark_through_the_optimiser(small_store: Path) -> None:
    import tarnwick

    ids = sorted(tarnwick.index_components("000016.XSHG", DATE))[:8]
    weights = portfolio_optimize(ids, DATE, MinActiveVariance(), benchmark=EqualWeights(ids))
    # the benchmark itself is investable: zero active risk at equal weights
    assert weights.to_numpy() == pytest.approx(np.full(8, 1 / 8), abs=2e-3)
