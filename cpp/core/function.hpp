// Functions with C++ bodies that behave, seen from Python, like functions written in Python.
//
//   core::def(self, "ensure_series", &ensure_series, py::arg("obj"), py::arg("name"));
//   core::function(mod, "MeanVariance.__init__", core::kMethod, &init, py::arg("expected_returns")
//   =
//                  py::none(), py::kw_only(), py::arg("window") = 252);
//
// The annotations are the ones pybind11 takes (`py::arg`, `py::arg(...) = default`,
// `py::kw_only()`, `py::doc`) plus `core::var_keyword("name")` for a body whose last parameter
// is `py::kwargs`. From them the function gets:
//
// - Python's binding of a call: positional and keyword arguments, defaults, keyword-only
//   parameters, `**name`; a wrong call raises the interpreter's own TypeError, worded as the
//   interpreter words it for a `def` ("MeanVariance.__init__() got an unexpected keyword argument
//   'x'", "... missing 1 required positional argument: 'date'", "... takes from 1 to 3
//   positional arguments but 5 were given").
// - `inspect.signature`: `__signature__` is an `inspect.Signature` of the same parameters (a
//   class built by the class builder reports its `__init__`'s without `self`).
// - `__name__`, `__qualname__`, `__module__`, `__doc__` exactly as given, pickling by qualified
//   name, binding to an instance when it is a class attribute (a method), and attributes of its
//   own (`abstractmethod` marks it).
//
// The body is a plain pybind11 function; it receives every parameter positionally, in declared
// order, defaults filled in, and the extra keywords of `**name`.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>
#include <vector>

#include "core/module.hpp"

namespace morvane::core {

namespace py = pybind11;

// `**name` for a body whose last parameter is `py::kwargs`.
struct var_keyword {
  explicit var_keyword(const char* name) : name(name) {}
  const char* name;
};

enum class ParameterKind { kPositional, kKeywordOnly, kVarKeyword };

struct Parameter {
  explicit Parameter(std::string name, ParameterKind kind = ParameterKind::kPositional,
                     py::object default_value = py::object())
      : name(std::move(name)), kind(kind), default_value(std::move(default_value)) {}

  std::string name;
  ParameterKind kind;
  py::object default_value;  // empty when the parameter is required
};

// The parameter list of one function, as a `def` would declare it.
class Signature {
 public:
  // Refuses (std::logic_error, at import) a list no `def` could declare.
  Signature(std::string qualname, std::vector<Parameter> parameters);

  struct Bound {
    py::tuple values;  // every positional and keyword-only parameter, in declared order
    py::dict extra;    // the keywords collected by `**name`
  };
  // Binds a call's arguments by the interpreter's rules, raising its TypeError when they do not
  // fit.
  Bound bind(const py::tuple& args, const py::dict& kwargs) const;

  // The same parameters as an `inspect.Signature`.
  py::object to_inspect() const;

  const std::string& qualname() const { return qualname_; }

 private:
  [[noreturn]] void type_error(const std::string& message) const;
  std::size_t keyword_slot(const std::string& name) const;
  void check_positional_count(std::size_t given, const std::vector<py::object>& slots) const;
  void fill_defaults(std::size_t given, std::vector<py::object>& slots) const;
  [[noreturn]] void missing(const std::vector<std::string>& names, const char* kind) const;

  std::string qualname_;
  std::vector<Parameter> parameters_;
  std::size_t positional_ = 0;  // the leading parameters that may be passed positionally
  std::size_t defaulted_ = 0;   // how many of those have a default
  bool var_keyword_ = false;
};

// Whether the function is a method: its body's first parameter is `self`, which takes no
// annotation.
enum FunctionKind : bool { kPlain = false, kMethod = true };

namespace detail {

struct Declaration {
  std::vector<Parameter> parameters;
  ParameterKind kind = ParameterKind::kPositional;
  const char* doc = nullptr;
};

inline void declare(Declaration& d, const py::arg_v& a) {
  d.parameters.emplace_back(a.name, d.kind, a.value);
}
inline void declare(Declaration& d, const py::arg& a) { d.parameters.emplace_back(a.name, d.kind); }
inline void declare(Declaration& d, const py::kw_only&) { d.kind = ParameterKind::kKeywordOnly; }
inline void declare(Declaration& d, const py::doc& doc) { d.doc = doc.value; }
inline void declare(Declaration& d, const var_keyword& v) {
  d.parameters.emplace_back(v.name, ParameterKind::kVarKeyword);
}

// The Python object over a body and its signature.
py::object make_function(const Module& mod, Signature signature, py::object body, const char* doc);

}  // namespace detail

// A Python-like function named `qualname` ("name", or "Class.name" for a method) of module `mod`.
template <typename F, typename... Extra>
py::object function(const Module& mod, const std::string& qualname, FunctionKind kind, F&& body,
                    const Extra&... extra) {
  detail::Declaration d;
  if (kind == kMethod) d.parameters.emplace_back("self");
  (detail::declare(d, extra), ...);
  py::cpp_function cpp(std::forward<F>(body), py::name(qualname.c_str()));
  return detail::make_function(mod, Signature(qualname, std::move(d.parameters)), std::move(cpp),
                               d.doc);
}

// `function(...)` bound as the module attribute `name`.
template <typename F, typename... Extra>
void def(const Module& mod, const char* name, F&& body, const Extra&... extra) {
  mod.bind(name, function(mod, name, kPlain, std::forward<F>(body), extra...));
}

}  // namespace morvane::core
