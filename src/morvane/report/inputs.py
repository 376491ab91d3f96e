"""What a report reads besides the risk model: the caller's weights (a Series, a mapping or a
CSV file), the benchmark argument, the solve information an optimiser's result carries and the
stocks' names."""

from __future__ import annotations

from collections.abc import Mapping
from pathlib import Path
from typing import Any, Optional, Union

import pandas as pd

import tarnwick
from morvane.benchmark import IndexBenchmark, OptimizeBenchmark
from morvane.coerce import to_weights
from morvane.exception import InvalidArgument

__all__ = ["benchmark_argument", "read_weights", "solve_entries", "solve_info", "stock_names"]


def read_weights(path: Union[str, Path], name: str = "weights") -> pd.Series:
    """Weights from a CSV file: columns ``order_book_id,weight``, or the ids as first column
    and the weights as the only other one."""
    try:
        frame = pd.read_csv(path, dtype={"order_book_id": str})
    except (OSError, ValueError, pd.errors.ParserError) as exc:
        raise InvalidArgument(f"cannot read {name} from {path}: {exc}") from None
    if {"order_book_id", "weight"} <= set(frame.columns):
        ids, values = frame["order_book_id"], frame["weight"]
    elif frame.shape[1] == 2:
        ids, values = frame.iloc[:, 0], frame.iloc[:, 1]
    else:
        raise InvalidArgument(
            f"{path} must have the columns order_book_id,weight (or an id column and one "
            f"weight column); it has {list(frame.columns)}"
        )
    if ids.isna().any():
        raise InvalidArgument(f"{path} has a row without an order_book_id")
    series = pd.Series(values.to_numpy(), index=pd.Index(ids.astype(str), dtype=object))
    return to_weights(series, name)


def benchmark_argument(value: object) -> tuple[Any, Optional[str]]:
    """(benchmark object or None, label): an index code becomes an ``IndexBenchmark``."""
    if value is None:
        return None, None
    if isinstance(value, str):
        return IndexBenchmark(value), value
    if isinstance(value, OptimizeBenchmark):
        return value, type(value).__name__
    raise InvalidArgument(
        f"invalid benchmark {value!r}: pass an index code or an OptimizeBenchmark object"
    )


def stock_names(ids: list[str]) -> list[str]:
    """The short name of each id ("" for an id the client has no record of)."""
    records = tarnwick.instruments(ids)
    if records is None:
        records = []
    elif not isinstance(records, list):
        records = [records]
    symbols = {r.order_book_id: r.symbol for r in records}
    return [str(symbols.get(i, "")) for i in ids]


def solve_info(weights: pd.Series) -> Optional[dict[str, Any]]:
    """The solve information an optimiser's result carries (``attrs["morvane"]``), or None."""
    info = weights.attrs.get("morvane") if isinstance(weights.attrs, dict) else None
    return dict(info) if isinstance(info, Mapping) else None


def solve_entries(info: Optional[dict[str, Any]]) -> dict[str, Any]:
    """The summary entries of the solve information (constraints counted)."""
    if info is None:
        return {}
    return {
        "solver": info.get("solver"),
        "status": info.get("status"),
        "solve_time": info.get("solve_time"),
        "objective_value": info.get("objective_value"),
        "refined": info.get("refined"),
        "binding": len(info.get("binding") or ()),
        "dropped": len(info.get("dropped") or ()),
    }
