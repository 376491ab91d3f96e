"""What a rebalance does when its problem is infeasible: the strategy key ``on_infeasible``.

``"hold"`` keeps the drifted portfolio and records the failure with its conflicts.
``"drop_conflicts"`` solves again without the strategy's constraints that the optimiser named in
the minimal conflict (the weight bounds ``bnds`` and the objective are never dropped), as often
as a new conflict appears, and records every constraint it dropped.  Each retry drops at least
one constraint, so the retries end; when a conflict names nothing that may be dropped, the
rebalance fails as under ``"hold"``.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import pandas as pd

__all__ = ["POLICIES", "dropped", "solve"]

POLICIES = ("hold", "drop_conflicts")

Solve = Callable[[list[Any]], pd.Series]


def _droppable(conflicts: Sequence[Any], constraints: list[Any]) -> list[Any]:
    """The members of ``constraints`` (by identity) named in ``conflicts``."""
    named = {id(c) for c in conflicts}
    return [c for c in constraints if id(c) in named]


def solve(call: Solve, constraints: list[Any], policy: str) -> tuple[pd.Series, list[str]]:
    """(weights, descriptions of the dropped constraints) of ``call(constraints)`` under
    ``policy``; the last ``OptimizationFailed`` propagates when nothing more can be dropped.
    The weights' ``attrs["morvane"]["dropped_conflicts"]`` repeats what was dropped."""
    from morvane.exception import OptimizationFailed

    kept, dropped = list(constraints), []
    while True:
        try:
            weights = call(kept)
        except OptimizationFailed as exc:
            if policy != "drop_conflicts":
                raise
            remove = _droppable(getattr(exc, "conflicts", None) or (), kept)
            if not remove:
                raise
            dropped += [repr(c) for c in remove]
            kept = [c for c in kept if all(c is not r for r in remove)]
            continue
        if dropped:
            info = weights.attrs.get("morvane")
            if isinstance(info, dict):
                info["dropped_conflicts"] = list(dropped)
        return weights, dropped


def dropped(weights: Any) -> list[str]:
    """The constraints that ``solve`` dropped to reach ``weights`` ([] when none were)."""
    info = getattr(weights, "attrs", {}).get("morvane") if weights is not None else None
    return list(info.get("dropped_conflicts") or []) if isinstance(info, dict) else []
