"""Tracking-error, turnover and benchmark-component limits through the optimiser, on the small
sample market: the realised quantities respect the limits, and a soft limit that cannot be met
together with a hard one is dropped with the retry warning."""

from __future__ import annotations

import datetime
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from morvane.constraints import BenchmarkComponentWeightLimit, TrackingErrorLimit, TurnoverLimit
from morvane.exception import OptimizationFailed, OptimizerWarning
from morvane.helper import OptimizeHelper
from morvane.objective import MinTrackingError
from morvane.optimize import portfolio_optimize, to_enum

DATE = datetime.date(2025, 6, 3)
INDEX = "000300.XSHG"
BENCHMARK = "000905.XSHG"
# SCS solves to about 1e-4; the realised values may exceed a limit by that much
SLACK = 2e-3


@pytest.fixture(scope="module")
def universe(small_store: Path) -> list[str]:
    import tarnwick

    ids = sorted(tarnwick.index_components(INDEX, DATE))
    assert len(ids) >= 20
    return ids


def helper_for(ids: list[str], benchmark: str | None) -> OptimizeHelper:
    from morvane.benchmark import IndexBenchmark
    from morvane.const import CovModel, RiskModel

    bench = IndexBenchmark(benchmark) if benchmark else None
    return OptimizeHelper(
        ids, DATE, bench, to_enum("daily", CovModel), to_enum("v1", RiskModel), 1.0, 1.0
    )


def tracking_error(weights: pd.Series, helper: OptimizeHelper) -> float:
    w = weights.reindex(helper.union_components, fill_value=0.0).values
    active = w - helper.benchmark_weight.values
    return float(np.sqrt(active @ helper.get_union_cov_matrix() @ active))


def optimize(*args: object, **kwargs: object) -> pd.Series:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizerWarning)
        return portfolio_optimize(*args, **kwargs)


def test_min_variance_under_a_tracking_error_limit(universe: list[str]) -> None:
    helper = helper_for(universe, BENCHMARK)
    free = optimize(universe, DATE, benchmark=BENCHMARK)
    closest = optimize(universe, DATE, objective=MinTrackingError(), benchmark=BENCHMARK)
    lowest, free_te = tracking_error(closest, helper), tracking_error(free, helper)
    assert lowest < free_te
    limit = (lowest + free_te) / 2
    bounded = optimize(universe, DATE, cons=[TrackingErrorLimit(limit)], benchmark=BENCHMARK)
    assert bounded.sum() == pytest.approx(1.0)
    assert tracking_error(bounded, helper) <= limit + SLACK
    # the limit binds: the bounded portfolio is riskier than the unconstrained minimum
    cov = helper_for(universe, None).get_cov_matrix()
    assert bounded.values @ cov @ bounded.values > free.values @ cov @ free.values


def test_turnover_limit_binds(universe: list[str]) -> None:
    # an equally weighted holding of the first ten stocks and two stocks outside the universe
    holding = pd.Series(1 / 12, index=universe[:10] + ["000001.XSHE", "600000.XSHG"])
    free = optimize(universe, DATE)
    current = holding.reindex(universe, fill_value=0.0)
    outside = holding.drop(universe, errors="ignore").sum()

    def turnover(w: pd.Series) -> float:
        return float(((w - current).abs().sum() + outside) / 2)

    assert turnover(free) > 0.4
    bounded = optimize(universe, DATE, cons=[TurnoverLimit(holding, 0.4)])
    assert turnover(bounded) == pytest.approx(0.4, abs=SLACK)


def test_benchmark_component_weight_limit(universe: list[str]) -> None:
    import tarnwick

    components = set(tarnwick.index_components(BENCHMARK, DATE))
    # a universe that mixes the benchmark's components with stocks outside it
    mixed = sorted(set(universe) | set(sorted(components)[:10]))
    inside = [s for s in mixed if s in components]
    assert 0 < len(inside) < len(mixed)
    free = optimize(mixed, DATE)
    assert free[inside].sum() < 0.8
    bounded = optimize(mixed, DATE, cons=[BenchmarkComponentWeightLimit(0.8)], benchmark=BENCHMARK)
    assert bounded[inside].sum() >= 0.8 - SLACK


def test_soft_limit_is_dropped_when_it_conflicts_with_a_hard_one(universe: list[str]) -> None:
    holding = pd.Series(1 / 10, index=universe[:10])
    # no turnover at all is allowed, yet the tracking error must be tiny: only the turnover
    # limit can hold, so the soft tracking-error limit goes
    cons = [TurnoverLimit(holding, 1e-4), TrackingErrorLimit(1e-4, hard=False)]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        weights = portfolio_optimize(universe, DATE, cons=cons, benchmark=BENCHMARK)
    messages = [str(w.message) for w in caught if w.category is OptimizerWarning]
    assert messages.count("约束无法满足，放弃所有软约束重试") == 1
    assert all(w.filename == __file__ for w in caught if w.category is OptimizerWarning)
    assert weights[holding.index].sum() == pytest.approx(1.0, abs=SLACK)
    # both hard, nothing can be dropped: the optimiser reports the failure
    cons[1] = TrackingErrorLimit(1e-4)
    with pytest.raises(OptimizationFailed):
        optimize(universe, DATE, cons=cons, benchmark=BENCHMARK)
