"""Objective and constraint objects from their descriptions in a strategy file.

An object is described by its class name (``type``) and its keyword arguments.  The checks run the
class's own constructor, so an argument is refused exactly when the optimiser would refuse it.
Objects are built fresh for every rebalance: an objective keeps the expected returns it estimated
on first use, and a reused one would carry them into later dates.

Constraints that need the current portfolio get it from the running backtest and must not be given
in the file: ``current_holding`` of a turnover limit (weights), ``current_holding`` (share counts)
and ``cash`` of the transaction limits.
"""

from __future__ import annotations

import inspect
from dataclasses import dataclass, field
from typing import Any

import pandas as pd

from morvane.exception import InvalidArgument

__all__ = [
    "Holding",
    "objective_types",
    "constraint_types",
    "check_objective",
    "check_constraint",
    "build_objective",
    "build_constraints",
    "with_costs",
]


@dataclass(frozen=True)
class Holding:
    """The running portfolio just before a rebalance: weights (fractions of the NAV), the same
    positions in share counts, and cash.  No weights means the portfolio is all cash."""

    weights: pd.Series = field(default_factory=lambda: pd.Series(dtype=float))
    shares: pd.Series = field(default_factory=lambda: pd.Series(dtype=float))
    cash: float = 0.0

    @property
    def is_cash(self) -> bool:
        return self.weights.empty


def _module(kind: str) -> Any:
    if kind == "objective":
        import morvane.objective as module
    else:
        import morvane.constraints as module
    return module


def _types(kind: str) -> dict[str, type]:
    module = _module(kind)
    base = module.OptimizationObjective if kind == "objective" else module.OptimizationConstraint
    # the backtest wraps an objective in WithTransactionCost itself (optimise_costs)
    wrapper = getattr(module, "WithTransactionCost", None)
    return {
        name: value
        for name, value in vars(module).items()
        if isinstance(value, type)
        and issubclass(value, base)
        and value is not base
        and value is not wrapper
    }


def objective_types() -> dict[str, type]:
    """The objective classes of ``morvane.objective`` by name."""
    return _types("objective")


def constraint_types() -> dict[str, type]:
    """The constraint classes of ``morvane.constraints`` by name."""
    return _types("constraints")


def _filled(cls: type) -> tuple[str, ...]:
    """The arguments of ``cls`` that the backtest fills from the running portfolio."""
    import morvane.constraints as c

    if issubclass(cls, c.TurnoverLimit):
        return ("current_holding",)
    if issubclass(cls, (c.TransactionVolumeLimit, c.TransactionMarketValueLimit)):
        return ("current_holding", "cash")
    return ()


def is_turnover(cls: type) -> bool:
    import morvane.constraints as c

    return issubclass(cls, c.TurnoverLimit)


def needs_shares(type_name: str) -> bool:
    """Whether the constraint class ``type_name`` takes the holding in share counts."""
    return "cash" in _filled(_class("constraints", type_name))


def _accepted(cls: type) -> dict[str, bool]:
    """The parameter names of ``cls``'s constructor, each with whether it is required."""
    try:
        parameters = inspect.signature(cls).parameters.values()
    except (TypeError, ValueError):  # a class whose constructor reports no signature
        return {}
    named = (inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY)
    return {p.name: p.default is p.empty for p in parameters if p.kind in named}


def _construct(cls: type, arguments: dict[str, Any], filled: dict[str, Any]) -> Any:
    """``cls(**arguments, **filled)``; a refusal as ValueError naming the argument."""
    name = cls.__name__
    try:
        return cls(**arguments, **filled)
    except InvalidArgument as exc:
        raise ValueError(f"{name} refuses its arguments {arguments!r}: {exc}") from None
    except TypeError:
        required = _accepted(cls)
        accepted = [a for a in required if a not in filled]
        unknown = [a for a in arguments if accepted and a not in accepted]
        if unknown:
            raise ValueError(
                f"{name} has no argument {unknown[0]!r} (= {arguments[unknown[0]]!r}); "
                f"allowed: {', '.join(accepted)}"
            ) from None
        missing = [a for a in accepted if required[a] and a not in arguments]
        hint = f"; its arguments: {', '.join(accepted)}" if accepted else ""
        raise ValueError(
            f"{name} cannot be built from {arguments!r}"
            f"{' (missing ' + ', '.join(missing) + ')' if missing else ''}{hint}"
        ) from None
    except (ValueError, KeyError) as exc:
        raise ValueError(f"{name} refuses its arguments {arguments!r}: {exc}") from None


def _class(kind: str, type_name: str) -> type:
    known = _types(kind)
    if type_name not in known:
        where = "morvane.objective" if kind == "objective" else "morvane.constraints"
        raise ValueError(
            f"type {type_name!r} is not a class of {where}; allowed: {', '.join(sorted(known))}"
        )
    return known[type_name]


def with_costs(objective: Any, model: Any) -> Any:
    """``objective`` with the transaction cost ``model`` added to what it minimises."""
    from morvane.objective import WithTransactionCost

    try:
        return WithTransactionCost(objective, model)
    except InvalidArgument as exc:
        raise ValueError(f"optimise_costs: {exc}") from None


def check_costs_objective(type_name: str, arguments: dict[str, Any]) -> None:
    """ValueError naming the problem unless the objective can carry a transaction cost."""
    from morvane.costs import TransactionCostModel

    with_costs(build_objective(type_name, arguments), TransactionCostModel())


def check_objective(type_name: str, arguments: dict[str, Any]) -> None:
    """ValueError naming the problem unless ``type_name(**arguments)`` builds an objective."""
    _construct(_class("objective", type_name), arguments, {})


def _placeholders(cls: type) -> dict[str, Any]:
    names = _filled(cls)
    out: dict[str, Any] = {}
    if "current_holding" in names:
        out["current_holding"] = pd.Series({"000001.XSHE": 1.0})
    if "cash" in names:
        out["cash"] = 1.0
    return out


def check_constraint(type_name: str, arguments: dict[str, Any]) -> None:
    """ValueError naming the problem unless ``type_name`` builds a constraint from
    ``arguments`` (with the running portfolio's arguments filled in)."""
    cls = _class("constraints", type_name)
    given = [a for a in _filled(cls) if a in arguments]
    if given:
        raise ValueError(
            f"{type_name}: {given[0]} = {arguments[given[0]]!r} is filled from the running "
            "portfolio; leave it out"
        )
    _construct(cls, arguments, _placeholders(cls))


def build_objective(type_name: str, arguments: dict[str, Any]) -> Any:
    """A new objective object."""
    return _construct(_class("objective", type_name), arguments, {})


def build_constraints(specs: list[tuple[str, dict[str, Any]]], holding: Holding) -> list[Any]:
    """New constraint objects for one rebalance from ``(type, arguments)`` pairs.

    A turnover limit is left out while the portfolio is all cash (the first rebalance): there
    is nothing to turn over.
    """
    out = []
    for type_name, arguments in specs:
        cls = _class("constraints", type_name)
        names = _filled(cls)
        if is_turnover(cls):
            if holding.is_cash:
                continue
            filled: dict[str, Any] = {"current_holding": holding.weights}
        elif names:
            filled = {"current_holding": holding.shares, "cash": holding.cash}
        else:
            filled = {}
        out.append(_construct(cls, arguments, filled))
    return out
