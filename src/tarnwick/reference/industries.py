"""Level-one industries of the three classifications the client knows, as (code, name)."""

from __future__ import annotations

__all__ = [
    "SWS_INDUSTRIES",
    "CITIC_INDUSTRIES",
    "NON_BANK_SPLIT",
    "SWS_SPLIT_INDUSTRIES",
    "INDUSTRIES",
]

#: Shenwan level-one industries: (code, name).
SWS_INDUSTRIES: list[tuple[str, str]] = [
    ("801010", "农林牧渔"),
    ("801030", "基础化工"),
    ("801040", "钢铁"),
    ("801050", "有色金属"),
    ("801080", "电子"),
    ("801110", "家用电器"),
    ("801120", "食品饮料"),
    ("801130", "纺织服饰"),
    ("801140", "轻工制造"),
    ("801150", "医药生物"),
    ("801160", "公用事业"),
    ("801170", "交通运输"),
    ("801180", "房地产"),
    ("801200", "商贸零售"),
    ("801210", "社会服务"),
    ("801230", "综合"),
    ("801710", "建筑材料"),
    ("801720", "建筑装饰"),
    ("801730", "电力设备"),
    ("801740", "国防军工"),
    ("801750", "计算机"),
    ("801760", "传媒"),
    ("801770", "通信"),
    ("801780", "银行"),
    ("801790", "非银金融"),
    ("801880", "汽车"),
    ("801890", "机械设备"),
    ("801950", "煤炭"),
    ("801960", "石油石化"),
    ("801970", "环保"),
    ("801980", "美容护理"),
]

#: CITIC level-one industries: (code, name).
CITIC_INDUSTRIES: list[tuple[str, str]] = [
    (f"CI0050{i + 1:02d}", name)
    for i, name in enumerate(
        [
            "石油石化",
            "煤炭",
            "有色金属",
            "电力及公用事业",
            "钢铁",
            "基础化工",
            "建筑",
            "建材",
            "轻工制造",
            "机械",
            "电力设备及新能源",
            "国防军工",
            "汽车",
            "商贸零售",
            "消费者服务",
            "家电",
            "纺织服装",
            "医药",
            "食品饮料",
            "农林牧渔",
            "银行",
            "非银行金融",
            "房地产",
            "交通运输",
            "电子",
            "通信",
            "计算机",
            "传媒",
            "综合",
            "综合金融",
        ]
    )
]

#: The three parts of the non-bank financials in the split Shenwan classification.
NON_BANK_SPLIT: list[tuple[str, str]] = [
    ("801193", "证券"),
    ("801194", "保险"),
    ("801191", "多元金融"),
]

#: Shenwan level one with the non-bank financials split in three.
SWS_SPLIT_INDUSTRIES: list[tuple[str, str]] = [
    (c, n) for c, n in SWS_INDUSTRIES if n != "非银金融"
] + NON_BANK_SPLIT

#: Classification -> its industries.
INDUSTRIES: dict[str, list[tuple[str, str]]] = {
    "sws": SWS_INDUSTRIES,
    "citic": CITIC_INDUSTRIES,
    "sws_split": SWS_SPLIT_INDUSTRIES,
}
