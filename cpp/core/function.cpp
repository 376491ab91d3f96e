#include "core/function.hpp"

#include <stdexcept>

namespace morvane::core {

namespace {

constexpr std::size_t kNoSlot = static_cast<std::size_t>(-1);

std::string plural(std::size_t count) { return count == 1 ? "" : "s"; }

// The interpreter's list of missing names: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string name_list(const std::vector<std::string>& names) {
  auto quoted = [](const std::string& name) { return "'" + name + "'"; };
  const std::size_t n = names.size();
  if (n == 1) return quoted(names[0]);
  if (n == 2) return quoted(names[0]) + " and " + quoted(names[1]);
  std::string text;
  for (std::size_t i = 0; i + 2 < n; ++i) text += quoted(names[i]) + ", ";
  return text + quoted(names[n - 2]) + ", and " + quoted(names[n - 1]);
}

}  // namespace

Signature::Signature(std::string qualname, std::vector<Parameter> parameters)
    : qualname_(std::move(qualname)), parameters_(std::move(parameters)) {
  ParameterKind previous = ParameterKind::kPositional;
  for (std::size_t i = 0; i < parameters_.size(); ++i) {
    const Parameter& p = parameters_[i];
    if (p.kind < previous || var_keyword_) {
      throw std::logic_error(qualname_ + ": parameter " + p.name + " is out of order");
    }
    for (std::size_t j = 0; j < i; ++j) {
      if (parameters_[j].name == p.name) {
        throw std::logic_error(qualname_ + ": parameter " + p.name + " is declared twice");
      }
    }
    previous = p.kind;
    if (p.kind == ParameterKind::kVarKeyword) {
      var_keyword_ = true;
    } else if (p.kind == ParameterKind::kPositional) {
      ++positional_;
      if (p.default_value) {
        ++defaulted_;
      } else if (defaulted_ > 0) {
        throw std::logic_error(qualname_ + ": parameter " + p.name + " without a default follows " +
                               "one with a default");
      }
    }
  }
}

void Signature::type_error(const std::string& message) const {
  PyErr_SetString(PyExc_TypeError, (qualname_ + "() " + message).c_str());
  throw py::error_already_set();
}

std::size_t Signature::keyword_slot(const std::string& name) const {
  for (std::size_t i = 0; i < parameters_.size(); ++i) {
    const Parameter& p = parameters_[i];
    if (p.kind != ParameterKind::kVarKeyword && p.name == name) return i;
  }
  return kNoSlot;
}

void Signature::missing(const std::vector<std::string>& names, const char* kind) const {
  type_error("missing " + std::to_string(names.size()) + " required " + kind + " argument" +
             plural(names.size()) + ": " + name_list(names));
}

// "takes from 1 to 3 positional arguments but 5 were given", counted as the interpreter counts.
void Signature::check_positional_count(std::size_t given,
                                       const std::vector<py::object>& slots) const {
  if (given <= positional_) return;
  std::size_t keyword_only_given = 0;
  for (std::size_t i = positional_; i < slots.size(); ++i) keyword_only_given += slots[i] ? 1 : 0;
  const std::string accepted = defaulted_ > 0 ? "from " + std::to_string(positional_ - defaulted_) +
                                                    " to " + std::to_string(positional_)
                                              : std::to_string(positional_);
  const bool several = defaulted_ > 0 || positional_ != 1;
  std::string given_text = std::to_string(given);
  if (keyword_only_given > 0) {
    given_text += " positional argument" + plural(given) + " (and " +
                  std::to_string(keyword_only_given) + " keyword-only argument" +
                  plural(keyword_only_given) + ")";
  }
  const char* verb = given == 1 && keyword_only_given == 0 ? "was" : "were";
  type_error("takes " + accepted + " positional argument" + (several ? "s" : "") + " but " +
             given_text + " " + verb + " given");
}

void Signature::fill_defaults(std::size_t given, std::vector<py::object>& slots) const {
  std::vector<std::string> absent;
  for (std::size_t i = 0; i < positional_ - defaulted_; ++i) {
    if (!slots[i]) absent.push_back(parameters_[i].name);
  }
  if (given < positional_ && !absent.empty()) missing(absent, "positional");
  absent.clear();
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (slots[i]) continue;
    if (parameters_[i].default_value) {
      slots[i] = parameters_[i].default_value;
    } else {
      absent.push_back(parameters_[i].name);
    }
  }
  if (!absent.empty()) missing(absent, "keyword-only");
}

Signature::Bound Signature::bind(const py::tuple& args, const py::dict& kwargs) const {
  const std::size_t given = args.size();
  std::vector<py::object> slots(parameters_.size() - (var_keyword_ ? 1 : 0));
  for (std::size_t i = 0; i < given && i < positional_; ++i) slots[i] = args[i];
  Bound bound;
  for (auto item : kwargs) {
    if (!PyUnicode_Check(item.first.ptr())) type_error("keywords must be strings");
    const std::string name = py::str(item.first);
    const std::size_t slot = keyword_slot(name);
    if (slot == kNoSlot) {
      if (!var_keyword_) type_error("got an unexpected keyword argument '" + name + "'");
      bound.extra[item.first] = item.second;
    } else if (slots[slot]) {
      type_error("got multiple values for argument '" + name + "'");
    } else {
      slots[slot] = py::reinterpret_borrow<py::object>(item.second);
    }
  }
  check_positional_count(given, slots);
  fill_defaults(given, slots);
  bound.values = py::tuple(slots.size());
  for (std::size_t i = 0; i < slots.size(); ++i) bound.values[i] = slots[i];
  return bound;
}

py::object Signature::to_inspect() const {
  py::object inspect = py::module_::import("inspect");
  py::object parameter = inspect.attr("Parameter");
  py::list parameters;
  for (const Parameter& p : parameters_) {
    const char* kind = p.kind == ParameterKind::kPositional    ? "POSITIONAL_OR_KEYWORD"
                       : p.kind == ParameterKind::kKeywordOnly ? "KEYWORD_ONLY"
                                                               : "VAR_KEYWORD";
    py::object k = parameter.attr(kind);
    parameters.append(p.default_value ? parameter(p.name, k, py::arg("default") = p.default_value)
                                      : parameter(p.name, k));
  }
  return inspect.attr("Signature")(parameters);
}

namespace detail {

namespace {

struct Binding {
  Signature signature;
  py::object body;
};

const Binding& binding_of(const py::handle& function) {
  py::object capsule = function.attr("__dict__")["_binding"];
  return *static_cast<const Binding*>(py::reinterpret_borrow<py::capsule>(capsule).get_pointer());
}

py::object call(const py::object& self, const py::args& args, const py::kwargs& kwargs) {
  const Binding& binding = binding_of(self);
  Signature::Bound bound = binding.signature.bind(args, kwargs);
  return binding.body(*bound.values, **bound.extra);
}

// A function is a non-data descriptor, as Python's are: read from an instance it is a bound
// method, read from the class it is itself.
py::object get(const py::object& self, const py::object& instance, const py::object& /*owner*/) {
  if (instance.is_none()) return self;
  return py::module_::import("types").attr("MethodType")(self, instance);
}

py::object repr(const py::object& self) {
  return py::str("<function {}>").attr("format")(self.attr("__qualname__"));
}

// Pickled by reference: the qualified name, looked up in `__module__` when loaded.
py::object reduce(const py::object& self) { return self.attr("__qualname__"); }

// The class of every such function of one extension module, created once; leaked like the
// module registration, since modules are never unloaded.
const py::object& function_type(const Module& mod) {
  static const py::object* type = [&] {
    py::dict ns;
    ns["__module__"] = mod.name();
    ns["__qualname__"] = py::str("function");
    ns["__doc__"] = py::str("A function of the package whose body is C++.");
    py::object cls =
        py::module_::import("builtins").attr("type")(py::str("function"), py::tuple(), ns);
    cls.attr("__call__") = py::cpp_function(&call, py::name("__call__"), py::is_method(cls));
    cls.attr("__get__") = py::cpp_function(&get, py::name("__get__"), py::is_method(cls),
                                           py::arg("instance"), py::arg("owner") = py::none());
    cls.attr("__repr__") = py::cpp_function(&repr, py::name("__repr__"), py::is_method(cls));
    cls.attr("__reduce__") = py::cpp_function(&reduce, py::name("__reduce__"), py::is_method(cls));
    return new py::object(std::move(cls));
  }();
  return *type;
}

}  // namespace

py::object make_function(const Module& mod, Signature signature, py::object body, const char* doc) {
  const py::object& type = function_type(mod);
  py::object function = type.attr("__new__")(type);
  const std::string& qualname = signature.qualname();
  const std::size_t dot = qualname.rfind('.');
  function.attr("__name__") = dot == std::string::npos ? qualname : qualname.substr(dot + 1);
  function.attr("__qualname__") = qualname;
  function.attr("__module__") = mod.name();
  function.attr("__doc__") = doc != nullptr ? py::object(py::str(doc)) : py::object(py::none());
  function.attr("__signature__") = signature.to_inspect();
  auto* binding = new Binding{std::move(signature), std::move(body)};
  function.attr("_binding") =
      py::capsule(binding, [](void* p) { delete static_cast<Binding*>(p); });
  return function;
}

}  // namespace detail

}  // namespace morvane::core
