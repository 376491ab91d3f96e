"""Factor risk model estimated from the stored market.

The model is ``r = X f + e``: a market factor (exposure 1 for every stock), one-hot industry
factors and ten style factors.  For each risk-model version the estimator

1. standardises the raw style descriptors cross-sectionally at every descriptor date,
2. runs one weighted cross-sectional regression per trading day (weights: the square root of
   the previous day's market cap) with the constraint that the cap-weighted industry factor
   returns sum to zero,
3. estimates exponentially weighted factor covariances, one half-life pair (volatility,
   correlation) per covariance model,
4. estimates specific variances from the regression residuals (exponentially weighted, shrunk
   towards a cross-sectional prior, floored).

Covariances and specific variances are annualised (x252).  The tables written and the read
functions are described in ``docs/riskmodel.md``.  Every read function takes a date and reads
nothing stamped after it.
"""

from __future__ import annotations

import datetime as _dt
import os
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pandas as pd

from tarnwick.sample import STYLE_NAMES

__all__ = [
    "ANNUALISATION",
    "MARKET_FACTOR",
    "STYLES",
    "VERSIONS",
    "VersionSpec",
    "build_risk_model",
    "rebuild_risk_model",
    "risk_model_tables",
    "factor_names",
    "factor_table",
    "get_style_exposures",
    "get_factor_covariance",
    "get_specific_variance",
    "get_factor_returns",
    "covariance_dates",
    "calendar_bounds",
]

#: Trading days per year: covariances and specific variances are multiplied by it.
ANNUALISATION = 252
#: Name of the factor every stock has exposure 1 to.
MARKET_FACTOR = "market"
#: The style factors, in storage order (the columns of ``style_descriptors``).
STYLES: tuple[str, ...] = tuple(STYLE_NAMES)
COV_MODELS: tuple[str, ...] = ("daily", "monthly", "quarterly")

# Pseudo-observations of the prior in the specific-variance and correlation shrinkage.
_SPECIFIC_PRIOR_OBS = 10.0
_CORRELATION_PRIOR_OBS = 5.0
# Lowest annualised specific volatility the model reports.
_SPECIFIC_VOL_FLOOR = 0.05
# A day's regression needs at least this many stocks beyond the number of factors.
_MIN_EXTRA_OBS = 10


@dataclass(frozen=True)
class VersionSpec:
    """How one risk-model version is estimated."""

    name: str
    #: Industry classification of the industry factors (a value of ``industries.classification``).
    classification: str
    #: "clip": (x - cap-weighted mean) / equal-weighted std, clipped to +-3.
    #: "mad": winsorised to median +- 3 * 1.4826 * MAD, then (x - cap-weighted mean) /
    #: equal-weighted std, without a further clip.
    descriptor_treatment: str
    #: Covariance model -> (volatility half-life, correlation half-life), in trading days.
    half_lives: dict[str, tuple[float, float]] = field(default_factory=dict)
    #: Half-life of the exponentially weighted squared residuals, in trading days.
    specific_half_life: float = 63.0
    #: "median": shrink towards the cross-sectional median; "size": towards the cap-weighted
    #: mean of the stock's market-cap decile.
    specific_prior: str = "median"


VERSIONS: dict[str, VersionSpec] = {
    "v1": VersionSpec(
        name="v1",
        classification="sws",
        descriptor_treatment="clip",
        half_lives={"daily": (42.0, 126.0), "monthly": (90.0, 252.0), "quarterly": (252.0, 504.0)},
        specific_half_life=63.0,
        specific_prior="median",
    ),
    "v2": VersionSpec(
        name="v2",
        classification="sws_split",
        descriptor_treatment="mad",
        half_lives={"daily": (21.0, 84.0), "monthly": (63.0, 168.0), "quarterly": (126.0, 378.0)},
        specific_half_life=42.0,
        specific_prior="size",
    ),
}

_TABLES = ("risk_factors", "style_exposures", "listing_exposures", "factor_returns",
           "factor_covariance", "specific_variance")


def risk_model_tables() -> tuple[str, ...]:
    """Names of the tables this module writes."""
    return _TABLES


# --------------------------------------------------------------------------------------------
# Loading the market into dense arrays
# --------------------------------------------------------------------------------------------


@dataclass
class _Market:
    dates: np.ndarray  # (T,) datetime64[D]
    ids: np.ndarray  # (N,) str, sorted
    listed_from: np.ndarray  # (N,) datetime64[D]
    listed_to: np.ndarray  # (N,) datetime64[D], exclusive; far future while listed
    returns: np.ndarray  # (T, N) daily total returns, NaN when missing or suspended
    cap_before: np.ndarray  # (T, N) market cap of the previous known day (regression weight)
    cap: np.ndarray  # (T, N) market cap on the day, forward-filled
    desc_days: np.ndarray  # (D,) day indices of the descriptor dates
    descriptors: np.ndarray  # (D, N, S) raw descriptors, NaN when missing
    industries: dict[str, tuple[np.ndarray, list[str]]]  # classification -> (codes, names)


def _parse_listing(values: Sequence[object], missing: str) -> np.ndarray:
    out = np.empty(len(values), dtype="datetime64[D]")
    for i, v in enumerate(values):
        text = str(v) if v is not None else ""
        if not text or text.startswith("0000"):
            out[i] = np.datetime64(missing)
        else:
            out[i] = np.datetime64(text[:10])
    return out


def _load_market(con) -> _Market:
    con.execute(
        "CREATE OR REPLACE TEMP TABLE _rm_stock AS SELECT order_book_id, "
        "(row_number() OVER (ORDER BY order_book_id) - 1)::INTEGER AS si, listed_date, "
        "de_listed_date FROM instruments WHERE type = 'CS'"
    )
    con.execute(
        "CREATE OR REPLACE TEMP TABLE _rm_day AS SELECT CAST(date AS DATE) AS date, "
        "(row_number() OVER (ORDER BY date) - 1)::INTEGER AS di FROM trading_dates"
    )
    stocks = con.execute(
        "SELECT order_book_id, listed_date, de_listed_date FROM _rm_stock ORDER BY si"
    ).fetchnumpy()
    ids = np.asarray(stocks["order_book_id"], dtype=object).astype(str)
    dates = np.asarray(
        con.execute("SELECT date FROM _rm_day ORDER BY di").fetchnumpy()["date"]
    ).astype("datetime64[D]")
    n_days, n_stocks = len(dates), len(ids)
    if n_days < 2 or n_stocks == 0:
        raise ValueError("the store has too few trading days or stocks for a risk model")

    bars = con.execute(
        "SELECT d.di, s.si, b.close * b.adj_factor AS px, b.volume FROM daily_bars b "
        "JOIN _rm_stock s ON s.order_book_id = b.order_book_id "
        "JOIN _rm_day d ON d.date = CAST(b.date AS DATE)"
    ).fetchnumpy()
    price = np.full((n_days, n_stocks), np.nan)
    px = np.asarray(bars["px"], dtype=np.float64)
    vol = np.asarray(bars["volume"], dtype=np.float64)
    traded = np.isfinite(px) & (px > 0) & np.isfinite(vol) & (vol > 0)
    price[np.asarray(bars["di"])[traded], np.asarray(bars["si"])[traded]] = px[traded]
    del bars, px, vol, traded
    returns = np.full_like(price, np.nan)
    with np.errstate(invalid="ignore", divide="ignore"):
        returns[1:] = price[1:] / price[:-1] - 1.0
    del price

    caps = con.execute(
        "SELECT d.di, s.si, f.market_cap_3 AS cap FROM factor_values f "
        "JOIN _rm_stock s ON s.order_book_id = f.order_book_id "
        "JOIN _rm_day d ON d.date = CAST(f.date AS DATE) WHERE f.market_cap_3 > 0"
    ).fetchnumpy()
    cap = np.full((n_days, n_stocks), np.nan)
    cap[np.asarray(caps["di"]), np.asarray(caps["si"])] = np.asarray(caps["cap"], dtype=float)
    del caps
    cap = pd.DataFrame(cap).ffill().to_numpy()
    cap_before = np.full_like(cap, np.nan)
    cap_before[1:] = cap[:-1]

    cols = ", ".join(f"x.{s}" for s in STYLES)
    desc = con.execute(
        f"SELECT d.di, s.si, {cols} FROM style_descriptors x "
        "JOIN _rm_stock s ON s.order_book_id = x.order_book_id "
        "JOIN _rm_day d ON d.date = CAST(x.date AS DATE)"
    ).fetchnumpy()
    desc_di = np.asarray(desc["di"])
    desc_days = np.unique(desc_di)
    slot = np.searchsorted(desc_days, desc_di)
    descriptors = np.full((len(desc_days), n_stocks, len(STYLES)), np.nan)
    for j, s in enumerate(STYLES):
        descriptors[slot, np.asarray(desc["si"]), j] = np.asarray(desc[s], dtype=float)
    del desc

    industries: dict[str, tuple[np.ndarray, list[str]]] = {}
    for classification in sorted({v.classification for v in VERSIONS.values()}):
        rows = con.execute(
            "SELECT s.si, i.industry_code, i.industry_name FROM industries i "
            "JOIN _rm_stock s ON s.order_book_id = i.order_book_id "
            "WHERE i.classification = ?",
            [classification],
        ).fetchnumpy()
        codes_text = np.asarray(rows["industry_code"], dtype=object).astype(str)
        names_text = np.asarray(rows["industry_name"], dtype=object).astype(str)
        order = sorted(set(zip(codes_text, names_text)))
        names = []
        position: dict[str, int] = {}
        for _, name in order:
            if name not in position:
                position[name] = len(names)
                names.append(str(name))  # a plain str: older DuckDB refuses numpy strings
        codes = np.full(n_stocks, -1, dtype=np.int64)
        codes[np.asarray(rows["si"])] = [position[n] for n in names_text]
        industries[classification] = (codes, names)

    return _Market(
        dates=dates,
        ids=ids,
        listed_from=_parse_listing(list(stocks["listed_date"]), "1900-01-01"),
        listed_to=_parse_listing(list(stocks["de_listed_date"]), "2999-12-31"),
        returns=returns,
        cap_before=cap_before,
        cap=cap,
        desc_days=desc_days,
        descriptors=descriptors,
        industries=industries,
    )


# --------------------------------------------------------------------------------------------
# Estimation
# --------------------------------------------------------------------------------------------


def _weighted_mean(x: np.ndarray, w: np.ndarray, ok: np.ndarray) -> np.ndarray:
    wx = np.where(ok, x * w[:, None], 0.0).sum(axis=0)
    ws = np.where(ok, w[:, None], 0.0).sum(axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        return wx / ws


def _standardise(raw: np.ndarray, cap: np.ndarray, treatment: str) -> tuple[np.ndarray, np.ndarray]:
    """Standardise one descriptor cross-section (N x S).

    Returns the exposures (missing values of a present stock become 0, the cap-weighted mean)
    and the mask of stocks with at least one descriptor.
    """
    present = np.isfinite(raw).any(axis=1)
    x = raw.copy()
    ok = np.isfinite(x) & present[:, None]
    if treatment == "mad":
        med = np.nanmedian(np.where(ok, x, np.nan), axis=0)
        mad = np.nanmedian(np.abs(np.where(ok, x, np.nan) - med), axis=0) * 1.4826
        x = np.clip(x, med - 3.0 * mad, med + 3.0 * mad)
    w = np.where(np.isfinite(cap) & (cap > 0), cap, 0.0)
    if not (w[present] > 0).any():
        w = present.astype(float)
    mean = _weighted_mean(x, w, ok)
    dev = np.where(ok, x - mean, np.nan)
    count = ok.sum(axis=0)
    ew_mean = np.nanmean(np.where(ok, x, np.nan), axis=0)
    sq_dev = np.nansum(np.where(ok, (x - ew_mean) ** 2, np.nan), axis=0)
    std = np.sqrt(sq_dev / np.maximum(count - 1, 1))
    std = np.where(std > 0, std, 1.0)
    z = dev / std
    if treatment == "clip":
        z = np.clip(z, -3.0, 3.0)
    z = np.where(ok, z, 0.0)
    z[~present] = np.nan
    # Stored as FLOAT: estimate with exactly the values the helper will read back.
    return z.astype(np.float32).astype(np.float64), present


@dataclass
class _Estimate:
    factors: list[str]
    kinds: list[str]
    exposures: np.ndarray  # (D, N, S), NaN rows for absent stocks
    present: np.ndarray  # (D, N) bool
    factor_returns: np.ndarray  # (T, K), NaN on days without a regression
    residuals: np.ndarray  # (T, N)
    listing_days: np.ndarray  # (L,) day index of each interim exposure row (the listing day)
    listing_stocks: np.ndarray  # (L,) stock index of each interim exposure row
    listing_exposures: np.ndarray  # (L, S)


def _solve_day(
    y: np.ndarray, cap: np.ndarray, ind: np.ndarray, styles: np.ndarray, n_ind: int
) -> tuple[np.ndarray, np.ndarray]:
    """One day's weighted cross-sectional regression.

    Minimises ``sum_i sqrt(cap_i) (y_i - f_market - f_industry(i) - styles_i . f_style)^2``
    subject to ``sum_j cap_j f_j = 0`` over the industries present that day (cap_j: the
    industry's total cap), solved through the normal equations with one Lagrange multiplier.
    The dummy columns are one-hot, so their blocks of the normal equations are sums per
    industry: nothing here is an n-by-k matrix product, and no multithreaded linear algebra
    runs per day.  Returns (factor returns: market, every industry, styles; residuals).
    """
    n_sty = styles.shape[1]
    w = np.sqrt(cap)
    has = ind >= 0
    ind_h = ind[has]
    ind_w = np.bincount(ind_h, weights=w[has], minlength=n_ind)
    ind_cap = np.bincount(ind_h, weights=cap[has], minlength=n_ind)
    active = np.flatnonzero(ind_cap > 0)
    a = active.size
    ws = styles * w[:, None]
    wy = w * y
    ind_ws = np.empty((n_ind, n_sty))
    for j in range(n_sty):
        ind_ws[:, j] = np.bincount(ind_h, weights=ws[has, j], minlength=n_ind)

    p = 1 + a + n_sty
    lhs = np.zeros((p + 1, p + 1))
    rhs = np.zeros(p + 1)
    st = slice(1 + a, p)
    lhs[0, 0] = w.sum()
    lhs[0, 1 : 1 + a] = lhs[1 : 1 + a, 0] = ind_w[active]
    lhs[1 + np.arange(a), 1 + np.arange(a)] = ind_w[active]
    lhs[0, st] = lhs[st, 0] = ws.sum(axis=0)
    lhs[1 : 1 + a, st] = ind_ws[active]
    lhs[st, 1 : 1 + a] = ind_ws[active].T
    lhs[st, st] = np.einsum("ni,nj->ij", ws, styles)
    if a:
        # The constraint row, scaled to weights that sum to one.
        lhs[p, 1 : 1 + a] = lhs[1 : 1 + a, p] = ind_cap[active] / ind_cap[active].sum()
    rhs[0] = wy.sum()
    rhs[1 : 1 + a] = np.bincount(ind_h, weights=wy[has], minlength=n_ind)[active]
    rhs[st] = np.einsum("ni,n->i", styles, wy)
    if a == 0:
        lhs[p, p] = 1.0  # no industry that day: the multiplier is a free dummy
    try:
        theta = np.linalg.solve(lhs, rhs)
    except np.linalg.LinAlgError:
        theta = np.linalg.lstsq(lhs, rhs, rcond=None)[0]

    f = np.zeros(1 + n_ind + n_sty)
    f[0] = theta[0]
    f[1 + active] = theta[1 : 1 + a]
    f[1 + n_ind :] = theta[st]
    fitted = f[0] + np.einsum("ni,i->n", styles, f[1 + n_ind :])
    fitted[has] += f[1 + ind_h]
    return f, y - fitted


def _regress(market: _Market, version_spec: VersionSpec) -> _Estimate:
    codes, names = market.industries[version_spec.classification]
    n_ind, n_sty = len(names), len(STYLES)
    n_days, n_stocks = market.returns.shape
    n_fac = 1 + n_ind + n_sty

    exposures = np.empty_like(market.descriptors)
    present = np.zeros((len(market.desc_days), n_stocks), dtype=bool)
    for k, day in enumerate(market.desc_days):
        exposures[k], present[k] = _standardise(
            market.descriptors[k], market.cap[day], version_spec.descriptor_treatment
        )

    # Exposures in force for the return of day t: the last descriptor date strictly before t.
    slot_before = np.searchsorted(market.desc_days, np.arange(n_days), side="left") - 1
    factor_returns = np.full((n_days, n_fac), np.nan)
    residuals = np.full((n_days, n_stocks), np.nan)
    for t in range(1, n_days):
        k = slot_before[t]
        if k < 0:
            continue
        cap = market.cap_before[t]
        y_all = market.returns[t]
        valid = present[k] & np.isfinite(y_all) & np.isfinite(cap) & (cap > 0)
        idx = np.flatnonzero(valid)
        if idx.size < n_fac + _MIN_EXTRA_OBS:
            continue
        f, e = _solve_day(y_all[idx], cap[idx], codes[idx], exposures[k][idx], n_ind)
        factor_returns[t] = f
        residuals[t, idx] = e

    factors = [MARKET_FACTOR, *names, *STYLES]
    kinds = ["market"] + ["industry"] * n_ind + ["style"] * n_sty
    days, stocks, values = _listing_exposures(market, present, version_spec.descriptor_treatment)
    return _Estimate(factors, kinds, exposures, present, factor_returns, residuals,
                     days, stocks, values)


def _size_descriptors(cap: np.ndarray) -> np.ndarray:
    """Raw size (log market cap) and non-linear size (the cube of standardised size,
    orthogonalised to size by cap-weighted least squares) of one cross-section: N x 2, NaN
    where the cap is unknown."""
    ok = np.isfinite(cap) & (cap > 0)
    out = np.full((cap.size, 2), np.nan)
    if ok.sum() < 2:
        return out
    w = cap[ok]
    size = np.log(w)
    mean = (w * size).sum() / w.sum()
    sd = size.std()
    s = (size - mean) / (sd if sd > 0 else 1.0)
    c = s**3
    ms, mc = (w * s).sum() / w.sum(), (w * c).sum() / w.sum()
    b = (w * (s - ms) * (c - mc)).sum() / max((w * (s - ms) ** 2).sum(), 1e-300)
    out[ok, 0] = size
    out[ok, 1] = c - mc - b * (s - ms)
    return out


def _listing_exposures(
    market: _Market, present: np.ndarray, treatment: str
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Exposures of the stocks that list after a descriptor date, valid from their listing
    day until the next descriptor date (when their own descriptors take over).

    Computed from the listing day's data only: size and non-linear size from the market
    caps of that day, standardised (and clipped or winsorised, as the version does) with the
    day's cross-section of listed stocks; every other style, which needs a history the stock
    does not have yet, sits at the cap-weighted mean, 0.  Returns (listing day indices, stock
    indices, L x S exposures).
    """
    n_days = len(market.dates)
    first = np.searchsorted(market.dates, market.listed_from, side="left")
    inside = (first < n_days) & (market.listed_from >= market.dates[0])
    inside[inside] = market.dates[first[inside]] == market.listed_from[inside]
    slot = np.searchsorted(market.desc_days, first, side="right") - 1
    stocks = np.flatnonzero(inside & (slot >= 0))
    stocks = stocks[~present[slot[stocks], stocks]]
    size_cols = [STYLES.index("size"), STYLES.index("non_linear_size")]
    values = np.zeros((stocks.size, len(STYLES)))
    for day in np.unique(first[stocks]):
        date = market.dates[day]
        listed = (market.listed_from <= date) & (market.listed_to > date)
        cap = np.where(listed, market.cap[day], np.nan)
        raw = _size_descriptors(cap)
        z, _ = _standardise(raw, cap, treatment)
        rows = np.flatnonzero(first[stocks] == day)
        values[np.ix_(rows, size_cols)] = np.nan_to_num(z[stocks[rows]], nan=0.0)
    return first[stocks].astype(np.int64), stocks.astype(np.int64), values


def _ewma(x: np.ndarray, half_life: float) -> np.ndarray:
    """Running sum_j lambda^(t-j) x_j along axis 0, lambda = 0.5 ** (1 / half_life)."""
    lam = 0.5 ** (1.0 / half_life)
    out = np.empty(x.shape, dtype=np.float64)
    acc = np.zeros(x.shape[1:], dtype=np.float64)
    for t in range(x.shape[0]):
        acc *= lam
        acc += x[t]
        out[t] = acc
    return out


def _factor_covariances(
    factor_returns: np.ndarray, vol_hl: float, corr_hl: float
) -> tuple[np.ndarray, np.ndarray]:
    """Annualised EWMA factor covariances for every day with history: (day indices, T' x K x K)."""
    seen = np.isfinite(factor_returns).all(axis=1)
    f = np.where(seen[:, None], factor_returns, 0.0)
    m = seen.astype(float)
    n_fac = f.shape[1]
    w_v = _ewma(m, vol_hl)
    w_c = _ewma(m, corr_hl)
    days = np.flatnonzero(w_v > 0)
    var = _ewma(f * f, vol_hl)[days] / w_v[days, None]
    outer = (f[:, :, None] * f[:, None, :]).reshape(len(f), -1)
    c = (_ewma(outer, corr_hl)[days] / w_c[days, None]).reshape(-1, n_fac, n_fac)
    d = np.sqrt(np.einsum("tii->ti", c))
    with np.errstate(invalid="ignore", divide="ignore"):
        corr = c / (d[:, :, None] * d[:, None, :])
    corr = np.where(np.isfinite(corr), corr, 0.0)
    eye = np.eye(n_fac)
    corr[:, eye.astype(bool)] = 1.0
    shrink = (_CORRELATION_PRIOR_OBS / (_CORRELATION_PRIOR_OBS + w_c[days]))[:, None, None]
    corr = (1.0 - shrink) * corr + shrink * eye
    sd = np.sqrt(var)
    cov = corr * sd[:, :, None] * sd[:, None, :] * ANNUALISATION
    cov = 0.5 * (cov + cov.transpose(0, 2, 1))
    return days, cov


def _specific_variances(
    market: _Market, est: _Estimate, version_spec: VersionSpec
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(day index, stock index, annualised specific variance) for every stock in the model."""
    e = est.residuals
    seen = np.isfinite(e)
    s = _ewma(np.where(seen, e * e, 0.0), version_spec.specific_half_life)
    w = _ewma(seen.astype(float), version_spec.specific_half_life)
    n_days = e.shape[0]
    slot_le = np.searchsorted(market.desc_days, np.arange(n_days), side="right") - 1
    floor = _SPECIFIC_VOL_FLOOR**2 / ANNUALISATION
    # A listing with interim exposures is in the model from its listing day to the next
    # descriptor date; without residuals yet, its variance is the prior's.
    listing_slot = np.full(e.shape[1], -1, dtype=np.int64)
    listing_day = np.full(e.shape[1], n_days, dtype=np.int64)
    listing_slot[est.listing_stocks] = slot_le[est.listing_days]
    listing_day[est.listing_stocks] = est.listing_days
    out_day, out_stock, out_value = [], [], []
    for t in range(n_days):
        k = slot_le[t]
        if k < 0:
            continue
        day = market.dates[t]
        covered = est.present[k] | ((listing_slot == k) & (listing_day <= t))
        members = covered & (market.listed_from <= day) & (market.listed_to > day)
        idx = np.flatnonzero(members)
        if idx.size == 0:
            continue
        st, wt = s[t, idx], w[t, idx]
        observed = wt > 0
        if not observed.any():
            continue
        raw = np.where(observed, st / np.where(observed, wt, 1.0), np.nan)
        if version_spec.specific_prior == "size":
            prior = _size_group_prior(raw, market.cap[t, idx], observed)
        else:
            prior = np.full(idx.size, np.median(raw[observed]))
        value = (st + _SPECIFIC_PRIOR_OBS * prior) / (wt + _SPECIFIC_PRIOR_OBS)
        value = np.maximum(value, floor) * ANNUALISATION
        out_day.append(np.full(idx.size, t, dtype=np.int32))
        out_stock.append(idx.astype(np.int32))
        out_value.append(value)
    if not out_day:
        empty = np.empty(0, dtype=np.int32)
        return empty, empty, np.empty(0)
    return np.concatenate(out_day), np.concatenate(out_stock), np.concatenate(out_value)


def _size_group_prior(raw: np.ndarray, cap: np.ndarray, observed: np.ndarray) -> np.ndarray:
    """Cap-weighted mean of the observed variances within each market-cap decile."""
    fallback = np.median(raw[observed])
    has_cap = np.isfinite(cap) & (cap > 0)
    prior = np.full(raw.size, fallback)
    if has_cap.sum() < 10:
        return prior
    ranks = np.empty(raw.size)
    ranks[has_cap] = pd.Series(cap[has_cap]).rank(pct=True).to_numpy()
    group = np.where(has_cap, np.minimum((ranks * 10).astype(np.int64), 9), -1)
    use = observed & has_cap
    num = np.bincount(group[use], weights=cap[use] * raw[use], minlength=10)
    den = np.bincount(group[use], weights=cap[use], minlength=10)
    with np.errstate(invalid="ignore", divide="ignore"):
        means = np.where(den > 0, num / den, fallback)
    prior[has_cap] = means[group[has_cap]]
    return prior


# --------------------------------------------------------------------------------------------
# Writing
# --------------------------------------------------------------------------------------------

_STYLE_COLUMNS = ", ".join(f"{s} FLOAT" for s in STYLES)
_DDL = (
    "CREATE TABLE risk_factors (risk_model VARCHAR, position INTEGER, factor VARCHAR, "
    "kind VARCHAR)",
    f"CREATE TABLE style_exposures (risk_model VARCHAR, date DATE, order_book_id VARCHAR, "
    f"{_STYLE_COLUMNS})",
    f"CREATE TABLE listing_exposures (risk_model VARCHAR, date DATE, order_book_id VARCHAR, "
    f"{_STYLE_COLUMNS})",
    "CREATE TABLE factor_returns (risk_model VARCHAR, date DATE, factor VARCHAR, value DOUBLE)",
    "CREATE TABLE factor_covariance (risk_model VARCHAR, cov_model VARCHAR, date DATE, "
    "cov DOUBLE[])",
    "CREATE TABLE specific_variance (risk_model VARCHAR, date DATE, order_book_id VARCHAR, "
    "value FLOAT)",
)


def _insert(con, table: str, frame: pd.DataFrame, select: str) -> None:
    name = f"_rm_frame_{table}"
    con.register(name, frame)
    try:
        con.execute(f"INSERT INTO {table} SELECT {select} FROM {name}")
    finally:
        con.unregister(name)


def _write_version(con, market: _Market, version_spec: VersionSpec, est: _Estimate, log) -> None:
    ids_cat = market.ids
    k_fac = len(est.factors)
    _insert(
        con,
        "risk_factors",
        pd.DataFrame({"position": np.arange(k_fac, dtype=np.int32), "factor": est.factors,
                      "kind": est.kinds}),
        f"'{version_spec.name}', position, factor, kind",
    )

    d_idx, s_idx = np.nonzero(est.present)
    frame = pd.DataFrame({
        "date": market.dates[market.desc_days[d_idx]],
        "order_book_id": pd.Categorical.from_codes(s_idx, categories=ids_cat),
    })
    values = est.exposures[d_idx, s_idx].astype(np.float32)
    for j, s in enumerate(STYLES):
        frame[s] = values[:, j]
    _insert(con, "style_exposures", frame,
            f"'{version_spec.name}', date, CAST(order_book_id AS VARCHAR), " + ", ".join(STYLES))
    frame = pd.DataFrame({
        "date": market.dates[est.listing_days],
        "order_book_id": pd.Categorical.from_codes(est.listing_stocks, categories=ids_cat),
    })
    values = est.listing_exposures.astype(np.float32)
    for j, s in enumerate(STYLES):
        frame[s] = values[:, j]
    _insert(con, "listing_exposures", frame,
            f"'{version_spec.name}', date, CAST(order_book_id AS VARCHAR), " + ", ".join(STYLES))
    log(f"{version_spec.name}: style exposures written ({len(frame)} rows)")

    days = np.flatnonzero(np.isfinite(est.factor_returns).all(axis=1))
    frame = pd.DataFrame({
        "date": np.repeat(market.dates[days], k_fac),
        "factor": pd.Categorical.from_codes(np.tile(np.arange(k_fac), days.size),
                                            categories=est.factors),
        "value": est.factor_returns[days].ravel(),
    })
    _insert(con, "factor_returns", frame,
            f"'{version_spec.name}', date, CAST(factor AS VARCHAR), value")

    iu = np.triu_indices(k_fac)
    for cov_model in COV_MODELS:
        vol_hl, corr_hl = version_spec.half_lives[cov_model]
        cov_days, cov = _factor_covariances(est.factor_returns, vol_hl, corr_hl)
        packed = cov[:, iu[0], iu[1]]
        frame = pd.DataFrame({"date": market.dates[cov_days], "cov": list(packed)})
        _insert(con, "factor_covariance", frame,
                f"'{version_spec.name}', '{cov_model}', date, cov::DOUBLE[]")
    log(f"{version_spec.name}: factor returns and covariances written")

    day, stock, value = _specific_variances(market, est, version_spec)
    frame = pd.DataFrame({
        "date": market.dates[day],
        "order_book_id": pd.Categorical.from_codes(stock, categories=ids_cat),
        "value": value.astype(np.float32),
    })
    _insert(con, "specific_variance", frame,
            f"'{version_spec.name}', date, CAST(order_book_id AS VARCHAR), value")
    log(f"{version_spec.name}: specific variances written ({len(frame)} rows)")


# Progress steps of a build: the market loaded, four per version (regressions, exposures,
# factor returns and covariances, specific variances), the end.
_BUILD_STEPS = 2 + 4 * len(VERSIONS)


def build_risk_model(con, progress: bool | Callable[[float, str], None] = True) -> None:
    """Estimate every risk-model version from the market tables of ``con`` and write the
    risk-model tables (replacing existing ones).  ``con`` is a read-write DuckDB connection.
    ``progress``: True prints one line per step on stderr, a callable receives the fraction
    done and a label (for a progress bar), False stays silent."""
    start = time.perf_counter()
    done = 0

    def log(message: str) -> None:
        nonlocal done
        done += 1
        if callable(progress):
            progress(min(done / _BUILD_STEPS, 1.0), "risk model")
        elif progress:
            print(f"[risk model {time.perf_counter() - start:6.1f}s] {message}", file=sys.stderr,
                  flush=True)

    market = _load_market(con)
    log(f"market loaded: {len(market.dates)} days x {len(market.ids)} stocks")
    for table in _TABLES:
        con.execute(f"DROP TABLE IF EXISTS {table}")
    for ddl in _DDL:
        con.execute(ddl)
    for version_spec in VERSIONS.values():
        est = _regress(market, version_spec)
        log(f"{version_spec.name}: cross-sectional regressions done")
        _write_version(con, market, version_spec, est, log)
        del est
    con.execute("DROP TABLE IF EXISTS _rm_stock")
    con.execute("DROP TABLE IF EXISTS _rm_day")
    log("done")


def rebuild_risk_model(path: str | os.PathLike[str] | None = None, progress: bool = True) -> None:
    """Re-estimate the risk model of an existing store file (the default store when ``path`` is
    None): copy it, rebuild the risk-model tables in the copy, rename the copy into place."""
    import shutil

    import duckdb

    from tarnwick import store

    target_path = Path(path).expanduser() if path is not None else store.store_path()
    target = os.fspath(target_path)
    if not os.path.isfile(target):
        raise FileNotFoundError(f"no store at {target}")
    store.remove_stale_temps(target_path)
    tmp = os.fspath(store.temp_path(target_path))
    try:
        shutil.copyfile(target, tmp)
        wal = target + ".wal"
        if os.path.exists(wal):
            shutil.copyfile(wal, tmp + ".wal")
        con = duckdb.connect(tmp)
        try:
            build_risk_model(con, progress=progress)
            has_meta = con.execute(
                "SELECT count(*) FROM information_schema.tables WHERE table_name = 'meta'"
            ).fetchone()
            if has_meta and has_meta[0]:
                con.execute("INSERT OR REPLACE INTO meta VALUES ('risk_model', 'yes')")
            con.execute("CHECKPOINT")
        finally:
            con.close()
        os.replace(tmp, target)
    finally:
        for leftover in (tmp, tmp + ".wal"):
            if os.path.exists(leftover):
                os.remove(leftover)
    reset = getattr(store, "reset_connections", None) or getattr(store, "close", None)
    if callable(reset):
        reset()


# --------------------------------------------------------------------------------------------
# Reading (every function reads nothing stamped after the date it is given)
# --------------------------------------------------------------------------------------------


def _version(risk_model: object) -> str:
    name = getattr(risk_model, "value", risk_model)
    if name not in VERSIONS:
        raise ValueError(f"unknown risk model {risk_model!r}; known: {sorted(VERSIONS)}")
    return str(name)


def _cov_model(cov_model: object) -> str:
    name = getattr(cov_model, "value", cov_model)
    if name not in COV_MODELS:
        raise ValueError(f"unknown covariance model {cov_model!r}; known: {list(COV_MODELS)}")
    return str(name)


def _query(sql: str, params: list[object]) -> pd.DataFrame:
    from tarnwick import store

    return store.query(sql, params)


def _as_date(value: object) -> _dt.date:
    if isinstance(value, _dt.datetime):
        return value.date()
    if isinstance(value, _dt.date):
        return value
    return pd.Timestamp(value).date()


def calendar_bounds() -> tuple[_dt.date, _dt.date]:
    """First and last day of the store's trading calendar."""
    frame = _query("SELECT min(date) AS first, max(date) AS last FROM trading_dates", [])
    if frame.empty or pd.isna(frame["first"].iloc[0]):
        raise LookupError("the store has an empty trading calendar")
    return _as_date(frame["first"].iloc[0]), _as_date(frame["last"].iloc[0])


def factor_table(risk_model: object) -> pd.DataFrame:
    """The factors of a version in covariance order: columns ``factor`` and ``kind``
    ("market", "industry" or "style")."""
    frame = _query(
        "SELECT factor, kind FROM risk_factors WHERE risk_model = ? ORDER BY position",
        [_version(risk_model)],
    )
    return frame.reset_index(drop=True)


def factor_names(risk_model: object) -> list[str]:
    """Factor names of a version in covariance order: market, industries, styles."""
    return list(factor_table(risk_model)["factor"])


def get_style_exposures(
    risk_model: object, date: object, order_book_ids: Iterable[str] | None = None
) -> pd.DataFrame:
    """Standardised style exposures of the last descriptor date on or before ``date``, and
    those of the stocks listed since that date up to ``date`` (see ``docs/riskmodel.md``).

    A DataFrame indexed by ``order_book_id`` (sorted) with one column per style; stocks without
    exposures on that date are absent.  ``attrs['date']`` holds the descriptor date used (None
    when there is none).
    """
    version, day = _version(risk_model), _as_date(date)
    styles = ", ".join(STYLES)
    only = " AND list_contains(?, order_book_id)" if order_book_ids is not None else ""
    ids = [list(order_book_ids)] if order_book_ids is not None else []
    # The last descriptor date's cross-section, and the stocks listed since then.
    sql = (
        "WITH snap AS (SELECT max(date) AS d FROM style_exposures "
        "WHERE risk_model = ? AND date <= ?) "
        f"SELECT 0 AS listing, date, order_book_id, {styles} FROM style_exposures "
        f"WHERE risk_model = ? AND date = (SELECT d FROM snap){only} "
        f"UNION ALL SELECT 1 AS listing, date, order_book_id, {styles} FROM listing_exposures "
        f"WHERE risk_model = ? AND date >= (SELECT d FROM snap) AND date <= ?{only}"
    )
    params: list[object] = [version, day, version, *ids, version, day, *ids]
    frame = _query(sql + " ORDER BY order_book_id", params)
    snapshots = frame["date"][frame["listing"] == 0]
    used = snapshots.iloc[0] if len(snapshots) else None
    out = frame.set_index("order_book_id")[list(STYLES)].astype(np.float64)
    out.index = out.index.astype(object)
    out.attrs["date"] = pd.Timestamp(used).date() if used is not None else None
    return out


def get_factor_covariance(risk_model: object, cov_model: object, date: object) -> pd.DataFrame:
    """Annualised factor covariance as of the close of ``date`` (factor returns up to and
    including it).  Raises ``LookupError`` when the model has no covariance for that day."""
    version, model, day = _version(risk_model), _cov_model(cov_model), _as_date(date)
    names = factor_names(version)
    frame = _query(
        "SELECT cov FROM factor_covariance WHERE risk_model = ? AND cov_model = ? AND date = ?",
        [version, model, day],
    )
    if frame.empty:
        raise LookupError(f"no {version}/{model} factor covariance on {day}")
    packed = np.asarray(frame["cov"].iloc[0], dtype=np.float64)
    k = len(names)
    if packed.size != k * (k + 1) // 2:
        raise ValueError(
            f"corrupt factor covariance on {day}: {packed.size} values for {k} factors"
        )
    cov = np.empty((k, k))
    iu = np.triu_indices(k)
    cov[iu] = packed
    cov[(iu[1], iu[0])] = packed
    return pd.DataFrame(cov, index=names, columns=names)


def get_specific_variance(
    risk_model: object, date: object, order_book_ids: Iterable[str] | None = None
) -> pd.Series:
    """Annualised specific variances as of the close of ``date``, indexed by ``order_book_id``
    (sorted); stocks without a value that day are absent."""
    version, day = _version(risk_model), _as_date(date)
    sql = "SELECT order_book_id, value FROM specific_variance WHERE risk_model = ? AND date = ?"
    params: list[object] = [version, day]
    if order_book_ids is not None:
        sql += " AND list_contains(?, order_book_id)"
        params.append(list(order_book_ids))
    frame = _query(sql + " ORDER BY order_book_id", params)
    out = pd.Series(frame["value"].to_numpy(dtype=np.float64),
                    index=pd.Index(frame["order_book_id"].astype(object), name="order_book_id"),
                    name="specific_variance")
    return out


def get_factor_returns(risk_model: object, start_date: object, end_date: object) -> pd.DataFrame:
    """Daily (not annualised) factor returns between two dates inclusive: one row per date,
    one column per factor in covariance order."""
    version = _version(risk_model)
    frame = _query(
        "SELECT date, factor, value FROM factor_returns WHERE risk_model = ? "
        "AND date >= ? AND date <= ?",
        [version, _as_date(start_date), _as_date(end_date)],
    )
    wide = frame.pivot(index="date", columns="factor", values="value")
    wide = wide.reindex(columns=factor_names(version)).sort_index()
    wide.index = pd.to_datetime(wide.index)
    wide.columns.name = None
    return wide


def covariance_dates(risk_model: object, cov_model: object, end_date: object) -> list[_dt.date]:
    """Dates up to ``end_date`` that have a factor covariance."""
    frame = _query(
        "SELECT date FROM factor_covariance WHERE risk_model = ? AND cov_model = ? AND date <= ? "
        "ORDER BY date",
        [_version(risk_model), _cov_model(cov_model), _as_date(end_date)],
    )
    return [pd.Timestamp(d).date() for d in frame["date"]]
