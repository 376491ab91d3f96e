// Group weights: IndustryComponentLimit (each member of an industry as a fraction of the
// industry's total), IndexComponentLimit (the total weight of an index's constituents) and
// StockPoolLimit (the total weight of a caller's list of stocks).
#include <pybind11/pybind11.h>

#include "constraints/constraints.hpp"
#include "core/classbuilder.hpp"
#include "core/errors.hpp"
#include "core/ops.hpp"

namespace morvane::constraints {

namespace {

constexpr const char* kIndustryComponentDoc = R"(
    行业内个股权重约束

    :param industry: 行业名
    :param lower_limit: 个股占行业权重下界
    :param upper_limit: 个股占行业权重上界
    :param classification: 行业分类标准
    :param hard: 软约束/硬约束
    )";

constexpr const char* kIndexComponentDoc = R"(
    指数权重约束
    :param index_code: 指数代码
    :param lower_limit: 指数成分总占比下界
    :param upper_limit: 指数成分总占比上界
    :param hard: 软约束/硬约束
    )";

constexpr const char* kStockPoolDoc = R"(
    自定义组合权重约束

    :param stock_list:自定义股票列表
    :param lower_limit: 组合内股票权重占比下界
    :param upper_limit: 组合内股票权重占比上界
    :param hard: 软约束/硬约束
    )";

// The texts of one class: its message when no bound is given and the labels of its two bounds.
constexpr BoundLabels kIndustryLabels{
    "IndustryComponentLimit: upper_limit及lower_limit 最少应该指定一个",
    "IndustryComponentLimit:lower_limit", "IndustryComponentLimit:upper_limit"};
constexpr BoundLabels kIndexLabels{"IndexComponentLimit: upper_limit及lower_limit 最少应该指定一个",
                                   "IndexComponentLimit:lower_limit",
                                   "IndexComponentLimit:upper_limit"};
constexpr BoundLabels kPoolLabels{"StockPoolLimit: upper_limit及lower_limit 最少应该指定一个",
                                  "StockPoolLimit:lower_limit", "StockPoolLimit:upper_limit"};

// Steps shared by the three constructors: at least one bound, then `lower` and `upper` as floats
// (None when not given). Bounds are plain weight fractions; no range is checked.
void store_bounds(const py::object& self, const BoundLabels& labels, const py::object& lower_limit,
                  const py::object& upper_limit) {
  require_a_bound(labels, lower_limit, upper_limit);
  store_float_bounds(self, labels, lower_limit, upper_limit);
}

// For membership tests: a list or tuple of ids is searched as a set (the same answers, without
// a linear scan per universe stock); any other collection answers `in` itself.
py::object membership(const py::object& collection) {
  if (!py::isinstance<py::list>(collection) && !py::isinstance<py::tuple>(collection)) {
    return collection;
  }
  try {
    return py::set(collection);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_TypeError)) throw;  // an unhashable entry: keep the plain scan
  }
  return collection;
}

// The total weight of the universe stocks in `group`, bounded by `zeta` times the effective
// bounds: lower first, then upper. An empty selection is not an error (its weight is 0).
py::list group_weight_constraints(const py::object& self, const py::object& g,
                                  const py::object& zeta, const py::object& helper,
                                  const py::object& group) {
  py::object members = membership(group);
  py::list selector;
  for (py::handle id : helper.attr("order_book_ids")) {
    const int found = PySequence_Contains(members.ptr(), id.ptr());
    if (found < 0) throw py::error_already_set();
    selector.append(py::bool_(found != 0));
  }
  py::object selected = core::matmul(g, mod().get("np").attr("array")(selector));
  py::object lower = self.attr("lower");
  py::object upper = self.attr("upper");
  py::list result;
  if (effective_lower(lower)) result.append(core::ge(selected, zeta * lower));
  if (effective_upper(upper)) result.append(core::le(selected, zeta * upper));
  return result;
}

// ---- IndustryComponentLimit ----

void industry_component_init(const py::object& self, const py::object& industry,
                             const py::object& lower_limit, const py::object& upper_limit,
                             const py::object& classification, const py::object& hard) {
  store_bounds(self, kIndustryLabels, lower_limit, upper_limit);
  core::set_attr(self, "industry", industry);
  core::set_attr(self, "classification", classification);
  core::set_attr(self, "_hard", hard);
}

// Each member stock of the industry weighs between `lower` and `upper` times the industry's
// total weight in the portfolio; the bound is relative, so `zeta` plays no part. Per member, in
// universe order: its lower constraint, then its upper one.
py::object industry_component_to_constraints(const py::object& self, const py::object& g,
                                             const py::object& /*zeta*/, const py::object& helper) {
  py::object np = mod().get("np");
  py::object industry = self.attr("industry");
  py::object mapping = helper.attr("get_industry_mapping")(self.attr("classification"));
  py::object selector = np.attr("asarray")(core::eq(mapping, industry));
  if (!truth(selector.attr("any")())) {
    core::invalid_argument(mod(), "候选股票池中没有 {} 行业", industry);
  }
  py::object industry_weight = core::matmul(g, selector);
  py::object lower = self.attr("lower");
  py::object upper = self.attr("upper");
  const bool has_lower = effective_lower(lower);
  const bool has_upper = effective_upper(upper);
  py::list result;
  py::object indexes = np.attr("nonzero")(selector)[py::int_(0)];
  for (py::handle i : indexes) {
    py::object weight = g[i];
    if (has_lower) result.append(core::ge(weight, industry_weight * lower));
    if (has_upper) result.append(core::le(weight, industry_weight * upper));
  }
  return result;
}

// ---- IndexComponentLimit ----

void index_component_init(const py::object& self, const py::object& index_code,
                          const py::object& lower_limit, const py::object& upper_limit,
                          const py::object& hard) {
  store_bounds(self, kIndexLabels, lower_limit, upper_limit);
  core::set_attr(self, "index_code", index_code);
  core::set_attr(self, "_hard", hard);
}

// The constituents are those of the last trading day before the optimisation date.
py::object index_component_to_constraints(const py::object& self, const py::object& g,
                                          const py::object& zeta, const py::object& helper) {
  py::object components =
      mod()
          .get("tarnwick")
          .attr("index_components")(self.attr("index_code"), helper.attr("prev_trading_date"));
  return group_weight_constraints(self, g, zeta, helper, components);
}

// ---- StockPoolLimit ----

// The list is only searched with `in`: None, a single id string and anything that is not a
// collection are refused here rather than failing (or matching substrings) in every solve.
void check_stock_list(const py::object& stock_list) {
  py::object abc = py::module_::import("collections.abc");
  const bool collection = py::isinstance(stock_list, abc.attr("Container")) ||
                          py::isinstance(stock_list, abc.attr("Iterable"));
  if (stock_list.is_none() || py::isinstance<py::str>(stock_list) ||
      py::isinstance<py::bytes>(stock_list) || !collection) {
    core::invalid_argument(mod(), "StockPoolLimit: stock_list 应该是股票代码的列表或集合: {}",
                           stock_list);
  }
}

void stock_pool_init(const py::object& self, const py::object& stock_list,
                     const py::object& lower_limit, const py::object& upper_limit,
                     const py::object& hard) {
  store_bounds(self, kPoolLabels, lower_limit, upper_limit);
  check_stock_list(stock_list);
  core::set_attr(self, "stock_list", stock_list);
  core::set_attr(self, "_hard", hard);
}

// Stocks of the list outside the universe are ignored.
py::object stock_pool_to_constraints(const py::object& self, const py::object& g,
                                     const py::object& zeta, const py::object& helper) {
  return group_weight_constraints(self, g, zeta, helper, self.attr("stock_list"));
}

}  // namespace

void define_components(const core::Module& self, const py::object& base) {
  // The default classification is taken once, when the class is defined.
  py::object sws = self.get("IndustryClassification").attr("SWS");

  core::ClassBuilder industry =
      constraint_class("IndustryComponentLimit", base, kIndustryComponentDoc);
  industry.init(&industry_component_init, py::arg("industry"), py::kw_only(),
                py::arg("lower_limit") = py::none(), py::arg("upper_limit") = py::none(),
                py::arg("classification") = sws, py::arg("hard") = true);
  finish_constraint(industry, &industry_component_to_constraints);

  core::ClassBuilder index = constraint_class("IndexComponentLimit", base, kIndexComponentDoc);
  index.init(&index_component_init, py::arg("index_code"), py::kw_only(),
             py::arg("lower_limit") = py::none(), py::arg("upper_limit") = py::none(),
             py::arg("hard") = true);
  finish_constraint(index, &index_component_to_constraints);

  core::ClassBuilder pool = constraint_class("StockPoolLimit", base, kStockPoolDoc);
  pool.init(&stock_pool_init, py::arg("stock_list"), py::kw_only(),
            py::arg("lower_limit") = py::none(), py::arg("upper_limit") = py::none(),
            py::arg("hard") = true);
  finish_constraint(pool, &stock_pool_to_constraints);
}

}  // namespace morvane::constraints
