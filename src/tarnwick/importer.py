"""Import of a market from a folder of CSV or Parquet files into a store.

``import_dir(folder)`` reads the raw tables in the layout that ``tarnwick export`` writes
(``docs/store.md``), validates them, writes them into a new store or into the existing one,
and estimates the risk model.  The store is replaced atomically: bad input or an interruption
leaves it untouched.
"""

from __future__ import annotations

import os
import shutil
import warnings
from pathlib import Path

import duckdb

from tarnwick.build import descriptors, write
from tarnwick.build.meta import write_meta
from tarnwick.build.riskmodel import estimate_risk_model
from tarnwick.build.validate import validate
from tarnwick.db.atomic import replacing
from tarnwick.errors import DataError, InvalidFileError
from tarnwick.progress import Progress
from tarnwick.sources.files import TableFile, find_files, stage

__all__ = ["DataError", "InvalidFileError", "DataGapWarning", "import_dir"]


class DataGapWarning(UserWarning):
    """An import completed with a gap the user should know about (styles left at 0, a
    classification filled from another)."""


def _has_store(path: Path) -> bool:
    return path.is_file()


def _meta(con: duckdb.DuckDBPyConnection, key: str) -> str | None:
    row = con.execute("SELECT value FROM meta WHERE key = ?", [key]).fetchone()
    return None if row is None else str(row[0])


def _load(
    con: duckdb.DuckDBPyConnection, files: dict[str, TableFile], update: bool, bar: Progress
) -> tuple[list[str], list[str] | None]:
    """Stage and validate the folder's files; (the tables given, the columns of the
    style_descriptors file or None)."""
    columns = {}
    for name, file in files.items():
        columns[name] = stage(con, file)
        bar.step(f"read {file.path.name}")
    validate(con, files, columns, "instruments" if update else None)
    bar.step("validated")
    return list(files), columns.get("style_descriptors")


def _import_into(
    con: duckdb.DuckDBPyConnection, files: dict[str, TableFile], update: bool, bar: Progress
) -> None:
    """Validate and write the files into the store open on ``con``, compute the styles it
    lacks, estimate the risk model (from the first new day when it can) and set ``meta``."""
    present, style_columns = _load(con, files, update, bar)
    if "industries" in present or not update:
        for message in write.complete_classifications(con, present):
            warnings.warn(message, DataGapWarning, stacklevel=3)
    if update:
        written = write.write_update(con, present)
    else:
        written = write.write_new(con, present)
    bar.step("tables written")
    plan = descriptors.plan(con, style_columns, update)
    for message in plan.warnings():
        warnings.warn(message, DataGapWarning, stacklevel=3)
    since = None if written.history_changed or not written.days else written.days[0]
    estimation = "full"
    if written.days or written.history_changed:
        descriptors.derive(con, plan, since)
        bar.step("descriptors")
        if estimate_risk_model(con, since=since, progress=bar.sub(8)):
            estimation = f"incremental from {since}"
    else:
        estimation = _meta(con, "risk_model_estimation") or "full"
    write_meta(
        con,
        {
            "source": "import",
            "risk_model_estimation": estimation,
            "derived_styles": ",".join(plan.derived),
            "descriptor_dates": "file" if plan.dates_from_file else "month_end",
        },
    )


def import_dir(
    directory: str | os.PathLike[str],
    path: str | os.PathLike[str] | None = None,
    progress: bool = True,
) -> Path:
    """Import the market in ``directory`` into the store at ``path`` (default: the store in
    use) and estimate its risk model; returns the store's path.

    Into a new path, the folder must hold at least instruments, trading_dates, daily_bars and
    factor_values.  Into an existing store, the import adds or replaces the days listed in
    the folder's trading_dates: the rows of those days of every dated table the folder has,
    and the instruments and industries tables when it has them; the risk model is then
    re-estimated from the first of those days on, so that the result equals a full import of
    the same data.  Styles that can be computed from prices and caps are computed when the
    folder gives no values for them; the others stay at exposure 0, with an
    :class:`DataGapWarning` naming them.  Bad input raises :class:`InvalidFileError` (a
    :class:`DataError`) naming the file, line and column, and writes nothing.
    """
    from tarnwick import store  # the client's store: its default location and connection

    folder = Path(directory).expanduser()
    files = find_files(folder)
    if not files:
        raise ValueError(f"{folder} has no table files (<table>.csv or <table>.parquet)")
    target = Path(path).expanduser() if path is not None else store.store_path()
    update = _has_store(target)
    created_parent = not target.parent.exists()
    target.parent.mkdir(parents=True, exist_ok=True)
    # Steps: one per file read, validation, writing, styles; the estimation counts eight.
    bar = Progress("tarnwick import", total=len(files) + 11, enabled=progress)
    try:
        with replacing(target) as tmp:
            if update:
                shutil.copyfile(target, tmp)
            con = duckdb.connect(str(tmp))
            try:
                _import_into(con, files, update, bar)
                con.execute("CHECKPOINT")
            finally:
                con.close()
            store.close()
    except BaseException:
        bar.close()
        if created_parent:
            shutil.rmtree(target.parent, ignore_errors=True)
        raise
    bar.finish()
    return target
