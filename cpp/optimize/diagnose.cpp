// The diagnosis of an infeasible problem: which units of the call cannot hold together.
#include <chrono>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/ops.hpp"
#include "optimize/optimize.hpp"
#include "optimize/plan.hpp"
#include "optimize/units.hpp"

namespace morvane::optimize {

namespace {

enum class Feasibility { kFeasible, kInfeasible, kUnknown };

// One feasibility solve of the kept constraints with the units `members`. cvxpy's own Problem
// class is used (reached through the module's `cp`), so these auxiliary solves never pass
// through a replacement of `cp.Problem`.
Feasibility feasibility(const py::list& kept, const Units& units,
                        const std::vector<std::size_t>& members, const py::dict& options) {
  py::object cp = mod().get("cp");
  py::list constraints;  // a new list: `kept` is shared by every feasibility solve
  constraints.attr("extend")(kept);
  for (std::size_t i : members) constraints.attr("extend")(units.all()[i].constraints);
  py::object problem_class = cp.attr("problems").attr("problem").attr("Problem");
  py::object problem = problem_class(cp.attr("Minimize")(py::int_(0)), constraints);
  py::dict keywords(options);
  keywords["solver"] = cp.attr("CLARABEL");
  try {
    problem.attr("solve")(**keywords);
  } catch (py::error_already_set& e) {
    if (e.matches(cp.attr("SolverError"))) return Feasibility::kUnknown;
    throw;
  }
  py::object status = problem.attr("status");
  for (const char* name : {"OPTIMAL", "OPTIMAL_INACCURATE"}) {
    if (truth(core::eq(status, cp.attr(name)))) return Feasibility::kFeasible;
  }
  for (const char* name : {"INFEASIBLE", "INFEASIBLE_INACCURATE"}) {
    if (truth(core::eq(status, cp.attr(name)))) return Feasibility::kInfeasible;
  }
  return Feasibility::kUnknown;
}

}  // namespace

py::list diagnose(const Units& units, const py::list& hard_constraints, const py::dict& options,
                  bool confirmed) {
  py::list kept = units.unowned(hard_constraints);
  std::vector<std::size_t> members;
  for (std::size_t i = 0; i < units.all().size(); ++i) {
    if (units.all()[i].hard && py::len(units.all()[i].constraints) > 0) members.push_back(i);
  }
  py::list conflicts;
  if (!confirmed && feasibility(kept, units, members, options) != Feasibility::kInfeasible) {
    return conflicts;
  }
  // Deletion filter: a unit whose removal leaves the rest infeasible is not needed for the
  // conflict and goes for good; what stays is infeasible and each member is necessary.
  for (std::size_t candidate : std::vector<std::size_t>(members)) {
    std::vector<std::size_t> trial;
    for (std::size_t i : members) {
      if (i != candidate) trial.push_back(i);
    }
    if (feasibility(kept, units, trial, options) == Feasibility::kInfeasible) members = trial;
  }
  for (std::size_t i : members) conflicts.append(units.all()[i].key);
  return conflicts;
}

void raise_infeasible(const py::object& problem, const py::object& result, const Units& units,
                      const py::list& hard_constraints, const py::dict& options, bool confirmed) {
  py::object reason = failure_reason(problem, result);
  const auto started = std::chrono::steady_clock::now();
  py::list conflicts = diagnose(units, hard_constraints, options, confirmed);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  log_detail("diagnosis of %d units: %f s", py::int_(units.all().size()), seconds);
  py::object failed = mod().get("OptimizationFailed")(reason);
  failed.attr("conflicts") = conflicts;
  std::string note = py::str(reason);
  if (conflicts.empty()) {
    note += ": no set of the call's constraints was found that cannot hold together";
  } else {
    note += ": these cannot hold together: ";
    for (std::size_t i = 0; i < conflicts.size(); ++i) {
      if (i > 0) note += ", ";
      note += describe(conflicts[i]);
    }
  }
  core::add_note(failed, py::str(note));
  core::raise(failed);
}

}  // namespace morvane::optimize
