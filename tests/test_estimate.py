"""The risk model's estimators on tiny arrays, one estimator at a time."""

from __future__ import annotations

import numpy as np
import pytest

from tarnwick.build.estimate import (
    Estimate,
    Market,
    ewma,
    factor_covariances,
    listing_exposures,
    regress,
    solve_day,
    specific_variances,
    standardise,
)
from tarnwick.build.estimate.listings import size_descriptors
from tarnwick.build.estimate.specific import SPECIFIC_PRIOR_OBS, SPECIFIC_VOL_FLOOR
from tarnwick.reference.riskmodel import ANNUALISATION, STYLES, VERSIONS
from tarnwick.sources.descriptors import non_linear_size

N_IND = 3


def _planted_industries(rng: np.random.Generator, codes: np.ndarray, cap: np.ndarray) -> np.ndarray:
    """Industry returns whose cap-weighted sum (by the industries' total caps) is zero."""
    f = rng.normal(0.0, 0.01, N_IND)
    ind_cap = np.bincount(codes[codes >= 0], weights=cap[codes >= 0], minlength=N_IND)
    return np.where(ind_cap > 0, f - (ind_cap @ f) / ind_cap.sum(), 0.0)


@pytest.mark.parametrize("n_styles", [0, 2, 5])
@pytest.mark.parametrize("empty_industry", [False, True])
def test_one_day_regression_recovers_planted_factor_returns(
    n_styles: int, empty_industry: bool
) -> None:
    rng = np.random.default_rng(n_styles + 10 * empty_industry)
    n = 40
    codes = rng.integers(0, N_IND, n)
    codes[:3] = -1  # unclassified stocks have only market and style exposure
    if empty_industry:
        codes[codes == 1] = 0
    cap = rng.uniform(1e9, 5e10, n)
    styles = rng.normal(size=(n, n_styles))
    f_ind = _planted_industries(rng, codes, cap)
    f_sty = rng.normal(0.0, 0.005, n_styles)
    y = 0.003 + styles @ f_sty + np.where(codes >= 0, f_ind[np.maximum(codes, 0)], 0.0)

    f, resid = solve_day(y, cap, codes, styles, N_IND)

    np.testing.assert_allclose(f, np.concatenate([[0.003], f_ind, f_sty]), atol=1e-12)
    np.testing.assert_allclose(resid, 0.0, atol=1e-12)
    if empty_industry:
        assert f[1 + 1] == 0.0  # an industry without members that day gets no return


def _market(n_days: int, n: int, desc_days: list[int], seed: int = 0) -> Market:
    rng = np.random.default_rng(seed)
    dates = np.datetime64("2024-01-01") + np.arange(n_days)
    cap = rng.uniform(1e9, 5e10, (n_days, n))
    cap_before = np.vstack([cap[:1], cap[:-1]])
    descriptors = rng.normal(size=(len(desc_days), n, len(STYLES)))
    codes = rng.integers(0, N_IND, n)
    names = [f"industry {k}" for k in range(N_IND)]
    return Market(
        dates=dates,
        ids=np.array([f"{i:06d}.XSHE" for i in range(n)]),
        listed_from=np.full(n, dates[0]),
        listed_to=np.full(n, np.datetime64("2100-01-01")),
        returns=np.full((n_days, n), np.nan),
        cap_before=cap_before,
        cap=cap,
        desc_days=np.array(desc_days),
        descriptors=descriptors,
        industries={"sws": (codes, names), "sws_split": (codes, names)},
    )


def test_the_regressions_recover_planted_returns_with_the_exposures_in_force() -> None:
    """Each day's return is explained by the exposures of the last descriptor date strictly
    before it; a stock without a return that day is left out of that day's regression."""
    settings = VERSIONS["v1"]
    market = _market(n_days=7, n=45, desc_days=[0, 3])
    codes = market.industries["sws"][0]
    exposures = [
        standardise(market.descriptors[k], market.cap[d], "clip")[0]
        for k, d in enumerate(market.desc_days)
    ]
    rng = np.random.default_rng(7)
    planted = np.full((7, 1 + N_IND + len(STYLES)), np.nan)
    for t in range(1, 7):
        x = exposures[0 if t <= 3 else 1]
        cap = market.cap_before[t].copy()
        if t == 2:
            cap[5] = 0.0  # stock 5 has no return on day 2: its cap is not in the constraint
        f_ind = _planted_industries(rng, codes, cap)
        f_sty = rng.normal(0.0, 0.004, len(STYLES))
        planted[t] = np.concatenate([[0.001 * t], f_ind, f_sty])
        market.returns[t] = 0.001 * t + f_ind[codes] + x @ f_sty
    market.returns[2, 5] = np.nan

    est = regress(market, settings)

    assert np.isnan(est.factor_returns[0]).all()  # no exposures before the first day
    np.testing.assert_allclose(est.factor_returns[1:], planted[1:], atol=1e-10)
    assert np.isnan(est.residuals[2, 5]) and np.isfinite(est.residuals[3, 5])
    assert est.factors[0] == "market" and est.factors[-len(STYLES) :] == list(STYLES)


def test_a_day_with_too_few_stocks_has_no_regression() -> None:
    market = _market(n_days=3, n=45, desc_days=[0])
    market.returns[1:] = 0.01
    market.returns[2, 20:] = np.nan  # 20 stocks: fewer than 14 factors + 10
    est = regress(market, VERSIONS["v1"])
    assert np.isfinite(est.factor_returns[1]).all() and np.isnan(est.factor_returns[2]).all()


@pytest.mark.parametrize("treatment", ["clip", "mad"])
def test_standardised_exposures_are_cap_centred_and_unit_scaled(treatment: str) -> None:
    rng = np.random.default_rng(3)
    n = 200
    raw = rng.uniform(-1.0, 1.0, (n, 2))  # nothing to clip or winsorise
    raw[10, 1] = np.nan  # a missing value of a present stock
    raw[11] = np.nan  # a stock without any descriptor
    cap = rng.uniform(1.0, 3.0, n)
    z, present = standardise(raw, cap, treatment)
    assert not present[11] and present[10] and np.isnan(z[11]).all()
    assert z[10, 1] == 0.0
    ok = present & np.isfinite(raw[:, 0])
    np.testing.assert_allclose(np.average(z[ok, 0], weights=cap[ok]), 0.0, atol=1e-6)
    np.testing.assert_allclose(z[ok, 0].std(ddof=1), 1.0, rtol=0.05)


@pytest.mark.parametrize("treatment, bound", [("clip", 3.0), ("mad", None)])
def test_an_outlier_is_clipped_or_winsorised(treatment: str, bound: float | None) -> None:
    rng = np.random.default_rng(4)
    raw = rng.normal(size=(100, 1))
    raw[0, 0] = 1e6
    z, _ = standardise(raw, np.ones(100), treatment)
    if bound is not None:
        assert z[0, 0] == pytest.approx(bound)
    else:
        # Winsorised before scaling: the outlier no longer inflates the others' spread.
        assert z[1:, 0].std() > 0.8 and z[0, 0] < 10.0


def test_size_descriptors_are_the_sources_non_linear_size() -> None:
    rng = np.random.default_rng(5)
    cap = rng.uniform(1e9, 1e11, 30)
    cap[[2, 7]] = [np.nan, 0.0]
    out = size_descriptors(cap)
    ok = np.isfinite(cap) & (cap > 0)
    assert np.isnan(out[~ok]).all()
    np.testing.assert_array_equal(out[ok, 0], np.log(cap[ok]))
    np.testing.assert_array_equal(
        out[ok, 1], non_linear_size(np.log(cap[ok]), cap[ok], np.ones(ok.sum(), bool))
    )
    assert np.isnan(size_descriptors(np.array([1e9, np.nan]))).all()


def test_a_stock_listed_between_descriptor_dates_gets_interim_size_exposures() -> None:
    market = _market(n_days=5, n=30, desc_days=[0])
    market.listed_from[4] = market.dates[2]
    market.descriptors[0, 4] = np.nan  # not in the first descriptor date's cross-section
    _, present = standardise(market.descriptors[0], market.cap[0], "clip")
    days, stocks, values = listing_exposures(market, present[None], "clip")
    assert list(days) == [2] and list(stocks) == [4]
    size, nls = STYLES.index("size"), STYLES.index("non_linear_size")
    others = [k for k in range(len(STYLES)) if k not in (size, nls)]
    assert np.all(values[0, others] == 0.0) and np.isfinite(values[0, [size, nls]]).all()


@pytest.mark.parametrize("shape", [(30,), (30, 4), (30, 2, 3)])
@pytest.mark.parametrize("split", [1, 7, 29])
def test_a_continued_ewma_equals_the_full_recomputation(shape: tuple[int, ...], split: int) -> None:
    x = np.random.default_rng(split).normal(size=shape)
    full = ewma(x, 10.0)
    continued = ewma(x[split:], 10.0, start=full[split])
    np.testing.assert_allclose(continued, full[split:], rtol=1e-13, atol=0.0)


def test_ewma_weights_halve_over_one_half_life() -> None:
    x = np.zeros(11)
    x[0] = 1.0
    assert ewma(x, 10.0)[10] == pytest.approx(0.5)


@pytest.mark.parametrize("first_day", [0, 5, 39])
def test_covariances_of_later_days_equal_those_of_a_call_for_all_days(first_day: int) -> None:
    returns = np.random.default_rng(1).normal(0.0, 0.01, (40, 3))
    returns[2] = np.nan  # a day without a regression
    all_days, all_cov = factor_covariances(returns, 20.0, 40.0)
    days, cov = factor_covariances(returns, 20.0, 40.0, first_day)
    assert list(days) == [d for d in all_days if d >= first_day]
    np.testing.assert_array_equal(cov, all_cov[np.isin(all_days, days)])


def test_a_single_factor_covariance_is_its_annualised_ewma_variance() -> None:
    returns = np.random.default_rng(2).normal(0.0, 0.01, (25, 1))
    days, cov = factor_covariances(returns, 8.0, 16.0)
    lam = 0.5 ** (1 / 8.0)
    weights = lam ** np.arange(24, -1, -1)
    expected = (weights * returns[:, 0] ** 2).sum() / weights.sum() * ANNUALISATION
    assert days[-1] == 24 and cov[-1, 0, 0] == pytest.approx(expected, rel=1e-12)
    assert np.all(np.linalg.eigvalsh(cov) >= -1e-18)


def _estimate(market: Market, residuals: np.ndarray) -> Estimate:
    n_days, n = residuals.shape
    return Estimate(
        factors=[],
        kinds=[],
        exposures=np.zeros((1, n, len(STYLES))),
        present=np.ones((1, n), dtype=bool),
        factor_returns=np.zeros((n_days, 0)),
        residuals=residuals,
        listing_days=np.empty(0, np.int64),
        listing_stocks=np.empty(0, np.int64),
        listing_exposures=np.empty((0, len(STYLES))),
    )


@pytest.mark.parametrize("version", ["v1", "v2"])
def test_specific_variances_continued_from_a_state_equal_one_pass(version: str) -> None:
    settings = VERSIONS[version]
    market = _market(n_days=12, n=25, desc_days=[0])
    residuals = np.random.default_rng(6).normal(0.0, 0.02, (12, 25))
    residuals[0] = np.nan
    residuals[5, :4] = np.nan
    day, stock, value, _ = specific_variances(market, _estimate(market, residuals), settings)
    split = 6
    _, _, _, state = specific_variances(
        _window(market, 0, split + 1), _estimate(market, residuals[: split + 1]), settings
    )
    later = _window(market, split, 12)
    later.desc_days = np.array([-1])  # the descriptor date before the window, carried
    d2, s2, v2, _ = specific_variances(later, _estimate(later, residuals[split:]), settings, state)
    tail = day > split
    np.testing.assert_array_equal(d2 + split, day[tail])
    np.testing.assert_array_equal(s2, stock[tail])
    np.testing.assert_allclose(v2, value[tail], rtol=1e-12)


def _window(market: Market, lo: int, hi: int) -> Market:
    return Market(
        dates=market.dates[lo:hi],
        ids=market.ids,
        listed_from=market.listed_from,
        listed_to=market.listed_to,
        returns=market.returns[lo:hi],
        cap_before=market.cap_before[lo:hi],
        cap=market.cap[lo:hi],
        desc_days=market.desc_days - lo,
        descriptors=market.descriptors,
        industries=market.industries,
    )


def test_specific_variances_are_shrunk_towards_the_median_and_floored() -> None:
    market = _market(n_days=3, n=5, desc_days=[0])
    residuals = np.full((3, 5), np.nan)
    residuals[1] = [0.0, 0.0, 0.0, 0.1, 0.2]
    day, stock, value, _ = specific_variances(market, _estimate(market, residuals), VERSIONS["v1"])
    last = day == 2
    lam = 0.5 ** (1 / VERSIONS["v1"].specific_half_life)
    sums, weight = lam * residuals[1] ** 2, lam
    prior = np.median(sums / weight)  # 0: three of five stocks had no residual
    shrunk = (sums + SPECIFIC_PRIOR_OBS * prior) / (weight + SPECIFIC_PRIOR_OBS)
    floor = SPECIFIC_VOL_FLOOR**2 / ANNUALISATION
    np.testing.assert_allclose(value[last], np.maximum(shrunk, floor) * ANNUALISATION)
    assert value[last][0] == pytest.approx(SPECIFIC_VOL_FLOOR**2)
    assert list(stock[last]) == [0, 1, 2, 3, 4]
