#include "core/portfolio.hpp"

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

py::object risk_term(const Module& mod, const py::handle& x, const py::handle& helper, Pool pool) {
  py::object cov = pool == Pool::kUniverse ? helper.attr("get_cov_matrix")()
                                           : helper.attr("get_union_cov_matrix")();
  return mod.get("cp").attr("quad_form")(x, cov);
}

}  // namespace morvane::core
