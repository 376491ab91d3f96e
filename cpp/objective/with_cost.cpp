// WithTransactionCost: any objective plus the transaction cost of the trade its weights ask for.
// Everything but the expression is the wrapped objective's own; the expression gains
// `weight * model.get_penalty(g, helper)`.
#include <cmath>

#include "core/errors.hpp"
#include "core/ops.hpp"
#include "objective/objective.hpp"

namespace morvane::objective {

namespace {

constexpr const char* kWithTransactionCostDoc = R"(
    An objective plus the transaction cost of trading to its weights.

    :param objective: the objective whose expression, internal constraints and solver are used
    :param model: an object with get_penalty(g, helper) returning a convex cvxpy expression,
        such as morvane.costs.TransactionCostModel
    :param weight: the multiple of the penalty added to the objective's expression
    )";

// Objectives whose weights are scaled by a variable or by the stock count: a cost of g is no
// cost of the weights there, and the driver builds their problems by their class.
const char* refusal(const py::object& objective) {
  for (const char* name : {"MaxSharpeRatio", "MaxInformationRatio"}) {
    if (py::isinstance(objective, mod().get(name))) {
      return "WithTransactionCost cannot wrap {}: it solves for g = zeta * w with a variable "
             "zeta, where a cost of the weights is no term that can be added to its expression; "
             "trade return against cost with MeanVariance or ActiveMeanVariance instead";
    }
  }
  if (py::isinstance(objective, mod().get("RiskParity"))) {
    return "WithTransactionCost cannot wrap {}: risk parity solves for g = n * w and is "
           "normalised afterwards, so a cost term would price no real trade and break the "
           "equal risk contributions";
  }
  return nullptr;
}

py::object finite_non_negative(const py::object& weight) {
  const bool number = PyNumber_Check(weight.ptr()) && !PyBool_Check(weight.ptr());
  PyObject* converted = number ? PyNumber_Float(weight.ptr()) : nullptr;
  if (converted == nullptr) {
    PyErr_Clear();
  } else {
    py::float_ value = py::reinterpret_steal<py::float_>(converted);
    const double x = value.cast<double>();
    if (std::isfinite(x) && x >= 0.0) return std::move(value);
  }
  core::invalid_argument(
      mod(), "WithTransactionCost: weight must be a finite number >= 0, got {!r}", weight);
}

void with_cost_init(const py::object& self, const py::object& objective, const py::object& model,
                    const py::object& weight) {
  if (!py::isinstance(objective, mod().get("OptimizationObjective"))) {
    core::invalid_argument(mod(),
                           "WithTransactionCost: objective must be an OptimizationObjective, "
                           "got {!r}",
                           objective);
  }
  if (const char* message = refusal(objective)) {
    core::invalid_argument(mod(), message, objective.attr("__class__").attr("__name__"));
  }
  py::object penalty = py::getattr(model, "get_penalty", py::none());
  if (penalty.is_none() || !PyCallable_Check(penalty.ptr())) {
    core::invalid_argument(mod(),
                           "WithTransactionCost: model needs a get_penalty(g, helper) method, "
                           "got {!r}",
                           model);
  }
  core::set_attr(self, "_objective", objective);
  core::set_attr(self, "_model", model);
  core::set_attr(self, "_weight", finite_non_negative(weight));
}

// The wrapped objectives that measure against a benchmark; the driver checks a benchmark was
// given only for these classes themselves.
bool needs_benchmark(const py::object& objective) {
  for (const char* name :
       {"MinTrackingError", "ActiveMeanVariance", "MaxInformationRatio", "MinActiveVariance"}) {
    if (py::isinstance(objective, mod().get(name))) return true;
  }
  return false;
}

py::object with_cost_expr(const py::object& self, const py::object& g, const py::object& zeta,
                          const py::object& helper) {
  if (!PyFloat_Check(zeta.ptr()) || zeta.cast<double>() != 1.0) {
    core::invalid_argument(mod(),
                           "WithTransactionCost prices the weights g themselves and needs "
                           "zeta = 1.0, got zeta = {!r}",
                           zeta);
  }
  py::object objective = self.attr("_objective");
  if (needs_benchmark(objective) && helper.attr("benchmark").is_none()) {
    core::invalid_argument(mod(), "WithTransactionCost({}) needs a benchmark: pass one to the call",
                           objective.attr("__class__").attr("__name__"));
  }
  py::object expr = objective.attr("get_objective_expr")(g, zeta, helper);
  py::object penalty = self.attr("_model").attr("get_penalty")(g, helper);
  return expr + py::object(self.attr("_weight")) * penalty;
}

py::object with_cost_constraints(const py::object& self, const py::object& g,
                                 const py::object& zeta, const py::object& helper) {
  return self.attr("_objective").attr("get_internal_constraints")(g, zeta, helper);
}

py::object with_cost_solver(const py::object& self) {
  return self.attr("_objective").attr("get_preferred_solver")();
}

py::object read_objective(const py::object& self) { return self.attr("_objective"); }
py::object read_model(const py::object& self) { return self.attr("_model"); }
py::object read_weight(const py::object& self) { return self.attr("_weight"); }

}  // namespace

void define_with_transaction_cost(const py::object& base) {
  core::ClassBuilder cls = objective_class("WithTransactionCost", base, kWithTransactionCostDoc);
  cls.init(&with_cost_init, py::arg("objective"), py::arg("model"), py::arg("weight") = 1.0)
      .property("objective", &read_objective, "The wrapped objective.")
      .property("model", &read_model, "The transaction cost model.")
      .property("weight", &read_weight, "The multiple of the penalty.")
      .method("get_objective_expr", &with_cost_expr, py::arg("g"), py::arg("zeta"),
              py::arg("helper"))
      .method("get_internal_constraints", &with_cost_constraints, py::arg("g"), py::arg("zeta"),
              py::arg("helper"))
      .method("get_preferred_solver", &with_cost_solver)
      .finish();
}

}  // namespace morvane::objective
