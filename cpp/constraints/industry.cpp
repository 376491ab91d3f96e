// Industry weights: IndustryConstraint bounds the total weight of each named industry,
// WildcardIndustryConstraint gives the same bounds to every industry but an exclude list. Bounds
// are absolute weights or, with `relative`, taken from the benchmark's weight in the industry.
#include <pybind11/pybind11.h>

#include "constraints/constraints.hpp"
#include "core/classbuilder.hpp"
#include "core/errors.hpp"
#include "core/exposures.hpp"
#include "core/ops.hpp"
#include "core/series.hpp"

namespace morvane::constraints {

namespace {

constexpr const char* kIndustryDoc = R"(
    行业权重约束

    :param industries: 行业名，可以为单个或多个行业
    :param lower_limit: 行业权重下界。当 `relative` 为 True 时，支持 '-5%'/'+5%' 形式
    :param upper_limit: 行业权重上界。与下界类似。
    :param relative: 是否为相对于基准
    :param classification: 行业分类标准; 可以传入 dict | pd.Series，作为自定义行业分类
    :param hard: 软约束/硬约束
    )";

constexpr const char* kWildcardIndustryDoc = R"(
    指定除 exclude 列表外其他行业的权重限制。与 :class:`IndustryConstraint` 配合可方便的实现对所有行业权重的限制。

    :param exclude: 排除列表
    :param lower_limit: 行业权重下界。当 `relative` 为 True 时，支持 '-5%'/'+5%' 形式
    :param upper_limit: 行业权重上界。与下界类似。
    :param relative: 是否为相对于基准
    :param classification: 行业分类标准；可以传入 dict | pd.Series，作为自定义行业分类
    :param hard: 软约束/硬约束
    )";

// The texts of one class: its message when no bound is given and the labels of its two bounds.
constexpr BoundLabels kIndustryLabels{
    "IndustryConstraint: upper_limit及lower_limit 最少应该指定一个",
    "IndustryConstraint:lower_limit", "IndustryConstraint:upper_limit"};
constexpr BoundLabels kWildcardLabels{
    "WildcardIndustryConstraint: upper_limit及lower_limit 最少应该指定一个",
    "WildcardIndustryConstraint:lower_limit", "WildcardIndustryConstraint:upper_limit"};

// At least one bound; `relative` as given; absolute bounds as floats (None when not given, the
// lower one converted first), relative ones kept as given and resolved per optimisation.
void store_bounds(const py::object& self, const BoundLabels& labels, const py::object& lower_limit,
                  const py::object& upper_limit, const py::object& relative) {
  require_a_bound(labels, lower_limit, upper_limit);
  store_relative_bounds(self, labels, lower_limit, upper_limit, relative);
}

// A classification member is kept; anything else is a custom id-to-industry mapping.
void store_classification_and_hard(const py::object& self, const py::object& classification,
                                   const py::object& hard) {
  py::object stored = classification;
  if (!py::isinstance(classification, mod().get("IndustryClassification"))) {
    stored = core::ensure_series(mod(), classification, py::str("classification"));
  }
  core::set_attr(self, "classification", stored);
  core::set_attr(self, "_hard", hard);
}

// Appends the bounds of one industry's total weight to `result`. An industry without any stock
// in the universe warns and adds nothing. A lower bound of 0 or less and an upper bound of 1 or
// more constrain nothing. With `relative`, an industry the benchmark does not hold counts 0.
void bound_industry(py::list& result, const py::object& self, const py::object& g,
                    const py::object& zeta, const py::object& helper,
                    const py::object& industry_mapping,
                    const py::object& benchmark_industry_mapping, const py::handle& industry,
                    bool relative) {
  py::object selector = core::eq(industry_mapping, industry).attr("values");
  bool present = false;
  for (py::handle selected : selector) {
    if (truth(selected)) {
      present = true;
      break;
    }
  }
  if (!present) {
    core::warn(mod().get("OptimizerWarning"),
               core::format("候选股票池中没有 {} 行业，相应约束忽略", industry));
    return;
  }
  py::object lower = self.attr("lower");
  py::object upper = self.attr("upper");
  if (relative) {
    py::object benchmark_weight = benchmark_industry_mapping.attr("get")(industry, py::int_(0));
    lower = get_deviation_value(benchmark_weight, lower);
    upper = get_deviation_value(benchmark_weight, upper);
  }
  // The industry's weight is the shared exposure to its factor when the risk model has one.
  py::object weight = core::exposure(mod(), g, helper, selector);
  if (effective_lower(lower)) {
    result.append(core::ge(weight, zeta * lower));
  }
  if (effective_upper(upper)) {
    result.append(core::le(weight, zeta * upper));
  }
}

// ---- IndustryConstraint ----

void industry_init(const py::object& self, const py::object& industries,
                   const py::object& lower_limit, const py::object& upper_limit,
                   const py::object& relative, const py::object& classification,
                   const py::object& hard) {
  store_bounds(self, kIndustryLabels, lower_limit, upper_limit, relative);
  core::set_attr(self, "industries", as_names(industries));
  store_classification_and_hard(self, classification, hard);
}

py::object industry_to_constraints(const py::object& self, const py::object& g,
                                   const py::object& zeta, const py::object& helper) {
  py::object classification = self.attr("classification");
  py::object industry_mapping = helper.attr("get_industry_mapping")(classification);
  const bool relative = truth(self.attr("relative"));
  py::object benchmark_industry_mapping = py::none();
  if (relative) {
    benchmark_industry_mapping = helper.attr("get_benchmark_industry_weight")(classification);
  }
  py::list result;
  for (py::handle industry : self.attr("industries")) {
    bound_industry(result, self, g, zeta, helper, industry_mapping, benchmark_industry_mapping,
                   industry, relative);
  }
  return result;
}

// ---- WildcardIndustryConstraint ----

void wildcard_industry_init(const py::object& self, const py::object& exclude,
                            const py::object& lower_limit, const py::object& upper_limit,
                            const py::object& relative, const py::object& classification,
                            const py::object& hard) {
  store_bounds(self, kWildcardLabels, lower_limit, upper_limit, relative);
  core::set_attr(self, "exclude", names_list(exclude));
  store_classification_and_hard(self, classification, hard);
}

// Every industry of the universe (with `relative`, also every industry the benchmark holds)
// except the excluded ones and "UNKNOWN" gets the bounds.
py::object wildcard_industry_to_constraints(const py::object& self, const py::object& g,
                                            const py::object& zeta, const py::object& helper) {
  py::object classification = self.attr("classification");
  py::object industry_mapping = helper.attr("get_industry_mapping")(classification);
  py::object benchmark_industry_mapping = py::none();
  py::object industries = industry_mapping.attr("unique")();
  const bool relative = truth(self.attr("relative"));
  if (relative) {
    benchmark_industry_mapping = helper.attr("get_benchmark_industry_weight")(classification);
    py::set universe_industries(industries);
    py::set benchmark_industries(benchmark_industry_mapping.attr("index"));
    industries =
        core::steal_or_throw(PyNumber_Or(universe_industries.ptr(), benchmark_industries.ptr()));
  }
  py::object exclude = self.attr("exclude");
  py::str unknown("UNKNOWN");
  py::list result;
  for (py::handle industry : industries) {
    const int excluded = PySequence_Contains(exclude.ptr(), industry.ptr());
    if (excluded < 0) throw py::error_already_set();
    if (excluded != 0 || compare(industry, unknown, Py_EQ)) continue;
    bound_industry(result, self, g, zeta, helper, industry_mapping, benchmark_industry_mapping,
                   industry, relative);
  }
  return result;
}

}  // namespace

void define_industry(const core::Module& self, const py::object& base) {
  // The default classification is taken once, when the classes are defined.
  py::object sws = self.get("IndustryClassification").attr("SWS");

  core::ClassBuilder industry = constraint_class("IndustryConstraint", base, kIndustryDoc);
  industry.init(&industry_init, py::arg("industries"), py::kw_only(),
                py::arg("lower_limit") = py::none(), py::arg("upper_limit") = py::none(),
                py::arg("relative") = false, py::arg("classification") = sws,
                py::arg("hard") = true);
  finish_constraint(industry, &industry_to_constraints);

  core::ClassBuilder wildcard =
      constraint_class("WildcardIndustryConstraint", base, kWildcardIndustryDoc);
  wildcard.init(&wildcard_industry_init, py::kw_only(), py::arg("exclude") = py::none(),
                py::arg("lower_limit") = py::none(), py::arg("upper_limit") = py::none(),
                py::arg("relative") = false, py::arg("classification") = sws,
                py::arg("hard") = true);
  finish_constraint(wildcard, &wildcard_industry_to_constraints);
}

}  // namespace morvane::constraints
