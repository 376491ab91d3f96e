// morvane.optimize: the optimiser's entry point and the normalisation of its inputs.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

#include "core/module.hpp"
#include "core/ops.hpp"

namespace morvane::optimize {

namespace py = pybind11;
using core::compare;
using core::truth;

// The module, for reading its globals at call time.
inline const core::Module& mod() { return core::this_module(); }

// Python's `a, b = value` for exactly two items, with the interpreter's TypeError for a value
// that does not unpack and its ValueError for a wrong number of items.
std::pair<py::object, py::object> unpack_pair(const py::handle& value);

// Input normalisation.
py::object to_enum(const py::object& v, const py::object& enum_type);
py::object to_date(const py::object& dt);
py::object ensure_date_str(const py::object& date);
py::object ensure_order_book_ids(const py::object& order_book_ids, const py::object& date);

// Weight bounds.
py::object ensure_bound(const py::object& v);
py::tuple parse_bnds(const py::object& bnds, const py::object& order_book_ids);

extern const char* const kPortfolioOptimizeDoc;

}  // namespace morvane::optimize
