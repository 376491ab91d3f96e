// The check of a solution against every constraint of the problem that produced it, and the
// constraints that are active there.
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "core/ops.hpp"
#include "optimize/optimize.hpp"
#include "optimize/units.hpp"

namespace morvane::optimize {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The value of a solved expression as a float array, or None when it has none.
py::object value_of(const py::handle& expr) {
  py::object value = expr.attr("value");
  if (value.is_none()) return value;
  return mod().get("np").attr("asarray")(value, "float64");
}

double largest(const py::object& array) {
  py::object np = mod().get("np");
  if (py::len(array.attr("ravel")()) == 0) return -kInfinity;
  return np.attr("max")(array).cast<double>();
}

// The scale of g at the solution: zeta's value (a variable for the ratio objectives).
double scale_of(const py::object& zeta) {
  py::object value =
      py::isinstance(zeta, mod().get("cp").attr("Variable")) ? zeta.attr("value") : zeta;
  if (value.is_none()) return 1.0;
  const double z = py::float_(value).cast<double>();
  return std::isfinite(z) && z > 0.0 ? z : 1.0;
}

// `excess` = lhs - rhs (positive where violated), normalised in the constraint's own units.
void normalise(Measurement& m, const py::object& excess, const py::object& lhs,
               const py::object& rhs, bool linear, double zeta) {
  py::object np = mod().get("np");
  py::object size = np.attr("maximum")(np.attr("abs")(lhs), np.attr("abs")(rhs));
  if (linear) {
    py::object scale = np.attr("maximum")(size / py::float_(zeta), 1.0);
    m.excess = largest(excess / py::float_(zeta) / scale);
  } else {
    m.relative = true;
    m.excess = largest(excess / np.attr("maximum")(size, 1e-12));
  }
}

bool is_pwl(const py::handle& expr) { return truth(expr.attr("is_pwl")()); }

Measurement measure(const py::object& constraint, double zeta) {
  py::object kinds = mod().get("cp").attr("constraints");
  py::object np = mod().get("np");
  Measurement m;
  m.constraint = constraint;
  py::list args = constraint.attr("args");
  const bool comparison = py::isinstance(constraint, kinds.attr("Inequality")) ||
                          py::isinstance(constraint, kinds.attr("Equality"));
  const bool one_sided = py::isinstance(constraint, kinds.attr("NonNeg")) ||
                         py::isinstance(constraint, kinds.attr("NonPos")) ||
                         py::isinstance(constraint, kinds.attr("Zero"));
  if (comparison || one_sided) {
    py::object lhs = value_of(args[0]);
    py::object rhs = comparison ? value_of(args[1]) : py::object(py::float_(0.0));
    if (lhs.is_none() || rhs.is_none()) {
      m.excess = kInfinity;
      return m;
    }
    py::object excess = lhs - rhs;
    if (py::isinstance(constraint, kinds.attr("NonNeg"))) excess = -excess;
    m.equality = py::isinstance(constraint, kinds.attr("Equality")) ||
                 py::isinstance(constraint, kinds.attr("Zero"));
    if (m.equality) excess = np.attr("abs")(excess);
    const bool linear = is_pwl(args[0]) && (!comparison || is_pwl(args[1]));
    normalise(m, excess, lhs, rhs, linear, zeta);
    return m;
  }
  // A cone: its residual (distance to the cone) relative to the size of its arguments.
  m.relative = true;
  m.has_slack = false;
  py::object residual = constraint.attr("residual");
  double size = 1.0;
  for (py::handle arg : args) {
    py::object value = value_of(arg);
    if (value.is_none() || residual.is_none()) {
      m.excess = kInfinity;
      return m;
    }
    size = std::max(size, largest(np.attr("abs")(value)));
  }
  m.excess = largest(np.attr("asarray")(residual, "float64")) / size;
  return m;
}

double tolerance(const Measurement& m) {
  return m.relative ? kRelativeTolerance : kLinearTolerance;
}

std::string scientific(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1e", value);
  return text;
}

}  // namespace

std::string describe(const py::handle& key) { return py::str(py::repr(key)); }

Verdict verify(const py::object& problem, const py::object& g, const py::object& zeta) {
  const double z = scale_of(zeta);
  Verdict verdict;
  for (py::handle c : problem.attr("constraints")) {
    verdict.measurements.push_back(measure(py::reinterpret_borrow<py::object>(c), z));
  }
  // The weights themselves are non-negative (an attribute of g, not a listed constraint).
  verdict.measurements.push_back(measure(core::ge(g, py::int_(0)), z));
  double worst_ratio = 0.0;
  for (std::size_t i = 0; i < verdict.measurements.size(); ++i) {
    const Measurement& m = verdict.measurements[i];
    const double ratio = m.excess / tolerance(m);
    if (!(ratio <= 1.0) && (!verdict.worst || !(ratio <= worst_ratio))) {
      verdict.ok = false;
      verdict.worst = i;
      worst_ratio = ratio;
    }
  }
  return verdict;
}

std::string Verdict::explain(const Units& units) const {
  if (ok || !worst) return "";
  const Measurement& m = measurements[*worst];
  std::string what;
  if (*worst + 1 == measurements.size()) {
    what = "the non-negativity of the weights";
  } else if (auto owner = units.owner(m.constraint)) {
    what = describe(units.all()[*owner].key);
  } else {
    std::string text = py::str(m.constraint);
    if (text.size() > 120) text = text.substr(0, 117) + "...";
    what = "the constraint " + text;
  }
  return what + " is broken by " + scientific(m.excess) +
         (m.relative ? " (relative)" : " (in weight units)") + ", beyond the tolerance of " +
         scientific(tolerance(m));
}

}  // namespace morvane::optimize
