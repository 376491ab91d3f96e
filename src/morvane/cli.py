"""The ``morvane`` command.

``morvane demo`` computes the minimum-variance portfolio of the 300-stock index's constituents on
the sample market and prints its report; ``morvane report`` reports on a CSV of weights and
writes the report's page.  The market store is the data client's: the first run builds the full
sample market (the client says so and shows its progress), later runs reuse it.  The commands'
work lives in ``morvane.report.commands``.
"""

from __future__ import annotations

import argparse
import datetime
import sys
import warnings
from collections.abc import Callable
from enum import Enum
from pathlib import Path

import duckdb

from morvane.backtest.commands import register as register_batch_commands
from morvane.coerce import member_values, to_date, to_member
from morvane.const import CovModel, RiskModel
from morvane.exception import InvalidArgument, OptimizationFailed
from tarnwick.store import StoreError

DEMO_INDEX = "000300.XSHG"


def _date(text: str) -> datetime.date:
    try:
        return to_date(text)
    except InvalidArgument:
        raise argparse.ArgumentTypeError(f"invalid date {text!r} (expected YYYY-MM-DD)") from None


def _model(enum: type[Enum]) -> Callable[[str], str]:
    """Reads a member's value or name as the member's value."""

    def parse(text: str) -> str:
        try:
            return str(to_member(text, enum).value)
        except InvalidArgument:
            raise argparse.ArgumentTypeError(
                f"invalid choice: {text!r} (choose from {', '.join(member_values(enum))})"
            ) from None

    parse.__name__ = enum.__name__
    return parse


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if not 1 <= value <= 10_000:
        raise argparse.ArgumentTypeError(f"expected a whole number from 1 to 10000, got {text!r}")
    return value


def _cmd_demo(args: argparse.Namespace) -> int:
    from morvane.report.commands import demo

    return demo(DEMO_INDEX, args.date, args.top)


def _cmd_report(args: argparse.Namespace) -> int:
    from morvane.report.commands import report

    return report(
        args.weights,
        args.date,
        benchmark=args.benchmark,
        holding_csv=args.holding,
        html=args.html,
        cov_model=args.cov_model,
        risk_model=args.risk_model,
    )


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="morvane", description="Portfolio optimiser")
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser(
        "demo",
        help=f"minimum-variance portfolio of the {DEMO_INDEX} constituents on the sample market",
    )
    demo.add_argument(
        "--date", type=_date, default=None, help="trading day (default: the latest one)"
    )
    demo.add_argument(
        "--top", type=_positive_int, default=10, help="how many of the largest weights to list"
    )
    demo.set_defaults(func=_cmd_demo)
    report = sub.add_parser(
        "report", help="risk, exposures and industry weights of a portfolio, with an HTML page"
    )
    report.add_argument("weights", type=Path, help="CSV of weights: order_book_id,weight")
    report.add_argument("--date", type=_date, required=True, help="the date the weights are for")
    report.add_argument("--benchmark", default=None, help="index code of the benchmark")
    report.add_argument("--holding", type=Path, default=None, help="CSV of the current holding")
    report.add_argument("--html", type=Path, default=None, help="write the page to this file")
    for option, enum, default in (
        ("--cov-model", CovModel, "daily"),
        ("--risk-model", RiskModel, "v1"),
    ):
        report.add_argument(option, type=_model(enum), default=default, choices=member_values(enum))
    report.set_defaults(func=_cmd_report)
    register_batch_commands(sub, _date, _positive_int)
    return parser


def main(argv: list[str] | None = None) -> int:
    try:
        args = _parser().parse_args(argv)
    except SystemExit as exc:  # --help, or a usage error that argparse has already reported
        return exc.code if isinstance(exc.code, int) else 2
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("default")
            code = _run(args)
    except KeyboardInterrupt:
        print("morvane: interrupted", file=sys.stderr)
        return 130
    if code == 0:  # after an error, warnings on the way there would only repeat it
        for message in dict.fromkeys(str(w.message) for w in caught):
            print(f"morvane: warning: {message}", file=sys.stderr)
    return code


def _run(args: argparse.Namespace) -> int:
    try:
        return int(args.func(args))
    except (InvalidArgument, OptimizationFailed, LookupError, ValueError, OSError,
            duckdb.Error, StoreError) as exc:  # fmt: skip
        print(f"morvane: {exc}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
