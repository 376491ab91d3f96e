"""The typed record of a rebalance: its stored JSON form is the one earlier runs wrote, so their
output folders resume; a stored file that is not a whole record is refused by name."""

from __future__ import annotations

import json
from pathlib import Path

import pytest

from morvane.backtest import ConfigError, config
from morvane.backtest.files import RunFolder
from morvane.backtest.record import Record, is_record

#: A record as the backtest has always stored it (key order included).
STORED = (
    '{"index": 0, "date": "2025-01-02", "status": "failed", "error": "OptimizationFailed: '
    'infeasible", "conflicts": ["\'bnds\'"], "from_cash": true, "ids": ["000001.XSHE", '
    '"000002.XSHE"], "weights": [0.4, 0.6], "turnover": 0.5, "cost": 0.001, "warnings": 2, '
    '"days": ["2025-01-02", "2025-01-03"], "portfolio": [0.999, 1.01], "benchmark": [], '
    '"end_weights": [0.41, 0.59]}'
)


@pytest.fixture
def folder(tmp_path: Path) -> RunFolder:
    (strategy,) = config.parse(
        {
            "strategy": [
                {
                    "name": "s",
                    "universe": ["000001.XSHE"],
                    "start": "2025-01-02",
                    "end": "2025-02-28",
                }
            ]
        }
    )
    run = RunFolder(tmp_path, strategy)
    run.start()
    return run


def test_the_record_has_the_stored_keys_in_order():
    required = [k for k in Record.__annotations__ if k in Record.__required_keys__]
    assert required == list(json.loads(STORED))


def test_a_stored_record_resumes_and_is_written_back_as_it_was(folder: RunFolder):
    path = folder.record_path(0)
    path.parent.mkdir(parents=True)
    path.write_text(STORED, encoding="utf-8")
    (record,) = folder.load()
    assert record == json.loads(STORED)
    path.unlink()
    assert folder.save(record) and path.read_text(encoding="utf-8") == STORED
    assert not folder.save(record)  # kept already


@pytest.mark.parametrize("key", list(json.loads(STORED)))
def test_a_record_without_one_of_its_keys_is_refused(folder: RunFolder, key: str):
    data = json.loads(STORED)
    del data[key]
    path = folder.record_path(0)
    path.parent.mkdir(parents=True)
    path.write_text(json.dumps(data), encoding="utf-8")
    with pytest.raises(ConfigError, match="is not the record of rebalance 0"):
        folder.load()


@pytest.mark.parametrize(
    "data, index, expected",
    [
        (json.loads(STORED), 0, True),
        (json.loads(STORED), 1, False),
        ({**json.loads(STORED), "extra": 1}, 0, True),
        ([json.loads(STORED)], 0, False),
        (None, 0, False),
    ],
)
def test_is_record(data, index, expected):
    assert is_record(data, index) is expected
