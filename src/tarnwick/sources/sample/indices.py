"""Index compositions, index levels and fund prices of the sample market."""

from __future__ import annotations

import datetime as _dt
from dataclasses import dataclass

import numpy as np

from tarnwick.sources.sample.config import FUNDS, INDEX_IDS, MarketConfig
from tarnwick.sources.sample.simulate import Simulation

__all__ = ["Indices", "compose_indices", "fund_bars"]


@dataclass
class Indices:
    """Compositions (index id, effective day, members) and each index's (level, volume);
    ``series`` also holds the ChiNext board's level, which one fund tracks."""

    compositions: list[tuple[str, int, np.ndarray]]
    series: dict[str, tuple[np.ndarray, np.ndarray]]


def _rebalance_days(days: np.ndarray) -> list[int]:
    """Index of each effective date: first trading day after the 2nd Friday of Jun/Dec."""
    out = [0]
    years = np.unique(days.astype("datetime64[Y]").astype(int) + 1970)
    for y in years:
        for m in (6, 12):
            first = _dt.date(int(y), m, 1)
            friday = first + _dt.timedelta(days=(4 - first.weekday()) % 7 + 7)
            k = int(np.searchsorted(days, np.datetime64(friday, "D"), side="right"))
            if 0 < k < len(days):
                out.append(k)
    return sorted(set(out))


def active_mask(sim: Simulation) -> np.ndarray:
    """Days x stocks: listed on the day (from the first bar, before the delisting)."""
    t = np.arange(sim.T)[:, None]
    return (t >= sim.uni.list_idx) & (t < sim.uni.delist_idx)


def _members(
    sim: Simulation, cfg: MarketConfig, active: np.ndarray, cap: np.ndarray
) -> tuple[list[tuple[str, int, np.ndarray]], dict[str, np.ndarray]]:
    """Compositions on every rebalance: ranked by the previous day's cap among stocks
    listed 91 days, trading and still listed; the 300, 500 and 1000 take consecutive
    slices, the 50 the largest Shanghai stocks."""
    uni, days, T = sim.uni, sim.days, sim.T
    reb = _rebalance_days(days)
    comp_rows: list[tuple[str, int, np.ndarray]] = []
    members = {k: np.zeros((T, sim.N), dtype=bool) for k in INDEX_IDS}
    sizes = cfg.index_sizes
    n1, n2, n3 = sizes["000300.XSHG"], sizes["000905.XSHG"], sizes["000852.XSHG"]
    for k, t_eff in enumerate(reb):
        r = max(t_eff - 1, 0)
        age = (days[r] - uni.listed).astype(int)
        elig = active[r] & active[t_eff] & ~sim.susp[r] & (age >= 91)
        idx = np.nonzero(elig)[0]
        ranked = idx[np.lexsort((idx, -cap[r, idx]))]
        sel = {
            "000300.XSHG": ranked[:n1],
            "000905.XSHG": ranked[n1 : n1 + n2],
            "000852.XSHG": ranked[n1 + n2 : n1 + n2 + n3],
            "000016.XSHG": ranked[uni.exchange[ranked] == "XSHG"][: sizes["000016.XSHG"]],
        }
        t_next = reb[k + 1] if k + 1 < len(reb) else T
        for iid, s in sel.items():
            comp_rows.append((iid, t_eff, np.sort(s)))
            members[iid][t_eff:t_next, s] = True
    return comp_rows, members


def _cap_index(
    sim: Simulation, active: np.ndarray, cap: np.ndarray, mask: np.ndarray, base: float
) -> tuple[np.ndarray, np.ndarray]:
    """Level chained from the cap-weighted returns of the members, and their volume."""
    level = np.empty(sim.T)
    level[0] = base
    m = mask[1:] & active[1:] & active[:-1]
    num = (cap[1:] * m).sum(1)
    den = (cap[:-1] * m).sum(1)
    ratio = np.where(den > 0, num / np.where(den > 0, den, 1.0), 1.0)
    level[1:] = base * np.cumprod(ratio)
    vol = (sim.VOL * (mask & active)).sum(1)
    return level, vol


def compose_indices(sim: Simulation, cfg: MarketConfig) -> Indices:
    active = active_mask(sim)
    cap = sim.SHR * sim.CLOSE
    comp_rows, members = _members(sim, cfg, active, cap)
    series = {
        iid: _cap_index(sim, active, cap, members[iid], cfg.index_base_levels[iid])
        for iid in INDEX_IDS
    }
    chinext = np.broadcast_to(sim.uni.board == "chinext", (sim.T, sim.N))
    series["chinext"] = _cap_index(sim, active, cap, chinext, 1.0)
    return Indices(comp_rows, series)


def fund_bars(
    sim: Simulation, indices: Indices, size: str
) -> dict[str, tuple[np.ndarray, np.ndarray]]:
    """Each fund's (NAV, volume): an index tracker with a small tracking error, or its own
    return for the LOF."""
    rng, T = sim.rng["funds"], sim.T
    out: dict[str, tuple[np.ndarray, np.ndarray]] = {}
    fund_base = {"159915.XSHE": 1.82 if size == "full" else 1.91, "501000.XSHG": 1.12}
    for fid, _, _, _, _, tracked, scale, units in FUNDS:
        te = np.cumsum(rng.normal(0.0, 0.0004, T))
        if tracked == "own":
            r = rng.normal(0.05 / 252, 0.15 / np.sqrt(252), T)
            r[0] = 0.0
            nav = fund_base[fid] * np.cumprod(1.0 + r)
        elif tracked == "chinext":
            nav = fund_base[fid] * indices.series["chinext"][0] * np.exp(te)
        else:
            nav = indices.series[tracked][0] / scale * np.exp(te)
        vol = np.round(units * np.exp(rng.normal(np.log(0.02), 0.4, T)), -2)
        out[fid] = (np.round(nav, 3), vol)
    return out
