"""Command line of the market store: ``tarnwick sample|riskmodel|export|import|info``."""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import duckdb

from tarnwick import exporter, importer, riskmodel, store
from tarnwick.sources import sample


def _cmd_sample(args: argparse.Namespace) -> int:
    t0 = time.monotonic()
    path = store.build(args.size, path=args.path, seed=args.seed, progress=not args.quiet)
    size_mb = Path(path).stat().st_size / 1e6
    print(
        f"built the {args.size} sample market in {time.monotonic() - t0:.1f}s: {path} "
        f"({size_mb:.1f} MB)"
    )
    return 0


def _cmd_riskmodel(args: argparse.Namespace) -> int:
    path = _existing_store(args.path)
    store.close()
    riskmodel.rebuild_risk_model(path)
    return 0


def _cmd_export(args: argparse.Namespace) -> int:
    files = exporter.export_dir(args.dir, path=args.path, format=args.format)
    print(f"exported {len(files)} tables to {Path(args.dir).expanduser()}")
    return 0


def _cmd_import(args: argparse.Namespace) -> int:
    t0 = time.monotonic()
    path = importer.import_dir(args.dir, path=args.path, progress=not args.quiet)
    print(f"imported {args.dir} in {time.monotonic() - t0:.1f}s: {path}")
    return 0


def _existing_store(arg: str | None) -> Path:
    """The store file named by ``--path`` (else the usual one); StoreError in one line when
    the location is wrong or holds no store."""
    path = Path(arg).expanduser() if arg else store.store_path()
    if path.is_dir():
        raise store.StoreError(f"{path} is a folder; name the store file")
    if not path.is_file():
        store.check_location(path)
        raise store.StoreError(
            f"no market store at {path} (any query builds the full sample market; or run "
            "`tarnwick sample`)"
        )
    return path


def _cmd_info(args: argparse.Namespace) -> int:
    path = _existing_store(args.path)
    store.verify(path)
    print(f"path: {path}")
    print(f"file size: {path.stat().st_size / 1e6:.1f} MB")
    store.close()
    con = duckdb.connect(str(path), read_only=True)
    try:
        tables = [r[0] for r in con.execute("SHOW TABLES").fetchall()]
        if "meta" in tables:
            for key, value in con.execute("SELECT key, value FROM meta ORDER BY key").fetchall():
                print(f"{key}: {value}")
        print("tables:")
        for t in tables:
            # Table names come from the catalogue itself; quoted as identifiers.
            n = con.execute(f'SELECT count(*) FROM "{t}"').fetchone()[0]
            print(f"  {t:<24} {n:>12,d} rows")
    finally:
        con.close()
    return 0


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="tarnwick", description="Sample A-share market store")
    sub = p.add_subparsers(dest="command", required=True)
    s = sub.add_parser("sample", help="build the sample market store")
    s.add_argument("--size", choices=sample.SIZES, default="full")
    s.add_argument("--path", default=None, help="store file (default: the usual location)")
    s.add_argument("--seed", type=int, default=sample.DEFAULT_SEED)
    s.add_argument("--quiet", action="store_true", help="no progress bar")
    s.set_defaults(func=_cmd_sample)
    r = sub.add_parser("riskmodel", help="rebuild the risk model tables of a store")
    r.add_argument("--path", default=None)
    r.set_defaults(func=_cmd_riskmodel)
    e = sub.add_parser("export", help="write the store's raw tables, one file per table")
    e.add_argument("dir")
    e.add_argument("--path", default=None, help="store file (default: the usual location)")
    e.add_argument("--format", choices=exporter.FORMATS, default="parquet")
    e.set_defaults(func=_cmd_export)
    m = sub.add_parser("import", help="import or update a market from CSV or Parquet files")
    m.add_argument("dir")
    m.add_argument("--path", default=None, help="store file (default: the usual location)")
    m.add_argument("--quiet", action="store_true", help="no progress bar")
    m.set_defaults(func=_cmd_import)
    i = sub.add_parser("info", help="show the store's location, size and tables")
    i.add_argument("--path", default=None)
    i.set_defaults(func=_cmd_info)
    return p


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return int(args.func(args))
    except (ValueError, TypeError, RuntimeError, OSError, duckdb.Error) as exc:
        text = str(exc).strip()
        print(f"tarnwick: {text.splitlines()[0] if text else type(exc).__name__}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("tarnwick: interrupted; any existing store is unchanged", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
