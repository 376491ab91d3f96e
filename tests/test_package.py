"""The plain Python modules of the package: exceptions and constant tables."""

from __future__ import annotations

import pytest

from morvane.const import STYLE_FACTORS, CovModel, IndustryClassification, RiskModel
from morvane.exception import InvalidArgument, OptimizationFailed, OptimizerWarning


def test_style_factors_in_documented_order() -> None:
    assert STYLE_FACTORS == [
        "beta", "book_to_price", "earnings_yield", "growth", "leverage", "liquidity",
        "momentum", "non_linear_size", "residual_volatility", "size",
    ]  # fmt: skip


@pytest.mark.parametrize(
    "enum, values, default",
    [
        (CovModel, ["daily", "monthly", "quarterly"], "FACTOR_MODEL_DAILY"),
        (RiskModel, ["v1", "v2"], "V1"),
        (IndustryClassification, ["sws", "citic", "sws_split"], "SWS"),
    ],
)
def test_enumerations(enum: type, values: list[str], default: str) -> None:
    assert [m.value for m in enum] == values
    assert next(iter(enum)).name == default


def test_exceptions() -> None:
    # the bounds parser converts KeyError and TypeError, so InvalidArgument must be neither
    assert not issubclass(InvalidArgument, (KeyError, TypeError))
    assert str(InvalidArgument("消息")) == "消息"
    assert OptimizationFailed("infeasible").args == ("infeasible",)
    assert issubclass(OptimizerWarning, Warning)
    with pytest.raises(TypeError):
        InvalidArgument()  # type: ignore[call-arg]
