// Per-stock weight bounds: the caller's `bnds` dictionary turned into one lower and one upper
// bound per stock of the universe, in the universe's order.
#include "core/errors.hpp"
#include "core/series.hpp"
#include "optimize/optimize.hpp"

namespace morvane::optimize {

namespace {

// The next item of `iterator`, or a null object when it is exhausted.
py::object next_item(const py::handle& iterator) {
  PyObject* item = PyIter_Next(iterator.ptr());
  if (item == nullptr) {
    if (PyErr_Occurred() != nullptr) throw py::error_already_set();
    return py::object();
  }
  return py::reinterpret_steal<py::object>(item);
}

[[noreturn]] void raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  throw py::error_already_set();
}

// One stock's own (lower, upper) pair, checked and with None replaced by the widest bound.
std::pair<py::object, py::object> stock_bounds(const py::object& order_book_id,
                                               const py::object& pair) {
  auto [lower, upper] = unpack_pair(pair);
  if (lower.is_none()) lower = py::int_(0);
  if (upper.is_none()) upper = py::int_(1);
  const py::int_ zero(0);
  const py::int_ one(1);
  if (compare(lower, zero, Py_LT) || compare(lower, one, Py_GT)) {
    core::invalid_argument(mod(), "合约 {} 的下限 {} 无效", order_book_id, lower);
  }
  if (compare(upper, zero, Py_LT) || compare(upper, one, Py_GT)) {
    core::invalid_argument(mod(), "合约 {} 的上限 {} 无效", order_book_id, upper);
  }
  if (compare(upper, lower, Py_LT)) {
    core::invalid_argument(mod(), "合约 {} 的上限 {} 小于下限 {}", order_book_id, upper, lower);
  }
  return {lower, upper};
}

}  // namespace

std::pair<py::object, py::object> unpack_pair(const py::handle& value) {
  PyObject* iterator = PyObject_GetIter(value.ptr());
  if (iterator == nullptr) {
    PyTypeObject* type = Py_TYPE(value.ptr());
    if (PyErr_ExceptionMatches(PyExc_TypeError) && type->tp_iter == nullptr &&
        PySequence_Check(value.ptr()) == 0) {
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type->tp_name);
    }
    throw py::error_already_set();
  }
  py::object it = py::reinterpret_steal<py::object>(iterator);
  py::object first = next_item(it);
  if (!first) raise_value_error("not enough values to unpack (expected 2, got 0)");
  py::object second = next_item(it);
  if (!second) raise_value_error("not enough values to unpack (expected 2, got 1)");
  if (next_item(it)) raise_value_error("too many values to unpack (expected 2)");
  return {first, second};
}

py::object ensure_bound(const py::object& v) {
  return core::to_float_bound(mod(), v, false, "约束的上限或下限非法: {}", py::make_tuple(v));
}

py::tuple parse_bnds(const py::object& bnds, const py::object& order_book_ids) {
  if (!py::isinstance<py::dict>(bnds)) {
    core::invalid_argument(
        mod(), "bnds 应该是一个类似 dict 的结构，key 为order_book_id, value 为 (lower, upper)");
  }
  py::object to_float = py::module_::import("builtins").attr("float");
  auto [star_lower, star_upper] =
      unpack_pair(bnds.attr("get")(py::str("*"), py::make_tuple(0.0, 1.0)));
  py::object lower = to_float(star_lower);
  py::object upper = to_float(star_upper);

  py::object np = mod().get("np");
  const py::ssize_t n = py::len(order_book_ids);
  py::object lower_bounds = np.attr("repeat")(lower, n);
  py::object upper_bounds = np.attr("repeat")(upper, n);

  py::ssize_t i = 0;
  for (py::handle id : order_book_ids) {
    py::object order_book_id = py::reinterpret_borrow<py::object>(id);
    try {
      auto [l, u] = stock_bounds(order_book_id, bnds[order_book_id]);
      lower_bounds[py::int_(i)] = l;
      upper_bounds[py::int_(i)] = u;
    } catch (py::error_already_set& e) {
      // A stock without its own key keeps the "*" pair; a value that does not unpack, or a
      // bound that does not compare with numbers, is a malformed entry.
      if (e.matches(PyExc_KeyError)) {
        ++i;
        continue;
      }
      if (e.matches(PyExc_TypeError)) {
        const char* malformed = "上下限应该以 (lower, upper) 的形式指定";
        core::raise_invalid_argument(mod(), malformed, py::str(malformed), &e);
      }
      throw;
    }
    ++i;
  }
  if (compare(lower_bounds.attr("sum")(), py::int_(1), Py_GT))
    core::invalid_argument(mod(), "下限之和大于1");
  if (compare(upper_bounds.attr("sum")(), py::int_(1), Py_LT))
    core::invalid_argument(mod(), "上限之和小于1");
  return py::make_tuple(lower_bounds, upper_bounds);
}

}  // namespace morvane::optimize
