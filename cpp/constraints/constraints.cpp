// morvane.constraints: the constraints a caller puts in the `cons` list of the optimiser. Each
// validates its parameters when built and, per optimisation, turns them and the market data into
// cvxpy constraints, kept in every solve (hard) or dropped when the problem is infeasible (soft).
//
// This file binds the module's imports and calls the definition function of each constraint
// family in the order the module defines its objects.
#include "constraints/constraints.hpp"

#include <pybind11/pybind11.h>

#include "core/module.hpp"

namespace py = pybind11;

PYBIND11_MODULE(constraints, m) {
  namespace core = morvane::core;
  namespace constraints = morvane::constraints;
  const core::Module& self = core::register_module(m);
  self.import_from("abc", "ABCMeta");
  self.import_as("warnings", "warnings");
  self.import_as("numbers", "numbers");
  self.import_as("cvxpy", "cp");
  self.import_as("numpy", "np");
  self.import_as("pandas", "pd");
  self.import_as("tarnwick", "tarnwick");
  self.import_from("morvane.exception", "InvalidArgument");
  self.import_from("morvane.exception", "OptimizerWarning");
  self.import_from("morvane.const", "IndustryClassification");
  self.import_from("morvane.const", "STYLE_FACTORS");

  py::object base = constraints::define_base(self);
  constraints::define_limits(self, base);
  constraints::define_industry(self, base);
  constraints::define_style(self, base);
  constraints::define_components(self, base);
  constraints::define_transactions(self, base);
}
