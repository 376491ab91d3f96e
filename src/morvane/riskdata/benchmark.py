"""A benchmark's weights on one date, as the risk model uses them."""

from __future__ import annotations

import datetime
from typing import Any

import numpy as np
import pandas as pd

from morvane.coerce import to_weights
from morvane.exception import InvalidArgument

__all__ = ["benchmark_weights"]


def benchmark_weights(benchmark: Any, date: datetime.date) -> pd.Series:
    """The weights ``benchmark.get_weight(date)`` gives, as they are (not renormalised): finite,
    non-zero, one entry per id, sorted by id; empty without a benchmark."""
    if benchmark is None:
        return pd.Series(dtype=np.float64)
    raw = benchmark.get_weight(date)
    if raw is None:
        raise InvalidArgument(f"基准在 {date} 没有权重数据")
    weights = to_weights(raw, f"the benchmark's weights on {date}")
    weights = weights[weights.to_numpy() != 0.0].sort_index()
    if weights.empty:
        raise InvalidArgument(f"基准在 {date} 没有权重非零的成分股")
    return weights
