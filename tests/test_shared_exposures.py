"""The shared factor-exposure vector on the small sample market: the same optimum as the
self-contained formulation, one definition shared by every term, definitions kept when soft
constraints are dropped; and the store-side mean of daily returns."""

from __future__ import annotations

import datetime
import warnings
from pathlib import Path
from typing import Any

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import morvane.optimize as mo
from morvane.constraints import (
    IndustryConstraint,
    StyleConstraint,
    TrackingErrorLimit,
    TurnoverLimit,
    WildcardIndustryConstraint,
    wildcard_style_constraint,
)
from morvane.exception import OptimizerWarning
from morvane.helper import OptimizeHelper
from morvane.objective import (
    MaxInformationRatio,
    MaxSharpeRatio,
    MeanVariance,
    MinStyleDeviation,
    MinTrackingError,
    MinVariance,
    RiskParity,
)

DATE, BENCH = datetime.date(2025, 6, 3), "000905.XSHG"


class DenseHelper(OptimizeHelper):
    """The same data without a factor model: every term is written with the dense matrix."""

    def __getattribute__(self, name: str) -> Any:
        if name == "get_factor_model":
            raise AttributeError(name)
        return super().__getattribute__(name)


@pytest.fixture(scope="module")
def ids(small_store: Path) -> list[str]:
    import tarnwick

    members = sorted(tarnwick.index_components(BENCH, DATE))
    return sorted(set(tarnwick.index_components("000300.XSHG", DATE)) | set(members[::2]))


class Recorder:
    """`morvane.optimize.cp` with every Problem the driver builds recorded."""

    def __init__(self) -> None:
        self.problems: list[cp.Problem] = []
        recorder = self

        class Problem(cp.Problem):
            def __init__(self, *args: Any, **kwargs: Any) -> None:
                super().__init__(*args, **kwargs)
                recorder.problems.append(self)

        self.Problem = Problem

    def __getattr__(self, name: str) -> Any:
        return getattr(cp, name)


def solve(monkeypatch: pytest.MonkeyPatch, ids: list[str], dense: bool, **kwargs: Any
          ) -> tuple[pd.Series, cp.Problem]:  # fmt: skip
    recorder = Recorder()
    with monkeypatch.context() as patch:
        patch.setattr(mo, "cp", recorder)
        if dense:
            patch.setattr(mo, "OptimizeHelper", DenseHelper)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", OptimizerWarning)
            weights = mo.portfolio_optimize(ids, DATE, solver=cp.CLARABEL, **kwargs)
    return weights, recorder.problems[-1]


def headline(ids: list[str]) -> list[Any]:
    holding = pd.Series(1.0 / 40, index=ids[:40])
    return [
        WildcardIndustryConstraint(lower_limit=-0.01, upper_limit=0.01, relative=True),
        wildcard_style_constraint(lower_limit=-0.1, upper_limit=0.1, relative=True),
        TurnoverLimit(holding, 0.6),
        TrackingErrorLimit(0.05),
    ]


def spread(ids: list[str], low: float, high: float) -> pd.Series:
    """Expected returns evenly spread from `low` to `high` over the universe."""
    return pd.Series(np.linspace(low, high, len(ids)), index=ids)


CAPS = {"*": (0, 0.05)}
CASES = {
    "min variance": lambda ids: {"objective": MinVariance(), "bnds": CAPS},
    "headline": lambda ids: {"objective": MinTrackingError(), "bnds": CAPS, "cons": headline(ids),
                             "benchmark": BENCH},  # fmt: skip
    "mean variance": lambda ids: {
        "objective": MeanVariance(expected_returns=spread(ids, -0.1, 0.2)),
        "bnds": CAPS, "cons": [StyleConstraint("size", upper_limit=0.2)],
    },  # fmt: skip
    "sharpe": lambda ids: {
        "objective": MaxSharpeRatio(expected_returns=spread(ids, 0.0, 0.2)),
        "cons": [IndustryConstraint(["电子", "医药生物"], upper_limit=0.1)],
    },  # fmt: skip
    "information ratio": lambda ids: {
        "objective": MaxInformationRatio(expected_active_returns=spread(ids, -0.05, 0.1)),
        "benchmark": BENCH,
    },  # fmt: skip
    "risk parity alone": lambda ids: {"objective": RiskParity()},
    "style deviation": lambda ids: {
        "objective": MinStyleDeviation(pd.Series({"size": 0.3, "beta": -0.2})), "bnds": CAPS,
        "cons": [TrackingErrorLimit(0.08)], "benchmark": BENCH,
    },  # fmt: skip
}


@pytest.mark.parametrize("case", list(CASES))
def test_shared_and_self_contained_forms_reach_the_same_optimum(
    monkeypatch: pytest.MonkeyPatch, ids: list[str], case: str
) -> None:
    shared, problem = solve(monkeypatch, ids, False, **CASES[case](ids))
    dense, dense_problem = solve(monkeypatch, ids, True, **CASES[case](ids))
    assert problem.value == pytest.approx(dense_problem.value, rel=1e-5, abs=1e-8)
    if case != "style deviation":  # two style targets leave many optimal portfolios
        np.testing.assert_allclose(shared.values, dense.values, atol=1e-4)
    # The shared form has one extra variable, the exposures; the dense one has none.
    extra = {v.size for v in problem.variables()} - {v.size for v in dense_problem.variables()}
    assert len(problem.variables()) == len(dense_problem.variables()) + 1 and len(extra) == 1


def test_style_and_industry_bounds_refer_to_the_shared_vector_only(
    monkeypatch: pytest.MonkeyPatch, ids: list[str]
) -> None:
    cons = [wildcard_style_constraint(lower_limit=-0.3, upper_limit=0.3, relative=True),
            WildcardIndustryConstraint(upper_limit=0.2), TrackingErrorLimit(0.1)]  # fmt: skip
    _, problem = solve(monkeypatch, ids, False, objective=MinTrackingError(), cons=cons,
                       benchmark=BENCH)  # fmt: skip
    g = next(v for v in problem.variables() if v.size == len(ids))
    (y,) = [v for v in problem.variables() if v is not g]
    definitions = [c for c in problem.constraints if isinstance(c, cp.constraints.Equality)
                   and {v.id for v in c.variables()} == {g.id, y.id}]  # fmt: skip
    bounds = [c for c in problem.constraints if [v.id for v in c.variables()] == [y.id]]
    assert len(definitions) == 1 and isinstance(definitions[0], cp.constraints.Equality)
    # 10 styles x 2 bounds; industries with the risk model's own classification, not "UNKNOWN"
    assert len(bounds) >= 20 + 10
    # the tracking-error limit and the objective use y too, with their own specific terms in g
    assert y.id in {v.id for v in problem.objective.variables()}


def test_other_classifications_and_custom_mappings_keep_their_own_rows(
    monkeypatch: pytest.MonkeyPatch, ids: list[str]
) -> None:
    custom = {i: "first" if k % 2 else "second" for k, i in enumerate(ids)}
    cons = [IndustryConstraint("first", upper_limit=0.4, classification=custom)]
    _, problem = solve(monkeypatch, ids, False, cons=cons)
    g = next(v for v in problem.variables() if v.size == len(ids))
    rows = [c for c in problem.constraints if [v.id for v in c.variables()] == [g.id]]
    assert len(rows) == 2  # the budget and the custom industry's bound


def test_dropped_soft_constraints_keep_the_definitions(
    monkeypatch: pytest.MonkeyPatch, ids: list[str]
) -> None:
    impossible = [TrackingErrorLimit(1e-4, hard=False),
                  StyleConstraint("size", lower_limit=50, hard=False)]  # fmt: skip
    recorder = Recorder()
    monkeypatch.setattr(mo, "cp", recorder)
    with pytest.warns(OptimizerWarning, match="放弃所有软约束重试"):
        weights = mo.portfolio_optimize(ids, DATE, bnds=CAPS, cons=impossible, benchmark=BENCH,
                                        solver=cp.CLARABEL)  # fmt: skip
    monkeypatch.undo()
    retry = recorder.problems[-1]
    assert any(isinstance(c, cp.constraints.Equality) and len(c.variables()) == 2
               for c in retry.constraints)  # fmt: skip
    free, _ = solve(monkeypatch, ids, True, bnds=CAPS, benchmark=BENCH)
    np.testing.assert_allclose(weights.values, free.values, atol=2e-5)


def test_constraint_objects_are_reused_unchanged(
    monkeypatch: pytest.MonkeyPatch, ids: list[str]
) -> None:
    cons = headline(ids)
    before = [dict(vars(c)) for c in cons]
    first, _ = solve(monkeypatch, ids, False, objective=MinTrackingError(), cons=cons,
                     bnds=CAPS, benchmark=BENCH)  # fmt: skip
    second, _ = solve(monkeypatch, ids, False, objective=MinTrackingError(), cons=cons,
                      bnds=CAPS, benchmark=BENCH)  # fmt: skip
    assert [set(vars(c)) for c in cons] == [set(b) for b in before]
    np.testing.assert_allclose(first.values, second.values, atol=1e-9)


def test_terms_built_outside_the_optimiser_stay_self_contained(ids: list[str]) -> None:
    helper = OptimizeHelper(ids, DATE, None, mo.CovModel.FACTOR_MODEL_DAILY, mo.RiskModel.V1,
                            1.0, 1.0)  # fmt: skip
    g = cp.Variable(len(ids), nonneg=True)
    terms = [
        MinVariance().get_objective_expr(g, 1.0, helper),
        *StyleConstraint("beta", upper_limit=0.5).to_constraints(g, 1.0, helper),
        *IndustryConstraint("电子", upper_limit=0.1).to_constraints(g, 1.0, helper),
    ]
    assert all([v.id for v in t.variables()] == [g.id] for t in terms)


# ---- expected returns: the store takes the mean ----


@pytest.mark.parametrize(
    ("ids_of", "start", "end"),
    [
        (lambda ids: ids, "2024-06-01", "2025-05-30"),
        (lambda ids: ids[:3] + ["000300.XSHG", "NOT.AN.ID", ids[0]], "2025-01-01", "2025-03-31"),
        (lambda ids: ids[5], "2025-05-01", "2025-05-30"),
        (lambda ids: ids[:4], "2025-05-31", "2025-06-02"),  # no trading day in the window
        (lambda ids: ids[:20], "1990-01-01", "2018-03-01"),  # from before the calendar's start
    ],
)
def test_store_mean_equals_frame_mean(ids: list[str], ids_of: Any, start: str, end: str) -> None:
    import tarnwick

    wanted = ids_of(ids)
    frame = tarnwick.get_price_change_rate(wanted, start, end).mean()
    store = tarnwick.get_mean_price_change_rate(wanted, start, end)
    pd.testing.assert_index_equal(store.index, frame.index)
    np.testing.assert_allclose(store.values, frame.values, rtol=1e-12, atol=0)
    assert store.isna().tolist() == frame.isna().tolist()


def test_a_call_leaves_nothing_for_the_cyclic_collector(
    monkeypatch: pytest.MonkeyPatch, ids: list[str]
) -> None:
    """Research loops run thousands of calls: each call's helper (and the problem it serves) is
    freed when the call returns, not when the cyclic garbage collector next runs."""
    import gc
    import weakref

    helpers: list[weakref.ref[OptimizeHelper]] = []

    class Recorded(OptimizeHelper):
        def __init__(self, *args: Any) -> None:
            super().__init__(*args)
            helpers.append(weakref.ref(self))

    monkeypatch.setattr(mo, "OptimizeHelper", Recorded)
    gc.collect()
    gc.disable()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", OptimizerWarning)
            mo.portfolio_optimize(ids, DATE, MinTrackingError(), CAPS, headline(ids), BENCH)
        assert len(helpers) == 1 and helpers[0]() is None
    finally:
        gc.enable()
