"""Instrument records: one listed security each, and the ids a call knows of.

(Named in the singular so that the module never shadows the ``tarnwick.instruments``
function.)
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import pandas as pd

from tarnwick import store
from tarnwick.arguments import to_ids, warn_unknown_ids

__all__ = ["Instrument", "instruments", "all_instruments", "instrument_table", "known"]


@dataclass(frozen=True)
class Instrument:
    """Static description of one listed security."""

    order_book_id: str
    symbol: str
    type: str
    exchange: str
    listed_date: str
    de_listed_date: str
    shares_outstanding: float | None = None

    def __repr__(self) -> str:
        status = (
            f"listed {self.listed_date}"
            if self.de_listed_date == "0000-00-00"
            else f"listed {self.listed_date}, delisted {self.de_listed_date}"
        )
        return f"Instrument({self.order_book_id} {self.symbol} {self.type}, {status})"


def instrument_table() -> dict[str, Instrument]:
    """Every stored instrument by id, read once per store file."""

    def load(con: Any) -> dict[str, Instrument]:
        rows = con.execute(
            "SELECT order_book_id, symbol, type, exchange, listed_date, de_listed_date, "
            "shares_outstanding FROM instruments ORDER BY order_book_id"
        ).fetchall()
        out = {}
        for r in rows:
            shares = None if r[6] is None or r[6] != r[6] else float(r[6])
            out[r[0]] = Instrument(*r[:6], shares_outstanding=shares)
        return out

    return store.cached("instruments", load)


def known(ids: list[str]) -> list[str]:
    """The stored ids of ``ids``, each once; one warning (pointing at the caller of the
    public function) names the others."""
    table = instrument_table()
    warn_unknown_ids(ids, table, stacklevel=4)
    return [i for i in dict.fromkeys(ids) if i in table]


def instruments(order_book_ids: Any) -> Instrument | list[Instrument] | None:
    """Instrument records: a str gives one record (None if unknown); an iterable of str a
    list in input order with unknown ids omitted (an empty iterable gives [])."""
    ids, single = to_ids(order_book_ids)
    table = instrument_table()
    warn_unknown_ids(ids, table, stacklevel=3)
    if single:
        return table.get(ids[0])
    return [table[i] for i in ids if i in table]


def all_instruments(type: str | None = None) -> pd.DataFrame:
    """All instruments as a DataFrame, optionally only those of one ``type`` ('CS', ...)."""
    if type is not None and not isinstance(type, str):
        raise TypeError(f"type must be a str or None, got {type!r}")
    if type is None:
        return store.query("SELECT * FROM instruments ORDER BY order_book_id")
    return store.query("SELECT * FROM instruments WHERE type = ? ORDER BY order_book_id", [type])
