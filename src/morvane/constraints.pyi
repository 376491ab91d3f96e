"""Types of morvane.constraints: the constraints a caller passes as cons."""

from abc import ABCMeta
from collections.abc import Collection, Iterable
from typing import Any

import cvxpy as cp
import pandas as pd

from morvane.const import STYLE_FACTORS as STYLE_FACTORS
from morvane.const import IndustryClassification as IndustryClassification
from morvane.exception import InvalidArgument as InvalidArgument
from morvane.exception import OptimizerWarning as OptimizerWarning
from morvane.helper import OptimizeHelper as _Helper

_Zeta = cp.Variable | float | int
_SeriesLike = pd.Series | dict[str, Any] | Any
_Bound = float | str | None
_Classification = IndustryClassification | pd.Series | dict[str, str]

def ensure_series(obj: _SeriesLike, name: str) -> pd.Series:
    """obj itself if it is a Series, else pd.Series(obj); InvalidArgument naming name if not."""

def get_deviation_value(benchmark: float, deviation: float | str | None) -> float | None:
    """A relative bound resolved: benchmark + number, or benchmark scaled by a '+5%' text."""

def wildcard_style_constraint(
    *,
    exclude: str | Iterable[str] | None = None,
    lower_limit: _Bound = None,
    upper_limit: _Bound = None,
    relative: bool = False,
    hard: bool = True,
) -> StyleConstraint:
    """A StyleConstraint over every style factor except those in exclude."""

class OptimizationConstraint(metaclass=ABCMeta):
    """Base of every constraint; subclass it with to_constraints and a hard property."""

    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> list[cp.Constraint]:
        """The cvxpy constraints of this optimisation, written for g = zeta * weights."""
    @property
    def hard(self) -> bool:
        """True: kept in every solve; false: dropped with the other soft ones if infeasible."""

class TrackingErrorLimit(OptimizationConstraint):
    """Annualised tracking error against the benchmark at most upper_limit."""

    upper: float
    def __init__(self, upper_limit: float | str, *, hard: bool = True) -> None:
        """upper_limit: annualised tracking error, above 0."""
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> list[cp.Constraint]:
        """Active variance at most upper squared; empty with a warning for a non-float zeta."""
    @property
    def hard(self) -> bool:
        """Hard (kept) or soft (droppable)."""

class TurnoverLimit(OptimizationConstraint):
    """One-way turnover against the current holding at most upper_limit."""

    upper: float
    def __init__(
        self, current_holding: _SeriesLike, upper_limit: float | str, *, hard: bool = True
    ) -> None:
        """current_holding: weights by id; upper_limit: one-way turnover, above 0."""
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> list[cp.Constraint]:
        """Sum of absolute weight changes at most twice upper."""
    @property
    def hard(self) -> bool:
        """Hard (kept) or soft (droppable)."""

class BenchmarkComponentWeightLimit(OptimizationConstraint):
    """Total weight in the benchmark's components at least lower_limit."""

    lower: float
    def __init__(self, lower_limit: float | str, *, hard: bool = True) -> None:
        """lower_limit in [0, 1)."""
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> list[cp.Constraint]:
        """Weight of the universe's benchmark components at least lower."""
    @property
    def hard(self) -> bool:
        """Hard (kept) or soft (droppable)."""

class IndustryConstraint(OptimizationConstraint):
    """Bounds on the total weight of each named industry, absolute or benchmark-relative."""

    relative: bool
    lower: _Bound
    upper: _Bound
    industries: Collection[str]
    classification: IndustryClassification | pd.Series
    def __init__(
        self,
        industries: str | Collection[str],
        *,
        lower_limit: _Bound = None,
        upper_limit: _Bound = None,
        relative: bool = False,
        classification: _Classification = IndustryClassification.SWS,
        hard: bool = True,
    ) -> None:
        """Industry names, bounds (numbers, or '+5%' texts when relative) and classification."""
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> list[cp.Constraint]:
        """Up to two constraints per industry; an industry absent from the universe warns."""
    @property
    def hard(self) -> bool:
        """Hard (kept) or soft (droppable)."""

class WildcardIndustryConstraint(OptimizationConstraint):
    """The same industry bounds for every industry except those in exclude."""

    relative: bool
    lower: _Bound
    upper: _Bound
    exclude: list[str]
    classification: IndustryClassification | pd.Series
    def __init__(
        self,
        *,
        exclude: str | Iterable[str] | None = None,
        lower_limit: _Bound = None,
        upper_limit: _Bound = None,
        relative: bool = False,
        classification: _Classification = IndustryClassification.SWS,
        hard: bool = True,
    ) -> None:
        """Industries to leave free, bounds and classification."""
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> list[cp.Constraint]:
        """Up to two constraints per industry present, UNKNOWN and exclude skipped."""
    @property
    def hard(self) -> bool:
        """Hard (kept) or soft (droppable)."""

class StyleConstraint(OptimizationConstraint):
    """Bounds on the portfolio's exposure to style factors, absolute or benchmark-relative."""

    styles: Collection[str]
    relative: bool
    lower: _Bound
    upper: _Bound
    def __init__(
        self,
        styles: str | Collection[str],
        *,
        lower_limit: _Bound = None,
        upper_limit: _Bound = None,
        relative: bool = False,
        hard: bool = True,
    ) -> None:
        """Style names and exposure bounds (numbers, or '+5%' texts when relative)."""
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> list[cp.Constraint]:
        """Up to two constraints per style; a style the risk model lacks warns."""
    @property
    def hard(self) -> bool:
        """Hard (kept) or soft (droppable)."""

class IndustryComponentLimit(OptimizationConstraint):
    """Each stock of an industry between fractions of the industry's total weight."""

    lower: float | None
    upper: float | None
    industry: str
    classification: _Classification
    def __init__(
        self,
        industry: str,
        *,
        lower_limit: float | str | None = None,
        upper_limit: float | str | None = None,
        classification: _Classification = IndustryClassification.SWS,
        hard: bool = True,
    ) -> None:
        """Industry name, per-stock fraction bounds and classification."""
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> list[cp.Constraint]:
        """One or two constraints per member stock, in universe order."""
    @property
    def hard(self) -> bool:
        """Hard (kept) or soft (droppable)."""

class IndexComponentLimit(OptimizationConstraint):
    """Total weight in an index's constituents between the bounds."""

    lower: float | None
    upper: float | None
    index_code: str
    def __init__(
        self,
        index_code: str,
        *,
        lower_limit: float | str | None = None,
        upper_limit: float | str | None = None,
        hard: bool = True,
    ) -> None:
        """Index code and bounds on the weight of its constituents."""
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> list[cp.Constraint]:
        """At most two constraints, constituents as of the previous trading day."""
    @property
    def hard(self) -> bool:
        """Hard (kept) or soft (droppable)."""

class StockPoolLimit(OptimizationConstraint):
    """Total weight in a list of stocks between the bounds."""

    lower: float | None
    upper: float | None
    stock_list: Collection[str]
    def __init__(
        self,
        stock_list: Collection[str],
        *,
        lower_limit: float | str | None = None,
        upper_limit: float | str | None = None,
        hard: bool = True,
    ) -> None:
        """Stock ids and bounds on their total weight."""
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> list[cp.Constraint]:
        """At most two constraints on the listed stocks' total weight."""
    @property
    def hard(self) -> bool:
        """Hard (kept) or soft (droppable)."""

class TransactionVolumeLimit(OptimizationConstraint):
    """Shares traded per stock at most upper_limit times its average daily volume."""

    cash: float
    window: int
    stock_list: Collection[str] | None
    upper: float | None
    def __init__(
        self,
        *,
        upper_limit: float | str | None = None,
        current_holding: _SeriesLike | None = None,
        cash: float | None = None,
        window: int = 1,
        stock_list: Collection[str] | None = None,
        hard: bool = True,
    ) -> None:
        """Fraction of average volume, holding in shares, cash, averaging days, stocks."""
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> list[cp.Constraint]:
        """Per-stock weight bounds around the current weight: [g >= lower, g <= upper]."""
    @property
    def hard(self) -> bool:
        """Hard (kept) or soft (droppable)."""

class TransactionMarketValueLimit(OptimizationConstraint):
    """Value traded per stock at most upper_limit times its average market value."""

    cash: float
    window: int
    stock_list: Collection[str] | None
    upper: float | None
    def __init__(
        self,
        *,
        upper_limit: float | str | None = None,
        current_holding: _SeriesLike | None = None,
        cash: float | None = None,
        window: int = 1,
        stock_list: Collection[str] | None = None,
        hard: bool = True,
    ) -> None:
        """Fraction of average market value, holding in shares, cash, averaging days, stocks."""
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> list[cp.Constraint]:
        """Per-stock weight bounds around the current weight: [g >= lower, g <= upper]."""
    @property
    def hard(self) -> bool:
        """Hard (kept) or soft (droppable)."""
