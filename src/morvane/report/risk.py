"""The maths of a portfolio report: one weight vector's risk under the factor model, its Euler
decomposition by stock, factor and factor group, and the report's tables.

With X the factor exposures, F the factor covariance and D the specific variances, the
covariance is ``X F X' + diag(D)``, annualised.  A stock's contribution to the volatility is
``w_i (S w)_i / sigma``, so the contributions add up to the volatility; the same holds for the
active weights and the tracking error.  A factor's contribution to a variance is
``e_k (F e)_k`` with ``e = X' w`` its exposure: the factor contributions add up to the factor
part of the variance, and factor plus specific part is the whole variance.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
import pandas as pd

from morvane.helper import OptimizeHelper
from morvane.report.model import HELD_THRESHOLD, RISK_GROUPS, TOP_HOLDINGS

__all__ = [
    "Risk",
    "factor_table",
    "group_contributions",
    "industry_table",
    "risk",
    "stock_table",
    "style_table",
    "summary_figures",
]

_NAN = float("nan")


@dataclass(frozen=True)
class Risk:
    """One weight vector's risk under ``X F X' + diag(d)``."""

    variance: float
    factor_variance: float
    specific_variance: float
    exposure: np.ndarray  # X' w
    marginal: np.ndarray  # S w
    factor_contribution: np.ndarray  # e_k (F e)_k, sums to factor_variance
    stock_contribution: np.ndarray  # w_i (S w)_i / sigma, sums to sigma

    @property
    def volatility(self) -> float:
        return math.sqrt(self.variance)


def risk(w: np.ndarray, x: np.ndarray, f: np.ndarray, d: np.ndarray) -> Risk:
    """The risk of ``w`` under ``X F X' + diag(d)``."""
    exposure = x.T @ w
    f_exposure = f @ exposure
    marginal = x @ f_exposure + d * w  # S w
    variance = max(float(w @ marginal), 0.0)
    factor_contribution = exposure * f_exposure
    sigma = math.sqrt(variance)
    stock = w * marginal / sigma if sigma > 0 else np.zeros_like(w)
    return Risk(
        variance=variance,
        factor_variance=max(float(factor_contribution.sum()), 0.0),
        specific_variance=float(d @ (w * w)),
        exposure=exposure,
        marginal=marginal,
        factor_contribution=factor_contribution,
        stock_contribution=stock,
    )


def group_contributions(risk: Optional[Risk], kinds: pd.Series) -> pd.Series:
    """Euler contributions to the volatility by factor group (they sum to the volatility); NaN
    without a weight vector."""
    if risk is None:
        return pd.Series(_NAN, index=list(RISK_GROUPS))
    by_kind = pd.Series(risk.factor_contribution, index=kinds.to_numpy()).groupby(level=0).sum()
    variance = by_kind.reindex(list(RISK_GROUPS[:-1]), fill_value=0.0)
    variance["specific"] = risk.specific_variance
    sigma = risk.volatility
    return variance / sigma if sigma > 0 else variance * 0.0


def summary_figures(stocks: int, w: np.ndarray, b: np.ndarray, portfolio: Risk,
                    relative: Optional[Risk], bench_risk: Optional[Risk], union: list[str],
                    holding: Optional[pd.Series]) -> dict[str, Any]:  # fmt: skip
    """Every summary figure but the solve information."""
    summary: dict[str, Any] = {
        "holdings": int((w >= HELD_THRESHOLD).sum()),
        "stocks": stocks,
        "total_weight": float(w.sum()),
        "top10_weight": float(np.sort(w)[::-1][:TOP_HOLDINGS].sum()),
        "volatility": portfolio.volatility,
        "volatility_factor": math.sqrt(portfolio.factor_variance),
        "volatility_specific": math.sqrt(portfolio.specific_variance),
        "tracking_error": _NAN,
        "tracking_error_factor": _NAN,
        "tracking_error_specific": _NAN,
        "beta": _NAN,
        "active_share": _NAN,
        "turnover": _NAN,
    }
    if relative is not None:
        summary["tracking_error"] = relative.volatility
        summary["tracking_error_factor"] = math.sqrt(relative.factor_variance)
        summary["tracking_error_specific"] = math.sqrt(relative.specific_variance)
        summary["active_share"] = 0.5 * float(np.abs(w - b).sum())
    if bench_risk is not None and bench_risk.variance > 0:
        summary["beta"] = float(w @ bench_risk.marginal) / bench_risk.variance  # Cov(w, b) / Var(b)
    if holding is not None:
        every = sorted(set(union) | set(holding.index))
        now = pd.Series(w, index=union).reindex(every, fill_value=0.0)
        before = holding.reindex(every, fill_value=0.0)
        summary["turnover"] = 0.5 * float(np.abs(now.to_numpy() - before.to_numpy()).sum())
    return summary


def stock_table(union: list[str], names: list[str], w: np.ndarray, b: np.ndarray,
                portfolio: Risk, relative: Optional[Risk]) -> pd.DataFrame:  # fmt: skip
    """One row per stock of ``union``: name, weights and risk contributions."""
    missing = np.full(len(union), _NAN)
    return pd.DataFrame(
        {
            "name": names,
            "weight": w,
            "benchmark_weight": b if relative else missing,
            "active_weight": w - b if relative else missing,
            "total": portfolio.stock_contribution,
            "active": relative.stock_contribution if relative else missing,
        },
        index=pd.Index(union, dtype=object, name="order_book_id"),
    )


def factor_table(kinds: pd.Series, portfolio: Risk, relative: Optional[Risk],
                 bench_risk: Optional[Risk]) -> pd.DataFrame:  # fmt: skip
    """One row per factor: exposures and contributions to the variances."""
    missing = np.full(len(kinds), _NAN)
    return pd.DataFrame(
        {
            "kind": kinds.to_numpy(),
            "portfolio": portfolio.exposure,
            "benchmark": bench_risk.exposure if bench_risk else missing,
            "active": relative.exposure if relative else missing,
            "contribution": portfolio.factor_contribution,
            "active_contribution": relative.factor_contribution if relative else missing,
        },
        index=pd.Index(kinds.index, dtype=object, name="factor"),
    )


def _relative_frame(portfolio: pd.Series, benchmark: pd.Series, has_benchmark: bool,
                    name: str) -> pd.DataFrame:  # fmt: skip
    frame = pd.DataFrame({"portfolio": portfolio, "benchmark": benchmark}).fillna(0.0)
    if not has_benchmark:
        frame["benchmark"] = _NAN
    frame["active"] = frame["portfolio"] - frame["benchmark"]
    frame.index.name = name
    return frame


def industry_table(helper: OptimizeHelper, w: np.ndarray, classification: object,
                   has_benchmark: bool) -> pd.DataFrame:  # fmt: skip
    """Portfolio, benchmark and active weight per industry, sorted by industry."""
    mapping = helper.get_industry_mapping(classification)
    portfolio = pd.Series(w, index=mapping.index).groupby(mapping.to_numpy(), sort=True).sum()
    benchmark = helper.get_benchmark_industry_weight(classification)
    frame = _relative_frame(portfolio, benchmark, has_benchmark, "industry")
    return frame.sort_index()


def style_table(helper: OptimizeHelper, w: np.ndarray, has_benchmark: bool) -> pd.DataFrame:
    """Portfolio, benchmark and active exposure per style."""
    exposure = helper.get_factor_exposure()
    portfolio = pd.Series(w @ exposure.to_numpy(), index=exposure.columns)
    return _relative_frame(portfolio, helper.get_benchmark_style(), has_benchmark, "style")
