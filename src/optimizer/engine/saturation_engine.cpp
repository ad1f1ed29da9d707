#include "optimizer/engine/saturation_engine.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string_view>

#include <egraph/runner.hpp>

namespace trellan::engine {
namespace {

constexpr std::array<std::string_view, 8> kCommutative = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};

// x+0, 0+x, x*1, 1*x: an op with a float scalar 0.0 or 1.0 on either side.
constexpr std::array<std::string_view, 4> kIdentityTokens = {
    "op|add|scalar=f0000000000000000;side=sr",
    "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr",
    "op|mul|scalar=f3ff0000000000000;side=sl",
};

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
  for (std::string_view op : kCommutative) {
    std::string n(op);
    set.rules.push_back(make_rule("commute-" + n, "(op|" + n + " ?a ?b)", "(op|" + n + " ?b ?a)", set.symbols));
  }
  for (size_t k = 0; k < kIdentityTokens.size(); ++k) {
    std::string searcher(1, '(');
    searcher += kIdentityTokens[k];
    searcher += " ?x)";
    set.rules.push_back(make_rule("identity-" + std::to_string(k), searcher, "?x", set.symbols));
  }
  return set;
}

// Canonical positions fit 32 bits: the e-graph's ids do, one per input node.
constexpr uint32_t kUnplaced = UINT32_MAX;

// Adds one e-node per input node, children through the ids recorded so far;
// returns the canonical id of each node's class. Operator texts are interned
// in this run's own table. Node i + kAhead is prepared while node i is added
// (when its children are known by then), so that hash-cons cache misses
// overlap.
std::vector<egraph::Id> load(const EngineGraph& graph, egraph::SymbolTable& symbols, egraph::EGraph& eg) {
  constexpr size_t kAhead = 4;
  const size_t n = graph.nodes.size();
  eg.reserve(n + n / 2);  // room for the mirrored e-nodes commutativity adds
  std::vector<egraph::Symbol> ops(n);
  for (size_t i = 0; i < n; ++i) ops[i] = symbols.intern(graph.nodes[i].op);
  std::vector<egraph::Id> ids(n);
  std::vector<egraph::Id> kids;
  auto build = [&](size_t i) {
    kids.clear();
    for (uint64_t c : graph.nodes[i].children) kids.push_back(ids[c]);
    return egraph::ENode(ops[i], kids);
  };
  for (size_t i = 0; i < n; ++i) {
    if (size_t next = i + kAhead; next < n) {
      const auto& ahead = graph.nodes[next].children;
      if (std::all_of(ahead.begin(), ahead.end(), [&](uint64_t c) { return c < i; })) eg.prefetch(build(next));
    }
    ids[i] = eg.find(eg.add(build(i)));
  }
  return ids;
}

// The rules with their operators renumbered into a run's symbol table.
std::vector<egraph::Rewrite> rules_for_run(const RuleSet& set, egraph::SymbolTable& symbols) {
  std::vector<egraph::Symbol> map(set.symbols.size());
  for (uint32_t k = 0; k < map.size(); ++k) map[k] = symbols.intern(set.symbols.str(egraph::Symbol(k)));
  std::vector<egraph::Rewrite> rules;
  rules.reserve(set.rules.size());
  for (const egraph::Rewrite& r : set.rules) rules.push_back(r.with_symbols(map));
  return rules;
}

// The first input position of each class represents it. Since children
// precede their users, the canonical list keeps input order and every child
// is placed before its user. `classes` holds the final class of each node.
Canonical read_back(const EngineGraph& graph, const std::vector<egraph::Id>& classes, size_t id_count) {
  const size_t n = graph.nodes.size();
  std::vector<uint32_t> position(id_count, kUnplaced);  // class -> canonical position
  Canonical result;
  result.graph.nodes.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    uint32_t& at = position[classes[i]];
    if (at != kUnplaced) continue;
    at = static_cast<uint32_t>(result.graph.nodes.size());
    const EngineNode& node = graph.nodes[i];
    EngineNode& copy = result.graph.nodes.emplace_back();
    copy.op = node.op;
    copy.children.reserve(node.children.size());
    for (uint64_t c : node.children) copy.children.push_back(position[classes[c]]);
    copy.opaque = !node.op.starts_with("op|");
  }
  result.graph.outputs.reserve(graph.outputs.size());
  for (uint64_t o : graph.outputs) result.graph.outputs.push_back(position[classes[o]]);
  result.node_map.reserve(n);
  for (size_t i = 0; i < n; ++i) result.node_map.push_back(position[classes[i]]);
  return result;
}

}  // namespace

const RuleSet& builtin_rules() {
  static const RuleSet set = build_rules();
  return set;
}

SaturationEngine::SaturationEngine() : rules(builtin_rules().rules), rule_symbols(builtin_rules().symbols) {}

Canonical SaturationEngine::canonicalize(const EngineGraph& graph) const {
  SaturationSummary ignored;
  return canonicalize_with_summary(graph, ignored);
}

egraph::Runner SaturationEngine::make_runner(egraph::EGraph eg, size_t nodes) const {
  egraph::Runner runner(std::move(eg));
  runner.with_iter_limit(iter_limit).with_node_limit(4 * nodes + 1024).without_time_limit();
  return runner;
}

// A run stopped by a limit is read back like a saturated one, with whatever
// merges it reached.
Canonical SaturationEngine::canonicalize_with_summary(const EngineGraph& graph, SaturationSummary& summary) const {
  // Symbols live as long as this run: operator texts carry param values, so a
  // table kept across reductions would grow without bound.
  egraph::SymbolTable symbols;
  egraph::EGraph eg;
  std::vector<egraph::Id> ids = load(graph, symbols, eg);

  egraph::Runner runner = make_runner(std::move(eg), graph.nodes.size());
  runner.run(rules_for_run(builtin_rules(), symbols));
  const egraph::EGraph& out = runner.egraph();
  summary.stop_reason = runner.stop_reason()->to_string();
  summary.iterations = runner.iterations().size();
  summary.hashcons_size = out.hashcons_size();
  summary.classes = out.class_count();

  for (egraph::Id& id : ids) id = out.find(id);  // now the final class
  return read_back(graph, ids, out.id_count());
}

}  // namespace trellan::engine
