// The portfolio's factor exposures as one shared vector per optimisation.
//
// With a factor risk model S = X F X' + diag(d), every risk term and every style or industry
// bound of a call measures the same k numbers: the exposures X' g of the weights. Written out in
// each term, X' enters the problem once per use (twice for an objective plus a tracking-error
// limit, once more as a dense row per style bound), and those dense rows dominate the solver's
// factorisation. Instead the driver opens a registry for the call's weight variable `g`; the first
// term that needs the exposures creates one auxiliary variable y with the definition y == X' g,
// and every later term refers to y (the active exposures against the benchmark are the affine
// y - zeta X_union' b). The definitions are collected by the driver and kept among the hard
// constraints, so dropping soft constraints never drops what a kept term uses.
//
// Without an open registry (a helper without `get_factor_model`, a term built outside
// `portfolio_optimize`), or when the helper's pieces do not line up, every term stays
// self-contained exactly as before.
#pragma once

#include <pybind11/pybind11.h>

#include "core/module.hpp"

namespace morvane::core {

// Opens the registry of the call for `g` (kept on the call's helper) when `helper` offers
// `get_factor_model`; otherwise does nothing. Called by the driver once, right after it creates
// `g`.
void share_exposures(const py::handle& g, const py::handle& helper);

// The definitions (y == X' g) of the shared vectors the call's terms used, as a new list. The
// driver adds them to the hard constraints. Empty when no registry is open or nothing used it.
py::list exposure_definitions(const py::handle& g, const py::handle& helper);

// Sets the shared vector's value to exactly X' g.value after a solve, so that a check of the
// solution measures every term at the portfolio's true exposures: a solver's slack in the
// definition would otherwise add to the slack of each bound written on y.
void settle_exposures(const py::handle& g, const py::handle& helper);

// `g @ vector` (a per-stock vector over the universe): the shared entry y[j] when `vector` is
// exactly column j of the factor exposures, else its own row as written. Reads `np` from `mod`.
py::object exposure(const Module& mod, const py::handle& g, const py::handle& helper,
                    const py::handle& vector);

// The shared-variable forms of the two risk terms, or None when no registry serves `helper`.
// g' S g over the universe:
py::object shared_portfolio_risk(const Module& mod, const py::handle& g, const py::handle& helper);
// a' S_union a with a the active weights (`active` as built by `active_weight`):
py::object shared_active_risk(const Module& mod, const py::handle& g, const py::handle& zeta,
                              const py::handle& active, const py::handle& helper);

}  // namespace morvane::core
