// morvane.objective: the objectives a caller hands to the optimiser. Each turns the decision
// variables into the expression to minimise, lists its own constraints and names its solver.
#include "objective/objective.hpp"

#include "core/describe.hpp"
#include "core/errors.hpp"
#include "core/function.hpp"
#include "core/ops.hpp"
#include "core/returns.hpp"
#include "core/series.hpp"

namespace morvane::objective {

namespace {

py::object ensure_series(const py::object& obj, const py::object& name) {
  return core::ensure_series(mod(), obj, name);
}

}  // namespace

void assert_unit_zeta(const py::handle& zeta) {
  if (!core::assertions_enabled()) return;
  if (!truth(core::eq(zeta, py::float_(1.0)))) core::raise_bare(PyExc_AssertionError);
}

core::ClassBuilder objective_class(const char* name, const py::object& base, const char* doc) {
  return core::ClassBuilder(mod(), name, mod().get("ABCMeta"), py::make_tuple(base), doc);
}

py::list no_internal_constraints(const py::object& /*self*/, const py::object& /*g*/,
                                 const py::object& /*zeta*/, const py::object& /*helper*/) {
  return py::list();
}

py::object preferred_solver(const py::object& /*self*/) { return mod().get("cp").attr("SCS"); }

py::object estimate_annual_returns(const py::object& instruments, const py::object& window,
                                   const py::object& helper) {
  py::object tarnwick = mod().get("tarnwick");
  py::object end_date = helper.attr("prev_trading_date");
  py::object start_date = tarnwick.attr("trading_date_offset")(end_date, -window);
  return core::mean_daily_returns(tarnwick, instruments, start_date,
                                  helper.attr("prev_trading_date")) *
         py::int_(252);
}

py::object estimate_active_returns(const py::object& instruments, const py::object& window,
                                   const py::object& helper) {
  py::object history_returns = estimate_annual_returns(instruments, window, helper);
  py::object benchmark_returns =
      helper.attr("benchmark").attr("get_expected_returns")(helper.attr("date"), window);
  // `history_returns -= benchmark_returns`: a Series is updated in place.
  return core::steal_or_throw(
      PyNumber_InPlaceSubtract(history_returns.ptr(), benchmark_returns.ptr()));
}

py::object values_for(const py::object& series, const py::object& ids) {
  return series.attr("reindex")(ids, py::arg("fill_value") = 0.0)
      .attr("fillna")(0.0)
      .attr("values");
}

}  // namespace morvane::objective

namespace py = pybind11;
namespace objective = morvane::objective;

PYBIND11_MODULE(objective, m) {
  namespace core = morvane::core;
  const core::Module& self = core::register_module(m);
  self.import_from("abc", "ABCMeta");
  self.import_as("warnings", "warnings");
  self.import_as("cvxpy", "cp");
  self.import_as("numpy", "np");
  self.import_as("pandas", "pd");
  self.import_as("tarnwick", "tarnwick");
  self.import_from("morvane.exception", "InvalidArgument");
  self.import_from("morvane.exception", "OptimizerWarning");
  self.import_from("morvane.const", "STYLE_FACTORS");

  core::def(self, "ensure_series", &objective::ensure_series, py::arg("obj"), py::arg("name"));

  py::object base =
      core::ClassBuilder(self, "OptimizationObjective", self.get("ABCMeta"), py::tuple())
          .method("get_objective_expr",
                  &core::not_implemented<py::object, py::object, py::object, py::object>,
                  py::arg("g"), py::arg("zeta"), py::arg("helper"))
          .method("get_internal_constraints",
                  &core::not_implemented<py::object, py::object, py::object, py::object>,
                  py::arg("g"), py::arg("zeta"), py::arg("helper"))
          .method("get_preferred_solver", &core::not_implemented<py::object>)
          .method("__repr__", &core::readable_repr)
          .finish();

  objective::define_min_variance(base);
  objective::define_min_active_variance(base);
  objective::define_mean_variance(base);
  objective::define_active_mean_variance(base);
  objective::define_risk_parity(base);
  objective::define_min_tracking_error(base);
  objective::define_max_information_ratio(base);
  objective::define_max_sharpe_ratio(base);
  objective::define_max_indicator(base);
  objective::define_min_style_deviation(base);
  objective::define_with_transaction_cost(base);
}
