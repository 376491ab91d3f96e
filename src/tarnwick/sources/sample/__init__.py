"""Deterministic generator of the sample A-share market.

Everything is drawn from ``numpy.random.default_rng`` streams spawned from one seed, so a
(size, seed) pair always produces the same market.  Daily stock returns follow a factor model

    r_it = f_market_t + f_industry(i),t + sum_k x_ik,t f_k,t + e_it

where ``x`` are the style exposures obtained by :func:`standardise` from the raw descriptors
of the previous month end (the same descriptors that end up in ``style_descriptors``).  The
true parameters of that model are available from :func:`generator_parameters`; nothing in the
store depends on them except through the simulated prices.

:func:`generate` runs the steps in order: the universe (``universe``), the true factor
returns, events and specific returns, the price simulation (``simulate``), indices and funds
(``indices``), and the tables (``tables``).
"""

from __future__ import annotations

from collections.abc import Callable

import numpy as np
import pandas as pd

from tarnwick.reference import STYLE_NAMES
from tarnwick.reference.calendar import trading_days
from tarnwick.reference.industries import (
    CITIC_INDUSTRIES,
    NON_BANK_SPLIT,
    SWS_INDUSTRIES,
    SWS_SPLIT_INDUSTRIES,
)
from tarnwick.sources.sample import indices, simulate, tables
from tarnwick.sources.sample.config import (
    DEFAULT_SEED,
    INDEX_IDS,
    SIZES,
    MarketConfig,
    config,
    streams,
)
from tarnwick.sources.sample.tables import SampleMarket
from tarnwick.sources.sample.universe import _draw_factor_model, _draw_universe, factor_names

__all__ = [
    "SIZES",
    "DEFAULT_SEED",
    "STYLE_NAMES",
    "SWS_INDUSTRIES",
    "CITIC_INDUSTRIES",
    "NON_BANK_SPLIT",
    "SWS_SPLIT_INDUSTRIES",
    "INDEX_IDS",
    "MarketConfig",
    "SampleMarket",
    "config",
    "generate",
    "generator_parameters",
    "standardise",
    "standardise_descriptors",
]

_STREAM_NAMES = (
    "universe",
    "factors",
    "specific",
    "events",
    "descriptors",
    "volumes",
    "funds",
    "spare",
)


def standardise(values: np.ndarray, weights: np.ndarray, clip: float = 3.0) -> np.ndarray:
    """Cap-weighted standardisation of descriptor columns.

    ``values`` is (n, k), ``weights`` (n,) market caps.  Each column becomes
    ``clip((v - sum(w v) / sum(w)) / std(v), -clip, clip)`` with ``std`` the equal-weighted
    population standard deviation (ddof=0).  NaNs are ignored in the statistics and stay NaN.
    """
    v = np.asarray(values, dtype=float)
    w = np.asarray(weights, dtype=float)
    squeeze = v.ndim == 1
    if squeeze:
        v = v[:, None]
    ok = np.isfinite(v) & (np.isfinite(w) & (w > 0))[:, None]
    wv = np.where(ok, w[:, None], 0.0)
    mean = (np.where(ok, v, 0.0) * wv).sum(0) / np.maximum(wv.sum(0), 1e-300)
    cnt = np.maximum(ok.sum(0), 1)
    em = np.where(ok, v, 0.0).sum(0) / cnt
    sd = np.sqrt((np.where(ok, (v - em) ** 2, 0.0)).sum(0) / cnt)
    sd = np.where(sd > 0, sd, 1.0)
    out = np.clip((v - mean) / sd, -clip, clip)
    return out[:, 0] if squeeze else out


def standardise_descriptors(
    descriptors: pd.DataFrame, market_cap: pd.Series, clip: float = 3.0
) -> pd.DataFrame:
    """Style exposures of one date from its raw descriptors, as the generator computes them.

    ``descriptors`` is indexed by order_book_id (columns: style names), ``market_cap`` maps
    order_book_id to market cap on the descriptor date.  See :func:`standardise`.
    """
    cap = market_cap.reindex(descriptors.index).to_numpy(dtype=float)
    out = standardise(descriptors.to_numpy(dtype=float), cap, clip)
    return pd.DataFrame(out, index=descriptors.index, columns=descriptors.columns)


def generator_parameters(size: str, seed: int = DEFAULT_SEED) -> dict:
    """True parameters of the return model of the ``size`` market generated from ``seed``.

    Keys:
      * ``factor_volatility``: annualised volatility by factor ('market', each SWS industry
        name, each style name), a Series;
      * ``factor_covariance``: annualised factor covariance, a DataFrame over the same names;
      * ``factor_returns``: the daily factor returns drawn (index: trading dates from the
        second calendar day on, as the first day has no return);
      * ``specific_volatility``: annualised specific volatility by order_book_id;
      * ``industry``: the SWS industry each stock's returns load on (also for the few stocks
        the store leaves unclassified);
      * ``size``, ``seed``, ``start``, ``end``.
    """
    cfg = config(size)
    days = trading_days(cfg.start, cfg.end)
    rngs = streams(size, seed)
    uni = _draw_universe(cfg, days, rngs[0])
    cov, rets = _draw_factor_model(len(days), rngs[1])
    names = factor_names()
    ind_names = np.array([n for _, n in SWS_INDUSTRIES])
    ids = pd.Index(uni.ids, name="order_book_id")
    return {
        "size": size,
        "seed": int(seed),
        "start": days[0].astype(object),
        "end": days[-1].astype(object),
        "factor_volatility": pd.Series(np.sqrt(np.diag(cov)), index=names, name="volatility"),
        "factor_covariance": pd.DataFrame(cov, index=names, columns=names),
        "factor_returns": pd.DataFrame(
            rets[1:], index=pd.DatetimeIndex(days[1:], name="date"), columns=names
        ),
        "specific_volatility": pd.Series(uni.sigma, index=ids, name="specific_volatility"),
        "industry": pd.Series(ind_names[uni.sws], index=ids, name="industry"),
    }


def generate(
    size: str = "full",
    seed: int = DEFAULT_SEED,
    progress: Callable[[float, str], None] | None = None,
) -> SampleMarket:
    """Generate the sample market of ``size`` from ``seed``.

    ``progress(fraction, label)`` is called now and then with the fraction done (0..1).
    """
    report = progress or (lambda f, s: None)
    cfg = config(size)
    days = trading_days(cfg.start, cfg.end)
    rng = dict(zip(_STREAM_NAMES, streams(size, seed)))
    uni = _draw_universe(cfg, days, rng["universe"])
    _, factor_returns = _draw_factor_model(len(days), rng["factors"])
    report(0.02, "universe")
    sim = simulate.start(days, uni, factor_returns, rng)
    simulate.draw_events(sim)
    simulate.simulate_prices(sim, report)
    composed = indices.compose_indices(sim, cfg)
    report(0.66, "indices")
    funds = indices.fund_bars(sim, composed, size)
    report(0.7, "funds")
    bars, caps = tables.bars_and_caps(sim, composed, funds)
    report(0.74, "tables")
    return SampleMarket(
        instruments=tables.instruments(sim),
        trading_dates=pd.DataFrame({"date": days}),
        daily_bars=bars,
        factor_values=caps,
        index_components=tables.compositions(sim, composed),
        industries=tables.industries(uni),
        style_descriptors=tables.descriptors(sim),
        meta={
            "size": size,
            "seed": str(int(seed)),
            "start_date": str(days[0]),
            "end_date": str(days[-1]),
            "n_stocks": str(len(uni.ids)),
        },
    )
