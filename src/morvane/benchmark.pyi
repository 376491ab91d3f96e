"""Types of morvane.benchmark: what a benchmark is to the optimiser."""

import datetime
from abc import abstractmethod

import pandas as pd

from morvane.exception import InvalidArgument as InvalidArgument

class OptimizeBenchmark:
    """Base of a benchmark of your own: subclass it and implement get_weight."""

    # Both methods are marked abstract at runtime, but the class has no ABCMeta, so nothing
    # stops instantiation; only get_weight must be implemented, hence the one marker here.
    @abstractmethod
    def get_weight(self, date: datetime.date) -> pd.Series:
        """The benchmark's weights on date, indexed by order_book_id."""
    def get_expected_returns(self, date: datetime.date, window: int = 252) -> float:
        """Annualised expected return at date; needed only when active returns are estimated."""

class IndexBenchmark(OptimizeBenchmark):
    """A market index as benchmark."""

    def __init__(self, order_book_id: str) -> None:
        """The index code; InvalidArgument when unknown or not an index."""
    def get_weight(self, date: datetime.date) -> pd.Series:
        """The index's constituent weights known at the open of date."""
    def get_expected_returns(self, date: datetime.date, window: int = 252) -> float:
        """Mean daily change over window trading days up to date, times 252."""
