"""Cross-sectional standardisation of raw style descriptors into exposures."""

from __future__ import annotations

import warnings

import numpy as np

__all__ = ["standardise"]


def _weighted_mean(x: np.ndarray, w: np.ndarray, ok: np.ndarray) -> np.ndarray:
    wx = np.where(ok, x * w[:, None], 0.0).sum(axis=0)
    ws = np.where(ok, w[:, None], 0.0).sum(axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        return wx / ws


def standardise(raw: np.ndarray, cap: np.ndarray, treatment: str) -> tuple[np.ndarray, np.ndarray]:
    """Standardise one descriptor cross-section (N x S) with ``treatment`` ("clip" or "mad",
    see ``VersionSpec.descriptor_treatment``).

    Returns the exposures (missing values of a present stock become 0, the cap-weighted mean;
    NaN rows for stocks without any descriptor) and the mask of stocks with at least one
    descriptor.
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
