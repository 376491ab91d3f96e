"""Estimating a store's risk model: the whole history, or only the days an update appended.

An incremental estimation continues from the state the last one stored (the residual sums of
its last day, the exposures in force, the factor returns so far) and gives the same tables as
a full estimation over all days.  It runs when the update's first day follows the model's last
day and the factors are unchanged; anything else is estimated in full.
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Callable

import duckdb
import numpy as np

from tarnwick.build import riskdata
from tarnwick.build.estimate import Market, factor_covariances, regress, specific_variances
from tarnwick.progress import Progress
from tarnwick.reference.riskmodel import COV_MODELS, MARKET_FACTOR, STYLES, VERSIONS

__all__ = ["estimate_risk_model", "build_risk_model"]

Report = Callable[[float, str], None]
# Progress steps: the market loaded, four per version, the end.
_STEPS = 2 + 4 * len(VERSIONS)


def _continues_from(con: duckdb.DuckDBPyConnection, since: _dt.date) -> _dt.date | None:
    """The trading day before ``since`` when the stored model ends on it (with a state for
    every version), else None."""
    row = con.execute("SELECT max(date) FROM trading_dates WHERE date < ?", [since]).fetchone()
    if row is None or row[0] is None:
        return None
    tables = {r[0] for r in con.execute("SELECT table_name FROM duckdb_tables()").fetchall()}
    if not set(riskdata.TABLES) <= tables:
        return None
    versions = con.execute(
        "SELECT count(DISTINCT risk_model) FROM specific_state WHERE date = ?", [row[0]]
    ).fetchone()
    later = con.execute("SELECT count(*) FROM factor_returns WHERE date >= ?", [since]).fetchone()
    if versions[0] != len(VERSIONS) or later[0]:
        return None
    return row[0]


def _factors(market: Market, classification: str) -> list[str]:
    return [MARKET_FACTOR, *market.industries[classification][1], *STYLES]


def _same_factors(con: duckdb.DuckDBPyConnection, market: Market) -> bool:
    return all(
        riskdata.stored_factors(con, model.name) == _factors(market, model.classification)
        for model in VERSIONS.values()
    )


def _estimate(
    con: duckdb.DuckDBPyConnection, market: Market, incremental: bool, report: Callable[[str], None]
) -> None:
    for model in VERSIONS.values():
        carried = riskdata.load_carried(con, model.name, market) if incremental else None
        est = regress(market, model, carried)
        report(f"{model.name} regressions")
        if not incremental:
            riskdata.write_factors(con, model, est)
        riskdata.write_exposures(con, model, market, est)
        riskdata.write_listing_exposures(con, model, market, est)
        riskdata.write_factor_returns(con, model, market, est)
        report(f"{model.name} factor returns")
        dates, history = market.dates, est.factor_returns
        if incremental:
            past_dates, past = riskdata.load_factor_returns(
                con, model.name, est.factors, market.dates[1].astype(object)
            )
            dates = np.concatenate([past_dates, market.dates[1:]])
            history = np.concatenate([past, est.factor_returns[1:]])
        first_new = len(dates) - len(market.dates) + (1 if incremental else 0)
        for cov_model in COV_MODELS:
            vol_hl, corr_hl = model.half_lives[cov_model]
            days, cov = factor_covariances(history, vol_hl, corr_hl, first_new)
            riskdata.write_covariance(con, model, cov_model, dates[days], cov)
        report(f"{model.name} covariances")
        state, listed = None, None
        if incremental:
            state = riskdata.load_state(con, model.name, market)
            listed = riskdata.load_carried_listings(con, model.name, market)
        day, stock, value, final = specific_variances(market, est, model, state, listed)
        riskdata.write_specific(con, model, market, day, stock, value)
        riskdata.write_state(con, model, market, final)
        report(f"{model.name} specific variances")


def estimate_risk_model(
    con: duckdb.DuckDBPyConnection, since: _dt.date | None = None, progress: Report | None = None
) -> bool:
    """Estimate the risk model of the store open on ``con`` (read-write) and write its
    tables: from ``since`` on when the stored model can be continued from the day before,
    else in full.  Returns whether the estimation was incremental."""
    done = 0

    def report(label: str) -> None:
        nonlocal done
        done += 1
        if progress is not None:
            progress(min(done / _STEPS, 1.0), label)

    start = _continues_from(con, since) if since is not None else None
    market = riskdata.load_market(con, start)
    if start is not None and not _same_factors(con, market):
        start, market = None, riskdata.load_market(con, None)
    report("market loaded")
    if start is None:
        riskdata.create_tables(con)
    else:
        riskdata.delete_from(con, market.dates[1].astype(object), start)
    _estimate(con, market, start is not None, report)
    con.execute("CREATE TABLE IF NOT EXISTS meta (key VARCHAR PRIMARY KEY, value VARCHAR)")
    con.execute("INSERT OR REPLACE INTO meta VALUES ('risk_model', 'yes')")
    report("done")
    return start is not None


def build_risk_model(con: duckdb.DuckDBPyConnection, progress: bool | Report = True) -> None:
    """Estimate every risk-model version over the whole history of the store open on ``con``
    (read-write) and write the risk-model tables, replacing existing ones.  ``progress``: a
    callable receives the fraction done and a label; True shows a progress bar."""
    if callable(progress):
        estimate_risk_model(con, None, progress)
        return
    bar = Progress("risk model", total=1.0, enabled=bool(progress))
    try:
        estimate_risk_model(con, None, bar.sub(1.0))
    finally:
        bar.close()
