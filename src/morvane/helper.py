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
  infinite weight is refused;
* the date must lie after the first and on or before the last day of the store's calendar.

The model is described in ``docs/riskmodel.md``.
"""

from __future__ import annotations

import contextlib
import datetime
import math
import os
import threading
from collections import OrderedDict
from collections.abc import Callable, Hashable
from typing import Any

import numpy as np
import pandas as pd

import tarnwick
import tarnwick.riskmodel

from .const import STYLE_FACTORS, CovModel, IndustryClassification, RiskModel
from .exception import InvalidArgument

__all__ = ["OptimizeHelper", "clear_cache"]

UNKNOWN_INDUSTRY = "UNKNOWN"


class _LRU:
    """A small bounded least-recently-used cache of computed values."""

    def __init__(self, maxsize: int) -> None:
        self._maxsize = maxsize
        self._data: OrderedDict[Hashable, Any] = OrderedDict()
        self._lock = threading.Lock()

    def get(self, key: Hashable, compute: Callable[[], Any]) -> Any:
        with self._lock:
            if key in self._data:
                self._data.move_to_end(key)
                return self._data[key]
        value = compute()
        with self._lock:
            self._data[key] = value
            self._data.move_to_end(key)
            while len(self._data) > self._maxsize:
                self._data.popitem(last=False)
        return value

    def clear(self) -> None:
        with self._lock:
            self._data.clear()


# Factor covariances, full-market exposures and specific variances of recent (date, model) keys.
_CACHE = _LRU(48)


def clear_cache() -> None:
    """Forget every cached risk-model piece."""
    _CACHE.clear()


def _store_identity() -> tuple[object, ...]:
    """Identifies the store file the client reads (inside ``tarnwick.snapshot()`` the pinned
    one, even when a rebuild has renamed a new file into place since)."""
    identity = getattr(getattr(tarnwick, "store", None), "identity", None)
    if callable(identity):
        return tuple(identity())
    try:
        path = os.fspath(tarnwick.store.store_path())
        st = os.stat(path)
    except (AttributeError, OSError, TypeError):
        return ("<no store file>",)
    return (path, st.st_ino, st.st_size, st.st_mtime_ns)


def _to_date(value: object) -> datetime.date:
    if isinstance(value, datetime.datetime):
        return value.date()
    if isinstance(value, datetime.date):
        return value
    if isinstance(value, pd.Timestamp):
        return value.date()
    raise InvalidArgument(f"日期参数非法: {value!r}")


def _to_enum(value: object, enum: type) -> Any:
    if isinstance(value, enum):
        return value
    for member in enum:
        if value == member.value or value == member.name:
            return member
    raise InvalidArgument(f"invalid value {value} for {enum}")


def _unknown_stocks(ids: list[str]) -> list[str]:
    """The ids of ``ids`` that are not stocks of the store."""
    records = tarnwick.instruments(list(ids))
    stocks = {r.order_book_id for r in (records or []) if getattr(r, "type", None) == "CS"}
    return [s for s in ids if s not in stocks]


def _name_list(ids: list[str], shown: int = 20) -> str:
    """``ids`` for a message: all of them, or the first ``shown`` and how many there are."""
    if len(ids) <= shown:
        return str(list(ids))
    return f"{list(ids[:shown])} 等 {len(ids)} 只"


def _aversion(value: object, name: str) -> float:
    try:
        number = float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        raise InvalidArgument(f"{name} 必须是非负实数: {value!r}") from None
    if not math.isfinite(number) or number < 0:
        raise InvalidArgument(f"{name} 必须是非负实数: {value!r}")
    return number


class _FactorCov:
    """A factor covariance made positive semidefinite, with a root: F = root @ root.T."""

    def __init__(self, frame: pd.DataFrame) -> None:
        values = np.asarray(frame.to_numpy(dtype=np.float64))
        if not np.isfinite(values).all():
            raise InvalidArgument("风险模型的因子协方差含有非有限值")
        values = 0.5 * (values + values.T)
        eigval, eigvec = np.linalg.eigh(values)
        eigval = np.clip(eigval, 0.0, None)
        self.names: list[str] = [str(c) for c in frame.columns]
        self.root = eigvec * np.sqrt(eigval)
        cov = self.root @ self.root.T
        self.cov = 0.5 * (cov + cov.T)
        self.root.flags.writeable = False
        self.cov.flags.writeable = False


def _one_store_file() -> contextlib.AbstractContextManager[object]:
    """``tarnwick.snapshot()``, so that every read of the helper sees one store file; nothing
    when the client offers none."""
    snapshot = getattr(tarnwick, "snapshot", None)
    return snapshot() if callable(snapshot) else contextlib.nullcontext()


def _calendar_bounds(identity: tuple[object, ...]) -> tuple[datetime.date, datetime.date]:
    def compute() -> tuple[datetime.date, datetime.date]:
        first, last = tarnwick.riskmodel.calendar_bounds()
        return first, last

    return _CACHE.get((identity, "calendar"), compute)


class OptimizeHelper:
    """Universe, benchmark and risk-model data of one optimisation.

    :param order_book_ids: the sorted universe
    :param date: the date the weights are for; data end at the previous trading day
    :param benchmark: None or an object whose ``get_weight(date)`` returns weights by id
    :param cov_model: a ``CovModel`` member (or its value)
    :param risk_model: a ``RiskModel`` member (or its value)
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
        self.order_book_ids: list[str] = list(order_book_ids)
        if not self.order_book_ids:
            raise InvalidArgument("股票池为空")
        self.date = _to_date(date)
        self.benchmark = benchmark
        self.cov_model = _to_enum(cov_model, CovModel)
        self.risk_model = _to_enum(risk_model, RiskModel)
        self.factor_risk_aversion = _aversion(factor_risk_aversion, "factor_risk_aversion")
        self.specific_risk_aversion = _aversion(specific_risk_aversion, "specific_risk_aversion")

        with _one_store_file():
            self._read_market()

    def _read_market(self) -> None:
        identity = _store_identity()
        first, last = _calendar_bounds(identity)
        if not first < self.date <= last:
            raise InvalidArgument(
                f"日期 {self.date} 超出交易日历范围 ({first}, {last}], 没有之前的交易日数据"
            )
        self.prev_trading_date = _to_date(tarnwick.get_previous_trading_date(self.date))

        weights = self._read_benchmark()
        universe = set(self.order_book_ids)
        outside = [s for s in weights.index if s not in universe]
        self.union_components: list[str] = self.order_book_ids + outside
        self.benchmark_components: list[str] = list(weights.index)
        self.benchmark_weight = pd.Series(
            weights.reindex(self.union_components, fill_value=0.0).to_numpy(dtype=np.float64),
            index=pd.Index(self.union_components, dtype=object),
            name="weight",
        )

        self._load_model(identity)
        self._industry_cache: dict[str, pd.Series] = {}
        self._union_cov: np.ndarray | None = None
        self._cov: np.ndarray | None = None

    # ---------------------------------------------------------------------------------------
    # construction
    # ---------------------------------------------------------------------------------------

    def _read_benchmark(self) -> pd.Series:
        """The benchmark's weights on ``date``: finite, non-zero, one entry per id, sorted."""
        if self.benchmark is None:
            return pd.Series(dtype=np.float64)
        raw = self.benchmark.get_weight(self.date)
        if raw is None:
            raise InvalidArgument(f"基准在 {self.date} 没有权重数据")
        try:
            weights = pd.Series(raw, dtype=np.float64)
        except (TypeError, ValueError) as exc:
            raise InvalidArgument(f"基准权重非法: {exc}") from None
        weights.index = weights.index.astype(object)
        values = weights.to_numpy()
        bad = [str(i) for i in weights.index[~np.isfinite(values)]]
        if bad:
            raise InvalidArgument(f"基准在 {self.date} 的权重不是有限数: {_name_list(bad)}")
        weights = weights[values != 0.0]
        weights = weights.groupby(level=0, sort=True).sum()
        if weights.empty:
            raise InvalidArgument(f"基准在 {self.date} 没有权重非零的成分股")
        return weights

    def _load_model(self, identity: tuple[object, ...]) -> None:
        rm = tarnwick.riskmodel
        version = self.risk_model.value
        prev = self.prev_trading_date

        def read_cov() -> _FactorCov | None:
            try:
                frame = rm.get_factor_covariance(version, self.cov_model.value, prev)
            except LookupError:
                return None
            return _FactorCov(frame)

        factor_cov = _CACHE.get((identity, "cov", version, self.cov_model.value, prev), read_cov)
        if factor_cov is None:
            raise InvalidArgument(
                f"{prev} 没有风险模型 {version} / {self.cov_model.value} 的因子协方差数据"
            )
        kinds = _CACHE.get((identity, "factors", version), lambda: rm.factor_table(version))
        exposures = _CACHE.get(
            (identity, "exposures", version, prev), lambda: rm.get_style_exposures(version, prev)
        )
        specific = _CACHE.get(
            (identity, "specific", version, prev), lambda: rm.get_specific_variance(version, prev)
        )

        union = pd.Index(self.union_components, dtype=object)
        expo_pos = exposures.index.get_indexer(union)
        spec_pos = specific.index.get_indexer(union)
        uncovered = [
            s for s, a, b in zip(self.union_components, expo_pos, spec_pos) if a < 0 or b < 0
        ]
        if uncovered:
            unknown = _unknown_stocks(uncovered)
            if unknown:
                raise InvalidArgument(f"以下代码不是数据库中的股票: {_name_list(unknown)}")
        # A stored stock the model does not cover on that day (listed on or after it, or
        # delisted) sits at the cap-weighted mean, with the day's median specific variance.
        prior = float(np.median(specific.to_numpy(dtype=np.float64))) if len(specific) else 0.0

        names = factor_cov.names
        column = {name: j for j, name in enumerate(names)}
        styles = [s for s in STYLE_FACTORS if s in exposures.columns and s in column]
        industry_names = {f for f, k in zip(kinds["factor"], kinds["kind"]) if k == "industry"}
        classification = rm.VERSIONS[version].classification
        industry = self._read_industries(classification, self.union_components)

        m = len(self.union_components)
        x = np.zeros((m, len(names)))
        x[:, column[rm.MARKET_FACTOR]] = 1.0
        ind_col = np.array(
            [column[v] if v in industry_names else -1 for v in industry], dtype=np.int64
        )
        has = ind_col >= 0
        x[np.flatnonzero(has), ind_col[has]] = 1.0
        style_values = np.where(
            (expo_pos >= 0)[:, None], exposures[styles].to_numpy(dtype=np.float64)[expo_pos], 0.0
        )
        x[:, [column[s] for s in styles]] = style_values
        d = np.where(spec_pos >= 0, specific.to_numpy(dtype=np.float64)[spec_pos], prior)

        # A NaN would make every covariance entry of its row NaN: refuse it here, by name.
        bad = ~(np.isfinite(x).all(axis=1) & np.isfinite(d) & (d >= 0))
        if bad.any():
            raise InvalidArgument(
                f"以下股票在 {prev} 的风险模型 {version} 数据无效: "
                f"{_name_list([self.union_components[i] for i in np.flatnonzero(bad)])}"
            )

        x.flags.writeable = False
        d.flags.writeable = False
        self._styles = styles
        self._style_values = pd.DataFrame(style_values, index=union, columns=styles)
        self._exposures = x
        self._factor_names = names
        kind_of = dict(zip(kinds["factor"], kinds["kind"]))
        self._factor_kinds = [str(kind_of.get(name, "other")) for name in names]
        self._factor_cov = factor_cov
        self._specific = d
        self._industry_cache_init = (classification, industry)

    def _read_industries(self, classification: str, ids: list[str]) -> pd.Series:
        raw = tarnwick.get_instrument_industry(ids, classification)
        mapping = pd.Series(raw) if not isinstance(raw, pd.Series) else raw
        mapping = mapping[~mapping.index.duplicated(keep="first")]
        out = mapping.reindex(pd.Index(ids, dtype=object))
        out = out.astype(object).where(out.notna(), UNKNOWN_INDUSTRY)
        out.name = "industry"
        return out

    # ---------------------------------------------------------------------------------------
    # covariance
    # ---------------------------------------------------------------------------------------

    def get_factor_model(self, union: bool = False) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """``(X, F, d)`` with ``X F X' + diag(d)`` the covariance over the universe (or, with
        ``union``, over ``union_components``): X the exposures (market, industries, styles), F
        the annualised factor covariance times ``factor_risk_aversion``, d the annualised
        specific variances times ``specific_risk_aversion``."""
        rows = len(self.union_components) if union else len(self.order_book_ids)
        x = self._exposures[:rows]
        f = self._factor_cov.cov * self.factor_risk_aversion
        d = self._specific[:rows] * self.specific_risk_aversion
        return x, f, d

    def get_factor_kinds(self) -> pd.Series:
        """The kind of each factor ("market", "industry" or "style"), indexed by factor name in
        the order of the columns of X and of F in ``get_factor_model``."""
        return pd.Series(
            self._factor_kinds, index=pd.Index(self._factor_names, dtype=object), name="kind"
        )

    def _loadings(self, start: int, stop: int) -> np.ndarray:
        """Rows ``start:stop`` of L = X root(F) sqrt(factor_risk_aversion): X F X' = L L'."""
        root = self._factor_cov.root * math.sqrt(self.factor_risk_aversion)
        return self._exposures[start:stop] @ root

    def _add_specific(self, cov: np.ndarray, start: int, stop: int) -> None:
        rows = np.arange(stop - start)
        cov[rows, rows] += self._specific[start:stop] * self.specific_risk_aversion

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
        if isinstance(classification, dict):
            classification = pd.Series(classification, dtype=object)
        if isinstance(classification, pd.Series):
            custom = classification[~classification.index.duplicated(keep="first")]
            out = custom.reindex(pd.Index(self.union_components, dtype=object)).astype(object)
            out = out.where(out.notna(), UNKNOWN_INDUSTRY)
            out.name = "industry"
            return out
        member = _to_enum(classification, IndustryClassification)
        key = member.value
        if key not in self._industry_cache:
            own, industry = self._industry_cache_init
            if key == own:
                self._industry_cache[key] = industry
            else:
                self._industry_cache[key] = self._read_industries(key, self.union_components)
        return self._industry_cache[key]

    def get_industry_mapping(
        self, classification: object = IndustryClassification.SWS
    ) -> pd.Series:
        """Industry name of every universe stock ("UNKNOWN" when it has none), indexed by
        ``order_book_ids`` in order.  ``classification`` is an ``IndustryClassification`` member,
        its value, or a custom Series / dict from id to industry."""
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
        return self._style_values.iloc[: len(self.order_book_ids)].copy()

    def get_benchmark_style(self) -> pd.Series:
        """Benchmark-weighted style exposures (all zeros without benchmark)."""
        values = self.benchmark_weight.to_numpy() @ self._style_values.to_numpy()
        return pd.Series(values, index=pd.Index(self._styles, dtype=object), name="style")
