"""Portfolio analysis: risk, its decomposition, exposures and industry weights of a portfolio,
as pandas tables, a terminal summary and a self-contained HTML page.

>>> report = analyse(weights, "2025-06-03", benchmark="000300.XSHG")
>>> print(report)
>>> report.to_html("portfolio.html")
>>> attribution = attribute(weights, "2025-06-03", "2025-06-30", benchmark="000300.XSHG")
"""

from morvane.report.analyse import analyse
from morvane.report.attribution import attribute
from morvane.report.attribution_result import Attribution
from morvane.report.inputs import read_weights
from morvane.report.portfolio import PortfolioReport

__all__ = ["Attribution", "PortfolioReport", "analyse", "attribute", "read_weights"]
