"""Failures in plain sight and the command line's smaller faults: failed rebalances listed with
their causes, `on_infeasible`, conflicts of `morvane run`, progress in logs, a relative store
folder with a scheduler, one-line messages of `morvane report`."""

from __future__ import annotations

import io
import json
import os
from pathlib import Path
from typing import Any

import pandas as pd
import pytest

from morvane.backtest import config, engine, failures, infeasible, parallel
from morvane.backtest.progress import Progress
from morvane.cli import main

RECONSTITUTION = {
    "name": "recon",
    "universe": "000905.XSHG",
    "benchmark": "000905.XSHG",
    "start": "2024-11-01",
    "end": "2025-03-31",
    "rebalance": "monthly",
    "solver": "CLARABEL",
    "objective": {"type": "MinTrackingError"},
    "bnds": {"*": [0, 0.05]},
    "constraints": [{"type": "TurnoverLimit", "upper_limit": 0.2}],
}


def _strategy(**changes: Any) -> config.Strategy:
    return config.parse({"strategy": [{**RECONSTITUTION, **changes}]})[0]


@pytest.fixture(scope="module")
def held(small_store: Path) -> list[dict[str, Any]]:
    return engine.run_strategy(_strategy(), [])


def test_a_hard_turnover_limit_fails_when_the_index_reconstitutes(held):
    failed = [r for r in held if r["status"] == "failed"]
    assert failed, "the case must hold an infeasible rebalance"
    assert all(r["turnover"] == 0.0 and r["cost"] == 0.0 for r in failed)
    assert all(any("TurnoverLimit" in c for c in r["conflicts"]) for r in failed)
    assert all(r["dropped_conflicts"] == [] for r in held)


def test_drop_conflicts_completes_every_rebalance_and_records_what_it_dropped(held):
    records = engine.run_strategy(_strategy(on_infeasible="drop_conflicts"), [])
    assert [r["status"] for r in records] == ["ok"] * len(held)
    dropped = {r["date"]: r["dropped_conflicts"] for r in records if r["dropped_conflicts"]}
    failed_before = {r["date"] for r in held if r["status"] == "failed"}
    # the first infeasible rebalance sells what left the index; later ones hold again
    assert min(failed_before) in dropped and set(dropped) <= failed_before
    for names in dropped.values():
        assert len(names) == 1 and names[0].startswith("TurnoverLimit(")
        assert names[0].endswith("upper=0.2, hard=True)")
    kept = [r for r in records if r["date"] not in dropped and not r["from_cash"]]
    assert all(r["turnover"] <= 0.2 + 1e-6 for r in kept)
    assert any(r["turnover"] > 0.2 for r in records if r["date"] in dropped)


def test_drop_conflicts_never_drops_the_bounds(small_store):
    from morvane.exception import OptimizationFailed

    calls: list[list[Any]] = []

    def solve(cons: list[Any]) -> pd.Series:
        calls.append(list(cons))
        exc = OptimizationFailed("infeasible")
        exc.conflicts = ["bnds", *cons]  # type: ignore[attr-defined]
        raise exc

    limit = object()
    with pytest.raises(OptimizationFailed):
        infeasible.solve(solve, [limit], "drop_conflicts")
    assert calls == [[limit], []]  # the constraint went; "bnds" is not the caller's to drop
    calls.clear()
    with pytest.raises(OptimizationFailed):
        infeasible.solve(solve, [limit], "hold")
    assert calls == [[limit]]


def test_unknown_on_infeasible_is_refused():
    with pytest.raises(config.ConfigError, match="on_infeasible = 'skip' is refused"):
        _strategy(on_infeasible="skip")


@pytest.mark.parametrize("count, shown", [(3, 3), (25, failures.LINES)])
def test_failure_lines_name_date_status_and_conflicts_up_to_a_limit(count, shown):
    conflicts = [f"C{k}()" for k in range(6)]
    records = [
        {
            "date": f"2025-01-{k + 1:02d}",
            "status": "failed",
            "conflicts": conflicts,
            "error": "OptimizationFailed: infeasible",
        }
        for k in range(count)
    ]
    records.append({"date": "2025-02-01", "status": "ok", "conflicts": None, "error": None})
    lines = failures.lines(failures.failures("s", records))
    assert len(lines) == shown + (count > shown)
    assert lines[0] == "2025-01-01  infeasible  conflicts: C0(), C1(), C2(), C3() and 2 more"
    if count > shown:
        assert lines[-1] == f"... and {count - shown} more failed rebalances"


def test_backtest_prints_every_failed_rebalance(held, small_store, tmp_path, capsys):
    path = tmp_path / "s.toml"
    lines = [
        f"{k} = {json.dumps(v)}"
        for k, v in RECONSTITUTION.items()
        if k not in ("objective", "bnds", "constraints", "start", "end")
    ]
    path.write_text(
        "[[strategy]]\n" + "\n".join(lines) + "\nstart = 2024-11-01\nend = 2025-03-31\n"
        'objective = {type = "MinTrackingError"}\nbnds = {"*" = [0, 0.05]}\n'
        'constraints = [{type = "TurnoverLimit", upper_limit = 0.2}]\n',
        encoding="utf-8",
    )
    assert (
        main(["backtest", str(path), "--out", str(tmp_path / "out"), "--workers", "1", "--quiet"])
        == 0
    )
    out = capsys.readouterr().out
    failed = [r for r in held if r["status"] == "failed"]
    assert f"recon: {len(failed)} of {len(held)} rebalances failed" in out
    for record in failed:
        assert f"  {record['date']}  infeasible  conflicts: TurnoverLimit(current_holding=" in out
    page = (tmp_path / "out" / "report.html").read_text(encoding="utf-8")
    assert f"Failed rebalances: {len(failed)} of {len(held)}" in page
    assert f"{failed[0]['date']}  infeasible  conflicts: TurnoverLimit" in page
    assert held[-1]["status"] == "failed"  # the page must not show it as a trade
    assert "failed (infeasible) and traded nothing" in page
    assert f"recon: last rebalance, {held[-1]['date']}</h2>" not in page
    last_trade = [r for r in held if r["status"] == "ok"][-1]
    assert f"recon: last rebalance, {last_trade['date']}</h2>" in page


def test_run_prints_the_conflicts(small_store, tmp_path, capsys):
    path = tmp_path / "one.toml"
    path.write_text(
        '[[strategy]]\nname = "one"\nuniverse = "000905.XSHG"\nbenchmark = '
        '"000300.XSHG"\nstart = 2024-01-01\nend = 2025-12-31\nsolver = "CLARABEL"\n'
        'objective = {type = "MinTrackingError"}\n'
        'constraints = [{type = "TrackingErrorLimit", upper_limit = 0.0001}]\n',
        encoding="utf-8",
    )
    code = main(["run", str(path), "--date", "2025-03-03"])
    err = capsys.readouterr().err
    assert code == 1 and err.count("\n") == 1, err
    assert "morvane: one on 2025-03-03: infeasible; conflicting constraints: " in err
    assert "TrackingErrorLimit(upper=0.0001, hard=True)" in err


def test_progress_in_a_log_is_plain_lines():
    log = io.StringIO()
    progress = Progress({"a": 3, "b": 2}, {"a": 1, "b": 0}, enabled=True, stream=log)
    progress.step("a")
    progress.finish("b", 2)
    progress.close()
    assert log.getvalue() == "a: 2/3 rebalances\nb: 2/2 rebalances\n"
    quiet = io.StringIO()
    Progress({"a": 3}, {"a": 0}, enabled=False, stream=quiet).step("a")
    assert quiet.getvalue() == ""


def test_a_relative_store_folder_reaches_the_workers_as_an_absolute_path(
    small_store, tmp_path, monkeypatch
):
    from morvane.backtest import runner

    monkeypatch.chdir(small_store.parent.parent)
    monkeypatch.setenv("TARNWICK_HOME", small_store.parent.name)
    sent: list[str] = []

    def capture(client: Any, jobs: Any, home: str, *rest: Any) -> None:
        sent.append(home)
        raise KeyboardInterrupt  # stop before any work

    monkeypatch.setattr(parallel, "run_jobs", capture)
    monkeypatch.setattr(parallel, "cluster", _no_cluster)
    with pytest.raises(KeyboardInterrupt):
        runner.run(_strategy(end="2024-11-30"), tmp_path / "out", progress=False)
    assert sent == [str(small_store.parent)]
    with pytest.raises(ValueError, match="is relative; workers need an absolute path"):
        with parallel._store_at(small_store.parent.name):
            pass


class _no_cluster:
    def __init__(self, *args: Any) -> None:
        pass

    def __enter__(self) -> None:
        return None

    def __exit__(self, *args: Any) -> None:
        return None


@pytest.mark.parametrize(
    "content, expected",
    [
        ("order_book_id,weight\n000001.XSHE,0.5\n999999.XSHE,0.5\n", "999999.XSHE"),
        (
            "order_book_id,weight\n000001.XSHE,0.5\n000002.XSHE,abc\n",
            "weights must hold numbers; not for 000002.XSHE = 'abc'",
        ),
    ],
)
def test_report_errors_are_one_line(small_store, tmp_path, content, expected):
    import subprocess
    import sys

    path = tmp_path / "w.csv"
    path.write_text(content)
    done = subprocess.run(
        [sys.executable, "-m", "morvane.cli", "report", str(path), "--date", "2025-06-03"],
        capture_output=True,
        text=True,
        env={**os.environ, "TARNWICK_HOME": str(small_store.parent)},
        check=False,
        timeout=300,
    )  # a process of its own, where warnings print as they would for a user
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.count("\n") == 1 and expected in done.stderr, done.stderr


def test_analyse_refuses_a_day_that_is_not_a_trading_day(small_store):
    from morvane.exception import InvalidArgument
    from morvane.report import analyse

    with pytest.raises(InvalidArgument, match="2025-06-07 is not a trading day"):
        analyse(pd.Series({"000001.XSHE": 1.0}), "2025-06-07")


def test_a_report_is_one_line_and_shows_itself_in_a_notebook(small_store):
    import tarnwick
    from morvane.report import analyse

    ids = tarnwick.index_components("000300.XSHG", "2025-06-03")[:30]
    report = analyse(pd.Series(1 / 30, index=ids), "2025-06-03", benchmark="000300.XSHG")
    text = repr(report)
    assert "\n" not in text and len(text) < 200 and text.startswith("<PortfolioReport 2025-06-03")
    page = report._repr_html_()
    assert "Plotly.newPlot" in page and "tracking error" in page
    assert page.count('id="chart-nb') == 4 and report._repr_html_() != page  # ids of its own
