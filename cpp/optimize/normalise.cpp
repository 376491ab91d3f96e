// Turning the caller's loose arguments into the exact forms the optimiser works with: enumeration
// members, dates, date strings and the universe of tradeable stocks.
#include "core/errors.hpp"
#include "optimize/optimize.hpp"

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
  core::raise(mod().get("InvalidArgument")(
      percent_format("expect a datetime like object, got %r(%r)", py::make_tuple(type, dt))));
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

}  // namespace morvane::optimize
