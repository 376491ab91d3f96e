// Mean daily returns from the data client.
#pragma once

#include <pybind11/pybind11.h>

namespace morvane::core {

namespace py = pybind11;

// Per instrument, the mean of its daily returns over [start, end] (a Series indexed by the known
// instruments): `client.get_mean_price_change_rate(...)` when the client offers it, so the store
// takes the mean without building the dates-by-instruments frame; else the column means of
// `client.get_price_change_rate(...)`. Both give the same numbers.
inline py::object mean_daily_returns(const py::object& client, const py::object& instruments,
                                     const py::object& start, const py::object& end) {
  py::object mean = py::getattr(client, "get_mean_price_change_rate", py::none());
  if (!mean.is_none()) return mean(instruments, start, end);
  return client.attr("get_price_change_rate")(instruments, start, end).attr("mean")();
}

}  // namespace morvane::core
