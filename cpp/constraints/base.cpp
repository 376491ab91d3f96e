// The constraint base class and the module functions every constraint family uses: bound
// validation, Series coercion and the resolution of bounds given relative to the benchmark.
#include <pybind11/pybind11.h>

#include "constraints/constraints.hpp"
#include "core/classbuilder.hpp"
#include "core/describe.hpp"
#include "core/errors.hpp"
#include "core/function.hpp"
#include "core/series.hpp"

namespace morvane::constraints {

namespace {

constexpr const char* kBadRelativeFormat = "约束的上下界格式不正确: {}";

py::object ensure_series(const py::object& obj, const py::object& name) {
  return core::ensure_series(mod(), obj, name);
}

// A signed percentage such as '-5%' or '+5%' scales the benchmark's value. Only the first and
// the last character are inspected; the text between them is left to float(), whose ValueError
// reaches the caller unchanged. The empty string has no sign and is refused like any other
// string without one.
py::object scale_by_percentage(const py::object& benchmark, const py::object& deviation) {
  if (py::len(deviation) == 0) core::invalid_argument(mod(), kBadRelativeFormat, deviation);
  py::object first = deviation[py::int_(0)];
  py::object last = deviation[py::int_(-1)];
  const bool negative = first.equal(py::str("-"));
  if ((!negative && !first.equal(py::str("+"))) || !last.equal(py::str("%"))) {
    core::invalid_argument(mod(), kBadRelativeFormat, deviation);
  }
  py::object value = to_float(deviation[py::slice(1, -1, 1)]);
  if (negative) value = -value;
  return benchmark * (py::int_(1) + value / py::int_(100));
}

}  // namespace

py::object get_deviation_value(const py::object& benchmark, const py::object& deviation) {
  if (deviation.is_none()) return py::none();
  if (core::is_number(deviation)) return to_float(benchmark + deviation);
  if (py::isinstance<py::str>(deviation)) return scale_by_percentage(benchmark, deviation);
  core::invalid_argument(mod(), "约束指定的上限或下限 {} 非法", deviation);
}

py::object to_float(const py::handle& v) {
  return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyFloat_Type))(v);
}

py::object ensure_bound(const py::handle& v, const py::handle& label) {
  return core::to_float_bound(mod(), v, true, "约束的上限或下限非法: {} = {}",
                              py::make_tuple(label, v));
}

void require_a_bound(const BoundLabels& labels, const py::object& lower_limit,
                     const py::object& upper_limit) {
  if (lower_limit.is_none() && upper_limit.is_none()) core::invalid_argument(mod(), labels.missing);
}

void store_float_bounds(const py::object& self, const BoundLabels& labels,
                        const py::object& lower_limit, const py::object& upper_limit) {
  core::set_attr(self, "lower", ensure_bound(lower_limit, py::str(labels.lower)));
  core::set_attr(self, "upper", ensure_bound(upper_limit, py::str(labels.upper)));
}

bool effective_lower(const py::object& lower) {
  return !lower.is_none() && compare(lower, py::int_(0), Py_GT);
}

bool effective_upper(const py::object& upper) {
  return !upper.is_none() && compare(upper, py::int_(1), Py_LT);
}

void store_relative_bounds(const py::object& self, const BoundLabels& labels,
                           const py::object& lower_limit, const py::object& upper_limit,
                           const py::object& relative) {
  core::set_attr(self, "relative", relative);
  if (!truth(relative)) {
    store_float_bounds(self, labels, lower_limit, upper_limit);
  } else {
    core::set_attr(self, "lower", lower_limit);
    core::set_attr(self, "upper", upper_limit);
  }
}

py::object as_names(const py::object& names) {
  if (!py::isinstance<py::str>(names)) return names;
  py::list single;
  single.append(names);
  return single;
}

py::list names_list(const py::object& names) {
  if (names.is_none()) return py::list();
  if (py::isinstance<py::str>(names)) return as_names(names);
  return py::list(names);
}

py::list outside(const py::handle& ids, const py::handle& universe) {
  py::set pool(py::reinterpret_borrow<py::object>(universe));
  py::list result;
  for (py::handle id : ids) {
    if (!pool.contains(id)) result.append(id);
  }
  return result;
}

py::object read_hard(const py::object& self) { return self.attr("_hard"); }

core::ClassBuilder constraint_class(const char* name, const py::object& base, const char* doc) {
  return core::ClassBuilder(mod(), name, mod().get("ABCMeta"), py::make_tuple(base), doc);
}

py::object define_base(const core::Module& self) {
  py::object base =
      core::ClassBuilder(self, "OptimizationConstraint", self.get("ABCMeta"), py::tuple())
          .method("to_constraints",
                  &core::not_implemented<py::object, py::object, py::object, py::object>,
                  py::arg("g"), py::arg("zeta"), py::arg("helper"))
          .property("hard", &core::not_implemented<py::object>)
          .method("__repr__", &core::readable_repr)
          .finish();

  // Small module functions carry no docstring, as in a Python module.
  core::def(
      self, "_ensure_bound",
      [](const py::object& v, const py::object& label) { return ensure_bound(v, label); },
      py::arg("v"), py::arg("label"));
  core::def(self, "ensure_series", &ensure_series, py::arg("obj"), py::arg("name"));
  core::def(self, "get_deviation_value", &get_deviation_value, py::arg("benchmark"),
            py::arg("deviation"));
  return base;
}

}  // namespace morvane::constraints
