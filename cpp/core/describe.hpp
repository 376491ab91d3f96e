// Readable descriptions of the package's objects, for exception notes and the interactive
// prompt: a constraint or objective prints as its class name and the parameters it stores.
#pragma once

#include <pybind11/pybind11.h>

namespace morvane::core {

namespace py = pybind11;

// `ClassName(name=value, ...)` from the instance `__dict__`, in the order the attributes were
// set, with one leading underscore dropped from each name. Arrays, Series and frames show their
// type and length instead of their contents; other values their (shortened) repr. Attached as
// `__repr__` to the objective and constraint base classes, so every subclass gets it.
py::str readable_repr(const py::object& self);

}  // namespace morvane::core
