"""Sources of raw tables: the sample-market generator and files in the exchange layout."""
