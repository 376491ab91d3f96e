"""Portfolio analysis: risk, its decomposition, exposures and industry weights of a portfolio,
as pandas tables, a terminal summary and a self-contained HTML page.

>>> report = analyse(weights, "2025-06-03", benchmark="000300.XSHG")
>>> print(report)
>>> report.to_html("portfolio.html")
"""

from morvane.report.analyse import analyse
from morvane.report.inputs import read_weights
from morvane.report.portfolio import PortfolioReport

__all__ = ["PortfolioReport", "analyse", "read_weights"]
