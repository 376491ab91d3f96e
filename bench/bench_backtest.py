"""Wall time of a grid backtest on the full sample market, with 1 and with 2 Dask workers.

The problem: a 24-month monthly backtest of whole-market tracking (every listed stock, minimum
tracking error against 000905.XSHG, at most 2% in a stock, 10 bps costs) on a grid of two turnover
limits, so two strategies that Dask can run side by side.  Each worker count runs into a fresh
output folder; the script checks that both runs give the same NAVs.

Usage::

    TARNWICK_HOME=/path/to/full python bench/bench_backtest.py [--workers 1 2]
        [--start 2024-01-01] [--months 24] [--limits 0.1 0.3]
"""

from __future__ import annotations

import argparse
import datetime as dt
import sys
import tempfile
import time
from pathlib import Path

STRATEGY = """
[[strategy]]
name = "track"
universe = "all"
benchmark = "000905.XSHG"
start = {start}
end = {end}
rebalance = "monthly"
cost_bps = 10
objective = {{type = "MinTrackingError"}}
bnds = {{"*" = [0, 0.02]}}
constraints = [{{type = "TurnoverLimit", upper_limit = 0.3}}]

[grid]
"constraints.0.upper_limit" = [{limits}]
"""


def _end(start: dt.date, months: int) -> dt.date:
    year, month = divmod(start.month - 1 + months, 12)
    return dt.date(start.year + year, month + 1, 1) - dt.timedelta(days=1)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--start", type=dt.date.fromisoformat, default=dt.date(2024, 1, 1))
    parser.add_argument("--months", type=int, default=24)
    parser.add_argument("--limits", type=float, nargs="+", default=[0.005, 0.3])
    args = parser.parse_args(argv)

    import pandas as pd

    from morvane.backtest import run

    with tempfile.TemporaryDirectory(prefix="bench-backtest-") as tmp:
        path = Path(tmp) / "grid.toml"
        text = STRATEGY.format(
            start=args.start,
            end=_end(args.start, args.months),
            limits=", ".join(str(v) for v in args.limits),
        )
        path.write_text(text, encoding="utf-8")
        seconds, navs = {}, {}
        for workers in args.workers:
            out = Path(tmp) / f"out-{workers}"
            start = time.perf_counter()
            summary = run(path, out, workers=workers, progress=False)
            seconds[workers] = time.perf_counter() - start
            navs[workers] = {n: pd.read_parquet(out / n / "nav.parquet") for n in summary.strategy}
            rebalances = sum(
                len(list((out / n / "rebalances").glob("*.json"))) for n in navs[workers]
            )
            print(
                f"{workers} worker(s): {seconds[workers]:.1f} s for {len(summary)} strategies, "
                f"{rebalances} rebalances",
                flush=True,
            )
        first = args.workers[0]
        for workers in args.workers[1:]:
            for name, nav in navs[first].items():
                pd.testing.assert_frame_equal(nav, navs[workers][name], check_exact=True)
            print(
                f"{first} vs {workers} worker(s): same NAVs; "
                f"speed-up {seconds[first] / seconds[workers]:.2f}x"
            )
        print(summary.drop(columns=["error"]).to_string(index=False, float_format="%.4f"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
