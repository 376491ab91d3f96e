"""The output folder of a backtest: atomic writes and the per-rebalance records a run resumes from.

Layout under the output folder ``DIR``::

    DIR/<name>/strategy.json              the strategy definition the records belong to
    DIR/<name>/rebalances/00000.json ...  one record per finished rebalance, in order
    DIR/<name>/weights.parquet, nav.parquet, stats.json
    DIR/summary.csv, DIR/report.html

Every file is written to a temporary file in the same folder, flushed to disk and renamed into
place, so an interrupted run (``kill -9`` included) leaves each file either complete or absent.
"""

from __future__ import annotations

import json
import os
import tempfile
from pathlib import Path
from typing import Any

from morvane.backtest.config import ConfigError, Strategy

__all__ = ["atomic_write", "RunFolder"]


def atomic_write(path: Path, data: bytes) -> None:
    """Write ``data`` to ``path`` so that readers see the old file or the whole new one."""
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=path.parent)
    try:
        with os.fdopen(fd, "wb") as handle:
            handle.write(data)
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise
    try:  # make the rename itself durable where the platform allows it
        dir_fd = os.open(path.parent, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(dir_fd)
    except OSError:
        pass
    finally:
        os.close(dir_fd)


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

    def load(self) -> list[dict[str, Any]]:
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
        records = []
        while self.record_path(len(records)).exists():
            path = self.record_path(len(records))
            try:
                record = json.loads(path.read_text(encoding="utf-8"))
            except (ValueError, UnicodeDecodeError) as exc:
                raise ConfigError(f"{path} is not a record of this program: {exc}") from None
            if not isinstance(record, dict) or record.get("index") != len(records):
                raise ConfigError(f"{path} is not the record of rebalance {len(records)}")
            records.append(record)
        return records

    def start(self) -> None:
        """Claim the folder for this strategy definition (kept when it is already claimed)."""
        definition = self.path / "strategy.json"
        if not definition.exists():
            atomic_write(definition, _definition(self.strategy).encode("utf-8"))

    def save(self, record: dict[str, Any]) -> bool:
        """Keep one finished rebalance; False when it was kept already (a task that Dask ran
        again after losing a worker sends its records again)."""
        path = self.record_path(int(record["index"]))
        if path.exists():
            return False
        atomic_write(path, json.dumps(record, allow_nan=True).encode("utf-8"))
        return True
