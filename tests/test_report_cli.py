"""`morvane report` on CSV files, and its page in a real browser."""

from __future__ import annotations

import re
from pathlib import Path

import pandas as pd
import pytest

import tarnwick
from browser import chart_blocks, render
from morvane.cli import main
from morvane.optimize import portfolio_optimize
from morvane.report import analyse

DATE = "2025-06-03"
INDEX = "000300.XSHG"


@pytest.fixture(scope="module")
def weights(small_store) -> pd.Series:
    return portfolio_optimize(tarnwick.index_components(INDEX, DATE), DATE, benchmark=INDEX)


@pytest.fixture(scope="module")
def page(weights, tmp_path_factory) -> Path:
    folder = tmp_path_factory.mktemp("report")
    weights.rename("weight").rename_axis("order_book_id").to_csv(folder / "weights.csv")
    out = folder / "report.html"
    assert main(["report", str(folder / "weights.csv"), "--date", DATE, "--benchmark", INDEX,
                 "--html", str(out)]) == 0  # fmt: skip
    return out


@pytest.mark.parametrize("layout", ["named", "index"])
def test_report_prints_the_summary_and_turnover(weights, layout, tmp_path, capsys):
    path, holding = tmp_path / "w.csv", tmp_path / "h.csv"
    if layout == "named":
        weights.rename("weight").rename_axis("order_book_id").to_csv(path)
    else:
        weights.to_csv(path)  # ids as index, one unnamed column
    half = weights.iloc[: len(weights) // 2]
    (half / half.sum()).to_csv(holding)
    assert main(["report", str(path), "--date", "20250603", "--benchmark", INDEX,
                 "--holding", str(holding), "--risk-model", "v2"]) == 0  # fmt: skip
    out, err = capsys.readouterr()
    expected = analyse(weights, DATE, benchmark=INDEX, holding=half / half.sum(), risk_model="v2")
    assert err == "" and "benchmark 000300.XSHG, risk model v2" in out
    for key in ("volatility", "tracking_error", "active_share", "turnover"):
        label = {"tracking_error": "tracking error", "active_share": "active share",
                 "turnover": r"turnover \(one-way\)"}.get(key, key)  # fmt: skip
        assert re.search(rf"^  {label} +{expected.summary[key]:.2%}$", out, re.M), key
    assert not list(tmp_path.glob("*.html"))


@pytest.mark.parametrize(
    "content, message",
    [
        (None, "cannot read weights"),
        ("a,b,c\n1,2,3\n", "must have the columns order_book_id,weight"),
        ("order_book_id,weight\n000001.XSHE,abc\n", "weights must hold numbers"),
        ("order_book_id,weight\n999999.XSHE,1.0\n", "999999.XSHE"),
    ],
)
def test_bad_weight_files_end_in_a_message(small_store, tmp_path, capsys, content, message):
    path = tmp_path / "weights.csv"
    if content is not None:
        path.write_text(content)
    assert main(["report", str(path), "--date", DATE]) == 1
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err


def test_page_renders_every_chart_in_chromium(page, tmp_path):
    rendered = render(page, tmp_path)
    assert rendered.errors == [] and rendered.console == []
    blocks = chart_blocks(rendered.dom)
    assert sorted(blocks) == ["holdings", "industries", "risk", "styles"]
    for name, block in blocks.items():
        opening = block[: block.index(">")]
        assert "js-plotly-plot" in opening, f"{name} was not plotted"
        assert 'class="main-svg"' in block and 'class="point"' in block, f"{name} drew no bars"
    assert "tracking error" in rendered.dom


def test_demo_shows_the_report_and_the_results_solve_time(small_store, monkeypatch, capsys):
    import morvane.optimize

    solve = morvane.optimize.portfolio_optimize

    def with_solve_information(*args, **kwargs):
        result = solve(*args, **kwargs)
        result.attrs["morvane"] = {"solver": "SCS", "status": "optimal", "solve_time": 12.5,
                                   "objective_value": 0.02, "binding": [], "dropped": [],
                                   "refined": False}  # fmt: skip
        return result

    monkeypatch.setattr(morvane.optimize, "portfolio_optimize", with_solve_information)
    assert main(["demo", "--date", DATE, "--top", "2"]) == 0
    out = capsys.readouterr().out
    assert "solve time: 12.500 s" in out and re.search(r"^  solver +SCS$", out, re.M)
    assert "portfolio report: 2025-06-03, benchmark none" in out
    assert len(re.findall(r"^ {4}\S+ +\d+\.\d\d%  \S+$", out, re.M)) == 2
