"""Export and import of a market: the round trip, refusal of bad files by file, line and
column, daily updates that equal a full import, and a market of prices, caps and industries."""

from __future__ import annotations

import csv
import hashlib
import os
import shutil
from pathlib import Path

import duckdb
import numpy as np
import pandas as pd
import pytest

import morvane.helper
import morvane.optimize as mo
import tarnwick
from morvane.objective import MinTrackingError, MinVariance
from tarnwick import cli, riskmodel, store
from tarnwick.exporter import export_dir
from tarnwick.importer import DataError, DataGapWarning, import_dir

DATES = ["2024-09-02", "2025-03-03", "2025-12-01"]
ZERO_STYLES = ["book_to_price", "earnings_yield", "growth", "leverage"]


def _use(monkeypatch: pytest.MonkeyPatch, path: Path) -> None:
    monkeypatch.setenv("TARNWICK_HOME", str(path.parent))
    store.close()
    morvane.helper.clear_cache()


def _weights(date: str, objective: object) -> pd.Series:
    benchmark = "000300.XSHG" if isinstance(objective, MinTrackingError) else None
    universe = sorted(tarnwick.index_components("000905.XSHG", date))
    return mo.portfolio_optimize(universe, date, objective, {"*": (0, 0.05)},
                                 benchmark=benchmark)


@pytest.fixture(scope="module")
def exported(small_store: Path, tmp_path_factory: pytest.TempPathFactory) -> Path:
    folder = tmp_path_factory.mktemp("exported")
    assert cli.main(["export", str(folder), "--path", str(small_store)]) == 0
    return folder


@pytest.fixture(scope="module")
def imported(exported: Path, tmp_path_factory: pytest.TempPathFactory) -> Path:
    return import_dir(exported, tmp_path_factory.mktemp("imported") / "market.duckdb",
                      progress=False)


def _copy_where(source: Path, target: Path, keep: str, *, drop: tuple[str, ...] = ()) -> Path:
    """Copy the Parquet tables of ``source``, the dated ones filtered by the SQL condition
    ``keep`` on ``date``, leaving out the tables ``drop``."""
    target.mkdir()
    con = duckdb.connect()
    try:
        for file in sorted(source.glob("*.parquet")):
            if file.stem in drop:
                continue
            columns = [r[0] for r in con.execute("DESCRIBE SELECT * FROM read_parquet(?)",
                                                 [str(file)]).fetchall()]
            where = f" WHERE {keep}" if "date" in columns else ""
            con.execute(f"COPY (SELECT * FROM read_parquet(?){where}) TO ? (FORMAT parquet)",
                        [str(file), str(target / file.name)])
    finally:
        con.close()
    return target


def _differences(one: Path, two: Path) -> dict[str, int]:
    """Rows that differ, per table, between two stores (meta left out)."""
    con = duckdb.connect()
    try:
        for alias, path in (("a", one), ("b", two)):
            quoted = str(path).replace("'", "''")  # test-owned temp paths
            con.execute(f"ATTACH '{quoted}' AS {alias} (READ_ONLY)")
        names = {db: sorted(r[0] for r in con.execute(
            "SELECT table_name FROM duckdb_tables() WHERE database_name = ?", [db]).fetchall())
            for db in ("a", "b")}
        assert names["a"] == names["b"]
        out = {}
        for t in names["a"]:
            if t == "meta":
                continue
            x, y = f'SELECT * FROM a."{t}"', f'SELECT * FROM b."{t}"'
            out[t] = con.execute(f"SELECT count(*) FROM (({x} EXCEPT ALL {y}) UNION ALL "
                                 f"({y} EXCEPT ALL {x}))").fetchone()[0]
        return out
    finally:
        con.close()


def _meta(path: Path, key: str) -> str:
    with duckdb.connect(str(path), read_only=True) as con:
        return con.execute("SELECT value FROM meta WHERE key = ?", [key]).fetchone()[0]


@pytest.mark.parametrize("objective", [MinVariance(), MinTrackingError()], ids=repr)
def test_round_trip_gives_the_same_weights(
    small_store: Path, imported: Path, monkeypatch: pytest.MonkeyPatch, objective: object
) -> None:
    original = {d: _weights(d, objective) for d in DATES}
    _use(monkeypatch, imported)
    for d in DATES:
        again = _weights(d, objective)
        assert list(again.index) == list(original[d].index)
        np.testing.assert_allclose(again.to_numpy(), original[d].to_numpy(), rtol=0, atol=1e-9)
    _use(monkeypatch, small_store)


def test_csv_round_trip_keeps_every_raw_value(
    small_store: Path, imported: Path, tmp_path: Path
) -> None:
    export_dir(tmp_path / "csv", path=small_store, format="csv")
    again = import_dir(tmp_path / "csv", tmp_path / "store" / "market.duckdb", progress=False)
    assert all(n == 0 for n in _differences(imported, again).values())


def _edit_csv(path: Path, line: int, column: str | None, value: str | None) -> None:
    """Set the cell of ``line`` (header = line 1) and ``column``; with ``column`` None,
    append a copy of ``line`` at the end."""
    with path.open(newline="") as f:
        rows = list(csv.reader(f))
    if column is None:
        rows.append(list(rows[line - 1]))
    else:
        rows[line - 1][rows[0].index(column)] = str(value)
    with path.open("w", newline="") as f:
        csv.writer(f, lineterminator="\n").writerows(rows)


@pytest.fixture(scope="module")
def csv_market(small_store: Path, tmp_path_factory: pytest.TempPathFactory) -> Path:
    return export_dir(tmp_path_factory.mktemp("csv"), path=small_store, format="csv")[0].parent


BAD_CELLS = [
    ("daily_bars", 5, "close", "abc", 5, "cannot read 'abc' as a number"),
    ("daily_bars", 7, "close", "-1.5", 7, "is not a positive price"),
    ("daily_bars", 3, "volume", "-100", 3, "is not a non-negative volume"),
    ("daily_bars", 4, "date", "2024-01-06", 4, "is not a trading day"),
    ("factor_values", 2, None, None, "last", "duplicate key"),
    ("index_components", 3, "order_book_id", "999999.XSHG", 3, "unknown id '999999.XSHG'"),
    ("industries", 2, "order_book_id", "600000.XSHX", 2, "unknown id"),
    ("index_weights", 2, "weight", "0.5", 2, "sum to"),
    ("instruments", 3, "type", "BOND", 3, "is not one of CS, INDX, ETF, LOF"),
    ("instruments", 1, "listed_date", "listed_on", 1, "unknown column"),
]


@pytest.mark.parametrize(("table", "line", "column", "value", "at", "problem"), BAD_CELLS)
def test_bad_input_is_refused_by_file_line_and_column(
    csv_market: Path, small_store: Path, tmp_path: Path,
    table: str, line: int, column: str | None, value: str | None, at: object, problem: str,
) -> None:
    folder = tmp_path / "market"
    shutil.copytree(csv_market, folder)
    file = folder / f"{table}.csv"
    _edit_csv(file, line, column, value)
    expected_line = len(file.read_text().splitlines()) if at == "last" else at
    target = tmp_path / "new" / "market.duckdb"
    with pytest.raises(DataError, match=problem) as info:
        import_dir(folder, target, progress=False)
    assert (info.value.path, info.value.line) == (file, expected_line)
    assert info.value.column == (value if line == 1 else column or "date")
    assert not target.parent.exists()
    # Into an existing store: refused the same way, the store unchanged, no file left over.
    existing = tmp_path / "old" / "market.duckdb"
    existing.parent.mkdir()
    shutil.copyfile(small_store, existing)
    digest = hashlib.sha256(existing.read_bytes()).hexdigest()
    with pytest.raises(DataError, match=problem):
        import_dir(folder, existing, progress=False)
    assert hashlib.sha256(existing.read_bytes()).hexdigest() == digest
    assert os.listdir(existing.parent) == ["market.duckdb"]


@pytest.mark.filterwarnings("ignore::tarnwick.importer.DataGapWarning")
@pytest.mark.parametrize("drop", [(), ("style_descriptors", "index_components",
                                       "index_weights")], ids=["all tables", "prices only"])
def test_a_five_day_update_equals_a_full_import(
    exported: Path, tmp_path: Path, drop: tuple[str, ...]
) -> None:
    with duckdb.connect() as con:
        cut = con.execute("SELECT date FROM read_parquet(?) ORDER BY date DESC LIMIT 1 OFFSET 5",
                          [str(exported / "trading_dates.parquet")]).fetchone()[0]
    head = _copy_where(exported, tmp_path / "head", f"date <= DATE '{cut}'", drop=drop)
    tail = _copy_where(exported, tmp_path / "tail", f"date > DATE '{cut}'", drop=drop)
    full = import_dir(_copy_where(exported, tmp_path / "all", "true", drop=drop),
                      tmp_path / "full" / "market.duckdb", progress=False)
    updated = tmp_path / "updated" / "market.duckdb"
    import_dir(head, updated, progress=False)
    import_dir(tail, updated, progress=False)
    assert _meta(updated, "risk_model_estimation").startswith("incremental")
    assert _meta(updated, "end_date") == _meta(full, "end_date")
    assert _differences(updated, full) == dict.fromkeys(_differences(full, full), 0)


def test_prices_caps_and_industries_give_a_working_model(
    exported: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, small_store: Path
) -> None:
    folder = _copy_where(exported, tmp_path / "prices", "true",
                         drop=("style_descriptors", "index_components", "index_weights"))
    with pytest.warns(DataGapWarning, match=", ".join(ZERO_STYLES)):
        target = import_dir(folder, tmp_path / "store" / "market.duckdb", progress=False)
    _use(monkeypatch, target)
    exposures = riskmodel.get_style_exposures("v1", DATES[-1])
    assert len(exposures) > 250
    assert (exposures[ZERO_STYLES] == 0).all().all()
    computed = [s for s in riskmodel.STYLES if s not in ZERO_STYLES]
    assert (exposures[computed].std() > 0.5).all()
    universe = list(exposures.index[:60])
    weights = mo.portfolio_optimize(universe, DATES[-1], MinVariance(), {"*": (0, 0.1)})
    assert weights.sum() == pytest.approx(1) and weights.max() <= 0.1 + 1e-6
    _use(monkeypatch, small_store)


def test_exported_index_weights_are_the_clients(exported: Path, small_store: Path) -> None:
    with duckdb.connect() as con:
        frame = con.execute(
            "SELECT order_book_id, weight FROM read_parquet(?) WHERE index_id = ? AND date = ? "
            "ORDER BY order_book_id",
            [str(exported / "index_weights.parquet"), "000905.XSHG", DATES[1]],
        ).df()
    client = tarnwick.index_weights("000905.XSHG", DATES[1])
    assert list(frame["order_book_id"]) == list(client.index)
    np.testing.assert_allclose(frame["weight"], client.to_numpy(), rtol=0, atol=1e-15)


def test_parquet_rows_are_counted_like_csv_lines(exported: Path, tmp_path: Path) -> None:
    folder = _copy_where(exported, tmp_path / "market", "true")
    with duckdb.connect() as con:
        con.execute(
            "COPY (SELECT order_book_id, date, CASE WHEN row_number() OVER () = 9 "
            "THEN -market_cap_3 ELSE market_cap_3 END AS market_cap_3 FROM read_parquet(?)) "
            "TO ? (FORMAT parquet)",
            [str(exported / "factor_values.parquet"), str(folder / "factor_values.parquet")],
        )
    with pytest.raises(DataError, match="is not a positive market cap") as info:
        import_dir(folder, tmp_path / "store" / "market.duckdb", progress=False)
    assert (info.value.line, info.value.column) == (10, "market_cap_3")


def test_the_cli_imports_and_refuses_in_one_line(
    csv_market: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    folder = tmp_path / "market"
    shutil.copytree(csv_market, folder)
    _edit_csv(folder / "daily_bars.csv", 2, "volume", "lots")
    assert cli.main(["import", str(folder), "--path", str(tmp_path / "s.duckdb"), "--quiet"]) == 1
    err = capsys.readouterr().err.strip()
    assert err.count("\n") == 0 and "daily_bars.csv, line 2, column volume" in err
    with pytest.raises(SystemExit):
        cli.main(["export", str(tmp_path / "out"), "--format", "xml"])
    assert not (tmp_path / "out").exists()


def test_a_misspelt_table_file_is_refused(csv_market: Path, tmp_path: Path) -> None:
    folder = tmp_path / "market"
    shutil.copytree(csv_market, folder)
    (folder / "industries.csv").rename(folder / "industry.csv")
    with pytest.raises(ValueError, match="industry.csv: not a table"):
        import_dir(folder, tmp_path / "store" / "market.duckdb", progress=False)


def test_an_update_may_not_drop_stocks_the_store_has_bars_for(
    csv_market: Path, small_store: Path, tmp_path: Path
) -> None:
    folder = tmp_path / "update"
    folder.mkdir()
    days = (csv_market / "trading_dates.csv").read_text().splitlines()
    (folder / "trading_dates.csv").write_text("\n".join([days[0], days[-1]]) + "\n")
    lines = (csv_market / "instruments.csv").read_text().splitlines()
    dropped = next(i for i, line in enumerate(lines) if ",CS," in line)
    (folder / "instruments.csv").write_text("\n".join(lines[:dropped] + lines[dropped + 1:]))
    target = tmp_path / "store" / "market.duckdb"
    target.parent.mkdir()
    shutil.copyfile(small_store, target)
    with pytest.raises(DataError, match="ids with bars in the store are missing") as info:
        import_dir(folder, target, progress=False)
    assert (info.value.line, info.value.column) == (1, "order_book_id")


def test_an_update_without_days_replaces_instruments_and_keeps_the_model(
    csv_market: Path, small_store: Path, tmp_path: Path
) -> None:
    folder = tmp_path / "update"
    folder.mkdir()
    (folder / "trading_dates.csv").write_text("date\n")
    shutil.copyfile(csv_market / "instruments.csv", folder / "instruments.csv")
    _edit_csv(folder / "instruments.csv", 3, "symbol", "改名股份")
    target = tmp_path / "store" / "market.duckdb"
    target.parent.mkdir()
    shutil.copyfile(small_store, target)
    import_dir(folder, target, progress=False)
    changed = _differences(small_store, target)
    assert changed.pop("instruments") == 2 and set(changed.values()) == {0}


def test_one_classification_serves_both_risk_models(
    csv_market: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, small_store: Path
) -> None:
    folder = tmp_path / "market"
    shutil.copytree(csv_market, folder)
    lines = (folder / "industries.csv").read_text().splitlines()
    (folder / "industries.csv").write_text(
        "\n".join([lines[0], *(x for x in lines[1:] if ",sws," in x)]) + "\n")
    with pytest.warns(DataGapWarning, match="no 'sws_split' rows, filled from 'sws'"):
        target = import_dir(folder, tmp_path / "store" / "market.duckdb", progress=False)
    _use(monkeypatch, target)
    assert riskmodel.factor_names("v2") == riskmodel.factor_names("v1")
    assert len(riskmodel.factor_names("v2")) == 1 + 31 + 10
    _use(monkeypatch, small_store)
