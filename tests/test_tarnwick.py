"""The market-data client over the small sample market: result shapes and alignment, the
calendar, indices, bad input, and how the store is built (deterministic, never half-written)."""

from __future__ import annotations

import datetime as dt
import hashlib
import os
from pathlib import Path

import duckdb
import numpy as np
import pandas as pd
import pytest

import tarnwick
from tarnwick import cli, sample, store
from tarnwick.build import sample as sample_build

D = dt.date(2025, 6, 3)
ID = "000300.XSHG"
START = dt.date(2025, 4, 1)
EVIL_IDS = [
    "x' OR '1'='1",
    "000001.XSHE'; DROP TABLE instruments; --",
    'a"b',
    "' UNION SELECT key, value FROM meta --",
    "%",
    "",
]


@pytest.fixture(scope="module")
def ids(small_store: Path) -> dict[str, list[str]]:
    """Stocks listed before the calendar and still listed, delisted ones, and funds."""
    frame = tarnwick.all_instruments()
    cs = frame[frame["type"] == "CS"]
    listed = cs[(cs["listed_date"] < "2023-01-01") & (cs["de_listed_date"] == "0000-00-00")]
    delisted = cs[cs["de_listed_date"] != "0000-00-00"].sort_values("de_listed_date")
    funds = frame[~frame["type"].isin(["CS", "INDX"])]
    return {
        "old": list(listed["order_book_id"][:4]),
        "delisted": list(delisted["order_book_id"]),
        "funds": list(funds["order_book_id"]),
    }


def _digest(path: Path) -> tuple[str, int]:
    return hashlib.sha256(path.read_bytes()).hexdigest(), path.stat().st_mtime_ns


def test_store_location(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
    monkeypatch.setenv("TARNWICK_HOME", str(tmp_path))
    assert store.store_path() == tmp_path / "market.duckdb"
    monkeypatch.delenv("TARNWICK_HOME")
    monkeypatch.setattr(store.sys, "platform", "linux")
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    assert store.store_path() == tmp_path / "cache" / "tarnwick" / "market.duckdb"


def test_instrument_records(ids: dict[str, list[str]]) -> None:
    frame = tarnwick.all_instruments()
    assert ids["funds"] and sorted(frame.loc[frame["type"] == "INDX", "order_book_id"]) == sorted(
        ["000300.XSHG", "000905.XSHG", "000852.XSHG", "000016.XSHG"]
    )
    assert frame["order_book_id"].str.fullmatch(r"\d{6}\.(XSHG|XSHE)").all()
    for col in ("listed_date", "de_listed_date"):
        assert frame[col].str.fullmatch(r"\d{4}-\d{2}-\d{2}").all()
    gone = frame[frame["de_listed_date"] != "0000-00-00"]
    assert len(gone) >= 2 and (gone["de_listed_date"] > gone["listed_date"]).all()
    last = tarnwick.get_trading_dates("2025-12-24", "2025-12-31")[-3].isoformat()
    assert (frame["listed_date"] >= last).sum() >= 2  # listings in the calendar's last days

    record = tarnwick.instruments(ids["old"][0])
    assert record.order_book_id == ids["old"][0] and record.type == "CS"
    assert record.de_listed_date == "0000-00-00"
    assert tarnwick.instruments("999999.XSHG") is None
    asked = [ids["old"][1], "999999.XSHG", "000300.XSHG", ids["funds"][0]]
    got = tarnwick.instruments(asked)
    assert [r.order_book_id for r in got] == [asked[0], asked[2], asked[3]]
    assert [r.type for r in got][:2] == ["CS", "INDX"] and got[2].type not in ("CS", "INDX")


@pytest.mark.parametrize(
    "day", [D, dt.datetime(2025, 6, 3, 15, 0), pd.Timestamp("2025-06-03"), "2025-06-03",
            "20250603", dt.date(2025, 6, 2), dt.date(2025, 6, 7)]  # holiday, Saturday
)
def test_calendar_steps(day: object) -> None:
    cal = tarnwick.get_trading_dates("2025-04-01", "2025-06-30")
    assert all(d.weekday() < 5 for d in cal)
    assert dt.date(2025, 6, 2) not in cal and dt.date(2025, 5, 5) not in cal  # exchange holidays
    start = tarnwick.trading_date_offset(day, -20)
    assert isinstance(start, dt.date) and start in cal
    assert start == tarnwick.get_previous_trading_date(day, n=20)
    plain = pd.Timestamp(day).date()
    assert start < plain and len([d for d in cal if start <= d < plain]) == 20


def test_get_price_alignment(ids: dict[str, list[str]]) -> None:
    asked = ids["old"] + ["999999.XSHG", ids["delisted"][0]]
    raw = tarnwick.get_price(
        asked, START, D, fields=["close", "volume"], adjust_type="none", expect_df=True
    )
    pre = tarnwick.get_price(asked, START, D, fields=["close"], adjust_type="pre", expect_df=True)
    assert raw.index.names == ["order_book_id", "date"] and list(raw.columns) == ["close", "volume"]
    assert list(pre.columns) == ["close"] and pre.index.equals(raw.index)
    assert set(raw.index.get_level_values(0)) <= set(asked) - {"999999.XSHG"}
    days = pd.DatetimeIndex(tarnwick.get_trading_dates(START, D))
    for oid in ids["old"]:
        assert raw.loc[oid].index.equals(days)  # listed throughout: every trading day, in order
        # forward adjustment leaves the last day as traded
        assert pre.loc[(oid, pd.Timestamp(D)), "close"] == raw.loc[(oid, pd.Timestamp(D)), "close"]
    one = tarnwick.get_price(asked, D, D, "1d", fields="close", adjust_type="none", expect_df=True)
    assert list(one.columns) == ["close"] and one.index.names == ["order_book_id", "date"]
    on_day = raw.xs(pd.Timestamp(D), level="date")["close"]
    assert one["close"].droplevel("date").equals(on_day)


def test_returns_follow_adjusted_prices(small_store: Path) -> None:
    # a stock with a dividend or split inside the window: its adjustment factor moves
    row = store.query(
        "SELECT order_book_id, date AS d FROM (SELECT *, lag(adj_factor) OVER "
        "(PARTITION BY order_book_id ORDER BY date) AS prev FROM daily_bars) "
        "JOIN instruments USING (order_book_id) WHERE adj_factor <> prev AND type = 'CS' "
        "AND date > '2024-03-01' AND listed_date < '2024-01-01' "
        "AND de_listed_date = '0000-00-00' ORDER BY order_book_id, date LIMIT 1"
    ).iloc[0]
    oid, event = row["order_book_id"], pd.Timestamp(row["d"])
    lo, hi = (event - pd.Timedelta(days=20)).date(), (event + pd.Timedelta(days=20)).date()
    rates = tarnwick.get_price_change_rate([oid, "000300.XSHG"], lo, hi)
    assert list(rates.columns) == [oid, "000300.XSHG"]
    assert rates.index.equals(pd.DatetimeIndex(tarnwick.get_trading_dates(lo, hi), name="date"))
    start = tarnwick.get_previous_trading_date(lo)
    pre = tarnwick.get_price(oid, start, hi, fields="close", adjust_type="pre")["close"]
    raw = tarnwick.get_price(oid, start, hi, fields="close", adjust_type="none")["close"]
    expected = pre.droplevel(0).pct_change().iloc[1:]
    np.testing.assert_allclose(rates[oid].to_numpy(), expected.to_numpy(), rtol=1e-9)
    raw_ret = raw.droplevel(0).pct_change()[event]
    assert raw_ret < rates.loc[event, oid] - 1e-6  # the unadjusted close drops on the event
    single = tarnwick.get_price_change_rate("000300.XSHG", lo, hi)
    assert single["000300.XSHG"].equals(rates["000300.XSHG"])


def test_suspension_and_delisting(ids: dict[str, list[str]]) -> None:
    susp = store.query(
        "SELECT order_book_id, date FROM daily_bars WHERE volume = 0 AND date > '2024-02-01' "
        "ORDER BY order_book_id, date LIMIT 1"
    ).iloc[0]
    oid, day = susp["order_book_id"], susp["date"]
    bars = tarnwick.get_price(oid, tarnwick.get_previous_trading_date(day), day, adjust_type="none")
    assert bars["volume"].iloc[-1] == 0 and bars["close"].iloc[-1] == bars["close"].iloc[0]
    gone = tarnwick.instruments(ids["delisted"][0])
    out = dt.date.fromisoformat(gone.de_listed_date)
    lo, hi = tarnwick.trading_date_offset(out, -5), tarnwick.trading_date_offset(out, 5)
    rates = tarnwick.get_price_change_rate([gone.order_book_id], lo, hi)
    assert rates.loc[:pd.Timestamp(out) - pd.Timedelta(days=1)].notna().all().all()
    assert rates.loc[pd.Timestamp(out):].isna().all().all()


def test_market_cap(ids: dict[str, list[str]]) -> None:
    caps = tarnwick.get_factor(ids["old"], "market_cap_3", START, D)
    raw = tarnwick.get_price(ids["old"], START, D, fields="close", adjust_type="none")
    assert caps.index.names == ["order_book_id", "date"] and caps.index.equals(raw.index)
    end = tarnwick.get_trading_dates("2025-12-01", "2025-12-31")[-1]
    last = tarnwick.get_factor(ids["old"], "market_cap_3", end, end)["market_cap_3"].droplevel(1)
    close = tarnwick.get_price(ids["old"], end, end, fields="close", adjust_type="none")
    shares = pd.Series({r.order_book_id: r.shares_outstanding for r in
                        tarnwick.instruments(ids["old"])})
    np.testing.assert_allclose(last, (close["close"].droplevel(1) * shares)[last.index])


@pytest.mark.parametrize("day", ["2024-01-02", "2024-06-17", "2025-03-05", D, "2025-12-31"])
def test_index_weights(day: object) -> None:
    when = pd.Timestamp(day).date()
    members = {}
    for iid in ("000300.XSHG", "000905.XSHG", "000852.XSHG", "000016.XSHG"):
        comp = tarnwick.index_components(iid, day)
        members[iid] = set(comp)
        assert comp and len(comp) == len(members[iid])
        for rec in tarnwick.instruments(comp):
            assert rec.type == "CS" and rec.listed_date < when.isoformat()
            assert rec.de_listed_date == "0000-00-00" or rec.de_listed_date > when.isoformat()
        w = tarnwick.index_weights(iid, day)
        assert set(w.index) == members[iid] and (w > 0).all()
        assert abs(w.sum() - 1.0) < 1e-12
    assert not members["000300.XSHG"] & members["000905.XSHG"]
    assert not members["000905.XSHG"] & members["000852.XSHG"]
    assert all(i.endswith(".XSHG") for i in members["000016.XSHG"])


def test_index_ranked_by_size_and_rebalanced_twice_a_year(small_store: Path) -> None:
    eff = store.query("SELECT DISTINCT effective_date AS d FROM index_components ORDER BY d")["d"]
    assert {(d.month) for d in eff[1:]} == {6, 12} and len(eff) == 5
    day = eff.iloc[2]
    before = tarnwick.get_previous_trading_date(day)
    caps = {
        iid: tarnwick.get_factor(tarnwick.index_components(iid, day), "market_cap_3",
                                 before, before)["market_cap_3"]
        for iid in ("000300.XSHG", "000905.XSHG")
    }
    assert caps["000300.XSHG"].min() > caps["000905.XSHG"].max()


def test_industries(ids: dict[str, list[str]]) -> None:
    stocks = tarnwick.all_instruments("CS")["order_book_id"].tolist()
    sws = tarnwick.get_instrument_industry(stocks, "sws")
    split = tarnwick.get_instrument_industry(stocks, "sws_split")
    citic = tarnwick.get_instrument_industry(stocks, "citic")
    assert split.index.equals(sws.index) and citic.index.equals(sws.index)
    assert len(sws) >= 0.99 * len(stocks)
    assert set(sws) <= set(tarnwick.get_industry_names("sws"))
    assert set(citic) <= set(tarnwick.get_industry_names("citic"))
    differs = sws != split
    assert set(sws[differs]) == {"非银金融"}
    assert set(split[differs]) <= {"证券", "保险", "多元金融"}
    assert tarnwick.get_instrument_industry(ids["funds"] + ["000300.XSHG"]).empty


BAD_CALLS = [
    pytest.param("trading_date_offset", ("not a date", -1), {}, ValueError, "date", id="text"),
    pytest.param("trading_date_offset", (20250603, -1), {}, TypeError, "date", id="int-date"),
    pytest.param("trading_date_offset", (pd.NaT, -1), {}, ValueError, "date", id="NaT"),
    pytest.param("trading_date_offset", ("2024-01-05", -10), {}, ValueError, "trading calendar",
                 id="before-calendar"),
    pytest.param("trading_date_offset", (D, -1.5), {}, TypeError, r"\bn must", id="float-n"),
    pytest.param("get_previous_trading_date", (D,), {"n": 0}, ValueError, r"\bn must", id="n0"),
    pytest.param("get_price", ([ID], "2025-02-30", D), {}, ValueError, "start_date", id="feb30"),
    pytest.param("get_price", ([ID], D, START), {}, ValueError, "start_date", id="reversed"),
    pytest.param("get_price", ([ID], START, D), {"fields": ["open"]}, ValueError, "fields",
                 id="unknown-field"),
    pytest.param("get_price", ([ID], START, D), {"fields": []}, ValueError, "fields",
                 id="no-field"),
    pytest.param("get_price", ([ID], START, D), {"fields": 5}, TypeError, "fields", id="int-field"),
    pytest.param("get_price", ([ID], START, D), {"adjust_type": "back"}, ValueError,
                 "adjust_type", id="adjust"),
    pytest.param("get_price", ([ID], START, D, "1m"), {}, ValueError, "frequency", id="minute"),
    pytest.param("get_price", (None, START, D), {}, TypeError, "order_book_ids", id="None-ids"),
    pytest.param("get_price_change_rate", ([1, 2], START, D), {}, TypeError, "order_book_ids",
                 id="int-ids"),
    pytest.param("get_factor", ([ID], "pe_ratio", START, D), {}, ValueError, "factor",
                 id="unknown-factor"),
    pytest.param("get_factor", ([ID], 'market_cap_3" FROM meta --', START, D), {}, ValueError,
                 "factor", id="sql-factor"),
    pytest.param("index_components", (None, D), {}, TypeError, "index_id", id="None-index"),
    pytest.param("index_weights", ("000300.XSHG", "yesterday"), {}, ValueError, "date",
                 id="weights-date"),
    pytest.param("instruments", (5,), {}, TypeError, "order_book_ids", id="int-instrument"),
    pytest.param("get_instrument_industry", ([ID], "gics"), {}, ValueError, "classification",
                 id="classification"),
]


@pytest.mark.parametrize("fn, args, kwargs, exc, name", BAD_CALLS)
def test_bad_input_is_named(
    small_store: Path, fn: str, args: tuple, kwargs: dict, exc: type, name: str
) -> None:
    with pytest.raises(exc, match=name) as info:
        getattr(tarnwick, fn)(*args, **kwargs)
    assert not isinstance(info.value, duckdb.Error)


@pytest.mark.parametrize("ids_arg", [[], *EVIL_IDS, [EVIL_IDS[0], EVIL_IDS[1]]])
def test_unknown_or_hostile_ids_give_empty_results(small_store: Path, ids_arg: object) -> None:
    store.close()
    before = _digest(small_store)
    assert tarnwick.instruments(ids_arg) in (None, [])
    assert tarnwick.get_price(ids_arg, START, D).empty
    assert tarnwick.get_factor(ids_arg, "market_cap_3", START, D).empty
    rates = tarnwick.get_price_change_rate(ids_arg, START, D)
    assert rates.columns.empty and len(rates) == len(tarnwick.get_trading_dates(START, D))
    assert tarnwick.get_instrument_industry(ids_arg).empty
    assert tarnwick.get_style_descriptors(ids_arg, D).empty
    if isinstance(ids_arg, str):
        assert tarnwick.index_components(ids_arg, D) == []
        assert tarnwick.index_weights(ids_arg, D) is None
    store.close()
    assert _digest(small_store) == before
    assert len(tarnwick.all_instruments()) > 300


def test_same_seed_same_market(small_store: Path, tmp_path: Path) -> None:
    again = tmp_path / "again.duckdb"
    assert cli.main(["sample", "--size", "small", "--path", str(again), "--quiet"]) == 0
    assert not list(tmp_path.glob(".*tmp*"))
    con = duckdb.connect()
    try:
        for alias, path in (("a", small_store), ("b", again)):
            # test-owned temp paths; older DuckDB takes no parameter in ATTACH
            quoted = str(path).replace("'", "''")
            con.execute(f"ATTACH '{quoted}' AS {alias} (READ_ONLY)")
        tables = {}
        for db in ("a", "b"):
            rows = con.execute("SELECT table_name FROM duckdb_tables() WHERE database_name = ?",
                               [db]).fetchall()
            tables[db] = sorted(r[0] for r in rows)
        assert tables["a"] == tables["b"] and "daily_bars" in tables["a"]
        for t in tables["a"]:
            skip = " WHERE key <> 'built_at'" if t == "meta" else ""
            one, two = f'SELECT * FROM a."{t}"{skip}', f'SELECT * FROM b."{t}"{skip}'
            n = con.execute(f"SELECT count(*) FROM ({one})").fetchone()[0]
            diff = con.execute(
                f"SELECT count(*) FROM (({one} EXCEPT ALL {two}) UNION ALL "
                f"({two} EXCEPT ALL {one}))"
            ).fetchone()[0]
            assert n > 0 and diff == 0, t
    finally:
        con.close()
    other = sample.generate("small", seed=sample.DEFAULT_SEED + 1)
    assert not other.daily_bars["close"].equals(
        store.query("SELECT close FROM daily_bars ORDER BY order_book_id, date")["close"]
    )


@pytest.mark.parametrize("fail_at", ["generate", "write"])
def test_interrupted_build_keeps_the_old_store(
    small_store: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, fail_at: str
) -> None:
    target = tmp_path / "market.duckdb"
    target.write_bytes(small_store.read_bytes())
    before = _digest(target)

    def broken_generate(*args: object, **kwargs: object) -> None:
        raise RuntimeError("generator failed")

    def broken_write(con: duckdb.DuckDBPyConnection, *args: object, **kwargs: object) -> None:
        con.execute("CREATE TABLE instruments (order_book_id VARCHAR)")
        raise KeyboardInterrupt

    if fail_at == "generate":
        monkeypatch.setattr(sample, "generate", broken_generate)
    else:
        monkeypatch.setattr(sample, "generate", lambda *a, **k: None)
        monkeypatch.setattr(sample_build, "write_market", broken_write)
    with pytest.raises((RuntimeError, KeyboardInterrupt)):
        store.build("small", path=target, progress=False)
    assert _digest(target) == before
    assert sorted(os.listdir(tmp_path)) == ["market.duckdb"]


def test_first_use_builds_the_store(
    small_store: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
    capsys: pytest.CaptureFixture[str]
) -> None:
    built = []

    def fake_build(size: str, path: Path, **kwargs: object) -> Path:
        built.append(size)
        Path(path).parent.mkdir(parents=True)
        Path(path).write_bytes(small_store.read_bytes())
        return Path(path)

    monkeypatch.setenv("TARNWICK_HOME", str(tmp_path / "fresh"))
    monkeypatch.setattr(store, "build", fake_build)
    assert tarnwick.instruments("000300.XSHG").type == "INDX"
    assert built == ["full"] and "no market store" in capsys.readouterr().err
    store.close()


def test_a_foreign_file_is_refused(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    (tmp_path / "market.duckdb").write_bytes(b"not a database")
    monkeypatch.setenv("TARNWICK_HOME", str(tmp_path))
    with pytest.raises(RuntimeError, match="market.duckdb.*tarnwick sample"):
        tarnwick.instruments("000300.XSHG")
