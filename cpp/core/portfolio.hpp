// The two pieces of portfolio algebra that objectives and constraints share.
#pragma once

#include <pybind11/pybind11.h>

#include "core/module.hpp"

namespace morvane::core {

// The active weights over `helper.union_components`: `g` padded with zeros for the benchmark
// components outside the universe, minus `zeta` times the benchmark weights. Without outside
// components `g` is used directly. Reads `cp` and `np` from `mod`.
py::object active_weight(const Module& mod, const py::handle& g, const py::handle& zeta,
                         const py::handle& helper);

// Which covariance matrix of the helper a risk term uses.
enum class Pool {
  kUniverse,  // helper.get_cov_matrix(), over helper.order_book_ids
  kUnion,     // helper.get_union_cov_matrix(), over helper.union_components
};

// The risk term x' S x of a weight expression `x` (length of the pool) under the helper's
// covariance matrix of `pool`. Every objective and constraint asks for its risk term here, so
// the formulation handed to the solver is decided in one place: a helper that offers
// `get_factor_model(union)` -> (X, F, d) with S = X F X' + diag(d) gets the factor-structured
// form; any other helper the dense `cp.quad_form(x, S)`. Both have the same value.
py::object risk_term(const Module& mod, const py::handle& x, const py::handle& helper, Pool pool);

}  // namespace morvane::core
