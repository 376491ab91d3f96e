"""Interim exposures of the stocks that list between descriptor dates."""

from __future__ import annotations

import numpy as np

from tarnwick.build.estimate.arrays import Market
from tarnwick.build.estimate.standardise import standardise
from tarnwick.reference.riskmodel import STYLES
from tarnwick.sources.descriptors import non_linear_size

__all__ = ["listing_exposures", "size_descriptors"]


def size_descriptors(cap: np.ndarray) -> np.ndarray:
    """Raw size (log market cap) and non-linear size of one cross-section: N x 2, NaN where
    the cap is unknown (all NaN with fewer than two known caps)."""
    ok = np.isfinite(cap) & (cap > 0)
    out = np.full((cap.size, 2), np.nan)
    if ok.sum() < 2:
        return out
    size = np.log(cap[ok])
    out[ok, 0] = size
    out[ok, 1] = non_linear_size(size, cap[ok], np.ones(size.size, dtype=bool))
    return out


def listing_exposures(
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
        raw = size_descriptors(cap)
        z, _ = standardise(raw, cap, treatment)
        rows = np.flatnonzero(first[stocks] == day)
        values[np.ix_(rows, size_cols)] = np.nan_to_num(z[stocks[rows]], nan=0.0)
    return first[stocks].astype(np.int64), stocks.astype(np.int64), values
