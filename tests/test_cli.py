"""The `morvane demo` command on the small sample market."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

import tarnwick
from morvane.cli import main
from morvane.optimize import portfolio_optimize

DATE = "2025-06-03"


def test_demo_report(small_store: Path, capsys: pytest.CaptureFixture[str]) -> None:
    before = small_store.stat().st_mtime_ns
    assert main(["demo", "--date", "20250603", "--top", "3"]) == 0
    out, err = capsys.readouterr()
    weights = portfolio_optimize(tarnwick.index_components("000300.XSHG", DATE), DATE)
    assert "000300.XSHG constituents for 2025-06-03" in out and err == ""
    assert f"stocks held: {(weights >= 1e-4).sum()} of {len(weights)}" in out
    listed = re.findall(r"^ {4}(\S+) +(\d+\.\d\d)%  \S+$", out, re.M)
    top = weights.sort_values(ascending=False).head(3)
    assert listed == [(i, f"{100 * w:.2f}") for i, w in top.items()]
    found = re.search(r"volatility: ([\d.]+)% \(equal weights: ([\d.]+)%", out)
    vol, equal = map(float, found.groups())  # type: ignore[union-attr]
    assert 1 < vol < equal and re.search(r"solve time: \d+\.\d{3} s", out)
    assert small_store.stat().st_mtime_ns == before  # the store is reused, not rebuilt


def test_demo_counts_dropped_ids(small_store: Path, monkeypatch: pytest.MonkeyPatch,
                                 capsys: pytest.CaptureFixture[str]) -> None:  # fmt: skip
    members = tarnwick.index_components("000300.XSHG", DATE)
    extra = ["000300.XSHG", "002984.XSHE", members[0]]  # an index, a delisted stock, a repeat
    monkeypatch.setattr(tarnwick, "index_components", lambda index, date: members + extra)
    assert main(["demo", "--date", DATE]) == 0
    out, err = capsys.readouterr()
    assert f"dropped 2 of {len(members) + 3} constituents" in out and "ignored 1 repeated" in out
    assert "被剔除" not in out + err and err == ""


@pytest.mark.parametrize(
    "argv, code, message",
    [
        (["demo", "--date", "5th of May"], 2, "invalid date '5th of May'"),
        (["demo", "--top", "-1"], 2, "expected a whole number"),
        (["demo", "--date", "2025-06-07"], 1, "2025-06-07 is not a trading day"),
        (["demo", "--date", "1990-01-01"], 1, "outside the market's trading calendar"),
        (["optimise"], 2, "invalid choice: 'optimise'"),
        ([], 2, "required: command"),
    ],
)
def test_bad_arguments(small_store: Path, capsys: pytest.CaptureFixture[str], argv: list[str],
                       code: int, message: str) -> None:  # fmt: skip
    assert main(argv) == code
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err
