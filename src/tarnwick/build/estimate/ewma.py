"""Exponentially weighted running sums, continued from an earlier pass when given its state."""

from __future__ import annotations

import numpy as np

__all__ = ["ewma"]


def ewma(x: np.ndarray, half_life: float, start: np.ndarray | None = None) -> np.ndarray:
    """Running sum_j lambda^(t-j) x_j along axis 0, lambda = 0.5 ** (1 / half_life).
    ``start``: the sum at row 0, carried from an earlier pass (row 0 of ``x`` is then not
    added again)."""
    lam = 0.5 ** (1.0 / half_life)
    out = np.empty(x.shape, dtype=np.float64)
    acc = np.zeros(x.shape[1:], dtype=np.float64)
    first = 0
    if start is not None:
        acc = np.array(start, dtype=np.float64)
        out[0] = acc
        first = 1
    for t in range(first, x.shape[0]):
        acc *= lam
        acc += x[t]
        out[t] = acc
    return out
