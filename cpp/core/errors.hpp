// Raising Python exceptions and issuing warnings from C++.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

#include "core/module.hpp"

namespace morvane::core {

// Raises the exception instance `exc` (sets the Python error and throws error_already_set).
[[noreturn]] void raise(const py::object& exc);

// Raises `exc` as if from inside an `except` block handling `active`: `active` becomes the
// new exception's `__context__`.
[[noreturn]] void raise_in_handler(const py::object& exc, const py::error_already_set& active);

// Python's `template.format(*args)`: placeholders print exactly as Python prints the values.
template <typename... Args>
py::str format(const char* tmpl, Args&&... args) {
  return py::str(tmpl).attr("format")(std::forward<Args>(args)...);
}

// The one function that raises the module's `InvalidArgument`: `message` is the text made from
// `tmpl`, and the exception gains the template's English note (its meaning and the fix), read
// from `morvane.messages` now. With `context`, it is raised as if from inside an `except` block
// handling that error.
[[noreturn]] void raise_invalid_argument(const Module& mod, const char* tmpl,
                                         const py::str& message,
                                         const py::error_already_set* context = nullptr);

// Raises the module's `InvalidArgument` with `template.format(*args)`.
template <typename... Args>
[[noreturn]] void invalid_argument(const Module& mod, const char* tmpl, Args&&... args) {
  raise_invalid_argument(mod, tmpl, format(tmpl, std::forward<Args>(args)...));
}

// Adds `note` to the exception instance `exc`: `exc.add_note(note)` where the interpreter has it
// (3.11 and later), else appended to `exc.__notes__` the same way, so the text is never lost.
void add_note(const py::object& exc, const py::str& note);

// Raises `exc_type()` with no argument (NotImplementedError, AssertionError, ...).
[[noreturn]] void raise_bare(PyObject* exc_type);

// A method body that raises NotImplementedError with no argument, whatever it is given: the
// abstract operations of the base classes.
template <typename... Args>
py::object not_implemented(const Args&... /*args*/) {
  raise_bare(PyExc_NotImplementedError);
}

// False when the interpreter runs with assertions off (`python -O`): an `assert` then evaluates
// nothing.
bool assertions_enabled();

// True when an error fetched into `e` is an instance of Exception (not a KeyboardInterrupt or
// SystemExit, which are never converted).
bool is_exception(const py::error_already_set& e);

// Issues a warning of `category` (None for the default UserWarning) that points at the first
// Python frame outside the morvane package, through the interpreter's normal filters and
// registry. A warning turned into an error by a filter raises it.
void warn(const py::handle& category, const py::str& message);

}  // namespace morvane::core
