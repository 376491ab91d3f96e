"""The stocks of the sample market: boards, listings, delistings, industries, symbols,
first prices and specific volatilities; and the true factor model of their returns."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from tarnwick.reference import STYLE_NAMES
from tarnwick.reference.industries import CITIC_INDUSTRIES, NON_BANK_SPLIT, SWS_INDUSTRIES
from tarnwick.sources.sample.config import BOARDS, TRADING_DAYS_PER_YEAR, MarketConfig

__all__ = ["Universe", "_draw_universe", "_draw_factor_model", "factor_names"]

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


# How much likelier each industry is on the new boards (STAR, ChiNext) than on the main ones.
_NEW_BOARD_MULTIPLIER = {
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
}
_SWS_NAMES = [n for _, n in SWS_INDUSTRIES]


@dataclass
class Universe:
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


def _draw_listings(cfg: MarketConfig, days: np.ndarray, rng: np.random.Generator) -> tuple:
    """Ids, exchanges, boards, price limits and listing dates, in id order."""
    end = np.datetime64(cfg.end, "D")
    T = len(days)
    ids, exch, board, limit, listed = [], [], [], [], []
    for name, count in cfg.board_counts.items():
        ex, lo, hi, first, lim = BOARDS[name]
        nums = np.sort(rng.choice(np.arange(lo, hi + 1), size=count, replace=False))
        d0 = np.datetime64(first, "D")
        span = (end - d0).astype(int)
        offs = np.sort((span * rng.random(count) ** 0.85).astype(int))
        ids += [f"{n:06d}.{ex}" for n in nums]
        exch += [ex] * count
        board += [name] * count
        limit += [lim] * count
        listed.append(d0 + offs)
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
    return (
        ids_arr[order],
        np.array(exch)[order],
        board_arr[order],
        np.array(limit)[order],
        listed_arr[order],
    )


def _draw_delistings(
    days: np.ndarray, list_idx: np.ndarray, rng: np.random.Generator
) -> tuple[np.ndarray, np.ndarray]:
    """About 3% delist during the calendar, at least half a year after their first bar:
    (first index without a bar, delisting date or NaT)."""
    T, N = len(days), len(list_idx)
    delist_idx = np.full(N, T)
    cand = np.nonzero(list_idx < T - 200)[0]
    n_del = max(2, int(round(0.03 * N)))
    chosen = rng.choice(cand, size=min(n_del, len(cand)), replace=False)
    for i in chosen:
        lo = min(list_idx[i] + 126, T - 3)
        delist_idx[i] = rng.integers(max(lo, 5), T - 1)
    never = np.datetime64("NaT", "D")
    return delist_idx, np.where(delist_idx < T, days[np.minimum(delist_idx, T - 1)], never)


def _draw_sws(is_new: np.ndarray, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    """Shenwan industries (financials only on the main boards, growth sectors on the new
    ones, at least three stocks each) and the non-bank part of each non-bank stock."""
    names, N = _SWS_NAMES, len(is_new)
    base_w = np.array([_SWS_SHARE[n] for n in names], dtype=float)
    new_board_mult = np.array([_NEW_BOARD_MULTIPLIER.get(n, 1.0) for n in names])
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
            sws[rng.choice(pool)] = j
            need -= 1
    split_part = np.full(N, -1)
    nb_idx = np.nonzero(sws == names.index("非银金融"))[0]
    parts = rng.choice(3, size=len(nb_idx), p=[0.5, 0.12, 0.38])
    parts[:3] = [0, 1, 2]
    split_part[nb_idx] = parts
    return sws, split_part


def _draw_citic(sws: np.ndarray, split_part: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    """Each stock's CITIC industry: the usual home of its Shenwan one, now and then another."""
    citic_names = [n for _, n in CITIC_INDUSTRIES]
    N = len(sws)
    citic = np.empty(N, dtype=int)
    alt_draw = rng.random(N)
    alt_pick = rng.random(N)
    for i in range(N):
        sname = _SWS_NAMES[sws[i]]
        target = _SWS_TO_CITIC[sname]
        if sname == "非银金融" and split_part[i] == 2:
            target = "综合金融" if alt_draw[i] < 0.7 else "非银行金融"
        elif sname in _CITIC_ALTERNATIVES and alt_draw[i] < 0.06:
            alts = _CITIC_ALTERNATIVES[sname]
            target = alts[int(alt_pick[i] * len(alts))]
        citic[i] = citic_names.index(target)
    return citic


def _draw_symbols(sws: np.ndarray, split_part: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    """Distinct two-character prefixes with an industry-flavoured suffix."""
    symbols = np.empty(len(sws), dtype=object)
    used: set[str] = set()
    for i in range(len(sws)):
        key = NON_BANK_SPLIT[split_part[i]][1] if split_part[i] >= 0 else _SWS_NAMES[sws[i]]
        suffixes = _SUFFIXES[key]
        while True:
            a, b = rng.integers(len(_PREFIX_CHARS), size=2)
            sym = _PREFIX_CHARS[a] + _PREFIX_CHARS[b] + suffixes[rng.integers(len(suffixes))]
            if a != b and sym not in used:
                break
        used.add(sym)
        symbols[i] = sym
    return symbols


def _draw_sizes(
    sws: np.ndarray, list_idx: np.ndarray, is_new: np.ndarray, rng: np.random.Generator
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Price and shares at the first bar, and the annualised specific volatility."""
    N = len(sws)
    log_cap = rng.normal(np.log(6e9), 1.0, N)
    log_cap += np.where(sws == _SWS_NAMES.index("银行"), 2.0, 0.0)
    log_cap += np.where(sws == _SWS_NAMES.index("非银金融"), 0.8, 0.0)
    log_cap -= np.where(list_idx > 0, 0.4, 0.0)
    log_cap = np.clip(log_cap, np.log(1.2e9), np.log(2.2e12))
    price0 = np.exp(rng.normal(np.log(14.0), 0.75, N))
    price0 = np.where(list_idx > 0, rng.uniform(8.0, 60.0, N), price0)
    price0 = np.round(np.clip(price0, 3.0, 200.0), 2)
    shares0 = np.round(np.exp(log_cap) / price0, -4)
    z = (log_cap - log_cap.mean()) / log_cap.std()
    sigma = 0.33 - 0.06 * z + 0.04 * is_new + rng.normal(0.0, 0.04, N)
    return price0, shares0, np.clip(sigma, 0.20, 0.50)


def _draw_universe(cfg: MarketConfig, days: np.ndarray, rng: np.random.Generator) -> Universe:
    """The stocks of the market, drawn from ``rng`` step by step."""
    ids, exchange, board, limit, listed = _draw_listings(cfg, days, rng)
    list_idx = np.where(listed < days[0], 0, np.searchsorted(days, listed))
    delist_idx, delisted = _draw_delistings(days, list_idx, rng)
    is_new = np.isin(board, ["star", "chinext"])
    sws, split_part = _draw_sws(is_new, rng)
    citic = _draw_citic(sws, split_part, rng)
    classified = np.ones(len(ids), dtype=bool)
    n_unc = max(1, int(round(0.005 * len(ids))))
    classified[rng.choice(len(ids), size=n_unc, replace=False)] = False
    symbols = _draw_symbols(sws, split_part, rng)
    price0, shares0, sigma = _draw_sizes(sws, list_idx, is_new, rng)
    return Universe(
        ids=ids,
        exchange=exchange,
        board=board,
        limit=limit,
        listed=listed,
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


def factor_names() -> list[str]:
    """The true model's factors: market, Shenwan industries, styles."""
    return ["market"] + list(_SWS_NAMES) + list(STYLE_NAMES)


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
    chol = np.linalg.cholesky(cov / TRADING_DAYS_PER_YEAR)
    rets = rng.standard_normal((T, K)) @ chol.T
    rets[:, 0] += 0.06 / TRADING_DAYS_PER_YEAR
    return cov, rets
