// Group weights: IndustryComponentLimit, IndexComponentLimit, StockPoolLimit.
#include <pybind11/pybind11.h>

#include "constraints/constraints.hpp"

namespace morvane::constraints {

void define_components(const core::Module& /*self*/, const py::object& /*base*/) {}

}  // namespace morvane::constraints
