// The solve plan: passes of solver attempts, each attempt's outcome deciding what follows.
#include "optimize/plan.hpp"

#include <chrono>

#include "core/errors.hpp"
#include "core/ops.hpp"

namespace morvane::optimize {

namespace {

using Step = Attempt::Step;
using Outcome = Attempt::Outcome;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

Attempt make_attempt(Step step, py::object solver, py::dict options) {
  Attempt attempt;
  attempt.step = step;
  attempt.solver = std::move(solver);
  attempt.options = std::move(options);
  return attempt;
}

}  // namespace

py::list Pass::failed_checks() const {
  py::list notes;
  for (const Attempt& attempt : attempts) {
    if (!attempt.failed_check.empty()) notes.append(py::str(attempt.failed_check));
  }
  return notes;
}

SolvePlan::SolvePlan(const Inputs& inputs, Model& model) : inputs_(inputs), model_(model) {
  solver_ = inputs.solver;
  if (!truth(solver_)) solver_ = inputs.objective.attr("get_preferred_solver")();
  // The call's own copy: the injected default never reaches the caller's objects.
  options_ = inputs.solver_options.attr("copy")();
  if (truth(core::eq(solver_, mod().get("cp").attr("SCS"))) && !options_.contains("max_iters")) {
    options_["max_iters"] = 10000;
  }
  // A caller's Clarabel solve counts as the refinement.
  if (is_clarabel(solver_)) {
    ladder_ = {Step::kChosen, Step::kFallback};
  } else {
    ladder_ = {Step::kChosen, Step::kRefinement, Step::kFallback};
  }
}

// The attempt of `step`, its options read now; none for a fallback that would repeat the
// refinement's options.
std::optional<Attempt> SolvePlan::prepare(Step step) const {
  if (step == Step::kChosen) return make_attempt(step, solver_, options_);
  py::object clarabel = mod().get("cp").attr("CLARABEL");
  if (step == Step::kRefinement) {
    return make_attempt(step, clarabel, clarabel_options(solver_, options_));
  }
  py::dict options = clarabel_options(solver_, options_, true);
  if (truth(core::eq(options, clarabel_options(solver_, options_)))) return std::nullopt;
  return make_attempt(step, clarabel, options);
}

std::optional<Attempt> SolvePlan::after(const Attempt& attempt) const {
  std::size_t i = 0;
  while (i < ladder_.size() && ladder_[i] != attempt.step) ++i;
  for (++i; i < ladder_.size(); ++i) {
    std::optional<Attempt> next = prepare(ladder_[i]);
    if (next) return next;
  }
  return std::nullopt;
}

Solution SolvePlan::run() {
  std::optional<Pass> pass = Pass{};
  for (;;) {
    passes_.push_back(std::move(*pass));
    run_pass(passes_.back());
    const Attempt& last = passes_.back().attempts.back();
    if (last.outcome == Outcome::kAccepted) return Solution{last, solve_time_, refined_, dropped_};
    pass = next_pass(passes_.back());
    if (!pass) {
      raise_infeasible(model_.problem, last.result, model_.units, model_.hard,
                       clarabel_options(solver_, options_), is_clarabel(last.solver));
    }
  }
}

// After an infeasible pass: the problem on the hard constraints alone, when there are soft ones
// to drop.
std::optional<Pass> SolvePlan::next_pass(const Pass& /*finished*/) {
  if (py::len(model_.soft) == 0) return std::nullopt;
  core::warn(mod().get("OptimizerWarning"), py::str("约束无法满足，放弃所有软约束重试"));
  dropped_ = model_.drop_soft();
  Pass pass;
  pass.problem = Pass::Problem::kHardConstraints;
  return pass;
}

void SolvePlan::run_pass(Pass& pass) {
  std::optional<Attempt> next = prepare(ladder_.front());
  while (next) {
    pass.attempts.push_back(std::move(*next));
    solve(pass.attempts.back());
    next = follow(pass, pass.attempts.back());
  }
}

void SolvePlan::solve(Attempt& attempt) {
  try {
    attempt.result = solve_once(model_.problem, attempt.solver, attempt.options, solve_time_);
  } catch (py::error_already_set& e) {
    // The chosen solver's own failure ends the call; a refinement's may move on.
    if (attempt.step == Step::kChosen || !e.matches(mod().get("OptimizationFailed"))) throw;
    attempt.outcome = Outcome::kSolverError;
    attempt.error = e;
    return;
  }
  py::object status = model_.problem.attr("status");
  if (status_is(status, "OPTIMAL") || status_is(status, "OPTIMAL_INACCURATE")) {
    check(attempt);
  } else if (status_is(status, "INFEASIBLE") || status_is(status, "INFEASIBLE_INACCURATE")) {
    attempt.outcome = Outcome::kInfeasible;
  } else {
    attempt.outcome = Outcome::kGaveUp;
  }
}

// The answer as the caller would get it, measured against every constraint of the problem.
void SolvePlan::check(Attempt& attempt) {
  const auto started = std::chrono::steady_clock::now();
  model_.invert();
  attempt.verdict = verify(model_.problem, model_.variables.g, model_.variables.zeta);
  log_detail("check of %d constraints: %f s", py::int_(attempt.verdict.measurements.size()),
             seconds_since(started));
  attempt.outcome = attempt.verdict.ok ? Outcome::kAccepted : Outcome::kFailedCheck;
}

// The attempt that follows `attempt`'s outcome, none when the pass is over; raises
// OptimizationFailed when the call fails.
std::optional<Attempt> SolvePlan::follow(const Pass& pass, Attempt& attempt) {
  switch (attempt.outcome) {
    case Outcome::kFailedCheck:
      return move_on_after_check(pass, attempt);
    case Outcome::kSolverError: {
      std::optional<Attempt> next = after(attempt);
      if (next) return next;
      // The last refinement's failure keeps, beside the solver's note, why the answers failed.
      for (py::handle note : pass.failed_checks()) {
        core::add_note(attempt.error->value(), py::str(note));
      }
      throw *attempt.error;
    }
    case Outcome::kGaveUp: {
      if (attempt.step != Step::kChosen) {
        std::optional<Attempt> next = after(attempt);
        if (next) return next;
      }
      py::object failed =
          mod().get("OptimizationFailed")(failure_reason(model_.problem, attempt.result));
      for (py::handle note : pass.failed_checks()) core::add_note(failed, py::str(note));
      core::raise(failed);
    }
    default:  // accepted or infeasible: the pass is over
      return std::nullopt;
  }
}

std::optional<Attempt> SolvePlan::move_on_after_check(const Pass& pass, Attempt& attempt) {
  std::optional<Attempt> next = after(attempt);
  const std::string why = attempt.verdict.explain(model_.units);
  if (!next) {
    py::object failed = mod().get("OptimizationFailed")(model_.problem.attr("status"));
    core::add_note(failed, py::str(why));
    for (py::handle note : pass.failed_checks()) core::add_note(failed, py::str(note));
    core::raise(failed);
  }
  // A caller who named the solver is told once per call.
  if (truth(inputs_.solver) && !refined_) {
    core::warn(mod().get("OptimizerWarning"),
               core::format("the answer of {} failed the constraint check ({}); solved again "
                            "with CLARABEL",
                            attempt.solver, why));
  }
  attempt.failed_check = "the answer of " + std::string(py::str(attempt.solver)) +
                         " failed the constraint check: " + why;
  refined_ = true;
  return next;
}

}  // namespace morvane::optimize
