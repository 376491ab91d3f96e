"""Building the sample market into a store file: generate, write the tables, estimate the risk
model, and move the file into place only when it is complete.

Only a build loads the generator: the client reaches this module through ``tarnwick.store.build``
when it is called (or when the first query finds no store), never on ``import tarnwick``.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from pathlib import Path

import duckdb

from tarnwick.build.meta import write_meta
from tarnwick.build.riskmodel import estimate_risk_model
from tarnwick.build.write import create_tables, insert_frame
from tarnwick.db.atomic import remove_stale_temps, temp_path
from tarnwick.db.location import check_location, store_path
from tarnwick.errors import StoreError
from tarnwick.progress import Progress
from tarnwick.sources import sample as _sample

__all__ = ["write_market", "build"]


def write_market(
    con: duckdb.DuckDBPyConnection,
    market: _sample.SampleMarket,
    progress: Callable[[float, str], None] | None = None,
) -> None:
    """Create the tables of ``market`` on the read-write connection ``con``."""
    report = progress or (lambda f, s: None)
    frames = {
        "instruments": market.instruments,
        "trading_dates": market.trading_dates,
        "daily_bars": market.daily_bars,
        "factor_values": market.factor_values,
        "index_components": market.index_components,
        "industries": market.industries,
        "style_descriptors": market.style_descriptors,
    }
    create_tables(con, list(frames))
    for k, (table, frame) in enumerate(frames.items()):
        insert_frame(con, table, frame)
        report((k + 1) / (len(frames) + 1), table)
    write_meta(con, dict(market.meta))
    report(1.0, "meta")


def _write_store(tmp: Path, size: str, seed: int, bar: Progress) -> None:
    """Generate the market and write it, with its risk model, into the new file ``tmp``."""
    market = _sample.generate(size, seed, progress=bar.sub(0.45))
    con = duckdb.connect(str(tmp))
    try:
        write_market(con, market, progress=bar.sub(0.3))
        del market
        estimate_risk_model(con, progress=bar.sub(0.25))
        con.execute("CHECKPOINT")
    finally:
        con.close()


def build(
    size: str = "full",
    path: str | os.PathLike[str] | None = None,
    seed: int = _sample.DEFAULT_SEED,
    progress: bool = True,
    install: Callable[[Path, Path], None] = os.replace,
) -> Path:
    """Build the sample market of ``size`` into ``path`` (default: the usual store location).

    The store is written to a new temporary file next to the target and moved into place
    only when complete (by ``install(temporary, target)``), so an interrupted build leaves any
    existing store untouched.  Returns the path of the store.
    """
    _sample.config(size)  # validates size
    target = Path(path).expanduser() if path is not None else store_path()
    check_location(target)
    target.parent.mkdir(parents=True, exist_ok=True)
    remove_stale_temps(target)
    tmp = temp_path(target)
    try:
        tmp.touch(exist_ok=False)  # fails now, not after the generating, if we cannot write
    except OSError as exc:
        raise StoreError(f"cannot write the store {target}: {exc.strerror or exc}") from exc
    bar = Progress(f"tarnwick {size}", total=1.0, enabled=progress)
    try:
        tmp.unlink()
        _write_store(tmp, size, seed, bar)
        install(tmp, target)
        bar.finish()
    except BaseException:
        bar.close()
        for leftover in (tmp, tmp.with_name(tmp.name + ".wal")):
            try:
                leftover.unlink()
            except FileNotFoundError:
                pass
        raise
    return target
