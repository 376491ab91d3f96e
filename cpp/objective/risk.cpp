// The objectives that only minimise a risk measure: variance, active variance, risk parity.
#include "core/portfolio.hpp"
#include "objective/objective.hpp"

namespace morvane::objective {

namespace {

py::object variance_expr(const py::object& /*self*/, const py::object& g, const py::object& zeta,
                         const py::object& helper) {
  assert_unit_zeta(zeta);
  return core::portfolio_risk(mod(), g, helper);
}

// Variance of the portfolio minus the benchmark, over the union of universe and benchmark.
py::object active_variance_expr(const py::object& /*self*/, const py::object& g,
                                const py::object& zeta, const py::object& helper) {
  assert_unit_zeta(zeta);
  return core::active_risk(mod(), g, zeta, helper);
}

// g' S g - sum(log g): at its minimum every instrument carries the same share of the risk.
py::object risk_parity_expr(const py::object& /*self*/, const py::object& g,
                            const py::object& /*zeta*/, const py::object& helper) {
  py::object cp = mod().get("cp");
  py::object risk = core::portfolio_risk(mod(), g, helper);
  return risk - cp.attr("sum")(cp.attr("log")(g));
}

template <typename Expr>
void define_risk_objective(const char* name, const py::object& base, const char* doc, Expr expr) {
  core::ClassBuilder cls = objective_class(name, base, doc);
  finish_objective(cls, expr);
}

}  // namespace

void define_min_variance(const py::object& base) {
  define_risk_objective("MinVariance", base, "风险最小化", &variance_expr);
}

void define_min_active_variance(const py::object& base) {
  define_risk_objective("MinActiveVariance", base, "主动风险最小化", &active_variance_expr);
}

void define_risk_parity(const py::object& base) {
  define_risk_objective("RiskParity", base, "风险平价", &risk_parity_expr);
}

void define_min_tracking_error(const py::object& base) {
  define_risk_objective("MinTrackingError", base, "最小追踪误差", &active_variance_expr);
}

}  // namespace morvane::objective
