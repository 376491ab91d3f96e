// The pieces of portfolio algebra that objectives and constraints share.
#pragma once

#include <pybind11/pybind11.h>

#include "core/module.hpp"

namespace morvane::core {

// The active weights over `helper.union_components`: `g` padded with zeros for the benchmark
// components outside the universe, minus `zeta` times the benchmark weights. Without outside
// components `g` is used directly. Reads `cp` and `np` from `mod`.
py::object active_weight(const Module& mod, const py::handle& g, const py::handle& zeta,
                         const py::handle& helper);

// `vector` followed by `count` zeros (`cp.hstack`): the portfolio holds nothing of the stocks it
// is padded for. Reads `cp` and `np` from `mod`.
py::object pad_with_zeros(const Module& mod, const py::handle& vector, py::ssize_t count);

// Which covariance matrix of the helper a risk term uses.
enum class Pool {
  kUniverse,  // helper.get_cov_matrix(), over helper.order_book_ids
  kUnion,     // helper.get_union_cov_matrix(), over helper.union_components
};

// The risk term x' S x of a weight expression `x` (length of the pool) under the helper's
// covariance matrix of `pool`, self-contained: a helper that offers `get_factor_model(union)` ->
// (X, F, d) with S = X F X' + diag(d) gets the factor-structured form; any other helper the dense
// `cp.quad_form(x, S)`. Both have the same value.
py::object risk_term(const Module& mod, const py::handle& x, const py::handle& helper, Pool pool);

// The portfolio's risk g' S g over the universe, and the active risk a' S_union a of
// `active_weight(g, zeta)`. Every objective and constraint asks for its risk term here, so the
// formulation handed to the solver is decided in one place: through the call's shared exposures
// when the driver opened them (core/exposures.hpp), else `risk_term`.
py::object portfolio_risk(const Module& mod, const py::handle& g, const py::handle& helper);
py::object active_risk(const Module& mod, const py::handle& g, const py::handle& zeta,
                       const py::handle& helper);

// The variance of the equally weighted portfolio of the pool, a float: from the factor pieces
// when the helper offers them (no dense matrix is built), else from the covariance matrix.
py::object equal_weight_variance(const Module& mod, const py::handle& helper, Pool pool);

// The pieces of a factor model (X, F, d) as float64 arrays (X, F, R, sqrt(d)) with F = R R', or
// None when they are not a positive semidefinite model over `rows` stocks (a negative risk
// aversion, say), so that the dense form and its own checks apply.
py::object factor_pieces(const Module& mod, const py::handle& model, py::ssize_t rows);

}  // namespace morvane::core
