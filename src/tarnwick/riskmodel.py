"""The risk model of the store: its read functions, and re-estimation in place.

The model and its tables are described in ``docs/riskmodel.md``; the estimation lives in
``tarnwick.build`` (``estimate`` computes, ``riskdata`` loads and writes, ``riskmodel`` runs
the steps).  Every read function takes a date and reads nothing stamped after it.
"""

from __future__ import annotations

import datetime as _dt
import os
import shutil
from collections.abc import Callable, Iterable
from pathlib import Path

import duckdb
import numpy as np
import pandas as pd

from tarnwick import store
from tarnwick.arguments import to_date
from tarnwick.db.atomic import replacing
from tarnwick.errors import MissingDataError
from tarnwick.reference.riskmodel import (
    ANNUALISATION,
    COV_MODELS,
    MARKET_FACTOR,
    STYLES,
    VERSIONS,
    VersionSpec,
)

__all__ = [
    "ANNUALISATION",
    "MARKET_FACTOR",
    "STYLES",
    "COV_MODELS",
    "VERSIONS",
    "VersionSpec",
    "build_risk_model",
    "rebuild_risk_model",
    "risk_model_tables",
    "factor_names",
    "factor_table",
    "get_style_exposures",
    "get_factor_covariance",
    "get_specific_variance",
    "get_factor_returns",
    "covariance_dates",
    "calendar_bounds",
]


def risk_model_tables() -> tuple[str, ...]:
    """Names of the risk-model tables."""
    from tarnwick.build.riskdata import TABLES

    return tuple(TABLES)


def build_risk_model(con: duckdb.DuckDBPyConnection, progress: bool | Callable = True) -> None:
    """Estimate every risk-model version over the whole history of the store open on ``con``
    (read-write) and write the risk-model tables (``tarnwick.build.riskmodel``; the
    estimator loads only when this runs)."""
    from tarnwick.build import riskmodel

    riskmodel.build_risk_model(con, progress)


def rebuild_risk_model(path: str | os.PathLike[str] | None = None, progress: bool = True) -> None:
    """Re-estimate the risk model of an existing store file (the default store when ``path`` is
    None): copy it, rebuild the risk-model tables in the copy, rename the copy into place."""
    target = Path(path).expanduser() if path is not None else store.store_path()
    if not target.is_file():
        raise FileNotFoundError(f"no store at {target}")
    with replacing(target) as tmp:
        shutil.copyfile(target, tmp)
        con = duckdb.connect(str(tmp))
        try:
            build_risk_model(con, progress=progress)
            con.execute("CHECKPOINT")
        finally:
            con.close()
    store.close()


# --------------------------------------------------------------------------------------------
# Reading
# --------------------------------------------------------------------------------------------


def _version(risk_model: object) -> str:
    name = getattr(risk_model, "value", risk_model)
    if name not in VERSIONS:
        raise ValueError(f"unknown risk model {risk_model!r}; known: {sorted(VERSIONS)}")
    return str(name)


def _cov_model(cov_model: object) -> str:
    name = getattr(cov_model, "value", cov_model)
    if name not in COV_MODELS:
        raise ValueError(f"unknown covariance model {cov_model!r}; known: {list(COV_MODELS)}")
    return str(name)


def _query(sql: str, params: list[object]) -> pd.DataFrame:
    return store.query(sql, params)


def _as_date(value: object, name: str = "date") -> _dt.date:
    return to_date(value, name)


def calendar_bounds() -> tuple[_dt.date, _dt.date]:
    """First and last day of the store's trading calendar."""
    frame = _query("SELECT min(date) AS first, max(date) AS last FROM trading_dates", [])
    if frame.empty or pd.isna(frame["first"].iloc[0]):
        raise MissingDataError("the store has an empty trading calendar")
    return _as_date(frame["first"].iloc[0]), _as_date(frame["last"].iloc[0])


def factor_table(risk_model: object) -> pd.DataFrame:
    """The factors of a version in covariance order: columns ``factor`` and ``kind``
    ("market", "industry" or "style")."""
    frame = _query(
        "SELECT factor, kind FROM risk_factors WHERE risk_model = ? ORDER BY position",
        [_version(risk_model)],
    )
    return frame.reset_index(drop=True)


def factor_names(risk_model: object) -> list[str]:
    """Factor names of a version in covariance order: market, industries, styles."""
    return list(factor_table(risk_model)["factor"])


def get_style_exposures(
    risk_model: object, date: object, order_book_ids: Iterable[str] | None = None
) -> pd.DataFrame:
    """Standardised style exposures of the last descriptor date on or before ``date``, and
    those of the stocks listed since that date up to ``date`` (see ``docs/riskmodel.md``).

    A DataFrame indexed by ``order_book_id`` (sorted) with one column per style; stocks without
    exposures on that date are absent.  ``attrs['date']`` holds the descriptor date used (None
    when there is none).
    """
    version, day = _version(risk_model), _as_date(date)
    styles = ", ".join(STYLES)
    only = " AND list_contains(?, order_book_id)" if order_book_ids is not None else ""
    ids = [list(order_book_ids)] if order_book_ids is not None else []
    # The last descriptor date's cross-section, and the stocks listed since then.
    sql = (
        "WITH snap AS (SELECT max(date) AS d FROM style_exposures "
        "WHERE risk_model = ? AND date <= ?) "
        f"SELECT 0 AS listing, date, order_book_id, {styles} FROM style_exposures "
        f"WHERE risk_model = ? AND date = (SELECT d FROM snap){only} "
        f"UNION ALL SELECT 1 AS listing, date, order_book_id, {styles} FROM listing_exposures "
        f"WHERE risk_model = ? AND date >= (SELECT d FROM snap) AND date <= ?{only}"
    )
    params: list[object] = [version, day, version, *ids, version, day, *ids]
    frame = _query(sql + " ORDER BY order_book_id", params)
    snapshots = frame["date"][frame["listing"] == 0]
    used = snapshots.iloc[0] if len(snapshots) else None
    out = frame.set_index("order_book_id")[list(STYLES)].astype(np.float64)
    out.index = out.index.astype(object)
    out.attrs["date"] = pd.Timestamp(used).date() if used is not None else None
    return out


def get_factor_covariance(risk_model: object, cov_model: object, date: object) -> pd.DataFrame:
    """Annualised factor covariance as of the close of ``date`` (factor returns up to and
    including it).  Raises :class:`~tarnwick.errors.MissingDataError` (a ``LookupError``) when
    the model has no covariance for that day."""
    version, model, day = _version(risk_model), _cov_model(cov_model), _as_date(date)
    names = factor_names(version)
    frame = _query(
        "SELECT cov FROM factor_covariance WHERE risk_model = ? AND cov_model = ? AND date = ?",
        [version, model, day],
    )
    if frame.empty:
        raise MissingDataError(f"no {version}/{model} factor covariance on {day}")
    packed = np.asarray(frame["cov"].iloc[0], dtype=np.float64)
    k = len(names)
    if packed.size != k * (k + 1) // 2:
        raise ValueError(
            f"corrupt factor covariance on {day}: {packed.size} values for {k} factors"
        )
    cov = np.empty((k, k))
    iu = np.triu_indices(k)
    cov[iu] = packed
    cov[(iu[1], iu[0])] = packed
    return pd.DataFrame(cov, index=names, columns=names)


def get_specific_variance(
    risk_model: object, date: object, order_book_ids: Iterable[str] | None = None
) -> pd.Series:
    """Annualised specific variances as of the close of ``date``, indexed by ``order_book_id``
    (sorted); stocks without a value that day are absent."""
    version, day = _version(risk_model), _as_date(date)
    sql = "SELECT order_book_id, value FROM specific_variance WHERE risk_model = ? AND date = ?"
    params: list[object] = [version, day]
    if order_book_ids is not None:
        sql += " AND list_contains(?, order_book_id)"
        params.append(list(order_book_ids))
    frame = _query(sql + " ORDER BY order_book_id", params)
    out = pd.Series(
        frame["value"].to_numpy(dtype=np.float64),
        index=pd.Index(frame["order_book_id"].astype(object), name="order_book_id"),
        name="specific_variance",
    )
    return out


def get_factor_returns(risk_model: object, start_date: object, end_date: object) -> pd.DataFrame:
    """Daily (not annualised) factor returns between two dates inclusive: one row per date,
    one column per factor in covariance order."""
    version = _version(risk_model)
    frame = _query(
        "SELECT date, factor, value FROM factor_returns WHERE risk_model = ? "
        "AND date >= ? AND date <= ?",
        [version, _as_date(start_date, "start_date"), _as_date(end_date, "end_date")],
    )
    wide = frame.pivot(index="date", columns="factor", values="value")
    wide = wide.reindex(columns=factor_names(version)).sort_index()
    wide.index = pd.to_datetime(wide.index)
    wide.columns.name = None
    return wide


def covariance_dates(risk_model: object, cov_model: object, end_date: object) -> list[_dt.date]:
    """Dates up to ``end_date`` that have a factor covariance."""
    frame = _query(
        "SELECT date FROM factor_covariance WHERE risk_model = ? AND cov_model = ? AND date <= ? "
        "ORDER BY date",
        [_version(risk_model), _cov_model(cov_model), _as_date(end_date, "end_date")],
    )
    return [pd.Timestamp(d).date() for d in frame["date"]]
