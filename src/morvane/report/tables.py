"""HTML tables of a portfolio report: the largest holdings, the largest trades and the
constraints of the solve (limit, actual value, binding, shadow price).  Numbers whose magnitude
is below ``theme.ZERO_BELOW`` are shown as zero."""

from __future__ import annotations

import html
import math
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, Optional

import pandas as pd

from morvane.report.theme import tidy_value

if TYPE_CHECKING:
    from morvane.report.model import ReportData as PortfolioReport

__all__ = ["constraint_rows", "data_table", "holdings_table", "number", "percent", "trades_table"]

#: How many rows the holdings and trades tables show on the page (the CSV beside it has all).
TOP_ROWS = 20


def percent(value: Any, digits: int = 2) -> str:
    """A fraction as a percentage; empty for a missing value."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return ""
    return f"{tidy_value(float(value)):.{digits}%}"


def number(value: Any, digits: int = 4) -> str:
    """A number in ``digits`` significant figures; empty for a missing value."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return ""
    return f"{tidy_value(float(value)):.{digits}g}"


def data_table(
    frame: pd.DataFrame, formats: dict[str, Callable[[Any], str]], css: str = "data"
) -> str:
    """``frame`` (index included, as the first column) as an HTML table; a column with a format
    is right-aligned and formatted by it, other columns are shown as text."""
    columns = [str(frame.index.name or "")] + [str(c) for c in frame.columns]
    head = "".join(f"<th>{html.escape(c.replace('_', ' '))}</th>" for c in columns)
    rows = []
    for key, row in frame.iterrows():
        cells = [f"<td>{html.escape(str(key))}</td>"]
        for column, value in row.items():
            fmt = formats.get(str(column))
            if fmt is None:
                cells.append(f"<td>{html.escape('' if value is None else str(value))}</td>")
            else:
                cells.append(f'<td class="num">{html.escape(fmt(value))}</td>')
        rows.append("<tr>" + "".join(cells) + "</tr>")
    return (
        f'<table class="{css}"><thead><tr>{head}</tr></thead><tbody>'
        + "".join(rows)
        + "</tbody></table>"
    )


def holdings_table(report: PortfolioReport, count: int = TOP_ROWS) -> pd.DataFrame:
    """The ``count`` largest holdings: name, weight, benchmark and active weight, and the
    stock's contribution to the volatility (and to the tracking error against a benchmark)."""
    top = report.top_holdings(count)
    columns = ["name", "weight"]
    if report.has_benchmark:
        columns += ["benchmark_weight", "active_weight", "active"]
    columns.append("total")
    out = top[columns].rename(
        columns={"total": "risk_contribution", "active": "tracking_error_contribution"}
    )
    return out


def trades_table(
    report: PortfolioReport, count: Optional[int] = TOP_ROWS
) -> Optional[pd.DataFrame]:
    """The largest trades by size (all of them with ``count=None``); None without a holding."""
    trades = report.trades
    if trades is None:
        return None
    moved = trades[trades["trade"].abs() >= 1e-9]
    order = moved["trade"].abs().sort_values(ascending=False, kind="stable").index
    moved = moved.loc[order]
    return moved if count is None else moved.head(count)


# ---------------------------------------------------------------------------------------------
# constraints
# ---------------------------------------------------------------------------------------------


def _bound_text(lower: Any, upper: Any, fmt: Callable[[Any], str]) -> str:
    low = lower if isinstance(lower, (int, float)) else None
    high = upper if isinstance(upper, (int, float)) else None
    if low is not None and high is not None:
        return f"{fmt(low)} to {fmt(high)}"
    if high is not None:
        return f"at most {fmt(high)}"
    if low is not None:
        return f"at least {fmt(low)}"
    return ""


def _listed(values: pd.Series, fmt: Callable[[Any], str], limit: int = 4) -> str:
    shown = [f"{k} {fmt(v)}" for k, v in values.head(limit).items()]
    rest = len(values) - limit
    return ", ".join(shown) + (f" and {rest} more" if rest > 0 else "")


def _turnover(report: PortfolioReport, c: Any) -> str:
    holding = getattr(c, "_current_holding", None)
    weights = report.risk_contributions["weight"]
    if isinstance(holding, pd.Series) and len(holding):
        every = weights.index.union(holding.index)
        moved = weights.reindex(every, fill_value=0.0) - holding.reindex(every, fill_value=0.0)
        return percent(0.5 * float(moved.abs().sum()))
    return percent(report.summary.get("turnover"))


def _names(value: Any) -> Optional[list[str]]:
    if value is None or isinstance(value, str):
        return None if value is None else [value]
    return [str(v) for v in value] if isinstance(value, Sequence) else None


def _industry(report: PortfolioReport, c: Any) -> str:
    column = "active" if getattr(c, "relative", False) and report.has_benchmark else "portfolio"
    values = report.industries[column]
    chosen = _names(getattr(c, "industries", None))
    if chosen is not None:
        values = values.reindex([n for n in chosen if n in values.index])
    return _listed(values.sort_values(key=abs, ascending=False), percent)


def _style(report: PortfolioReport, c: Any) -> str:
    column = "active" if getattr(c, "relative", False) and report.has_benchmark else "portfolio"
    values = report.styles[column]
    chosen = _names(getattr(c, "styles", None))
    if chosen is not None:
        values = values.reindex([n for n in chosen if n in values.index])
    return _listed(values, lambda v: number(v, 3))


def _actual(report: PortfolioReport, c: Any) -> tuple[str, Callable[[Any], str]]:
    """(actual value, format of the limit) of a constraint object of the package."""
    kind = type(c).__name__
    if kind == "TurnoverLimit":
        return _turnover(report, c), percent
    if kind == "TrackingErrorLimit":
        return percent(report.summary.get("tracking_error")), percent
    if kind == "BenchmarkComponentWeightLimit":
        frame = report.risk_contributions
        return percent(frame.loc[frame["benchmark_weight"] > 0, "weight"].sum()), percent
    if "Industry" in kind:
        return _industry(report, c), percent
    if "Style" in kind:
        return _style(report, c), lambda v: number(v, 3)
    return "", number


def constraint_rows(report: PortfolioReport) -> Optional[pd.DataFrame]:
    """One row per constraint of the solve: limit, actual value, binding, shadow price (the
    objective's fall per unit the limit is loosened); None without solve information."""
    solve = report.solve or {}
    prices = list(solve.get("shadow_prices") or ())
    if not prices:
        return None
    binding = {id(b) for b in solve.get("binding") or ()} | {
        b for b in solve.get("binding") or () if isinstance(b, str)
    }
    rows = []
    for key, price in prices:
        if isinstance(key, str):
            name, limit, actual = key, "per-stock bounds", ""
            binds = key in binding
        else:
            actual, fmt = _actual(report, key)
            name = repr(key)
            limit = _bound_text(getattr(key, "lower", None), getattr(key, "upper", None), fmt)
            binds = id(key) in binding
        rows.append(
            {
                "constraint": name,
                "limit": limit,
                "actual": actual,
                "binding": "yes" if binds else "no",
                "shadow_price": price,
            }
        )
    return pd.DataFrame(rows).set_index("constraint")
