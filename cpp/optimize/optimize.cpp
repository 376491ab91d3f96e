// morvane.optimize: module initialisation. The imports are bound as module attributes and read
// by the functions when they run, so a test or a notebook may replace any of them.
#include "optimize/optimize.hpp"

#include <pybind11/pybind11.h>

#include "core/function.hpp"
#include "optimize/stages.hpp"

namespace py = pybind11;
namespace core = morvane::core;
namespace opt = morvane::optimize;

namespace morvane::optimize {

const char* const kPortfolioOptimizeDoc = R"(
    组合优化，根据给定的约束及目标函数计算最优组合权重。
    支持下列目标函数：
        * :class:`MinVariance`: 风险最小化
        * :class:`MinActiveVariance`: 主动风险最小化
        * :class:`MeanVariance`: 均值（收益）方差（风险）模型
        * :class:`ActiveMeanVariance`: 主动收益/主动风险模型
        * :class:`RiskParity`: 风险平价
        * :class:`MinTrackingError`: 最小追踪误差
        * :class:`MaxInformationRatio`: 最大信息比率
        * :class:`MaxSharpeRatio`: 最大夏普率
        * :class:`MaxIndicator`: 指标值最大化
        * :class:`MinStyleDeviation`: 风格偏离最小化
    支持以下约束类型：
        * :class:`TrackingErrorLimit`: 跟踪误差约束
        * :class:`TurnoverLimit`: 换手率约束
        * :class:`BenchmarkComponentWeightLimit`: 成分股权重约束，即要求优化结果中，基准成分股的权重之和的下限
        * :class:`IndustryConstraint`: 行业权重约束，默认行业分类为申万一级。可选中信一级及申万一级(拆分非银金融行业)
        * :class:`WildcardIndustryConstraint`:
        * :class:`StyleConstraint`: 风格约束
        * :class:`WildcardStyleConstraint`:
        * :class:`IndustryComponentLimit: 行业内个股权重约束

    :param order_book_ids: 候选合约
    :param date: 优化日期；优化结果用于指导此日的调仓；_优化过程中所使用的所有数据均在此日开盘之前_。
    :param objective: 目标函数，默认为MinVariance（风险最小化）。
    :type objective: :class:`OptimizationObjective`
    :param bnds: 个股权重上下界。字典，key 为 order_book_id, value 为 (lower_limit, upper_limit) 组成的 tuple。
                 lower_limit/upper_limit 取值可以是 [0, 1] 的数或 None。当取值为 None 时，表示对应的界不做限制。
                 当 key 为 `'*'` 时，表示所有未在此字典中明确指定的其他合约。
                 所有合约默认上下界为 [0, 1]。
    :type bnds: {order_book_id | "*": (lower_limit, upper_limit)}
    :param cons: 约束列表
    :type cons: [:class:`OptimizationConstraint`]
    :param benchmark: 基准, 指数使用指数代码，自定义基准需要继承自 :class:`OptimizeBenchmark` 的类实例
    :type benchmark: str | :class:`OptimizeBenchmark`
    :param cov_model: 协方差模型，支持 daily/monthly/quarterly
    :param factor_risk_aversion: 因子风险厌恶系数，默认为1
    :param specific_risk_aversion: 特异风险厌恶系数，默认为1
    :param solver: 使用指定的solver求解，默认为 None，表示使用默认的 solver
    :param risk_model: 风险模型版本，支持 v1/v2
    :param solver_options: solver 参数，如对于 MOSEK，可以传入 mosek_params={...}
    :return: pd.Series 组合最优化权重
    )";

namespace {

// portfolio_optimize inside `tarnwick.snapshot()`, so that every read of the call (the helper's,
// the objective's, the constraints', the benchmark's) sees one store file even when a rebuild
// renames a new one into place meanwhile. `tarnwick` is read from the module globals at call
// time; a stand-in without `snapshot` runs the call as it is.
py::object optimize_on_one_store_file(const py::object& order_book_ids, const py::object& date,
                                      const py::object& objective, const py::object& bnds,
                                      const py::object& cons, const py::object& benchmark,
                                      const py::object& cov_model,
                                      const py::object& factor_risk_aversion,
                                      const py::object& specific_risk_aversion,
                                      const py::object& solver, const py::object& risk_model,
                                      const py::kwargs& solver_options) {
  const Arguments args{order_book_ids,
                       date,
                       objective,
                       bnds,
                       cons,
                       benchmark,
                       cov_model,
                       factor_risk_aversion,
                       specific_risk_aversion,
                       solver,
                       risk_model,
                       solver_options};
  auto run = [&]() { return portfolio_optimize(args); };
  py::object client = mod().get("tarnwick");
  if (!py::hasattr(client, "snapshot")) return run();
  py::object context = client.attr("snapshot")();
  py::object exit = context.attr("__exit__");
  context.attr("__enter__")();
  py::object result;
  try {
    result = run();
  } catch (py::error_already_set& error) {
    auto or_none = [](const py::object& value) -> py::object { return value ? value : py::none(); };
    if (truth(exit(or_none(error.type()), or_none(error.value()), or_none(error.trace())))) {
      return py::none();
    }
    throw;
  } catch (...) {
    exit(py::none(), py::none(), py::none());
    throw;
  }
  exit(py::none(), py::none(), py::none());
  return result;
}

}  // namespace

}  // namespace morvane::optimize

PYBIND11_MODULE(optimize, m) {
  const core::Module& self = core::register_module(m);

  self.import_as("warnings", "warnings");
  self.import_as("datetime", "datetime");
  self.import_as("time", "time");
  self.import_as("logging", "logging");
  self.import_as("os", "os");
  self.import_from("typing", "Iterable");
  self.import_from("dateutil.parser", "parse", "parse_datetime");
  self.import_as("pandas", "pd");
  self.import_as("numpy", "np");
  self.import_as("cvxpy", "cp");
  self.import_as("tarnwick", "tarnwick");
  self.import_from("morvane.exception", "InvalidArgument");
  self.import_from("morvane.exception", "OptimizationFailed");
  self.import_from("morvane.exception", "OptimizerWarning");
  self.import_star("morvane.const");
  self.import_from("morvane.helper", "OptimizeHelper");
  self.import_from("morvane.benchmark", "IndexBenchmark");
  self.import_from("morvane.benchmark", "OptimizeBenchmark");
  for (const char* name :
       {"OptimizationObjective", "MinVariance", "MaxInformationRatio", "MaxSharpeRatio",
        "MinTrackingError", "ActiveMeanVariance", "MinActiveVariance", "RiskParity"}) {
    self.import_from("morvane.objective", name);
  }

  // Every OptimizerWarning is shown each time, never deduplicated.
  self.get("warnings")
      .attr("filterwarnings")("always", py::arg("category") = self.get("OptimizerWarning"));
  // Read once: setting the variable after the import changes nothing.
  self.bind("DEBUG", py::bool_(opt::truth(self.get("os").attr("getenv")("MORVANE_DEBUG"))));
  // Options of the package's own Clarabel solves (refinement of an answer that fails the check,
  // feasibility solves of the diagnosis), read at each call; a caller's own options for Clarabel
  // are laid over them. With the shared factor exposures the factorisation method makes no
  // measurable difference on the whole market (bench/bench_clarabel.py); pinning qdldl keeps it
  // the same whatever Clarabel's automatic choice is on another machine.
  py::dict clarabel_options;
  clarabel_options["direct_solve_method"] = "qdldl";
  self.bind("CLARABEL_OPTIONS", clarabel_options);
  // Laid over CLARABEL_OPTIONS for the refinement's last attempt, made when the first Clarabel
  // attempt gives up or its answer fails the check too. Clarabel's equilibration is what fails
  // on problems with a few dense rows (style bounds, a tracking-error cone) beside many sparse
  // ones (turnover); without it those solve cleanly.
  py::dict clarabel_fallback_options;
  clarabel_fallback_options["equilibrate_enable"] = false;
  self.bind("CLARABEL_FALLBACK_OPTIONS", clarabel_fallback_options);

  core::def(self, "to_enum", &opt::to_enum, py::arg("v"), py::arg("enum_type"));
  core::def(self, "to_date", &opt::to_date, py::arg("dt"));
  core::def(self, "ensure_date_str", &opt::ensure_date_str, py::arg("date"));
  core::def(self, "ensure_order_book_ids", &opt::ensure_order_book_ids, py::arg("order_book_ids"),
            py::arg("date"));
  core::def(self, "ensure_bound", &opt::ensure_bound, py::arg("v"));
  core::def(self, "parse_bnds", &opt::parse_bnds, py::arg("bnds"), py::arg("order_book_ids"));

  py::object default_objective = self.get("MinVariance")();
  self.bind("DEFAULT_OBJECTIVE", default_objective);

  // The defaults are evaluated here, once.
  core::def(self, "portfolio_optimize", &opt::optimize_on_one_store_file,
            py::doc(opt::kPortfolioOptimizeDoc), py::arg("order_book_ids"), py::arg("date"),
            py::arg("objective") = default_objective, py::arg("bnds") = py::none(),
            py::arg("cons") = py::none(), py::arg("benchmark") = py::none(),
            py::arg("cov_model") = self.get("CovModel").attr("FACTOR_MODEL_DAILY"),
            py::arg("factor_risk_aversion") = 1.0, py::arg("specific_risk_aversion") = 1.0,
            py::arg("solver") = py::none(),
            py::arg("risk_model") = self.get("RiskModel").attr("V1"),
            core::var_keyword("solver_options"));
}
