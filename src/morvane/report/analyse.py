"""The numbers of a portfolio report: risk, its decomposition, exposures and industry weights.

Everything is computed from the risk model that the optimiser uses for the same date and models
(an ``OptimizeHelper`` with both risk aversions at 1), over the union of the portfolio's stocks
and the benchmark's components: a stock of the benchmark that the portfolio does not hold weighs
0 in the portfolio.  With X the factor exposures, F the factor covariance and D the specific
variances, the covariance is ``X F X' + diag(D)``, annualised.

Risk contributions are Euler contributions: a stock's contribution to the volatility is
``w_i (S w)_i / sigma``, so the contributions add up to the volatility; the same holds for the
active weights and the tracking error.  A factor's contribution to a variance is
``e_k (F e)_k`` with ``e = X' w`` its exposure: the factor contributions add up to the factor
part of the variance, and factor plus specific part is the whole variance.

Without a benchmark every benchmark-relative figure (tracking error, beta, active share, the
benchmark and active columns) is NaN; without a holding, so is the turnover.
"""

from __future__ import annotations

import datetime
import math
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, Optional, Union

import numpy as np
import pandas as pd

import tarnwick
import tarnwick.riskmodel
from morvane.benchmark import IndexBenchmark, OptimizeBenchmark
from morvane.const import CovModel, RiskModel
from morvane.exception import InvalidArgument
from morvane.helper import OptimizeHelper
from morvane.optimize import to_date, to_enum

if TYPE_CHECKING:
    import plotly.graph_objects as go

__all__ = ["HELD_THRESHOLD", "TOP_HOLDINGS", "PortfolioReport", "analyse", "read_weights"]

#: A stock counts as held when its weight is at least this.
HELD_THRESHOLD = 1e-4
#: How many of the largest weights make up the top-holdings weight.
TOP_HOLDINGS = 10
#: The factor groups of the risk decomposition, in display order.
RISK_GROUPS = ("market", "industry", "style", "specific")

_NAN = float("nan")


@dataclass(frozen=True, eq=False, repr=False)
class PortfolioReport:
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

    def figures(self) -> dict[str, go.Figure]:
        """The charts of the page, keyed by a short name: ``industries``, ``styles``, ``risk``
        and ``holdings``."""
        from morvane.report.charts import figures

        return figures(self)

    def to_html(self, path: Union[str, Path]) -> Path:
        """Write a self-contained page (no network needed) with the summary and the charts;
        returns its path."""
        from morvane.report.page import write_page

        return write_page(self, path)

    def __str__(self) -> str:
        from morvane.report.text import summary_text

        return summary_text(self)

    def __repr__(self) -> str:
        from morvane.report.notebook import report_repr

        return report_repr(self)

    def _repr_html_(self) -> str:
        from morvane.report.notebook import report_html

        return report_html(self)


# ---------------------------------------------------------------------------------------------
# arguments
# ---------------------------------------------------------------------------------------------


def _as_weights(value: object, name: str) -> pd.Series:
    """A Series of finite float weights indexed by unique id strings."""
    if isinstance(value, Mapping) and not isinstance(value, pd.Series):
        value = pd.Series(dict(value), dtype=object)
    if not isinstance(value, pd.Series):
        raise InvalidArgument(
            f"{name} must be a pandas Series of weights indexed by order_book_id, "
            f"got {type(value).__name__}"
        )
    bad_ids = [repr(i) for i in value.index if not isinstance(i, str)]
    if bad_ids:
        raise InvalidArgument(f"{name} must be indexed by order_book_id strings: {bad_ids[:5]}")
    repeated = sorted(set(value.index[value.index.duplicated()]))
    if repeated:
        raise InvalidArgument(f"{name} names some stocks more than once: {repeated[:5]}")
    try:
        values = np.asarray(pd.to_numeric(value, errors="raise"), dtype=np.float64)
    except (TypeError, ValueError):
        raise InvalidArgument(f"{name} must hold numbers; {_not_numbers(value)}") from None
    not_finite = [str(i) for i, v in zip(value.index, values) if not math.isfinite(v)]
    if not_finite:
        raise InvalidArgument(f"{name} must be finite numbers; not for {not_finite[:5]}")
    return pd.Series(values, index=pd.Index(value.index, dtype=object), name=name)


def _not_numbers(value: pd.Series) -> str:
    """The first entries of ``value`` that are not numbers, named by their id."""
    numbers = pd.to_numeric(value, errors="coerce")
    bad = [
        f"{i} = {v!r}"
        for i, v, n in zip(value.index, value, numbers)
        if pd.isna(n) and not (isinstance(v, float) and math.isnan(v))
    ]
    return "not for " + ", ".join(bad[:5]) if bad else "some entries are not numbers"


def _benchmark(value: object) -> tuple[Any, Optional[str]]:
    """(benchmark object or None, label): an index code becomes an ``IndexBenchmark``."""
    if value is None:
        return None, None
    if isinstance(value, str):
        return IndexBenchmark(value), value
    if isinstance(value, OptimizeBenchmark):
        return value, type(value).__name__
    raise InvalidArgument(
        f"invalid benchmark {value!r}: pass an index code or an OptimizeBenchmark object"
    )


def read_weights(path: Union[str, Path], name: str = "weights") -> pd.Series:
    """Weights from a CSV file: columns ``order_book_id,weight``, or the ids as first column
    and the weights as the only other one."""
    try:
        frame = pd.read_csv(path, dtype={"order_book_id": str})
    except (OSError, ValueError, pd.errors.ParserError) as exc:
        raise InvalidArgument(f"cannot read {name} from {path}: {exc}") from None
    if {"order_book_id", "weight"} <= set(frame.columns):
        ids, values = frame["order_book_id"], frame["weight"]
    elif frame.shape[1] == 2:
        ids, values = frame.iloc[:, 0], frame.iloc[:, 1]
    else:
        raise InvalidArgument(
            f"{path} must have the columns order_book_id,weight (or an id column and one "
            f"weight column); it has {list(frame.columns)}"
        )
    if ids.isna().any():
        raise InvalidArgument(f"{path} has a row without an order_book_id")
    series = pd.Series(values.to_numpy(), index=pd.Index(ids.astype(str), dtype=object))
    return _as_weights(series, name)


# ---------------------------------------------------------------------------------------------
# the decomposition
# ---------------------------------------------------------------------------------------------


@dataclass(frozen=True)
class _Risk:
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


def _risk(w: np.ndarray, x: np.ndarray, f: np.ndarray, d: np.ndarray) -> _Risk:
    exposure = x.T @ w
    f_exposure = f @ exposure
    marginal = x @ f_exposure + d * w  # S w
    variance = max(float(w @ marginal), 0.0)
    factor_contribution = exposure * f_exposure
    sigma = math.sqrt(variance)
    stock = w * marginal / sigma if sigma > 0 else np.zeros_like(w)
    return _Risk(
        variance=variance,
        factor_variance=max(float(factor_contribution.sum()), 0.0),
        specific_variance=float(d @ (w * w)),
        exposure=exposure,
        marginal=marginal,
        factor_contribution=factor_contribution,
        stock_contribution=stock,
    )


def _group_contributions(risk: Optional[_Risk], kinds: pd.Series) -> pd.Series:
    """Euler contributions to the volatility by factor group (they sum to the volatility); NaN
    without a weight vector."""
    if risk is None:
        return pd.Series(_NAN, index=list(RISK_GROUPS))
    by_kind = pd.Series(risk.factor_contribution, index=kinds.to_numpy()).groupby(level=0).sum()
    variance = by_kind.reindex(list(RISK_GROUPS[:-1]), fill_value=0.0)
    variance["specific"] = risk.specific_variance
    sigma = risk.volatility
    return variance / sigma if sigma > 0 else variance * 0.0


def _names(ids: list[str]) -> list[str]:
    records = tarnwick.instruments(ids)
    if records is None:
        records = []
    elif not isinstance(records, list):
        records = [records]
    symbols = {r.order_book_id: r.symbol for r in records}
    return [str(symbols.get(i, "")) for i in ids]


def _solve_info(weights: pd.Series) -> Optional[dict[str, Any]]:
    info = weights.attrs.get("morvane") if isinstance(weights.attrs, dict) else None
    return dict(info) if isinstance(info, Mapping) else None


def _solve_entries(info: Optional[dict[str, Any]]) -> dict[str, Any]:
    if info is None:
        return {}
    return {
        "solver": info.get("solver"),
        "status": info.get("status"),
        "solve_time": info.get("solve_time"),
        "objective_value": info.get("objective_value"),
        "refined": info.get("refined"),
        "binding": len(info.get("binding") or ()),
        "dropped": len(info.get("dropped") or ()),
    }


def analyse(
    weights: pd.Series,
    date: object,
    *,
    benchmark: object = None,
    holding: object = None,
    cov_model: object = "daily",
    risk_model: object = "v1",
    classification: object = None,
) -> PortfolioReport:
    """Analyse ``weights`` on ``date`` under the optimiser's risk model.

    :param weights: a Series of weights by ``order_book_id``, for example the result of
        ``portfolio_optimize`` (whose solve information it then reports)
    :param date: the date the weights are for, in any form the optimiser accepts
    :param benchmark: None, an index code or an ``OptimizeBenchmark``
    :param holding: the current holding (a Series or dict of weights), for the turnover
    :param cov_model: a ``CovModel`` member, name or value
    :param risk_model: a ``RiskModel`` member, name or value
    :param classification: industry classification of the ``industries`` table (an
        ``IndustryClassification`` member or value, or a Series / dict from id to industry);
        by default the one of the risk model's industry factors

    The summary holds ``holdings`` (weights of at least ``HELD_THRESHOLD``), ``stocks``,
    ``total_weight``, ``top10_weight``, ``volatility`` with ``volatility_factor`` and
    ``volatility_specific`` (volatility² = factor² + specific²), ``tracking_error`` with the same
    split, ``beta``, ``active_share``, ``turnover`` (one-way) and, for an optimiser's result,
    ``solver``, ``status``, ``solve_time``, ``objective_value``, ``refined``, ``binding`` and
    ``dropped`` (counts of constraints).
    """
    with tarnwick.snapshot():  # every read of the report sees one store file
        return _analyse(weights, date, benchmark, holding, cov_model, risk_model, classification)


def _analyse(
    weights: pd.Series,
    date: object,
    benchmark: object,
    holding: object,
    cov_model: object,
    risk_model: object,
    classification: object,
) -> PortfolioReport:
    w_given = _as_weights(weights, "weights")
    if w_given.empty:
        raise InvalidArgument("weights is empty")
    the_date = to_date(date)
    if the_date not in set(tarnwick.get_trading_dates(the_date, the_date)):
        raise InvalidArgument(f"{the_date} is not a trading day")
    cov = to_enum(cov_model, CovModel)
    model = to_enum(risk_model, RiskModel)
    bench, label = _benchmark(benchmark)
    held_before = None if holding is None else _as_weights(holding, "holding")
    if classification is None:
        classification = tarnwick.riskmodel.VERSIONS[model.value].classification

    ids = sorted(w_given.index)
    helper = OptimizeHelper(ids, the_date, bench, cov, model, 1.0, 1.0)
    union = list(helper.union_components)
    x, f, d = helper.get_factor_model(union=True)
    kinds = helper.get_factor_kinds()
    w = np.zeros(len(union))
    w[: len(ids)] = w_given.reindex(ids).to_numpy()
    b = helper.benchmark_weight.to_numpy(dtype=np.float64)
    portfolio = _risk(w, x, f, d)
    relative = _risk(w - b, x, f, d) if bench is not None else None
    bench_risk = _risk(b, x, f, d) if bench is not None else None

    summary = _summary(len(ids), w, b, portfolio, relative, bench_risk, union, held_before)
    info = _solve_info(weights)
    summary.update(_solve_entries(info))
    return PortfolioReport(
        date=the_date,
        benchmark=label,
        cov_model=cov,
        risk_model=model,
        summary=pd.Series(summary, dtype=object, name="summary"),
        risk_contributions=_stock_table(union, w, b, portfolio, relative),
        factors=_factor_table(kinds, portfolio, relative, bench_risk),
        industries=_industries(helper, w[: len(ids)], classification, bench is not None),
        styles=_styles(helper, w[: len(ids)], bench is not None),
        risk_groups=pd.DataFrame(
            {
                "total": _group_contributions(portfolio, kinds),
                "active": _group_contributions(relative, kinds),
            }
        ).rename_axis("group"),
        solve=info,
        trades=None if held_before is None else _trades(w_given, held_before),
    )


def _trades(weights: pd.Series, holding: pd.Series) -> pd.DataFrame:
    """Per stock held before or after: the weights before and after, and the trade."""
    every = sorted(set(weights.index) | set(holding.index))
    after = weights.reindex(every, fill_value=0.0)
    before = holding.reindex(every, fill_value=0.0)
    frame = pd.DataFrame(
        {"name": _names(every), "before": before.to_numpy(), "after": after.to_numpy()},
        index=pd.Index(every, name="order_book_id"),
    )
    frame["trade"] = frame["after"] - frame["before"]
    return frame


def _summary(stocks: int, w: np.ndarray, b: np.ndarray, portfolio: _Risk,
             relative: Optional[_Risk], bench_risk: Optional[_Risk], union: list[str],
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


def _stock_table(union: list[str], w: np.ndarray, b: np.ndarray, portfolio: _Risk,
                 relative: Optional[_Risk]) -> pd.DataFrame:  # fmt: skip
    missing = np.full(len(union), _NAN)
    return pd.DataFrame(
        {
            "name": _names(union),
            "weight": w,
            "benchmark_weight": b if relative else missing,
            "active_weight": w - b if relative else missing,
            "total": portfolio.stock_contribution,
            "active": relative.stock_contribution if relative else missing,
        },
        index=pd.Index(union, dtype=object, name="order_book_id"),
    )


def _factor_table(kinds: pd.Series, portfolio: _Risk, relative: Optional[_Risk],
                  bench_risk: Optional[_Risk]) -> pd.DataFrame:  # fmt: skip
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


def _industries(helper: OptimizeHelper, w: np.ndarray, classification: object,
                has_benchmark: bool) -> pd.DataFrame:  # fmt: skip
    mapping = helper.get_industry_mapping(classification)
    portfolio = pd.Series(w, index=mapping.index).groupby(mapping.to_numpy(), sort=True).sum()
    benchmark = helper.get_benchmark_industry_weight(classification)
    frame = _relative_frame(portfolio, benchmark, has_benchmark, "industry")
    return frame.sort_index()


def _styles(helper: OptimizeHelper, w: np.ndarray, has_benchmark: bool) -> pd.DataFrame:
    exposure = helper.get_factor_exposure()
    portfolio = pd.Series(w @ exposure.to_numpy(), index=exposure.columns)
    return _relative_frame(portfolio, helper.get_benchmark_style(), has_benchmark, "style")
