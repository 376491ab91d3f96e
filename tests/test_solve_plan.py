"""The solve plan's passes and attempts, driven by scripted solver statuses.

Each solve runs for real; the script then overrides the status cvxpy reports, so the plan meets
outcomes a small market rarely produces (a solver that gives up on the second pass).
"""

from __future__ import annotations

import datetime
import warnings
from pathlib import Path
from typing import Any

import cvxpy as cp
import numpy as np
import pytest

import morvane.constraints as mc
import morvane.optimize as mo
from morvane.exception import OptimizationFailed

DATE = datetime.date(2025, 6, 3)


@pytest.fixture()
def ids(small_store: Path) -> list[str]:
    import tarnwick

    return sorted(tarnwick.index_components("000905.XSHG", DATE))[:20]


BROKEN = "an answer with all weight on the first stock"


def scripted(monkeypatch: pytest.MonkeyPatch, statuses: list[str | None]) -> list[Any]:
    """Patches cvxpy's solve: the n-th solve reports statuses[n] (None: what it found; BROKEN:
    its answer replaced by one that breaks the pool limit)."""
    calls: list[Any] = []
    solve = cp.Problem.solve

    def run(problem: cp.Problem, *args: Any, **kwargs: Any) -> Any:
        result = solve(problem, *args, **kwargs)
        status = statuses[len(calls)] if len(calls) < len(statuses) else None
        if status == BROKEN:
            g = next(v for v in problem.variables() if v.attributes["nonneg"] and v.size == 20)
            g.save_value(np.eye(20)[0])
        elif status is not None:
            problem._status = status
        calls.append(kwargs["solver"])
        return result

    monkeypatch.setattr(cp.Problem, "solve", run)
    return calls


@pytest.mark.parametrize(
    "statuses, soft, outcome, solvers",
    [
        # the chosen solver gives up: no refinement follows it, in either pass
        ([cp.USER_LIMIT], False, cp.USER_LIMIT, [cp.SCS]),
        ([cp.INFEASIBLE, cp.USER_LIMIT], True, cp.USER_LIMIT, [cp.SCS, cp.SCS]),
        # ... also after a refinement in the first pass
        (
            [BROKEN, cp.INFEASIBLE, cp.USER_LIMIT],
            True,
            cp.USER_LIMIT,
            [cp.SCS, cp.CLARABEL, cp.SCS],
        ),
        # infeasible with a soft constraint: the second pass, on the hard constraints, answers
        ([cp.INFEASIBLE, None], True, "returned", [cp.SCS, cp.SCS]),
        ([cp.INFEASIBLE_INACCURATE, None], True, "returned", [cp.SCS, cp.SCS]),
        # an answer that fails the check is refined with Clarabel, whose answer is returned
        ([BROKEN, None], False, "refined", [cp.SCS, cp.CLARABEL]),
    ],
)
def test_passes_and_attempts_follow_the_outcomes(
    ids: list[str],
    monkeypatch: pytest.MonkeyPatch,
    statuses: list[str | None],
    soft: bool,
    outcome: str,
    solvers: list[str],
) -> None:
    pool = mc.StockPoolLimit(ids[:5], upper_limit=0.5, hard=not soft)
    calls = scripted(monkeypatch, statuses)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if outcome in ("returned", "refined"):
            w = mo.portfolio_optimize(ids, DATE, cons=[pool], solver=cp.SCS)
            assert w.attrs["morvane"]["dropped"] == ([pool] if soft else [])
            assert w.attrs["morvane"]["refined"] is (outcome == "refined")
            assert abs(w.sum() - 1) < 1e-9
            assert soft or w[ids[:5]].sum() <= 0.5 + 1e-8  # a dropped soft limit need not hold
        else:
            with pytest.raises(OptimizationFailed) as failure:
                mo.portfolio_optimize(ids, DATE, cons=[pool], solver=cp.SCS)
            assert failure.value.args == (outcome,)
    assert calls == solvers
    retries = [w for w in caught if str(w.message) == "约束无法满足，放弃所有软约束重试"]
    assert len(retries) == (1 if soft else 0)
