"""``PortfolioReport``: a report's data with its views, the charts, the page and the terminal
summary, one method each.  The views are imported when first used, so that reading a report's
numbers does not load the chart library."""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING, Union

from morvane.report.model import ReportData

if TYPE_CHECKING:
    import plotly.graph_objects as go

__all__ = ["PortfolioReport"]


class PortfolioReport(ReportData):
    """Risk, exposures and industry weights of one portfolio on one date (the tables of
    ``ReportData``), with its charts, its page and its summary text."""

    def figures(self) -> dict[str, go.Figure]:
        """The charts of the page, keyed by a short name: ``industries``, ``styles``, ``risk``
        and ``holdings``."""
        from morvane.report.charts import figures

        return figures(self)

    def to_html(self, path: Union[str, Path]) -> Path:
        """Write a self-contained page (no network needed) with the summary and the charts;
        returns its path."""
        from morvane.report.page import write_page

        return write_page(self, path)

    def __str__(self) -> str:
        from morvane.report.text import summary_text

        return summary_text(self)

    def __repr__(self) -> str:
        from morvane.report.notebook import report_repr

        return report_repr(self)

    def _repr_html_(self) -> str:
        from morvane.report.notebook import report_html

        return report_html(self)
