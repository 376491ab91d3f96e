// Pieces shared by the constraint families of morvane.constraints: the module accessor, bound
// validation, the `hard` property and the definition functions each family file provides.
#pragma once

#include <pybind11/pybind11.h>

#include "core/classbuilder.hpp"
#include "core/module.hpp"
#include "core/ops.hpp"

namespace morvane::constraints {

namespace py = pybind11;
using core::compare;
using core::truth;

// The module's globals (cp, np, pd, tarnwick, InvalidArgument, ...), read when a method runs.
inline const core::Module& mod() { return core::this_module(); }

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

// `self.relative` as given, then the bounds: with `relative` false as floats (None when not
// given, the lower one converted first), with `relative` true exactly as given, resolved per
// optimisation by get_deviation_value.
void store_relative_bounds(const py::object& self, const BoundLabels& labels,
                           const py::object& lower_limit, const py::object& upper_limit,
                           const py::object& relative);

// A single name (a string) as a one-element list; anything else as given.
py::object as_names(const py::object& names);

// A new list: empty for None, one element for a string, else `list(names)`.
py::list names_list(const py::object& names);

// The ids of `ids` (in order) that are not in `universe`.
py::list outside(const py::handle& ids, const py::handle& universe);

// Getter of every concrete constraint's read-only `hard` property: `self._hard` unchanged.
py::object read_hard(const py::object& self);

// A constraint class of the module: derives from `base`, created by the module's ABCMeta.
core::ClassBuilder constraint_class(const char* name, const py::object& base, const char* doc);

// Adds what every constraint class has (`to_constraints(g, zeta, helper)` and the read-only
// `hard` property) and binds the finished class in the module.
template <typename ToConstraints>
py::object finish_constraint(core::ClassBuilder& cls, ToConstraints to_constraints) {
  return cls
      .method("to_constraints", to_constraints, py::arg("g"), py::arg("zeta"), py::arg("helper"))
      .property("hard", &read_hard)
      .finish();
}

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
