"""The output folder of a backtest and the per-rebalance records a run resumes from.

Layout under the output folder ``DIR``::

    DIR/<name>/strategy.json              the strategy definition the records belong to
    DIR/<name>/rebalances/00000.json ...  one record per finished rebalance, in order
    DIR/<name>/weights.parquet, nav.parquet, stats.json
    DIR/summary.csv, DIR/report.html

Every file is written by ``morvane.files.write_atomic`` (a temporary file in the same folder,
flushed to disk and renamed into place, with the mode the umask allows), so an interrupted run
(``kill -9`` included) leaves each file either complete or absent.
"""

from __future__ import annotations

import json
from pathlib import Path

from morvane.backtest.config import ConfigError, Strategy
from morvane.backtest.record import Record, is_record
from morvane.files import write_atomic

__all__ = ["RunFolder"]


def _definition(strategy: Strategy) -> str:
    return json.dumps(strategy.model_dump(mode="json"), sort_keys=True, indent=1)


class RunFolder:
    """One strategy's folder under the output folder."""

    def __init__(self, out: Path, strategy: Strategy) -> None:
        self.strategy = strategy
        self.path = Path(out) / strategy.name
        self._records = self.path / "rebalances"

    def record_path(self, index: int) -> Path:
        return self._records / f"{index:05d}.json"

    def load(self) -> list[Record]:
        """The records of finished rebalances, after checking that they belong to this strategy
        definition; [] for a new folder."""
        definition = self.path / "strategy.json"
        if not definition.exists():
            return []
        if definition.read_text(encoding="utf-8") != _definition(self.strategy):
            raise ConfigError(
                f"{self.path} holds a run of a different definition of strategy "
                f"{self.strategy.name!r}; choose another output folder or remove that one"
            )
        records: list[Record] = []
        while self.record_path(len(records)).exists():
            path = self.record_path(len(records))
            try:
                record = json.loads(path.read_text(encoding="utf-8"))
            except (ValueError, UnicodeDecodeError) as exc:
                raise ConfigError(f"{path} is not a record of this program: {exc}") from None
            if not is_record(record, len(records)):
                raise ConfigError(f"{path} is not the record of rebalance {len(records)}")
            records.append(record)
        return records

    def start(self) -> None:
        """Claim the folder for this strategy definition (kept when it is already claimed)."""
        definition = self.path / "strategy.json"
        if not definition.exists():
            write_atomic(definition, _definition(self.strategy))

    def save(self, record: Record) -> bool:
        """Keep one finished rebalance; False when it was kept already (a task that Dask ran
        again after losing a worker sends its records again)."""
        path = self.record_path(int(record["index"]))
        if path.exists():
            return False
        write_atomic(path, json.dumps(record, allow_nan=True))
        return True
