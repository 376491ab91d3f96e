// What each part of a call contributed to the problem, and how well a solution keeps it.
//
// A unit is one thing the caller can name: the weight bounds ("bnds"), the objective (its
// internal constraints) or one constraint object of `cons`. The driver records the cvxpy
// constraints each unit contributed; constraints no unit owns (the budget, definitions of
// auxiliary variables) are always kept. Verification measures every constraint of the solved
// problem generically, whatever its origin; binding, failure notes and the diagnosis of an
// infeasible problem speak in units.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace morvane::optimize {

namespace py = pybind11;

struct Unit {
  py::object key;         // the string "bnds", the objective, or the caller's constraint object
  py::list constraints;   // the cvxpy constraints it contributed, in order
  bool hard = true;       // kept by the retry that drops the soft constraints
  bool reported = false;  // listed in `binding` (the bounds and the caller's objects)
};

class Units {
 public:
  void add(const py::object& key, const py::object& constraints, bool hard, bool reported);
  // Forgets the soft units once the retry has dropped their constraints.
  void drop_soft();

  const std::vector<Unit>& all() const { return units_; }
  // The index of the unit that contributed `constraint`, if any.
  std::optional<std::size_t> owner(const py::handle& constraint) const;
  // The members of `constraints` that no unit owns.
  py::list unowned(const py::handle& constraints) const;

 private:
  void reindex();

  std::vector<Unit> units_;
  std::unordered_map<PyObject*, std::size_t> owner_;
};

// How far one constraint of a solution is from holding, in its own units: linear (piecewise
// linear) constraints in weight units, i.e. divided by the scale zeta, and relative to the
// size of their terms once these exceed one; quadratic and conic constraints relative to the
// size of their terms.
struct Measurement {
  py::object constraint;
  double excess = 0.0;  // the largest normalised violation; negative when strictly inside
  bool relative = false;
  bool equality = false;  // always active
  bool has_slack = true;  // false for cones, whose slack is not measured
};

// The tolerances of the check and of `binding`.
constexpr double kLinearTolerance = 1e-8;
constexpr double kRelativeTolerance = 1e-6;
constexpr double kLinearBindingTolerance = 1e-7;
constexpr double kRelativeBindingTolerance = 1e-6;

struct Verdict {
  bool ok = true;
  std::vector<Measurement> measurements;
  std::optional<std::size_t> worst;  // index into measurements of the worst failure
  // "TrackingErrorLimit(...) is broken by 2.1e-02 (relative)", empty when ok.
  std::string explain(const Units& units) const;
};

// Measures every constraint of the solved `problem`, plus g >= 0, at the solution.
Verdict verify(const py::object& problem, const py::object& g, const py::object& zeta);

// A minimal set of units that cannot hold together: dropping any one member leaves the rest
// (with the unowned constraints of `hard_constraints`) feasible. Found with a deletion filter of
// feasibility solves with Clarabel under `options`. Empty when the feasibility solves do not
// confirm the infeasibility; `confirmed` (the verdict came from Clarabel under the same options)
// spares the solve of the whole set.
py::list diagnose(const Units& units, const py::list& hard_constraints, const py::dict& options,
                  bool confirmed);

// A unit's key as the notes print it.
std::string describe(const py::handle& key);

}  // namespace morvane::optimize
