"""Transaction costs of trading from a current holding to new weights.

One model prices a trade two ways: as a convex cvxpy expression the optimiser minimises
(:meth:`TransactionCostModel.get_penalty`) and as numbers for a backtest or a report
(:meth:`TransactionCostModel.cost`). Both give the same value for the same trade, so a
backtest charges exactly what the optimiser weighed.

Every amount is a fraction of the portfolio's value. With ``x_i`` the change of stock i's
weight (buys positive, sells negative), the one-off cost of a trade is::

    (commission + transfer_fee) * sum |x_i|            both sides
    + stamp_duty * sum max(-x_i, 0)                    sells only
    + sum half_spread_i * |x_i|                        both sides
    + sum impact_coefficient * sigma_i * |x_i|^1.5 * sqrt(capital / adv_i)

``sigma_i`` is the stock's daily volatility from the risk model (the annualised variance of
one stock over 252 days, square-rooted), ``adv_i`` its average daily traded value (CNY) over
the ``window`` trading days before the date, ``capital`` the portfolio's value (CNY). The
impact term is the square-root law: each unit traded moves the price by about sigma times the
square root of the trade's share of a day's volume.
"""

from __future__ import annotations

import datetime as dt
import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Optional, Union

import numpy as np
import pandas as pd

from morvane.exception import InvalidArgument

__all__ = [
    "COST_KINDS",
    "DEFAULT_CAPITAL",
    "DEFAULT_COMMISSION",
    "DEFAULT_HALF_SPREAD",
    "DEFAULT_IMPACT_COEFFICIENT",
    "DEFAULT_TRADES_PER_YEAR",
    "DEFAULT_TRANSFER_FEE",
    "DEFAULT_WINDOW",
    "STAMP_DUTY_CUT",
    "TransactionCostModel",
    "average_daily_value",
    "daily_volatility",
    "stamp_duty_rate",
]

#: The kinds of cost, in the order of the Series :meth:`TransactionCostModel.cost` returns
#: (followed by their ``total``).
COST_KINDS = ("commission", "stamp_duty", "transfer_fee", "spread", "impact")

#: The portfolio's value in CNY: 100 million.
DEFAULT_CAPITAL = 1e8
#: Broker commission per side, 2.5 basis points: a negotiated institutional rate, including the
#: exchanges' handling fee and the regulator's fee (together about 0.005%).
DEFAULT_COMMISSION = 0.00025
#: Share transfer fee per side, 0.001% of the value traded: the rate of both exchanges' fee
#: schedules since 2022-04-29 (0.002% before).
DEFAULT_TRANSFER_FEE = 0.00001
#: Half the quoted spread, 5 basis points: one tick (0.01 CNY) on a stock priced at 10 CNY.
DEFAULT_HALF_SPREAD = 0.0005
#: The prefactor of the square-root law; published empirical studies of large equity orders
#: find it of order one.
DEFAULT_IMPACT_COEFFICIENT = 1.0
#: Trading days of traded value averaged for a stock's daily liquidity: about a month.
DEFAULT_WINDOW = 20
#: Rebalances a year: a one-off cost times this is the cost a year of trading at that pace.
DEFAULT_TRADES_PER_YEAR = 12

#: The day the stamp duty on sells was halved, from 0.1% to 0.05% of the value sold.
STAMP_DUTY_CUT = dt.date(2023, 8, 28)
_STAMP_DUTY_BEFORE = 0.001
_STAMP_DUTY_SINCE = 0.0005
_TRADING_DAYS = 252


def stamp_duty_rate(date: Any) -> float:
    """The stamp duty on the value sold on ``date``: 0.05% since 2023-08-28, 0.1% before."""
    return _STAMP_DUTY_SINCE if _to_date(date, "date") >= STAMP_DUTY_CUT else _STAMP_DUTY_BEFORE


def _to_date(value: Any, name: str) -> dt.date:
    if isinstance(value, dt.datetime):
        return value.date()
    if isinstance(value, dt.date):
        return value
    try:
        return pd.Timestamp(value).date()
    except (TypeError, ValueError):
        raise InvalidArgument(f"{name} must be a date, got {value!r}") from None


def _rate(value: Any, name: str, upper: float = 1.0) -> float:
    """A finite number in [0, upper)."""
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise InvalidArgument(f"{name} must be a number, got {value!r}") from None
    if isinstance(value, bool) or not math.isfinite(number) or not 0.0 <= number < upper:
        raise InvalidArgument(f"{name} must be a number in [0, {upper:g}), got {value!r}")
    return number


def _positive(value: Any, name: str) -> float:
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise InvalidArgument(f"{name} must be a positive number, got {value!r}") from None
    if isinstance(value, bool) or not math.isfinite(number) or number <= 0.0:
        raise InvalidArgument(f"{name} must be a positive number, got {value!r}")
    return number


def _weights(value: Any, name: str) -> pd.Series:
    """Weights by stock id as a float Series without zeros; refuses repeats and non-finite."""
    if value is None:
        return pd.Series(dtype=np.float64)
    try:
        series = pd.Series(value, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise InvalidArgument(f"{name} must be weights by stock id: {exc}") from None
    series.index = series.index.astype(object)
    repeated = sorted({str(i) for i in series.index[series.index.duplicated()]})
    if repeated:
        raise InvalidArgument(f"{name} names stocks more than once: {', '.join(repeated[:10])}")
    bad = [str(i) for i in series.index[~np.isfinite(series.to_numpy())]]
    if bad:
        raise InvalidArgument(f"{name} has weights that are not finite: {', '.join(bad[:10])}")
    return series[series != 0.0]


def _half_spread(value: Any) -> Union[float, pd.Series]:
    if isinstance(value, (pd.Series, Mapping)):
        series = pd.Series(value, dtype=object)
        rates = [_rate(v, f"half_spread[{k!r}]") for k, v in series.items()]
        return pd.Series(rates, index=series.index.astype(object), dtype=np.float64)
    return _rate(value, "half_spread")


def _enum(value: Any, enum: type, name: str) -> Any:
    try:
        return enum(getattr(value, "value", value))
    except ValueError:
        allowed = ", ".join(repr(m.value) for m in enum)
        raise InvalidArgument(f"{name} must be one of {allowed}, got {value!r}") from None


def daily_volatility(
    order_book_ids: list[str], date: Any, cov_model: Any = "daily", risk_model: Any = "v1"
) -> pd.Series:
    """Each stock's daily volatility from the risk model in force on ``date`` (estimated on the
    previous trading day): the square root of its annualised variance divided by 252."""
    from morvane.const import CovModel, RiskModel
    from morvane.helper import OptimizeHelper

    ids = list(order_book_ids)
    if not ids:
        return pd.Series(dtype=np.float64)
    cov = _enum(cov_model, CovModel, "cov_model")
    version = _enum(risk_model, RiskModel, "risk_model")
    helper = OptimizeHelper(ids, _to_date(date, "date"), None, cov, version, 1.0, 1.0)
    return _helper_volatility(helper)


def _helper_volatility(helper: Any) -> pd.Series:
    exposures, factor_cov, specific = helper.get_factor_model()
    variance = np.einsum("ij,jk,ik->i", exposures, factor_cov, exposures) + specific
    volatility = np.sqrt(np.maximum(variance, 0.0) / _TRADING_DAYS)
    return pd.Series(volatility, index=pd.Index(helper.order_book_ids, dtype=object))


def _traded_value(ids: list[str], start: dt.date, end: dt.date) -> pd.Series:
    import tarnwick

    bars = tarnwick.get_price(
        ids, start, end, fields=["total_turnover"], adjust_type="none", expect_df=True
    )
    traded = bars["total_turnover"]
    traded = traded[traded > 0]
    return traded.groupby(level="order_book_id").mean().astype(np.float64)


def average_daily_value(order_book_ids: list[str], date: Any, window: int) -> pd.Series:
    """Each stock's mean traded value (close x volume, CNY) over the days it traded among the
    ``window`` trading days before ``date``.

    A stock without a traded day in the window (listed on the date, or suspended throughout)
    has no liquidity of its own to measure; it gets the median of the market's stocks over the
    same window, so its price does not depend on which other stocks are priced with it.
    """
    import tarnwick

    ids = list(order_book_ids)
    if not ids:
        return pd.Series(dtype=np.float64)
    day = _to_date(date, "date")
    start = tarnwick.get_previous_trading_date(day, n=window)
    end = tarnwick.get_previous_trading_date(day)
    values = _traded_value(ids, start, end).reindex(pd.Index(ids, dtype=object))
    missing = values.isna().to_numpy()
    if missing.any():
        market = tarnwick.all_instruments("CS")["order_book_id"].astype(str).tolist()
        typical = _traded_value(market, start, end)
        if typical.empty:
            raise InvalidArgument(
                f"no stock traded in the {window} trading days before {day}: market impact "
                "cannot be priced"
            )
        values[missing] = float(typical.median())
    return values


@dataclass(frozen=True)
class _Rates:
    """The prices of trading the stocks ``ids`` on one date: the stamp duty on sells, each
    stock's half-spread and its impact factor k (impact = k |x|^1.5)."""

    ids: list[str]
    stamp_duty: float
    half_spread: np.ndarray
    impact: np.ndarray

    def part(self, start: int, stop: Optional[int] = None) -> _Rates:
        return _Rates(
            self.ids[start:stop],
            self.stamp_duty,
            self.half_spread[start:stop],
            self.impact[start:stop],
        )


class TransactionCostModel:
    """The cost of trading from ``current_holding`` to new weights, in fractions of the
    portfolio's value.

    :param current_holding: the weights held now by stock id (fractions of the portfolio's
        value); None is a portfolio all in cash
    :param capital: the portfolio's value in CNY (the impact term depends on it)
    :param commission: broker commission per side, a rate of the value traded
    :param stamp_duty: tax on the value sold; None: 0.1%, or 0.05% on and after 2023-08-28,
        by the trade's date
    :param transfer_fee: share transfer fee per side, a rate of the value traded
    :param half_spread: half the bid-ask spread, a rate, or rates by stock id (a Series or
        dict; a ``"*"`` entry prices the stocks it does not name)
    :param impact_coefficient: the prefactor of the square-root impact law; 0 prices no impact
    :param window: trading days of traded value averaged for each stock's liquidity
    :param trades_per_year: how often the portfolio trades: ``get_penalty`` returns the one-off
        cost times this, a cost a year, comparable with annualised returns
    :param cov_model: the covariance model of the daily volatilities ``cost`` uses (the
        optimiser's call decides for ``get_penalty``)
    :param risk_model: the risk model version, likewise
    """

    def __init__(
        self,
        current_holding: Any = None,
        *,
        capital: float = DEFAULT_CAPITAL,
        commission: float = DEFAULT_COMMISSION,
        stamp_duty: Optional[float] = None,
        transfer_fee: float = DEFAULT_TRANSFER_FEE,
        half_spread: Union[float, pd.Series, Mapping[str, float]] = DEFAULT_HALF_SPREAD,
        impact_coefficient: float = DEFAULT_IMPACT_COEFFICIENT,
        window: int = DEFAULT_WINDOW,
        trades_per_year: float = DEFAULT_TRADES_PER_YEAR,
        cov_model: Any = "daily",
        risk_model: Any = "v1",
    ) -> None:
        from morvane.const import CovModel, RiskModel

        self.current_holding = _weights(current_holding, "current_holding")
        self.capital = _positive(capital, "capital")
        self.commission = _rate(commission, "commission")
        self.stamp_duty = None if stamp_duty is None else _rate(stamp_duty, "stamp_duty")
        self.transfer_fee = _rate(transfer_fee, "transfer_fee")
        self.half_spread = _half_spread(half_spread)
        self.impact_coefficient = _rate(impact_coefficient, "impact_coefficient", math.inf)
        if isinstance(window, bool) or not isinstance(window, (int, np.integer)) or window < 1:
            raise InvalidArgument(f"window must be a whole number of days >= 1, got {window!r}")
        self.window = int(window)
        self.trades_per_year = _positive(trades_per_year, "trades_per_year")
        self.cov_model = _enum(cov_model, CovModel, "cov_model")
        self.risk_model = _enum(risk_model, RiskModel, "risk_model")

    def __repr__(self) -> str:
        spread = self.half_spread
        shown = f"<Series of {len(spread)}>" if isinstance(spread, pd.Series) else repr(spread)
        return (
            f"TransactionCostModel(<holding of {len(self.current_holding)}>, "
            f"capital={self.capital!r}, commission={self.commission!r}, "
            f"stamp_duty={self.stamp_duty!r}, transfer_fee={self.transfer_fee!r}, "
            f"half_spread={shown}, impact_coefficient={self.impact_coefficient!r}, "
            f"window={self.window!r}, trades_per_year={self.trades_per_year!r})"
        )

    # ---- prices ----

    def _half_spreads(self, ids: list[str]) -> np.ndarray:
        spread = self.half_spread
        if not isinstance(spread, pd.Series):
            return np.full(len(ids), spread)
        rates = spread.reindex(pd.Index(ids, dtype=object))
        if "*" in spread.index:
            rates = rates.fillna(float(spread["*"]))
        missing = [i for i, v in zip(ids, rates.to_numpy()) if np.isnan(v)]
        if missing:
            raise InvalidArgument(
                f"half_spread has no rate for {', '.join(missing[:10])}"
                f"{' and others' if len(missing) > 10 else ''}; add them or a '*' entry"
            )
        return rates.to_numpy(dtype=np.float64)

    def _volatility(self, ids: list[str], date: dt.date, helper: Any) -> np.ndarray:
        cov_model = getattr(helper, "cov_model", self.cov_model)
        risk_model = getattr(helper, "risk_model", self.risk_model)
        unit = (
            getattr(helper, "factor_risk_aversion", None) == 1.0
            and getattr(helper, "specific_risk_aversion", None) == 1.0
            and hasattr(helper, "get_factor_model")
        )
        if unit and list(helper.order_book_ids) == ids:
            # The call's own risk data, unscaled: the same numbers a new helper would give.
            return _helper_volatility(helper).to_numpy()
        return daily_volatility(ids, date, cov_model, risk_model).to_numpy()

    def rates(self, order_book_ids: list[str], date: Any, helper: Any = None) -> _Rates:
        """The prices of trading ``order_book_ids`` on ``date``; ``helper``, when given, is an
        optimisation's helper whose risk model prices the impact."""
        ids = list(order_book_ids)
        day = _to_date(date, "date")
        stamp = stamp_duty_rate(day) if self.stamp_duty is None else self.stamp_duty
        spread = self._half_spreads(ids)
        impact = np.zeros(len(ids))
        if self.impact_coefficient > 0.0 and ids:
            sigma = self._volatility(ids, day, helper)
            liquidity = average_daily_value(ids, day, self.window).to_numpy()
            impact = self.impact_coefficient * sigma * np.sqrt(self.capital / liquidity)
        return _Rates(ids, stamp, spread, impact)

    # ---- the two prices of a trade ----

    def _kinds(self, trade: np.ndarray, rates: _Rates) -> dict[str, float]:
        """The one-off cost of the weight changes ``trade`` over ``rates.ids``, by kind."""
        size = np.abs(trade)
        traded = float(size.sum())
        return {
            "commission": self.commission * traded,
            "stamp_duty": rates.stamp_duty * float(np.maximum(-trade, 0.0).sum()),
            "transfer_fee": self.transfer_fee * traded,
            "spread": float(rates.half_spread @ size),
            "impact": float(rates.impact @ size**1.5),
        }

    def cost(self, target: Any, date: Any) -> pd.Series:
        """The one-off cost of trading from the holding to ``target`` (weights by stock id;
        stocks it leaves out are sold) on ``date``, in fractions of the portfolio's value: a
        Series indexed by commission, stamp_duty, transfer_fee, spread, impact and total."""
        weights = _weights(target, "target")
        held = self.current_holding
        ids = sorted(set(weights.index) | set(held.index), key=str)
        index = pd.Index(ids, dtype=object)
        trade = weights.reindex(index, fill_value=0.0) - held.reindex(index, fill_value=0.0)
        trade = trade[trade != 0.0]
        kinds = self._kinds(trade.to_numpy(), self.rates(list(trade.index), date))
        kinds["total"] = sum(kinds.values())
        return pd.Series(kinds, dtype=np.float64, name="cost")

    def get_penalty(self, g: Any, helper: Any) -> Any:
        """The cost of trading to the weights ``g`` (a cvxpy expression over
        ``helper.order_book_ids``) as a convex cvxpy expression: the one-off cost times
        ``trades_per_year``. Held stocks outside the universe count as sold."""
        import cvxpy as cp

        universe = list(helper.order_book_ids)
        inside = set(universe)
        held = self.current_holding
        outside = [i for i in held.index if i not in inside]
        rates = self.rates(universe + outside, helper.date, helper)
        n = len(universe)
        current = held.reindex(pd.Index(universe, dtype=object), fill_value=0.0).to_numpy()
        trade = g - current
        buy = self.commission + self.transfer_fee + rates.half_spread[:n]
        sell = buy + rates.stamp_duty
        sold = self._kinds(-held[outside].to_numpy(), rates.part(n))
        penalty: Any = sum(sold.values())
        # Buys and sells as separate terms: one shared |x| under both the linear and the impact
        # term leaves interior-point solvers short of accuracy once the costs are large.
        if (buy > 0.0).any():
            penalty = penalty + cp.pos(trade) @ buy
        if (sell > 0.0).any():
            penalty = penalty + cp.neg(trade) @ sell
        if (rates.impact[:n] > 0.0).any():
            penalty = penalty + cp.power(cp.abs(trade), 1.5) @ rates.impact[:n]
        return self.trades_per_year * penalty
