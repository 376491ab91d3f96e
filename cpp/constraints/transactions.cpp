// Trade sizes: TransactionVolumeLimit (shares traded against the average daily volume) and
// TransactionMarketValueLimit (value traded against the average total market value). Both value
// the current portfolio (shares held plus cash) at market prices and turn each stock's largest
// allowed trade into bounds on its weight around its current weight.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <initializer_list>
#include <vector>

#include "constraints/constraints.hpp"
#include "core/classbuilder.hpp"
#include "core/errors.hpp"
#include "core/ops.hpp"
#include "core/series.hpp"

namespace morvane::constraints {

namespace {

using namespace pybind11::literals;

constexpr const char* kTransactionVolumeDoc = R"(
    成交量约束: 当前持仓和可用资金必须至少填入一个，优化器会用两者组成一个完整的投资组合来判定成交量约束

    :param current_holding: 当前持仓，应传入股票数量而非权重
    :param cash: 可用资金数量
    :param window: 前几个交易日的平均交易量
    :param stock_list: 需要约束的股票列表
    :param upper_limit: 成交量占比上界
    :param hard: 软约束/硬约束
    )";

constexpr const char* kTransactionMarketValueDoc = R"(
    成交市值约束

    :param current_holding: 当前持仓，应传入股票数量而非权重
    :param cash: 可用资金数量
    :param window: 前几个交易日的平均市值
    :param stock_list: 需要约束的股票列表
    :param upper_limit: 交易市值占该股票总市值百分比上界
    :param hard: 软约束/硬约束
    )";

enum class Measure {
  kVolume,       // shares traded against the average daily volume
  kMarketValue,  // money traded against the average total market value
};

// The texts of one class.
struct Texts {
  const char* no_portfolio;
  const char* outside_pool;
  const char* label;
  const char* no_limit;
};

const Texts& texts(Measure measure) {
  static const Texts volume{
      "在 TransactionVolumeLimit 约束中，current_holding 和 cash 至少需要一个",
      "在 TransactionVolumeLimit 约束中，以下股票不在目标股票池中，这些股票将不受约束: {}",
      "TransactionVolumeLimit:upper_limit",
      "在 TransactionVolumeLimit 约束中，upper_limit 不能为 None"};
  static const Texts market_value{
      "在 TransactionMarketValueLimit 约束中，current_holding 和 cash 至少需要一个",
      "在 TransactionMarketValueLimit 约束中，以下股票不在目标股票池中，这些股票将不受约束: {}",
      "TransactionMarketValueLimit:upper_limit",
      "在 TransactionMarketValueLimit 约束中，upper_limit 不能为 None"};
  return measure == Measure::kVolume ? volume : market_value;
}

// ---- construction ----

void transaction_init(Measure measure, const py::object& self, const py::object& upper_limit,
                      const py::object& current_holding, const py::object& cash,
                      const py::object& window, const py::object& stock_list,
                      const py::object& hard) {
  const Texts& text = texts(measure);
  py::object holding = current_holding;
  if (holding.is_none()) holding = mod().get("pd").attr("Series")("dtype"_a = "float64");
  holding = core::ensure_series(mod(), holding, py::str("current_holding"));
  // Share counts that add up to 0 count as no holding.
  const bool no_holding = compare(holding.attr("sum")(), py::int_(0), Py_EQ);
  if (no_holding && (cash.is_none() || compare(cash, py::int_(0), Py_EQ))) {
    core::invalid_argument(mod(), text.no_portfolio);
  }
  core::set_attr(self, "_current_holding", holding);
  core::set_attr(self, "cash", cash.is_none() ? py::float_(0.0) : to_float(cash));
  core::set_attr(self, "window", window);
  core::set_attr(self, "stock_list", stock_list);
  core::set_attr(self, "upper", ensure_bound(upper_limit, py::str(text.label)));
  core::set_attr(self, "_hard", hard);
}

void volume_init(const py::object& self, const py::object& upper_limit,
                 const py::object& current_holding, const py::object& cash,
                 const py::object& window, const py::object& stock_list, const py::object& hard) {
  transaction_init(Measure::kVolume, self, upper_limit, current_holding, cash, window, stock_list,
                   hard);
}

void market_value_init(const py::object& self, const py::object& upper_limit,
                       const py::object& current_holding, const py::object& cash,
                       const py::object& window, const py::object& stock_list,
                       const py::object& hard) {
  transaction_init(Measure::kMarketValue, self, upper_limit, current_holding, cash, window,
                   stock_list, hard);
}

// ---- market data ----

// The entries of a numpy array or pandas Series as doubles (NaN where missing).
std::vector<double> doubles(const py::object& values) {
  using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;
  Doubles array = mod().get("np").attr("asarray")(values, "dtype"_a = "float64");
  return std::vector<double>(array.data(), array.data() + array.size());
}

py::object per_stock(const py::object& series) {
  return series.attr("groupby")("level"_a = "order_book_id");
}

// The `order_book_id` of every row.
py::object stock_ids(const py::object& series) {
  return series.attr("index").attr("get_level_values")("order_book_id");
}

// What the per-stock bounds are computed from, one entry per stock of the whole pool: the close
// that values a share, and the average of the measure over the window.
struct Liquidity {
  std::vector<double> close;
  std::vector<double> average;
};

py::list names(std::initializer_list<const char*> items) {
  py::list result;
  for (const char* item : items) result.append(py::str(item));
  return result;
}

// Volumes are made comparable across corporate actions with each day's ratio of the traded to
// the forward-adjusted close, taken relative to the stock's latest row: volume / ratio is the
// day's volume in shares of the latest day. Days without trading do not enter the average. A
// share is valued at the stock's last close in the window.
Liquidity volume_liquidity(const py::object& whole_pool, const py::object& start,
                           const py::object& end) {
  py::object tarnwick = mod().get("tarnwick");
  py::object unadjusted =
      tarnwick.attr("get_price")(whole_pool, start, end, "fields"_a = names({"close", "volume"}),
                                 "adjust_type"_a = "none", "expect_df"_a = true);
  py::object adjusted =
      tarnwick.attr("get_price")(whole_pool, start, end, "fields"_a = names({"close"}),
                                 "adjust_type"_a = "pre", "expect_df"_a = true);
  py::object close = unadjusted[py::str("close")];
  py::object ratio = close / py::object(adjusted[py::str("close")]);
  // Each row divided by the ratio of its stock's latest row (whatever that value is), looked up
  // by id rather than through a Python callable per stock.
  py::object latest = per_stock(ratio).attr("tail")(1);
  py::object by_id =
      mod().get("pd").attr("Series")(latest.attr("values"), "index"_a = stock_ids(latest));
  ratio = ratio / by_id.attr("reindex")(stock_ids(ratio)).attr("values");
  py::object volume = py::object(unadjusted[py::str("volume")]) / ratio;
  py::object traded = volume[core::gt(volume, py::int_(0))];
  return {doubles(per_stock(close).attr("last")().attr("reindex")(whole_pool)),
          doubles(per_stock(traded).attr("mean")().attr("reindex")(whole_pool))};
}

// A share is valued at the close of the last trading day before the optimisation date; the
// market value is averaged over the window.
Liquidity market_value_liquidity(const py::object& whole_pool, const py::object& start,
                                 const py::object& end) {
  py::object tarnwick = mod().get("tarnwick");
  py::object market_cap = tarnwick.attr("get_factor")(whole_pool, "market_cap_3", start, end);
  py::object average =
      per_stock(market_cap[py::str("market_cap_3")]).attr("mean")().attr("reindex")(whole_pool);
  py::object prices = tarnwick.attr("get_price")(whole_pool, end, end, "1d", "fields"_a = "close",
                                                 "adjust_type"_a = "none", "expect_df"_a = true);
  py::object close = prices[py::str("close")].attr("droplevel")("date").attr("reindex")(whole_pool);
  return {doubles(close), doubles(average)};
}

// ---- the bounds ----

bool no_stock_list(const py::object& stock_list) {
  return stock_list.is_none() || py::len(stock_list) == 0;
}

// Held stocks outside the universe count in the portfolio's value but get no bounds; they are
// named when they would have been constrained (no list, or named in the list).
void warn_unconstrained(Measure measure, const py::list& not_in_pool,
                        const py::object& stock_list) {
  if (not_in_pool.empty()) return;
  py::object named = not_in_pool;
  if (!no_stock_list(stock_list)) {
    named = py::set(not_in_pool).attr("intersection")(py::set(stock_list));
    if (py::len(named) == 0) return;
  }
  core::warn(mod().get("OptimizerWarning"), core::format(texts(measure).outside_pool, named));
}

py::object as_array(const std::vector<double>& values) {
  return py::array_t<double>(static_cast<py::ssize_t>(values.size()), values.data());
}

// Each constrained stock may trade at most `upper` times its average volume (in shares) or
// market value (in money). Around its current position that gives its largest and smallest
// weight in the portfolio's current value; a largest weight of 1 or more and a smallest of 0 or
// less (or NaN, from missing data) leave the default bounds 0 and 1.
py::object transaction_to_constraints(Measure measure, const py::object& self, const py::object& g,
                                      const py::object& zeta, const py::object& helper) {
  py::object holding = self.attr("_current_holding");
  py::object stock_list = self.attr("stock_list");
  py::object universe = helper.attr("order_book_ids");
  py::list not_in_pool = outside(holding.attr("index"), universe);
  warn_unconstrained(measure, not_in_pool, stock_list);

  py::object whole_pool = universe + not_in_pool;
  const std::vector<double> current =
      doubles(holding.attr("reindex")(whole_pool, "fill_value"_a = 0.0).attr("values"));
  py::object start =
      mod()
          .get("tarnwick")
          .attr("get_previous_trading_date")(helper.attr("date"), "n"_a = self.attr("window"));
  py::object end = helper.attr("prev_trading_date");
  const Liquidity data = measure == Measure::kVolume
                             ? volume_liquidity(whole_pool, start, end)
                             : market_value_liquidity(whole_pool, start, end);

  double total_equity = py::object(self.attr("cash")).cast<double>();
  for (std::size_t k = 0; k < current.size(); ++k) total_equity += current[k] * data.close.at(k);

  py::set stocks(no_stock_list(stock_list) ? universe : stock_list);
  const std::size_t n = py::len(universe);
  std::vector<double> lower_bound(n, 0.0);
  std::vector<double> upper_bound(n, 1.0);
  py::object upper = self.attr("upper");
  std::size_t pos = 0;
  for (py::handle id : universe) {
    const std::size_t i = pos++;
    if (!stocks.contains(id)) continue;
    if (upper.is_none()) core::invalid_argument(mod(), texts(measure).no_limit);
    const double limit = upper.cast<double>();
    const double shares = current.at(i);
    const double close = data.close.at(i);
    const double average = data.average.at(i);
    double max_weight;
    double min_weight;
    if (measure == Measure::kVolume) {
      const double max_transaction_volume = limit * average;
      max_weight = (shares + max_transaction_volume) * close / total_equity;
      min_weight = (shares - max_transaction_volume) * close / total_equity;
    } else {
      const double max_transaction_value = average * limit;
      max_weight = (close * shares + max_transaction_value) / total_equity;
      min_weight = (close * shares - max_transaction_value) / total_equity;
    }
    if (max_weight < 1) upper_bound.at(i) = max_weight;
    if (min_weight > 0) lower_bound.at(i) = min_weight;
  }
  py::list result;
  result.append(core::ge(g, zeta * as_array(lower_bound)));
  result.append(core::le(g, zeta * as_array(upper_bound)));
  return result;
}

py::object volume_to_constraints(const py::object& self, const py::object& g,
                                 const py::object& zeta, const py::object& helper) {
  return transaction_to_constraints(Measure::kVolume, self, g, zeta, helper);
}

py::object market_value_to_constraints(const py::object& self, const py::object& g,
                                       const py::object& zeta, const py::object& helper) {
  return transaction_to_constraints(Measure::kMarketValue, self, g, zeta, helper);
}

template <typename Init, typename ToConstraints>
void define_transaction_class(const py::object& base, const char* name, const char* doc, Init init,
                              ToConstraints to_constraints) {
  core::ClassBuilder cls = constraint_class(name, base, doc);
  cls.init(init, py::kw_only(), py::arg("upper_limit") = py::none(),
           py::arg("current_holding") = py::none(), py::arg("cash") = py::none(),
           py::arg("window") = 1, py::arg("stock_list") = py::none(), py::arg("hard") = true);
  finish_constraint(cls, to_constraints);
}

}  // namespace

void define_transactions(const core::Module& /*self*/, const py::object& base) {
  define_transaction_class(base, "TransactionVolumeLimit", kTransactionVolumeDoc, &volume_init,
                           &volume_to_constraints);
  define_transaction_class(base, "TransactionMarketValueLimit", kTransactionMarketValueDoc,
                           &market_value_init, &market_value_to_constraints);
}

}  // namespace morvane::constraints
