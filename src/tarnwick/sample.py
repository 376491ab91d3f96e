"""Deterministic generator of the sample A-share market.

Everything is drawn from ``numpy.random.default_rng`` streams spawned from one seed, so a
(size, seed) pair always produces the same market.  Daily stock returns follow a factor model

    r_it = f_market_t + f_industry(i),t + sum_k x_ik,t f_k,t + e_it

where ``x`` are the style exposures obtained by :func:`standardise` from the raw descriptors
of the previous month end (the same descriptors that end up in ``style_descriptors``).  The
true parameters of that model are available from :func:`generator_parameters`; nothing in the
store depends on them except through the simulated prices.
"""

from __future__ import annotations

import datetime as _dt
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import pandas as pd

from tarnwick.reference import STYLE_NAMES
from tarnwick.reference.calendar import trading_days
from tarnwick.reference.industries import (
    CITIC_INDUSTRIES,
    NON_BANK_SPLIT,
    SWS_INDUSTRIES,
    SWS_SPLIT_INDUSTRIES,
)
from tarnwick.sources.descriptors import non_linear_size, weighted_stats

__all__ = [
    "SIZES",
    "DEFAULT_SEED",
    "STYLE_NAMES",
    "SWS_INDUSTRIES",
    "CITIC_INDUSTRIES",
    "SWS_SPLIT_INDUSTRIES",
    "INDEX_IDS",
    "MarketConfig",
    "SampleMarket",
    "config",
    "generate",
    "generator_parameters",
    "standardise",
    "standardise_descriptors",
]

DEFAULT_SEED = 20240101


#: Relative number of stocks of each Shenwan industry in the sample market.
_SWS_SHARE: dict[str, int] = {
    "农林牧渔": 100,
    "基础化工": 400,
    "钢铁": 45,
    "有色金属": 130,
    "电子": 460,
    "家用电器": 90,
    "食品饮料": 125,
    "纺织服饰": 110,
    "轻工制造": 155,
    "医药生物": 480,
    "公用事业": 130,
    "交通运输": 125,
    "房地产": 110,
    "商贸零售": 100,
    "社会服务": 80,
    "综合": 20,
    "建筑材料": 75,
    "建筑装饰": 160,
    "电力设备": 350,
    "国防军工": 140,
    "计算机": 330,
    "传媒": 140,
    "通信": 120,
    "银行": 42,
    "非银金融": 85,
    "汽车": 260,
    "机械设备": 520,
    "煤炭": 38,
    "石油石化": 48,
    "环保": 125,
    "美容护理": 30,
}

# Usual CITIC home of each Shenwan industry, and a few plausible alternatives that a small
# share of the stocks of that industry get instead.
_SWS_TO_CITIC: dict[str, str] = {
    "农林牧渔": "农林牧渔",
    "基础化工": "基础化工",
    "钢铁": "钢铁",
    "有色金属": "有色金属",
    "电子": "电子",
    "家用电器": "家电",
    "食品饮料": "食品饮料",
    "纺织服饰": "纺织服装",
    "轻工制造": "轻工制造",
    "医药生物": "医药",
    "公用事业": "电力及公用事业",
    "交通运输": "交通运输",
    "房地产": "房地产",
    "商贸零售": "商贸零售",
    "社会服务": "消费者服务",
    "综合": "综合",
    "建筑材料": "建材",
    "建筑装饰": "建筑",
    "电力设备": "电力设备及新能源",
    "国防军工": "国防军工",
    "计算机": "计算机",
    "传媒": "传媒",
    "通信": "通信",
    "银行": "银行",
    "非银金融": "非银行金融",
    "汽车": "汽车",
    "机械设备": "机械",
    "煤炭": "煤炭",
    "石油石化": "石油石化",
    "环保": "电力及公用事业",
    "美容护理": "基础化工",
}
_CITIC_ALTERNATIVES: dict[str, list[str]] = {
    "电子": ["计算机", "通信"],
    "计算机": ["通信", "电子", "传媒"],
    "机械设备": ["电力设备及新能源", "汽车", "国防军工"],
    "环保": ["机械", "建筑"],
    "美容护理": ["轻工制造", "医药"],
    "社会服务": ["传媒", "商贸零售"],
    "有色金属": ["基础化工"],
    "电力设备": ["机械"],
    "综合": ["商贸零售"],
    "交通运输": ["商贸零售"],
}

# Symbol pieces: a two-character prefix and an industry flavoured suffix.
_PREFIX_CHARS = (
    "华中国东南西北海天金新长鑫恒泰安信达通宏盛荣兴隆远明光宇正嘉博康瑞祥德永丰富春晨星"
    "云山江湖川鹏龙凯航源合力万联利阳汇创升浩晶明亿科津沪粤闽浙苏鲁豫皖湘赣蜀滇黔"
)
_SUFFIXES: dict[str, list[str]] = {
    "农林牧渔": ["农业", "牧业", "种业", "渔业"],
    "基础化工": ["化工", "化学", "新材", "化纤"],
    "钢铁": ["钢铁", "特钢", "钢管"],
    "有色金属": ["矿业", "有色", "铝业", "锂业"],
    "电子": ["电子", "微电", "光电", "精密"],
    "家用电器": ["电器", "家电"],
    "食品饮料": ["食品", "酒业", "乳业", "饮品"],
    "纺织服饰": ["纺织", "服饰", "家纺"],
    "轻工制造": ["纸业", "家居", "包装"],
    "医药生物": ["医药", "药业", "生物", "制药"],
    "公用事业": ["电力", "能源", "燃气", "水务"],
    "交通运输": ["物流", "航运", "港务", "高速"],
    "房地产": ["地产", "置业", "发展"],
    "商贸零售": ["商业", "百货", "商贸"],
    "社会服务": ["旅游", "教育", "酒店"],
    "综合": ["实业", "控股", "集团"],
    "建筑材料": ["建材", "水泥", "玻璃"],
    "建筑装饰": ["建设", "建工", "装饰"],
    "电力设备": ["电气", "新能", "电源", "光伏"],
    "国防军工": ["航天", "军工", "航空"],
    "计算机": ["软件", "信息", "数据", "网络"],
    "传媒": ["传媒", "文化", "影视", "互娱"],
    "通信": ["通信", "通讯", "光网"],
    "银行": ["银行"],
    "证券": ["证券"],
    "保险": ["保险", "人寿"],
    "多元金融": ["信托", "租赁", "期货"],
    "汽车": ["汽车", "汽配", "车业"],
    "机械设备": ["机械", "重工", "精机", "装备"],
    "煤炭": ["煤业", "煤电"],
    "石油石化": ["石化", "石油", "油服"],
    "环保": ["环保", "环境"],
    "美容护理": ["美妆", "护理"],
}

#: Index ids and names, in ranking order (largest first) then the Shanghai board index.
INDEX_IDS: dict[str, str] = {
    "000300.XSHG": "沪深300",
    "000905.XSHG": "中证500",
    "000852.XSHG": "中证1000",
    "000016.XSHG": "上证50",
}
_INDEX_LISTED = {
    "000300.XSHG": "2005-04-08",
    "000905.XSHG": "2007-01-15",
    "000852.XSHG": "2014-10-17",
    "000016.XSHG": "2004-01-02",
}

# Boards: (exchange, first id, last id, first possible listing date, price limit).
_BOARDS = {
    "sh_main": ("XSHG", 600000, 605999, "1990-12-19", 0.10),
    "star": ("XSHG", 688001, 688999, "2019-07-22", 0.20),
    "sz_main": ("XSHE", 1, 3999, "1991-04-03", 0.10),
    "chinext": ("XSHE", 300001, 301999, "2009-10-30", 0.20),
}


@dataclass(frozen=True)
class MarketConfig:
    """Scale of one sample market."""

    size: str
    start: _dt.date
    end: _dt.date
    board_counts: dict[str, int]
    index_sizes: dict[str, int]
    index_base_levels: dict[str, float]


_CONFIGS = {
    "full": MarketConfig(
        size="full",
        start=_dt.date(2018, 1, 1),
        end=_dt.date(2025, 12, 31),
        board_counts={"sh_main": 1700, "star": 580, "sz_main": 1500, "chinext": 1300},
        index_sizes={
            "000300.XSHG": 300,
            "000905.XSHG": 500,
            "000852.XSHG": 1000,
            "000016.XSHG": 50,
        },
        index_base_levels={
            "000300.XSHG": 4030.85,
            "000905.XSHG": 6250.12,
            "000852.XSHG": 6610.37,
            "000016.XSHG": 2790.64,
        },
    ),
    "small": MarketConfig(
        size="small",
        start=_dt.date(2024, 1, 1),
        end=_dt.date(2025, 12, 31),
        board_counts={"sh_main": 110, "star": 35, "sz_main": 85, "chinext": 70},
        index_sizes={"000300.XSHG": 50, "000905.XSHG": 80, "000852.XSHG": 100, "000016.XSHG": 20},
        index_base_levels={
            "000300.XSHG": 3386.35,
            "000905.XSHG": 5283.79,
            "000852.XSHG": 5468.12,
            "000016.XSHG": 2362.61,
        },
    ),
}
SIZES = tuple(_CONFIGS)

_FUNDS = [
    # id, symbol, type, exchange, listed, tracked series, base price, units
    ("510300.XSHG", "沪深300ETF", "ETF", "XSHG", "2012-05-28", "000300.XSHG", 1000.0, 3.0e10),
    ("510500.XSHG", "中证500ETF", "ETF", "XSHG", "2013-03-15", "000905.XSHG", 1000.0, 1.2e10),
    ("159915.XSHE", "创业板ETF", "ETF", "XSHE", "2011-12-09", "chinext", 1.0, 2.5e10),
    ("501000.XSHG", "稳健回报LOF", "LOF", "XSHG", "2016-07-29", "own", 1.0, 8.0e8),
]

_TRADING_DAYS_PER_YEAR = 252


def config(size: str) -> MarketConfig:
    """The configuration of market size ``size`` ('full' or 'small')."""
    if not isinstance(size, str):
        raise TypeError(f"size must be a str among {SIZES}, got {type(size).__name__}")
    try:
        return _CONFIGS[size]
    except KeyError:
        raise ValueError(f"size must be one of {SIZES}, got {size!r}") from None


def _streams(size: str, seed: int) -> list[np.random.Generator]:
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or seed < 0:
        raise ValueError(f"seed must be a non-negative int, got {seed!r}")
    code = SIZES.index(size)
    seq = np.random.SeedSequence(int(seed), spawn_key=(code,))
    return [np.random.default_rng(s) for s in seq.spawn(8)]


# --------------------------------------------------------------------------------------
# Standardisation of descriptors into exposures
# --------------------------------------------------------------------------------------


def standardise(values: np.ndarray, weights: np.ndarray, clip: float = 3.0) -> np.ndarray:
    """Cap-weighted standardisation of descriptor columns.

    ``values`` is (n, k), ``weights`` (n,) market caps.  Each column becomes
    ``clip((v - sum(w v) / sum(w)) / std(v), -clip, clip)`` with ``std`` the equal-weighted
    population standard deviation (ddof=0).  NaNs are ignored in the statistics and stay NaN.
    """
    v = np.asarray(values, dtype=float)
    w = np.asarray(weights, dtype=float)
    squeeze = v.ndim == 1
    if squeeze:
        v = v[:, None]
    ok = np.isfinite(v) & (np.isfinite(w) & (w > 0))[:, None]
    wv = np.where(ok, w[:, None], 0.0)
    mean = (np.where(ok, v, 0.0) * wv).sum(0) / np.maximum(wv.sum(0), 1e-300)
    cnt = np.maximum(ok.sum(0), 1)
    em = np.where(ok, v, 0.0).sum(0) / cnt
    sd = np.sqrt((np.where(ok, (v - em) ** 2, 0.0)).sum(0) / cnt)
    sd = np.where(sd > 0, sd, 1.0)
    out = np.clip((v - mean) / sd, -clip, clip)
    return out[:, 0] if squeeze else out


def standardise_descriptors(
    descriptors: pd.DataFrame, market_cap: pd.Series, clip: float = 3.0
) -> pd.DataFrame:
    """Style exposures of one date from its raw descriptors, as the generator computes them.

    ``descriptors`` is indexed by order_book_id (columns: style names), ``market_cap`` maps
    order_book_id to market cap on the descriptor date.  See :func:`standardise`.
    """
    cap = market_cap.reindex(descriptors.index).to_numpy(dtype=float)
    out = standardise(descriptors.to_numpy(dtype=float), cap, clip)
    return pd.DataFrame(out, index=descriptors.index, columns=descriptors.columns)


# --------------------------------------------------------------------------------------
# Universe and true parameters
# --------------------------------------------------------------------------------------


@dataclass
class _Universe:
    ids: np.ndarray  # sorted order_book_ids of the stocks
    exchange: np.ndarray
    board: np.ndarray
    limit: np.ndarray
    listed: np.ndarray  # datetime64[D]
    delisted: np.ndarray  # datetime64[D], NaT while listed
    list_idx: np.ndarray  # first bar index (0 for stocks listed before the calendar)
    delist_idx: np.ndarray  # first index without a bar (T while listed)
    sws: np.ndarray  # index into SWS_INDUSTRIES
    split_part: np.ndarray  # index into NON_BANK_SPLIT (-1 unless non-bank)
    citic: np.ndarray  # index into CITIC_INDUSTRIES
    classified: np.ndarray  # bool
    symbol: np.ndarray
    price0: np.ndarray
    shares0: np.ndarray
    sigma: np.ndarray  # annualised specific volatility


def _draw_universe(cfg: MarketConfig, days: np.ndarray, rng: np.random.Generator) -> _Universe:
    end = np.datetime64(cfg.end, "D")
    T = len(days)
    ids, exch, board, limit, listed = [], [], [], [], []
    for name, count in cfg.board_counts.items():
        ex, lo, hi, first, lim = _BOARDS[name]
        nums = np.sort(rng.choice(np.arange(lo, hi + 1), size=count, replace=False))
        d0 = np.datetime64(first, "D")
        span = (end - d0).astype(int)
        offs = np.sort((span * rng.random(count) ** 0.85).astype(int))
        dates = d0 + offs
        ids += [f"{n:06d}.{ex}" for n in nums]
        exch += [ex] * count
        board += [name] * count
        limit += [lim] * count
        listed.append(dates)
    listed_arr = np.concatenate(listed)
    board_arr = np.array(board)
    # A few listings on the very last trading days of the calendar.
    for b, back in (("chinext", 0), ("sz_main", 0), ("star", 1), ("sh_main", 2)):
        pos = np.nonzero(board_arr == b)[0][-1]
        listed_arr[pos] = days[T - 1 - back]
    # Listing dates inside the calendar fall on trading days; earlier ones on weekdays.
    inside = listed_arr >= days[0]
    snap = np.searchsorted(days, listed_arr[inside])
    listed_arr[inside] = days[np.minimum(snap, T - 1)]
    wd = (listed_arr.astype(np.int64) + 3) % 7
    listed_arr = np.where(~inside & (wd >= 5), listed_arr - (wd - 4), listed_arr)

    ids_arr = np.array(ids)
    order = np.argsort(ids_arr, kind="stable")
    ids_arr, listed_arr, board_arr = ids_arr[order], listed_arr[order], board_arr[order]
    exch_arr, limit_arr = np.array(exch)[order], np.array(limit)[order]
    N = len(ids_arr)
    list_idx = np.where(listed_arr < days[0], 0, np.searchsorted(days, listed_arr))

    # About 3% delist during the calendar, at least half a year after their first bar.
    delist_idx = np.full(N, T)
    cand = np.nonzero(list_idx < T - 200)[0]
    n_del = max(2, int(round(0.03 * N)))
    chosen = rng.choice(cand, size=min(n_del, len(cand)), replace=False)
    for i in chosen:
        lo = min(list_idx[i] + 126, T - 3)
        delist_idx[i] = rng.integers(max(lo, 5), T - 1)
    never = np.datetime64("NaT", "D")
    delisted = np.where(delist_idx < T, days[np.minimum(delist_idx, T - 1)], never)

    # Industries; financials only on the main boards, growth sectors on the new boards.
    names = [n for _, n in SWS_INDUSTRIES]
    base_w = np.array([_SWS_SHARE[n] for n in names], dtype=float)
    new_board_mult = np.ones(len(names))
    for nm, m in {
        "银行": 0.0,
        "非银金融": 0.02,
        "煤炭": 0.05,
        "钢铁": 0.1,
        "房地产": 0.03,
        "石油石化": 0.2,
        "电子": 2.0,
        "计算机": 2.0,
        "医药生物": 1.5,
        "机械设备": 1.5,
        "电力设备": 1.5,
    }.items():
        new_board_mult[names.index(nm)] = m
    is_new = np.isin(board_arr, ["star", "chinext"])
    sws = np.empty(N, dtype=int)
    for flag in (False, True):
        sel = np.nonzero(is_new == flag)[0]
        w = base_w * (new_board_mult if flag else 1.0)
        sws[sel] = rng.choice(len(names), size=len(sel), p=w / w.sum())
    # Every industry gets at least three stocks (main-board ones for the financials).
    main_pool = np.nonzero(~is_new)[0]
    for j in range(len(names)):
        need = 3 - int((sws == j).sum())
        while need > 0:
            counts = np.bincount(sws, minlength=len(names))
            pool = main_pool[counts[sws[main_pool]] > 10]
            k = rng.choice(pool)
            sws[k] = j
            need -= 1
    nb = names.index("非银金融")
    split_part = np.full(N, -1)
    nb_idx = np.nonzero(sws == nb)[0]
    parts = rng.choice(3, size=len(nb_idx), p=[0.5, 0.12, 0.38])
    parts[:3] = [0, 1, 2]
    split_part[nb_idx] = parts
    citic_names = [n for _, n in CITIC_INDUSTRIES]
    citic = np.empty(N, dtype=int)
    alt_draw = rng.random(N)
    alt_pick = rng.random(N)
    for i in range(N):
        sname = names[sws[i]]
        target = _SWS_TO_CITIC[sname]
        if sname == "非银金融" and split_part[i] == 2:
            target = "综合金融" if alt_draw[i] < 0.7 else "非银行金融"
        elif sname in _CITIC_ALTERNATIVES and alt_draw[i] < 0.06:
            alts = _CITIC_ALTERNATIVES[sname]
            target = alts[int(alt_pick[i] * len(alts))]
        citic[i] = citic_names.index(target)
    classified = np.ones(N, dtype=bool)
    n_unc = max(1, int(round(0.005 * N)))
    classified[rng.choice(N, size=n_unc, replace=False)] = False

    # Symbols.
    symbols = np.empty(N, dtype=object)
    used: set[str] = set()
    for i in range(N):
        key = NON_BANK_SPLIT[split_part[i]][1] if split_part[i] >= 0 else names[sws[i]]
        suffixes = _SUFFIXES[key]
        while True:
            a, b = rng.integers(len(_PREFIX_CHARS), size=2)
            sym = _PREFIX_CHARS[a] + _PREFIX_CHARS[b] + suffixes[rng.integers(len(suffixes))]
            if a != b and sym not in used:
                break
        used.add(sym)
        symbols[i] = sym

    # Size at the first bar, price, shares.
    log_cap = rng.normal(np.log(6e9), 1.0, N)
    log_cap += np.where(sws == names.index("银行"), 2.0, 0.0)
    log_cap += np.where(sws == names.index("非银金融"), 0.8, 0.0)
    log_cap -= np.where(list_idx > 0, 0.4, 0.0)
    log_cap = np.clip(log_cap, np.log(1.2e9), np.log(2.2e12))
    price0 = np.exp(rng.normal(np.log(14.0), 0.75, N))
    price0 = np.where(list_idx > 0, rng.uniform(8.0, 60.0, N), price0)
    price0 = np.round(np.clip(price0, 3.0, 200.0), 2)
    shares0 = np.round(np.exp(log_cap) / price0, -4)

    z = (log_cap - log_cap.mean()) / log_cap.std()
    sigma = 0.33 - 0.06 * z + 0.04 * is_new + rng.normal(0.0, 0.04, N)
    sigma = np.clip(sigma, 0.20, 0.50)

    return _Universe(
        ids=ids_arr,
        exchange=exch_arr,
        board=board_arr,
        limit=limit_arr,
        listed=listed_arr,
        delisted=delisted,
        list_idx=list_idx,
        delist_idx=delist_idx,
        sws=sws,
        split_part=split_part,
        citic=citic,
        classified=classified,
        symbol=symbols,
        price0=price0,
        shares0=shares0,
        sigma=sigma,
    )


def _factor_names() -> list[str]:
    return ["market"] + [n for _, n in SWS_INDUSTRIES] + list(STYLE_NAMES)


def _draw_factor_model(T: int, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    """Annualised factor covariance and the (T, K) daily factor returns."""
    n_ind, n_sty = len(SWS_INDUSTRIES), len(STYLE_NAMES)
    vol = np.concatenate([[0.20], rng.uniform(0.08, 0.12, n_ind), rng.uniform(0.02, 0.06, n_sty)])
    K = len(vol)
    beta = 1 + n_ind + STYLE_NAMES.index("beta")
    # The beta style moves with the market, so that high-beta stocks do rise and fall more with
    # it and a low-beta portfolio carries less market risk.
    vol[beta] = 0.10
    # Mild correlation through a few common drivers (industries with each other, styles
    # with each other, beta with the market).
    load = np.zeros((K, 3))
    load[1 : 1 + n_ind, 0] = rng.uniform(0.1, 0.4, n_ind)
    load[1 + n_ind :, 1] = rng.uniform(-0.35, 0.35, n_sty)
    load[[0, beta], 2] = 0.8
    corr = load @ load.T
    np.fill_diagonal(corr, 1.0)
    cov = corr * np.outer(vol, vol)
    chol = np.linalg.cholesky(cov / _TRADING_DAYS_PER_YEAR)
    rets = rng.standard_normal((T, K)) @ chol.T
    rets[:, 0] += 0.06 / _TRADING_DAYS_PER_YEAR
    return cov, rets


def generator_parameters(size: str, seed: int = DEFAULT_SEED) -> dict:
    """True parameters of the return model of the ``size`` market generated from ``seed``.

    Keys:
      * ``factor_volatility``: annualised volatility by factor ('market', each SWS industry
        name, each style name), a Series;
      * ``factor_covariance``: annualised factor covariance, a DataFrame over the same names;
      * ``factor_returns``: the daily factor returns drawn (index: trading dates from the
        second calendar day on, as the first day has no return);
      * ``specific_volatility``: annualised specific volatility by order_book_id;
      * ``industry``: the SWS industry each stock's returns load on (also for the few stocks
        the store leaves unclassified);
      * ``size``, ``seed``, ``start``, ``end``.
    """
    cfg = config(size)
    days = trading_days(cfg.start, cfg.end)
    streams = _streams(size, seed)
    uni = _draw_universe(cfg, days, streams[0])
    cov, rets = _draw_factor_model(len(days), streams[1])
    names = _factor_names()
    ind_names = np.array([n for _, n in SWS_INDUSTRIES])
    return {
        "size": size,
        "seed": int(seed),
        "start": days[0].astype(object),
        "end": days[-1].astype(object),
        "factor_volatility": pd.Series(np.sqrt(np.diag(cov)), index=names, name="volatility"),
        "factor_covariance": pd.DataFrame(cov, index=names, columns=names),
        "factor_returns": pd.DataFrame(
            rets[1:], index=pd.DatetimeIndex(days[1:], name="date"), columns=names
        ),
        "specific_volatility": pd.Series(
            uni.sigma, index=pd.Index(uni.ids, name="order_book_id"), name="specific_volatility"
        ),
        "industry": pd.Series(
            ind_names[uni.sws], index=pd.Index(uni.ids, name="order_book_id"), name="industry"
        ),
    }


# --------------------------------------------------------------------------------------
# Simulation
# --------------------------------------------------------------------------------------


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


def _month_end_flags(days: np.ndarray) -> np.ndarray:
    month = days.astype("datetime64[M]")
    flag = np.zeros(len(days), dtype=bool)
    flag[:-1] = month[1:] != month[:-1]
    flag[-1] = True
    return flag


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


def generate(
    size: str = "full",
    seed: int = DEFAULT_SEED,
    progress: Callable[[float, str], None] | None = None,
) -> SampleMarket:
    """Generate the sample market of ``size`` from ``seed``.

    ``progress(fraction, label)`` is called now and then with the fraction done (0..1).
    """
    report = progress or (lambda f, s: None)
    cfg = config(size)
    days = trading_days(cfg.start, cfg.end)
    T = len(days)
    streams = _streams(size, seed)
    rng_uni, rng_fac, rng_spec, rng_evt, rng_desc, rng_vol, rng_fund, _ = streams
    uni = _draw_universe(cfg, days, rng_uni)
    _, frets = _draw_factor_model(T, rng_fac)
    N = len(uni.ids)
    n_ind = len(SWS_INDUSTRIES)
    report(0.02, "universe")

    # ---- events -------------------------------------------------------------------------
    susp = np.zeros((T, N), dtype=bool)
    years = T / 243.0
    n_ep = rng_evt.poisson(0.25 * years, N)
    for i in np.nonzero(n_ep)[0]:
        lo, hi = uni.list_idx[i] + 1, uni.delist_idx[i]
        if hi - lo < 5:
            continue
        for _ in range(n_ep[i]):
            s = rng_evt.integers(lo, hi)
            length = min(20, 1 + int(rng_evt.exponential(4.0)))
            susp[s : min(s + length, hi), i] = True
    div_yield = np.zeros((T, N))
    split = np.zeros((T, N), dtype=bool)
    bank = uni.sws == [n for _, n in SWS_INDUSTRIES].index("银行")
    pays = (rng_evt.random(N) < 0.7) | bank
    year_of = days.astype("datetime64[Y]")
    month_of = days.astype("datetime64[M]").astype(int) % 12 + 1
    for y in np.unique(year_of):
        in_y = year_of == y
        div_days = np.nonzero(in_y & ((month_of == 6) | (month_of == 7)))[0]
        split_days = np.nonzero(in_y & (month_of >= 4) & (month_of <= 7))[0]
        if len(div_days):
            t_div = rng_evt.choice(div_days, size=N)
            y_div = np.where(bank, rng_evt.uniform(0.03, 0.06, N), rng_evt.uniform(0.002, 0.03, N))
            ok = pays & (t_div > uni.list_idx) & (t_div < uni.delist_idx)
            div_yield[t_div[ok], np.nonzero(ok)[0]] = y_div[ok]
        if len(split_days):
            t_sp = rng_evt.choice(split_days, size=N)
            ok = (rng_evt.random(N) < 0.012) & (t_sp > uni.list_idx) & (t_sp < uni.delist_idx)
            split[t_sp[ok], np.nonzero(ok)[0]] = True
    if not split.any():  # keep at least one split in every market
        cand = np.nonzero((uni.list_idx < T // 2) & (uni.delist_idx == T))[0]
        split[T // 2, cand[0]] = True
    susp &= (div_yield == 0) & ~split

    # ---- state --------------------------------------------------------------------------
    spec_daily = uni.sigma / np.sqrt(_TRADING_DAYS_PER_YEAR)
    # Specific returns carry a drift of half their variance, so that volatility drag does not
    # push the typical stock into pennies over a long calendar.
    E = rng_spec.standard_normal((T, N)) * spec_daily + 0.5 * spec_daily**2
    close = uni.price0.astype(float).copy()
    shares = uni.shares0.astype(float).copy()
    adj = np.ones(N)
    CLOSE = np.empty((T, N))
    ADJ = np.empty((T, N))
    SHR = np.empty((T, N))
    VOL = np.zeros((T, N))
    log_cap0 = np.log(close * shares)
    size_z0 = (log_cap0 - log_cap0.mean()) / log_cap0.std()
    pre_calendar = uni.listed < days[0]

    # Latent descriptor states (evolve for every stock, stored only while listed).
    beta_mu = rng_desc.normal(1.0, 0.2, N)
    beta = beta_mu + rng_desc.normal(0.0, 0.25, N)
    bp_mu = rng_desc.normal(np.log(0.45), 0.5, N)
    log_bp = bp_mu + rng_desc.normal(0.0, 0.3, N)
    ey = rng_desc.normal(0.04, 0.04, N)
    growth_mu = rng_desc.normal(0.1, 0.15, N)
    growth = growth_mu + rng_desc.normal(0.0, 0.25, N)
    lev_mu = rng_desc.normal(np.log(2.0), 0.4, N) + np.where(bank, 2.3, 0.0)
    log_lev = lev_mu + rng_desc.normal(0.0, 0.1, N)
    liq_mu = np.log(0.012) - 0.35 * size_z0 + rng_desc.normal(0.0, 0.3, N)
    liq = liq_mu + rng_desc.normal(0.0, 0.2, N)
    mom_prior = rng_desc.normal(0.0, 0.3, N)
    vol_noise = np.exp(rng_desc.normal(0.0, 0.1, N))

    month_end = _month_end_flags(days)
    desc_days = [0] + [t for t in np.nonzero(month_end)[0] if t > 0]
    desc_rows: list[tuple[int, np.ndarray, np.ndarray]] = []
    tr_prev = close * adj

    def descriptors(t: int) -> np.ndarray:
        nonlocal beta, log_bp, ey, growth, log_lev, liq, tr_prev
        active = (uni.list_idx <= t) & (t < uni.delist_idx)
        tr = CLOSE[t] * ADJ[t]
        lr = np.log(tr / tr_prev)
        tr_prev = tr
        if t > 0:
            beta = beta_mu + 0.92 * (beta - beta_mu) + rng_desc.normal(0.0, 0.1, N)
            log_bp += -lr + 0.03 * (bp_mu - log_bp) + rng_desc.normal(0.0, 0.04, N)
            ey = ey * np.exp(-lr) + rng_desc.normal(0.0, 0.004, N)
            growth = growth_mu + 0.9 * (growth - growth_mu) + rng_desc.normal(0.0, 0.1, N)
            log_lev = lev_mu + 0.97 * (log_lev - lev_mu) + rng_desc.normal(0.0, 0.03, N)
            liq = liq_mu + 0.9 * (liq - liq_mu) + rng_desc.normal(0.0, 0.09, N)
        cap = SHR[t] * CLOSE[t]
        # Liquidity: log of the turnover of the last 21 trading days (scaled up when fewer).
        lo = max(0, t - 20)
        win = np.arange(lo, t + 1)
        in_life = (win[:, None] >= uni.list_idx) & (win[:, None] < uni.delist_idx)
        n_days = in_life.sum(0)
        turn = (VOL[lo : t + 1] / SHR[lo : t + 1]).sum(0)
        with np.errstate(divide="ignore", invalid="ignore"):
            liquidity = np.where(
                (n_days > 0) & (turn > 0),
                np.log(turn * 21.0 / np.maximum(n_days, 1)),
                np.log(21.0) + liq,
            )
        # Momentum: log total return from t-252 to t-21, prior history before the calendar.
        logtr = np.log(CLOSE[: t + 1] * ADJ[: t + 1])
        t_end, t_start = max(t - 21, 0), max(t - 252, 0)
        realised = logtr[t_end] - logtr[t_start]
        missing = np.clip((252 - t) / 231.0, 0.0, 1.0) if t < 252 else 0.0
        momentum = realised + np.where(pre_calendar, mom_prior * missing, 0.0)
        # Residual volatility: realised specific volatility over the last 63 trading days.
        lo = max(0, t - 62)
        win = np.arange(lo, t + 1)
        live = (win[:, None] > uni.list_idx) & (win[:, None] < uni.delist_idx)
        live &= ~susp[lo : t + 1]
        cnt = live.sum(0)
        e = np.where(live, E[lo : t + 1], 0.0)
        m = e.sum(0) / np.maximum(cnt, 1)
        var = (np.where(live, (E[lo : t + 1] - m) ** 2, 0.0)).sum(0) / np.maximum(cnt - 1, 1)
        resvol = np.where(cnt >= 20, np.sqrt(var * _TRADING_DAYS_PER_YEAR), uni.sigma * vol_noise)
        size_d = np.log(cap)
        nls = non_linear_size(size_d, cap, active)
        d = np.column_stack(
            [
                beta,
                np.exp(log_bp),
                ey,
                growth,
                np.exp(log_lev),
                liquidity,
                momentum,
                nls,
                resvol,
                size_d,
            ]
        )
        desc_rows.append((t, np.nonzero(active)[0], d[active]))
        # Statistics over the listed stocks; stocks not listed yet get exposures from the
        # same statistics (they only matter once they list).
        mean, sd = weighted_stats(d, active, cap)
        return np.clip((d - mean) / sd, -3.0, 3.0)

    # ---- price loop ---------------------------------------------------------------------
    CLOSE[0], ADJ[0], SHR[0] = close, adj, shares
    first_bar = uni.list_idx == 0
    ret = np.zeros(N)
    vol_z = rng_vol.standard_normal((T, N))

    def volume(t: int, active: np.ndarray, r: np.ndarray, new_listing: np.ndarray) -> None:
        turnover = np.exp(liq + 0.35 * vol_z[t] + 10.0 * np.abs(r))
        turnover = np.where(new_listing, 0.3 + 0.3 * np.exp(0.2 * vol_z[t]) / 1.5, turnover)
        turnover = np.minimum(turnover, 0.6)
        v = np.round(shares * turnover, -2)
        VOL[t] = np.where(active & ~susp[t], v, 0.0)

    volume(0, first_bar & (uni.delist_idx > 0), ret, first_bar & ~pre_calendar)
    X = descriptors(0)
    fm, fi, fs = frets[:, 0], frets[:, 1 : 1 + n_ind], frets[:, 1 + n_ind :]
    bounds = desc_days + [T - 1]
    for b in range(len(desc_days)):
        t0, t1 = bounds[b] + 1, bounds[b + 1] + 1
        if t0 >= t1:
            continue
        R = fm[t0:t1, None] + fi[t0:t1][:, uni.sws] + fs[t0:t1] @ X.T + E[t0:t1]
        for t in range(t0, t1):
            prev = close
            moving = (uni.list_idx < t) & (t < uni.delist_idx) & ~susp[t]
            dy = div_yield[t]
            base = np.where(moving & (dy > 0), prev - np.round(prev * dy, 2), prev)
            sp = moving & split[t]
            base = np.where(sp, base / 2.0, base)
            shares = np.where(sp, shares * 2.0, shares)
            adj = np.where(base != prev, adj * prev / base, adj)
            new = np.round(base * (1.0 + R[t - t0]), 2)
            lim = uni.limit
            new = np.clip(new, np.round(base * (1.0 - lim), 2), np.round(base * (1.0 + lim), 2))
            new = np.maximum(new, 0.01)
            close = np.where(moving, new, prev)
            ret = np.where(moving, new / base - 1.0, 0.0)
            CLOSE[t], ADJ[t], SHR[t] = close, adj, shares
            active = (uni.list_idx <= t) & (t < uni.delist_idx)
            volume(t, active, ret, uni.list_idx == t)
        if t1 - 1 in desc_days:
            X = descriptors(t1 - 1)
        report(0.02 + 0.6 * t1 / T, "simulating prices")

    # ---- indices --------------------------------------------------------------------------
    ACTIVE = (np.arange(T)[:, None] >= uni.list_idx) & (np.arange(T)[:, None] < uni.delist_idx)
    CAP = SHR * CLOSE
    reb = _rebalance_days(days)
    comp_rows: list[tuple[str, int, np.ndarray]] = []
    members: dict[str, np.ndarray] = {k: np.zeros((T, N), dtype=bool) for k in INDEX_IDS}
    for k, t_eff in enumerate(reb):
        r = max(t_eff - 1, 0)
        age = (days[r] - uni.listed).astype(int)
        elig = ACTIVE[r] & ACTIVE[t_eff] & ~susp[r] & (age >= 91)
        idx = np.nonzero(elig)[0]
        ranked = idx[np.lexsort((idx, -CAP[r, idx]))]
        sizes = cfg.index_sizes
        n1, n2, n3 = sizes["000300.XSHG"], sizes["000905.XSHG"], sizes["000852.XSHG"]
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
    report(0.66, "indices")

    def cap_index(mask: np.ndarray, base: float) -> tuple[np.ndarray, np.ndarray]:
        level = np.empty(T)
        level[0] = base
        m = mask[1:] & ACTIVE[1:] & ACTIVE[:-1]
        num = (CAP[1:] * m).sum(1)
        den = (CAP[:-1] * m).sum(1)
        ratio = np.where(den > 0, num / np.where(den > 0, den, 1.0), 1.0)
        level[1:] = base * np.cumprod(ratio)
        vol = (VOL * (mask & ACTIVE)).sum(1)
        return level, vol

    series: dict[str, tuple[np.ndarray, np.ndarray]] = {}
    for iid in INDEX_IDS:
        series[iid] = cap_index(members[iid], cfg.index_base_levels[iid])
    chinext = np.broadcast_to(uni.board == "chinext", (T, N))
    series["chinext"] = cap_index(chinext, 1.0)

    # ---- funds ----------------------------------------------------------------------------
    fund_bars: dict[str, tuple[np.ndarray, np.ndarray]] = {}
    fund_base = {"159915.XSHE": 1.82 if size == "full" else 1.91, "501000.XSHG": 1.12}
    for fid, _, _, _, _, tracked, scale, units in _FUNDS:
        te = np.cumsum(rng_fund.normal(0.0, 0.0004, T))
        if tracked == "own":
            r = rng_fund.normal(0.05 / 252, 0.15 / np.sqrt(252), T)
            r[0] = 0.0
            nav = fund_base[fid] * np.cumprod(1.0 + r)
        elif tracked == "chinext":
            nav = fund_base[fid] * series["chinext"][0] * np.exp(te)
        else:
            nav = series[tracked][0] / scale * np.exp(te)
        vol = np.round(units * np.exp(rng_fund.normal(np.log(0.02), 0.4, T)), -2)
        fund_bars[fid] = (np.round(nav, 3), vol)
    report(0.7, "funds")

    # ---- tables ---------------------------------------------------------------------------
    ind_codes = [c for c, _ in SWS_INDUSTRIES]
    ind_names = [n for _, n in SWS_INDUSTRIES]
    fund_ids = [f[0] for f in _FUNDS]
    all_ids = np.array(sorted(list(uni.ids) + list(INDEX_IDS) + fund_ids))
    code_of = {s: k for k, s in enumerate(all_ids)}

    def fmt(d: np.ndarray) -> np.ndarray:
        return np.where(np.isnat(d), "0000-00-00", np.datetime_as_string(d, unit="D"))

    instr = pd.DataFrame(
        {
            "order_book_id": list(uni.ids) + list(INDEX_IDS) + fund_ids,
            "symbol": list(uni.symbol) + list(INDEX_IDS.values()) + [f[1] for f in _FUNDS],
            "type": ["CS"] * N + ["INDX"] * len(INDEX_IDS) + [f[2] for f in _FUNDS],
            "exchange": list(uni.exchange) + ["XSHG"] * len(INDEX_IDS) + [f[3] for f in _FUNDS],
            "listed_date": list(fmt(uni.listed))
            + [_INDEX_LISTED[k] for k in INDEX_IDS]
            + [f[4] for f in _FUNDS],
            "de_listed_date": list(fmt(uni.delisted))
            + ["0000-00-00"] * (len(INDEX_IDS) + len(_FUNDS)),
            "shares_outstanding": list(SHR[np.minimum(uni.delist_idx, T) - 1, np.arange(N)])
            + [np.nan] * len(INDEX_IDS)
            + [f[7] for f in _FUNDS],
        }
    )
    instr = instr.sort_values("order_book_id", kind="stable").reset_index(drop=True)

    # Stock bars in id order then date order: transpose and keep listed cells.
    act_t = ACTIVE.T
    si, ti = np.nonzero(act_t)
    codes_parts = [np.array([code_of[s] for s in uni.ids], dtype=np.int32)[si]]
    t_parts = [ti]
    close_parts = [CLOSE.T[act_t]]
    vol_parts = [VOL.T[act_t]]
    adj_parts = [ADJ.T[act_t]]
    mcap = (CAP.T[act_t]).copy()
    for iid in INDEX_IDS:
        lvl, v = series[iid]
        codes_parts.append(np.full(T, code_of[iid], dtype=np.int32))
        t_parts.append(np.arange(T))
        close_parts.append(np.round(lvl, 4))
        vol_parts.append(v)
        adj_parts.append(np.ones(T))
    for fid in fund_ids:
        nav, v = fund_bars[fid]
        codes_parts.append(np.full(T, code_of[fid], dtype=np.int32))
        t_parts.append(np.arange(T))
        close_parts.append(nav)
        vol_parts.append(v)
        adj_parts.append(np.ones(T))
    codes = np.concatenate(codes_parts)
    tt = np.concatenate(t_parts)
    order = np.argsort(codes, kind="stable")
    cat = pd.Categorical.from_codes(codes[order], categories=all_ids)
    bars = pd.DataFrame(
        {
            "order_book_id": cat,
            "date": days[tt[order]],
            "close": np.concatenate(close_parts)[order],
            "volume": np.concatenate(vol_parts)[order],
            "adj_factor": np.concatenate(adj_parts)[order],
        }
    )
    stock_cat = pd.Categorical.from_codes(si, categories=uni.ids)
    factors = pd.DataFrame({"order_book_id": stock_cat, "date": days[ti], "market_cap_3": mcap})
    report(0.74, "tables")

    comp = pd.DataFrame(
        {
            "index_id": np.concatenate([[iid] * len(s) for iid, _, s in comp_rows]),
            "effective_date": np.concatenate([[days[t]] * len(s) for _, t, s in comp_rows]),
            "order_book_id": np.concatenate([uni.ids[s] for _, _, s in comp_rows]),
        }
    )

    cls = np.nonzero(uni.classified)[0]
    sws_split_code = np.array(
        [
            NON_BANK_SPLIT[uni.split_part[i]][0]
            if uni.split_part[i] >= 0
            else ind_codes[uni.sws[i]]
            for i in cls
        ]
    )
    sws_split_name = np.array(
        [
            NON_BANK_SPLIT[uni.split_part[i]][1]
            if uni.split_part[i] >= 0
            else ind_names[uni.sws[i]]
            for i in cls
        ]
    )
    industries = pd.DataFrame(
        {
            "order_book_id": np.tile(uni.ids[cls], 3),
            "classification": np.repeat(["sws", "citic", "sws_split"], len(cls)),
            "industry_code": np.concatenate(
                [
                    np.array(ind_codes)[uni.sws[cls]],
                    np.array([c for c, _ in CITIC_INDUSTRIES])[uni.citic[cls]],
                    sws_split_code,
                ]
            ),
            "industry_name": np.concatenate(
                [
                    np.array(ind_names)[uni.sws[cls]],
                    np.array([n for _, n in CITIC_INDUSTRIES])[uni.citic[cls]],
                    sws_split_name,
                ]
            ),
        }
    )

    style = pd.DataFrame(
        np.concatenate([d for _, _, d in desc_rows]),
        columns=STYLE_NAMES,
    )
    style.insert(0, "order_book_id", np.concatenate([uni.ids[i] for _, i, _ in desc_rows]))
    style.insert(0, "date", np.concatenate([[days[t]] * len(i) for t, i, _ in desc_rows]))

    meta = {
        "size": size,
        "seed": str(int(seed)),
        "start_date": str(days[0]),
        "end_date": str(days[-1]),
        "n_stocks": str(N),
    }
    return SampleMarket(
        instruments=instr,
        trading_dates=pd.DataFrame({"date": days}),
        daily_bars=bars,
        factor_values=factors,
        index_components=comp,
        industries=industries,
        style_descriptors=style,
        meta=meta,
    )
