// morvane.benchmark: what a benchmark is for the optimiser (weights on a date, expected return),
// and the ready-made benchmark of a market index backed by the data client.
#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "core/classbuilder.hpp"
#include "core/errors.hpp"
#include "core/function.hpp"
#include "core/module.hpp"
#include "core/ops.hpp"
#include "core/returns.hpp"

namespace py = pybind11;
namespace core = morvane::core;

namespace {

const core::Module& mod() { return core::this_module(); }

constexpr const char* kGetWeightDoc = R"(
        获取 date 日期的持仓权重。此函数必需实现。

        :param date: datetime.date
        :return: pd.Series, index 为order_book_id
        )";

constexpr const char* kGetExpectedReturnsDoc = R"(
        获得 date 日期的年化期望收益。
        仅当使用 :class:`MaxInformationRatio` / :class:`ActiveMeanVariance` 目标函数，
        且不指定 `expected_active_returns` 时需要实现此函数

        :param date: datetime.date
        :param window: 回溯窗口大小
        :return: float
        )";

// `abstractmethod(<C++ function>)`, a method of OptimizeBenchmark.
template <typename F, typename... Extra>
py::object abstract_method(const char* name, F&& f, const Extra&... extra) {
  py::object method = core::function(mod(), std::string("OptimizeBenchmark.") + name, core::kMethod,
                                     std::forward<F>(f), extra...);
  return mod().get("abstractmethod")(method);
}

void index_init(const py::object& self, const py::object& order_book_id) {
  py::object instrument = mod().get("tarnwick").attr("instruments")(order_book_id);
  if (instrument.is_none()) core::invalid_argument(mod(), "无效的 benchmark: {}", order_book_id);
  py::object type = instrument.attr("type");
  if (core::compare(type, py::str("INDX"), Py_NE)) {
    core::invalid_argument(mod(), "仅支持指数类型的 benchmark, 传入的 benchmark 是 {} 类型", type);
  }
  core::set_attr(self, "_order_book_id", order_book_id);
}

// Python's `getattr(obj, name, None)`: only an AttributeError means "absent"; any other error of
// the lookup propagates.
py::object attr_or_none(const py::handle& obj, const char* name) {
  PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
  if (value != nullptr) return py::reinterpret_steal<py::object>(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
  PyErr_Clear();
  return py::none();
}

py::object index_get_weight(const py::object& self, const py::object& date) {
  py::object tarnwick = mod().get("tarnwick");
  py::object code = self.attr("_order_book_id");
  py::object weights_ex = attr_or_none(tarnwick, "index_weights_ex");
  if (!weights_ex.is_none()) {
    py::object weight = py::none();
    try {
      weight = weights_ex(code, date);
    } catch (py::error_already_set& e) {
      if (!core::is_exception(e)) throw;
    }
    if (!weight.is_none()) return weight;
  }
  return tarnwick.attr("index_weights")(code, date);
}

py::object index_get_expected_returns(const py::object& self, const py::object& date,
                                      const py::object& window) {
  py::object tarnwick = mod().get("tarnwick");
  py::object code = self.attr("_order_book_id");
  py::object start_date = tarnwick.attr("trading_date_offset")(date, -window);
  py::object means = core::mean_daily_returns(tarnwick, code, start_date, date);
  return py::object(means[code]) * py::int_(252);
}

}  // namespace

PYBIND11_MODULE(benchmark, m) {
  const core::Module& self = core::register_module(m);
  self.import_from("abc", "abstractmethod");
  self.import_as("tarnwick", "tarnwick");
  self.import_from("morvane.exception", "InvalidArgument");

  py::object type = py::module_::import("builtins").attr("type");
  py::object base =
      core::ClassBuilder(self, "OptimizeBenchmark", type, py::tuple(), "自定义基准抽象类")
          .attr("get_weight",
                abstract_method("get_weight", &core::not_implemented<py::object, py::object>,
                                py::arg("date"), py::doc(kGetWeightDoc)))
          .attr("get_expected_returns",
                abstract_method("get_expected_returns",
                                &core::not_implemented<py::object, py::object, py::object>,
                                py::arg("date"), py::arg("window") = 252,
                                py::doc(kGetExpectedReturnsDoc)))
          .finish();

  core::ClassBuilder(self, "IndexBenchmark", type, py::make_tuple(base))
      .init(&index_init, py::arg("order_book_id"))
      .method("get_weight", &index_get_weight, py::arg("date"))
      .method("get_expected_returns", &index_get_expected_returns, py::arg("date"),
              py::arg("window") = 252)
      .finish();
}
