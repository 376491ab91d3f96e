// Return per unit of risk, in the homogenised form: g stands for zeta times the weights, the
// objective is the (active) variance of g and the one internal constraint fixes the expected
// (active) return of g to 1.
#include "core/ops.hpp"
#include "core/portfolio.hpp"
#include "core/series.hpp"
#include "objective/objective.hpp"

namespace morvane::objective {

namespace {

constexpr const char* kMaxInformationRatioDoc = R"(
    最大信息比率
    :param expected_active_returns: 预期主动收益率。不传入时，使用历史收益率估计。
    :type expected_active_returns: None | pd.Series
    :param window: 使用历史收益率估计预期主动收益时，取历史收益的长度，默认为252，即一年
    )";

constexpr const char* kMaxSharpeRatioDoc = R"(
    最大化夏普比率
    :param expected_returns: 预期收益率。当不传入时，默认使用历史收益率估计。
    :type expected_returns: None | pd.Series
    :param window: 使用历史收益率估计预期主动收益时，取历史收益率的长度，默认为252，即一年
    )";

void init_ratio(const py::object& self, const char* returns_name, const char* returns_attr,
                py::object returns, const py::object& window) {
  if (!returns.is_none()) returns = core::ensure_series(mod(), returns, py::str(returns_name));
  core::set_attr(self, returns_attr, returns);
  core::set_attr(self, "_window", window);
}

void max_information_ratio_init(const py::object& self, const py::object& expected_active_returns,
                                const py::object& window) {
  init_ratio(self, "expected_active_returns", "_expected_active_returns", expected_active_returns,
             window);
}

void max_sharpe_ratio_init(const py::object& self, const py::object& expected_returns,
                           const py::object& window) {
  init_ratio(self, "expected_returns", "_expected_returns", expected_returns, window);
}

// The constraint g @ mu == 1. Equal expected returns (zero included) make it sum(g) == 1, plain
// variance minimisation; a negative mean is removed so that some instrument earns a positive
// return and the unit return is reachable.
py::list unit_return_constraint(const py::object& g, py::object mu) {
  py::object np = mod().get("np");
  if (truth(core::eq(mu, py::object(mu[py::int_(0)])).attr("all")())) {
    mu = np.attr("repeat")(1.0, py::len(mu));
  }
  py::object mean = mu.attr("mean")();
  if (compare(mean, py::int_(0), Py_LT)) {
    mu = mu - mean;
  }
  py::list constraints;
  constraints.append(core::eq(core::matmul(g, mu), py::int_(1)));
  return constraints;
}

py::object max_information_ratio_expr(const py::object& /*self*/, const py::object& g,
                                      const py::object& zeta, const py::object& helper) {
  return core::active_risk(mod(), g, zeta, helper);
}

py::list max_information_ratio_constraints(const py::object& self, const py::object& g,
                                           const py::object& /*zeta*/, const py::object& helper) {
  py::object given = self.attr("_expected_active_returns");
  py::object ids = helper.attr("order_book_ids");
  py::object mu;
  if (given.is_none()) {
    // Estimated anew on every call; nothing is kept.
    mu = values_for(estimate_active_returns(ids, self.attr("_window"), helper), ids);
  } else {
    mu = values_for(given, ids);
  }
  return unit_return_constraint(g, mu);
}

py::object max_sharpe_ratio_expr(const py::object& /*self*/, const py::object& g,
                                 const py::object& /*zeta*/, const py::object& helper) {
  return core::portfolio_risk(mod(), g, helper);
}

py::list max_sharpe_ratio_constraints(const py::object& self, const py::object& g,
                                      const py::object& /*zeta*/, const py::object& helper) {
  if (self.attr("_expected_returns").is_none()) {
    // Estimated once and kept for the life of the object.
    core::set_attr(
        self, "_expected_returns",
        estimate_annual_returns(helper.attr("order_book_ids"), self.attr("_window"), helper));
  }
  py::object mu = values_for(self.attr("_expected_returns"), helper.attr("order_book_ids"));
  return unit_return_constraint(g, mu);
}

template <typename Init, typename Expr, typename Constraints>
void define_ratio_class(const char* name, const py::object& base, const char* doc,
                        const char* returns_param, Init init, Expr expr, Constraints constraints) {
  core::ClassBuilder cls = objective_class(name, base, doc);
  cls.init(init, py::kw_only(), py::arg(returns_param) = py::none(), py::arg("window") = 252);
  finish_objective(cls, expr, constraints);
}

}  // namespace

void define_max_information_ratio(const py::object& base) {
  define_ratio_class("MaxInformationRatio", base, kMaxInformationRatioDoc,
                     "expected_active_returns", &max_information_ratio_init,
                     &max_information_ratio_expr, &max_information_ratio_constraints);
}

void define_max_sharpe_ratio(const py::object& base) {
  define_ratio_class("MaxSharpeRatio", base, kMaxSharpeRatioDoc, "expected_returns",
                     &max_sharpe_ratio_init, &max_sharpe_ratio_expr, &max_sharpe_ratio_constraints);
}

}  // namespace morvane::objective
