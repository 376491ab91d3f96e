"""Style descriptors computed from daily prices, volumes and market caps alone.

Shared by the sample generator and the importer (which computes the price-based styles of a
market whose files do not give them).  Every function takes dense (days x stocks) arrays that
end on the descriptor date and uses nothing after it.
"""

from __future__ import annotations

import numpy as np

__all__ = ["non_linear_size", "weighted_stats", "price_descriptors", "WINDOWS"]

#: Trading days looked back: beta and momentum, residual volatility, liquidity, momentum lag.
WINDOWS = {"beta": 252, "residual_volatility": 63, "liquidity": 21, "momentum_lag": 21}
_MIN_OBS = 20


def weighted_stats(d: np.ndarray, active: np.ndarray, cap: np.ndarray) -> tuple:
    """Cap-weighted mean and equal-weighted population std of the columns of ``d`` over
    the ``active`` rows."""
    w = np.where(active, cap, 0.0)
    mean = (w[:, None] * d).sum(0) / w.sum()
    sd = d[active].std(0)
    return mean, np.where(sd > 0, sd, 1.0)


def non_linear_size(size: np.ndarray, cap: np.ndarray, active: np.ndarray) -> np.ndarray:
    """Cube of standardised size, orthogonalised to size by cap-weighted least squares."""
    mean, sd = weighted_stats(size[:, None], active, cap)
    s = (size - mean[0]) / sd[0]
    c = s**3
    w = np.where(active, cap, 0.0)
    sw = w.sum()
    ms, mc = (w * s).sum() / sw, (w * c).sum() / sw
    b = (w * (s - ms) * (c - mc)).sum() / max((w * (s - ms) ** 2).sum(), 1e-300)
    return c - mc - b * (s - ms)


def _beta_and_residual_vol(returns: np.ndarray, cap_before: np.ndarray) -> tuple:
    """Beta on the cap-weighted market return over the whole window and the annualised
    volatility of the residual over its last days; NaN with fewer than 20 returns."""
    ok = np.isfinite(returns) & np.isfinite(cap_before) & (cap_before > 0)
    w = np.where(ok, cap_before, 0.0)
    with np.errstate(invalid="ignore", divide="ignore"):
        market = (np.where(ok, returns, 0.0) * w).sum(1) / w.sum(1)
    seen = np.isfinite(returns) & np.isfinite(market)[:, None]
    n = seen.sum(0)
    m = np.where(seen, market[:, None], 0.0)
    r = np.where(seen, returns, 0.0)
    with np.errstate(invalid="ignore", divide="ignore"):
        mm, rm = m.sum(0) / n, r.sum(0) / n
        cov = (np.where(seen, (m - mm) * (r - rm), 0.0)).sum(0)
        var = (np.where(seen, (m - mm) ** 2, 0.0)).sum(0)
        beta = np.where((n >= _MIN_OBS) & (var > 0), cov / var, np.nan)
    tail = slice(max(returns.shape[0] - WINDOWS["residual_volatility"], 0), None)
    resid = np.where(seen[tail], r[tail] - beta * m[tail], np.nan)
    k = np.isfinite(resid).sum(0)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.nansum(resid, 0) / k
        sq = np.nansum((resid - mean) ** 2, 0) / np.maximum(k - 1, 1)
    resvol = np.where(k >= _MIN_OBS, np.sqrt(sq * 252.0), np.nan)
    return beta, resvol


def price_descriptors(
    price: np.ndarray, close: np.ndarray, volume: np.ndarray, cap: np.ndarray
) -> dict[str, np.ndarray]:
    """The price-based descriptors on the last day of the arrays (days x stocks).

    ``price``: total-return price (close x adjustment factor), NaN where the stock has no
    bar; ``close``: unadjusted close; ``volume``: shares traded; ``cap``: market cap,
    forward-filled.  Returns beta, momentum (log return from 252 to 21 days back, from the
    first price in that span), residual volatility, liquidity (log of 21-day turnover, scaled
    up when fewer days traded), size (log cap) and non-linear size, NaN where unknown.
    """
    with np.errstate(invalid="ignore", divide="ignore"):
        returns = price[1:] / price[:-1] - 1.0
        beta, resvol = _beta_and_residual_vol(returns, cap[:-1])
        lag = max(price.shape[0] - 1 - WINDOWS["momentum_lag"], 0)
        log_price = np.log(price[: lag + 1])
        first = np.argmax(np.isfinite(log_price), axis=0)
        start = log_price[first, np.arange(price.shape[1])]
        momentum = np.where(first < lag, log_price[lag] - start, np.nan)
        tail = slice(max(price.shape[0] - WINDOWS["liquidity"], 0), None)
        shares = cap[tail] / close[tail]
        traded = np.isfinite(volume[tail]) & np.isfinite(shares) & (shares > 0)
        turnover = np.where(traded, volume[tail] / np.where(traded, shares, 1.0), 0.0).sum(0)
        days = traded.sum(0)
        liquidity = np.where(turnover > 0, np.log(turnover * WINDOWS["liquidity"] / days), np.nan)
        cap_now = cap[-1]
        active = np.isfinite(cap_now) & (cap_now > 0) & np.isfinite(price[-1])
        size = np.where(active, np.log(np.where(active, cap_now, 1.0)), np.nan)
    nls = np.full(size.shape, np.nan)
    if active.any():
        nls[active] = non_linear_size(size[active], cap_now[active], np.ones(active.sum(), bool))
    return {
        "beta": beta,
        "momentum": momentum,
        "residual_volatility": resvol,
        "liquidity": liquidity,
        "size": size,
        "non_linear_size": nls,
    }
