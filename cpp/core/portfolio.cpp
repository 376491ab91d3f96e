#include "core/portfolio.hpp"

#include "core/exposures.hpp"
#include "core/ops.hpp"

namespace morvane::core {

py::object pad_with_zeros(const Module& mod, const py::handle& vector, py::ssize_t count) {
  py::list parts;
  parts.append(vector);
  parts.append(mod.get("np").attr("repeat")(0.0, count));
  return mod.get("cp").attr("hstack")(parts);
}

py::object active_weight(const Module& mod, const py::handle& g, const py::handle& zeta,
                         const py::handle& helper) {
  const auto not_in_pool = static_cast<py::ssize_t>(py::len(helper.attr("union_components"))) -
                           static_cast<py::ssize_t>(py::len(helper.attr("order_book_ids")));
  py::object benchmark =
      py::reinterpret_borrow<py::object>(zeta) * helper.attr("benchmark_weight").attr("values");
  if (not_in_pool > 0) return pad_with_zeros(mod, g, not_in_pool) - benchmark;
  return py::reinterpret_borrow<py::object>(g) - benchmark;
}

py::object factor_pieces(const Module& mod, const py::handle& model, py::ssize_t rows) {
  py::object np = mod.get("np");
  py::tuple parts = py::tuple(py::reinterpret_borrow<py::object>(model));
  if (parts.size() != 3) return py::none();
  py::object exposures = np.attr("asarray")(parts[0], "float64");
  py::object factor_cov = np.attr("asarray")(parts[1], "float64");
  py::object specific = np.attr("asarray")(parts[2], "float64");
  py::tuple shape(exposures.attr("shape"));
  if (shape.size() != 2 || shape[0].cast<py::ssize_t>() != rows ||
      py::len(specific) != static_cast<size_t>(rows)) {
    return py::none();
  }
  py::tuple eig = np.attr("linalg").attr("eigh")(factor_cov);
  py::object values = eig[0];
  const double largest = np.attr("abs")(values).attr("max")().cast<double>();
  const double tolerance = 1e-12 * (largest > 1.0 ? largest : 1.0);
  if (values.attr("min")().cast<double>() < -tolerance) return py::none();
  if (specific.attr("min")().cast<double>() < 0.0) return py::none();
  py::object root = py::object(eig[1]) * np.attr("sqrt")(np.attr("clip")(values, 0.0, py::none()));
  return py::make_tuple(exposures, factor_cov, root, np.attr("sqrt")(specific));
}

namespace {

// x' (X F X' + diag(d)) x written as ||R' X' x||^2 + ||sqrt(d) * x||^2 with F = R R'. The solver
// then sees k + n squared terms instead of a dense n-by-n quadratic form, which is what makes
// whole-market problems tractable.
py::object factor_risk_term(const Module& mod, const py::handle& x, const py::tuple& pieces) {
  py::object cp = mod.get("cp");
  py::object loadings = matmul(pieces[0], pieces[2]).attr("T");
  py::object factor_part = cp.attr("sum_squares")(matmul(loadings, x));
  py::object specific_part = cp.attr("sum_squares")(cp.attr("multiply")(pieces[3], x));
  return factor_part + specific_part;
}

py::ssize_t pool_size(const py::handle& helper, Pool pool) {
  return static_cast<py::ssize_t>(
      py::len(helper.attr(pool == Pool::kUnion ? "union_components" : "order_book_ids")));
}

}  // namespace

py::object risk_term(const Module& mod, const py::handle& x, const py::handle& helper, Pool pool) {
  py::object factor_model = py::getattr(helper, "get_factor_model", py::none());
  if (!factor_model.is_none()) {
    py::object pieces =
        factor_pieces(mod, factor_model(pool == Pool::kUnion), pool_size(helper, pool));
    if (!pieces.is_none()) return factor_risk_term(mod, x, py::tuple(pieces));
  }
  py::object cov = pool == Pool::kUniverse ? helper.attr("get_cov_matrix")()
                                           : helper.attr("get_union_cov_matrix")();
  return mod.get("cp").attr("quad_form")(x, cov);
}

py::object portfolio_risk(const Module& mod, const py::handle& g, const py::handle& helper) {
  py::object shared = shared_portfolio_risk(mod, g, helper);
  if (!shared.is_none()) return shared;
  return risk_term(mod, g, helper, Pool::kUniverse);
}

py::object active_risk(const Module& mod, const py::handle& g, const py::handle& zeta,
                       const py::handle& helper) {
  py::object active = active_weight(mod, g, zeta, helper);
  py::object shared = shared_active_risk(mod, g, zeta, active, helper);
  if (!shared.is_none()) return shared;
  return risk_term(mod, active, helper, Pool::kUnion);
}

py::object equal_weight_variance(const Module& mod, const py::handle& helper, Pool pool) {
  py::object np = mod.get("np");
  const py::ssize_t k = pool_size(helper, pool);
  py::object weight = np.attr("repeat")(py::float_(1.0) / py::int_(k), k);
  py::object factor_model = py::getattr(helper, "get_factor_model", py::none());
  if (!factor_model.is_none()) {
    // w' (X F X' + diag(d)) w = (X' w)' F (X' w) + sum(d w^2)
    py::tuple parts = py::tuple(factor_model(pool == Pool::kUnion));
    if (parts.size() == 3) {
      py::object exposures = np.attr("asarray")(parts[0], "float64");
      py::object specific = np.attr("asarray")(parts[2], "float64");
      py::object loading = weight.attr("dot")(exposures);
      py::object factor_part =
          loading.attr("dot")(np.attr("asarray")(parts[1], "float64")).attr("dot")(loading);
      return factor_part + (specific * weight * weight).attr("sum")();
    }
  }
  py::object cov = pool == Pool::kUniverse ? helper.attr("get_cov_matrix")()
                                           : helper.attr("get_union_cov_matrix")();
  return weight.attr("dot")(cov).attr("dot")(weight);
}

}  // namespace morvane::core
