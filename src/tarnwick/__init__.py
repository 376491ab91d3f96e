"""tarnwick: market-data client over an embedded store of a generated sample A-share market.

All functions read the store at :func:`tarnwick.store.store_path` (built on first use).
Dates may be ``datetime.date``, ``datetime.datetime``, ``pandas.Timestamp``,
``numpy.datetime64`` or strings ('2024-03-05', '20240305').  Ids are order_book_id strings;
unknown ids are left out of results (``instruments`` of a single unknown id is None), with one
:class:`UnknownIdWarning` per call naming them.  ``with tarnwick.snapshot(): ...`` makes every
call inside the block read one and the same store file, even if a rebuild replaces it meanwhile.

What a call asks for that the store does not have raises a :class:`DataError` (a
``ValueError``); a fault of the store file itself raises :class:`StoreError`.
"""

# The functions live in one module per topic and are re-exported here, so that
# ``tarnwick.get_price`` and the rest are attributes of the package (callers and tests
# patch them there):
#   calendar        trading days and the steps between them
#   instrument      instrument records, the ids a call knows of
#   prices          daily bars and returns
#   factors         per-stock factor values
#   indices         index compositions and weights (stored, or cap-weighted)
#   classification  industries and raw style descriptors

from __future__ import annotations

from types import ModuleType

from tarnwick import store
from tarnwick.arguments import UnknownIdWarning
from tarnwick.calendar import (
    get_next_trading_date,
    get_previous_trading_date,
    get_trading_dates,
    trading_date_offset,
)
from tarnwick.classification import (
    get_industry_names,
    get_instrument_industry,
    get_style_descriptors,
)
from tarnwick.errors import (
    DataError,
    MissingDataError,
    NotStoredError,
    OutsideCalendarError,
    StoreError,
)
from tarnwick.factors import get_factor
from tarnwick.indices import index_components, index_weights
from tarnwick.instrument import Instrument, all_instruments, instruments
from tarnwick.prices import get_mean_price_change_rate, get_price, get_price_change_rate
from tarnwick.store import snapshot

__all__ = [
    "StoreError",
    "UnknownIdWarning",
    "snapshot",
    "Instrument",
    "instruments",
    "all_instruments",
    "trading_date_offset",
    "get_previous_trading_date",
    "get_next_trading_date",
    "get_trading_dates",
    "get_price_change_rate",
    "get_mean_price_change_rate",
    "get_price",
    "get_factor",
    "index_components",
    "index_weights",
    "get_instrument_industry",
    "get_industry_names",
    "get_style_descriptors",
    "sample",
    "store",
    "DataError",
    "NotStoredError",
    "OutsideCalendarError",
    "MissingDataError",
]


def __getattr__(name: str) -> ModuleType:
    # The sample generator loads only when asked for: reading the store never needs it.
    if name == "sample":
        from tarnwick.sources import sample

        return sample
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | {"sample"})
