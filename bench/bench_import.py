"""Daily updates of an imported market against a full import and a full rebuild.

Exports the store at ``--store`` (a built sample market) to Parquet, splits off its last
``--days`` trading days, imports the rest into a fresh store (a full import), then imports the
split-off days into it (the update), and compares the result with a full import of everything.
With ``--rebuild SIZE`` it also times ``tarnwick sample --size SIZE`` into a scratch path.

Usage::

    python bench/bench_import.py --store /path/market.duckdb --work /scratch/dir \\
        [--days 1] [--rebuild full]

Wall-clock seconds, one run each, printed as a table; the update is also shown as a fraction
of the full import and of the rebuild measured in the same run.
"""

from __future__ import annotations

import argparse
import shutil
import time
from pathlib import Path

import duckdb

from tarnwick import store
from tarnwick.exporter import export_dir
from tarnwick.importer import import_dir


def _split(source: Path, target: Path, keep: str) -> Path:
    target.mkdir(parents=True)
    with duckdb.connect() as con:
        for file in sorted(source.glob("*.parquet")):
            columns = [r[0] for r in con.execute(
                "DESCRIBE SELECT * FROM read_parquet(?)", [str(file)]).fetchall()]
            where = f" WHERE {keep}" if "date" in columns else ""
            con.execute(f"COPY (SELECT * FROM read_parquet(?){where}) TO ? (FORMAT parquet)",
                        [str(file), str(target / file.name)])
    return target


def _timed(label: str, results: dict[str, float], work) -> object:
    t0 = time.perf_counter()
    out = work()
    results[label] = time.perf_counter() - t0
    print(f"{label:<28} {results[label]:8.2f} s", flush=True)
    return out


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--store", required=True, type=Path)
    p.add_argument("--work", required=True, type=Path)
    p.add_argument("--days", type=int, default=1)
    p.add_argument("--rebuild", choices=["full", "small"], default=None)
    args = p.parse_args()
    if args.work.exists():
        shutil.rmtree(args.work)
    exported = args.work / "exported"
    results: dict[str, float] = {}
    _timed("export (parquet)", results, lambda: export_dir(exported, path=args.store))
    with duckdb.connect() as con:
        cut = con.execute(
            "SELECT date FROM read_parquet(?) ORDER BY date DESC LIMIT 1 OFFSET ?",
            [str(exported / "trading_dates.parquet"), args.days - 1],
        ).fetchone()[0]
    head = _split(exported, args.work / "head", f"date < DATE '{cut}'")
    tail = _split(exported, args.work / "tail", f"date >= DATE '{cut}'")
    updated = args.work / "updated" / "market.duckdb"
    whole = args.work / "whole" / "market.duckdb"
    _timed("full import (all days)", results, lambda: import_dir(exported, whole, progress=False))
    _timed("import without the last days", results,
           lambda: import_dir(head, updated, progress=False))
    _timed(f"update of {args.days} day(s)", results,
           lambda: import_dir(tail, updated, progress=False))
    if args.rebuild:
        scratch = args.work / "rebuild" / "market.duckdb"
        scratch.parent.mkdir()
        _timed(f"rebuild (sample {args.rebuild})", results,
               lambda: store.build(args.rebuild, path=scratch, progress=False))
    update = results[f"update of {args.days} day(s)"]
    print(f"update / full import: {update / results['full import (all days)']:.3f}")
    if args.rebuild:
        print(f"update / rebuild: {update / results[f'rebuild (sample {args.rebuild})']:.3f}")


if __name__ == "__main__":
    main()
