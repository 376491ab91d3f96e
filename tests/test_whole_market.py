"""The whole market, every trading day: new listings are covered by the risk model, and the model's
risk forecasts stay calibrated."""

from __future__ import annotations

import datetime
import shutil
import warnings
from pathlib import Path

import duckdb
import numpy as np
import pandas as pd
import pytest

import tarnwick
from morvane.const import CovModel, RiskModel
from morvane.helper import OptimizeHelper
from morvane.optimize import portfolio_optimize
from tarnwick import riskmodel, store


def _calendar() -> list[datetime.date]:
    return tarnwick.get_trading_dates("1900-01-01", "2999-12-31")


def _stocks() -> list[str]:
    return list(tarnwick.all_instruments("CS")["order_book_id"])


def _listings() -> list[tuple[str, datetime.date]]:
    """(id, listing day) of the stocks that list inside the calendar on a day that is not its
    first one and not a month end: they have no descriptors until the month's end."""
    cal = _calendar()
    month_ends = {a for a, b in zip(cal, cal[1:]) if a.month != b.month}
    frame = tarnwick.all_instruments("CS")
    out = []
    for sid, day in zip(frame["order_book_id"], frame["listed_date"]):
        listed = datetime.date.fromisoformat(day)
        if cal[0] < listed < cal[-1] and listed not in month_ends:
            out.append((sid, listed))
    return out


def _whole_market_min_variance(date: datetime.date) -> pd.Series:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the dropped ids are expected
        weights = portfolio_optimize(_stocks(), date)
    assert np.isclose(weights.sum(), 1.0) and (weights > -1e-6).all()
    return weights


def _sample_days() -> list[int]:
    """Positions in the calendar: the third day, the day after four mid-month listings, the
    last day."""
    cal = _calendar()
    after = sorted({cal.index(day) + 1 for _, day in _listings()})
    return [2, *after[:: max(len(after) // 4, 1)][:4], len(cal) - 1]


def test_whole_market_min_variance_on_sample_days(small_store: Path) -> None:
    cal = _calendar()
    for k in _sample_days():
        weights = _whole_market_min_variance(cal[k])
        listed_before = {sid for sid, day in _listings() if day == cal[k - 1]}
        assert listed_before <= set(weights.index)


@pytest.mark.slow
def test_whole_market_min_variance_on_every_day(small_store: Path) -> None:
    cal = _calendar()
    for day in cal[2:]:
        _whole_market_min_variance(day)


@pytest.mark.slow
def test_whole_market_min_variance_on_twenty_days_of_the_full_market(full_store: Path) -> None:
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("TARNWICK_HOME", str(full_store.parent))
        store.close()
        try:
            cal = _calendar()
            for k in np.linspace(2, len(cal) - 1, 20).astype(int):
                weights = _whole_market_min_variance(cal[k])
                assert len(weights) > 1000
        finally:
            store.close()


@pytest.mark.parametrize("version", list(riskmodel.VERSIONS))
def test_new_listings_are_covered_from_their_listing_day(small_store: Path, version: str) -> None:
    for sid, day in _listings()[:10]:
        exposures = riskmodel.get_style_exposures(version, day)
        specific = riskmodel.get_specific_variance(version, day)
        assert exposures.attrs["date"] < day, "before the listing's first month end"
        row = exposures.loc[sid]
        known = {"size", "non_linear_size"}
        assert (row.drop(list(known)) == 0).all() and row["size"] != 0
        assert np.isfinite(specific[sid]) and specific[sid] > 0
        assert specific.min() <= specific[sid] <= specific.max()
        previous = tarnwick.get_previous_trading_date(day)
        assert sid not in riskmodel.get_style_exposures(version, previous).index


def test_new_listing_exposures_use_nothing_from_later_days(small_store: Path,
                                                           tmp_path: Path) -> None:
    """Every market row dated after the listing day is altered in a copy whose risk model is
    then re-estimated: the exposures and specific variances of that day do not move."""
    sid, day = _listings()[len(_listings()) // 2]
    before = {v: (riskmodel.get_style_exposures(v, day), riskmodel.get_specific_variance(v, day))
              for v in riskmodel.VERSIONS}
    copy = tmp_path / "market.duckdb"
    shutil.copyfile(small_store, copy)
    with duckdb.connect(str(copy)) as con:
        for sql in ("UPDATE daily_bars SET close = close * 1.7, volume = volume * 3",
                    "UPDATE factor_values SET market_cap_3 = market_cap_3 * 0.2",
                    "UPDATE style_descriptors SET size = size + 5, beta = -beta"):
            con.execute(sql + " WHERE date > ?", [day])
    riskmodel.rebuild_risk_model(copy, progress=False)
    home = store.store_path().parent
    try:
        with pytest.MonkeyPatch.context() as mp:
            mp.setenv("TARNWICK_HOME", str(tmp_path))
            store.close()
            for v, (exposures, specific) in before.items():
                again = riskmodel.get_style_exposures(v, day)
                assert sid in again.index and again.equals(exposures)
                assert riskmodel.get_specific_variance(v, day).equals(specific)
    finally:
        store.close()
    assert store.store_path().parent == home


def _bias_statistic(days: list[datetime.date], portfolios: int, seed: int = 0) -> float:
    """Standard deviation of the daily returns of random long-only portfolios of the whole
    market, each divided by its forecast daily volatility: 1 for a calibrated model."""
    rng = np.random.default_rng(seed)
    frame = tarnwick.all_instruments("CS")
    z = []
    for day in days:
        text = day.isoformat()
        tradeable = (frame["listed_date"] < text) & (
            (frame["de_listed_date"] == "0000-00-00") | (frame["de_listed_date"] > text))
        universe = sorted(frame["order_book_id"][tradeable])
        helper = OptimizeHelper(universe, day, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1,
                                1.0, 1.0)
        returns = tarnwick.get_price_change_rate(universe, day, day).iloc[0]
        returns = returns.reindex(universe).to_numpy()
        weights = rng.random((portfolios, len(universe))) * (
            rng.random((portfolios, len(universe))) < 0.1)
        weights[:, ~np.isfinite(returns)] = 0.0
        weights /= weights.sum(axis=1, keepdims=True)
        cov = helper.get_cov_matrix()
        forecast = np.sqrt(np.einsum("pi,ij,pj->p", weights, cov, weights) / 252)
        z.append(weights @ np.nan_to_num(returns) / forecast)
    return float(np.std(np.concatenate(z)))


@pytest.mark.slow
def test_risk_forecasts_are_calibrated(small_store: Path) -> None:
    # Random portfolios move mostly with the market, so a day counts about once: the statistic
    # needs a few hundred days to be known to within a few percent.
    cal = _calendar()
    assert 0.9 < _bias_statistic(cal[60::2], portfolios=40) < 1.1
