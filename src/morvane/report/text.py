"""Summary figures as text: their labels and formats, shared by the terminal and the page."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Callable

if TYPE_CHECKING:
    import pandas as pd

    from morvane.report.model import ReportData

__all__ = ["format_summary", "summary_text"]


def _percent(value: Any) -> str:
    return f"{float(value):.2%}"


def _seconds(value: Any) -> str:
    return f"{float(value):.3f} s"


def _plain(value: Any) -> str:
    return str(value)


def _yes_no(value: Any) -> str:
    return "yes" if value else "no"


#: summary key -> (label, format); keys not listed are shown as they are.
SUMMARY_FORMATS: dict[str, tuple[str, Callable[[Any], str]]] = {
    "holdings": ("stocks held", _plain),
    "stocks": ("stocks", _plain),
    "total_weight": ("total weight", _percent),
    "top10_weight": ("top-10 weight", _percent),
    "volatility": ("volatility", _percent),
    "volatility_factor": ("  factor part", _percent),
    "volatility_specific": ("  specific part", _percent),
    "tracking_error": ("tracking error", _percent),
    "tracking_error_factor": ("  factor part", _percent),
    "tracking_error_specific": ("  specific part", _percent),
    "beta": ("beta", lambda v: f"{float(v):.3f}"),
    "active_share": ("active share", _percent),
    "turnover": ("turnover (one-way)", _percent),
    "solver": ("solver", _plain),
    "status": ("status", _plain),
    "solve_time": ("solve time", _seconds),
    "objective_value": ("objective value", lambda v: f"{float(v):.6g}"),
    "refined": ("refined", _yes_no),
    "binding": ("binding constraints", _plain),
    "dropped": ("dropped soft constraints", _plain),
}


def _missing(value: Any) -> bool:
    return value is None or (isinstance(value, float) and math.isnan(value))


def format_summary(summary: pd.Series) -> list[tuple[str, str, str]]:
    """(key, label, text) of every summary entry that has a value; volatilities, weights and
    shares are annualised fractions shown as percentages."""
    rows = []
    for key, value in summary.items():
        if _missing(value):
            continue
        label, fmt = SUMMARY_FORMATS.get(str(key), (str(key), _plain))
        try:
            text = fmt(value)
        except (TypeError, ValueError):
            text = str(value)
        rows.append((str(key), label, text))
    return rows


def describe(report: ReportData) -> str:
    """One line naming the date, the benchmark and the risk model."""
    benchmark = report.benchmark if report.has_benchmark else "none"
    return (
        f"{report.date}, benchmark {benchmark}, risk model {report.risk_model.value} "
        f"({report.cov_model.value} covariance)"
    )


def summary_text(report: ReportData, top: int = 5, tilts: int = 3) -> str:
    """The terminal summary: the figures, the largest holdings and the largest tilts."""
    lines = [f"portfolio report: {describe(report)}"]
    rows = format_summary(report.summary)
    width = max(len(label) for _, label, _ in rows)
    lines += [f"  {label:<{width}}  {text}" for _, label, text in rows]
    lines.append("  largest holdings:")
    for order_book_id, row in report.top_holdings(top).iterrows():
        lines.append(f"    {order_book_id}  {row['weight']:7.2%}  {row['name']}")
    column = "active" if report.has_benchmark else "portfolio"
    kind = "active " if report.has_benchmark else ""
    industries = report.industries[column].sort_values(key=abs, ascending=False).head(tilts)
    styles = report.styles[column].sort_values(key=abs, ascending=False).head(tilts)
    lines.append(f"  largest {kind}industry weights: " + ", ".join(
        f"{name} {value:+.2%}" for name, value in industries.items()))  # fmt: skip
    lines.append(f"  largest {kind}style exposures: " + ", ".join(
        f"{name} {value:+.3f}" for name, value in styles.items()))  # fmt: skip
    return "\n".join(lines)
