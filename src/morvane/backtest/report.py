"""``report.html``: the summary table and, per strategy, NAV against benchmark, drawdown and
turnover, as interactive plotly charts in one self-contained page."""

from __future__ import annotations

import html
from pathlib import Path
from typing import Any

import pandas as pd

from morvane.backtest.files import atomic_write
from morvane.backtest.output import drawdown

__all__ = ["figures", "write"]


def figures(
    navs: dict[str, pd.DataFrame], records: dict[str, list[dict[str, Any]]]
) -> dict[str, Any]:
    """The page's charts by title: NAV against benchmark, drawdown, turnover per rebalance."""
    import plotly.graph_objects as go

    nav_fig, dd_fig, turnover_fig = go.Figure(), go.Figure(), go.Figure()
    for name, nav in navs.items():
        nav_fig.add_scatter(x=nav["date"], y=nav["portfolio"], name=name, mode="lines")
        if nav["benchmark"].notna().all():
            nav_fig.add_scatter(
                x=nav["date"],
                y=nav["benchmark"],
                name=f"{name} benchmark",
                mode="lines",
                line={"dash": "dot"},
            )
        dd_fig.add_scatter(x=nav["date"], y=-drawdown(nav["portfolio"]), name=name, mode="lines")
        rows = records[name]
        turnover_fig.add_scatter(
            x=[r["date"] for r in rows],
            y=[r["turnover"] for r in rows],
            name=name,
            mode="lines+markers",
        )
    nav_fig.update_layout(title="NAV against benchmark", yaxis_title="NAV (start = 1)")
    dd_fig.update_layout(title="Drawdown", yaxis_title="loss from peak", yaxis_tickformat=".1%")
    turnover_fig.update_layout(title="One-way turnover per rebalance", yaxis_tickformat=".1%")
    return {"nav": nav_fig, "drawdown": dd_fig, "turnover": turnover_fig}


def write(
    path: Path,
    summary: pd.DataFrame,
    navs: dict[str, pd.DataFrame],
    records: dict[str, list[dict[str, Any]]],
) -> None:
    """Write the page to ``path``; plotly's script is embedded once, so it works offline."""
    parts = [
        "<!DOCTYPE html><html><head><meta charset='utf-8'><title>Backtest report</title></head>",
        "<body><h1>Backtest report</h1>",
        summary.to_html(index=False, na_rep="", float_format=lambda v: f"{v:.4f}"),
    ]
    include = True
    for fig in figures(navs, records).values():
        parts.append(fig.to_html(full_html=False, include_plotlyjs=include))
        include = False
    failures = [
        f"<li>{html.escape(name)} {html.escape(r['date'])}: {html.escape(str(r['error']))}</li>"
        for name, rows in records.items()
        for r in rows
        if r["status"] == "failed"
    ]
    if failures:
        parts.append("<h2>Failed rebalances</h2><ul>" + "".join(failures) + "</ul>")
    parts.append("</body></html>")
    atomic_write(path, "\n".join(parts).encode("utf-8"))
