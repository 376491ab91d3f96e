"""How reports show themselves in a notebook: a one-line ``repr`` and an HTML display with the
summary and the charts (the chart library's script included, so the output works offline)."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING

from plotly.offline import get_plotlyjs

if TYPE_CHECKING:
    from morvane.report.model import ReportData as PortfolioReport

__all__ = ["chart_script", "report_html", "report_repr"]


def _percent(value: object) -> str:
    try:
        number = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        return "n/a"
    return "n/a" if math.isnan(number) else f"{number:.2%}"


def report_repr(report: PortfolioReport) -> str:
    """One line: date, benchmark, size and the headline risk figures."""
    summary = report.summary
    parts = [
        str(report.date),
        f"benchmark {report.benchmark or 'none'}",
        f"{summary.get('holdings')} of {summary.get('stocks')} stocks held",
        f"volatility {_percent(summary.get('volatility'))}",
    ]
    if report.has_benchmark:
        parts.append(f"tracking error {_percent(summary.get('tracking_error'))}")
    return f"<PortfolioReport {', '.join(parts)}>"


def chart_script() -> str:
    """The chart library as one inline script element."""
    return f'<script type="text/javascript">{get_plotlyjs()}</script>'


def report_html(report: PortfolioReport) -> str:
    """The summary table and charts, for a notebook cell's output."""
    import uuid

    from morvane.report.page import report_body

    prefix = f"nb{uuid.uuid4().hex[:8]}-"  # every display gets element ids of its own
    return f"<div>{chart_script()}\n{report_body(report, prefix)}</div>"
