// The stages of one `portfolio_optimize` call, each in its own file:
//
//   normalise (normalise.cpp)  the caller's arguments -> the universe, then the checked inputs and
//                              the call's OptimizeHelper
//   build     (build.cpp)      the variables, the reductions (reductions.hpp), each unit's
//                              constraints, the objective's expression, the problem
//   solve     (plan.cpp)       the solve plan: passes of solver attempts, each with its outcome
//   result    (result.cpp)     the weights as a Series with the solve information
//
// Each stage reads only what the stages before it produced.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <vector>

#include "optimize/optimize.hpp"
#include "optimize/reductions.hpp"
#include "optimize/units.hpp"

namespace morvane::optimize {

// The caller's arguments, as given.
struct Arguments {
  py::object order_book_ids;
  py::object date;
  py::object objective;
  py::object bnds;
  py::object cons;
  py::object benchmark;
  py::object cov_model;
  py::object factor_risk_aversion;
  py::object specific_risk_aversion;
  py::object solver;
  py::object risk_model;
  py::dict solver_options;
};

// The date and the tradeable universe (sorted ids).
struct Universe {
  py::object date;
  py::object order_book_ids;
  py::ssize_t size = 0;
};

// Everything the later stages need from the caller, checked.
struct Inputs {
  Universe universe;
  py::object objective;
  py::object bnds;
  py::object cons;
  py::object helper;
  py::object solver;        // the caller's `solver`, as given
  py::dict solver_options;  // the caller's own keywords
};

// The problem of the call and what each part of the call contributed to it.
struct Model {
  Variables variables;
  py::object helper;
  std::vector<std::unique_ptr<Reduction>> reductions;  // in the order they were applied
  Units units;
  py::list hard;
  py::list soft;
  py::list soft_objects;  // the constraint objects whose constraints are in `soft`
  py::object problem;

  // Puts the solver's answer into the caller's terms: each reduction's invert, in order.
  void invert() const;
  // The problem on the hard constraints alone; returns the soft objects it dropped.
  py::list drop_soft();
};

// Normalisation: the date and the universe, then every other argument and the helper.
Universe normalise_universe(const Arguments& args);
Inputs normalise(const Arguments& args, Universe universe);

// Building the problem.
Model build(const Inputs& inputs);

// The result: the weights of a solved model, or of a one-stock universe.
struct Solution;
py::object result(const Inputs& inputs, const Model& model, const Solution& solution);
py::object single_stock_result(const Universe& universe);

// The whole call.
py::object portfolio_optimize(const Arguments& args);

}  // namespace morvane::optimize
