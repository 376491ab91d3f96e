"""OptimizeHelper: the risk-model data of one optimisation, assembled from the data client.

The covariance of stocks i and j is ``X F X' * factor_risk_aversion + diag(D) *
specific_risk_aversion`` with X the exposures (market, industries, styles) of the last descriptor
date on or before the previous trading day, F the annualised factor covariance and D the
annualised specific variances as of the close of the previous trading day.  Nothing dated after
the previous trading day is read by the helper itself; the benchmark's weights come from
``benchmark.get_weight(date)`` alone.

Edge cases, by choice:

* every stock tradeable on the date (listed before it, not delisted) has exposures and a
  specific variance on the previous trading day, new listings included; another stock of the
  store without them (a benchmark's stock listed on the date, or delisted) sits at the
  cap-weighted mean (style exposures 0) with the day's median specific variance; an id that is
  not a stock of the store is refused with an ``InvalidArgument`` naming it; so is a
  non-finite value in the model;
* a stock without an industry maps to "UNKNOWN" and has no industry factor exposure;
* benchmark weights are used as given (not renormalised); zero weights are dropped, a NaN or
  infinite weight is refused, and so is an id named twice;
* the date must lie after the first and on or before the last day of the store's calendar.

The helper is a facade: the pieces live in ``morvane.riskdata`` (the cache, the benchmark's
weights, the factor model and its loader, industries), its arguments are read by
``morvane.coerce``.  The model is described in ``docs/riskmodel.md``.
"""

from __future__ import annotations

import contextlib
import datetime
import math
from typing import Any

import numpy as np
import pandas as pd

import tarnwick
from morvane.coerce import to_date, to_ids, to_member
from morvane.const import CovModel, IndustryClassification, RiskModel
from morvane.exception import InvalidArgument
from morvane.riskdata.benchmark import benchmark_weights
from morvane.riskdata.cache import clear_cache, store_identity
from morvane.riskdata.calendar import previous_trading_date
from morvane.riskdata.factormodel import FactorModel, load_factor_model
from morvane.riskdata.industries import UNKNOWN_INDUSTRY, custom_industries, stored_industries

__all__ = ["OptimizeHelper", "UNKNOWN_INDUSTRY", "clear_cache"]


def _aversion(value: object, name: str) -> float:
    try:
        number = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        raise InvalidArgument(f"{name} 必须是非负实数: {value!r}") from None
    if not math.isfinite(number) or number < 0:
        raise InvalidArgument(f"{name} 必须是非负实数: {value!r}")
    return number


def _one_store_file() -> contextlib.AbstractContextManager[object]:
    """``tarnwick.snapshot()``, so that every read of the helper sees one store file; nothing
    when the client offers none."""
    snapshot = getattr(tarnwick, "snapshot", None)
    return snapshot() if callable(snapshot) else contextlib.nullcontext()


class OptimizeHelper:
    """Universe, benchmark and risk-model data of one optimisation.

    :param order_book_ids: the sorted universe
    :param date: the date the weights are for; data end at the previous trading day
    :param benchmark: None or an object whose ``get_weight(date)`` returns weights by id
    :param cov_model: a ``CovModel`` member (or its value or name)
    :param risk_model: a ``RiskModel`` member (or its value or name)
    :param factor_risk_aversion: multiplies the factor part of the covariance
    :param specific_risk_aversion: multiplies the specific part of the covariance
    """

    def __init__(
        self,
        order_book_ids: list[str],
        date: datetime.date,
        benchmark: Any,
        cov_model: CovModel,
        risk_model: RiskModel,
        factor_risk_aversion: float,
        specific_risk_aversion: float,
    ) -> None:
        self.order_book_ids: list[str] = to_ids(order_book_ids)
        if not self.order_book_ids:
            raise InvalidArgument("股票池为空")
        self.date = to_date(date)
        self.benchmark = benchmark
        self.cov_model = to_member(cov_model, CovModel)
        self.risk_model = to_member(risk_model, RiskModel)
        self.factor_risk_aversion = _aversion(factor_risk_aversion, "factor_risk_aversion")
        self.specific_risk_aversion = _aversion(specific_risk_aversion, "specific_risk_aversion")

        with _one_store_file():
            self._read_market()

    def _read_market(self) -> None:
        identity = store_identity()
        self.prev_trading_date = previous_trading_date(self.date, identity)

        weights = benchmark_weights(self.benchmark, self.date)
        universe = set(self.order_book_ids)
        outside = [s for s in weights.index if s not in universe]
        self.union_components: list[str] = self.order_book_ids + outside
        self.benchmark_components: list[str] = list(weights.index)
        self.benchmark_weight = pd.Series(
            weights.reindex(self.union_components, fill_value=0.0).to_numpy(dtype=np.float64),
            index=pd.Index(self.union_components, dtype=object),
            name="weight",
        )

        self._model: FactorModel = load_factor_model(
            self.union_components, self.prev_trading_date, self.cov_model, self.risk_model, identity
        )
        self._industry_cache: dict[str, pd.Series] = {
            self._model.classification: self._model.industries
        }
        self._union_cov: np.ndarray | None = None
        self._cov: np.ndarray | None = None

    # ---------------------------------------------------------------------------------------
    # covariance
    # ---------------------------------------------------------------------------------------

    def get_factor_model(self, union: bool = False) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """``(X, F, d)`` with ``X F X' + diag(d)`` the covariance over the universe (or, with
        ``union``, over ``union_components``): X the exposures (market, industries, styles), F
        the annualised factor covariance times ``factor_risk_aversion``, d the annualised
        specific variances times ``specific_risk_aversion``."""
        rows = len(self.union_components) if union else len(self.order_book_ids)
        x = self._model.exposures[:rows]
        f = self._model.covariance.cov * self.factor_risk_aversion
        d = self._model.specific[:rows] * self.specific_risk_aversion
        return x, f, d

    def get_factor_kinds(self) -> pd.Series:
        """The kind of each factor ("market", "industry" or "style"), indexed by factor name in
        the order of the columns of X and of F in ``get_factor_model``."""
        names = pd.Index(self._model.factor_names, dtype=object)
        return pd.Series(self._model.kinds, index=names, name="kind")

    def _loadings(self, start: int, stop: int) -> np.ndarray:
        return self._model.loadings(start, stop, self.factor_risk_aversion)

    def _add_specific(self, cov: np.ndarray, start: int, stop: int) -> None:
        self._model.add_specific(cov, start, stop, self.specific_risk_aversion)

    def _compute_cov(self, rows: int) -> np.ndarray:
        loadings = self._loadings(0, rows)
        # A product of a matrix with its own transpose is computed as a symmetric rank-k update
        # and comes out exactly symmetric.
        cov = loadings @ loadings.T
        self._add_specific(cov, 0, rows)
        # Shared by every objective and constraint of the call: nobody may change it.
        cov.flags.writeable = False
        return cov

    def get_union_cov_matrix(self) -> np.ndarray:
        """Annualised covariance matrix over ``union_components`` (m x m, read-only); its
        leading n x n block is exactly ``get_cov_matrix()``."""
        if self._union_cov is None:
            n, m = len(self.order_book_ids), len(self.union_components)
            if m == n:
                self._union_cov = self.get_cov_matrix()
            elif self._cov is None:
                self._union_cov = self._compute_cov(m)
            else:
                # Keep the universe block already handed out, bit for bit.
                inside, outside = self._loadings(0, n), self._loadings(n, m)
                cov = np.empty((m, m))
                cov[:n, :n] = self._cov
                cov[n:, :n] = outside @ inside.T
                cov[:n, n:] = cov[n:, :n].T
                cov[n:, n:] = outside @ outside.T
                self._add_specific(cov[n:, n:], n, m)
                cov.flags.writeable = False
                self._union_cov = cov
        return self._union_cov

    def get_cov_matrix(self) -> np.ndarray:
        """Annualised covariance matrix over ``order_book_ids`` (n x n, read-only)."""
        if self._cov is None:
            n = len(self.order_book_ids)
            if self._union_cov is not None:
                self._cov = np.array(self._union_cov[:n, :n])
                self._cov.flags.writeable = False
            else:
                self._cov = self._compute_cov(n)
        return self._cov

    # ---------------------------------------------------------------------------------------
    # industries and styles
    # ---------------------------------------------------------------------------------------

    def _union_industries(self, classification: object) -> pd.Series:
        if isinstance(classification, (dict, pd.Series)):
            return custom_industries(classification, self.union_components)
        key = to_member(classification, IndustryClassification).value
        if key not in self._industry_cache:
            self._industry_cache[key] = stored_industries(key, self.union_components)
        return self._industry_cache[key]

    def get_industry_mapping(
        self, classification: object = IndustryClassification.SWS
    ) -> pd.Series:
        """Industry name of every universe stock ("UNKNOWN" when it has none), indexed by
        ``order_book_ids`` in order.  ``classification`` is an ``IndustryClassification`` member,
        its value or name, or a custom Series / dict from id to industry."""
        full = self._union_industries(classification)
        return full.iloc[: len(self.order_book_ids)].copy()

    def get_benchmark_industry_weight(
        self, classification: object = IndustryClassification.SWS
    ) -> pd.Series:
        """Total benchmark weight per industry (empty without benchmark)."""
        if self.benchmark is None:
            return pd.Series(dtype=np.float64, name="weight")
        mapping = self._union_industries(classification)
        weights = self.benchmark_weight
        held = weights.to_numpy() != 0.0
        out = weights[held].groupby(mapping[held].to_numpy(), sort=True).sum()
        out.index.name = "industry"
        out.name = "weight"
        return out

    def get_factor_exposure(self) -> pd.DataFrame:
        """Style exposures of the universe: one row per stock in order, one column per style of
        ``STYLE_FACTORS`` that the risk model provides."""
        return self._model.style_values.iloc[: len(self.order_book_ids)].copy()

    def get_benchmark_style(self) -> pd.Series:
        """Benchmark-weighted style exposures (all zeros without benchmark)."""
        values = self.benchmark_weight.to_numpy() @ self._model.style_values.to_numpy()
        styles = pd.Index(self._model.styles, dtype=object)
        return pd.Series(values, index=styles, name="style")
