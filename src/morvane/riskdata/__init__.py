"""The risk-model data of one optimisation, in pieces that ``morvane.helper.OptimizeHelper``
puts together.

* ``cache``: the bounded cache of values read from the store, keyed by the store file in use;
* ``psd``: a factor covariance made positive semidefinite, with its root;
* ``calendar``: the date's place in the store's calendar and its previous trading day;
* ``benchmark``: a benchmark's weights on the date, read through its ``get_weight``;
* ``industries``: industry names of stocks, from the store or from a caller's mapping;
* ``factormodel``: the factor model over the universe and the benchmark's other components
  (exposures, factor covariance, specific variances, factor kinds, styles, industries), built by
  one loader.
"""
