"""Exceptions and the warning category of the optimiser."""

from __future__ import annotations


class InvalidArgument(Exception):
    """A caller's argument was refused; the message says which and why."""

    def __init__(self, message: str) -> None:
        super().__init__(message)


class OptimizationFailed(Exception):
    """The solver did not reach an optimal solution; the argument is the status or the value.

    An infeasible call also carries ``conflicts``: a minimal list of the units that cannot hold
    together (``"bnds"``, the objective, the caller's constraint objects); the exception's notes
    explain it in words.
    """

    conflicts: list[object]  # set only when the problem is infeasible

    def __init__(self, reason: object) -> None:
        super().__init__(reason)


class OptimizerWarning(Warning):
    """Category of every warning the optimiser issues about a recoverable situation."""
