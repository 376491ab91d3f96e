// Limits on the portfolio as a whole: tracking error against the benchmark, one-way turnover
// against the current holding, and the total weight held in benchmark components.
#include <pybind11/pybind11.h>

#include "constraints/constraints.hpp"
#include "core/classbuilder.hpp"
#include "core/errors.hpp"
#include "core/ops.hpp"
#include "core/portfolio.hpp"
#include "core/series.hpp"

namespace morvane::constraints {

namespace {

using namespace pybind11::literals;

constexpr const char* kTrackingErrorDoc = R"(
    追踪误差约束。基准为优化时指定的基准。

    :param upper_limit: 追踪误差上界
    :param hard: 软约束/硬约束
    )";

constexpr const char* kTurnoverDoc = R"(
    换手率约束

    :param current_holding: 当前持仓
    :param upper_limit: 换手率上界
    :param hard: 软约束/硬约束
    )";

constexpr const char* kBenchmarkComponentDoc = R"(
    基准成分股权重限制。基准为优化时指定的基准。

    :param lower_limit: 基准成分股权重之和下界
    :param hard: 软约束/硬约束
    )";

// None, or not above zero: the limits of this file must be strictly positive.
bool missing_or_not_positive(const py::object& bound) {
  return bound.is_none() || compare(bound, py::int_(0), Py_LE);
}

py::list single(const py::object& constraint) {
  py::list result;
  result.append(constraint);
  return result;
}

// ---- TrackingErrorLimit ----

void tracking_error_init(const py::object& self, const py::object& upper_limit,
                         const py::object& hard) {
  py::object upper = ensure_bound(upper_limit, py::str("TrackingErrorLimit:upper_limit"));
  if (missing_or_not_positive(upper)) core::invalid_argument(mod(), "跟踪误差上限小于0：{}", upper);
  core::set_attr(self, "upper", to_float(upper));
  core::set_attr(self, "_hard", hard);
}

// The active variance over the union of universe and benchmark components is bounded by the
// square of the limit; the limit is in the units of the square root of the helper's covariance
// (annualised). Under a variable or integer scale the bound is not expressible and is skipped.
py::object tracking_error_to_constraints(const py::object& self, const py::object& g,
                                         const py::object& zeta, const py::object& helper) {
  if (!PyFloat_Check(zeta.ptr())) {
    core::warn(mod().get("OptimizerWarning"),
               py::str("当目标函数为 MaxInformationRatio 或 MaxSharpeRatio 时，不支持 "
                       "TrackingErrorLimit 类型的约束；此约束被忽略"));
    return py::list();
  }
  py::object risk = core::active_risk(mod(), g, zeta, helper);
  py::object limit = core::power(zeta * py::object(self.attr("upper")), py::int_(2));
  return single(core::le(risk, limit));
}

// ---- TurnoverLimit ----

void turnover_init(const py::object& self, const py::object& current_holding,
                   const py::object& upper_limit, const py::object& hard) {
  if (current_holding.is_none()) {
    core::invalid_argument(mod(), "在 TurnoverLimit 约束中，current_holding 参数不能为 None");
  }
  core::set_attr(self, "_current_holding",
                 core::ensure_series(mod(), current_holding, py::str("current_holding")));
  py::object upper = ensure_bound(upper_limit, py::str("TrunoverLimit:upper_limit"));
  if (missing_or_not_positive(upper)) core::invalid_argument(mod(), "换手率上限小于0：{}", upper);
  core::set_attr(self, "upper", upper);
  core::set_attr(self, "_hard", hard);
}

// The sum of absolute weight changes is at most twice the one-way limit. Held stocks outside the
// universe are sold completely, so their whole current weight counts as traded.
py::object turnover_to_constraints(const py::object& self, const py::object& g,
                                   const py::object& zeta, const py::object& helper) {
  py::object holding = self.attr("_current_holding");
  py::object universe = helper.attr("order_book_ids");
  py::list not_in_pool = outside(holding.attr("index"), universe);
  py::object current =
      holding.attr("reindex")(universe + not_in_pool, "fill_value"_a = 0.0).attr("values");
  py::object traded =
      not_in_pool.empty() ? g : core::pad_with_zeros(mod(), g, py::len(not_in_pool));
  py::object turnover = traded - zeta * current;
  py::object limit = py::int_(2) * zeta * py::object(self.attr("upper"));
  return single(core::le(mod().get("cp").attr("norm1")(turnover), limit));
}

// ---- BenchmarkComponentWeightLimit ----

void benchmark_component_init(const py::object& self, const py::object& lower_limit,
                              const py::object& hard) {
  py::object lower =
      ensure_bound(lower_limit, py::str("BenchmarkComponentWeightLimit:lower_limit"));
  if (lower.is_none() || compare(lower, py::int_(0), Py_LT) || compare(lower, py::int_(1), Py_GE)) {
    core::invalid_argument(mod(),
                           "在 BenchmarkComponentWeightLimit 中，lower_limit 应该在 [0, 1) 范围内");
  }
  core::set_attr(self, "lower", lower);
  core::set_attr(self, "_hard", hard);
}

// The universe's benchmark components together weigh at least `lower`; returned even for 0.
py::object benchmark_component_to_constraints(const py::object& self, const py::object& g,
                                              const py::object& zeta, const py::object& helper) {
  py::set components(helper.attr("benchmark_components"));
  py::list selector;
  for (py::handle id : helper.attr("order_book_ids"))
    selector.append(py::bool_(components.contains(id)));
  py::object selected = core::matmul(g, mod().get("np").attr("array")(selector));
  return single(core::ge(selected, py::object(self.attr("lower")) * zeta));
}

}  // namespace

void define_limits(const core::Module& /*self*/, const py::object& base) {
  core::ClassBuilder tracking_error =
      constraint_class("TrackingErrorLimit", base, kTrackingErrorDoc);
  tracking_error.init(&tracking_error_init, py::arg("upper_limit"), py::kw_only(),
                      py::arg("hard") = true);
  finish_constraint(tracking_error, &tracking_error_to_constraints);

  core::ClassBuilder turnover = constraint_class("TurnoverLimit", base, kTurnoverDoc);
  turnover.init(&turnover_init, py::arg("current_holding"), py::arg("upper_limit"), py::kw_only(),
                py::arg("hard") = true);
  finish_constraint(turnover, &turnover_to_constraints);

  core::ClassBuilder component =
      constraint_class("BenchmarkComponentWeightLimit", base, kBenchmarkComponentDoc);
  component.init(&benchmark_component_init, py::arg("lower_limit"), py::kw_only(),
                 py::arg("hard") = true);
  finish_constraint(component, &benchmark_component_to_constraints);
}

}  // namespace morvane::constraints
