// The constraints that move the optimum, read from the solver's dual values, and each
// constraint's shadow price.
#pragma once

#include <pybind11/pybind11.h>

#include "optimize/units.hpp"

namespace morvane::optimize {

namespace py = pybind11;

// A dual is significant when moving the limit by its own size (or by one weight unit, when the
// limit is smaller) would change the objective by more than this share of its value...
constexpr double kDualSignificance = 1e-4;
// ... and the constraint is within this share of its limit (a dual of a constraint that is far
// from its limit is the solver's round-off).
constexpr double kDualSlackTolerance = 1e-2;

struct DualInformation {
  py::list binding;        // `"bnds"` and the caller's objects that bind at the optimum
  py::list shadow_prices;  // (unit key, shadow price) for every reported unit, in order
};

// `binding`: a unit binds when one of its constraints is active within the check's binding
// tolerance (equalities always), or when its dual value is significant. `shadow_prices`: the
// fall of the objective per unit by which the unit's limits are loosened together, the sum over
// its rows of |dual| times the derivative of the row's limit side with respect to the limit.
// A limit side is the limit times the scale (times a constant, such as the 2 of a one-way
// turnover), or its square for a quadratic row; with one scalar limit L the derivative is
// degree * side / L, else (per-industry or per-style rows) the scale. NaN when the solver gave
// no dual values.
DualInformation dual_information(const Verdict& verdict, const Units& units, const py::object& zeta,
                                 const py::object& objective_value);

}  // namespace morvane::optimize
