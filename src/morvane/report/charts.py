"""The charts of a portfolio report, as plotly figures.

Against a benchmark the charts show active figures (portfolio minus benchmark); without one they
show the portfolio's own.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import plotly.graph_objects as go

from morvane.report.theme import FONT_FAMILY, tidy

if TYPE_CHECKING:
    import pandas as pd

    from morvane.report.model import ReportData

__all__ = ["figures"]

_TEMPLATE = "plotly_white"
_GROUP_LABELS = {"market": "Market", "industry": "Industries", "style": "Styles",
                 "specific": "Specific"}  # fmt: skip
_PORTFOLIO, _BENCHMARK, _ACTIVE = "#1f5fa8", "#b0b7c3", "#d1495b"


def _layout(fig: go.Figure, title: str, height: int, percent_axis: str | None) -> go.Figure:
    fig.update_layout(
        title={"text": title, "x": 0.01},
        template=_TEMPLATE,
        height=height,
        margin={"l": 10, "r": 10, "t": 50, "b": 10},
        legend={"orientation": "h", "y": -0.12},
        font={"family": FONT_FAMILY},
    )
    if percent_axis == "x":
        fig.update_xaxes(tickformat=".1%")
    elif percent_axis == "y":
        fig.update_yaxes(tickformat=".1%")
    fig.update_yaxes(automargin=True)
    return fig


def _signed_colours(values: list[float]) -> list[str]:
    return [_PORTFOLIO if v >= 0 else _ACTIVE for v in values]


def _signed_bars(values: pd.Series, number_format: str) -> go.Figure:
    """Horizontal bars of ``values``, labelled by their index, coloured by sign."""
    shown = tidy(values.to_numpy())
    return go.Figure(
        go.Bar(
            x=shown,
            y=[str(i) for i in values.index],
            orientation="h",
            marker_color=_signed_colours(list(shown)),
            hovertemplate=f"%{{y}}: %{{x:{number_format}}}<extra></extra>",
        )
    )


def industries(report: ReportData) -> go.Figure:
    frame = report.industries
    column = "active" if report.has_benchmark else "portfolio"
    values = frame[column].sort_values()
    title = "Active industry weights" if report.has_benchmark else "Industry weights"
    fig = _signed_bars(values, ".2%")
    return _layout(fig, title, max(320, 22 * len(values) + 90), "x")


def styles(report: ReportData) -> go.Figure:
    frame = report.styles
    column = "active" if report.has_benchmark else "portfolio"
    values = frame[column]
    title = "Active style exposures" if report.has_benchmark else "Style exposures"
    fig = _signed_bars(values, ".3f")
    fig.update_yaxes(autorange="reversed")
    return _layout(fig, title, 380, None)


def risk(report: ReportData) -> go.Figure:
    groups = report.risk_groups
    labels = [_GROUP_LABELS.get(str(g), str(g)) for g in groups.index]
    fig = go.Figure(
        go.Bar(
            name="Volatility",
            x=labels,
            y=tidy(groups["total"].to_numpy()),
            marker_color=_PORTFOLIO,
            hovertemplate="%{x}: %{y:.2%}<extra>volatility</extra>",
        )
    )
    if report.has_benchmark:
        fig.add_trace(
            go.Bar(
                name="Tracking error",
                x=labels,
                y=tidy(groups["active"].to_numpy()),
                marker_color=_ACTIVE,
                hovertemplate="%{x}: %{y:.2%}<extra>tracking error</extra>",
            )
        )
    fig.update_layout(barmode="group", yaxis_title="contribution (annualised)")
    return _layout(fig, "Risk by factor group", 380, "y")


def holdings(report: ReportData) -> go.Figure:
    top = report.top_holdings().iloc[::-1]
    labels = [f"{i} {n}".strip() for i, n in zip(top.index, top["name"])]
    fig = go.Figure(
        go.Bar(
            name="Portfolio",
            x=tidy(top["weight"].to_numpy()),
            y=labels,
            orientation="h",
            marker_color=_PORTFOLIO,
            hovertemplate="%{y}: %{x:.2%}<extra>portfolio</extra>",
        )
    )
    if report.has_benchmark:
        fig.add_trace(
            go.Bar(
                name="Benchmark",
                x=tidy(top["benchmark_weight"].to_numpy()),
                y=labels,
                orientation="h",
                marker_color=_BENCHMARK,
                hovertemplate="%{y}: %{x:.2%}<extra>benchmark</extra>",
            )
        )
    fig.update_layout(barmode="group")
    return _layout(fig, "Top holdings", max(320, 34 * len(top) + 90), "x")


def figures(report: ReportData) -> dict[str, go.Figure]:
    """The report's charts keyed by a short name, in page order."""
    return {
        "industries": industries(report),
        "styles": styles(report),
        "risk": risk(report),
        "holdings": holdings(report),
    }
