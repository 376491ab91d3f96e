"""The rules of tarnwick's argument coercion, which other packages build on."""

from __future__ import annotations

import datetime as dt

import numpy as np
import pandas as pd
import pytest

from tarnwick.arguments import to_date, to_ids, to_int

DAY = dt.date(2024, 3, 5)


@pytest.mark.parametrize(
    "value",
    [
        DAY,
        dt.datetime(2024, 3, 5, 23, 59),
        pd.Timestamp("2024-03-05 09:30"),
        np.datetime64("2024-03-05"),
        np.datetime64("2024-03-05T15:00"),
        "2024-03-05",
        "20240305",
        " 2024-03-05\t",
    ],
    ids=[
        "date",
        "datetime",
        "Timestamp",
        "datetime64-day",
        "datetime64-minute",
        "iso",
        "compact",
        "blanks",
    ],
)
def test_a_date_in_any_accepted_form_is_its_calendar_day(value: object) -> None:
    assert to_date(value, "date") == DAY and type(to_date(value, "date")) is dt.date


@pytest.mark.parametrize(
    "value, error",
    [
        (None, TypeError),
        (pd.NaT, ValueError),
        (np.datetime64("NaT"), ValueError),
        ("2025-02-30", ValueError),
        ("yesterday", ValueError),
        ("2024/03/05", ValueError),
        (20240305, TypeError),
        (1.5, TypeError),
    ],
    ids=["None", "NaT", "datetime64-NaT", "feb30", "word", "slashes", "int", "float"],
)
def test_what_is_no_date_is_refused_naming_the_argument(value: object, error: type) -> None:
    with pytest.raises(error, match="^start_date must be a date"):
        to_date(value, "start_date")


@pytest.mark.parametrize(
    "value, ids, single",
    [
        ("A.XSHE", ["A.XSHE"], True),
        (["b", "a", "b"], ["b", "a", "b"], False),
        (("a",), ["a"], False),
        (pd.Series(["x", "y"]), ["x", "y"], False),
        ((i for i in ["g"]), ["g"], False),
        ([], [], False),
        ("", [""], True),
    ],
    ids=["str", "list-duplicates", "tuple", "Series", "generator", "empty", "empty-str"],
)
def test_ids_keep_their_order_and_duplicates(value: object, ids: list[str], single: bool) -> None:
    assert to_ids(value) == (ids, single)


@pytest.mark.parametrize(
    "value",
    [None, b"A.XSHE", {"a": 1}, 5, ["a", 5], [None]],
    ids=["None", "bytes", "dict", "int", "int-element", "None-element"],
)
def test_ids_that_are_not_strings_are_refused(value: object) -> None:
    with pytest.raises(TypeError, match="^universe must"):
        to_ids(value, "universe")


@pytest.mark.parametrize(
    "value, ok",
    [(3, True), (np.int64(-2), True), (True, False), (2.0, False), ("3", False), (None, False)],
)
def test_counts_are_integers_but_never_bools(value: object, ok: bool) -> None:
    if ok:
        assert to_int(value, "n") == int(value) and type(to_int(value, "n")) is int
    else:
        with pytest.raises(TypeError, match="^n must be an int"):
            to_int(value, "n")
