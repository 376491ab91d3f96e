"""Industry and style constraints: construction, the bounds imposed on a stand-in helper (probed
by assigning weights to g), and their effect through the optimiser on the small sample market."""

from __future__ import annotations

import datetime
import pickle
import warnings
from collections.abc import Callable
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

from fakes import FakeHelper
from morvane import constraints as mc
from morvane.const import STYLE_FACTORS, IndustryClassification
from morvane.exception import InvalidArgument as IA
from morvane.exception import OptimizerWarning

IC, WIC, SC = mc.IndustryConstraint, mc.WildcardIndustryConstraint, mc.StyleConstraint
IDS = ["a", "b", "c", "d", "e"]
# e has no industry (UNKNOWN); x and y are benchmark components outside the universe
INDUSTRIES = {"a": "A", "b": "A", "c": "B", "d": "C", "x": "D", "y": "A"}
BENCHMARK = {"a": 0.1, "y": 0.1, "c": 0.3, "x": 0.5}  # industry weights A 0.2, B 0.3, D 0.5
EXPOSURE = pd.DataFrame(
    {"size": [-1.0, -0.5, 0.5, 1.0, 0.0], "beta": [1.0, 0.2, -1.0, 0.0, 0.4]}, index=IDS
)


def make_helper(exposure: pd.DataFrame = EXPOSURE) -> FakeHelper:
    helper = FakeHelper(IDS, benchmark=BENCHMARK, industries=INDUSTRIES, factor_exposure=exposure)
    helper.get_benchmark_style = lambda: pd.Series({"size": -0.3, "beta": 0.4})  # type: ignore
    return helper


def run(constraint: Any) -> tuple[list[Any], list[str]]:
    """to_constraints with zeta 1.0: the constraints and the texts of the warnings."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = constraint.to_constraints(cp.Variable(len(IDS)), 1.0, make_helper())
    assert all(w.category is OptimizerWarning and w.filename == __file__ for w in caught)
    return result, [str(w.message) for w in caught]


# ---- construction ----

BAD_STYLE = f"约束中指定的风格 value 非法，应该从 {STYLE_FACTORS} 选取"
MISSING = "{}: upper_limit及lower_limit 最少应该指定一个"
BAD = "约束的上限或下限非法: {}Constraint:{}_limit = {}"
NOT_SERIES = "classification: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象"


def resolve(constraint: Any) -> Callable[[], object]:
    helper = make_helper(EXPOSURE.assign(growth=0.0))
    return lambda: constraint.to_constraints(cp.Variable(len(IDS)), 1.0, helper)


FAILURES = [
    (lambda: IC("A"), IA, MISSING.format("IndustryConstraint")),
    (lambda: WIC(exclude="A"), IA, MISSING.format("WildcardIndustryConstraint")),
    (lambda: IC("A", lower_limit="-5%"), IA, BAD.format("Industry", "lower", "-5%")),
    (lambda: WIC(upper_limit="+5%"), IA, BAD.format("WildcardIndustry", "upper", "+5%")),
    (lambda: IC("A", upper_limit=0.1, classification={1, 2}), IA, NOT_SERIES),
    (lambda: SC("value"), IA, MISSING.format("StyleConstraint")),
    (lambda: SC(["size", "value"], lower_limit=0), IA, BAD_STYLE),
    (lambda: SC("value", lower_limit="x"), IA, BAD_STYLE),
    (lambda: SC("size", lower_limit="x", upper_limit="y"), IA, BAD.format("Style", "lower", "x")),
    (lambda: mc.wildcard_style_constraint(exclude=["size", "value"]), IA, BAD_STYLE),
    (lambda: mc.wildcard_style_constraint(exclude="size"), IA, MISSING.format("StyleConstraint")),
    # only the first parameter is positional
    (lambda: IC("A", 0.1), TypeError, None),
    (lambda: WIC("A", upper_limit=0.1), TypeError, None),
    (lambda: mc.wildcard_style_constraint("size", upper_limit=0.1), TypeError, None),
    # relative bounds are resolved per optimisation, at the first industry or style not skipped
    (resolve(IC(["X", "A"], upper_limit="5%", relative=True)), IA, "约束的上下界格式不正确: 5%"),
    (resolve(WIC(lower_limit=[1], relative=True)), IA, "约束指定的上限或下限 [1] 非法"),
    (resolve(SC("size", lower_limit="+x%", relative=True)), ValueError, None),
    # the benchmark has no growth exposure: a plain lookup, no default
    (resolve(SC(["beta", "growth"], lower_limit=0, relative=True)), KeyError, None),
]  # fmt: skip


@pytest.mark.parametrize("call, error, message", FAILURES)
def test_failures(call: Callable[[], object], error: type, message: str | None) -> None:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizerWarning)
        with pytest.raises(error) as info:
            call()
    assert message is None or str(info.value) == message


def test_stored_attributes() -> None:
    industry = IC("A", lower_limit=np.int64(0), upper_limit="0.3", hard=0)
    assert industry.__dict__ == {
        "relative": False, "lower": 0.0, "upper": 0.3, "industries": ["A"],
        "classification": IndustryClassification.SWS, "_hard": 0,
    }  # fmt: skip
    assert industry.classification is IndustryClassification.SWS  # the default, read once
    relative = IC(("A", "B"), upper_limit="+5%", relative=1, classification={"a": "X"})
    assert (relative.industries, relative.lower, relative.upper) == (("A", "B"), None, "+5%")
    assert relative.relative == 1 and relative.classification.to_dict() == {"a": "X"}
    excludes = [WIC(exclude=e, upper_limit=1).exclude for e in (None, "A", ("A", "B"))]
    assert excludes == [[], ["A"], ["A", "B"]]
    style = SC("size", lower_limit=-1, relative=True, hard=False)
    assert style.__dict__ == {
        "styles": ["size"], "relative": True, "lower": -1, "upper": None, "_hard": False,
    }  # fmt: skip
    wildcard = mc.wildcard_style_constraint(exclude="size", upper_limit="0.1", hard=False)
    assert type(wildcard) is SC and wildcard.hard is False and wildcard.upper == 0.1
    assert wildcard.styles == [s for s in STYLE_FACTORS if s != "size"]


def test_docstrings_keep_their_layout() -> None:
    docs = [IC.__doc__, WIC.__doc__, SC.__doc__, mc.wildcard_style_constraint.__doc__]
    assert all(d.startswith("\n    ") and d.endswith("\n    ") for d in docs)
    assert ":param classification: 行业分类标准; 可以传入 dict | pd.Series" in IC.__doc__
    assert ":param classification: 行业分类标准；可以传入 dict | pd.Series" in WIC.__doc__
    assert "book_to_price,\n        earnings_yield, growth," in SC.__doc__
    assert docs[3].endswith("    :param hard: 软约束/硬约束\n    :return:\n    ")


@pytest.mark.parametrize(
    "constraint", [IC("A", upper_limit=0.1), WIC(lower_limit=0.1), SC("size", upper_limit=0)]
)
def test_pickle_and_subclass(constraint: Any) -> None:
    copy = pickle.loads(pickle.dumps(constraint))
    assert type(copy) is type(constraint) and copy.__dict__ == constraint.__dict__

    class Sub(type(constraint)):  # type: ignore[misc]
        def __init__(self) -> None:
            self.__dict__.update(constraint.__dict__)

    assert len(run(Sub())[0]) == len(run(constraint)[0]) > 0
    with pytest.raises(AttributeError):
        Sub().hard = False


# ---- to_constraints: the bounds, probed ----


def probe(constraints: list[Any], g: Any, zeta: Any, exposure: np.ndarray, t: float) -> bool:
    """Feasibility at weights with exposure t: a mix of the lowest- and highest-exposed stock."""
    lo, hi = int(np.argmin(exposure)), int(np.argmax(exposure))
    weights = np.zeros(len(exposure))
    weights[lo] = (exposure[hi] - t) / (exposure[hi] - exposure[lo])
    weights[hi] = 1 - weights[lo]
    g.value = weights * (zeta.value if isinstance(zeta, cp.Variable) else zeta)
    return all(bool(c.value()) for c in constraints)


def members(industry: str) -> np.ndarray:
    return np.array([INDUSTRIES.get(s) == industry for s in IDS], dtype=float)


SIZE, BETA = EXPOSURE["size"].values, EXPOSURE["beta"].values
REL = {"relative": True}


@pytest.mark.parametrize(
    "constraint, exposure, lower, upper",
    [
        (IC("A", upper_limit=0.3), members("A"), None, 0.3),
        (IC(["A"], lower_limit="0.1", upper_limit=0.3), members("A"), 0.1, 0.3),
        (IC("A", lower_limit="-5%", **REL), members("A"), 0.19, None),
        (IC("C", upper_limit="+5%", **REL), members("C"), None, 0.0),  # C: not in the benchmark
        (IC("C", upper_limit=0.05, **REL), members("C"), None, 0.05),
        (IC("B", lower_limit=-0.1, upper_limit="+500%", **REL), members("B"), 0.2, None),
        (IC(("A",), lower_limit=-0.5, upper_limit=0.5, **REL), members("A"), None, 0.7),
        (IC("X", upper_limit=0.1, classification={"b": "X", "d": "X"}), np.eye(5)[1] + np.eye(5)[3],
         None, 0.1),
        (WIC(exclude=["A", "B"], upper_limit=0.2), members("C"), None, 0.2),
        (SC("size", upper_limit=0.5), SIZE, None, 0.5),
        (SC("beta", lower_limit=-0.2, upper_limit=0.2), BETA, -0.2, 0.2),
        (SC("beta", lower_limit=0), BETA, 0.0, None),
        (SC("size", upper_limit="+5%", **REL), SIZE, None, -0.315),
        (SC("beta", lower_limit=-0.1, **REL), BETA, 0.3, None),
    ],
)  # fmt: skip
@pytest.mark.parametrize("scale", [1.0, "variable"])
def test_bounds(constraint: Any, exposure: np.ndarray, lower: Any, upper: Any, scale: Any) -> None:
    zeta: Any = scale
    if scale == "variable":
        zeta = cp.Variable(nonneg=True)
        zeta.value = 3.0
    g = cp.Variable(len(IDS), nonneg=True)
    result = constraint.to_constraints(g, zeta, make_helper())
    assert isinstance(result, list) and len(result) == (lower is not None) + (upper is not None)
    eps = 1e-4
    if lower is not None:
        assert probe(result, g, zeta, exposure, lower + eps)
        assert not probe(result, g, zeta, exposure, lower - eps)
    if upper is not None:
        assert probe(result, g, zeta, exposure, max(upper - eps, exposure.min()))
        assert not probe(result, g, zeta, exposure, upper + eps)


def no_industry(name: str) -> str:
    return f"候选股票池中没有 {name} 行业，相应约束忽略"


@pytest.mark.parametrize(
    "constraint, count, messages",
    [
        (IC(["X", "A"], upper_limit=0.2), 1, [no_industry("X")]),
        (IC(["A", "B"], lower_limit=0, upper_limit=1), 0, []),
        # A resolves to (-0.1, 1.0), B to (0.0, 1.5): no side constrains
        (IC(["A", "B"], lower_limit=-0.3, upper_limit="+400%", **REL), 0, []),
        (WIC(exclude="A", upper_limit=0.1), 2, []),  # B and C; UNKNOWN is skipped
        (WIC(exclude="A", upper_limit=0.1, **REL), 2, [no_industry("D")]),
        (WIC(exclude=["A", "B", "C", "D"], upper_limit="bad%", **REL), 0, []),
        (SC("beta", lower_limit=-5, upper_limit=2), 2, []),  # no bound dropped for its value
        (SC(["momentum", "size"], upper_limit=0.5), 1,
         ["所选的风险模型中没有 momentum 风格，相应约束忽略"]),
        (mc.wildcard_style_constraint(exclude=STYLE_FACTORS, upper_limit=0.1), 0, []),
    ],
)  # fmt: skip
def test_skipped_industries_and_styles(constraint: Any, count: int, messages: list[str]) -> None:
    result, caught = run(constraint)
    assert len(result) == count and caught == messages


# ---- through the optimiser on the sample market ----

DATE, BENCH, SLACK = datetime.date(2025, 6, 3), "000905.XSHG", 2e-3  # SCS accuracy


def optimize(ids: list[str], cons: list[Any]) -> pd.Series:
    from morvane.optimize import portfolio_optimize

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizerWarning)
        return portfolio_optimize(ids, DATE, cons=cons, benchmark=BENCH)


@pytest.fixture(scope="module")
def market(small_store: Path) -> SimpleNamespace:
    """The large-cap index against the mid-cap one; top: the benchmark industry held most."""
    import tarnwick
    from morvane.benchmark import IndexBenchmark
    from morvane.const import CovModel, RiskModel
    from morvane.helper import OptimizeHelper

    ids = sorted(tarnwick.index_components("000300.XSHG", DATE))
    models = CovModel.FACTOR_MODEL_DAILY, RiskModel.V1
    helper = OptimizeHelper(ids, DATE, IndexBenchmark(BENCH), *models, 1.0, 1.0)
    industry = helper.get_industry_mapping(IndustryClassification.SWS).values
    bench_industry = helper.get_benchmark_industry_weight(IndustryClassification.SWS)
    free = optimize(ids, [])
    held = free.groupby(industry).sum().drop("UNKNOWN", errors="ignore")
    top = str(held[held.index.isin(bench_industry.index)].idxmax())
    return SimpleNamespace(ids=ids, helper=helper, industry=industry, free=free, top=top,
                           bench_industry=bench_industry)  # fmt: skip


@pytest.mark.parametrize("relative", [False, True])
@pytest.mark.parametrize("kind", ["industry", "style"])
def test_a_cap_binds(market: SimpleNamespace, kind: str, relative: bool) -> None:
    """Half the unconstrained total weight of the top industry, or exposure to size."""
    helper, top = market.helper, market.top
    if kind == "industry":
        x, bench = (market.industry == top).astype(float), market.bench_industry[top]
    else:
        x, bench = helper.get_factor_exposure()["size"].values, helper.get_benchmark_style()["size"]
    cls, name = (IC, top) if kind == "industry" else (SC, "size")
    free = float(market.free.values @ x)
    cap = free / 2
    limit = cap - bench if relative else cap
    weights = optimize(market.ids, [cls(name, upper_limit=limit, relative=relative)])
    assert abs(free) > 0.05 and float(weights.values @ x) == pytest.approx(cap, abs=SLACK)


def test_wildcard_with_an_industry_of_its_own(market: SimpleNamespace) -> None:
    top = market.top
    weights = optimize(market.ids, [WIC(exclude=top, upper_limit=0.1), IC(top, upper_limit=0.3)])
    by_industry = weights.groupby(market.industry).sum()
    assert market.free.groupby(market.industry).sum().drop(top).max() > 0.1 + SLACK
    assert by_industry.drop([top, "UNKNOWN"], errors="ignore").max() <= 0.1 + SLACK
    assert 0.1 + SLACK < by_industry[top] <= 0.3 + SLACK
