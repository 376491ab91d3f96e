"""A self-contained HTML page: the chart library's script is inlined, so the page opens without
network access.  The pieces (summary table, chart blocks, page frame) are public so that other
pages can show a report inside their own; pages are written by ``morvane.files.write_atomic``."""

from __future__ import annotations

import html
from pathlib import Path
from typing import TYPE_CHECKING, Union

import plotly.graph_objects as go
import plotly.io as pio
from plotly.offline import get_plotlyjs

from morvane.files import write_atomic
from morvane.report.charts import figures
from morvane.report.text import describe, format_summary
from morvane.report.theme import FONT_FAMILY

if TYPE_CHECKING:
    import pandas as pd

    from morvane.report.model import ReportData

__all__ = ["figure_block", "page", "report_body", "summary_table", "write_page"]

_STYLE = """
body { font-family: FONT; margin: 2em auto; max-width: 1100px; color: #222; padding: 0 1em; }
h1 { font-size: 1.5em; margin-bottom: 0.2em; }
h2 { font-size: 1.2em; margin-top: 1.5em; }
p.subtitle { color: #555; margin-top: 0; }
table.summary { border-collapse: collapse; margin: 1em 0; }
table.summary td { padding: 0.2em 1.2em 0.2em 0; border-bottom: 1px solid #eee; }
table.summary td.value { text-align: right; font-variant-numeric: tabular-nums; }
table.summary tr.part td.label { padding-left: 1.2em; color: #555; }
.charts > div { margin-bottom: 1.5em; }
table.data { border-collapse: collapse; margin: 0.5em 0 1em; font-size: 0.92em; }
table.data th, table.data td { padding: 0.15em 0.8em; border-bottom: 1px solid #eee; }
table.data th { text-align: left; border-bottom: 1px solid #999; }
table.data td.num { text-align: right; font-variant-numeric: tabular-nums; }
ul.failures li { font-family: ui-monospace, monospace; font-size: 0.9em; }
p.note { color: #555; font-size: 0.9em; }
""".replace("FONT", FONT_FAMILY)

_CONFIG = {"displaylogo": False, "responsive": True}


def summary_table(summary: pd.Series) -> str:
    """The summary's figures as an HTML table (entries without a value are left out)."""
    rows = []
    for key, label, text in format_summary(summary):
        css = ' class="part"' if label.startswith(" ") else ""
        rows.append(
            f'<tr{css} data-key="{html.escape(key)}"><td class="label">'
            f'{html.escape(label.strip())}</td><td class="value">{html.escape(text)}</td></tr>'
        )
    return '<table class="summary">\n' + "\n".join(rows) + "\n</table>"


def figure_block(name: str, figure: go.Figure, prefix: str = "") -> str:
    """A chart as a block of the page; its element id is ``chart-<prefix><name>``, so that a
    page showing several reports gives each of its sections a prefix of its own."""
    return pio.to_html(
        figure,
        full_html=False,
        include_plotlyjs=False,
        div_id=f"chart-{prefix}{name}",
        config=_CONFIG,
    )


def _constraint_list(report: ReportData) -> str:
    """The binding and the dropped constraints of the solve, when the weights carry them."""
    items = []
    for key, label in (("binding", "Binding at the optimum"), ("dropped", "Dropped by the retry")):
        found = list((report.solve or {}).get(key) or ())
        if found:
            names = ", ".join(html.escape(repr(c) if not isinstance(c, str) else c) for c in found)
            items.append(f"<li>{label}: {names}</li>")
    return f'<ul class="constraints">{"".join(items)}</ul>' if items else ""


def report_body(report: ReportData, prefix: str = "") -> str:
    """The report's summary table and charts, as a fragment of a page; ``prefix`` starts the
    element id of each chart (see ``figure_block``)."""
    charts = "\n".join(figure_block(name, fig, prefix) for name, fig in figures(report).items())
    return (
        f'<p class="subtitle">{html.escape(describe(report))}</p>\n'
        f"{summary_table(report.summary)}\n{_constraint_list(report)}\n"
        f'<div class="charts">\n{charts}\n</div>'
    )


def page(title: str, body: str) -> str:
    """A whole page around ``body`` with the chart library's script inlined."""
    return (
        '<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
        f"<title>{html.escape(title)}</title>\n<style>{_STYLE}</style>\n"
        f'<script type="text/javascript">{get_plotlyjs()}</script>\n'
        f"</head>\n<body>\n<h1>{html.escape(title)}</h1>\n{body}\n</body>\n</html>\n"
    )


def write_page(report: ReportData, path: Union[str, Path]) -> Path:
    """Write the report's page to ``path``, with the full holdings and trades as CSV files
    beside it."""
    from morvane.report.portfolio_tables import tables_body, write_csv

    files = write_csv(report, Path(path))
    body = f"{report_body(report)}\n{tables_body(report, files)}"
    return write_atomic(path, page(f"Portfolio report {report.date}", body))
