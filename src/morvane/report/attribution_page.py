"""The charts and tables of a return attribution, for pages and notebooks.  Reads only the
:class:`~morvane.report.attribution_result.Attribution` it is given."""

from __future__ import annotations

import html
from typing import Any

import numpy as np
import pandas as pd
import plotly.graph_objects as go

from morvane.report.tables import data_table, percent
from morvane.report.theme import (
    ACTIVE,
    BENCHMARK,
    FONT_FAMILY,
    NEUTRAL,
    PORTFOLIO,
    ZERO_BELOW,
    tidy,
)

#: The result drawn here, ``morvane.report.attribution_result.Attribution``: it imports this
#: module to draw itself, so this module reads it by its attributes and never imports it.
Attribution = Any

__all__ = ["attribution_body", "attribution_html", "brinson_table", "figures"]

_GROUP_LABELS = {
    "market": "Market",
    "industry": "Industries",
    "style": "Styles",
    "specific": "Specific",
    "costs": "Costs",
    "cash": "Cash",
}
_GROUP_COLOURS = {
    "market": NEUTRAL,
    "industry": "#e09f3e",
    "style": PORTFOLIO,
    "specific": "#7a9e7e",
    "costs": ACTIVE,
    "cash": BENCHMARK,
}
#: How many industries the Brinson table lists (by the size of their total effect).
BRINSON_ROWS = 12


def _layout(fig: go.Figure, title: str, height: int = 360) -> go.Figure:
    fig.update_layout(
        title={"text": title, "x": 0.01},
        template="plotly_white",
        height=height,
        margin={"l": 10, "r": 10, "t": 50, "b": 10},
        font={"family": FONT_FAMILY},
        legend={"orientation": "h", "y": -0.15},
    )
    fig.update_yaxes(automargin=True)
    return fig


def _groups_over_time(attribution: Attribution) -> pd.DataFrame:
    """date x group: the cumulative sum of each group's daily contribution."""
    kinds = attribution.kinds.reindex(attribution.factors.columns)
    daily = attribution.factors.T.groupby(kinds.to_numpy()).sum().T
    daily = daily.reindex(columns=["market", "industry", "style"], fill_value=0.0)
    daily["market"] -= attribution.cash
    daily["specific"] = attribution.specific
    daily["costs"] = attribution.costs
    daily["cash"] = attribution.cash
    return daily.cumsum()


def figures(attribution: Attribution) -> dict[str, go.Figure]:
    """``groups`` (the cumulative active return by group), ``over_time`` (each group's
    contribution summed day by day) and ``risk`` (ex-ante against realised tracking error)."""
    groups = attribution.groups()
    groups = groups[(groups.abs() >= ZERO_BELOW) | ~groups.index.isin(["costs", "cash"])]
    bars = go.Figure(
        go.Bar(
            x=[_GROUP_LABELS[g] for g in groups.index],
            y=tidy(groups.to_numpy()),
            marker_color=[_GROUP_COLOURS[g] for g in groups.index],
            hovertemplate="%{x}: %{y:.2%}<extra></extra>",
        )
    )
    bars.update_yaxes(tickformat=".2%")
    total = attribution.cumulative_active
    fig_groups = _layout(bars, f"Active return {total:+.2%} by source (linked)")

    over = go.Figure()
    for group, values in _groups_over_time(attribution).items():
        if group in ("costs", "cash") and not np.any(np.abs(values.to_numpy()) >= ZERO_BELOW):
            continue
        over.add_scatter(
            x=values.index,
            y=tidy(values.to_numpy()),
            name=_GROUP_LABELS[group],
            mode="lines",
            line={"color": _GROUP_COLOURS[group]},
        )
    over.update_yaxes(tickformat=".1%")
    fig_over = _layout(over, "Contributions to the active return over time (summed daily)")

    risk = attribution.risk
    fig_risk = go.Figure()
    if len(risk):
        fig_risk.add_scatter(
            x=risk.index,
            y=tidy(risk["ex_ante"]),
            name="ex ante (at rebalance)",
            mode="lines+markers",
            line={"color": PORTFOLIO, "shape": "hv"},
        )
        fig_risk.add_scatter(
            x=risk.index,
            y=tidy(risk["realised"]),
            name="realised (next period)",
            mode="lines+markers",
            line={"color": ACTIVE, "shape": "hv"},
        )
    fig_risk.update_yaxes(tickformat=".1%")
    label = "tracking error" if attribution.benchmark else "volatility"
    fig_risk = _layout(fig_risk, f"Forecast and realised {label} (annualised)")
    return {"groups": fig_groups, "over_time": fig_over, "risk": fig_risk}


def brinson_table(attribution: Attribution, count: int = BRINSON_ROWS) -> pd.DataFrame:
    """The industries with the largest total Brinson effects, then a total row."""
    frame = attribution.brinson.copy()
    frame["total"] = frame.sum(axis=1)
    order = frame["total"].abs().sort_values(ascending=False, kind="stable").index
    shown = frame.loc[order].head(count)
    rest = frame.loc[order[count:]]
    if len(rest):
        shown.loc[f"{len(rest)} other industries"] = rest.sum()
    shown.loc["total"] = frame.sum()
    return shown


def attribution_body(attribution: Attribution, prefix: str = "") -> str:
    """The attribution's charts and its Brinson table, as a fragment of a page."""
    from morvane.report.page import figure_block

    charts = "\n".join(
        figure_block(f"attribution-{name}", fig, prefix)
        for name, fig in figures(attribution).items()
    )
    table = data_table(
        brinson_table(attribution),
        {c: percent for c in ("allocation", "selection", "interaction", "total")},
    )
    return (
        f'<div class="charts">\n{charts}\n</div>\n<h3>Brinson attribution by industry</h3>\n'
        f"{table}\n"
        '<p class="note">Allocation, selection and interaction per day on the holdings, linked '
        "over the period (Carino); they add up to the holdings' cumulative active return.</p>"
    )


def attribution_html(attribution: Attribution) -> str:
    """The attribution for a notebook cell: its one-line description, charts and tables."""
    import uuid

    from morvane.report.notebook import chart_script

    prefix = f"nb{uuid.uuid4().hex[:8]}-"
    return (
        f"<div>{chart_script()}<p>{html.escape(repr(attribution))}</p>\n"
        f"{attribution_body(attribution, prefix)}</div>"
    )
