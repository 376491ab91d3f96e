"""Types of morvane.optimize: the optimiser's entry point and its input normalisation."""

import datetime
from collections.abc import Iterable, Sequence
from enum import Enum
from typing import Any, TypeVar

import numpy as np
import pandas as pd

from morvane.benchmark import IndexBenchmark as IndexBenchmark
from morvane.benchmark import OptimizeBenchmark as OptimizeBenchmark
from morvane.const import STYLE_FACTORS as STYLE_FACTORS
from morvane.const import CovModel as CovModel
from morvane.const import IndustryClassification as IndustryClassification
from morvane.const import RiskModel as RiskModel
from morvane.constraints import OptimizationConstraint as _OptimizationConstraint
from morvane.exception import InvalidArgument as InvalidArgument
from morvane.exception import OptimizationFailed as OptimizationFailed
from morvane.exception import OptimizerWarning as OptimizerWarning
from morvane.helper import OptimizeHelper as OptimizeHelper
from morvane.objective import ActiveMeanVariance as ActiveMeanVariance
from morvane.objective import MaxInformationRatio as MaxInformationRatio
from morvane.objective import MaxSharpeRatio as MaxSharpeRatio
from morvane.objective import MinActiveVariance as MinActiveVariance
from morvane.objective import MinTrackingError as MinTrackingError
from morvane.objective import MinVariance as MinVariance
from morvane.objective import OptimizationObjective as OptimizationObjective
from morvane.objective import RiskParity as RiskParity

_E = TypeVar("_E", bound=Enum)
_DateLike = datetime.date | str
_Bounds = dict[str, Sequence[float | None]]

DEBUG: bool
DEFAULT_OBJECTIVE: MinVariance
CLARABEL_OPTIONS: dict[str, Any]
CLARABEL_FALLBACK_OPTIONS: dict[str, Any]

def to_enum(v: object, enum_type: type[_E]) -> _E:
    """The member of enum_type that is v, equals v or has v as its value."""

def to_date(dt: _DateLike) -> datetime.date:
    """A datetime, date or date text as a datetime.date."""

def ensure_date_str(date: _DateLike) -> str:
    """A date as zero-padded YYYY-MM-DD text."""

def ensure_order_book_ids(order_book_ids: Iterable[str], date: _DateLike) -> list[str]:
    """The sorted, de-duplicated stocks of the universe that trade on date, warning for the rest."""

def ensure_bound(v: float | str | None) -> float | None:
    """One bound as a float, or None."""

def parse_bnds(bnds: _Bounds, order_book_ids: list[str]) -> tuple[np.ndarray, np.ndarray]:
    """Per-stock lower and upper weight bounds, in universe order, from a bnds dict."""

def portfolio_optimize(
    order_book_ids: Iterable[str],
    date: _DateLike,
    objective: OptimizationObjective = DEFAULT_OBJECTIVE,
    bnds: _Bounds | None = None,
    cons: Iterable[_OptimizationConstraint] | None = None,
    benchmark: str | OptimizeBenchmark | None = None,
    cov_model: CovModel | str = CovModel.FACTOR_MODEL_DAILY,
    factor_risk_aversion: float = 1.0,
    specific_risk_aversion: float = 1.0,
    solver: str | None = None,
    risk_model: RiskModel | str = RiskModel.V1,
    **solver_options: Any,
) -> pd.Series:
    """Optimal long-only weights (summing to 1) of the tradeable universe, indexed by sorted id."""
