"""Types of morvane.objective: the objectives the optimiser minimises."""

from abc import ABCMeta
from typing import Any, ClassVar, Protocol

import cvxpy as cp
import pandas as pd

from morvane.const import STYLE_FACTORS as STYLE_FACTORS
from morvane.exception import InvalidArgument as InvalidArgument
from morvane.exception import OptimizerWarning as OptimizerWarning
from morvane.helper import OptimizeHelper as _Helper

_Zeta = cp.Variable | float | int
_SeriesLike = pd.Series | dict[str, float] | Any

class _TransactionCostModel(Protocol):
    """Anything with get_penalty(g, helper) returning a term added to the objective."""

    def get_penalty(self, g: cp.Variable, helper: _Helper) -> cp.Expression | float:
        """The transaction-cost term of the scaled weights g."""

def ensure_series(obj: _SeriesLike, name: str) -> pd.Series:
    """obj itself if it is a Series, else pd.Series(obj); InvalidArgument naming name if not."""

class OptimizationObjective(metaclass=ABCMeta):
    """Base of every objective; subclass it and override all three methods."""

    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> cp.Expression:
        """The expression to minimise over the scaled weights g."""
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]:
        """Constraints the objective itself adds to the problem."""
    def get_preferred_solver(self) -> str:
        """The cvxpy solver used when the caller names none."""

class MinVariance(OptimizationObjective):
    """Minimise the portfolio's variance."""

    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> cp.Expression:
        """The portfolio variance g' S g."""
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]:
        """No constraint of its own: an empty list."""
    def get_preferred_solver(self) -> str:
        """SCS."""

class MinActiveVariance(OptimizationObjective):
    """Minimise the variance of the portfolio minus the benchmark."""

    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> cp.Expression:
        """The active variance a' S a over the universe and the benchmark's components."""
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]:
        """No constraint of its own: an empty list."""
    def get_preferred_solver(self) -> str:
        """SCS."""

class MeanVariance(OptimizationObjective):
    """Maximise expected return minus a data-scaled multiple of variance."""

    def __init__(
        self,
        *,
        expected_returns: _SeriesLike | None = None,
        window: int = 252,
        risk_aversion_coefficient: float = 1,
        transaction_cost_model: _TransactionCostModel | None = None,
    ) -> None:
        """Annual expected returns (estimated over window days when None) and risk aversion."""
    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> cp.Expression:
        """-g.mu + k g' S g + transaction cost; the first estimate of mu is kept."""
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]:
        """No constraint of its own: an empty list."""
    def get_preferred_solver(self) -> str:
        """SCS."""

class ActiveMeanVariance(OptimizationObjective):
    """Maximise expected active return minus a data-scaled multiple of active variance."""

    def __init__(
        self,
        *,
        expected_active_returns: _SeriesLike | None = None,
        window: int = 252,
        risk_aversion_coefficient: float = 1,
        transaction_cost_model: _TransactionCostModel | None = None,
    ) -> None:
        """Annual expected active returns (estimated on every call when None) and risk aversion."""
    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> cp.Expression:
        """-a.mu + k a' S a + transaction cost over the active weights a."""
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]:
        """No constraint of its own: an empty list."""
    def get_preferred_solver(self) -> str:
        """SCS."""

class RiskParity(OptimizationObjective):
    """Equal risk contributions; only without bounds and constraints."""

    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> cp.Expression:
        """g' S g minus the sum of log g."""
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]:
        """No constraint of its own: an empty list."""
    def get_preferred_solver(self) -> str:
        """SCS."""

class MinTrackingError(OptimizationObjective):
    """Minimise the tracking error against the benchmark."""

    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> cp.Expression:
        """The active variance a' S a, as MinActiveVariance."""
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]:
        """No constraint of its own: an empty list."""
    def get_preferred_solver(self) -> str:
        """SCS."""

class MaxInformationRatio(OptimizationObjective):
    """Maximise expected active return per unit of tracking error."""

    def __init__(
        self, *, expected_active_returns: _SeriesLike | None = None, window: int = 252
    ) -> None:
        """Annual expected active returns (estimated on every call when None)."""
    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> cp.Expression:
        """The active variance of the homogenised weights g = zeta * w."""
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]:
        """Expected active return of g fixed to 1."""
    def get_preferred_solver(self) -> str:
        """SCS."""

class MaxSharpeRatio(OptimizationObjective):
    """Maximise expected return per unit of risk."""

    def __init__(self, *, expected_returns: _SeriesLike | None = None, window: int = 252) -> None:
        """Annual expected returns (estimated once, on first use, when None)."""
    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> cp.Expression:
        """The variance of the homogenised weights g = zeta * w."""
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]:
        """Expected return of g fixed to 1."""
    def get_preferred_solver(self) -> str:
        """SCS."""

class MaxIndicator(OptimizationObjective):
    """Maximise the portfolio's weighted sum of a per-stock indicator."""

    def __init__(self, indicator_series: _SeriesLike) -> None:
        """The indicator, one value per stock of the universe at least."""
    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> cp.Expression:
        """Minus the weighted indicator, scaled to a mean absolute value of 10."""
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]:
        """No constraint of its own: an empty list."""
    def get_preferred_solver(self) -> str:
        """SCS."""

class MinStyleDeviation(OptimizationObjective):
    """Steer style exposures towards targets, with per-style priorities."""

    PRIORITY_ADJUST_FACTOR: ClassVar[list[int]]
    def __init__(
        self,
        target_style: _SeriesLike,
        *,
        relative: bool = False,
        priority: _SeriesLike | None = None,
    ) -> None:
        """Target exposures by style (offsets from the benchmark's if relative); priorities 0-9."""
    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> cp.Expression:
        """Priority-weighted sum of squared deviations from the target exposures."""
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]:
        """No constraint of its own: an empty list."""
    def get_preferred_solver(self) -> str:
        """SCS."""

class WithTransactionCost(OptimizationObjective):
    """An objective plus weight times a transaction cost model's penalty."""

    def __init__(
        self, objective: OptimizationObjective, model: _TransactionCostModel, weight: float = 1.0
    ) -> None:
        """Refuses the ratio objectives and RiskParity, whose g is not the weights."""
    @property
    def objective(self) -> OptimizationObjective:
        """The wrapped objective."""
    @property
    def model(self) -> _TransactionCostModel:
        """The transaction cost model."""
    @property
    def weight(self) -> float:
        """The multiple of the penalty."""
    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: _Helper) -> cp.Expression:
        """The wrapped expression plus weight * model.get_penalty(g, helper); zeta must be 1.0."""
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: _Helper
    ) -> list[cp.Constraint]:
        """The wrapped objective's constraints."""
    def get_preferred_solver(self) -> str:
        """The wrapped objective's solver."""
