"""The exceptions of tarnwick.

Everything a caller asked for that the store cannot give is a :class:`DataError` (a
``ValueError``): a name the store does not keep, a date outside its calendar, data missing on
a day, a file an import refused.  Catch ``tarnwick.DataError`` for "not in the store" as one
class; each kind below also keeps the built-in class it was raised as before.

:class:`StoreError` is the other kind of fault: the store file itself (missing, damaged, of
another schema version) or its location.  It is a ``RuntimeError`` and deliberately no
``DataError``: a handler that turns a refused request into advice must not mistake a damaged
file for a bad date.
"""

from __future__ import annotations

from pathlib import Path

__all__ = [
    "DataError",
    "NotStoredError",
    "OutsideCalendarError",
    "MissingDataError",
    "InvalidFileError",
    "StoreError",
]


class DataError(ValueError):
    """The store cannot answer the call as asked: what it asked for is not there."""


class NotStoredError(DataError):
    """A name the store does not keep: a factor or a price field."""


class OutsideCalendarError(DataError):
    """A date, or a step from one, that falls outside the store's trading calendar."""


class MissingDataError(DataError, LookupError):
    """The store keeps no data of the kind asked for on that day (a risk model's factor
    covariance, a trading calendar).  Also a ``LookupError``, as it was raised before."""


class InvalidFileError(DataError):
    """A raw table refused on import: names the file, the line (header = line 1) and the
    column of the first bad cell."""

    def __init__(self, path: Path, line: int, column: str, problem: str) -> None:
        self.path, self.line, self.column, self.problem = path, line, column, problem
        super().__init__(f"{path}, line {line}, column {column}: {problem}")

    def __reduce__(self) -> tuple[type, tuple[Path, int, str, str]]:
        # Rebuilt from its parts, so that it survives pickling (a worker process's error).
        return type(self), (self.path, self.line, self.column, self.problem)


class StoreError(RuntimeError):
    """A fault of the store file or of its location, explained in one line."""
