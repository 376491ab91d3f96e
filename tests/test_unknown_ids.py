"""Ids the store does not know: one warning per call, naming them with the stored id meant."""

from __future__ import annotations

import warnings
from pathlib import Path

import pytest

import tarnwick
from morvane.optimize import ensure_order_book_ids
from tarnwick import UnknownIdWarning

DAY = "2025-06-03"


@pytest.fixture(scope="module")
def stored(small_store: Path) -> dict[str, str]:
    ids = list(tarnwick.all_instruments("CS")["order_book_id"])
    return {x: next(i for i in ids if i.endswith(x)) for x in ("XSHG", "XSHE")}


def _warnings(call) -> list[warnings.WarningMessage]:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        call()
    return [w for w in caught if issubclass(w.category, UnknownIdWarning)]


@pytest.mark.parametrize(
    "typo, exchange",
    [(lambda s: s[:6], "XSHG"), (lambda s: s[:6], "XSHE"), (str.lower, "XSHG"),
     (lambda s: " " + s, "XSHE"), (lambda s: s + "\t", "XSHG"), (lambda s: s.lower()[:6], "XSHE")],
    ids=["bare-sh", "bare-sz", "lower", "leading-space", "trailing-tab", "bare-lower"],
)
def test_a_near_miss_gets_the_stored_id_suggested(stored, typo, exchange) -> None:
    right = stored[exchange]
    wrong = typo(right)
    caught = _warnings(lambda: tarnwick.instruments(wrong))
    assert [str(w.message) for w in caught] == [
        f"{wrong!r} is not a stored id; did you mean {right!r}?"
    ]
    assert caught[0].filename == __file__


@pytest.mark.parametrize("fn", ["instruments", "get_price", "get_price_change_rate",
                                "get_factor", "get_instrument_industry",
                                "get_style_descriptors"])
def test_one_warning_per_call_naming_at_most_twenty(stored, fn) -> None:
    unknown = ["NOPE"] + [f"{k:06d}.XSHX" for k in range(24)]
    ids = [stored["XSHG"], stored["XSHG"][:6], *unknown, "NOPE"]
    args = {
        "instruments": (ids,),
        "get_price": (ids, DAY, DAY),
        "get_price_change_rate": (ids, DAY, DAY),
        "get_factor": (ids, "market_cap_3", DAY, DAY),
        "get_instrument_industry": (ids,),
        "get_style_descriptors": (ids, DAY),
    }[fn]
    caught = _warnings(lambda: getattr(tarnwick, fn)(*args))
    assert len(caught) == 1 and caught[0].filename == __file__
    text = str(caught[0].message)
    assert text.startswith("26 ids are not stored ids: ")
    assert f"(did you mean {stored['XSHG']!r}?)" in text and "'NOPE'" in text
    assert "'000017.XSHX'" in text and "'000018.XSHX'" not in text and text.endswith("6 more")


def test_no_warning_for_stored_ids_nor_a_suggestion_when_nothing_fits(stored) -> None:
    assert _warnings(lambda: tarnwick.get_price(list(stored.values()), DAY, DAY)) == []
    caught = _warnings(lambda: tarnwick.instruments(["999999"]))
    assert [str(w.message) for w in caught] == ["'999999' is not a stored id"]


def test_the_universe_cleaning_still_drops_unknown_ids(stored) -> None:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        kept = ensure_order_book_ids([stored["XSHE"], stored["XSHE"].lower()], DAY)
    assert kept == [stored["XSHE"]]
    assert [w.category for w in caught] == [UnknownIdWarning]
