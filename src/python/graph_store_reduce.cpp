// GraphStore's reduction methods: reduce, reduction_report and
// reduce_incremental. Each call builds its own SaturationEngine; the store
// shares its nodes under its lock (a fixed view, no copy) and the reduction
// runs on that view without the interpreter lock: arguments are converted
// before, results built after.
#include "optimizer/engine/saturation_engine.hpp"
#include "optimizer/passes/store_reduce.hpp"
#include "python/args.hpp"
#include "python/from_python.hpp"
#include "python/gil.hpp"
#include "python/objects.hpp"
#include "python/to_python.hpp"

namespace trellan::py {

namespace {

constexpr const char* kReduceDoc =
    "reduce($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
    "Reduce via the M4 optimizer (DCE + CSE + equality-saturation stage fusion behind\n"
    "RewriteEngine). Returns the reduced store and a report dict. `maximal_fusion=True` opts in\n"
    "to fusing fan-out ops whose consumers all land in one stage (the default single-use rule is\n"
    "pinned by the frozen M4 suite).";

constexpr const char* kReductionReportDoc =
    "reduction_report($self, *, outputs=None)\n--\n\n"
    "The reduction report for the current graph, without keeping the reduced store.";

constexpr const char* kReduceIncrementalDoc =
    "reduce_incremental($self, *, outputs=None)\n--\n\n"
    "One-shot incremental reduction of the current graph (same result as `reduce`). For genuine\n"
    "step-by-step reduction while building, use `IncrementalReducer`.";

// outputs: nothing -> the store's marks; a list -> exactly those ids.
// Pure C++: runs without the interpreter lock.
Result<StoreAndReport, BadNodeId> run_reduction(const GraphStore& store, bool maximal_fusion,
                                                std::optional<std::vector<NodeId>> outputs) {
  engine::SaturationEngine engine;
  return reduce_store(store, std::move(outputs), engine, maximal_fusion);
}

StoreAndReport reduce_detached(const GraphStore& store, bool maximal_fusion,
                               std::optional<std::vector<NodeId>> outputs) {
  auto reduced = detached([&] { return run_reduction(store, maximal_fusion, std::move(outputs)); });
  if (!reduced) raise_bad_node_id(reduced.error());
  return std::move(reduced).value();
}

PyObject* reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("reduce", {Param::optional_keyword("maximal_fusion"),
                                          Param::optional_keyword("outputs")});
    BoundArgs a = sig.bind(args, nargs, kwnames);
    bool maximal_fusion = a.convert(0, to_flag);
    auto outputs = a.convert(1, to_optional_id_list);
    return reduction_result(reduce_detached(store_of(self), maximal_fusion, std::move(outputs)));
  });
}

PyObject* reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("reduction_report", {Param::optional_keyword("outputs")});
    BoundArgs a = sig.bind(args, nargs, kwnames);
    auto outputs = a.convert(0, to_optional_id_list);
    // The reduced store is freed before the interpreter lock is taken back.
    auto report = detached([&]() -> Result<ReductionReport, BadNodeId> {
      auto reduced = run_reduction(store_of(self), false, std::move(outputs));
      if (!reduced) return Err(reduced.error());
      return reduced.value().second;
    });
    if (!report) raise_bad_node_id(report.error());
    return report_to_dict(report.value());
  });
}

PyObject* reduce_incremental(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return entry([&] {
    static const Signature sig("reduce_incremental", {Param::optional_keyword("outputs")});
    BoundArgs a = sig.bind(args, nargs, kwnames);
    auto outputs = a.convert(0, to_optional_id_list);
    return reduction_result(reduce_detached(store_of(self), false, std::move(outputs)));
  });
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

const PyMethodDef kReduceMethods[] = {
    {"reduce", as_method(reduce), kFastcall, kReduceDoc},
    {"reduction_report", as_method(reduction_report), kFastcall, kReductionReportDoc},
    {"reduce_incremental", as_method(reduce_incremental), kFastcall, kReduceIncrementalDoc},
};

}  // namespace

PyRef reduction_result(StoreAndReport result) {
  PyRef report = report_to_dict(result.second);
  return make_tuple({wrap_store(std::move(result.first)), report});
}

std::span<const PyMethodDef> graph_store_reduce_methods() { return kReduceMethods; }

}  // namespace trellan::py
