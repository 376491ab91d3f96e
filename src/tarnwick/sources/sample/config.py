"""Sizes, boards, indices and funds of the sample market, and its random streams."""

from __future__ import annotations

import datetime as _dt
from dataclasses import dataclass

import numpy as np

__all__ = [
    "DEFAULT_SEED",
    "SIZES",
    "INDEX_IDS",
    "INDEX_LISTED",
    "BOARDS",
    "FUNDS",
    "TRADING_DAYS_PER_YEAR",
    "MarketConfig",
    "config",
    "streams",
]

DEFAULT_SEED = 20240101

#: Index ids and names, in ranking order (largest first) then the Shanghai board index.
INDEX_IDS: dict[str, str] = {
    "000300.XSHG": "沪深300",
    "000905.XSHG": "中证500",
    "000852.XSHG": "中证1000",
    "000016.XSHG": "上证50",
}
INDEX_LISTED = {
    "000300.XSHG": "2005-04-08",
    "000905.XSHG": "2007-01-15",
    "000852.XSHG": "2014-10-17",
    "000016.XSHG": "2004-01-02",
}

# Boards: (exchange, first id, last id, first possible listing date, price limit).
BOARDS = {
    "sh_main": ("XSHG", 600000, 605999, "1990-12-19", 0.10),
    "star": ("XSHG", 688001, 688999, "2019-07-22", 0.20),
    "sz_main": ("XSHE", 1, 3999, "1991-04-03", 0.10),
    "chinext": ("XSHE", 300001, 301999, "2009-10-30", 0.20),
}


@dataclass(frozen=True)
class MarketConfig:
    """Scale of one sample market."""

    size: str
    start: _dt.date
    end: _dt.date
    board_counts: dict[str, int]
    index_sizes: dict[str, int]
    index_base_levels: dict[str, float]


_CONFIGS = {
    "full": MarketConfig(
        size="full",
        start=_dt.date(2018, 1, 1),
        end=_dt.date(2025, 12, 31),
        board_counts={"sh_main": 1700, "star": 580, "sz_main": 1500, "chinext": 1300},
        index_sizes={
            "000300.XSHG": 300,
            "000905.XSHG": 500,
            "000852.XSHG": 1000,
            "000016.XSHG": 50,
        },
        index_base_levels={
            "000300.XSHG": 4030.85,
            "000905.XSHG": 6250.12,
            "000852.XSHG": 6610.37,
            "000016.XSHG": 2790.64,
        },
    ),
    "small": MarketConfig(
        size="small",
        start=_dt.date(2024, 1, 1),
        end=_dt.date(2025, 12, 31),
        board_counts={"sh_main": 110, "star": 35, "sz_main": 85, "chinext": 70},
        index_sizes={"000300.XSHG": 50, "000905.XSHG": 80, "000852.XSHG": 100, "000016.XSHG": 20},
        index_base_levels={
            "000300.XSHG": 3386.35,
            "000905.XSHG": 5283.79,
            "000852.XSHG": 5468.12,
            "000016.XSHG": 2362.61,
        },
    ),
}
SIZES = tuple(_CONFIGS)

FUNDS = [
    # id, symbol, type, exchange, listed, tracked series, base price, units
    ("510300.XSHG", "沪深300ETF", "ETF", "XSHG", "2012-05-28", "000300.XSHG", 1000.0, 3.0e10),
    ("510500.XSHG", "中证500ETF", "ETF", "XSHG", "2013-03-15", "000905.XSHG", 1000.0, 1.2e10),
    ("159915.XSHE", "创业板ETF", "ETF", "XSHE", "2011-12-09", "chinext", 1.0, 2.5e10),
    ("501000.XSHG", "稳健回报LOF", "LOF", "XSHG", "2016-07-29", "own", 1.0, 8.0e8),
]

TRADING_DAYS_PER_YEAR = 252


def config(size: str) -> MarketConfig:
    """The configuration of market size ``size`` ('full' or 'small')."""
    if not isinstance(size, str):
        raise TypeError(f"size must be a str among {SIZES}, got {type(size).__name__}")
    try:
        return _CONFIGS[size]
    except KeyError:
        raise ValueError(f"size must be one of {SIZES}, got {size!r}") from None


def streams(size: str, seed: int) -> list[np.random.Generator]:
    """The eight independent random streams of the (size, seed) market."""
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or seed < 0:
        raise ValueError(f"seed must be a non-negative int, got {seed!r}")
    code = SIZES.index(size)
    seq = np.random.SeedSequence(int(seed), spawn_key=(code,))
    return [np.random.default_rng(s) for s in seq.spawn(8)]
