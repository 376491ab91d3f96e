#include "core/exposures.hpp"

#include "core/ops.hpp"
#include "core/portfolio.hpp"

namespace morvane::core {

namespace {

// The attribute of the call's helper that holds the registry: a dict with a weak reference to the
// weight variable it serves, the definitions made so far and the pieces computed on
// first use. It hangs on the helper, not on `g`: the definitions refer to `g`, and a registry on
// `g` would make a reference cycle that keeps the whole call's problem alive until the cyclic
// garbage collector runs.
constexpr const char* kRegistry = "_morvane_shared_exposures";

// The registry of `helper` when it serves the weight variable `g`, else None.
py::object registry_for(const py::handle& g, const py::handle& helper) {
  py::object registry = py::getattr(helper, kRegistry, py::none());
  if (registry.is_none() || !py::isinstance<py::dict>(registry)) return py::none();
  if (!py::object(registry["g"])().is(py::reinterpret_borrow<py::object>(g))) return py::none();
  return registry;
}

// The universe's factor pieces (X, F, R, sqrt(d)), computed once per call; None when the helper's
// model does not serve (then every term stays self-contained).
py::object universe_pieces(const Module& mod, const py::dict& registry, const py::handle& helper) {
  if (!registry.contains("universe")) {
    registry["universe"] = factor_pieces(mod, helper.attr("get_factor_model")(false),
                                         py::len(helper.attr("order_book_ids")));
  }
  return registry["universe"];
}

// The shared vector y = X' g, created (with its definition) on first use.
py::object shared_vector(const Module& mod, const py::handle& g, const py::dict& registry,
                         const py::tuple& pieces) {
  if (!registry.contains("y")) {
    py::object exposures = pieces[0];
    py::object y = mod.get("cp").attr("Variable")(py::object(exposures.attr("shape"))[py::int_(1)]);
    // Industry columns are mostly zeros: the definition carries only the nonzero exposures.
    py::object transposed =
        py::module_::import("scipy.sparse").attr("csr_matrix")(exposures.attr("T"));
    py::list(registry["definitions"]).append(eq(y, matmul(transposed, g)));
    registry["y"] = y;
    registry["transposed"] = transposed;
  }
  return registry["y"];
}

// The benchmark's exposures X_union' b and the union's sqrt(d), once per call; None when the
// union's pieces do not extend the universe's (same factor covariance, same leading rows).
py::object union_pieces(const Module& mod, const py::dict& registry, const py::tuple& universe,
                        const py::handle& helper) {
  if (!registry.contains("union")) {
    py::object np = mod.get("np");
    py::object benchmark =
        np.attr("asarray")(helper.attr("benchmark_weight").attr("values"), "float64");
    py::object pieces =
        factor_pieces(mod, helper.attr("get_factor_model")(true), py::len(benchmark));
    py::object result = py::none();
    if (!pieces.is_none()) {
      py::tuple parts(pieces);
      const py::ssize_t n = py::len(universe[0]);
      py::object leading = py::object(parts[0])[py::slice(0, n, 1)];
      if (truth(np.attr("array_equal")(leading, universe[0])) &&
          truth(np.attr("array_equal")(parts[1], universe[1]))) {
        result = py::make_tuple(matmul(py::object(parts[0]).attr("T"), benchmark), parts[3]);
      }
    }
    registry["union"] = result;
  }
  return registry["union"];
}

}  // namespace

void share_exposures(const py::handle& g, const py::handle& helper) {
  if (!py::hasattr(helper, "get_factor_model")) return;
  py::dict registry;
  registry["g"] = py::module_::import("weakref").attr("ref")(g);
  registry["definitions"] = py::list();
  try {
    py::setattr(helper, kRegistry, registry);
  } catch (py::error_already_set& e) {
    // A helper that takes no attributes gets self-contained terms.
    if (!e.matches(PyExc_AttributeError) && !e.matches(PyExc_TypeError)) throw;
  }
}

py::list exposure_definitions(const py::handle& g, const py::handle& helper) {
  py::object registry = registry_for(g, helper);
  if (registry.is_none()) return py::list();
  return py::list(registry["definitions"].attr("copy")());
}

void settle_exposures(const py::handle& g, const py::handle& helper) {
  py::object registry = registry_for(g, helper);
  if (registry.is_none() || !registry.contains("y")) return;
  py::object weights = g.attr("value");
  if (weights.is_none()) return;
  py::setattr(registry["y"], "value", matmul(registry["transposed"], weights));
}

py::object exposure(const Module& mod, const py::handle& g, const py::handle& helper,
                    const py::handle& vector) {
  py::object registry = registry_for(g, helper);
  if (!registry.is_none()) {
    py::object pieces = universe_pieces(mod, registry, helper);
    if (!pieces.is_none()) {
      py::object np = mod.get("np");
      py::object exposures = py::tuple(pieces)[0];
      py::object v = np.attr("asarray")(vector, "float64");
      if (py::tuple(v.attr("shape")).size() == 1 && py::len(v) == py::len(exposures)) {
        // Column j of X equal to `vector` entry by entry: then g @ vector is y[j] exactly.
        py::object column = py::make_tuple(py::slice(0, py::len(v), 1), py::none());
        py::object equal = core::eq(exposures, v[column]).attr("all")(py::arg("axis") = 0);
        py::object found = np.attr("flatnonzero")(equal);
        if (py::len(found) > 0) {
          py::object y = shared_vector(mod, g, registry, pieces);
          return y[py::object(found[py::int_(0)])];
        }
      }
    }
  }
  return matmul(g, vector);
}

py::object shared_portfolio_risk(const Module& mod, const py::handle& g, const py::handle& helper) {
  py::object registry = registry_for(g, helper);
  if (registry.is_none()) return py::none();
  py::object pieces = universe_pieces(mod, registry, helper);
  if (pieces.is_none()) return py::none();
  py::tuple parts(pieces);
  py::object cp = mod.get("cp");
  py::object y = shared_vector(mod, g, registry, parts);
  py::object factor_part = cp.attr("sum_squares")(matmul(py::object(parts[2]).attr("T"), y));
  py::object specific_part = cp.attr("sum_squares")(cp.attr("multiply")(parts[3], g));
  return factor_part + specific_part;
}

py::object shared_active_risk(const Module& mod, const py::handle& g, const py::handle& zeta,
                              const py::handle& active, const py::handle& helper) {
  py::object registry = registry_for(g, helper);
  if (registry.is_none()) return py::none();
  py::object pieces = universe_pieces(mod, registry, helper);
  if (pieces.is_none()) return py::none();
  py::tuple parts(pieces);
  py::object benchmark = union_pieces(mod, registry, parts, helper);
  if (benchmark.is_none()) return py::none();
  py::tuple offsets(benchmark);
  py::object cp = mod.get("cp");
  py::object y = shared_vector(mod, g, registry, parts);
  // The active exposures X_union' a = X' g - zeta X_union' b.
  py::object active_exposures =
      y - py::reinterpret_borrow<py::object>(zeta) * py::object(offsets[0]);
  py::object factor_part =
      cp.attr("sum_squares")(matmul(py::object(parts[2]).attr("T"), active_exposures));
  py::object specific_part = cp.attr("sum_squares")(cp.attr("multiply")(offsets[1], active));
  return factor_part + specific_part;
}

}  // namespace morvane::core
