"""The data of a portfolio report: the tables and figures ``analyse`` computes, as plain pandas
values in one frozen dataclass, and what follows from them alone.  The views (``text``,
``charts``, ``page``) read it; nothing here reads the store or computes risk."""

from __future__ import annotations

import datetime
from dataclasses import dataclass, field
from typing import Any, Optional

import pandas as pd

from morvane.const import CovModel, RiskModel

__all__ = ["HELD_THRESHOLD", "RISK_GROUPS", "TOP_HOLDINGS", "ReportData"]

#: A stock counts as held when its weight is at least this.
HELD_THRESHOLD = 1e-4
#: How many of the largest weights make up the top-holdings weight.
TOP_HOLDINGS = 10
#: The factor groups of the risk decomposition, in display order.
RISK_GROUPS = ("market", "industry", "style", "specific")


@dataclass(frozen=True, eq=False)
class ReportData:
    """Risk, exposures and industry weights of one portfolio on one date.

    :ivar summary: one value per figure (see ``analyse``)
    :ivar risk_contributions: one row per stock of the portfolio or the benchmark
    :ivar factors: one row per risk-model factor
    :ivar industries: weights per industry
    :ivar styles: style exposures
    :ivar risk_groups: Euler contributions to the volatility (``total``) and to the tracking
        error (``active``) by factor group: market, industry, style and specific
    :ivar solve: the optimiser's solve information when the weights came with it, else None
    """

    date: datetime.date
    benchmark: Optional[str]
    cov_model: CovModel
    risk_model: RiskModel
    summary: pd.Series
    risk_contributions: pd.DataFrame
    factors: pd.DataFrame
    industries: pd.DataFrame
    styles: pd.DataFrame
    risk_groups: pd.DataFrame
    solve: Optional[dict[str, Any]] = field(default=None)
    #: with a holding: per stock held before or after, ``name``, ``before``, ``after``, ``trade``
    trades: Optional[pd.DataFrame] = field(default=None)

    @property
    def has_benchmark(self) -> bool:
        return self.benchmark is not None

    def top_holdings(self, count: int = TOP_HOLDINGS) -> pd.DataFrame:
        """The ``count`` largest positive weights with their names and benchmark weights."""
        frame = self.risk_contributions
        frame = frame[frame["weight"] > 0]
        return frame.sort_values("weight", ascending=False, kind="stable").head(count)
