// Shared pieces of the objective classes of morvane.objective: the module handle, the common
// method bodies and the estimation of expected returns from price history.
#pragma once

#include <pybind11/pybind11.h>

#include "core/classbuilder.hpp"
#include "core/module.hpp"
#include "core/ops.hpp"

namespace morvane::objective {

namespace py = pybind11;
using core::compare;
using core::truth;

// The module morvane.objective; every global (tarnwick, cp, np, pd, ...) is read from it when a
// method runs.
inline const core::Module& mod() { return core::this_module(); }

// `assert zeta == 1.0`, with the comparison and its truth value taken as Python takes them and
// nothing evaluated when assertions are off.
void assert_unit_zeta(const py::handle& zeta);

// A class of the module deriving from `base`, created by the module's ABCMeta.
core::ClassBuilder objective_class(const char* name, const py::object& base, const char* doc);

// Method bodies shared by most objectives: a fresh empty list of internal constraints, and the
// default solver `cp.SCS`.
py::list no_internal_constraints(const py::object& self, const py::object& g,
                                 const py::object& zeta, const py::object& helper);
py::object preferred_solver(const py::object& self);

// Adds the three methods of every objective to `cls` (`get_objective_expr`,
// `get_internal_constraints`, `get_preferred_solver`) and binds the finished class in the module.
template <typename Expr, typename Constraints = decltype(&no_internal_constraints)>
void finish_objective(core::ClassBuilder& cls, Expr expr,
                      Constraints constraints = &no_internal_constraints) {
  cls.method("get_objective_expr", expr, py::arg("g"), py::arg("zeta"), py::arg("helper"))
      .method("get_internal_constraints", constraints, py::arg("g"), py::arg("zeta"),
              py::arg("helper"))
      .method("get_preferred_solver", &preferred_solver)
      .finish();
}

// Annualised mean daily returns of `instruments` over the `window` trading days up to
// `helper.prev_trading_date`, from the data client.
py::object estimate_annual_returns(const py::object& instruments, const py::object& window,
                                   const py::object& helper);

// The same minus the benchmark's annualised expected return over `window`.
py::object estimate_active_returns(const py::object& instruments, const py::object& window,
                                   const py::object& helper);

// `series.reindex(ids, fill_value=0.0).fillna(0.0).values`: one entry per id, 0.0 where the
// series has none or a missing value (a stock listed too recently to have a return in the
// window has no estimate, like a stock the series does not name).
py::object values_for(const py::object& series, const py::object& ids);

// The classes, defined in this order by the module initialisation.
void define_min_variance(const py::object& base);
void define_min_active_variance(const py::object& base);
void define_mean_variance(const py::object& base);
void define_active_mean_variance(const py::object& base);
void define_risk_parity(const py::object& base);
void define_min_tracking_error(const py::object& base);
void define_max_information_ratio(const py::object& base);
void define_max_sharpe_ratio(const py::object& base);
void define_max_indicator(const py::object& base);
void define_min_style_deviation(const py::object& base);
void define_with_transaction_cost(const py::object& base);

}  // namespace morvane::objective
