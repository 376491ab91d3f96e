// Builds real Python classes whose `__init__`, methods and properties are C++ functions.
//
//   ClassBuilder(mod, "TurnoverLimit", mod.get("ABCMeta"), {base}, doc)
//       .init(&turnover_init, py::arg("current_holding"), py::arg("upper_limit"), py::kw_only(),
//             py::arg("hard") = true)
//       .method("to_constraints", &turnover_to_constraints, py::arg("g"), py::arg("zeta"),
//               py::arg("helper"))
//       .property("hard", &read_hard)
//       .finish();
//
// The class is created by calling the metaclass, so it has exactly that metaclass, an ordinary
// `__dict__` for its instances, `__module__`/`__qualname__` for pickling, and a Python subclass
// may define its own `__init__` without calling ours. The C++ callables take `self` as their first
// parameter, which gets no `py::arg`. Each `__init__`, method and property getter is a
// Python-like function (core/function.hpp): Python's binding rules and TypeErrors naming
// `Class.method`, `inspect.signature`, docstrings exactly as given.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "core/function.hpp"
#include "core/module.hpp"

namespace morvane::core {

class ClassBuilder {
 public:
  ClassBuilder(const Module& mod, const char* name, const py::object& metaclass,
               const py::tuple& bases = py::tuple(), const char* doc = nullptr);

  template <typename F, typename... Extra>
  ClassBuilder& init(F&& f, const Extra&... extra) {
    return attach("__init__", function("__init__", std::forward<F>(f), extra...));
  }

  template <typename F, typename... Extra>
  ClassBuilder& method(const char* name, F&& f, const Extra&... extra) {
    return attach(name, function(name, std::forward<F>(f), extra...));
  }

  // A read-only property (builtin `property` with a getter and no setter).
  template <typename F>
  ClassBuilder& property(const char* name, F&& getter, const char* doc = nullptr) {
    py::object fget = doc != nullptr ? function(name, std::forward<F>(getter), py::doc(doc))
                                     : function(name, std::forward<F>(getter));
    return attach(name, py::module_::import("builtins").attr("property")(fget));
  }

  ClassBuilder& attr(const char* name, const py::object& value) { return attach(name, value); }

  // Binds the class as a module attribute and returns it.
  py::object finish();

  const py::object& cls() const { return cls_; }

 private:
  template <typename F, typename... Extra>
  py::object function(const char* name, F&& f, const Extra&... extra) {
    return core::function(mod_, name_ + "." + name, kMethod, std::forward<F>(f), extra...);
  }

  ClassBuilder& attach(const char* name, const py::object& value);

  const Module& mod_;
  std::string name_;
  py::object cls_;
};

// `self.attr(name) = value`, the instance state of every built class.
inline void set_attr(const py::handle& self, const char* name, const py::handle& value) {
  self.attr(name) = value;
}

}  // namespace morvane::core
