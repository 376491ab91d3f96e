"""Failed rebalances as one line each: date, status and the conflicting constraints, shared by
the terminal and the page.  Long lists are cut: at most ``LINES`` rebalances, each with at most
``CONFLICTS`` conflicts, and then a count of the rest."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

__all__ = ["CONFLICTS", "LINES", "Failure", "failures", "lines", "status_of"]

#: How many failed rebalances are listed before the rest is counted.
LINES = 20
#: How many conflicting constraints one line names before the rest is counted.
CONFLICTS = 4


@dataclass(frozen=True)
class Failure:
    """One failed rebalance of a strategy."""

    strategy: str
    date: str
    status: str
    conflicts: tuple[str, ...]
    error: str

    def line(self, limit: int = CONFLICTS) -> str:
        text = f"{self.date}  {self.status}"
        if self.conflicts:
            shown = ", ".join(self.conflicts[:limit])
            rest = len(self.conflicts) - limit
            text += f"  conflicts: {shown}" + (f" and {rest} more" if rest > 0 else "")
        elif self.error and self.status not in self.error:
            text += f"  {self.error}"
        return text


def status_of(record: dict[str, Any]) -> str:
    """The optimiser's status of a failed rebalance ("infeasible", "failed", ...)."""
    error = str(record.get("error") or "")
    kind, _, rest = error.partition(": ")
    if kind == "OptimizationFailed" and rest:
        return rest.splitlines()[0]
    return error.splitlines()[0] if error else "failed"


def failures(name: str, records: list[dict[str, Any]]) -> list[Failure]:
    """The failed rebalances among a strategy's records (or the ``failures`` of its
    ``stats.json``), in date order."""
    return [
        Failure(
            strategy=name,
            date=str(r["date"]),
            status=status_of(r),
            conflicts=tuple(str(c) for c in (r.get("conflicts") or ())),
            error=str(r.get("error") or ""),
        )
        for r in records
        if r.get("status", "failed") == "failed"  # the failures of stats.json carry no status
    ]


def lines(found: list[Failure], limit: int = LINES) -> list[str]:
    """One line per failure, at most ``limit`` of them, then a line counting the rest."""
    out = [f.line() for f in found[:limit]]
    if len(found) > limit:
        out.append(f"... and {len(found) - limit} more failed rebalances")
    return out
