"""A backtest of a strategy file: checks, resumption, the Dask run, progress and the outputs."""

from __future__ import annotations

import datetime as dt
import os
from collections.abc import Callable
from pathlib import Path
from typing import Any, Optional, Union

import pandas as pd

from morvane.backtest import config, engine, output, parallel, report
from morvane.backtest.config import ConfigError, Strategy
from morvane.backtest.files import RunFolder
from morvane.backtest.progress import Progress
from morvane.backtest.record import Record

__all__ = ["run", "strategies_of", "check_data"]

Config = Union[str, "os.PathLike[str]", Strategy, list[Strategy]]


def strategies_of(source: Config) -> list[Strategy]:
    """Strategies from a strategy file's path, or given already validated."""
    if isinstance(source, Strategy):
        return [source]
    if isinstance(source, list):
        if not all(isinstance(s, Strategy) for s in source):
            raise ConfigError("expected a strategy file path or a list of Strategy objects")
        names = [s.name for s in source]
        repeated = sorted({n for n in names if names.count(n) > 1})
        if repeated:
            raise ConfigError(f"strategy names must differ, {repeated[0]!r} is repeated")
        return list(source)
    return config.load(source)


def check_data(strategy: Strategy) -> tuple[list[dt.date], dt.date]:
    """Check a strategy against the market store before any work: its calendar, its index
    universe and its benchmark.  Returns its rebalance days and last day."""
    import tarnwick

    days, last = engine.plan(strategy)
    where = f"strategy {strategy.name!r}"
    if isinstance(strategy.universe, str) and strategy.universe != "all":
        if not tarnwick.index_components(strategy.universe, days[0]):
            raise ConfigError(
                f"{where}: universe = {strategy.universe!r} is refused: not an index with "
                f'members on {days[0]}; use an index code, "all" or a list of order_book_ids'
            )
    if (
        strategy.benchmark is not None
        and tarnwick.index_weights(strategy.benchmark, days[0]) is None
    ):
        raise ConfigError(
            f"{where}: benchmark = {strategy.benchmark!r} is refused: not an index with weights "
            f"on {days[0]}"
        )
    return days, last


def _check_cluster(workers: Optional[int], scheduler: Optional[str]) -> None:
    if workers is not None and scheduler is not None:
        raise ConfigError("give either workers or scheduler, not both")
    if workers is not None and (not isinstance(workers, int) or workers < 1):
        raise ConfigError(f"workers = {workers!r} is refused: must be a whole number from 1")


def _write_run(
    out: Path,
    strategies: list[Strategy],
    rows: dict[str, dict[str, Any]],
    navs: dict[str, pd.DataFrame],
    finished: dict[str, list[Record]],
) -> pd.DataFrame:
    """Write the run's summary table and report page; returns the table."""
    table = output.summary_table({s.name: rows.get(s.name, {}) for s in strategies})
    out.mkdir(parents=True, exist_ok=True)
    output.write_summary(out, table)
    report.write_run(out / "report.html", strategies, table, navs, finished)
    return table


def _run_on_dask(
    jobs: list[parallel.Job],
    workers: Optional[int],
    scheduler: Optional[str],
    on_record: Callable[[str, Record], None],
    on_done: parallel.Finished,
) -> None:
    """Run ``jobs`` on the cluster at ``scheduler``, or on a local one of ``workers`` processes
    (default: one per job, at most the machine's cores)."""
    count = workers or min(len(jobs), os.cpu_count() or 1)
    with parallel.cluster(None if scheduler else count, scheduler) as client:
        parallel.run_jobs(client, jobs, parallel.store_home(), on_record, on_done)


def run(
    source: Config,
    out: Union[str, os.PathLike[str]],
    *,
    workers: Optional[int] = None,
    scheduler: Optional[str] = None,
    progress: bool = True,
) -> pd.DataFrame:
    """Backtest every strategy of ``source`` (a strategy file or Strategy objects) into ``out``.

    Strategies run in parallel on Dask: a local cluster of ``workers`` processes (default: one
    per strategy, at most the machine's cores), or the existing cluster at ``scheduler``.
    Rerun with the same ``out`` after an interruption, a run continues from the last finished
    rebalance.  Returns the summary table (one row per strategy); raises
    :class:`~morvane.backtest.engine.BacktestError` after writing the outputs if a strategy
    stopped on an error.
    """
    import tarnwick

    strategies = strategies_of(source)
    _check_cluster(workers, scheduler)
    out = Path(out)
    plans = {s.name: check_data(s) for s in strategies}
    folders = {s.name: RunFolder(out, s) for s in strategies}
    done = {name: folder.load() for name, folder in folders.items()}
    for folder in folders.values():
        folder.start()

    rows: dict[str, dict[str, Any]] = {}
    finished: dict[str, list[Record]] = {}
    navs: dict[str, pd.DataFrame] = {}
    bars = Progress(
        {n: len(p[0]) for n, p in plans.items()}, {n: len(d) for n, d in done.items()}, progress
    )

    def complete(strategy: Strategy, records: list[Record]) -> None:
        folder = folders[strategy.name]
        for record in records:
            folder.save(record)
        base = tarnwick.get_previous_trading_date(plans[strategy.name][0][0])
        navs[strategy.name], rows[strategy.name] = output.write_strategy(
            folder.path, strategy, records, base
        )
        finished[strategy.name] = records
        bars.finish(strategy.name, len(records))

    def on_record(name: str, record: Record) -> None:
        if folders[name].save(record):
            bars.step(name)

    def on_done(
        job: parallel.Job, records: Optional[list[Record]], error: Optional[BaseException]
    ) -> None:
        if error is not None:
            rows[job.strategy.name] = {"error": str(error)}
        else:
            assert records is not None
            complete(job.strategy, records)

    jobs = []
    for strategy in strategies:
        if len(done[strategy.name]) == len(plans[strategy.name][0]):
            complete(strategy, done[strategy.name])
        else:
            jobs.append(parallel.Job(strategy, done[strategy.name]))
    try:
        if jobs:
            _run_on_dask(jobs, workers, scheduler, on_record, on_done)
    finally:
        bars.close()

    table = _write_run(out, strategies, rows, navs, finished)
    failed = table[table["error"].notna()]
    if len(failed):
        raise engine.BacktestError(
            "; ".join(f"{r.strategy}: {r.error}" for r in failed.itertuples())
        )
    return table
