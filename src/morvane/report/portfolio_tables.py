"""The tables of a portfolio report's page (holdings, trades, constraints) and the CSV files
with the full holdings and trades written beside the page."""

from __future__ import annotations

import html
from pathlib import Path
from typing import TYPE_CHECKING, Optional

from morvane.report.tables import (
    TOP_ROWS,
    constraint_rows,
    data_table,
    holdings_table,
    number,
    percent,
    trades_table,
)

if TYPE_CHECKING:
    from morvane.report.model import ReportData as PortfolioReport

__all__ = ["csv_paths", "tables_body", "write_csv"]

_WEIGHTS = {
    c: percent
    for c in (
        "weight",
        "benchmark_weight",
        "active_weight",
        "before",
        "after",
        "trade",
        "risk_contribution",
        "tracking_error_contribution",
    )
}


def csv_paths(page: Path) -> dict[str, Path]:
    """The CSV files beside ``page``: ``<stem>-holdings.csv`` and ``<stem>-trades.csv``."""
    return {kind: page.with_name(f"{page.stem}-{kind}.csv") for kind in ("holdings", "trades")}


def write_csv(report: PortfolioReport, page: Path) -> dict[str, Path]:
    """Write the full holdings (and, with a holding, trades) beside ``page``; their paths."""
    from morvane.files import write_atomic

    paths = csv_paths(page)
    written = {}
    holdings = report.risk_contributions[report.risk_contributions["weight"] != 0]
    written["holdings"] = write_atomic(paths["holdings"], holdings.to_csv(float_format="%.10g"))
    trades = trades_table(report, None)
    if trades is not None:
        written["trades"] = write_atomic(paths["trades"], trades.to_csv(float_format="%.10g"))
    return written


def _link(files: Optional[dict[str, Path]], kind: str) -> str:
    if not files or kind not in files:
        return ""
    name = html.escape(files[kind].name)
    return f' <a href="{name}">All {kind} (CSV)</a>'


def tables_body(report: PortfolioReport, files: Optional[dict[str, Path]] = None) -> str:
    """The holdings, trades and constraints tables, linking to the CSV files in ``files``."""
    parts = [
        f"<h3>Largest holdings</h3>\n{data_table(holdings_table(report), _WEIGHTS)}"
        f'<p class="note">The {TOP_ROWS} largest of {int(report.summary["holdings"])} '
        f"held.{_link(files, 'holdings')}</p>"
    ]
    trades = trades_table(report)
    if trades is not None:
        parts.append(
            f"<h3>Largest trades</h3>\n{data_table(trades, _WEIGHTS)}"
            f'<p class="note">{_link(files, "trades")}</p>'
        )
    constraints = constraint_rows(report)
    if constraints is not None:
        table = data_table(constraints, {"shadow_price": lambda v: number(v, 4)})
        parts.append(
            f"<h3>Constraints</h3>\n{table}"
            '<p class="note">The shadow price is how much the objective would fall per unit '
            "by which the constraint's limits were loosened.</p>"
        )
    return "\n".join(parts)
