"""The one coercion of the Python side: what each rule accepts and refuses, the same rule at the
helper, the report, strategy files and the command line, and where the optimiser's own entry
differs."""

from __future__ import annotations

import datetime

import numpy as np
import pandas as pd
import pytest

import morvane.optimize as mo
from morvane.backtest import ConfigError, config
from morvane.cli import _parser
from morvane.coerce import to_date, to_ids, to_member, to_weights
from morvane.const import CovModel, IndustryClassification, RiskModel
from morvane.exception import InvalidArgument

DAY = datetime.date(2025, 6, 3)


@pytest.mark.parametrize(
    "value",
    [
        DAY,
        datetime.datetime(2025, 6, 3, 23, 59),
        pd.Timestamp("2025-06-03 15:00"),
        np.datetime64("2025-06-03"),
        np.datetime64("2025-06-03T09:30"),
        "2025-06-03",
        "20250603",
        " 2025-06-03 ",
    ],
)
def test_dates_accepted(value):
    got = to_date(value)
    assert got == DAY and type(got) is datetime.date


@pytest.mark.parametrize(
    "value, message",
    [
        (20250603, "expect a datetime like object, got <class 'int'>(20250603)"),
        (2025.0, "expect a datetime like object, got <class 'float'>"),
        ([DAY], "expect a datetime like object, got <class 'list'>"),
        (None, "date must be a date, got None"),
        (pd.NaT, "NaT"),
        (np.datetime64("NaT"), "NaT"),
        ("2025-02-30", "'2025-02-30'"),
        ("June 3, 2025", "must be a date like '2024-03-05' or '20240305'"),
        ("", "must be a date like"),
    ],
)
def test_dates_refused(value, message):
    with pytest.raises(InvalidArgument, match=message.replace("(", r"\(").replace(")", r"\)")):
        to_date(value)


@pytest.mark.parametrize(
    "value",
    [DAY, datetime.datetime(2025, 6, 3, 23, 59), "2025-06-03", "20250603", pd.Timestamp(DAY)],
)
def test_every_date_accepted_here_is_the_same_date_for_the_optimiser(value):
    assert mo.to_date(value) == to_date(value)


def test_the_optimiser_refuses_numpy_dates_that_the_rule_reads():
    assert to_date(np.datetime64("2025-06-03")) == DAY
    with pytest.raises(InvalidArgument, match="expect a datetime like object"):
        mo.to_date(np.datetime64("2025-06-03"))


MEMBERS = [m for enum in (CovModel, RiskModel, IndustryClassification) for m in enum]


@pytest.mark.parametrize("member", MEMBERS, ids=str)
@pytest.mark.parametrize("spelling", ["member", "value", "name"])
def test_members_accepted_by_member_value_or_name(member, spelling):
    value = {"member": member, "value": member.value, "name": member.name}[spelling]
    assert to_member(value, type(member)) is member


@pytest.mark.parametrize(
    "value, enum, shown",
    [
        ("weekly", CovModel, "weekly"),
        ("factor_model_daily", CovModel, "factor_model_daily"),  # names are exact
        ("Daily", CovModel, "Daily"),
        (1, RiskModel, "1"),
        (None, RiskModel, "None"),
        (IndustryClassification.SWS, CovModel, "IndustryClassification.SWS"),
        ("daily", RiskModel, "daily"),
        ([], IndustryClassification, r"\[\]"),
    ],
)
def test_members_refused_with_the_class_name(value, enum, shown):
    with pytest.raises(InvalidArgument, match=rf"^invalid value {shown} for {enum.__name__}$"):
        to_member(value, enum)


@pytest.mark.parametrize("member", [*CovModel, *RiskModel], ids=str)
def test_the_optimiser_refuses_names_and_agrees_otherwise(member):
    enum = type(member)
    assert mo.to_enum(member.value, enum) is to_member(member.value, enum) is member
    with pytest.raises(InvalidArgument, match=f"invalid value {member.name} for {enum.__name__}"):
        mo.to_enum(member.name, enum)


@pytest.mark.parametrize(
    "value, expected",
    [
        ("000001.XSHE", ["000001.XSHE"]),
        (
            ["000002.XSHE", "000001.XSHE", "000002.XSHE"],
            ["000002.XSHE", "000001.XSHE", "000002.XSHE"],
        ),
        (("a", "b"), ["a", "b"]),
        ((i for i in ["a"]), ["a"]),
        (pd.Index(["a", "b"]), ["a", "b"]),
        ([], []),
    ],
)
def test_ids_accepted(value, expected):
    assert to_ids(value) == expected


@pytest.mark.parametrize("value", [None, 5, b"000001.XSHE", {"a": 1}, ["a", 1], [None]])
def test_ids_refused(value):
    with pytest.raises(InvalidArgument, match="order_book_ids must"):
        to_ids(value)


@pytest.mark.parametrize(
    "value",
    [
        pd.Series([0.25, 0.75], index=["b", "a"]),
        {"b": 0.25, "a": 0.75},
        pd.Series([1, 3], index=["b", "a"]) / 4,
        pd.Series(["0.25", 0.75], index=["b", "a"], dtype=object),
    ],
)
def test_weights_accepted(value):
    got = to_weights(value, "w")
    assert got.dtype == np.float64 and got.name == "w" and list(got.index) == ["b", "a"]
    assert got.tolist() == [0.25, 0.75]


@pytest.mark.parametrize(
    "value, message",
    [
        ([0.5, 0.5], "w must be a pandas Series"),
        (np.array([0.5]), "w must be a pandas Series"),
        (pd.Series([0.5], index=[1]), "order_book_id strings"),
        (pd.Series([0.5, 0.5], index=["a", "a"]), r"more than once: \['a'\]"),
        (pd.Series(["x"], index=["a"]), "must hold numbers"),
        (pd.Series([np.nan, 1.0], index=["a", "b"]), r"finite numbers; not for \['a'\]"),
        ({"a": float("-inf")}, r"finite numbers; not for \['a'\]"),
    ],
)
def test_weights_refused(value, message):
    with pytest.raises(InvalidArgument, match=message):
        to_weights(value, "w")


STRATEGY = {"name": "s", "universe": ["000001.XSHE"], "start": "2025-01-02", "end": "20250301"}


@pytest.mark.parametrize(
    "given, stored",
    [
        ({}, ("daily", "v1")),
        ({"cov_model": "FACTOR_MODEL_MONTHLY", "risk_model": "V2"}, ("monthly", "v2")),
        ({"cov_model": "quarterly", "risk_model": "v2"}, ("quarterly", "v2")),
    ],
)
def test_strategy_files_read_models_and_dates_by_the_rule(given, stored):
    (strategy,) = config.parse({"strategy": [{**STRATEGY, **given}]})
    assert (strategy.cov_model, strategy.risk_model) == stored
    assert (strategy.start, strategy.end) == (datetime.date(2025, 1, 2), datetime.date(2025, 3, 1))


@pytest.mark.parametrize(
    "given, message",
    [
        (
            {"cov_model": "weekly"},
            "cov_model = 'weekly' is refused: must be one of daily, monthly, quarterly",
        ),
        ({"risk_model": "v3"}, "risk_model = 'v3' is refused: must be one of v1, v2"),
        ({"start": "June 2025"}, "start = 'June 2025' is refused: the value must be a date"),
        ({"end": 20250301}, r"end = 20250301 is refused: expect a datetime like object"),
        ({"rebalance": ["2025-01-05", "someday"]}, "rebalance = .* is refused"),
    ],
)
def test_strategy_files_refuse_by_the_rule(given, message):
    with pytest.raises(ConfigError, match=message):
        config.parse({"strategy": [{**STRATEGY, **given}]})


@pytest.mark.parametrize(
    "argv, expected",
    [
        (["--cov-model", "FACTOR_MODEL_QUARTERLY", "--risk-model", "V2"], ("quarterly", "v2")),
        (["--cov-model", "monthly"], ("monthly", "v1")),
        (["--date", "20250603"], ("daily", "v1")),
    ],
)
def test_the_command_line_reads_models_and_dates_by_the_rule(argv, expected):
    args = _parser().parse_args(["report", "w.csv", "--date", "2025-06-03", *argv])
    assert (args.cov_model, args.risk_model) == expected and args.date == DAY


@pytest.mark.parametrize("argv", [["--cov-model", "weekly"], ["--date", "2025-6-31"]])
def test_the_command_line_refuses_by_the_rule(argv, capsys):
    with pytest.raises(SystemExit):
        _parser().parse_args(["report", "w.csv", "--date", "2025-06-03", *argv])
    assert "invalid" in capsys.readouterr().err
