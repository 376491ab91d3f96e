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


def _solve(cons: list, date: str = DATE) -> pd.Series:
    return portfolio_optimize(
        tarnwick.index_components(INDEX, date),
        date,
        MinTrackingError(),
        bnds={"*": (0, 0.02)},
        cons=cons,
        benchmark=INDEX,
        solver="CLARABEL",
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
    assert _turnover(weights, holding) <= limit + 1e-7
    price = _price(weights, turnover)
    # the shadow price is the slope of the optimal objective in the limit
    step = 2e-3 * limit
    looser = _solve(_limits() + [TurnoverLimit(holding, limit + step)])
    slope = (info["objective_value"] - looser.attrs["morvane"]["objective_value"]) / step
    assert price > 0 and price == pytest.approx(slope, rel=0.1)


def test_a_limit_far_from_the_optimum_neither_binds_nor_has_a_price(case):
    holding, free_turnover, _ = case
    loose = TurnoverLimit(holding, min(1.0, 3 * free_turnover))
    te = TrackingErrorLimit(0.5)
    weights = _solve(_limits() + [loose, te])
    info = weights.attrs["morvane"]
    assert not any(c is loose or c is te for c in info["binding"])
    assert abs(_price(weights, loose)) < 1e-6 * max(info["objective_value"], 1e-12) / 0.01
    keys = [c for c, _ in info["shadow_prices"]]
    assert keys[0] == "bnds" and len(keys) == 6
    assert all(isinstance(p, float) and not math.isnan(p) for _, p in info["shadow_prices"])


def test_an_industry_limit_has_a_price_per_unit_of_weight(case):
    bank = IndustryConstraint(["银行"], upper_limit=0.0)
    weights = _solve([bank])
    assert any(c is bank for c in weights.attrs["morvane"]["binding"])
    price = _price(weights, bank)
    looser = _solve([IndustryConstraint(["银行"], upper_limit=0.001)])
    slope = (
        weights.attrs["morvane"]["objective_value"] - looser.attrs["morvane"]["objective_value"]
    ) / 0.001
    assert price == pytest.approx(slope, rel=0.2)
