"""Pieces of a store build that stand alone: descriptor dates, descriptors from prices, the
progress display."""

from __future__ import annotations

import datetime as dt

import numpy as np
import pytest

from tarnwick.build.descriptors import month_end_dates
from tarnwick.progress import Progress
from tarnwick.reference.calendar import trading_days
from tarnwick.sources.descriptors import price_descriptors


def _days(first: str, last: str) -> list[dt.date]:
    return [d.astype(object) for d in trading_days(dt.date.fromisoformat(first),
                                                   dt.date.fromisoformat(last))]


@pytest.mark.parametrize("last", ["2025-01-24", "2025-01-27", "2025-02-05", "2025-03-31"])
def test_descriptor_dates_only_grow_when_days_are_appended(last: str) -> None:
    full = _days("2024-12-02", "2025-03-31")
    end = dt.date.fromisoformat(last)
    now = set(month_end_dates([d for d in full if d <= end]))
    later = {d for d in month_end_dates(full) if d <= end}
    # Appending days may add the calendar's last day (once its month ends), never remove one.
    assert now <= later and later - now <= {end} and full[0] in now


def test_month_ends_skip_holidays_and_keep_the_last_weekday() -> None:
    # 2025-01-27 is the last trading day of January (the Spring Festival closes 28 to 31).
    assert month_end_dates(_days("2025-01-02", "2025-01-27")) == [dt.date(2025, 1, 2)]
    assert dt.date(2025, 1, 27) in month_end_dates(_days("2025-01-02", "2025-02-05"))
    assert month_end_dates(_days("2025-03-03", "2025-03-31"))[-1] == dt.date(2025, 3, 31)


def test_price_descriptors_recover_a_known_beta_and_momentum() -> None:
    rng = np.random.default_rng(7)
    T, N = 260, 40
    market = rng.normal(0.0, 0.01, T)
    beta = np.linspace(0.5, 1.5, N)
    returns = market[:, None] * beta + rng.normal(0.0, 0.002, (T, N))
    price = 10 * np.cumprod(1 + returns, axis=0)
    shares = np.full(N, 1e8)
    cap = price * shares
    volume = np.full((T, N), 1e6)
    price[:100, 0] = np.nan  # a late listing: no beta window problem, shorter momentum
    out = price_descriptors(price, price, volume, cap)
    np.testing.assert_allclose(out["beta"][1:], beta[1:], atol=0.05)
    lag = T - 1 - 21
    np.testing.assert_allclose(out["momentum"][1:], np.log(price[lag, 1:] / price[0, 1:]))
    np.testing.assert_allclose(out["liquidity"], np.log(1e6 / 1e8 * 21))
    np.testing.assert_allclose(out["size"], np.log(cap[-1]))
    assert np.all(out["residual_volatility"] < 0.05)


def test_progress_is_quiet_without_a_terminal(capsys: pytest.CaptureFixture[str]) -> None:
    bar = Progress("work", total=2)
    bar.step("one")
    bar.sub(1.0)(0.5, "half")
    bar.finish()
    assert capsys.readouterr().err == ""
