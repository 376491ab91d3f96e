"""The pieces behind OptimizeHelper: the cache, the PSD repair, the benchmark's weights, the
factor model, and the helper reading its arguments by the package's one rule."""

from __future__ import annotations

import datetime

import numpy as np
import pandas as pd
import pytest

from morvane.const import CovModel, RiskModel
from morvane.exception import InvalidArgument
from morvane.helper import OptimizeHelper
from morvane.riskdata import cache
from morvane.riskdata.benchmark import benchmark_weights
from morvane.riskdata.psd import FactorCovariance

DATE = datetime.date(2025, 6, 3)


def test_the_cache_keeps_the_most_recently_used():
    lru = cache.LRU(2)
    calls: list[str] = []

    def compute(key: str):
        return lambda: calls.append(key) or key.upper()

    assert [lru.get(k, compute(k)) for k in ["a", "b", "a", "c", "a", "b"]] == list("ABACAB")
    # "b" was the least recently used when "c" came, and went; "a" stayed throughout
    assert calls == ["a", "b", "c", "b"] and len(lru) == 2
    lru.clear()
    assert len(lru) == 0


def test_cached_values_are_keyed_by_the_store_file():
    cache.clear_cache()
    seen: list[str] = []
    for identity in [("old",), ("old",), ("new",)]:
        cache.cached(identity, ("cov", "v1"), lambda i=identity: seen.append(i[0]))
    assert seen == ["old", "new"]
    cache.clear_cache()


@pytest.mark.parametrize(
    "matrix",
    [
        [[1.0, 0.0], [0.0, 2.0]],
        [[1.0, 1.2], [1.2, 1.0]],  # an eigenvalue of -0.2: estimation noise
        [[1.0, 0.3], [0.1, 1.0]],  # not exactly symmetric
        [[0.0, 0.0], [0.0, 0.0]],
    ],
)
def test_the_factor_covariance_is_made_psd_with_its_root(matrix):
    frame = pd.DataFrame(matrix, index=["m", "s"], columns=["m", "s"])
    f = FactorCovariance(frame)
    symmetric = 0.5 * (np.array(matrix) + np.array(matrix).T)
    eigval, eigvec = np.linalg.eigh(symmetric)
    expected = (eigvec * np.clip(eigval, 0, None)) @ eigvec.T
    np.testing.assert_allclose(f.cov, expected, atol=1e-15)
    np.testing.assert_array_equal(f.cov, f.cov.T)
    np.testing.assert_allclose(f.root @ f.root.T, f.cov, atol=1e-15)
    assert np.linalg.eigvalsh(f.cov).min() >= -1e-15 and f.names == ["m", "s"]
    assert not f.cov.flags.writeable and not f.root.flags.writeable


@pytest.mark.parametrize("bad", [np.nan, np.inf])
def test_a_non_finite_factor_covariance_is_refused(bad):
    with pytest.raises(InvalidArgument, match="非有限值"):
        FactorCovariance(pd.DataFrame([[1.0, bad], [bad, 1.0]]))


class Weights:
    def __init__(self, weights: object) -> None:
        self.weights = weights

    def get_weight(self, date: datetime.date) -> object:
        return self.weights


@pytest.mark.parametrize(
    "given, expected",
    [
        ({"b": 0.4, "a": 0.6, "c": 0.0}, {"a": 0.6, "b": 0.4}),  # zeros dropped, sorted
        (pd.Series([0.2, 0.1], index=["z", "y"]), {"y": 0.1, "z": 0.2}),  # not renormalised
    ],
)
def test_benchmark_weights(given, expected):
    got = benchmark_weights(Weights(given), DATE)
    assert got.to_dict() == expected and list(got.index) == sorted(expected)


@pytest.mark.parametrize(
    "given, message",
    [
        (None, "没有权重数据"),
        ({"a": 0.0}, "没有权重非零的成分股"),
        ({"a": float("nan"), "b": 1.0}, r"benchmark's weights on 2025-06-03 must be finite.*'a'"),
        (pd.Series([0.5, 0.5], index=["a", "a"]), r"more than once: \['a'\]"),
        ([0.5, 0.5], "must be a pandas Series"),
    ],
)
def test_benchmark_weights_refused(given, message):
    with pytest.raises(InvalidArgument, match=message):
        benchmark_weights(Weights(given), DATE)


@pytest.fixture(scope="module")
def universe(small_store) -> list[str]:
    import tarnwick

    return sorted(tarnwick.index_components("000300.XSHG", DATE))[:30]


@pytest.mark.parametrize(
    "date, cov_model, risk_model",
    [
        ("2025-06-03", "FACTOR_MODEL_MONTHLY", "V2"),
        ("20250603", "monthly", RiskModel.V2),
        (pd.Timestamp(DATE), CovModel.FACTOR_MODEL_MONTHLY, "v2"),
    ],
)
def test_the_helper_reads_its_arguments_by_the_rule(universe, date, cov_model, risk_model):
    reference = OptimizeHelper(
        universe, DATE, None, CovModel.FACTOR_MODEL_MONTHLY, RiskModel.V2, 1.0, 1.0
    )
    helper = OptimizeHelper(universe, date, None, cov_model, risk_model, 1.0, 1.0)
    assert helper.date == DATE and helper.cov_model is CovModel.FACTOR_MODEL_MONTHLY
    assert helper.risk_model is RiskModel.V2
    np.testing.assert_array_equal(helper.get_cov_matrix(), reference.get_cov_matrix())
    sws = helper.get_industry_mapping("SWS")
    assert sws.equals(helper.get_industry_mapping("sws"))


def test_one_id_string_is_one_id_not_its_characters(universe):
    helper = OptimizeHelper(universe[0], DATE, None, "daily", "v1", 1.0, 1.0)
    assert helper.order_book_ids == [universe[0]] and helper.get_cov_matrix().shape == (1, 1)


@pytest.mark.parametrize(
    "ids, date, message",
    [
        ([1, 2], DATE, "order_book_ids must contain only str"),
        (None, DATE, "order_book_ids must be a str or an iterable"),
        (["000001.XSHE"], 20250603, "expect a datetime like object"),
        (["000001.XSHE"], "the day after", "must be a date like"),
    ],
)
def test_the_helper_refuses_by_the_rule(small_store, ids, date, message):
    with pytest.raises(InvalidArgument, match=message):
        OptimizeHelper(ids, date, None, "daily", "v1", 1.0, 1.0)
