"""The one coercion of the package's Python side: dates, enumeration members, ids and weights.

The risk-model helper, the report, the strategy files of backtests and the ``morvane`` command
all read a caller's loose values through these functions, so each kind of value is accepted and
refused by one rule, with one message:

* **dates** (:func:`to_date`): a ``datetime.date``; a ``datetime.datetime`` or
  ``pandas.Timestamp`` (its calendar day); a ``numpy.datetime64``; text ``'2025-06-03'`` or
  ``'20250603'``: the forms of the data client's own arguments (``tarnwick.arguments``).  A value
  of another type is refused with the words the optimiser uses for it, ``expect a datetime like
  object, got <type>(<value>)``; unreadable text and a missing date (``None``, ``NaT``) are
  refused naming the argument.
* **enumeration members** (:func:`to_member`): a member of ``IndustryClassification``,
  ``CovModel`` or ``RiskModel``, its value (``"daily"``) or its name
  (``"FACTOR_MODEL_DAILY"``); anything else is refused with ``invalid value <value> for
  <class name>``.
* **ids** (:func:`to_ids`): one id string or an iterable of id strings, as the data client reads
  them; returned as a list, duplicates kept.
* **weights** (:func:`to_weights`): a pandas Series or a mapping of finite numbers indexed by
  unique id strings; returned as a float Series.

Every refusal is an ``InvalidArgument``.

One entry keeps a rule of its own: ``morvane.optimize.portfolio_optimize`` and its public
``to_enum`` and ``to_date`` refuse a member's name (only a member or its value is accepted) and
read date text with the date parser, which accepts more spellings than the two above.  Values
that pass the rule here pass there too and mean the same, apart from member names and
``numpy.datetime64`` dates, which it refuses; the package turns names into values before it
calls the optimiser.
"""

from __future__ import annotations

import datetime
import math
from collections.abc import Mapping
from enum import Enum
from typing import Any, TypeVar

import numpy as np
import pandas as pd

from morvane.exception import InvalidArgument
from tarnwick import arguments

__all__ = ["to_date", "to_ids", "to_member", "to_weights"]

_E = TypeVar("_E", bound=Enum)
#: At most this many offending ids are named in one message.
SHOWN = 5


def to_date(value: object, name: str = "date") -> datetime.date:
    """``value`` as a ``datetime.date`` (see the module's rule); ``InvalidArgument`` otherwise."""
    try:
        return arguments.to_date(value, name)
    except TypeError:
        if value is None:
            raise InvalidArgument(f"{name} must be a date, got None") from None
        raise InvalidArgument(
            f"expect a datetime like object, got {type(value)!r}({value!r})"
        ) from None
    except ValueError as exc:
        raise InvalidArgument(str(exc)) from None


def to_member(value: object, enum: type[_E]) -> _E:
    """The member of ``enum`` that ``value`` is, has as value or names; ``InvalidArgument``
    ``invalid value <value> for <class name>`` otherwise."""
    if isinstance(value, enum):
        return value
    try:
        return enum(value)
    except (ValueError, TypeError):
        pass
    if isinstance(value, str) and value in enum.__members__:
        return enum.__members__[value]
    raise InvalidArgument(f"invalid value {value} for {enum.__name__}")


def to_ids(value: object, name: str = "order_book_ids") -> list[str]:
    """One id string or an iterable of them, as a list (duplicates kept); ``InvalidArgument``
    naming ``name`` otherwise."""
    try:
        ids, _ = arguments.to_ids(value, name)
    except TypeError as exc:
        raise InvalidArgument(str(exc)) from None
    return ids


def to_weights(value: object, name: str = "weights") -> pd.Series:
    """A Series (or mapping) of finite numbers indexed by unique id strings, as a float Series
    named ``name``; ``InvalidArgument`` naming ``name`` and the offending ids otherwise."""
    if isinstance(value, Mapping) and not isinstance(value, pd.Series):
        value = pd.Series(dict(value), dtype=object)
    if not isinstance(value, pd.Series):
        raise InvalidArgument(
            f"{name} must be a pandas Series of weights indexed by order_book_id, "
            f"got {type(value).__name__}"
        )
    bad_ids = [repr(i) for i in value.index if not isinstance(i, str)]
    if bad_ids:
        raise InvalidArgument(f"{name} must be indexed by order_book_id strings: {bad_ids[:SHOWN]}")
    repeated = sorted(set(value.index[value.index.duplicated()]))
    if repeated:
        raise InvalidArgument(f"{name} names some stocks more than once: {repeated[:SHOWN]}")
    try:
        values = np.asarray(pd.to_numeric(value, errors="raise"), dtype=np.float64)
    except (TypeError, ValueError):
        raise InvalidArgument(f"{name} must hold numbers; {_not_numbers(value)}") from None
    not_finite = [str(i) for i, v in zip(value.index, values) if not math.isfinite(v)]
    if not_finite:
        raise InvalidArgument(f"{name} must be finite numbers; not for {not_finite[:SHOWN]}")
    return pd.Series(values, index=pd.Index(value.index, dtype=object), name=name)


def member_values(enum: type[Enum]) -> list[Any]:
    """The values of ``enum``'s members, in order: the spellings to show a user."""
    return [member.value for member in enum]


def _not_numbers(value: pd.Series) -> str:
    """The first entries of ``value`` that are not numbers, named by their id."""
    numbers = pd.to_numeric(value, errors="coerce")
    bad = [
        f"{i} = {v!r}"
        for i, v, n in zip(value.index, value, numbers)
        if pd.isna(n) and not (isinstance(v, float) and math.isnan(v))
    ]
    return "not for " + ", ".join(bad[:SHOWN]) if bad else "some entries are not numbers"
