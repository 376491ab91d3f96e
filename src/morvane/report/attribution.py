"""Return attribution of weights held over a period, by factor and by industry.

**Factor attribution.**  On day t the active return is ``sum_k a_k(t-1) f_k(t)`` plus a specific
part, where f are the store's daily factor returns and a the active exposures at the start of the
day, ``X(t)' (w(t) - b(t))``, under the exposures the factor returns were estimated with: 1 on the
market factor, the industry dummy of the risk model's classification, and the standardised styles
of the last descriptor date strictly before t (a stock outside that cross-section, a listing since,
has style exposures 0).  w(t) are the portfolio's weights at the start of the day (after a trade
at the previous close, drifted since), b(t) the benchmark's weights known at the open.  The
specific part is the remainder, exactly; in a backtest the costs of the day's trade are a term of
their own.

**Brinson attribution** by industry (Brinson and Fachler's allocation), per day on the holdings:
allocation ``(w_j - b_j)(r_bj - R_b)``, selection ``b_j (r_pj - r_bj)``, interaction
``(w_j - b_j)(r_pj - r_bj)``; uninvested weight is a segment ``cash`` with return 0.  The days
are linked by Carino's method, so the linked parts add up to the cumulative holdings-based active
return.

Every read runs in one ``tarnwick.snapshot()``.
"""

from __future__ import annotations

import datetime
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
import pandas as pd

import tarnwick
import tarnwick.riskmodel
from morvane.coerce import to_date, to_member, to_weights
from morvane.const import CovModel, RiskModel
from morvane.exception import InvalidArgument
from morvane.report.analyse import analyse
from morvane.report.attribution_result import Attribution, carino_weights

__all__ = ["Holdings", "attribute", "decompose", "drift", "stock_returns"]

CASH = "cash"


@dataclass(frozen=True)
class Holdings:
    """What a portfolio held and earned, day by day.

    :ivar weights: date x order_book_id, the weights at the start of each day
    :ivar portfolio: the daily return of the portfolio as it was valued (costs included)
    :ivar periods: (first day, weights held from it) of each holding period, for the risk
        forecast against its realisation
    """

    weights: pd.DataFrame
    portfolio: pd.Series
    periods: list[tuple[datetime.date, pd.Series]]


def stock_returns(ids: list[str], days: list[datetime.date]) -> pd.DataFrame:
    """Daily total returns, days x ids, 0 where a stock has none (an unchanged price)."""
    if not ids:
        return pd.DataFrame(index=pd.DatetimeIndex(days), dtype=np.float64)
    table = tarnwick.get_price_change_rate(ids, days[0], days[-1])
    table = table.reindex(index=pd.DatetimeIndex(days), columns=ids)
    return table.astype(np.float64).fillna(0.0)


def drift(weights: pd.Series, returns: pd.DataFrame) -> pd.DataFrame:
    """Start-of-day weights of ``weights`` bought before the first day and held: each day's
    weights grow with the day's returns and are divided by the portfolio's growth."""
    ids = list(weights.index)
    w = weights.to_numpy(dtype=np.float64)
    r = returns.reindex(columns=ids).to_numpy(dtype=np.float64)
    invested = float(w.sum())
    rows = []
    for t in range(len(r)):
        rows.append(w)
        growth = w * (1.0 + r[t])
        total = float(growth.sum()) + (1.0 - invested)  # uninvested weight earns nothing
        w = growth / total if total > 0 else growth * 0.0
        invested = float(w.sum())
    return pd.DataFrame(rows, index=returns.index, columns=ids)


# ---------------------------------------------------------------------------------------------
# the store's exposures
# ---------------------------------------------------------------------------------------------


class _Exposures:
    """X(t) for the ids of an attribution, read once per descriptor date."""

    def __init__(self, ids: list[str], model: RiskModel, classification: str) -> None:
        table = tarnwick.riskmodel.factor_table(model.value)
        self.factors = list(table["factor"])
        self.kinds = pd.Series(list(table["kind"]), index=self.factors, name="kind")
        self.ids = ids
        self._model = model
        industry = tarnwick.get_instrument_industry(ids, classification)
        position = {f: k for k, f in enumerate(self.factors)}
        self._base = np.zeros((len(ids), len(self.factors)))
        self._base[:, 0] = 1.0  # the market factor comes first
        rows = {i: n for n, i in enumerate(ids)}
        for stock, name in industry.items():
            if name in position:
                self._base[rows[stock], position[name]] = 1.0
        listed = tarnwick.all_instruments("CS").set_index("order_book_id")["listed_date"]
        self._listed = listed.reindex(ids).fillna("0000-00-00").astype(str)
        self._styles = [position[s] for s in tarnwick.riskmodel.STYLES]
        self._cache: dict[Any, np.ndarray] = {}

    def on(self, day: datetime.date) -> np.ndarray:
        """ids x factors: the exposures that explain day ``day``'s returns."""
        before = tarnwick.get_previous_trading_date(day)
        frame = tarnwick.riskmodel.get_style_exposures(self._model.value, before)
        key = frame.attrs.get("date")
        if key in self._cache:
            return self._cache[key]
        x = self._base.copy()
        if key is not None:
            # the cross-section of the descriptor date: listings since it were not regressed
            later = (self._listed > key.isoformat()).to_numpy()
            styles = frame.reindex(self.ids).to_numpy(dtype=np.float64, copy=True)
            styles[later] = np.nan
            x[:, self._styles] = np.nan_to_num(styles, nan=0.0)
        self._cache[key] = x
        return x


def _benchmark_daily(code: Optional[str], days: list[datetime.date]) -> list[pd.Series]:
    """The benchmark's weights known at each day's open ([] without a benchmark)."""
    if code is None:
        return []
    out = []
    for day in days:
        weights = tarnwick.index_weights(code, day)
        if weights is None:
            raise InvalidArgument(f"benchmark {code!r} has no weights on {day}")
        out.append(weights.astype(np.float64))
    return out


def _matrix(daily: list[pd.Series], ids: list[str], days: int) -> np.ndarray:
    """days x ids of the daily weights (zeros without them)."""
    out = np.zeros((days, len(ids)))
    column = {i: n for n, i in enumerate(ids)}
    for t, weights in enumerate(daily):
        out[t, [column[i] for i in weights.index]] = weights.to_numpy()
    return out


# ---------------------------------------------------------------------------------------------
# the decomposition
# ---------------------------------------------------------------------------------------------


def _brinson_day(
    segments: np.ndarray, names: list[str], w: np.ndarray, b: np.ndarray, r: np.ndarray
) -> np.ndarray:
    """segments x (allocation, selection, interaction) of one day; ``segments`` numbers each
    stock's industry and the last segment is cash."""
    count = len(names)
    wj = np.bincount(segments, weights=w, minlength=count)
    bj = np.bincount(segments, weights=b, minlength=count)
    pj = np.bincount(segments, weights=w * r, minlength=count)
    qj = np.bincount(segments, weights=b * r, minlength=count)
    wj[-1], bj[-1] = 1.0 - w.sum(), max(1.0 - b.sum(), 0.0) if b.any() else 0.0
    total_b = float(qj.sum())
    r_b = np.where(bj > 0, qj / np.where(bj > 0, bj, 1.0), total_b)
    r_p = np.where(wj > 0, pj / np.where(wj > 0, wj, 1.0), r_b)
    r_p[-1] = 0.0 if wj[-1] > 0 else r_b[-1]
    return np.column_stack([(wj - bj) * (r_b - total_b), bj * (r_p - r_b), (wj - bj) * (r_p - r_b)])


def _brinson(
    ids: list[str],
    classification: str,
    w: np.ndarray,
    b: np.ndarray,
    r: np.ndarray,
    gross: np.ndarray,
    holdings_b: np.ndarray,
) -> pd.DataFrame:
    """industry x (allocation, selection, interaction), Carino-linked over the days."""
    industry = tarnwick.get_instrument_industry(ids, classification).reindex(ids)
    labels = industry.fillna("UNKNOWN").astype(str).to_numpy()
    names = sorted(set(labels)) + [CASH]
    number = {n: k for k, n in enumerate(names)}
    segments = np.array([number[x] for x in labels], dtype=np.int64)
    link = carino_weights(gross, holdings_b)
    total = np.zeros((len(names), 3))
    for t in range(len(w)):
        total += link[t] * _brinson_day(segments, names, w[t], b[t], r[t])
    frame = pd.DataFrame(
        total,
        index=pd.Index(names, name="industry"),
        columns=["allocation", "selection", "interaction"],
    )
    keep = (frame.abs().sum(axis=1) > 0) | (frame.index != CASH)
    return frame[keep]


def _risk(
    holdings: Holdings, active: pd.Series, benchmark: Optional[str], cov: CovModel, model: RiskModel
) -> pd.DataFrame:
    """Per holding period: ex-ante tracking error at its start (volatility without a
    benchmark) against the realised one over its days, both annualised."""
    rows = []
    starts = [pd.Timestamp(d) for d, _ in holdings.periods] + [None]
    key = "tracking_error" if benchmark is not None else "volatility"
    for (day, weights), following in zip(holdings.periods, starts[1:]):
        held = weights[weights != 0]
        span = active[active.index >= pd.Timestamp(day)]
        if following is not None:
            span = span[span.index < following]
        ex_ante = np.nan
        if len(held):
            report = analyse(held, day, benchmark=benchmark, cov_model=cov, risk_model=model)
            ex_ante = float(report.summary[key])
        realised = float(span.std(ddof=1) * np.sqrt(252)) if len(span) > 1 else np.nan
        rows.append(
            {"date": pd.Timestamp(day), "ex_ante": ex_ante, "realised": realised, "days": len(span)}
        )
    return pd.DataFrame(rows, columns=["date", "ex_ante", "realised", "days"]).set_index("date")


def decompose(
    holdings: Holdings,
    benchmark: Optional[str],
    risk_model: object = "v1",
    cov_model: object = "daily",
) -> Attribution:
    """The attribution of ``holdings`` against ``benchmark`` (an index code or None)."""
    model, cov = to_member(risk_model, RiskModel), to_member(cov_model, CovModel)
    days = [d.date() for d in holdings.weights.index]
    index = pd.DatetimeIndex(holdings.weights.index, name="date")
    daily_b = _benchmark_daily(benchmark, days)
    members = sorted(set().union(*(set(x.index) for x in daily_b))) if daily_b else []
    ids = sorted(set(holdings.weights.columns) | set(members))
    r = stock_returns(ids, days).to_numpy()
    w = holdings.weights.reindex(columns=ids, fill_value=0.0).to_numpy(dtype=np.float64)
    b = _matrix(daily_b, ids, len(days))
    gross, holdings_b = (w * r).sum(axis=1), (b * r).sum(axis=1)
    bench = (
        stock_returns([benchmark], days)[benchmark].to_numpy()
        if benchmark is not None
        else np.zeros(len(days))
    )
    portfolio = holdings.portfolio.reindex(index).to_numpy(dtype=np.float64)
    classification = tarnwick.riskmodel.VERSIONS[model.value].classification
    x = _Exposures(ids, model, classification)
    f = tarnwick.riskmodel.get_factor_returns(model.value, days[0], days[-1])
    f = f.reindex(index=index, columns=x.factors).fillna(0.0).to_numpy(dtype=np.float64)
    exposures = np.array([x.on(day).T @ (w[t] - b[t]) for t, day in enumerate(days)])
    contributions = exposures * f
    active = portfolio - bench
    costs = portfolio - gross
    cash = (w.sum(axis=1) - 1.0) * f[:, 0] if benchmark is not None else np.zeros(len(days))
    series = {
        "active": active,
        "costs": costs,
        "cash": cash,
        "specific": active - costs - contributions.sum(axis=1),
    }
    out = {k: pd.Series(v, index=index, name=k) for k, v in series.items()}
    return Attribution(
        start=days[0],
        end=days[-1],
        benchmark=benchmark,
        active=out["active"],
        factors=pd.DataFrame(contributions, index=index, columns=x.factors),
        specific=out["specific"],
        exposures=pd.DataFrame(exposures, index=index, columns=x.factors),
        brinson=_brinson(ids, classification, w, b, r, gross, holdings_b),
        costs=out["costs"],
        returns=pd.DataFrame(
            {
                "portfolio": portfolio,
                "benchmark": bench,
                "gross": gross,
                "benchmark_holdings": holdings_b,
            },
            index=index,
        ),
        kinds=x.kinds,
        cash=out["cash"],
        risk=_risk(holdings, out["active"], benchmark, cov, model),
    )


def _days(start: object, end: object) -> list[datetime.date]:
    first, last = to_date(start), to_date(end)
    if last < first:
        raise InvalidArgument(f"end {last} is before start {first}")
    days = list(tarnwick.get_trading_dates(first, last))
    if not days:
        raise InvalidArgument(f"{first} to {last} holds no trading day")
    return days


def attribute(
    weights: pd.Series,
    start: object,
    end: object,
    *,
    benchmark: Optional[str] = None,
    risk_model: object = "v1",
    cov_model: object = "daily",
) -> Attribution:
    """The return attribution of ``weights`` bought at the close before ``start`` and held
    (drifting with the returns, never traded) through ``end``, against ``benchmark`` (an index
    code, or None for the portfolio's own return).

    Returns an :class:`Attribution`: ``active``, ``factors``, ``specific``, ``exposures`` and
    ``brinson``, with the identities described in ``morvane.report.attribution_result``.
    """
    if benchmark is not None and not isinstance(benchmark, str):
        raise InvalidArgument(f"benchmark must be an index code, got {benchmark!r}")
    with tarnwick.snapshot():
        held = to_weights(weights, "weights")
        if held.empty:
            raise InvalidArgument("weights is empty")
        days = _days(start, end)
        returns = stock_returns(list(held.index), days)
        daily = drift(held, returns)
        portfolio = (daily * returns).sum(axis=1)
        holdings = Holdings(weights=daily, portfolio=portfolio, periods=[(days[0], held)])
        return decompose(holdings, benchmark, risk_model, cov_model)
