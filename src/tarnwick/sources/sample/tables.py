"""The sample market's raw tables, assembled from the simulation as DataFrames."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

from tarnwick.reference import STYLE_NAMES
from tarnwick.reference.industries import CITIC_INDUSTRIES, NON_BANK_SPLIT, SWS_INDUSTRIES
from tarnwick.sources.sample.config import FUNDS, INDEX_IDS, INDEX_LISTED
from tarnwick.sources.sample.indices import Indices, active_mask
from tarnwick.sources.sample.simulate import Simulation
from tarnwick.sources.sample.universe import Universe

__all__ = [
    "SampleMarket",
    "instruments",
    "bars_and_caps",
    "compositions",
    "industries",
    "descriptors",
]


@dataclass
class SampleMarket:
    """The generated tables, as DataFrames ready to be written to the store."""

    instruments: pd.DataFrame
    trading_dates: pd.DataFrame
    daily_bars: pd.DataFrame
    factor_values: pd.DataFrame
    index_components: pd.DataFrame
    industries: pd.DataFrame
    style_descriptors: pd.DataFrame
    meta: dict[str, str]


def _fmt(d: np.ndarray) -> np.ndarray:
    return np.where(np.isnat(d), "0000-00-00", np.datetime_as_string(d, unit="D"))


def instruments(sim: Simulation) -> pd.DataFrame:
    """Stocks, indices and funds, in id order."""
    uni, N, T = sim.uni, sim.N, sim.T
    fund_ids = [f[0] for f in FUNDS]
    instr = pd.DataFrame(
        {
            "order_book_id": list(uni.ids) + list(INDEX_IDS) + fund_ids,
            "symbol": list(uni.symbol) + list(INDEX_IDS.values()) + [f[1] for f in FUNDS],
            "type": ["CS"] * N + ["INDX"] * len(INDEX_IDS) + [f[2] for f in FUNDS],
            "exchange": list(uni.exchange) + ["XSHG"] * len(INDEX_IDS) + [f[3] for f in FUNDS],
            "listed_date": list(_fmt(uni.listed))
            + [INDEX_LISTED[k] for k in INDEX_IDS]
            + [f[4] for f in FUNDS],
            "de_listed_date": list(_fmt(uni.delisted))
            + ["0000-00-00"] * (len(INDEX_IDS) + len(FUNDS)),
            "shares_outstanding": list(sim.SHR[np.minimum(uni.delist_idx, T) - 1, np.arange(N)])
            + [np.nan] * len(INDEX_IDS)
            + [f[7] for f in FUNDS],
        }
    )
    return instr.sort_values("order_book_id", kind="stable").reset_index(drop=True)


def bars_and_caps(
    sim: Simulation, indices: Indices, funds: dict[str, tuple[np.ndarray, np.ndarray]]
) -> tuple[pd.DataFrame, pd.DataFrame]:
    """Daily bars of every instrument (id order, then date order) and the stocks' caps."""
    uni, T = sim.uni, sim.T
    fund_ids = [f[0] for f in FUNDS]
    all_ids = np.array(sorted(list(uni.ids) + list(INDEX_IDS) + fund_ids))
    code_of = {s: k for k, s in enumerate(all_ids)}
    # Stock bars in id order then date order: transpose and keep listed cells.
    act_t = active_mask(sim).T
    si, ti = np.nonzero(act_t)
    codes_parts = [np.array([code_of[s] for s in uni.ids], dtype=np.int32)[si]]
    t_parts = [ti]
    close_parts = [sim.CLOSE.T[act_t]]
    vol_parts = [sim.VOL.T[act_t]]
    adj_parts = [sim.ADJ.T[act_t]]
    mcap = ((sim.SHR * sim.CLOSE).T[act_t]).copy()
    others = [
        (iid, np.round(indices.series[iid][0], 4), indices.series[iid][1]) for iid in INDEX_IDS
    ] + [(fid, *funds[fid]) for fid in fund_ids]
    for oid, close, volume in others:
        codes_parts.append(np.full(T, code_of[oid], dtype=np.int32))
        t_parts.append(np.arange(T))
        close_parts.append(close)
        vol_parts.append(volume)
        adj_parts.append(np.ones(T))
    codes = np.concatenate(codes_parts)
    tt = np.concatenate(t_parts)
    order = np.argsort(codes, kind="stable")
    bars = pd.DataFrame(
        {
            "order_book_id": pd.Categorical.from_codes(codes[order], categories=all_ids),
            "date": sim.days[tt[order]],
            "close": np.concatenate(close_parts)[order],
            "volume": np.concatenate(vol_parts)[order],
            "adj_factor": np.concatenate(adj_parts)[order],
        }
    )
    stock_cat = pd.Categorical.from_codes(si, categories=uni.ids)
    factors = pd.DataFrame({"order_book_id": stock_cat, "date": sim.days[ti], "market_cap_3": mcap})
    return bars, factors


def compositions(sim: Simulation, indices: Indices) -> pd.DataFrame:
    rows = indices.compositions
    return pd.DataFrame(
        {
            "index_id": np.concatenate([[iid] * len(s) for iid, _, s in rows]),
            "effective_date": np.concatenate([[sim.days[t]] * len(s) for _, t, s in rows]),
            "order_book_id": np.concatenate([sim.uni.ids[s] for _, _, s in rows]),
        }
    )


def industries(uni: Universe) -> pd.DataFrame:
    """The three classifications of every classified stock."""
    ind_codes = [c for c, _ in SWS_INDUSTRIES]
    ind_names = [n for _, n in SWS_INDUSTRIES]
    cls = np.nonzero(uni.classified)[0]
    split = [
        NON_BANK_SPLIT[uni.split_part[i]] if uni.split_part[i] >= 0 else SWS_INDUSTRIES[uni.sws[i]]
        for i in cls
    ]
    return pd.DataFrame(
        {
            "order_book_id": np.tile(uni.ids[cls], 3),
            "classification": np.repeat(["sws", "citic", "sws_split"], len(cls)),
            "industry_code": np.concatenate(
                [
                    np.array(ind_codes)[uni.sws[cls]],
                    np.array([c for c, _ in CITIC_INDUSTRIES])[uni.citic[cls]],
                    np.array([c for c, _ in split]),
                ]
            ),
            "industry_name": np.concatenate(
                [
                    np.array(ind_names)[uni.sws[cls]],
                    np.array([n for _, n in CITIC_INDUSTRIES])[uni.citic[cls]],
                    np.array([n for _, n in split]),
                ]
            ),
        }
    )


def descriptors(sim: Simulation) -> pd.DataFrame:
    """The raw style descriptors recorded on every descriptor date."""
    rows = sim.desc_rows
    style = pd.DataFrame(np.concatenate([d for _, _, d in rows]), columns=STYLE_NAMES)
    style.insert(0, "order_book_id", np.concatenate([sim.uni.ids[i] for _, i, _ in rows]))
    style.insert(0, "date", np.concatenate([[sim.days[t]] * len(i) for t, i, _ in rows]))
    return style
