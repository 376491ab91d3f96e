// The dual values of the solved problem: binding constraints and shadow prices.
#include "optimize/duals.hpp"

#include <cmath>
#include <limits>
#include <unordered_map>

#include "optimize/optimize.hpp"

namespace morvane::optimize {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double as_double(const py::handle& value) {
  if (value.is_none()) return kNaN;
  return py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>();
}

// The value of zeta at the solution (1 when it has none).
double scale_value(const py::object& zeta) {
  py::object value =
      py::isinstance(zeta, mod().get("cp").attr("Variable")) ? zeta.attr("value") : zeta;
  const double z = as_double(value);
  return std::isfinite(z) && z > 0.0 ? z : 1.0;
}

// The constraint object's one scalar limit: its `upper` or its `lower` when exactly one of them
// is a number and the limit is not relative to the benchmark (a relative limit enters its row
// beside the benchmark's own weight or exposure); NaN otherwise.
double scalar_limit(const py::object& key) {
  if (py::hasattr(key, "relative") && truth(key.attr("relative"))) return kNaN;
  double limit = kNaN;
  int numbers = 0;
  for (const char* name : {"upper", "lower"}) {
    if (!py::hasattr(key, name)) continue;
    py::object value = key.attr(name);
    if (py::isinstance<py::bool_>(value)) continue;
    if (py::isinstance<py::float_>(value) || py::isinstance<py::int_>(value)) {
      limit = as_double(value);
      ++numbers;
    }
  }
  return numbers == 1 && std::isfinite(limit) && limit != 0.0 ? limit : kNaN;
}

// True when `side` involves no variable other than the scale: it is the limit's side.
bool is_limit_side(const py::handle& side, const py::object& zeta) {
  for (py::handle v : side.attr("variables")()) {
    if (!v.is(zeta)) return false;
  }
  return true;
}

struct RowDuals {
  bool known = false;        // the solver gave dual values
  double shadow = 0.0;       // sum of |dual| * d(limit side) / d(limit)
  double sensitivity = 0.0;  // largest |dual| * max(|limit side|, scale)
};

RowDuals row_duals(const py::handle& constraint, const py::object& zeta, double z, double limit) {
  RowDuals out;
  py::object kinds = mod().get("cp").attr("constraints");
  if (!py::isinstance(constraint, kinds.attr("Inequality"))) return out;
  py::object dual = constraint.attr("dual_value");
  if (dual.is_none()) return out;
  py::list args = constraint.attr("args");
  const bool left = is_limit_side(args[0], zeta);
  if (!left && !is_limit_side(args[1], zeta)) return out;
  py::object limit_side = left ? args[0] : args[1];
  py::object other = left ? args[1] : args[0];
  py::object np = mod().get("np");
  py::object value = limit_side.attr("value");
  if (value.is_none()) return out;
  py::object rhs = np.attr("abs")(np.attr("asarray")(value, "float64"));
  py::object lam = np.attr("abs")(np.attr("asarray")(dual, "float64"));
  // The limit enters a linear row as limit * scale (times a constant), a quadratic one squared.
  const double degree = truth(other.attr("is_pwl")()) ? 1.0 : 2.0;
  py::object slope = std::isfinite(limit) ? py::object(rhs * py::float_(degree / std::abs(limit)))
                                          : py::object(np.attr("full_like")(rhs, z));
  out.known = true;
  out.shadow = as_double(np.attr("sum")(lam * slope));
  py::object size = np.attr("maximum")(rhs, z);
  out.sensitivity = as_double(np.attr("max")(np.attr("atleast_1d")(lam * size)));
  return out;
}

bool slack_binds(const Measurement& m) {
  const double tol = m.relative ? kRelativeBindingTolerance : kLinearBindingTolerance;
  return m.equality || (m.has_slack && m.excess >= -tol);
}

}  // namespace

DualInformation dual_information(const Verdict& verdict, const Units& units, const py::object& zeta,
                                 const py::object& objective_value) {
  std::unordered_map<PyObject*, const Measurement*> by_constraint;
  for (const Measurement& m : verdict.measurements) by_constraint[m.constraint.ptr()] = &m;
  const double z = scale_value(zeta);
  const double objective = std::abs(as_double(objective_value));
  const double threshold =
      kDualSignificance * std::max(std::isfinite(objective) ? objective : 0.0, 1e-10);
  DualInformation out;
  for (const Unit& unit : units.all()) {
    if (!unit.reported) continue;
    const double limit = scalar_limit(unit.key);
    bool binds = false;
    bool known = false;
    double shadow = 0.0;
    for (py::handle c : unit.constraints) {
      auto found = by_constraint.find(c.ptr());
      const Measurement* m = found == by_constraint.end() ? nullptr : found->second;
      RowDuals row = row_duals(c, zeta, z, limit);
      known = known || row.known;
      shadow += row.shadow;
      if (m != nullptr && slack_binds(*m)) binds = true;
      if (m != nullptr && row.known && row.sensitivity > threshold && m->has_slack &&
          m->excess >= -kDualSlackTolerance) {
        binds = true;
      }
    }
    if (binds) out.binding.append(unit.key);
    out.shadow_prices.append(py::make_tuple(unit.key, known ? shadow : kNaN));
  }
  return out;
}

}  // namespace morvane::optimize
