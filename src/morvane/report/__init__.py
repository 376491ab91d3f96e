"""Portfolio analysis: risk, its decomposition, exposures and industry weights of a portfolio,
as pandas tables, a terminal summary and a self-contained HTML page.

>>> report = analyse(weights, "2025-06-03", benchmark="000300.XSHG")
>>> print(report)
>>> report.to_html("portfolio.html")
"""

from morvane.report.analyse import PortfolioReport, analyse, read_weights

__all__ = ["PortfolioReport", "analyse", "read_weights"]
