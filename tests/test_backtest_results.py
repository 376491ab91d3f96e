"""A two-strategy backtest of the small market read back as results: its attribution's
identities, factor contributions recomputed from the store's own tables, and its page in a
real browser, each section showing its own strategy's portfolio."""

from __future__ import annotations

import json
import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import tarnwick
from browser import render
from morvane import backtest
from morvane.backtest import run

INDEX = "000905.XSHG"
CAPS = {"capped2": 0.014, "capped3": 0.016}  # the index weighs up to 1.9% per stock
STRATEGIES = "\n".join(
    f"""
[[strategy]]
name = "{name}"
universe = "{INDEX}"
benchmark = "{INDEX}"
start = 2025-01-01
end = 2025-03-31
rebalance = "monthly"
cost_bps = {cost}
solver = "CLARABEL"
objective = {{type = "MinTrackingError"}}
bnds = {{"*" = [0, {cap}]}}
"""
    for (name, cap), cost in zip(CAPS.items(), (10, 0))
)

# Reads the plotted data of every chart once the page's scripts have run.
_DATA_SCRIPT = """<script>
window.addEventListener("load", function () {
  setTimeout(function () {
    var out = {};
    document.querySelectorAll("div.js-plotly-plot").forEach(function (gd) {
      out[gd.id] = gd._fullData.map(function (t) {
        return {name: t.name || "", x: Array.from(t.x || []), y: Array.from(t.y || [])};
      });
    });
    document.documentElement.setAttribute("data-plotted", JSON.stringify(out));
  }, 500);
});
</script>"""


@pytest.fixture(scope="module")
def out(small_store: Path, tmp_path_factory: pytest.TempPathFactory) -> Path:
    folder = tmp_path_factory.mktemp("results")
    (folder / "strategies.toml").write_text(STRATEGIES, encoding="utf-8")
    run(folder / "strategies.toml", folder / "out", workers=1, progress=False)
    return folder / "out"


@pytest.fixture(scope="module")
def results(out: Path) -> backtest.results.BacktestResults:
    return backtest.open(out)


@pytest.mark.parametrize("name", list(CAPS))
def test_factors_specific_and_costs_add_up_to_the_active_return_every_day(results, name):
    attribution = results[name].attribution
    nav = results[name].nav.set_index("date")
    daily = nav / nav.shift(1) - 1.0
    np.testing.assert_allclose(
        attribution.returns["portfolio"], daily["portfolio"].iloc[1:], rtol=0, atol=1e-14
    )
    np.testing.assert_allclose(
        attribution.active, daily["portfolio"].iloc[1:] - daily["benchmark"].iloc[1:], atol=1e-14
    )
    total = attribution.factors.sum(axis=1) + attribution.specific + attribution.costs
    assert np.abs(total - attribution.active).max() < 1e-10
    if name == "capped3":  # no costs: factors and specific alone make the active return
        assert np.abs(attribution.costs).max() < 1e-15
    else:
        assert attribution.costs.min() < 0  # each trade's costs are paid on its day
    groups = attribution.groups()
    assert groups.sum() == pytest.approx(attribution.cumulative_active, abs=1e-10)
    assert list(groups.index) == ["market", "industry", "style", "specific", "costs", "cash"]


def test_linked_brinson_parts_add_up_to_the_cumulative_active_return(results):
    for name in CAPS:
        attribution = results[name].attribution
        r = attribution.returns
        cumulative = (1 + r["gross"]).prod() - (1 + r["benchmark_holdings"]).prod()
        assert attribution.brinson.to_numpy().sum() == pytest.approx(cumulative, abs=1e-10)
        assert list(attribution.brinson.columns) == ["allocation", "selection", "interaction"]
        assert abs(cumulative) > 1e-4  # a real active return, not an empty identity


def _exposures_from_store(day: pd.Timestamp, ids: list[str]) -> pd.DataFrame:
    """The exposures that explain ``day``'s returns, read straight from the store's tables."""
    from tarnwick import store

    factors = store.query(
        "SELECT factor, kind FROM risk_factors WHERE risk_model = 'v1' ORDER BY position", []
    )
    styles = list(factors.loc[factors["kind"] == "style", "factor"])
    snap = store.query(
        "SELECT max(date) AS d FROM style_exposures WHERE risk_model = 'v1' AND date < ?",
        [day.date()],
    )["d"].iloc[0]
    rows = store.query(
        f"SELECT order_book_id, {', '.join(styles)} FROM style_exposures "
        "WHERE risk_model = 'v1' AND date = ?",
        [snap],
    ).set_index("order_book_id")
    industry = store.query(
        "SELECT order_book_id, industry_name FROM industries WHERE classification = 'sws'", []
    ).set_index("order_book_id")
    x = pd.DataFrame(0.0, index=ids, columns=list(factors["factor"]))
    x["market"] = 1.0
    for stock in ids:
        if stock in industry.index:
            x.loc[stock, industry.loc[stock, "industry_name"]] = 1.0
        if stock in rows.index:
            x.loc[stock, styles] = rows.loc[stock, styles].to_numpy(dtype=float)
    return x


def test_two_days_of_factor_contributions_recomputed_from_the_store(results, out):
    from tarnwick import store

    result = results["capped2"]
    attribution = result.attribution
    records = result.records
    for record, offset in ((records[0], 0), (records[1], 3)):  # a trade day and a drifted day
        day = pd.Timestamp(record["days"][offset])
        held = pd.Series(record["weights"], index=record["ids"])
        if offset:
            returns = tarnwick.get_price_change_rate(
                record["ids"], record["days"][0], record["days"][offset - 1]
            ).fillna(0.0)
            for _, r in returns.iterrows():
                held = held * (1 + r.reindex(held.index))
                held = held / held.sum()
        bench = tarnwick.index_weights(INDEX, day.date())
        ids = sorted(set(held.index) | set(bench.index))
        active = held.reindex(ids, fill_value=0.0) - bench.reindex(ids, fill_value=0.0)
        x = _exposures_from_store(day, ids)
        f = store.query(
            "SELECT factor, value FROM factor_returns WHERE risk_model = 'v1' AND date = ?",
            [day.date()],
        ).set_index("factor")["value"]
        expected = (x.T @ active) * f.reindex(x.columns)
        np.testing.assert_allclose(attribution.exposures.loc[day], x.T @ active, atol=1e-6)
        np.testing.assert_allclose(attribution.factors.loc[day], expected, atol=1e-9)
        assert np.abs(expected).max() > 1e-6


def test_risk_over_time_compares_the_forecast_with_the_realisation(results):
    risk = results["capped2"].attribution.risk
    records = results["capped2"].records
    assert [d.date().isoformat() for d in risk.index] == [r["date"] for r in records]
    assert (risk["ex_ante"] > 0).all() and (risk["realised"] > 0).all()
    assert list(risk["days"]) == [len(r["days"]) for r in records]
    active = results["capped2"].attribution.active
    first = active[active.index < risk.index[1]]
    assert risk["realised"].iloc[0] == pytest.approx(first.std(ddof=1) * np.sqrt(252))


def test_results_show_themselves_in_a_notebook(results, out):
    assert set(results) == set(CAPS) and len(results) == 2
    one = results["capped2"]
    assert repr(one).count("\n") == 0 and "capped2" in repr(one)
    assert one.stats["rebalances"] == 3 and len(one.weights) and len(one.nav) > 40
    page = one._repr_html_()
    assert "Plotly.newPlot" in page and "capped2" in page
    assert "capped3" in results._repr_html_()
    assert "Attribution" in repr(one.attribution) and "Plotly" in one.attribution._repr_html_()
    with pytest.raises(KeyError, match="'nope' is not a finished strategy"):
        results["nope"]
    with pytest.raises(FileNotFoundError, match="no summary.csv"):
        backtest.open(out / "capped2")


def test_each_section_of_the_page_shows_its_own_strategy(out, tmp_path):
    page = out / "report.html"
    text = page.read_text(encoding="utf-8")
    ids = re.findall(r'<div id="(chart-[^"]+)"', text)
    assert len(ids) == len(set(ids)), "element ids repeat"
    copy = tmp_path / "page.html"
    copy.write_text(text.replace("</body>", _DATA_SCRIPT + "</body>"), encoding="utf-8")
    rendered = render(copy, tmp_path)
    assert rendered.errors == []
    found = re.search(r'data-plotted="([^"]*)"', rendered.dom)
    assert found, "the charts were not read"
    import html

    plotted = json.loads(html.unescape(found.group(1)))
    for position, (name, cap) in enumerate(CAPS.items()):
        weights = pd.read_parquet(out / name / "weights.parquet")
        last = weights[weights["date"] == weights["date"].max()]
        top = last.sort_values("weight", ascending=False).head(10)
        holdings = [
            v
            for k, v in plotted.items()
            if k.startswith(f"chart-s{position}-") and k.endswith("-holdings")
        ]
        assert len(holdings) == 1, sorted(plotted)
        shown = holdings[0][0]
        assert max(shown["x"]) <= cap + 1e-9
        np.testing.assert_allclose(sorted(shown["x"], reverse=True), top["weight"], atol=1e-12)
        assert {label.split()[0] for label in shown["y"]} == set(top["order_book_id"])
        section = [k for k in plotted if k.startswith(f"chart-s{position}-")]
        assert len(section) >= 7 and all(plotted[k] for k in section)  # every chart plotted
