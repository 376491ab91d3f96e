// morvane.objective: the objectives a caller hands to the optimiser. Each turns the decision
// variables into the expression to minimise, lists its own constraints and names its solver.
#include <pybind11/pybind11.h>

#include "core/classbuilder.hpp"
#include "core/errors.hpp"
#include "core/module.hpp"
#include "core/series.hpp"

namespace py = pybind11;
namespace core = morvane::core;

namespace {

const core::Module* g_mod = nullptr;
const core::Module& mod() { return *g_mod; }

py::object ensure_series(const py::object& obj, const py::object& name) {
  return core::ensure_series(mod(), obj, name);
}

py::object not_implemented(const py::object& /*self*/, const py::object& /*g*/,
                           const py::object& /*zeta*/, const py::object& /*helper*/) {
  core::raise_bare(PyExc_NotImplementedError);
}

py::object no_solver(const py::object& /*self*/) { core::raise_bare(PyExc_NotImplementedError); }

py::object objective_class(const char* name, const py::object& base, const char* doc) {
  return core::ClassBuilder(mod(), name, mod().get("ABCMeta"), py::make_tuple(base), doc)
      .method("get_objective_expr", &not_implemented, py::arg("g"), py::arg("zeta"),
              py::arg("helper"))
      .method("get_internal_constraints", &not_implemented, py::arg("g"), py::arg("zeta"),
              py::arg("helper"))
      .method("get_preferred_solver", &no_solver)
      .finish();
}

}  // namespace

PYBIND11_MODULE(objective, m) {
  const core::Module& self = core::register_module(m);
  g_mod = &self;
  self.import_from("abc", "ABCMeta");
  self.import_as("warnings", "warnings");
  self.import_as("cvxpy", "cp");
  self.import_as("numpy", "np");
  self.import_as("pandas", "pd");
  self.import_as("tarnwick", "tarnwick");
  self.import_from("morvane.exception", "InvalidArgument");
  self.import_from("morvane.exception", "OptimizerWarning");
  self.import_from("morvane.const", "STYLE_FACTORS");

  m.def("ensure_series", &ensure_series, py::arg("obj"), py::arg("name"));
  py::object base =
      core::ClassBuilder(self, "OptimizationObjective", self.get("ABCMeta"), py::tuple())
          .method("get_objective_expr", &not_implemented, py::arg("g"), py::arg("zeta"),
                  py::arg("helper"))
          .method("get_internal_constraints", &not_implemented, py::arg("g"), py::arg("zeta"),
                  py::arg("helper"))
          .method("get_preferred_solver", &no_solver)
          .finish();
  for (const char* name : {"MinVariance", "MinActiveVariance", "MeanVariance", "ActiveMeanVariance",
                           "RiskParity", "MinTrackingError", "MaxInformationRatio",
                           "MaxSharpeRatio", "MaxIndicator", "MinStyleDeviation"}) {
    objective_class(name, base, nullptr);
  }
}
