"""The result of a return attribution: plain tables, no market-data access.

Identities (each holds to rounding, every day or over the whole period):

- every day, ``factors.sum(axis=1) + specific + costs == active``;
- over the period, ``linked_factors().sum() + linked("specific") + linked("costs")`` equals the
  cumulative active return ``(1 + portfolio).prod() - (1 + benchmark).prod()``;
- over the period, ``brinson.to_numpy().sum()`` equals the cumulative holdings-based active
  return ``(1 + returns.gross).prod() - (1 + returns.benchmark_holdings).prod()``.
"""

from __future__ import annotations

import datetime
import math
from dataclasses import dataclass, field
from typing import Any, Optional

import numpy as np
import pandas as pd

__all__ = ["Attribution", "carino_weights"]

#: The groups of the factor attribution, in display order.
GROUPS = ("market", "industry", "style", "specific", "costs", "cash")


def _carino(portfolio: float, benchmark: float) -> float:
    """Carino's k(R_p, R_b) = (ln(1 + R_p) - ln(1 + R_b)) / (R_p - R_b), and its limit
    1 / (1 + R) where the two returns are equal."""
    if portfolio == benchmark:
        return 1.0 / (1.0 + portfolio)
    return (math.log1p(portfolio) - math.log1p(benchmark)) / (portfolio - benchmark)


def carino_weights(portfolio: np.ndarray, benchmark: np.ndarray) -> np.ndarray:
    """Per period, the factor k_t / K that links additive single-period effects into parts of
    the cumulative active return (Carino 1999): sum_t (k_t / K) (R_p,t - R_b,t) equals
    prod(1 + R_p) - prod(1 + R_b) exactly, so every effect scaled by these factors adds up to it."""
    total_p = float(np.prod(1.0 + portfolio) - 1.0)
    total_b = float(np.prod(1.0 + benchmark) - 1.0)
    whole = _carino(total_p, total_b)
    return np.array([_carino(float(p), float(b)) for p, b in zip(portfolio, benchmark)]) / whole


@dataclass(frozen=True, eq=False, repr=False)
class Attribution:
    """Where a portfolio's active return came from, day by day.

    :ivar active: the daily active return (portfolio minus benchmark)
    :ivar factors: date x factor, each factor's contribution a_k(t-1) f_k(t)
    :ivar specific: the daily remainder after factors and costs, exactly
    :ivar exposures: date x factor, the active exposures at the start of each day
    :ivar brinson: industry x ``allocation``, ``selection``, ``interaction``, each linked over
        the period
    :ivar costs: the daily return lost to trading costs (0 outside a backtest)
    :ivar returns: date x ``portfolio``, ``benchmark``, ``gross`` (before costs),
        ``benchmark_holdings`` (the benchmark's weights times its stocks' returns)
    :ivar kinds: factor -> ``market``, ``industry`` or ``style``
    :ivar cash: the daily part of the market factor's contribution due to uninvested weight
    :ivar risk: per holding period: ``ex_ante`` tracking error at its start, ``realised``
        tracking error over it (annualised) and its ``days``
    """

    start: datetime.date
    end: datetime.date
    benchmark: Optional[str]
    active: pd.Series
    factors: pd.DataFrame
    specific: pd.Series
    exposures: pd.DataFrame
    brinson: pd.DataFrame
    costs: pd.Series
    returns: pd.DataFrame
    kinds: pd.Series
    cash: pd.Series
    risk: pd.DataFrame = field(default_factory=pd.DataFrame)

    def _weights(self) -> np.ndarray:
        return carino_weights(
            self.returns["portfolio"].to_numpy(), self.returns["benchmark"].to_numpy()
        )

    @property
    def cumulative_active(self) -> float:
        """prod(1 + portfolio) - prod(1 + benchmark) over the period."""
        r = self.returns
        return float(np.prod(1.0 + r["portfolio"]) - np.prod(1.0 + r["benchmark"]))

    def linked_factors(self) -> pd.Series:
        """Each factor's part of the cumulative active return (Carino-linked)."""
        return pd.Series(self._weights() @ self.factors.to_numpy(), index=self.factors.columns)

    def linked(self, name: str) -> float:
        """The linked part of ``specific``, ``costs`` or ``cash``."""
        series = {"specific": self.specific, "costs": self.costs, "cash": self.cash}[name]
        return float(self._weights() @ series.to_numpy())

    def groups(self) -> pd.Series:
        """The cumulative active return by group: market, industry, style, specific, costs and
        cash; the groups add up to ``cumulative_active``."""
        by_factor = self.linked_factors()
        kinds = self.kinds.reindex(by_factor.index)
        out = by_factor.groupby(kinds.to_numpy()).sum()
        cash = self.linked("cash")
        values = {g: float(out.get(g, 0.0)) for g in ("market", "industry", "style")}
        values["market"] -= cash  # the cash part of the market factor is shown on its own
        values.update(specific=self.linked("specific"), costs=self.linked("costs"), cash=cash)
        return pd.Series(values, name="contribution").reindex(list(GROUPS))

    def summary(self) -> pd.Series:
        """Headline figures of the period."""
        r = self.returns
        days = len(r)
        active = r["portfolio"] - r["benchmark"]
        realised = float(active.std(ddof=1) * math.sqrt(252)) if days > 1 else math.nan
        return pd.Series(
            {
                "portfolio_return": float(np.prod(1.0 + r["portfolio"]) - 1.0),
                "benchmark_return": float(np.prod(1.0 + r["benchmark"]) - 1.0),
                "active_return": self.cumulative_active,
                "realised_tracking_error": realised,
                "days": days,
            },
            dtype=object,
        )

    def __repr__(self) -> str:
        s = self.summary()
        return (
            f"<Attribution {self.start} to {self.end}, benchmark {self.benchmark or 'none'}, "
            f"active return {s['active_return']:+.2%} over {s['days']} days>"
        )

    def _repr_html_(self) -> str:
        from morvane.report.attribution_page import attribution_html

        return attribution_html(self)

    def to_dict(self) -> dict[str, Any]:
        """The tables by name (for saving them)."""
        return {
            "active": self.active,
            "factors": self.factors,
            "specific": self.specific,
            "exposures": self.exposures,
            "brinson": self.brinson,
            "costs": self.costs,
            "returns": self.returns,
            "cash": self.cash,
            "risk": self.risk,
        }
