"""OptimizeHelper over the small sample market."""

from __future__ import annotations

import datetime
import shutil

import duckdb
import numpy as np
import pandas as pd
import pytest

import tarnwick
from morvane.benchmark import IndexBenchmark, OptimizeBenchmark
from morvane.const import STYLE_FACTORS, CovModel, IndustryClassification, RiskModel
from morvane.exception import InvalidArgument
from morvane.helper import OptimizeHelper
from tarnwick import riskmodel, store

DATE = datetime.date(2025, 6, 3)
INDEX = "000300.XSHG"


class FixedBenchmark(OptimizeBenchmark):
    """A caller's benchmark: fixed weights, and the dates it was asked about."""

    def __init__(self, weights: dict[str, float]) -> None:
        self.weights = weights
        self.asked: list[datetime.date] = []

    def get_weight(self, date: datetime.date) -> pd.Series:
        self.asked.append(date)
        return pd.Series(self.weights)


def make(ids, benchmark=None, cov_model=CovModel.FACTOR_MODEL_DAILY, risk_model=RiskModel.V1,
         aversions=(1.0, 1.0), date=DATE) -> OptimizeHelper:
    return OptimizeHelper(list(ids), date, benchmark, cov_model, risk_model, *aversions)


@pytest.fixture(scope="module")
def universe(small_store) -> list[str]:
    """Every other stock of the index, ten of another index and the unclassified stocks."""
    prev = tarnwick.get_previous_trading_date(DATE)
    covered = set(riskmodel.get_style_exposures("v1", prev).index)
    unclassified = covered - set(tarnwick.get_instrument_industry(sorted(covered)).index)
    index = tarnwick.index_components(INDEX, DATE)
    others = [s for s in tarnwick.index_components("000905.XSHG", DATE) if s not in index]
    assert unclassified
    return sorted(set(index[::2] + others[:10]) | unclassified)


@pytest.fixture(scope="module")
def custom(universe) -> dict[str, float]:
    """Weights on three universe stocks and on two index stocks outside the universe."""
    outside = [s for s in tarnwick.index_components(INDEX, DATE) if s not in universe]
    return {s: w for s, w in zip(universe[:3] + outside[:2], [0.1, 0.2, 0.3, 0.25, 0.15])}


@pytest.mark.parametrize("kind", ["index", "custom", "none"])
def test_members_are_aligned(universe, custom, kind):
    benchmark = {"index": IndexBenchmark(INDEX), "custom": FixedBenchmark(custom), "none": None}
    benchmark = benchmark[kind]
    expected = pd.Series(custom) if kind == "custom" else pd.Series(dtype=float)
    if kind == "index":
        expected = IndexBenchmark(INDEX).get_weight(DATE)
    h = make(universe, benchmark)
    n = len(universe)
    outside = sorted(set(expected.index) - set(universe))
    assert bool(outside) == (kind != "none")
    assert h.order_book_ids == universe and h.union_components == universe + outside
    assert sorted(h.benchmark_components) == sorted(expected.index)
    assert list(h.benchmark_weight.index) == h.union_components
    np.testing.assert_allclose(
        h.benchmark_weight.values, expected.reindex(h.union_components, fill_value=0.0).values
    )
    assert h.benchmark is benchmark and h.date == DATE
    assert h.prev_trading_date == tarnwick.get_previous_trading_date(DATE)
    cov, union_cov = h.get_cov_matrix(), h.get_union_cov_matrix()
    assert cov.shape == (n, n) and union_cov.shape == (n + len(outside),) * 2
    np.testing.assert_array_equal(union_cov[:n, :n], cov)

    exposure = h.get_factor_exposure()
    assert list(exposure.index) == universe and list(exposure.columns) == list(STYLE_FACTORS)
    stored = riskmodel.get_style_exposures("v1", h.prev_trading_date)
    np.testing.assert_array_equal(exposure.to_numpy(), stored.loc[universe].to_numpy())
    style = stored.reindex(expected.index).mul(expected, axis=0).sum()
    np.testing.assert_allclose(h.get_benchmark_style()[list(STYLE_FACTORS)], style, atol=1e-12)
    industry = tarnwick.get_instrument_industry(list(expected.index)).reindex(expected.index)
    by_industry = expected.groupby(industry.fillna("UNKNOWN").to_numpy()).sum()
    got = h.get_benchmark_industry_weight(IndustryClassification.SWS)
    assert got.to_dict() == pytest.approx(by_industry.to_dict())


@pytest.mark.parametrize("risk_model", list(RiskModel))
@pytest.mark.parametrize("cov_model", list(CovModel))
def test_covariance_is_symmetric_psd_annualised_and_factor_structured(
    universe, custom, risk_model, cov_model
):
    h = make(universe, FixedBenchmark(custom), cov_model, risk_model)
    for union in (False, True):
        cov = h.get_union_cov_matrix() if union else h.get_cov_matrix()
        np.testing.assert_array_equal(cov, cov.T)
        assert np.linalg.eigvalsh(cov).min() > 0
        vol = np.sqrt(np.diag(cov))
        assert np.all((vol > 0.10) & (vol < 0.80))
        x, f, d = h.get_factor_model(union)
        assert x.shape == (len(cov), len(f)) and d.shape == (len(cov),)
        np.testing.assert_allclose(x @ f @ x.T + np.diag(d), cov, rtol=1e-12, atol=1e-14)
        assert not cov.flags.writeable


def test_risk_aversions_weight_the_factor_and_specific_parts(universe, custom):
    def cov(aversions):
        return make(universe, FixedBenchmark(custom), aversions=aversions).get_union_cov_matrix()

    factor, specific = cov((1.0, 0.0)), cov((0.0, 1.0))
    np.testing.assert_allclose(cov((2.0, 0.5)), 2.0 * factor + 0.5 * specific, rtol=1e-12)
    ids = universe + sorted(set(custom) - set(universe))
    stored = riskmodel.get_specific_variance("v1", tarnwick.get_previous_trading_date(DATE))
    np.testing.assert_array_equal(specific, np.diag(stored.loc[ids].to_numpy()))
    assert np.linalg.matrix_rank(factor) <= len(riskmodel.factor_names("v1"))
    with pytest.raises(InvalidArgument):
        cov((-1.0, 1.0))


@pytest.mark.parametrize("classification", list(IndustryClassification))
def test_industry_mapping_follows_the_classification(universe, classification):
    got = make(universe).get_industry_mapping(classification)
    stored = tarnwick.get_instrument_industry(universe, classification.value)
    assert list(got.index) == universe
    assert list(got) == list(stored.reindex(universe).fillna("UNKNOWN"))
    assert "UNKNOWN" in set(got)


@pytest.mark.parametrize("as_series", [False, True])
def test_custom_industry_mapping(universe, custom, as_series):
    outside = sorted(set(custom) - set(universe))[0]
    mapping = {universe[0]: "甲", universe[1]: "乙", outside: "甲", "999999.XSHG": "丙"}
    h = make(universe, FixedBenchmark(custom))
    got = h.get_industry_mapping(pd.Series(mapping) if as_series else mapping)
    assert list(got.index) == universe
    assert list(got) == ["甲", "乙"] + ["UNKNOWN"] * (len(universe) - 2)
    weights = h.get_benchmark_industry_weight(pd.Series(mapping) if as_series else mapping)
    rest = sum(w for s, w in custom.items() if s not in mapping)
    expected = {"甲": custom[universe[0]] + custom[outside], "乙": custom[universe[1]]}
    assert weights.to_dict() == pytest.approx({**expected, "UNKNOWN": rest})
    with pytest.raises(InvalidArgument):
        h.get_industry_mapping("no such classification")


def test_stocks_without_data_and_bad_weights_are_refused_by_name(universe):
    # A stock listed in the middle of a month, the day before the optimisation day, has
    # exposures from its listing day on: only ids the store does not hold are refused.
    stocks = tarnwick.all_instruments("CS")
    listings = [
        (sid, datetime.date.fromisoformat(day))
        for sid, day in zip(stocks["order_book_id"], stocks["listed_date"])
        if "2024-02" < day < "2025-12"
    ]
    sid, day, nxt = next(
        (sid, day, nxt)
        for sid, day in listings
        if (nxt := tarnwick.get_next_trading_date(day)).month == day.month
    )
    assert sid in make(universe[:3] + [sid], date=nxt).get_factor_exposure().index
    with pytest.raises(InvalidArgument, match="600000.XSHG"):
        make(universe[:3] + ["600000.XSHG"], date=nxt)
    with pytest.raises(InvalidArgument, match="000000.XSHE"):
        make(universe[:3], FixedBenchmark({"000000.XSHE": 1.0}))
    with pytest.raises(InvalidArgument, match=universe[1]):
        make(universe[:3], FixedBenchmark({universe[0]: 0.5, universe[1]: float("nan")}))


def test_nothing_after_the_previous_trading_day_is_read(universe, custom, tmp_path, monkeypatch):
    """Rows dated after the previous trading day are altered in a copy of the store; helpers
    built on the copy equal those built on the original, and the benchmark's weights come from
    its get_weight(date) alone."""
    prev = tarnwick.get_previous_trading_date(DATE)
    later = tarnwick.get_next_trading_date(DATE, 30)

    def snapshot(date: datetime.date) -> list:
        benchmark = FixedBenchmark(custom)
        h = make(universe, benchmark, date=date)
        assert benchmark.asked == [date]
        return [h.get_union_cov_matrix(), h.get_factor_exposure(), h.get_benchmark_style(),
                h.get_industry_mapping(), h.benchmark_weight, h.prev_trading_date]

    original, original_later = snapshot(DATE), snapshot(later)
    copy = tmp_path / "market.duckdb"
    shutil.copyfile(store.store_path(), copy)
    styles = ", ".join(f"{s} = -{s} + 1" for s in STYLE_FACTORS)
    with duckdb.connect(str(copy)) as con:
        for sql in ("UPDATE daily_bars SET close = close * 1.5",
                    "UPDATE factor_values SET market_cap_3 = market_cap_3 * 3",
                    f"UPDATE style_descriptors SET {styles}",
                    f"UPDATE style_exposures SET {styles}",
                    "UPDATE factor_returns SET value = value * 3",
                    "UPDATE specific_variance SET value = value * 4"):
            con.execute(sql + " WHERE date > ?", [prev])
        cov = con.execute("SELECT * FROM factor_covariance WHERE date > ?", [prev]).df()
        cov["cov"] = [[4.0 * v for v in c] for c in cov["cov"]]
        con.execute("DELETE FROM factor_covariance WHERE date > ?", [prev])
        con.register("scaled", cov)
        con.execute("INSERT INTO factor_covariance SELECT * FROM scaled")
    for name in ("index_weights", "index_components"):
        monkeypatch.setattr(tarnwick, name, None)  # weights come from the benchmark object only
    monkeypatch.setenv("TARNWICK_HOME", str(tmp_path))
    store.close()
    try:
        altered, altered_later = snapshot(DATE), snapshot(later)
    finally:
        store.close()
    for before, after in zip(original, altered):
        if isinstance(before, np.ndarray):
            np.testing.assert_array_equal(before, after)
        elif isinstance(before, (pd.Series, pd.DataFrame)):
            assert before.equals(after)
        else:
            assert before == after
    assert not np.allclose(original_later[0], altered_later[0])
