// Python operators whose result is an object, not a C++ bool: cvxpy builds constraints from
// comparisons and expressions from `@` and `**`, exactly as the Python operators would.
#pragma once

#include <pybind11/pybind11.h>

namespace morvane::core {

namespace py = pybind11;

inline py::object steal_or_throw(PyObject* result) {
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// Python's `bool(value)`; an error of `__bool__`/`__len__` propagates.
inline bool truth(const py::handle& value) {
  const int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw py::error_already_set();
  return result != 0;
}

// Python's `a <op> b` used as a condition (op: Py_LT, Py_EQ, ...); errors of the comparison or of
// the truth test propagate.
// (PyObject_RichCompare, not its Bool variant: `x == x` is False for a NaN, as in Python).
inline bool compare(const py::handle& a, const py::handle& b, int op) {
  PyObject* result = PyObject_RichCompare(a.ptr(), b.ptr(), op);
  if (result == nullptr) throw py::error_already_set();
  return truth(py::reinterpret_steal<py::object>(result));
}

// a <= b, a >= b, a > b, a == b (PyObject_RichCompare, so reflected operands work as in Python)
inline py::object le(const py::handle& a, const py::handle& b) {
  return steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), Py_LE));
}
inline py::object ge(const py::handle& a, const py::handle& b) {
  return steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), Py_GE));
}
inline py::object gt(const py::handle& a, const py::handle& b) {
  return steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), Py_GT));
}
inline py::object eq(const py::handle& a, const py::handle& b) {
  return steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
}
// a @ b
inline py::object matmul(const py::handle& a, const py::handle& b) {
  return steal_or_throw(PyNumber_MatrixMultiply(a.ptr(), b.ptr()));
}
// a ** b
inline py::object power(const py::handle& a, const py::handle& b) {
  return steal_or_throw(PyNumber_Power(a.ptr(), b.ptr(), Py_None));
}

}  // namespace morvane::core
