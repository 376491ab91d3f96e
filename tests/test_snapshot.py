"""One store file per call: a rebuild that renames a new file into place in the middle of a call
changes nothing in that call; the next call reads the new file."""

from __future__ import annotations

import datetime
import os
import shutil
import threading
from collections.abc import Iterator
from pathlib import Path

import duckdb
import pandas as pd
import pytest

import morvane.helper
import morvane.optimize
import tarnwick
from morvane.optimize import portfolio_optimize
from tarnwick import store

DATE = datetime.date(2025, 6, 3)
START = datetime.date(2025, 5, 6)


@pytest.fixture
def swap(small_store: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Iterator:
    """A live store at TARNWICK_HOME and a function that renames a rebuilt one (prices doubled,
    specific variances four times larger, seed changed) over it, as a rebuild does."""
    live = tmp_path / "market.duckdb"
    rebuilt = tmp_path / "rebuilt.duckdb"
    shutil.copyfile(small_store, live)
    shutil.copyfile(small_store, rebuilt)
    with duckdb.connect(str(rebuilt)) as con:
        con.execute("UPDATE daily_bars SET close = close * 2")
        con.execute("UPDATE specific_variance SET value = value * 4")
        con.execute("UPDATE meta SET value = 'rebuilt' WHERE key = 'seed'")
        con.execute("CHECKPOINT")
    monkeypatch.setenv("TARNWICK_HOME", str(tmp_path))
    store.close()
    morvane.helper.clear_cache()

    def rename_into_place() -> None:
        os.replace(rebuilt, live)

    yield rename_into_place
    store.close()
    morvane.helper.clear_cache()


def _universe() -> list[str]:
    return tarnwick.index_components("000905.XSHG", DATE)[:40]


def _reads() -> tuple[pd.DataFrame, str]:
    prices = tarnwick.get_price(_universe(), START, DATE, fields="close", adjust_type="none")
    seed = store.query("SELECT value FROM meta WHERE key = 'seed'")["value"].iloc[0]
    return prices, seed


class SwapThenRead:
    """A caller's constraint that triggers the rebuild, then reads prices as constraints do."""

    hard = True

    def __init__(self, rename_into_place) -> None:
        self.rename_into_place = rename_into_place
        self.seen: tuple | None = None

    def to_constraints(self, g, zeta, helper) -> list:
        self.rename_into_place()
        self.seen = _reads()
        return []


@pytest.mark.parametrize("where", ["helper", "constraint"])
def test_a_file_renamed_in_mid_call_changes_nothing_in_that_call(
    swap, monkeypatch: pytest.MonkeyPatch, where: str
) -> None:
    universe = _universe()
    before = portfolio_optimize(universe, DATE)
    reads_before = _reads()
    cons = None
    if where == "helper":
        real = morvane.helper.OptimizeHelper

        def rebuilt_then_helper(*args):
            swap()
            return real(*args)

        monkeypatch.setattr(morvane.optimize, "OptimizeHelper", rebuilt_then_helper)
    else:
        cons = [SwapThenRead(swap)]
    during = portfolio_optimize(universe, DATE, cons=cons)
    pd.testing.assert_series_equal(during, before)
    if cons:
        pd.testing.assert_frame_equal(cons[0].seen[0], reads_before[0])
        assert cons[0].seen[1] == reads_before[1]
    monkeypatch.setattr(morvane.optimize, "OptimizeHelper", morvane.helper.OptimizeHelper)
    after = portfolio_optimize(universe, DATE)
    assert not after.equals(before)
    assert _reads()[1] == "rebuilt"


def test_snapshot_context_manager_pins_one_file(swap) -> None:
    with tarnwick.snapshot():
        prices, seed = _reads()
        swap()
        with tarnwick.snapshot():
            nested = _reads()
        pd.testing.assert_frame_equal(_reads()[0], prices)
        assert nested[1] == _reads()[1] == seed
    prices_after, seed_after = _reads()
    assert seed_after == "rebuilt"
    pd.testing.assert_frame_equal(prices_after, prices * 2)


def test_a_snapshot_pins_its_own_thread_only(swap) -> None:
    """Another thread sees the rebuilt file at once and fills the helper's cache from it; the
    pinned thread's answer is still the old file's."""
    universe = _universe()
    before = portfolio_optimize(universe, DATE)
    other: list[pd.Series] = []
    with tarnwick.snapshot():
        swap()
        thread = threading.Thread(target=lambda: other.append(portfolio_optimize(universe, DATE)))
        thread.start()
        thread.join()
        pinned = portfolio_optimize(universe, DATE)
    pd.testing.assert_series_equal(pinned, before)
    assert len(other) == 1 and not other[0].equals(before)
    pd.testing.assert_series_equal(portfolio_optimize(universe, DATE), other[0])
