// Coercion of caller values: pandas Series and numeric bounds.
#pragma once

#include <pybind11/pybind11.h>

#include "core/module.hpp"

namespace morvane::core {

// A pandas Series is returned as it is; anything else goes through `pd.Series(obj)`. A failure
// of that construction becomes InvalidArgument("{name}: 期望传入一个 pd.Series 或可以转换为
// pd.Series 的对象"). Reads `pd` and `InvalidArgument` from `mod`.
py::object ensure_series(const Module& mod, const py::handle& obj, const py::handle& name);

// None stays None; with `keep_float` a float (subclasses included) is returned unchanged;
// anything else is converted with `float(v)`. A ValueError of the conversion becomes
// InvalidArgument(template.format(*fmt_args)); any other error passes through unchanged.
py::object to_float_bound(const Module& mod, const py::handle& v, bool keep_float, const char* tmpl,
                          const py::tuple& fmt_args);

// Python's `isinstance(v, numbers.Number)`.
bool is_number(const py::handle& v);

}  // namespace morvane::core
