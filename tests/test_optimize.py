"""morvane.optimize: input normalisation, weight bounds and the driver, first against a stand-in
data client, helper and cvxpy problem, then end to end on the small sample market."""

from __future__ import annotations

import datetime
import logging
import os
import subprocess
import sys
import textwrap
import warnings
from pathlib import Path
from typing import Any

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest
from dateutil.parser import ParserError

import morvane.benchmark as mb
import morvane.optimize as mo
from fakes import FakeHelper, FakeInstrument, FakeTarnwick
from morvane.const import CovModel, RiskModel
from morvane.exception import InvalidArgument, OptimizationFailed, OptimizerWarning
from morvane.helper import OptimizeHelper
from morvane.objective import (
    ActiveMeanVariance,
    MaxInformationRatio,
    MaxSharpeRatio,
    MinActiveVariance,
    MinTrackingError,
    MinVariance,
    RiskParity,
)

DATE = datetime.date(2021, 3, 5)
IDS = ["D", "C", "B", "A"]  # all tradeable on DATE
RECORDS = [FakeInstrument(i) for i in IDS] + [
    FakeInstrument("IDX", type="INDX"), FakeInstrument("FUND", type="LOF"),
    FakeInstrument("LATER", listed_date="2021-03-08"),
    FakeInstrument("TODAY", listed_date="2021-03-05"),
    FakeInstrument("EVE", listed_date="2021-03-04"),
    FakeInstrument("GONE", de_listed_date="2021-03-05"),
    FakeInstrument("GOING", de_listed_date="2021-03-08"),
]  # fmt: skip


def IA(message: str) -> tuple[type, str]:
    return (InvalidArgument, message)


def check(call: Any, expected: Any) -> None:
    """`call()` returns `expected`, or raises exactly the (type, message) that it names; a
    message of None accepts any text."""
    if isinstance(expected, tuple) and isinstance(expected[0], type):
        with pytest.raises(expected[0]) as info:
            call()
        assert type(info.value) is expected[0]
        assert expected[1] is None or str(info.value) == expected[1]
    else:
        assert call() == expected


class Hostile:
    def __eq__(self, *other: object) -> bool:
        raise ZeroDivisionError

    __bool__ = __lt__ = __gt__ = __eq__  # type: ignore[assignment]
    __hash__ = object.__hash__


class HostileList(list):
    __bool__ = Hostile.__eq__  # type: ignore[assignment]


class EqualsAnything:
    def __eq__(self, other: object) -> bool:
        return True


# ---- input normalisation and weight bounds ----

U = ["A", "B", "C", "D", "E"]
PAIR = "上下限应该以 (lower, upper) 的形式指定"
NOT_DICT = "bnds 应该是一个类似 dict 的结构，key 为order_book_id, value 为 (lower, upper)"
NO_ENUM = "invalid value {} for {}"
NOT_DATE = "expect a datetime like object, got <class '{}'>({})"


@pytest.mark.parametrize(
    "func, args, expected",
    [
        (mo.to_enum, (CovModel.FACTOR_MODEL_MONTHLY, CovModel), CovModel.FACTOR_MODEL_MONTHLY),
        (mo.to_enum, ("quarterly", CovModel), CovModel.FACTOR_MODEL_QUARTERLY),
        (mo.to_enum, (EqualsAnything(), RiskModel), RiskModel.V1),
        (mo.to_enum, ("FACTOR_MODEL_DAILY", CovModel),
         IA(NO_ENUM.format("FACTOR_MODEL_DAILY", "CovModel"))),
        (mo.to_enum, (RiskModel.V1, CovModel), IA(NO_ENUM.format("RiskModel.V1", "CovModel"))),
        (mo.to_enum, (Hostile(), CovModel), (ZeroDivisionError, None)),
        (mo.to_date, (datetime.datetime(2021, 3, 5, 23, 59),), DATE),
        (mo.to_date, (pd.Timestamp("2021-03-05 10:00"),), DATE),
        (mo.to_date, ("20210305",), DATE),
        (mo.to_date, ("no date",), (ParserError, None)),
        (mo.to_date, (20210305,), IA(NOT_DATE.format("int", 20210305))),
        (mo.to_date, ((2021, 3),), IA(NOT_DATE.format("tuple", (2021, 3)))),
        (mo.ensure_date_str, (datetime.date(999, 1, 2),), "0999-01-02"),
        (mo.ensure_date_str, ("2021/3/5",), "2021-03-05"),
        (mo.ensure_bound, (None,), None),
        (mo.ensure_bound, ("0.5",), 0.5),
        (mo.ensure_bound, ("abc",), IA("约束的上限或下限非法: abc")),
        (mo.ensure_bound, ([1],), (TypeError, None)),
        (mo.parse_bnds, ({"*": (0, 0.1)}, U), IA("上限之和小于1")),
        (mo.parse_bnds, ({"*": (0.25, 1)}, U), IA("下限之和大于1")),
        (mo.parse_bnds, ([("A", (0, 1))], U), IA(NOT_DICT)),
        (mo.parse_bnds, ({"B": (-0.1, 1)}, U), IA("合约 B 的下限 -0.1 无效")),
        (mo.parse_bnds, ({"B": (0, 2)}, U), IA("合约 B 的上限 2 无效")),
        (mo.parse_bnds, ({"B": (0.4, 0.3), "A": (0.5, 0.1)}, U),
         IA("合约 A 的上限 0.1 小于下限 0.5")),
        (mo.parse_bnds, ({"B": 0.3}, U), IA(PAIR)),
        (mo.parse_bnds, ({"B": ("a", 1)}, U), IA(PAIR)),
        (mo.parse_bnds, ({"B": (0.1, 0.2, 0.3)}, U),
         (ValueError, "too many values to unpack (expected 2)")),
        (mo.parse_bnds, ({"*": (None, 1)}, U), (TypeError, None)),
        (mo.parse_bnds, ({"*": 1}, U), (TypeError, "cannot unpack non-iterable int object")),
        (mo.parse_bnds, ({"*": (10**400, 1)}, U), (OverflowError, None)),
        (mo.parse_bnds, ({"B": (Hostile(), 1)}, U), (ZeroDivisionError, None)),
    ],
)  # fmt: skip
def test_module_functions(func: Any, args: tuple, expected: Any) -> None:
    check(lambda: func(*args), expected)
    assert mo.to_date(dt=DATE) is DATE and func.__doc__ is None


@pytest.mark.parametrize(
    "bnds, lower, upper",
    [
        ({}, [0] * 5, [1] * 5),
        ({"*": (-0.2, 1.5)}, [-0.2] * 5, [1.5] * 5),  # the wildcard pair is never range-checked
        ({"*": ("0.1", 0.3), "B": (None, 0.3), "C": [0.2, None], "Z": (5, -1)},
         [0.1, 0, 0.2, 0.1, 0.1], [0.3, 0.3, 1, 0.3, 0.3]),
    ],
)  # fmt: skip
def test_parse_bnds(bnds: dict, lower: list, upper: list) -> None:
    result = mo.parse_bnds(bnds=bnds, order_book_ids=U)
    assert [a.dtype for a in result] == [np.float64] * 2
    assert [a.tolist() for a in result] == [lower, upper]


@pytest.fixture
def fake(monkeypatch: pytest.MonkeyPatch) -> dict[str, Any]:
    """The data client, the helper class and cvxpy's Problem replaced by recording stand-ins."""
    helpers: list[tuple[tuple, dict]] = []

    def make_helper(*args: Any, **kwargs: Any) -> FakeHelper:
        helpers.append((args, kwargs))
        return FakeHelper(args[0])

    client = FakeTarnwick(RECORDS)
    monkeypatch.setattr(mo, "tarnwick", client)
    monkeypatch.setattr(mb, "tarnwick", client)
    monkeypatch.setattr(mo, "OptimizeHelper", make_helper)
    thin_cp = type("ThinCvxpy", (), {"__getattr__": lambda self, name: getattr(cp, name)})()
    thin_cp.Problem = Recorder
    monkeypatch.setattr(mo, "cp", thin_cp)
    monkeypatch.setattr(Recorder, "log", [])
    monkeypatch.setattr(Recorder, "script", [])
    return {"helpers": helpers, "client": client, "solves": Recorder.log}


def test_ensure_order_book_ids_drops_with_warnings(fake: dict[str, Any]) -> None:
    ids = ["B", "IDX", "A", "FUND", "LATER", "TODAY", "EVE", "GONE", "GOING", "A", "IDX", "NOPE"]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert mo.ensure_order_book_ids(ids, "20210305") == ["A", "B", "EVE", "GOING"]
        assert mo.ensure_order_book_ids("A", DATE) == ["A"]  # one record, wrapped
        assert mo.ensure_order_book_ids("NOPE", DATE) == []  # no record, like NOPE in a list
    assert fake["client"].calls == [ids, "A", "NOPE"]  # the caller's object, unchanged
    day, drop = "2021-03-05", OptimizerWarning
    assert [(str(w.message), w.category) for w in caught] == [
        ("IDX 不是股票，被剔除", drop), ("FUND 不是股票，被剔除", drop),
        (f"LATER 在 {day} 尚未上市，被剔除", drop), (f"TODAY 在 {day} 当天上市，被剔除", drop),
        (f"GONE 在 {day} 时已退市，被剔除", drop),
        ("重复的 order_book_id: A, 仅保留一个", UserWarning),
        ("IDX 不是股票，被剔除", drop),  # a dropped id is examined again
    ]  # fmt: skip
    assert {w.filename for w in caught} == {__file__}
    for bad in (5, None, 10**100):
        check(lambda bad=bad: mo.ensure_order_book_ids(bad, object()), IA("order_book_ids 非法"))
    assert len(fake["client"].calls) == 3  # refused before the date or the client is asked


def test_import_state_filter_and_debug_flag() -> None:
    script = textwrap.dedent(
        """
        import os
        import morvane.optimize as mo
        from fakes import FakeInstrument, FakeTarnwick
        os.environ["MORVANE_DEBUG"] = ""
        mo.tarnwick = FakeTarnwick([FakeInstrument("A"), FakeInstrument("X", type="INDX")])
        for _ in range(3):
            mo.ensure_order_book_ids(["X", "A", "A"], "2021-03-05")
        print(mo.DEBUG, mo.DEFAULT_OBJECTIVE.__class__.__name__)
        """
    )
    env = dict(os.environ, MORVANE_DEBUG="0", PYTHONPATH=str(Path(__file__).parent))
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["True", "MinVariance"]  # any non-empty text, read at import
    assert proc.stderr.count("OptimizerWarning: X 不是股票") == 3  # shown every time
    assert proc.stderr.count("UserWarning: 重复的 order_book_id: A") == 1  # ordinary filters


# ---- the driver, against the stand-ins ----


class Recorder(cp.Problem):
    """Logs each solve's keywords and constraint count; an entry of `script` replaces the
    next outcome: an exception to raise, or (status, returned value) set after the solve."""

    log: list[dict[str, Any]] = []
    script: list[Any] = []

    def solve(self, *args: Any, **kwargs: Any) -> Any:
        Recorder.log.append(dict(kwargs, constraints=len(self.constraints)))
        step = Recorder.script.pop(0) if Recorder.script else None
        if isinstance(step, Exception):
            raise step
        result = super().solve(*args, **kwargs)
        if step is not None:
            self._status, result = step
        return result


class Limit:
    """A constraint object: the scaled weight of the first stocks at most `value` * zeta."""

    def __init__(self, value: float, hard: bool, first: int = 1, log: list | None = None) -> None:
        self.value, self._hard, self.first, self.log = value, hard, first, log

    @property
    def hard(self) -> bool:
        self.log is not None and self.log.append("hard")
        return self._hard

    def to_constraints(self, g: cp.Variable, zeta: Any, helper: Any) -> list:
        self.log is not None and self.log.append(zeta)
        return [cp.sum(g[: self.first]) <= self.value * zeta]


class Unbounded(MaxSharpeRatio):
    """A ratio objective (so zeta is a variable) that falls without limit."""

    def get_objective_expr(self, g: Any, zeta: Any, helper: Any) -> Any:
        return -zeta

    def get_internal_constraints(self, g: Any, zeta: Any, helper: Any) -> list:
        return []


def run(*args: Any, **kwargs: Any) -> tuple[Any, list[warnings.WarningMessage]]:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = mo.portfolio_optimize(*args, **kwargs)
    return result, caught


ZERO = (ZeroDivisionError, None)
NEEDS = "对于目标函数 {}，必须传入 benchmark 参数"
BAD = (
    "无效的benchmark：{}；对于指数，可以直接传入对应的order_book_id；"
    "对于自定义基准，请传入一个 OptimizeBenchmark 的对象"
)
NOT_INDEX = "仅支持指数类型的 benchmark, 传入的 benchmark 是 {} 类型"


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((IDS, 20210305), {}, IA(NOT_DATE.format("int", 20210305))),
        ((7, DATE), {}, IA("order_book_ids 非法")),
        ((["IDX", "GONE", "NOPE"], DATE), {}, IA("经过剔除后，股票池为空")),
        (("NOPE", DATE), {}, IA("经过剔除后，股票池为空")),
        ((IDS, DATE, "MinVariance"), {}, IA("非法的目标函数")),
        ((IDS, DATE, MinTrackingError()), {}, IA(NEEDS.format("MinTrackingError"))),
        ((IDS, DATE, MinActiveVariance()), {}, IA(NEEDS.format("MinActiveVariance"))),
        ((IDS, DATE, MaxInformationRatio()), {}, IA(NEEDS.format("MaxInformationRatio"))),
        ((IDS, DATE, ActiveMeanVariance()), {}, IA(NEEDS.format("ActiveMeanVariance"))),
        ((IDS, DATE, MinTrackingError()), {"benchmark": 300}, IA(BAD.format(300))),
        ((IDS, DATE), {"benchmark": {"A": 1}}, IA(BAD.format({"A": 1}))),
        ((IDS, DATE), {"benchmark": "NOPE"}, IA("无效的 benchmark: NOPE")),
        ((IDS, DATE), {"benchmark": "A"}, IA(NOT_INDEX.format("CS"))),
        ((IDS, DATE), {"cov_model": "DAILY"}, IA(NO_ENUM.format("DAILY", "CovModel"))),
        ((IDS, DATE), {"risk_model": 10**100}, IA(NO_ENUM.format(10**100, "RiskModel"))),
        ((IDS, DATE, MinVariance(), Hostile()), {}, IA(NOT_DICT)),
        ((IDS, DATE, MinVariance(), None, 5), {}, (TypeError, None)),
        ((IDS, DATE, MinVariance(), None, [Hostile()]), {}, (AttributeError, None)),
        ((IDS, DATE, RiskParity(), {}, HostileList()), {}, ZERO),
        ((IDS, DATE), {"solver": Hostile()}, ZERO),
        ((IDS, DATE, *[None] * 10), {}, (TypeError, None)),  # twelve positional arguments
        ((IDS, DATE), {"verbose": True}, (TypeError, None)),  # clashes with the driver's keyword
    ],
)  # fmt: skip
def test_driver_refuses(fake: dict[str, Any], args: tuple, kwargs: dict, expected: Any) -> None:
    check(lambda: run(*args, **kwargs), expected)
    assert fake["solves"] == []


@pytest.mark.parametrize(
    "kwargs", [{}, {"objective": None, "bnds": {"*": (0, 0.1)}}, {"objective": MinTrackingError()}]
)
def test_single_stock_returns_at_once(fake: dict[str, Any], kwargs: dict) -> None:
    weights, caught = run(["IDX", "B", "B"], DATE, **kwargs)
    assert weights.to_dict() == {"B": 1.0} and fake["helpers"] == []
    assert [w.category for w in caught] == [OptimizerWarning, UserWarning]


def test_helper_built_with_seven_positional_arguments(fake: dict[str, Any]) -> None:
    with pytest.warns(UserWarning, match="重复的 order_book_id: A"):
        mo.portfolio_optimize(
            IDS + ["A"], "20210305", MinVariance(), None, None, "IDX", "monthly", 2.0, 3, "", "v2"
        )
    [(args, kwargs)] = fake["helpers"]
    assert kwargs == {} and args[:2] == (["A", "B", "C", "D"], DATE) and type(args[1]) is type(DATE)
    assert type(args[2]) is mb.IndexBenchmark and args[2]._order_book_id == "IDX"
    assert args[3:] == (CovModel.FACTOR_MODEL_MONTHLY, RiskModel.V2, 2.0, 3)


@pytest.mark.parametrize(
    "objective, zeta",
    [(MinVariance(), 1.0), (RiskParity(), 4), (MaxSharpeRatio(expected_returns=[1, 2, 3, 4]), 0)],
)
def test_zeta_and_hard_read_first(fake: dict[str, Any], objective: Any, zeta: Any) -> None:
    log: list = []
    cons = [Limit(0.9, True, log=log), Limit(0.9, False, log=log)]
    weights, _ = run(IDS, DATE, objective, cons=cons, solver=cp.CLARABEL)
    assert log[::2] == ["hard", "hard"] and log[1] is log[3]
    if zeta == 0:
        assert isinstance(log[1], cp.Variable) and log[1].shape == ()
    else:
        assert type(log[1]) is type(zeta) and log[1] == zeta
    assert list(weights.index) == sorted(IDS) and weights.sum() == pytest.approx(1, abs=1e-12)


@pytest.mark.parametrize(
    "bnds, cons, constraints",
    [(None, None, 0), ({}, [], 0), ({"*": (0, 0.4)}, None, 3), (None, [Limit(1, False)], 2)],
)
def test_risk_parity_alone_has_no_constraints(fake: dict[str, Any], bnds: Any, cons: Any,
                                              constraints: int) -> None:  # fmt: skip
    weights, _ = run(IDS, DATE, RiskParity(), bnds, cons)
    assert fake["solves"][0]["constraints"] == constraints
    assert weights.sum() == pytest.approx(1) and (weights > 0).all()


@pytest.mark.parametrize(
    "solver, options, expected",
    [
        (None, {}, {"solver": cp.SCS, "max_iters": 10000}),
        ("", {"max_iters": 500, "eps": 1e-6}, {"solver": cp.SCS, "max_iters": 500, "eps": 1e-6}),
        (cp.CLARABEL, {}, {"solver": cp.CLARABEL}),
    ],
)
def test_solver_choice_and_options(fake: dict[str, Any], solver: Any, options: dict,
                                   expected: dict) -> None:  # fmt: skip
    run(IDS, DATE, solver=solver, **options)
    assert fake["solves"] == [dict(expected, verbose=False, constraints=1)]


def test_default_objective_and_docstring(fake: dict[str, Any], monkeypatch: Any) -> None:
    monkeypatch.setitem(vars(mo.DEFAULT_OBJECTIVE), "get_preferred_solver", lambda: cp.CLARABEL)
    run(IDS, DATE)
    assert fake["solves"][0]["solver"] == cp.CLARABEL
    doc = mo.portfolio_optimize.__doc__
    assert doc.startswith("\n    组合优化，根据给定的约束及目标函数计算最优组合权重。\n")
    assert doc.endswith("\n    :return: pd.Series 组合最优化权重\n    ") and doc.count("\n") == 43


def test_log_records(fake: dict[str, Any], caplog: pytest.LogCaptureFixture) -> None:
    with caplog.at_level(logging.DEBUG, logger="root"):
        run(IDS, DATE, RiskParity())
    records = [r for r in caplog.records if r.name == "root"]
    assert [(r.levelno, r.msg) for r in records] == [
        (logging.INFO, "solve time: %f, optimization result = %f"),
        (logging.DEBUG, "g.value.sum() = %f, zeta = %f"),
    ]
    assert records[0].args[0] >= 0 and records[1].args[1] == 4


def test_soft_constraints_dropped_once(fake: dict[str, Any]) -> None:
    cons = [Limit(0.5, True, first=2), Limit(0.0, False, first=4), Limit(0.1, False)]
    weights, caught = run(IDS, DATE, bnds={"A": (0.2, 1)}, cons=cons, solver=cp.CLARABEL)
    assert [(str(w.message), w.category, w.filename) for w in caught] == [
        ("约束无法满足，放弃所有软约束重试", OptimizerWarning, __file__)
    ]
    assert [s["constraints"] for s in fake["solves"]] == [6, 4]
    assert weights["A"] >= 0.2 - 1e-6 and weights[["A", "B"]].sum() <= 0.5 + 1e-6


@pytest.mark.parametrize(
    "objective, cons, script, reason, solves",
    [
        (MinVariance(), [Limit(-1, True)], [], cp.INFEASIBLE, 1),
        (MinVariance(), [Limit(-1, True), Limit(0.5, False)], [], cp.INFEASIBLE, 2),
        (Unbounded(), [Limit(0.5, False)], [], cp.UNBOUNDED, 1),
        (MinVariance(), [Limit(1, False)], [(cp.USER_LIMIT, "stopped")], "stopped", 1),
        (MinVariance(), None, [(cp.INFEASIBLE_INACCURATE, np.float64(np.inf))],
         cp.INFEASIBLE_INACCURATE, 1),
        (MinVariance(), None, [cp.SolverError("boom")], "failed", 1),
    ],
)  # fmt: skip
def test_optimization_failed(fake: dict[str, Any], objective: Any, cons: Any, script: list,
                             reason: str, solves: int) -> None:  # fmt: skip
    Recorder.script.extend(script)
    with pytest.raises(OptimizationFailed) as info:
        run(IDS, DATE, objective, cons=cons, solver=cp.CLARABEL)
    assert info.value.args == (reason,) and len(fake["solves"]) == solves
    assert isinstance(info.value.__context__, cp.SolverError) == (reason == "failed")


def test_other_outcomes(fake: dict[str, Any]) -> None:
    Recorder.script.extend([KeyError("solver"), (cp.OPTIMAL_INACCURATE, 0.1)])
    check(lambda: run(IDS, DATE), (KeyError, "'solver'"))  # not a SolverError: unchanged
    weights, caught = run(IDS, DATE)
    assert [(str(w.message), w.category, w.filename) for w in caught] == [
        ("达到最大迭代次数，但仍未达到所需精度，可能会导致某些约束不能满足", OptimizerWarning,
         __file__)
    ]  # fmt: skip
    assert weights.sum() == pytest.approx(1)


# ---- end to end on the small sample market ----

SAMPLE_DATE = datetime.date(2025, 6, 3)


@pytest.fixture(scope="module")
def universe(small_store: Path) -> list[str]:
    import tarnwick

    return sorted(tarnwick.index_components("000300.XSHG", SAMPLE_DATE))


def test_min_variance_end_to_end(universe: list[str]) -> None:
    ids = universe[::-1] + ["000300.XSHG", "002984.XSHE"]  # an index, a delisted stock
    weights, caught = run(order_book_ids=ids, date="2025-06-03", bnds={"*": (0, 0.05)})
    assert [(str(w.message), w.filename) for w in caught] == [
        ("000300.XSHG 不是股票，被剔除", __file__),
        ("002984.XSHE 在 2025-06-03 时已退市，被剔除", __file__),
    ]
    assert list(weights.index) == universe and weights.sum() == pytest.approx(1, abs=1e-12)
    assert weights.max() <= 0.05 + 1e-4 and weights.min() >= -1e-6
    cov = OptimizeHelper(universe, SAMPLE_DATE, None, CovModel.FACTOR_MODEL_DAILY, RiskModel.V1,
                         1.0, 1.0).get_cov_matrix()  # fmt: skip
    w = cp.Variable(len(universe))  # the same problem, written out directly
    best = cp.Problem(cp.Minimize(cp.quad_form(w, cov)), [cp.sum(w) == 1, w >= 0, w <= 0.05])
    best.solve(solver=cp.CLARABEL)
    variance, equal = weights.values @ cov @ weights.values, np.full(w.size, 1 / w.size)
    assert variance <= best.value * (1 + 1e-3) + 1e-7 and variance < equal @ cov @ equal


@pytest.mark.parametrize("bnds", [None, {"*": (0, 0.025)}])
def test_risk_parity_end_to_end(universe: list[str], bnds: Any) -> None:
    weights = mo.portfolio_optimize(universe, SAMPLE_DATE, RiskParity(), bnds)
    assert weights.sum() == pytest.approx(1)
    if bnds:
        assert weights.max() <= 0.025 + 1e-4
    else:  # equal risk contributions
        cov = OptimizeHelper(universe, SAMPLE_DATE, None, CovModel.FACTOR_MODEL_DAILY,
                             RiskModel.V1, 1.0, 1.0).get_cov_matrix()  # fmt: skip
        contributions = weights.values * (cov @ weights.values)
        assert contributions.max() / contributions.min() < 1.05
