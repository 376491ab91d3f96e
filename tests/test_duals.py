"""`binding` from the dual values and `shadow_prices`: a turnover limit that moves the optimum
counts as binding even where the interior-point answer stops short of the limit, and each
constraint's shadow price is the objective's fall per unit of its limit."""

from __future__ import annotations

import math

import pandas as pd
import pytest

import tarnwick
from morvane.constraints import (
    IndustryConstraint,
    StyleConstraint,
    TrackingErrorLimit,
    TurnoverLimit,
    WildcardIndustryConstraint,
)
from morvane.objective import MinTrackingError
from morvane.optimize import portfolio_optimize

INDEX = "000905.XSHG"
BEFORE, DATE = "2025-05-06", "2025-06-03"
#: Clarabel's default absolute gap (1e-8) is a large share of a tracking-error variance of
#: about 1e-6: the price is compared with the slope at tolerances that resolve it.
TIGHT = {"tol_gap_abs": 1e-14, "tol_gap_rel": 1e-12, "tol_feas": 1e-12}


def _solve(cons: list, date: str = DATE, **options: float) -> pd.Series:
    return portfolio_optimize(
        tarnwick.index_components(INDEX, date),
        date,
        MinTrackingError(),
        bnds={"*": (0, 0.02)},
        cons=cons,
        benchmark=INDEX,
        solver="CLARABEL",
        **options,
    )


def _limits() -> list:
    return [
        WildcardIndustryConstraint(lower_limit=-0.02, upper_limit=0.02, relative=True),
        StyleConstraint("size", lower_limit=-0.1, upper_limit=0.1, relative=True),
        StyleConstraint(["beta", "momentum"], lower_limit=-0.3, upper_limit=0.3, relative=True),
    ]


@pytest.fixture(scope="module")
def case(small_store):
    """A holding from a month before, and the turnover the optimum would have without a limit."""
    holding = _solve(_limits(), BEFORE)
    holding = holding[holding > 1e-9]
    free = _solve(_limits())
    both = free.index.union(holding.index)
    turnover = (
        0.5 * (free.reindex(both, fill_value=0) - holding.reindex(both, fill_value=0)).abs().sum()
    )
    return holding, float(turnover), float(free.attrs["morvane"]["objective_value"])


def _turnover(weights: pd.Series, holding: pd.Series) -> float:
    both = weights.index.union(holding.index)
    return 0.5 * float(
        (weights.reindex(both, fill_value=0) - holding.reindex(both, fill_value=0)).abs().sum()
    )


def _price(weights: pd.Series, constraint: object) -> float:
    prices = weights.attrs["morvane"]["shadow_prices"]
    return next(p for c, p in prices if c is constraint)


@pytest.mark.parametrize("share", [0.85, 0.95])
def test_a_turnover_limit_that_moves_the_optimum_binds(case, share):
    holding, free_turnover, free_objective = case
    assert free_turnover > 0.02
    limit = round(share * free_turnover, 6)
    turnover = TurnoverLimit(holding, limit)
    weights = _solve(_limits() + [turnover])
    info = weights.attrs["morvane"]
    assert any(c is turnover for c in info["binding"])
    assert info["objective_value"] > free_objective  # the limit costs tracking error
    # the interior-point answer stops short of the limit: its slack alone would not tell
    assert 0.99 * limit < _turnover(weights, holding) < limit - 1e-7
    assert _price(weights, turnover) > 0


@pytest.mark.parametrize("share", [0.85, 0.95])
def test_the_shadow_price_is_the_slope_of_the_optimum_in_the_limit(case, share):
    holding, free_turnover, _ = case
    limit = round(share * free_turnover, 6)

    def solve(value: float) -> tuple[float, float]:
        constraint = TurnoverLimit(holding, value)
        weights = _solve(_limits() + [constraint], **TIGHT)
        return weights.attrs["morvane"]["objective_value"], _price(weights, constraint)

    value, price = solve(limit)
    step = 1e-3 * limit
    slope = (solve(limit - step)[0] - solve(limit + step)[0]) / (2 * step)
    assert price == pytest.approx(slope, rel=1e-3)


def test_a_limit_far_from_the_optimum_neither_binds_nor_has_a_price(case):
    holding, free_turnover, _ = case
    loose = TurnoverLimit(holding, min(1.0, 3 * free_turnover))
    te = TrackingErrorLimit(0.5)
    weights = _solve(_limits() + [loose, te])
    info = weights.attrs["morvane"]
    assert not any(c is loose or c is te for c in info["binding"])
    # loosening it by its own size would change the objective by less than a percent
    assert abs(_price(weights, loose)) * loose.upper < 1e-2 * info["objective_value"]
    keys = [c for c, _ in info["shadow_prices"]]
    assert keys[0] == "bnds" and len(keys) == 6
    assert all(isinstance(p, float) and not math.isnan(p) for _, p in info["shadow_prices"])


def test_an_industry_limit_has_a_price_per_unit_of_weight(case):
    def solve(limit: float) -> tuple[float, float, bool]:
        bank = IndustryConstraint(["医药生物"], upper_limit=limit)
        weights = _solve([bank], **TIGHT)
        info = weights.attrs["morvane"]
        binds = any(c is bank for c in info["binding"])
        return info["objective_value"], _price(weights, bank), binds

    value, price, binds = solve(0.1)  # the benchmark holds about 16% in the industry
    assert binds and price > 0
    slope = (solve(0.0999)[0] - solve(0.1001)[0]) / 0.0002
    assert price == pytest.approx(slope, rel=1e-2)
