#include "core/describe.hpp"

#include <string>

namespace morvane::core {

namespace {

// One stored value: a sized array-like object by its type and length, anything else by a repr
// shortened the way the standard library's `reprlib` shortens long containers and strings.
std::string describe_value(const py::handle& value, const py::object& shortener) {
  if (py::hasattr(value, "shape") && py::hasattr(value, "__len__")) {
    std::string type_name = py::str(py::type::handle_of(value).attr("__name__"));
    return "<" + type_name + " of " + std::to_string(py::len(value)) + ">";
  }
  return py::str(shortener.attr("repr")(value));
}

}  // namespace

py::str readable_repr(const py::object& self) {
  py::object shortener = py::module_::import("reprlib").attr("Repr")();
  shortener.attr("maxlist") = 10;
  shortener.attr("maxstring") = 60;
  shortener.attr("maxother") = 80;
  std::string text = py::str(py::type::handle_of(self).attr("__name__"));
  text += "(";
  bool first = true;
  py::object state = py::getattr(self, "__dict__", py::dict());
  if (py::isinstance<py::dict>(state)) {
    for (auto item : py::reinterpret_borrow<py::dict>(state)) {
      std::string name = py::str(item.first);
      if (!name.empty() && name[0] == '_') name.erase(0, 1);
      if (!first) text += ", ";
      first = false;
      text += name + "=" + describe_value(item.second, shortener);
    }
  }
  text += ")";
  return py::str(text);
}

}  // namespace morvane::core
