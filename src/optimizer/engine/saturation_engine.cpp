#include "optimizer/engine/saturation_engine.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string_view>

#include <egraph/runner.hpp>

#include "optimizer/engine/specialised_run.hpp"
#include "optimizer/rules.hpp"

namespace trellan::engine {
namespace {

egraph::Pattern compile_pattern(const std::string& text, egraph::SymbolTable& symbols) {
  auto p = egraph::Pattern::parse(text, symbols);
  if (!p) throw std::logic_error("built-in rewrite pattern " + text + ": " + p.error().message());
  return std::move(p).value();
}

egraph::Rewrite make_rule(const std::string& name, const std::string& searcher, const std::string& applier,
                          egraph::SymbolTable& symbols) {
  auto r = egraph::Rewrite::make(name, compile_pattern(searcher, symbols), compile_pattern(applier, symbols), symbols);
  if (!r) throw std::logic_error(r.error().message());
  return std::move(r).value();
}

RuleSet build_rules() {
  RuleSet set;
  for (std::string_view op : rules::kCommutative) {
    std::string n(op);
    set.rules.push_back(make_rule("commute-" + n, "(op|" + n + " ?a ?b)", "(op|" + n + " ?b ?a)", set.symbols));
  }
  const std::vector<std::string> identities = rules::identity_tokens();
  for (size_t k = 0; k < identities.size(); ++k) {
    set.rules.push_back(make_rule("identity-" + std::to_string(k), "(" + identities[k] + " ?x)", "?x", set.symbols));
  }
  return set;
}

// Canonical positions fit 32 bits: the e-graph's ids do, one per input node.
constexpr uint32_t kUnplaced = UINT32_MAX;
// Symbols for rule operators that no node of the graph carries: above every
// operator id a graph can hold, so they never match.
constexpr uint32_t kAbsentBase = 0xFFFFFF00u;

// Adds one e-node per input node, the operator id as its symbol and its
// children through the ids recorded so far; returns the canonical id of each
// node's class. The hash-cons slot of node i + kAhead is requested while node
// i is added. Its children may not be added yet; they are guessed to get the
// ids they get when no node in between is a duplicate, which is nearly
// always so (a wrong guess costs only the hint).
std::vector<egraph::Id> load(const OpGraph& graph, egraph::EGraph& eg) {
  constexpr size_t kAhead = 8;
  const size_t n = graph.size();
  eg.reserve(n + n / 2);  // room for the mirrored e-nodes commutativity adds
  std::vector<egraph::Id> ids(n);
  std::vector<egraph::Id> kids, ahead_kids;
  for (size_t i = 0; i < n; ++i) {
    if (size_t next = i + kAhead; next < n) {
      ahead_kids.clear();
      const size_t base = eg.id_count();
      for (uint64_t c : graph.children_of(next))
        ahead_kids.push_back(c < i ? ids[c] : static_cast<egraph::Id>(base + (c - i)));
      eg.prefetch(egraph::ENode(egraph::Symbol(graph.op[next]), ahead_kids));
    }
    kids.clear();
    for (uint64_t c : graph.children_of(i)) kids.push_back(ids[c]);
    ids[i] = eg.find(eg.add(egraph::ENode(egraph::Symbol(graph.op[i]), kids)));
  }
  return ids;
}

// The rules with their operators renumbered to this graph's operator ids.
std::vector<egraph::Rewrite> rules_for_run(const RuleSet& set, const OpNames& names) {
  std::vector<egraph::Symbol> map(set.symbols.size());
  for (uint32_t k = 0; k < map.size(); ++k) {
    uint32_t id = kAbsentBase + k;
    names.find(set.symbols.str(egraph::Symbol(k)), id);
    map[k] = egraph::Symbol(id);
  }
  std::vector<egraph::Rewrite> rules;
  rules.reserve(set.rules.size());
  for (const egraph::Rewrite& r : set.rules) rules.push_back(r.with_symbols(map));
  return rules;
}

// The first input position of each class represents it. Since children
// precede their users, the canonical list keeps input order and every child
// is placed before its user. `classes` holds the final class of each node.
CanonicalOps read_back(const OpGraph& graph, const std::vector<egraph::Id>& classes, size_t id_count) {
  const size_t n = graph.size();
  std::vector<uint32_t> position(id_count, kUnplaced);  // class -> canonical position
  CanonicalOps result;
  result.graph.reserve(n, graph.children.size());
  for (size_t i = 0; i < n; ++i) {
    uint32_t& at = position[classes[i]];
    if (at != kUnplaced) continue;
    at = static_cast<uint32_t>(result.graph.size());
    for (uint64_t c : graph.children_of(i)) result.graph.children.push_back(position[classes[c]]);
    result.graph.op.push_back(graph.op[i]);
    result.graph.opaque.push_back(graph.opaque[i]);
    result.graph.first.push_back(result.graph.children.size());
  }
  result.graph.outputs.reserve(graph.outputs.size());
  for (uint64_t o : graph.outputs) result.graph.outputs.push_back(position[classes[o]]);
  result.node_map.reserve(n);
  for (size_t i = 0; i < n; ++i) result.node_map.push_back(position[classes[i]]);
  return result;
}

// The operator ids of the rules in this graph; a rule whose operator no node
// carries matches nothing.
RuleOps rule_ops(const OpNames& names) {
  std::vector<std::string> texts;
  for (std::string_view op : rules::kCommutative) texts.push_back("op|" + std::string(op));
  for (std::string& t : rules::identity_tokens()) texts.push_back(std::move(t));
  RuleOps ops;
  for (size_t r = 0; r < texts.size(); ++r) {
    uint32_t id = 0;
    if (!names.find(texts[r], id)) continue;
    if (id >= ops.rule_of.size()) ops.rule_of.resize(size_t{id} + 1, kNoRule);
    ops.rule_of[id] = static_cast<uint8_t>(r);
  }
  return ops;
}

// Operator texts of a graph handed in as text, numbered by a table of this
// call alone.
class SymbolNames final : public OpNames {
 public:
  std::string_view text(uint32_t id) const override { return table_.str(egraph::Symbol(id)); }
  uint32_t intern(std::string_view text) override { return table_.intern(text).number(); }
  bool find(std::string_view text, uint32_t& id) const override {
    auto s = table_.find(text);
    if (s) id = s->number();
    return s.has_value();
  }

 private:
  egraph::SymbolTable table_;
};

}  // namespace

// Never destroyed: a thread the interpreter left parked or still reducing
// when the process exits may be using the rules while static objects are torn
// down.
const RuleSet& builtin_rules() {
  static const RuleSet& set = *new RuleSet(build_rules());
  return set;
}


Canonical SaturationEngine::canonicalize(const EngineGraph& graph) const {
  SaturationSummary ignored;
  return canonicalize_with_summary(graph, ignored);
}

Canonical SaturationEngine::canonicalize_with_summary(const EngineGraph& graph, SaturationSummary& summary) const {
  SymbolNames names;
  CanonicalOps c = run(to_op_form(graph, names), names, summary);
  return {to_text_form(c.graph, names), std::move(c.node_map)};
}

CanonicalOps SaturationEngine::canonicalize_ops(const OpGraph& graph, OpNames& names) const {
  SaturationSummary ignored;
  return run(graph, names, ignored);
}

egraph::Runner SaturationEngine::make_runner(egraph::EGraph eg, size_t nodes,
                                            std::vector<IterationTrace>* trace) const {
  egraph::Runner runner(std::move(eg));
  runner.with_iter_limit(iter_limit).with_node_limit(node_factor * nodes + node_allowance).without_time_limit();
  if (trace) {
    runner.with_scheduler(std::make_unique<TracingScheduler>(match_limit, &rules, trace));
  } else {
    runner.with_scheduler(std::make_unique<egraph::BackoffScheduler>(match_limit));
  }
  return runner;
}

// A run stopped by a limit is read back like a saturated one, with whatever
// merges it reached.
CanonicalOps SaturationEngine::run(const OpGraph& graph, const OpNames& names, SaturationSummary& summary) const {
  const RunLimits limits{iter_limit, node_factor * graph.size() + node_allowance, match_limit, 5};
  if (std::optional<SpecialisedRun> r = run_specialised(graph, rule_ops(names), limits)) {
    summary = {r->stop_reason, r->iterations, r->class_count, false, std::move(r->trace)};
    // The replay's classes hash-cons every node by its operator and its
    // children's classes, so two classes never share both.
    CanonicalOps out = read_back(graph, r->classes, graph.size());
    out.closed = true;
    return out;
  }
  size_t id_count = 0;
  std::vector<egraph::Id> classes = run_general(graph, names, summary, id_count);
  return read_back(graph, classes, id_count);
}

// The e-graph's symbols are the graph's operator ids, so it holds no text.
std::vector<egraph::Id> SaturationEngine::run_general(const OpGraph& graph, const OpNames& names,
                                                      SaturationSummary& summary, size_t& id_count) const {
  egraph::EGraph eg;
  std::vector<egraph::Id> ids = load(graph, eg);

  summary.trace.clear();
  egraph::Runner runner = make_runner(std::move(eg), graph.size(), &summary.trace);
  runner.run(rules_for_run(builtin_rules(), names));
  const egraph::EGraph& out = runner.egraph();
  summary.stop_reason = runner.stop_reason()->to_string();
  summary.iterations = runner.iterations().size();
  summary.classes = out.class_count();
  summary.general = true;
  summary.trace.resize(runner.iterations().size());  // an iteration stopped at its start searched nothing
  for (size_t i = 0; i < summary.trace.size(); ++i)
    summary.trace[i].changed = !runner.iterations()[i].applied.empty();

  for (egraph::Id& id : ids) id = out.find(id);  // now the final class
  id_count = out.id_count();
  return ids;
}

}  // namespace trellan::engine
