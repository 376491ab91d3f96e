// Style exposures: StyleConstraint bounds the portfolio's exposure to each named style factor
// (the weighted sum of the stocks' exposures); wildcard_style_constraint builds one over every
// style factor but an exclude list. Bounds are absolute exposures or, with `relative`, taken from
// the benchmark's exposure to the style.
#include <pybind11/pybind11.h>

#include "constraints/constraints.hpp"
#include "core/classbuilder.hpp"
#include "core/errors.hpp"
#include "core/exposures.hpp"
#include "core/function.hpp"
#include "core/ops.hpp"

namespace morvane::constraints {

namespace {

constexpr const char* kStyleDoc = R"(
    风格约束

    :param styles: 风格列表，可以为单个或多个风格名。支持以下风格：beta, book_to_price,
        earnings_yield, growth, leverage, liquidity, momentum, non_linear_size, residual_volatility, size
    :param lower_limit: 下界。当 `relative` 为 True 时，支持 '-5%'/'+5%' 形式
    :param upper_limit: 上界。与下界类似。
    :param relative: 是否为相对于基准
    :param hard: 软约束/硬约束
    )";

constexpr const char* kWildcardStyleDoc = R"(
    指定除 exclude 外的其他风格上下界，与 WildcardIndustryConstraint 类似。

    :param exclude: 排除列表
    :param lower_limit: 下界。当 `relative` 为 True 时，支持 '-5%'/'+5%' 形式
    :param upper_limit: 上界。与下界类似。
    :param relative: 是否为相对于基准
    :param hard: 软约束/硬约束
    :return:
    )";

constexpr BoundLabels kStyleLabels{"StyleConstraint: upper_limit及lower_limit 最少应该指定一个",
                                   "StyleConstraint:lower_limit", "StyleConstraint:upper_limit"};

// Python's `item in container`.
bool contains(const py::handle& container, const py::handle& item) {
  const int found = PySequence_Contains(container.ptr(), item.ptr());
  if (found < 0) throw py::error_already_set();
  return found != 0;
}

// Every name must be one of STYLE_FACTORS; the first that is not is refused.
void check_styles(const py::handle& names) {
  py::object style_factors = mod().get("STYLE_FACTORS");
  for (py::handle style : names) {
    if (!contains(style_factors, style)) {
      core::invalid_argument(mod(), "约束中指定的风格 {} 非法，应该从 {} 选取", style,
                             style_factors);
    }
  }
}

// ---- StyleConstraint ----

void style_init(const py::object& self, const py::object& styles, const py::object& lower_limit,
                const py::object& upper_limit, const py::object& relative, const py::object& hard) {
  require_a_bound(kStyleLabels, lower_limit, upper_limit);
  py::object stored = as_names(styles);
  check_styles(stored);
  core::set_attr(self, "styles", stored);
  store_relative_bounds(self, kStyleLabels, lower_limit, upper_limit, relative);
  core::set_attr(self, "_hard", hard);
}

// Per style, in order: the exposure g @ x bounded below and above by `zeta` times the bounds.
// Every bound that is given yields a constraint, whatever its value. A style the risk model does
// not provide warns and adds nothing; with `relative`, the benchmark must have an exposure to
// every style that is bounded.
py::object style_to_constraints(const py::object& self, const py::object& g, const py::object& zeta,
                                const py::object& helper) {
  py::object factor_exposure = helper.attr("get_factor_exposure")();
  const bool relative = truth(self.attr("relative"));
  py::object benchmark_style = py::none();
  if (relative) benchmark_style = helper.attr("get_benchmark_style")();
  py::object columns = factor_exposure.attr("columns");
  py::list result;
  for (py::handle style : self.attr("styles")) {
    if (!contains(columns, style)) {
      core::warn(mod().get("OptimizerWarning"),
                 core::format("所选的风险模型中没有 {} 风格，相应约束忽略", style));
      continue;
    }
    py::object lower = self.attr("lower");
    py::object upper = self.attr("upper");
    if (relative) {
      py::object benchmark = benchmark_style[style];
      lower = get_deviation_value(benchmark, lower);
      upper = get_deviation_value(benchmark, upper);
    }
    py::object exposure = core::exposure(mod(), g, helper, factor_exposure[style].attr("values"));
    if (!lower.is_none()) result.append(core::ge(exposure, zeta * lower));
    if (!upper.is_none()) result.append(core::le(exposure, zeta * upper));
  }
  return result;
}

// ---- wildcard_style_constraint ----

py::object wildcard_style_constraint(const py::object& exclude, const py::object& lower_limit,
                                     const py::object& upper_limit, const py::object& relative,
                                     const py::object& hard) {
  py::list excluded = names_list(exclude);
  check_styles(excluded);
  py::list styles;
  for (py::handle style : mod().get("STYLE_FACTORS")) {
    if (!contains(excluded, style)) styles.append(style);
  }
  return mod().get("StyleConstraint")(styles, py::arg("lower_limit") = lower_limit,
                                      py::arg("upper_limit") = upper_limit,
                                      py::arg("relative") = relative, py::arg("hard") = hard);
}

}  // namespace

void define_style(const core::Module& self, const py::object& base) {
  core::ClassBuilder style = constraint_class("StyleConstraint", base, kStyleDoc);
  style.init(&style_init, py::arg("styles"), py::kw_only(), py::arg("lower_limit") = py::none(),
             py::arg("upper_limit") = py::none(), py::arg("relative") = false,
             py::arg("hard") = true);
  finish_constraint(style, &style_to_constraints);

  core::def(self, "wildcard_style_constraint", &wildcard_style_constraint,
            py::doc(kWildcardStyleDoc), py::kw_only(), py::arg("exclude") = py::none(),
            py::arg("lower_limit") = py::none(), py::arg("upper_limit") = py::none(),
            py::arg("relative") = false, py::arg("hard") = true);
}

}  // namespace morvane::constraints
