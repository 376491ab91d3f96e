// One solver attempt: the keywords of `problem.solve`, the guarded and timed solve, the options
// of the package's own Clarabel solves.
#include <string>

#include "core/errors.hpp"
#include "core/ops.hpp"
#include "optimize/plan.hpp"

namespace morvane::optimize {

namespace {

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

}  // namespace

py::object solve_once(const py::object& problem, const py::object& solver, const py::dict& options,
                      double& seconds) {
  py::object solve = problem.attr("solve");
  py::dict keywords = solve_keywords(solve, solver, options);
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

bool is_clarabel(const py::object& solver) {
  return compare(py::str(solver).attr("upper")(), py::str("CLARABEL"), Py_EQ);
}

bool status_is(const py::object& status, const char* name) {
  return truth(core::eq(status, mod().get("cp").attr(name)));
}

py::dict clarabel_options(const py::object& solver, const py::dict& solver_options, bool fallback) {
  py::dict options = py::module_::import("builtins").attr("dict")(mod().get("CLARABEL_OPTIONS"));
  if (fallback) options.attr("update")(mod().get("CLARABEL_FALLBACK_OPTIONS"));
  if (is_clarabel(solver)) options.attr("update")(solver_options);
  return options;
}

void log_detail(const char* format, const py::object& count, double seconds) {
  mod().get("logging").attr("getLogger")("morvane.optimize").attr("debug")(format, count, seconds);
}

py::object failure_reason(const py::object& problem, const py::object& result) {
  return PyFloat_Check(result.ptr()) ? problem.attr("status") : result;
}

}  // namespace morvane::optimize
