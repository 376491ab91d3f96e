// Building the problem: the variables, the reductions, the constraints of each unit (the
// bounds, the objective's internal constraints, each constraint object), the objective's
// expression and the cvxpy problem over them.
#include "core/ops.hpp"
#include "optimize/stages.hpp"

namespace morvane::optimize {

namespace {

// Python's `target.extend(items)`.
void extend(const py::list& target, const py::handle& items) { target.attr("extend")(items); }

py::list to_list(const py::object& items) {
  return py::module_::import("builtins").attr("list")(items);
}

// The objective's internal constraints and the bounds, all hard.
void collect_own(const Inputs& inputs, Model& model) {
  const Variables& v = model.variables;
  py::list internal =
      to_list(inputs.objective.attr("get_internal_constraints")(v.g, v.zeta, inputs.helper));
  extend(model.hard, internal);
  model.units.add(inputs.objective, internal, true, false);
  if (inputs.bnds.is_none()) return;
  auto [lower_bound, upper_bound] =
      unpack_pair(mod().get("parse_bnds")(inputs.bnds, inputs.universe.order_book_ids));
  py::list bounds;
  bounds.append(core::ge(v.g - v.zeta * lower_bound, py::int_(0)));
  bounds.append(core::le(v.g - v.zeta * upper_bound, py::int_(0)));
  extend(model.hard, bounds);
  model.units.add(py::str("bnds"), bounds, true, true);
}

// Each constraint object of `cons`, in order, into the hard or the soft constraints.
void collect_constraints(const Inputs& inputs, Model& model) {
  if (inputs.cons.is_none()) return;
  const Variables& v = model.variables;
  for (py::handle c : inputs.cons) {
    // `hard` is read before the constraint is built.
    const bool hard = truth(c.attr("hard"));
    py::list built = to_list(c.attr("to_constraints")(v.g, v.zeta, inputs.helper));
    extend(hard ? model.hard : model.soft, built);
    model.units.add(py::reinterpret_borrow<py::object>(c), built, hard, true);
    if (!hard) model.soft_objects.append(c);
  }
}

}  // namespace

void Model::invert() const {
  for (const auto& reduction : reductions) reduction->invert(variables, helper);
}

py::list Model::drop_soft() {
  soft.attr("clear")();
  units.drop_soft();
  problem = mod().get("cp").attr("Problem")(problem.attr("objective"), hard);
  return soft_objects;
}

Model build(const Inputs& inputs) {
  Model model;
  model.helper = inputs.helper;
  const py::ssize_t n = inputs.universe.size;
  py::object cp = mod().get("cp");
  model.variables.g = cp.attr("Variable")(n, py::arg("nonneg") = true);
  model.reductions.push_back(std::make_unique<Homogenisation>(inputs.objective, n));
  model.reductions.push_back(std::make_unique<SharedExposures>());
  for (const auto& reduction : model.reductions) {
    extend(model.hard, reduction->apply(model.variables, inputs.helper));
  }
  collect_own(inputs, model);
  collect_constraints(inputs, model);

  const Variables& v = model.variables;
  py::object objective_expr =
      inputs.objective.attr("get_objective_expr")(v.g, v.zeta, inputs.helper);
  // What the terms rely on (the shared exposures' definitions) is hard: a kept term may use it.
  py::list closing;
  for (const auto& reduction : model.reductions) {
    extend(closing, reduction->close(model.variables, inputs.helper));
  }
  extend(model.hard, closing);

  py::object minimize = cp.attr("Minimize")(objective_expr);
  if (py::isinstance(inputs.objective, mod().get("RiskParity")) && !truth(inputs.bnds) &&
      !truth(inputs.cons)) {
    // Risk parity alone needs no constraint: the weights come from normalising the solution.
    model.problem = cp.attr("Problem")(minimize, closing);
  } else {
    model.problem = cp.attr("Problem")(minimize, model.hard + model.soft);
  }
  return model;
}

}  // namespace morvane::optimize
