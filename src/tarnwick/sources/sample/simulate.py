"""The price simulation of the sample market, in named steps over one explicit state.

Daily stock returns follow the factor model of the module docstring of
``tarnwick.sources.sample``; suspensions, dividends and splits are drawn first, then every
day's close, adjustment factor, shares and volume, with the raw style descriptors recorded on
every descriptor date (the calendar's first day and every month end).
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field

import numpy as np

from tarnwick.reference.industries import SWS_INDUSTRIES
from tarnwick.sources.descriptors import non_linear_size, weighted_stats
from tarnwick.sources.sample.config import TRADING_DAYS_PER_YEAR
from tarnwick.sources.sample.universe import Universe

__all__ = ["Latent", "Simulation", "start", "draw_events", "simulate_prices"]


@dataclass
class Latent:
    """Latent descriptor states; they evolve for every stock and are stored while listed."""

    beta_mu: np.ndarray
    beta: np.ndarray
    bp_mu: np.ndarray
    log_bp: np.ndarray
    ey: np.ndarray
    growth_mu: np.ndarray
    growth: np.ndarray
    lev_mu: np.ndarray
    log_lev: np.ndarray
    liq_mu: np.ndarray
    liq: np.ndarray
    mom_prior: np.ndarray
    vol_noise: np.ndarray


@dataclass
class Simulation:
    """Everything the simulation steps read and write; arrays are days x stocks."""

    days: np.ndarray
    uni: Universe
    factor_returns: np.ndarray
    rng: dict[str, np.random.Generator]
    susp: np.ndarray
    div_yield: np.ndarray
    split: np.ndarray
    bank: np.ndarray
    E: np.ndarray  # specific returns
    close: np.ndarray  # today's close, shares and adjustment factor (N,)
    shares: np.ndarray
    adj: np.ndarray
    CLOSE: np.ndarray
    ADJ: np.ndarray
    SHR: np.ndarray
    VOL: np.ndarray
    pre_calendar: np.ndarray
    latent: Latent | None = None
    tr_prev: np.ndarray | None = None
    vol_z: np.ndarray | None = None
    desc_rows: list[tuple[int, np.ndarray, np.ndarray]] = field(default_factory=list)

    @property
    def T(self) -> int:
        return len(self.days)

    @property
    def N(self) -> int:
        return len(self.uni.ids)


def start(
    days: np.ndarray, uni: Universe, factor_returns: np.ndarray, rng: dict[str, np.random.Generator]
) -> Simulation:
    """The state before any draw of events or prices."""
    T, N = len(days), len(uni.ids)
    bank = uni.sws == [n for _, n in SWS_INDUSTRIES].index("银行")
    return Simulation(
        days=days,
        uni=uni,
        factor_returns=factor_returns,
        rng=rng,
        susp=np.zeros((T, N), dtype=bool),
        div_yield=np.zeros((T, N)),
        split=np.zeros((T, N), dtype=bool),
        bank=bank,
        E=np.empty(0),
        close=uni.price0.astype(float).copy(),
        shares=uni.shares0.astype(float).copy(),
        adj=np.ones(N),
        CLOSE=np.empty((T, N)),
        ADJ=np.empty((T, N)),
        SHR=np.empty((T, N)),
        VOL=np.zeros((T, N)),
        pre_calendar=uni.listed < days[0],
    )


def _draw_suspensions(sim: Simulation) -> None:
    """About one episode per stock every four years, 1 to 20 days."""
    rng, uni = sim.rng["events"], sim.uni
    years = sim.T / 243.0
    n_ep = rng.poisson(0.25 * years, sim.N)
    for i in np.nonzero(n_ep)[0]:
        lo, hi = uni.list_idx[i] + 1, uni.delist_idx[i]
        if hi - lo < 5:
            continue
        for _ in range(n_ep[i]):
            s = rng.integers(lo, hi)
            length = min(20, 1 + int(rng.exponential(4.0)))
            sim.susp[s : min(s + length, hi), i] = True


def _draw_dividends_and_splits(sim: Simulation) -> None:
    """Yearly cash dividends in June or July (every bank, 70% of the others) and 2-for-1
    splits between April and July; no suspension on such a day."""
    rng, uni, N, days = sim.rng["events"], sim.uni, sim.N, sim.days
    pays = (rng.random(N) < 0.7) | sim.bank
    year_of = days.astype("datetime64[Y]")
    month_of = days.astype("datetime64[M]").astype(int) % 12 + 1
    for y in np.unique(year_of):
        in_y = year_of == y
        div_days = np.nonzero(in_y & ((month_of == 6) | (month_of == 7)))[0]
        split_days = np.nonzero(in_y & (month_of >= 4) & (month_of <= 7))[0]
        if len(div_days):
            t_div = rng.choice(div_days, size=N)
            y_div = np.where(sim.bank, rng.uniform(0.03, 0.06, N), rng.uniform(0.002, 0.03, N))
            ok = pays & (t_div > uni.list_idx) & (t_div < uni.delist_idx)
            sim.div_yield[t_div[ok], np.nonzero(ok)[0]] = y_div[ok]
        if len(split_days):
            t_sp = rng.choice(split_days, size=N)
            ok = (rng.random(N) < 0.012) & (t_sp > uni.list_idx) & (t_sp < uni.delist_idx)
            sim.split[t_sp[ok], np.nonzero(ok)[0]] = True
    if not sim.split.any():  # keep at least one split in every market
        cand = np.nonzero((uni.list_idx < sim.T // 2) & (uni.delist_idx == sim.T))[0]
        sim.split[sim.T // 2, cand[0]] = True
    sim.susp &= (sim.div_yield == 0) & ~sim.split


def draw_events(sim: Simulation) -> None:
    """Suspensions, dividends and splits; then the specific returns."""
    _draw_suspensions(sim)
    _draw_dividends_and_splits(sim)
    spec_daily = sim.uni.sigma / np.sqrt(TRADING_DAYS_PER_YEAR)
    # Specific returns carry a drift of half their variance, so that volatility drag does not
    # push the typical stock into pennies over a long calendar.
    sim.E = sim.rng["specific"].standard_normal((sim.T, sim.N)) * spec_daily + 0.5 * spec_daily**2


def _draw_latent(sim: Simulation) -> Latent:
    rng, N = sim.rng["descriptors"], sim.N
    log_cap0 = np.log(sim.close * sim.shares)
    size_z0 = (log_cap0 - log_cap0.mean()) / log_cap0.std()
    beta_mu = rng.normal(1.0, 0.2, N)
    beta = beta_mu + rng.normal(0.0, 0.25, N)
    bp_mu = rng.normal(np.log(0.45), 0.5, N)
    log_bp = bp_mu + rng.normal(0.0, 0.3, N)
    ey = rng.normal(0.04, 0.04, N)
    growth_mu = rng.normal(0.1, 0.15, N)
    growth = growth_mu + rng.normal(0.0, 0.25, N)
    lev_mu = rng.normal(np.log(2.0), 0.4, N) + np.where(sim.bank, 2.3, 0.0)
    log_lev = lev_mu + rng.normal(0.0, 0.1, N)
    liq_mu = np.log(0.012) - 0.35 * size_z0 + rng.normal(0.0, 0.3, N)
    liq = liq_mu + rng.normal(0.0, 0.2, N)
    mom_prior = rng.normal(0.0, 0.3, N)
    vol_noise = np.exp(rng.normal(0.0, 0.1, N))
    return Latent(
        beta_mu,
        beta,
        bp_mu,
        log_bp,
        ey,
        growth_mu,
        growth,
        lev_mu,
        log_lev,
        liq_mu,
        liq,
        mom_prior,
        vol_noise,
    )


def _evolve_latent(sim: Simulation, lr: np.ndarray) -> None:
    """One month's step of the latent states; ``lr`` the log total returns since the last."""
    rng, N, s = sim.rng["descriptors"], sim.N, sim.latent
    assert s is not None
    s.beta = s.beta_mu + 0.92 * (s.beta - s.beta_mu) + rng.normal(0.0, 0.1, N)
    s.log_bp += -lr + 0.03 * (s.bp_mu - s.log_bp) + rng.normal(0.0, 0.04, N)
    s.ey = s.ey * np.exp(-lr) + rng.normal(0.0, 0.004, N)
    s.growth = s.growth_mu + 0.9 * (s.growth - s.growth_mu) + rng.normal(0.0, 0.1, N)
    s.log_lev = s.lev_mu + 0.97 * (s.log_lev - s.lev_mu) + rng.normal(0.0, 0.03, N)
    s.liq = s.liq_mu + 0.9 * (s.liq - s.liq_mu) + rng.normal(0.0, 0.09, N)


def _liquidity(sim: Simulation, t: int) -> np.ndarray:
    """Log of the turnover of the last 21 trading days (scaled up when fewer)."""
    uni = sim.uni
    lo = max(0, t - 20)
    win = np.arange(lo, t + 1)
    in_life = (win[:, None] >= uni.list_idx) & (win[:, None] < uni.delist_idx)
    n_days = in_life.sum(0)
    turn = (sim.VOL[lo : t + 1] / sim.SHR[lo : t + 1]).sum(0)
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(
            (n_days > 0) & (turn > 0),
            np.log(turn * 21.0 / np.maximum(n_days, 1)),
            np.log(21.0) + sim.latent.liq,
        )


def _momentum(sim: Simulation, t: int) -> np.ndarray:
    """Log total return from t-252 to t-21, prior history before the calendar."""
    logtr = np.log(sim.CLOSE[: t + 1] * sim.ADJ[: t + 1])
    t_end, t_start = max(t - 21, 0), max(t - 252, 0)
    realised = logtr[t_end] - logtr[t_start]
    missing = np.clip((252 - t) / 231.0, 0.0, 1.0) if t < 252 else 0.0
    return realised + np.where(sim.pre_calendar, sim.latent.mom_prior * missing, 0.0)


def _residual_volatility(sim: Simulation, t: int) -> np.ndarray:
    """Realised specific volatility over the last 63 trading days."""
    uni = sim.uni
    lo = max(0, t - 62)
    win = np.arange(lo, t + 1)
    live = (win[:, None] > uni.list_idx) & (win[:, None] < uni.delist_idx)
    live &= ~sim.susp[lo : t + 1]
    cnt = live.sum(0)
    e = np.where(live, sim.E[lo : t + 1], 0.0)
    m = e.sum(0) / np.maximum(cnt, 1)
    var = (np.where(live, (sim.E[lo : t + 1] - m) ** 2, 0.0)).sum(0) / np.maximum(cnt - 1, 1)
    return np.where(
        cnt >= 20, np.sqrt(var * TRADING_DAYS_PER_YEAR), uni.sigma * sim.latent.vol_noise
    )


def _descriptors(sim: Simulation, t: int) -> np.ndarray:
    """Record day ``t``'s raw descriptors of the listed stocks and return the exposures
    (clipped standardised descriptors) that drive the returns until the next record."""
    uni, s = sim.uni, sim.latent
    active = (uni.list_idx <= t) & (t < uni.delist_idx)
    tr = sim.CLOSE[t] * sim.ADJ[t]
    lr = np.log(tr / sim.tr_prev)
    sim.tr_prev = tr
    if t > 0:
        _evolve_latent(sim, lr)
    cap = sim.SHR[t] * sim.CLOSE[t]
    liquidity = _liquidity(sim, t)
    momentum = _momentum(sim, t)
    resvol = _residual_volatility(sim, t)
    size_d = np.log(cap)
    nls = non_linear_size(size_d, cap, active)
    d = np.column_stack(
        [
            s.beta,
            np.exp(s.log_bp),
            s.ey,
            s.growth,
            np.exp(s.log_lev),
            liquidity,
            momentum,
            nls,
            resvol,
            size_d,
        ]
    )
    sim.desc_rows.append((t, np.nonzero(active)[0], d[active]))
    # Statistics over the listed stocks; stocks not listed yet get exposures from the
    # same statistics (they only matter once they list).
    mean, sd = weighted_stats(d, active, cap)
    return np.clip((d - mean) / sd, -3.0, 3.0)


def _volume(
    sim: Simulation, t: int, active: np.ndarray, r: np.ndarray, new_listing: np.ndarray
) -> None:
    turnover = np.exp(sim.latent.liq + 0.35 * sim.vol_z[t] + 10.0 * np.abs(r))
    turnover = np.where(new_listing, 0.3 + 0.3 * np.exp(0.2 * sim.vol_z[t]) / 1.5, turnover)
    turnover = np.minimum(turnover, 0.6)
    v = np.round(sim.shares * turnover, -2)
    sim.VOL[t] = np.where(active & ~sim.susp[t], v, 0.0)


def _step_day(sim: Simulation, t: int, r_model: np.ndarray) -> None:
    """Day ``t``: ex-dates, the close within the daily limit, shares, adjustment, volume."""
    uni, prev = sim.uni, sim.close
    moving = (uni.list_idx < t) & (t < uni.delist_idx) & ~sim.susp[t]
    dy = sim.div_yield[t]
    base = np.where(moving & (dy > 0), prev - np.round(prev * dy, 2), prev)
    sp = moving & sim.split[t]
    base = np.where(sp, base / 2.0, base)
    sim.shares = np.where(sp, sim.shares * 2.0, sim.shares)
    sim.adj = np.where(base != prev, sim.adj * prev / base, sim.adj)
    new = np.round(base * (1.0 + r_model), 2)
    lim = uni.limit
    new = np.clip(new, np.round(base * (1.0 - lim), 2), np.round(base * (1.0 + lim), 2))
    new = np.maximum(new, 0.01)
    sim.close = np.where(moving, new, prev)
    ret = np.where(moving, new / base - 1.0, 0.0)
    sim.CLOSE[t], sim.ADJ[t], sim.SHR[t] = sim.close, sim.adj, sim.shares
    active = (uni.list_idx <= t) & (t < uni.delist_idx)
    _volume(sim, t, active, ret, uni.list_idx == t)


def _month_end_flags(days: np.ndarray) -> np.ndarray:
    month = days.astype("datetime64[M]")
    flag = np.zeros(len(days), dtype=bool)
    flag[:-1] = month[1:] != month[:-1]
    flag[-1] = True
    return flag


def simulate_prices(sim: Simulation, report: Callable[[float, str], None]) -> None:
    """Every day's bars, month by month: the returns of a month use the exposures of the
    descriptors recorded at the end of the month before."""
    uni, T = sim.uni, sim.T
    sim.latent = _draw_latent(sim)
    desc_days = [0] + [t for t in np.nonzero(_month_end_flags(sim.days))[0] if t > 0]
    sim.tr_prev = sim.close * sim.adj
    sim.CLOSE[0], sim.ADJ[0], sim.SHR[0] = sim.close, sim.adj, sim.shares
    first_bar = uni.list_idx == 0
    sim.vol_z = sim.rng["volumes"].standard_normal((T, sim.N))
    _volume(
        sim, 0, first_bar & (uni.delist_idx > 0), np.zeros(sim.N), first_bar & ~sim.pre_calendar
    )
    X = _descriptors(sim, 0)
    n_ind = len(SWS_INDUSTRIES)
    frets = sim.factor_returns
    fm, fi, fs = frets[:, 0], frets[:, 1 : 1 + n_ind], frets[:, 1 + n_ind :]
    bounds = desc_days + [T - 1]
    for b in range(len(desc_days)):
        t0, t1 = bounds[b] + 1, bounds[b + 1] + 1
        if t0 >= t1:
            continue
        R = fm[t0:t1, None] + fi[t0:t1][:, uni.sws] + fs[t0:t1] @ X.T + sim.E[t0:t1]
        for t in range(t0, t1):
            _step_day(sim, t, R[t - t0])
        if t1 - 1 in desc_days:
            X = _descriptors(sim, t1 - 1)
        report(0.02 + 0.6 * t1 / T, "simulating prices")
