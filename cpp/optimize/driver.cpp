// portfolio_optimize: one convex problem from the universe, the objective, the bounds and the
// constraint objects, solved with cvxpy, retried once without the soft constraints when it is
// infeasible. Every answer is checked against the problem it solves before it is returned; an
// answer that fails the check is solved again with Clarabel, and an infeasible problem is
// diagnosed.
#include <chrono>
#include <string>

#include "core/errors.hpp"
#include "core/exposures.hpp"
#include "core/ops.hpp"
#include "optimize/duals.hpp"
#include "optimize/optimize.hpp"
#include "optimize/units.hpp"

namespace morvane::optimize {

namespace {

bool is_instance_of_any(const py::handle& obj, std::initializer_list<const char*> class_names) {
  for (const char* name : class_names) {
    if (py::isinstance(obj, mod().get(name))) return true;
  }
  return false;
}

// Python's `target.extend(items)`.
void extend(const py::list& target, const py::handle& items) { target.attr("extend")(items); }

// The keywords of one `problem.solve(solver=solver, verbose=DEBUG, **solver_options)` call. A
// caller's own `solver` or `verbose` keyword clashes as it would in that Python call.
py::dict solve_keywords(const py::object& solve, const py::object& solver,
                        const py::dict& solver_options) {
  py::dict keywords;
  keywords["solver"] = solver;
  keywords["verbose"] = mod().get("DEBUG");
  for (auto item : solver_options) {
    if (keywords.contains(item.first)) {
      std::string function = py::str(py::getattr(solve, "__qualname__", py::str("solve")));
      py::object module = py::getattr(solve, "__module__", py::none());
      if (!module.is_none()) function = std::string(py::str(module)) + "." + function;
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   function.c_str(), item.first.ptr());
      throw py::error_already_set();
    }
    keywords[item.first] = item.second;
  }
  return keywords;
}

// One guarded solve: the solver's own failure becomes OptimizationFailed("failed") with the
// solver error as its context and its message in a note; every other error passes unchanged.
// The wall time of the solve is added to `seconds`.
py::object solve_once(const py::object& problem, const py::object& solver,
                      const py::dict& solver_options, double& seconds) {
  py::object solve = problem.attr("solve");
  py::dict keywords = solve_keywords(solve, solver, solver_options);
  try {
    py::object start_at = mod().get("time").attr("perf_counter")();
    py::object result = solve(**keywords);
    py::object elapsed = mod().get("time").attr("perf_counter")() - start_at;
    seconds += elapsed.cast<double>();
    mod().get("logging").attr("info")("solve time: %f, optimization result = %f", elapsed, result);
    return result;
  } catch (py::error_already_set& e) {
    if (e.matches(mod().get("cp").attr("SolverError"))) {
      py::object failed = mod().get("OptimizationFailed")(py::str("failed"));
      core::add_note(failed, core::format("solver {}: {}", solver, e.value()));
      core::raise_in_handler(failed, e);
    }
    throw;
  }
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A debug record of the package's own logger (not the root logger of the solve's records):
// what the check and the diagnosis cost.
void log_detail(const char* format, const py::object& count, double seconds) {
  mod().get("logging").attr("getLogger")("morvane.optimize").attr("debug")(format, count, seconds);
}

// The argument of OptimizationFailed: the status when the solve returned a float (an infinite
// value for infeasible or unbounded problems), the returned value itself otherwise.
py::object failure_reason(const py::object& problem, const py::object& result) {
  return PyFloat_Check(result.ptr()) ? problem.attr("status") : result;
}

// `notes`: why earlier answers of the problem were not returned, when there were any.
[[noreturn]] void optimization_failed(const py::object& problem, const py::object& result,
                                      const py::list& notes = py::list()) {
  py::object failed = mod().get("OptimizationFailed")(failure_reason(problem, result));
  for (py::handle note : notes) core::add_note(failed, py::str(note));
  core::raise(failed);
}

// An infeasible problem with nothing left to drop: OptimizationFailed carries, in `conflicts`
// and in a note, a minimal set of the call's units that cannot hold together.
[[noreturn]] void infeasible(const py::object& problem, const py::object& result,
                             const Units& units, const py::list& hard_cons, const py::dict& options,
                             bool confirmed) {
  py::object reason = failure_reason(problem, result);
  const auto started = std::chrono::steady_clock::now();
  py::list conflicts = diagnose(units, hard_cons, options, confirmed);
  log_detail("diagnosis of %d units: %f s", py::int_(units.all().size()), seconds_since(started));
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

bool is_clarabel(const py::object& solver) {
  return compare(py::str(solver).attr("upper")(), py::str("CLARABEL"), Py_EQ);
}

// The options of the package's own Clarabel solves: the module's CLARABEL_OPTIONS, read now,
// with CLARABEL_FALLBACK_OPTIONS laid over them for the refinement's last attempt, and the
// caller's own options on top when the caller's solver is Clarabel.
py::dict clarabel_options(const py::object& solver, const py::dict& solver_options,
                          bool fallback = false) {
  py::dict options = py::module_::import("builtins").attr("dict")(mod().get("CLARABEL_OPTIONS"));
  if (fallback) options.attr("update")(mod().get("CLARABEL_FALLBACK_OPTIONS"));
  if (is_clarabel(solver)) options.attr("update")(solver_options);
  return options;
}

// The options of the refinement's last attempt, or None when they are those of the first, so
// that the same solve is never run twice.
py::object fallback_options(const py::object& solver, const py::dict& solver_options) {
  py::dict options = clarabel_options(solver, solver_options, true);
  if (truth(core::eq(options, clarabel_options(solver, solver_options)))) return py::none();
  return options;
}

// What the returned Series carries in `attrs["morvane"]`.
py::dict solve_information(const py::object& solver, const py::object& status, double solve_time,
                           const py::object& objective_value, const DualInformation& duals,
                           const py::object& dropped, bool refined) {
  py::dict info;
  info["solver"] = solver;
  info["status"] = status;
  info["solve_time"] = solve_time;
  info["objective_value"] = objective_value;
  info["binding"] = duals.binding;
  info["dropped"] = dropped;
  info["refined"] = refined;
  info["shadow_prices"] = duals.shadow_prices;
  return info;
}

// The answer is checked as it is returned: the weights g / sum(g), times the scale. A solver's
// residual on the budget sum(g) == zeta is no fault of what the caller gets, and every other
// constraint is measured at the weights the caller gets. A variable scale (the homogenised ratio
// objectives) takes the value sum(g), which leaves their normalisation of g as solved; a fixed
// one rescales g. cvxpy's own `save_value` stores the values, as after a solve (the `value`
// setter would refuse the solver's round-off below zero).
void rescale_to_budget(const py::object& g, const py::object& zeta) {
  py::object value = g.attr("value");
  if (value.is_none()) return;
  const double total = value.attr("sum")().cast<double>();
  if (!(total > 0.0)) return;
  if (py::isinstance(zeta, mod().get("cp").attr("Variable"))) {
    if (!zeta.attr("value").is_none()) zeta.attr("save_value")(py::float_(total));
    return;
  }
  const double target = zeta.cast<double>();
  if (target > 0.0) g.attr("save_value")(value * py::float_(target / total));
}

bool status_is(const py::object& status, const char* name) {
  return truth(core::eq(status, mod().get("cp").attr(name)));
}

}  // namespace

py::object portfolio_optimize(const py::object& order_book_ids_arg, const py::object& date_arg,
                              const py::object& objective, const py::object& bnds,
                              const py::object& cons, const py::object& benchmark_arg,
                              const py::object& cov_model_arg,
                              const py::object& factor_risk_aversion,
                              const py::object& specific_risk_aversion,
                              const py::object& solver_arg, const py::object& risk_model_arg,
                              const py::kwargs& solver_options_arg) {
  // Normalising.
  py::object date = mod().get("to_date")(date_arg);
  py::object order_book_ids = mod().get("ensure_order_book_ids")(order_book_ids_arg, date);
  const py::ssize_t n = py::len(order_book_ids);
  if (n == 0) core::invalid_argument(mod(), "经过剔除后，股票池为空");
  if (n == 1) {
    py::object only = order_book_ids[py::int_(0)];
    py::dict single;
    single[only] = 1.0;
    py::object series = mod().get("pd").attr("Series")(single);
    series.attr("attrs")["morvane"] =
        solve_information(py::none(), mod().get("cp").attr("OPTIMAL"), 0.0, py::none(),
                          DualInformation(), py::list(), false);
    return series;
  }
  if (!py::isinstance(objective, mod().get("OptimizationObjective"))) {
    core::invalid_argument(mod(), "非法的目标函数");
  }
  if (benchmark_arg.is_none() &&
      is_instance_of_any(objective, {"MinTrackingError", "ActiveMeanVariance",
                                     "MaxInformationRatio", "MinActiveVariance"})) {
    core::invalid_argument(mod(), "对于目标函数 {}，必须传入 benchmark 参数",
                           objective.attr("__class__").attr("__name__"));
  }
  py::object benchmark = benchmark_arg;
  if (!benchmark.is_none()) {
    if (py::isinstance<py::str>(benchmark)) benchmark = mod().get("IndexBenchmark")(benchmark);
    if (!py::isinstance(benchmark, mod().get("OptimizeBenchmark"))) {
      core::invalid_argument(mod(),
                             "无效的benchmark：{}；对于指数，可以直接传入对应的order_book_id；"
                             "对于自定义基准，请传入一个 OptimizeBenchmark 的对象",
                             benchmark);
    }
  }
  py::object cov_model = mod().get("to_enum")(cov_model_arg, mod().get("CovModel"));
  py::object risk_model = mod().get("to_enum")(risk_model_arg, mod().get("RiskModel"));
  py::object helper =
      mod().get("OptimizeHelper")(order_book_ids, date, benchmark, cov_model, risk_model,
                                  factor_risk_aversion, specific_risk_aversion);

  // Building: g = zeta * w, with zeta a variable only for the homogenised ratio problems.
  py::object cp = mod().get("cp");
  py::object g = cp.attr("Variable")(n, py::arg("nonneg") = true);
  py::object zeta;
  if (is_instance_of_any(objective, {"MaxInformationRatio", "MaxSharpeRatio"})) {
    zeta = cp.attr("Variable")(py::arg("nonneg") = true);
  } else if (py::isinstance(objective, mod().get("RiskParity"))) {
    zeta = py::int_(n);
  } else {
    zeta = py::float_(1.0);
  }
  core::share_exposures(g, helper);

  // Collecting: each unit's constraints are recorded, for the check, `binding` and diagnosis.
  py::object to_list = py::module_::import("builtins").attr("list");
  Units units;
  py::list hard_cons;
  hard_cons.append(core::eq(cp.attr("sum")(g) - zeta, py::int_(0)));
  py::list internal = to_list(objective.attr("get_internal_constraints")(g, zeta, helper));
  extend(hard_cons, internal);
  units.add(objective, internal, true, false);
  if (!bnds.is_none()) {
    auto [lower_bound, upper_bound] = unpack_pair(mod().get("parse_bnds")(bnds, order_book_ids));
    py::list bounds;
    bounds.append(core::ge(g - zeta * lower_bound, py::int_(0)));
    bounds.append(core::le(g - zeta * upper_bound, py::int_(0)));
    extend(hard_cons, bounds);
    units.add(py::str("bnds"), bounds, true, true);
  }
  py::list soft_cons;
  py::list soft_objects;
  if (!cons.is_none()) {
    for (py::handle c : cons) {
      // `hard` is read before the constraint is built.
      const bool hard = truth(c.attr("hard"));
      py::list built = to_list(c.attr("to_constraints")(g, zeta, helper));
      extend(hard ? hard_cons : soft_cons, built);
      units.add(py::reinterpret_borrow<py::object>(c), built, hard, true);
      if (!hard) soft_objects.append(c);
    }
  }

  py::object objective_expr = objective.attr("get_objective_expr")(g, zeta, helper);
  // The definitions of the shared factor exposures are hard: a kept term may use them.
  py::list definitions = core::exposure_definitions(g, helper);
  extend(hard_cons, definitions);

  py::object problem;
  if (py::isinstance(objective, mod().get("RiskParity")) && !truth(bnds) && !truth(cons)) {
    // Risk parity alone needs no constraint: the weights come from normalising the solution.
    problem = cp.attr("Problem")(cp.attr("Minimize")(objective_expr), definitions);
  } else {
    problem = cp.attr("Problem")(cp.attr("Minimize")(objective_expr), hard_cons + soft_cons);
  }

  py::object solver = solver_arg;
  if (!truth(solver)) solver = objective.attr("get_preferred_solver")();
  // The call's own copy: the injected default never reaches the caller's objects.
  py::dict solver_options = solver_options_arg.attr("copy")();
  if (truth(core::eq(solver, cp.attr("SCS"))) && !solver_options.contains("max_iters")) {
    solver_options["max_iters"] = 10000;
  }

  // Solving, with one retry on the hard constraints alone. A success is checked against every
  // constraint of the solved problem. An answer that fails the check is refined: solved again with
  // Clarabel, and once more with Clarabel's fallback options when that attempt gives up or fails
  // the check too; each outcome goes through the same rules. The attempts are counted by `rung`:
  // 0 the caller's solver, 1 Clarabel, 2 Clarabel with the fallback options. A caller's Clarabel
  // solve counts as rung 1.
  const int first_rung = is_clarabel(solver) ? 1 : 0;
  double solve_time = 0.0;
  py::object active_solver = solver;
  py::dict active_options = solver_options;
  int rung = first_rung;
  bool refined = false;
  py::list failed_checks;  // why each earlier answer of this problem was not returned
  py::list dropped;
  Verdict verdict;
  // The next refinement attempt from `rung`, or false when there is none left.
  auto next_attempt = [&]() -> bool {
    if (rung == 0) {
      active_solver = mod().get("cp").attr("CLARABEL");
      active_options = clarabel_options(solver, solver_options);
      rung = 1;
      return true;
    }
    if (rung == 1) {
      py::object options = fallback_options(solver, solver_options);
      if (options.is_none()) return false;
      active_solver = mod().get("cp").attr("CLARABEL");
      active_options = options;
      rung = 2;
      return true;
    }
    return false;
  };
  // A refinement attempt: its solver's own failure moves on to the next attempt while there is
  // one; the last failure keeps, beside the solver's note, why the earlier answers failed.
  auto refine = [&]() -> py::object {
    for (;;) {
      try {
        return solve_once(problem, active_solver, active_options, solve_time);
      } catch (py::error_already_set& e) {
        if (!e.matches(mod().get("OptimizationFailed"))) throw;
        if (next_attempt()) continue;
        for (py::handle note : failed_checks) core::add_note(e.value(), py::str(note));
        throw;
      }
    }
  };
  py::object result = solve_once(problem, active_solver, active_options, solve_time);
  for (;;) {
    py::object status = problem.attr("status");
    if (status_is(status, "OPTIMAL") || status_is(status, "OPTIMAL_INACCURATE")) {
      const auto started = std::chrono::steady_clock::now();
      rescale_to_budget(g, zeta);
      core::settle_exposures(g, helper);
      verdict = verify(problem, g, zeta);
      log_detail("check of %d constraints: %f s", py::int_(verdict.measurements.size()),
                 seconds_since(started));
      if (verdict.ok) break;
      const py::object checked_solver = active_solver;
      if (next_attempt()) {
        if (truth(solver_arg) && !refined) {
          core::warn(mod().get("OptimizerWarning"),
                     core::format("the answer of {} failed the constraint check ({}); solved "
                                  "again with CLARABEL",
                                  checked_solver, verdict.explain(units)));
        }
        failed_checks.append(py::str("the answer of " + std::string(py::str(checked_solver)) +
                                     " failed the constraint check: " + verdict.explain(units)));
        refined = true;
        result = refine();
        continue;
      }
      py::object failed = mod().get("OptimizationFailed")(status);
      core::add_note(failed, py::str(verdict.explain(units)));
      for (py::handle note : failed_checks) core::add_note(failed, py::str(note));
      core::raise(failed);
    }
    if (status_is(status, "INFEASIBLE") || status_is(status, "INFEASIBLE_INACCURATE")) {
      if (py::len(soft_cons) > 0) {
        core::warn(mod().get("OptimizerWarning"), py::str("约束无法满足，放弃所有软约束重试"));
        soft_cons.attr("clear")();
        dropped = soft_objects;
        units.drop_soft();
        problem = mod().get("cp").attr("Problem")(problem.attr("objective"), hard_cons);
        active_solver = solver;
        active_options = solver_options;
        rung = first_rung;
        failed_checks = py::list();
        result = solve_once(problem, active_solver, active_options, solve_time);
        continue;
      }
      infeasible(problem, result, units, hard_cons, clarabel_options(solver, solver_options),
                 is_clarabel(active_solver));
    }
    // Any other status of a refinement attempt (Clarabel's iteration limit, say) moves on to
    // the next attempt while there is one.
    if (refined && next_attempt()) {
      result = refine();
      continue;
    }
    optimization_failed(problem, result, failed_checks);
  }

  // Done.
  py::object g_value = g.attr("value");
  py::object zeta_value =
      py::isinstance(zeta, mod().get("cp").attr("Variable")) ? zeta.attr("value") : zeta;
  mod().get("logging").attr("debug")("g.value.sum() = %f, zeta = %f", g_value.attr("sum")(),
                                     zeta_value);
  if (status_is(problem.attr("status"), "OPTIMAL_INACCURATE")) {
    core::warn(mod().get("OptimizerWarning"),
               py::str("达到最大迭代次数，但仍未达到所需精度，可能会导致某些约束不能满足"));
  }
  py::object weight = g_value / g_value.attr("sum")();
  py::object series = mod().get("pd").attr("Series")(weight, py::arg("index") = order_book_ids);
  series.attr("attrs")["morvane"] = solve_information(
      py::str(active_solver), problem.attr("status"), solve_time, problem.attr("value"),
      dual_information(verdict, units, zeta, problem.attr("value")), dropped, refined);
  return series;
}

}  // namespace morvane::optimize
