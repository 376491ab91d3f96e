#include "core/errors.hpp"

#include <string>
#include <vector>

namespace morvane::core {

void raise(const py::object& exc) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  throw py::error_already_set();
}

void raise_in_handler(const py::object& exc, const py::error_already_set& active) {
  exc.attr("__context__") = active.value();
  raise(exc);
}

void add_note(const py::object& exc, const py::str& note) {
  if (py::hasattr(exc, "add_note")) {
    exc.attr("add_note")(note);
    return;
  }
  py::object notes = py::getattr(exc, "__notes__", py::none());
  if (notes.is_none()) {
    py::list fresh;
    fresh.append(note);
    exc.attr("__notes__") = fresh;
  } else {
    notes.attr("append")(note);
  }
}

namespace {

// The English note of the template, or None. The note is a help beside the error: when it
// cannot be read, the caller still gets the error itself.
py::object english_note(const char* tmpl) {
  try {
    return py::module_::import("morvane.messages").attr("note")(py::str(tmpl));
  } catch (py::error_already_set& e) {
    if (!is_exception(e)) throw;
    return py::none();
  }
}

}  // namespace

void raise_invalid_argument(const Module& mod, const char* tmpl, const py::str& message,
                            const py::error_already_set* context) {
  py::object exc = mod.get("InvalidArgument")(message);
  py::object note = english_note(tmpl);
  if (!note.is_none()) add_note(exc, note);
  if (context != nullptr) raise_in_handler(exc, *context);
  raise(exc);
}

void raise_bare(PyObject* exc_type) {
  py::object exc = py::reinterpret_borrow<py::object>(exc_type)();
  raise(exc);
}

bool assertions_enabled() {
  return py::module_::import("sys").attr("flags").attr("optimize").cast<long>() == 0;
}

bool is_exception(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

namespace {

// Directories of the morvane package, each ending with a path separator.
std::vector<std::string> package_dirs() {
  std::vector<std::string> dirs;
  py::object os_path = py::module_::import("os.path");
  py::object sep = py::module_::import("os").attr("sep");
  py::object package = py::module_::import("morvane");
  for (py::handle entry : package.attr("__path__")) {
    std::string dir = py::str(os_path.attr("realpath")(entry));
    dirs.push_back(dir + std::string(py::str(sep)));
  }
  return dirs;
}

bool in_package(const std::string& filename, const std::vector<std::string>& dirs) {
  for (const auto& dir : dirs) {
    if (filename.compare(0, dir.size(), dir) == 0) return true;
  }
  return false;
}

// 1 + the number of topmost Python frames whose code lives in the package: a C++ function has
// no frame, so level 1 is already the Python code that called into the package.
int caller_stacklevel() {
  static const std::vector<std::string>* dirs = new std::vector<std::string>(package_dirs());
  py::object os_path = py::module_::import("os.path");
  int level = 1;
  py::object frame;
  try {
    frame = py::module_::import("sys").attr("_getframe")(0);
  } catch (py::error_already_set&) {
    return level;  // no Python frame at all: called from C
  }
  while (!frame.is_none()) {
    std::string filename =
        py::str(os_path.attr("realpath")(frame.attr("f_code").attr("co_filename")));
    if (!in_package(filename, *dirs)) break;
    ++level;
    frame = frame.attr("f_back");
  }
  return level;
}

}  // namespace

void warn(const py::handle& category, const py::str& message) {
  PyObject* cat = category.is_none() ? PyExc_UserWarning : category.ptr();
  std::string text = message;
  if (PyErr_WarnEx(cat, text.c_str(), caller_stacklevel()) != 0) throw py::error_already_set();
}

}  // namespace morvane::core
