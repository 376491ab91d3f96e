"""Store faults and bad dates end in one clear line: damaged files, wrong locations, leftovers of
killed builds, missing dates, steps off the calendar."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import duckdb
import numpy as np
import pandas as pd
import pytest

import tarnwick
from morvane import cli as morvane_cli
from morvane.exception import InvalidArgument
from morvane.objective import MeanVariance
from morvane.optimize import portfolio_optimize
from tarnwick import cli, store
from tarnwick.sources import sample


def _one_line_error(capsys: pytest.CaptureFixture[str], argv: list[str]) -> str:
    assert cli.main(argv) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("tarnwick: ") and "Traceback" not in err
    return err


def _damage(path: Path, how: str) -> None:
    if how == "truncated":
        os.truncate(path, path.stat().st_size * 3 // 4)
    elif how == "corrupted":
        # Overwrite the middle of a block of daily_bars: its checksum no longer matches.
        with duckdb.connect(str(path), read_only=True) as con:
            block = con.execute(
                "SELECT max(block_id) FROM pragma_storage_info('daily_bars')"
            ).fetchone()[0]
            size = con.execute("SELECT block_size FROM pragma_database_size()").fetchone()[0]
        with open(path, "r+b") as f:
            f.seek(3 * 4096 + block * size + size // 2)
            f.write(bytes(range(256)) * 64)
    else:
        path.write_bytes(b"\0" * 8192)


@pytest.mark.parametrize("how", ["truncated", "corrupted", "zeroed"])
def test_a_damaged_store_is_named_with_the_command_that_rebuilds_it(
    small_store: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
    capsys: pytest.CaptureFixture[str], how: str
) -> None:
    path = tmp_path / "market.duckdb"
    shutil.copyfile(small_store, path)
    _damage(path, how)
    err = _one_line_error(capsys, ["info", "--path", str(path)])
    assert str(path) in err and "tarnwick sample" in err
    monkeypatch.setenv("TARNWICK_HOME", str(tmp_path))
    store.close()
    try:
        with pytest.raises(store.StoreError, match="tarnwick sample") as info:
            ids = list(tarnwick.all_instruments("CS")["order_book_id"])
            tarnwick.get_price(ids, "2024-01-01", "2025-12-31")
    finally:
        store.close()
    assert str(path) in str(info.value) and "\n" not in str(info.value)


def test_a_whole_store_passes_info(small_store: Path, capsys: pytest.CaptureFixture[str]) -> None:
    assert cli.main(["info", "--path", str(small_store)]) == 0
    assert "daily_bars" in capsys.readouterr().out


def _never_generate(*args: object, **kwargs: object) -> None:
    raise AssertionError("generating started")


@pytest.mark.parametrize("case", ["home-is-a-file", "home-parent-missing", "path-is-a-folder",
                                  "path-parent-missing", "path-parent-is-a-file"])
def test_a_location_that_cannot_hold_a_store_is_refused_before_generating(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str],
    case: str
) -> None:
    monkeypatch.setattr(sample, "generate", _never_generate)
    a_file = tmp_path / "a-file"
    a_file.write_text("x")
    argv = ["sample", "--size", "small", "--quiet"]
    if case == "home-is-a-file":
        monkeypatch.setenv("TARNWICK_HOME", str(a_file))
    elif case == "home-parent-missing":
        monkeypatch.setenv("TARNWICK_HOME", str(tmp_path / "no" / "such" / "home"))
    else:
        path = {"path-is-a-folder": tmp_path, "path-parent-missing": tmp_path / "no" / "x.db",
                "path-parent-is-a-file": a_file / "x.db"}[case]
        argv += ["--path", str(path)]
    _one_line_error(capsys, argv)
    if case.startswith("home"):
        store.close()
        with pytest.raises(store.StoreError, match="TARNWICK_HOME"):
            tarnwick.instruments("000300.XSHG")  # first use: refused, not built
        assert morvane_cli.main(["demo"]) == 1
        err = capsys.readouterr().err
        assert err.startswith("morvane: TARNWICK_HOME") and err.count("\n") == 1
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a-file"]


def test_an_unwritable_folder_is_refused_before_generating(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(sample, "generate", _never_generate)

    def refused(self: Path, *args: object, **kwargs: object) -> None:
        raise PermissionError(13, "Permission denied", str(self))

    monkeypatch.setattr(Path, "touch", refused)
    with pytest.raises(store.StoreError, match="Permission denied"):
        store.build("small", path=tmp_path / "market.duckdb", progress=False)
    if os.geteuid() != 0:  # root writes anywhere
        folder = tmp_path / "read-only"
        folder.mkdir(mode=0o500)
        with pytest.raises(store.StoreError, match="not writable"):
            store.build("small", path=folder / "market.duckdb", progress=False)


def test_a_build_removes_what_killed_builds_left(tmp_path: Path,
                                                 monkeypatch: pytest.MonkeyPatch) -> None:
    done = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                          capture_output=True, text=True, check=True)
    dead, alive = int(done.stdout), os.getppid()
    target = tmp_path / "market.duckdb"
    left = [tmp_path / f".market.duckdb.{dead}.17.tmp",
            tmp_path / f".market.duckdb.{dead}.17.tmp.wal"]
    kept = [tmp_path / f".market.duckdb.{alive}.18.tmp", tmp_path / ".other.duckdb.1.2.tmp",
            tmp_path / "notes.txt"]
    for p in left + kept:
        p.write_bytes(b"partial")
    monkeypatch.setattr(sample, "generate", _never_generate)
    with pytest.raises(AssertionError):
        store.build("small", path=target, progress=False)
    assert sorted(tmp_path.iterdir()) == sorted(kept)


MISSING_DATES = [pd.NaT, None, np.datetime64("NaT")]


@pytest.mark.parametrize("value", MISSING_DATES, ids=["pd.NaT", "None", "np.NaT"])
def test_a_missing_date_is_refused(small_store: Path, value: object) -> None:
    universe = tarnwick.index_components("000300.XSHG", "2025-06-03")[:5]
    with pytest.raises(InvalidArgument, match="expect a datetime like object"):
        portfolio_optimize(universe, value)
    for call in (lambda: tarnwick.get_previous_trading_date(value),
                 lambda: tarnwick.get_price(universe, value, "2025-06-03"),
                 lambda: tarnwick.index_components("000300.XSHG", value)):
        with pytest.raises((TypeError, ValueError), match="date"):
            call()


def test_a_window_off_the_calendar_names_date_window_and_range(small_store: Path) -> None:
    calendar = tarnwick.get_trading_dates("1900-01-01", "2999-12-31")
    third = calendar[2]
    universe = tarnwick.index_components("000300.XSHG", third)[:5]
    with pytest.raises(ValueError) as info:
        portfolio_optimize(universe, third, objective=MeanVariance(window=60))
    text = str(info.value)  # the window ends on the day before the optimisation day
    assert str(calendar[1]) in text and "-60" in text and str(store.store_path()) in text
    assert f"{calendar[0]}..{calendar[-1]}" in text
