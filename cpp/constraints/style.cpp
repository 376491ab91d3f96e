// Style exposures: StyleConstraint and wildcard_style_constraint.
#include <pybind11/pybind11.h>

#include "constraints/constraints.hpp"

namespace morvane::constraints {

void define_style(const core::Module& /*self*/, const py::object& /*base*/) {}

}  // namespace morvane::constraints
