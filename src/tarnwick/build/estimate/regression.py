"""The daily weighted cross-sectional regressions of returns on exposures: factor returns
and residuals, with the exposures in force for each day."""

from __future__ import annotations

import numpy as np

from tarnwick.build.estimate.arrays import Estimate, Market
from tarnwick.build.estimate.listings import listing_exposures
from tarnwick.build.estimate.standardise import standardise
from tarnwick.reference.riskmodel import MARKET_FACTOR, STYLES, VersionSpec

__all__ = ["regress", "solve_day", "MIN_EXTRA_OBS"]

#: A day's regression needs at least this many stocks beyond the number of factors.
MIN_EXTRA_OBS = 10


def solve_day(
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
        exposures[k], present[k] = standardise(
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
        if idx.size < n_fac + MIN_EXTRA_OBS:
            continue
        f, e = solve_day(y_all[idx], cap[idx], codes[idx], exposures[k][idx], n_ind)
        factor_returns[t] = f
        residuals[t, idx] = e

    factors = [MARKET_FACTOR, *names, *STYLES]
    kinds = ["market"] + ["industry"] * n_ind + ["style"] * n_sty
    days, stocks, values = listing_exposures(market, present, version_spec.descriptor_treatment)
    return Estimate(
        factors, kinds, exposures, present, factor_returns, residuals, days, stocks, values
    )
