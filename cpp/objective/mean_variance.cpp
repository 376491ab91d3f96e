// Expected return traded against risk: MeanVariance on the portfolio, ActiveMeanVariance on its
// difference to the benchmark. The risk term is scaled so that a typical expected return and the
// variance of the equally weighted portfolio weigh alike before the caller's risk aversion.
#include "core/errors.hpp"
#include "core/ops.hpp"
#include "core/portfolio.hpp"
#include "core/series.hpp"
#include "objective/objective.hpp"

namespace morvane::objective {

namespace {

constexpr const char* kMeanVarianceDoc = R"(
    收益/风险优化

    :param expected_returns: 预期收益率。当不传入时，默认使用历史收益率估计。
    :type expected_returns: None | pd.Series
    :param window: 使用历史收益率估计预期主动收益时，取历史收益率的长度，默认为252，即一年
    :param risk_aversion_coefficient: 风险厌恶系数
    :param transaction_cost_model: 交易成本模型实例；默认为 None，不考虑交易成本
    )";

constexpr const char* kActiveMeanVarianceDoc = R"(
    主动收益/主动风险优化

    :param expected_active_returns: 预期主动收益率。当不传入时，默认使用历史收益率估计。
    :type expected_active_returns: None | pd.Series
    :param window: 使用历史收益率估计预期主动收益时，取历史收益率的长度，默认为252，即一年
    :param risk_aversion_coefficient: 风险厌恶系数
    :param transaction_cost_model: 交易成本模型；默认为 None，不考虑交易成本
    )";

// Shared constructor: Series conversion of the returns, then the coefficient check, then storage.
void init_mean_variance(const py::object& self, const char* returns_name, const char* returns_attr,
                        py::object returns, const py::object& window,
                        const py::object& risk_aversion_coefficient,
                        const py::object& transaction_cost_model) {
  if (!returns.is_none()) returns = core::ensure_series(mod(), returns, py::str(returns_name));
  if (compare(risk_aversion_coefficient, py::int_(0), Py_LT)) {
    core::invalid_argument(mod(),
                           "risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：{}",
                           risk_aversion_coefficient);
  }
  core::set_attr(self, returns_attr, returns);
  core::set_attr(self, "_risk_aversion_coefficient", risk_aversion_coefficient);
  core::set_attr(self, "_window", window);
  core::set_attr(self, "_transaction_cost_model", transaction_cost_model);
}

void mean_variance_init(const py::object& self, const py::object& expected_returns,
                        const py::object& window, const py::object& risk_aversion_coefficient,
                        const py::object& transaction_cost_model) {
  init_mean_variance(self, "expected_returns", "_expected_returns", expected_returns, window,
                     risk_aversion_coefficient, transaction_cost_model);
}

void active_mean_variance_init(const py::object& self, const py::object& expected_active_returns,
                               const py::object& window,
                               const py::object& risk_aversion_coefficient,
                               const py::object& transaction_cost_model) {
  init_mean_variance(self, "expected_active_returns", "_expected_active_returns",
                     expected_active_returns, window, risk_aversion_coefficient,
                     transaction_cost_model);
}

bool all_zero(const py::object& mu) { return truth(core::eq(mu, py::int_(0)).attr("all")()); }

// The factor on the risk term: a typical expected return (the mean of the positive ones, else
// the size of the mean of the largest quarter) over the variance of the equally weighted
// portfolio of the k instruments, times the risk aversion.
py::object risk_adjust_factor(const py::object& self, const py::object& mu,
                              const py::object& helper, core::Pool pool) {
  py::object np = mod().get("np");
  const auto k = static_cast<long>(py::len(mu));
  py::object risk = core::equal_weight_variance(mod(), helper, pool);
  py::object positive = core::gt(mu, py::int_(0));
  py::object rtn;
  if (truth(positive.attr("any")())) {
    rtn = py::object(mu[positive]).attr("mean")();
  } else {
    const long start = -((k + 3) / 4);  // (-k) // 4: the largest ceil(k / 4) entries
    py::object largest = np.attr("sort")(mu)[py::slice(py::int_(start), py::none(), py::none())];
    rtn = py::module_::import("builtins").attr("abs")(largest.attr("mean")());
  }
  py::object adjust_factor = rtn / risk;
  return adjust_factor * self.attr("_risk_aversion_coefficient");
}

py::object transaction_cost(const py::object& self, const py::object& g, const py::object& helper) {
  py::object model = self.attr("_transaction_cost_model");
  if (model.is_none()) return py::int_(0);
  return model.attr("get_penalty")(g, helper);
}

py::object mean_variance_expr(const py::object& self, const py::object& g, const py::object& zeta,
                              const py::object& helper) {
  assert_unit_zeta(zeta);
  if (self.attr("_expected_returns").is_none()) {
    // Estimated once and kept: later calls, with any helper, reuse it.
    core::set_attr(
        self, "_expected_returns",
        estimate_annual_returns(helper.attr("order_book_ids"), self.attr("_window"), helper));
  }
  py::object mu = values_for(self.attr("_expected_returns"), helper.attr("order_book_ids"));
  py::object cost = transaction_cost(self, g, helper);
  if (all_zero(mu)) {
    core::warn(mod().get("OptimizerWarning"),
               py::str("MeanVariance: expected_returns 全部为 0，退化为 MinVariance"));
    return core::portfolio_risk(mod(), g, helper) + cost;
  }
  py::object adjust_factor = risk_adjust_factor(self, mu, helper, core::Pool::kUniverse);
  py::object risk = core::portfolio_risk(mod(), g, helper);
  return -core::matmul(g, mu) + risk * adjust_factor + cost;
}

py::object active_mean_variance_expr(const py::object& self, const py::object& g,
                                     const py::object& zeta, const py::object& helper) {
  assert_unit_zeta(zeta);
  py::object given = self.attr("_expected_active_returns");
  py::object mu;
  if (!given.is_none()) {
    mu = values_for(given, helper.attr("union_components"));
  } else {
    // Estimated anew on every call; nothing is kept.
    py::object history_returns =
        estimate_active_returns(helper.attr("union_components"), self.attr("_window"), helper);
    mu = values_for(history_returns, helper.attr("union_components"));
  }
  py::object active = core::active_weight(mod(), g, zeta, helper);
  if (all_zero(mu)) {
    core::warn(mod().get("OptimizerWarning"),
               py::str("ActiveMeanVariance: active_expected_returns 全部为 0，退化为 MinVariance"));
    return core::active_risk(mod(), g, zeta, helper);
  }
  py::object adjust_factor = risk_adjust_factor(self, mu, helper, core::Pool::kUnion);
  py::object cost = transaction_cost(self, g, helper);
  py::object risk = core::active_risk(mod(), g, zeta, helper);
  return -core::matmul(active, mu) + risk * adjust_factor + cost;
}

template <typename Init, typename Expr>
void define_mean_variance_class(const char* name, const py::object& base, const char* doc,
                                const char* returns_param, Init init, Expr expr) {
  core::ClassBuilder cls = objective_class(name, base, doc);
  cls.init(init, py::kw_only(), py::arg(returns_param) = py::none(), py::arg("window") = 252,
           py::arg("risk_aversion_coefficient") = 1,
           py::arg("transaction_cost_model") = py::none());
  finish_objective(cls, expr);
}

}  // namespace

void define_mean_variance(const py::object& base) {
  define_mean_variance_class("MeanVariance", base, kMeanVarianceDoc, "expected_returns",
                             &mean_variance_init, &mean_variance_expr);
}

void define_active_mean_variance(const py::object& base) {
  define_mean_variance_class("ActiveMeanVariance", base, kActiveMeanVarianceDoc,
                             "expected_active_returns", &active_mean_variance_init,
                             &active_mean_variance_expr);
}

}  // namespace morvane::objective
