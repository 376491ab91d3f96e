#include "core/series.hpp"

#include "core/errors.hpp"

namespace morvane::core {

py::object ensure_series(const Module& mod, const py::handle& obj, const py::handle& name) {
  py::object series_type = mod.get("pd").attr("Series");
  if (py::isinstance(obj, series_type)) return py::reinterpret_borrow<py::object>(obj);
  try {
    return series_type(obj);
  } catch (py::error_already_set& e) {
    if (!is_exception(e)) throw;
  }
  invalid_argument(mod, "{}: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象", name);
}

py::object to_float_bound(const Module& mod, const py::handle& v, bool keep_float, const char* tmpl,
                          const py::tuple& fmt_args) {
  if (v.is_none()) return py::none();
  if (keep_float && PyFloat_Check(v.ptr())) return py::reinterpret_borrow<py::object>(v);
  try {
    return py::module_::import("builtins").attr("float")(v);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;
  }
  raise_invalid_argument(mod, tmpl, py::str(tmpl).attr("format")(*fmt_args));
}

bool is_number(const py::handle& v) {
  static py::handle number = py::object(py::module_::import("numbers").attr("Number")).release();
  return py::isinstance(v, number);
}

}  // namespace morvane::core
