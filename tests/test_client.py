"""The client package itself: what reading loads, the names it gives, the errors it raises."""

from __future__ import annotations

import json
import pickle
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest

import tarnwick
from tarnwick import importer, riskmodel, store
from tarnwick.errors import InvalidFileError

ID = "000300.XSHG"


@pytest.fixture(scope="module")
def loaded() -> dict[str, list[str]]:
    """The tarnwick modules a fresh interpreter holds after each import."""
    code = (
        "import json, sys\n"
        "out = {}\n"
        "for name in ('tarnwick', 'tarnwick.riskmodel'):\n"
        "    __import__(name)\n"
        "    out[name] = sorted(m for m in sys.modules if m.startswith('tarnwick'))\n"
        "print(json.dumps(out))\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


@pytest.mark.parametrize("reader", ["tarnwick", "tarnwick.riskmodel"])
@pytest.mark.parametrize(
    "heavy",
    ["tarnwick.sources.sample", "tarnwick.build", "tarnwick.progress"],
    ids=["generator", "build", "progress"],
)
def test_reading_loads_neither_the_generator_nor_the_estimator(
    loaded: dict[str, list[str]], reader: str, heavy: str
) -> None:
    assert [m for m in loaded[reader] if m == heavy or m.startswith(heavy + ".")] == []


def test_the_generator_is_still_reachable_from_the_package() -> None:
    from tarnwick.sources import sample

    assert tarnwick.sample is sample and "sample" in dir(tarnwick)
    with pytest.raises(AttributeError, match="no_such_name"):
        tarnwick.no_such_name  # noqa: B018


@pytest.mark.parametrize("name", [n for n in tarnwick.__all__ if n != "sample"])
def test_every_public_name_is_an_attribute_of_the_package(name: str) -> None:
    value = getattr(tarnwick, name)
    if callable(value) and not isinstance(value, type):
        module = sys.modules[value.__module__]
        assert getattr(module, name) is value  # the one function, re-exported


# (function, args, kwargs, error class, words of the message)
REFUSALS = [
    pytest.param(
        "get_previous_trading_date",
        ("2024-01-02",),
        {},
        tarnwick.OutsideCalendarError,
        ["2024-01-02", "the store's first day is 2024-01-02"],
        id="first-day",
    ),
    pytest.param(
        "trading_date_offset",
        ("2019-05-06", 0),
        {},
        tarnwick.OutsideCalendarError,
        ["2019-05-06 is before the store's first day 2024-01-02"],
        id="before-calendar",
    ),
    pytest.param(
        "get_previous_trading_date",
        ("2019-05-06",),
        {"n": 3},
        tarnwick.OutsideCalendarError,
        ["2019-05-06 is before the store's first day"],
        id="window-before",
    ),
    pytest.param(
        "get_next_trading_date",
        ("2025-12-31",),
        {},
        tarnwick.OutsideCalendarError,
        ["2025-12-31", "the store's last day is 2025-12-31"],
        id="after-calendar",
    ),
    pytest.param(
        "get_factor",
        ([ID], "pe_ratio", "2025-01-02", "2025-01-03"),
        {},
        tarnwick.NotStoredError,
        ["unknown factor 'pe_ratio'"],
        id="factor",
    ),
    pytest.param(
        "get_price",
        ([ID], "2025-01-02", "2025-01-03"),
        {"fields": "open"},
        tarnwick.NotStoredError,
        ["unknown field 'open'"],
        id="field",
    ),
]


@pytest.mark.parametrize("fn, args, kwargs, error, words", REFUSALS)
def test_what_the_store_lacks_is_one_family_of_value_errors(
    small_store: Path, fn: str, args: tuple, kwargs: dict, error: type, words: list[str]
) -> None:
    with pytest.raises(error) as info:
        getattr(tarnwick, fn)(*args, **kwargs)
    assert isinstance(info.value, tarnwick.DataError) and isinstance(info.value, ValueError)
    assert all(w in str(info.value) for w in words), str(info.value)
    assert str(small_store) in str(info.value) or error is tarnwick.NotStoredError


@pytest.mark.parametrize("call", ["covariance", "bounds"])
def test_missing_risk_data_is_a_data_error_and_still_a_lookup_error(
    small_store: Path, monkeypatch: pytest.MonkeyPatch, call: str
) -> None:
    if call == "covariance":
        with pytest.raises(tarnwick.MissingDataError, match="no v1/daily factor covariance"):
            riskmodel.get_factor_covariance("v1", "daily", "1999-01-04")
        return
    empty = pd.DataFrame({"first": [None], "last": [None]})  # a store without trading days
    monkeypatch.setattr(store, "query", lambda sql, params=None: empty)
    with pytest.raises(LookupError) as info:
        riskmodel.calendar_bounds()
    assert isinstance(info.value, tarnwick.DataError)


def test_a_store_fault_is_no_data_error() -> None:
    # A damaged file must not pass for a bad request in a handler of ValueError.
    assert issubclass(tarnwick.StoreError, RuntimeError)
    assert not issubclass(tarnwick.StoreError, ValueError)
    assert tarnwick.StoreError is store.StoreError


def test_a_refused_import_file_is_a_data_error_that_survives_pickling(tmp_path: Path) -> None:
    error = InvalidFileError(tmp_path / "daily_bars.csv", 7, "close", "is not a number")
    assert isinstance(error, importer.DataError) and importer.DataError is tarnwick.DataError
    copy = pickle.loads(pickle.dumps(error))
    assert (copy.path, copy.line, copy.column, copy.problem) == (
        error.path,
        7,
        "close",
        "is not a number",
    )
    assert str(copy) == f"{tmp_path / 'daily_bars.csv'}, line 7, column close: is not a number"
