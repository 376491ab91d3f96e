// Pieces shared by the constraint families of morvane.constraints: the module accessor, bound
// validation, the `hard` property and the definition functions each family file provides.
#pragma once

#include <pybind11/pybind11.h>

#include "core/module.hpp"
#include "core/ops.hpp"

namespace morvane::constraints {

namespace py = pybind11;
using core::compare;
using core::truth;

// The module's globals (cp, np, pd, tarnwick, InvalidArgument, ...), read when a method runs.
const core::Module& mod();

// A caller's bound: None stays None, a float is kept as it is, anything else goes through
// float(); a ValueError there becomes InvalidArgument naming `label` and the value.
py::object ensure_bound(const py::handle& v, const py::handle& label);

// A bound given relative to the benchmark's value: None stays None, a number is added to
// `benchmark`, a signed percentage string ('-5%', '+5%') scales it; anything else is refused.
py::object get_deviation_value(const py::object& benchmark, const py::object& deviation);

// Python's float(v): an exact float, also for float subclasses such as numpy.float64.
py::object to_float(const py::handle& v);

// The texts a bounded constraint class names itself with: the message when neither bound is
// given, and the labels of its two bounds in conversion errors.
struct BoundLabels {
  const char* missing;
  const char* lower;
  const char* upper;
};

// Refuses a constraint with neither bound (InvalidArgument with `labels.missing`).
void require_a_bound(const BoundLabels& labels, const py::object& lower_limit,
                     const py::object& upper_limit);

// `self.lower` and `self.upper` as floats (None when not given), the lower one converted first.
void store_float_bounds(const py::object& self, const BoundLabels& labels,
                        const py::object& lower_limit, const py::object& upper_limit);

// A lower bound of 0 or less and an upper bound of 1 or more constrain no weight.
bool effective_lower(const py::object& lower);
bool effective_upper(const py::object& upper);

// Getter of every concrete constraint's read-only `hard` property: `self._hard` unchanged.
py::object read_hard(const py::object& self);

// Defines, in this order, OptimizationConstraint, _ensure_bound, ensure_series and
// get_deviation_value; returns the base class.
py::object define_base(const core::Module& self);

// TrackingErrorLimit, TurnoverLimit, BenchmarkComponentWeightLimit.
void define_limits(const core::Module& self, const py::object& base);

// IndustryConstraint, WildcardIndustryConstraint.
void define_industry(const core::Module& self, const py::object& base);

// StyleConstraint, wildcard_style_constraint.
void define_style(const core::Module& self, const py::object& base);

// IndustryComponentLimit, IndexComponentLimit, StockPoolLimit.
void define_components(const core::Module& self, const py::object& base);

// TransactionVolumeLimit, TransactionMarketValueLimit.
void define_transactions(const core::Module& self, const py::object& base);

}  // namespace morvane::constraints
