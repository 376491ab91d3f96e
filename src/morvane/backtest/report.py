"""``report.html``: the summary table; NAV against benchmark, drawdown, turnover and costs by
kind of every strategy; and, per strategy, the portfolio report of its last rebalance (risk,
exposures, industries, holdings), as interactive plotly charts in one self-contained page."""

from __future__ import annotations

import html
from pathlib import Path
from typing import Any

import pandas as pd

from morvane.backtest import costs
from morvane.backtest.config import Strategy
from morvane.backtest.files import atomic_write
from morvane.backtest.output import drawdown

__all__ = ["figures", "last_rebalance_reports", "write"]


def figures(
    navs: dict[str, pd.DataFrame], records: dict[str, list[dict[str, Any]]]
) -> dict[str, Any]:
    """The page's charts by title: NAV against benchmark, drawdown, turnover per rebalance,
    costs by kind."""
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
    costs_fig = go.Figure()
    by_kind = {name: costs.totals(rows) for name, rows in records.items()}
    for kind in costs.KINDS:
        costs_fig.add_bar(
            x=list(by_kind), y=[k[kind] for k in by_kind.values()], name=kind.replace("_", " ")
        )
    costs_fig.update_layout(
        title="Costs by kind", barmode="stack", yaxis_title="NAV units (start = 1)"
    )
    nav_fig.update_layout(title="NAV against benchmark", yaxis_title="NAV (start = 1)")
    dd_fig.update_layout(title="Drawdown", yaxis_title="loss from peak", yaxis_tickformat=".1%")
    turnover_fig.update_layout(title="One-way turnover per rebalance", yaxis_tickformat=".1%")
    return {"nav": nav_fig, "drawdown": dd_fig, "turnover": turnover_fig, "costs": costs_fig}


def last_rebalance_reports(
    strategies: list[Strategy], records: dict[str, list[dict[str, Any]]]
) -> dict[str, Any]:
    """Per finished strategy, the portfolio report of the weights its last rebalance traded to
    (against the drifted holding it traded from), or the text of the error that prevented it."""
    from morvane.exception import InvalidArgument
    from morvane.report import analyse

    out: dict[str, Any] = {}
    for strategy in strategies:
        rows = records.get(strategy.name)
        if not rows or not rows[-1]["ids"]:
            continue
        last = rows[-1]
        holding = None
        if len(rows) > 1 and rows[-2]["ids"]:
            holding = pd.Series(rows[-2]["end_weights"], index=rows[-2]["ids"], dtype=float)
        try:
            out[strategy.name] = analyse(
                pd.Series(last["weights"], index=last["ids"], dtype=float),
                last["date"],
                benchmark=strategy.benchmark,
                holding=holding,
                cov_model=strategy.cov_model,
                risk_model=strategy.risk_model,
            )
        except (InvalidArgument, LookupError, ValueError, OSError) as exc:
            out[strategy.name] = f"{type(exc).__name__}: {exc}"
    return out


def _last_rebalance(name: str, date: str, report: Any) -> str:
    from morvane.report.page import report_body

    title = f"<h2>{html.escape(name)}: last rebalance, {html.escape(date)}</h2>"
    if isinstance(report, str):
        return f"{title}\n<p>No portfolio report: {html.escape(report)}</p>"
    return f"{title}\n{report_body(report)}"


def write(
    path: Path,
    summary: pd.DataFrame,
    navs: dict[str, pd.DataFrame],
    records: dict[str, list[dict[str, Any]]],
    last: dict[str, Any],
) -> None:
    """Write the page to ``path``; the chart library's script is inlined, so it works offline."""
    from morvane.report.page import figure_block, page

    parts = [summary.to_html(index=False, na_rep="", float_format=lambda v: f"{v:.4f}")]
    parts += [figure_block(key, fig) for key, fig in figures(navs, records).items()]
    failures = [
        f"<li>{html.escape(name)} {html.escape(r['date'])}: {html.escape(str(r['error']))}</li>"
        for name, rows in records.items()
        for r in rows
        if r["status"] == "failed"
    ]
    if failures:
        parts.append("<h2>Failed rebalances</h2><ul>" + "".join(failures) + "</ul>")
    parts += [_last_rebalance(n, records[n][-1]["date"], report) for n, report in last.items()]
    atomic_write(path, page("Backtest report", "\n".join(parts)).encode("utf-8"))
