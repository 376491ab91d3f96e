"""Portfolio analysis on the small sample market: the risk decomposition, exposures and weights
against direct computation, the tables' shapes, the figures and the page's pieces."""

from __future__ import annotations

import datetime
import math
import pickle
import re

import numpy as np
import pandas as pd
import pytest

import tarnwick
from morvane.benchmark import IndexBenchmark, OptimizeBenchmark
from morvane.const import CovModel, IndustryClassification, RiskModel
from morvane.exception import InvalidArgument
from morvane.helper import OptimizeHelper
from morvane.optimize import portfolio_optimize
from morvane.report import PortfolioReport, analyse
from morvane.report.page import report_body
from tarnwick import riskmodel

DATE = datetime.date(2025, 6, 3)
INDEX = "000300.XSHG"
TOL = 1e-10


class FixedBenchmark(OptimizeBenchmark):
    def __init__(self, weights: dict[str, float]) -> None:
        self.weights = weights

    def get_weight(self, date: datetime.date) -> pd.Series:
        return pd.Series(self.weights)


@pytest.fixture(scope="module")
def members(small_store) -> list[str]:
    return sorted(tarnwick.index_components(INDEX, DATE))


@pytest.fixture(scope="module")
def optimised(members) -> pd.Series:
    return portfolio_optimize(members, DATE, benchmark=INDEX)


@pytest.fixture(scope="module")
def mixed(members) -> tuple[pd.Series, dict[str, float]]:
    """Random weights on part of the index, and a custom benchmark partly outside them."""
    rng = np.random.default_rng(7)
    held = members[::3]
    weights = pd.Series(rng.uniform(0.0, 1.0, len(held)), index=held)
    weights /= weights.sum()
    bench_ids = members[:4] + members[-3:]
    bench = dict(zip(bench_ids, rng.uniform(0.05, 0.3, len(bench_ids))))
    return weights, bench


def _cases(members, optimised, mixed):
    weights, bench = mixed
    return {
        "index": (optimised, INDEX, "daily", "v1"),
        "custom": (weights, FixedBenchmark(bench), CovModel.FACTOR_MODEL_MONTHLY, RiskModel.V2),
        "none": (weights, None, "quarterly", RiskModel.V1),
    }


@pytest.mark.parametrize("case", ["index", "custom", "none"])
def test_decomposition_matches_direct_computation(members, optimised, mixed, case):
    weights, benchmark, cov_model, risk_model = _cases(members, optimised, mixed)[case]
    report = analyse(weights, DATE, benchmark=benchmark, cov_model=cov_model,
                     risk_model=risk_model)  # fmt: skip
    s = report.summary

    bench_object = IndexBenchmark(benchmark) if isinstance(benchmark, str) else benchmark
    from morvane.optimize import to_enum

    helper = OptimizeHelper(sorted(weights.index), DATE, bench_object,
                            to_enum(cov_model, CovModel), to_enum(risk_model, RiskModel),
                            1.0, 1.0)  # fmt: skip
    cov = helper.get_union_cov_matrix()
    x, f, d = helper.get_factor_model(union=True)
    union = helper.union_components
    w = weights.reindex(union, fill_value=0.0).to_numpy()
    volatility = math.sqrt(w @ cov @ w)
    assert s["volatility"] == pytest.approx(volatility, abs=TOL)
    assert s["volatility_factor"] ** 2 == pytest.approx(w @ x @ f @ x.T @ w, abs=TOL)
    assert s["volatility_specific"] ** 2 == pytest.approx(d @ (w * w), abs=TOL)
    np.testing.assert_allclose(report.risk_contributions["total"], w * (cov @ w) / volatility,
                               rtol=0, atol=TOL)  # fmt: skip
    assert list(report.risk_contributions.index) == union
    assert report.risk_contributions["weight"].to_numpy() == pytest.approx(w, abs=0)

    # The identities: contributions add up to the totals; factor plus specific is the total.
    assert report.risk_contributions["total"].sum() == pytest.approx(s["volatility"], abs=TOL)
    assert report.risk_groups["total"].sum() == pytest.approx(s["volatility"], abs=TOL)
    assert s["volatility_factor"] ** 2 + s["volatility_specific"] ** 2 == pytest.approx(
        s["volatility"] ** 2, abs=TOL)  # fmt: skip
    assert report.factors["contribution"].sum() == pytest.approx(
        s["volatility_factor"] ** 2, abs=TOL)  # fmt: skip

    if benchmark is None:
        for key in ("tracking_error", "beta", "active_share"):
            assert math.isnan(s[key])
        assert report.risk_contributions["active"].isna().all()
        assert report.industries["benchmark"].isna().all()
        return
    b = helper.benchmark_weight.to_numpy()
    a = w - b
    tracking_error = math.sqrt(a @ cov @ a)
    assert s["tracking_error"] == pytest.approx(tracking_error, abs=TOL)
    assert s["beta"] == pytest.approx((w @ cov @ b) / (b @ cov @ b), abs=TOL)
    assert s["active_share"] == pytest.approx(0.5 * np.abs(a).sum(), abs=TOL)
    contributions = report.risk_contributions
    np.testing.assert_allclose(contributions["active"], a * (cov @ a) / tracking_error,
                               rtol=0, atol=TOL)  # fmt: skip
    np.testing.assert_allclose(contributions["benchmark_weight"], b, rtol=0, atol=0)
    np.testing.assert_allclose(contributions["active_weight"], a, rtol=0, atol=0)
    assert contributions["active"].sum() == pytest.approx(tracking_error, abs=TOL)
    assert report.risk_groups["active"].sum() == pytest.approx(tracking_error, abs=TOL)
    te_factor, te_specific = s["tracking_error_factor"], s["tracking_error_specific"]
    assert te_factor**2 + te_specific**2 == pytest.approx(tracking_error**2, abs=TOL)
    assert report.factors["active_contribution"].sum() + te_specific**2 == pytest.approx(
        tracking_error**2, abs=TOL)  # fmt: skip
    np.testing.assert_allclose(report.factors["active"], x.T @ a, rtol=0, atol=TOL)


def test_exposures_and_weights_by_hand(members, mixed):
    weights, bench = mixed
    holding = {members[0]: 0.5, members[1]: 0.25, "600000.XSHG": 0.25}
    report = analyse(weights, "20250603", benchmark=FixedBenchmark(bench), holding=holding)
    prev = tarnwick.get_previous_trading_date(DATE)

    industry = tarnwick.get_instrument_industry(sorted(set(weights.index) | set(bench)), "sws")
    expected = {}
    for side, values in (("portfolio", weights.to_dict()), ("benchmark", bench)):
        for order_book_id, weight in values.items():
            name = industry.get(order_book_id, "UNKNOWN")
            expected.setdefault(name, {"portfolio": 0.0, "benchmark": 0.0})[side] += weight
    table = pd.DataFrame(expected).T.sort_index()
    np.testing.assert_allclose(report.industries[["portfolio", "benchmark"]], table, atol=1e-15)
    np.testing.assert_allclose(report.industries["active"], table["portfolio"] - table["benchmark"],
                               atol=1e-15)  # fmt: skip
    assert list(report.industries.index) == list(table.index)

    exposures = riskmodel.get_style_exposures("v1", prev)
    own = exposures.reindex(weights.index).T @ weights
    theirs = exposures.reindex(list(bench)).T @ pd.Series(bench)
    np.testing.assert_allclose(report.styles["portfolio"], own[report.styles.index], atol=1e-12)
    np.testing.assert_allclose(report.styles["benchmark"], theirs[report.styles.index],
                               atol=1e-12)  # fmt: skip
    np.testing.assert_allclose(report.styles["active"], (own - theirs)[report.styles.index],
                               atol=1e-12)  # fmt: skip

    every = sorted(set(weights.index) | set(holding) | set(bench))
    now = weights.reindex(every, fill_value=0.0)
    before = pd.Series(holding).reindex(every, fill_value=0.0)
    assert report.summary["turnover"] == pytest.approx(0.5 * (now - before).abs().sum(), abs=TOL)
    assert report.summary["holdings"] == (weights >= 1e-4).sum()
    assert report.summary["top10_weight"] == pytest.approx(weights.nlargest(10).sum(), abs=TOL)
    assert report.summary["total_weight"] == pytest.approx(1.0, abs=TOL)


@pytest.mark.parametrize("classification", ["citic", "custom"])
def test_industries_follow_the_classification(mixed, classification):
    weights, _ = mixed
    if classification == "custom":
        mapping = {s: ("A" if i % 3 else "B") for i, s in enumerate(weights.index[:-1])}
        expected = weights.groupby(weights.index.map(lambda s: mapping.get(s, "UNKNOWN"))).sum()
    else:
        mapping = classification
        industry = tarnwick.get_instrument_industry(list(weights.index), "citic")
        expected = weights.groupby(industry.reindex(weights.index).fillna("UNKNOWN")).sum()
    report = analyse(weights, DATE, classification=mapping)
    pd.testing.assert_series_equal(report.industries["portfolio"], expected.sort_index(),
                                   check_names=False)  # fmt: skip


@pytest.mark.parametrize(
    "date",
    ["2025-06-03", "20250603", DATE, datetime.datetime(2025, 6, 3, 15, 0), pd.Timestamp(DATE)],
)
def test_every_date_form_gives_the_same_report(mixed, date):
    weights, _ = mixed
    report = analyse(weights, date, benchmark=INDEX)
    assert report.date == DATE
    reference = analyse(weights, DATE, benchmark=INDEX)
    pd.testing.assert_series_equal(report.summary, reference.summary)


@pytest.mark.parametrize(
    "cov_model, risk_model, classification",
    [
        ("FACTOR_MODEL_MONTHLY", "V2", "CITIC"),
        (CovModel.FACTOR_MODEL_MONTHLY, RiskModel.V2, IndustryClassification.CITIC),
        ("monthly", "V2", "citic"),
    ],
)
def test_models_and_classifications_by_member_name_or_value(mixed, cov_model, risk_model,
                                                            classification):
    weights, _ = mixed
    report = analyse(weights, DATE, benchmark=INDEX, cov_model=cov_model, risk_model=risk_model,
                     classification=classification)
    reference = analyse(weights, DATE, benchmark=INDEX, cov_model="monthly", risk_model="v2",
                        classification="citic")
    assert report.cov_model is CovModel.FACTOR_MODEL_MONTHLY and report.risk_model is RiskModel.V2
    pd.testing.assert_series_equal(report.summary, reference.summary)
    pd.testing.assert_frame_equal(report.industries, reference.industries)


def test_solve_information_is_reported(optimised):
    info = {"solver": "SCS", "status": "optimal", "solve_time": 0.25, "objective_value": 0.01,
            "binding": ["bnds"], "dropped": [], "refined": False}  # fmt: skip
    weights = optimised.copy()
    weights.attrs["morvane"] = info
    report = analyse(weights, DATE)
    assert report.solve == info
    assert report.summary[["solver", "status", "solve_time", "binding", "dropped"]].tolist() == [
        "SCS", "optimal", 0.25, 1, 0]  # fmt: skip
    assert re.search(r"solve time +0\.250 s", str(report))
    assert "Binding at the optimum: bnds" in report_body(report)
    copy = pickle.loads(pickle.dumps(report))  # reports travel between processes in batches
    pd.testing.assert_frame_equal(copy.risk_contributions, report.risk_contributions)
    assert copy.solve == info and copy.risk_model is report.risk_model
    plain = analyse(optimised, DATE)  # what the optimiser itself attached, if anything
    assert ("solver" in plain.summary.index) == (plain.solve is not None)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"weights": [0.5, 0.5]}, "must be a pandas Series"),
        ({"weights": pd.Series([0.5, np.nan], index=["000001.XSHE", "000002.XSHE"])}, "finite"),
        ({"weights": pd.Series([0.5, 0.5], index=["000001.XSHE"] * 2)}, "more than once"),
        ({"weights": pd.Series([0.5, 0.5], index=[1, 2])}, "order_book_id strings"),
        ({"weights": pd.Series(["a", "b"], index=["x", "y"])}, "must hold numbers"),
        ({"weights": pd.Series(dtype=float)}, "weights is empty"),
        ({"benchmark": 300}, "invalid benchmark 300"),
        ({"holding": {"000001.XSHE": float("inf")}}, "holding must be finite"),
        ({"date": "the third of never"}, "the third of never"),
        ({"date": 20250603}, "expect a datetime like object"),
        ({"cov_model": "weekly"}, "invalid value weekly for CovModel"),
        ({"weights": pd.Series([1.0], index=["999999.XSHE"])}, "999999.XSHE"),
    ],
)
def test_bad_arguments_raise_a_clear_error(optimised, kwargs, message):
    arguments = {"weights": optimised, "date": DATE, **kwargs}
    weights, date = arguments.pop("weights"), arguments.pop("date")
    with pytest.raises((InvalidArgument, ValueError), match=message):
        analyse(weights, date, **arguments)


def test_figures_show_the_report(optimised):
    report = analyse(optimised, DATE, benchmark=INDEX)
    figures = report.figures()
    assert list(figures) == ["industries", "styles", "risk", "holdings"]
    bars = figures["industries"].data[0]
    shown = dict(zip(bars.y, bars.x))
    assert shown == pytest.approx(report.industries["active"].to_dict(), abs=0)
    risk = {trace.name: list(trace.y) for trace in figures["risk"].data}
    shown_as = report.risk_groups.where(report.risk_groups.abs() >= 1e-9, 0.0)  # noise is 0
    assert risk == {"Volatility": list(shown_as["total"]),
                    "Tracking error": list(shown_as["active"])}  # fmt: skip
    top = report.top_holdings()
    assert list(figures["holdings"].data[0].x) == list(top["weight"][::-1])
    alone = analyse(optimised, DATE).figures()
    assert [trace.name for trace in alone["risk"].data] == ["Volatility"]


def test_page_is_self_contained(optimised, tmp_path):
    report = analyse(optimised, DATE, benchmark=INDEX)
    path = report.to_html(tmp_path / "report.html")
    text = path.read_text(encoding="utf-8")
    assert "<script src=" not in text and "cdn" not in text.lower().split("<body>")[1]
    assert all(f'id="chart-{name}"' in text for name in report.figures())
    assert f"{report.summary['tracking_error']:.2%}" in text
    beside = tmp_path / "report-holdings.csv"  # the full holdings table, beside the page
    assert isinstance(report, PortfolioReport) and sorted(tmp_path.iterdir()) == [beside, path]


def test_an_optimised_result_brings_its_solve_information(members):
    weights = portfolio_optimize(members, DATE, bnds={"*": (0, 0.05)}, benchmark=INDEX)
    report = analyse(weights, DATE, benchmark=INDEX)
    info = weights.attrs["morvane"]
    assert report.solve == info and report.summary["status"] == info["status"]
    assert report.summary["binding"] == len(info["binding"]) >= 1  # the 5% cap binds
    assert "Binding at the optimum: bnds" in report_body(report)
    assert report.summary["volatility"] > 0 and report.top_holdings()["weight"].max() <= 0.05 + 1e-8
