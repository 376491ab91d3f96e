"""Backtests and batch runs of strategies described in a strategy file (TOML).

``run(path, out)`` backtests every strategy of the file into the folder ``out``, strategies in
parallel on Dask; ``load(path)`` reads and validates a file; ``open(out)`` reads a run's results
back (NAV, weights, statistics, attribution).  The command line is ``morvane run``
(one optimisation for one date) and ``morvane backtest``.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from morvane.backtest.config import ConfigError, Strategy, load
    from morvane.backtest.engine import BacktestError
    from morvane.backtest.results import open
    from morvane.backtest.runner import run

__all__ = ["run", "load", "open", "Strategy", "ConfigError", "BacktestError"]

# Loaded on first use, so that the `morvane` command does not import pydantic and Dask for
# subcommands that never need them.
_HOMES = {
    "run": "morvane.backtest.runner",
    "load": "morvane.backtest.config",
    "Strategy": "morvane.backtest.config",
    "ConfigError": "morvane.backtest.config",
    "BacktestError": "morvane.backtest.engine",
    "open": "morvane.backtest.results",
}


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(home), name)
    globals()[name] = value
    return value
