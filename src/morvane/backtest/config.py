"""Strategy files: TOML reading, grid expansion and validation.

A strategy file holds one or more ``[[strategy]]`` tables and an optional ``[grid]`` table.  The
grid maps dotted keys of a strategy (``"constraints.0.upper_limit"``; list positions count from 0)
to lists of values and turns every strategy into one strategy per combination.  Everything is
checked before any work starts: a refused file raises :class:`ConfigError` with one message that
names the key, the value and what is allowed.
"""

from __future__ import annotations

import copy
import datetime as dt
import itertools
import re
import sys
from collections.abc import Mapping
from pathlib import Path
from typing import Annotated, Any, Literal, Optional, Union

from pydantic import (
    AfterValidator,
    BaseModel,
    ConfigDict,
    Field,
    ValidationError,
    ValidationInfo,
    field_validator,
    model_validator,
)

from morvane import costs
from morvane.backtest import objects
from morvane.coerce import member_values, to_date, to_member
from morvane.const import CovModel, RiskModel
from morvane.exception import InvalidArgument

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - exercised on Python < 3.11 only
    import tomli as tomllib

__all__ = ["ConfigError", "CostTable", "ObjectSpec", "Strategy", "load", "parse", "expand_grid"]

REBALANCE_RULES = ("monthly", "weekly")
_NAME = re.compile(r"^[\w][\w.=+-]*$")


class ConfigError(ValueError):
    """A strategy file or strategy definition was refused; the message says where and why."""


class ObjectSpec(BaseModel):
    """An objective or constraint: its class name in ``type``, its keyword arguments beside it."""

    model_config = ConfigDict(extra="allow", frozen=True)

    type: str

    @property
    def arguments(self) -> dict[str, Any]:
        return dict(self.model_extra or {})


def _objective(entry: ObjectSpec) -> ObjectSpec:
    objects.check_objective(entry.type, entry.arguments)
    return entry


def _constraint(entry: ObjectSpec) -> ObjectSpec:
    objects.check_constraint(entry.type, entry.arguments)
    return entry


Objective = Annotated[ObjectSpec, AfterValidator(_objective)]
Constraint = Annotated[ObjectSpec, AfterValidator(_constraint)]


class CostTable(BaseModel):
    """A strategy's ``[strategy.costs]`` table: the keyword arguments of
    :class:`morvane.costs.TransactionCostModel` (``trades_per_year`` defaults to the rebalance
    rule's pace)."""

    model_config = ConfigDict(extra="forbid", frozen=True)

    commission: float = costs.DEFAULT_COMMISSION
    stamp_duty: Optional[float] = None
    transfer_fee: float = costs.DEFAULT_TRANSFER_FEE
    half_spread: Union[float, dict[str, float]] = costs.DEFAULT_HALF_SPREAD
    impact_coefficient: float = costs.DEFAULT_IMPACT_COEFFICIENT
    window: int = costs.DEFAULT_WINDOW
    trades_per_year: Optional[float] = None

    @model_validator(mode="after")
    def _accepted_by_the_model(self) -> CostTable:
        from morvane.exception import InvalidArgument

        try:
            costs.TransactionCostModel(None, **self.arguments())
        except InvalidArgument as exc:
            raise ValueError(str(exc)) from None
        return self

    def arguments(self) -> dict[str, Any]:
        """The table as keyword arguments of the model (without an unset trades_per_year)."""
        out = self.model_dump()
        if out["trades_per_year"] is None:
            del out["trades_per_year"]
        return out


def _date(value: Any) -> dt.date:
    try:
        return to_date(value, "the value")
    except InvalidArgument as exc:
        raise ValueError(str(exc)) from None


def _model_value(value: Any, enum: Any) -> str:
    """The value of the member of ``enum`` that ``value`` is, has as value or names."""
    try:
        return str(to_member(value, enum).value)
    except InvalidArgument:
        choices = ", ".join(member_values(enum))
        raise ValueError(f"must be one of {choices} (or a member's name)") from None


class Strategy(BaseModel):
    """One strategy of a strategy file, validated."""

    model_config = ConfigDict(extra="forbid", frozen=True)

    name: str
    universe: Union[str, tuple[str, ...]]
    benchmark: Optional[str] = None
    start: dt.date
    end: dt.date
    rebalance: Union[str, tuple[dt.date, ...]] = "monthly"
    cost_bps: float = Field(0.0, ge=0, le=10_000)
    #: The money a NAV of 1 stands for: turns weights into share counts for the transaction limits.
    capital: float = Field(1e8, gt=0)
    solver: Optional[str] = None
    solver_options: dict[str, Any] = Field(default_factory=dict)
    cov_model: str = "daily"
    risk_model: str = "v1"
    objective: Objective = ObjectSpec(type="MinVariance")
    bnds: Optional[dict[str, tuple[Optional[float], Optional[float]]]] = None
    constraints: list[Constraint] = Field(default_factory=list)
    #: An infeasible rebalance: "hold" the drifted portfolio, or "drop_conflicts" (solve again
    #: without the constraints of the minimal conflict; see ``morvane.backtest.infeasible``).
    on_infeasible: Literal["hold", "drop_conflicts"] = "hold"
    #: The transaction cost model charged at each rebalance instead of the flat ``cost_bps``.
    costs: Optional[CostTable] = None
    #: Whether the optimiser weighs the same model (the objective wrapped in WithTransactionCost).
    optimise_costs: bool = False

    @field_validator("name")
    @classmethod
    def _name(cls, value: str) -> str:
        if not _NAME.match(value):
            raise ValueError(
                "must be a non-empty name of letters, digits and '_.=+-', not starting with one "
                "of '.=+-' (it names the strategy's output folder)"
            )
        return value

    @field_validator("universe", mode="before")
    @classmethod
    def _universe(cls, value: Any) -> Any:
        if isinstance(value, str):
            if not value.strip():
                raise ValueError('must be an index code, "all" or a list of order_book_ids')
            return value
        if isinstance(value, (list, tuple)) and value and all(isinstance(v, str) for v in value):
            return tuple(value)
        raise ValueError('must be an index code, "all" or a non-empty list of order_book_ids')

    @field_validator("start", "end", mode="before")
    @classmethod
    def _dates(cls, value: Any) -> Any:
        return _date(value)

    @field_validator("rebalance", mode="before")
    @classmethod
    def _rebalance(cls, value: Any) -> Any:
        if isinstance(value, str):
            if value not in REBALANCE_RULES:
                raise ValueError('must be "monthly", "weekly" or a list of dates')
            return value
        if isinstance(value, (list, tuple)) and value:
            return tuple(_date(v) for v in value)
        raise ValueError('must be "monthly", "weekly" or a non-empty list of dates')

    @field_validator("rebalance")
    @classmethod
    def _rebalance_days(cls, value: Any, info: ValidationInfo) -> Any:
        if isinstance(value, str):
            return value
        days = list(value)
        if days != sorted(set(days)):
            raise ValueError("dates must be ascending without repeats")
        start, end = info.data.get("start"), info.data.get("end")
        if start is not None and end is not None:
            outside = [d for d in days if not start <= d <= end]
            if outside:
                raise ValueError(f"{outside[0]} lies outside start {start} to end {end}")
        return value

    @field_validator("solver")
    @classmethod
    def _solver(cls, value: Optional[str]) -> Optional[str]:
        if value is None:
            return value
        import cvxpy as cp

        installed = cp.installed_solvers()
        if value.upper() not in installed:
            raise ValueError(f"must be one of the installed solvers: {', '.join(installed)}")
        return value.upper()

    @field_validator("cov_model", "risk_model", mode="before")
    @classmethod
    def _models(cls, value: Any, info: ValidationInfo) -> str:
        return _model_value(value, CovModel if info.field_name == "cov_model" else RiskModel)

    @field_validator("end")
    @classmethod
    def _after_start(cls, value: dt.date, info: ValidationInfo) -> dt.date:
        start = info.data.get("start")
        if start is not None and value < start:
            raise ValueError(f"must not be before start {start}")
        return value

    @model_validator(mode="after")
    def _one_cost_rule(self) -> Strategy:
        if self.costs is not None and self.cost_bps > 0:
            raise ValueError(
                "cost_bps and a costs table both price the trades; give one of them "
                "(cost_bps is the flat linear case)"
            )
        if self.optimise_costs:
            if self.costs is None:
                raise ValueError("optimise_costs = true needs a costs table ([strategy.costs])")
            objects.check_costs_objective(self.objective.type, self.objective.arguments)
        return self

    @property
    def bounds(self) -> Optional[dict[str, tuple[Optional[float], Optional[float]]]]:
        """``bnds`` as the optimiser takes it (pairs as tuples)."""
        return None if self.bnds is None else {k: tuple(v) for k, v in self.bnds.items()}


def _dates_text(days: list[dt.date]) -> str:
    return "[" + ", ".join(d.isoformat() for d in days) + "]"


def _loc_text(loc: tuple[Any, ...]) -> str:
    # pydantic adds the names of union branches and validators to a location; keep the keys
    parts = [str(p) for p in loc if isinstance(p, int) or "[" not in str(p)]
    return ".".join(parts) if parts else "(strategy)"


def _lookup(data: Any, loc: tuple[Any, ...]) -> Any:
    for part in loc:
        if isinstance(data, Mapping) and part in data:
            data = data[part]
        elif isinstance(data, (list, tuple)) and isinstance(part, int) and part < len(data):
            data = data[part]
        else:
            break
    return data


def _shown(value: Any) -> str:
    return value.isoformat() if isinstance(value, dt.date) else repr(value)


def _refusal(raw: Mapping[str, Any], error: ValidationError) -> str:
    name = raw.get("name", "?")
    lines = []
    for item in error.errors():
        loc = tuple(item["loc"])
        message = str(item["msg"]).removeprefix("Value error, ")
        key = _loc_text(loc)
        value = _lookup(raw, loc) if loc else raw
        if item["type"] == "missing":
            lines.append(f"strategy {name!r}: {key} is missing (required)")
        elif item["type"] == "extra_forbidden":
            allowed = ", ".join(Strategy.model_fields)
            lines.append(
                f"strategy {name!r}: unknown key {key} = {_shown(value)}; allowed keys: {allowed}"
            )
        else:
            lines.append(f"strategy {name!r}: {key} = {_shown(value)} is refused: {message}")
    return "\n".join(lines)


def _set_path(data: dict[str, Any], key: str, value: Any) -> None:
    parts = key.split(".")
    node: Any = data
    for depth, part in enumerate(parts):
        last = depth == len(parts) - 1
        where = ".".join(parts[: depth + 1])
        if isinstance(node, list):
            if not part.isdigit() or int(part) >= len(node):
                raise ConfigError(
                    f"grid key {key!r}: {where} is not a position of a list of {len(node)} "
                    f"(positions count from 0)"
                )
            index = int(part)
            if last:
                node[index] = value
            else:
                node = node[index]
        elif isinstance(node, dict):
            if last:
                node[part] = value
            elif part not in node:
                raise ConfigError(f"grid key {key!r}: the strategy has no {where}")
            else:
                node = node[part]
        else:
            raise ConfigError(f"grid key {key!r}: {'.'.join(parts[:depth])} is not a table or list")


def _suffix_value(value: Any) -> str:
    return re.sub(r"[^\w.+-]", "_", str(value))


def expand_grid(strategies: list[dict[str, Any]], grid: Mapping[str, Any]) -> list[dict[str, Any]]:
    """One strategy per combination of the grid's values, named ``<name>-<key>=<value>...``."""
    if not grid:
        return [copy.deepcopy(s) for s in strategies]
    keys = list(grid)
    for key in keys:
        values = grid[key]
        if not isinstance(values, list) or not values:
            raise ConfigError(f"grid.{key} = {values!r} is refused: must be a non-empty list")
    leaves = [k.split(".")[-1] for k in keys]
    labels = [leaf if leaves.count(leaf) == 1 else key for leaf, key in zip(leaves, keys)]
    out = []
    for raw in strategies:
        for combination in itertools.product(*(grid[k] for k in keys)):
            strategy = copy.deepcopy(raw)
            for key, value in zip(keys, combination):
                _set_path(strategy, key, copy.deepcopy(value))
            suffix = "-".join(f"{lb}={_suffix_value(v)}" for lb, v in zip(labels, combination))
            strategy["name"] = f"{raw.get('name', '')}-{suffix}"
            out.append(strategy)
    return out


def parse(data: Mapping[str, Any], source: str = "strategy file") -> list[Strategy]:
    """Validated strategies from the parsed content of a strategy file."""
    unknown = [k for k in data if k not in ("strategy", "grid")]
    if unknown:
        raise ConfigError(
            f"{source}: unknown top-level key {unknown[0]!r}; allowed: [[strategy]] tables and "
            "one [grid] table"
        )
    raw = data.get("strategy")
    if not isinstance(raw, list) or not raw or not all(isinstance(s, dict) for s in raw):
        raise ConfigError(f"{source}: strategy = {raw!r} is refused: needs [[strategy]] tables")
    grid = data.get("grid", {})
    if not isinstance(grid, dict):
        raise ConfigError(f"{source}: grid = {grid!r} is refused: must be a table")
    bases = [s.get("name") for s in raw]
    for name in bases:
        if not isinstance(name, str) or not _NAME.match(name):
            raise ConfigError(
                f"{source}: strategy name = {name!r} is refused: must be a non-empty name of "
                "letters, digits and '_.=+-' (it names the strategy's output folder)"
            )
    try:
        expanded = expand_grid(raw, grid)
    except ConfigError as exc:
        raise ConfigError(f"{source}: {exc}") from None
    strategies, problems = [], []
    for strategy in expanded:
        try:
            strategies.append(Strategy.model_validate(strategy))
        except ValidationError as exc:
            problems.append(_refusal(strategy, exc))
    if problems:
        raise ConfigError(f"{source}: " + "\n".join(problems))
    names = [s.name for s in strategies]
    repeated = sorted({n for n in names if names.count(n) > 1})
    if repeated:
        raise ConfigError(f"{source}: strategy names must differ, {repeated[0]!r} is repeated")
    return strategies


def load(path: Union[str, Path]) -> list[Strategy]:
    """Read and validate a strategy file."""
    path = Path(path)
    try:
        data = tomllib.loads(path.read_text(encoding="utf-8"))
    except tomllib.TOMLDecodeError as exc:
        raise ConfigError(f"{path}: not a valid TOML file: {exc}") from None
    except UnicodeDecodeError as exc:
        raise ConfigError(f"{path}: not a UTF-8 text file: {exc}") from None
    return parse(data, str(path))
