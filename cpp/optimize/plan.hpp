// The solve plan: how a built problem is solved, as an explicit list of attempts.
//
// A pass is the attempts on one problem: first on all the constraints, then, when that problem
// is infeasible and has soft constraints, on the hard constraints alone. The attempts of a pass
// follow a ladder of steps:
//
//   chosen      the caller's solver, or the objective's preferred one, with the caller's options
//   refinement  Clarabel under the module's CLARABEL_OPTIONS (the caller's options on top when
//               the caller chose Clarabel, whose solve then counts as this step)
//   fallback    Clarabel with CLARABEL_FALLBACK_OPTIONS laid over the refinement's options;
//               skipped when they are the refinement's
//
// Each attempt records its outcome, and the outcome decides what follows: an accepted answer ends
// the plan; an answer that fails the check, or a refinement that gives up (its solver's own
// error, or a status other than optimal or infeasible), moves on to the next step while there
// is one; an infeasible problem ends the pass (the next pass, or the diagnosis); anything else
// raises OptimizationFailed. Further passes (a relaxation and a re-solve with some weights fixed,
// say) are new entries in `passes()` made by `next_pass`, with the same ladder.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

#include "optimize/stages.hpp"
#include "optimize/units.hpp"

namespace morvane::optimize {

struct Attempt {
  enum class Step { kChosen, kRefinement, kFallback };
  enum class Outcome { kPending, kAccepted, kFailedCheck, kInfeasible, kGaveUp, kSolverError };

  Step step = Step::kChosen;
  py::object solver;
  py::dict options;
  Outcome outcome = Outcome::kPending;
  py::object result;                           // what `problem.solve` returned
  Verdict verdict;                             // the check of an optimal answer
  std::string failed_check;                    // why its answer was not returned
  std::optional<py::error_already_set> error;  // the solver's own failure
};

struct Pass {
  enum class Problem { kAllConstraints, kHardConstraints };

  Problem problem = Problem::kAllConstraints;
  std::vector<Attempt> attempts;

  // Why the answers of the pass's attempts failed the check, in order.
  py::list failed_checks() const;
};

// What the result stage reads from a finished plan.
struct Solution {
  Attempt accepted;
  double solve_time = 0.0;  // seconds in all solver calls of the call
  bool refined = false;     // an answer failed the check and a refinement followed
  py::list dropped;         // the soft constraint objects dropped by the second pass
};

class SolvePlan {
 public:
  // Chooses the solver: the caller's, else the objective's preferred one, with the caller's
  // options (SCS gets max_iters=10000 unless the caller set it).
  SolvePlan(const Inputs& inputs, Model& model);

  // Runs passes until an attempt is accepted; raises OptimizationFailed when none is.
  Solution run();

  const std::vector<Pass>& passes() const { return passes_; }

 private:
  std::optional<Attempt> prepare(Attempt::Step step) const;
  std::optional<Attempt> after(const Attempt& attempt) const;
  void run_pass(Pass& pass);
  void solve(Attempt& attempt);
  void check(Attempt& attempt);
  std::optional<Attempt> follow(const Pass& pass, Attempt& attempt);
  std::optional<Attempt> move_on_after_check(const Pass& pass, Attempt& attempt);
  std::optional<Pass> next_pass(const Pass& finished);

  const Inputs& inputs_;
  Model& model_;
  py::object solver_;
  py::dict options_;
  std::vector<Attempt::Step> ladder_;
  std::vector<Pass> passes_;
  double solve_time_ = 0.0;
  bool refined_ = false;
  py::list dropped_;
};

// One attempt's mechanics (solve.cpp).

// `problem.solve(solver=solver, verbose=DEBUG, **options)`, timed into `seconds`; the solver's
// own failure becomes OptimizationFailed("failed") with its message in a note.
py::object solve_once(const py::object& problem, const py::object& solver, const py::dict& options,
                      double& seconds);
bool is_clarabel(const py::object& solver);
bool status_is(const py::object& status, const char* name);
// The options of the package's own Clarabel solves (see above); `fallback` lays
// CLARABEL_FALLBACK_OPTIONS over them.
py::dict clarabel_options(const py::object& solver, const py::dict& solver_options,
                          bool fallback = false);
// A debug record of the `morvane.optimize` logger: what the check or the diagnosis cost.
void log_detail(const char* format, const py::object& count, double seconds);
// OptimizationFailed's argument: the status when the solve returned a float, else the result.
py::object failure_reason(const py::object& problem, const py::object& result);

// The end of an infeasible call (diagnose.cpp): OptimizationFailed with, in `conflicts` and in
// a note, a minimal set of the call's units that cannot hold together.
[[noreturn]] void raise_infeasible(const py::object& problem, const py::object& result,
                                   const Units& units, const py::list& hard_constraints,
                                   const py::dict& options, bool confirmed);

}  // namespace morvane::optimize
