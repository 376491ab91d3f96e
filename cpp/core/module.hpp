// Module-global lookup: every extension module binds its imports as module attributes and the C++
// code reads them from the module's dict when it runs, so patching `morvane.optimize.tarnwick`
// (or any other bound name) behaves as it would for a Python module.
#pragma once

#include <pybind11/pybind11.h>

namespace morvane::core {

namespace py = pybind11;

class Module {
 public:
  explicit Module(py::module_ m) : m_(std::move(m)) {}

  // The module attribute `name`, read now; NameError when it is not bound.
  py::object get(const char* name) const;

  // `import module as alias`
  void import_as(const char* module, const char* alias) const;
  // `from module import name as alias` (alias defaults to name)
  void import_from(const char* module, const char* name, const char* alias = nullptr) const;
  // `from module import *`, honouring `__all__` when the module has one.
  void import_star(const char* module) const;
  void bind(const char* name, py::handle value) const;

  const py::module_& module() const { return m_; }
  py::str name() const;

 private:
  py::module_ m_;
};

// Every extension module creates its Module once at initialisation; it lives as long as the
// process (modules are never unloaded), so it is intentionally not destroyed at exit.
Module& register_module(py::module_ m);

// The module registered by the extension module this code runs in, for reading its globals when
// a function runs. The core is a static library linked into each extension module with hidden
// symbols, so every extension module holds its own registration.
const Module& this_module();

}  // namespace morvane::core
