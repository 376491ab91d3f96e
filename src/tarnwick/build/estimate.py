"""Estimation of the factor risk model from dense arrays of the market.

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

Covariances and specific variances are annualised (x252).  Nothing here reads or writes the
store: ``tarnwick.build.riskdata`` loads the arrays and writes the results.  An estimation may
cover a window of days that continues an earlier one: the exponentially weighted sums then
start from that estimation's state, which gives the same numbers as one pass over all days.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from tarnwick.reference import STYLE_NAMES

__all__ = [
    "ANNUALISATION",
    "MARKET_FACTOR",
    "STYLES",
    "COV_MODELS",
    "VERSIONS",
    "VersionSpec",
    "Market",
    "Estimate",
    "SpecificState",
    "regress",
    "factor_covariances",
    "specific_variances",
]

#: Trading days per year: covariances and specific variances are multiplied by it.
ANNUALISATION = 252
#: Name of the factor every stock has exposure 1 to.
MARKET_FACTOR = "market"
#: The style factors, in storage order (the columns of ``style_descriptors``).
STYLES: tuple[str, ...] = tuple(STYLE_NAMES)
#: Covariance models, by horizon.
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


@dataclass
class Market:
    """The stored market as dense arrays over a window of trading days (the whole calendar
    for a full estimation, the days from the one before an update for an incremental one)."""

    dates: np.ndarray  # (T,) datetime64[D]
    ids: np.ndarray  # (N,) str, sorted
    listed_from: np.ndarray  # (N,) datetime64[D]
    listed_to: np.ndarray  # (N,) datetime64[D], exclusive; far future while listed
    returns: np.ndarray  # (T, N) daily total returns, NaN when missing or suspended
    cap_before: np.ndarray  # (T, N) market cap of the previous known day (regression weight)
    cap: np.ndarray  # (T, N) market cap on the day, forward-filled
    desc_days: np.ndarray  # (D,) day indices of the descriptor dates (-1: before the window)
    descriptors: np.ndarray  # (D, N, S) raw descriptors, NaN when missing
    industries: dict[str, tuple[np.ndarray, list[str]]]  # classification -> (codes, names)





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
    with warnings.catch_warnings():
        # A style without any value (no data for it) is all NaN: its exposures become 0.
        warnings.simplefilter("ignore", RuntimeWarning)
        return _standardise_values(raw, cap, treatment)


def _standardise_values(
    raw: np.ndarray, cap: np.ndarray, treatment: str
) -> tuple[np.ndarray, np.ndarray]:
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
class Estimate:
    """One version's estimates over the window."""

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


def regress(
    market: Market,
    version_spec: VersionSpec,
    carried: tuple[np.ndarray, np.ndarray] | None = None,
) -> Estimate:
    """Exposures of the window's descriptor dates and the regressions of its days from the
    second on.  ``carried``: the (exposures, present) of the descriptor date before the window
    (slot ``desc_days == -1``), as stored by the estimation that the window continues."""
    codes, names = market.industries[version_spec.classification]
    n_ind, n_sty = len(names), len(STYLES)
    n_days, n_stocks = market.returns.shape
    n_fac = 1 + n_ind + n_sty

    exposures = np.empty_like(market.descriptors)
    present = np.zeros((len(market.desc_days), n_stocks), dtype=bool)
    for k, day in enumerate(market.desc_days):
        if day < 0 and carried is not None:
            exposures[k], present[k] = carried
            continue
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
    return Estimate(factors, kinds, exposures, present, factor_returns, residuals,
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
    market: Market, present: np.ndarray, treatment: str
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


def _ewma(x: np.ndarray, half_life: float, start: np.ndarray | None = None) -> np.ndarray:
    """Running sum_j lambda^(t-j) x_j along axis 0, lambda = 0.5 ** (1 / half_life).
    ``start``: the sum at row 0, carried from an earlier pass (row 0 of ``x`` is then not
    added again)."""
    lam = 0.5 ** (1.0 / half_life)
    out = np.empty(x.shape, dtype=np.float64)
    acc = np.zeros(x.shape[1:], dtype=np.float64)
    first = 0
    if start is not None:
        acc = np.array(start, dtype=np.float64)
        out[0] = acc
        first = 1
    for t in range(first, x.shape[0]):
        acc *= lam
        acc += x[t]
        out[t] = acc
    return out


def factor_covariances(
    factor_returns: np.ndarray, vol_hl: float, corr_hl: float, first_day: int = 0
) -> tuple[np.ndarray, np.ndarray]:
    """Annualised EWMA factor covariances for every day from ``first_day`` on with history:
    (day indices, T' x K x K).  The sums run over all days; only the days asked for are
    turned into covariances, each the same as in a call for all days."""
    seen = np.isfinite(factor_returns).all(axis=1)
    f = np.where(seen[:, None], factor_returns, 0.0)
    m = seen.astype(float)
    n_fac = f.shape[1]
    w_v = _ewma(m, vol_hl)
    w_c = _ewma(m, corr_hl)
    days = np.flatnonzero(w_v > 0)
    days = days[days >= first_day]
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


@dataclass
class SpecificState:
    """Per stock, the exponentially weighted sums of squared residuals and of observations at
    the last day of an estimation: what a later window continues from."""

    sums: np.ndarray  # (N,)
    weights: np.ndarray  # (N,)


def specific_variances(
    market: Market,
    est: Estimate,
    version_spec: VersionSpec,
    state: SpecificState | None = None,
    carried_listings: np.ndarray | None = None,
) -> tuple[np.ndarray, np.ndarray, np.ndarray, SpecificState]:
    """(day index, stock index, annualised specific variance) for every stock in the model
    on every day of the window (from its second day when ``state`` carries its first), and
    the state at its last day.  ``carried_listings``: stocks listed before the window with
    interim exposures under the carried descriptor slot."""
    e = est.residuals
    seen = np.isfinite(e)
    hl = version_spec.specific_half_life
    s = _ewma(np.where(seen, e * e, 0.0), hl, None if state is None else state.sums)
    w = _ewma(seen.astype(float), hl, None if state is None else state.weights)
    n_days = e.shape[0]
    final = SpecificState(s[-1].copy(), w[-1].copy())
    slot_le = np.searchsorted(market.desc_days, np.arange(n_days), side="right") - 1
    floor = _SPECIFIC_VOL_FLOOR**2 / ANNUALISATION
    # A listing with interim exposures is in the model from its listing day to the next
    # descriptor date; without residuals yet, its variance is the prior's.
    listing_slot = np.full(e.shape[1], -1, dtype=np.int64)
    listing_day = np.full(e.shape[1], n_days, dtype=np.int64)
    listing_slot[est.listing_stocks] = slot_le[est.listing_days]
    listing_day[est.listing_stocks] = est.listing_days
    if carried_listings is not None:
        listing_slot[carried_listings] = 0
        listing_day[carried_listings] = 0
    out_day, out_stock, out_value = [], [], []
    for t in range(0 if state is None else 1, n_days):
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
        return empty, empty, np.empty(0), final
    return np.concatenate(out_day), np.concatenate(out_stock), np.concatenate(out_value), final


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
