"""Raw tables from a folder of CSV or Parquet files, one file per table.

Each file is read as it is into a staging table of the build's database, with the cells of a
CSV file kept as text, so that validation can name the file, line and column of a bad cell.
A staging table keeps the file's row order, so ``rowid + 2`` is the line of a row in a CSV
file (the header is line 1), and the same count for a Parquet file's rows.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

import duckdb

from tarnwick.db.layout import RAW_TABLES

__all__ = ["SUFFIXES", "TableFile", "find_files", "stage"]

SUFFIXES = (".csv", ".parquet")


@dataclass(frozen=True)
class TableFile:
    """One table's file and the name of its staging table."""

    table: str
    path: Path

    @property
    def staged(self) -> str:
        return f"raw_{self.table}"


def find_files(directory: str | os.PathLike[str]) -> dict[str, TableFile]:
    """The table files of ``directory``: ``<table>.csv`` or ``<table>.parquet`` for every
    table of the layout.  ValueError when the folder is missing, a table has both, or a
    CSV or Parquet file is not named after a table (a misspelt name would be left out)."""
    folder = Path(directory).expanduser()
    if not folder.is_dir():
        raise ValueError(f"{folder} is not a folder")
    names = [t.name for t in RAW_TABLES]
    for entry in sorted(folder.iterdir()):
        if entry.suffix in SUFFIXES and not entry.name.startswith(".") and entry.stem not in names:
            raise ValueError(f"{entry}: not a table of the layout ({', '.join(names)})")
    found: dict[str, TableFile] = {}
    for table in RAW_TABLES:
        paths = [p for p in (folder / f"{table.name}{s}" for s in SUFFIXES) if p.exists()]
        if len(paths) > 1:
            raise ValueError(
                f"{folder}: both {paths[0].name} and {paths[1].name}; keep one file per table"
            )
        if paths:
            found[table.name] = TableFile(table.name, paths[0])
    return found


def stage(con: duckdb.DuckDBPyConnection, file: TableFile) -> list[str]:
    """Read ``file`` into the table ``file.staged`` of ``con``; returns its columns in file
    order.  ValueError naming the file when it cannot be read."""
    reader = (
        "read_csv(?, header = true, all_varchar = true, auto_detect = true)"
        if file.path.suffix == ".csv"
        else "read_parquet(?)"
    )
    try:
        con.execute(
            f"CREATE OR REPLACE TEMP TABLE {file.staged} AS SELECT * FROM {reader}",
            [str(file.path)],
        )
    except duckdb.Error as exc:
        raise ValueError(f"{file.path}: cannot be read ({exc})") from exc
    rows = con.execute(
        "SELECT column_name FROM duckdb_columns() WHERE table_name = ? AND database_name = 'temp' "
        "ORDER BY column_index",
        [file.staged],
    ).fetchall()
    return [r[0] for r in rows]
