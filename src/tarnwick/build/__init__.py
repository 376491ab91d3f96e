"""Building a store from raw tables: validate them, write the store, estimate the risk model."""
