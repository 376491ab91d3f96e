"""Backtests of a strategy file on the small sample market, run on a local Dask cluster of two
worker processes; NAV and turnover checked against an independent recomputation from the store."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pytest

import tarnwick
from morvane.backtest import BacktestError, ConfigError, config, engine, run
from morvane.cli import main
from morvane.exception import OptimizationFailed

STRATEGIES = """
[[strategy]]
name = "tracking"
universe = "000300.XSHG"
benchmark = "000300.XSHG"
start = 2025-01-01
end = 2025-04-30
rebalance = "monthly"
cost_bps = 10
solver = "CLARABEL"
objective = {type = "MinVariance"}
bnds = {"*" = [0, 0.1]}
constraints = [
  {type = "TrackingErrorLimit", upper_limit = 0.1, hard = false},
  {type = "TurnoverLimit", upper_limit = 0.15},
]

[[strategy]]
name = "sharpe"
universe = "000905.XSHG"
start = 2025-01-01
end = 2025-03-15
rebalance = "weekly"
cost_bps = 5
solver = "CLARABEL"
objective = {type = "MaxSharpeRatio", window = 60}
bnds = {"*" = [0, 0.08]}
"""
COSTS = {"tracking": 10.0, "sharpe": 5.0}
TURNOVER_LIMIT = 0.15


@pytest.fixture(scope="module")
def strategy_file(small_store: Path, tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("strategies") / "strategies.toml"
    path.write_text(STRATEGIES, encoding="utf-8")
    return path


@pytest.fixture(scope="module")
def clean_run(strategy_file: Path, tmp_path_factory: pytest.TempPathFactory) -> Path:
    out = tmp_path_factory.mktemp("backtest") / "out"
    run(strategy_file, out, workers=2, progress=False)
    return out


def _replay(weights: pd.DataFrame, dates: pd.Series, cost_bps: float) -> tuple[list[float], dict]:
    """NAV path and the drifted weights before each rebalance, from the traded weights, the
    store's adjusted closes and the cost rule."""
    ids = sorted(weights["order_book_id"].unique())
    prices = tarnwick.get_price(
        ids, dates.iloc[0], dates.iloc[-1], fields="close", adjust_type="post", expect_df=False
    )
    prices = prices.reindex(pd.DatetimeIndex(dates)).ffill()
    returns = (prices / prices.shift(1) - 1.0).fillna(0.0)
    targets = {d: g.set_index("order_book_id")["weight"] for d, g in weights.groupby("date")}
    nav, held, path, drifted = 1.0, pd.Series(dtype=float), [1.0], {}
    for day in dates.iloc[1:]:
        if day in targets:
            drifted[day] = held
            new = targets[day]
            both = new.index.union(held.index)
            traded = (new.reindex(both, fill_value=0) - held.reindex(both, fill_value=0)).abs()
            nav *= 1.0 - cost_bps / 1e4 * traded.sum()
            held = new
        grown = held * (1.0 + returns.loc[day, held.index])
        nav *= grown.sum()
        held = grown / grown.sum()
        path.append(nav)
    return path, drifted


@pytest.mark.parametrize("name", ["tracking", "sharpe"])
def test_nav_matches_recomputation(clean_run: Path, name: str) -> None:
    nav = pd.read_parquet(clean_run / name / "nav.parquet")
    weights = pd.read_parquet(clean_run / name / "weights.parquet")
    assert list(nav.columns) == ["date", "portfolio", "benchmark"]
    assert list(weights.columns) == ["date", "order_book_id", "weight"]
    path, _ = _replay(weights, nav["date"], COSTS[name])
    np.testing.assert_allclose(nav["portfolio"], path, rtol=1e-10)
    first = weights["date"].min()
    assert nav["date"].iloc[0] == pd.Timestamp(tarnwick.get_previous_trading_date(first))
    if name == "tracking":
        index = tarnwick.get_price(
            "000300.XSHG",
            nav["date"].iloc[0],
            nav["date"].iloc[-1],
            fields="close",
            adjust_type="post",
            expect_df=False,
        )
        np.testing.assert_allclose(nav["benchmark"], (index / index.iloc[0]).to_numpy(), rtol=1e-10)
    else:
        assert nav["benchmark"].isna().all()
    stats = json.loads((clean_run / name / "stats.json").read_text())
    assert stats["failed_rebalances"] == 0 and stats["rebalances"] == weights["date"].nunique()
    daily = nav["portfolio"].pct_change().dropna()
    assert stats["volatility"] == pytest.approx(daily.std() * np.sqrt(252))
    assert stats["max_drawdown"] == pytest.approx(
        (1 - nav["portfolio"] / nav["portfolio"].cummax()).max()
    )


def test_turnover_limit_holds_against_drifted_holding(clean_run: Path) -> None:
    nav = pd.read_parquet(clean_run / "tracking" / "nav.parquet")
    weights = pd.read_parquet(clean_run / "tracking" / "weights.parquet")
    _, drifted = _replay(weights, nav["date"], COSTS["tracking"])
    turnovers = []
    for day, group in weights.groupby("date"):
        new, old = group.set_index("order_book_id")["weight"], drifted[day]
        both = new.index.union(old.index)
        turnovers.append(
            0.5 * (new.reindex(both, fill_value=0) - old.reindex(both, fill_value=0)).abs().sum()
        )
    assert turnovers[0] == pytest.approx(0.5)  # the first rebalance buys from cash, unconstrained
    assert max(turnovers[1:]) <= TURNOVER_LIMIT + 1e-6
    assert max(turnovers[1:]) > TURNOVER_LIMIT - 1e-3  # the limit binds, so it was applied
    stats = json.loads((clean_run / "tracking" / "stats.json").read_text())
    assert stats["average_turnover"] == pytest.approx(np.mean(turnovers[1:]), abs=1e-12)


def test_every_date_gets_fresh_objects(clean_run: Path) -> None:
    """A reused MaxSharpeRatio would keep its first date's expected returns."""
    from morvane.objective import MaxSharpeRatio
    from morvane.optimize import portfolio_optimize

    weights = pd.read_parquet(clean_run / "sharpe" / "weights.parquet")
    day = sorted(weights["date"].unique())[3]
    ours = weights[weights["date"] == day].set_index("order_book_id")["weight"]
    date = pd.Timestamp(day).date()
    fresh = portfolio_optimize(
        tarnwick.index_components("000905.XSHG", date),
        date,
        MaxSharpeRatio(window=60),
        bnds={"*": (0, 0.08)},
        solver="CLARABEL",
    )
    fresh = fresh[fresh != 0]
    pd.testing.assert_series_equal(ours, fresh, check_names=False, rtol=1e-9)


def test_summary_and_report(clean_run: Path) -> None:
    summary = pd.read_csv(clean_run / "summary.csv")
    assert list(summary["strategy"]) == ["tracking", "sharpe"] and summary["error"].isna().all()
    for column in ("annual_return", "volatility", "max_drawdown", "average_turnover", "total_cost"):
        assert summary[column].notna().all()
    assert np.isnan(summary.loc[1, "tracking_error"]) and summary.loc[0, "tracking_error"] > 0
    page = (clean_run / "report.html").read_text(encoding="utf-8")
    assert "NAV against benchmark" in page and "Drawdown" in page and "tracking benchmark" in page
    for name, last in (("tracking", "2025-04-01"), ("sharpe", "2025-03-10")):
        assert f"{name}: last rebalance, {last}</h2>" in page
    assert "No portfolio report" not in page


def test_resume_after_kill_equals_clean_run(
    strategy_file: Path, clean_run: Path, tmp_path: Path
) -> None:
    out = tmp_path / "out"
    command = [
        sys.executable,
        "-m",
        "morvane.cli",
        "backtest",
        str(strategy_file),
        "--out",
        str(out),
        "--workers",
        "2",
        "--quiet",
    ]
    process = subprocess.Popen(
        command, start_new_session=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
    )
    try:
        deadline = time.monotonic() + 120
        while len(list((out / "sharpe" / "rebalances").glob("*.json"))) < 2:
            assert process.poll() is None and time.monotonic() < deadline
            time.sleep(0.02)
    finally:
        os.killpg(process.pid, signal.SIGKILL)  # the driver and its worker processes
        process.wait()
    kept = len(list((out / "sharpe" / "rebalances").glob("*.json")))
    assert 2 <= kept < len(list((clean_run / "sharpe" / "rebalances").glob("*.json")))
    assert not (out / "summary.csv").exists()

    run(strategy_file, out, workers=2, progress=False)
    for name in ("tracking", "sharpe"):
        for table in ("nav.parquet", "weights.parquet"):
            pd.testing.assert_frame_equal(
                pd.read_parquet(out / name / table),
                pd.read_parquet(clean_run / name / table),
                check_exact=True,
            )
        assert (out / name / "stats.json").read_bytes() == (
            clean_run / name / "stats.json"
        ).read_bytes()


def test_resume_refuses_a_changed_strategy(
    strategy_file: Path, clean_run: Path, tmp_path: Path
) -> None:
    changed = tmp_path / "changed.toml"
    changed.write_text(STRATEGIES.replace("cost_bps = 10", "cost_bps = 20"), encoding="utf-8")
    with pytest.raises(
        ConfigError, match="holds a run of a different definition of strategy 'tracking'"
    ):
        run(changed, clean_run, workers=1, progress=False)


@pytest.mark.parametrize(
    "old, new, message",
    [
        (
            'type = "MinVariance"',
            'type = "MinVarience"',
            "objective = {'type': 'MinVarience'} is refused: type 'MinVarience' is not a class of "
            "morvane.objective; allowed: ActiveMeanVariance,",
        ),
        (
            "upper_limit = 0.15",
            "upper_limit = -0.15",
            "constraints.1 = {'type': 'TurnoverLimit', 'upper_limit': -0.15} is refused: "
            "TurnoverLimit refuses its arguments {'upper_limit': -0.15}: 换手率上限小于0：-0.15",
        ),
        (
            "upper_limit = 0.15",
            "uper_limit = 0.15",
            "constraints.1 = {'type': 'TurnoverLimit', 'uper_limit': 0.15} is refused: "
            "TurnoverLimit has no argument 'uper_limit' (= 0.15); allowed: upper_limit, hard",
        ),
        (
            'rebalance = "weekly"',
            'rebalance = "daily"',
            "strategy 'sharpe': rebalance = 'daily' is refused: must be \"monthly\", \"weekly\" or",
        ),
        (
            'universe = "000905.XSHG"',
            'universe = "000999.XSHG"',
            "universe = '000999.XSHG' is refused: not an index with members on 2025-01-02",
        ),
        (
            "start = 2025-01-01\nend = 2025-03-15",
            "start = 2025-01-01\nend = 2024-03-15",
            "strategy 'sharpe': end = 2024-03-15 is refused: must not be before start",
        ),
    ],
)
def test_bad_file_refused_before_any_work(
    strategy_file: Path,
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    old: str,
    new: str,
    message: str,
) -> None:
    bad = tmp_path / "bad.toml"
    assert old in STRATEGIES
    bad.write_text(STRATEGIES.replace(old, new, 1), encoding="utf-8")
    assert main(["backtest", str(bad), "--out", str(tmp_path / "out"), "--workers", "2"]) == 1
    err = capsys.readouterr().err
    assert message in err and "Traceback" not in err
    assert not (tmp_path / "out").exists()


def test_grid_expands_into_named_strategies(small_store: Path) -> None:
    data: dict[str, Any] = {
        "strategy": [
            {
                "name": "t",
                "universe": "all",
                "start": "2025-01-01",
                "end": "2025-02-01",
                "constraints": [
                    {"type": "TrackingErrorLimit", "upper_limit": 0.1},
                    {"type": "TurnoverLimit", "upper_limit": 0.2},
                ],
            }
        ],
        "grid": {"constraints.1.upper_limit": [0.1, 0.3], "cost_bps": [0, 5]},
    }
    strategies = config.parse(data)
    assert [s.name for s in strategies] == [
        "t-upper_limit=0.1-cost_bps=0",
        "t-upper_limit=0.1-cost_bps=5",
        "t-upper_limit=0.3-cost_bps=0",
        "t-upper_limit=0.3-cost_bps=5",
    ]
    assert [(s.constraints[1].arguments["upper_limit"], s.cost_bps) for s in strategies] == [
        (0.1, 0),
        (0.1, 5),
        (0.3, 0),
        (0.3, 5),
    ]
    assert all(s.constraints[0].arguments["upper_limit"] == 0.1 for s in strategies)
    data["grid"] = {"constraints.2.upper_limit": [0.1]}
    with pytest.raises(ConfigError, match=r"constraints.2 is not a position of a list of 2"):
        config.parse(data)


def test_failed_rebalance_keeps_drifted_portfolio(
    small_store: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    import morvane.optimize

    strategy = config.parse(
        {
            "strategy": [
                {
                    "name": "f",
                    "universe": "000016.XSHG",
                    "start": "2025-01-01",
                    "end": "2025-03-31",
                    "cost_bps": 10,
                    "solver": "CLARABEL",
                }
            ]
        }
    )[0]
    real = morvane.optimize.portfolio_optimize
    calls = []

    def failing_second(*args: Any, **kwargs: Any) -> pd.Series:
        calls.append(args[1])
        if len(calls) == 2:
            exc = OptimizationFailed("infeasible")
            exc.conflicts = ["TurnoverLimit(0.01)"]  # type: ignore[attr-defined]
            raise exc
        return real(*args, **kwargs)

    monkeypatch.setattr(morvane.optimize, "portfolio_optimize", real)
    tight = strategy.model_copy(  # 20 stocks cannot track the 300-stock index that closely
        update={
            "benchmark": "000300.XSHG",
            "end": pd.Timestamp("2025-02-10").date(),
            "constraints": [config.ObjectSpec(type="TrackingErrorLimit", upper_limit=0.001)],
        }
    )
    records = engine.run_strategy(tight, [])
    assert all(r["status"] == "failed" and r["ids"] == [] for r in records)
    assert all(r["conflicts"] == ["TrackingErrorLimit(upper=0.001, hard=True)"] for r in records)
    assert [v for r in records for v in r["portfolio"]] == [1.0] * sum(
        len(r["days"]) for r in records
    )

    monkeypatch.setattr(morvane.optimize, "portfolio_optimize", failing_second)
    records = engine.run_strategy(strategy, [])
    first, failed, third = records
    assert failed["status"] == "failed" and failed["error"] == "OptimizationFailed: infeasible"
    assert failed["conflicts"] == ["'TurnoverLimit(0.01)'"]
    assert failed["ids"] == first["ids"] and failed["weights"] == first["end_weights"]
    assert failed["cost"] == 0.0 and failed["turnover"] == 0.0 and third["status"] == "ok"

    monkeypatch.setattr(
        morvane.optimize,
        "portfolio_optimize",
        lambda *a, **k: (_ for _ in ()).throw(KeyError("boom")),
    )
    with pytest.raises(
        BacktestError, match=r"strategy 'f', rebalance 2025-01-02: KeyError: 'boom'"
    ):
        engine.run_strategy(strategy, [])


def test_run_command_one_date(
    strategy_file: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    from morvane.constraints import TrackingErrorLimit
    from morvane.objective import MinVariance
    from morvane.optimize import portfolio_optimize

    out = tmp_path / "w.csv"
    assert (
        main(
            [
                "run",
                str(strategy_file),
                "--date",
                "2025-03-03",
                "--strategy",
                "tracking",
                "--out",
                str(out),
            ]
        )
        == 0
    )
    assert "weights written to" in capsys.readouterr().out
    ours = pd.read_csv(out, index_col="order_book_id")["weight"]
    date = "2025-03-03"  # from cash: the turnover limit has nothing to apply to
    expected = portfolio_optimize(
        tarnwick.index_components("000300.XSHG", date),
        date,
        MinVariance(),
        bnds={"*": (0, 0.1)},
        cons=[TrackingErrorLimit(0.1, hard=False)],
        benchmark="000300.XSHG",
        solver="CLARABEL",
    )
    np.testing.assert_allclose(ours.to_numpy(), expected.to_numpy(), atol=1e-9)
    assert main(["run", str(strategy_file), "--date", "2025-03-03"]) == 1
    assert (
        "holds 2 strategies; choose one with --strategy: tracking, sharpe"
        in capsys.readouterr().err
    )


def test_existing_cluster_by_address(strategy_file: Path, clean_run: Path, tmp_path: Path) -> None:
    """Through a scheduler address, a shortened strategy repeats the first rebalances exactly."""
    from distributed import LocalCluster

    sharpe = config.load(strategy_file)[1]
    short = sharpe.model_copy(update={"end": pd.Timestamp("2025-01-20").date()})
    with LocalCluster(n_workers=1, threads_per_worker=1, dashboard_address=None) as cluster:
        run([short], tmp_path / "out", scheduler=cluster.scheduler_address, progress=False)
    ours = pd.read_parquet(tmp_path / "out" / "sharpe" / "weights.parquet")
    clean = pd.read_parquet(clean_run / "sharpe" / "weights.parquet")
    assert ours["date"].nunique() == 4
    pd.testing.assert_frame_equal(ours, clean[clean["date"] <= "2025-01-20"], check_exact=True)


@pytest.mark.parametrize(
    "start, end, rebalance, expected",
    [
        ("2025-01-01", "2025-03-31", "monthly", ["2025-01-02", "2025-02-05", "2025-03-03"]),
        # ISO weeks: the week of 2024-12-30 runs into January, so 2025-01-02 starts no week
        ("2024-12-24", "2025-01-10", "weekly", ["2024-12-24", "2024-12-30", "2025-01-06"]),
        ("2025-01-01", "2025-03-31", ["2025-01-06", "2025-02-10"], ["2025-01-06", "2025-02-10"]),
    ],
)
def test_rebalance_days(
    small_store: Path, start: str, end: str, rebalance: Any, expected: list[str]
) -> None:
    strategy = config.parse(
        {
            "strategy": [
                {"name": "d", "universe": "all", "start": start, "end": end, "rebalance": rebalance}
            ]
        }
    )[0]
    days, last = engine.plan(strategy)
    assert [d.isoformat() for d in days] == expected
    assert last == tarnwick.get_trading_dates(start, end)[-1]


def test_rebalance_day_must_trade(small_store: Path) -> None:
    strategy = config.parse(
        {
            "strategy": [
                {
                    "name": "d",
                    "universe": "all",
                    "start": "2025-01-01",
                    "end": "2025-03-31",
                    "rebalance": ["2025-01-04"],
                }
            ]
        }
    )[0]
    with pytest.raises(ConfigError, match="rebalance = 2025-01-04 is refused: not a trading day"):
        engine.plan(strategy)
