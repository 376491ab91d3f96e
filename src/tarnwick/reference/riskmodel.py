"""The risk model's definition: its factors' naming, its covariance models, and how each
version is estimated.  Read by the estimators and by the client's risk-model reads alike."""

from __future__ import annotations

from dataclasses import dataclass, field

from tarnwick.reference import STYLE_NAMES

__all__ = ["ANNUALISATION", "MARKET_FACTOR", "STYLES", "COV_MODELS", "VersionSpec", "VERSIONS"]

#: Trading days per year: covariances and specific variances are multiplied by it.
ANNUALISATION = 252
#: Name of the factor every stock has exposure 1 to.
MARKET_FACTOR = "market"
#: The style factors, in storage order (the columns of ``style_descriptors``).
STYLES: tuple[str, ...] = tuple(STYLE_NAMES)
#: Covariance models, by horizon.
COV_MODELS: tuple[str, ...] = ("daily", "monthly", "quarterly")


@dataclass(frozen=True)
class VersionSpec:
    """How one risk-model version is estimated."""

    name: str
    #: Industry classification of the industry factors (a value of ``industries.classification``).
    classification: str
    #: "clip": (x - cap-weighted mean) / equal-weighted std, clipped to +-3.
    #: "mad": winsorised to median +- 3 * 1.4826 * MAD, then (x - cap-weighted mean) /
    #: equal-weighted std, without a further clip.
    descriptor_treatment: str
    #: Covariance model -> (volatility half-life, correlation half-life), in trading days.
    half_lives: dict[str, tuple[float, float]] = field(default_factory=dict)
    #: Half-life of the exponentially weighted squared residuals, in trading days.
    specific_half_life: float = 63.0
    #: "median": shrink towards the cross-sectional median; "size": towards the cap-weighted
    #: mean of the stock's market-cap decile.
    specific_prior: str = "median"


VERSIONS: dict[str, VersionSpec] = {
    "v1": VersionSpec(
        name="v1",
        classification="sws",
        descriptor_treatment="clip",
        half_lives={"daily": (42.0, 126.0), "monthly": (90.0, 252.0), "quarterly": (252.0, 504.0)},
        specific_half_life=63.0,
        specific_prior="median",
    ),
    "v2": VersionSpec(
        name="v2",
        classification="sws_split",
        descriptor_treatment="mad",
        half_lives={"daily": (21.0, 84.0), "monthly": (63.0, 168.0), "quarterly": (126.0, 378.0)},
        specific_half_life=42.0,
        specific_prior="size",
    ),
}
