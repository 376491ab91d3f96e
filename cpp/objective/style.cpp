// Objectives that read neither returns nor covariances: a caller's indicator maximised, and the
// portfolio's style exposures steered towards targets with per-style priorities.
#include "core/errors.hpp"
#include "core/exposures.hpp"
#include "core/ops.hpp"
#include "core/series.hpp"
#include "objective/objective.hpp"

namespace morvane::objective {

namespace {

constexpr const char* kMaxIndicatorDoc = R"(
    指标最大化
    :param indicator_series: 指标序列
    :type indicator_series: pd.Series
    )";

constexpr const char* kMinStyleDeviationDoc = R"(
    风格偏离最小化
    :param target_style: pd.Series, 目标风格
    :param relative: bool, 是否为相对于基准
    :param priority: pd.Series, 优先级，可以为每个风格指定一个0-9的优先级，9为最高优先级，0为最低优先级；未指定的风格默认优先级为5
    )";

// The weight of a style's squared deviation, by priority 0 to 9.
constexpr int kPriorityAdjustFactor[] = {1, 5, 10, 15, 20, 25, 30, 35, 40, 45};
constexpr int kDefaultPriority = 5;
constexpr int kLowestPriority = 0;
constexpr int kHighestPriority = 9;

void max_indicator_init(const py::object& self, const py::object& indicator_series) {
  core::set_attr(self, "_indicator_series",
                 core::ensure_series(mod(), indicator_series, py::str("indicator_series")));
}

// -(g @ v) with the indicator v scaled to a mean absolute value of 10, so that the objective's
// size does not depend on the indicator's unit.
py::object max_indicator_expr(const py::object& self, const py::object& g,
                              const py::object& /*zeta*/, const py::object& helper) {
  py::object set = py::module_::import("builtins").attr("set");
  py::object series = self.attr("_indicator_series");
  py::object pool = set(helper.attr("order_book_ids"));
  py::object index = set(series.attr("index"));
  if (!truth(pool.attr("issubset")(index))) {
    core::invalid_argument(mod(), "传入股票池中的股票有部分在 indicator_series 中找不到值");
  }
  py::object v = series.attr("reindex")(helper.attr("order_book_ids")).attr("values");
  v = v / (mod().get("np").attr("abs")(v).attr("mean")() * py::float_(0.1));
  return -core::matmul(g, v);
}

void min_style_deviation_init(const py::object& self, const py::object& target_style,
                              const py::object& relative, const py::object& priority) {
  py::object target = core::ensure_series(mod(), target_style, py::str("target_style"));
  core::set_attr(self, "_target_style", target);
  py::object style_factors = mod().get("STYLE_FACTORS");
  for (py::handle style : target.attr("index")) {
    if (!style_factors.contains(style)) {
      core::invalid_argument(mod(), "目标风格值 {} 非法，请从 {} 中选取", style, style_factors);
    }
  }
  core::set_attr(self, "_relative", relative);
  py::object stored = py::none();
  if (!priority.is_none()) {
    py::object series = core::ensure_series(mod(), priority, py::str("priority"));
    stored = series.attr("astype")(py::module_::import("builtins").attr("int"))
                 .attr("reindex")(target.attr("index"), py::arg("fill_value") = kDefaultPriority)
                 .attr("clip")(kLowestPriority, kHighestPriority);
  }
  core::set_attr(self, "_priority", stored);
}

// sum over target styles of p * (g @ exposure - target)^2.
py::object min_style_deviation_expr(const py::object& self, const py::object& g,
                                    const py::object& zeta, const py::object& helper) {
  assert_unit_zeta(zeta);
  py::object benchmark_style = py::none();
  if (truth(self.attr("_relative"))) {
    if (helper.attr("benchmark").is_none()) {
      core::invalid_argument(mod(), "在使用相对风格偏移时，必须指定 benchmark 参数");
    }
    benchmark_style = helper.attr("get_benchmark_style")();
  }
  py::object factor_exposure = helper.attr("get_factor_exposure")();
  py::object diff = py::int_(0);
  for (py::handle item : self.attr("_target_style").attr("items")()) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    py::object style = pair[0];
    py::object v = pair[1];
    if (truth(self.attr("_relative"))) v = v + py::object(benchmark_style[style]);
    py::object priority = self.attr("_priority");
    py::object p = priority.is_none()
                       ? py::object(py::int_(1))
                       : py::object(self.attr("PRIORITY_ADJUST_FACTOR")[priority[style]]);
    py::object exposure =
        core::exposure(mod(), g, helper, py::object(factor_exposure[style]).attr("values"));
    diff = diff + p * core::power(exposure - v, py::int_(2));
  }
  return diff;
}

py::list priority_adjust_factor() {
  py::list factors;
  for (int factor : kPriorityAdjustFactor) factors.append(factor);
  return factors;
}

}  // namespace

void define_max_indicator(const py::object& base) {
  core::ClassBuilder cls = objective_class("MaxIndicator", base, kMaxIndicatorDoc);
  cls.init(&max_indicator_init, py::arg("indicator_series"));
  finish_objective(cls, &max_indicator_expr);
}

void define_min_style_deviation(const py::object& base) {
  core::ClassBuilder cls = objective_class("MinStyleDeviation", base, kMinStyleDeviationDoc);
  cls.attr("PRIORITY_ADJUST_FACTOR", priority_adjust_factor())
      .init(&min_style_deviation_init, py::arg("target_style"), py::kw_only(),
            py::arg("relative") = false, py::arg("priority") = py::none());
  finish_objective(cls, &min_style_deviation_expr);
}

}  // namespace morvane::objective
