// Turning the caller's loose arguments into the exact forms the optimiser works with: enumeration
// members, dates, date strings and the universe of tradeable stocks; and the first stage of a
// call, which checks the objective and the benchmark and builds the call's OptimizeHelper.
#include "core/errors.hpp"
#include "optimize/optimize.hpp"
#include "optimize/stages.hpp"

namespace morvane::optimize {

namespace {

// `template % args` with Python's printf-style formatting.
py::str percent_format(const char* tmpl, const py::tuple& args) {
  return py::str(tmpl).attr("__mod__")(args);
}

}  // namespace

py::object to_enum(const py::object& v, const py::object& enum_type) {
  if (py::isinstance(v, enum_type)) return v;
  for (py::handle item : enum_type.attr("__members__").attr("items")()) {
    auto [name, member] = unpack_pair(item);
    (void)name;  // a member's name is never compared with the value
    if (compare(v, member, Py_EQ) || compare(v, member.attr("value"), Py_EQ)) return member;
  }
  core::invalid_argument(mod(), "invalid value {} for {}", v, enum_type.attr("__name__"));
}

py::object to_date(const py::object& dt) {
  py::object datetime = mod().get("datetime");
  // A datetime is also a date, so it is tested first.
  // A missing date (pandas' NaT is a datetime that equals nothing, itself included) is refused
  // like any other value that is not a date.
  const bool missing = py::isinstance(dt, datetime.attr("date")) && !compare(dt, dt, Py_EQ);
  if (!missing) {
    if (py::isinstance(dt, datetime.attr("datetime"))) return dt.attr("date")();
    if (py::isinstance(dt, datetime.attr("date"))) return dt;
    if (py::isinstance<py::str>(dt)) return mod().get("parse_datetime")(dt).attr("date")();
  }
  py::object type =
      py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(Py_TYPE(dt.ptr())));
  const char* tmpl = "expect a datetime like object, got %r(%r)";
  core::raise_invalid_argument(mod(), tmpl, percent_format(tmpl, py::make_tuple(type, dt)));
}

py::object ensure_date_str(const py::object& date) {
  py::object d = mod().get("to_date")(date);
  return percent_format("%04d-%02d-%02d",
                        py::make_tuple(d.attr("year"), d.attr("month"), d.attr("day")));
}

py::object ensure_order_book_ids(const py::object& order_book_ids, const py::object& date) {
  if (!py::isinstance(order_book_ids, mod().get("Iterable"))) {
    core::invalid_argument(mod(), "order_book_ids 非法");
  }
  py::object date_str = mod().get("ensure_date_str")(date);
  py::object instruments = mod().get("tarnwick").attr("instruments")(order_book_ids);
  if (instruments.is_none()) {
    // The client knows no record of a single id: like an unknown id in a list, it is left out.
    instruments = py::list();
  } else if (!py::isinstance<py::list>(instruments)) {
    py::list single;
    single.append(instruments);
    instruments = single;
  }
  py::object warning = mod().get("OptimizerWarning");
  const py::str not_delisted("0000-00-00");
  py::set result;
  for (py::handle record : instruments) {
    py::object id = record.attr("order_book_id");
    const int seen = PySet_Contains(result.ptr(), id.ptr());
    if (seen < 0) throw py::error_already_set();
    if (seen == 1) {
      core::warn(py::none(), core::format("重复的 order_book_id: {}, 仅保留一个", id));
    } else if (compare(record.attr("type"), py::str("CS"), Py_NE)) {
      core::warn(warning, core::format("{} 不是股票，被剔除", id));
    } else if (compare(record.attr("listed_date"), date_str, Py_GT)) {
      core::warn(warning, core::format("{} 在 {} 尚未上市，被剔除", id, date_str));
    } else if (compare(record.attr("listed_date"), date_str, Py_EQ)) {
      core::warn(warning, core::format("{} 在 {} 当天上市，被剔除", id, date_str));
    } else if (compare(record.attr("de_listed_date"), not_delisted, Py_NE) &&
               compare(record.attr("de_listed_date"), date_str, Py_LE)) {
      core::warn(warning, core::format("{} 在 {} 时已退市，被剔除", id, date_str));
    } else {
      if (PySet_Add(result.ptr(), id.ptr()) != 0) throw py::error_already_set();
    }
  }
  return py::module_::import("builtins").attr("sorted")(result);
}

namespace {

bool is_instance_of_any(const py::handle& obj, std::initializer_list<const char*> class_names) {
  for (const char* name : class_names) {
    if (py::isinstance(obj, mod().get(name))) return true;
  }
  return false;
}

// The benchmark as an OptimizeBenchmark (an index code becomes an IndexBenchmark), or None.
py::object normalise_benchmark(const py::object& objective, const py::object& benchmark_arg) {
  if (benchmark_arg.is_none() &&
      is_instance_of_any(objective, {"MinTrackingError", "ActiveMeanVariance",
                                     "MaxInformationRatio", "MinActiveVariance"})) {
    core::invalid_argument(mod(), "对于目标函数 {}，必须传入 benchmark 参数",
                           objective.attr("__class__").attr("__name__"));
  }
  py::object benchmark = benchmark_arg;
  if (benchmark.is_none()) return benchmark;
  if (py::isinstance<py::str>(benchmark)) benchmark = mod().get("IndexBenchmark")(benchmark);
  if (!py::isinstance(benchmark, mod().get("OptimizeBenchmark"))) {
    core::invalid_argument(mod(),
                           "无效的benchmark：{}；对于指数，可以直接传入对应的order_book_id；"
                           "对于自定义基准，请传入一个 OptimizeBenchmark 的对象",
                           benchmark);
  }
  return benchmark;
}

}  // namespace

Universe normalise_universe(const Arguments& args) {
  Universe universe;
  universe.date = mod().get("to_date")(args.date);
  universe.order_book_ids = mod().get("ensure_order_book_ids")(args.order_book_ids, universe.date);
  universe.size = py::len(universe.order_book_ids);
  if (universe.size == 0) core::invalid_argument(mod(), "经过剔除后，股票池为空");
  return universe;
}

Inputs normalise(const Arguments& args, Universe universe) {
  if (!py::isinstance(args.objective, mod().get("OptimizationObjective"))) {
    core::invalid_argument(mod(), "非法的目标函数");
  }
  py::object benchmark = normalise_benchmark(args.objective, args.benchmark);
  py::object cov_model = mod().get("to_enum")(args.cov_model, mod().get("CovModel"));
  py::object risk_model = mod().get("to_enum")(args.risk_model, mod().get("RiskModel"));
  Inputs inputs;
  inputs.helper = mod().get("OptimizeHelper")(universe.order_book_ids, universe.date, benchmark,
                                              cov_model, risk_model, args.factor_risk_aversion,
                                              args.specific_risk_aversion);
  inputs.universe = std::move(universe);
  inputs.objective = args.objective;
  inputs.bnds = args.bnds;
  inputs.cons = args.cons;
  inputs.solver = args.solver;
  inputs.solver_options = args.solver_options;
  return inputs;
}

}  // namespace morvane::optimize
