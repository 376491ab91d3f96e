"""The arrays the estimators take (:class:`Market`) and give (:class:`Estimate`)."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

__all__ = ["Market", "Estimate"]


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
