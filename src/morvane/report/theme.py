"""What every page and chart of the reports shares: the font stack, the colours and the rule that
numbers below the display threshold are shown as zero."""

from __future__ import annotations

from typing import Any

import numpy as np

__all__ = ["FONT_FAMILY", "ZERO_BELOW", "tidy", "tidy_value"]

#: Latin text first, then fonts that cover Chinese industry and stock names on every platform
#: (Noto CJK on Linux, the system fonts of macOS and Windows).
FONT_FAMILY = (
    'system-ui, -apple-system, "Segoe UI", "Noto Sans CJK SC", "Noto Sans SC", '
    '"Source Han Sans SC", "PingFang SC", "Hiragino Sans GB", "Microsoft YaHei", '
    '"WenQuanYi Micro Hei", sans-serif'
)
#: Magnitudes below this are solver or rounding noise: tables and charts show them as zero.
ZERO_BELOW = 1e-9

PORTFOLIO, BENCHMARK, ACTIVE, NEUTRAL = "#1f5fa8", "#b0b7c3", "#d1495b", "#6c757d"


def tidy(values: Any) -> np.ndarray:
    """``values`` as a float array with every magnitude below ``ZERO_BELOW`` set to 0."""
    array = np.array(values, dtype=np.float64, copy=True)
    array[np.abs(array) < ZERO_BELOW] = 0.0
    return array


def tidy_value(value: float) -> float:
    """One number, 0.0 when its magnitude is below ``ZERO_BELOW``."""
    return 0.0 if abs(value) < ZERO_BELOW else float(value)
