"""morvane: portfolio optimisation over a factor risk model.

The optimiser lives in the extension modules ``morvane.optimize``, ``morvane.objective``,
``morvane.constraints`` and ``morvane.benchmark``; import them directly.
"""

__version__ = "0.1.0"
