"""The ``morvane run`` and ``morvane backtest`` subcommands."""

from __future__ import annotations

import argparse
import datetime as dt
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

__all__ = ["register"]


def _pick(strategies: list[Any], name: str | None, source: str) -> Any:
    from morvane.backtest.config import ConfigError

    names = [s.name for s in strategies]
    if name is None:
        if len(strategies) == 1:
            return strategies[0]
        raise ConfigError(
            f"{source} holds {len(names)} strategies; choose one with --strategy: "
            f"{', '.join(names)}"
        )
    if name not in names:
        raise ConfigError(
            f"--strategy {name!r} is not in {source}; its strategies: {', '.join(names)}"
        )
    return strategies[names.index(name)]


def _failure_text(exc: Exception) -> str:
    """The optimiser's status and, for an infeasible problem, the conflicting constraints."""
    text = str(exc)
    conflicts = getattr(exc, "conflicts", None)
    if conflicts:
        text += "; conflicting constraints: " + ", ".join(repr(c) for c in conflicts)
    return text


def _print_failures(out: str, names: list[str]) -> None:
    """Every strategy's failed rebalances, one line each, from its statistics file."""
    import json

    from morvane.backtest import failures

    for name in names:
        path = Path(out) / name / "stats.json"
        if not path.is_file():
            continue
        stats = json.loads(path.read_text(encoding="utf-8"))
        found = failures.failures(name, stats.get("failures") or [])
        if found:
            print(f"{name}: {len(found)} of {stats.get('rebalances')} rebalances failed")
            for line in failures.lines(found):
                print(f"  {line}")


def _cmd_run(args: argparse.Namespace) -> int:
    import tarnwick
    from morvane.backtest import config, engine, infeasible, objects
    from morvane.exception import OptimizationFailed
    from morvane.files import write_atomic

    strategy = _pick(config.load(args.file), args.strategy, args.file)
    date: dt.date = args.date
    if date not in set(tarnwick.get_trading_dates(date, date)):
        raise ValueError(f"{date} is not a trading day")
    holding = objects.Holding(cash=strategy.capital)  # a single optimisation starts from cash
    try:
        weights, _ = engine.optimise(strategy, date, holding)
    except OptimizationFailed as exc:
        print(f"morvane: {strategy.name} on {date}: {_failure_text(exc)}", file=sys.stderr)
        return 1
    for dropped in infeasible.dropped(weights):
        print(f"morvane: dropped to solve: {dropped}", file=sys.stderr)
    table = weights.rename("weight").rename_axis("order_book_id").to_frame()
    text = table.to_csv(float_format="%.10g")
    if args.out is None:
        sys.stdout.write(text)
    else:
        write_atomic(args.out, text)
        held = int((weights > 1e-4).sum())
        print(
            f"{strategy.name} on {date}: {len(weights)} stocks, {held} with weight at least "
            f"0.01%; weights written to {args.out}"
        )
    return 0


def _cmd_backtest(args: argparse.Namespace) -> int:
    from morvane.backtest import BacktestError, run

    try:
        table = run(
            args.file,
            args.out,
            workers=args.workers,
            scheduler=args.scheduler,
            progress=not args.quiet,
        )
    except BacktestError as exc:
        print(f"morvane: {exc}", file=sys.stderr)
        print(f"outputs of the other strategies are in {args.out}", file=sys.stderr)
        return 1
    with_pd_options = table.drop(columns=["error"]).to_string(index=False, float_format="%.4f")
    print(with_pd_options)
    _print_failures(args.out, [str(n) for n in table["strategy"]])
    print(f"outputs in {args.out} (summary.csv, report.html, one folder per strategy)")
    return 0


def register(sub: Any, date: Callable[[str], dt.date], count: Callable[[str], int]) -> None:
    """Add the subcommands to the ``morvane`` parser's subparsers; ``date`` and ``count`` parse
    a date and a positive whole number as the other subcommands do."""
    run = sub.add_parser("run", help="one optimisation of a strategy file's strategy for one date")
    run.add_argument("file", help="strategy file (TOML)")
    run.add_argument("--date", type=date, required=True, help="trading day of the optimisation")
    run.add_argument("--strategy", default=None, help="strategy name (if the file has several)")
    run.add_argument("--out", default=None, help="CSV file for the weights (default: stdout)")
    run.set_defaults(func=_cmd_run)

    backtest = sub.add_parser("backtest", help="backtest every strategy of a strategy file")
    backtest.add_argument("file", help="strategy file (TOML)")
    backtest.add_argument("--out", required=True, help="output folder (rerun it to resume)")
    where = backtest.add_mutually_exclusive_group()
    where.add_argument(
        "--workers",
        type=count,
        default=None,
        help="worker processes of the local Dask cluster "
        "(default: one per strategy, at most the machine's cores)",
    )
    where.add_argument(
        "--scheduler",
        default=None,
        metavar="ADDRESS",
        help="address of an existing Dask scheduler (tcp://host:8786)",
    )
    backtest.add_argument("--quiet", action="store_true", help="no progress bars")
    backtest.set_defaults(func=_cmd_backtest)
