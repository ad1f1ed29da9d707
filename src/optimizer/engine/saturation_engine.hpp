// The rewrite engine used by every reduction: saturates the engine graph with
// commutativity and identity rules and reads the result back by class
// membership. Canonicalization only merges nodes; every node of the result is
// one that was handed in.
//
// The run is that of the e-graph library's runner. It is replayed without an
// e-graph (specialised_run.hpp) whenever the replay can prove it decides as
// the runner does; otherwise the graph is loaded into an e-graph and the
// runner itself runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <egraph/rewrite.hpp>
#include <egraph/runner.hpp>

#include "optimizer/engine/engine_graph.hpp"
#include "optimizer/engine/run_trace.hpp"

namespace trellan::engine {

// How a saturation run ended; canonicalize never consults it.
struct SaturationSummary {
  std::string stop_reason;  // e.g. "Saturated", "IterationLimit(12)"
  size_t iterations = 0;
  size_t classes = 0;
  bool general = false;     // the e-graph runner ran: the replay could not decide
  std::vector<IterationTrace> trace;
};

// The built-in rules, parsed once per process with a symbol table of their
// own that holds only the rule texts.
struct RuleSet {
  egraph::SymbolTable symbols;
  std::vector<egraph::Rewrite> rules;
};
const RuleSet& builtin_rules();

class SaturationEngine final : public RewriteEngine {
 public:
  SaturationEngine() = default;
  // With another match limit for the scheduler (1000 by default), so that
  // tests see bans on small graphs.
  // A node limit of node_factor * n + node_allowance (4 * n + 1024 by
  // default) for n input nodes: tests lower it to reach the limit.
  explicit SaturationEngine(size_t scheduler_match_limit, size_t node_factor = 4, size_t node_allowance = 1024)
      : match_limit(scheduler_match_limit), node_factor(node_factor), node_allowance(node_allowance) {}

  Canonical canonicalize(const EngineGraph& graph) const override;
  // The same canonicalization, also reporting how the run ended.
  Canonical canonicalize_with_summary(const EngineGraph& graph, SaturationSummary& summary) const;
  CanonicalOps canonicalize_ops(OpGraph graph, OpNames& names) const override;

  // The runner a canonicalization of `nodes` input nodes runs on `eg`: the
  // iteration and node limits only, both fixed by the graph, so the result
  // never depends on the machine's speed.
  // trace: where to record the run's decisions, if anywhere.
  egraph::Runner make_runner(egraph::EGraph eg, size_t nodes, std::vector<IterationTrace>* trace = nullptr) const;

  // The twelve rules: commutativity of eight ops, then four identity ops,
  // with the table that names their symbols.
  const std::vector<egraph::Rewrite>& rules = builtin_rules().rules;
  const egraph::SymbolTable& rule_symbols = builtin_rules().symbols;
  const uint64_t iter_limit = 12;
  const size_t match_limit = 1000;
  const size_t node_factor = 4;
  const size_t node_allowance = 1024;

 private:
  CanonicalOps run(OpGraph graph, const OpNames& names, SaturationSummary& summary) const;
  std::vector<egraph::Id> run_general(const OpGraph& graph, const OpNames& names, SaturationSummary& summary,
                                      size_t& id_count) const;
};

}  // namespace trellan::engine
