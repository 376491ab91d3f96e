#include "core/module.hpp"

#include <string>

namespace morvane::core {

py::object Module::get(const char* name) const {
  PyObject* dict = PyModule_GetDict(m_.ptr());                                     // borrowed
  PyObject* value = dict != nullptr ? PyDict_GetItemString(dict, name) : nullptr;  // borrowed
  if (value == nullptr) {
    std::string msg = "name '" + std::string(name) + "' is not defined in module " +
                      std::string(py::str(m_.attr("__name__")));
    PyErr_SetString(PyExc_NameError, msg.c_str());
    throw py::error_already_set();
  }
  return py::reinterpret_borrow<py::object>(value);
}

void Module::import_as(const char* module, const char* alias) const {
  bind(alias, py::module_::import(module));
}

void Module::import_from(const char* module, const char* name, const char* alias) const {
  py::object mod = py::module_::import(module);
  bind(alias != nullptr ? alias : name, mod.attr(name));
}

void Module::import_star(const char* module) const {
  py::object mod = py::module_::import(module);
  if (py::hasattr(mod, "__all__")) {
    for (py::handle name : mod.attr("__all__")) {
      m_.attr(name) = mod.attr(name);
    }
    return;
  }
  for (auto item : mod.attr("__dict__").cast<py::dict>()) {
    std::string key = py::str(item.first);
    if (!key.empty() && key[0] != '_') m_.attr(item.first) = item.second;
  }
}

void Module::bind(const char* name, py::handle value) const { m_.attr(name) = value; }

py::str Module::name() const { return m_.attr("__name__"); }

namespace {
const Module* g_this_module = nullptr;
}  // namespace

Module& register_module(py::module_ m) {
  // Leaked on purpose: the module outlives every call into it and Python finalisation must not
  // run a C++ destructor that touches interpreter state.
  Module* registered = new Module(std::move(m));
  g_this_module = registered;
  return *registered;
}

const Module& this_module() { return *g_this_module; }

}  // namespace morvane::core
