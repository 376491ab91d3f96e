"""The results of a backtest run, read back from its output folder for a notebook or a script.

>>> results = morvane.backtest.open("out")
>>> results["tracking"].nav               # date, portfolio, benchmark
>>> results["tracking"].attribution       # where the active return came from

Nothing is computed again but the attribution, from the records the run kept (the weights each
rebalance traded to, its days) and the market store in use.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterator, Mapping
from functools import cached_property
from pathlib import Path
from typing import Any, Optional, Union

import pandas as pd

from morvane.backtest import output

__all__ = ["BacktestResults", "StrategyResult", "open"]


class StrategyResult:
    """One strategy's outputs: ``nav``, ``weights``, ``stats``, ``records``, ``attribution``."""

    def __init__(self, folder: Path) -> None:
        self.folder = folder
        self.name = folder.name

    @cached_property
    def definition(self) -> dict[str, Any]:
        return json.loads((self.folder / "strategy.json").read_text(encoding="utf-8"))

    @cached_property
    def nav(self) -> pd.DataFrame:
        return pd.read_parquet(self.folder / "nav.parquet")

    @cached_property
    def weights(self) -> pd.DataFrame:
        return pd.read_parquet(self.folder / "weights.parquet")

    @cached_property
    def stats(self) -> dict[str, Any]:
        return json.loads((self.folder / "stats.json").read_text(encoding="utf-8"))

    @cached_property
    def records(self) -> list[dict[str, Any]]:
        paths = sorted((self.folder / "rebalances").glob("*.json"))
        return [json.loads(p.read_text(encoding="utf-8")) for p in paths]

    @property
    def benchmark(self) -> Optional[str]:
        return self.definition.get("benchmark")

    @cached_property
    def attribution(self) -> Any:
        """The :class:`~morvane.report.Attribution` of the whole backtest, costs included."""
        import tarnwick
        from morvane.report.attribution import decompose

        with tarnwick.snapshot():
            holdings = output.holdings_of(self.records, self.nav)
            return decompose(
                holdings,
                self.benchmark,
                self.definition.get("risk_model", "v1"),
                self.definition.get("cov_model", "daily"),
            )

    def __repr__(self) -> str:
        s = self.stats
        text = ", ".join(
            f"{k.replace('_', ' ')} {s[k]:.2%}"
            for k in ("annual_return", "tracking_error", "max_drawdown")
            if isinstance(s.get(k), (int, float))
        )
        return (
            f"<StrategyResult {self.name}: {s.get('rebalances')} rebalances, "
            f"{s.get('failed_rebalances')} failed{', ' + text if text else ''}>"
        )

    def _repr_html_(self) -> str:
        from morvane.backtest.report import strategy_html

        return strategy_html(self)


class BacktestResults(Mapping[str, StrategyResult]):
    """A run's output folder: its strategies by name and its ``summary`` table."""

    def __init__(self, out: Union[str, os.PathLike[str]]) -> None:
        self.path = Path(out)
        if not (self.path / "summary.csv").is_file():
            raise FileNotFoundError(f"{self.path} holds no finished backtest (no summary.csv)")
        self.summary = pd.read_csv(self.path / "summary.csv")
        names = [str(n) for n in self.summary["strategy"]]
        self._strategies = {
            n: StrategyResult(self.path / n)
            for n in names
            if (self.path / n / "nav.parquet").is_file()
        }

    def __getitem__(self, name: str) -> StrategyResult:
        if name not in self._strategies:
            raise KeyError(
                f"{name!r} is not a finished strategy of {self.path}; "
                f"its strategies: {', '.join(self._strategies)}"
            )
        return self._strategies[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self._strategies)

    def __len__(self) -> int:
        return len(self._strategies)

    def __repr__(self) -> str:
        return f"<BacktestResults {self.path}: {', '.join(self._strategies) or 'no strategies'}>"

    def _repr_html_(self) -> str:
        from morvane.backtest.report import results_html

        return results_html(self)


def open(out: Union[str, os.PathLike[str]]) -> BacktestResults:  # noqa: A001 - the package's verb
    """The results of the backtest run whose output folder is ``out``."""
    return BacktestResults(out)
