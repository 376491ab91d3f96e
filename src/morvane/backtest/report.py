"""``report.html``: a formatted summary of every strategy; NAV against its benchmark (each
benchmark drawn once), excess return, drawdown, turnover and costs by kind; the failed
rebalances with their causes; and per strategy the return attribution and the portfolio report
of its last successful trade, in one self-contained page whose every chart has an element id of
its own."""

from __future__ import annotations

import html
import math
import re
from pathlib import Path
from typing import Any, Optional

import pandas as pd

from morvane.backtest import costs, failures
from morvane.backtest.config import Strategy
from morvane.backtest.output import STAT_KEYS, drawdown
from morvane.files import write_atomic

__all__ = [
    "attributions",
    "figures",
    "last_rebalance_reports",
    "results_html",
    "strategy_html",
    "summary_view",
    "write",
    "write_run",
]


def _benchmarks(
    navs: dict[str, pd.DataFrame], benchmarks: dict[str, Optional[str]]
) -> dict[tuple[str, Any], list[str]]:
    """(benchmark code, first day) -> the strategies whose NAV is measured against that
    benchmark from that day: each such line is drawn once."""
    out: dict[tuple[str, Any], list[str]] = {}
    for name, nav in navs.items():
        code = benchmarks.get(name)
        if code is not None and len(nav) and nav["benchmark"].notna().all():
            out.setdefault((code, nav["date"].iloc[0]), []).append(name)
    return out


#: One colour per strategy, the same in every chart of the page.
_COLOURS = ("#1f5fa8", "#e09f3e", "#2a9d8f", "#9c4f96", "#d1495b", "#6c757d", "#7a9e7e")


def figures(
    navs: dict[str, pd.DataFrame],
    records: dict[str, list[dict[str, Any]]],
    benchmarks: Optional[dict[str, Optional[str]]] = None,
) -> dict[str, Any]:
    """The page's charts by name: NAV against benchmark, excess return, drawdown, turnover,
    costs by kind."""
    import plotly.graph_objects as go

    from morvane.report.theme import FONT_FAMILY, tidy

    benchmarks = benchmarks or {}
    nav_fig, excess_fig, dd_fig, turnover_fig = go.Figure(), go.Figure(), go.Figure(), go.Figure()
    for (code, _), names in _benchmarks(navs, benchmarks).items():
        nav = navs[names[0]]
        nav_fig.add_scatter(
            x=nav["date"],
            y=nav["benchmark"],
            mode="lines",
            name=f"{', '.join(names)} benchmark ({code})",
            line={"dash": "dot", "color": "#888"},
        )
    for position, (name, nav) in enumerate(navs.items()):
        colour = {"color": _COLOURS[position % len(_COLOURS)]}
        nav_fig.add_scatter(x=nav["date"], y=nav["portfolio"], name=name, mode="lines", line=colour)
        if nav["benchmark"].notna().all():
            excess = nav["portfolio"] / nav["benchmark"] - 1.0
            excess_fig.add_scatter(
                x=nav["date"], y=tidy(excess), name=name, mode="lines", line=colour
            )
        dd_fig.add_scatter(
            x=nav["date"],
            y=tidy(-drawdown(nav["portfolio"])),
            name=name,
            mode="lines",
            line=colour,
        )
        rows = records[name]
        done = [r for r in rows if r["status"] != "failed"]
        failed = [r for r in rows if r["status"] == "failed"]
        turnover_fig.add_scatter(
            x=[r["date"] for r in done],
            y=tidy([r["turnover"] for r in done]),
            name=f"{name} turnover",
            mode="lines+markers",
            line=colour,
            customdata=[r["cost"] for r in done],
            hovertemplate="%{x}: %{y:.2%}, cost %{customdata:.4%} of NAV",
        )
        if failed:
            turnover_fig.add_scatter(
                x=[r["date"] for r in failed],
                y=[0.0] * len(failed),
                name=f"{name} failed (no trade)",
                mode="markers",
                marker={"symbol": "x", "size": 10, "color": "#d1495b"},
                text=[failures.status_of(r) for r in failed],
                hovertemplate="%{x}: failed, %{text}<extra></extra>",
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
    excess_fig.update_layout(title="Excess return (NAV / benchmark - 1)", yaxis_tickformat=".1%")
    dd_fig.update_layout(title="Drawdown", yaxis_title="loss from peak", yaxis_tickformat=".1%")
    turnover_fig.update_layout(
        title="One-way turnover per rebalance (failed rebalances marked)", yaxis_tickformat=".1%"
    )
    out = {
        "nav": nav_fig,
        "excess": excess_fig,
        "drawdown": dd_fig,
        "turnover": turnover_fig,
        "costs": costs_fig,
    }
    if not excess_fig.data:
        del out["excess"]
    for fig in out.values():
        fig.update_layout(
            template="plotly_white",
            font={"family": FONT_FAMILY},
            height=380,
            margin={"l": 10, "r": 10, "t": 50, "b": 10},
        )
    return out


def _total(nav: pd.Series) -> float:
    values = nav.to_numpy(dtype=float)
    return (
        float(values[-1] / values[0] - 1.0)
        if len(values) and math.isfinite(values[-1])
        else math.nan
    )


def summary_view(table: pd.DataFrame, navs: dict[str, pd.DataFrame]) -> pd.DataFrame:
    """The summary table for reading: total, benchmark and excess return beside the statistics,
    failures as "failed of rebalances"; the error column only when a strategy stopped."""
    rows = []
    for row in table.to_dict("records"):
        name = row["strategy"]
        nav = navs.get(name)
        entry = {"strategy": name}
        if nav is not None:
            entry["total_return"] = _total(nav["portfolio"])
            entry["benchmark_return"] = _total(nav["benchmark"])
            entry["excess_return"] = entry["total_return"] - entry["benchmark_return"]
        for key in STAT_KEYS:
            entry[key] = row.get(key)
        if isinstance(row.get("error"), str):
            entry["error"] = row["error"]
        rows.append(entry)
    return pd.DataFrame(rows).set_index("strategy")


def _summary_html(view: pd.DataFrame, records: dict[str, list[dict[str, Any]]]) -> str:
    from morvane.report.tables import data_table, number, percent

    shown = view.copy()
    if "failed_rebalances" in shown:
        shown["failed_rebalances"] = [
            f"{int(v)} of {len(records.get(n, []))}"
            if isinstance(v, (int, float)) and not math.isnan(v)
            else ""
            for n, v in shown["failed_rebalances"].items()
        ]
    formats = {
        c: percent
        for c in (
            "total_return",
            "benchmark_return",
            "excess_return",
            "annual_return",
            "volatility",
            "tracking_error",
            "max_drawdown",
            "average_turnover",
            "total_cost",
        )
    }
    formats["information_ratio"] = lambda v: number(v, 3)
    shown.columns = [c.replace("_", " ") for c in shown.columns]
    return data_table(shown, {k.replace("_", " "): f for k, f in formats.items()})


def last_rebalance_reports(
    strategies: list[Strategy], records: dict[str, list[dict[str, Any]]]
) -> dict[str, Any]:
    """Per finished strategy, the portfolio report of the weights its last successful rebalance
    traded to (against the drifted holding it traded from), or the text of the error that
    prevented it.  A failed rebalance traded nothing, so it is never reported as a trade."""
    from morvane.exception import InvalidArgument
    from morvane.report import analyse

    out: dict[str, Any] = {}
    for strategy in strategies:
        rows = records.get(strategy.name) or []
        done = [k for k, r in enumerate(rows) if r["status"] != "failed" and r["ids"]]
        if not done:
            continue
        last = rows[done[-1]]
        holding = None
        if done[-1] > 0 and rows[done[-1] - 1]["ids"]:
            before = rows[done[-1] - 1]
            holding = pd.Series(before["end_weights"], index=before["ids"], dtype=float)
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


def attributions(
    strategies: list[Strategy],
    records: dict[str, list[dict[str, Any]]],
    navs: dict[str, pd.DataFrame],
) -> dict[str, Any]:
    """Per finished strategy, its return attribution, or the text of the error that
    prevented it."""
    import tarnwick
    from morvane.backtest.output import holdings_of
    from morvane.exception import InvalidArgument
    from morvane.report.attribution import decompose

    out: dict[str, Any] = {}
    for strategy in strategies:
        rows = records.get(strategy.name)
        if not rows or strategy.name not in navs:
            continue
        try:
            with tarnwick.snapshot():
                holdings = holdings_of(rows, navs[strategy.name])
                out[strategy.name] = decompose(
                    holdings, strategy.benchmark, strategy.risk_model, strategy.cov_model
                )
        except (InvalidArgument, LookupError, ValueError, OSError) as exc:
            out[strategy.name] = f"{type(exc).__name__}: {exc}"
    return out


def _slug(name: str, position: int) -> str:
    """A prefix for the element ids of a strategy's section, unique on the page."""
    return f"s{position}-{re.sub(r'[^A-Za-z0-9_-]', '_', name)}-"


def _failures_html(name: str, rows: list[dict[str, Any]]) -> str:
    found = failures.failures(name, rows)
    if not found:
        return ""
    items = "".join(f"<li>{html.escape(line)}</li>" for line in failures.lines(found))
    return (
        f"<h3>Failed rebalances: {len(found)} of {len(rows)}</h3>\n"
        f'<ul class="failures" data-strategy="{html.escape(name)}">{items}</ul>'
    )


def _last_trade(name: str, rows: list[dict[str, Any]], report: Any, prefix: str) -> str:
    from morvane.report.page import report_body
    from morvane.report.portfolio_tables import tables_body

    done = [r for r in rows if r["status"] != "failed" and r["ids"]]
    if not done:
        return f"<p>{html.escape(name)} never traded: every rebalance failed.</p>"
    date = done[-1]["date"]
    parts = [f"<h2>{html.escape(name)}: last rebalance, {html.escape(date)}</h2>"]
    if rows[-1] is not done[-1] and rows[-1]["status"] == "failed":
        parts.append(
            f'<p class="note">The last rebalance, {html.escape(rows[-1]["date"])}, '
            f"failed ({html.escape(failures.status_of(rows[-1]))}) and traded nothing; "
            f"this is the portfolio of the last trade, on {html.escape(date)}.</p>"
        )
    if isinstance(report, str):
        parts.append(f"<p>No portfolio report: {html.escape(report)}</p>")
    elif report is not None:
        parts.append(report_body(report, prefix))
        parts.append(tables_body(report))
    return "\n".join(parts)


def _strategy_section(
    name: str, position: int, rows: list[dict[str, Any]], report: Any, attribution: Any
) -> str:
    from morvane.report.attribution_page import attribution_body

    prefix = _slug(name, position)
    parts = [
        f'<section class="strategy" id="strategy-{prefix.rstrip("-")}" '
        f'data-strategy="{html.escape(name)}">',
        f"<h2>{html.escape(name)}</h2>",
        _failures_html(name, rows),
    ]
    if isinstance(attribution, str):
        parts.append(f"<p>No attribution: {html.escape(attribution)}</p>")
    elif attribution is not None:
        parts += [
            f"<h3>Return attribution</h3>\n<p>{html.escape(repr(attribution))}</p>",
            attribution_body(attribution, prefix),
        ]
    parts.append(_last_trade(name, rows, report, prefix))
    parts.append("</section>")
    return "\n".join(p for p in parts if p)


def write(
    path: Path,
    summary: pd.DataFrame,
    navs: dict[str, pd.DataFrame],
    records: dict[str, list[dict[str, Any]]],
    last: dict[str, Any],
    attributed: Optional[dict[str, Any]] = None,
    benchmarks: Optional[dict[str, Optional[str]]] = None,
) -> None:
    """Write the page to ``path``; the chart library's script is inlined, so it works offline."""
    from morvane.report.page import figure_block, page

    attributed = attributed or {}
    parts = [_summary_html(summary_view(summary, navs), records)]
    overview = [
        f'<li><a href="#strategy-{_slug(n, k).rstrip("-")}">{html.escape(n)}</a>: '
        f"{len(found)} of {len(rows)} rebalances failed, first on {found[0].date} "
        f"({html.escape(found[0].status)})</li>"
        for k, (n, rows) in enumerate(records.items())
        if (found := failures.failures(n, rows))
    ]
    if overview:
        parts.append('<ul class="failure-overview">' + "".join(overview) + "</ul>")
    parts += [figure_block(key, fig) for key, fig in figures(navs, records, benchmarks).items()]
    for position, name in enumerate(records):
        parts.append(
            _strategy_section(name, position, records[name], last.get(name), attributed.get(name))
        )
    write_atomic(path, page("Backtest report", "\n".join(parts)))


def write_run(
    path: Path,
    strategies: list[Strategy],
    summary: pd.DataFrame,
    navs: dict[str, pd.DataFrame],
    records: dict[str, list[dict[str, Any]]],
) -> None:
    """Write the page of a finished run: its reports, attributions and charts."""
    last = last_rebalance_reports(strategies, records)
    attributed = attributions(strategies, records, navs)
    benchmarks = {s.name: s.benchmark for s in strategies}
    write(path, summary, navs, records, last, attributed, benchmarks)


def strategy_html(result: Any) -> str:
    """One strategy's results for a notebook cell."""
    from morvane.report.notebook import chart_script
    from morvane.report.page import figure_block

    navs, records = {result.name: result.nav}, {result.name: result.records}
    table = pd.DataFrame([{"strategy": result.name, **result.stats}])
    charts = "".join(
        figure_block(k, f, f"nb-{id(result)}-")
        for k, f in figures(navs, records, {result.name: result.benchmark}).items()
    )
    return (
        f"<div>{chart_script()}<p>{html.escape(repr(result))}</p>"
        f"{_summary_html(summary_view(table, navs), records)}"
        f"{_failures_html(result.name, result.records)}{charts}</div>"
    )


def results_html(results: Any) -> str:
    """A run's summary for a notebook cell."""
    navs = {name: results[name].nav for name in results}
    records = {name: results[name].records for name in results}
    return (
        f"<div><p>{html.escape(repr(results))}</p>"
        f"{_summary_html(summary_view(results.summary, navs), records)}</div>"
    )
