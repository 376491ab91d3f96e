// The result of a call: the weights g / sum(g) as a pandas Series indexed by the sorted universe,
// carrying the solve information in `attrs["morvane"]`.
#include "core/errors.hpp"
#include "optimize/duals.hpp"
#include "optimize/plan.hpp"
#include "optimize/stages.hpp"

namespace morvane::optimize {

namespace {

py::dict solve_information(const py::object& solver, const py::object& status, double solve_time,
                           const py::object& objective_value, const DualInformation& duals,
                           const py::object& dropped, bool refined) {
  py::dict info;
  info["solver"] = solver;
  info["status"] = status;
  info["solve_time"] = solve_time;
  info["objective_value"] = objective_value;
  info["binding"] = duals.binding;
  info["dropped"] = dropped;
  info["refined"] = refined;
  info["shadow_prices"] = duals.shadow_prices;
  return info;
}

}  // namespace

py::object single_stock_result(const Universe& universe) {
  py::object only = universe.order_book_ids[py::int_(0)];
  py::dict single;
  single[only] = 1.0;
  py::object series = mod().get("pd").attr("Series")(single);
  series.attr("attrs")["morvane"] = solve_information(
      py::none(), mod().get("cp").attr("OPTIMAL"), 0.0, py::none(), DualInformation(), py::list(),
      false);
  return series;
}

py::object result(const Inputs& inputs, const Model& model, const Solution& solution) {
  const py::object& zeta = model.variables.zeta;
  py::object g_value = model.variables.g.attr("value");
  py::object zeta_value =
      py::isinstance(zeta, mod().get("cp").attr("Variable")) ? zeta.attr("value") : zeta;
  mod().get("logging").attr("debug")("g.value.sum() = %f, zeta = %f", g_value.attr("sum")(),
                                     zeta_value);
  if (status_is(model.problem.attr("status"), "OPTIMAL_INACCURATE")) {
    core::warn(mod().get("OptimizerWarning"),
               py::str("达到最大迭代次数，但仍未达到所需精度，可能会导致某些约束不能满足"));
  }
  py::object weight = g_value / g_value.attr("sum")();
  py::object series =
      mod().get("pd").attr("Series")(weight, py::arg("index") = inputs.universe.order_book_ids);
  series.attr("attrs")["morvane"] = solve_information(
      py::str(solution.accepted.solver), model.problem.attr("status"), solution.solve_time,
      model.problem.attr("value"),
      dual_information(solution.accepted.verdict, model.units, zeta, model.problem.attr("value")),
      solution.dropped, solution.refined);
  return series;
}

}  // namespace morvane::optimize
