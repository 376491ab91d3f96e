"""English help for the package's messages: what each one means and what to do about it.

The optimiser's messages are Chinese, and stay word for word as they are. Every argument error
(``InvalidArgument``) of the C++ modules carries an English note made from this table, looked up
by the message's template when the error is raised; the guide's tables of messages and warnings
(docs/guide.md) say the same, which the test suite checks. Keys are the templates as written in
the code, ``{}`` standing for each inserted value. This module imports nothing of the package.
"""

# ruff: noqa: E501 (each message and help text is kept whole on its line, as the guide shows it)
from __future__ import annotations

import re
from typing import NamedTuple

__all__ = ["Help", "ARGUMENT_ERRORS", "WARNINGS", "note"]


class Help(NamedTuple):
    """The meaning of one message and what to do about it (markdown, as in the guide)."""

    meaning: str
    fix: str


#: The InvalidArgument templates of the C++ modules.
ARGUMENT_ERRORS: dict[str, Help] = {
    "expect a datetime like object, got %r(%r)": Help(
        "`date` is neither a date, a datetime nor a text",
        'pass `"2025-06-03"`, a `datetime.date` or a Timestamp',
    ),
    "invalid value {} for {}": Help(
        "`cov_model` or `risk_model` is not a member or a member's value",
        'use `CovModel.FACTOR_MODEL_DAILY` or `"daily"`, `RiskModel.V1` or `"v1"`',
    ),
    "order_book_ids 非法": Help(
        "the universe is not iterable",
        "pass a list of ids (or one id string)",
    ),
    "经过剔除后，股票池为空": Help(
        "no stock of the universe is tradeable on the day",
        "check the ids and the date (warnings above it say why each was dropped)",
    ),
    "非法的目标函数": Help(
        "`objective` is not an `OptimizationObjective`",
        "pass an instance, `MinVariance()`, not the class",
    ),
    "对于目标函数 {}，必须传入 benchmark 参数": Help(
        "this objective needs a benchmark",
        'add `benchmark="000905.XSHG"` or your own benchmark',
    ),
    "无效的benchmark：{}；对于指数，可以直接传入对应的order_book_id；对于自定义基准，请传入一个 OptimizeBenchmark 的对象": Help(
        "`benchmark` is neither a code nor an `OptimizeBenchmark`",
        "pass an index code or an instance of your subclass",
    ),
    "bnds 应该是一个类似 dict 的结构，key 为order_book_id, value 为 (lower, upper)": Help(
        "`bnds` is not a dict",
        'pass `{"*": (0, 0.05), id: (lower, upper)}`',
    ),
    "上下限应该以 (lower, upper) 的形式指定": Help(
        "a stock's value is not a pair of numbers",
        "give `(lower, upper)`, numbers or None",
    ),
    "合约 {} 的下限 {} 无效": Help(
        "a stock's lower bound is outside [0, 1]",
        "use a weight in [0, 1]",
    ),
    "合约 {} 的上限 {} 无效": Help(
        "a stock's upper bound is outside [0, 1]",
        "use a weight in [0, 1]",
    ),
    "合约 {} 的上限 {} 小于下限 {}": Help(
        "upper below lower (upper printed first)",
        "swap or fix them",
    ),
    "下限之和大于1": Help(
        "the lower bounds add up to more than 1",
        "lower them: the weights sum to 1",
    ),
    "上限之和小于1": Help(
        "the upper bounds add up to less than 1 (e.g. 5% caps on fewer than 20 stocks)",
        "raise the caps or widen the universe",
    ),
    "约束的上限或下限非法: {}": Help(
        "`ensure_bound` got a text that is not a number",
        "pass a number",
    ),
    "{}: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象": Help(
        "the named argument cannot become a Series",
        "pass a Series or a dict by id",
    ),
    "risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：{}": Help(
        "negative risk aversion",
        "use 0 or more",
    ),
    "传入股票池中的股票有部分在 indicator_series 中找不到值": Help(
        "some stock of the universe has no indicator value",
        "give every stock a value (fill with a neutral one)",
    ),
    "目标风格值 {} 非法，请从 {} 中选取": Help(
        "an unknown style name in the targets",
        "use a name of `STYLE_FACTORS`",
    ),
    "在使用相对风格偏移时，必须指定 benchmark 参数": Help(
        "relative style targets without a benchmark",
        "add `benchmark=` or set `relative=False`",
    ),
    "约束的上限或下限非法: {} = {}": Help(
        "the named bound (label = value) is not a number (a `'+5%'` text without `relative=True`, say)",
        "pass a number, or set `relative=True`",
    ),
    "约束的上下界格式不正确: {}": Help(
        "a relative text is not of the `'+5%'`/`'-5%'` form",
        "write the sign and the `%`",
    ),
    "约束指定的上限或下限 {} 非法": Help(
        "a relative bound is neither a number nor a text",
        "pass a number or `'+5%'`",
    ),
    "跟踪误差上限小于0：{}": Help(
        "tracking-error limit missing, 0 or negative",
        "give a positive annual tracking error",
    ),
    "在 TurnoverLimit 约束中，current_holding 参数不能为 None": Help(
        "no current holding",
        "pass the current weights (an empty Series for none)",
    ),
    "换手率上限小于0：{}": Help(
        "turnover limit missing, 0 or negative",
        "give a positive one-way turnover",
    ),
    "在 BenchmarkComponentWeightLimit 中，lower_limit 应该在 [0, 1) 范围内": Help(
        "limit outside [0, 1)",
        "use a weight below 1",
    ),
    "IndustryConstraint: upper_limit及lower_limit 最少应该指定一个": Help(
        "neither limit given",
        "give at least one",
    ),
    "WildcardIndustryConstraint: upper_limit及lower_limit 最少应该指定一个": Help(
        "neither limit given",
        "give at least one",
    ),
    "StyleConstraint: upper_limit及lower_limit 最少应该指定一个": Help(
        "neither limit given (also from `wildcard_style_constraint`)",
        "give at least one",
    ),
    "约束中指定的风格 {} 非法，应该从 {} 选取": Help(
        "unknown style name",
        "use a name of `STYLE_FACTORS`",
    ),
    "IndustryComponentLimit: upper_limit及lower_limit 最少应该指定一个": Help(
        "neither limit given",
        "give at least one",
    ),
    "IndexComponentLimit: upper_limit及lower_limit 最少应该指定一个": Help(
        "neither limit given",
        "give at least one",
    ),
    "StockPoolLimit: upper_limit及lower_limit 最少应该指定一个": Help(
        "neither limit given",
        "give at least one",
    ),
    "StockPoolLimit: stock_list 应该是股票代码的列表或集合: {}": Help(
        "`stock_list` is not a list or set of ids (a single string, None)",
        "pass a list",
    ),
    "候选股票池中没有 {} 行业": Help(
        "`IndustryComponentLimit` names an industry with no stock in the universe",
        "check the name (`tarnwick.get_industry_names()`) or the universe",
    ),
    "在 TransactionVolumeLimit 约束中，current_holding 和 cash 至少需要一个": Help(
        "neither a holding nor cash",
        "give the holding in shares, or the cash",
    ),
    "在 TransactionMarketValueLimit 约束中，current_holding 和 cash 至少需要一个": Help(
        "neither a holding nor cash",
        "give the holding in shares, or the cash",
    ),
    "在 TransactionVolumeLimit 约束中，upper_limit 不能为 None": Help(
        "no limit given",
        "give `upper_limit=`",
    ),
    "在 TransactionMarketValueLimit 约束中，upper_limit 不能为 None": Help(
        "no limit given",
        "give `upper_limit=`",
    ),
    "无效的 benchmark: {}": Help(
        "the data client does not know the code",
        'check the code (`tarnwick.all_instruments("INDX")`)',
    ),
    "仅支持指数类型的 benchmark, 传入的 benchmark 是 {} 类型": Help(
        "the code is a stock or fund, not an index",
        "use an index, or your own benchmark",
    ),
}

#: The warnings of the C++ modules (OptimizerWarning, and the duplicate-id UserWarning).
WARNINGS: dict[str, Help] = {
    "{} 不是股票，被剔除": Help(
        "an index or fund in the universe was dropped",
        "nothing, or clean the universe",
    ),
    "{} 在 {} 尚未上市，被剔除": Help(
        "the stock lists after the day",
        "nothing",
    ),
    "{} 在 {} 当天上市，被剔除": Help(
        "the stock lists on the day itself (no price history)",
        "nothing",
    ),
    "{} 在 {} 时已退市，被剔除": Help(
        "the stock is delisted on or before the day",
        "nothing",
    ),
    "重复的 order_book_id: {}, 仅保留一个": Help(
        "the id appears twice",
        "nothing, or de-duplicate",
    ),
    "约束无法满足，放弃所有软约束重试": Help(
        'infeasible with all constraints; solving again without the soft ones (`attrs["morvane"]["dropped"]` lists them)',
        "relax the soft constraints that conflict if you need them",
    ),
    "the answer of {} failed the constraint check ({}); solved again with CLARABEL": Help(
        "the solver you named returned an answer that breaks a constraint (named, with the amount); Clarabel's answer is returned instead",
        "nothing; or tighten that solver's tolerance, or use Clarabel",
    ),
    "达到最大迭代次数，但仍未达到所需精度，可能会导致某些约束不能满足": Help(
        "the solver hit its iteration limit short of full accuracy; the weights are returned but constraints may be slightly violated",
        'raise `max_iters`, or use `solver="CLARABEL"`',
    ),
    "MeanVariance: expected_returns 全部为 0，退化为 MinVariance": Help(
        "every expected return is 0: minimising variance instead",
        "check your forecasts",
    ),
    "ActiveMeanVariance: active_expected_returns 全部为 0，退化为 MinVariance": Help(
        "every expected active return is 0: minimising active variance instead",
        "check your forecasts",
    ),
    "当目标函数为 MaxInformationRatio 或 MaxSharpeRatio 时，不支持 TrackingErrorLimit 类型的约束；此约束被忽略": Help(
        "the tracking-error limit is ignored (ratio objective or RiskParity)",
        "see [Semantics](#semantics-the-rules-that-surprise)",
    ),
    "候选股票池中没有 {} 行业，相应约束忽略": Help(
        "no stock of the universe in that industry: its bound is ignored",
        "check the industry name, or ignore",
    ),
    "所选的风险模型中没有 {} 风格，相应约束忽略": Help(
        "the risk model has no such style: its bound is ignored",
        "use a style of the model",
    ),
    "在 TransactionVolumeLimit 约束中，以下股票不在目标股票池中，这些股票将不受约束: {}": Help(
        "held stocks outside the universe: counted in the portfolio's value, not limited",
        "add them to the universe to limit them",
    ),
    "在 TransactionMarketValueLimit 约束中，以下股票不在目标股票池中，这些股票将不受约束: {}": Help(
        "held stocks outside the universe: counted in the portfolio's value, not limited",
        "add them to the universe to limit them",
    ),
}

_LINK = re.compile(r"\[([^\]]*)\]\([^)]*\)")


def note(template: str) -> str | None:
    """The English note of an argument error raised from ``template``, or None for another."""
    found = ARGUMENT_ERRORS.get(template)
    if found is None:
        return None
    meaning, fix = (_LINK.sub(r"\1", text) for text in found)
    return f"In English: {meaning}. To fix it: {fix}."
