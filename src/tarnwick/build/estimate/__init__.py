"""Estimation of the factor risk model from dense arrays of the market.

The model is ``r = X f + e``: a market factor (exposure 1 for every stock), one-hot industry
factors and ten style factors.  For each risk-model version the estimator

1. standardises the raw style descriptors cross-sectionally at every descriptor date
   (``standardise``), and gives the stocks that list between two dates interim exposures
   (``listings``),
2. runs one weighted cross-sectional regression per trading day (weights: the square root of
   the previous day's market cap) with the constraint that the cap-weighted industry factor
   returns sum to zero (``regression``),
3. estimates exponentially weighted factor covariances, one half-life pair (volatility,
   correlation) per covariance model (``covariance``, over the sums of ``ewma``),
4. estimates specific variances from the regression residuals (exponentially weighted, shrunk
   towards a cross-sectional prior, floored: ``specific``).

Covariances and specific variances are annualised (x252).  Nothing here reads or writes the
store: ``tarnwick.build.riskdata`` loads the arrays and writes the results.  An estimation may
cover a window of days that continues an earlier one: the exponentially weighted sums then
start from that estimation's state, which gives the same numbers as one pass over all days.
The versions (and the model's constants) are defined in ``tarnwick.reference.riskmodel``.
"""

from __future__ import annotations

from tarnwick.build.estimate.arrays import Estimate, Market
from tarnwick.build.estimate.covariance import factor_covariances
from tarnwick.build.estimate.ewma import ewma
from tarnwick.build.estimate.listings import listing_exposures
from tarnwick.build.estimate.regression import regress, solve_day
from tarnwick.build.estimate.specific import SpecificState, specific_variances
from tarnwick.build.estimate.standardise import standardise

__all__ = [
    "Market",
    "Estimate",
    "SpecificState",
    "standardise",
    "listing_exposures",
    "solve_day",
    "regress",
    "ewma",
    "factor_covariances",
    "specific_variances",
]
