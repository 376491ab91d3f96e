"""Exponentially weighted factor covariances, one half-life pair per covariance model."""

from __future__ import annotations

import numpy as np

from tarnwick.build.estimate.ewma import ewma
from tarnwick.reference.riskmodel import ANNUALISATION

__all__ = ["factor_covariances", "CORRELATION_PRIOR_OBS"]

#: Pseudo-observations of the identity prior in the correlation shrinkage.
CORRELATION_PRIOR_OBS = 5.0


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
    w_v = ewma(m, vol_hl)
    w_c = ewma(m, corr_hl)
    days = np.flatnonzero(w_v > 0)
    days = days[days >= first_day]
    var = ewma(f * f, vol_hl)[days] / w_v[days, None]
    outer = (f[:, :, None] * f[:, None, :]).reshape(len(f), -1)
    c = (ewma(outer, corr_hl)[days] / w_c[days, None]).reshape(-1, n_fac, n_fac)
    d = np.sqrt(np.einsum("tii->ti", c))
    with np.errstate(invalid="ignore", divide="ignore"):
        corr = c / (d[:, :, None] * d[:, None, :])
    corr = np.where(np.isfinite(corr), corr, 0.0)
    eye = np.eye(n_fac)
    corr[:, eye.astype(bool)] = 1.0
    shrink = (CORRELATION_PRIOR_OBS / (CORRELATION_PRIOR_OBS + w_c[days]))[:, None, None]
    corr = (1.0 - shrink) * corr + shrink * eye
    sd = np.sqrt(var)
    cov = corr * sd[:, :, None] * sd[:, None, :] * ANNUALISATION
    cov = 0.5 * (cov + cov.transpose(0, 2, 1))
    return days, cov
