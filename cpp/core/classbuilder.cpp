#include "core/classbuilder.hpp"

namespace morvane::core {

ClassBuilder::ClassBuilder(const Module& mod, const char* name, const py::object& metaclass,
                           const py::tuple& bases, const char* doc)
    : mod_(mod), name_(name) {
  py::dict ns;
  ns["__module__"] = mod.name();
  ns["__qualname__"] = py::str(name);
  ns["__doc__"] = doc != nullptr ? py::object(py::str(doc)) : py::object(py::none());
  cls_ = metaclass(py::str(name), bases, ns);
}

ClassBuilder& ClassBuilder::attach(const char* name, const py::object& value) {
  cls_.attr(name) = value;
  return *this;
}

py::object ClassBuilder::finish() {
  mod_.bind(name_.c_str(), cls_);
  return cls_;
}

}  // namespace morvane::core
