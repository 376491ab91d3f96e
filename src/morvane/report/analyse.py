"""``analyse``: the report of a portfolio: risk, its decomposition, exposures and industry weights.

Everything is computed from the risk model that the optimiser uses for the same date and models
(an ``OptimizeHelper`` with both risk aversions at 1), over the union of the portfolio's stocks
and the benchmark's components: a stock of the benchmark that the portfolio does not hold weighs
0 in the portfolio.  The maths is in ``morvane.report.risk``, the reading of the arguments in
``morvane.report.inputs`` and ``morvane.coerce``.

Without a benchmark every benchmark-relative figure (tracking error, beta, active share, the
benchmark and active columns) is NaN; without a holding, so is the turnover.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

import tarnwick
import tarnwick.riskmodel
from morvane.coerce import to_date, to_member, to_weights
from morvane.const import CovModel, RiskModel
from morvane.exception import InvalidArgument
from morvane.helper import OptimizeHelper
from morvane.report import risk
from morvane.report.inputs import (
    benchmark_argument,
    read_weights,
    solve_entries,
    solve_info,
    stock_names,
)
from morvane.report.model import HELD_THRESHOLD, TOP_HOLDINGS
from morvane.report.portfolio import PortfolioReport

__all__ = ["HELD_THRESHOLD", "TOP_HOLDINGS", "PortfolioReport", "analyse", "read_weights"]


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
    :param date: the date the weights are for: a date, a datetime or Timestamp, or a text
        such as "2025-06-03" or "20250603"
    :param benchmark: None, an index code or an ``OptimizeBenchmark``
    :param holding: the current holding (a Series or dict of weights), for the turnover
    :param cov_model: a ``CovModel`` member, name or value
    :param risk_model: a ``RiskModel`` member, name or value
    :param classification: industry classification of the ``industries`` table (an
        ``IndustryClassification`` member, name or value, or a Series / dict from id to
        industry); by default the one of the risk model's industry factors

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
    w_given = to_weights(weights, "weights")
    if w_given.empty:
        raise InvalidArgument("weights is empty")
    the_date = to_date(date)
    if the_date not in set(tarnwick.get_trading_dates(the_date, the_date)):
        raise InvalidArgument(f"{the_date} is not a trading day")
    cov = to_member(cov_model, CovModel)
    model = to_member(risk_model, RiskModel)
    bench, label = benchmark_argument(benchmark)
    held_before = None if holding is None else to_weights(holding, "holding")
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
    portfolio = risk.risk(w, x, f, d)
    relative = risk.risk(w - b, x, f, d) if bench is not None else None
    bench_risk = risk.risk(b, x, f, d) if bench is not None else None

    summary = risk.summary_figures(len(ids), w, b, portfolio, relative, bench_risk, union,
                                   held_before)  # fmt: skip
    info = solve_info(weights)
    summary.update(solve_entries(info))
    return PortfolioReport(
        date=the_date,
        benchmark=label,
        cov_model=cov,
        risk_model=model,
        summary=pd.Series(summary, dtype=object, name="summary"),
        risk_contributions=risk.stock_table(union, stock_names(union), w, b, portfolio, relative),
        factors=risk.factor_table(kinds, portfolio, relative, bench_risk),
        industries=risk.industry_table(helper, w[: len(ids)], classification, bench is not None),
        styles=risk.style_table(helper, w[: len(ids)], bench is not None),
        risk_groups=pd.DataFrame(
            {
                "total": risk.group_contributions(portfolio, kinds),
                "active": risk.group_contributions(relative, kinds),
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
        {"name": stock_names(every), "before": before.to_numpy(), "after": after.to_numpy()},
        index=pd.Index(every, name="order_book_id"),
    )
    frame["trade"] = frame["after"] - frame["before"]
    return frame
