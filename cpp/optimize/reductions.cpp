// The driver's two reductions: homogenisation (the scale zeta) and the shared factor exposures.
#include "optimize/reductions.hpp"

#include "core/exposures.hpp"
#include "core/ops.hpp"
#include "optimize/optimize.hpp"

namespace morvane::optimize {

py::list Homogenisation::apply(Variables& variables, const py::object& /*helper*/) {
  py::object cp = mod().get("cp");
  const bool ratio = py::isinstance(objective_, mod().get("MaxInformationRatio")) ||
                     py::isinstance(objective_, mod().get("MaxSharpeRatio"));
  if (ratio) {
    variables.zeta = cp.attr("Variable")(py::arg("nonneg") = true);
  } else if (py::isinstance(objective_, mod().get("RiskParity"))) {
    variables.zeta = py::int_(n_);
  } else {
    variables.zeta = py::float_(1.0);
  }
  py::list budget;
  budget.append(core::eq(cp.attr("sum")(variables.g) - variables.zeta, py::int_(0)));
  return budget;
}

// The answer is checked as it is returned: the weights g / sum(g), times the scale. A solver's
// residual on the budget sum(g) == zeta is no fault of what the caller gets, and every other
// constraint is measured at the weights the caller gets. A variable scale (the homogenised ratio
// objectives) takes the value sum(g), which leaves their normalisation of g as solved; a fixed
// one rescales g. cvxpy's own `save_value` stores the values, as after a solve (the `value`
// setter would refuse the solver's round-off below zero).
void Homogenisation::invert(const Variables& variables, const py::object& /*helper*/) const {
  const py::object& g = variables.g;
  const py::object& zeta = variables.zeta;
  py::object value = g.attr("value");
  if (value.is_none()) return;
  const double total = value.attr("sum")().cast<double>();
  if (!(total > 0.0)) return;
  if (py::isinstance(zeta, mod().get("cp").attr("Variable"))) {
    if (!zeta.attr("value").is_none()) zeta.attr("save_value")(py::float_(total));
    return;
  }
  const double target = zeta.cast<double>();
  if (target > 0.0) g.attr("save_value")(value * py::float_(target / total));
}

py::list SharedExposures::apply(Variables& variables, const py::object& helper) {
  core::share_exposures(variables.g, helper);
  return py::list();
}

py::list SharedExposures::close(const Variables& variables, const py::object& helper) const {
  return core::exposure_definitions(variables.g, helper);
}

void SharedExposures::invert(const Variables& variables, const py::object& helper) const {
  core::settle_exposures(variables.g, helper);
}

}  // namespace morvane::optimize
