"""The store's database file: the raw-table layout, schema, connections and atomic writes."""
