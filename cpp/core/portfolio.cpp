#include "core/portfolio.hpp"

#include "core/ops.hpp"

namespace morvane::core {

py::object active_weight(const Module& mod, const py::handle& g, const py::handle& zeta,
                         const py::handle& helper) {
  py::object cp = mod.get("cp");
  py::object np = mod.get("np");
  const auto not_in_pool = static_cast<long>(py::len(helper.attr("union_components"))) -
                           static_cast<long>(py::len(helper.attr("order_book_ids")));
  py::object benchmark =
      py::reinterpret_borrow<py::object>(zeta) * helper.attr("benchmark_weight").attr("values");
  if (not_in_pool > 0) {
    py::list parts;
    parts.append(g);
    parts.append(np.attr("repeat")(0.0, not_in_pool));
    return cp.attr("hstack")(parts) - benchmark;
  }
  return py::reinterpret_borrow<py::object>(g) - benchmark;
}

namespace {

// x' (X F X' + diag(d)) x written as ||B' X' x||^2 + ||sqrt(d) * x||^2 with F = B B'. The solver
// then sees k + n squared terms instead of a dense n-by-n quadratic form, which is what makes
// whole-market problems tractable. Returns None when the pieces are not positive semidefinite
// (a negative risk aversion, say), so that the dense form and its own checks apply.
py::object factor_risk_term(const Module& mod, const py::handle& x, const py::object& pieces) {
  py::object cp = mod.get("cp");
  py::object np = mod.get("np");
  py::tuple parts = py::tuple(pieces);
  if (parts.size() != 3) return py::none();
  py::object exposures = np.attr("asarray")(parts[0], "float64");
  py::object factor_cov = np.attr("asarray")(parts[1], "float64");
  py::object specific = np.attr("asarray")(parts[2], "float64");
  py::tuple eig = np.attr("linalg").attr("eigh")(factor_cov);
  py::object values = eig[0];
  const double largest = np.attr("abs")(values).attr("max")().cast<double>();
  const double tolerance = 1e-12 * (largest > 1.0 ? largest : 1.0);
  if (values.attr("min")().cast<double>() < -tolerance) return py::none();
  if (specific.attr("min")().cast<double>() < 0.0) return py::none();
  py::object root = py::object(eig[1]) * np.attr("sqrt")(np.attr("clip")(values, 0.0, py::none()));
  py::object loadings = matmul(exposures, root).attr("T");
  py::object factor_part = cp.attr("sum_squares")(matmul(loadings, x));
  py::object specific_part =
      cp.attr("sum_squares")(cp.attr("multiply")(np.attr("sqrt")(specific), x));
  return factor_part + specific_part;
}

}  // namespace

py::object risk_term(const Module& mod, const py::handle& x, const py::handle& helper, Pool pool) {
  py::object factor_model = py::getattr(helper, "get_factor_model", py::none());
  if (!factor_model.is_none()) {
    py::object term = factor_risk_term(mod, x, factor_model(pool == Pool::kUnion));
    if (!term.is_none()) return term;
  }
  py::object cov = pool == Pool::kUniverse ? helper.attr("get_cov_matrix")()
                                           : helper.attr("get_union_cov_matrix")();
  return mod.get("cp").attr("quad_form")(x, cov);
}

}  // namespace morvane::core
