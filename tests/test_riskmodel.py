"""Risk-model estimation from the stored market.

The generator's true parameters are read here, to check the estimates against them; the
estimator itself never reads them.
"""

from __future__ import annotations

import shutil

import duckdb
import numpy as np
import pytest

import tarnwick
from morvane.const import STYLE_FACTORS
from tarnwick import cli, riskmodel, sample, store

VERSIONS = list(riskmodel.VERSIONS)


@pytest.mark.parametrize(
    ("version", "classification", "split"), [("v1", "sws", False), ("v2", "sws_split", True)]
)
def test_factors_are_market_industries_then_styles(small_store, version, classification, split):
    table = riskmodel.factor_table(version)
    names, kinds = list(table["factor"]), list(table["kind"])
    industries = names[1:-10]
    assert names[0] == "market" and names[-10:] == list(STYLE_FACTORS)
    assert kinds == ["market"] + ["industry"] * len(industries) + ["style"] * 10
    known = tarnwick.get_industry_names(classification)
    assert industries == [n for n in known if n in industries] and len(industries) > 25
    assert ("证券" in industries) is split and ("非银金融" in industries) is not split


@pytest.mark.parametrize("version", VERSIONS)
@pytest.mark.parametrize("cov_model", riskmodel.COV_MODELS)
def test_factor_covariance_is_annualised_and_positive_definite(small_store, version, cov_model):
    last = riskmodel.calendar_bounds()[1]
    cov = riskmodel.get_factor_covariance(version, cov_model, last)
    values = cov.to_numpy()
    assert list(cov.columns) == list(cov.index) == riskmodel.factor_names(version)
    np.testing.assert_array_equal(values, values.T)
    assert np.linalg.eigvalsh(values).min() > 0
    vol = np.sqrt(np.diag(values))
    assert 0.10 < vol[0] < 0.40, "market"
    assert np.all((vol[-10:] > 0.01) & (vol[-10:] < 0.20)), "styles"


@pytest.mark.parametrize("version", VERSIONS)
def test_shorter_half_lives_follow_the_market_faster(small_store, version):
    dates = riskmodel.covariance_dates(version, "daily", riskmodel.calendar_bounds()[1])[120::20]

    def mean_move(cov_model: str) -> float:
        vol = [riskmodel.get_factor_covariance(version, cov_model, d).iloc[0, 0] for d in dates]
        return float(np.abs(np.diff(np.log(vol))).mean())

    daily, monthly, quarterly = (mean_move(m) for m in riskmodel.COV_MODELS)
    assert daily > monthly > quarterly


def test_estimates_track_the_generated_market(small_store):
    truth = sample.generator_parameters("small")
    first, last = riskmodel.calendar_bounds()
    # v1 standardises descriptors as the generator does, so its factor returns are the same
    # quantities: slope near 1 against the drawn ones (300 stocks make them noisy).
    estimated = riskmodel.get_factor_returns("v1", first, last)
    drawn = truth["factor_returns"].reindex(estimated.index)
    for name in ["market", *STYLE_FACTORS]:
        slope = np.polyfit(drawn[name], estimated[name], 1)[0]
        assert 0.8 < slope < 1.25, name
        assert np.corrcoef(drawn[name], estimated[name])[0, 1] > 0.45, name
    for version in VERSIONS:
        vol = np.sqrt(riskmodel.get_specific_variance(version, last))
        true = truth["specific_volatility"].reindex(vol.index)
        assert np.corrcoef(vol, true)[0, 1] > 0.8
        assert 0.85 < np.median(vol / true) < 1.15


def test_riskmodel_command_reestimates_from_the_stored_market(small_store, tmp_path, monkeypatch):
    tables = {
        "factor_covariance": "risk_model, cov_model, date",
        "specific_variance": "risk_model, date, order_book_id",
        "style_exposures": "risk_model, date, order_book_id",
    }
    built = {t: store.query(f"SELECT * FROM {t} ORDER BY {k}") for t, k in tables.items()}
    copy = tmp_path / "market.duckdb"
    shutil.copyfile(small_store, copy)
    with duckdb.connect(str(copy)) as con:
        for table in riskmodel.risk_model_tables():
            con.execute(f"DROP TABLE {table}")

    def refuse(*args: object, **kwargs: object) -> None:
        raise AssertionError("the risk model read the generator")

    for name in ("generate", "generator_parameters", "_draw_factor_model", "_draw_universe"):
        monkeypatch.setattr(sample, name, refuse)
    assert cli.main(["riskmodel", "--path", str(copy)]) == 0

    monkeypatch.setenv("TARNWICK_HOME", str(tmp_path))
    store.close()
    try:
        for table, key in tables.items():
            again = store.query(f"SELECT * FROM {table} ORDER BY {key}")
            assert again.equals(built[table]), table
        meta = store.query("SELECT value FROM meta WHERE key = 'risk_model'")
        assert list(meta["value"]) == ["yes"]
    finally:
        store.close()


# --------------------------------------------------------------------------------------------
# The full sample market (python -m pytest -m slow; TARNWICK_FULL_STORE=path/market.duckdb
# reuses a built full store instead of building one, about half a minute and 2 GB)
# --------------------------------------------------------------------------------------------


# The fixture `full_store` is in conftest.py.


@pytest.mark.slow
@pytest.mark.parametrize("cov_model", riskmodel.COV_MODELS)
def test_full_market_factor_volatilities_match_the_generator(full_store, cov_model):
    """Tolerances on the annualised volatilities at the last day: market 10%, each style 25%,
    industries 20% at the median and 50% at worst (the thinnest have 20 to 40 stocks)."""
    truth = sample.generator_parameters("full")["factor_volatility"]
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("TARNWICK_HOME", str(full_store.parent))
        store.close()
        try:
            last = riskmodel.calendar_bounds()[1]
            v1 = riskmodel.get_factor_covariance("v1", cov_model, last)
            v2 = riskmodel.get_factor_covariance("v2", cov_model, last)
        finally:
            store.close()
    true = truth.reindex(v1.index)
    assert true.notna().all()
    error = np.sqrt(np.diag(v1)) / true.to_numpy() - 1.0
    styles = error[-10:]
    industries = error[1:-10]
    assert abs(error[0]) < 0.10
    assert np.abs(styles).max() < 0.25
    assert np.median(np.abs(industries)) < 0.20 and np.abs(industries).max() < 0.50
    # v2 winsorises its descriptors, so only its market factor is the generator's.
    assert abs(np.sqrt(v2.iloc[0, 0]) / truth["market"] - 1.0) < 0.10
