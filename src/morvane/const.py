"""Constant tables and enumerations shared by the optimiser and its risk-model helper."""

from enum import Enum

from tarnwick.reference import STYLE_NAMES

__all__ = ["STYLE_FACTORS", "IndustryClassification", "CovModel", "RiskModel"]

#: The ten style factors of the risk model, in the order used everywhere (the order in which the
#: market store keeps them).
STYLE_FACTORS = list(STYLE_NAMES)


class IndustryClassification(Enum):
    """Industry classification standards known to the data client."""

    #: Shenwan level one (the default).
    SWS = "sws"
    #: CITIC level one.
    CITIC = "citic"
    #: Shenwan level one with the non-bank financials split into securities, insurance and others.
    SWS_NON_BANK_SPLIT = "sws_split"


class CovModel(Enum):
    """Horizon of the factor covariance estimate (its exponential-weighting half-lives)."""

    FACTOR_MODEL_DAILY = "daily"
    FACTOR_MODEL_MONTHLY = "monthly"
    FACTOR_MODEL_QUARTERLY = "quarterly"


class RiskModel(Enum):
    """Version of the factor risk model."""

    V1 = "v1"
    V2 = "v2"
