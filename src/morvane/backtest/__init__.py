"""Backtests and batch runs of strategies described in a strategy file (TOML).

``run(path, out)`` backtests every strategy of the file into the folder ``out``, strategies in
parallel on Dask; ``load(path)`` reads and validates a file.  The command line is ``morvane run``
(one optimisation for one date) and ``morvane backtest``.
"""

from morvane.backtest.config import ConfigError, Strategy, load
from morvane.backtest.engine import BacktestError
from morvane.backtest.runner import run

__all__ = ["run", "load", "Strategy", "ConfigError", "BacktestError"]
