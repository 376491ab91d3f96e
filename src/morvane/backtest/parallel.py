"""Strategies in parallel on Dask.

Strategies are independent, so each one is one Dask task; a strategy is sequential inside its task,
because each rebalance starts from the last.  A task receives everything it needs as arguments
(the validated strategy, the records it resumes from, the market store's folder): nothing relies
on module state of the driver process, and the workers only need to read the same store path.
Each finished rebalance travels back at once through a Dask queue, so the driver keeps it on disk
(the run can resume from it) and moves the strategy's progress bar; the task's result is the
complete list of records.
"""

from __future__ import annotations

import contextlib
import logging
import os
import socket
import time
import uuid
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Optional

from morvane.backtest import engine
from morvane.backtest.config import Strategy
from morvane.backtest.record import Record

__all__ = ["Job", "cluster", "run_jobs", "store_home"]

_POLL_SECONDS = 0.2


@dataclass
class Job:
    """A strategy to run and the records it resumes from."""

    strategy: Strategy
    done: list[Record]


@contextlib.contextmanager
def cluster(workers: Optional[int] = None, scheduler: Optional[str] = None) -> Iterator[Any]:
    """A Dask client: of an existing cluster at ``scheduler``, else of a local cluster with
    ``workers`` worker processes (one thread each)."""
    from distributed import Client, LocalCluster

    if scheduler is not None:
        with Client(scheduler) as client:
            yield client
        return
    with (
        LocalCluster(
            n_workers=workers or 1,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            silence_logs=logging.ERROR,
        ) as local,
        Client(local) as client,
    ):
        yield client


def store_home() -> str:
    """The folder of the driver's market store as an absolute path: a worker runs in a working
    folder of its own, where a relative ``TARNWICK_HOME`` would name another store."""
    from tarnwick import store

    return os.path.abspath(store.store_path().parent)


@contextlib.contextmanager
def _store_at(home: str) -> Iterator[None]:
    """Read the market store in ``home`` for the duration of a task."""
    from tarnwick import store

    if not os.path.isabs(home):
        raise ValueError(
            f"the market store's folder {home!r} is relative; workers need an absolute path"
        )
    path = Path(home) / "market.duckdb"
    if not path.is_file():
        raise FileNotFoundError(
            f"the market store {path} is not readable on worker host {socket.gethostname()}; "
            "every worker needs the store at the driver's path"
        )
    before = os.environ.get("TARNWICK_HOME")
    os.environ["TARNWICK_HOME"] = home
    try:
        yield
    finally:
        if before is None:
            os.environ.pop("TARNWICK_HOME", None)
        else:
            os.environ["TARNWICK_HOME"] = before
        store.close()


def strategy_task(
    strategy: Strategy, done: list[Record], home: str, queue_name: str
) -> list[Record]:
    """Run one strategy on a worker, sending each new record to the queue ``queue_name``."""
    from distributed import Queue, get_client

    queue = Queue(queue_name, client=get_client())

    def emit(record: Record) -> None:
        queue.put({"strategy": strategy.name, "record": record})

    with _store_at(home):
        return engine.run_strategy(strategy, done, emit)


Finished = Callable[[Job, Optional[list[Record]], Optional[BaseException]], None]


def run_jobs(
    client: Any,
    jobs: list[Job],
    home: str,
    on_record: Callable[[str, Record], None],
    on_done: Finished,
) -> None:
    """Run ``jobs`` on ``client``'s cluster; ``on_record(name, record)`` for each rebalance as it
    finishes, ``on_done(job, records, error)`` for each strategy as it ends."""
    from distributed import Queue

    run_id = uuid.uuid4().hex
    queue = Queue(f"morvane-backtest-{run_id}", client=client)
    futures = {
        client.submit(
            strategy_task,
            job.strategy,
            job.done,
            home,
            queue.name,
            key=f"morvane-backtest-{job.strategy.name}-{run_id}",
            pure=False,
        ): job
        for job in jobs
    }

    def drain() -> None:
        for item in queue.get(batch=True):
            on_record(item["strategy"], item["record"])

    pending = dict(futures)
    try:
        while pending:
            finished = [f for f in pending if f.done()]
            drain()
            for future in finished:
                job = pending.pop(future)
                try:
                    records = future.result()
                except Exception as exc:  # the strategy's own error, reported by on_done
                    on_done(job, None, exc)
                else:
                    on_done(job, records, None)
            if pending and not finished:
                time.sleep(_POLL_SECONDS)
        drain()
    finally:
        for future in pending:
            future.cancel()
