"""Industry names of stocks: from the store under a classification, or from a caller's own
mapping.  A stock without one is in the industry ``UNKNOWN``."""

from __future__ import annotations

import pandas as pd

import tarnwick

__all__ = ["UNKNOWN_INDUSTRY", "custom_industries", "stored_industries"]

UNKNOWN_INDUSTRY = "UNKNOWN"


def _complete(mapping: pd.Series, ids: list[str]) -> pd.Series:
    """``mapping`` (its first entry per id) over ``ids`` in order, ``UNKNOWN`` where it has
    none."""
    mapping = mapping[~mapping.index.duplicated(keep="first")]
    out = mapping.reindex(pd.Index(ids, dtype=object)).astype(object)
    out = out.where(out.notna(), UNKNOWN_INDUSTRY)
    out.name = "industry"
    return out


def stored_industries(classification: str, ids: list[str]) -> pd.Series:
    """The industries of ``ids`` under the stored ``classification`` (a classification's
    value, such as ``"sws"``)."""
    raw = tarnwick.get_instrument_industry(ids, classification)
    return _complete(raw if isinstance(raw, pd.Series) else pd.Series(raw), ids)


def custom_industries(mapping: pd.Series | dict[str, str], ids: list[str]) -> pd.Series:
    """The industries of ``ids`` under a caller's mapping from id to industry."""
    if isinstance(mapping, dict):
        mapping = pd.Series(mapping, dtype=object)
    return _complete(mapping, ids)
