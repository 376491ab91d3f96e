"""Every returned answer keeps its constraints; every failure says why.

A randomised end-to-end run on the small sample market measures each returned result against
its constraints from the weights and the market data alone (not through the optimiser's own
check); then the named cases: the near-infeasible tracking-error limit, a two-constraint
conflict, the solve information of a binding turnover limit, and the notes of failures."""

from __future__ import annotations

import datetime
import re
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import morvane.optimize as mo
from morvane import constraints as mc
from morvane import objective as mobj
from morvane.const import STYLE_FACTORS, CovModel, IndustryClassification, RiskModel
from morvane.exception import InvalidArgument, OptimizationFailed, OptimizerWarning
from morvane.helper import OptimizeHelper

LINEAR_TOL = 1e-8  # weight units (relative once the terms exceed one)
RELATIVE_TOL = 1e-6  # quadratic limits
DROP_WARNING = "约束无法满足，放弃所有软约束重试"
INDICES = ["000300.XSHG", "000905.XSHG", "000852.XSHG", "000016.XSHG"]
# Objectives whose scale is not the float 1.0: a tracking-error limit is ignored (with a warning).
UNSCALED = (mobj.MaxSharpeRatio, mobj.MaxInformationRatio, mobj.RiskParity)


@pytest.fixture(scope="module")
def market(small_store: Path) -> dict[str, Any]:
    import tarnwick

    dates = [d for d in tarnwick.get_trading_dates("2025-02-03", "2025-12-20")]
    return {"tarnwick": tarnwick, "dates": dates}


# ---- the random calls ----


@dataclass
class Call:
    ids: list[str]
    date: datetime.date
    objective: Any
    benchmark: str | None
    bnds: dict | None
    cons: list = field(default_factory=list)

    def run(self) -> tuple[pd.Series, list[warnings.WarningMessage]]:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            weights = mo.portfolio_optimize(
                self.ids, self.date, self.objective, bnds=self.bnds, cons=self.cons,
                benchmark=self.benchmark,
            )  # fmt: skip
        return weights, caught


def random_call(rng: np.random.Generator, market: dict[str, Any]) -> Call:
    tw = market["tarnwick"]
    date = market["dates"][rng.integers(len(market["dates"]))]
    pool = sorted({s for i in INDICES for s in tw.index_components(i, date)})
    n = int(rng.integers(5, 60))
    ids = sorted(rng.choice(pool, size=min(n, len(pool)), replace=False).tolist())
    benchmark = str(rng.choice(INDICES)) if rng.random() < 0.6 else None
    objective = random_objective(rng, ids, benchmark)
    bnds = random_bnds(rng, ids)
    helper = OptimizeHelper(ids, date, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1.0, 1.0)
    industries = helper.get_industry_mapping(IndustryClassification.SWS)
    cons = [random_constraint(rng, ids, industries, benchmark, tw, date)
            for _ in range(int(rng.integers(0, 4)))]  # fmt: skip
    return Call(ids, date, objective, benchmark, bnds, cons)


def random_objective(rng: np.random.Generator, ids: list[str], benchmark: str | None) -> Any:
    plain = [
        lambda: mobj.MinVariance(),
        lambda: mobj.MeanVariance(risk_aversion_coefficient=float(rng.uniform(0.5, 5))),
        lambda: mobj.RiskParity(),
        lambda: mobj.MaxSharpeRatio(),
        lambda: mobj.MaxIndicator(pd.Series(rng.normal(size=len(ids)), index=ids)),
        lambda: mobj.MinStyleDeviation({"size": float(rng.normal()), "beta": 0.0}),
    ]
    relative = [
        lambda: mobj.MinActiveVariance(),
        lambda: mobj.ActiveMeanVariance(),
        lambda: mobj.MinTrackingError(),
        lambda: mobj.MaxInformationRatio(),
    ]
    choices = plain + (relative if benchmark else [])
    return choices[rng.integers(len(choices))]()


def random_bnds(rng: np.random.Generator, ids: list[str]) -> dict | None:
    kind = rng.integers(4)
    if kind == 0:
        return None
    upper = float(min(1.0, rng.uniform(1.5, 6) / len(ids)))
    bnds: dict = {"*": (0.0, upper)}
    if kind >= 2:
        chosen = rng.choice(ids, size=min(3, len(ids)), replace=False)
        for s in chosen:
            bnds[str(s)] = (float(rng.uniform(0, 0.3 / len(ids))), None)
    return bnds


def random_holding(rng: np.random.Generator, ids: list[str]) -> pd.Series:
    held = rng.choice(ids, size=max(1, len(ids) // 2), replace=False)
    w = rng.uniform(0.5, 1.5, size=len(held))
    return pd.Series(w / w.sum(), index=held)


def random_constraint(rng: np.random.Generator, ids: list[str], industries: pd.Series,
                      benchmark: str | None, tw: Any, date: datetime.date) -> Any:  # fmt: skip
    hard = bool(rng.random() < 0.7)
    names = sorted(set(industries) - {"UNKNOWN"}) or ["UNKNOWN"]
    industry = str(rng.choice(names))
    styles = rng.choice(STYLE_FACTORS, size=int(rng.integers(1, 4)), replace=False).tolist()
    width = float(rng.uniform(0.2, 1.5))
    makers = [
        lambda: mc.TurnoverLimit(random_holding(rng, ids), float(rng.uniform(0.2, 0.9)),
                                 hard=hard),  # fmt: skip
        lambda: mc.IndustryConstraint(industry, upper_limit=float(rng.uniform(0.1, 0.6)),
                                      hard=hard),  # fmt: skip
        lambda: mc.WildcardIndustryConstraint(upper_limit=float(rng.uniform(0.3, 0.7)), hard=hard),
        lambda: mc.StyleConstraint(styles, lower_limit=-width, upper_limit=width, hard=hard),
        lambda: mc.wildcard_style_constraint(exclude=styles, lower_limit=-2 * width,
                                             upper_limit=2 * width, hard=hard),  # fmt: skip
        lambda: mc.IndustryComponentLimit(industry, upper_limit=float(rng.uniform(0.3, 0.9)),
                                          hard=hard),  # fmt: skip
        lambda: mc.IndexComponentLimit(str(rng.choice(INDICES)),
                                       upper_limit=float(rng.uniform(0.3, 0.9)), hard=hard),
        lambda: mc.StockPoolLimit(rng.choice(ids, size=max(1, len(ids) // 3)).tolist(),
                                  lower_limit=float(rng.uniform(0.05, 0.3)), hard=hard),
        lambda: mc.TransactionVolumeLimit(upper_limit=float(rng.uniform(0.05, 0.5)),
                                          cash=float(10 ** rng.uniform(6, 8)), hard=hard),
        lambda: mc.TransactionMarketValueLimit(upper_limit=float(rng.uniform(0.001, 0.05)),
                                               cash=float(10 ** rng.uniform(6, 9)), hard=hard),
    ]  # fmt: skip
    if benchmark:
        makers += [
            lambda: mc.TrackingErrorLimit(float(rng.uniform(0.02, 0.15)), hard=hard),
            lambda: mc.BenchmarkComponentWeightLimit(float(rng.uniform(0.2, 0.9)), hard=hard),
            lambda: mc.IndustryConstraint(industry, lower_limit=-0.1, upper_limit="+20%",
                                          relative=True, hard=hard),  # fmt: skip
            lambda: mc.StyleConstraint(styles, lower_limit=-width, upper_limit=width,
                                       relative=True, hard=hard),  # fmt: skip
        ]
    return makers[rng.integers(len(makers))]()


# ---- measuring a result without the optimiser ----


def excess(lhs: Any, rhs: Any) -> float:
    """Largest violation of lhs <= rhs, relative to the terms once they exceed one."""
    lhs, rhs = np.asarray(lhs, dtype=float), np.asarray(rhs, dtype=float)
    scale = np.maximum(1.0, np.maximum(np.abs(lhs), np.abs(rhs)))
    return float(np.max((lhs - rhs) / scale, initial=-np.inf))


def tracking_variance(w: pd.Series, helper: OptimizeHelper) -> float:
    active = w.reindex(helper.union_components, fill_value=0.0).values
    active = active - helper.benchmark_weight.values
    return float(active @ helper.get_union_cov_matrix() @ active)


def linear_excesses(c: Any, w: pd.Series, helper: OptimizeHelper) -> list[float]:
    """The constraint object's own constraints, evaluated at w (scale one) by hand."""
    x = cp.Variable(len(w))
    x.value = w.values
    out = []
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        built = c.to_constraints(x, 1.0, helper)
    for con in built:
        lhs, rhs = (a.value for a in con.args)
        out.append(excess(lhs, rhs) if isinstance(con, cp.constraints.Inequality)
                   else excess(np.abs(np.asarray(lhs) - rhs), 0.0))  # fmt: skip
    return out


def violations(call: Call, w: pd.Series, kept: list) -> list[tuple[Any, float, float]]:
    """(what, amount, tolerance) for every breach of a bound or a kept constraint."""
    tw_components = mo.tarnwick.index_components
    bench = mo.IndexBenchmark(call.benchmark) if call.benchmark else None
    helper = OptimizeHelper(call.ids, call.date, bench, CovModel.FACTOR_MODEL_DAILY,
                            RiskModel.V1, 1.0, 1.0)  # fmt: skip
    found = []

    def note(what: Any, amount: float, tol: float) -> None:
        if not amount <= tol:
            found.append((what, amount, tol))

    note("sum", abs(w.sum() - 1), LINEAR_TOL)
    lower = pd.Series(0.0, index=w.index)
    upper = pd.Series(1.0, index=w.index)
    if call.bnds is not None:
        star = call.bnds.get("*", (0.0, 1.0))
        lower[:], upper[:] = star
        for s, (lo, hi) in call.bnds.items():
            if s in w.index:
                lower[s], upper[s] = (0.0 if lo is None else lo), (1.0 if hi is None else hi)
    note("bnds", excess(lower, w), LINEAR_TOL)
    note("bnds", excess(w, upper), LINEAR_TOL)
    for c in kept:
        if isinstance(c, mc.TrackingErrorLimit):
            if not isinstance(call.objective, UNSCALED):
                note(c, tracking_variance(w, helper) / c.upper**2 - 1, RELATIVE_TOL)
        elif isinstance(c, mc.TurnoverLimit):
            h = c._current_holding
            traded = (w.reindex(w.index.union(h.index), fill_value=0.0)
                      - h.reindex(w.index.union(h.index), fill_value=0.0))  # fmt: skip
            note(c, traded.abs().sum() - 2 * c.upper, LINEAR_TOL)
        elif isinstance(c, mc.StockPoolLimit):
            held = w[w.index.isin(c.stock_list)].sum()
            note(c, max(excess(c.lower or 0, held), excess(held, c.upper or 1)), LINEAR_TOL)
        elif isinstance(c, mc.IndexComponentLimit):
            held = w[w.index.isin(tw_components(c.index_code, call.date))].sum()
            note(c, max(excess(c.lower or 0, held), excess(held, c.upper or 1)), LINEAR_TOL)
        elif isinstance(c, mc.BenchmarkComponentWeightLimit):
            held = w[w.index.isin(helper.benchmark_components)].sum()
            note(c, excess(c.lower, held), LINEAR_TOL)
        else:
            note(c, max(linear_excesses(c, w, helper), default=-1.0), LINEAR_TOL)
    return found


def check_call(call: Call) -> str:
    try:
        w, caught = call.run()
    except OptimizationFailed as failure:
        if failure.args[0] == "failed":  # the solver gave up: its message is in the note
            assert isinstance(failure.__context__, cp.SolverError) and failure.__notes__
            return "solver error"
        assert failure.args[0] in (cp.INFEASIBLE, cp.INFEASIBLE_INACCURATE, cp.UNBOUNDED,
                                   cp.OPTIMAL, cp.OPTIMAL_INACCURATE, cp.USER_LIMIT)  # fmt: skip
        if failure.args[0] in (cp.INFEASIBLE, cp.INFEASIBLE_INACCURATE):
            assert failure.__notes__[0].startswith(failure.args[0] + ": ")
        return failure.args[0]
    except InvalidArgument:
        return "refused"  # e.g. expected returns that are all non-positive
    dropped = any(str(m.message) == DROP_WARNING for m in caught)
    kept = [c for c in call.cons if c.hard or not dropped]
    found = violations(call, w, kept)
    assert not found, (call, found)
    info = w.attrs["morvane"]
    assert info["dropped"] == ([c for c in call.cons if not c.hard] if dropped else [])
    return "refined" if info["refined"] else "returned"


def run_random_calls(count: int, seed: int, market: dict[str, Any]) -> dict[str, int]:
    rng = np.random.default_rng(seed)
    outcomes: dict[str, int] = {}
    for _ in range(count):
        outcome = check_call(random_call(rng, market))
        outcomes[outcome] = outcomes.get(outcome, 0) + 1
    return outcomes


def test_random_calls_keep_their_constraints(market: dict[str, Any]) -> None:
    outcomes = run_random_calls(200, seed=10, market=market)
    print(outcomes)
    assert outcomes.get("returned", 0) + outcomes.get("refined", 0) > 100, outcomes


@pytest.mark.slow
def test_many_random_calls_keep_their_constraints(market: dict[str, Any]) -> None:
    outcomes = run_random_calls(2500, seed=2026, market=market)
    print(outcomes)
    assert outcomes.get("returned", 0) + outcomes.get("refined", 0) > 1500, outcomes


# ---- named cases ----


def first_stocks(market: dict[str, Any], count: int) -> list[str]:
    return sorted(market["tarnwick"].all_instruments(type="CS")["order_book_id"])[:count]


def fail(*args: Any, **kwargs: Any) -> OptimizationFailed:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(OptimizationFailed) as info:
            mo.portfolio_optimize(*args, **kwargs)
    return info.value


@pytest.mark.parametrize("solver", [None, cp.CLARABEL])
def test_near_infeasible_tracking_error_is_not_returned(market: dict[str, Any],
                                                        solver: Any) -> None:  # fmt: skip
    limit = mc.TrackingErrorLimit(0.05)
    failure = fail(first_stocks(market, 50), datetime.date(2024, 5, 31), mobj.MinVariance(),
                   cons=[limit], benchmark="000852.XSHG", solver=solver)  # fmt: skip
    assert failure.args == ("infeasible",)
    assert failure.conflicts == [limit]
    assert failure.__notes__ == [f"infeasible: these cannot hold together: {limit!r}"]


def test_soft_tracking_error_is_dropped_when_the_refined_answer_is_infeasible(
    market: dict[str, Any],
) -> None:
    ids, date = first_stocks(market, 50), datetime.date(2024, 5, 31)
    soft = mc.TrackingErrorLimit(0.05, hard=False)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        w = mo.portfolio_optimize(ids, date, cons=[soft], benchmark="000852.XSHG")
    assert DROP_WARNING in [str(m.message) for m in caught]
    assert w.attrs["morvane"]["dropped"] == [soft]


def test_two_constraint_conflict_named_exactly(market: dict[str, Any]) -> None:
    date = datetime.date(2025, 6, 3)
    ids = sorted(market["tarnwick"].index_components("000300.XSHG", date))
    pool = ids[:5]
    cap = mc.StockPoolLimit(pool, upper_limit=0.2)
    harmless = mc.StyleConstraint("size", lower_limit=-5, upper_limit=5)
    floor = mc.IndexComponentLimit("000300.XSHG", lower_limit=0.5)  # every stock is one
    pool_floor = mc.StockPoolLimit(pool, lower_limit=0.3)
    failure = fail(ids, date, cons=[harmless, cap, floor, pool_floor],
                   bnds={"*": (0, 0.5)})  # fmt: skip
    assert failure.args == ("infeasible",)
    assert failure.conflicts == [cap, pool_floor]
    assert failure.__notes__ == [f"infeasible: these cannot hold together: {cap!r}, {pool_floor!r}"]
    assert "StockPoolLimit(lower=None, upper=0.2, stock_list=[" in repr(cap)


def test_bounds_are_a_unit_of_the_diagnosis(market: dict[str, Any]) -> None:
    date = datetime.date(2025, 6, 3)
    ids = sorted(market["tarnwick"].index_components("000300.XSHG", date))
    pool = mc.StockPoolLimit(ids[:3], lower_limit=0.5)
    failure = fail(ids, date, bnds={"*": (0, 0.1)}, cons=[pool])
    assert failure.conflicts == ["bnds", pool]


def test_binding_turnover_limit_attrs(market: dict[str, Any]) -> None:
    date = datetime.date(2025, 6, 3)
    ids = sorted(market["tarnwick"].index_components("000300.XSHG", date))
    holding = pd.Series(1 / 10, index=ids[:10])
    turnover = mc.TurnoverLimit(holding, 0.1)
    loose = mc.StockPoolLimit(ids[:2], upper_limit=0.9)
    w = mo.portfolio_optimize(ids, date, cons=[turnover, loose], bnds={"*": (0, 0.3)})
    info = w.attrs["morvane"]
    assert set(info) == {"solver", "status", "solve_time", "objective_value", "binding",
                         "dropped", "refined", "shadow_prices"}  # fmt: skip
    assert info["binding"][-1] is turnover and loose not in info["binding"]
    assert info["status"] == cp.OPTIMAL and info["dropped"] == []
    assert info["solver"] == (cp.CLARABEL if info["refined"] else cp.SCS)
    assert info["solve_time"] > 0
    traded = (w.reindex(ids, fill_value=0) - holding.reindex(ids, fill_value=0)).abs().sum()
    assert traded == pytest.approx(0.2, abs=1e-7)
    helper = OptimizeHelper(ids, date, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1, 1)
    variance = float(w.values @ helper.get_cov_matrix() @ w.values)
    assert info["objective_value"] == pytest.approx(variance, rel=1e-5)


def test_single_stock_attrs(market: dict[str, Any]) -> None:
    w = mo.portfolio_optimize(first_stocks(market, 1), datetime.date(2025, 6, 3))
    assert w.attrs["morvane"]["solver"] is None and w.attrs["morvane"]["binding"] == []


def test_named_solver_refined_with_a_warning(market: dict[str, Any]) -> None:
    date = datetime.date(2025, 6, 3)
    ids = sorted(market["tarnwick"].index_components("000905.XSHG", date))
    cons = [mc.TrackingErrorLimit(0.05), mc.StyleConstraint("size", lower_limit=0, upper_limit=0,
                                                           relative=True)]  # fmt: skip
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        w = mo.portfolio_optimize(ids, date, cons=cons, benchmark="000905.XSHG", solver=cp.SCS,
                                  max_iters=200)  # fmt: skip
    refined = [str(m.message) for m in caught if m.category is OptimizerWarning]
    assert refined and refined[0].startswith("the answer of SCS failed the constraint check")
    assert w.attrs["morvane"]["refined"] and w.attrs["morvane"]["solver"] == cp.CLARABEL


def test_refined_answer_that_still_fails(market: dict[str, Any], monkeypatch: Any) -> None:
    date = datetime.date(2025, 6, 3)
    ids = sorted(market["tarnwick"].index_components("000905.XSHG", date))
    loose = {"tol_gap_abs": 1e-2, "tol_gap_rel": 1e-2, "tol_feas": 1e-3}
    monkeypatch.setattr(mo, "CLARABEL_OPTIONS", loose)  # read when the call runs
    limit = mc.TrackingErrorLimit(0.03)
    failure = fail(ids, date, cons=[limit], benchmark="000905.XSHG", solver=cp.SCS,
                   max_iters=20)  # fmt: skip
    assert failure.args == (cp.OPTIMAL,)
    assert re.fullmatch(re.escape(repr(limit)) + r" is broken by \S+ \(relative\), beyond the "
                        r"tolerance of 1\.0e-06", failure.__notes__[0])  # fmt: skip


@pytest.mark.parametrize(
    "first, fallback, solves, outcome",
    [
        ({"max_iter": 2}, {"max_iter": 200}, 3, "returned"),  # the fallback attempt answers
        ({"max_iter": 2}, {"max_iter": 3}, 3, cp.USER_LIMIT),  # both attempts stop short
        ({"max_iter": 2}, {}, 2, cp.USER_LIMIT),  # nothing new to try: no third solve
    ],
)
def test_refinement_falls_back(market: dict[str, Any], monkeypatch: Any, first: dict,
                               fallback: dict, solves: int, outcome: str) -> None:  # fmt: skip
    date = datetime.date(2025, 6, 3)
    ids = sorted(market["tarnwick"].index_components("000905.XSHG", date))
    monkeypatch.setattr(mo, "CLARABEL_OPTIONS", first)  # both read when the call runs
    monkeypatch.setattr(mo, "CLARABEL_FALLBACK_OPTIONS", fallback)
    calls: list[dict] = []
    solve = cp.Problem.solve

    def counted(problem: cp.Problem, *args: Any, **kwargs: Any) -> Any:
        calls.append(kwargs)
        return solve(problem, *args, **kwargs)

    monkeypatch.setattr(cp.Problem, "solve", counted)
    kwargs = dict(cons=[mc.TrackingErrorLimit(0.03)], benchmark="000905.XSHG", solver=cp.SCS,
                  max_iters=20)  # fmt: skip
    if outcome == "returned":
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            w = mo.portfolio_optimize(ids, date, **kwargs)
        assert w.attrs["morvane"]["refined"] and w.attrs["morvane"]["solver"] == cp.CLARABEL
    else:
        failure = fail(ids, date, **kwargs)
        assert failure.args == (outcome,)
        assert failure.__notes__[0].startswith("the answer of SCS failed the constraint check")
    assert [c["solver"] for c in calls] == [cp.SCS] + [cp.CLARABEL] * (solves - 1)
    assert calls[-1]["max_iter"] == {**first, **fallback}["max_iter"]


# a fixed and a variable scale
@pytest.mark.parametrize("objective", [mobj.MinVariance, mobj.MaxSharpeRatio])
def test_answer_is_checked_as_returned(market: dict[str, Any], monkeypatch: Any,
                                       objective: type) -> None:  # fmt: skip
    """The returned weights are g / sum(g): a solver's residual on the budget alone is no fault
    of them, and every other limit is measured at them."""
    date = datetime.date(2025, 6, 3)
    ids = first_stocks(market, 40)
    args = dict(objective=objective(), bnds={"*": (0, 0.05)},
                cons=[mc.StyleConstraint("size", upper_limit=0.5)], solver=cp.CLARABEL)  # fmt: skip
    exact = mo.portfolio_optimize(ids, date, **args)
    solve = cp.Problem.solve

    def off_budget(problem: cp.Problem, *a: Any, **kw: Any) -> Any:
        result = solve(problem, *a, **kw)
        # the budget sum(g) == zeta missed by 1e-6, on the side of the variable
        scale = [v for v in problem.variables() if v.ndim == 0]
        g = next(v for v in problem.variables() if v.attributes["nonneg"] and v.ndim == 1)
        missed = scale[0] if scale else g
        missed.save_value(missed.value * (1 + 1e-6))
        return result

    monkeypatch.setattr(cp.Problem, "solve", off_budget)
    w = mo.portfolio_optimize(ids, date, **args)
    assert not w.attrs["morvane"]["refined"]
    assert np.abs(w - exact).max() < 1e-12


def test_enhanced_index_answers_under_small_changes_of_the_holding(
    market: dict[str, Any],
) -> None:
    """A problem on which Clarabel's equilibration gives up for about one holding in six: dense
    style and tracking-error rows beside the turnover rows. Every call answers, and holds."""
    date = datetime.date(2025, 6, 3)
    tw = market["tarnwick"]
    ids = sorted(set(tw.index_components("000905.XSHG", date))
                 | set(tw.index_components("000852.XSHG", date)))  # fmt: skip
    cons = [
        mc.WildcardIndustryConstraint(lower_limit=-0.01, upper_limit=0.01, relative=True),
        mc.wildcard_style_constraint(lower_limit=-0.1, upper_limit=0.1, relative=True),
        mc.TrackingErrorLimit(0.04),
        mc.BenchmarkComponentWeightLimit(0.8),
    ]

    def momentum(day: datetime.date) -> mobj.ActiveMeanVariance:
        end = tw.get_previous_trading_date(day)
        returns = tw.get_price_change_rate(ids, tw.trading_date_offset(end, -120), end)
        score = returns.iloc[:-20].sum()
        alpha = 0.02 * ((score - score.mean()) / score.std()).clip(-3, 3)
        return mobj.ActiveMeanVariance(expected_active_returns=alpha)

    args = dict(bnds={"*": (0, 0.03)}, benchmark="000905.XSHG")
    start = datetime.date(2025, 5, 6)
    holding = mo.portfolio_optimize(ids, start, momentum(start), cons=cons, **args)
    objective = momentum(date)
    rng = np.random.default_rng(7)
    for _ in range(12):
        moved = holding * (1 + 1e-5 * rng.standard_normal(len(holding)))
        call = Call(ids, date, objective, "000905.XSHG", args["bnds"],
                    cons + [mc.TurnoverLimit(moved, 0.15)])  # fmt: skip
        assert check_call(call) in ("returned", "refined")


def test_refinement_failure_keeps_the_first_verdict(market: dict[str, Any],
                                                   monkeypatch: Any) -> None:  # fmt: skip
    date = datetime.date(2025, 6, 3)
    ids = sorted(market["tarnwick"].index_components("000905.XSHG", date))
    thin = type("Cvxpy", (), {"__getattr__": lambda self, name: getattr(cp, name)})()
    thin.CLARABEL = "ABSENT"  # the refinement's solver is read from the module's cp
    monkeypatch.setattr(mo, "cp", thin)
    failure = fail(ids, date, cons=[mc.TrackingErrorLimit(0.03)], benchmark="000905.XSHG",
                   solver=cp.SCS, max_iters=20)  # fmt: skip
    assert failure.args == ("failed",)
    assert failure.__notes__[0] == "solver ABSENT: The solver ABSENT is not installed."
    assert failure.__notes__[1].startswith(
        "the answer of SCS failed the constraint check: TrackingErrorLimit(upper=0.03, hard=True)"
    )


@pytest.mark.parametrize(
    "solver, options, text",
    [
        ("MOSEK", {}, "solver MOSEK: The solver MOSEK is not installed."),
        (cp.OSQP, {"no_such_option": 1}, "solver OSQP: Unrecognized settings ['no_such_option']"),
    ],
)
def test_solver_failure_note(market: dict[str, Any], solver: str, options: dict,
                             text: str) -> None:  # fmt: skip
    failure = fail(first_stocks(market, 5), datetime.date(2025, 6, 3),
                   mobj.MaxIndicator(pd.Series(1.0, index=first_stocks(market, 5))),
                   solver=solver, **options)  # fmt: skip
    assert failure.args == ("failed",) and isinstance(failure.__context__, cp.SolverError)
    assert failure.__notes__ == [text]


class Exposure:
    """A caller's constraint object with an auxiliary variable defined by an equality and a
    second-order cone limit on it: checked like any other."""

    def __init__(self, limit: float) -> None:
        self.limit, self._hard = limit, True

    @property
    def hard(self) -> bool:
        return self._hard

    def to_constraints(self, g: Any, zeta: Any, helper: Any) -> list:
        x = helper.get_factor_exposure().values
        y = cp.Variable(x.shape[1])
        return [y == x.T @ g, cp.SOC(self.limit * zeta, y)]


def test_auxiliary_variables_and_cones_are_checked(market: dict[str, Any]) -> None:
    date = datetime.date(2025, 6, 3)
    ids = sorted(market["tarnwick"].index_components("000905.XSHG", date))
    exposure = Exposure(0.3)
    w = mo.portfolio_optimize(ids, date, cons=[exposure])
    helper = OptimizeHelper(ids, date, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1, 1, 1)
    norm = np.linalg.norm(helper.get_factor_exposure().values.T @ w.values)
    assert norm <= 0.3 * (1 + RELATIVE_TOL)
    assert w.attrs["morvane"]["binding"] == [exposure]  # the equality is always active


@pytest.mark.parametrize(
    "obj, text",
    [
        (mc.TrackingErrorLimit(0.02), "TrackingErrorLimit(upper=0.02, hard=True)"),
        (mc.TurnoverLimit(pd.Series([0.5, 0.5], index=["A", "B"]), 0.2, hard=False),
         "TurnoverLimit(current_holding=<Series of 2>, upper=0.2, hard=False)"),
        (mc.StyleConstraint(["size"], lower_limit=-0.1, upper_limit=0.1, relative=True),
         "StyleConstraint(styles=['size'], relative=True, lower=-0.1, upper=0.1, hard=True)"),
        (mobj.MinVariance(), "MinVariance()"),
        (mobj.MaxSharpeRatio(window=20), "MaxSharpeRatio(expected_returns=None, window=20)"),
    ],
)  # fmt: skip
def test_readable_repr(obj: Any, text: str) -> None:
    assert repr(obj) == text
