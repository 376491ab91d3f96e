"""The store side of the risk-model estimation: the market loaded into dense arrays, the
state an incremental estimation continues from, and the estimates written to the risk-model
tables (described in ``docs/riskmodel.md``)."""

from __future__ import annotations

import datetime as _dt
from collections.abc import Sequence

import duckdb
import numpy as np
import pandas as pd

from tarnwick.build.estimate import Estimate, Market, SpecificState
from tarnwick.reference.riskmodel import STYLES, VERSIONS, VersionSpec

__all__ = [
    "TABLES",
    "create_tables",
    "delete_from",
    "load_market",
    "load_carried",
    "load_carried_listings",
    "load_factor_returns",
    "load_state",
    "stored_factors",
    "write_factors",
    "write_exposures",
    "write_listing_exposures",
    "write_factor_returns",
    "write_covariance",
    "write_specific",
    "write_state",
]

_STYLE_COLUMNS = ", ".join(f"{s} FLOAT" for s in STYLES)
#: The risk-model tables and their columns.
TABLES: dict[str, str] = {
    "risk_factors": "risk_model VARCHAR, position INTEGER, factor VARCHAR, kind VARCHAR",
    "style_exposures": f"risk_model VARCHAR, date DATE, order_book_id VARCHAR, {_STYLE_COLUMNS}",
    # Interim exposures of the stocks listed between two descriptor dates, on the listing day.
    "listing_exposures": f"risk_model VARCHAR, date DATE, order_book_id VARCHAR, {_STYLE_COLUMNS}",
    "factor_returns": "risk_model VARCHAR, date DATE, factor VARCHAR, value DOUBLE",
    "factor_covariance": "risk_model VARCHAR, cov_model VARCHAR, date DATE, cov DOUBLE[]",
    "specific_variance": "risk_model VARCHAR, date DATE, order_book_id VARCHAR, value FLOAT",
    # The exponentially weighted residual sums at the model's last day, per stock.
    "specific_state": "risk_model VARCHAR, date DATE, order_book_id VARCHAR, sums DOUBLE, "
    "weights DOUBLE",
}


def create_tables(con: duckdb.DuckDBPyConnection) -> None:
    """Drop and create every risk-model table."""
    for table, columns in TABLES.items():
        con.execute(f"DROP TABLE IF EXISTS {table}")
        con.execute(f"CREATE TABLE {table} ({columns})")


def delete_from(con: duckdb.DuckDBPyConnection, first: _dt.date, exposures_from: _dt.date) -> None:
    """Remove the dated rows an incremental estimation from ``first`` rewrites (exposures from
    ``exposures_from``, the window's first day)."""
    for table in ("factor_returns", "factor_covariance", "specific_variance"):
        con.execute(f"DELETE FROM {table} WHERE date >= ?", [first])
    for table in ("style_exposures", "listing_exposures"):
        con.execute(f"DELETE FROM {table} WHERE date >= ?", [exposures_from])


# --------------------------------------------------------------------------------------------
# Loading
# --------------------------------------------------------------------------------------------


def _parse_listing(values: Sequence[object], missing: str) -> np.ndarray:
    out = np.empty(len(values), dtype="datetime64[D]")
    for i, v in enumerate(values):
        text = str(v) if v is not None else ""
        if not text or text.startswith("0000"):
            out[i] = np.datetime64(missing)
        else:
            out[i] = np.datetime64(text[:10])
    return out


def _index_tables(con: duckdb.DuckDBPyConnection, start: _dt.date | None) -> None:
    con.execute(
        "CREATE OR REPLACE TEMP TABLE _rm_stock AS SELECT order_book_id, "
        "(row_number() OVER (ORDER BY order_book_id) - 1)::INTEGER AS si, listed_date, "
        "de_listed_date FROM instruments WHERE type = 'CS'"
    )
    con.execute(
        "CREATE OR REPLACE TEMP TABLE _rm_day AS SELECT CAST(date AS DATE) AS date, "
        "(row_number() OVER (ORDER BY date) - 1)::INTEGER AS di FROM trading_dates "
        "WHERE date >= ?",
        [start or _dt.date.min],
    )


def _returns(con: duckdb.DuckDBPyConnection, shape: tuple[int, int]) -> np.ndarray:
    bars = con.execute(
        "SELECT d.di, s.si, b.close * b.adj_factor AS px, b.volume FROM daily_bars b "
        "JOIN _rm_stock s ON s.order_book_id = b.order_book_id "
        "JOIN _rm_day d ON d.date = CAST(b.date AS DATE)"
    ).fetchnumpy()
    price = np.full(shape, np.nan)
    px = np.asarray(bars["px"], dtype=np.float64)
    vol = np.asarray(bars["volume"], dtype=np.float64)
    traded = np.isfinite(px) & (px > 0) & np.isfinite(vol) & (vol > 0)
    price[np.asarray(bars["di"])[traded], np.asarray(bars["si"])[traded]] = px[traded]
    del bars, px, vol, traded
    returns = np.full_like(price, np.nan)
    with np.errstate(invalid="ignore", divide="ignore"):
        returns[1:] = price[1:] / price[:-1] - 1.0
    return returns


def _caps(
    con: duckdb.DuckDBPyConnection, shape: tuple[int, int], start: _dt.date | None
) -> np.ndarray:
    """Market caps forward-filled over the window, its first day filled from the last cap
    before it."""
    caps = con.execute(
        "SELECT d.di, s.si, f.market_cap_3 AS cap FROM factor_values f "
        "JOIN _rm_stock s ON s.order_book_id = f.order_book_id "
        "JOIN _rm_day d ON d.date = CAST(f.date AS DATE) WHERE f.market_cap_3 > 0"
    ).fetchnumpy()
    cap = np.full(shape, np.nan)
    cap[np.asarray(caps["di"]), np.asarray(caps["si"])] = np.asarray(caps["cap"], dtype=float)
    if start is not None:
        before = con.execute(
            "SELECT s.si, arg_max(f.market_cap_3, f.date) AS cap FROM factor_values f "
            "JOIN _rm_stock s ON s.order_book_id = f.order_book_id "
            "WHERE f.market_cap_3 > 0 AND f.date < ? GROUP BY s.si",
            [start],
        ).fetchnumpy()
        si = np.asarray(before["si"])
        fill = ~np.isfinite(cap[0, si])
        cap[0, si[fill]] = np.asarray(before["cap"], dtype=float)[fill]
    return pd.DataFrame(cap).ffill().to_numpy()


def _descriptors(con: duckdb.DuckDBPyConnection, n_stocks: int, carried: bool) -> tuple:
    cols = ", ".join(f"x.{s}" for s in STYLES)
    desc = con.execute(
        f"SELECT d.di, s.si, {cols} FROM style_descriptors x "
        "JOIN _rm_stock s ON s.order_book_id = x.order_book_id "
        "JOIN _rm_day d ON d.date = CAST(x.date AS DATE)"
    ).fetchnumpy()
    desc_di = np.asarray(desc["di"])
    desc_days = np.unique(desc_di)
    if carried:
        desc_days = np.concatenate([[-1], desc_days])
    slot = np.searchsorted(desc_days, desc_di)
    descriptors = np.full((len(desc_days), n_stocks, len(STYLES)), np.nan)
    for j, s in enumerate(STYLES):
        descriptors[slot, np.asarray(desc["si"]), j] = np.asarray(desc[s], dtype=float)
    return desc_days, descriptors


def _industries(con: duckdb.DuckDBPyConnection, n_stocks: int) -> dict:
    industries: dict[str, tuple[np.ndarray, list[str]]] = {}
    for classification in sorted({v.classification for v in VERSIONS.values()}):
        rows = con.execute(
            "SELECT s.si, i.industry_code, i.industry_name FROM industries i "
            "JOIN _rm_stock s ON s.order_book_id = i.order_book_id "
            "WHERE i.classification = ?",
            [classification],
        ).fetchnumpy()
        codes_text = np.asarray(rows["industry_code"], dtype=object).astype(str)
        names_text = np.asarray(rows["industry_name"], dtype=object).astype(str)
        order = sorted(set(zip(codes_text, names_text)))
        names = []
        position: dict[str, int] = {}
        for _, name in order:
            if name not in position:
                position[name] = len(names)
                names.append(str(name))  # a plain str: older DuckDB refuses numpy strings
        codes = np.full(n_stocks, -1, dtype=np.int64)
        codes[np.asarray(rows["si"])] = [position[n] for n in names_text]
        industries[classification] = (codes, names)
    return industries


def load_market(con: duckdb.DuckDBPyConnection, start: _dt.date | None = None) -> Market:
    """The stocks' returns, caps, descriptors and industries over the trading days from
    ``start`` (all days when None).  A window that starts later carries a descriptor slot
    (``desc_days == -1``) for the exposures in force before it."""
    _index_tables(con, start)
    stocks = con.execute(
        "SELECT order_book_id, listed_date, de_listed_date FROM _rm_stock ORDER BY si"
    ).fetchnumpy()
    ids = np.asarray(stocks["order_book_id"], dtype=object).astype(str)
    dates = np.asarray(
        con.execute("SELECT date FROM _rm_day ORDER BY di").fetchnumpy()["date"]
    ).astype("datetime64[D]")
    n_days, n_stocks = len(dates), len(ids)
    if n_days < 2 or n_stocks == 0:
        raise ValueError("the store has too few trading days or stocks for a risk model")
    returns = _returns(con, (n_days, n_stocks))
    cap = _caps(con, (n_days, n_stocks), start)
    cap_before = np.full_like(cap, np.nan)
    cap_before[1:] = cap[:-1]
    desc_days, descriptors = _descriptors(con, n_stocks, carried=start is not None)
    market = Market(
        dates=dates,
        ids=ids,
        listed_from=_parse_listing(list(stocks["listed_date"]), "1900-01-01"),
        listed_to=_parse_listing(list(stocks["de_listed_date"]), "2999-12-31"),
        returns=returns,
        cap_before=cap_before,
        cap=cap,
        desc_days=desc_days,
        descriptors=descriptors,
        industries=_industries(con, n_stocks),
    )
    con.execute("DROP TABLE IF EXISTS _rm_stock")
    con.execute("DROP TABLE IF EXISTS _rm_day")
    return market


def _by_stock(frame: pd.DataFrame, ids: np.ndarray) -> np.ndarray:
    return pd.Index(ids).get_indexer(frame["order_book_id"].astype(str))


def load_carried(
    con: duckdb.DuckDBPyConnection, version: str, market: Market
) -> tuple[np.ndarray, np.ndarray]:
    """The stored exposures (and who has them) of the last descriptor date before the
    window: the exposures the window's first regressions use."""
    frame = con.execute(
        f"SELECT order_book_id, {', '.join(STYLES)} FROM style_exposures WHERE risk_model = ? "
        "AND date = (SELECT max(date) FROM style_exposures WHERE risk_model = ? AND date < ?)",
        [version, version, market.dates[0].astype(object)],
    ).df()
    exposures = np.full((len(market.ids), len(STYLES)), np.nan)
    present = np.zeros(len(market.ids), dtype=bool)
    rows = _by_stock(frame, market.ids)
    exposures[rows] = frame[list(STYLES)].to_numpy(dtype=np.float64)
    present[rows] = True
    return exposures, present


def load_carried_listings(
    con: duckdb.DuckDBPyConnection, version: str, market: Market
) -> np.ndarray:
    """Stocks listed from the carried descriptor date until the window with interim
    exposures: they stay in the model under the carried slot."""
    frame = con.execute(
        "SELECT order_book_id FROM listing_exposures WHERE risk_model = ? AND date < ? AND "
        "date >= (SELECT max(date) FROM style_exposures WHERE risk_model = ? AND date < ?)",
        [version, market.dates[0].astype(object), version, market.dates[0].astype(object)],
    ).df()
    rows = _by_stock(frame, market.ids)
    return rows[rows >= 0]


def load_factor_returns(
    con: duckdb.DuckDBPyConnection, version: str, factors: list[str], before: _dt.date
) -> tuple[np.ndarray, np.ndarray]:
    """Stored factor returns of the days before ``before``: (dates, days x factors, NaN on
    days without a regression)."""
    dates = np.asarray(
        con.execute(
            "SELECT date FROM trading_dates WHERE date < ? ORDER BY date", [before]
        ).fetchnumpy()["date"]
    ).astype("datetime64[D]")
    frame = con.execute(
        "SELECT date, factor, value FROM factor_returns WHERE risk_model = ? AND date < ?",
        [version, before],
    ).df()
    values = np.full((len(dates), len(factors)), np.nan)
    rows = pd.DatetimeIndex(dates).get_indexer(pd.to_datetime(frame["date"]))
    cols = pd.Index(factors).get_indexer(frame["factor"].astype(str))
    values[rows, cols] = frame["value"].to_numpy(dtype=np.float64)
    return dates, values


def load_state(
    con: duckdb.DuckDBPyConnection, version: str, market: Market
) -> SpecificState | None:
    """The stored residual sums, if they are of the window's first day."""
    frame = con.execute(
        "SELECT order_book_id, sums, weights FROM specific_state WHERE risk_model = ? AND date = ?",
        [version, market.dates[0].astype(object)],
    ).df()
    if frame.empty:
        return None
    state = SpecificState(np.zeros(len(market.ids)), np.zeros(len(market.ids)))
    rows = _by_stock(frame, market.ids)
    state.sums[rows] = frame["sums"].to_numpy(dtype=np.float64)
    state.weights[rows] = frame["weights"].to_numpy(dtype=np.float64)
    return state


def stored_factors(con: duckdb.DuckDBPyConnection, version: str) -> list[str]:
    rows = con.execute(
        "SELECT factor FROM risk_factors WHERE risk_model = ? ORDER BY position", [version]
    ).fetchall()
    return [r[0] for r in rows]


# --------------------------------------------------------------------------------------------
# Writing
# --------------------------------------------------------------------------------------------


def _insert(con: duckdb.DuckDBPyConnection, table: str, frame: pd.DataFrame, select: str) -> None:
    name = f"_rm_frame_{table}"
    con.register(name, frame)
    try:
        con.execute(f"INSERT INTO {table} SELECT {select} FROM {name}")
    finally:
        con.unregister(name)


def write_factors(con: duckdb.DuckDBPyConnection, model: VersionSpec, est: Estimate) -> None:
    frame = pd.DataFrame(
        {
            "position": np.arange(len(est.factors), dtype=np.int32),
            "factor": est.factors,
            "kind": est.kinds,
        }
    )
    _insert(con, "risk_factors", frame, f"'{model.name}', position, factor, kind")


def write_exposures(
    con: duckdb.DuckDBPyConnection, model: VersionSpec, market: Market, est: Estimate
) -> int:
    """The exposures of the window's own descriptor dates; returns the rows written."""
    own = market.desc_days >= 0
    d_idx, s_idx = np.nonzero(est.present & own[:, None])
    frame = pd.DataFrame(
        {
            "date": market.dates[market.desc_days[d_idx]],
            "order_book_id": pd.Categorical.from_codes(s_idx, categories=market.ids),
        }
    )
    values = est.exposures[d_idx, s_idx].astype(np.float32)
    for j, s in enumerate(STYLES):
        frame[s] = values[:, j]
    _insert(
        con,
        "style_exposures",
        frame,
        f"'{model.name}', date, CAST(order_book_id AS VARCHAR), " + ", ".join(STYLES),
    )
    return len(frame)


def write_listing_exposures(
    con: duckdb.DuckDBPyConnection, model: VersionSpec, market: Market, est: Estimate
) -> None:
    frame = pd.DataFrame(
        {
            "date": market.dates[est.listing_days],
            "order_book_id": pd.Categorical.from_codes(est.listing_stocks, categories=market.ids),
        }
    )
    values = est.listing_exposures.astype(np.float32)
    for j, s in enumerate(STYLES):
        frame[s] = values[:, j]
    _insert(
        con,
        "listing_exposures",
        frame,
        f"'{model.name}', date, CAST(order_book_id AS VARCHAR), " + ", ".join(STYLES),
    )


def write_factor_returns(
    con: duckdb.DuckDBPyConnection, model: VersionSpec, market: Market, est: Estimate
) -> None:
    k_fac = len(est.factors)
    days = np.flatnonzero(np.isfinite(est.factor_returns).all(axis=1))
    frame = pd.DataFrame(
        {
            "date": np.repeat(market.dates[days], k_fac),
            "factor": pd.Categorical.from_codes(
                np.tile(np.arange(k_fac), days.size), categories=est.factors
            ),
            "value": est.factor_returns[days].ravel(),
        }
    )
    _insert(con, "factor_returns", frame, f"'{model.name}', date, CAST(factor AS VARCHAR), value")


def write_covariance(
    con: duckdb.DuckDBPyConnection,
    model: VersionSpec,
    cov_model: str,
    dates: np.ndarray,
    cov: np.ndarray,
) -> None:
    """Covariances (days x K x K) stored as their upper triangles, row by row."""
    iu = np.triu_indices(cov.shape[1])
    frame = pd.DataFrame({"date": dates, "cov": list(cov[:, iu[0], iu[1]])})
    _insert(con, "factor_covariance", frame, f"'{model.name}', '{cov_model}', date, cov::DOUBLE[]")


def write_specific(
    con: duckdb.DuckDBPyConnection,
    model: VersionSpec,
    market: Market,
    day: np.ndarray,
    stock: np.ndarray,
    value: np.ndarray,
) -> int:
    frame = pd.DataFrame(
        {
            "date": market.dates[day],
            "order_book_id": pd.Categorical.from_codes(stock, categories=market.ids),
            "value": value.astype(np.float32),
        }
    )
    _insert(
        con,
        "specific_variance",
        frame,
        f"'{model.name}', date, CAST(order_book_id AS VARCHAR), value",
    )
    return len(frame)


def write_state(
    con: duckdb.DuckDBPyConnection, model: VersionSpec, market: Market, state: SpecificState
) -> None:
    """Replace the version's state by the one at the window's last day."""
    con.execute("DELETE FROM specific_state WHERE risk_model = ?", [model.name])
    frame = pd.DataFrame(
        {"order_book_id": market.ids, "sums": state.sums, "weights": state.weights}
    )
    frame["date"] = market.dates[-1]
    _insert(con, "specific_state", frame, f"'{model.name}', date, order_book_id, sums, weights")
