// Industry weights: IndustryConstraint and WildcardIndustryConstraint.
#include <pybind11/pybind11.h>

#include "constraints/constraints.hpp"

namespace morvane::constraints {

void define_industry(const core::Module& /*self*/, const py::object& /*base*/) {}

}  // namespace morvane::constraints
