"""Coercion of the client's arguments (dates, ids, counts) and the unknown-id warning.

These functions are the rules every tarnwick function applies to its arguments, and the ones
other packages build on to coerce dates and ids the same way.  Their names, signatures and
rules are stable:

- :func:`to_date`: a date, datetime, Timestamp, ``numpy.datetime64`` or a text date
  ('2024-03-05', '20240305') to a ``datetime.date``;
- :func:`to_ids`: one id string or an iterable of id strings to a list (duplicates kept);
- :func:`to_int`: an int (a numpy integer included, a bool refused) to an int;
- :func:`warn_unknown_ids`: one :class:`UnknownIdWarning` for the ids a call does not know.

Each refusal is a ``TypeError`` (wrong kind of value) or ``ValueError`` (right kind, bad
value) whose message starts with the argument's name.
"""

from __future__ import annotations

import datetime as _dt
import re
import warnings
from collections.abc import Collection, Iterable
from typing import Any

import numpy as np
import pandas as pd

__all__ = [
    "UnknownIdWarning",
    "SHOWN_UNKNOWN",
    "to_date",
    "to_int",
    "to_ids",
    "warn_unknown_ids",
]

_DATE_RE = re.compile(r"^\s*(\d{4})-?(\d{2})-?(\d{2})\s*$")
_EXCHANGES = ("XSHG", "XSHE")
#: At most this many unknown ids are named in one warning.
SHOWN_UNKNOWN = 20


class UnknownIdWarning(UserWarning):
    """Some ids of a call are not in the store; they are left out of its result."""


def to_date(value: Any, name: str) -> _dt.date:
    """``value`` as a ``datetime.date``; TypeError/ValueError naming ``name`` otherwise.

    Accepts ``datetime.date``, ``datetime.datetime``, ``pandas.Timestamp`` (their calendar
    day; the time of day is dropped), ``numpy.datetime64`` and text ('2024-03-05',
    '20240305', surrounding blanks allowed).  A missing date is refused: None with a
    TypeError, NaT with a ValueError; so is text that is no date ('2025-02-30') and any
    other type (an int such as 20240305 included, a TypeError).
    """
    if value is None:
        raise TypeError(f"{name} must be a date, got None")
    if value is pd.NaT or (isinstance(value, np.datetime64) and np.isnat(value)):
        raise ValueError(f"{name} must be a date, got NaT")
    if isinstance(value, _dt.datetime):  # pandas.Timestamp included
        return value.date()
    if isinstance(value, _dt.date):
        return value
    if isinstance(value, np.datetime64):
        return pd.Timestamp(value).date()
    if isinstance(value, str):
        m = _DATE_RE.match(value)
        if m:
            try:
                return _dt.date(int(m.group(1)), int(m.group(2)), int(m.group(3)))
            except ValueError:
                pass
        raise ValueError(f"{name} must be a date like '2024-03-05' or '20240305', got {value!r}")
    raise TypeError(f"{name} must be a date, datetime, Timestamp or date string, got {value!r}")


def to_int(value: Any, name: str) -> int:
    """``value`` as an int: a Python or numpy integer; bools, floats (even 2.0) and text are
    refused with a TypeError naming ``name``.  The range is the caller's to check."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, got {value!r}")
    return int(value)


def to_ids(order_book_ids: Any, name: str = "order_book_ids") -> tuple[list[str], bool]:
    """``(ids, given_as_str)``: one id string gives ``([id], True)``; an iterable of id
    strings (list, tuple, Series, generator, ...) gives ``(list, False)`` in its order, with
    duplicates kept and an empty iterable giving ``[]``.  None, bytes, a dict, a non-iterable
    or an element that is not a str is refused with a TypeError naming ``name``.  Ids are not
    checked against the store here (see :func:`warn_unknown_ids`)."""
    if isinstance(order_book_ids, str):
        return [order_book_ids], True
    if order_book_ids is None or isinstance(order_book_ids, (bytes, dict)):
        raise TypeError(f"{name} must be a str or an iterable of str, got {order_book_ids!r}")
    if not isinstance(order_book_ids, Iterable):
        raise TypeError(f"{name} must be a str or an iterable of str, got {order_book_ids!r}")
    out = list(order_book_ids)
    for v in out:
        if not isinstance(v, str):
            raise TypeError(f"{name} must contain only str, got {v!r} ({type(v).__name__})")
    return [str(v) for v in out], False


def _suggestion(unknown: str, stored: Collection[str]) -> str | None:
    """The one stored id that a case or whitespace fix, or an exchange suffix added to a bare
    code, makes of ``unknown``; None when there is none or several."""
    text = unknown.strip().upper()
    candidates = {text} if "." in text else {f"{text}.{x}" for x in _EXCHANGES}
    found = sorted(c for c in candidates if c in stored)
    return found[0] if len(found) == 1 else None


def warn_unknown_ids(ids: Iterable[str], stored: Collection[str], stacklevel: int = 3) -> None:
    """One :class:`UnknownIdWarning` naming the ids of ``ids`` not in ``stored`` (up to
    :data:`SHOWN_UNKNOWN` of them, each once), with the stored id each probably meant (a case
    or blank fix, or a bare code with its exchange suffix); nothing when all are stored.
    ``stacklevel`` is that of :func:`warnings.warn` counted from this function, so that the
    warning points at the line that called the public function."""
    unknown = [i for i in dict.fromkeys(ids) if i not in stored]
    if not unknown:
        return

    def named(i: str) -> str:
        hint = _suggestion(i, stored)
        return f"{i!r} (did you mean {hint!r}?)" if hint else repr(i)

    if len(unknown) == 1:
        hint = _suggestion(unknown[0], stored)
        message = f"{unknown[0]!r} is not a stored id" + (
            f"; did you mean {hint!r}?" if hint else ""
        )
    else:
        shown = ", ".join(named(i) for i in unknown[:SHOWN_UNKNOWN])
        more = len(unknown) - SHOWN_UNKNOWN
        message = f"{len(unknown)} ids are not stored ids: {shown}" + (
            f" and {more} more" if more > 0 else ""
        )
    warnings.warn(message, UnknownIdWarning, stacklevel=stacklevel)
