"""Specific variances from the regression residuals: exponentially weighted, shrunk towards
a cross-sectional prior, floored; continued from a stored state when the window continues an
earlier estimation."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

from tarnwick.build.estimate.arrays import Estimate, Market
from tarnwick.build.estimate.ewma import ewma
from tarnwick.reference.riskmodel import ANNUALISATION, VersionSpec

__all__ = ["SpecificState", "specific_variances", "SPECIFIC_PRIOR_OBS", "SPECIFIC_VOL_FLOOR"]

#: Pseudo-observations of the prior in the specific-variance shrinkage.
SPECIFIC_PRIOR_OBS = 10.0
#: Lowest annualised specific volatility the model reports.
SPECIFIC_VOL_FLOOR = 0.05


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
    s = ewma(np.where(seen, e * e, 0.0), hl, None if state is None else state.sums)
    w = ewma(seen.astype(float), hl, None if state is None else state.weights)
    n_days = e.shape[0]
    final = SpecificState(s[-1].copy(), w[-1].copy())
    slot_le = np.searchsorted(market.desc_days, np.arange(n_days), side="right") - 1
    floor = SPECIFIC_VOL_FLOOR**2 / ANNUALISATION
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
        value = (st + SPECIFIC_PRIOR_OBS * prior) / (wt + SPECIFIC_PRIOR_OBS)
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
