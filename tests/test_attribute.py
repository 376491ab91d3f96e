"""`attribute` on weights held over a period: buy and hold, its identities with and without a
benchmark, and its refusals."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import tarnwick
import tarnwick.riskmodel
from morvane.exception import InvalidArgument
from morvane.report import Attribution, attribute

START, END = "2025-06-03", "2025-06-30"


@pytest.fixture(scope="module")
def weights(small_store) -> pd.Series:
    ids = tarnwick.index_components("000300.XSHG", START)[:40]
    raw = pd.Series(np.linspace(1.0, 2.0, len(ids)), index=ids)
    return raw / raw.sum() * 0.9  # a tenth in cash


@pytest.mark.parametrize("benchmark", [None, "000300.XSHG"])
def test_held_weights_are_attributed_exactly(weights, benchmark):
    result = attribute(weights, START, END, benchmark=benchmark)
    assert isinstance(result, Attribution) and "\n" not in repr(result)
    days = tarnwick.get_trading_dates(START, END)
    returns = tarnwick.get_price_change_rate(list(weights.index), START, END).fillna(0.0)
    held, value = weights.copy(), 1.0
    for day in days:  # buy and hold: the value of the stocks plus the cash
        value_before = value
        held = held * (1 + returns.loc[pd.Timestamp(day), held.index])
        value = float(held.sum()) + 0.1
        assert result.returns.loc[pd.Timestamp(day), "portfolio"] == pytest.approx(
            value / value_before - 1, abs=1e-13
        )
    total = result.factors.sum(axis=1) + result.specific + result.costs
    assert np.abs(total - result.active).max() < 1e-12
    assert np.abs(result.costs).max() == 0.0
    assert result.groups().sum() == pytest.approx(result.cumulative_active, abs=1e-12)
    r = result.returns
    holdings = (1 + r["gross"]).prod() - (1 + r["benchmark_holdings"]).prod()
    assert result.brinson.to_numpy().sum() == pytest.approx(holdings, abs=1e-12)
    assert len(result.risk) == 1 and result.risk["days"].iloc[0] == len(days)
    if benchmark is None:
        assert (result.returns["benchmark"] == 0).all() and (result.cash == 0).all()
        assert result.exposures["market"].iloc[0] == pytest.approx(0.9)
    else:  # a tenth of cash is a short market position against the benchmark
        assert result.exposures["market"].iloc[0] == pytest.approx(-0.1)
        assert "cash" in result.brinson.index
        market = tarnwick.riskmodel.get_factor_returns("v1", START, START)["market"].iloc[0]
        assert result.cash.iloc[0] == pytest.approx(-0.1 * market, abs=1e-15)


@pytest.mark.parametrize(
    "start, end, benchmark, message",
    [
        (END, START, None, "is before start"),
        ("2025-06-07", "2025-06-08", None, "holds no trading day"),
        (START, END, 300, "benchmark must be an index code"),
    ],
)
def test_bad_periods_and_benchmarks_are_refused(weights, start, end, benchmark, message):
    with pytest.raises(InvalidArgument, match=message):
        attribute(weights, start, end, benchmark=benchmark)
