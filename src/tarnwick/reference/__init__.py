"""Reference data of the market: style names, industry classifications, calendar rules.

Nothing here reads the store; every other layer of tarnwick may import from here.
"""

from __future__ import annotations

__all__ = ["STYLE_NAMES", "PRICE_STYLES", "CLASSIFICATIONS", "INSTRUMENT_TYPES"]

#: The ten style factors in storage order; ``morvane.const.STYLE_FACTORS`` is this list.
STYLE_NAMES = [
    "beta",
    "book_to_price",
    "earnings_yield",
    "growth",
    "leverage",
    "liquidity",
    "momentum",
    "non_linear_size",
    "residual_volatility",
    "size",
]

#: The styles that can be computed from daily bars and market caps alone.
PRICE_STYLES = (
    "beta",
    "liquidity",
    "momentum",
    "non_linear_size",
    "residual_volatility",
    "size",
)

#: Industry classifications the client knows: Shenwan level one, CITIC level one, and Shenwan
#: with the non-bank financials split.
CLASSIFICATIONS = ("sws", "citic", "sws_split")

#: Instrument types: stock, index, exchange-traded fund, listed open-ended fund.
INSTRUMENT_TYPES = ("CS", "INDX", "ETF", "LOF")
