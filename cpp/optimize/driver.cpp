// portfolio_optimize: one convex problem from the universe, the objective, the bounds and the
// constraint objects, solved with cvxpy. The call reads as its stages (stages.hpp): normalise
// the arguments, build the problem, run the solve plan (plan.hpp: every answer checked, refined
// with Clarabel when the check fails, retried without the soft constraints when infeasible),
// and return the weights.
#include "optimize/plan.hpp"
#include "optimize/stages.hpp"

namespace morvane::optimize {

py::object portfolio_optimize(const Arguments& args) {
  Universe universe = normalise_universe(args);
  // A one-stock universe is the answer itself: nothing else is checked or used.
  if (universe.size == 1) return single_stock_result(universe);
  const Inputs inputs = normalise(args, std::move(universe));
  Model model = build(inputs);
  SolvePlan plan(inputs, model);
  const Solution solution = plan.run();
  return result(inputs, model, solution);
}

}  // namespace morvane::optimize
