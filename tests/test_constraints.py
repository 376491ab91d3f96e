"""morvane.constraints: the constraint base, bound helpers, and the tracking-error, turnover and
benchmark-component limits, checked against a stand-in helper."""

from __future__ import annotations

import abc
import pickle
import warnings
from collections.abc import Callable
from types import SimpleNamespace
from typing import Any

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

from fakes import FakeHelper, random_cov
from morvane import constraints as mc
from morvane.exception import InvalidArgument, OptimizerWarning

TE_WARNING = (
    "当目标函数为 MaxInformationRatio 或 MaxSharpeRatio 时，不支持 TrackingErrorLimit 类型的约束；"
    "此约束被忽略"
)
HSTACK = cp.atoms.affine.hstack.Hstack


def feasible(constraints: list[Any]) -> bool:
    assert len(constraints) == 1
    return bool(constraints[0].value())


# ---- module layout and the base class ----


def test_module_binds_imports_then_definitions_in_order() -> None:
    expected = [
        "ABCMeta",
        "warnings",
        "numbers",
        "cp",
        "np",
        "pd",
        "tarnwick",
        "InvalidArgument",
        "OptimizerWarning",
        "IndustryClassification",
        "STYLE_FACTORS",
        "OptimizationConstraint",
        "_ensure_bound",
        "ensure_series",
        "get_deviation_value",
        "TrackingErrorLimit",
        "TurnoverLimit",
        "BenchmarkComponentWeightLimit",
    ]
    names = [name for name in vars(mc) if not name.startswith("__")]
    assert [name for name in names if name in expected] == expected
    assert mc.cp is cp and mc.np is np and mc.pd is pd and mc.ABCMeta is abc.ABCMeta


def test_base_class_is_instantiable_and_unusable() -> None:
    base = mc.OptimizationConstraint
    assert type(base) is abc.ABCMeta
    assert base.__bases__ == (object,)
    assert base.__doc__ is None
    assert list(k for k in vars(base) if not k.startswith("_")) == ["to_constraints", "hard"]
    constraint = base()
    with pytest.raises(NotImplementedError) as info:
        constraint.to_constraints(g=None, zeta=1.0, helper=None)
    assert info.value.args == ()
    with pytest.raises(NotImplementedError):
        _ = constraint.hard
    assert isinstance(vars(base)["hard"], property) and vars(base)["hard"].fset is None


@pytest.mark.parametrize(
    "cls, doc",
    [
        (
            "TrackingErrorLimit",
            "\n    追踪误差约束。基准为优化时指定的基准。\n\n"
            "    :param upper_limit: 追踪误差上界\n    :param hard: 软约束/硬约束\n    ",
        ),
        (
            "TurnoverLimit",
            "\n    换手率约束\n\n    :param current_holding: 当前持仓\n"
            "    :param upper_limit: 换手率上界\n    :param hard: 软约束/硬约束\n    ",
        ),
        (
            "BenchmarkComponentWeightLimit",
            "\n    基准成分股权重限制。基准为优化时指定的基准。\n\n"
            "    :param lower_limit: 基准成分股权重之和下界\n    :param hard: 软约束/硬约束\n    ",
        ),
    ],
)
def test_class_docstrings_and_shape(cls: str, doc: str) -> None:
    klass = getattr(mc, cls)
    assert klass.__doc__ == doc
    assert klass.__bases__ == (mc.OptimizationConstraint,)
    assert type(klass) is abc.ABCMeta
    own = [k for k in vars(klass) if not k.startswith("_") or k == "__init__"]
    assert own == ["__init__", "to_constraints", "hard"]


def test_small_module_functions_have_no_docstring() -> None:
    for function in (mc._ensure_bound, mc.ensure_series, mc.get_deviation_value):
        assert function.__doc__ is None


# ---- the failure table ----

FAILURES: list[tuple[Callable[[], object], str]] = [
    (lambda: mc._ensure_bound("abc", "X:y"), "约束的上限或下限非法: X:y = abc"),
    (
        lambda: mc.ensure_series({1, 2}, "holding"),
        "holding: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象",
    ),
    (lambda: mc.get_deviation_value(0.2, "5%"), "约束的上下界格式不正确: 5%"),
    (lambda: mc.get_deviation_value(0.2, "+5"), "约束的上下界格式不正确: +5"),
    (lambda: mc.get_deviation_value(0.2, ""), "约束的上下界格式不正确: "),
    (lambda: mc.get_deviation_value(0.2, "%"), "约束的上下界格式不正确: %"),
    (lambda: mc.get_deviation_value(0.2, [1]), "约束指定的上限或下限 [1] 非法"),
    (lambda: mc.get_deviation_value(0.2, b"+5%"), "约束指定的上限或下限 b'+5%' 非法"),
    (lambda: mc.TrackingErrorLimit(None), "跟踪误差上限小于0：None"),
    (lambda: mc.TrackingErrorLimit(0), "跟踪误差上限小于0：0.0"),
    (lambda: mc.TrackingErrorLimit(-0.5), "跟踪误差上限小于0：-0.5"),
    (
        lambda: mc.TrackingErrorLimit("abc"),
        "约束的上限或下限非法: TrackingErrorLimit:upper_limit = abc",
    ),
    (
        lambda: mc.TurnoverLimit(None, 0.1),
        "在 TurnoverLimit 约束中，current_holding 参数不能为 None",
    ),
    (
        lambda: mc.TurnoverLimit(None, "abc"),
        "在 TurnoverLimit 约束中，current_holding 参数不能为 None",
    ),
    (
        lambda: mc.TurnoverLimit({"a", "b"}, 0.1),
        "current_holding: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象",
    ),
    (lambda: mc.TurnoverLimit({"a": 1.0}, 0), "换手率上限小于0：0.0"),
    (lambda: mc.TurnoverLimit({"a": 1.0}, None), "换手率上限小于0：None"),
    (
        lambda: mc.TurnoverLimit({"a": 1.0}, "x"),
        "约束的上限或下限非法: TrunoverLimit:upper_limit = x",
    ),
    *[
        (
            (lambda v=v: mc.BenchmarkComponentWeightLimit(v)),
            "在 BenchmarkComponentWeightLimit 中，lower_limit 应该在 [0, 1) 范围内",
        )
        for v in (None, 1, 1.5, -0.1)
    ],
    (
        lambda: mc.BenchmarkComponentWeightLimit("1e"),
        "约束的上限或下限非法: BenchmarkComponentWeightLimit:lower_limit = 1e",
    ),
]


@pytest.mark.parametrize("call, message", FAILURES)
def test_refusals_raise_invalid_argument_with_message(
    call: Callable[[], object], message: str
) -> None:
    with pytest.raises(InvalidArgument) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: mc._ensure_bound([0.1], "X:y"), TypeError),
        (lambda: mc.TrackingErrorLimit(object()), TypeError),
        (lambda: mc.get_deviation_value(0.2, "+%"), ValueError),
        (lambda: mc.get_deviation_value(0.2, "+5x%"), ValueError),
        (lambda: mc.get_deviation_value("abc", 1), TypeError),
    ],
)
def test_other_conversion_errors_pass_through(call: Callable[[], object], error: type) -> None:
    with pytest.raises(error) as info:
        call()
    assert not isinstance(info.value, InvalidArgument)


# ---- bound and Series helpers ----


def test_ensure_bound_keeps_floats_and_converts_the_rest() -> None:
    assert mc._ensure_bound(None, "x") is None
    value = np.float64(0.25)
    assert mc._ensure_bound(value, "x") is value
    for given, expected in [("0.05", 0.05), (3, 3.0), (True, 1.0), (np.int64(2), 2.0)]:
        result = mc._ensure_bound(given, "x")
        assert type(result) is float and result == expected


def test_ensure_series_is_the_shared_coercion() -> None:
    series = pd.Series([0.5, 0.5], index=["a", "b"])
    assert mc.ensure_series(series, "s") is series
    converted = mc.ensure_series({"a": 0.3, "b": 0.7}, "s")
    pd.testing.assert_series_equal(converted, pd.Series({"a": 0.3, "b": 0.7}))
    import morvane.objective as mo

    if hasattr(mo, "ensure_series"):
        with pytest.raises(InvalidArgument) as info:
            mo.ensure_series({1, 2}, "holding")
        assert str(info.value) == "holding: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象"


# ---- relative bounds ----


@pytest.mark.parametrize(
    "benchmark, deviation, expected",
    [
        (0.2, None, None),
        (0.12, -0.02, 0.10),
        (0.2, True, 1.2),
        (0.2, False, 0.2),
        (0.2, np.float64(0.5), 0.7),
        (0.2, np.int64(1), 1.2),
        (1, 2, 3.0),
        (0.2, "+5%", 0.21),
        (0.2, "-5%", 0.19),
        (0.2, "+0%", 0.2),
        (0.2, "+ 5 %", 0.21),
        (0.2, "+5e1%", 0.3),
        (0.2, "--5%", 0.21),
        (0.2, "+-5%", 0.19),
        (-0.4, "+50%", -0.6),
    ],
)
def test_get_deviation_value(benchmark: object, deviation: object, expected: float | None) -> None:
    result = mc.get_deviation_value(benchmark, deviation)
    if expected is None:
        assert result is None
    else:
        assert result == pytest.approx(expected, abs=1e-12)


def test_additive_deviation_is_a_float_and_percentage_keeps_the_benchmark_type() -> None:
    assert type(mc.get_deviation_value(np.float32(1.0), 1)) is float
    result = mc.get_deviation_value(np.array([0.2, 0.4]), "+50%")
    np.testing.assert_allclose(result, [0.3, 0.6])
    series = mc.get_deviation_value(pd.Series({"size": 1.0}), "-10%")
    assert isinstance(series, pd.Series) and series["size"] == pytest.approx(0.9)
    assert mc.get_deviation_value(0.2, "+inf%") == float("inf")


# ---- constructors ----


def test_attributes_are_stored_as_given() -> None:
    te = mc.TrackingErrorLimit(np.float64(0.05), hard=0)
    assert type(te.upper) is float and te.upper == 0.05
    assert te.__dict__ == {"upper": 0.05, "_hard": 0} and te.hard == 0
    assert mc.TrackingErrorLimit("0.05").upper == 0.05

    holding = pd.Series({"a": 0.6, "b": 0.4})
    turnover = mc.TurnoverLimit(holding, "0.2", hard="")
    assert list(turnover.__dict__) == ["_current_holding", "upper", "_hard"]
    assert turnover._current_holding is holding
    assert turnover.upper == 0.2 and turnover.hard == ""
    kept = np.float64(0.3)
    assert mc.TurnoverLimit({"a": 1.0}, kept).upper is kept

    limit = mc.BenchmarkComponentWeightLimit(0)
    assert limit.__dict__ == {"lower": 0.0, "_hard": True} and limit.hard is True


@pytest.mark.parametrize(
    "make",
    [
        lambda: mc.TrackingErrorLimit(0.05, False),
        lambda: mc.TurnoverLimit({"a": 1.0}, 0.1, False),
        lambda: mc.BenchmarkComponentWeightLimit(0.5, False),
    ],
)
def test_hard_is_keyword_only(make: Callable[[], object]) -> None:
    with pytest.raises(TypeError):
        make()


@pytest.mark.parametrize(
    "constraint",
    [
        mc.TrackingErrorLimit(0.05, hard=False),
        mc.TurnoverLimit(pd.Series({"a": 0.5, "z": 0.5}), 0.1, hard=False),
        mc.BenchmarkComponentWeightLimit(0.5, hard=False),
    ],
    ids=lambda c: type(c).__name__,
)
def test_hard_is_read_only_and_objects_pickle(constraint: object) -> None:
    with pytest.raises(AttributeError):
        constraint.hard = True  # type: ignore[attr-defined]
    copy = pickle.loads(pickle.dumps(constraint))
    assert type(copy) is type(constraint)
    assert copy.hard is False
    assert list(copy.__dict__) == list(constraint.__dict__)


# ---- to_constraints: tracking error ----


def tracking_setup(outside: bool) -> tuple[FakeHelper, np.ndarray]:
    ids = ["a", "b", "c", "d"]
    benchmark = {"a": 0.3, "b": 0.3, "x": 0.2, "y": 0.2} if outside else {"a": 0.4, "c": 0.6}
    helper = FakeHelper(ids, benchmark=benchmark)
    return helper, helper.benchmark_weight.values


def active_te(helper: FakeHelper, weights: np.ndarray) -> float:
    n_out = len(helper.union_components) - len(helper.order_book_ids)
    active = np.concatenate([weights, np.zeros(n_out)]) - helper.benchmark_weight.values
    return float(np.sqrt(active @ helper._union_cov @ active))


@pytest.mark.parametrize("outside", [False, True])
@pytest.mark.parametrize("zeta", [1.0, np.float64(2.0)])
def test_tracking_error_bounds_active_risk(outside: bool, zeta: float) -> None:
    helper, _ = tracking_setup(outside)
    rng = np.random.default_rng(3)
    g = cp.Variable(4, nonneg=True)
    for _ in range(10):
        weights = rng.dirichlet(np.ones(4))
        te = active_te(helper, weights)
        for limit, expected in [(te * 1.01, True), (te * 0.99, False)]:
            constraints = mc.TrackingErrorLimit(limit).to_constraints(g, zeta, helper)
            g.value = weights * zeta
            assert feasible(constraints) is expected
    assert (HSTACK in constraints[0].atoms()) is outside
    assert "get_union_cov_matrix" in helper.calls


@pytest.mark.parametrize("zeta", [cp.Variable(nonneg=True), 1, 4, True], ids=repr)
def test_tracking_error_warns_and_skips_without_a_float_scale(zeta: object) -> None:
    helper, _ = tracking_setup(outside=True)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = mc.TrackingErrorLimit(0.05).to_constraints(cp.Variable(4), zeta, helper)
    assert result == [] and isinstance(result, list)
    assert [(w.category, str(w.message)) for w in caught] == [(OptimizerWarning, TE_WARNING)]
    assert helper.calls == []


# ---- to_constraints: turnover ----


def realised_turnover(holding: pd.Series, ids: list[str], weights: np.ndarray) -> float:
    current = holding.reindex(ids, fill_value=0.0).values
    sold_outside = holding[~holding.index.isin(ids)].abs().sum()
    return float((np.abs(weights - current).sum() + sold_outside) / 2)


@pytest.mark.parametrize(
    "holding",
    [
        pd.Series({"a": 0.5, "b": 0.3, "c": 0.2}),
        pd.Series({"b": 0.5, "z": 0.3, "y": 0.2}),
        pd.Series({"d": 0.1, "a": 0.9}),
    ],
    ids=["inside", "outside", "partial"],
)
def test_turnover_bounds_one_way_turnover(holding: pd.Series) -> None:
    ids = ["a", "b", "c", "d"]
    helper = FakeHelper(ids)
    limit = mc.TurnoverLimit(holding, 0.3)
    before = dict(limit.__dict__)
    g = cp.Variable(4, nonneg=True)
    rng = np.random.default_rng(5)
    for _ in range(10):
        weights = rng.dirichlet(np.ones(4))
        turnover = realised_turnover(holding, ids, weights)
        for upper, expected in [(turnover * 1.01, True), (turnover * 0.99, False)]:
            constraints = mc.TurnoverLimit(holding, upper).to_constraints(g, 1.0, helper)
            g.value = weights
            assert feasible(constraints) is expected
    outside = not holding.index.isin(ids).all()
    assert (HSTACK in constraints[0].atoms()) is outside
    limit.to_constraints(g, 1.0, helper)
    assert limit.__dict__ == before


def test_turnover_outside_stocks_count_as_sold_under_a_variable_scale() -> None:
    helper = FakeHelper(["a", "b"])
    holding = pd.Series({"z": 0.4, "a": 0.6})
    g, zeta = cp.Variable(2, nonneg=True), cp.Variable(nonneg=True)
    # a stays at 0.6, b is bought at 0.4 and z (0.4) sold outright: one-way turnover 0.4
    constraints = mc.TurnoverLimit(holding, 0.4).to_constraints(g, zeta, helper)
    zeta.value = 3.0
    g.value = np.array([0.6, 0.4]) * 3.0
    assert feasible(constraints)
    constraints = mc.TurnoverLimit(holding, 0.39).to_constraints(g, zeta, helper)
    assert not feasible(constraints)
    assert constraints[0].args[0].args[0].shape == (3,)


# ---- to_constraints: benchmark components ----


@pytest.mark.parametrize(
    "lower, weights, expected",
    [
        (0.5, [0.3, 0.1, 0.2, 0.4], True),
        (0.5, [0.3, 0.3, 0.19, 0.21], False),
        (0.0, [0.0, 1.0, 0.0, 0.0], True),
        (0.99, [0.5, 0.0, 0.5, 0.0], True),
    ],
)
@pytest.mark.parametrize("scale", [1.0, "variable"])
def test_benchmark_component_weight(
    lower: float, weights: list[float], expected: bool, scale: object
) -> None:
    # a and c are components; x lies outside the universe and plays no part
    helper = FakeHelper(["a", "b", "c", "d"], benchmark={"a": 0.5, "c": 0.3, "x": 0.2})
    g = cp.Variable(4, nonneg=True)
    zeta: object = 1.0
    factor = 1.0
    if scale == "variable":
        zeta = cp.Variable(nonneg=True)
        zeta.value = factor = 2.5
    constraints = mc.BenchmarkComponentWeightLimit(lower).to_constraints(g, zeta, helper)
    g.value = np.array(weights) * factor
    assert feasible(constraints) is expected


# ---- Python-level behaviour ----


def test_python_subclass_extends_a_constraint() -> None:
    class Relaxed(mc.TrackingErrorLimit):
        def __init__(self, upper_limit: float) -> None:
            super().__init__(upper_limit * 2, hard=False)

        def to_constraints(self, g: Any, zeta: Any, helper: Any) -> list[Any]:
            return super().to_constraints(g, zeta, helper) + ["marker"]

    relaxed = Relaxed(0.05)
    assert relaxed.upper == 0.1 and relaxed.hard is False
    helper, _ = tracking_setup(outside=False)
    result = relaxed.to_constraints(g=cp.Variable(4), zeta=1.0, helper=helper)
    assert len(result) == 2 and result[1] == "marker"
    assert type(pickle.loads(pickle.dumps(mc.TurnoverLimit({"a": 1.0}, 0.1)))) is mc.TurnoverLimit


def test_module_globals_are_read_when_called(monkeypatch: pytest.MonkeyPatch) -> None:
    calls: list[str] = []

    def norm1(x: Any) -> Any:
        calls.append("norm1")
        return cp.norm1(x)

    monkeypatch.setattr(mc, "cp", SimpleNamespace(norm1=norm1, hstack=cp.hstack))
    helper = FakeHelper(["a", "b"], cov=random_cov(2))
    mc.TurnoverLimit({"z": 1.0}, 0.5).to_constraints(cp.Variable(2), 1.0, helper)
    assert calls == ["norm1"]
