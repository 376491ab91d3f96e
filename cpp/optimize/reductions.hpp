// Reductions: rewrites of the caller's problem into the one handed to the solver, each with the
// way back from the solver's answer to the caller's.
//
// - Homogenisation: the weights are w = g / zeta; zeta is a variable for the ratio objectives
//   (whose ratio becomes a convex problem in (g, zeta)), the stock count for risk parity and 1.0
//   otherwise, with the budget sum(g) == zeta. Inverted by putting g back onto the budget.
// - Shared exposures: one auxiliary vector y == X' g that every risk term and style or industry
//   bound refers to (core/exposures.hpp). Inverted by setting y to exactly X' g.
//
// A reduction is applied before any term is built, is closed after every term is built (the
// constraints the terms rely on, kept hard) and is inverted after each solve, before the answer
// is checked.
#pragma once

#include <pybind11/pybind11.h>

namespace morvane::optimize {

namespace py = pybind11;

// The decision variables: g, the scaled weights, and the scale zeta.
struct Variables {
  py::object g;
  py::object zeta;
};

class Reduction {
 public:
  virtual ~Reduction() = default;
  // The constraints it adds at the head of the hard constraints.
  virtual py::list apply(Variables& variables, const py::object& helper) = 0;
  // The constraints the built terms rely on.
  virtual py::list close(const Variables& variables, const py::object& helper) const = 0;
  // The solver's answer (the variables' values) in the caller's terms.
  virtual void invert(const Variables& variables, const py::object& helper) const = 0;
};

class Homogenisation : public Reduction {
 public:
  Homogenisation(py::object objective, py::ssize_t n) : objective_(std::move(objective)), n_(n) {}
  // Sets zeta; adds the budget sum(g) - zeta == 0.
  py::list apply(Variables& variables, const py::object& helper) override;
  py::list close(const Variables&, const py::object&) const override { return py::list(); }
  // Rescales g onto the budget (a variable zeta takes the value sum(g) instead).
  void invert(const Variables& variables, const py::object& helper) const override;

 private:
  py::object objective_;
  py::ssize_t n_;
};

class SharedExposures : public Reduction {
 public:
  // Opens the call's registry of shared exposures on g.
  py::list apply(Variables& variables, const py::object& helper) override;
  // The definitions y == X' g of the vectors the terms used.
  py::list close(const Variables& variables, const py::object& helper) const override;
  // Sets y to exactly X' g.
  void invert(const Variables& variables, const py::object& helper) const override;
};

}  // namespace morvane::optimize
