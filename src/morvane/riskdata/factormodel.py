"""The factor model of one optimisation: ``X F X' + diag(d)`` over the universe followed by the
benchmark's other components, as one read-only value built by :func:`load_factor_model`.

X holds the exposures (market, industries, styles) of the last descriptor date on or before the
previous trading day, F the annualised factor covariance and d the annualised specific variances
as of its close.  A stock of the store that the model does not cover on that day (a benchmark's
stock listed on the date, or delisted) sits at the cap-weighted mean (style exposures 0) with
the day's median specific variance; an id that is not a stock of the store is refused by name,
and so is a non-finite value of the model.
"""

from __future__ import annotations

import datetime
import math
from dataclasses import dataclass

import numpy as np
import pandas as pd

import tarnwick
import tarnwick.riskmodel
from morvane.const import STYLE_FACTORS, CovModel, RiskModel
from morvane.exception import InvalidArgument
from morvane.riskdata.cache import cached
from morvane.riskdata.industries import stored_industries
from morvane.riskdata.psd import FactorCovariance

__all__ = ["FactorModel", "load_factor_model"]


def _name_list(ids: list[str], shown: int = 20) -> str:
    """``ids`` for a message: all of them, or the first ``shown`` and how many there are."""
    if len(ids) <= shown:
        return str(list(ids))
    return f"{list(ids[:shown])} 等 {len(ids)} 只"


@dataclass(frozen=True, eq=False)
class FactorModel:
    """The risk model over ``ids`` (rows of ``exposures`` and ``specific``, in order).

    :ivar exposures: X, one row per id, one column per factor of ``covariance`` (read-only)
    :ivar covariance: F, annualised, positive semidefinite, with its root
    :ivar specific: d, the annualised specific variances (read-only)
    :ivar kinds: the kind of each factor ("market", "industry", "style" or "other")
    :ivar styles: the style factors of ``STYLE_FACTORS`` that the model has, in that order
    :ivar style_values: the style columns of X as a frame over ``ids``
    :ivar classification: the classification of the model's industry factors
    :ivar industries: the industry of each id under ``classification``
    """

    ids: list[str]
    exposures: np.ndarray
    covariance: FactorCovariance
    specific: np.ndarray
    kinds: list[str]
    styles: list[str]
    style_values: pd.DataFrame
    classification: str
    industries: pd.Series

    @property
    def factor_names(self) -> list[str]:
        return self.covariance.names

    def loadings(self, start: int, stop: int, factor_scale: float) -> np.ndarray:
        """Rows ``start:stop`` of L = X root(F) sqrt(factor_scale), so that the factor part of
        the covariance of those rows, times ``factor_scale``, is L L'."""
        root = self.covariance.root * math.sqrt(factor_scale)
        return self.exposures[start:stop] @ root

    def add_specific(self, cov: np.ndarray, start: int, stop: int, specific_scale: float) -> None:
        """Add the specific variances of rows ``start:stop``, times ``specific_scale``, to the
        diagonal of ``cov`` (their block)."""
        rows = np.arange(stop - start)
        cov[rows, rows] += self.specific[start:stop] * specific_scale


def _unknown_stocks(ids: list[str]) -> list[str]:
    """The ids of ``ids`` that are not stocks of the store."""
    records = tarnwick.instruments(list(ids))
    stocks = {r.order_book_id for r in (records or []) if getattr(r, "type", None) == "CS"}
    return [s for s in ids if s not in stocks]


@dataclass(frozen=True)
class _Tables:
    """What the store holds for one day and model: the pieces the model is made of."""

    covariance: FactorCovariance
    kinds: pd.DataFrame
    exposures: pd.DataFrame
    specific: pd.Series


def _read_tables(
    identity: tuple[object, ...], prev: datetime.date, cov_model: CovModel, risk_model: RiskModel
) -> _Tables:
    rm = tarnwick.riskmodel
    version, horizon = risk_model.value, cov_model.value

    def read_cov() -> FactorCovariance | None:
        try:
            frame = rm.get_factor_covariance(version, horizon, prev)
        except LookupError:
            return None
        return FactorCovariance(frame)

    covariance = cached(identity, ("cov", version, horizon, prev), read_cov)
    if covariance is None:
        raise InvalidArgument(f"{prev} 没有风险模型 {version} / {horizon} 的因子协方差数据")
    return _Tables(
        covariance=covariance,
        kinds=cached(identity, ("factors", version), lambda: rm.factor_table(version)),
        exposures=cached(
            identity, ("exposures", version, prev), lambda: rm.get_style_exposures(version, prev)
        ),
        specific=cached(
            identity, ("specific", version, prev), lambda: rm.get_specific_variance(version, prev)
        ),
    )


def _exposure_matrix(
    tables: _Tables, ids: list[str], expo_pos: np.ndarray, industry: pd.Series, styles: list[str]
) -> tuple[np.ndarray, np.ndarray]:
    """(X, the style columns of X): market 1, one industry column per industry factor, styles
    from the stored exposures (0 where the store has none for an id)."""
    column = {name: j for j, name in enumerate(tables.covariance.names)}
    kinds = tables.kinds
    industry_names = {f for f, k in zip(kinds["factor"], kinds["kind"]) if k == "industry"}
    x = np.zeros((len(ids), len(column)))
    x[:, column[tarnwick.riskmodel.MARKET_FACTOR]] = 1.0
    ind_col = np.array([column[v] if v in industry_names else -1 for v in industry], dtype=np.int64)
    has = ind_col >= 0
    x[np.flatnonzero(has), ind_col[has]] = 1.0
    stored = tables.exposures[styles].to_numpy(dtype=np.float64)
    style_values = np.where((expo_pos >= 0)[:, None], stored[expo_pos], 0.0)
    x[:, [column[s] for s in styles]] = style_values
    return x, style_values


def load_factor_model(
    ids: list[str],
    prev: datetime.date,
    cov_model: CovModel,
    risk_model: RiskModel,
    identity: tuple[object, ...],
) -> FactorModel:
    """The factor model over ``ids`` as of the close of ``prev``, read from the store file
    ``identity`` (its tables cached by day and model)."""
    tables = _read_tables(identity, prev, cov_model, risk_model)
    index = pd.Index(ids, dtype=object)
    expo_pos = tables.exposures.index.get_indexer(index)
    spec_pos = tables.specific.index.get_indexer(index)
    uncovered = [s for s, a, b in zip(ids, expo_pos, spec_pos) if a < 0 or b < 0]
    if uncovered:
        unknown = _unknown_stocks(uncovered)
        if unknown:
            raise InvalidArgument(f"以下代码不是数据库中的股票: {_name_list(unknown)}")
    specific = tables.specific.to_numpy(dtype=np.float64)
    prior = float(np.median(specific)) if len(specific) else 0.0

    names = tables.covariance.names
    styles = [s for s in STYLE_FACTORS if s in tables.exposures.columns and s in names]
    classification = tarnwick.riskmodel.VERSIONS[risk_model.value].classification
    industry = stored_industries(classification, ids)
    x, style_values = _exposure_matrix(tables, ids, expo_pos, industry, styles)
    d = np.where(spec_pos >= 0, specific[spec_pos], prior)

    # A NaN would make every covariance entry of its row NaN: refuse it here, by name.
    bad = ~(np.isfinite(x).all(axis=1) & np.isfinite(d) & (d >= 0))
    if bad.any():
        raise InvalidArgument(
            f"以下股票在 {prev} 的风险模型 {risk_model.value} 数据无效: "
            f"{_name_list([ids[i] for i in np.flatnonzero(bad)])}"
        )
    x.flags.writeable = False
    d.flags.writeable = False
    kind_of = dict(zip(tables.kinds["factor"], tables.kinds["kind"]))
    return FactorModel(
        ids=list(ids),
        exposures=x,
        covariance=tables.covariance,
        specific=d,
        kinds=[str(kind_of.get(name, "other")) for name in names],
        styles=styles,
        style_values=pd.DataFrame(style_values, index=index, columns=styles),
        classification=classification,
        industries=industry,
    )
