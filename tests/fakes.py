"""Small stand-ins for the risk-model helper, for testing objectives and constraints
without a market store."""

from __future__ import annotations

import datetime
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

import numpy as np
import pandas as pd


def random_cov(n: int, seed: int = 0) -> np.ndarray:
    """A well-conditioned symmetric positive definite matrix of annualised-looking scale."""
    rng = np.random.default_rng(seed)
    a = rng.normal(scale=0.1, size=(n, n))
    return a @ a.T / n + np.diag(rng.uniform(0.02, 0.08, size=n))


class FakeHelper:
    """The members of OptimizeHelper, filled from plain arrays.

    `benchmark` maps benchmark component ids to weights; components outside the universe are
    appended to `union_components` in sorted order.
    """

    def __init__(
        self,
        order_book_ids: Sequence[str],
        cov: np.ndarray | None = None,
        benchmark: dict[str, float] | None = None,
        union_cov: np.ndarray | None = None,
        date: datetime.date = datetime.date(2025, 6, 3),
        prev_trading_date: datetime.date = datetime.date(2025, 6, 2),
        industries: dict[str, str] | None = None,
        factor_exposure: pd.DataFrame | None = None,
        benchmark_object: object | None = None,
    ) -> None:
        self.order_book_ids = list(order_book_ids)
        n = len(self.order_book_ids)
        benchmark = benchmark or {}
        outside = sorted(set(benchmark) - set(self.order_book_ids))
        self.union_components = self.order_book_ids + outside
        m = len(self.union_components)
        self.benchmark_components = sorted(benchmark)
        self.benchmark_weight = pd.Series(
            [benchmark.get(s, 0.0) for s in self.union_components],
            index=self.union_components,
            name="weight",
        )
        self.benchmark = benchmark_object if benchmark_object is not None else (
            object() if benchmark else None
        )
        self._cov = random_cov(n) if cov is None else np.asarray(cov)
        if union_cov is None:
            union_cov = random_cov(m, seed=1)
            union_cov[:n, :n] = self._cov
        self._union_cov = np.asarray(union_cov)
        self.date = date
        self.prev_trading_date = prev_trading_date
        self._industries = industries or {}
        self._factor_exposure = factor_exposure
        self.calls: list[str] = []

    def get_cov_matrix(self) -> np.ndarray:
        self.calls.append("get_cov_matrix")
        return self._cov

    def get_union_cov_matrix(self) -> np.ndarray:
        self.calls.append("get_union_cov_matrix")
        return self._union_cov

    def get_industry_mapping(self, classification: object) -> pd.Series:
        self.calls.append("get_industry_mapping")
        if isinstance(classification, pd.Series):
            mapping = classification
        else:
            mapping = pd.Series(self._industries)
        return mapping.reindex(self.order_book_ids).fillna("UNKNOWN")

    def get_benchmark_industry_weight(self, classification: object) -> pd.Series:
        self.calls.append("get_benchmark_industry_weight")
        industry = pd.Series(self._industries).reindex(self.union_components).fillna("UNKNOWN")
        weights = self.benchmark_weight
        return weights[weights > 0].groupby(industry[weights > 0]).sum()

    def get_factor_exposure(self) -> pd.DataFrame:
        self.calls.append("get_factor_exposure")
        assert self._factor_exposure is not None
        return self._factor_exposure.reindex(self.order_book_ids)

    def get_benchmark_style(self) -> pd.Series:
        self.calls.append("get_benchmark_style")
        assert self._factor_exposure is not None
        exposure = self._factor_exposure.reindex(self.union_components).fillna(0.0)
        return exposure.T.dot(self.benchmark_weight.values)


@dataclass(frozen=True)
class FakeInstrument:
    """The fields of a data-client instrument record that the optimiser reads."""

    order_book_id: str
    type: str = "CS"
    listed_date: str = "2010-01-04"
    de_listed_date: str = "0000-00-00"


class FakeTarnwick:
    """A data client holding a fixed instrument table.

    ``instruments`` answers as the real client does: one record (or None) for a single id
    string, a list in input order with unknown ids left out for anything else.  Every call's
    argument is kept in ``calls``.
    """

    def __init__(self, records: Sequence[FakeInstrument]) -> None:
        self.records = {r.order_book_id: r for r in records}
        self.calls: list[object] = []

    def instruments(self, order_book_ids: Iterable[str]) -> object:
        self.calls.append(order_book_ids)
        if isinstance(order_book_ids, str):
            return self.records.get(order_book_ids)
        return [self.records[i] for i in order_book_ids if i in self.records]
